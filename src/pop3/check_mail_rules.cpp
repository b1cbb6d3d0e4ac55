#include "pop3/check_mail_rules.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "profile/file_util.h"
#include "profile/settings.h"

namespace tavik {

namespace {

std::string lowerAscii(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string trimmed(const std::string& s)
{
    std::size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t'))
        ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r'))
        --b;
    return s.substr(a, b - a);
}

// The header lines at the start of a message, continuation lines joined to their field.
std::vector<std::string> headerFields(const std::vector<std::string>& lines)
{
    std::vector<std::string> fields;
    for (const std::string& line : lines) {
        if (line.empty())
            break;
        if ((line[0] == ' ' || line[0] == '\t') && !fields.empty())
            fields.back() += " " + trimmed(line);
        else
            fields.push_back(line);
    }
    return fields;
}

} // namespace

std::vector<std::string> readUidlFile(const std::string& path)
{
    std::vector<std::string> lines;
    std::string bytes;
    try {
        bytes = readWholeFile(path, 64ull * 1024 * 1024);
    } catch (const FileError&) {
        return lines;
    }
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

void writeUidlFile(const std::string& path, const std::vector<std::string>& lines)
{
    std::string bytes;
    for (const std::string& line : lines) {
        // An identifier holding a line end would turn into two on reading.
        for (char c : line)
            bytes += (c == '\r' || c == '\n') ? ' ' : c;
        bytes += "\r\n";
    }
    writeFileAtomically(path, bytes);
}

std::vector<std::string> withIdentifiersAdded(const std::vector<std::string>& known,
                                              const std::vector<std::string>& added)
{
    std::vector<std::string> out;
    std::unordered_set<std::string> keys;
    for (const auto* list : {&known, &added}) {
        for (const std::string& id : *list) {
            if (keys.insert(lowerAscii(id)).second)
                out.push_back(id);
        }
    }
    return out;
}

// ---- filing journal ---------------------------------------------------------------------

void FilingFingerprint::mix(std::uint64_t word)
{
    hash_ = (hash_ ^ word) * 0x9E3779B97F4A7C15ull;
    hash_ ^= hash_ >> 29;
}

void FilingFingerprint::add(std::string_view bytes)
{
    length_ += bytes.size();
    std::size_t i = 0;
    while (i < bytes.size() && pendingSize_ > 0 && pendingSize_ < 8)
        pending_[pendingSize_++] = static_cast<unsigned char>(bytes[i++]);
    auto word = [](const unsigned char* p) {
        std::uint64_t w = 0;
        for (int b = 7; b >= 0; --b)
            w = (w << 8) | p[b];
        return w;
    };
    if (pendingSize_ == 8) {
        mix(word(pending_));
        pendingSize_ = 0;
    }
    for (; i + 8 <= bytes.size(); i += 8)
        mix(word(reinterpret_cast<const unsigned char*>(bytes.data() + i)));
    while (i < bytes.size())
        pending_[pendingSize_++] = static_cast<unsigned char>(bytes[i++]);
}

std::string FilingFingerprint::finish(std::int32_t attachStart, std::int32_t attachEnd)
{
    std::uint64_t tail = 0;
    for (std::size_t b = pendingSize_; b-- > 0;)
        tail = (tail << 8) | pending_[b];
    mix(tail);
    mix(length_);
    mix(static_cast<std::uint32_t>(attachStart));
    mix(static_cast<std::uint32_t>(attachEnd));
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash_));
    return hex;
}

std::string filingFingerprint(const std::vector<std::string>& lines, std::int32_t attachStart, std::int32_t attachEnd)
{
    FilingFingerprint f;
    for (const std::string& line : lines) {
        f.add(line);
        f.add("\r\n");
    }
    return f.finish(attachStart, attachEnd);
}

std::vector<FilingEntry> readFilingJournal(const std::string& path)
{
    std::vector<FilingEntry> entries;
    if (!fileExists(path))
        return entries;
    const std::string bytes = readWholeFile(path, 64ull * 1024 * 1024);
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t blank = line.find(' ');
        if (blank == 16 && blank + 1 < line.size())
            entries.push_back({line.substr(0, blank), line.substr(blank + 1)});
    }
    return entries;
}

void appendFilingEntry(const std::string& path, const FilingEntry& entry, bool durable)
{
    std::string line = entry.fingerprint + " ";
    for (char c : entry.key)
        line += (c == '\r' || c == '\n') ? ' ' : c;
    appendToFile(path, line + "\r\n");
    if (durable) {
        RandomAccessFile(path, RandomAccessFile::Mode::ReadWrite).sync();
        syncDirectory(path.substr(0, path.find_last_of('/') + 1));
    }
}

