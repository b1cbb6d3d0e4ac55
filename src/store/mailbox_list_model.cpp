#include "store/mailbox_list_model.h"

#include <algorithm>
#include <cctype>

#include "profile/file_util.h"
#include "text/collation.h"
#include "text/unicode_text.h"

namespace tavik {

const char* const kDefaultPriority = "3";

namespace {

const char* const kDefaultSectionNames[kColumnCount] = {"Status", "From", "Subject", "Date", "Size"};
constexpr int kSentMailbox = 2;
constexpr int kToSendMailbox = 3;
constexpr int kDraftsMailbox = 4;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Cut at a character boundary: half a UTF-8 character would make the rest read as 8-bit.
std::string cut(const std::string& s, std::size_t room) { return s.size() > room ? cutUtf8(s, room) : s; }

// What the filter looks in: From, To and Subject, folded, one per line.
std::string filterFields(const std::string& from, const std::string& to, const std::string& subject)
{
    std::string folded;
    folded.reserve(from.size() + to.size() + subject.size() + 2);
    appendSearchFolded(from, folded);
    folded.push_back('\n');
    appendSearchFolded(to, folded);
    folded.push_back('\n');
    appendSearchFolded(subject, folded);
    return folded;
}

// The numbers, before any of them went, of messages removed one after another, each notice
// numbering its message as it was once the earlier ones were gone. Empty when the notices do not
// fit a mailbox of `count` messages. A Fenwick tree over the survivors keeps this O(k log n).
std::vector<int> originalNumbers(const std::vector<int>& sequential, int count)
{
    std::vector<int> tree(static_cast<std::size_t>(count) + 1, 0);
    for (int i = 1; i <= count; ++i) {
        tree[static_cast<std::size_t>(i)] += 1;
        int parent = i + (i & -i);
        if (parent <= count)
            tree[static_cast<std::size_t>(parent)] += tree[static_cast<std::size_t>(i)];
    }
    int top = 1;
    while (top * 2 <= count)
        top *= 2;
    int alive = count;
    std::vector<int> result;
    result.reserve(sequential.size());
    for (int s : sequential) {
        if (s < 1 || s > alive)
            return {};
        int pos = 0, rest = s;
        for (int step = top; step > 0; step /= 2) {
            int next = pos + step;
            if (next <= count && tree[static_cast<std::size_t>(next)] < rest) {
                pos = next;
                rest -= tree[static_cast<std::size_t>(next)];
            }
        }
        int original = pos + 1;
        for (int i = original; i <= count; i += i & -i)
            tree[static_cast<std::size_t>(i)] -= 1;
        --alive;
        result.push_back(original);
    }
    return result;
}

} // namespace

MailboxListLook listLookFor(int mailboxNumber)
{
    MailboxListLook look;
    look.SectionNames.assign(std::begin(kDefaultSectionNames), std::end(kDefaultSectionNames));
    if (mailboxNumber == kSentMailbox || mailboxNumber == kToSendMailbox)
        look.SectionNames[1] = "To";
    StatusPictures& p = look.Pictures;
    p.AttachmentBitmap = "MAIL_ATTACHMENT2";
    p.PriorityBitmap = "MAIL_URGENT";
    p.QueuedBitmap = "MAIL_QUEUED";
    switch (mailboxNumber) {
    case kSentMailbox:
        p.ReadBitmap = p.UnreadBitmap = p.RepliedBitmap = "MAIL_SENT";
        break;
    case kToSendMailbox:
        p.ReadBitmap = p.UnreadBitmap = p.RepliedBitmap = "MAIL_QUEUED";
        break;
    case kDraftsMailbox:
        p.ReadBitmap = p.UnreadBitmap = p.RepliedBitmap = "MAIL_DRAFT";
        break;
    default:
        p.ReadBitmap = "MAIL_READ";
        p.UnreadBitmap = "MAIL_UNREAD";
        p.RepliedBitmap = "MAIL_SENT";
        break;
    }
    return look;
}

std::string findPriority(const std::vector<std::string>& text)
{
    for (const auto& line : text) {
        // The value is taken from a fixed position of the line, as the header line puts it there.
        if (line.find("X-Priority: ") != std::string::npos)
            return cut(line.size() > 12 ? line.substr(12) : std::string(), kItemPriorityRoom);
        if (line.find("X-MSMail-Priority: ") != std::string::npos)
            return cut(line.size() > 19 ? line.substr(19) : std::string(), kItemPriorityRoom);
    }
    return kDefaultPriority;
}

std::string findPriorityInText(std::string_view text)
{
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string_view::npos)
            return kDefaultPriority;
        const std::string_view line = text.substr(start, end - start);
        if (line.find("X-Priority: ") != std::string_view::npos)
            return cut(std::string(line.size() > 12 ? line.substr(12) : std::string_view()), kItemPriorityRoom);
        if (line.find("X-MSMail-Priority: ") != std::string_view::npos)
            return cut(std::string(line.size() > 19 ? line.substr(19) : std::string_view()), kItemPriorityRoom);
        start = end + 2;
    }
}

