#include "view/mailbox_list_widget.h"

#include <QKeyEvent>
#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>

#include "window_common/text_conversion.h"
#include "window_common/wait_cursor.h"

namespace tavik {

namespace {

constexpr int kPictureSize = 16;
constexpr int kPictureStep = 18;
const int kDefaultWidths[kColumnCount] = {62, 160, 240, 120, 64};

// Rows as high as the font's "A" plus 4 (never lower than a picture); column 0 draws the
// status pictures in their order.
class MailboxRowDelegate : public QStyledItemDelegate {
public:
    explicit MailboxRowDelegate(MailboxListWidget* list) : QStyledItemDelegate(list), list_(list) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(std::max(QFontMetrics(list_->font()).height() + 4, kPictureSize + 2));
        return size;
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        if (index.column() != 0) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem plain = option;
        initStyleOption(&plain, index);
        plain.text.clear();
        plain.icon = QIcon();
        plain.features &= ~QStyleOptionViewItem::HasDecoration;
        QStyle* style = plain.widget ? plain.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &plain, painter, plain.widget);
        if (!list_->pictureOf)
            return;
        int x = option.rect.left() + 2;
        const int y = option.rect.top() + (option.rect.height() - kPictureSize) / 2;
        for (const QString& name : index.data(MailboxListItemModel::kStatusPicturesRole).toStringList()) {
            const QIcon icon = list_->pictureOf(toStored(name));
            if (!icon.isNull())
                icon.paint(painter, QRect(x, y, kPictureSize, kPictureSize));
            x += kPictureStep;
        }
    }

private:
    MailboxListWidget* list_;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Item model

MailboxListItemModel::MailboxListItemModel(NMailboxViewer& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list)
{
}

int MailboxListItemModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : list_.Count(); }

int MailboxListItemModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant MailboxListItemModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= list_.Count() || index.column() >= kColumnCount)
        return {};
    const int line = index.row();
    const int column = index.column() + 1;
    switch (role) {
    case Qt::DisplayRole:
        if (column == kColumnStatus)
            return {};
        return fromStored(list_.ColumnText(line, column));
    case Qt::FontRole:
        if (list_.IsBold(line))
            return bold_;
        return {};
    case Qt::TextAlignmentRole:
        if (column == kColumnSize)
            return QVariant(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    case kStatusPicturesRole:
        if (column == kColumnStatus) {
            QStringList names;
            for (const auto& name : list_.StatusPictureNames(line))
                names << fromStored(name);
            return names;
        }
        return {};
    case kMessageRole:
        return list_.MessageAt(line);
    default:
        return {};
    }
}

QVariant MailboxListItemModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return fromStored(list_.SectionNames()[static_cast<std::size_t>(section)]);
}

Qt::ItemFlags MailboxListItemModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::ItemIsDropEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
}

void MailboxListItemModel::setRowFont(const QFont& font)
{
    font_ = font;
    bold_ = font;
    bold_.setBold(true);
    if (list_.Count() > 0)
        emit dataChanged(index(0, 0), index(list_.Count() - 1, kColumnCount - 1), {Qt::FontRole});
}

void MailboxListItemModel::before(const NMailboxViewer::DisplayChange& change)
{
    using K = NMailboxViewer::DisplayChange;
    switch (change.kind) {
    case K::Reset:
    case K::Reordered:
        beginResetModel();
        break;
    case K::LineAppended:
        beginInsertRows(QModelIndex(), change.line, change.line);
        break;
    case K::LineRemoved:
        if (change.line >= 0)
            beginRemoveRows(QModelIndex(), change.line, change.line);
        else
            beginResetModel();
        break;
    case K::LineChanged:
    case K::SelectionChanged:
        break;
    }
}

void MailboxListItemModel::after(const NMailboxViewer::DisplayChange& change)
{
    using K = NMailboxViewer::DisplayChange;
    switch (change.kind) {
    case K::Reset:
    case K::Reordered:
        endResetModel();
        break;
    case K::LineAppended:
        endInsertRows();
        break;
    case K::LineRemoved:
        if (change.line >= 0)
            endRemoveRows();
        else
            endResetModel();
        break;
    case K::LineChanged:
        if (change.line >= 0 && change.line < list_.Count())
            emit dataChanged(index(change.line, 0), index(change.line, kColumnCount - 1));
        break;
    case K::SelectionChanged:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// Widget

MailboxListWidget::MailboxListWidget(QWidget* parent)
    : QTreeView(parent), viewer_(std::make_unique<NMailboxViewer>())
{
    setObjectName(QStringLiteral("MailboxList"));
    items_ = new MailboxListItemModel(*viewer_, this);
    items_->setRowFont(font());
    setModel(items_);
    setItemDelegate(new MailboxRowDelegate(this));
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);

    QHeaderView* head = header();
    head->setStretchLastSection(false);
    head->setSectionsMovable(false);
    head->setSortIndicatorShown(false);
    head->setContextMenuPolicy(Qt::PreventContextMenu);
    head->viewport()->installEventFilter(this);
    connect(head, &QHeaderView::sectionResized, this,
            [this](int logical, int, int newSize) { keepCaptionWidth(logical, newSize); });
    std::vector<int> widths(std::begin(kDefaultWidths), std::end(kDefaultWidths));
    // The Date column holds a whole "dd mmm yyyy hh:nn:ss" (stored dates carry no zone, so they
    // keep their seconds) in the bold font of unread lines.
    QFont bold = font();
    bold.setBold(true);
    widths[kColumnDate - 1] = std::max(widths[kColumnDate - 1],
                                       QFontMetrics(bold).horizontalAdvance(QStringLiteral("00 Mmm 0000 00:00:00")) + 16);
    setColumnWidths(widths);

    viewer_->beforeDisplayChange = [this](const NMailboxViewer::DisplayChange& c) { displayChanging(c); };
    viewer_->afterDisplayChange = [this](const NMailboxViewer::DisplayChange& c) { displayChanged(c); };
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { selectionFromView(); });
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this] { selectionFromView(); });
    connect(this, &QAbstractItemView::clicked, this, [this](const QModelIndex& index) {
        if (index.isValid())
            viewer_->Click();
    });
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid())
            viewer_->DoubleClick();
    });
}

