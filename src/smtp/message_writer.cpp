#include "smtp/message_writer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "profile/file_util.h"
#include "smtp/mime_encoders.h"
#include "text/unicode_text.h"

namespace tavik {

namespace {

constexpr std::string_view kOctetStream = "application/octet-stream";
constexpr std::string_view kAttachmentDisposition = "attachment";
// Longest line of text SMTP carries (RFC 5321: 1000 with CR LF).
constexpr std::size_t kMaxDataLine = 998;
constexpr std::size_t kBodyChunk = 2048;
// File blocks: multiples of the forms' own blocks, so the output is the same as block by block.
constexpr std::size_t kBase64Block = 2280;
constexpr std::size_t kUuBlock = 1800;
constexpr std::size_t kReadBlock = 65536;
constexpr std::size_t kBase64Read = kBase64Block * 28;
constexpr std::size_t kUuRead = kUuBlock * 36;
constexpr const char* kChangedWhileSent = "changed while it was being sent";

std::string delimiterLine() { return "--" + std::string(kBoundary); }

// An attachment file opened for reading; closed by the destructor. Only regular files: a FIFO or
// device would block the send or never end.
class InputFile {
public:
    explicit InputFile(const std::string& path) : path_(path)
    {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0)
            throw FileError(path, std::string("cannot be opened: ") + std::strerror(errno));
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd_);
            throw FileError(path, "is not a regular file");
        }
        size_ = static_cast<std::uint64_t>(st.st_size);
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags >= 0)
            ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    }
    ~InputFile() { ::close(fd_); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::uint64_t size() const { return size_; }

    // Fills `buf` with up to `n` bytes; fewer only at the end of the file.
    std::size_t read(char* buf, std::size_t n)
    {
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::read(fd_, buf + got, n - got);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                throw FileError(path_, std::string("cannot be read: ") + std::strerror(errno));
            }
            if (r == 0)
                break;
            got += static_cast<std::size_t>(r);
        }
        return got;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

struct PrintableTable {
    std::array<bool, 256> flag{};
    constexpr PrintableTable()
    {
        for (int c = 32; c <= 126; ++c)
            flag[c] = true;
    }
};
constexpr PrintableTable kPrintable;

// What a text holds, gathered in one pass over its blocks: the facts that decide whether it can go
// as it is (body, plain-text attachment) or must be encoded.
struct TextScan {
    bool needsQP = false;       // a byte 0-9, 11, 12, 14-31 or 127-255
    bool byteFrom127 = false;
    bool byteFrom128 = false;
    bool nul = false;
    bool bareCR = false;        // a CR not followed by LF
    bool bareLF = false;        // an LF not preceded by CR
    bool boundaryLine = false;  // a line beginning with "--" + boundary
    bool endsWithLineBreak = true;
    std::size_t longestLine = 0;     // without its line end
    std::size_t longestWireLine = 0; // with the dot transparency adds

    void feed(const char* p, std::size_t n)
    {
        const std::string& delimiter = boundaryLine_;
        for (std::size_t i = 0; i < n; ++i) {
            // Printable ASCII in the middle of a line, past the boundary test, only counts.
            if (match_ < 0 && !prevCR_ && lineLength_ > 0 && kPrintable.flag[static_cast<unsigned char>(p[i])]) {
                std::size_t j = i + 1;
                while (j < n && kPrintable.flag[static_cast<unsigned char>(p[j])])
                    ++j;
                lineLength_ += j - i;
                endsWithLineBreak = false;
                i = j;
                if (i == n)
                    break;
            }
            const unsigned char c = static_cast<unsigned char>(p[i]);
            if (match_ >= 0) {
                if (c == static_cast<unsigned char>(delimiter[static_cast<std::size_t>(match_)])) {
                    if (static_cast<std::size_t>(++match_) == delimiter.size()) {
                        boundaryLine = true;
                        match_ = -1;
                    }
                } else {
                    match_ = -1;
                }
            }
            if (c == '\n') {
                if (!prevCR_)
                    bareLF = true;
                endLine(lineLength_ - (prevCR_ ? 1 : 0));
                prevCR_ = false;
                endsWithLineBreak = true;
                continue;
            }
            endsWithLineBreak = false;
            if (prevCR_)
                bareCR = true;
            prevCR_ = c == '\r';
            if (lineLength_ == 0 && c == '.')
                dotLine_ = true;
            ++lineLength_;
            if (c >= 127) {
                needsQP = byteFrom127 = true;
                if (c >= 128)
                    byteFrom128 = true;
            } else if (c < 32 && c != '\r') {
                needsQP = true;
                if (c == 0)
                    nul = true;
            }
        }
    }

