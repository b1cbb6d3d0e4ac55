// The four fields in which a new user is entered, shared by the login dialog and the Add/Delete
// Users dialog.
#pragma once

#include <QWidget>

#include "profile/user_registry.h"

class QLineEdit;

namespace tavik {

// "New User Login:", "New User Directory:", "Password:" and "Confirm Password:" (both marked
// "(Not required)"). Typing a login copies it into the directory field, which the user may then
// change. Owned by its dialog.
class NewUserFieldsWidget : public QWidget {
    Q_OBJECT
public:
    explicit NewUserFieldsWidget(QWidget* parent = nullptr);

    // The fields as AddUser takes them (UTF-8).
    NewUser newUser(bool createTempDirectory) const;
    // Empties the four fields.
    void clear();

    QLineEdit* loginField() const { return login_; }
    QLineEdit* directoryField() const { return directory_; }
    QLineEdit* passwordField() const { return password_; }
    QLineEdit* confirmationField() const { return confirmation_; }

private:
    QLineEdit* login_;
    QLineEdit* directory_;
    QLineEdit* password_;
    QLineEdit* confirmation_;
};

} // namespace tavik
