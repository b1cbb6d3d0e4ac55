#include "pop3/message_parser.h"

#include "text/html_text.h"
#include "text/unicode_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace tavik {

namespace {

// Part files are written in blocks of this size.
constexpr std::size_t kWriteBlock = 256 * 1024;
// Base64 input decoded into the write buffer at one go (its output fits a block).
constexpr std::size_t kBase64Slice = 64 * 1024;
constexpr std::size_t kMaxSizeTextDigits = 99;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool startsWithIgnoringCase(std::string_view s, std::string_view prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (a != prefix[i])
            return false;
    }
    return true;
}

bool isFieldName(std::string_view name, std::string_view lowerName)
{
    return name.size() == lowerName.size() && startsWithIgnoringCase(name, lowerName);
}

bool isTextType(std::string_view mediaType) { return startsWithIgnoringCase(mediaType, "text"); }

// What may stand in a header block: a continuation line, an mbox "From " line, or a field name
// up to its colon, without blanks. Anything else already belongs to the body.
bool isHeaderLine(std::string_view line)
{
    if (line.empty())
        return false;
    if (isBlank(line[0]) || line.substr(0, 5) == "From ")
        return true;
    for (char c : line) {
        if (c == ':')
            return true;
        if (isBlank(c))
            return false;
    }
    return false;
}

bool isType(std::string_view mediaType, std::string_view lowerType)
{
    while (!mediaType.empty() && isBlank(mediaType.back()))
        mediaType.remove_suffix(1);
    return isFieldName(mediaType, lowerType);
}

// Message ids compare without their angle brackets and surrounding blanks.
std::string_view bareId(std::string_view id)
{
    while (!id.empty() && (isBlank(id.front()) || id.front() == '<'))
        id.remove_prefix(1);
    while (!id.empty() && (isBlank(id.back()) || id.back() == '>'))
        id.remove_suffix(1);
    return id;
}

// Separates the further text parts of a message from the one before.
const char* const kPartSeparator = "------------------------------";

// Fixed-size fields are cut at a character boundary.
std::string cut(std::string s, std::size_t room)
{
    if (s.size() > room)
        s.resize(utf8CutPoint(s, room));
    return s;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Runs `after` when the scope ends, also when an event handler throws.
template <class F>
struct AtExit {
    F f;
    ~AtExit() { f(); }
};
template <class F>
AtExit(F) -> AtExit<F>;

} // namespace

bool isEndOfAnswer(std::string_view rawLine) { return rawLine == "."; }

std::string_view unstuffAnswerLine(std::string_view rawLine)
{
    if (!rawLine.empty() && rawLine[0] == '.')
        rawLine.remove_prefix(1);
    return rawLine;
}

std::string answerSizeText(std::string_view answer)
{
    std::size_t at = answer.find(" octets");
    if (at == std::string_view::npos)
        return std::string();
    std::size_t start = at;
    while (start > 0 && answer[start - 1] >= '0' && answer[start - 1] <= '9')
        --start;
    return std::string(answer.substr(start, std::min(at - start, kMaxSizeTextDigits)));
}

// A part file being written: a sibling temporary file, filled through one buffer and renamed
// over the target when the part is complete, so the target never holds half a part.
class MessageParser::PartFileWriter {
public:
    ~PartFileWriter() { discard(); }

    bool open(const std::string& path, std::string& error)
    {
        discard();
        tmp_ = path + ".tmp-XXXXXX";
        fd_ = ::mkostemp(tmp_.data(), O_CLOEXEC);
        if (fd_ < 0) {
            error = FileError(path, std::string("cannot create: ") + std::strerror(errno)).what();
            tmp_.clear();
            return false;
        }
        path_ = path;
        len_ = 0;
        written_ = 0;
        failed_ = false;
        error_.clear();
        if (!buf_)
            buf_ = std::make_unique<char[]>(kWriteBlock);
        return true;
    }

    bool isOpen() const { return fd_ >= 0; }
    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }
    std::uint64_t written() const { return written_; }

    void write(const char* p, std::size_t n)
    {
        if (len_ + n > kWriteBlock)
            flush();
        if (n > kWriteBlock) {
            writeOut(p, n);
        } else {
            std::memcpy(buf_.get() + len_, p, n);
            len_ += n;
        }
        written_ += n;
    }

    // Room for `n` (at most kWriteBlock) bytes; commit() tells how many were put there.
    char* reserve(std::size_t n)
    {
        if (len_ + n > kWriteBlock)
            flush();
        return buf_.get() + len_;
    }
    void commit(std::size_t n)
    {
        len_ += n;
        written_ += n;
    }

    bool close(std::string& error)
    {
        flush();
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && !failed_)
            fail(std::string("cannot close: ") + std::strerror(errno));
        if (!failed_ && ::rename(tmp_.c_str(), path_.c_str()) != 0)
            fail(std::string("cannot replace: ") + std::strerror(errno));
        if (failed_) {
            ::unlink(tmp_.c_str());
            tmp_.clear();
            error = error_;
            return false;
        }
        tmp_.clear();
        return true;
    }

    void discard()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        if (!tmp_.empty())
            ::unlink(tmp_.c_str());
        tmp_.clear();
        len_ = 0;
    }

