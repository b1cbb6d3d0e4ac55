#include "smtp/stored_copy.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <random>
#include <stdexcept>
#include <sys/stat.h>

#include "pop3/attachment_store.h"
#include "pop3/check_mail_rules.h"
#include "profile/file_util.h"
#include "smtp/rc4.h"
#include "store/mailbox_store.h"
#include "text/unicode_text.h"

namespace tavik {

namespace {

bool startsWith(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

bool contains(const std::string& s, const char* part)
{
    return s.find(part) != std::string::npos;
}

bool startsWithIgnoringCase(const std::string& s, const char* prefix)
{
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= s.size())
            return false;
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(s[i]) != lower(prefix[i]))
            return false;
    }
    return true;
}

// The lines of a signature file as stored text: CR LF or LF ends, the last line without an end
// counts; a file the 8-bit program wrote is read as Windows-1252, line by line.
std::vector<std::string> fileLines(const std::string& path)
{
    // A signature is a few lines; a huge file is no signature and must not fill the memory.
    constexpr std::uint64_t kMaxSignatureBytes = 1024 * 1024;
    const std::string bytes = readWholeFile(path, kMaxSignatureBytes);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        std::size_t end = lf == std::string::npos ? bytes.size() : lf;
        std::size_t cut = end > start && bytes[end - 1] == '\r' ? end - 1 : end;
        lines.push_back(storedText(std::string_view(bytes).substr(start, cut - start)));
        if (lf == std::string::npos)
            break;
        start = lf + 1;
    }
    return lines;
}

std::string trimmedBlanks(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

} // namespace

std::vector<std::string> priorityHeaders(int priority)
{
    switch (priority) {
    case 0: return {"X-Priority: 1", "X-MSMail-Priority: High"};
    case 1: return {"X-Priority: 3", "X-MSMail-Priority: Normal"};
    case 2: return {"X-Priority: 5", "X-MSMail-Priority: Low"};
    default: return {};
    }
}

std::vector<std::string> BuildStoredCopy(const ProfileSettings& settings, const ComposedMessage& message,
                                         const std::string& date)
{
    std::vector<std::string> text;
    text.reserve(16 + message.Body.size());
    text.push_back("From: " + settings.Name + " <" + settings.RetAddr + ">");
    if (!settings.ReplyTo.empty())
        text.push_back("Reply-To: " + settings.ReplyTo);
    for (const auto& line : message.ToLines)
        text.push_back("To: " + line);
    for (const auto& line : message.ccLines)
        text.push_back("cc: " + line);
    for (const auto& line : message.BccLines)
        text.push_back("Bcc: " + line);
    text.push_back("Date: " + date);
    if (!message.MessageId.empty())
        text.push_back("Message-ID: " + message.MessageId);
    if (!message.InReplyTo.empty())
        text.push_back("In-Reply-To: " + message.InReplyTo);
    if (!message.References.empty())
        text.push_back("References: " + message.References);
    if (!message.Subject.empty())
        text.push_back("Subject: " + message.Subject);
    for (auto& line : priorityHeaders(message.Priority))
        text.push_back(std::move(line));
    if (message.Receipt)
        text.push_back("Return-receipt-to: " + settings.RetAddr);
    if (message.Encrypt)
        text.push_back(std::string(kEncoderMarking) + " " + message.Password);
    text.push_back(RC4SelfTest() ? "X-Encoder-Verify: True" : "X-Encoder-Verify: False");
    text.push_back(std::string("X-Mailer: ") + MailerName);
    text.emplace_back();
    for (const auto& line : message.Body)
        text.push_back(message.Encrypt ? EncipherLine(line, message.Password) : line);
    return text;
}

std::string rfc5322Date(std::time_t when)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm t{};
    localtime_r(&when, &t);
    const long offset = t.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", days[t.tm_wday % 7], t.tm_mday,
                  months[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec, offset < 0 ? '-' : '+',
                  magnitude / 60, magnitude % 60);
    return buffer;
}

std::string newMessageId(const std::string& returnAddress)
{
    std::string domain = returnAddress.substr(returnAddress.rfind('@') + 1);
    if (returnAddress.find('@') == std::string::npos || domain.empty() || domain.size() > 200 ||
        domain.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") !=
            std::string::npos)
        domain = "localhost";
    static std::mt19937_64 generator(std::random_device{}());
    char unique[64];
    std::snprintf(unique, sizeof unique, "%llx.%016llx", static_cast<unsigned long long>(std::time(nullptr)),
                  static_cast<unsigned long long>(generator()));
    return std::string("<tavik.") + unique + "@" + domain + ">";
}

