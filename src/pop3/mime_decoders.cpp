#include "pop3/mime_decoders.h"

#include "text/unicode_text.h"

#include <array>
#include <cstring>
#include <map>

namespace tavik {

namespace {

constexpr std::uint8_t kSkip = 0xFF;
constexpr std::uint8_t kPad = 64;

constexpr std::array<std::uint8_t, 256> makeBase64Table()
{
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t)
        v = kSkip;
    for (int i = 0; i < 26; ++i) {
        t[static_cast<std::size_t>('A' + i)] = static_cast<std::uint8_t>(i);
        t[static_cast<std::size_t>('a' + i)] = static_cast<std::uint8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i)
        t[static_cast<std::size_t>('0' + i)] = static_cast<std::uint8_t>(52 + i);
    t['+'] = 62;
    t['/'] = 63;
    t['='] = kPad;
    return t;
}

constexpr std::array<std::uint8_t, 256> kBase64 = makeBase64Table();

// Value of a hexadecimal digit (either case); 0xFF for any other character.
constexpr std::array<std::uint8_t, 256> makeHexTable()
{
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t)
        v = 0xFF;
    for (int i = 0; i < 10; ++i)
        t[static_cast<std::size_t>('0' + i)] = static_cast<std::uint8_t>(i);
    for (int i = 0; i < 6; ++i) {
        t[static_cast<std::size_t>('A' + i)] = static_cast<std::uint8_t>(10 + i);
        t[static_cast<std::size_t>('a' + i)] = static_cast<std::uint8_t>(10 + i);
    }
    return t;
}