private:
    void fail(const std::string& what)
    {
        if (!failed_)
            error_ = FileError(path_, what).what();
        failed_ = true;
    }

    void flush()
    {
        writeOut(buf_.get(), len_);
        len_ = 0;
    }

    void writeOut(const char* p, std::size_t n)
    {
        while (n > 0 && !failed_) {
            ssize_t w = ::write(fd_, p, n);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                fail(std::string("cannot write: ") + std::strerror(errno));
                return;
            }
            if (w == 0) {
                fail("cannot write: no room");
                return;
            }
            p += w;
            n -= static_cast<std::size_t>(w);
        }
    }

    int fd_ = -1;
    std::string tmp_, path_;
    std::unique_ptr<char[]> buf_;
    std::size_t len_ = 0;
    std::uint64_t written_ = 0;
    bool failed_ = false;
    std::string error_;
};

MessageParser::MessageParser(const ParserLimits& limits) : limits_(limits), file_(std::make_unique<PartFileWriter>())
{
    limits_.maxBoundaryDepth = std::max(limits_.maxBoundaryDepth, 0);
    limits_.maxParts = std::max(limits_.maxParts, 0);
    limits_.maxTextLineBytes = std::max<std::size_t>(limits_.maxTextLineBytes, 1);
}

MessageParser::~MessageParser() = default;

// ---- answers ----------------------------------------------------------------------------

void MessageParser::startAnswer(LineState state, std::string_view answer)
{
    file_->discard();
    noFile_ = true;
    clearMessageValues();
    MessageTextTruncated = false;
    LastFileError.clear();
    textBytes_ = 0;
    levels_.clear();
    segments_.clear();
    segment_ = kNone;
    held_.clear();
    holding_ = kNone;
    heldBytes_ = 0;
    headerLines_ = 0;
    preamble_.clear();
    preambleBytes_ = 0;
    flowedText_.reset();
    inUu_ = false;
    uuLines_.clear();
    uuBytes_.clear();
    partCounter_ = 0;
    mainEncoding_ = 0;
    mainCharset_.clear();
    keptField_.clear();
    haveKeptField_ = false;
    clearPart();
    textQp_.reset();
    startText({});
    inHeaders_ = true;
    preview_ = state == PreviewHeader;
    state_ = state;
    if (OnMailInfo)
        OnMailInfo(3, answerSizeText(answer));
}

bool MessageParser::beginMessage(std::string_view answer)
{
    if (!answer.empty() && answer[0] == '-') {
        file_->discard();
        state_ = Idle;
        if (OnMailError)
            OnMailError(13, "Unexpected response: " + std::string(answer));
        return false;
    }
    startAnswer(Body, answer);
    return true;
}

bool MessageParser::beginPreview(std::string_view answer)
{
    if (!answer.empty() && answer[0] == '-') {
        state_ = Idle;
        if (OnMailError)
            OnMailError(13, "Unexpected response: " + std::string(answer));
        return false;
    }
    startAnswer(PreviewHeader, answer);
    return true;
}

void MessageParser::clearMessageValues()
{
    MessageText.clear();
    From.clear();
    To.clear();
    Subject.clear();
    Date.clear();
    byteCount_ = 0;
    MessageSize = 0;
    textBytes_ = 0;
}

void MessageParser::clearPart()
{
    attachment_.clear();
    transferEncoding_ = 0;
    multipart_ = false;
    mediaType_.clear();
    boundary_.clear();
    charset_.clear();
    start_.clear();
    contentId_.clear();
    flowed_ = false;
    delSp_ = false;
    dispositionFileName_.clear();
    typeName_.clear();
    pendingField_.clear();
    havePendingField_ = false;
    headerBytes_ = 0;
}

void MessageParser::feedPreviewLine(std::string_view line)
{
    if (state_ != PreviewHeader)
        return;
    byteCount_ += static_cast<std::int64_t>(line.size());
    MessageSize = byteCount_;
    headerBytes_ += line.size() + 2;
    bool withinLimit = headerBytes_ <= limits_.maxHeaderBytes;
    if (inHeaders_) {
        if (line.empty()) {
            flushField();
            inHeaders_ = false;
        } else if (withinLimit) {
            headerLine(line);
        }
    }
    if (withinLimit)
        keepLine(cut(storedText(line.substr(0, utf8CutPoint(line, limits_.maxTextLineBytes))), limits_.maxTextLineBytes));
}

void MessageParser::endPreview()
{
    if (state_ != PreviewHeader)
        return;
    if (inHeaders_)
        flushField();
    state_ = Idle;
    AtExit clear{[this] { clearMessageValues(); }};
    if (OnHeadersLoaded)
        OnHeadersLoaded();
}

// ---- the lines of a message -------------------------------------------------------------

void MessageParser::feedLine(std::string_view line)
{
    if (state_ == Idle || state_ == PreviewHeader)
        return;
    byteCount_ += static_cast<std::int64_t>(line.size()) + 2;
    MessageSize = byteCount_;
    if (OnMailInfo)
        OnMailInfo(4, std::to_string(byteCount_));
    takeLine(line);
}

