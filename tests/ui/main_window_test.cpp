// The main window's life: user switches, the minute timer, the tool-bar state, shutdown with
// its error paths, the profile lock and the signals that end the program.
#include <QAction>
#include <QDialog>
#include <QMenu>
#include <QToolButton>
#include <QFile>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <csignal>
#include <filesystem>
#include <map>

#include "app/mail_workflows.h"
#include "app/shutdown_signals.h"
#include "smtp/new_message_window.h"
#include "window_common/folder_tree_widget.h"
#include <QToolBar>
#include "app/side_bar_widget.h"
#include "profile/profile_lock.h"
#include "app/splash_window.h"
#include "support/fake_keyring.h"
#include "ui/main_window_support.h"

namespace tavik::test {
namespace {

class MainWindowTest : public UiTest {
protected:
    std::string annDir() const { return home() + "users/ann/"; }
    std::string bobDir() const { return home() + "users/bob/"; }
};

// The user picks entry `index` of the combo "Current user ...".
void chooseUser(TMainForm& window, int index)
{
    window.userCombo()->setCurrentIndex(index);
    emit window.userCombo()->activated(index);
}

TEST_F(MainWindowTest, OpenProfileOpensNewMailAndExpandsTheTree)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    auto children = window.childWindows();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].second->mailboxNumber(), 1);
    EXPECT_EQ(children[0].first->windowTitle(), QStringLiteral("New Mail"));
    EXPECT_EQ(window.mailboxCount(), 5);
    ASSERT_NE(window.treeWidget()->topLevelItem(0), nullptr);
    EXPECT_EQ(window.treeWidget()->topLevelItem(0)->text(0), QStringLiteral("Tavik mail"));
    EXPECT_TRUE(window.treeWidget()->topLevelItem(0)->isExpanded());
    EXPECT_EQ(window.treeWidget()->topLevelItem(0)->childCount(), 5);
    ASSERT_EQ(window.foldersMenu()->actions().size(), 5);
    EXPECT_EQ(window.foldersMenu()->actions()[4]->text(), QStringLiteral("Trash"));
    EXPECT_EQ(window.moveToMenu()->actions()[2]->data().toInt(), 3);
    ASSERT_EQ(TMainForm::statusPictureNames().size(), 13u);
    for (const auto& name : TMainForm::statusPictureNames()) {
        const QString file = QStringLiteral(":/pictures/") + fromStored(name);
        EXPECT_TRUE(QFile::exists(file + QStringLiteral(".png"))) << name;
        EXPECT_TRUE(QFile::exists(file + QStringLiteral("@2x.png"))) << name;
        const QPixmap pixmap = window.statusPicture(name).pixmap(16, 16);
        EXPECT_FALSE(pixmap.isNull()) << name;
        // The drawing is crisp at twice the density: the 2x file is used, not an enlargement.
        EXPECT_EQ(QImage(file + QStringLiteral("@2x.png")).size(), QSize(32, 32)) << name;
    }
    for (const char* name : {"NewBtnClick", "ReplyBtnClick", "Setup1Click", "AddFolder1Click"})
        EXPECT_FALSE(window.commandAction(name)->icon().pixmap(24, 24).isNull()) << name;
    EXPECT_NE(window.mimeManager(), nullptr);
    EXPECT_EQ(window.systemTimer()->interval(), 60000);
    EXPECT_TRUE(window.systemTimer()->isActive());
}

TEST_F(MainWindowTest, SwitchingUsersSavesTheOldProfileAndEmptiesOnlyItsTrash)
{
    registerUsers(home(), {{"ann", "ann", ""}, {"bob", "bob", "pw"}});
    prepareProfile(home(), annDir(), [](ProfileSettings& s) { s.EmptyTrashOnExit = true; });
    prepareProfile(home(), bobDir(), [](ProfileSettings& s) { s.EmptyTrashOnExit = true; });
    {
        TNMailBox bobStore;
        bobStore.MailBoxes = standardMailboxEntries();
        bobStore.SetMailBoxDirectory(bobDir() + "mailboxe/");
        appendMessage(bobStore, kTrashMailbox, "bob's old trash");
    }
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window, 1));
    appendMessage(window.Mailbox(), kTrashMailbox, "ann's trash");
    window.settings().Name = "Ann Example";
    window.folderTree().addChild(0, "Projects", kGroupFolderImage, kGroupFolderImage);
    ui.passwords.push_back("pw");

    chooseUser(window, 2);

    EXPECT_EQ(window.state(), TMainForm::State::ProfileOpen);
    EXPECT_EQ(window.users().currentUser, 2);
    EXPECT_EQ(window.ProfileDirectory(), bobDir());
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "password");
    EXPECT_EQ(ui.shown[0].text, "bob");
    // The old profile: tree and settings saved, Trash emptied.
    EXPECT_NE(fileBytes(annDir() + "treedata1.dat").find(" Projects\r\n"), std::string::npos);
    EXPECT_EQ(IniFile(annDir() + "tavik32.ini").readString("User", "Name"), "Ann Example");
    EXPECT_EQ(messagesIn(annDir(), standardMailboxEntries(), kTrashMailbox), 0);
    // The new one's Trash is left alone.
    EXPECT_EQ(messagesIn(bobDir(), standardMailboxEntries(), kTrashMailbox), 1);
    // The old profile is free again, the new one held.
    ProfileLock annLock(annDir());
    EXPECT_TRUE(annLock.tryLock());
    ProfileLock bobLock(bobDir());
    EXPECT_FALSE(bobLock.tryLock());
    // The new profile shows its own tree and New Mail.
    EXPECT_EQ(window.folderTree().count(), 6);
    ASSERT_EQ(window.childWindows().size(), 1u);
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 1);
    EXPECT_EQ(window.userCombo()->currentText(), QStringLiteral("bob"));
}