bool isHighPriority(const std::string& priority)
{
    return priority.find('1') != std::string::npos || priority.find("High") != std::string::npos;
}

std::string displayFrom(const std::string& from)
{
    std::size_t at = from.find(" <");
    return at == std::string::npos ? from : from.substr(0, at);
}

std::string displayDate(const std::string& date)
{
    std::string s = date;
    if (!s.empty() && !isDigit(s[0])) {
        if (s.size() < 5)
            return date;
        s.erase(0, 5);
    }
    std::size_t blank = s.find(" +");
    if (blank == std::string::npos)
        blank = s.find(" -");
    if (blank != std::string::npos) {
        // Three characters before the blank are the seconds; without them there is nothing to cut.
        if (blank < 3)
            return date;
        s.erase(blank - 3);
    }
    if (s.size() < 2)
        return date;
    if (!isDigit(s[1]))
        s.insert(0, "0");
    return s;
}

std::string displaySize(std::int32_t size) { return std::to_string(size); }

bool isUnreadFlag(char flag) { return flag == 'U' || flag == 'u'; }

std::string damagedMessagesWarning(int mailboxNumber, const std::string& displayName, const std::vector<int>& damaged)
{
    const bool one = damaged.size() == 1;
    std::string numbers;
    for (std::size_t i = 0; i < damaged.size() && i < 10; ++i)
        numbers += (i ? ", " : "") + std::to_string(damaged[i]);
    if (damaged.size() > 10)
        numbers += ", ...";
    return std::to_string(damaged.size()) + (one ? " message of \"" : " messages of \"") + displayName +
           (one ? "\" is damaged and cannot be read (message " : "\" are damaged and cannot be read (messages ") +
           numbers + "). The other messages can be read. \"tavikctl repair " + std::to_string(mailboxNumber) +
           "\" mends the mailbox's index.";
}

NMailboxViewer::~NMailboxViewer()
{
    if (registered_ && mailbox_)
        mailbox_->UnregisterViewer(this);
    registered_ = false;
    CloseAllViewers();
}

// An operation on the order, the items or the numbers while a filter hides lines: it works on
// the whole order, and the display hears of it as one reset when the filter is applied again.
class NMailboxViewer::WholeOrder {
public:
    explicit WholeOrder(NMailboxViewer& list) : list_(list), active_(list.Filtering() && list.wholeDepth_ == 0)
    {
        if (!active_)
            return;
        list_.changing(DisplayChange::Reset);
        ++list_.wholeDepth_;
        list_.showWholeOrder();
    }
    ~WholeOrder()
    {
        if (!active_)
            return;
        list_.showMatchingOrder();
        --list_.wholeDepth_;
        list_.changed(DisplayChange::Reset);
        if (list_.changePending_) {
            list_.changePending_ = false;
            list_.fireChange();
        }
    }
    WholeOrder(const WholeOrder&) = delete;
    WholeOrder& operator=(const WholeOrder&) = delete;

private:
    NMailboxViewer& list_;
    bool active_;
};

bool NMailboxViewer::matchesFilter(int message) const
{
    if (message < 1 || message > static_cast<int>(folded_.size()))
        return false;
    return filter_.foundIn(folded_[static_cast<std::size_t>(message - 1)]);
}

void NMailboxViewer::showWholeOrder()
{
    // The selection and the current line stay with their messages.
    std::vector<char> selectedByMessage(items_.size() + 1, 0);
    for (std::size_t line = 0; line < order_.size(); ++line)
        if (order_[line] >= 1 && order_[line] <= static_cast<int>(items_.size()))
            selectedByMessage[static_cast<std::size_t>(order_[line])] = selected_[line];
    const int current = MessageAt(itemIndex_);
    order_ = std::move(wholeOrder_);
    wholeOrder_.clear();
    selected_.assign(order_.size(), 0);
    for (std::size_t line = 0; line < order_.size(); ++line)
        selected_[line] = selectedByMessage[static_cast<std::size_t>(order_[line])];
    itemIndex_ = current ? LineOf(current) : -1;
}