void MessageParser::takeLine(std::string_view line)
{
    switch (state_) {
    case Body:
        if (inHeaders_ && !line.empty() && !isHeaderLine(line)) {
            // A header not ended by an empty line ends at the first line that is no field.
            mainHeaderLine(std::string_view());
            takeLine(line);
        } else if (inHeaders_) {
            mainHeaderLine(line);
        } else {
            keepBodyLine(line, mainEncoding_);
        }
        return;
    case SingleFile:
        writeLine(line);
        return;
    default:
        break;
    }
    bool close = false;
    if (int level = matchBoundary(line, close)) {
        onBoundary(level, close);
        return;
    }
    switch (state_) {
    case PartHeader:
        if (line.empty()) {
            endPartHeader();
        } else if (!isHeaderLine(line)) {
            endPartHeader();
            takeLine(line);
        } else {
            headerBytes_ += line.size() + 2;
            if (headerBytes_ <= limits_.maxHeaderBytes)
                headerLine(line);
        }
        break;
    case FirstTextPart:
        keepBodyLine(line, transferEncoding_);
        break;
    case PartBody:
        writeLine(line);
        break;
    default: // Skipping
        // A level's lines before its first delimiter: its whole body, should no delimiter come.
        if (!levels_.empty() && levels_.back().child == 0 && preambleBytes_ + line.size() <= limits_.maxTextBytes) {
            preambleBytes_ += line.size() + sizeof(std::string);
            preamble_.emplace_back(line);
        }
        break;
    }
}

void MessageParser::endMessage()
{
    if (state_ == Idle || state_ == PreviewHeader)
        return;
    if (state_ == Body && inHeaders_) {
        keepHeaderField();
        finishHeader(); // a message cut off in its header still gives its fields
    }
    AtExit clear{[this] {
        clearMessageValues();
        segments_.clear();
        held_.clear();
        preamble_.clear();
        uuBytes_.clear();
        uuLines_.clear();
    }};
    endPartBody(true);
    dropLevels(0);
    state_ = Idle;
    assembleText();
    if (OnMessageLoaded)
        OnMessageLoaded();
}

// ---- header blocks ----------------------------------------------------------------------

void MessageParser::mainHeaderLine(std::string_view line)
{
    if (line.empty()) {
        keepHeaderField();
        keepLine(std::string());
        headerLines_ = MessageText.size();
        endMainHeader();
        return;
    }
    headerBytes_ += line.size() + 2;
    if (headerBytes_ > limits_.maxHeaderBytes)
        return;
    headerLine(line);
    // A field is kept as one line, unfolded before its encoded words are decoded: a word split
    // over two lines, or two words a fold apart, read as one text.
    if (isBlank(line[0]) && haveKeptField_) {
        if (keptField_.size() < limits_.maxHeaderFieldBytes)
            keptField_.append(line.substr(0, limits_.maxHeaderFieldBytes - keptField_.size()));
        return;
    }
    keepHeaderField();
    keptField_.assign(line.substr(0, limits_.maxHeaderFieldBytes));
    haveKeptField_ = true;
}

void MessageParser::keepHeaderField()
{
    if (!haveKeptField_)
        return;
    haveKeptField_ = false;
    // Read as Windows-1252, an 8-bit byte grows into two or three: the line is cut after decoding.
    keepLine(cut(DecodeWords(keptField_), limits_.maxTextLineBytes));
    keptField_.clear();
}

// Collects a field with its continuation lines (RFC 5322 unfolding: the line break goes, the
// blank stays) and reads it when the next field begins.
void MessageParser::headerLine(std::string_view line)
{
    if (isBlank(line[0])) {
        if (havePendingField_ && pendingField_.size() < limits_.maxHeaderFieldBytes)
            pendingField_.append(line.substr(0, limits_.maxHeaderFieldBytes - pendingField_.size()));
        return;
    }
    flushField();
    pendingField_.assign(line.substr(0, limits_.maxHeaderFieldBytes));
    havePendingField_ = true;
}

void MessageParser::flushField()
{
    if (!havePendingField_)
        return;
    havePendingField_ = false;
    std::string_view name, value;
    if (!splitHeaderField(pendingField_, name, value))
        return;
    if (state_ == Body || state_ == PreviewHeader) {
        if (isFieldName(name, "subject"))
            Subject = DecodeWords(value);
        else if (isFieldName(name, "from"))
            From = DecodeWords(value);
        else if (isFieldName(name, "to"))
            To = DecodeWords(value);
        else if (isFieldName(name, "date"))
            Date = DecodeWords(value);
        else if (isFieldName(name, "x-uidl"))
            XUIDL = DecodeWords(value);
    }
    if (!preview_)
        mimeField(name, value);
}

void MessageParser::mimeField(std::string_view name, std::string_view value)
{
    if (!startsWithIgnoringCase(name, "content-"))
        return;
    if (isFieldName(name, "content-description")) {
        attachment_.Description = cut(DecodeWords(value), kDescriptionRoom);
    } else if (isFieldName(name, "content-disposition")) {
        attachment_.Disposition = cut(DecodeWords(value), kDispositionRoom);
        std::string fileName;
        if (ParamValue(value, "filename", fileName) && !fileName.empty())
            dispositionFileName_ = std::move(fileName);
    } else if (isFieldName(name, "content-id")) {
        contentId_ = std::string(bareId(value));
        attachment_.ContentID = cut(DecodeWords(value), kContentIdRoom);
    } else if (isFieldName(name, "content-type")) {
        std::string_view type = trimmed(value.substr(0, value.find(';')));
        mediaType_ = std::string(type);
        attachment_.ContentType = cut(mediaType_, kContentTypeRoom);
        multipart_ = startsWithIgnoringCase(type, "multipart/");
        ParamValue(value, "boundary", boundary_);
        ParamValue(value, "charset", charset_);
        ParamValue(value, "start", start_);
        std::string param;
        ParamValue(value, "format", param);
        flowed_ = isFieldName(trimmed(param), "flowed");
        ParamValue(value, "delsp", param);
        delSp_ = isFieldName(trimmed(param), "yes");
        std::string typeName;
        if (ParamValue(value, "name", typeName) && !typeName.empty())
            typeName_ = std::move(typeName);
    } else if (isFieldName(name, "content-transfer-encoding")) {
        std::string v = asciiLower(value);
        int e = 0;
        if (v.find("quoted") != std::string::npos)
            e = 2;
        if (v.find("base64") != std::string::npos)
            e = 1;
        if (v.find("7bit") != std::string::npos || v.find("8bit") != std::string::npos
            || v.find("binary") != std::string::npos)
            e = 0;
        transferEncoding_ = e;
    }
}

