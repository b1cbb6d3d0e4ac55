#include "store/mailbox_store.h"

#include "text/unicode_text.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <set>
#include <string_view>
#include <dirent.h>
#include <unistd.h>

namespace tavik {

namespace {

constexpr std::size_t kFromAt = 0, kToAt = 81, kSubjectAt = 162, kDateAt = 203;
constexpr std::size_t kSizeAt = 244, kLinesAt = 248, kOffsetAt = 252, kAttachStartAt = 256, kAttachEndAt = 260;
constexpr std::size_t kPartAt = 264, kFlagAt = 266;
// Texts are copied between files in slices of this size, so a huge message never needs one buffer.
constexpr std::size_t kCopySlice = 1 << 20;

void putString(char* rec, std::size_t at, std::size_t room, const std::string& s)
{
    // Never inside a UTF-8 sequence: a cut character would make the whole field read as 8-bit.
    std::size_t n = utf8CutPoint(s, room);
    rec[at] = static_cast<char>(static_cast<unsigned char>(n));
    std::memcpy(rec + at + 1, s.data(), n);
}

std::string getString(const char* rec, std::size_t at, std::size_t room)
{
    std::size_t n = std::min<std::size_t>(static_cast<unsigned char>(rec[at]), room);
    return std::string(rec + at + 1, n);
}

void put32(char* rec, std::size_t at, std::int32_t v)
{
    auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        rec[at + i] = static_cast<char>((u >> (8 * i)) & 0xff);
}

std::int32_t get32(const char* rec, std::size_t at)
{
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<std::uint32_t>(static_cast<unsigned char>(rec[at + i])) << (8 * i);
    return static_cast<std::int32_t>(u);
}

void put16(char* rec, std::size_t at, std::int16_t v)
{
    auto u = static_cast<std::uint16_t>(v);
    rec[at] = static_cast<char>(u & 0xff);
    rec[at + 1] = static_cast<char>(u >> 8);
}

std::int16_t get16(const char* rec, std::size_t at)
{
    auto u = static_cast<std::uint16_t>(static_cast<unsigned char>(rec[at]) |
                                        (static_cast<unsigned char>(rec[at + 1]) << 8));
    return static_cast<std::int16_t>(u);
}

bool equalsIgnoreCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

std::string headerBytes(std::int32_t size, std::int32_t trash, std::int16_t count)
{
    std::string h(kIndexRecordSize, '\0');
    put32(h.data(), kSizeAt, size);
    put32(h.data(), kLinesAt, trash);
    put32(h.data(), kOffsetAt, size);
    put16(h.data(), kPartAt, count);
    return h;
}

// Copies texts between files through a read window and an output buffer. Live texts mostly lie
// in ascending order, so thousands of small reads and writes become a few large ones; memory
// stays bounded by the two slices, whatever a text's size.
class TextCopier {
public:
    TextCopier(const RandomAccessFile& from, RandomAccessFile& to, std::uint64_t toAt)
        : from_(from), to_(to), fromSize_(from.size()), outAt_(toAt)
    {
        out_.reserve(kCopySlice);
    }

    // Copies one text; false when it holds a NUL before its last byte (a damaged record).
    bool copy(std::uint64_t fromAt, std::uint64_t n)
    {
        bool oneText = true;
        while (n > 0) {
            if (fromAt < windowAt_ || fromAt >= windowAt_ + window_.size()) {
                if (fromAt >= fromSize_)
                    throw FileError(from_.path(), "is shorter than its index says: the mailbox is damaged");
                window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kCopySlice, fromSize_ - fromAt)));
                from_.readAt(fromAt, window_.data(), window_.size());
                windowAt_ = fromAt;
            }
            std::size_t at = static_cast<std::size_t>(fromAt - windowAt_);
            std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, window_.size() - at));
            std::size_t scan = take == n ? take - 1 : take;
            if (scan > 0 && std::memchr(window_.data() + at, '\0', scan))
                oneText = false;
            out_.append(window_, at, take);
            fromAt += take;
            n -= take;
            if (out_.size() >= kCopySlice)
                flush();
        }
        return oneText;
    }

    void flush()
    {
        if (out_.empty())
            return;
        to_.writeAt(outAt_, out_.data(), out_.size());
        outAt_ += out_.size();
        out_.clear();
    }

private:
    const RandomAccessFile& from_;
    RandomAccessFile& to_;
    std::uint64_t fromSize_;
    std::string window_;
    std::uint64_t windowAt_ = 0;
    std::string out_;
    std::uint64_t outAt_;
};

// Message numbers still present below a given one, as messages are removed one after another:
// a Fenwick tree keeps the notices of a k-message move at O(k log n).
class RemovalCounter {
public:
    explicit RemovalCounter(int n) : tree_(static_cast<std::size_t>(n) + 1, 0) {}
    void remove(int i)
    {
        for (; i < static_cast<int>(tree_.size()); i += i & -i)
            ++tree_[static_cast<std::size_t>(i)];
    }
    // Removed numbers below i.
    int removedBelow(int i) const
    {
        int sum = 0;
        for (--i; i > 0; i -= i & -i)
            sum += tree_[static_cast<std::size_t>(i)];
        return sum;
    }

private:
    std::vector<int> tree_;
};

bool textFits(const MailboxRecord& r, std::uint64_t mbxSize)
{
    // Every stored text holds at least its NUL.
    return r.Offset >= 0 && r.Size >= 1 &&
           static_cast<std::uint64_t>(r.Offset) + static_cast<std::uint64_t>(r.Size) <= mbxSize;
}

// A record's text must lie inside the text file; anything else is corruption.
void checkTextFits(const MailboxRecord& r, std::uint64_t mbxSize, const std::string& mbxPath, int number)
{
    if (!textFits(r, mbxSize))
        throw FileError(mbxPath, "message " + std::to_string(number) + " lies outside the text file (offset " +
                                     std::to_string(r.Offset) + ", size " + std::to_string(r.Size) + ", file " +
                                     std::to_string(mbxSize) + " bytes): the mailbox is damaged");
}

