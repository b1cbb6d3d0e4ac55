#include "window_common/folder_tree_widget.h"

#include <QContextMenuEvent>
#include <QDrag>
#include <QDragEnterEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMimeData>
#include <QPainter>

#include "window_common/resources.h"
#include "window_common/text_conversion.h"

namespace tavik {

namespace {

constexpr int kNodeRole = Qt::UserRole + 1;

const char* const kNodePictureNames[] = {
    "TREE_MAILBOX", "TREE_MAILBOX_OPEN", "TREE_NEW_MAIL", "TREE_SENT", "TREE_TO_SEND",
    "TREE_DRAFTS",  "TREE_TRASH",        "TREE_ROOT",     "TREE_GROUP",
};

} // namespace

FolderTreeWidget::FolderTreeWidget(QWidget* parent) : QTreeWidget(parent)
{
    setObjectName(QStringLiteral("FolderTree"));
    setHeaderHidden(true);
    setColumnCount(1);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    setDragDropMode(QAbstractItemView::DropOnly);
    setUniformRowHeights(true);
    setAnimated(false);
    setIndentation(18);
    setIconSize(QSize(16, 16));
    connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { emit nodeChosen(nodeOfItem(item)); });
    connect(this, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) { emit nodeChosen(nodeOfItem(item)); });
}

QIcon FolderTreeWidget::nodePicture(int image)
{
    if (image < 0 || image > kMaxImageIndex)
        return {};
    ensureResources();
    return QIcon(QStringLiteral(":/pictures/") + QString::fromLatin1(kNodePictureNames[image]) + QStringLiteral(".png"));
}

void FolderTreeWidget::showTree(const FolderTree& tree, const MailboxList& mailboxes)
{
    tree_ = &tree;
    mailboxes_ = &mailboxes;
    const QSignalBlocker block(this);
    clear();
    items_.clear();
    items_.reserve(static_cast<std::size_t>(tree.count()));
    for (int i = 0; i < tree.count(); ++i) {
        const TreeNode& node = tree.node(i);
        const int parentIndex = tree.parent(i);
        QTreeWidgetItem* item = nullptr;
        if (parentIndex < 0)
            item = new QTreeWidgetItem(this);
        else
            item = new QTreeWidgetItem(itemOfNode(parentIndex));
        item->setData(0, kNodeRole, i);
        items_.push_back(item);
        showNodeText(i);
        QIcon icon;
        const QIcon normal = nodePicture(node.image);
        const QIcon selected = nodePicture(node.selectedImage);
        for (const QSize& size : normal.availableSizes())
            icon.addPixmap(normal.pixmap(size), QIcon::Normal);
        for (const QSize& size : selected.availableSizes())
            icon.addPixmap(selected.pixmap(size), QIcon::Selected);
        item->setIcon(0, icon.isNull() ? normal : icon);
    }
}

void FolderTreeWidget::setUnreadCounts(const std::map<int, int>& byMailbox)
{
    unread_ = byMailbox;
    for (int i = 0; i < static_cast<int>(items_.size()); ++i)
        showNodeText(i);
}

void FolderTreeWidget::showNodeText(int index)
{
    QTreeWidgetItem* item = itemOfNode(index);
    if (!item || !tree_ || !mailboxes_ || index >= tree_->count())
        return;
    const std::string& text = tree_->node(index).text;
    bool bold = tree_->isBold(index);
    QString shown = fromStored(text);
    const auto known = unread_.find(tree_->mailboxOfNode(index, *mailboxes_));
    if (known != unread_.end()) {
        shown = fromStored(folderItemText(text, known->second));
        bold = known->second > 0;
    }
    if (item->text(0) != shown)
        item->setText(0, shown);
    QFont f = font();
    f.setBold(bold);
    if (item->font(0) != f)
        item->setFont(0, f);
}

int FolderTreeWidget::nodeOfItem(const QTreeWidgetItem* item)
{
    return item ? item->data(0, kNodeRole).toInt() : -1;
}

QTreeWidgetItem* FolderTreeWidget::itemOfNode(int index) const
{
    if (index < 0 || index >= static_cast<int>(items_.size()))
        return nullptr;
    return items_[static_cast<std::size_t>(index)];
}

int FolderTreeWidget::selectedNode() const
{
    const QList<QTreeWidgetItem*> items = selectedItems();
    return items.isEmpty() ? -1 : nodeOfItem(items.first());
}

