// Helpers for the tests that run the whole main window: registering users before the start,
// logging in through the real login dialog, reading profile files.
#pragma once

#include <QComboBox>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QLineEdit>
#include <QPushButton>
#include <array>
#include <sys/stat.h>

#include "app/login_dialog.h"
#include "app/main_window.h"
#include "profile/file_util.h"
#include "profile/ini_file.h"
#include "profile/settings.h"
#include "profile/user_registry.h"
#include "ui/ui_test_support.h"
#include "window_common/text_conversion.h"

namespace tavik::test {

// Registers users in `home`'s "Login.ini" as the Add/Delete Users dialog would; each entry is
// login, directory, password ("" for none).
inline void registerUsers(const std::string& home, const std::vector<std::array<std::string, 3>>& users)
{
    UserRegistry registry;
    LoadUsers(home, registry);
    for (const auto& u : users) {
        NewUser user{u[0], u[1], u[2], u[2], true};
        UserResult r = AddUser(home, registry, user);
        ASSERT_TRUE(r.succeeded()) << r.text;
    }
}

// Shows the window and logs in as the user at `index` of the login combo, typing `password`;
// true once the profile is open (false when the program quit instead).
inline bool startAndLogIn(TMainForm& window, int index = 0, const std::string& password = {})
{
    auto driver = ModalDriver::on<TLoginForm>([index, password](TLoginForm* login) {
        login->userCombo()->setCurrentIndex(index);
        login->passwordField()->setText(fromStored(password));
        login->okButton()->click();
    });
    window.show();
    waitFor([&] {
        return window.state() == TMainForm::State::ProfileOpen || window.state() == TMainForm::State::Quitting;
    });
    return window.state() == TMainForm::State::ProfileOpen;
}

// The "key=value" lines of a section of an ini file.
inline std::vector<std::string> iniLines(const std::string& path, const std::string& section)
{
    return IniFile(path).sectionLines(section);
}

// The inode of a file, 0 when it is missing. Files are replaced by renaming a new file over
// them, so a changed inode means the file was written.
inline unsigned long long fileIdentity(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return static_cast<unsigned long long>(st.st_ino);
}

// Writes settings into a profile before the program opens it.
inline void prepareProfile(const std::string& home, const std::string& profile,
                           const std::function<void(ProfileSettings&)>& change)
{
    makePrivateDirectories(profile);
    ProfileSettings settings;
    MailboxList mailboxes;
    LoadSettings(home, profile, settings, mailboxes);
    change(settings);
    SaveSettings(profile, settings, mailboxes);
}

// Appends a message to mailbox `n` of `store`.
inline void appendMessage(TNMailBox& store, int n, const std::string& subject)
{
    store.SetCurrentMailBoxNumber(n);
    store.Msg_Text = {"From: someone@example.org", "Subject: " + subject, "", "Body of " + subject};
    store.Msg_From = "someone@example.org";
    store.Msg_To = "me@example.org";
    store.Msg_Subject = subject;
    store.Msg_Date = "Mon, 1 Jan 2024 10:00:00";
    store.Msg_Flag = 'U';
    store.AppendMessage();
}

// The number of messages in mailbox `n` of the profile in `profile`, read without changing it.
inline int messagesIn(const std::string& profile, const MailboxList& mailboxes, int n)
{
    TNMailBox store;
    store.MailBoxes = mailboxes;
    store.setMailBoxDirectoryWithoutChanges(profile + "mailboxe/");
    store.SetCurrentMailBoxNumber(n);
    return store.CurrentMailBoxMessages();
}

// What the workflows were asked to do.
struct WorkflowLog {
    std::vector<CheckStart> checks;
    std::vector<int> countdownDuringCheck;
    std::vector<std::string> commands;
    bool sessionRunning = false;
    int cancels = 0;
};

// Workflows that only record; the log stays with the test.
class RecordingWorkflows : public WorkflowCommands {
public:
    explicit RecordingWorkflows(WorkflowLog& log) : log_(log) {}
    void checkMail(TMainForm& window, CheckStart start) override
    {
        log_.checks.push_back(start);
        log_.countdownDuringCheck.push_back(window.checkCountdown());
    }
    void checkAndSend(TMainForm&) override { log_.commands.push_back("checkAndSend"); }
    void sendQueued(TMainForm&) override { log_.commands.push_back("sendQueued"); }
    void composeNewMessage(TMainForm&) override { log_.commands.push_back("composeNewMessage"); }
    void addressBook(TMainForm&) override { log_.commands.push_back("addressBook"); }
    void mimeSetup(TMainForm&) override { log_.commands.push_back("mimeSetup"); }
    void options(TMainForm&) override { log_.commands.push_back("options"); }
    void printSetup(TMainForm&) override { log_.commands.push_back("printSetup"); }
    bool sessionRunning() const override { return log_.sessionRunning; }
    void cancelSession() override { ++log_.cancels; }

private:
    WorkflowLog& log_;
};

// A child window of a given kind that records the commands routed to it.
class FakeChild : public QWidget, public MailChildWindow {
public:
    FakeChild(Kind kind, int mailbox, std::vector<std::string>& log) : kind_(kind), mailbox_(mailbox), log_(log) {}
    Kind childKind() const override { return kind_; }
    int mailboxNumber() const override { return mailbox_; }
    bool mayClose() override { return allowClose; }
    void nextMessage() override { log_.push_back("next"); }
    void previousMessage() override { log_.push_back("previous"); }
    void editMessage() override { log_.push_back("edit"); }
    void replyMessage() override { log_.push_back("reply"); }
    void forwardMessage() override { log_.push_back("forward"); }
    void deleteMessages() override { log_.push_back("delete"); }
    void moveMessages() override { log_.push_back("move"); }
    void moveMessagesTo(int n) override { log_.push_back("moveTo " + std::to_string(n)); }
    void saveMessage() override { log_.push_back("save"); }
    void printMessage() override { log_.push_back("print"); }
    bool allowClose = true;

private:
    Kind kind_;
    int mailbox_;
    std::vector<std::string>& log_;
};

// Adds a fake child to the window and makes it the active one.
inline QMdiSubWindow* addFakeChild(TMainForm& window, MailChildWindow::Kind kind, int mailbox,
                                   std::vector<std::string>& log)
{
    auto* child = new FakeChild(kind, mailbox, log);
    QMdiSubWindow* sub = window.mdiArea()->addSubWindow(child);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->show();
    window.mdiArea()->setActiveSubWindow(sub);
    return sub;
}

} // namespace tavik::test