// A stored text ends at its NUL: one before the last byte means the record runs into the next
// text, and what it would show is pieces of several messages.
bool holdsOneText(const std::string& bytes)
{
    return bytes.size() < 2 || std::memchr(bytes.data(), '\0', bytes.size() - 1) == nullptr;
}

// Runs of blanks and line ends count as one blank: a header line may be folded, a field not.
std::string squeezeBlanks(std::string_view s)
{
    std::string out;
    bool blank = false;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = true;
            continue;
        }
        if (blank && !out.empty())
            out.push_back(' ');
        blank = false;
        out.push_back(c);
    }
    return out;
}

// True when the header lines of a stored text agree with a record's From, To, Subject and Date:
// each field that is not empty occurs in a line of its name (the index holds a cut copy of the
// value the caller gave, which may be one of several such lines). A text without a line of that
// name says nothing against the field.
bool headerFieldsMatch(const MailboxRecord& r, std::string_view text)
{
    std::vector<std::pair<std::string, std::string>> lines; // name in lower case, value unfolded
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find("\r\n", at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 2;
        if (line.empty())
            break;
        if ((line[0] == ' ' || line[0] == '\t') && !lines.empty()) {
            lines.back().second += ' ';
            lines.back().second += line;
            continue;
        }
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string name(line.substr(0, colon));
        for (char& c : name)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        lines.emplace_back(std::move(name), std::string(line.substr(colon + 1)));
    }
    const std::pair<const char*, const std::string*> fields[] = {
        {"from", &r.From}, {"to", &r.To}, {"subject", &r.Subject}, {"date", &r.Date}};
    for (const auto& [name, value] : fields) {
        const std::string wanted = squeezeBlanks(*value);
        if (wanted.empty())
            continue;
        bool named = false, found = false;
        for (const auto& [lineName, lineValue] : lines)
            if (lineName == name) {
                named = true;
                found = found || squeezeBlanks(lineValue).find(wanted) != std::string::npos;
            }
        if (named && !found)
            return false;
    }
    return true;
}

[[noreturn]] void throwRunsOverItsText(const std::string& mbxPath, int number)
{
    throw FileError(mbxPath, "message " + std::to_string(number) +
                                 " runs over the end of its text into other texts: the mailbox is damaged");
}

} // namespace

std::string encodeMailboxRecord(const MailboxRecord& r)
{
    std::string rec(kIndexRecordSize, '\0');
    char* p = rec.data();
    putString(p, kFromAt, 80, r.From);
    putString(p, kToAt, 80, r.To);
    putString(p, kSubjectAt, 40, r.Subject);
    putString(p, kDateAt, 40, r.Date);
    put32(p, kSizeAt, r.Size);
    put32(p, kLinesAt, r.Lines);
    put32(p, kOffsetAt, r.Offset);
    put32(p, kAttachStartAt, r.AttachStart);
    put32(p, kAttachEndAt, r.AttachEnd);
    put16(p, kPartAt, r.Part);
    p[kFlagAt] = r.Flag;
    return rec;
}

MailboxRecord decodeMailboxRecord(const char* p)
{
    MailboxRecord r;
    r.From = getString(p, kFromAt, 80);
    r.To = getString(p, kToAt, 80);
    r.Subject = getString(p, kSubjectAt, 40);
    r.Date = getString(p, kDateAt, 40);
    r.Size = get32(p, kSizeAt);
    r.Lines = get32(p, kLinesAt);
    r.Offset = get32(p, kOffsetAt);
    r.AttachStart = get32(p, kAttachStartAt);
    r.AttachEnd = get32(p, kAttachEndAt);
    r.Part = get16(p, kPartAt);
    r.Flag = p[kFlagAt];
    return r;
}

TNMailBox::~TNMailBox()
{
    for (auto& slot : viewers_)
        if (slot.viewer)
            slot.viewer->MailboxChanged(kMailboxStoreGone, 0);
}

std::string TNMailBox::idxPath(const std::string& key) const
{
    // Keys come from a settings file that may be hostile: never let one leave the directory.
    if (key.empty() || key == "." || key == ".." || key.find('/') != std::string::npos || key.find('\0') != std::string::npos)
        throw FileError(mailBoxDirectory_ + key + ".idx", "is not a valid mailbox name");
    return mailBoxDirectory_ + key + ".idx";
}

std::string TNMailBox::mbxPath(const std::string& key) const
{
    idxPath(key);
    return mailBoxDirectory_ + key + ".mbx";
}

TNMailBox::Header TNMailBox::readHeader(const std::string& key) const
{
    std::string path = idxPath(key);
    RandomAccessFile f(path, RandomAccessFile::Mode::ReadOnly);
    char rec[kIndexRecordSize];
    std::uint64_t size = f.size();
    if (size < kIndexRecordSize)
        throw FileError(path, "has no header: the mailbox index is damaged");
    f.readAt(0, rec, sizeof rec);
    Header h;
    h.size = get32(rec, kSizeAt);
    h.trash = get32(rec, kLinesAt);
    h.offset = get32(rec, kOffsetAt);
    h.count = get16(rec, kPartAt);
    if (h.count < 0 || h.size < 0 || h.trash < 0 || h.offset < 0 ||
        (static_cast<std::uint64_t>(h.count) + 1) * kIndexRecordSize > size)
        throw FileError(path, "has a header that does not fit the file (count " + std::to_string(h.count) +
                                  ", " + std::to_string(size) + " bytes): the mailbox index is damaged");
    return h;
}