    void finish()
    {
        if (prevCR_)
            bareCR = true;
        if (lineLength_ > 0)
            endLine(lineLength_);
    }

private:
    void endLine(std::size_t length)
    {
        if (length > longestLine)
            longestLine = length;
        const std::size_t wire = length + (dotLine_ ? 1 : 0);
        if (wire > longestWireLine)
            longestWireLine = wire;
        lineLength_ = 0;
        dotLine_ = false;
        match_ = 0;
    }

    std::string boundaryLine_ = delimiterLine();
    bool prevCR_ = false;
    bool dotLine_ = false;
    std::size_t lineLength_ = 0;
    int match_ = 0;
};

// True when a file can go as CR LF lines and come back the same apart from its line ends.
bool carriableAsLines(const TextScan& s)
{
    return !s.bareCR && !s.nul && s.longestLine <= kMaxCommandLine && s.endsWithLineBreak && !s.boundaryLine;
}

std::string fileNameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Raw fed text with every lone CR or LF made CR LF; `skipLF` carries a CR ending one string
// over to an LF beginning the next.
std::string withCrLfLineEnds(const std::string& data, bool& skipLF)
{
    std::string out;
    out.reserve(data.size() + 16);
    for (char c : data) {
        if (c == '\r') {
            out += "\r\n";
            skipLF = true;
        } else if (c == '\n') {
            if (!skipLF)
                out += "\r\n";
            skipLF = false;
        } else {
            out += c;
            skipLF = false;
        }
    }
    return out;
}

} // namespace

std::string attachmentProblem(const std::string& path)
{
    try {
        InputFile file(path);
    } catch (const FileError& e) {
        return std::string("Attachment ") + e.what();
    }
    return {};
}

std::string unreadableAttachment(const OutgoingMessage& message)
{
    for (const std::string& path : message.Attachments)
        if (std::string problem = attachmentProblem(path); !problem.empty())
            return problem;
    return {};
}

bool OutgoingMessage::AddAttachment(const TOutgoingAttachment& descriptor)
{
    if (Attachments.size() >= kAttachmentSlots || descriptor.Path.size() > kAttachmentPathRoom)
        return false;
    TOutgoingAttachment copy = descriptor;
    auto cut = [](std::string& s, std::size_t room) { s.resize(utf8CutPoint(s, room)); };
    cut(copy.Name, kAttachmentNameRoom);
    cut(copy.MimeType, kAttachmentMimeTypeRoom);
    cut(copy.Disposition, kAttachmentDispositionRoom);
    cut(copy.Description, kAttachmentDescriptionRoom);
    AttachmentSlots[Attachments.size()] = std::move(copy);
    Attachments.push_back(descriptor.Path);
    return true;
}

void OutgoingMessage::ClearAttachments()
{
    for (auto& slot : AttachmentSlots)
        slot.reset();
    Attachments.clear();
}

std::pair<std::string, std::string> SplitRecipient(std::string_view entry)
{
    const std::size_t bar = entry.find('|');
    if (bar == std::string_view::npos)
        return {std::string(entry), std::string()};
    const std::string_view name = entry.substr(bar + 1);
    return {std::string(entry.substr(0, bar)), cutUtf8(name, kMaxDisplayName)};
}

