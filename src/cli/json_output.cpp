#include "cli/json_output.h"

#include <cstdio>

namespace tavik {

namespace {

// Length of the well-formed UTF-8 sequence at `at` (RFC 3629), 0 when there is none.
std::size_t utf8SequenceLength(std::string_view s, std::size_t at)
{
    auto byte = [&](std::size_t k) { return at + k < s.size() ? static_cast<unsigned char>(s[at + k]) : 0u; };
    auto tail = [&](std::size_t k) { return byte(k) >= 0x80 && byte(k) <= 0xBF; };
    const unsigned c = byte(0);
    if (c >= 0xC2 && c <= 0xDF)
        return tail(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        return byte(1) >= lo && byte(1) <= hi && tail(2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return byte(1) >= lo && byte(1) <= hi && tail(2) && tail(3) ? 4 : 0;
    }
    return 0;
}

void appendEscaped(std::string& out, unsigned code)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04X", code);
    out += buf;
}

} // namespace

std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\')
                out += '\\', out += static_cast<char>(c);
            else if (c == '\n')
                out += "\\n";
            else if (c == '\t')
                out += "\\t";
            else if (c == '\r')
                out += "\\r";
            else if (c < 0x20 || c == 0x7F)
                appendEscaped(out, c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t n = utf8SequenceLength(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // C1 controls: some terminals act on them even in UTF-8.
            appendEscaped(out, static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::key(std::string_view key)
{
    if (body_.size() > 1)
        body_ += ',';
    body_ += jsonString(key);
    body_ += ':';
    return *this;
}

JsonObject& JsonObject::text(std::string_view key, std::string_view value)
{
    this->key(key).body_ += jsonString(value);
    return *this;
}

JsonObject& JsonObject::number(std::string_view key, std::int64_t value)
{
    this->key(key).body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::json(std::string_view key, std::string_view value)
{
    this->key(key).body_ += value;
    return *this;
}

std::string jsonArray(const std::vector<std::string>& values)
{
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i)
        out += (i ? "," : "") + values[i];
    return out + "]";
}

namespace {

struct DateReader {
    std::string_view s;
    std::size_t at = 0;

    void blanks()
    {
        while (at < s.size() && (s[at] == ' ' || s[at] == '\t'))
            ++at;
    }
    bool digits(std::size_t least, std::size_t most, int& value)
    {
        std::size_t n = 0;
        value = 0;
        while (at < s.size() && n < most && s[at] >= '0' && s[at] <= '9')
            value = value * 10 + (s[at++] - '0'), ++n;
        return n >= least;
    }
    bool take(char c) { return at < s.size() && s[at] == c ? (++at, true) : false; }
    bool letter() const
    {
        return at < s.size() && ((s[at] >= 'A' && s[at] <= 'Z') || (s[at] >= 'a' && s[at] <= 'z'));
    }
    std::string word()
    {
        std::string w;
        while (letter())
            w += static_cast<char>(s[at] | 0x20), ++at;
        return w;
    }
};

} // namespace

std::string isoDate(std::string_view date)
{
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    DateReader r{date};
    r.blanks();
    if (r.letter()) { // the weekday is optional and not checked
        r.word();
        if (!r.take(','))
            return {};
        r.blanks();
    }
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (!r.digits(1, 2, day) || day < 1 || day > 31)
        return {};
    r.blanks();
    const std::string name = r.word();
    while (month < 12 && name != kMonths[month])
        ++month;
    if (month == 12)
        return {};
    r.blanks();
    if (!r.digits(4, 4, year))
        return {};
    r.blanks();
    if (!r.digits(2, 2, hour) || !r.take(':') || !r.digits(2, 2, minute) || hour > 23 || minute > 59)
        return {};
    if (r.take(':') && (!r.digits(2, 2, second) || second > 60))
        return {};
    std::string zone;
    r.blanks();
    if (r.at < date.size() && (date[r.at] == '+' || date[r.at] == '-')) {
        const char sign = date[r.at++];
        int hhmm = 0;
        if (!r.digits(4, 4, hhmm) || hhmm % 100 > 59)
            return {};
        zone = std::string(1, sign) + std::string(date.substr(r.at - 4, 2)) + ":" + std::string(date.substr(r.at - 2, 2));
    } else if (r.letter()) {
        const std::string w = r.word();
        if (w != "gmt" && w != "ut" && w != "utc" && w != "z")
            return {};
        zone = "Z";
    }
    r.blanks();
    if (r.at < date.size() && date[r.at] != '(') // a comment such as "(CET)" may follow
        return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", year, month + 1, day, hour, minute, second);
    return buf + zone;
}

} // namespace tavik
