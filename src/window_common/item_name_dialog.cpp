#include "window_common/item_name_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "store/folder_tree.h"
#include "window_common/text_conversion.h"

namespace tavik {

TItemNameForm::TItemNameForm(QWidget* parent, const QString& caption, const QString& prompt) : QDialog(parent)
{
    setObjectName(QStringLiteral("TItemNameForm"));
    setWindowTitle(caption.isEmpty() ? fromStored(kItemNameTitle) : caption);
    auto* label = new QLabel(prompt.isEmpty() ? fromStored(kItemNamePrompt) : prompt, this);
    name_ = new QLineEdit(this);
    name_->setMaxLength(static_cast<int>(kMaxFolderNameLength));
    name_->setMinimumWidth(260);
    label->setBuddy(name_);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(name_);
    layout->addWidget(buttons);
    setFixedSize(sizeHint());
}

std::string TItemNameForm::itemName() const { return toStored(name_->text()); }

void TItemNameForm::setItemName(const std::string& name) { name_->setText(fromStored(name)); }

} // namespace tavik