bool carriesCipherMarking(const std::vector<std::string>& headers)
{
    for (const std::string& h : headers) {
        if (h.size() < 10 || h.find("RC4 internal") == std::string::npos)
            continue;
        std::string name = h.substr(0, 10);
        for (char& c : name)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        if (name == "x-encoder:")
            return true;
    }
    return false;
}

bool isSafeAddress(std::string_view address)
{
    if (address.size() > kMaxAddressLength)
        return false;
    for (unsigned char c : address)
        if (c < 32 || c == 127 || c == '<' || c == '>')
            return false;
    return true;
}

bool isSafeRecipient(std::string_view entry)
{
    return isSafeAddress(SplitRecipient(entry).first);
}

// The DATA text as it goes to the sink: doubles a "." that begins a line (a line begins at the
// start and after every CR LF sent), and sends a line too long for SendLine whole as text.
class MessageWriter::Stream {
public:
    explicit Stream(MessageSink& sink) : sink_(sink) {}

    bool finished() const { return sink_.Finished(); }
    bool atLineStart() const { return lineStart_; }

    // One line without CR or LF; the line end is added.
    void line(std::string_view s)
    {
        if (lineStart_ && !s.empty() && s.front() == '.') {
            std::string stuffed;
            stuffed.reserve(s.size() + 1);
            stuffed += '.';
            stuffed += s;
            send(stuffed);
        } else {
            send(s);
        }
        lineStart_ = true;
        lastCR_ = false;
    }

    void text(std::string_view s) { bytes(s.data(), s.size(), true); }
    void data(const char* p, std::size_t n) { bytes(p, n, false); }
    void data(const std::string& s) { bytes(s.data(), s.size(), false); }

private:
    void send(std::string_view s)
    {
        if (s.size() <= kMaxCommandLine) {
            sink_.SendLine(s);
        } else {
            std::string whole(s);
            whole += "\r\n";
            sink_.SendText(whole);
        }
    }

    void put(const char* p, std::size_t n, bool asText)
    {
        if (n == 0)
            return;
        if (asText)
            sink_.SendText(std::string_view(p, n));
        else
            sink_.SendData(p, n);
    }

    void bytes(const char* p, std::size_t n, bool asText)
    {
        if (n == 0)
            return;
        if (lineStart_ && p[0] == '.')
            put(".", 1, asText);
        std::size_t start = 0;
        const char* end = p + n;
        for (const char* q = p; (q = static_cast<const char*>(std::memchr(q, '\n', static_cast<std::size_t>(end - q)))); ++q) {
            const std::size_t k = static_cast<std::size_t>(q - p);
            const bool afterCR = k > 0 ? p[k - 1] == '\r' : lastCR_;
            if (afterCR && k + 1 < n && p[k + 1] == '.') {
                put(p + start, k + 1 - start, asText);
                put(".", 1, asText);
                start = k + 1;
            }
        }
        put(p + start, n - start, asText);
        if (p[n - 1] == '\n') {
            lineStart_ = n >= 2 ? p[n - 2] == '\r' : lastCR_;
            lastCR_ = false;
        } else {
            lineStart_ = false;
            lastCR_ = p[n - 1] == '\r';
        }
    }

    MessageSink& sink_;
    bool lineStart_ = true;
    bool lastCR_ = false;
};

MessageWriter::MessageWriter(OutgoingMessage& message, MessageSink& sink) : message_(message), sink_(sink) {}

void MessageWriter::info(SendMailInfo code, std::size_t value)
{
    if (OnMailInfo)
        OnMailInfo(code, std::to_string(value));
}

void MessageWriter::info(SendMailInfo code, const std::string& text)
{
    if (OnMailInfo)
        OnMailInfo(code, text);
}

void MessageWriter::writeHeader(Stream& out, const std::string& folded)
{
    std::size_t start = 0;
    for (;;) {
        const std::size_t crlf = folded.find("\r\n", start);
        if (crlf == std::string::npos)
            break;
        out.line(std::string_view(folded).substr(start, crlf - start));
        start = crlf + 2;
    }
    out.line(std::string_view(folded).substr(start));
}

