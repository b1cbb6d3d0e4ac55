// A plain mailbox window: the messages of one mailbox as a read-only list. It stands in for the
// full mailbox window with its preview pane until that window exists.
#pragma once

#include <QWidget>

#include "app/child_window.h"
#include "store/mailbox_store.h"

class QTreeWidget;
class QLabel;

namespace tavik {

// Shows mailbox `number` of `store` (which must outlive it, or announce its end with the store's
// notice 5). Registered with the store while it lives, so appends, moves and emptying show at
// once. Lives in a QMdiSubWindow of the main window and is deleted with it.
class MailboxPlaceholderWindow : public QWidget, public MailChildWindow, public TMailboxViewerControl {
    Q_OBJECT
public:
    MailboxPlaceholderWindow(TNMailBox& store, int number, QWidget* parent = nullptr);
    ~MailboxPlaceholderWindow() override;

    Kind childKind() const override { return Kind::Mailbox; }
    int mailboxNumber() const override { return number_; }
    void nextMessage() override;
    void previousMessage() override;
    void deleteMessages() override;
    void moveMessagesTo(int mailbox) override;

    void MailboxChanged(int action, int messageNumber) override;

    // Message numbers of the selected rows, in row order.
    std::vector<int> selectedMessages() const;
    // The list, for tests.
    QTreeWidget* messageList() const { return list_; }
    // Rereads the mailbox.
    void reload();

private:
    void scheduleReload();

    TNMailBox* store_;
    int number_;
    std::string key_;
    QTreeWidget* list_;
    QLabel* counter_;
    bool reloadPending_ = false;
};

} // namespace tavik
