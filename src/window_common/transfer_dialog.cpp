#include "window_common/transfer_dialog.h"

#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "store/folder_tree.h"
#include "window_common/folder_tree_widget.h"
#include "window_common/text_conversion.h"

namespace tavik {

QIcon transferPicture(int i)
{
    // The tree's own pictures: New Mail to Trash are its images 2 to 6, user folders its mailbox.
    i = std::clamp(i, 0, 5);
    return FolderTreeWidget::nodePicture(i < 5 ? i + 2 : kMailboxFolderImage);
}

TTransferForm::TTransferForm(const std::vector<std::string>& mailboxNames, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TTransferForm"));
    setWindowTitle(QStringLiteral("Move message(s) to . . . . "));
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("MailboxList"));
    list_->setIconSize(QSize(16, 16));
    for (std::size_t i = 0; i < mailboxNames.size(); ++i) {
        auto* item = new QListWidgetItem(transferPicture(static_cast<int>(std::min<std::size_t>(i, 5))),
                                         fromStored(mailboxNames[i]), list_);
        item->setData(Qt::UserRole, static_cast<int>(i) + 1);
    }
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] { accept(); });
    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::ActionRole);
    ok_->setDefault(true);
    QPushButton* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    connect(ok_, &QPushButton::clicked, this, &TTransferForm::okClicked);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(buttons);
    resize(280, 320);
}

void TTransferForm::okClicked()
{
    if (chosenMailbox() > 0)
        accept();
}

int TTransferForm::chosenMailbox() const
{
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? 0 : selected.front()->data(Qt::UserRole).toInt();
}

} // namespace tavik