void MessageParser::finishHeader()
{
    flushField();
    const std::string& raw = dispositionFileName_.empty() ? typeName_ : dispositionFileName_;
    attachment_.FileName = cut(safeFileName(DecodeWords(raw)), kFileNameRoom);
}

bool MessageParser::usableBoundary() const
{
    return !boundary_.empty() && boundary_.size() <= limits_.maxBoundaryBytes;
}

void MessageParser::endMainHeader()
{
    finishHeader();
    inHeaders_ = false;
    mainEncoding_ = transferEncoding_;
    mainCharset_ = charset_;
    if (multipart_ && usableBoundary() && limits_.maxBoundaryDepth > 0) {
        startText({});
        openLevel(true);
        state_ = Skipping;
        return;
    }
    const std::string_view type = mediaType_.empty() ? std::string_view(attachment_.ContentType) : std::string_view(mediaType_);
    if (!multipart_ && isType(type, "text/html")) {
        startHtmlPart(SingleFile);
    } else if (multipart_ || isTextType(type)) {
        // A multipart without a boundary has no parts to find: its body is read as text.
        startTextPart(Segment::Plain);
        state_ = Body;
    } else {
        startFile(SingleFile);
    }
}

void MessageParser::endPartHeader()
{
    finishHeader();
    // In a digest a part without a type is a message.
    if (mediaType_.empty() && !levels_.empty() && levels_.back().kind == Level::Digest)
        attachment_.ContentType = "message/rfc822";
    const bool shown = !levels_.empty() && childShown(levels_.back());
    if (multipart_) {
        if (static_cast<int>(levels_.size()) >= limits_.maxBoundaryDepth) {
            state_ = Skipping; // too deep: this part and all inside it are skipped
            return;
        }
        if (usableBoundary()) {
            openLevel(shown);
            state_ = Skipping;
            return;
        }
        // A nested multipart without a boundary has no parts to find: its body is text where
        // it is displayed, else a file.
        if (shown && !isAttachmentDisposition()) {
            textFound();
            startTextPart(Segment::Plain);
            state_ = FirstTextPart;
            return;
        }
    } else if (shown && !isAttachmentDisposition()) {
        if (isType(attachment_.ContentType, "text/plain")) {
            textFound();
            startTextPart(Segment::Plain);
            state_ = FirstTextPart;
            return;
        }
        if (isType(attachment_.ContentType, "text/html")) {
            startHtmlPart(PartBody);
            return;
        }
    }
    startFile(PartBody);
}

void MessageParser::openLevel(bool shown)
{
    Level level;
    level.boundary = boundary_;
    const std::string type = asciiLower(trimmed(mediaType_));
    if (type == "multipart/alternative")
        level.kind = Level::Alternative;
    else if (type == "multipart/related")
        level.kind = Level::Related;
    else if (type == "multipart/signed")
        level.kind = Level::Signed;
    else if (type == "multipart/digest")
        level.kind = Level::Digest;
    level.start = std::string(bareId(start_));
    level.shown = shown;
    level.id = ++levelIds_;
    levels_.push_back(std::move(level));
    preamble_.clear();
    preambleBytes_ = 0;
}

// Whether the part now beginning under `parent` is displayed, as readers choose: the first
// alternative that holds plain text (until one does, every one may), the root of a related
// part, the signed part of a signature, every part of a mixed one.
bool MessageParser::childShown(const Level& parent) const
{
    if (!parent.shown)
        return false;
    switch (parent.kind) {
    case Level::Alternative:
        return parent.plainBranch == 0 || parent.plainBranch == parent.child;
    case Level::Related:
        return parent.start.empty() ? parent.child == 1 : contentId_ == parent.start;
    case Level::Signed:
        return parent.child == 1;
    default:
        return true;
    }
}

bool MessageParser::isAttachmentDisposition() const
{
    std::string_view d = attachment_.Disposition;
    return isType(trimmed(d.substr(0, d.find(';'))), "attachment");
}

void MessageParser::startTextPart(Segment::Kind kind)
{
    textQp_.reset();
    startText(charset_);
    segments_.emplace_back();
    segments_.back().kind = kind;
    // The first text of a message is its body whatever follows: it goes straight to MessageText.
    segments_.back().direct = kind == Segment::Plain && segments_.size() == 1;
    segment_ = segments_.size() - 1;
    if (flowed_)
        flowedText_ = std::make_unique<FlowedText>(delSp_, limits_.maxTextLineBytes);
}

// Plain text shown in an alternative settles it: HTML that stood for the alternative until now
// is one of its versions, kept as an attachment.
void MessageParser::textFound()
{
    for (Level& level : levels_) {
        if (level.kind == Level::Alternative && level.plainBranch == 0)
            level.plainBranch = level.child;
    }
    for (HeldHtml& html : held_) {
        if (html.dropped)
            continue;
        bool superseded = false;
        for (const auto& [id, branch] : html.branches) {
            for (const Level& level : levels_)
                if (level.id == id && level.child != branch)
                    superseded = true;
        }
        if (!superseded)
            continue;
        html.dropped = true;
        segments_[html.segment].dropped = true;
        std::string bytes = std::move(html.bytes);
        html.bytes.clear();
        heldBytes_ -= std::min(heldBytes_, bytes.size());
        storeHeld(html.record, bytes);
    }
}

