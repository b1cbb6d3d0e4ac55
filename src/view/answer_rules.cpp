#include "view/answer_rules.h"

#include <algorithm>

#include "pop3/attachment_store.h"
#include "pop3/mime_decoders.h"
#include "profile/settings.h"
#include "smtp/stored_copy.h"

namespace tavik {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimmedBlanks(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool startsWithIgnoringCase(const std::string& s, std::string_view prefix)
{
    return s.size() >= prefix.size() && asciiLower(std::string_view(s).substr(0, prefix.size())) == prefix;
}

// Lines before the first empty line; all of them when there is none.
std::size_t headerLineCount(const std::vector<std::string>& text)
{
    std::size_t n = 0;
    while (n < text.size() && !text[n].empty())
        ++n;
    return n;
}

// The stored encoder marking carries the password the message was enciphered with; a copy
// that may be sent on must not.
std::string withoutPassword(const std::string& headerLine)
{
    if (startsWithIgnoringCase(headerLine, "x-encoder:") && headerLine.find("RC4 internal") != std::string::npos)
        return kEncoderMarking;
    return headerLine;
}

} // namespace

std::optional<AnswerMode> answerModeOf(const std::string& mode)
{
    const std::string m = asciiLower(mode);
    if (m == "reply")
        return AnswerMode::Reply;
    if (m == "edit")
        return AnswerMode::Edit;
    if (m == "forward")
        return AnswerMode::Forward;
    if (m == "replyall")
        return AnswerMode::ReplyAll;
    return std::nullopt;
}

namespace {

// The unfolded values of every header field named `lowerName`, in order. The stored lines are
// already decoded; only the folding is undone here.
std::vector<std::string> headerValues(const std::vector<std::string>& text, std::string_view lowerName)
{
    const std::size_t headers = headerLineCount(text);
    std::vector<std::string> values;
    for (std::size_t i = 0; i < headers; ++i) {
        std::string_view name, value;
        if (isBlank(text[i][0]) || !splitHeaderField(text[i], name, value) || asciiLower(name) != lowerName)
            continue;
        std::string field(value);
        while (i + 1 < headers && isBlank(text[i + 1][0]))
            field += text[++i];
        values.push_back(std::move(field));
    }
    return values;
}

// The whole value of the last header field `lowerName` (folded lines joined), or `fallback` (the
// index's cut copy) when there is none or it is empty; on one line either way.
std::string wholeHeaderField(const std::vector<std::string>& text, std::string_view lowerName,
                             const std::string& fallback)
{
    const std::vector<std::string> values = headerValues(text, lowerName);
    const std::string last = values.empty() ? std::string() : trimmedBlanks(values.back());
    std::string chosen = !last.empty() ? last : fallback;
    // The value becomes one line of a field: a line break in a damaged index or header would
    // add a recipient (or a header line) of its own.
    for (char& c : chosen)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return chosen;
}

} // namespace

std::string answerSender(const std::vector<std::string>& text, const std::string& from)
{
    return wholeHeaderField(text, "from", from);
}

std::string answerSubject(const std::vector<std::string>& text, const std::string& subject)
{
    return wholeHeaderField(text, "subject", subject);
}

namespace {

// The unfolded value of the first header field named `lowerName`; empty without one.
std::string headerValue(const std::vector<std::string>& text, std::string_view lowerName)
{
    std::vector<std::string> values = headerValues(text, lowerName);
    return values.empty() ? std::string() : std::move(values.front());
}

// The message identifiers "<...>" in a field's value, in order; anything else is left out, so
// nothing a sender wrote around them reaches our header lines.
std::vector<std::string> messageIds(const std::string& value)
{
    constexpr std::size_t kMaxId = 250;
    std::vector<std::string> ids;
    for (std::size_t from = 0, close; (close = value.find('>', from)) != std::string::npos; from = close + 1) {
        const std::size_t open = value.rfind('<', close);
        if (open == std::string::npos || open < from)
            continue;
        const std::string inner = value.substr(open + 1, close - open - 1);
        bool plain = !inner.empty() && inner.size() <= kMaxId && inner.find('@') != std::string::npos;
        for (unsigned char c : inner)
            plain = plain && c > 32 && c < 127;
        if (plain)
            ids.push_back("<" + inner + ">");
    }
    return ids;
}

} // namespace

std::vector<std::string> addressListEntries(const std::string& value)
{
    std::vector<std::string> entries;
    std::string current;
    bool quoted = false;
    int angle = 0, comment = 0;
    auto flush = [&] {
        std::string entry = trimmedBlanks(current);
        if (!entry.empty())
            entries.push_back(std::move(entry));
        current.clear();
    };
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quoted) {
            if (c == '\\' && i + 1 < value.size())
                current += value[i++];
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '<') {
            ++angle;
        } else if (c == '>' && angle > 0) {
            --angle;
        } else if (c == '(') {
            ++comment;
        } else if (c == ')' && comment > 0) {
            --comment;
        } else if (c == ',' && angle == 0 && comment == 0) {
            flush();
            continue;
        }
        current += c;
    }
    flush();
    return entries;
}

