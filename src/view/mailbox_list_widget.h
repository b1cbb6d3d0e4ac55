// The message list of a mailbox window: paints an NMailboxViewer (rows, column header, status
// pictures, bold unread lines) and turns clicks, double clicks, header presses, selection,
// dragging and dropping into calls of that model.
#pragma once

#include <QAbstractTableModel>
#include <QTreeView>
#include <functional>
#include <memory>

#include "store/mailbox_list_model.h"
#include "window_common/message_drag.h"

namespace tavik {

// The rows of an NMailboxViewer for Qt's views: one row per line, the five columns (Status, From
// or To, Subject, Date, Size) with the list's captions; column 0 carries the status picture names.
// It follows the list through the list's display hooks, installed by MailboxListWidget.
class MailboxListItemModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // Role of column 0: the status picture names of the line (QStringList), in drawing order.
    static constexpr int kStatusPicturesRole = Qt::UserRole + 1;
    // Role of every column: the line's message number.
    static constexpr int kMessageRole = Qt::UserRole + 2;

    explicit MailboxListItemModel(NMailboxViewer& list, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The list's display change, before and after it happens.
    void before(const NMailboxViewer::DisplayChange& change);
    void after(const NMailboxViewer::DisplayChange& change);
    // Font of the rows; unread rows use its bold form.
    void setRowFont(const QFont& font);

private:
    NMailboxViewer& list_;
    QFont font_;
    QFont bold_;
    bool resetting_ = false;
};

// `TMBCustomListBox` with its `TMBHeader`: owns the list model it paints. Every row is as high
// as the letter "A" of the font plus 4 pixels (and at least as high as a picture). A press and
// release at one point of the header sorts by the column there: the left button in normal
// order, the right in reverse. Several rows may be selected (Ctrl and Shift). With DragEnabled a
// left press without Shift or Ctrl drags the selected messages; messages of another mailbox's list
// may be dropped here. Each column is at least as wide as its caption. Moving through the rows
// with the keys shows each message as a click does; Return opens them as a double click does.
class MailboxListWidget : public QTreeView {
    Q_OBJECT
public:
    explicit MailboxListWidget(QWidget* parent = nullptr);
    ~MailboxListWidget() override;

    // The list model (its events OnChange, OnMessageClick, OnMessageDoubleClick are the widget's).
    NMailboxViewer& viewer() { return *viewer_; }
    const NMailboxViewer& viewer() const { return *viewer_; }
    MailboxListItemModel* itemModel() const { return items_; }

    // Captions and pictures as the main window gives them for mailbox `n`.
    void applyLook(const MailboxListLook& look);
    // The pictures by name (the main window's status pictures).
    std::function<QIcon(const std::string&)> pictureOf;
    // Messages of another mailbox dropped here.
    std::function<void(const MessageDrag&)> OnMessagesDropped;

    // `DragEnabled`; `DropEnabled` is kept but drops are accepted whatever it says.
    bool DragEnabled = true;
    bool DropEnabled = true;

    // Column widths in pixels, Status to Size; widths below a caption's are raised to it.
    std::vector<int> columnWidths() const;
    void setColumnWidths(const std::vector<int>& widths);
    // The least width of a column: its caption's.
    int minimumColumnWidth(int column) const;
    // Sorts by column 1 to 5 as the header does (with the hourglass).
    void sortList(int column, bool normal);
    // The row font (the "Messages List" font).
    void setListFont(const QFont& font);
    // True when a drag from `source` carrying `data` may end here: messages of another list of
    // this program, of another mailbox.
    bool acceptsDrag(const QObject* source, const QMimeData* data) const;
    // What a drag started now carries: every selected message in display order when the current
    // row is selected, else the current row's message alone; no message without a current row.
    MessageDrag draggedMessages() const;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void displayChanging(const NMailboxViewer::DisplayChange& change);
    void displayChanged(const NMailboxViewer::DisplayChange& change);
    void selectionFromView();
    void selectionToView(bool scroll);
    bool acceptsDrop(const QDropEvent* event) const;
    void keepCaptionWidth(int logical, int newSize);

    std::unique_ptr<NMailboxViewer> viewer_;
    MailboxListItemModel* items_ = nullptr;
    bool syncing_ = false;  // the selection is being copied between view and list
    int coreChanges_ = 0;   // inside a display change of the list
    Qt::KeyboardModifiers pressModifiers_;
    // The header press that may become a sort: where and with which button.
    QPoint headerPressAt_;
    Qt::MouseButton headerPressButton_ = Qt::NoButton;
};

} // namespace tavik