TEST_F(MainWindowTest, ChoosingTheCurrentUserAgainWritesOnlyTheTreeFiles)
{
    registerUsers(home(), {{"ann", "ann", ""}});
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window, 1));
    const char* const unchanged[] = {"tavik32.ini", "mailboxe/m0.idx", "mailboxe/m0.mbx", "mime.def"};
    std::map<std::string, unsigned long long> before;
    for (const char* f : unchanged)
        before[f] = fileIdentity(annDir() + f);
    const auto login = fileIdentity(home() + "Login.ini");
    const auto tree1 = fileIdentity(annDir() + "treedata1.dat");
    const auto tree2 = fileIdentity(annDir() + "treedata2.dat");
    QMdiSubWindow* newMail = window.childWindows().at(0).first;

    chooseUser(window, 1);

    EXPECT_NE(fileIdentity(annDir() + "treedata1.dat"), tree1);
    EXPECT_NE(fileIdentity(annDir() + "treedata2.dat"), tree2);
    EXPECT_TRUE(fileExists(annDir() + "treedata.ini"));
    for (const char* f : unchanged)
        EXPECT_EQ(fileIdentity(annDir() + f), before[f]) << f;
    EXPECT_EQ(fileIdentity(home() + "Login.ini"), login);
    EXPECT_TRUE(ui.shown.empty());
    ASSERT_EQ(window.childWindows().size(), 1u);
    EXPECT_EQ(window.childWindows().at(0).first, newMail);
}

TEST_F(MainWindowTest, WrongPasswordAtSwitchLeavesTheProfileOpenAndUnchanged)
{
    registerUsers(home(), {{"bob", "bob", "pw"}});
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window, 0));
    const auto settings = fileIdentity(home() + "tavik32.ini");
    ui.passwords.push_back("PW");

    chooseUser(window, 1);

    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[1].kind, "inform");
    EXPECT_EQ(ui.shown[1].title, "Tavik mail");
    EXPECT_EQ(ui.shown[1].text, "Password incorrect.");
    EXPECT_EQ(window.users().currentUser, 0);
    EXPECT_EQ(window.userCombo()->currentIndex(), 0);
    EXPECT_EQ(window.ProfileDirectory(), home());
    EXPECT_EQ(fileIdentity(home() + "tavik32.ini"), settings);
    EXPECT_FALSE(fileExists(bobDir() + "tavik32.ini"));
    EXPECT_EQ(window.childWindows().size(), 1u);
    ProfileLock mine(home());
    EXPECT_FALSE(mine.tryLock());
}

TEST_F(MainWindowTest, SwitchToAProfileLockedElsewhereIsRefused)
{
    registerUsers(home(), {{"bob", "bob", ""}});
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window, 0));
    ProfileLock other(bobDir());
    ASSERT_TRUE(other.tryLock());

    chooseUser(window, 1);

    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_EQ(ui.shown[0].text.rfind("The profile of user bob is open in another program", 0), 0u);
    EXPECT_NE(ui.shown[0].text.find(".\r\nClose it there first."), std::string::npos);
    EXPECT_EQ(window.users().currentUser, 0);
    EXPECT_EQ(window.userCombo()->currentIndex(), 0);
    EXPECT_EQ(window.ProfileDirectory(), home());
    EXPECT_FALSE(fileExists(bobDir() + "tavik32.ini"));
}