std::string attributionLine(const std::string& date, const std::string& sender)
{
    std::string address, name;
    SplitAddress(sender, address, name);
    name = trimmedBlanks(name);
    const std::string who = name.empty() ? trimmedBlanks(address) : name;
    const std::string when = trimmedBlanks(date);
    return (when.empty() ? std::string() : "On " + when + ", ") + who + " wrote:";
}

namespace {

// The subject after leading blanks, in lower case, for the marker tests.
std::string subjectStart(const std::string& subject)
{
    std::size_t b = 0;
    while (b < subject.size() && isBlank(subject[b]))
        ++b;
    return asciiLower(std::string_view(subject).substr(b, 16));
}

bool startsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

} // namespace

std::string replySubject(const std::string& subject)
{
    const std::string start = subjectStart(subject);
    if (startsWith(start, "re:") || startsWith(start, "aw:"))
        return subject;
    // "Re[2]:" and "Re^2:", as some programs count the answers.
    if (startsWith(start, "re[") || startsWith(start, "re^")) {
        std::size_t i = 3;
        while (i < start.size() && start[i] >= '0' && start[i] <= '9')
            ++i;
        if (i > 3 && (start[2] == '^' ? start.compare(i, 1, ":") == 0 : start.compare(i, 2, "]:") == 0))
            return subject;
    }
    return "Re: " + subject;
}

std::string forwardSubject(const std::string& subject)
{
    const std::string start = subjectStart(subject);
    if (startsWith(start, "(fwd)") || startsWith(start, "fwd:") || startsWith(start, "fw:"))
        return subject;
    return "(Fwd) " + subject;
}

namespace {

// One recipient as the composition's fields hold it: the entry for the recipient list and the
// line of the field. False when the text names no address.
bool recipientOf(const std::string& text, std::string& entry, std::string& line, std::string& address)
{
    std::string name;
    SplitAddress(text, address, name);
    address = trimmedBlanks(address);
    name = trimmedBlanks(name);
    if (address.empty())
        return false;
    entry = name.empty() ? address : address + "|" + name;
    line = name.empty() ? address : name + " <" + address + ">";
    return true;
}

// The header values of `lowerName` as one line of addresses, blanks between the folded parts.
std::vector<std::string> addressesOf(const std::vector<std::string>& text, std::string_view lowerName)
{
    std::vector<std::string> out;
    for (std::string value : headerValues(text, lowerName)) {
        for (char& c : value)
            if (c == '\r' || c == '\n' || c == '\0' || c == '\t')
                c = ' ';
        for (std::string& entry : addressListEntries(value))
            out.push_back(std::move(entry));
    }
    return out;
}

// The recipients of a reply (or a reply to all): To lines first, then cc lines.
void answerRecipients(AnswerMode mode, const AnswerSource& source, AnswerText& out)
{
    struct Candidate {
        std::string text;
        bool toField;
        bool mayBeLocal; // only the one answered may be a local name
    };
    std::vector<Candidate> candidates;
    for (std::string& entry : addressesOf(source.text, "reply-to"))
        candidates.push_back({std::move(entry), true, true});
    if (candidates.empty())
        candidates.push_back({answerSender(source.text, source.from), true, true});
    std::vector<std::string> seen;
    if (mode == AnswerMode::ReplyAll) {
        // Further addresses without a domain are what is left of a group's name or of an empty list.
        for (std::string& entry : addressesOf(source.text, "to"))
            candidates.push_back({std::move(entry), true, false});
        for (std::string& entry : addressesOf(source.text, "cc"))
            candidates.push_back({std::move(entry), false, false});
        for (const std::string& own : source.ownAddresses)
            if (!trimmedBlanks(own).empty())
                seen.push_back(asciiLower(trimmedBlanks(own)));
    }

    std::vector<std::pair<std::string, std::string>> to, cc; // entry and field line
    for (const Candidate& c : candidates) {
        std::string entry, line, address;
        if (!recipientOf(c.text, entry, line, address) || (!c.mayBeLocal && address.find('@') == std::string::npos))
            continue;
        const std::string key = asciiLower(address);
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            continue;
        seen.push_back(key);
        (c.toField ? to : cc).emplace_back(std::move(entry), std::move(line));
    }
    // The user alone was in To: the others take the To field.
    if (to.empty())
        to.swap(cc);
    for (std::size_t i = 0; i < to.size(); ++i) {
        if (i == 0) {
            out.recipient = to[0].first;
            out.ToEdt = to[0].second;
        } else {
            out.moreTo.push_back(to[i].second);
        }
    }
    for (const auto& c : cc)
        out.cc.push_back(c.second);
}

} // namespace

