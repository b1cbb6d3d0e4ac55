// The options dialog offscreen on a fresh profile: its controls and captions, the drafts and
// colour lists, the signature, the browser buttons (with a stand-in xdg-settings), the checks
// of OK, acceptance into the record and the files, Cancel, and screenshots of the four pages.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <array>
#include <sys/stat.h>

#include "app/options_dialog.h"
#include "profile/settings.h"
#include "net/password_keeping.h"
#include "support/fake_keyring.h"
#include "ui/ui_test_support.h"
#include "view/text_viewer_rules.h"
#include "window_common/text_conversion.h"

using namespace tavik;
using namespace tavik::test;

namespace {

// The widget of type T under `root` whose text is `text`, nullptr when none.
template <typename T>
T* withText(QWidget* root, const char* text)
{
    for (T* w : root->findChildren<T*>())
        if (w->text() == QString::fromLatin1(text))
            return w;
    return nullptr;
}

class OptionsDialog : public UiTest {
protected:
    OptionsDialog()
    {
        LoadSettings(home(), home(), settings, mailboxes);
        mailboxes.push_back("m5=Friends");
        SaveSettings(home(), settings, mailboxes);
    }

    std::string ini() const { return fileBytes(home() + "tavik32.ini"); }
    std::string signature() const { return fileBytes(home() + "signatur.def"); }
    ProfileSettings reloaded() const
    {
        ProfileSettings s;
        MailboxList m;
        LoadSettings(home(), home(), s, m);
        return s;
    }
    QCheckBox* box(TSetupForm& form, const char* caption)
    {
        QCheckBox* b = withText<QCheckBox>(&form, caption);
        EXPECT_NE(b, nullptr) << caption;
        return b;
    }
    // The line edit a form label belongs to.
    QLineEdit* field(QWidget* group, const char* label)
    {
        QLabel* l = withText<QLabel>(group, label);
        EXPECT_NE(l, nullptr) << label;
        return l ? qobject_cast<QLineEdit*>(l->buddy()) : nullptr;
    }
    QGroupBox* group(TSetupForm& form, const char* prefix)
    {
        for (QGroupBox* g : form.findChildren<QGroupBox*>())
            if (g->title().startsWith(QString::fromLatin1(prefix)))
                return g;
        ADD_FAILURE() << prefix;
        return nullptr;
    }
    // OK on a shown dialog; true when it closed accepted.
    bool pressOk(TSetupForm& form)
    {
        form.okButton()->click();
        return form.result() == QDialog::Accepted && !form.isVisible();
    }

