// The list of one mailbox as the mailbox window shows it: the items copied from the store, their
// display order, the unread count, the viewer windows opened from the list, and the commands the
// window turns user actions into. The list widget paints this model; nothing here knows Qt.
//
// Lines are 0-based display rows (the widget's rows); message numbers are the store's, 1-based.
// The model follows the store through MailboxChanged once it is registered, and reads the store
// only inside its own operations: callers of the store select their mailbox and message again
// after calling anything here.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "store/mailbox_store.h"
#include "text/search_text.h"

namespace tavik {

class NMailboxViewer;

// The notices a list sends to a viewer window it opened (the windows' private message numbers).
enum ViewerWindowNoticeCode : int {
    kNoticeListBound = 1025,   // once after creation: `list` is the list the window belongs to
    kNoticeShowMessage = 1026, // show message `message` of mailbox `mailbox`
    kNoticeCloseWindow = 1027, // the window's message was removed or its mailbox emptied: close
    kNoticeRenumbered = 1028   // an earlier message was removed: remember the new numbers only
};

// One notice with its parameters; fields a code does not use are zero.
struct ViewerWindowNotice {
    int code = 0;
    int mailbox = 0;
    int message = 0;
    NMailboxViewer* list = nullptr;
};

// A viewer window as the list sees it. The window owns itself; it calls
// NMailboxViewer::ViewerWindowClosed when it closes on its own, so the list never holds a window
// that is gone. After kNoticeCloseWindow the list has already forgotten the window.
class MessageViewerWindow {
public:
    virtual ~MessageViewerWindow() = default;
    // Acts on one of the four notices.
    virtual void ReceiveNotice(const ViewerWindowNotice& notice) = 0;
    // Raises the window, restoring it when minimised.
    virtual void BringToFront() = 0;
};

// Slots of `OpenViewerSlots`.
constexpr int kOpenViewerSlotCount = 256;
// Rooms of the item fields and the priority a message without one has.
constexpr std::size_t kItemFromRoom = 60;
constexpr std::size_t kItemSubjectRoom = 80;
constexpr std::size_t kItemDateRoom = 40;
constexpr std::size_t kItemPriorityRoom = 10;
extern const char* const kDefaultPriority; // "3"

// Columns, numbered as SortBy takes them.
constexpr int kColumnStatus = 1;
constexpr int kColumnFrom = 2;
constexpr int kColumnSubject = 3;
constexpr int kColumnDate = 4;
constexpr int kColumnSize = 5;
constexpr int kColumnCount = 5;

// What the list shows of one message.
struct MailboxListItem {
    std::string From;     // Msg_From cut to 60
    std::string Subject;  // cut to 80
    std::string Date;     // cut to 40, as stored
    std::int32_t Size = 0;
    char Flag = ' ';
    std::string Priority = "3"; // from the text's priority line, cut to 10
    bool HasAttachment = false;
};

// Names of the pictures the status area draws; empty means no picture.
struct StatusPictures {
    std::string AttachmentBitmap, UnreadBitmap, ReadBitmap, RepliedBitmap, QueuedBitmap, PriorityBitmap;
};

// Captions and pictures a mailbox window gives the list of mailbox `mailboxNumber`.
struct MailboxListLook {
    std::vector<std::string> SectionNames;
    StatusPictures Pictures;
};
MailboxListLook listLookFor(int mailboxNumber);

// The priority of a stored text: the rest of the first line holding "X-Priority: " (from
// character 13) or "X-MSMail-Priority: " (from character 20), cut to 10; "3" when none.
std::string findPriority(const std::vector<std::string>& text);
// The same for a stored text's bytes, whose lines each end in CR LF (a last piece without it is
// no line, as the store reads texts).
std::string findPriorityInText(std::string_view text);
// True when a priority text asks for the priority picture ("1" or "High" in it).
bool isHighPriority(const std::string& priority);
// The From column's text: what comes before the first " <", else the whole line.
std::string displayFrom(const std::string& from);
// The Date column's text: day, month, year and time without weekday, seconds and zone. A text too
// short for that, or whose zone blank comes before its fourth character, is shown unchanged.
std::string displayDate(const std::string& date);
// The Size column's text.
std::string displaySize(std::int32_t size);
// The warning that mailbox `mailboxNumber` (shown as `displayName`) holds the damaged messages
// `damaged`, with the command that mends it; for the mailbox window and tavikctl alike.
std::string damagedMessagesWarning(int mailboxNumber, const std::string& displayName, const std::vector<int>& damaged);
// True for the flags that count as unread ("U", "u").
bool isUnreadFlag(char flag);

// The list model of one mailbox window. Create it, set the viewer window factory and the look,
// then SetMailbox and SetMailboxNumber; it registers with the store and loads the items. Its
// destruction (the mailbox window closing) unregisters it and closes its viewer windows.
class NMailboxViewer : public TMailboxViewerControl {
public:
    // A viewer window slot; an empty slot has no window.
    struct ViewerSlot {
        MessageViewerWindow* window = nullptr;
        int message = 0;
    };
    // What changed in the display, for the widget; `line` is the row concerned or -1.
    struct DisplayChange {
        enum Kind { Reset, LineAppended, LineRemoved, LineChanged, Reordered, SelectionChanged } kind = Reset;
        int line = -1;
    };
    // Where ShowAdjacentInWindow goes from the window's line.
    enum class Direction { Next, Previous };

