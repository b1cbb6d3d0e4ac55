// The login dialog at start-up: the first start, logging in with and without a password, the
// wrong password, adding users from the dialog, and the profile directory each user gets.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>

#include "app/new_user_fields_widget.h"
#include "ui/main_window_support.h"

namespace tavik::test {
namespace {

class LoginTest : public UiTest {};

TEST_F(LoginTest, FirstStartShowsOnlyTheDefaultUserAndWritesTheRegistry)
{
    ASSERT_FALSE(fileExists(home() + "Login.ini"));
    TMainForm window;
    int users = -1;
    QString caption, first;
    bool passwordEnabled = true, expanded = true;
    auto driver = ModalDriver::on<TLoginForm>([&](TLoginForm* login) {
        caption = login->windowTitle();
        users = login->userCombo()->count();
        first = login->userCombo()->currentText();
        passwordEnabled = login->passwordField()->isEnabled();
        expanded = login->isExpanded();
        login->okButton()->click();
    });
    window.show();
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::ProfileOpen; }));

    EXPECT_EQ(caption, QStringLiteral("Login . . . "));
    EXPECT_EQ(users, 1);
    EXPECT_EQ(first, QStringLiteral("default"));
    EXPECT_FALSE(passwordEnabled);
    EXPECT_FALSE(expanded);
    EXPECT_EQ(iniLines(home() + "Login.ini", "Login"), std::vector<std::string>{"default=default"});
    EXPECT_EQ(iniLines(home() + "Login.ini", "Pwd"), std::vector<std::string>{"0=none"});
    // The default user's profile is the program directory itself.
    EXPECT_EQ(window.ProfileDirectory(), home());
    EXPECT_TRUE(fileExists(home() + "tavik32.ini"));
    EXPECT_TRUE(fileExists(home() + "treedata1.dat"));
    EXPECT_TRUE(fileExists(home() + "tavik.lock"));
    // The shipped templates were copied into the program directory.
    for (const char* name : {"uidl.tpl", "signatur.tpl", "mime.def"})
        EXPECT_TRUE(fileExists(home() + name)) << name;
    EXPECT_EQ(window.userCombo()->count(), 1);
    EXPECT_EQ(window.userCombo()->currentText(), QStringLiteral("default"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Tavik mail"));
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(LoginTest, UserWithoutPasswordLogsInAtOnce)
{
    registerUsers(home(), {{"bob", "bob", ""}});
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window, 1));
    EXPECT_EQ(window.users().currentUser, 1);
    EXPECT_EQ(window.ProfileDirectory(), home() + "users/bob/");
    EXPECT_TRUE(fileExists(home() + "users/bob/tavik32.ini"));
    EXPECT_EQ(window.userCombo()->currentText(), QStringLiteral("bob"));
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(LoginTest, UserWithPasswordLogsInWithTheRightOne)
{
    registerUsers(home(), {{"ann", "ann", "Secret"}});
    TMainForm window;
    bool enabled = false;
    auto driver = ModalDriver::on<TLoginForm>([&](TLoginForm* login) {
        login->userCombo()->setCurrentIndex(1);
        enabled = login->passwordField()->isEnabled();
        login->passwordField()->setText(QStringLiteral("Secret"));
        login->okButton()->click();
    });
    window.show();
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::ProfileOpen; }));
    EXPECT_TRUE(enabled);
    EXPECT_EQ(window.ProfileDirectory(), home() + "users/ann/");
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(LoginTest, WrongPasswordQuitsBeforeAnyProfileFileIsWritten)
{
    registerUsers(home(), {{"ann", "ann", "Secret"}});
    TMainForm window;
    ASSERT_FALSE(startAndLogIn(window, 1, "secret"));
    EXPECT_EQ(window.state(), TMainForm::State::Quitting);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "inform");
    EXPECT_EQ(ui.shown[0].title, "Tavik mail");
    EXPECT_EQ(ui.shown[0].text, "Password incorrect.");
    EXPECT_FALSE(window.isVisible());
    for (const char* file : {"tavik32.ini", "treedata1.dat", "treedata2.dat", "treedata.ini", "tavik.lock"}) {
        EXPECT_FALSE(fileExists(home() + file)) << file;
        EXPECT_FALSE(fileExists(home() + "users/ann/" + file)) << file;
    }
    // Only what adding the user made: his directory with its "Temp".
    for (const auto& entry : std::filesystem::directory_iterator(home() + "users/ann"))
        EXPECT_EQ(entry.path().filename(), "Temp");
    EXPECT_FALSE(fileExists(home() + "mailboxe"));
}