TEST_F(MainWindowTest, ProfileLockedElsewhereIsRefusedAtStart)
{
    makePrivateDirectories(home());
    ProfileLock other(home());
    ASSERT_TRUE(other.tryLock());
    TMainForm window;
    EXPECT_FALSE(startAndLogIn(window));
    EXPECT_EQ(window.state(), TMainForm::State::Quitting);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text.rfind("The profile of user default is open in another program", 0), 0u);
    EXPECT_FALSE(fileExists(home() + "tavik32.ini"));
}

TEST_F(MainWindowTest, FailedSaveAtSwitchIsShownAndTheOldProfileIsReleased)
{
    registerUsers(home(), {{"ann", "ann", ""}, {"bob", "bob", ""}});
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window, 1));
    // The settings file cannot be replaced any more.
    std::filesystem::remove(annDir() + "tavik32.ini");
    std::filesystem::create_directory(annDir() + "tavik32.ini");

    chooseUser(window, 2);

    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_NE(ui.shown[0].text.find("tavik32.ini"), std::string::npos);
    EXPECT_FALSE(ui.shown[0].hourglass);
    EXPECT_EQ(window.ProfileDirectory(), bobDir());
    EXPECT_EQ(window.state(), TMainForm::State::ProfileOpen);
    ProfileLock annLock(annDir());
    EXPECT_TRUE(annLock.tryLock());
    ASSERT_EQ(window.childWindows().size(), 1u);
}

TEST_F(MainWindowTest, FailedSaveAtShutdownIsShownOnceAndTheProfileIsReleased)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    std::filesystem::remove(home() + "tavik32.ini");
    std::filesystem::create_directory(home() + "tavik32.ini");

    window.commandAction("Exit1Click")->trigger();

    EXPECT_EQ(window.state(), TMainForm::State::ShutDown);
    EXPECT_FALSE(window.isVisible());
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_NE(ui.shown[0].text.find("tavik32.ini"), std::string::npos);
    EXPECT_TRUE(window.childWindows().empty());
    ProfileLock lock(home());
    EXPECT_TRUE(lock.tryLock());
    // Leaving again finds nothing to leave.
    window.LeaveProfile();
    window.Shutdown();
    EXPECT_EQ(ui.shown.size(), 1u);
}

TEST_F(MainWindowTest, ExitSavesTreeLayoutAndSettings)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    window.folderTree().addChild(0, "Later", kGroupFolderImage, kGroupFolderImage);
    window.settings().Name = "Default Person";
    window.commandAction("Exit1Click")->trigger();
    EXPECT_EQ(window.state(), TMainForm::State::ShutDown);
    EXPECT_NE(fileBytes(home() + "treedata1.dat").find(" Later\r\n"), std::string::npos);
    EXPECT_EQ(IniFile(home() + "tavik32.ini").readString("User", "Name"), "Default Person");
    IniFile layout(home() + "treedata.ini");
    EXPECT_TRUE(layout.hasKey("TreeView", "Font"));
    EXPECT_TRUE(layout.readBool("TreeView", "ShowLines", false));
    EXPECT_TRUE(layout.hasKey("Layout", "TreeWidth"));
    EXPECT_TRUE(layout.hasKey("Layout", "ToolBarArea"));
    EXPECT_FALSE(fileExists(home() + "tavik.lock"));
    EXPECT_TRUE(window.users().userNames.empty());
}

TEST_F(MainWindowTest, LayoutIsReadBackWhenTheProfileOpens)
{
    makePrivateDirectories(home());
    writeBytes(home() + "treedata.ini", "[TreeView]\r\nShowLines=0\r\nShowRoot=0\r\n[Layout]\r\nTreeWidth=250\r\n"
                                        "ToolBarVisible=0\r\n");
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    EXPECT_FALSE(window.treeWidget()->showLines());
    EXPECT_FALSE(window.treeWidget()->rootIsDecorated());
    EXPECT_FALSE(window.mainToolBar()->isVisibleTo(&window));
}

TEST_F(MainWindowTest, TimerWithAutoCheckOffOnlyCountsDown)
{
    prepareProfile(home(), home(), [](ProfileSettings& s) {
        s.AutoCheckMail = false;
        s.AutoCheckMinutes = 2;
    });
    WorkflowLog log;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    ASSERT_TRUE(startAndLogIn(window));
    EXPECT_EQ(window.checkCountdown(), 2);
    for (int i = 0; i < 4; ++i)
        window.SystemTimerTimer();
    EXPECT_EQ(window.checkCountdown(), -2);
    EXPECT_TRUE(log.checks.empty());
}