void stampOrigin(ComposedMessage& message, const ProfileSettings& settings, std::time_t now)
{
    if (message.Time == 0)
        message.Time = now;
    if (message.MessageId.empty())
        message.MessageId = newMessageId(settings.RetAddr);
}

std::vector<std::string> originHeaders(const ComposedMessage& message)
{
    std::vector<std::string> lines{"Date: " + rfc5322Date(message.Time)};
    if (!message.MessageId.empty())
        lines.push_back("Message-ID: " + message.MessageId);
    if (!message.InReplyTo.empty())
        lines.push_back("In-Reply-To: " + message.InReplyTo);
    if (!message.References.empty())
        lines.push_back("References: " + message.References);
    return lines;
}

namespace {

// A date value that ends in a zone: a number ("+0200") or one of RFC 5322's obsolete names.
bool endsWithZone(const std::string& value)
{
    std::string v = trimmedBlanks(value);
    const std::string zone = v.substr(v.find_last_of(' ') == std::string::npos ? 0 : v.find_last_of(' ') + 1);
    if (zone.size() == 5 && (zone[0] == '+' || zone[0] == '-'))
        return zone.find_first_not_of("0123456789", 1) == std::string::npos;
    for (const char* name : {"UT", "GMT", "EST", "EDT", "CST", "CDT", "MST", "MDT", "PST", "PDT", "Z"})
        if (zone == name)
            return true;
    return false;
}

} // namespace

bool completeOriginHeaders(std::vector<std::string>& text, std::time_t now, const std::string& returnAddress)
{
    const auto blank = std::find(text.begin(), text.end(), std::string());
    bool changed = false, haveDate = false, haveId = false;
    for (auto it = text.begin(); it != blank; ++it) {
        if (startsWithIgnoringCase(*it, "Date:")) {
            haveDate = true;
            if (!endsWithZone(it->substr(5))) {
                *it = "Date: " + rfc5322Date(now);
                changed = true;
            }
        } else if (startsWithIgnoringCase(*it, "Message-ID:")) {
            haveId = true;
        }
    }
    std::vector<std::string> added;
    if (!haveDate)
        added.push_back("Date: " + rfc5322Date(now));
    if (!haveId)
        added.push_back("Message-ID: " + newMessageId(returnAddress));
    if (!added.empty()) {
        text.insert(blank, added.begin(), added.end());
        changed = true;
    }
    return changed;
}

std::vector<std::string> LoadSignature(const std::string& profileDirectory, ProfileSettings& settings)
{
    if (!settings.UseSignature)
        return {};
    std::vector<std::string> lines;
    try {
        lines = fileLines(profileDirectory + "signatur.def");
    } catch (const FileError&) {
        lines.clear();
    }
    if (lines.empty()) {
        settings.UseSignature = false;
        return {};
    }
    lines.insert(lines.begin(), " ");
    return lines;
}

std::vector<std::string> signatureBlock(const std::vector<std::string>& lines, std::size_t r)
{
    if (lines.empty())
        return {};
    r = std::min(r, lines.size() - 1);
    std::size_t k = r;
    while (k > 0 && !lines[k].empty())
        --k;
    const std::size_t begin = k > 0 ? k + 1 : 0;
    if (begin >= lines.size())
        return {};
    std::vector<std::string> block{lines[begin]};
    for (std::size_t i = begin + 1; i < lines.size() && !lines[i].empty(); ++i)
        block.push_back(lines[i]);
    return block;
}

std::vector<std::string> RandomSignature(ProfileSettings& settings,
                                         const std::function<std::size_t(std::size_t)>& pick)
{
    if (!settings.PluggInSig)
        return {};
    std::vector<std::string> lines;
    try {
        if (!settings.PluggInSigFile.empty())
            lines = fileLines(settings.PluggInSigFile);
    } catch (const FileError&) {
        lines.clear();
    }
    std::size_t last = lines.size();
    for (std::size_t i = lines.size(); i-- > 0;)
        if (lines[i].empty()) {
            last = i;
            break;
        }
    if (lines.empty() || last == lines.size()) {
        settings.PluggInSig = false;
        return {};
    }
    std::size_t r = 0;
    if (pick) {
        r = pick(last);
    } else {
        std::mt19937 generator(std::random_device{}());
        r = std::uniform_int_distribution<std::size_t>(0, last)(generator);
    }
    return signatureBlock(lines, std::min(r, last));
}