void TNMailBox::checkAppendPoint(const std::string& key, const Header& h) const
{
    if (h.count < 1)
        return;
    // Records lie in the order of their texts, so the last one's text ends highest. A header
    // damaged to point below it would have new mail written over stored mail.
    std::string path = idxPath(key);
    RandomAccessFile f(path, RandomAccessFile::Mode::ReadOnly);
    char rec[kIndexRecordSize];
    f.readAt(static_cast<std::uint64_t>(h.count) * kIndexRecordSize, rec, sizeof rec);
    MailboxRecord last = decodeMailboxRecord(rec);
    if (last.Offset < 0 || last.Size < 0 ||
        static_cast<std::int64_t>(last.Offset) + last.Size > static_cast<std::int64_t>(h.offset))
        throw FileError(path, "has a header whose end of text (" + std::to_string(h.offset) +
                                  ") lies before the end of its last message (" +
                                  std::to_string(static_cast<std::int64_t>(last.Offset) + last.Size) +
                                  "): the mailbox index is damaged");
}

void TNMailBox::requireCurrent() const
{
    if (currentName_.empty())
        throw FileError(mailBoxDirectory_ + ".idx", "no mailbox is selected");
}

std::string TNMailBox::MailboxKey(int n) const
{
    if (n < 1 || n > static_cast<int>(MailBoxes.size()))
        return {};
    const std::string& e = MailBoxes[static_cast<std::size_t>(n - 1)];
    return e.substr(0, e.find('='));
}

std::string TNMailBox::MailboxDisplayName(int n) const
{
    if (n < 1 || n > static_cast<int>(MailBoxes.size()))
        return {};
    const std::string& e = MailBoxes[static_cast<std::size_t>(n - 1)];
    auto eq = e.find('=');
    return eq == std::string::npos ? std::string() : e.substr(eq + 1, 99);
}

void TNMailBox::SetMailBoxDirectory(const std::string& path)
{
    if (path.empty()) {
        mailBoxDirectory_.clear();
        swapPending_ = false;
        return;
    }
    mailBoxDirectory_ = path.back() == '/' ? path : path + "/";
    // Until the recovery has run, no operation may use the pairs: one may be half swapped.
    swapPending_ = true;
    makePrivateDirectories(mailBoxDirectory_);
    recoverInterruptedCompression();
    swapPending_ = false;
    removeStaleTemporaryFiles();
    for (std::size_t i = 0; i < MailBoxes.size(); ++i) {
        std::string key = MailboxKey(static_cast<int>(i + 1));
        if (!fileExists(mbxPath(key))) {
            if (fileExists(idxPath(key)))
                restoreLostEmptyTextFile(key);
            else
                CreateMailboxFiles(key);
        } else if (!fileExists(idxPath(key)) && fileSize(mbxPath(key)) == 0) {
            // A pair whose creation was cut short between its two files: nothing to lose.
            writeFileAtomically(idxPath(key), headerBytes(0, 0, 0));
        }
    }
}

void TNMailBox::restoreLostEmptyTextFile(const std::string& key)
{
    // An index that lists no message loses nothing when its pair starts afresh. One that lists
    // mail is left as it is: the texts are gone, and reading them fails naming the missing file
    // rather than the index being emptied unasked. A damaged index stays for its reader to report.
    Header h;
    try {
        h = readHeader(key);
    } catch (const FileError&) {
        return;
    }
    if (h.count != 0)
        return;
    // The empty index first: its old Size and Trash describe the text file that is gone.
    writeFileAtomically(idxPath(key), headerBytes(0, 0, 0));
    { RandomAccessFile mbx(mbxPath(key), RandomAccessFile::Mode::CreateTruncate); }
}

void TNMailBox::removeStaleTemporaryFiles()
{
    // Replacements cut short by a crash leave "name.tmp-XXXXXX" beside their target; the profile
    // lock guarantees no other writer is using one now.
    DIR* dir = ::opendir(mailBoxDirectory_.c_str());
    if (!dir)
        return;
    std::vector<std::string> stale;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        auto at = name.rfind(".tmp-");
        if (at != std::string::npos && at > 0 && name.size() == at + 11)
            stale.push_back(name);
    }
    ::closedir(dir);
    for (const auto& name : stale)
        removeFileIfPresent(mailBoxDirectory_ + name);
}

void TNMailBox::setMailBoxDirectoryWithoutChanges(const std::string& path)
{
    swapPending_ = false; // a reader repairs nothing
    mailBoxDirectory_ = path.empty() || path.back() == '/' ? path : path + "/";
}

void TNMailBox::CreateMailboxFiles(const std::string& key)
{
    std::string idx = idxPath(key);
    if (fileExists(idx))
        return;
    // The empty text file first: an index without its text file would make the pair unreadable.
    { RandomAccessFile mbx(mbxPath(key), RandomAccessFile::Mode::CreateTruncate); }
    writeFileAtomically(idx, headerBytes(0, 0, 0));
}

void TNMailBox::clearMessageFields()
{
    Msg_From.clear();
    Msg_To.clear();
    Msg_Subject.clear();
    Msg_Date.clear();
    Msg_Part = 0;
    msgSize_ = 0;
    msgLines_ = 0;
    Msg_AttachStart = 0;
    Msg_AttachEnd = 0;
    Msg_Flag = ' ';
    msgNumber_ = 0;
}

void TNMailBox::OpenMailbox()
{
    requireCurrent();
    finishPendingSwap();
    Header h = readHeader(currentName_);
    currentSize_ = h.size;
    currentTrash_ = h.trash;
    currentMessages_ = h.count;
    if (h.count >= 1)
        readRecordInto(1);
    else
        clearMessageFields();
}

void TNMailBox::SetCurrentMailBoxNumber(int n)
{
    if (n == 0)
        return;
    if (n >= 1 && n <= static_cast<int>(MailBoxes.size())) {
        currentNumber_ = n;
        currentName_ = MailboxKey(n);
    } else {
        currentNumber_ = 0;
        currentName_.clear();
    }
    OpenMailbox();
}

void TNMailBox::SetCurrentMailBoxName(const std::string& key)
{
    currentNumber_ = 0;
    currentName_.clear();
    for (std::size_t i = 0; i < MailBoxes.size(); ++i) {
        std::string k = MailboxKey(static_cast<int>(i + 1));
        if (equalsIgnoreCase(k, key)) {
            currentNumber_ = static_cast<int>(i + 1);
            currentName_ = k;
            break;
        }
    }
    OpenMailbox();
}