void NMailboxViewer::showMatchingOrder()
{
    const int current = MessageAt(itemIndex_);
    std::vector<int> shown;
    std::vector<char> selected;
    int currentLine = -1;
    for (std::size_t line = 0; line < order_.size(); ++line) {
        const int m = order_[line];
        if (!matchesFilter(m))
            continue;
        if (m == current)
            currentLine = static_cast<int>(shown.size());
        shown.push_back(m);
        selected.push_back(selected_[line]);
    }
    wholeOrder_ = std::move(order_);
    order_ = std::move(shown);
    selected_ = std::move(selected);
    itemIndex_ = currentLine;
}

void NMailboxViewer::SetFilter(const std::string& text)
{
    SearchText filter(text);
    if (filter.folded() == filter_.folded()) {
        filterText_ = text;
        return;
    }
    changing(DisplayChange::Reset);
    if (Filtering())
        showWholeOrder();
    filterText_ = text;
    filter_ = std::move(filter);
    if (Filtering())
        showMatchingOrder();
    changed(DisplayChange::Reset);
}

void NMailboxViewer::SetMailbox(TNMailBox* mailbox)
{
    bool other = mailbox != mailbox_;
    detach();
    if (other)
        CloseAllViewers();
    mailbox_ = mailbox;
    attach();
}

void NMailboxViewer::SetMailboxNumber(int number)
{
    bool other = number != mailboxNumber_;
    detach();
    if (other)
        CloseAllViewers();
    mailboxNumber_ = number;
    attach();
}

void NMailboxViewer::detach()
{
    if (registered_ && mailbox_)
        mailbox_->UnregisterViewer(this);
    registered_ = false;
    registeredKey_.clear();
}

void NMailboxViewer::attach()
{
    if (!mailbox_ || mailboxNumber_ == 0) {
        // A list that shows no mailbox shows no lines either.
        if (!order_.empty()) {
            changing(DisplayChange::Reset);
            clearItems();
            changed(DisplayChange::Reset);
            fireChange();
        }
        return;
    }
    try {
        selectOwnMailbox();
    } catch (...) {
        changing(DisplayChange::Reset);
        clearItems();
        changed(DisplayChange::Reset);
        throw;
    }
    registeredKey_ = mailbox_->CurrentMailBoxName().substr(0, 8);
    registered_ = mailbox_->RegisterViewer(this, registeredKey_);
    LoadItems();
}

void NMailboxViewer::selectOwnMailbox() { mailbox_->SetCurrentMailBoxNumber(mailboxNumber_); }

void NMailboxViewer::SetSectionNames(const std::vector<std::string>& names)
{
    sectionNames_.assign(std::begin(kDefaultSectionNames), std::end(kDefaultSectionNames));
    for (std::size_t i = 0; i < names.size() && i < sectionNames_.size(); ++i)
        sectionNames_[i] = names[i];
}

void NMailboxViewer::applyLook(const MailboxListLook& look)
{
    SetSectionNames(look.SectionNames);
    Pictures = look.Pictures;
}

void NMailboxViewer::SetNewMessageTop(bool on)
{
    WholeOrder whole(*this);
    newMessageTop_ = on;
    changing(DisplayChange::Reordered);
    rebuildOrder();
    changed(DisplayChange::Reordered);
}

void NMailboxViewer::clearItems()
{
    items_.clear();
    folded_.clear();
    damaged_.clear();
    order_.clear();
    wholeOrder_.clear();
    selected_.clear();
    itemIndex_ = -1;
    notRead_ = 0;
}

void NMailboxViewer::rebuildOrder()
{
    // The selection and the current line stay with their messages.
    std::vector<char> selectedByMessage(items_.size() + 1, 0);
    for (std::size_t line = 0; line < order_.size(); ++line)
        selectedByMessage[static_cast<std::size_t>(order_[line])] = selected_[line];
    int current = MessageAt(itemIndex_);
    int count = static_cast<int>(items_.size());
    order_.resize(items_.size());
    for (int k = 0; k < count; ++k)
        order_[static_cast<std::size_t>(k)] = newMessageTop_ ? count - k : k + 1;
    selected_.assign(order_.size(), 0);
    for (std::size_t line = 0; line < order_.size(); ++line)
        selected_[line] = selectedByMessage[static_cast<std::size_t>(order_[line])];
    itemIndex_ = current ? LineOf(current) : -1;
}

