// The Add/Delete Users dialog while the program runs, and the password and item-name dialogs.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>

#include "app/new_user_dialog.h"
#include "app/new_user_fields_widget.h"
#include "profile/profile_lock.h"
#include "ui/main_window_support.h"
#include "window_common/item_name_dialog.h"
#include "window_common/password_dialog.h"

namespace tavik::test {
namespace {

class UsersDialogTest : public UiTest {};

TEST_F(UsersDialogTest, DeletingTheUserBeforeTheCurrentOneKeepsTheSamePersonCurrent)
{
    registerUsers(home(), {{"ann", "ann", ""}, {"bob", "bob", ""}});
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window, 2));
    const auto tree = fileIdentity(home() + "users/bob/treedata1.dat");
    ui.yesNo.push_back(true);
    QString caption;
    bool deleteEnabledAtFirst = true, deleteEnabledOnAnn = false, deleteEnabledAfter = true;
    auto driver = ModalDriver::on<TNewUserForm>([&](TNewUserForm* form) {
        caption = form->windowTitle();
        deleteEnabledAtFirst = form->deleteButton()->isEnabled();
        form->usersList()->setCurrentIndex(1);
        deleteEnabledOnAnn = form->deleteButton()->isEnabled();
        form->deleteButton()->click();
        deleteEnabledAfter = form->deleteButton()->isEnabled();
        EXPECT_EQ(form->usersList()->count(), 2);
        EXPECT_EQ(form->usersList()->currentIndex(), 0);
        form->closeButton()->click();
    });
    window.commandAction("spbtnCheckUsersClick")->trigger();
    ASSERT_TRUE(driver->handled());

    EXPECT_EQ(caption, QStringLiteral("Add/Delete Users . . ."));
    EXPECT_FALSE(deleteEnabledAtFirst);
    EXPECT_TRUE(deleteEnabledOnAnn);
    EXPECT_FALSE(deleteEnabledAfter);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "question");
    EXPECT_EQ(ui.shown[0].title, "Tavik mail");
    EXPECT_EQ(ui.shown[0].text, "User ann will be permanently deleted.\r\nAre you sure you want to do this?");
    EXPECT_EQ(window.users().currentUser, 1);
    EXPECT_EQ(window.users().userNames, (std::vector<std::string>{"default", "bob"}));
    EXPECT_FALSE(fileExists(home() + "users/ann"));
    EXPECT_EQ(iniLines(home() + "Login.ini", "Login"), (std::vector<std::string>{"default=default", "bob=bob"}));
    // The combo is refilled on the same person, and refilling it switched nobody.
    ASSERT_EQ(window.userCombo()->count(), 2);
    EXPECT_EQ(window.userCombo()->currentText(), QStringLiteral("bob"));
    EXPECT_EQ(window.ProfileDirectory(), home() + "users/bob/");
    EXPECT_EQ(fileIdentity(home() + "users/bob/treedata1.dat"), tree);
    EXPECT_EQ(window.childWindows().size(), 1u);
}

TEST_F(UsersDialogTest, AddedUserAppearsInTheMainCombo)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    auto driver = ModalDriver::on<TNewUserForm>([&](TNewUserForm* form) {
        QTest::keyClicks(form->newUserFields()->loginField(), QStringLiteral("Gus"));
        form->addButton()->click();
        EXPECT_EQ(form->usersList()->count(), 2);
        EXPECT_TRUE(form->newUserFields()->loginField()->text().isEmpty());
        form->closeButton()->click();
    });
    window.spbtnCheckUsersClick();
    ASSERT_TRUE(driver->handled());
    ASSERT_EQ(window.userCombo()->count(), 2);
    EXPECT_EQ(window.userCombo()->itemText(1), QStringLiteral("Gus"));
    EXPECT_EQ(window.userCombo()->currentIndex(), 0);
    // The dialog of the running program also gives the new profile its "Temp".
    EXPECT_TRUE(std::filesystem::is_directory(home() + "users/gus/Temp"));
    EXPECT_EQ(window.ProfileDirectory(), home());
    EXPECT_TRUE(ui.shown.empty());
}

class UsersFormTest : public UiTest {
protected:
    void SetUp() override { LoadUsers(home(), registry); }
    UserRegistry registry;
};

TEST_F(UsersFormTest, TheCurrentUserCannotBeDeleted)
{
    registerUsers(home(), {{"ann", "ann", ""}});
    LoadUsers(home(), registry);
    registry.currentUser = 1;
    TNewUserForm form(home(), registry);
    form.usersList()->setCurrentIndex(1);
    form.deleteButton()->click();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "inform");
    EXPECT_EQ(ui.shown[0].text, "You cannot delete the current user !!");
    EXPECT_EQ(registry.size(), 2);
}

