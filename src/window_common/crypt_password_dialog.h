// The password prompt of an enciphered message, shown before its preview.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tavik {

// `TCryptPwdForm`: caption "Decoder Password . . .", the explanation, a masked field
// "Password:" and OK. Created, run with exec() and destroyed by whoever asks
// (QtUserInteraction::askDecoderPassword).
class TCryptPwdForm : public QDialog {
    Q_OBJECT
public:
    explicit TCryptPwdForm(QWidget* parent = nullptr);
    // The text typed, as UTF-8; every byte counts (the key takes the first 8).
    std::string password() const;
    // Parts, for tests.
    QLineEdit* passwordField() const { return editPassword_; }
    QLabel* explanation() const { return explanation_; }
    QPushButton* okButton() const { return ok_; }

private:
    QLineEdit* editPassword_;
    QLabel* explanation_;
    QPushButton* ok_;
};

} // namespace tavik