TEST_F(MainWindowTest, TimerWithAutoCheckOnChecksAtEveryDueTick)
{
    prepareProfile(home(), home(), [](ProfileSettings& s) {
        s.AutoCheckMail = true;
        s.AutoCheckMinutes = 1;
    });
    WorkflowLog log;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    ASSERT_TRUE(startAndLogIn(window));
    EXPECT_TRUE(log.checks.empty());
    window.SystemTimerTimer();
    ASSERT_EQ(log.checks.size(), 1u);
    EXPECT_EQ(log.checks[0], CheckStart::Timer);
    EXPECT_EQ(log.countdownDuringCheck[0], 999999);
    EXPECT_EQ(window.checkCountdown(), 1);
    window.SystemTimerTimer();
    EXPECT_EQ(log.checks.size(), 2u);
    // A check from the menu restarts the countdown too.
    prepareProfile(home(), home(), [](ProfileSettings&) {});
    window.settings().AutoCheckMinutes = 5;
    window.commandAction("CheckMail2Click")->trigger();
    ASSERT_EQ(log.checks.size(), 3u);
    EXPECT_EQ(log.checks[2], CheckStart::Command);
    EXPECT_EQ(window.checkCountdown(), 5);
}

TEST_F(MainWindowTest, AutoCheckStartChecksWhenTheProfileOpens)
{
    prepareProfile(home(), home(), [](ProfileSettings& s) { s.AutoCheckStart = true; });
    WorkflowLog log;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    ASSERT_TRUE(startAndLogIn(window));
    ASSERT_EQ(log.checks.size(), 1u);
    EXPECT_EQ(log.checks[0], CheckStart::ProfileOpen);
}

TEST_F(MainWindowTest, TimerCheckWaitsForARunningSession)
{
    prepareProfile(home(), home(), [](ProfileSettings& s) {
        s.AutoCheckMail = true;
        s.AutoCheckMinutes = 1;
    });
    WorkflowLog log;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    ASSERT_TRUE(startAndLogIn(window));
    log.sessionRunning = true;
    window.SystemTimerTimer();
    EXPECT_TRUE(log.checks.empty());
    EXPECT_TRUE(window.timerCheckWaiting());
    EXPECT_EQ(window.checkCountdown(), 999999);
    window.SystemTimerTimer(); // no second check is queued while one waits
    log.sessionRunning = false;
    window.protocolSessionEnded();
    ASSERT_TRUE(waitFor([&] { return log.checks.size() == 1; }));
    EXPECT_FALSE(window.timerCheckWaiting());
    EXPECT_EQ(window.checkCountdown(), 1);
    QTest::qWait(0);
    EXPECT_EQ(log.checks.size(), 1u);
}

TEST_F(MainWindowTest, TimerCheckWaitsForAModalDialog)
{
    prepareProfile(home(), home(), [](ProfileSettings& s) {
        s.AutoCheckMail = true;
        s.AutoCheckMinutes = 1;
    });
    WorkflowLog log;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    ASSERT_TRUE(startAndLogIn(window));
    QDialog dialog(&window);
    dialog.setModal(true);
    dialog.show();
    ASSERT_TRUE(waitFor([] { return QApplication::activeModalWidget() != nullptr; }));
    window.SystemTimerTimer();
    EXPECT_TRUE(log.checks.empty());
    EXPECT_TRUE(window.timerCheckWaiting());
    dialog.close();
    ASSERT_TRUE(waitFor([&] { return log.checks.size() == 1; }));
    EXPECT_EQ(log.checks[0], CheckStart::Timer);
}