AnswerText AnswerMessage(AnswerMode mode, const AnswerSource& source)
{
    AnswerText out;
    const bool reply = mode == AnswerMode::Reply || mode == AnswerMode::ReplyAll;
    const std::string subject = answerSubject(source.text, source.subject);
    switch (mode) {
    case AnswerMode::Reply:
    case AnswerMode::ReplyAll: out.SubjectEdt = replySubject(subject); break;
    case AnswerMode::Forward: out.SubjectEdt = forwardSubject(subject); break;
    case AnswerMode::Edit: out.SubjectEdt = subject; break;
    }

    if (mode == AnswerMode::Edit) {
        std::string address;
        recipientOf(answerSender(source.text, source.from), out.recipient, out.ToEdt, address);
    } else if (reply) {
        answerRecipients(mode, source, out);
    }

    if (reply) {
        // Threading (RFC 5322 3.6.4): the original's id, after its own References (or its one
        // In-Reply-To); the oldest ones after the first go when the chain grows too long.
        const std::vector<std::string> id = messageIds(headerValue(source.text, "message-id"));
        if (!id.empty()) {
            std::vector<std::string> chain = messageIds(headerValue(source.text, "references"));
            if (chain.empty()) {
                chain = messageIds(headerValue(source.text, "in-reply-to"));
                if (chain.size() != 1)
                    chain.clear();
            }
            chain.push_back(id.front());
            constexpr std::size_t kMaxReferences = 900;
            auto length = [&chain] {
                std::size_t n = 0;
                for (const auto& c : chain)
                    n += c.size() + 1;
                return n;
            };
            while (chain.size() > 2 && length() > kMaxReferences)
                chain.erase(chain.begin() + 1);
            out.inReplyTo = id.front();
            for (const auto& c : chain)
                out.references += (out.references.empty() ? "" : " ") + c;
        }
    }

    const std::size_t headers = headerLineCount(source.text);
    std::size_t first = 0;
    if (!source.viewerWindow && !source.fullHeaders)
        first = headers < source.text.size() ? headers + 1 : headers;
    out.Memo1.reserve(source.text.size() - first + 6);
    const std::string date = wholeHeaderField(source.text, "date", source.date);
    if (mode == AnswerMode::Forward) {
        out.Memo1.emplace_back(kForwardedMessageLine);
        // The header lines stay behind: the reader still learns whose message it is.
        if (first > 0 && headers > 0) {
            std::string to;
            for (const std::string& entry : addressesOf(source.text, "to"))
                to += (to.empty() ? "" : ", ") + entry;
            out.Memo1.push_back("From: " + answerSender(source.text, source.from));
            if (!date.empty())
                out.Memo1.push_back("Date: " + date);
            if (!to.empty())
                out.Memo1.push_back("To: " + to);
            out.Memo1.push_back("Subject: " + subject);
            out.Memo1.emplace_back();
        }
    }
    if (reply && first < source.text.size())
        out.Memo1.push_back(attributionLine(date, answerSender(source.text, source.from)));
    for (std::size_t i = first; i < source.text.size(); ++i) {
        const std::string line = i < headers ? withoutPassword(source.text[i]) : source.text[i];
        out.Memo1.push_back(reply ? "> " + line : line);
    }
    return out;
}

std::string StripTags(std::string_view line)
{
    std::string out;
    out.reserve(line.size());
    std::size_t i = 0;
    while (i < line.size()) {
        const std::size_t open = line.find('<', i);
        if (open == std::string_view::npos) {
            out.append(line.substr(i));
            break;
        }
        out.append(line.substr(i, open - i));
        const std::size_t close = line.find('>', open + 1);
        if (close == std::string_view::npos)
            break;
        i = close + 1;
    }
    return out;
}

std::string attachmentFileNamePart(std::string_view name, const std::string& fallback)
{
    std::string part = safeFileName(name);
    return part.empty() ? fallback : part;
}

std::vector<std::string> textFileLines(std::string_view bytes)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(bytes.substr(start));
            break;
        }
        lines.emplace_back(bytes.substr(start, end - start));
        start = end + (bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

} // namespace tavik