int FileStoredCopy(TNMailBox& store, TAttachmentManager& attachments, int target, const ProfileSettings& settings,
                   const ComposedMessage& message, const std::vector<std::string>& signature,
                   const std::string& msgFrom, std::time_t now)
{
    if (message.Attachments.size() > kMaxComposedAttachments)
        throw FileError(store.MailBoxDirectory(), "a message carries at most " +
                                                      std::to_string(kMaxComposedAttachments) + " attachments");
    // Every record is known to be writable before the first one is: a refused file must not
    // leave half a message's attachments registered.
    std::vector<TMIMEAttachment> records;
    for (const auto& a : message.Attachments) {
        if (a.Path.empty() || a.Path.size() > kLocationRoom)
            throw FileError(a.Path, a.Path.empty() ? "an attachment names no file"
                                                   : "is longer than the 255 bytes an attachment record can hold");
        struct stat st {};
        if (::stat(a.Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            throw FileError(a.Path, "is no file that can be attached");
        TMIMEAttachment r;
        r.FileName = a.Name;
        r.ContentType = cutUtf8(a.MimeType, kContentTypeRoom);
        r.Disposition = "attachment";
        r.Description = a.Description;
        r.Location = a.Path;
        r.Size = static_cast<std::int32_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), std::numeric_limits<std::int32_t>::max()));
        records.push_back(std::move(r));
    }

    store.SetCurrentMailBoxNumber(target);
    ComposedMessage stamped = message;
    stampOrigin(stamped, settings, now);
    std::vector<std::string> text = BuildStoredCopy(settings, stamped, rfc5322Date(stamped.Time));
    for (const auto& line : signature)
        text.push_back(message.Encrypt ? EncipherLine(line, message.Password) : line);
    for (const auto& line : text)
        if (line.find('\0') != std::string::npos)
            throw FileError(store.MailBoxDirectory() + store.CurrentMailBoxName() + ".mbx",
                            "cannot store a message whose text holds a NUL byte");

    int first = 0, last = 0;
    for (auto& r : records) {
        const int n = attachments.RegisterAttachment(r);
        if (first == 0)
            first = n;
        last = n;
    }
    store.Msg_Text = std::move(text);
    store.Msg_Subject = message.Subject;
    store.Msg_From = msgFrom;
    // The index shows whom the copy was for: the first recipient line as typed.
    store.Msg_To.clear();
    for (const auto* lines : {&message.ToLines, &message.ccLines, &message.BccLines})
        if (!lines->empty()) {
            store.Msg_To = lines->front();
            break;
        }
    // What was sent has been read by its writer: it must not count as unread in "Sent".
    store.Msg_Flag = target == kSentMailbox ? 'V' : 'U';
    store.Msg_Date = DateText(stamped.Time);
    store.Msg_Part = 0;
    store.Msg_AttachStart = first;
    store.Msg_AttachEnd = last;
    const int before = store.CurrentMailBoxMessages();
    store.AppendMessage();
    if (store.CurrentMailBoxMessages() != before + 1)
        throw FileError(store.MailBoxDirectory() + store.CurrentMailBoxName() + ".mbx",
                        "did not take the message \"" + message.Subject + "\"");
    return store.CurrentMailBoxMessages();
}

int SendLater(TNMailBox& store, TAttachmentManager& attachments, ProfileSettings& settings,
              const std::string& profileDirectory, const ComposedMessage& message, std::time_t now,
              const std::function<std::size_t(std::size_t)>& pick)
{
    std::vector<std::string> signature = LoadSignature(profileDirectory, settings);
    if (message.ToLines.empty() && message.ccLines.empty() && message.BccLines.empty())
        throw std::invalid_argument(kNoAddressText);
    for (auto& line : RandomSignature(settings, pick))
        signature.push_back(std::move(line));
    const std::string& from = !message.ToLines.empty() ? message.ToLines.front()
                              : !message.ccLines.empty() ? message.ccLines.front()
                                                         : message.BccLines.front();
    return FileStoredCopy(store, attachments, kToSendMailbox, settings, message, signature, from, now);
}