void NMailboxViewer::LoadItems()
{
    if (!mailbox_ || mailboxNumber_ == 0)
        return;
    WholeOrder whole(*this);
    changing(DisplayChange::Reset);
    clearItems();
    try {
        selectOwnMailbox();
        int count = mailbox_->CurrentMailBoxMessages();
        std::vector<MailboxListItem> items;
        std::vector<std::string> folded;
        items.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
        folded.reserve(items.capacity());
        // One pass over the two files: a file opened per message made a big mailbox slow to open.
        std::vector<int> damaged = mailbox_->VisitMessages([&](int, const MailboxRecord& r, const std::string& text) {
            MailboxListItem item;
            item.From = cut(r.From, kItemFromRoom);
            item.Subject = cut(r.Subject, kItemSubjectRoom);
            item.Date = cut(r.Date, kItemDateRoom);
            item.Size = r.Size;
            item.Flag = r.Flag;
            item.HasAttachment = r.AttachStart > 0;
            item.Priority = findPriorityInText(text);
            if (isUnreadFlag(item.Flag))
                ++notRead_;
            items.push_back(std::move(item));
            folded.push_back(filterFields(r.From, r.To, r.Subject));
        });
        items_ = std::move(items);
        folded_ = std::move(folded);
        damaged_ = std::move(damaged);
        rebuildOrder();
    } catch (...) {
        clearItems();
        changed(DisplayChange::Reset);
        fireChange();
        throw;
    }
    changed(DisplayChange::Reset);
    fireChange();
}

void NMailboxViewer::reload()
{
    // Compression keeps every number: the order, the selection and the viewer windows stay.
    WholeOrder whole(*this);
    std::vector<int> order = order_;
    std::vector<char> selected = selected_;
    int current = itemIndex_;
    LoadItems();
    if (items_.size() == order.size() && !order.empty()) {
        changing(DisplayChange::Reordered);
        order_ = std::move(order);
        selected_ = std::move(selected);
        itemIndex_ = current;
        changed(DisplayChange::Reordered);
    }
}

void NMailboxViewer::resync()
{
    // A notice that does not fit what the list holds: show the store's messages again.
    LoadItems();
    fireRenumbered({});
}

void NMailboxViewer::MailboxChanged(int action, int messageNumber)
{
    if (!mailbox_)
        return;
    switch (action) {
    case kMailboxAppended:
        flushPendingRemovals();
        if (messageNumber != ItemCount() + 1) {
            resync();
            return;
        }
        appendItem(messageNumber);
        return;
    case kMailboxRemoved:
        if (deferRemovals_) {
            pendingRemovals_.push_back(messageNumber);
            return;
        }
        if (messageNumber < 1 || messageNumber > ItemCount()) {
            resync();
            return;
        }
        removeItems({messageNumber});
        return;
    case kMailboxFlagChanged:
        flushPendingRemovals();
        flagChanged(messageNumber);
        return;
    case kMailboxEmptied:
        pendingRemovals_.clear();
        changing(DisplayChange::Reset);
        clearItems();
        changed(DisplayChange::Reset);
        fireChange();
        fireRenumbered({});
        CloseAllViewers();
        return;
    case kMailboxReloaded:
        pendingRemovals_.clear();
        reload();
        return;
    case kMailboxStoreGone:
        pendingRemovals_.clear();
        changing(DisplayChange::Reset);
        clearItems();
        changed(DisplayChange::Reset);
        fireChange();
        // The store empties its table itself; there is nothing left to unregister from.
        mailbox_ = nullptr;
        registered_ = false;
        registeredKey_.clear();
        fireRenumbered({});
        return;
    default:
        return;
    }
}

void NMailboxViewer::appendItem(int number)
{
    WholeOrder whole(*this);
    selectOwnMailbox();
    mailbox_->SetMsg_Number(number);
    if (mailbox_->Msg_Number() != number) {
        resync();
        return;
    }
    MailboxListItem item;
    item.From = cut(mailbox_->Msg_From, kItemFromRoom);
    item.Subject = cut(mailbox_->Msg_Subject, kItemSubjectRoom);
    item.Date = cut(mailbox_->Msg_Date, kItemDateRoom);
    item.Size = mailbox_->Msg_Size();
    item.Flag = mailbox_->Msg_Flag;
    item.HasAttachment = mailbox_->Msg_AttachStart > 0;
    // Only the index is read here: the priority shows after the next load.
    item.Priority = kDefaultPriority;
    int line = Count();
    changing(DisplayChange::LineAppended, line);
    if (isUnreadFlag(item.Flag))
        ++notRead_;
    items_.push_back(std::move(item));
    folded_.push_back(filterFields(mailbox_->Msg_From, mailbox_->Msg_To, mailbox_->Msg_Subject));
    // A new message joins at the bottom whatever the order rule, until the next sort or load.
    order_.push_back(number);
    selected_.push_back(0);
    changed(DisplayChange::LineAppended, line);
    fireChange();
}