    ProfileSettings settings;
    MailboxList mailboxes;
};

TEST_F(OptionsDialog, ShowsEveryControlWithItsCaptionAndSetting)
{
    settings.AutoCheckStart = true;
    settings.AutoCheckMail = true;
    settings.AutoCheckMinutes = 12;
    settings.AutoAddAddress = false;
    settings.SaveSent = false;
    settings.FullHeaders = true;
    settings.MarkAsRead = true;
    settings.QuotedColor = 9;
    settings.Name = "Zo\xeb Smith";
    settings.ID = "zoe";
    settings.RetAddr = "zoe@example.org";
    settings.Pop3Server = "pop.example.org";
    settings.Password = "s\xe9" "cret";
    settings.Browser = "/usr/bin/browser";
    TSetupForm form(settings, home(), mailboxes);

    EXPECT_EQ(form.windowTitle(), QStringLiteral("Options . . ."));
    ASSERT_EQ(form.sideBar()->count(), 4);
    const char* sideBar[] = {"General options", "Signature", "Advanced setup", "Networking options"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(form.sideBar()->item(i)->text(), QString::fromLatin1(sideBar[i]));
    EXPECT_EQ(form.pages()->count(), 4);

    for (const char* caption :
         {"Delete mail from server after retrieving", "Empty Trash folder on Exit",
          "Use the last sent message's priority", "Send acknowledgement of receipt", "Use signature",
          "Add random text on signature from:"})
        EXPECT_FALSE(box(form, caption)->isChecked()) << caption;
    for (const char* caption : {"Check for new mail on program startup", "Check for new mail every",
                                "Show full headers in messages.",
                                "Mark as read the messages viewed"})
        EXPECT_TRUE(box(form, caption)->isChecked()) << caption;
    EXPECT_FALSE(box(form, "Add address from mail received to address book.")->isChecked());
    EXPECT_FALSE(box(form, "Save sent messages in Sent folder")->isChecked());
    for (const char* label : {"minutes.", "Save Drafts in this folder:", "Save read mail in this folder:",
                              "Show quoted text in this color:", "> Quoted Text", "Web browser:",
                              "Press button for MIME types editor", "TCP/IP timeout value (maximun wait time in seconds)"})
        EXPECT_NE(withText<QLabel>(&form, label), nullptr) << label;
    for (const char* button : {"Browse", "Registered Web Browser", "OK", "Cancel"})
        EXPECT_NE(withText<QPushButton>(&form, button), nullptr) << button;
    EXPECT_EQ(form.minutesField()->text(), QStringLiteral("12"));
    EXPECT_EQ(form.quotedColorList()->currentIndex(), 9);
    EXPECT_EQ(form.browserField()->text(), QStringLiteral("/usr/bin/browser"));
    EXPECT_TRUE(QFontInfo(form.signatureEditor()->font()).fixedPitch());

    QGroupBox* personal = group(form, "Personal");
    EXPECT_EQ(field(personal, "Name:")->text(), QString::fromLatin1("Zo\xeb Smith"));
    EXPECT_EQ(field(personal, "User ID:")->text(), QStringLiteral("zoe"));
    EXPECT_EQ(field(personal, "User ID:")->toolTip(), QStringLiteral("Your LOGIN"));
    EXPECT_EQ(field(personal, "e-mail:")->text(), QStringLiteral("zoe@example.org"));
    EXPECT_EQ(field(personal, "Reply to:")->text(), QString());
    QGroupBox* pop3 = group(form, "POP3");
    EXPECT_EQ(field(pop3, "Host:")->text(), QStringLiteral("pop.example.org"));
    EXPECT_EQ(field(pop3, "Port:")->text(), QStringLiteral("110"));
    QLineEdit* password = field(pop3, "Password:");
    EXPECT_EQ(password->text(), QString::fromLatin1("s\xe9" "cret"));
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    QGroupBox* smtp = group(form, "SMTP");
    EXPECT_EQ(field(smtp, "Host:")->text(), QString());
    EXPECT_EQ(field(smtp, "Port:")->text(), QStringLiteral("25"));
    EXPECT_EQ(form.timeOutField()->text(), QStringLiteral("30"));
}

TEST_F(OptionsDialog, SideBarAndTabsShowTheSamePage)
{
    TSetupForm form(settings, home(), mailboxes);
    form.show();
    EXPECT_EQ(form.currentPage(), TSetupForm::GeneralPage);
    form.sideBar()->setCurrentRow(3);
    EXPECT_EQ(form.pages()->currentIndex(), 3);
    form.pages()->setCurrentIndex(1);
    EXPECT_EQ(form.sideBar()->currentRow(), 1);
    form.showPage(TSetupForm::AdvancedPage);
    EXPECT_EQ(form.sideBar()->currentRow(), 2);
    EXPECT_TRUE(form.browserField()->isVisible());
}

TEST_F(OptionsDialog, QuotedColourListRecoloursTheSampleAtOnce)
{
    settings.QuotedColor = 4;
    TSetupForm form(settings, home(), mailboxes);
    const std::vector<std::string> names{"Black",      "Brown", "Green",       "Dark Cyan", "Dark Blue",  "Purple",
                                         "Teal",       "Dark Gray", "Light Gray", "Red",   "Light Green", "Yellow",
                                         "Light Blue", "Fuchsia",   "Light Cyan", "White"};
    ASSERT_EQ(form.quotedColorList()->count(), 16);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(form.quotedColorList()->itemText(i), fromStored(names[i]));
    auto sampleColor = [&] { return form.quotedSample()->palette().color(QPalette::WindowText).rgb() & 0xFFFFFF; };
    EXPECT_EQ(sampleColor(), QuotedColorTable[4]);
    for (int i : {13, 0, 15, 2}) {
        form.quotedColorList()->setCurrentIndex(i);
        EXPECT_EQ(sampleColor(), QuotedColorTable[i]) << i;
    }
    form.show();
    EXPECT_TRUE(pressOk(form));
    EXPECT_EQ(settings.QuotedColor, 2);
    EXPECT_EQ(reloaded().QuotedColor, 2);
}

TEST_F(OptionsDialog, DraftsListOffersEveryMailboxAndSelectsByExactName)
{
    {
        TSetupForm form(settings, home(), mailboxes);
        QComboBox* drafts = form.draftsList();
        ASSERT_EQ(drafts->count(), 6);
        const char* names[] = {"New Mail", "Sent", "To Send", "Drafts", "Trash", "Friends"};
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(drafts->itemText(i), QString::fromLatin1(names[i]));
        EXPECT_EQ(drafts->currentText(), QStringLiteral("Drafts"));
        // The list without a setting: the five standard mailboxes, nothing to change.
        ASSERT_EQ(form.readMailList()->count(), 5);
        EXPECT_EQ(form.readMailList()->itemText(4), QStringLiteral("Trash"));
        drafts->setCurrentIndex(5);
        form.show();
        EXPECT_TRUE(pressOk(form));
        EXPECT_EQ(settings.DraftsMailBox, "Friends");
        EXPECT_EQ(reloaded().DraftsMailBox, "Friends");
    }
    settings.DraftsMailBox = "friends"; // letter case counts
    {
        TSetupForm form(settings, home(), mailboxes);
        EXPECT_EQ(form.draftsList()->currentIndex(), -1);
    }
    // A drafts mailbox that has gone: nothing selected, and OK keeps the name rather than an
    // empty one, which would file drafts in whatever mailbox is selected.
    settings.DraftsMailBox = "Old Drafts";
    TSetupForm form(settings, home(), mailboxes);
    EXPECT_EQ(form.draftsList()->currentIndex(), -1);
    form.show();
    EXPECT_TRUE(pressOk(form));
    EXPECT_EQ(settings.DraftsMailBox, "Old Drafts");
    EXPECT_EQ(reloaded().DraftsMailBox, "Old Drafts");
}

TEST_F(OptionsDialog, SignatureIsReadIntoTheEditorAndWrittenBackLineByLine)
{
    writeBytes(home() + "signatur.def", "-- \r\nZo\xeb Smith\nphone 123\r\n\r\n");
    settings.UseSignature = true;
    TSetupForm form(settings, home(), mailboxes);
    EXPECT_TRUE(box(form, "Use signature")->isChecked());
    EXPECT_EQ(form.signatureEditor()->toPlainText(), QString::fromLatin1("-- \nZo\xeb Smith\nphone 123\n\n"));
    // Unchanged, the file comes back with every line, the empty last one too, in CR LF.
    form.show();
    EXPECT_TRUE(pressOk(form));
    EXPECT_EQ(signature(), "-- \r\nZo\xeb Smith\r\nphone 123\r\n\r\n");
    EXPECT_TRUE(settings.UseSignature);

    TSetupForm edited(settings, home(), mailboxes);
    edited.signatureEditor()->setPlainText(QStringLiteral("Best regards\nZoe"));
    edited.show();
    EXPECT_TRUE(pressOk(edited));
    EXPECT_EQ(signature(), "Best regards\r\nZoe\r\n");
}

TEST_F(OptionsDialog, EmptySignatureClearsUseSignature)
{
    // An empty file opens with the tick cleared.
    writeBytes(home() + "signatur.def", "");
    settings.UseSignature = true;
    {
        TSetupForm form(settings, home(), mailboxes);
        EXPECT_FALSE(box(form, "Use signature")->isChecked());
    }
    // An emptied editor with the tick set saves it off and writes an empty file.
    writeBytes(home() + "signatur.def", "old signature\r\n");
    TSetupForm form(settings, home(), mailboxes);
    box(form, "Use signature")->setChecked(true);
    form.signatureEditor()->clear();
    form.show();
    EXPECT_TRUE(pressOk(form));
    EXPECT_FALSE(settings.UseSignature);
    EXPECT_FALSE(reloaded().UseSignature);
    EXPECT_TRUE(QFile::exists(pathFromBytes(home() + "signatur.def")));
    EXPECT_EQ(signature(), "");
}

TEST_F(OptionsDialog, UnreadableSignatureIsShownAndNeverWrittenOver)
{
    const std::string huge(2 * 1024 * 1024, 'x');
    writeBytes(home() + "signatur.def", huge);
    settings.UseSignature = true;
    TSetupForm form(settings, home(), mailboxes);
    ASSERT_EQ(ui.textsOf("error").size(), 1u);
    EXPECT_NE(ui.textsOf("error")[0].find("signatur.def"), std::string::npos);
    EXPECT_TRUE(form.signatureEditor()->isReadOnly());
    form.show();
    EXPECT_TRUE(pressOk(form));
    EXPECT_EQ(signature(), huge);
    EXPECT_TRUE(settings.UseSignature);
}

TEST_F(OptionsDialog, BrowseButtonsFillTheirFields)
{
    TSetupForm form(settings, home(), mailboxes);
    QPushButton* randomBrowse = nullptr;
    for (QPushButton* b : form.findChildren<QPushButton*>())
        if (b->text() == QStringLiteral("Browse") && b->parentWidget() == form.randomTextFile()->parentWidget())
            randomBrowse = b;
    ASSERT_NE(randomBrowse, nullptr);

    // The random-text Browse does nothing while its tick is clear.
    form.SignatureBrowseClick();
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_FALSE(randomBrowse->isEnabled());
    box(form, "Add random text on signature from:")->setChecked(true);
    EXPECT_TRUE(randomBrowse->isEnabled());
    ui.files.push_back(home() + "quotes.txt");
    randomBrowse->click();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "open");
    EXPECT_EQ(ui.shown[0].title, "Random text in Signature...");
    EXPECT_EQ(form.randomTextFile()->text(), pathFromBytes(home() + "quotes.txt"));

    // The browser: a plain path as it is, a path with blanks quoted as the command line it is.
    ui.files.push_back("/usr/bin/web-browser");
    form.BrowserBrowseClick();
    EXPECT_EQ(ui.shown.back().title, "Web Browser");
    EXPECT_EQ(form.browserField()->text(), QStringLiteral("/usr/bin/web-browser"));
    ui.files.push_back("/opt/My Browser/run");
    form.BrowserBrowseClick();
    EXPECT_EQ(form.browserField()->text(), QStringLiteral("\"/opt/My Browser/run\""));
    ui.files.push_back(std::nullopt);
    form.BrowserBrowseClick();
    EXPECT_EQ(form.browserField()->text(), QStringLiteral("\"/opt/My Browser/run\""));

    form.show();
    EXPECT_TRUE(pressOk(form));
    EXPECT_TRUE(settings.PluggInSig);
    EXPECT_EQ(settings.PluggInSigFile, home() + "quotes.txt");
    EXPECT_EQ(reloaded().Browser, "\"/opt/My Browser/run\"");
}

TEST_F(OptionsDialog, MimeButtonOpensTheEditor)
{
    int opened = 0;
    TSetupForm form(settings, home(), mailboxes);
    form.OnMimeEditor = [&] { ++opened; };
    QPushButton* mime = withText<QPushButton>(&form, "MIME Types");
    ASSERT_NE(mime, nullptr);
    mime->click();
    EXPECT_EQ(opened, 1);
}

TEST_F(OptionsDialog, UntickingTheKeyringMovesThePasswordsIntoTheProfileAndAnUnreadableOneIsNamed)
{
    FakeKeyring desktop;
    PasswordKeeper keeper(&desktop, home(), "ann");
    settings.Pop3Server = "pop.example.org";
    settings.Password = "pw";
    saveSettingsKeepingPasswords(&keeper, home(), settings, settings, mailboxes);
    ASSERT_EQ(settings.Pop3Keyring, "pop.example.org");
    {
        TSetupForm form(settings, home(), mailboxes);
        form.Keeper = &keeper;
        QCheckBox* keep = box(form, "Keep the server passwords in the desktop's keyring");
        ASSERT_TRUE(keep && keep->isChecked());
        keep->setChecked(false);
        form.show();
        ASSERT_TRUE(pressOk(form));
    }
    EXPECT_TRUE(desktop.entries.empty());
    EXPECT_EQ(reloaded().Password, "pw");
    EXPECT_FALSE(settings.UseKeyring);

    // Kept there but not readable: the field says so and stays empty.
    settings.Password.clear();
    settings.Pop3Keyring = "pop.example.org";
    TSetupForm form(settings, home(), mailboxes);
    bool named = false;
    for (QLineEdit* edit : form.findChildren<QLineEdit*>())
        named = named || edit->placeholderText() == QStringLiteral("in the keyring, which cannot be read now");
    EXPECT_TRUE(named);
}

// A stand-in xdg-settings first on PATH, and the XDG data directories in the test's profile.
class RegisteredBrowser : public OptionsDialog {
protected:
    RegisteredBrowser()
    {
        for (const char* name : {"PATH", "XDG_DATA_HOME", "XDG_DATA_DIRS"})
            saved_.emplace_back(name, qgetenv(name), qEnvironmentVariableIsSet(name));
        const std::string bin = home() + "fakebin/";
        mkdir(bin.c_str(), 0700);
        mkdir((home() + "data").c_str(), 0700);
        mkdir((home() + "data/applications").c_str(), 0700);
        writeBytes(bin + "xdg-settings", "#!/bin/sh\n[ \"$1 $2\" = \"get default-web-browser\" ] || exit 2\n"
                                          "cat \"" + home() + "answer\"\n");
        chmod((bin + "xdg-settings").c_str(), 0700);
        qputenv("PATH", QByteArray::fromStdString(bin) + ':' + qgetenv("PATH"));
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(home() + "data"));
        qputenv("XDG_DATA_DIRS", QByteArray::fromStdString(home() + "none"));
    }
    ~RegisteredBrowser() override
    {
        for (const auto& [name, value, set] : saved_) {
            if (set)
                qputenv(name, value);
            else
                qunsetenv(name);
        }
    }
    void registered(const std::string& entry, const std::string& exec)
    {
        writeBytes(home() + "answer", entry + "\n");
        writeBytes(home() + "data/applications/" + entry,
                   "[Desktop Entry]\nType=Application\nName=Web\nExec=" + exec + "\n");
    }

private:
    std::vector<std::tuple<const char*, QByteArray, bool>> saved_;
};

