#include "window_common/crypt_password_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "window_common/text_conversion.h"

namespace tavik {

TCryptPwdForm::TCryptPwdForm(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TCryptPwdForm"));
    setWindowTitle(QStringLiteral("Decoder Password . . ."));
    explanation_ = new QLabel(QStringLiteral("This message was encrypted using the internal ") +
                                  QStringLiteral("Tavik encoder. Type the password to view it."),
                              this);
    explanation_->setWordWrap(true);
    explanation_->setMinimumWidth(300);
    editPassword_ = new QLineEdit(this);
    editPassword_->setObjectName(QStringLiteral("editPassword"));
    editPassword_->setEchoMode(QLineEdit::Password);
    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation_);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Password:"), editPassword_);
    layout->addLayout(form);
    layout->addWidget(buttons);
    setFixedSize(sizeHint());
}

std::string TCryptPwdForm::password() const { return toStored(editPassword_->text()); }

} // namespace tavik