MailboxListWidget::~MailboxListWidget()
{
    // The list goes first (it unregisters and closes its viewer windows), without reporting
    // anything to a widget that is half gone.
    viewer_->beforeDisplayChange = nullptr;
    viewer_->afterDisplayChange = nullptr;
    viewer_->OnChange = nullptr;
    viewer_->OnMessageClick = nullptr;
    viewer_->OnMessageDoubleClick = nullptr;
    viewer_->OnMessagesRenumbered = nullptr;
    disconnect(selectionModel(), nullptr, this, nullptr);
    setModel(nullptr);
    delete items_;
    items_ = nullptr;
    viewer_.reset();
}

void MailboxListWidget::applyLook(const MailboxListLook& look)
{
    viewer_->applyLook(look);
    emit items_->headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
    setColumnWidths(columnWidths());
    viewport()->update();
}

void MailboxListWidget::setListFont(const QFont& font) { setFont(font); }

void MailboxListWidget::changeEvent(QEvent* event)
{
    QTreeView::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        items_->setRowFont(font());
        // Row heights follow the font.
        doItemsLayout();
        setColumnWidths(columnWidths());
    }
}

std::vector<int> MailboxListWidget::columnWidths() const
{
    std::vector<int> widths;
    for (int c = 0; c < kColumnCount; ++c)
        widths.push_back(header()->sectionSize(c));
    return widths;
}

int MailboxListWidget::minimumColumnWidth(int column) const
{
    if (column < 0 || column >= kColumnCount)
        return 0;
    const QString caption = fromStored(viewer_->SectionNames()[static_cast<std::size_t>(column)]);
    const int margin = style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header());
    return QFontMetrics(header()->font()).horizontalAdvance(caption) + 2 * margin + 4;
}

void MailboxListWidget::setColumnWidths(const std::vector<int>& widths)
{
    for (int c = 0; c < kColumnCount; ++c) {
        int w = c < static_cast<int>(widths.size()) ? widths[static_cast<std::size_t>(c)] : kDefaultWidths[c];
        header()->resizeSection(c, std::clamp(w, minimumColumnWidth(c), 4000));
    }
}

void MailboxListWidget::keepCaptionWidth(int logical, int newSize)
{
    const int least = minimumColumnWidth(logical);
    if (newSize < least)
        header()->resizeSection(logical, least);
}

void MailboxListWidget::sortList(int column, bool normal)
{
    WaitCursor wait;
    viewer_->SortBy(column, normal);
}

void MailboxListWidget::displayChanging(const NMailboxViewer::DisplayChange& change)
{
    if (change.kind == NMailboxViewer::DisplayChange::SelectionChanged)
        return;
    ++coreChanges_;
    items_->before(change);
}

void MailboxListWidget::displayChanged(const NMailboxViewer::DisplayChange& change)
{
    using K = NMailboxViewer::DisplayChange;
    if (change.kind == K::SelectionChanged) {
        // A selection the list made itself (SelectNext, SetItemIndex) shows and scrolls into view.
        if (!syncing_)
            selectionToView(true);
        return;
    }
    items_->after(change);
    --coreChanges_;
    if (change.kind == K::Reset || change.kind == K::Reordered || change.kind == K::LineRemoved)
        selectionToView(false);
}

void MailboxListWidget::selectionFromView()
{
    if (syncing_ || coreChanges_ > 0)
        return;
    syncing_ = true;
    const QModelIndex current = selectionModel()->currentIndex();
    const int line = current.isValid() ? current.row() : -1;
    viewer_->SetItemIndex(line);
    for (const QModelIndex& row : selectionModel()->selectedRows())
        viewer_->SetSelected(row.row(), true);
    if (line >= 0 && !selectionModel()->isRowSelected(line, QModelIndex()))
        viewer_->SetSelected(line, false);
    syncing_ = false;
}

