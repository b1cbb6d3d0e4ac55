// The folder tree beside the child windows: paints the profile's FolderTree model and turns
// clicks, the pop-up menu and drops into signals for the main window, which runs the commands.
#pragma once

#include <QIcon>
#include <QTreeWidget>
#include <array>
#include <map>

#include "profile/settings.h"
#include "store/folder_tree.h"
#include "window_common/message_drag.h"

namespace tavik {

// Shows a FolderTree owned by the main window: one item per node, the node's pictures (closed
// and selected), bold for a node whose text ends in a count of 1 or more. A node whose mailbox
// has a known unread count shows that count instead ("New Mail (3)", bold; the plain name when
// none). The item of a node knows its absolute index. showTree() must be called again after every change of the model.
// The pop-up menu holds the widget's actions (the main window adds the folder commands).
class FolderTreeWidget : public QTreeWidget {
    Q_OBJECT
public:
    explicit FolderTreeWidget(QWidget* parent = nullptr);

    // Rebuilds the items from `tree`; `mailboxes` tells drops which node stands for which
    // mailbox. Both must outlive the widget or the next call.
    void showTree(const FolderTree& tree, const MailboxList& mailboxes);
    // The unread counts by mailbox number, shown at once and by every later showTree; a mailbox
    // left out shows its node's text as it is.
    void setUnreadCounts(const std::map<int, int>& byMailbox);
    // Absolute index of the selected node, -1 when none.
    int selectedNode() const;
    // Selects the node at an absolute index (nothing when there is none).
    void selectNode(int index);
    // The item of an absolute index, nullptr when there is none.
    QTreeWidgetItem* itemOfNode(int index) const;
    // Absolute index of an item, -1 for nullptr.
    static int nodeOfItem(const QTreeWidgetItem* item);

    // Display switches kept in "treedata.ini".
    void setShowLines(bool show);
    bool showLines() const { return showLines_; }
    void setShowButtons(bool show);
    bool showButtons() const { return showButtons_; }

    // The picture of an image index (0 to 8), empty for others.
    static QIcon nodePicture(int image);

signals:
    // A node was clicked (or activated with the keyboard).
    void nodeChosen(int node);
    // Messages were dropped on a node that stands for mailbox `target`, another than theirs.
    void messagesDropped(int target, const tavik::MessageDrag& drag);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const override;

private:
    int dropTargetAt(const QPoint& pos, const QMimeData* data) const;
    void showNodeText(int index);

    std::vector<QTreeWidgetItem*> items_; // by absolute index, as last shown
    const FolderTree* tree_ = nullptr;
    const MailboxList* mailboxes_ = nullptr;
    std::map<int, int> unread_; // by mailbox number
    bool showLines_ = true;
    bool showButtons_ = true;
};

} // namespace tavik