TEST_F(RegisteredBrowser, SetAsDefaultMailProgramHandsTheDesktopEntryToXdgMime)
{
    const std::string tool = home() + "fakebin/xdg-mime";
    writeBytes(tool, "#!/bin/sh\nprintf '%s|' \"$@\" > \"" + home() + "asked\"\nexit \"$(cat \"" + home() + "status\")\"\n");
    chmod(tool.c_str(), 0700);
    writeBytes(home() + "status", "0");
    TSetupForm form(settings, home(), mailboxes);
    QPushButton* button = withText<QPushButton>(&form, "Set as default mail program");
    ASSERT_NE(button, nullptr);
    button->click();
    EXPECT_EQ(fileBytes(home() + "asked"), "default|net.tavikmail.Tavik.desktop|x-scheme-handler/mailto|");
    writeBytes(home() + "status", "3");
    button->click();
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[0].text, "Tavik mail now opens the mailto: links clicked on this desktop.");
    EXPECT_EQ(ui.shown[1].text, "The desktop did not take Tavik mail as its mail program: xdg-mime is missing or refused.");
}

TEST_F(RegisteredBrowser, TakesTheDesktopsBrowserCutBeforeThePlaceholder)
{
    settings.Browser = "/usr/bin/old";
    TSetupForm form(settings, home(), mailboxes);
    QPushButton* button = withText<QPushButton>(&form, "Registered Web Browser");
    ASSERT_NE(button, nullptr);

    // Without a placeholder, and with no entry at all, the field stays as it was.
    registered("plain.desktop", "/opt/plain/browser");
    button->click();
    EXPECT_EQ(form.browserField()->text(), QStringLiteral("/usr/bin/old"));
    writeBytes(home() + "answer", "missing.desktop\n");
    button->click();
    EXPECT_EQ(form.browserField()->text(), QStringLiteral("/usr/bin/old"));

    registered("web.desktop", "/opt/web/browser --new-window %u");
    button->click();
    EXPECT_EQ(form.browserField()->text(), QStringLiteral("/opt/web/browser --new-window"));

    // The file association's form is cut the same way.
    form.RegisteredBrowser = [] { return std::optional<std::string>("C:/Web/browser.exe"); };
    form.RegisteredBrowserClick();
    EXPECT_EQ(form.browserField()->text(), QStringLiteral("C:/Web/browser.exe"));
    form.show();
    EXPECT_TRUE(pressOk(form));
    EXPECT_EQ(settings.Browser, "C:/Web/browser.exe");
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(OptionsDialog, OkRefusesBadMinutesAndKeepsEverything)
{
    writeBytes(home() + "signatur.def", "sig\r\n");
    const std::string iniBefore = ini();
    const ProfileSettings before = settings;
    TSetupForm form(settings, home(), mailboxes);
    form.show();
    box(form, "Check for new mail every")->setChecked(true);
    box(form, "Empty Trash folder on Exit")->setChecked(true);
    form.signatureEditor()->setPlainText(QStringLiteral("changed"));
    form.showPage(TSetupForm::NetworkPage);

    // The edge case as written, then minutes below 1 and a bad number while unticked.
    for (const char* minutes : {"abc", "0", "-5", "", "99999999999"}) {
        ui.shown.clear();
        form.minutesField()->setText(QString::fromLatin1(minutes));
        EXPECT_FALSE(pressOk(form)) << minutes;
        ASSERT_EQ(ui.textsOf("inform"), std::vector<std::string>{"You must specify the number of minutes."}) << minutes;
        EXPECT_EQ(form.currentPage(), TSetupForm::GeneralPage);
        EXPECT_EQ(form.focusWidget(), form.minutesField());
    }
    box(form, "Check for new mail every")->setChecked(false);
    form.minutesField()->setText(QStringLiteral("abc"));
    EXPECT_FALSE(pressOk(form));
    EXPECT_EQ(ui.textsOf("inform").back(), "You must specify the number of minutes.");

    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(ini(), iniBefore);
    EXPECT_EQ(signature(), "sig\r\n");
    EXPECT_FALSE(settings.EmptyTrashOnExit);
    EXPECT_EQ(settings.AutoCheckMinutes, before.AutoCheckMinutes);

    form.minutesField()->setText(QStringLiteral(" 15 "));
    EXPECT_TRUE(pressOk(form));
    EXPECT_EQ(settings.AutoCheckMinutes, 15);
    EXPECT_TRUE(settings.EmptyTrashOnExit);
    EXPECT_EQ(signature(), "changed\r\n");
}

TEST_F(OptionsDialog, OkNamesABadPortOrTimeOutAndFocusesIt)
{
    const std::string iniBefore = ini();
    TSetupForm form(settings, home(), mailboxes);
    form.show();
    QLineEdit* name = field(group(form, "Personal"), "Name:");
    name->setText(QStringLiteral("New Name"));
    struct Case {
        QLineEdit* field;
        const char* text;
        std::string message;
    };
    const std::string pop3 = "The POP3 \"Port:\" must be a number from 1 to 65535.";
    const std::string smtp = "The SMTP \"Port:\" must be a number from 1 to 65535.";
    const std::string timeOut = "The TCP/IP timeout value must be a number of seconds, 1 or more.";
    const Case cases[] = {{form.pop3PortField(), "abc", pop3},   {form.pop3PortField(), "0", pop3},
                          {form.pop3PortField(), "65536", pop3}, {form.smtpPortField(), "2 5", smtp},
                          {form.smtpPortField(), "-25", smtp},   {form.timeOutField(), "0", timeOut},
                          {form.timeOutField(), "x30", timeOut}};
    for (const Case& c : cases) {
        const QString good = c.field->text();
        c.field->setText(QString::fromLatin1(c.text));
        form.showPage(TSetupForm::GeneralPage);
        ui.shown.clear();
        EXPECT_FALSE(pressOk(form)) << c.text;
        EXPECT_EQ(ui.textsOf("inform"), std::vector<std::string>{c.message}) << c.text;
        EXPECT_EQ(form.currentPage(), TSetupForm::NetworkPage);
        EXPECT_EQ(form.focusWidget(), c.field);
        EXPECT_EQ(c.field->selectedText(), c.field->text());
        c.field->setText(good);
    }
    EXPECT_EQ(ini(), iniBefore);
    EXPECT_EQ(settings.Name, "");

    form.pop3PortField()->setText(QStringLiteral("65535"));
    form.smtpPortField()->setText(QStringLiteral("1"));
    form.timeOutField()->setText(QStringLiteral("1"));
    EXPECT_TRUE(pressOk(form));
    EXPECT_EQ(settings.Pop3Port, 65535);
    EXPECT_EQ(settings.SmtpPort, 1);
    EXPECT_EQ(settings.TimeOut, 1);
    EXPECT_EQ(settings.Name, "New Name");
}

TEST_F(OptionsDialog, OkKeepsEveryCharacterAsUtf8AndOldTextAsItWas)
{
    {
        TSetupForm form(settings, home(), mailboxes);
        form.show();
        field(group(form, "Personal"), "Name:")->setText(QString::fromUtf8("Zo\xc3\xab \xe2\x82\xac \xce\xa9"));
        form.signatureEditor()->setPlainText(QString::fromUtf8("Gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x98\x80"));
        EXPECT_TRUE(pressOk(form));
        EXPECT_TRUE(ui.textsOf("inform").empty());
        EXPECT_EQ(settings.Name, "Zo\xc3\xab \xe2\x82\xac \xce\xa9");
        EXPECT_EQ(signature(), "Gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x98\x80\r\n");
    }
    // What the 8-bit program wrote shows right and, untouched, keeps its bytes.
    settings.Name = "Andr\xe9";
    writeBytes(home() + "signatur.def", "Amiti\xe9s\r\n");
    TSetupForm form(settings, home(), mailboxes);
    form.show();
    EXPECT_EQ(field(group(form, "Personal"), "Name:")->text(), QString::fromUtf8("Andr\xc3\xa9"));
    EXPECT_EQ(form.signatureEditor()->toPlainText(), QString::fromUtf8("Amiti\xc3\xa9s\n"));
    EXPECT_TRUE(pressOk(form));
    EXPECT_EQ(settings.Name, "Andr\xe9");
    EXPECT_EQ(signature(), "Amiti\xe9s\r\n");
}

TEST_F(OptionsDialog, AcceptanceCopiesEverythingBackAndSavesIt)
{
    TSetupForm form(settings, home(), mailboxes);
    form.show();
    for (QCheckBox* b : form.findChildren<QCheckBox*>())
        b->setChecked(!b->isChecked());
    form.signatureEditor()->setPlainText(QStringLiteral("sig"));
    form.randomTextFile()->setText(QStringLiteral("/home/me/quotes.txt"));
    form.browserField()->setText(QStringLiteral("firefox"));
    form.minutesField()->setText(QStringLiteral("7"));
    form.quotedColorList()->setCurrentIndex(12);
    QGroupBox* personal = group(form, "Personal");
    field(personal, "Name:")->setText(QStringLiteral("Ann"));
    field(personal, "User ID:")->setText(QStringLiteral("ann"));
    field(personal, "e-mail:")->setText(QStringLiteral("ann@example.org"));
    field(personal, "Reply to:")->setText(QStringLiteral("replies@example.org"));
    QGroupBox* pop3 = group(form, "POP3");
    field(pop3, "Host:")->setText(QStringLiteral("pop.example.org"));
    field(pop3, "Port:")->setText(QStringLiteral("995"));
    field(pop3, "Password:")->setText(QStringLiteral(" pass word "));
    QGroupBox* smtp = group(form, "SMTP");
    field(smtp, "Host:")->setText(QStringLiteral("smtp.example.org"));
    field(smtp, "Port:")->setText(QStringLiteral("587"));
    form.timeOutField()->setText(QStringLiteral("45"));
    EXPECT_TRUE(pressOk(form));

    for (const ProfileSettings& s : {settings, reloaded()}) {
        EXPECT_TRUE(s.AutoCheckStart && s.AutoCheckMail && s.DeleteMailOnRetrieving && s.EmptyTrashOnExit);
        EXPECT_TRUE(s.FullHeaders && s.LastMailPriority && s.ReturnReceipt && s.MarkAsRead);
        EXPECT_TRUE(s.UseSignature && s.PluggInSig);
        EXPECT_FALSE(s.AutoAddAddress || s.SaveSent);
        EXPECT_EQ(s.AutoCheckMinutes, 7);
        EXPECT_EQ(s.QuotedColor, 12);
        EXPECT_EQ(s.PluggInSigFile, "/home/me/quotes.txt");
        EXPECT_EQ(s.Browser, "firefox");
        EXPECT_EQ(s.Name, "Ann");
        EXPECT_EQ(s.ID, "ann");
        EXPECT_EQ(s.RetAddr, "ann@example.org");
        EXPECT_EQ(s.ReplyTo, "replies@example.org");
        EXPECT_EQ(s.Pop3Server, "pop.example.org");
        EXPECT_EQ(s.Pop3Port, 995);
        EXPECT_EQ(s.Password, " pass word ");
        EXPECT_EQ(s.SmtpServer, "smtp.example.org");
        EXPECT_EQ(s.SmtpPort, 587);
        EXPECT_EQ(s.TimeOut, 45);
        EXPECT_EQ(s.DraftsMailBox, "Drafts");
    }
    // The mailbox list is saved with the settings, whole.
    ProfileSettings s;
    MailboxList m;
    LoadSettings(home(), home(), s, m);
    EXPECT_EQ(m, mailboxes);
}

TEST_F(OptionsDialog, CancelChangesNothing)
{
    writeBytes(home() + "signatur.def", "sig\r\n");
    const std::string iniBefore = ini();
    bool accepted = true;
    auto driver = ModalDriver::on<TSetupForm>([](TSetupForm* form) {
        withText<QCheckBox>(form, "Check for new mail on program startup")->setChecked(true);
        form->signatureEditor()->setPlainText(QStringLiteral("other"));
        form->minutesField()->setText(QStringLiteral("abc"));
        form->cancelButton()->click();
    });
    accepted = runOptionsDialog(nullptr, settings, home(), mailboxes);
    EXPECT_TRUE(driver->handled());
    EXPECT_FALSE(accepted);
    EXPECT_EQ(ini(), iniBefore);
    EXPECT_EQ(signature(), "sig\r\n");
    EXPECT_FALSE(settings.AutoCheckStart);
    EXPECT_TRUE(ui.shown.empty());

    auto ok = ModalDriver::on<TSetupForm>([](TSetupForm* form) {
        form->minutesField()->setText(QStringLiteral("5"));
        form->okButton()->click();
    });
    EXPECT_TRUE(runOptionsDialog(nullptr, settings, home(), mailboxes));
    EXPECT_EQ(settings.AutoCheckMinutes, 5);
}

TEST_F(OptionsDialog, AFailedSaveIsShownAndKeepsTheDialogAndTheRecord)
{
    // A directory where the settings file should be: it can be neither read nor replaced.
    QFile::remove(pathFromBytes(home() + "tavik32.ini"));
    mkdir((home() + "tavik32.ini").c_str(), 0700);
    writeBytes(home() + "tavik32.ini/keep", "x");
    TSetupForm form(settings, home(), mailboxes);
    form.show();
    form.minutesField()->setText(QStringLiteral("9"));
    EXPECT_FALSE(pressOk(form));
    ASSERT_EQ(ui.textsOf("error").size(), 1u);
    EXPECT_NE(ui.textsOf("error")[0].find("tavik32.ini"), std::string::npos);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(settings.AutoCheckMinutes, 30);
}

// The usual port follows the security chosen; a port the user set is his.
TEST_F(OptionsDialog, ChoosingASecurityMovesOnlyAPortStillAtItsUsualNumber)
{
    TSetupForm form(settings, home(), mailboxes);
    QComboBox* pop3 = form.pop3SecurityList();
    QComboBox* smtp = form.smtpSecurityList();
    ASSERT_EQ(pop3->count(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pop3->itemText(i), QString::fromLatin1(std::array{"None", "STARTTLS", "SSL/TLS"}[i]));
    EXPECT_EQ(pop3->currentText(), QStringLiteral("None"));

    auto choose = [](QComboBox* list, const char* choice) { list->setCurrentText(QString::fromLatin1(choice)); };
    const std::pair<const char*, const char*> pop3Steps[] = {
        {"SSL/TLS", "995"}, {"None", "110"}, {"STARTTLS", "110"}, {"SSL/TLS", "995"}, {"STARTTLS", "110"}};
    for (const auto& [choice, port] : pop3Steps) {
        choose(pop3, choice);
        EXPECT_EQ(form.pop3PortField()->text(), QString::fromLatin1(port)) << choice;
    }
    const std::pair<const char*, const char*> smtpSteps[] = {
        {"STARTTLS", "587"}, {"SSL/TLS", "465"}, {"None", "25"}, {"SSL/TLS", "465"}};
    for (const auto& [choice, port] : smtpSteps) {
        choose(smtp, choice);
        EXPECT_EQ(form.smtpPortField()->text(), QString::fromLatin1(port)) << choice;
    }

    form.pop3PortField()->setText(QStringLiteral("1110"));
    form.smtpPortField()->setText(QStringLiteral("25"));
    choose(pop3, "SSL/TLS");
    choose(smtp, "STARTTLS");
    EXPECT_EQ(form.pop3PortField()->text(), QStringLiteral("1110"));
    EXPECT_EQ(form.smtpPortField()->text(), QStringLiteral("25"));
}

TEST_F(OptionsDialog, OkWritesSecuritySignInAndCaFileAndAnUntouchedProfileGainsNoKeys)
{
    {
        TSetupForm form(settings, home(), mailboxes);
        form.show();
        EXPECT_TRUE(pressOk(form));
        EXPECT_EQ(ini().find("Security="), std::string::npos);
        EXPECT_EQ(ini().find("CaFile="), std::string::npos);
    }
    writeBytes(home() + "ca.pem", "-----BEGIN CERTIFICATE-----\n");
    TSetupForm form(settings, home(), mailboxes);
    form.show();
    form.pop3SecurityList()->setCurrentText(QStringLiteral("SSL/TLS"));
    form.smtpSecurityList()->setCurrentText(QStringLiteral("STARTTLS"));
    QGroupBox* smtp = group(form, "SMTP");
    field(smtp, "User:")->setText(QStringLiteral("ann"));
    EXPECT_EQ(field(smtp, "Password:")->echoMode(), QLineEdit::Password);
    field(smtp, "Password:")->setText(QStringLiteral("pw"));
    ui.files.push_back(home() + "ca.pem");
    withText<QPushButton>(&form, "Browse...")->click();
    EXPECT_EQ(form.caFileField()->text(), pathFromBytes(home() + "ca.pem"));
    EXPECT_TRUE(pressOk(form));

    EXPECT_NE(ini().find("[SMTP]\r\nServer=\r\nPort=587\r\nSecurity=starttls\r\nUser=ann\r\nPassword=" +
                         passwordToIniValue("pw") + "\r\n[POP3]\r\nServer=\r\nPort=995\r\nPassword=\r\nSecurity=tls\r\n"),
              std::string::npos)
        << ini();
    EXPECT_NE(ini().find("\r\nCaFile=" + home() + "ca.pem\r\n"), std::string::npos);
    EXPECT_EQ(settings.SmtpPassword, "pw");

    TSetupForm again(settings, home(), mailboxes);
    EXPECT_EQ(again.pop3SecurityList()->currentText(), QStringLiteral("SSL/TLS"));
    EXPECT_EQ(again.smtpSecurityList()->currentText(), QStringLiteral("STARTTLS"));
    EXPECT_EQ(again.pop3PortField()->text(), QStringLiteral("995"));
}

TEST_F(OptionsDialog, PlainTextPasswordWarningShowsOnlyWithNoSecurityAndAPassword)
{
    settings.Password = "secret";
    TSetupForm form(settings, home(), mailboxes);
    QLabel* pop3 = form.pop3PlainWarning();
    QLabel* smtp = form.smtpPlainWarning();
    EXPECT_FALSE(pop3->isHidden());
    EXPECT_EQ(pop3->text(), QStringLiteral("Without security the password crosses the network unencrypted."));
    form.pop3SecurityList()->setCurrentText(QStringLiteral("STARTTLS"));
    EXPECT_TRUE(pop3->isHidden());
    form.pop3SecurityList()->setCurrentText(QStringLiteral("None"));
    EXPECT_FALSE(pop3->isHidden());
    field(group(form, "POP3"), "Password:")->clear();
    EXPECT_TRUE(pop3->isHidden());

    // SMTP sends its password only when it signs in, that is with a user.
    QGroupBox* smtpGroup = group(form, "SMTP");
    field(smtpGroup, "Password:")->setText(QStringLiteral("pw"));
    EXPECT_TRUE(smtp->isHidden());
    field(smtpGroup, "User:")->setText(QStringLiteral("ann"));
    EXPECT_FALSE(smtp->isHidden());
    form.smtpSecurityList()->setCurrentText(QStringLiteral("SSL/TLS"));
    EXPECT_TRUE(smtp->isHidden());
}

TEST_F(OptionsDialog, RemoveDropsTheSelectedPinOnOkOnly)
{
    const std::string pins = "[Pinned]\r\nmail.example.org:995=AB:CD\r\nsmtp.example.org:465=EF:01\r\n";
    writeBytes(home() + "certificates.ini", pins);
    for (bool ok : {false, true}) {
        TSetupForm form(settings, home(), mailboxes);
        form.show();
        ASSERT_EQ(form.pinnedList()->count(), 2);
        EXPECT_EQ(form.pinnedList()->item(0)->text(), QStringLiteral("mail.example.org:995  AB:CD"));
        EXPECT_FALSE(form.removePinButton()->isEnabled());
        form.pinnedList()->setCurrentRow(0);
        form.removePinButton()->click();
        ASSERT_EQ(form.pinnedList()->count(), 1);
        EXPECT_EQ(form.pinnedList()->item(0)->text(), QStringLiteral("smtp.example.org:465  EF:01"));
        EXPECT_EQ(fileBytes(home() + "certificates.ini"), pins);
        if (ok)
            EXPECT_TRUE(pressOk(form));
        else
            form.cancelButton()->click();
    }
    EXPECT_EQ(fileBytes(home() + "certificates.ini"), "[Pinned]\r\nsmtp.example.org:465=EF:01\r\n");
}

TEST_F(OptionsDialog, AMissingCaFileIsRefused)
{
    const std::string iniBefore = ini();
    TSetupForm form(settings, home(), mailboxes);
    form.show();
    form.caFileField()->setText(pathFromBytes(home() + "missing.pem"));
    EXPECT_FALSE(pressOk(form));
    EXPECT_EQ(ui.textsOf("inform"),
              std::vector<std::string>{"The \"CA file:\" " + home() + "missing.pem does not exist or is not a file."});
    EXPECT_EQ(form.currentPage(), TSetupForm::NetworkPage);
    EXPECT_EQ(form.focusWidget(), form.caFileField());
    EXPECT_TRUE(form.caFileField()->isVisible());
    EXPECT_EQ(ini(), iniBefore);
}

TEST_F(OptionsDialog, Screenshots)
{
    const char* dir = std::getenv("TAVIK_SCREENSHOT_DIR");
    if (!dir)
        GTEST_SKIP() << "TAVIK_SCREENSHOT_DIR is not set";
    writeBytes(home() + "signatur.def", "-- \r\nZo\xeb Smith\r\nTavik mail user\r\n");
    settings.UseSignature = true;
    settings.AutoCheckMail = true;
    settings.QuotedColor = 4;
    settings.Name = "Zo\xeb Smith";
    settings.ID = "zoe";
    settings.RetAddr = "zoe@example.org";
    settings.Pop3Server = "pop.example.org";
    settings.SmtpServer = "smtp.example.org";
    settings.Password = "secret";
    settings.SmtpUser = "zoe";
    settings.SmtpPassword = "secret";
    settings.Browser = "/usr/bin/firefox-esr";
    writeBytes(home() + "certificates.ini",
               "[Pinned]\r\nmail.example.org:995=3F:9A:1C:47:D2:08:B5:6E:91:C3:7A:24:E8:5F:0D:B6:"
               "42:9E:71:C8:3A:D5:16:F0:8B:27:64:AE:C9:53:0F:E1\r\n");
    TSetupForm form(settings, home(), mailboxes);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    auto save = [&](const char* name) {
        QApplication::processEvents();
        EXPECT_TRUE(form.grab().save(QString::fromLocal8Bit(dir) + QLatin1Char('/') + QString::fromLatin1(name) +
                                     QStringLiteral(".png")));
    };
    const char* names[] = {"options_general", "options_signature", "options_advanced", "options_network"};
    for (int page = 0; page < 4; ++page) {
        form.showPage(static_cast<TSetupForm::Page>(page));
        save(names[page]);
    }
    // The servers with SSL/TLS for POP3 and no security for SMTP, whose password then warns.
    auto* networkTabs = form.findChild<QTabWidget*>(QStringLiteral("NetworkTabs"));
    ASSERT_NE(networkTabs, nullptr);
    form.pop3SecurityList()->setCurrentText(QStringLiteral("SSL/TLS"));
    networkTabs->setCurrentIndex(1);
    save("options_network_servers");
    networkTabs->setCurrentIndex(2);
    save("options_network_certificates");
}

} // namespace
