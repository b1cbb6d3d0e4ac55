// The program's window. For now it opens the default profile and shows its mailboxes; the
// multi-document main window with tree, menus and side bar replaces it.
#pragma once

#include <QMainWindow>
#include <memory>

#include "profile/settings.h"
#include "store/mailbox_store.h"

class QTreeWidget;

namespace tavik {

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    // Shows the mailboxes of `store`, which the caller owns and keeps open.
    TMainForm(TNMailBox& store, QWidget* parent = nullptr);

    // Rereads the mailbox headers into the list.
    void refreshMailboxes();

private:
    TNMailBox& store_;
    QTreeWidget* mailboxes_;
};

} // namespace tavik
