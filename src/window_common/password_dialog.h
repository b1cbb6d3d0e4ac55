// The small password dialog used when switching to or deleting a protected user.
#pragma once

#include <QDialog>

class QLineEdit;

namespace tavik {

// `TPwdForm`: caption "User Password . . .", a masked field "Password:" and OK. Created, run
// with exec() and destroyed by whoever asks (QtUserInteraction::askPassword).
class TPwdForm : public QDialog {
    Q_OBJECT
public:
    explicit TPwdForm(QWidget* parent = nullptr);
    // The text typed, as UTF-8.
    std::string password() const;
    // The field, for tests.
    QLineEdit* passwordField() const { return password_; }

private:
    QLineEdit* password_;
};

} // namespace tavik