    NMailboxViewer() = default;
    // Unregisters from the store and closes the viewer windows opened from the list.
    ~NMailboxViewer() override;
    NMailboxViewer(const NMailboxViewer&) = delete;
    NMailboxViewer& operator=(const NMailboxViewer&) = delete;

    // The store shown (shared, not owned). Setting it or the number unregisters from the old
    // store, closes the viewer windows of the old mailbox, and with both set registers and loads.
    // Store errors while loading reach the caller; the list is then empty.
    void SetMailbox(TNMailBox* mailbox);
    TNMailBox* Mailbox() const { return mailbox_; }
    void SetMailboxNumber(int number);
    int MailboxNumber() const { return mailboxNumber_; }
    // False when the store's viewer table was full: the list then hears no notices.
    bool Registered() const { return registered_; }

    // The five column captions; a shorter list given takes the defaults for the missing ones.
    void SetSectionNames(const std::vector<std::string>& names);
    const std::vector<std::string>& SectionNames() const { return sectionNames_; }
    // Picture names of the status area (plain data, read when painting).
    StatusPictures Pictures;
    // Sets captions and pictures as the main window does for a mailbox.
    void applyLook(const MailboxListLook& look);

    // Newest first (true) or arrival order. Setting it rebuilds the order without reloading.
    void SetNewMessageTop(bool on);
    bool NewMessageTop() const { return newMessageTop_; }
    // Number of unread items.
    int NotReadMessages() const { return notRead_; }
    // Number of lines: every item, or those the filter shows.
    int Count() const { return static_cast<int>(order_.size()); }
    // Number of items (the mailbox's messages), whether the filter shows them or not.
    int ItemCount() const { return static_cast<int>(items_.size()); }

    // Shows only the lines whose message holds `text` in its From, To or Subject, without regard
    // to case or accents; empty text shows every line again, in the order they would have had.
    // Selected lines the filter hides leave the selection. Sorting, appends and removals keep
    // the filter; a message that comes in joins the bottom only when it matches.
    void SetFilter(const std::string& text);
    const std::string& Filter() const { return filterText_; }
    bool Filtering() const { return !filter_.empty(); }
    // The messages LoadItems found damaged: they are listed from their records, but their texts
    // cannot be read.
    const std::vector<int>& DamagedMessages() const { return damaged_; }

    // Rebuilds every item from the store, reading each text for its priority; fires OnChange.
    void LoadItems();
    // The store's change notice (actions of MailboxAction).
    void MailboxChanged(int action, int messageNumber) override;

    // The message shown on a line, 0 for a line that does not exist.
    int MessageAt(int line) const;
    // The line showing a message, -1 when none.
    int LineOf(int message) const;
    // The item of a message (1 to Count) and of a line; an empty item for one that does not exist,
    // so a widget painting a stale row never reads past the list.
    const MailboxListItem& ItemOf(int message) const;
    const MailboxListItem& ItemAt(int line) const { return ItemOf(MessageAt(line)); }
    // Texts of a line as the columns show them (columns 2 to 5), and its status picture names in
    // drawing order (attachment, flag, priority). Unread lines are drawn bold. A line that does
    // not exist has no texts and no pictures.
    std::string ColumnText(int line, int column) const;
    std::vector<std::string> StatusPictureNames(int line) const;
    bool IsBold(int line) const { return isUnreadFlag(ItemAt(line).Flag); }

    // Current line (-1: none). Setting it makes it the only selected line.
    void SetItemIndex(int line);
    int ItemIndex() const { return itemIndex_; }
    // Adds a line to the selection or takes it out (Ctrl and Shift clicks).
    void SetSelected(int line, bool selected);
    bool IsSelected(int line) const;
    void ClearSelection();
    // The selected messages in display order.
    std::vector<int> SelectedMessages() const;
    // Moves the single selection one line down (up) and answers the message now selected; at the
    // last (first) line nothing moves. 0 when the list is empty.
    int SelectNext();
    int SelectPrevious();

    // Sorts the display order by column 1 to 5 (other columns do nothing), normal or reverse.
    // Stable: equal keys keep their present order. Selection stays with its messages.
    void SortBy(int column, bool normal);