void FolderTreeWidget::selectNode(int index)
{
    if (QTreeWidgetItem* item = itemOfNode(index)) {
        setCurrentItem(item);
        item->setSelected(true);
    }
}

void FolderTreeWidget::setShowLines(bool show)
{
    showLines_ = show;
    viewport()->update();
}

void FolderTreeWidget::setShowButtons(bool show)
{
    showButtons_ = show;
    viewport()->update();
}

void FolderTreeWidget::contextMenuEvent(QContextMenuEvent* event)
{
    // The commands act on the node under the pointer, so it becomes the selected one first.
    if (event->reason() == QContextMenuEvent::Mouse)
        if (QTreeWidgetItem* item = itemAt(event->pos()))
            setCurrentItem(item);
    if (actions().isEmpty())
        return;
    QMenu menu(this);
    menu.addActions(actions());
    menu.exec(event->globalPos());
}

int FolderTreeWidget::dropTargetAt(const QPoint& pos, const QMimeData* data) const
{
    if (!tree_ || !mailboxes_)
        return 0;
    const std::optional<MessageDrag> drag = messageDragFromMimeData(data);
    if (!drag)
        return 0;
    const int node = nodeOfItem(itemAt(pos));
    if (node < 0)
        return 0;
    return tree_->dropTarget(node, *mailboxes_, drag->mailbox);
}

void FolderTreeWidget::dragEnterEvent(QDragEnterEvent* event)
{
    // Only a list of this program's own profile carries message numbers that mean anything here.
    if (event->source() && messageDragFromMimeData(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void FolderTreeWidget::dragMoveEvent(QDragMoveEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (event->source() && dropTargetAt(pos, event->mimeData()) > 0) {
        setCurrentItem(itemAt(pos));
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void FolderTreeWidget::dragLeaveEvent(QDragLeaveEvent* event) { event->accept(); }

void FolderTreeWidget::dropEvent(QDropEvent* event)
{
    const QPoint pos = event->position().toPoint();
    const int target = event->source() ? dropTargetAt(pos, event->mimeData()) : 0;
    const std::optional<MessageDrag> drag = messageDragFromMimeData(event->mimeData());
    if (target <= 0 || !drag) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit messagesDropped(target, *drag);
}

void FolderTreeWidget::drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const
{
    if (showLines_) {
        painter->save();
        QPen pen(palette().color(QPalette::Mid));
        pen.setStyle(Qt::DotLine);
        painter->setPen(pen);
        const int step = indentation();
        const int mid = rect.top() + rect.height() / 2;
        // Walk up from the item: a vertical line in every column whose ancestor has a later sibling.
        int column = 0;
        QModelIndex current = index;
        const int levels = rect.width() / step;
        for (int level = levels - 1; level >= 0 && current.isValid(); --level, ++column) {
            const int x = rect.left() + level * step + step / 2;
            const bool hasNextSibling = current.sibling(current.row() + 1, 0).isValid();
            if (column == 0) {
                // The first node of the whole tree has nothing above it to connect to.
                const bool fromTop = current.parent().isValid() || current.row() > 0;
                painter->drawLine(x, fromTop ? rect.top() : mid, x, hasNextSibling ? rect.bottom() : mid);
                painter->drawLine(x, mid, rect.left() + (level + 1) * step, mid);
            } else if (hasNextSibling) {
                painter->drawLine(x, rect.top(), x, rect.bottom());
            }
            current = current.parent();
        }
        painter->restore();
    }
    if (!showButtons_)
        return;
    // The expand indicator alone, without the style's own lines.
    if (model()->hasChildren(index)) {
        QStyleOption opt;
        opt.initFrom(this);
        const int step = indentation();
        opt.rect = QRect(rect.right() - step + 1, rect.top(), step, rect.height());
        opt.state = QStyle::State_Item | QStyle::State_Children;
        if (isExpanded(index))
            opt.state |= QStyle::State_Open;
        // A small box with a sign, as the lines call for.
        painter->save();
        const QRect box(opt.rect.center().x() - 4, opt.rect.center().y() - 4, 9, 9);
        painter->setPen(palette().color(QPalette::Mid));
        painter->setBrush(palette().color(QPalette::Base));
        painter->drawRect(box);
        painter->setPen(palette().color(QPalette::Text));
        painter->drawLine(box.left() + 2, box.center().y(), box.right() - 2, box.center().y());
        if (!isExpanded(index))
            painter->drawLine(box.center().x(), box.top() + 2, box.center().x(), box.bottom() - 2);
        painter->restore();
    }
}

} // namespace tavik