TEST_F(LoginTest, ClosingTheDialogQuits)
{
    TMainForm window;
    auto driver = ModalDriver::on<TLoginForm>([](TLoginForm* login) { login->reject(); });
    window.show();
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::Quitting; }));
    EXPECT_FALSE(fileExists(home() + "tavik32.ini"));
}

TEST_F(LoginTest, DefaultDirectoryInAnyCaseUsesTheProgramDirectory)
{
    // A registry written by hand: a second user whose directory is "DeFault".
    writeBytes(home() + "Login.ini", "[Login]\r\ndefault=default\r\nguest=DeFault\r\n[Pwd]\r\n0=none\r\n1=none\r\n");
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window, 1));
    EXPECT_EQ(window.ProfileDirectory(), home());
    EXPECT_TRUE(fileExists(home() + "tavik32.ini"));
    EXPECT_FALSE(fileExists(home() + "users"));
}

TEST_F(LoginTest, DirectoryIsLowerCaseAtStart)
{
    writeBytes(home() + "Login.ini", "[Login]\r\ndefault=default\r\nCarl=CarlDir\r\n[Pwd]\r\n0=none\r\n1=none\r\n");
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window, 1));
    EXPECT_EQ(window.ProfileDirectory(), home() + "users/carldir/");
}

TEST_F(LoginTest, DirectoryOutsideTheUsersDirectoryIsRefused)
{
    writeBytes(home() + "Login.ini", "[Login]\r\ndefault=default\r\nevil=../../elsewhere\r\n[Pwd]\r\n0=none\r\n1=none\r\n");
    TMainForm window;
    bool stayedOpen = false;
    auto second = std::unique_ptr<ModalDriver>();
    auto driver = ModalDriver::on<TLoginForm>([&](TLoginForm* login) {
        login->userCombo()->setCurrentIndex(1);
        login->okButton()->click();
        stayedOpen = login->isVisible();
        // The user chooses the default user instead.
        login->userCombo()->setCurrentIndex(0);
        login->okButton()->click();
    });
    window.show();
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::ProfileOpen; }));
    EXPECT_TRUE(stayedOpen);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_EQ(ui.shown[0].title, "Tavik mail");
    EXPECT_EQ(ui.shown[0].text, "The profile of user evil cannot be opened:\r\nits directory \"../../elsewhere\" in "
                                "\"Login.ini\" is not a plain name\r\ninside the \"users\" directory.");
    EXPECT_EQ(window.users().currentUser, 0);
    EXPECT_EQ(window.ProfileDirectory(), home());
}

// The login dialog alone, for the new-user part.
class LoginAddUserTest : public UiTest {
protected:
    UserRegistry registry;
};

TEST_F(LoginAddUserTest, NewUserExpandsAndTheDirectoryFollowsTheLogin)
{
    TLoginForm login(home(), registry);
    login.show();
    EXPECT_FALSE(login.isExpanded());
    login.newUserButton()->click();
    EXPECT_TRUE(login.isExpanded());
    QTest::keyClicks(login.newUserFields()->loginField(), QStringLiteral("Dora"));
    EXPECT_EQ(login.newUserFields()->directoryField()->text(), QStringLiteral("Dora"));
    // The directory may then be changed on its own.
    login.newUserFields()->directoryField()->setText(QStringLiteral("dora2"));
    EXPECT_EQ(login.newUserFields()->loginField()->text(), QStringLiteral("Dora"));
    login.cancelButton()->click();
    EXPECT_FALSE(login.isExpanded());
    EXPECT_TRUE(login.newUserFields()->loginField()->text().isEmpty());
    EXPECT_TRUE(login.newUserFields()->directoryField()->text().isEmpty());
    EXPECT_EQ(registry.size(), 1);
}

TEST_F(LoginAddUserTest, AddingAUserRegistersHimAndCollapses)
{
    TLoginForm login(home(), registry);
    login.show();
    login.newUserButton()->click();
    QTest::keyClicks(login.newUserFields()->loginField(), QStringLiteral("dora"));
    login.newUserFields()->passwordField()->setText(QStringLiteral("pw"));
    login.newUserFields()->confirmationField()->setText(QStringLiteral("pw"));
    login.addButton()->click();
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_FALSE(login.isExpanded());
    ASSERT_EQ(login.userCombo()->count(), 2);
    EXPECT_EQ(login.userCombo()->itemText(1), QStringLiteral("dora"));
    EXPECT_EQ(registry.userNames, (std::vector<std::string>{"default", "dora"}));
    EXPECT_EQ(registry.userPasswords[1], "pw");
    EXPECT_TRUE(std::filesystem::is_directory(home() + "users/dora"));
    EXPECT_EQ(iniLines(home() + "Login.ini", "Login"), (std::vector<std::string>{"default=default", "dora=dora"}));
    // The file keeps the password scrambled, never plain.
    EXPECT_EQ(fileBytes(home() + "Login.ini").find("=pw"), std::string::npos);
}