TEST_F(MainWindowTest, ToolBarStateFollowsTheActiveChild)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    std::vector<std::string> log;
    auto enabled = [&](const char* name) { return window.commandAction(name)->isEnabled(); };
    const char* const message[] = {"DeleteBtnClick", "FileBtnClick"};
    const char* const viewerOnly[] = {"SaveBtnClick", "PrintBtnClick"};
    const char* const navigation[] = {"PreviousBtnClick", "NextBtnClick", "ReplyBtnClick", "EditBtnClick",
                                      "ForwardBtnClick"};
    // The New Mail window is active: a mailbox window.
    for (const char* name : message)
        EXPECT_TRUE(enabled(name)) << name;
    for (const char* name : viewerOnly)
        EXPECT_FALSE(enabled(name)) << name;
    for (const char* name : navigation)
        EXPECT_TRUE(enabled(name)) << name;
    // The same whether the main window or the child was activated last.
    window.refreshCommandState();
    for (const char* name : navigation)
        EXPECT_TRUE(enabled(name)) << name;

    QMdiSubWindow* viewer = addFakeChild(window, MailChildWindow::Kind::Viewer, 1, log);
    for (const char* group : {"DeleteBtnClick", "SaveBtnClick", "PrintBtnClick", "ReplyBtnClick", "NextBtnClick"})
        EXPECT_TRUE(enabled(group)) << group;
    EXPECT_TRUE(window.sideBar()->link(QStringLiteral("Save"))->isEnabled());

    addFakeChild(window, MailChildWindow::Kind::Composition, 0, log);
    for (const char* name : message)
        EXPECT_FALSE(enabled(name)) << name;
    for (const char* name : viewerOnly)
        EXPECT_FALSE(enabled(name)) << name;
    for (const char* name : navigation)
        EXPECT_FALSE(enabled(name)) << name;
    EXPECT_FALSE(window.sideBar()->link(QStringLiteral("Reply"))->isEnabled());
    EXPECT_FALSE(window.moveToMenu()->isEnabled());

    window.mdiArea()->setActiveSubWindow(viewer);
    window.commandAction("ReplyBtnClick")->trigger();
    window.commandAction("SaveBtnClick")->trigger();
    window.sideBar()->link(QStringLiteral("Next"))->click();
    window.moveToMenu()->actions().at(4)->trigger();
    EXPECT_EQ(log, (std::vector<std::string>{"reply", "save", "next", "moveTo 5"}));

    window.commandAction("CloseAll1Click")->trigger();
    ASSERT_TRUE(waitFor([&] { return window.childWindows().empty(); }));
    window.refreshCommandState();
    for (const char* name : message)
        EXPECT_FALSE(enabled(name)) << name;
    for (const char* name : navigation)
        EXPECT_FALSE(enabled(name)) << name;
}

TEST_F(MainWindowTest, CommandsOfLaterWorkReachTheWorkflows)
{
    WorkflowLog log;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    ASSERT_TRUE(startAndLogIn(window));
    for (const char* name : {"NewBtnClick", "CheckSendBtnClick", "SendQueuedBtnClick", "AddressBook1Click",
                             "MIMESetup1Click", "Setup1Click", "PrintSetup1Click"})
        window.commandAction(name)->trigger();
    EXPECT_EQ(log.commands, (std::vector<std::string>{"composeNewMessage", "checkAndSend", "sendQueued", "addressBook",
                                                      "mimeSetup", "options", "printSetup"}));
    window.sideBar()->link(QStringLiteral("Check"))->click();
    EXPECT_EQ(log.checks.size(), 1u);
}

TEST_F(MainWindowTest, CommandTableTextsAndShortcuts)
{
    TMainForm window;
    struct Row {
        const char* handler;
        const char* text;
        const char* hint;
        const char* shortcut;
    };
    const Row rows[] = {
        {"NewBtnClick", "Compose &New Message", "Compose a new message", "Ctrl+N"},
        {"CheckMail2Click", "Check for new &Mail", "Check for new mail", "Ctrl+M"},
        {"SendQueuedBtnClick", "Send Queued Mail", "Send Queued Mail", ""},
        {"NextBtnClick", "&Next", "Next message", "F9"},
        {"PreviousBtnClick", "&Previous", "Previous message", "F10"},
        {"EditBtnClick", "E&dit", "Edit message", "Ctrl+D"},
        {"ReplyBtnClick", "&Reply", "Reply message", "Ctrl+R"},
        {"ReplyAllBtnClick", "Reply to &all", "Reply to all", "Ctrl+Shift+R"},
        {"ForwardBtnClick", "Forward message", "Forward message", ""},
        {"DeleteBtnClick", "Delete message", "Delete message", ""},
        {"FileBtnClick", "Move message(s) to other folders", "Move message(s) to other folders", ""},
        {"SaveBtnClick", "Save message to disk", "Save message to disk", ""},
        {"PrintBtnClick", "Print message", "Print message", ""},
        {"AddressBook1Click", "&Address Book", "Address Book", "Ctrl+A"},
        {"spbtnCheckUsersClick", "Add/Delete User", "Add/Delete Users", ""},
        {"MIMESetup1Click", "MIM&E Setup", nullptr, "Ctrl+E"},
        {"Setup1Click", "&Options", "Configure the electronic mail", "Ctrl+O"},
        {"Next1Click", "&Next", nullptr, "F6"},
        {"Previous1Click", "&Previous", nullptr, "Shift+F6"},
        {"CloseActiveWindow1Click", "&Close active window", nullptr, ""},
        {"Tile1Click", "&Tile", nullptr, ""},
        {"Cascade1Click", "&Cascade", nullptr, ""},
        {"ArrangeIcons1Click", "Arrange Icons", nullptr, ""},
        {"CloseAll1Click", "Close &All", nullptr, ""},
        {"About1Click", "&About", nullptr, ""},
        {"Exit1Click", "E&xit", nullptr, ""},
        {"PrintSetup1Click", "Print Setup", nullptr, ""},
        {"CompressMailboxes1Click", "Compress Mailboxes", nullptr, ""},
        {"EmptyTrashfolder1Click", "Empty Trash folder", nullptr, ""},
        {"ChangeCurrentUser1Click", "Change current user", nullptr, ""},
    };
    for (const Row& row : rows) {
        QAction* action = window.commandAction(row.handler);
        ASSERT_NE(action, nullptr) << row.handler;
        EXPECT_EQ(action->text(), QString::fromLatin1(row.text)) << row.handler;
        if (row.hint) {
            EXPECT_EQ(action->toolTip(), QString::fromLatin1(row.hint)) << row.handler;
        }
        EXPECT_EQ(action->shortcut(), QKeySequence(QString::fromLatin1(row.shortcut))) << row.handler;
    }
    EXPECT_EQ(window.userCombo()->toolTip(), QStringLiteral("Current user ..."));
    for (const char* link : {"Compose", "Check", "Send/Check", "Send all", "Next", "Previous", "Edit", "Reply",
                             "Reply all", "Forward", "Delete", "Move", "Save", "Print", "A.Book", "Options"})
        EXPECT_NE(window.sideBar()->link(QString::fromLatin1(link)), nullptr) << link;
    QStringList menus;
    for (QAction* menu : window.menuBar()->actions())
        menus << menu->text();
    EXPECT_TRUE(menus.contains(QStringLiteral("&Window")));
    EXPECT_TRUE(menus.contains(QStringLiteral("&Tools")));
    EXPECT_TRUE(menus.contains(QStringLiteral("F&olders...")));
    EXPECT_TRUE(menus.contains(QStringLiteral("&Message...")));
    EXPECT_EQ(window.moveToMenu()->title(), QStringLiteral("Move to..."));
}