    // A click on a line: OnMessageClick with the first selected line's message.
    void Click();
    // A double click: OpenSelected with a window factory, else OnMessageDoubleClick with the
    // current line's message.
    void DoubleClick();
    // Opens (or raises) a viewer window for every selected message, in display order.
    void OpenSelected();
    // Opens (or raises) the viewer window of one message as OpenSelected does, whether the filter
    // shows its line or not. False when no window could be had (no factory, no such message,
    // every slot in use).
    bool OpenMessage(int message);
    // Shows the message of the next (previous) line in `window`, or raises the window that
    // already shows it; nothing at the end of the list.
    void ShowAdjacentInWindow(MessageViewerWindow* window, Direction direction);
    // A viewer window that closed on its own gives up its slot.
    void ViewerWindowClosed(MessageViewerWindow* window);
    // Tells every open viewer window to close and empties the slots.
    void CloseAllViewers();
    const std::array<ViewerSlot, kOpenViewerSlotCount>& OpenViewerSlots() const { return slots_; }

    // Moves every selected message to mailbox `target` in display order with one store command.
    // Store errors propagate; the list then shows what the store holds.
    void MoveSelected(int target);
    // Moves the current line's message to mailbox `target` (a drop); nothing when the target is
    // 0 or this list's own mailbox.
    void MoveCurrentTo(int target);
    // True when a drag from `source` may end on this list: another list of another mailbox.
    bool AcceptsDrag(const NMailboxViewer& source) const;
    // The drag from `source` ended here: its current message moves to this list's mailbox.
    void DropFrom(NMailboxViewer& source);

    // Creates a viewer window for OpenSelected (the window kind and owner of the mailbox window);
    // may answer nullptr. Without it a double click fires OnMessageDoubleClick.
    std::function<MessageViewerWindow*()> ViewerWindowFactory;
    // Events, called only when set.
    std::function<void(NMailboxViewer&)> OnChange;
    std::function<void(NMailboxViewer&, int message)> OnMessageClick;
    std::function<void(NMailboxViewer&, int message)> OnMessageDoubleClick;
    // Messages left the list: `newNumbers[m]` is the number message m now has, 0 when it went.
    // An empty table means the numbers are no longer known (emptied, reloaded after a notice
    // that did not fit, or the store gone). For owners that remember a message by number.
    std::function<void(NMailboxViewer&, const std::vector<int>& newNumbers)> OnMessagesRenumbered;
    // The widget's hooks around every display change (for its item model and repaint).
    std::function<void(const DisplayChange&)> beforeDisplayChange;
    std::function<void(const DisplayChange&)> afterDisplayChange;

private:
    class WholeOrder;
    void showWholeOrder();
    void showMatchingOrder();
    bool matchesFilter(int message) const;
    void attach();
    void detach();
    void selectOwnMailbox();
    void clearItems();
    void rebuildOrder();
    void appendItem(int number);
    void removeItems(const std::vector<int>& sequentialNumbers);
    void flagChanged(int number);
    void reload();
    void resync();
    void flushPendingRemovals();
    void fireChange();
    void fireRenumbered(const std::vector<int>& newNumbers);
    void changing(DisplayChange::Kind kind, int line = -1);
    void changed(DisplayChange::Kind kind, int line = -1);
    int liveSlotOf(int message) const;
    int slotOf(const MessageViewerWindow* window) const;
    void send(MessageViewerWindow* window, int code, int message = 0);

    TNMailBox* mailbox_ = nullptr;
    int mailboxNumber_ = 0;
    bool registered_ = false;
    std::string registeredKey_;
    std::vector<std::string> sectionNames_ = {"Status", "From", "Subject", "Date", "Size"};
    bool newMessageTop_ = false;
    int notRead_ = 0;
    std::vector<MailboxListItem> items_; // message n at n - 1
    std::vector<int> damaged_;
    std::vector<int> order_;             // message number of each line
    std::vector<char> selected_;         // per line
    int itemIndex_ = -1;
    std::array<ViewerSlot, kOpenViewerSlotCount> slots_{};
    // The filter, and From, To and Subject of message n folded at n - 1, made as items are, so
    // that filtering is a scan.
    std::string filterText_;
    SearchText filter_;
    std::vector<std::string> folded_;
    // While filtering: every message in display order; order_ is its matching part.
    std::vector<int> wholeOrder_;
    // Depth of operations working on the whole order: display hooks and OnChange wait for them.
    int wholeDepth_ = 0;
    bool changePending_ = false;
    // Removal notices of our own MoveSelected, applied together when the store is done.
    bool deferRemovals_ = false;
    std::vector<int> pendingRemovals_;
};

} // namespace tavik
