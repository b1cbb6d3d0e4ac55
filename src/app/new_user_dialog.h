// The dialog that adds and deletes users while the program runs.
#pragma once

#include <QDialog>
#include <string>

#include "profile/user_registry.h"

class QComboBox;
class QPushButton;

namespace tavik {

class NewUserFieldsWidget;

// `TNewUserForm`, caption "Add/Delete Users . . .": the "Users List:" with "Delete User"
// (enabled only while a user other than the first is selected), the new-user fields with "Add",
// and "Close". Works on the main window's registry through the core rules, which alone rewrite
// "Login.ini"; a write that fails is shown and leaves the registry as it was. Run with exec() by
// the main window, which refills its user combo afterwards.
class TNewUserForm : public QDialog {
    Q_OBJECT
public:
    TNewUserForm(const std::string& programDirectory, UserRegistry& registry, QWidget* parent = nullptr);

    // Controls, for tests.
    QComboBox* usersList() const { return users_; }
    QPushButton* deleteButton() const { return delete_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* closeButton() const { return close_; }
    NewUserFieldsWidget* newUserFields() const { return fields_; }

private:
    void refillUsers();
    void addClicked();
    void deleteClicked();

    std::string programDirectory_;
    UserRegistry& registry_;
    QComboBox* users_;
    QPushButton* delete_;
    NewUserFieldsWidget* fields_;
    QPushButton* add_;
    QPushButton* close_;
};

} // namespace tavik
