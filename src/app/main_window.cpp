#include "app/main_window.h"

#include <QHeaderView>
#include <QStatusBar>
#include <QTreeWidget>

namespace tavik {

TMainForm::TMainForm(TNMailBox& store, QWidget* parent) : QMainWindow(parent), store_(store)
{
    setWindowTitle(QStringLiteral("Tavik mail"));
    mailboxes_ = new QTreeWidget(this);
    mailboxes_->setRootIsDecorated(false);
    mailboxes_->setHeaderLabels({QStringLiteral("Mailbox"), QStringLiteral("Messages"), QStringLiteral("Size"),
                                 QStringLiteral("Trash")});
    mailboxes_->header()->setStretchLastSection(false);
    mailboxes_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    setCentralWidget(mailboxes_);
    resize(640, 400);
    refreshMailboxes();
}

void TMainForm::refreshMailboxes()
{
    mailboxes_->clear();
    for (int n = 1; n <= static_cast<int>(store_.MailBoxes.size()); ++n) {
        auto* item = new QTreeWidgetItem(mailboxes_);
        item->setText(0, QString::fromLatin1(store_.MailboxDisplayName(n)));
        try {
            store_.SetCurrentMailBoxNumber(n);
            item->setText(1, QString::number(store_.CurrentMailBoxMessages()));
            item->setText(2, QString::number(store_.CurrentNMailBoxSize()));
            item->setText(3, QString::number(store_.CurrentNMailBoxTrash()));
            for (int c = 1; c < 4; ++c)
                item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        } catch (const FileError& e) {
            item->setText(1, QString::fromLocal8Bit(e.what()));
        }
    }
    statusBar()->showMessage(QString::number(store_.MailBoxes.size()) + QStringLiteral(" mailboxes"));
}

} // namespace tavik