WriteResult MessageWriter::WriteMessage()
{
    Stream out(sink_);
    OutgoingMessage& m = message_;
    try {
        writeHeader(out, EncodeAddressLine("From: ", m.FROM_Name, m.FROM_Address));
        for (const std::string& entry : m.ListTo) {
            if (out.finished())
                break;
            const auto [address, name] = SplitRecipient(entry);
            writeHeader(out, name.empty() ? "To: " + withoutLineBreaks(address) + ";" : EncodeAddressLine("To: ", name, address));
        }
        for (const std::string& entry : m.Listcc) {
            if (out.finished())
                break;
            const auto [address, name] = SplitRecipient(entry);
            writeHeader(out, name.empty() ? "cc: " + withoutLineBreaks(address) : EncodeAddressLine("cc: ", name, address));
        }
        if (!m.Subject.empty())
            writeHeader(out, EncodeHeaderLine("Subject: " + m.Subject));
        out.line("Mime-Version: 1.0");

        const bool multipart = !m.Attachments.empty();
        // Text goes out as UTF-8, an old 8-bit line read as Windows-1252; cipher text is bytes
        // that only decipher as they are.
        const bool enciphered = carriesCipherMarking(m.Headers);
        std::string body;
        for (const std::string& l : m.MailText) {
            body += enciphered ? l : storedText(l);
            body += "\r\n";
        }
        TextScan scan;
        scan.feed(body.data(), body.size());
        scan.finish();
        bodyNeedsQP_ = scan.needsQP || scan.bareCR || scan.bareLF || scan.longestWireLine > kMaxDataLine ||
                       (multipart && scan.boundaryLine);
        // 8-bit cipher bytes are labelled with a charset that gives every byte a character of its
        // own, so whatever a receiver makes of them can be turned back into the bytes.
        charset_ = !scan.byteFrom128 ? "us-ascii" : enciphered ? "ISO-8859-1" : "UTF-8";
        if (multipart) {
            out.line("Content-Type: multipart/mixed; boundary=\"" + std::string(kBoundary) + "\"");
        } else {
            out.line("Content-Type: text/plain; charset=\"" + charset_ + "\"");
            if (bodyNeedsQP_)
                out.line("Content-Transfer-Encoding: quoted-printable");
        }
        for (const std::string& h : m.Headers) {
            // An empty line here would end the header block early.
            if (!h.empty())
                writeHeader(out, EncodeHeaderLine(h));
        }
        out.line("");

        // The text part: its header, fed data, then the body.
        QuotedPrintableEncoder qp;
        std::string encoded;
        const bool hasBody = !m.MailText.empty();
        bool textPart = multipart && hasBody;
        std::string firstFed;
        bool peeked = false;
        if (multipart && !hasBody && OnFeedData) {
            // Fed data without a body still needs the text part, or it would land in the preamble.
            OnFeedData(firstFed);
            peeked = true;
            textPart = !firstFed.empty();
        }
        if (textPart) {
            out.line(delimiterLine());
            out.line("Content-Type: text/plain; charset=\"" + charset_ + "\"");
            if (bodyNeedsQP_)
                out.line("Content-Transfer-Encoding: quoted-printable");
            out.line("");
        }
        bool fedAny = false;
        if (OnFeedData) {
            std::size_t fedTotal = 0;
            bool skipLF = false;
            while (!out.finished()) {
                std::string data;
                if (peeked) {
                    data = std::move(firstFed);
                    peeked = false;
                } else {
                    OnFeedData(data);
                }
                if (data.empty())
                    break;
                fedTotal += data.size();
                info(Info_BodyProgress, fedTotal);
                if (bodyNeedsQP_) {
                    encoded.clear();
                    qp.encode(data.data(), data.size(), encoded);
                    out.text(encoded);
                } else {
                    out.text(withCrLfLineEnds(data, skipLF));
                }
                fedAny = true;
            }
        }
        if (hasBody) {
            info(Info_BodySize, body.size());
            for (std::size_t off = 0; off < body.size(); off += kBodyChunk) {
                if (out.finished())
                    return {WriteResult::Stopped, {}};
                const std::size_t take = std::min(kBodyChunk, body.size() - off);
                if (bodyNeedsQP_) {
                    encoded.clear();
                    qp.encode(body.data() + off, take, encoded);
                    out.data(encoded);
                } else {
                    out.data(body.data() + off, take);
                }
                info(Info_BodyProgress, off + take);
            }
            out.line("");
        } else if (fedAny && !out.atLineStart()) {
            // The boundary or the final "." must begin a line of its own.
            out.line("");
        }

        if (multipart) {
            for (std::size_t i = 0; i < m.Attachments.size(); ++i) {
                if (out.finished())
                    break;
                if (i < kAttachmentSlots && m.AttachmentSlots[i]) {
                    writeAttachment(out, *m.AttachmentSlots[i]);
                } else {
                    TOutgoingAttachment bare;
                    bare.Path = m.Attachments[i];
                    bare.Encoding = kEncodingBase64;
                    bare.MimeType = kOctetStream;
                    bare.Disposition = kAttachmentDisposition;
                    writeAttachment(out, bare);
                }
            }
            if (!out.finished()) {
                out.line(delimiterLine() + "--");
                out.line("");
            }
        }
    } catch (const FileError& e) {
        return {WriteResult::Failed, e.what()};
    }
    if (out.finished())
        return {WriteResult::Stopped, {}};
    return {WriteResult::Written, {}};
}