// HTML that is displayed is read into memory and made readable at the end of the message; in an
// alternative without plain text so far it stands for the alternative, and a later plain text
// turns it into an attachment.
void MessageParser::startHtmlPart(LineState state)
{
    for (const Level& level : levels_) {
        if (level.kind == Level::Alternative && level.htmlBranch != 0 && level.htmlBranch != level.child) {
            startFile(state); // an alternative already has its HTML: this one is another version
            return;
        }
    }
    HeldHtml html;
    html.record = attachment_;
    html.charset = charset_;
    for (Level& level : levels_) {
        if (level.kind != Level::Alternative || level.plainBranch != 0)
            continue;
        if (level.htmlBranch == 0)
            level.htmlBranch = level.child;
        html.branches.emplace_back(level.id, level.child);
    }
    segments_.emplace_back();
    segments_.back().kind = Segment::Html;
    html.segment = segments_.size() - 1;
    held_.push_back(std::move(html));
    holding_ = held_.size() - 1;
    state_ = state;
    decodeMode_ = transferEncoding_;
    base64_.reset();
    pendingLineEnd_ = false;
    noFile_ = false;
}

void MessageParser::nextPart()
{
    ++partCounter_;
    clearPart();
    textQp_.reset();
    state_ = partCounter_ > limits_.maxParts ? Skipping : PartHeader;
}

// ---- boundaries -------------------------------------------------------------------------

// The innermost open level (1 = outermost) whose delimiter or close delimiter the line is:
// "--" + boundary, then only blanks (RFC 2046); a close delimiter "--" + boundary + "--" closes
// also with stray text after it ("--b-->"), which is no part's content. 0 when none.
int MessageParser::matchBoundary(std::string_view line, bool& close) const
{
    if (levels_.empty() || line.size() < 2 || line[0] != '-' || line[1] != '-')
        return 0;
    std::string_view rest = line.substr(2);
    for (std::size_t k = levels_.size(); k >= 1; --k) {
        const std::string& b = levels_[k - 1].boundary;
        if (rest.size() < b.size() || rest.compare(0, b.size(), b) != 0)
            continue;
        std::string_view tail = rest.substr(b.size());
        bool c = tail.size() >= 2 && tail[0] == '-' && tail[1] == '-';
        if (c)
            tail.remove_prefix(2);
        bool blanks = true;
        for (char ch : tail)
            if (ch != ' ' && ch != '\t' && ch != '\r')
                blanks = false;
        // A boundary of dashes alone would close at any longer row of dashes.
        if (!blanks && !(c && b.find_first_not_of('-') != std::string::npos))
            continue;
        close = c;
        return static_cast<int>(k);
    }
    return 0;
}

void MessageParser::onBoundary(int level, bool close)
{
    endPartBody(false);
    // A boundary of an outer level also ends every level inside it.
    dropLevels(static_cast<std::size_t>(close ? level - 1 : level));
    if (!close) {
        ++levels_.back().child;
        preamble_.clear();
        preambleBytes_ = 0;
        nextPart();
        return;
    }
    if (levels_.empty()) {
        state_ = Body; // after the outermost close: kept as text
        inHeaders_ = false;
        textQp_.reset();
        clearPart();
        startTextPart(Segment::Other);
    } else {
        state_ = Skipping;
    }
}

// Closes levels down to `keep`. A level that never saw its first delimiter keeps its body: as
// text where it is displayed, else as a text attachment.
void MessageParser::dropLevels(std::size_t keep)
{
    while (levels_.size() > keep) {
        if (levels_.back().child == 0 && !preamble_.empty()) {
            std::vector<std::string> lines = std::move(preamble_);
            preamble_.clear();
            preambleBytes_ = 0;
            if (levels_.back().shown) {
                const std::size_t before = segment_;
                segments_.emplace_back();
                segment_ = segments_.size() - 1;
                for (std::string& line : lines)
                    keepDecoded(storedText(line));
                if (inUu_)
                    endUuBlock(false);
                segment_ = before;
            } else {
                std::string bytes;
                for (const std::string& line : lines)
                    bytes.append(line).append("\r\n");
                TMIMEAttachment record;
                record.ContentType = "text/plain";
                storeHeld(std::move(record), bytes);
            }
        }
        levels_.pop_back();
    }
}

void MessageParser::endPartBody(bool messageEnd)
{
    switch (state_) {
    case PartBody:
        closeFile(false);
        break;
    case SingleFile:
        closeFile(messageEnd);
        break;
    case Body:
    case FirstTextPart:
        flushTextCarry();
        segment_ = kNone;
        break;
    default:
        break;
    }
}

// ---- part files -------------------------------------------------------------------------

void MessageParser::startFile(LineState state)
{
    state_ = state;
    decodeMode_ = transferEncoding_;
    base64_.reset();
    pendingLineEnd_ = false;
    noFile_ = true;
    attachment_.Size = 0;
    if (OnAttachmentGetLocation)
        OnAttachmentGetLocation(&attachment_);
    if (attachment_.Location.empty())
        return;
    std::string error;
    if (file_->open(attachment_.Location, error))
        noFile_ = false;
    else
        LastFileError = error;
}