void NMailboxViewer::removeItems(const std::vector<int>& sequentialNumbers)
{
    WholeOrder whole(*this);
    int count = Count();
    std::vector<int> removed = originalNumbers(sequentialNumbers, count);
    if (removed.empty()) {
        resync();
        return;
    }
    std::vector<char> gone(static_cast<std::size_t>(count) + 1, 0);
    for (int n : removed)
        gone[static_cast<std::size_t>(n)] = 1;
    // newNumber[m]: m less the removed messages before it.
    std::vector<int> newNumber(static_cast<std::size_t>(count) + 1, 0);
    for (int m = 1, shift = 0; m <= count; ++m) {
        if (gone[static_cast<std::size_t>(m)])
            ++shift;
        else
            newNumber[static_cast<std::size_t>(m)] = m - shift;
    }

    bool single = removed.size() == 1;
    int singleLine = single ? LineOf(removed.front()) : -1;
    changing(single ? DisplayChange::LineRemoved : DisplayChange::Reset, singleLine);

    std::vector<MailboxListItem> items;
    std::vector<std::string> folded;
    items.reserve(static_cast<std::size_t>(count) - removed.size());
    folded.reserve(items.capacity());
    for (int m = 1; m <= count; ++m)
        if (!gone[static_cast<std::size_t>(m)]) {
            items.push_back(std::move(items_[static_cast<std::size_t>(m - 1)]));
            if (static_cast<std::size_t>(m) <= folded_.size())
                folded.push_back(std::move(folded_[static_cast<std::size_t>(m - 1)]));
        }
    std::vector<int> order;
    std::vector<char> selected;
    order.reserve(items.size());
    selected.reserve(items.size());
    int current = -1;
    for (std::size_t line = 0; line < order_.size(); ++line) {
        // The current line moves to the line that takes its place.
        if (static_cast<int>(line) == itemIndex_)
            current = static_cast<int>(order.size());
        int m = order_[line];
        if (gone[static_cast<std::size_t>(m)])
            continue;
        order.push_back(newNumber[static_cast<std::size_t>(m)]);
        selected.push_back(selected_[line]);
    }
    items_ = std::move(items);
    folded_ = std::move(folded);
    order_ = std::move(order);
    selected_ = std::move(selected);
    if (current >= Count())
        current = Count() - 1;
    itemIndex_ = current;
    notRead_ = static_cast<int>(std::count_if(items_.begin(), items_.end(),
                                              [](const MailboxListItem& i) { return isUnreadFlag(i.Flag); }));
    changed(single ? DisplayChange::LineRemoved : DisplayChange::Reset, singleLine);
    fireChange();
    fireRenumbered(newNumber);

    for (auto& slot : slots_) {
        if (!slot.window || slot.message < 1 || slot.message > count)
            continue;
        MessageViewerWindow* window = slot.window;
        if (gone[static_cast<std::size_t>(slot.message)]) {
            slot = ViewerSlot{};
            send(window, kNoticeCloseWindow);
        } else if (newNumber[static_cast<std::size_t>(slot.message)] != slot.message) {
            slot.message = newNumber[static_cast<std::size_t>(slot.message)];
            send(window, kNoticeRenumbered, slot.message);
        }
    }
}

void NMailboxViewer::flagChanged(int number)
{
    if (number < 1 || number > ItemCount()) {
        resync();
        return;
    }
    char flag;
    if (mailbox_->CurrentMailBoxNumber() == mailboxNumber_ && mailbox_->Msg_Number() == number) {
        flag = mailbox_->Msg_Flag;
    } else {
        selectOwnMailbox();
        mailbox_->SetMsg_Number(number);
        flag = mailbox_->Msg_Flag;
    }
    int line = LineOf(number);
    changing(DisplayChange::LineChanged, line);
    MailboxListItem& item = items_[static_cast<std::size_t>(number - 1)];
    notRead_ += (isUnreadFlag(flag) ? 1 : 0) - (isUnreadFlag(item.Flag) ? 1 : 0);
    item.Flag = flag;
    changed(DisplayChange::LineChanged, line);
    fireChange();
}