void TNMailBox::readRecordInto(int n)
{
    finishPendingSwap();
    std::string path = idxPath(currentName_);
    RandomAccessFile f(path, RandomAccessFile::Mode::ReadOnly);
    if ((static_cast<std::uint64_t>(n) + 1) * kIndexRecordSize > f.size())
        throw FileError(path, "has no record for message " + std::to_string(n) + ": the mailbox index is damaged");
    char rec[kIndexRecordSize];
    f.readAt(static_cast<std::uint64_t>(n) * kIndexRecordSize, rec, sizeof rec);
    MailboxRecord r = decodeMailboxRecord(rec);
    Msg_From = r.From;
    Msg_To = r.To;
    Msg_Subject = r.Subject;
    Msg_Date = r.Date;
    msgLines_ = r.Lines;
    msgSize_ = r.Size;
    Msg_Part = r.Part;
    Msg_Flag = r.Flag;
    Msg_AttachStart = r.AttachStart;
    Msg_AttachEnd = r.AttachEnd;
    msgNumber_ = n;
}

void TNMailBox::SetMsg_Number(int n)
{
    if (n < 1)
        n = 1;
    if (n <= currentMessages_ && !currentName_.empty())
        readRecordInto(n);
}

void TNMailBox::LoadMessageText()
{
    Msg_Text.clear();
    requireCurrent();
    finishPendingSwap();
    if (msgNumber_ < 1)
        return;
    std::string idx = idxPath(currentName_);
    std::string mbx = mbxPath(currentName_);
    MailboxRecord r;
    {
        RandomAccessFile f(idx, RandomAccessFile::Mode::ReadOnly);
        if ((static_cast<std::uint64_t>(msgNumber_) + 1) * kIndexRecordSize > f.size())
            throw FileError(idx, "has no record for message " + std::to_string(msgNumber_));
        char rec[kIndexRecordSize];
        f.readAt(static_cast<std::uint64_t>(msgNumber_) * kIndexRecordSize, rec, sizeof rec);
        r = decodeMailboxRecord(rec);
    }
    RandomAccessFile t(mbx, RandomAccessFile::Mode::ReadOnly);
    checkTextFits(r, t.size(), mbx, msgNumber_);
    std::string bytes(static_cast<std::size_t>(r.Size), '\0');
    if (!bytes.empty())
        t.readAt(static_cast<std::uint64_t>(r.Offset), bytes.data(), bytes.size());
    if (!holdsOneText(bytes))
        throwRunsOverItsText(mbx, msgNumber_);
    std::size_t start = 0;
    for (;;) {
        std::size_t crlf = bytes.find("\r\n", start);
        if (crlf == std::string::npos)
            break;
        Msg_Text.emplace_back(bytes, start, crlf - start);
        start = crlf + 2;
    }
}

std::vector<int> TNMailBox::VisitMessages(const std::function<void(int, const MailboxRecord&, const std::string&)>& visit)
{
    requireCurrent();
    finishPendingSwap();
    const int count = currentMessages_;
    std::vector<int> damaged;
    if (count < 1)
        return damaged;
    const std::string idx = idxPath(currentName_);
    const std::string mbx = mbxPath(currentName_);
    std::string records;
    {
        RandomAccessFile f(idx, RandomAccessFile::Mode::ReadOnly);
        if ((static_cast<std::uint64_t>(count) + 1) * kIndexRecordSize > f.size())
            throw FileError(idx, "has no record for message " + std::to_string(count) + ": the mailbox index is damaged");
        records.resize(static_cast<std::size_t>(count) * kIndexRecordSize);
        f.readAt(kIndexRecordSize, records.data(), records.size());
    }
    RandomAccessFile t(mbx, RandomAccessFile::Mode::ReadOnly);
    const std::uint64_t mbxSize = t.size();
    std::string bytes;
    for (int n = 1; n <= count; ++n) {
        const MailboxRecord r = decodeMailboxRecord(records.data() + static_cast<std::size_t>(n - 1) * kIndexRecordSize);
        bytes.clear();
        if (textFits(r, mbxSize)) {
            bytes.resize(static_cast<std::size_t>(r.Size));
            if (!bytes.empty())
                t.readAt(static_cast<std::uint64_t>(r.Offset), bytes.data(), bytes.size());
        }
        if (!textFits(r, mbxSize) || !holdsOneText(bytes)) {
            damaged.push_back(n);
            bytes.clear();
        }
        visit(n, r, bytes);
    }
    return damaged;
}

std::vector<int> TNMailBox::DamagedMessages()
{
    return VisitMessages([](int, const MailboxRecord&, const std::string&) {});
}

