#include "app/mailbox_placeholder_window.h"

#include <QHeaderView>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/interaction_adapters.h"
#include "app/resources.h"
#include "app/text_conversion.h"
#include "app/user_interaction.h"
#include "store/folder_tree.h"

namespace tavik {

MailboxPlaceholderWindow::MailboxPlaceholderWindow(TNMailBox& store, int number, QWidget* parent)
    : QWidget(parent), store_(&store), number_(number), key_(store.MailboxKey(number))
{
    ensureResources();
    setObjectName(QStringLiteral("MailboxWindow"));
    setWindowTitle(fromLatin1(store.MailboxDisplayName(number)));
    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setAlternatingRowColors(true);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    const bool outgoing = number == 2 || number == 3;
    list_->setHeaderLabels({outgoing ? QStringLiteral("To") : QStringLiteral("From"), QStringLiteral("Subject"),
                            QStringLiteral("Date"), QStringLiteral("Size")});
    list_->header()->setStretchLastSection(false);
    list_->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    list_->setColumnWidth(0, 170);
    list_->setColumnWidth(2, 190);
    list_->setColumnWidth(3, 60);
    counter_ = new QLabel(this);
    counter_->setContentsMargins(4, 2, 4, 2);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(list_);
    layout->addWidget(counter_);
    store.RegisterViewer(this, key_);
    reload();
}

MailboxPlaceholderWindow::~MailboxPlaceholderWindow()
{
    if (store_)
        store_->UnregisterViewer(this);
}

void MailboxPlaceholderWindow::reload()
{
    reloadPending_ = false;
    list_->clear();
    if (!store_)
        return;
    int unread = 0;
    try {
        store_->SetCurrentMailBoxNumber(number_);
        const int count = store_->CurrentMailBoxMessages();
        QList<QTreeWidgetItem*> rows;
        for (int n = 1; n <= count; ++n) {
            store_->SetMsg_Number(n);
            auto* row = new QTreeWidgetItem;
            const bool outgoing = number_ == 2 || number_ == 3;
            // A name before its address in angle brackets is shown alone.
            std::string who = outgoing ? store_->Msg_To : store_->Msg_From;
            if (const std::size_t angle = who.find(" <"); angle != std::string::npos && angle > 0)
                who.resize(angle);
            row->setText(0, fromLatin1(who));
            const char flag = store_->Msg_Flag;
            const char* picture = outgoing ? (number_ == 2 ? "MAIL_SENT" : "MAIL_QUEUED")
                                  : number_ == 4 ? "MAIL_DRAFT"
                                  : (flag == 'U' || flag == 'u') ? "MAIL_UNREAD"
                                  : (flag == 'R' || flag == 'r') ? "MAIL_SENT"
                                                                 : "MAIL_READ";
            row->setIcon(0, QIcon(QStringLiteral(":/pictures/") + QString::fromLatin1(picture) + QStringLiteral(".png")));
            row->setText(1, fromLatin1(store_->Msg_Subject));
            row->setText(2, fromLatin1(store_->Msg_Date));
            row->setText(3, QString::number(store_->Msg_Size()));
            row->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
            row->setData(0, Qt::UserRole, n);
            if (store_->Msg_Flag == 'U' || store_->Msg_Flag == 'u') {
                ++unread;
                QFont bold = list_->font();
                bold.setBold(true);
                for (int c = 0; c < 4; ++c)
                    row->setFont(c, bold);
            }
            rows.append(row);
        }
        list_->addTopLevelItems(rows);
        counter_->setText(QStringLiteral("   %1 message(s)      %2 unread message(s)   ").arg(count).arg(unread));
    } catch (const FileError& e) {
        counter_->setText(fromLatin1(e.what()));
    }
}

void MailboxPlaceholderWindow::scheduleReload()
{
    // Notices arrive in the middle of store operations; the list reads the store afterwards.
    if (reloadPending_)
        return;
    reloadPending_ = true;
    QTimer::singleShot(0, this, &MailboxPlaceholderWindow::reload);
}

void MailboxPlaceholderWindow::MailboxChanged(int action, int)
{
    if (action == kMailboxStoreGone) {
        store_ = nullptr;
        list_->clear();
        return;
    }
    scheduleReload();
}

std::vector<int> MailboxPlaceholderWindow::selectedMessages() const
{
    std::vector<int> numbers;
    for (int row = 0; row < list_->topLevelItemCount(); ++row)
        if (list_->topLevelItem(row)->isSelected())
            numbers.push_back(list_->topLevelItem(row)->data(0, Qt::UserRole).toInt());
    return numbers;
}

void MailboxPlaceholderWindow::nextMessage()
{
    const int row = list_->indexOfTopLevelItem(list_->currentItem());
    if (row + 1 < list_->topLevelItemCount())
        list_->setCurrentItem(list_->topLevelItem(row + 1));
}

void MailboxPlaceholderWindow::previousMessage()
{
    const int row = list_->indexOfTopLevelItem(list_->currentItem());
    if (row > 0)
        list_->setCurrentItem(list_->topLevelItem(row - 1));
}

void MailboxPlaceholderWindow::deleteMessages()
{
    if (!store_)
        return;
    InteractionFolderQuestions questions;
    try {
        deleteMessagesToTrash(*store_, number_, selectedMessages(), questions);
    } catch (const FileError& e) {
        userInteraction().error(kFolderMessageTitle, e.what());
    }
}

void MailboxPlaceholderWindow::moveMessagesTo(int mailbox)
{
    const std::vector<int> numbers = selectedMessages();
    if (!store_ || numbers.empty() || mailbox == number_)
        return;
    try {
        const std::string target = store_->MailboxKey(mailbox);
        if (target.empty())
            return;
        store_->SetCurrentMailBoxNumber(number_);
        store_->MoveMessages(numbers, target);
    } catch (const FileError& e) {
        userInteraction().error(kFolderMessageTitle, e.what());
    }
}

} // namespace tavik
