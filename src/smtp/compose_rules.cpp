#include "smtp/compose_rules.h"

#include <algorithm>
#include <string_view>

#include "profile/file_util.h"
#include "smtp/rc4.h"
#include "store/folder_tree.h"
#include "store/mailbox_store.h"
#include "text/unicode_text.h"

namespace tavik {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(const std::string& text)
{
    std::size_t b = 0, e = text.size();
    while (b < e && isBlank(text[b]))
        ++b;
    while (e > b && isBlank(text[e - 1]))
        --e;
    return text.substr(b, e - b);
}

bool startsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The first `count` characters of a text (read by the storedText rule).
std::string firstCharacters(std::string_view text, std::size_t count)
{
    std::string utf8 = storedText(text);
    std::size_t starts = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i)
        if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80 && starts++ == count) {
            utf8.resize(i);
            break;
        }
    return utf8;
}

bool isSameDraft(const TNMailBox& store, const DraftOrigin& origin)
{
    return store.Msg_From == origin.from && store.Msg_Subject == origin.subject && store.Msg_Date == origin.date;
}

} // namespace

std::vector<std::string> fieldLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r')
            continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

std::vector<std::string> recipientLines(const std::string& text)
{
    std::vector<std::string> lines;
    for (auto& line : fieldLines(text))
        if (!trimmed(line).empty())
            lines.push_back(std::move(line));
    return lines;
}

std::string composedRecipientEntry(const std::string& typed)
{
    const std::string line = trimmed(typed);
    const std::size_t lt = line.find('<');
    if (lt == std::string::npos)
        return line + "|";
    std::string address = line.substr(lt + 1);
    if (!address.empty())
        address.pop_back();
    const std::size_t named = line.find(" <");
    const std::string name = named == std::string::npos ? std::string() : line.substr(0, named);
    return address + "|" + name;
}

std::vector<std::string> wireHeaders(const ProfileSettings& settings, const ComposedMessage& message)
{
    std::vector<std::string> headers;
    if (!settings.ReplyTo.empty())
        headers.push_back("Reply-To: " + settings.ReplyTo);
    for (auto& line : priorityHeaders(message.Priority))
        headers.push_back(std::move(line));
    if (message.Receipt)
        headers.push_back("Return-receipt-to: " + settings.RetAddr);
    if (message.Encrypt)
        headers.push_back(kEncoderMarking);
    headers.push_back(std::string("X-Mailer: ") + MailerName);
    return headers;
}

OutgoingMessage composeOutgoing(const ProfileSettings& settings, const ComposedMessage& message,
                                const std::vector<std::string>& signature)
{
    OutgoingMessage out;
    out.FROM_Address = settings.RetAddr;
    out.FROM_Name = settings.Name;
    out.Headers = wireHeaders(settings, message);
    // The stored copy carries the same Date and Message-ID: stampOrigin gave them before.
    if (message.Time != 0) {
        std::vector<std::string> origin = originHeaders(message);
        out.Headers.insert(out.Headers.begin(), origin.begin(), origin.end());
    }
    for (const auto& line : message.ToLines)
        out.ListTo.push_back(composedRecipientEntry(line));
    for (const auto& line : message.ccLines)
        out.Listcc.push_back(composedRecipientEntry(line));
    for (const auto& line : message.BccLines)
        out.ListBcc.push_back(composedRecipientEntry(line));
    out.Subject = message.Subject;
    out.MailText = message.Body;
    out.ClearAttachments();
    for (const auto& a : message.Attachments)
        if (!out.AddAttachment(a))
            throw FileError(a.Path, "cannot be carried by the message (too many attachments, or a path longer than " +
                                        std::to_string(kAttachmentPathRoom) + " bytes)");
    out.MailText.insert(out.MailText.end(), signature.begin(), signature.end());
    if (message.Encrypt)
        for (auto& line : out.MailText)
            line = EncipherLine(line, message.Password);
    return out;
}

std::string firstRecipientEntry(const ComposedMessage& message)
{
    for (const auto* lines : {&message.ToLines, &message.ccLines, &message.BccLines})
        if (!lines->empty())
            return composedRecipientEntry(lines->front());
    return {};
}

std::string sentCopyFrom(const ComposedMessage& message)
{
    const auto [address, name] = SplitRecipient(firstRecipientEntry(message));
    return name + " <" + address + ">";
}

std::string firstRecipientLine(const ComposedMessage& message)
{
    for (const auto* lines : {&message.ToLines, &message.ccLines, &message.BccLines})
        if (!lines->empty())
            return lines->front();
    return {};
}

std::string cannotBeSentText(const std::string& subject, const std::string& address)
{
    return "Message \"" + subject + "\" for " + address + " cannot be sent.\r\nIt will be stored in the \"To Send\" folder.";
}

std::string discardQuestion(const std::string& subject)
{
    return "Subject: " + (subject.empty() ? std::string("Unknown") : subject) +
           "\r\nAre you sure you want to discard this message?";
}