// ---- TUIDLManager -----------------------------------------------------------------------

std::string TUIDLManager::key(const std::string& uid)
{
    return lowerAscii(uid);
}

TUIDLManager::TUIDLManager(std::string fileName)
    : fileName_(std::move(fileName))
{
    knownLines_ = readUidlFile(fileName_);
    for (const std::string& line : knownLines_)
        known_.insert(key(line));
}

TUIDLManager::~TUIDLManager()
{
    try {
        Release();
    } catch (const FileError&) {
        // The owner calls Release itself to hear about a failure.
    }
}

bool TUIDLManager::IsNew(const std::string& uid) const
{
    return known_.find(key(uid)) == known_.end();
}

void TUIDLManager::MarkSeen(const std::string& uid)
{
    if (seenKeys_.insert(key(uid)).second)
        seen_.push_back(uid);
}

bool TUIDLManager::Check(const std::string& uid)
{
    MarkSeen(uid);
    return IsNew(uid);
}

void TUIDLManager::Release()
{
    if (released_)
        return;
    released_ = true;
    if (!discard_)
        writeUidlFile(fileName_, seen_);
}

void TUIDLManager::ReleaseIncomplete()
{
    if (released_)
        return;
    released_ = true;
    std::vector<std::string> lines = withIdentifiersAdded(knownLines_, seen_);
    if (!discard_ && lines.size() != knownLines_.size())
        writeUidlFile(fileName_, lines);
}

// ---- message rules ----------------------------------------------------------------------

std::string headerField(const std::vector<std::string>& lines, const std::string& name)
{
    const std::string prefix = lowerAscii(name) + ":";
    for (const std::string& field : headerFields(lines)) {
        if (field.size() >= prefix.size() && lowerAscii(field.substr(0, prefix.size())) == prefix)
            return trimmed(field.substr(prefix.size()));
    }
    return std::string();
}

std::string previewKey(const std::vector<std::string>& headerLines)
{
    std::string uid = headerField(headerLines, "X-UIDL");
    if (!uid.empty())
        return uid;
    uid = headerField(headerLines, "Message-ID");
    if (!uid.empty())
        return uid;
    // FNV-1a over the header lines: stable from check to check for the same message.
    std::uint64_t h = 1469598103934665603ull;
    for (const std::string& line : headerLines) {
        if (line.empty())
            break;
        for (unsigned char c : line) {
            h ^= c;
            h *= 1099511628211ull;
        }
        h ^= '\n';
        h *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return std::string("hdr-") + hex;
}

bool findReceiptRequest(const std::vector<std::string>& lines, std::string& address)
{
    for (const char* name : {"Disposition-Notification-To", "Return-Receipt-To"}) {
        const std::string value = headerField(lines, name);
        if (value.empty())
            continue;
        std::string addr, display;
        SplitAddress(value, addr, display);
        address = trimmed(addr.empty() ? value : addr);
        return true;
    }
    return false;
}

bool isConfirmation(const std::string& subject, const std::vector<std::string>& lines)
{
    if (subject.compare(0, std::char_traits<char>::length(kConfirmationSubjectPrefix), kConfirmationSubjectPrefix) == 0)
        return true;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty())
            return i + 1 < lines.size() && lines[i + 1] == kConfirmationLine;
    }
    return false;
}

std::vector<std::string> buildConfirmation(const std::string& name, const std::string& retAddr,
                                           const std::string& to, const std::string& date,
                                           const std::string& subject, const std::vector<std::string>& received)
{
    std::vector<std::string> text;
    text.reserve(received.size() + 8);
    text.push_back("From: " + name + " <" + retAddr + ">");
    text.push_back("To: " + to);
    text.push_back("Date: " + date);
    text.push_back(std::string("Subject: ") + kConfirmationSubjectPrefix + subject);
    text.push_back(std::string("X-Mailer: ") + MailerName);
    text.emplace_back();
    text.emplace_back(kConfirmationLine);
    text.insert(text.end(), received.begin(), received.end());
    return text;
}

std::string DateText(std::time_t when)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm t {};
    localtime_r(&when, &t);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %d %s %04d %02d:%02d:%02d", days[t.tm_wday % 7], t.tm_mday,
                  months[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return buffer;
}