TEST_F(MainWindowTest, WindowCommandsMoveAmongChildren)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    window.OpenMailboxWindow(2);
    window.OpenMailboxWindow(3);
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 3);
    window.commandAction("Next1Click")->trigger();
    EXPECT_NE(window.activeChild()->mailboxNumber(), 3);
    window.commandAction("Previous1Click")->trigger();
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 3);
    // Opening an open mailbox brings its window to the front instead of a second one.
    window.OpenMailboxWindow(1);
    EXPECT_EQ(window.activeChild()->mailboxNumber(), 1);
    EXPECT_EQ(window.childWindows().size(), 3u);
    window.commandAction("Tile1Click")->trigger();
    window.commandAction("Cascade1Click")->trigger();
    window.commandAction("ArrangeIcons1Click")->trigger();
    window.commandAction("CloseActiveWindow1Click")->trigger();
    ASSERT_TRUE(waitFor([&] { return window.childWindows().size() == 2; }));
}

TEST_F(MainWindowTest, SigtermShutsDownAsExitDoes)
{
    TMainForm window;
    ShutdownSignals stopSignals;
    ASSERT_TRUE(stopSignals.isActive());
    QObject::connect(&stopSignals, &ShutdownSignals::shutdownRequested, &window, &TMainForm::requestShutdown);
    ASSERT_TRUE(startAndLogIn(window));
    window.settings().Name = "Signalled";
    ::raise(SIGTERM);
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::ShutDown; }));
    EXPECT_EQ(IniFile(home() + "tavik32.ini").readString("User", "Name"), "Signalled");
    EXPECT_FALSE(fileExists(home() + "tavik.lock"));
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(MainWindowTest, TheSplashClosesWhenClickedWhileTheLoginDialogIsUp)
{
    TMainForm window;
    bool splashHidden = false, loginStillUp = false;
    auto driver = ModalDriver::on<TLoginForm>([&](TLoginForm* login) {
        SplashWindow* splash = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* s = qobject_cast<SplashWindow*>(w); s && s->isVisible())
                splash = s;
        ASSERT_NE(splash, nullptr);
        // Through the window system, where a modal dialog's block applies.
        ASSERT_NE(splash->windowHandle(), nullptr);
        QTest::mouseClick(splash->windowHandle(), Qt::LeftButton, {}, splash->rect().center());
        splashHidden = !splash->isVisible();
        loginStillUp = login->isVisible();
        login->okButton()->click();
    });
    window.show();
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::ProfileOpen; }));
    EXPECT_TRUE(splashHidden);
    EXPECT_TRUE(loginStillUp);
}