// The line writer and the base64 writer. A plain or quoted-printable part owes the CR LF of a
// line until the next line comes: the line break before a boundary belongs to the boundary.
void MessageParser::writeLine(std::string_view line)
{
    // All HTML held at once is bounded, however many parts a message has.
    if (holding_ != kNone && heldBytes_ + line.size() + 2 > limits_.maxTextBytes)
        spillHeldHtml();
    if (noFile_)
        return;
    switch (decodeMode_) {
    case 1:
        while (!line.empty()) {
            std::size_t n = std::min(line.size(), kBase64Slice);
            char* out = sinkReserve(Base64Decoder::maxOutput(n));
            sinkCommit(base64_.decode(line.data(), n, out));
            line.remove_prefix(n);
        }
        break;
    case 2:
        if (pendingLineEnd_)
            sinkWrite("\r\n", 2);
        scratch_.clear();
        pendingLineEnd_ = !decodeQuotedPrintableLine(line, scratch_);
        sinkWrite(scratch_.data(), scratch_.size());
        if (scratch_.capacity() > kWriteBlock)
            std::string().swap(scratch_);
        break;
    default:
        if (pendingLineEnd_)
            sinkWrite("\r\n", 2);
        sinkWrite(line.data(), line.size());
        pendingLineEnd_ = true;
        break;
    }
    if (holding_ == kNone && file_->failed()) {
        LastFileError = file_->error();
        file_->discard();
        noFile_ = true;
    }
}

void MessageParser::sinkWrite(const char* p, std::size_t n)
{
    if (holding_ != kNone) {
        held_[holding_].bytes.append(p, n);
        heldBytes_ += n;
    } else
        file_->write(p, n);
}

char* MessageParser::sinkReserve(std::size_t n)
{
    if (holding_ == kNone)
        return file_->reserve(n);
    std::string& bytes = held_[holding_].bytes;
    reservedAt_ = bytes.size();
    bytes.resize(reservedAt_ + n);
    return bytes.data() + reservedAt_;
}

void MessageParser::sinkCommit(std::size_t n)
{
    if (holding_ == kNone) {
        file_->commit(n);
        return;
    }
    held_[holding_].bytes.resize(reservedAt_ + n);
    heldBytes_ += n;
}

void MessageParser::closeFile(bool finalLineEnd)
{
    if (holding_ != kNone) {
        if (decodeMode_ == 1) {
            char tail[2];
            sinkWrite(tail, base64_.finish(tail));
        }
        holding_ = kNone;
        noFile_ = true;
        pendingLineEnd_ = false;
        return;
    }
    attachment_.Size = 0;
    if (!noFile_) {
        if (decodeMode_ == 1) {
            char tail[2];
            file_->write(tail, base64_.finish(tail));
        } else if (finalLineEnd && pendingLineEnd_) {
            file_->write("\r\n", 2);
        }
        std::uint64_t written = file_->written();
        std::string error;
        if (file_->close(error))
            attachment_.Size = static_cast<std::int32_t>(
                std::min<std::uint64_t>(written, static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())));
        else
            LastFileError = error;
    }
    noFile_ = true;
    pendingLineEnd_ = false;
    if (OnAttachmentStored)
        OnAttachmentStored(&attachment_);
}

// HTML too large to hold becomes an attachment on the spot, written on as any part.
void MessageParser::spillHeldHtml()
{
    HeldHtml& html = held_[holding_];
    html.dropped = true;
    segments_[html.segment].dropped = true;
    std::string bytes = std::move(html.bytes);
    html.bytes.clear();
    heldBytes_ -= std::min(heldBytes_, bytes.size());
    holding_ = kNone;
    noFile_ = true;
    attachment_.Size = 0;
    if (OnAttachmentGetLocation)
        OnAttachmentGetLocation(&attachment_);
    if (attachment_.Location.empty())
        return;
    std::string error;
    if (!file_->open(attachment_.Location, error)) {
        LastFileError = error;
        return;
    }
    noFile_ = false;
    file_->write(bytes.data(), bytes.size());
}

// A part whose bytes are already in hand (HTML that proved an alternative, a uuencoded block)
// is stored as any part is, between the parts being read.
void MessageParser::storeHeld(TMIMEAttachment record, std::string_view bytes)
{
    TMIMEAttachment current = std::move(attachment_);
    AtExit restore{[this, &current] { attachment_ = std::move(current); }};
    attachment_ = std::move(record);
    attachment_.Size = 0;
    attachment_.Location.clear();
    attachment_.ManagedFile = 0;
    if (OnAttachmentGetLocation)
        OnAttachmentGetLocation(&attachment_);
    if (!attachment_.Location.empty()) {
        std::string error;
        if (file_->open(attachment_.Location, error)) {
            file_->write(bytes.data(), bytes.size());
            if (file_->close(error))
                attachment_.Size = static_cast<std::int32_t>(
                    std::min<std::uint64_t>(bytes.size(), static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())));
            else
                LastFileError = error;
        } else {
            LastFileError = error;
        }
    }
    if (OnAttachmentStored)
        OnAttachmentStored(&attachment_);
}