void MessageWriter::writeAttachment(Stream& out, TOutgoingAttachment& d)
{
    int form = d.Encoding;
    if (form == kEncodingAutomatic || form == kEncodingPlainText) {
        TextScan scan;
        {
            InputFile probe(d.Path);
            std::string block(kReadBlock, '\0');
            for (;;) {
                const std::size_t n = probe.read(block.data(), block.size());
                scan.feed(block.data(), n);
                // One byte of 127 or more settles an automatic choice.
                if (n < block.size() || (form == kEncodingAutomatic && scan.byteFrom127))
                    break;
            }
            scan.finish();
        }
        const bool carriable = carriableAsLines(scan);
        if (form == kEncodingAutomatic)
            form = !scan.byteFrom127 && carriable ? kEncodingPlainText : kEncodingBase64;
        else if (!carriable)
            form = kEncodingBase64;
        d.Encoding = static_cast<std::uint8_t>(form);
    } else if (form > kEncodingUuencode) {
        form = kEncodingBase64;
    }
    if (d.MimeType.empty())
        d.MimeType = kOctetStream;
    if (d.Disposition.empty())
        d.Disposition = kAttachmentDisposition;

    info(Info_Attachment, d.Path);
    InputFile file(d.Path);
    const std::string fileName = fileNameOf(d.Path);
    const std::string name = d.Name.empty() ? fileName : d.Name;
    const std::string announced = form == kEncodingUuencode ? UueName(name) : name;

    // Names reach receivers as UTF-8 with their charset said (a file name's bytes are UTF-8 here;
    // the encoders read a name that is not by the storedText rule).
    const std::string& announcedName = announced;
    out.line(delimiterLine());
    if (form == kEncodingUuencode)
        writeHeader(out, EncodeNameParameterLine("Content-Type: application/octet-stream", announcedName));
    else
        writeHeader(out, EncodeNameParameterLine("Content-Type: " + d.MimeType, announcedName));
    if (form == kEncodingBase64)
        out.line("Content-Transfer-Encoding: base64");
    else if (form == kEncodingQuotedPrintable)
        out.line("Content-Transfer-Encoding: Quoted-Printable");
    if (!d.Disposition.empty())
        writeHeader(out, EncodeFileNameParameterLine("Content-Disposition: " + d.Disposition,
                                                     form == kEncodingUuencode ? announcedName : fileName));
    if (!d.Description.empty())
        writeHeader(out, EncodeUnstructuredLine("Content-Description: ", d.Description, ""));
    out.line("");

    std::string in;
    std::string encoded;
    switch (form) {
    case kEncodingBase64: {
        info(Info_AttachmentSize, static_cast<std::size_t>(file.size()));
        in.resize(kBase64Read);
        std::size_t done = 0;
        for (;;) {
            if (out.finished())
                return;
            const std::size_t n = file.read(in.data(), in.size());
            for (std::size_t off = 0; off < n; off += kBase64Block) {
                if (out.finished())
                    return;
                const std::size_t take = std::min(kBase64Block, n - off);
                encoded.clear();
                base64EncodeLines(reinterpret_cast<const unsigned char*>(in.data()) + off, take, encoded);
                out.data(encoded);
                for (std::size_t l = 0; l < take / kBase64LineBytes; ++l) {
                    done += kBase64LineBytes;
                    info(Info_AttachmentProgress, done);
                }
                done += take % kBase64LineBytes;
            }
            if (n < in.size())
                break;
        }
        break;
    }
    case kEncodingQuotedPrintable: {
        QuotedPrintableEncoder qp;
        in.resize(kReadBlock);
        for (;;) {
            if (out.finished())
                return;
            const std::size_t n = file.read(in.data(), in.size());
            encoded.clear();
            qp.encode(in.data(), n, encoded);
            out.data(encoded);
            if (n < in.size())
                break;
        }
        out.line("");
        break;
    }
    case kEncodingPlainText: {
        // The file was found fit to go as lines; a file that changed since is an error, not a
        // silently damaged part.
        const std::string delimiter = delimiterLine();
        in.resize(kReadBlock);
        std::string carry;
        for (;;) {
            if (out.finished())
                return;
            const std::size_t n = file.read(in.data(), in.size());
            encoded.clear();
            std::size_t start = 0;
            for (;;) {
                const void* lf = std::memchr(in.data() + start, '\n', n - start);
                if (!lf)
                    break;
                const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(lf) - in.data());
                std::string_view piece(in.data() + start, end - start);
                if (!carry.empty()) {
                    carry.append(piece);
                    piece = carry;
                }
                if (!piece.empty() && piece.back() == '\r')
                    piece.remove_suffix(1);
                if (piece.size() > kMaxCommandLine || piece.find('\r') != std::string_view::npos ||
                    piece.find('\0') != std::string_view::npos || piece.substr(0, delimiter.size()) == delimiter)
                    throw FileError(d.Path, kChangedWhileSent);
                encoded.append(piece);
                encoded += "\r\n";
                carry.clear();
                start = end + 1;
            }
            carry.append(in.data() + start, n - start);
            if (carry.size() > kMaxCommandLine + 1)
                throw FileError(d.Path, kChangedWhileSent);
            out.data(encoded);
            if (n < in.size())
                break;
        }
        if (!carry.empty())
            throw FileError(d.Path, kChangedWhileSent);
        // The line end before the next boundary belongs to the boundary: without this empty line
        // the file's last line break would be lost.
        out.line("");
        break;
    }
    case kEncodingUuencode: {
        out.line(std::string(61, '='));
        out.line("begin 666 " + storedText(withoutLineBreaks(name)));
        in.resize(kUuRead);
        for (;;) {
            if (out.finished())
                return;
            const std::size_t n = file.read(in.data(), in.size());
            for (std::size_t off = 0; off < n; off += kUuBlock) {
                if (out.finished())
                    return;
                encoded.clear();
                uuencodeBlock(reinterpret_cast<const unsigned char*>(in.data()) + off, std::min(kUuBlock, n - off), encoded);
                out.data(encoded);
            }
            if (n < in.size())
                break;
        }
        out.line("");
        out.line("end");
        break;
    }
    default:
        break;
    }
}

} // namespace tavik
