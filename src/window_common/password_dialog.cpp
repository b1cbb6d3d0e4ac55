#include "window_common/password_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>

#include "profile/user_registry.h"
#include "window_common/text_conversion.h"

namespace tavik {

TPwdForm::TPwdForm(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TPwdForm"));
    setWindowTitle(fromStored(kPasswordDialogCaption));
    password_ = new QLineEdit(this);
    password_->setEchoMode(QLineEdit::Password);
    password_->setMinimumWidth(220);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("Password:"), password_);
    form->addRow(buttons);
    setFixedSize(sizeHint());
}

std::string TPwdForm::password() const { return toStored(password_->text()); }

} // namespace tavik