// The readable text in the order a reader shows it: the chosen body (the first plain text, else
// the first HTML) first, then every further text part after a separating line, then the lines
// that followed the parts.
void MessageParser::assembleText()
{
    for (HeldHtml& html : held_) {
        if (html.dropped)
            continue;
        std::string text = htmlBytesToUtf8(html.bytes, html.charset);
        std::string().swap(html.bytes);
        segment_ = html.segment;
        for (std::string& line : readableHtmlLines(text))
            keepDecoded(std::move(line));
    }
    segment_ = kNone;
    std::size_t body = kNone;
    for (std::size_t i = 0; i < segments_.size() && body == kNone; ++i)
        if (!segments_[i].dropped && segments_[i].kind == Segment::Plain)
            body = i;
    for (std::size_t i = 0; i < segments_.size() && body == kNone; ++i)
        if (!segments_[i].dropped && segments_[i].kind == Segment::Html)
            body = i;
    std::vector<std::size_t> order;
    if (body != kNone)
        order.push_back(body);
    for (std::size_t i = 0; i < segments_.size(); ++i)
        if (i != body && !segments_[i].dropped)
            order.push_back(i);
    std::size_t lines = MessageText.size();
    for (const Segment& segment : segments_)
        lines += segment.lines.size() + 3;
    MessageText.reserve(lines);
    bool first = MessageText.size() == headerLines_;
    auto add = [this](std::string&& line) {
        if (OnMessageData)
            OnMessageData(line);
        MessageText.push_back(std::move(line));
    };
    for (std::size_t i : order) {
        Segment& segment = segments_[i];
        if (segment.direct)
            continue;
        if (std::all_of(segment.lines.begin(), segment.lines.end(),
                        [](const std::string& l) { return l.find_first_not_of(" \t") == std::string::npos; }))
            continue; // a part of blank lines is nothing to read
        if (!first && segment.kind != Segment::Other) {
            add(std::string());
            add(kPartSeparator);
            add(std::string());
        }
        first = false;
        for (std::string& line : segment.lines)
            add(std::move(line));
    }
}

// ---- kept text --------------------------------------------------------------------------

void MessageParser::startText(std::string_view charset)
{
    textCharset_ = CharsetDecoder(charset);
    textConverted_.clear();
    textBase64_.reset();
    base64Text_.clear();
    textIsBase64_ = false;
}

void MessageParser::keepBodyLine(std::string_view line, int encoding)
{
    if (encoding == 1) {
        keepBase64Text(line);
        return;
    }
    if (encoding != 2) {
        // A single-byte charset converts straight from the received line, without a copy first.
        if (textCharset_.convertsByteByByte() && textConverted_.empty())
            keepDecoded(textCharset_.feed(line));
        else
            keepText(std::string(line));
        return;
    }
    std::string decoded;
    if (textQp_.decodeLine(line, decoded)) {
        keepText(std::move(decoded));
    } else if (textQp_.carrySize() >= limits_.maxTextLineBytes) {
        // A chain of soft breaks may not grow without end: what is held goes out as a line.
        keepText(textQp_.takeCarry());
    }
}

// A line of the text in its charset becomes UTF-8. Text read by the stored-text rule goes line
// by line (the fast way, and old 8-bit lines fall back one by one); a real charset streams, as
// its characters and shift states may run across lines.
void MessageParser::keepText(std::string&& line)
{
    if (textCharset_.readsAsStored()) {
        keepDecoded(isValidUtf8(line) ? std::move(line) : windows1252ToUtf8(line));
        return;
    }
    if (textCharset_.convertsByteByByte() && textConverted_.empty()) {
        keepDecoded(textCharset_.feed(line));
        return;
    }
    line += "\r\n";
    textConverted_ += textCharset_.feed(line);
    std::size_t start = 0;
    for (std::size_t crlf; (crlf = textConverted_.find("\r\n", start)) != std::string::npos; start = crlf + 2)
        keepDecoded(textConverted_.substr(start, crlf - start));
    textConverted_.erase(0, start);
    if (textConverted_.size() > limits_.maxTextLineBytes) {
        keepDecoded(std::move(textConverted_));
        textConverted_.clear();
    }
}

void MessageParser::finishText()
{
    if (textCharset_.readsAsStored())
        return;
    textConverted_ += textCharset_.finish();
    if (!textConverted_.empty())
        keepDecoded(std::move(textConverted_));
    textConverted_.clear();
}

// Base64 text: the decoded bytes are the text, whose lines end in CR LF or LF. A charset that
// reads byte by byte (or by the stored-text rule) gets whole lines; another (UTF-16 above all,
// whose line ends are not single bytes) converts the bytes as they come, and its UTF-8 is cut
// into lines.
void MessageParser::keepBase64Text(std::string_view line)
{
    textIsBase64_ = true;
    const std::size_t room = Base64Decoder::maxOutput(line.size());
    const std::size_t held = base64Text_.size();
    base64Text_.resize(held + room);
    base64Text_.resize(held + textBase64_.decode(line.data(), line.size(), base64Text_.data() + held));
    takeBase64Lines(false);
}

void MessageParser::takeBase64Lines(bool end)
{
    std::string* text = &base64Text_;
    if (!textCharset_.readsAsStored() && !textCharset_.convertsByteByByte()) {
        textConverted_ += textCharset_.feed(base64Text_);
        base64Text_.clear();
        if (end)
            textConverted_ += textCharset_.finish();
        text = &textConverted_;
    }
    std::size_t start = 0;
    for (std::size_t lf; (lf = text->find('\n', start)) != std::string::npos; start = lf + 1) {
        const std::size_t stop = lf > start && (*text)[lf - 1] == '\r' ? lf - 1 : lf;
        std::string piece = text->substr(start, stop - start);
        if (text == &base64Text_)
            keepText(std::move(piece));
        else
            keepDecoded(std::move(piece));
    }
    text->erase(0, start);
    // A text without line ends may not grow without end; the last line needs no end.
    if (!text->empty() && (end || text->size() > limits_.maxTextLineBytes)) {
        if (text == &base64Text_)
            keepText(std::move(*text));
        else
            keepDecoded(std::move(*text));
        text->clear();
    }
}