TEST_F(MainWindowTest, SigintDuringLoginQuits)
{
    TMainForm window;
    ShutdownSignals stopSignals;
    QObject::connect(&stopSignals, &ShutdownSignals::shutdownRequested, &window, &TMainForm::requestShutdown);
    auto driver = ModalDriver::on<TLoginForm>([](TLoginForm*) { ::raise(SIGINT); });
    window.show();
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::Quitting; }));
    EXPECT_FALSE(fileExists(home() + "tavik32.ini"));
}

TEST_F(MainWindowTest, ShutdownCancelsARunningSessionAndWaitsForItsEnd)
{
    WorkflowLog log;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    ASSERT_TRUE(startAndLogIn(window));
    log.sessionRunning = true;
    // The session reports a failure in a box of its own; nobody is there to close it.
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Tavik mail"), QStringLiteral("refused"), QMessageBox::Ok, &window);
    box.setModal(true);
    box.show();
    ASSERT_TRUE(waitFor([&] { return QApplication::activeModalWidget() == &box; }));
    window.requestShutdown();
    EXPECT_FALSE(box.isVisible());
    EXPECT_EQ(log.cancels, 1);
    EXPECT_EQ(window.state(), TMainForm::State::ProfileOpen);
    log.sessionRunning = false;
    window.protocolSessionEnded();
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::ShutDown; }));
    EXPECT_TRUE(fileExists(home() + "treedata1.dat"));
}

TEST_F(MainWindowTest, ShutdownClosesAnOpenModalDialogFirst)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    bool rejected = false;
    QDialog dialog(&window);
    QObject::connect(&dialog, &QDialog::rejected, [&] { rejected = true; });
    dialog.setModal(true);
    dialog.show();
    ASSERT_TRUE(waitFor([] { return QApplication::activeModalWidget() != nullptr; }));
    window.requestShutdown();
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::ShutDown; }));
    EXPECT_TRUE(rejected);
}

TEST_F(MainWindowTest, ChildThatKeepsItsDocumentStopsTheExit)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    std::vector<std::string> log;
    QMdiSubWindow* sub = addFakeChild(window, MailChildWindow::Kind::Composition, 0, log);
    static_cast<FakeChild*>(sub->widget())->allowClose = false;
    window.commandAction("Exit1Click")->trigger();
    EXPECT_EQ(window.state(), TMainForm::State::ProfileOpen);
    EXPECT_TRUE(window.isVisible());
    static_cast<FakeChild*>(sub->widget())->allowClose = true;
    window.commandAction("Exit1Click")->trigger();
    EXPECT_EQ(window.state(), TMainForm::State::ShutDown);
}

TEST_F(MainWindowTest, LeavingAProfileCompressesMailboxesWithMuchTrash)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    TNMailBox& store = window.Mailbox();
    // Mailbox 1 gets more than 100000 bytes of trash, Sent less.
    for (int n : {1, 2}) {
        store.SetCurrentMailBoxNumber(n);
        store.Msg_Text.assign(n == 1 ? 1200 : 100, std::string(99, 'x'));
        store.Msg_Subject = "big";
        store.Msg_Flag = 'V';
        store.AppendMessage();
        store.SetCurrentMailBoxNumber(n);
        store.SetMsg_Number(1);
        store.DeleteMessage();
    }
    auto trashOf = [&](int n) {
        TNMailBox reader;
        reader.MailBoxes = standardMailboxEntries();
        reader.setMailBoxDirectoryWithoutChanges(home() + "mailboxe/");
        reader.SetCurrentMailBoxNumber(n);
        return reader.CurrentNMailBoxTrash();
    };
    ASSERT_GT(trashOf(1), 100000);
    ASSERT_GT(trashOf(2), 0);
    window.commandAction("Exit1Click")->trigger();
    EXPECT_EQ(trashOf(1), 0);
    EXPECT_GT(trashOf(2), 0);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(MainWindowTest, SwitchToAUserWhoseDirectoryLeavesUsersIsRefused)
{
    makePrivateDirectories(home());
    writeBytes(home() + "Login.ini", "[Login]\r\ndefault=default\r\nevil=..\r\n[Pwd]\r\n0=none\r\n1=none\r\n");
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window, 0));
    chooseUser(window, 1);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_EQ(ui.shown[0].text, "The profile of user evil cannot be opened:\r\nits directory \"..\" in \"Login.ini\" is "
                                "not a plain name\r\ninside the \"users\" directory.");
    EXPECT_EQ(window.users().currentUser, 0);
    EXPECT_EQ(window.userCombo()->currentIndex(), 0);
    EXPECT_EQ(window.ProfileDirectory(), home());
    EXPECT_EQ(window.childWindows().size(), 1u);
}