TEST_F(LoginAddUserTest, EmptyFieldsAreRefusedAndTheFormStays)
{
    TLoginForm login(home(), registry);
    login.show();
    login.newUserButton()->click();
    login.newUserFields()->passwordField()->setText(QStringLiteral("x"));
    login.addButton()->click();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "inform");
    EXPECT_EQ(ui.shown[0].title, "Tavik mail");
    EXPECT_EQ(ui.shown[0].text, "Error adding New User:\r\nYou must fill Login field and\r\nDirectory field.");
    EXPECT_TRUE(login.isExpanded());
    EXPECT_EQ(login.newUserFields()->passwordField()->text(), QStringLiteral("x"));
    EXPECT_EQ(registry.size(), 1);
}

TEST_F(LoginAddUserTest, DifferentConfirmationIsRefusedAndTheFormStays)
{
    TLoginForm login(home(), registry);
    login.show();
    const std::string before = fileBytes(home() + "Login.ini");
    login.newUserButton()->click();
    QTest::keyClicks(login.newUserFields()->loginField(), QStringLiteral("eve"));
    login.newUserFields()->passwordField()->setText(QStringLiteral("one"));
    login.newUserFields()->confirmationField()->setText(QStringLiteral("two"));
    login.addButton()->click();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Error: Password and Confirmation are different.");
    EXPECT_TRUE(login.isExpanded());
    EXPECT_EQ(login.newUserFields()->loginField()->text(), QStringLiteral("eve"));
    EXPECT_EQ(registry.size(), 1);
    EXPECT_EQ(fileBytes(home() + "Login.ini"), before);
}

TEST_F(LoginAddUserTest, UncreatableDirectoryIsRefusedAndTheFormCollapses)
{
    TLoginForm login(home(), registry);
    login.show();
    // "users" is a plain file, so no directory can be made under it.
    writeBytes(home() + "users", "not a directory");
    const std::string before = fileBytes(home() + "Login.ini");
    login.newUserButton()->click();
    QTest::keyClicks(login.newUserFields()->loginField(), QStringLiteral("fred"));
    login.addButton()->click();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Error adding New User:\r\nCannot create user directory.");
    EXPECT_FALSE(login.isExpanded());
    EXPECT_TRUE(login.newUserFields()->loginField()->text().isEmpty());
    EXPECT_EQ(registry.size(), 1);
    EXPECT_EQ(login.userCombo()->count(), 1);
    EXPECT_EQ(fileBytes(home() + "Login.ini"), before);
}

TEST_F(LoginAddUserTest, ChoosingAProtectedUserEnablesAndEmptiesThePasswordField)
{
    registerUsers(home(), {{"ann", "ann", "pw"}});
    TLoginForm login(home(), registry);
    login.show();
    EXPECT_FALSE(login.passwordField()->isEnabled());
    login.passwordField()->setText(QStringLiteral("left over"));
    login.userCombo()->setCurrentIndex(1);
    EXPECT_TRUE(login.passwordField()->isEnabled());
    EXPECT_TRUE(login.passwordField()->text().isEmpty());
    login.userCombo()->setCurrentIndex(0);
    EXPECT_FALSE(login.passwordField()->isEnabled());
}

TEST_F(LoginAddUserTest, ReturnInTheUserFieldLogsInOnce)
{
    TLoginForm login(home(), registry);
    login.show();
    QTest::keyClick(login.userCombo()->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(login.result(), QDialog::Accepted);
    EXPECT_EQ(registry.currentUser, 0);
}

TEST_F(LoginAddUserTest, ReturnWithAWrongPasswordTellsOnce)
{
    registerUsers(home(), {{"ann", "ann", "pw"}});
    TLoginForm login(home(), registry);
    login.show();
    login.userCombo()->setCurrentIndex(1);
    QTest::keyClicks(login.passwordField(), QStringLiteral("bad"));
    QTest::keyClick(login.passwordField(), Qt::Key_Return);
    EXPECT_EQ(login.result(), QDialog::Rejected);
    EXPECT_EQ(ui.textsOf("inform"), std::vector<std::string>{"Password incorrect."});
}

TEST_F(LoginAddUserTest, EmptyLoginTextDoesNothing)
{
    TLoginForm login(home(), registry);
    login.show();
    login.userCombo()->setEditText(QString());
    login.okButton()->click();
    EXPECT_TRUE(login.isVisible());
    EXPECT_EQ(login.result(), 0);
    EXPECT_TRUE(ui.shown.empty());
}

} // namespace
} // namespace tavik::test