void NMailboxViewer::flushPendingRemovals()
{
    if (pendingRemovals_.empty())
        return;
    std::vector<int> pending = std::move(pendingRemovals_);
    pendingRemovals_.clear();
    removeItems(pending);
}

void NMailboxViewer::fireChange()
{
    if (wholeDepth_ > 0) {
        changePending_ = true;
        return;
    }
    if (OnChange)
        OnChange(*this);
}

void NMailboxViewer::fireRenumbered(const std::vector<int>& newNumbers)
{
    if (OnMessagesRenumbered)
        OnMessagesRenumbered(*this, newNumbers);
}

void NMailboxViewer::changing(DisplayChange::Kind kind, int line)
{
    if (wholeDepth_ > 0)
        return;
    if (beforeDisplayChange)
        beforeDisplayChange(DisplayChange{kind, line});
}

void NMailboxViewer::changed(DisplayChange::Kind kind, int line)
{
    if (wholeDepth_ > 0)
        return;
    if (afterDisplayChange)
        afterDisplayChange(DisplayChange{kind, line});
}

int NMailboxViewer::MessageAt(int line) const
{
    if (line < 0 || line >= Count())
        return 0;
    return order_[static_cast<std::size_t>(line)];
}

const MailboxListItem& NMailboxViewer::ItemOf(int message) const
{
    static const MailboxListItem none{"", "", "", 0, ' ', "", false};
    if (message < 1 || message > static_cast<int>(items_.size()))
        return none;
    return items_[static_cast<std::size_t>(message - 1)];
}

int NMailboxViewer::LineOf(int message) const
{
    auto it = std::find(order_.begin(), order_.end(), message);
    return it == order_.end() ? -1 : static_cast<int>(it - order_.begin());
}

std::string NMailboxViewer::ColumnText(int line, int column) const
{
    if (MessageAt(line) == 0)
        return std::string();
    const MailboxListItem& item = ItemAt(line);
    switch (column) {
    case kColumnFrom:
        return displayFrom(item.From);
    case kColumnSubject:
        return item.Subject;
    case kColumnDate:
        return displayDate(item.Date);
    case kColumnSize:
        return displaySize(item.Size);
    default:
        return std::string();
    }
}

std::vector<std::string> NMailboxViewer::StatusPictureNames(int line) const
{
    const MailboxListItem& item = ItemAt(line);
    std::vector<std::string> names;
    auto add = [&names](const std::string& name) {
        if (!name.empty())
            names.push_back(name);
    };
    if (item.HasAttachment)
        add(Pictures.AttachmentBitmap);
    switch (std::toupper(static_cast<unsigned char>(item.Flag))) {
    case 'Q':
        add(Pictures.QueuedBitmap);
        break;
    case 'R':
        add(Pictures.RepliedBitmap);
        break;
    case 'U':
        add(Pictures.UnreadBitmap);
        break;
    case 'V':
        add(Pictures.ReadBitmap);
        break;
    default:
        break;
    }
    if (isHighPriority(item.Priority))
        add(Pictures.PriorityBitmap);
    return names;
}

void NMailboxViewer::SetItemIndex(int line)
{
    changing(DisplayChange::SelectionChanged, line);
    std::fill(selected_.begin(), selected_.end(), 0);
    if (line < 0 || line >= Count()) {
        itemIndex_ = -1;
    } else {
        itemIndex_ = line;
        selected_[static_cast<std::size_t>(line)] = 1;
    }
    changed(DisplayChange::SelectionChanged, itemIndex_);
}

void NMailboxViewer::SetSelected(int line, bool selected)
{
    if (line < 0 || line >= Count())
        return;
    changing(DisplayChange::SelectionChanged, line);
    selected_[static_cast<std::size_t>(line)] = selected ? 1 : 0;
    changed(DisplayChange::SelectionChanged, line);
}

bool NMailboxViewer::IsSelected(int line) const
{
    return line >= 0 && line < Count() && selected_[static_cast<std::size_t>(line)];
}

void NMailboxViewer::ClearSelection()
{
    changing(DisplayChange::SelectionChanged);
    std::fill(selected_.begin(), selected_.end(), 0);
    changed(DisplayChange::SelectionChanged);
}