void MessageParser::flushTextCarry()
{
    if (textQp_.carrySize() > 0)
        keepText(textQp_.takeCarry());
    textQp_.reset();
    if (textIsBase64_) {
        char tail[2];
        base64Text_.append(tail, textBase64_.finish(tail));
        takeBase64Lines(true);
        base64Text_.clear();
        textIsBase64_ = false;
    }
    finishText();
    if (inUu_)
        endUuBlock(false); // no "end": the block stays text
    if (flowedText_) {
        flowedText_->finish(flowedOut_);
        flowedText_.reset();
        for (std::string& line : flowedOut_)
            keepCut(std::move(line));
        flowedOut_.clear();
    }
}

// A line of body text: a uuencoded block ("begin 644 name" ... "end") becomes an attachment, the
// receiving side of what our own sending side writes; flowed text is joined into paragraphs.
void MessageParser::keepTextLine(std::string&& line)
{
    if (inUu_) {
        if (uuEndLine(line)) {
            endUuBlock(true);
            return;
        }
        if (uuLineBytes_ + line.size() <= limits_.maxTextBytes && uu_.decodeLine(line, uuBytes_)) {
            uuLineBytes_ += line.size() + sizeof(std::string);
            uuLines_.push_back(std::move(line));
            return;
        }
        endUuBlock(false);
    }
    if (line.size() > 6 && line[0] == 'b' && segment_ != kNone && segments_[segment_].kind != Segment::Html
        && uuBeginLine(line, uuName_)) {
        inUu_ = true;
        uu_ = UuDecoder();
        uuBytes_.clear();
        uuLines_.clear();
        uuLineBytes_ = line.size();
        uuLines_.push_back(std::move(line));
        return;
    }
    keepFlowed(std::move(line));
}

void MessageParser::endUuBlock(bool complete)
{
    inUu_ = false;
    std::vector<std::string> lines = std::move(uuLines_);
    uuLines_.clear();
    std::string bytes = std::move(uuBytes_);
    uuBytes_.clear();
    // A block counts as a part: the bound on parts holds for blocks too, and one beyond it stays text.
    if (complete && partCounter_ < limits_.maxParts) {
        ++partCounter_;
        TMIMEAttachment record;
        record.ContentType = "application/octet-stream";
        record.FileName = cut(safeFileName(uuName_), kFileNameRoom);
        storeHeld(std::move(record), bytes);
        return;
    }
    for (std::string& line : lines)
        keepFlowed(std::move(line));
}

void MessageParser::keepFlowed(std::string&& line)
{
    if (!flowedText_) {
        keepLine(std::move(line));
        return;
    }
    flowedText_->feed(line, flowedOut_);
    for (std::string& joined : flowedOut_)
        keepCut(std::move(joined));
    flowedOut_.clear();
}

// A joined line with its quote marks may pass the line limit: it is kept in pieces.
void MessageParser::keepCut(std::string&& line)
{
    if (line.size() <= limits_.maxTextLineBytes) {
        keepLine(std::move(line));
        return;
    }
    std::string_view rest = line;
    while (!rest.empty()) {
        std::size_t n = utf8CutPoint(rest, limits_.maxTextLineBytes);
        if (n == 0)
            n = std::min(rest.size(), limits_.maxTextLineBytes);
        keepLine(std::string(rest.substr(0, n)));
        rest.remove_prefix(n);
    }
}

// A decoded line that holds CR LF (from "=0D=0A") becomes the lines the mailbox would read
// back; a line longer than the limit becomes several.
void MessageParser::keepDecoded(std::string&& line)
{
    if (line.size() <= limits_.maxTextLineBytes && line.find("\r\n") == std::string::npos) {
        keepTextLine(std::move(line));
        return;
    }
    std::string_view text = line;
    for (;;) {
        std::size_t crlf = text.find("\r\n");
        std::string_view piece = text.substr(0, crlf);
        do {
            std::size_t n = utf8CutPoint(piece, limits_.maxTextLineBytes);
            if (n == 0)
                n = std::min(piece.size(), limits_.maxTextLineBytes);
            keepTextLine(std::string(piece.substr(0, n)));
            piece.remove_prefix(n);
        } while (!piece.empty());
        if (crlf == std::string_view::npos)
            return;
        text.remove_prefix(crlf + 2);
    }
}

// Kept lines never hold NUL (the mailbox ends a stored text at one): it becomes a blank.
void MessageParser::keepLine(std::string line)
{
    if (MessageTextTruncated)
        return;
    std::size_t cost = line.size() + sizeof(std::string);
    if (textBytes_ + cost > limits_.maxTextBytes) {
        MessageTextTruncated = true;
        return;
    }
    textBytes_ += cost;
    if (std::memchr(line.data(), '\0', line.size()))
        std::replace(line.begin(), line.end(), '\0', ' ');
    if (segment_ != kNone && !segments_[segment_].direct) {
        segments_[segment_].lines.push_back(std::move(line));
        return;
    }
    if (OnMessageData)
        OnMessageData(line);
    MessageText.push_back(std::move(line));
}

} // namespace tavik