bool checkMailErrorBox(int code, std::string& title, std::string& text, const std::string& step)
{
    const std::string where = step.empty() ? "." : " while " + step + ".";
    switch (code) {
    case 21:
        title = "Secure Connection Error";
        text = "The mail server does not offer STLS, so no secure connection could be made and your password was "
               "not sent. Choose \"SSL/TLS\" (usually port 995) or ask your provider which security it uses.";
        return true;
    case 30:
    case 31:
    case 36:
        title = "Secure Connection Error";
        text = "No secure connection could be made with the mail server (TLS 1.2 or later). Check the security "
               "setting and the port of your POP3 server.";
        return true;
    case 32:
        title = "Secure Connection Error";
        text = "The mail server answered in plain text where TLS was expected: this port does not speak SSL/TLS. "
               "Choose \"STARTTLS\" or use the server's SSL/TLS port (usually 995).";
        return true;
    case 33:
        title = "Certificate Error";
        text = "The mail server's certificate is not trusted, so the connection was closed before your password "
               "was sent.";
        return true;
    case 34:
        title = "Secure Connection Error";
        text = "Unexpected text arrived before the secure connection began; someone may be tampering with the "
               "connection. Nothing was sent.";
        return true;
    case 35:
        title = "Certificate Error";
        text = "The mail server shows a different certificate from the one you accepted before. The connection "
               "was closed before your password was sent.";
        return true;
    case 6:
        title = "Connection Closed Error";
        text = "The connection to the mail server broke off" + where;
        return true;
    case 7:
        title = "Connection Closed Error";
        text = "The mail server reset the connection" + where;
        return true;
    case 17:
        title = "Connection Closed Error";
        text = "The mail server closed the connection" + where;
        return true;
    case 1:
        title = "Winsock Error";
        text = "The winsock interface could not be initialized. Make sure that winsock is installed on your system.";
        return true;
    case 2:
    case 10:
    case 11:
    case 18:
        title = "Network Down Error";
        text = "The network is down. Make sure that you have established a connection to the network.";
        return true;
    case 3:
    case 16:
        title = "Name Resolution Error";
        text = "VoskMail could not find your POP3 mail server. Check that you are connected to your service "
               "provider and that your setup information is correct.";
        return true;
    case 4:
    case 5:
    case 15:
        title = "Unexpected Error";
        text = "An unexpected error occured";
        return true;
    case 8:
        title = "Connect Timeout Error";
        text = "The connection attempt to the server timed out.";
        return true;
    case 9:
        title = "Out of Sockets Error";
        text = "The winsock is out of sockets. Close a winsock application before trying again.";
        return true;
    case 12:
        title = "Connection Rejected Error";
        text = "The mail server refused the connection. Make sure that you have entered the correct value in "
               "setup for your POP3 server.";
        return true;
    case 13:
        title = "Unexpected Response Error";
        text = "An unexpected response was received from the mail server. Make sure that you have entered the "
               "correct value in setup for your POP3 port.";
        return true;
    case 19:
        title = "Access Denied Error";
        text = "The server rejected the login either because the user ID or password you specified is incorrect, "
               "or your account is being accessed by another program.";
        return true;
    default:
        return false;
    }
}

long long serverNumber(const std::string& text)
{
    if (text.empty() || text.size() > 18)
        return -1;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string newMailSummary(int count)
{
    return std::to_string(count) + (count == 1 ? " new message" : " new messages");
}

std::string newMailSubjectLines(const std::vector<std::string>& subjects)
{
    std::string lines;
    const std::size_t shown = std::min(subjects.size(), static_cast<std::size_t>(kNotifiedSubjects));
    for (std::size_t i = 0; i < shown; ++i) {
        const std::string& subject = subjects[i];
        std::string line;
        // Cut between characters: a continuation byte never starts one.
        std::size_t characters = 0, at = 0;
        for (; at < subject.size(); ++at) {
            const auto c = static_cast<unsigned char>(subject[at]);
            if ((c & 0xC0) != 0x80 && characters++ == kNotifiedSubjectLength)
                break;
        }
        line = subject.substr(0, at);
        for (char& c : line)
            if (c == '\r' || c == '\n' || c == '\t')
                c = ' ';
        if (at < subject.size())
            line += "...";
        if (line.empty())
            line = "(no subject)";
        if (!lines.empty())
            lines += '\n';
        lines += line;
    }
    return lines;
}

std::string newMailStatusText(int count, const std::string& mailboxName)
{
    return newMailSummary(count) + " in " + mailboxName;
}

std::string checkFailedText(const std::string& title, const std::string& text)
{
    std::string line = kCheckFailedSummary;
    if (!title.empty())
        line += " (" + title + ")";
    line += ": ";
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        line += text[i] == '\r' || text[i] == '\n' ? ' ' : text[i];
    }
    return line;
}

} // namespace tavik