std::vector<int> NMailboxViewer::SelectedMessages() const
{
    std::vector<int> messages;
    for (std::size_t line = 0; line < order_.size(); ++line)
        if (selected_[line])
            messages.push_back(order_[line]);
    return messages;
}

int NMailboxViewer::SelectNext()
{
    if (Count() == 0)
        return 0;
    if (itemIndex_ < 0)
        SetItemIndex(0);
    else if (itemIndex_ < Count() - 1)
        SetItemIndex(itemIndex_ + 1);
    return MessageAt(itemIndex_);
}

int NMailboxViewer::SelectPrevious()
{
    if (Count() == 0)
        return 0;
    if (itemIndex_ < 0)
        SetItemIndex(0);
    else if (itemIndex_ > 0)
        SetItemIndex(itemIndex_ - 1);
    return MessageAt(itemIndex_);
}

void NMailboxViewer::SortBy(int column, bool normal)
{
    if (column < kColumnStatus || column > kColumnSize)
        return;
    const std::vector<MailboxListItem>& items = items_;
    auto item = [&items](int m) -> const MailboxListItem& { return items[static_cast<std::size_t>(m - 1)]; };
    // Text sorts by its collation key, made once per message rather than once per comparison.
    std::vector<std::string> keys;
    if (column == kColumnFrom || column == kColumnSubject) {
        static const TextCollator collator;
        keys.reserve(items_.size());
        for (const MailboxListItem& i : items_)
            keys.push_back(collator.sortKey(column == kColumnFrom ? i.From : i.Subject));
    }
    auto key = [&keys](int m) -> const std::string& { return keys[static_cast<std::size_t>(m - 1)]; };
    // `ascending(a, b)`: message a belongs before message b in normal order.
    auto ascending = [&](int a, int b) {
        switch (column) {
        case kColumnStatus:
            return static_cast<unsigned char>(item(a).Flag) < static_cast<unsigned char>(item(b).Flag);
        case kColumnFrom:
        case kColumnSubject:
            return key(a) < key(b); // std::string compares bytes as unsigned char
        case kColumnDate:
            return a > b; // arrival order, newest first
        default:
            return item(a).Size < item(b).Size;
        }
    };
    WholeOrder whole(*this);
    changing(DisplayChange::Reordered);
    std::vector<char> selectedByMessage(items_.size() + 1, 0);
    for (std::size_t line = 0; line < order_.size(); ++line)
        selectedByMessage[static_cast<std::size_t>(order_[line])] = selected_[line];
    int current = MessageAt(itemIndex_);
    if (normal)
        std::stable_sort(order_.begin(), order_.end(), ascending);
    else
        std::stable_sort(order_.begin(), order_.end(), [&](int a, int b) { return ascending(b, a); });
    for (std::size_t line = 0; line < order_.size(); ++line)
        selected_[line] = selectedByMessage[static_cast<std::size_t>(order_[line])];
    itemIndex_ = current ? LineOf(current) : -1;
    changed(DisplayChange::Reordered);
}

void NMailboxViewer::Click()
{
    if (Count() == 0 || !OnMessageClick)
        return;
    for (std::size_t line = 0; line < order_.size(); ++line)
        if (selected_[line]) {
            OnMessageClick(*this, order_[line]);
            return;
        }
}

void NMailboxViewer::DoubleClick()
{
    if (Count() == 0)
        return;
    if (ViewerWindowFactory) {
        OpenSelected();
        return;
    }
    if (OnMessageDoubleClick && itemIndex_ >= 0)
        OnMessageDoubleClick(*this, MessageAt(itemIndex_));
}

int NMailboxViewer::liveSlotOf(int message) const
{
    for (int s = 0; s < kOpenViewerSlotCount; ++s)
        if (slots_[static_cast<std::size_t>(s)].window && slots_[static_cast<std::size_t>(s)].message == message)
            return s;
    return -1;
}

int NMailboxViewer::slotOf(const MessageViewerWindow* window) const
{
    if (!window)
        return -1;
    for (int s = 0; s < kOpenViewerSlotCount; ++s)
        if (slots_[static_cast<std::size_t>(s)].window == window)
            return s;
    return -1;
}

void NMailboxViewer::send(MessageViewerWindow* window, int code, int message)
{
    ViewerWindowNotice notice;
    notice.code = code;
    if (code == kNoticeListBound)
        notice.list = this;
    else if (code != kNoticeCloseWindow) {
        notice.mailbox = mailboxNumber_;
        notice.message = message;
    }
    window->ReceiveNotice(notice);
}