TEST_F(UsersFormTest, WrongPasswordKeepsTheUser)
{
    registerUsers(home(), {{"ann", "ann", "pw"}});
    LoadUsers(home(), registry);
    TNewUserForm form(home(), registry);
    form.usersList()->setCurrentIndex(1);
    ui.passwords.push_back("nope");
    form.deleteButton()->click();
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[0].kind, "password");
    EXPECT_EQ(ui.shown[1].text, "Password incorrect. User not deleted.");
    EXPECT_EQ(registry.size(), 2);
    EXPECT_TRUE(fileExists(home() + "users/ann"));
}

TEST_F(UsersFormTest, AProfileOpenElsewhereIsNotDeleted)
{
    registerUsers(home(), {{"ann", "ann", ""}});
    LoadUsers(home(), registry);
    ProfileLock other(home() + "users/ann/");
    ASSERT_TRUE(other.tryLock());
    TNewUserForm form(home(), registry);
    form.usersList()->setCurrentIndex(1);
    form.deleteButton()->click();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text.rfind("User ann has his profile open in another program", 0), 0u);
    EXPECT_NE(ui.shown[0].text.find(".\r\nUser not deleted."), std::string::npos);
    EXPECT_EQ(registry.size(), 2);
    EXPECT_TRUE(fileExists(home() + "users/ann/tavik.lock"));
}

TEST_F(UsersFormTest, FailedRegistryWriteShowsTheFileErrorAndChangesNothing)
{
    TNewUserForm form(home(), registry);
    // "Login.ini" cannot be replaced: a directory stands in its place.
    const std::string before = fileBytes(home() + "Login.ini");
    std::filesystem::remove(home() + "Login.ini");
    std::filesystem::create_directory(home() + "Login.ini");
    QTest::keyClicks(form.newUserFields()->loginField(), QStringLiteral("hal"));
    form.addButton()->click();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_EQ(ui.shown[0].title, "Tavik mail");
    EXPECT_NE(ui.shown[0].text.find("Login.ini"), std::string::npos);
    EXPECT_EQ(registry.size(), 1);
    EXPECT_EQ(form.usersList()->count(), 1);
    EXPECT_EQ(form.newUserFields()->loginField()->text(), QStringLiteral("hal"));
    EXPECT_TRUE(std::filesystem::is_directory(home() + "Login.ini"));
}

TEST_F(UsersFormTest, AddUserErrorsAreShownWordForWord)
{
    TNewUserForm form(home(), registry);
    form.addButton()->click();
    QTest::keyClicks(form.newUserFields()->loginField(), QStringLiteral("ivy"));
    form.newUserFields()->passwordField()->setText(QStringLiteral("a"));
    form.addButton()->click();
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[0].text, "Error adding New User:\r\nYou must fill Login field and\r\nDirectory field.");
    EXPECT_EQ(ui.shown[1].text, "Error: Password and Confirmation are different.");
    EXPECT_EQ(registry.size(), 1);
}

TEST(PasswordDialog, CaptionFieldAndText)
{
    application();
    TPwdForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("User Password . . ."));
    EXPECT_EQ(form.passwordField()->echoMode(), QLineEdit::Password);
    auto labels = form.findChildren<QLabel*>();
    ASSERT_FALSE(labels.isEmpty());
    EXPECT_EQ(labels[0]->text(), QStringLiteral("Password:"));
    form.passwordField()->setText(QString::fromUtf8("\xe2\x82\xac\xce\xa9"));
    EXPECT_EQ(form.password(), "\xe2\x82\xac\xce\xa9");
}

TEST(ItemNameDialog, CaptionAndPrompt)
{
    application();
    TItemNameForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Name of the Item"));
    auto labels = form.findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels[0]->text(), QStringLiteral("Item Name:"));
    QStringList buttons;
    for (QPushButton* b : form.findChildren<QPushButton*>())
        buttons << b->text();
    EXPECT_TRUE(buttons.contains(QStringLiteral("OK")));
    EXPECT_TRUE(buttons.contains(QStringLiteral("Cancel")));
    form.setItemName("Caf\xe9"); // an old 8-bit name reads as Windows-1252
    EXPECT_EQ(form.itemName(), "Caf\xc3\xa9");
}

} // namespace
} // namespace tavik::test