void MailboxListWidget::selectionToView(bool scroll)
{
    const bool was = syncing_;
    syncing_ = true;
    QItemSelection selection;
    const int count = viewer_->Count();
    int start = -1;
    for (int line = 0; line <= count; ++line) {
        const bool selected = line < count && viewer_->IsSelected(line);
        if (selected && start < 0)
            start = line;
        if (!selected && start >= 0) {
            selection.select(items_->index(start, 0), items_->index(line - 1, kColumnCount - 1));
            start = -1;
        }
    }
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    const int current = viewer_->ItemIndex();
    if (current >= 0) {
        selectionModel()->setCurrentIndex(items_->index(current, 0), QItemSelectionModel::NoUpdate);
        if (scroll)
            scrollTo(items_->index(current, 0));
    } else {
        selectionModel()->clearCurrentIndex();
    }
    syncing_ = was;
}

bool MailboxListWidget::event(QEvent* event)
{
    // Ctrl+A is also the main window's address book: a focused list selects all its rows instead.
    if (event->type() == QEvent::ShortcutOverride &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::SelectAll)) {
        event->accept();
        return true;
    }
    return QTreeView::event(event);
}

bool MailboxListWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == header()->viewport()) {
        if (event->type() == QEvent::MouseButtonPress) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            headerPressAt_ = mouse->position().toPoint();
            headerPressButton_ = mouse->button();
        } else if (event->type() == QEvent::MouseButtonRelease) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            const QPoint at = mouse->position().toPoint();
            // Only a press and release at one point sorts: a drag of a column border does not.
            if (mouse->button() == headerPressButton_ && at == headerPressAt_ &&
                (mouse->button() == Qt::LeftButton || mouse->button() == Qt::RightButton)) {
                const int logical = header()->logicalIndexAt(at);
                if (logical >= 0)
                    sortList(logical + 1, mouse->button() == Qt::LeftButton);
            }
            headerPressButton_ = Qt::NoButton;
        }
    }
    return QTreeView::eventFilter(watched, event);
}

void MailboxListWidget::mousePressEvent(QMouseEvent* event)
{
    pressModifiers_ = event->modifiers();
    QTreeView::mousePressEvent(event);
}

void MailboxListWidget::keyPressEvent(QKeyEvent* event)
{
    // Return opens the selected messages as a double click does.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
        if (viewer_->ItemIndex() >= 0)
            viewer_->DoubleClick();
        return;
    }
    // Moving through the list with the keys shows each message as a click does.
    const int before = viewer_->ItemIndex();
    QTreeView::keyPressEvent(event);
    if (viewer_->ItemIndex() != before && viewer_->ItemIndex() >= 0)
        viewer_->Click();
}

MessageDrag MailboxListWidget::draggedMessages() const
{
    const int message = viewer_->MessageAt(viewer_->ItemIndex());
    if (message == 0 || viewer_->MailboxNumber() == 0)
        return {};
    // A press on a selected row keeps the selection for the drag: all of it goes. A row outside
    // the selection goes alone.
    std::vector<int> messages = viewer_->SelectedMessages();
    if (std::find(messages.begin(), messages.end(), message) == messages.end())
        messages = {message};
    return MessageDrag{viewer_->MailboxNumber(), std::move(messages)};
}

void MailboxListWidget::startDrag(Qt::DropActions)
{
    if (!DragEnabled || (pressModifiers_ & (Qt::ShiftModifier | Qt::ControlModifier)))
        return;
    const MessageDrag dragged = draggedMessages();
    if (dragged.messages.empty())
        return;
    auto* drag = new QDrag(this);
    drag->setMimeData(messageDragMimeData(dragged));
    drag->exec(Qt::MoveAction);
}

bool MailboxListWidget::acceptsDrop(const QDropEvent* event) const { return acceptsDrag(event->source(), event->mimeData()); }

bool MailboxListWidget::acceptsDrag(const QObject* source, const QMimeData* data) const
{
    // Only another list of this program carries message numbers of this profile; a list never
    // takes its own messages, nor messages of the mailbox it shows.
    const auto* from = qobject_cast<const MailboxListWidget*>(source);
    if (!from || from == this || viewer_->MailboxNumber() == 0)
        return false;
    const std::optional<MessageDrag> drag = messageDragFromMimeData(data);
    return drag && drag->mailbox != viewer_->MailboxNumber() && drag->mailbox == from->viewer_->MailboxNumber();
}

void MailboxListWidget::dragEnterEvent(QDragEnterEvent* event)
{
    if (acceptsDrop(event)) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void MailboxListWidget::dragMoveEvent(QDragMoveEvent* event)
{
    if (acceptsDrop(event)) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void MailboxListWidget::dropEvent(QDropEvent* event)
{
    if (!acceptsDrop(event)) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::MoveAction);
    event->accept();
    if (OnMessagesDropped)
        if (std::optional<MessageDrag> drag = messageDragFromMimeData(event->mimeData()))
            OnMessagesDropped(*drag);
}

} // namespace tavik
