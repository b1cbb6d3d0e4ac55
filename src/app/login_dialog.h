// The login dialog shown at start-up.
#pragma once

#include <QDialog>
#include <string>

#include "profile/user_registry.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tavik {

class NewUserFieldsWidget;

// `TLoginForm`, caption "Login . . . ". Its constructor loads the registry (LoadUsers, which
// writes "Login.ini" back and may throw FileError) into the main window's `registry`. It opens
// compact (the user choice, the password field, "OK" and "New User"); "New User" expands it with
// the new-user fields, "Add" and "Cancel". Accepted: registry.currentUser is the user logged in
// and his profile directory is a safe one. Rejected (closed, or a wrong password): the program
// ends. Run with exec() by the main window, which destroys it afterwards.
class TLoginForm : public QDialog {
    Q_OBJECT
public:
    TLoginForm(const std::string& programDirectory, UserRegistry& registry, QWidget* parent = nullptr);

    // True while the new-user fields are shown.
    bool isExpanded() const;

    // Controls, for tests.
    QComboBox* userCombo() const { return users_; }
    QLineEdit* passwordField() const { return password_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* newUserButton() const { return newUser_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* cancelButton() const { return cancel_; }
    NewUserFieldsWidget* newUserFields() const { return fields_; }

private:
    void refillUsers();
    void userChosen(const QString& login);
    void okClicked();
    void setExpanded(bool expanded);
    void addClicked();

    std::string programDirectory_;
    UserRegistry& registry_;
    QComboBox* users_;
    QLabel* passwordLabel_;
    QLineEdit* password_;
    QPushButton* ok_;
    QPushButton* newUser_;
    QWidget* newUserPanel_;
    NewUserFieldsWidget* fields_;
    QPushButton* add_;
    QPushButton* cancel_;
};

// The message shown when a user's registry entry names a directory outside "users/".
std::string unsafeProfileMessage(const UserRegistry& registry, int index);

} // namespace tavik