void TNMailBox::AppendMessage()
{
    if (currentName_.empty() || mailBoxDirectory_.empty() || Msg_Text.empty())
        return;
    finishPendingSwap();
    std::string idx = idxPath(currentName_);
    std::string mbx = mbxPath(currentName_);
    std::string text;
    for (const auto& line : Msg_Text) {
        // The stored form ends a text at its first NUL: anything after it would be lost unseen.
        if (line.find('\0') != std::string::npos)
            throw FileError(mbx, "cannot store a message whose text holds a NUL byte");
        text += line;
        text += "\r\n";
    }
    text.push_back('\0');

    Header h = readHeader(currentName_);
    if (h.count >= kMaxMailboxMessages)
        throw FileError(idx, "is full: a mailbox holds at most " + std::to_string(kMaxMailboxMessages) + " messages");
    if (static_cast<std::uint64_t>(h.offset) + text.size() > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        throw FileError(mbx, "would grow beyond 2 GB; compress it or move messages elsewhere");
    if (Msg_Text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw FileError(mbx, "cannot store a message of that many lines");
    checkAppendPoint(currentName_, h);

    RandomAccessFile t(mbx, RandomAccessFile::Mode::ReadWrite);
    if (t.size() < static_cast<std::uint64_t>(h.offset))
        throw FileError(mbx, "is shorter than its index says: the mailbox is damaged");
    t.writeAt(static_cast<std::uint64_t>(h.offset), text.data(), text.size());
    if (SyncAppends)
        t.sync(); // the text is on disk before a record points at it

    MailboxRecord r;
    r.From = Msg_From;
    r.To = Msg_To;
    r.Subject = Msg_Subject;
    r.Date = Msg_Date;
    r.Part = static_cast<std::int16_t>(static_cast<std::uint16_t>(Msg_Part & 0xffff));
    r.Lines = static_cast<std::int32_t>(Msg_Text.size());
    r.Size = static_cast<std::int32_t>(text.size());
    r.Offset = h.offset;
    r.AttachStart = Msg_AttachStart;
    r.AttachEnd = Msg_AttachEnd;
    r.Flag = Msg_Flag;
    std::int16_t count = static_cast<std::int16_t>(h.count + 1);
    std::int32_t size = h.offset + r.Size;
    RandomAccessFile f(idx, RandomAccessFile::Mode::ReadWrite);
    char oldHeader[kIndexRecordSize];
    f.readAt(0, oldHeader, sizeof oldHeader);
    f.writeAt(static_cast<std::uint64_t>(count) * kIndexRecordSize, encodeMailboxRecord(r).data(), kIndexRecordSize);
    try {
        f.writeAt(0, headerBytes(size, h.trash, count).data(), kIndexRecordSize);
        if (SyncAppends)
            f.sync();
    } catch (const FileError&) {
        // The caller is told the message was not stored (a check of mail then keeps it on the
        // server), so the index must not list it: a header written in part or not flushed goes
        // back to what it was. Should that fail too, the disk is past helping here.
        try {
            f.writeAt(0, oldHeader, sizeof oldHeader);
            if (SyncAppends)
                f.sync();
        } catch (const FileError&) {
        }
        throw;
    }

    currentMessages_ = count;
    currentSize_ = size;
    currentTrash_ = h.trash;
    NotifyViewers(currentName_, kMailboxAppended, count);
}

void TNMailBox::SetMessageFlag(char flag)
{
    if (msgNumber_ == 0 || currentName_.empty())
        return;
    finishPendingSwap();
    std::string idx = idxPath(currentName_);
    RandomAccessFile f(idx, RandomAccessFile::Mode::ReadWrite);
    if ((static_cast<std::uint64_t>(msgNumber_) + 1) * kIndexRecordSize > f.size())
        throw FileError(idx, "has no record for message " + std::to_string(msgNumber_));
    f.writeAt(static_cast<std::uint64_t>(msgNumber_) * kIndexRecordSize + kFlagAt, &flag, 1);
    Msg_Flag = flag;
    std::string key = currentName_;
    NotifyViewers(key, kMailboxFlagChanged, msgNumber_);
}

void TNMailBox::rewriteIndexWithout(const std::vector<int>& removedNumbers, std::int64_t removedBytes)
{
    std::string idx = idxPath(currentName_);
    Header h = readHeader(currentName_);
    std::string old = readWholeFile(idx, (static_cast<std::uint64_t>(kMaxMailboxMessages) + 2) * kIndexRecordSize * 2);
    std::vector<char> removed(static_cast<std::size_t>(h.count) + 1, 0);
    std::size_t k = 0;
    for (int n : removedNumbers)
        if (n >= 1 && n <= h.count && !removed[static_cast<std::size_t>(n)]) {
            removed[static_cast<std::size_t>(n)] = 1;
            ++k;
        }
    std::string fresh;
    fresh.reserve((static_cast<std::size_t>(h.count) + 1 - k) * kIndexRecordSize);
    fresh.append(old, 0, kIndexRecordSize);
    for (int n = 1; n <= h.count; ++n)
        if (!removed[static_cast<std::size_t>(n)])
            fresh.append(old, static_cast<std::size_t>(n) * kIndexRecordSize, kIndexRecordSize);
    std::int64_t trash = static_cast<std::int64_t>(h.trash) + removedBytes;
    if (trash > std::numeric_limits<std::int32_t>::max())
        trash = std::numeric_limits<std::int32_t>::max();
    std::int16_t count = static_cast<std::int16_t>(h.count - static_cast<int>(k));
    put16(fresh.data(), kPartAt, count);
    put32(fresh.data(), kLinesAt, static_cast<std::int32_t>(trash));

    // "temp.idx" keeps the index as it was before this step. A hard link costs nothing and the
    // mailbox keeps its index at every instant: the new one is renamed over it.
    std::string temp = mailBoxDirectory_ + "temp.idx";
    removeFileIfPresent(temp);
    if (::link(idx.c_str(), temp.c_str()) != 0)
        writeFileAtomically(temp, old);
    writeFileAtomically(idx, fresh);

    currentMessages_ = count;
    currentTrash_ = static_cast<int>(trash);
    currentSize_ = h.size;
}

void TNMailBox::DeleteMessage()
{
    requireCurrent();
    finishPendingSwap();
    Header h = readHeader(currentName_);
    currentMessages_ = h.count;
    if (h.count == 0 || msgNumber_ < 1 || msgNumber_ > h.count)
        return;
    std::string idx = idxPath(currentName_);
    char rec[kIndexRecordSize];
    {
        RandomAccessFile f(idx, RandomAccessFile::Mode::ReadOnly);
        f.readAt(static_cast<std::uint64_t>(msgNumber_) * kIndexRecordSize, rec, sizeof rec);
    }
    std::int32_t size = get32(rec, kSizeAt);
    rewriteIndexWithout({msgNumber_}, size > 0 ? size : 0);
    std::string key = currentName_;
    NotifyViewers(key, kMailboxRemoved, msgNumber_);
}

void TNMailBox::MoveMessage(const std::string& targetKey)
{
    if (currentName_.empty() || currentMessages_ == 0)
        return;
    MoveMessages({msgNumber_}, targetKey);
}

void TNMailBox::MoveMessages(const std::vector<int>& numbers, const std::string& targetKey)
{
    if (currentName_.empty() || currentMessages_ == 0)
        return;
    Msg_Text.clear();
    // Moving into the mailbox itself would only turn the message into trash and a copy.
    if (equalsIgnoreCase(targetKey, currentName_))
        return;
    finishPendingSwap();
    const std::string source = currentName_;
    Header h = readHeader(source);
    std::vector<int> order;
    std::set<int> seen;
    for (int n : numbers)
        if (n >= 1 && n <= h.count && seen.insert(n).second)
            order.push_back(n);
    if (order.empty())
        return;

    Header th = readHeader(targetKey);
    std::string tidx = idxPath(targetKey), tmbx = mbxPath(targetKey);
    if (th.count + static_cast<int>(order.size()) > kMaxMailboxMessages)
        throw FileError(tidx, "is full: a mailbox holds at most " + std::to_string(kMaxMailboxMessages) + " messages");
    checkAppendPoint(targetKey, th);

    std::string sidx = idxPath(source), smbx = mbxPath(source);
    std::string records = readWholeFile(sidx, (static_cast<std::uint64_t>(kMaxMailboxMessages) + 2) * kIndexRecordSize * 2);
    RandomAccessFile from(smbx, RandomAccessFile::Mode::ReadOnly);
    std::uint64_t fromSize = from.size();
    std::vector<MailboxRecord> moved;
    std::uint64_t total = 0;
    for (int n : order) {
        MailboxRecord r = decodeMailboxRecord(records.data() + static_cast<std::size_t>(n) * kIndexRecordSize);
        checkTextFits(r, fromSize, smbx, n);
        total += static_cast<std::uint64_t>(r.Size);
        moved.push_back(r);
    }
    if (static_cast<std::uint64_t>(th.offset) + total > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        throw FileError(tmbx, "would grow beyond 2 GB; compress it or move fewer messages");

    // Target first (texts, records, header), made durable before the source forgets the messages:
    // a crash in between leaves a message in both mailboxes, never in neither.
    RandomAccessFile to(tmbx, RandomAccessFile::Mode::ReadWrite);
    if (to.size() < static_cast<std::uint64_t>(th.offset))
        throw FileError(tmbx, "is shorter than its index says: the mailbox is damaged");
    std::string newRecords;
    std::int32_t at = th.offset;
    TextCopier copier(from, to, static_cast<std::uint64_t>(at));
    for (std::size_t i = 0; i < moved.size(); ++i) {
        auto& r = moved[i];
        // Nothing refers to the target's new bytes until its header is written below.
        if (!copier.copy(static_cast<std::uint64_t>(r.Offset), static_cast<std::uint64_t>(r.Size)))
            throwRunsOverItsText(smbx, order[i]);
        r.Offset = at;
        at += r.Size;
        newRecords += encodeMailboxRecord(r);
    }
    copier.flush();
    to.sync();
    std::int16_t newCount = static_cast<std::int16_t>(th.count + static_cast<int>(moved.size()));
    {
        RandomAccessFile f(tidx, RandomAccessFile::Mode::ReadWrite);
        f.writeAt((static_cast<std::uint64_t>(th.count) + 1) * kIndexRecordSize, newRecords.data(), newRecords.size());
        f.writeAt(0, headerBytes(at, th.trash, newCount).data(), kIndexRecordSize);
        f.sync();
    }

    rewriteIndexWithout(order, static_cast<std::int64_t>(total));

    // The notices of one move after another: a message's number is the one it has once the
    // earlier ones are gone.
    RemovalCounter gone(h.count);
    for (std::size_t i = 0; i < order.size(); ++i) {
        int n = order[i];
        int shift = gone.removedBelow(n);
        gone.remove(n);
        NotifyViewers(source, kMailboxRemoved, n - shift);
        NotifyViewers(targetKey, kMailboxAppended, th.count + static_cast<int>(i) + 1);
    }
}

void TNMailBox::recoverInterruptedCompression()
{
    const std::string base = mailBoxDirectory_ + kCompressScratchKey;
    const std::string job = base + ".job";
    if (fileExists(job)) {
        std::string key = readWholeFile(job, 256);
        idxPath(key); // refuses a marker naming something outside the directory
        // The scratch pair was complete before the marker was written: finish the swap.
        if (fileExists(base + ".mbx") && fileExists(base + ".idx"))
            renameFile(base + ".mbx", mbxPath(key));
        if (fileExists(base + ".idx"))
            renameFile(base + ".idx", idxPath(key));
        syncDirectory(mailBoxDirectory_);
        removeFileIfPresent(job);
        return;
    }
    // Without the marker the scratch pair never became complete: the mailbox is untouched.
    removeFileIfPresent(base + ".mbx");
    removeFileIfPresent(base + ".idx");
}

void TNMailBox::CompressMailbox()
{
    if (mailBoxDirectory_.empty())
        return;
    requireCurrent();
    recoverInterruptedCompression();
    swapPending_ = false;
    const std::string key = currentName_;
    const std::string idx = idxPath(key), mbx = mbxPath(key);
    const std::string base = mailBoxDirectory_ + kCompressScratchKey;
    Header h = readHeader(key);
    std::string records = readWholeFile(idx, (static_cast<std::uint64_t>(kMaxMailboxMessages) + 2) * kIndexRecordSize * 2);

    // One pass: every live text in index order into the scratch text file, the index built beside.
    std::string fresh;
    fresh.reserve((static_cast<std::size_t>(h.count) + 1) * kIndexRecordSize);
    std::int32_t at = 0;
    {
        RandomAccessFile from(mbx, RandomAccessFile::Mode::ReadOnly);
        std::uint64_t fromSize = from.size();
        RandomAccessFile to(base + ".mbx", RandomAccessFile::Mode::CreateTruncate);
        TextCopier copier(from, to, 0);
        fresh.append(kIndexRecordSize, '\0');
        for (int n = 1; n <= h.count; ++n) {
            MailboxRecord r = decodeMailboxRecord(records.data() + static_cast<std::size_t>(n) * kIndexRecordSize);
            checkTextFits(r, fromSize, mbx, n);
            if (!copier.copy(static_cast<std::uint64_t>(r.Offset), static_cast<std::uint64_t>(r.Size)))
                throwRunsOverItsText(mbx, n);
            r.Offset = at;
            at += r.Size;
            fresh += encodeMailboxRecord(r);
        }
        copier.flush();
        to.sync();
    }
    std::string head = headerBytes(at, 0, h.count);
    fresh.replace(0, kIndexRecordSize, head);
    {
        RandomAccessFile f(base + ".idx", RandomAccessFile::Mode::CreateTruncate);
        f.writeAt(0, fresh.data(), fresh.size());
        f.sync();
    }
    // From the marker on, the swap is finished even if the process dies half way through it.
    writeFileAtomically(base + ".job", key);
    try {
        renameFile(base + ".mbx", mbx);
        renameFile(base + ".idx", idx);
        syncDirectory(mailBoxDirectory_);
        removeFileIfPresent(base + ".job");
    } catch (const FileError&) {
        // The marker stands, and the next start would swap the scratch pair in over anything
        // stored in the mailbox meanwhile. Finish the swap now; failing that, every operation
        // tries again first and none works on the half-swapped pair.
        swapPending_ = true;
        try {
            finishPendingSwap();
        } catch (const FileError&) {
        }
        if (!swapPending_) {
            OpenMailbox();
            NotifyViewers(key, kMailboxReloaded, 0);
        }
        throw;
    }

    OpenMailbox();
    NotifyViewers(key, kMailboxReloaded, 0);
}

void TNMailBox::finishPendingSwap()
{
    if (!swapPending_)
        return;
    recoverInterruptedCompression();
    swapPending_ = false;
}

void TNMailBox::EmptyMailbox(int n)
{
    std::string key = MailboxKey(n);
    if (key.empty())
        throw FileError(mailBoxDirectory_ + ".idx", "there is no mailbox number " + std::to_string(n));
    finishPendingSwap();
    // The empty index first: a crash before the truncation leaves an empty mailbox, never an
    // index pointing into a truncated text file.
    writeFileAtomically(idxPath(key), headerBytes(0, 0, 0));
    { RandomAccessFile mbx(mbxPath(key), RandomAccessFile::Mode::CreateTruncate); }
    if (n == currentNumber_ && equalsIgnoreCase(key, currentName_))
        OpenMailbox();
    NotifyViewers(key, kMailboxEmptied, 0);
}

MailboxRepair TNMailBox::RepairMailbox(int n)
{
    const std::string key = MailboxKey(n);
    if (key.empty())
        throw FileError(mailBoxDirectory_ + ".idx", "there is no mailbox number " + std::to_string(n));
    finishPendingSwap();
    const std::string idx = idxPath(key), mbx = mbxPath(key);
    const std::string old = readWholeFile(idx, (static_cast<std::uint64_t>(kMaxMailboxMessages) + 2) * kIndexRecordSize * 2);
    RandomAccessFile text(mbx, RandomAccessFile::Mode::ReadOnly);
    const std::uint64_t mbxSize = text.size();
    if (mbxSize > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        throw FileError(mbx, "is larger than a mailbox's text file can be (2 GB)");

    // Every stored text ends at its NUL: text i runs from just after NUL i - 1 to NUL i.
    std::vector<std::uint64_t> ends;
    {
        std::string slice;
        for (std::uint64_t at = 0; at < mbxSize; at += slice.size()) {
            slice.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kCopySlice, mbxSize - at)));
            text.readAt(at, slice.data(), slice.size());
            for (std::size_t i = slice.find('\0'); i != std::string::npos; i = slice.find('\0', i + 1))
                ends.push_back(at + i);
        }
    }
    auto startOf = [&](std::size_t i) { return i == 0 ? std::uint64_t{0} : ends[i - 1] + 1; };
    auto firstEndFrom = [&](std::uint64_t at) {
        return static_cast<std::size_t>(std::lower_bound(ends.begin(), ends.end(), at) - ends.begin());
    };
    auto readText = [&](std::size_t i) {
        std::string bytes(static_cast<std::size_t>(ends[i] - startOf(i) + 1), '\0');
        text.readAt(startOf(i), bytes.data(), bytes.size());
        return bytes;
    };

    MailboxRepair report;
    const std::size_t held = old.size() / kIndexRecordSize;
    const std::int16_t storedCount = held >= 1 ? get16(old.data(), kPartAt) : std::int16_t{-1};
    int count = storedCount;
    if (storedCount < 0 || static_cast<std::size_t>(storedCount) + 1 > held) {
        // A count that does not fit the file: every whole record it holds is looked at.
        count = static_cast<int>(std::min<std::size_t>(held > 0 ? held - 1 : 0, kMaxMailboxMessages));
        report.HeaderMended = true;
    }
    auto recordAt = [&](int k) { return old.data() + static_cast<std::size_t>(k) * kIndexRecordSize; };

    // Intact records and the texts they claim.
    std::vector<char> intact(static_cast<std::size_t>(count) + 1, 0);
    std::vector<char> claimed(ends.size(), 0);
    for (int k = 1; k <= count; ++k) {
        const MailboxRecord r = decodeMailboxRecord(recordAt(k));
        if (!textFits(r, mbxSize))
            continue;
        const std::uint64_t from = static_cast<std::uint64_t>(r.Offset), to = from + static_cast<std::uint64_t>(r.Size);
        std::size_t i = firstEndFrom(from);
        if (i < ends.size() && ends[i] < to - 1)
            continue; // runs over the end of a text
        intact[static_cast<std::size_t>(k)] = 1;
        for (; i < ends.size() && startOf(i) < to; ++i)
            claimed[i] = 1;
    }
    // A damaged record's text lies after the text of the record before it and before the text of
    // the next intact one: records are in the order their texts were written.
    std::vector<std::uint64_t> nextIntactOffset(static_cast<std::size_t>(count) + 2, mbxSize);
    for (int k = count; k >= 1; --k)
        nextIntactOffset[static_cast<std::size_t>(k)] =
            intact[static_cast<std::size_t>(k)] ? static_cast<std::uint64_t>(decodeMailboxRecord(recordAt(k)).Offset)
                                               : nextIntactOffset[static_cast<std::size_t>(k) + 1];

    std::string kept;
    int keptCount = 0;
    std::uint64_t lower = 0, liveBytes = 0, liveEnd = 0;
    for (int k = 1; k <= count; ++k) {
        std::string raw(recordAt(k), kIndexRecordSize);
        MailboxRecord r = decodeMailboxRecord(raw.data());
        if (!intact[static_cast<std::size_t>(k)]) {
            const std::uint64_t upper = nextIntactOffset[static_cast<std::size_t>(k) + 1];
            std::size_t chosen = ends.size();
            std::string chosenBytes;
            bool ambiguous = false;
            for (std::size_t i = firstEndFrom(lower); r.Size >= 1 && i < ends.size() && ends[i] < upper; ++i) {
                if (startOf(i) < lower || claimed[i] || ends[i] - startOf(i) + 1 != static_cast<std::uint64_t>(r.Size))
                    continue;
                std::string bytes = readText(i);
                if (!headerFieldsMatch(r, bytes))
                    continue;
                if (chosen == ends.size()) {
                    chosen = i;
                    chosenBytes = std::move(bytes);
                } else if (bytes != chosenBytes) {
                    ambiguous = true;
                    break;
                }
            }
            if (chosen == ends.size() || ambiguous) {
                report.Dropped.push_back({k, r, ambiguous ? "several texts of its size and header fields could be its own"
                                                          : "no text of its size and header fields is left for it"});
                continue;
            }
            claimed[chosen] = 1;
            r.Offset = static_cast<std::int32_t>(startOf(chosen));
            put32(raw.data(), kOffsetAt, r.Offset);
            report.Relinked.push_back(k);
        } else {
            ++report.Intact;
        }
        const std::uint64_t end = static_cast<std::uint64_t>(r.Offset) + static_cast<std::uint64_t>(r.Size);
        lower = std::max(lower, end);
        liveEnd = std::max(liveEnd, end);
        liveBytes += static_cast<std::uint64_t>(r.Size);
        kept += raw;
        ++keptCount;
    }

    // The header keeps its end of text when that still fits; the trash is what no record holds.
    const std::int32_t size = held >= 1 ? get32(old.data(), kSizeAt) : -1;
    const bool endFits = held >= 1 && size >= 0 && get32(old.data(), kOffsetAt) == size &&
                         get32(old.data(), kLinesAt) >= 0 && static_cast<std::uint64_t>(size) <= mbxSize &&
                         static_cast<std::uint64_t>(size) >= liveEnd;
    if (!endFits)
        report.HeaderMended = true;
    if (!report.Changed())
        return report;
    const std::int32_t newSize = endFits ? size : static_cast<std::int32_t>(mbxSize);
    const auto trash = static_cast<std::int32_t>(static_cast<std::uint64_t>(newSize) -
                                                 std::min<std::uint64_t>(liveBytes, static_cast<std::uint64_t>(newSize)));
    std::string fresh = headerBytes(newSize, trash, static_cast<std::int16_t>(keptCount)) + kept;

    // "temp.idx" keeps the damaged index, as every rewrite of an index leaves the one before.
    std::string temp = mailBoxDirectory_ + "temp.idx";
    removeFileIfPresent(temp);
    if (::link(idx.c_str(), temp.c_str()) != 0)
        writeFileAtomically(temp, old);
    writeFileAtomically(idx, fresh);

    if (n == currentNumber_ && equalsIgnoreCase(key, currentName_))
        OpenMailbox();
    for (auto it = report.Dropped.rbegin(); it != report.Dropped.rend(); ++it)
        NotifyViewers(key, kMailboxRemoved, it->Number);
    NotifyViewers(key, kMailboxReloaded, 0);
    return report;
}

void TNMailBox::CompressMailboxes(int trashLimit)
{
    for (int n = 1; n <= static_cast<int>(MailBoxes.size()); ++n) {
        SetCurrentMailBoxNumber(n);
        if (CurrentNMailBoxTrash() > trashLimit)
            CompressMailbox();
    }
}

bool TNMailBox::RegisterViewer(TMailboxViewerControl* viewer, const std::string& key)
{
    for (auto& slot : viewers_)
        if (!slot.viewer) {
            slot.viewer = viewer;
            slot.key = key.substr(0, 8);
            return true;
        }
    return false;
}

void TNMailBox::UnregisterViewer(TMailboxViewerControl* viewer)
{
    for (auto& slot : viewers_)
        if (slot.viewer == viewer) {
            slot.viewer = nullptr;
            slot.key.clear();
            return;
        }
}

void TNMailBox::NotifyViewers(const std::string& key, int action, int number)
{
    const std::string k = key.substr(0, 8);
    for (auto& slot : viewers_)
        if (slot.viewer && slot.key == k)
            slot.viewer->MailboxChanged(action, number);
    if (OnMailboxChanged)
        OnMailboxChanged(key, action, number);
}

std::string TNMailBox::MessageFlags(const std::string& key) const
{
    const Header h = readHeader(key);
    std::string flags;
    if (h.count < 1)
        return flags;
    std::string records(static_cast<std::size_t>(h.count) * kIndexRecordSize, '\0');
    RandomAccessFile f(idxPath(key), RandomAccessFile::Mode::ReadOnly);
    f.readAt(kIndexRecordSize, records.data(), records.size());
    flags.reserve(static_cast<std::size_t>(h.count));
    for (std::size_t at = kFlagAt; at < records.size(); at += kIndexRecordSize)
        flags.push_back(records[at]);
    return flags;
}

} // namespace tavik