void NMailboxViewer::OpenSelected()
{
    if (!ViewerWindowFactory)
        return;
    for (int message : SelectedMessages())
        OpenMessage(message);
}

bool NMailboxViewer::OpenMessage(int message)
{
    if (!ViewerWindowFactory || message < 1 || message > ItemCount())
        return false;
    int shown = liveSlotOf(message);
    if (shown >= 0) {
        slots_[static_cast<std::size_t>(shown)].window->BringToFront();
        return true;
    }
    int free = -1;
    for (int s = 0; s < kOpenViewerSlotCount && free < 0; ++s)
        if (!slots_[static_cast<std::size_t>(s)].window)
            free = s;
    if (free < 0)
        return false; // every slot in use: no window for this message
    MessageViewerWindow* window = ViewerWindowFactory();
    if (!window)
        return false;
    // The slot is taken before the window hears anything, so a window that closes while it
    // shows its message finds its slot to give up.
    slots_[static_cast<std::size_t>(free)] = ViewerSlot{window, message};
    send(window, kNoticeListBound);
    if (slots_[static_cast<std::size_t>(free)].window == window)
        send(window, kNoticeShowMessage, message);
    return true;
}

void NMailboxViewer::ShowAdjacentInWindow(MessageViewerWindow* window, Direction direction)
{
    int s = slotOf(window);
    if (s < 0)
        return;
    int line = LineOf(slots_[static_cast<std::size_t>(s)].message);
    if (line < 0)
        return;
    int target = direction == Direction::Next ? line + 1 : line - 1;
    if (target < 0 || target >= Count())
        return;
    int message = MessageAt(target);
    int other = liveSlotOf(message);
    if (other >= 0) {
        slots_[static_cast<std::size_t>(other)].window->BringToFront();
        return;
    }
    slots_[static_cast<std::size_t>(s)].message = message;
    send(window, kNoticeShowMessage, message);
}

void NMailboxViewer::ViewerWindowClosed(MessageViewerWindow* window)
{
    int s = slotOf(window);
    if (s >= 0)
        slots_[static_cast<std::size_t>(s)] = ViewerSlot{};
}

void NMailboxViewer::CloseAllViewers()
{
    for (auto& slot : slots_) {
        if (!slot.window)
            continue;
        MessageViewerWindow* window = slot.window;
        slot = ViewerSlot{};
        send(window, kNoticeCloseWindow);
    }
}

void NMailboxViewer::MoveSelected(int target)
{
    if (!mailbox_ || mailboxNumber_ == 0 || target == mailboxNumber_)
        return;
    std::vector<int> messages = SelectedMessages();
    if (messages.empty())
        return;
    std::string key = mailbox_->MailboxKey(target);
    if (key.empty())
        throw FileError(mailbox_->MailBoxDirectory() + ".idx", "there is no mailbox number " + std::to_string(target));
    selectOwnMailbox();
    // The store numbers each removal notice as if the earlier ones had been applied; they are
    // collected and applied in one pass when the store is done.
    deferRemovals_ = true;
    pendingRemovals_.clear();
    try {
        mailbox_->MoveMessages(messages, key);
    } catch (...) {
        deferRemovals_ = false;
        flushPendingRemovals();
        throw;
    }
    deferRemovals_ = false;
    flushPendingRemovals();
}

void NMailboxViewer::MoveCurrentTo(int target)
{
    if (!mailbox_ || mailboxNumber_ == 0 || target == 0 || target == mailboxNumber_)
        return;
    int message = MessageAt(itemIndex_);
    if (message == 0)
        return;
    std::string key = mailbox_->MailboxKey(target);
    if (key.empty())
        throw FileError(mailbox_->MailBoxDirectory() + ".idx", "there is no mailbox number " + std::to_string(target));
    selectOwnMailbox();
    mailbox_->SetMsg_Number(message);
    mailbox_->MoveMessage(key);
}

bool NMailboxViewer::AcceptsDrag(const NMailboxViewer& source) const
{
    return &source != this && mailbox_ && source.mailbox_ == mailbox_ && mailboxNumber_ != 0 &&
           source.mailboxNumber_ != mailboxNumber_;
}

void NMailboxViewer::DropFrom(NMailboxViewer& source)
{
    if (AcceptsDrag(source))
        source.MoveCurrentTo(mailboxNumber_);
}

} // namespace tavik