constexpr std::array<std::uint8_t, 256> kHex = makeHexTable();

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The byte of the two hexadecimal digits at text[i], text[i + 1], or -1.
int hexByteAt(std::string_view text, std::size_t i)
{
    if (i + 1 >= text.size())
        return -1;
    int hi = hexValue(text[i]);
    int lo = hexValue(text[i + 1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isLinearWhite(std::string_view s)
{
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            return false;
    return true;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string decodeQText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        int b;
        if (c == '_') {
            out.push_back(' ');
        } else if (c == '=' && (b = hexByteAt(text, i + 1)) >= 0) {
            out.push_back(static_cast<char>(b));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string percentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        int b;
        if (text[i] == '%' && (b = hexByteAt(text, i + 1)) >= 0) {
            out.push_back(static_cast<char>(b));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// One "=?charset?X?text?=" starting at `pos`. `terminator` caches the position of the next
// "?=" so that a line full of unfinished words is still scanned in linear time.
struct EncodedWord {
    std::string_view charset;
    char encoding = 0;
    std::string_view text;
    std::size_t end = 0; // position just after "?="
};

constexpr std::size_t kMaxCharsetName = 64;

bool parseEncodedWord(std::string_view s, std::size_t pos, std::size_t& terminator, EncodedWord& w)
{
    std::size_t cs = pos + 2;
    std::size_t q1 = cs;
    while (q1 < s.size() && q1 - cs <= kMaxCharsetName && s[q1] != '?' && !isBlank(s[q1]))
        ++q1;
    if (q1 == cs || q1 >= s.size() || s[q1] != '?')
        return false;
    if (q1 + 2 >= s.size() || s[q1 + 2] != '?')
        return false;
    char enc = s[q1 + 1];
    if (enc != 'B' && enc != 'b' && enc != 'Q' && enc != 'q')
        return false;
    std::size_t textStart = q1 + 3;
    if (terminator == std::string_view::npos || terminator < textStart) {
        terminator = s.find("?=", textStart);
        if (terminator == std::string_view::npos)
            terminator = s.size(); // none from here on: remember that
    }
    if (terminator >= s.size())
        return false;
    w.charset = s.substr(cs, q1 - cs);
    auto star = w.charset.find('*'); // RFC 2231 language suffix
    if (star != std::string_view::npos)
        w.charset = w.charset.substr(0, star);
    w.encoding = lowerAscii(enc);
    w.text = s.substr(textStart, terminator - textStart);
    w.end = terminator + 2;
    return true;
}

} // namespace

std::size_t Base64Decoder::decode(const char* in, std::size_t n, char* out)
{
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    const auto* end = p + n;
    char* o = out;
    std::uint32_t bits = bits_;
    int count = count_;
    while (p < end) {
        if (count == 0) {
            // Whole groups of alphabet characters: the common case, four at a time.
            while (end - p >= 4) {
                std::uint32_t a = kBase64[p[0]], b = kBase64[p[1]], c = kBase64[p[2]], d = kBase64[p[3]];
                if ((a | b | c | d) >= 64)
                    break;
                std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
                o[0] = static_cast<char>(v >> 16);
                o[1] = static_cast<char>(v >> 8);
                o[2] = static_cast<char>(v);
                o += 3;
                p += 4;
            }
            if (p >= end)
                break;
        }
        std::uint8_t v = kBase64[*p++];
        if (v < 64) {
            bits = bits << 6 | v;
            if (++count == 4) {
                o[0] = static_cast<char>(bits >> 16);
                o[1] = static_cast<char>(bits >> 8);
                o[2] = static_cast<char>(bits);
                o += 3;
                bits = 0;
                count = 0;
            }
        } else if (v == kPad) {
            if (count == 2) {
                *o++ = static_cast<char>(bits >> 4);
            } else if (count == 3) {
                *o++ = static_cast<char>(bits >> 10);
                *o++ = static_cast<char>(bits >> 2);
            }
            bits = 0;
            count = 0;
        }
    }
    bits_ = bits;
    count_ = count;
    return static_cast<std::size_t>(o - out);
}

std::size_t Base64Decoder::finish(char* out)
{
    std::size_t n = 0;
    if (count_ == 2) {
        out[n++] = static_cast<char>(bits_ >> 4);
    } else if (count_ == 3) {
        out[n++] = static_cast<char>(bits_ >> 10);
        out[n++] = static_cast<char>(bits_ >> 2);
    }
    reset();
    return n;
}

std::string decodeBase64(std::string_view text)
{
    std::string out(Base64Decoder::maxOutput(text.size()) + 2, '\0');
    Base64Decoder d;
    std::size_t n = d.decode(text.data(), text.size(), out.data());
    n += d.finish(out.data() + n);
    out.resize(n);
    return out;
}

bool decodeQuotedPrintableLine(std::string_view line, std::string& out)
{
    std::size_t t = line.size();
    while (t > 0 && isBlank(line[t - 1]))
        --t;
    bool soft = t > 0 && line[t - 1] == '=';
    if (soft)
        line = line.substr(0, t - 1);
    // Decoded text is never longer than the line: decode in place at the end of `out`.
    std::size_t base = out.size();
    out.resize(base + line.size());
    char* o = out.data() + base;
    const char* p = line.data();
    const char* e = p + line.size();
    while (p < e) {
        // Eight bytes at a time up to the next "=" (o never runs ahead of p, so the whole
        // word fits in the room made above).
        while (e - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            std::uint64_t x = w ^ 0x3D3D3D3D3D3D3D3Dull;
            std::uint64_t eq = (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
            std::memcpy(o, &w, 8);
            if (eq == 0) {
                p += 8;
                o += 8;
                continue;
            }
            std::size_t k = static_cast<std::size_t>(__builtin_ctzll(eq)) / 8;
            p += k;
            o += k;
            break;
        }
        if (p >= e)
            break;
        char c = *p;
        if (c == '=' && e - p >= 3) {
            std::uint8_t hi = kHex[static_cast<unsigned char>(p[1])];
            std::uint8_t lo = kHex[static_cast<unsigned char>(p[2])];
            if ((hi | lo) < 16) {
                *o++ = static_cast<char>(hi << 4 | lo);
                p += 3;
                continue;
            }
        }
        *o++ = c;
        ++p;
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return soft;
}

bool QuotedPrintableDecoder::decodeLine(std::string_view line, std::string& out)
{
    if (carry_.empty()) {
        // Nothing held back (the common case): decode straight into the caller's line.
        std::string decoded;
        if (decodeQuotedPrintableLine(line, decoded)) {
            carry_ = std::move(decoded);
            return false;
        }
        out = std::move(decoded);
        return true;
    }
    if (decodeQuotedPrintableLine(line, carry_))
        return false;
    out = std::move(carry_);
    carry_.clear();
    return true;
}

std::string QuotedPrintableDecoder::takeCarry()
{
    std::string out = std::move(carry_);
    carry_.clear();
    return out;
}

std::string DecodeWords(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    std::size_t terminator = std::string_view::npos;
    bool afterWord = false;
    while (i < text.size()) {
        std::size_t p = text.find("=?", i);
        if (p == std::string_view::npos) {
            out += storedText(text.substr(i));
            break;
        }
        EncodedWord w;
        if (!parseEncodedWord(text, p, terminator, w)) {
            out += storedText(text.substr(i, p + 2 - i));
            i = p + 2;
            afterWord = false;
            continue;
        }
        std::string_view gap = text.substr(i, p - i);
        if (!(afterWord && isLinearWhite(gap)))
            out += storedText(gap);
        std::string bytes = w.encoding == 'b' ? decodeBase64(w.text) : decodeQText(w.text);
        out += charsetToUtf8(bytes, w.charset);
        i = w.end;
        afterWord = true;
    }
    for (char& c : out)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return out;
}

bool splitHeaderField(std::string_view field, std::string_view& name, std::string_view& value)
{
    std::size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0 || isBlank(field[0]))
        return false;
    std::string_view n = field.substr(0, colon);
    while (!n.empty() && isBlank(n.back()))
        n.remove_suffix(1);
    if (n.empty())
        return false;
    for (char c : n)
        if (isBlank(c) || static_cast<unsigned char>(c) < 0x20)
            return false;
    std::string_view v = field.substr(colon + 1);
    while (!v.empty() && isBlank(v.front()))
        v.remove_prefix(1);
    name = n;
    value = v;
    return true;
}

bool HeaderValue(std::string_view line, std::string_view prefix, std::string& value)
{
    std::size_t colon = prefix.find(':');
    std::string_view wanted = trim(colon == std::string_view::npos ? prefix : prefix.substr(0, colon));
    std::string_view name, v;
    if (!splitHeaderField(line, name, v) || !equalsIgnoringCase(name, wanted))
        return false;
    value = DecodeWords(v);
    return true;
}

bool ParamValue(std::string_view text, std::string_view name, std::string& value)
{
    struct Section {
        std::string value;
        bool encoded = false;
    };
    bool havePlain = false;
    std::string plain;
    std::map<int, Section> sections; // -1: "name*" alone; 0...: "name*N" and "name*N*"
    constexpr int kMaxSections = 1000;

    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (isBlank(text[i]) || text[i] == ';'))
            ++i;
        std::size_t nameStart = i;
        while (i < text.size() && text[i] != '=' && text[i] != ';')
            ++i;
        std::string_view attr = trim(text.substr(nameStart, i - nameStart));
        if (i >= text.size() || text[i] != '=')
            continue;
        ++i;
        while (i < text.size() && isBlank(text[i]))
            ++i;
        std::string v;
        if (i < text.size() && text[i] == '"') {
            ++i;
            while (i < text.size() && text[i] != '"') {
                // Only \" and \\ are escapes: mailers write Windows paths with bare backslashes.
                if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\'))
                    ++i;
                v.push_back(text[i++]);
            }
            if (i < text.size())
                ++i; // closing quote
            while (i < text.size() && text[i] != ';')
                ++i; // anything up to the next parameter (a comment, stray text)
        } else {
            std::size_t s = i;
            while (i < text.size() && text[i] != ';')
                ++i;
            v = std::string(trim(text.substr(s, i - s)));
        }

        std::size_t star = attr.find('*');
        std::string_view base = star == std::string_view::npos ? attr : attr.substr(0, star);
        if (!equalsIgnoringCase(base, name))
            continue;
        if (star == std::string_view::npos) {
            if (!havePlain) {
                havePlain = true;
                plain = std::move(v);
            }
            continue;
        }
        std::string_view rest = attr.substr(star + 1); // "", "N", "N*"
        Section sec;
        int number = -1;
        if (rest.empty()) {
            sec.encoded = true;
        } else {
            bool encoded = rest.back() == '*';
            if (encoded)
                rest.remove_suffix(1);
            if (rest.empty() || rest.size() > 4)
                continue;
            number = 0;
            for (char c : rest) {
                if (c < '0' || c > '9') {
                    number = -2;
                    break;
                }
                number = number * 10 + (c - '0');
            }
            if (number < 0 || number >= kMaxSections)
                continue;
            sec.encoded = encoded;
        }
        sec.value = std::move(v);
        sections.emplace(number, std::move(sec));
    }

    if (sections.empty()) {
        value = havePlain ? plain : std::string();
        return havePlain;
    }
    // RFC 2231: the first section carries charset'language'; sections join in number order.
    std::string bytes, charset;
    auto joinSection = [&](const Section& s, bool first) {
        std::string_view v = s.value;
        if (s.encoded && first) {
            std::size_t q1 = v.find('\'');
            std::size_t q2 = q1 == std::string_view::npos ? q1 : v.find('\'', q1 + 1);
            if (q2 != std::string_view::npos) {
                charset = std::string(v.substr(0, q1));
                v = v.substr(q2 + 1);
            }
        }
        bytes += s.encoded ? percentDecode(v) : std::string(v);
    };
    auto single = sections.find(-1);
    if (single != sections.end()) {
        joinSection(single->second, true);
    } else {
        for (int n = 0; n < kMaxSections; ++n) {
            auto it = sections.find(n);
            if (it == sections.end())
                break;
            joinSection(it->second, n == 0);
        }
        if (sections.find(0) == sections.end()) {
            value = havePlain ? plain : std::string();
            return havePlain;
        }
    }
    value = charsetToUtf8(bytes, charset);
    return true;
}

std::string asciiLower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = lowerAscii(c);
    return out;
}

} // namespace tavik
