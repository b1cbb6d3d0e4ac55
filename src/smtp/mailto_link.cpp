#include "smtp/mailto_link.h"

#include "text/unicode_text.h"

namespace tavik {

namespace {

// Bounds that keep a hostile link from filling the window with megabytes; no real link nears them.
constexpr std::size_t kMaxFieldBytes = 16 * 1024;
constexpr std::size_t kMaxBodyBytes = 1024 * 1024;
constexpr std::size_t kMaxAddresses = 500;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A stray "%" without two hex digits is kept as it is, as browsers keep it.
std::string percentDecoded(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return storedText(out);
}

// A header value is one line: line breaks and other controls would let a link write headers of
// its own into the message, so each becomes a blank.
std::string oneLine(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

void addAddresses(std::vector<std::string>& field, std::string_view encoded)
{
    const std::string addresses = oneLine(percentDecoded(encoded));
    std::string piece;
    bool quoted = false;
    int angle = 0;
    auto flush = [&] {
        std::string address = oneLine(piece);
        piece.clear();
        if (!address.empty() && field.size() < kMaxAddresses)
            field.push_back(cutUtf8(address, kMaxFieldBytes));
    };
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const char c = addresses[i];
        if (c == '"' && angle == 0)
            quoted = !quoted;
        else if (c == '\\' && quoted && i + 1 < addresses.size())
            piece += addresses[i++];
        else if (c == '<' && !quoted)
            ++angle;
        else if (c == '>' && !quoted && angle > 0)
            --angle;
        else if (c == ',' && !quoted && angle == 0) {
            flush();
            continue;
        }
        piece += addresses[i];
    }
    flush();
}

std::string bodyText(std::string_view encoded)
{
    const std::string decoded = percentDecoded(encoded);
    std::string out;
    out.reserve(decoded.size() + 1);
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        if (decoded[i] == '\r') {
            out += '\n';
            if (i + 1 < decoded.size() && decoded[i + 1] == '\n')
                ++i;
        } else if (decoded[i] != '\0') {
            out += decoded[i];
        }
    }
    out = cutUtf8(out, kMaxBodyBytes);
    if (!out.empty() && out.back() != '\n')
        out += '\n';
    return out;
}

std::string asciiLower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace

std::optional<MailtoLink> parseMailtoLink(std::string_view link)
{
    if (link.size() < 7 || asciiLower(link.substr(0, 7)) != "mailto:")
        return std::nullopt;
    link.remove_prefix(7);
    link = link.substr(0, link.find('#'));
    MailtoLink out;
    const std::size_t query = link.find('?');
    addAddresses(out.to, link.substr(0, query));
    if (query == std::string_view::npos)
        return out;
    bool haveSubject = false, haveBody = false;
    std::string_view fields = link.substr(query + 1);
    while (!fields.empty()) {
        const std::size_t end = fields.find('&');
        const std::string_view field = fields.substr(0, end);
        fields = end == std::string_view::npos ? std::string_view() : fields.substr(end + 1);
        const std::size_t equals = field.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string name = asciiLower(percentDecoded(field.substr(0, equals)));
        const std::string_view value = field.substr(equals + 1);
        if (name == "to")
            addAddresses(out.to, value);
        else if (name == "cc")
            addAddresses(out.cc, value);
        else if (name == "bcc")
            addAddresses(out.bcc, value);
        else if (name == "subject" && !haveSubject) {
            out.subject = cutUtf8(oneLine(percentDecoded(value)), kMaxFieldBytes);
            haveSubject = true;
        } else if (name == "body" && !haveBody) {
            out.body = bodyText(value);
            haveBody = true;
        }
    }
    return out;
}

} // namespace tavik