TEST_F(MainWindowTest, CompressAndEmptyTrash)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    appendMessage(window.Mailbox(), kTrashMailbox, "old");
    appendMessage(window.Mailbox(), kTrashMailbox, "older");
    window.commandAction("CompressMailboxes1Click")->trigger();
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), kTrashMailbox), 2);
    window.commandAction("EmptyTrashfolder1Click")->trigger();
    EXPECT_EQ(messagesIn(home(), window.mailboxList(), kTrashMailbox), 0);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(MainWindowTest, AMailtoLinkBeforeTheLoginWaitsAndThenFillsACompositionThatSendsNothing)
{
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<MailWorkflows>());
    window.composeFromLink("mailto:ann@example.org,%22Lind%2C%20Tom%22%20%3Ctom@example.net%3E?cc=carl@example.org"
                           "&bcc=dora@example.org&subject=Gr%C3%BC%C3%9Fe&body=Hi%0D%0Athere&attach=%2Fetc%2Fpasswd");
    ASSERT_TRUE(startAndLogIn(window));
    window.composeFromLink("eve@example.org"); // a bare address, as a message's text shows one
    std::vector<TNewMessageForm*> forms;
    for (const auto& child : window.childWindows())
        if (auto* form = dynamic_cast<TNewMessageForm*>(child.second))
            forms.push_back(form);
    ASSERT_EQ(forms.size(), 2u);
    const ComposedMessage first = forms[0]->composedMessage();
    EXPECT_EQ(first.ToLines, (std::vector<std::string>{"ann@example.org", "\"Lind, Tom\" <tom@example.net>"}));
    EXPECT_EQ(first.ccLines, std::vector<std::string>{"carl@example.org"});
    EXPECT_EQ(first.BccLines, std::vector<std::string>{"dora@example.org"});
    EXPECT_EQ(first.Subject, "Gr\xc3\xbc\xc3\x9f" "e");
    EXPECT_EQ(first.Body, (std::vector<std::string>{"Hi", "there"}));
    EXPECT_TRUE(first.Attachments.empty());
    EXPECT_FALSE(forms[0]->handled());
    EXPECT_EQ(forms[1]->composedMessage().ToLines, std::vector<std::string>{"eve@example.org"});
    ui.yesNo = {true, true}; // both compositions are discarded as the window closes
}

TEST_F(MainWindowTest, PasswordsMoveIntoTheKeyringAndOneItWillNotGiveIsAskedFor)
{
    prepareProfile(home(), home(), [](ProfileSettings& s) {
        s.Pop3Server = "pop.example.org";
        s.ID = "ann";
        s.Password = "pw";
    });
    std::map<std::string, std::string> kept;
    WorkflowLog log;
    {
        auto keyring = std::make_unique<FakeKeyring>();
        FakeKeyring& desktop = *keyring;
        TMainForm window;
        window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
        window.setKeyring(std::move(keyring));
        ASSERT_TRUE(startAndLogIn(window));
        EXPECT_NE(fileBytes(home() + "tavik32.ini").find("Password=\r\nKeyring=pop.example.org\r\n"), std::string::npos);
        ASSERT_EQ(desktop.entries.size(), 1u);
        EXPECT_TRUE(window.knowServerPassword(PasswordService::Pop3));
        kept = desktop.entries;
    }
    auto keyring = std::make_unique<FakeKeyring>();
    keyring->entries = kept;
    keyring->readStatus = KeyringStatus::Locked;
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<RecordingWorkflows>(log));
    window.setKeyring(std::move(keyring));
    ASSERT_TRUE(startAndLogIn(window));
    EXPECT_TRUE(window.settings().Password.empty());
    // The timer's check has nobody to ask; then the user cancels, then answers.
    EXPECT_FALSE(window.knowServerPassword(PasswordService::Pop3, true));
    EXPECT_TRUE(ui.textsOf("server password").empty());
    ui.serverPasswords = {std::nullopt, std::string("typed")};
    EXPECT_FALSE(window.knowServerPassword(PasswordService::Pop3));
    EXPECT_TRUE(window.knowServerPassword(PasswordService::Pop3));
    EXPECT_EQ(window.settings().Password, "typed");
    EXPECT_EQ(ui.textsOf("server password"),
              std::vector<std::string>(2, "The POP3 password cannot be read: the desktop's keyring is locked (refused)."
                                          "\r\nPassword of \"ann\" at pop.example.org:"));
    EXPECT_TRUE(window.knowServerPassword(PasswordService::Smtp)); // none kept there
}

} // namespace
} // namespace tavik::test