std::vector<std::string> addressBookSendList(const ComposedMessage& message)
{
    std::vector<std::string> list;
    for (const auto& line : message.ToLines)
        list.push_back("To: " + line);
    for (const auto& line : message.ccLines)
        list.push_back("cc: " + line);
    for (const auto& line : message.BccLines)
        list.push_back("Bcc: " + line);
    return list;
}

void sortBackSendList(const std::vector<std::string>& entries, std::vector<std::string>& to,
                      std::vector<std::string>& cc, std::vector<std::string>& bcc)
{
    to.clear();
    cc.clear();
    bcc.clear();
    const auto rest = [](const std::string& entry, std::size_t at, std::size_t prefix) {
        return firstCharacters(std::string_view(entry).substr(at + prefix), kMaxReturnedRecipient);
    };
    for (const auto& entry : entries) {
        if (const std::size_t at = entry.find("To: "); at != std::string::npos)
            to.push_back(rest(entry, at, 4));
        else if (entry.rfind("cc: ", 0) == 0)
            cc.push_back(rest(entry, 0, 4));
        else if (const std::size_t b = entry.find("Bcc: "); b != std::string::npos)
            bcc.push_back(rest(entry, b, 5));
    }
}

int draftsTarget(const MailboxList& mailboxes, const std::string& draftsName)
{
    int target = 0;
    for (std::size_t i = 0; i < mailboxes.size(); ++i)
        if (mailboxDisplayName(mailboxes[i]) == draftsName)
            target = static_cast<int>(i) + 1;
    return target != 0 ? target : kDraftsMailbox;
}

ComposedMessage reopenedDraft(const std::vector<std::string>& storedText, const std::vector<std::string>& signature)
{
    ComposedMessage m;
    m.Priority = 1;
    std::size_t i = 0;
    bool subjectSeen = false;
    for (; i < storedText.size() && !storedText[i].empty(); ++i) {
        const std::string& line = storedText[i];
        // The prefixes BuildStoredCopy writes, with their letter case.
        if (startsWith(line, "To: "))
            m.ToLines.push_back(line.substr(4));
        else if (startsWith(line, "cc: "))
            m.ccLines.push_back(line.substr(4));
        else if (startsWith(line, "Bcc: "))
            m.BccLines.push_back(line.substr(5));
        else if (startsWith(line, "Subject: ") && !subjectSeen) {
            m.Subject = line.substr(9);
            subjectSeen = true;
        } else if (startsWith(line, "X-Priority: ")) {
            const std::string value = trimmed(line.substr(12));
            m.Priority = value == "1" ? 0 : value == "5" ? 2 : 1;
        } else if (startsWith(line, "Return-receipt-to: "))
            m.Receipt = true;
        else if (startsWith(line, std::string(kEncoderMarking) + " ")) {
            m.Encrypt = true;
            m.Password = line.substr(std::string_view(kEncoderMarking).size() + 1);
        }
    }
    if (i < storedText.size())
        m.Body.assign(storedText.begin() + static_cast<std::ptrdiff_t>(i) + 1, storedText.end());
    if (m.Encrypt)
        for (std::string& line : m.Body)
            line = EncipherLine(line, m.Password);
    if (!signature.empty() && signature.size() <= m.Body.size() &&
        std::equal(signature.begin(), signature.end(), m.Body.end() - static_cast<std::ptrdiff_t>(signature.size())))
        m.Body.resize(m.Body.size() - signature.size());
    return m;
}

bool removeReopenedDraft(TNMailBox& store, const DraftOrigin& origin)
{
    store.SetCurrentMailBoxNumber(origin.mailbox);
    auto holds = [&](int n) {
        store.SetMsg_Number(n);
        if (store.Msg_Number() != n || !isSameDraft(store, origin))
            return false;
        store.LoadMessageText();
        return store.Msg_Text == origin.text;
    };
    int found = origin.message >= 1 && origin.message <= store.CurrentMailBoxMessages() && holds(origin.message)
                    ? origin.message
                    : 0;
    for (int n = 1; found == 0 && n <= store.CurrentMailBoxMessages(); ++n)
        if (n != origin.message && holds(n))
            found = n;
    if (found == 0)
        return false;
    store.DeleteMessage();
    return true;
}

std::string cipherWarning(const std::vector<std::string>& lines, const std::string& password)
{
    std::string numbers;
    int count = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (cipherLineRisk(lines[i], password) == CipherLineRisk::None)
            continue;
        if (++count <= 10)
            numbers += (numbers.empty() ? "" : ", ") + std::to_string(i + 1);
    }
    if (count == 0)
        return {};
    if (count > 10)
        numbers += " and " + std::to_string(count - 10) + " more";
    return std::string(count == 1 ? "Line " : "Lines ") + numbers +
           " of the message cannot be enciphered with this password so that "
           "they decipher again: they would arrive unreadable. Another password, or a small change to " +
           (count == 1 ? "that line" : "those lines") + ", avoids it.";
}

} // namespace tavik