StoredHeaderUse classifyStoredHeader(const std::string& line, std::string& wire)
{
    if (startsWith(line, "To: "))
        return StoredHeaderUse::To;
    if (startsWith(line, "cc: "))
        return StoredHeaderUse::cc;
    if (startsWith(line, "Bcc: "))
        return StoredHeaderUse::Bcc;
    // SendMail writes From and Subject itself: a stored one passed on would go out twice,
    // whatever "X-" or "Date:" its value holds.
    if (startsWith(line, "From: ") || startsWith(line, "Subject: "))
        return StoredHeaderUse::Dropped;
    // The identity and threading of the message go out as they were stored.
    if (startsWithIgnoringCase(line, "Message-ID:") || startsWithIgnoringCase(line, "In-Reply-To:") ||
        startsWithIgnoringCase(line, "References:")) {
        wire = line;
        return StoredHeaderUse::Header;
    }
    if (contains(line, "Disposition-Notification-To:") || contains(line, "Reply-To:") ||
        contains(line, "Return-receipt-to:") || contains(line, "Date:") || contains(line, "X-")) {
        // The stored marking carries the password: it never leaves the machine.
        if (startsWithIgnoringCase(line, "X-Encoder:") && contains(line, "RC4 internal"))
            wire = kEncoderMarking;
        else
            wire = line;
        return StoredHeaderUse::Header;
    }
    return StoredHeaderUse::Dropped;
}

std::string recipientEntry(const std::string& addressLine)
{
    std::string address, name;
    SplitAddress(addressLine, address, name);
    address = trimmedBlanks(address);
    if (address.empty())
        return {};
    return address + "|" + name;
}

void ReadStoredCopy(const std::vector<std::string>& text, OutgoingMessage& message)
{
    message.ListTo.clear();
    message.Listcc.clear();
    message.ListBcc.clear();
    message.Headers.clear();
    message.MailText.clear();
    message.Subject.clear();
    auto blank = std::find(text.begin(), text.end(), std::string());
    for (auto it = text.begin(); it != blank; ++it) {
        const std::string& line = *it;
        if (startsWith(line, "Subject: ") && message.Subject.empty())
            message.Subject = line.substr(9);
        std::string wire;
        switch (classifyStoredHeader(line, wire)) {
        case StoredHeaderUse::To:
        case StoredHeaderUse::cc:
        case StoredHeaderUse::Bcc: {
            const std::size_t prefix = line[0] == 'B' ? 5 : 4;
            // A line naming no address would become an empty RCPT TO or stand in for the first
            // recipient and hide the others.
            std::string entry = recipientEntry(line.substr(prefix));
            if (entry.empty())
                break;
            auto& list = line[0] == 'T' ? message.ListTo : line[0] == 'c' ? message.Listcc : message.ListBcc;
            list.push_back(std::move(entry));
            break;
        }
        case StoredHeaderUse::Header:
            message.Headers.push_back(std::move(wire));
            break;
        case StoredHeaderUse::Dropped:
            break;
        }
    }
    if (blank != text.end())
        message.MailText.assign(blank + 1, text.end());
}

TOutgoingAttachment outgoingAttachment(const TMIMEAttachment& record)
{
    TOutgoingAttachment a;
    a.Name = record.FileName;
    a.MimeType = cutUtf8(record.ContentType, kContentTypeRoom);
    a.Disposition = "attachment";
    a.Description = record.Description;
    a.Path = record.Location;
    a.Encoding = kEncodingAutomatic;
    return a;
}

OutgoingMessage QueuedOutgoingMessage(const ProfileSettings& settings, const TNMailBox& store,
                                      TAttachmentManager& attachments)
{
    OutgoingMessage m;
    m.FROM_Address = settings.RetAddr;
    m.FROM_Name = settings.Name;
    ReadStoredCopy(store.Msg_Text, m);
    m.ClearAttachments();
    const std::int64_t start = store.Msg_AttachStart, end = store.Msg_AttachEnd;
    if (start > 0) {
        if (end < start || end - start >= static_cast<std::int64_t>(kAttachmentSlots))
            throw FileError(attachments.IndexPath(), "names attachments " + std::to_string(start) + " to " +
                                                         std::to_string(end) + " for the message \"" + m.Subject +
                                                         "\", which no message can carry");
        for (std::int64_t n = start; n <= end; ++n) {
            const TMIMEAttachment record = attachments.GetAttachment(static_cast<std::int32_t>(n));
            if (record.Location.empty())
                throw FileError(attachments.IndexPath(), "attachment " + std::to_string(n) + " of the message \"" +
                                                             m.Subject + "\" names no file");
            if (!m.AddAttachment(outgoingAttachment(record)))
                throw FileError(record.Location, "cannot be attached to the message \"" + m.Subject + "\"");
        }
    }
    return m;
}

} // namespace tavik
