#include "smtp/mime_encoders.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "text/unicode_text.h"

namespace tavik {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kQWordStart = "=?UTF-8?Q?";
constexpr std::string_view kBWordStart = "=?UTF-8?B?";
constexpr std::string_view kWordEnd = "?=";
// Both openings have the same length: the room a word leaves for its payload.
constexpr std::size_t kWordFrame = 10 + 2;
// Room the first word of a field needs on the field's first line: one character of 4 bytes as Q.
constexpr std::size_t kMinFirstWord = kWordFrame + 12;
// Characters of a display name that a plain phrase cannot hold.
constexpr std::string_view kNameSpecials = ",;:<>@()[]\\\"";

// Two base64 characters for every 12-bit value: one lookup per half of a 3-byte group.
struct Base64PairTable {
    std::array<char, 4096 * 2> pairs{};
    constexpr Base64PairTable()
    {
        for (int v = 0; v < 4096; ++v) {
            pairs[2 * v] = kBase64Alphabet[v >> 6];
            pairs[2 * v + 1] = kBase64Alphabet[v & 63];
        }
    }
};
constexpr Base64PairTable kBase64Pairs;

// The quoted-printable form of every byte: the byte itself or "=XX", and its width.
struct QpTable {
    std::array<std::array<char, 4>, 256> code{};
    constexpr QpTable()
    {
        for (int c = 0; c < 256; ++c) {
            if (c >= 33 && c <= 126 && c != '=')
                code[c] = {static_cast<char>(c), 0, 0, 1};
            else
                code[c] = {'=', kHex[c >> 4], kHex[c & 15], 3};
        }
    }
};
constexpr QpTable kQp;

// Bytes an encoded word carries unchanged, per context.
struct WordTable {
    std::array<bool, 256> keep{};
    constexpr explicit WordTable(WordContext context)
    {
        for (int c = 33; c <= 126; ++c)
            keep[c] = c != '=' && c != '?' && c != '_';
        if (context == WordContext::Phrase)
            for (char c : kNameSpecials)
                keep[static_cast<unsigned char>(c)] = false;
        if (context == WordContext::Parameter)
            keep['"'] = keep['\\'] = false;
    }
};
constexpr WordTable kTextWord(WordContext::Text);
constexpr WordTable kPhraseWord(WordContext::Phrase);
constexpr WordTable kParameterWord(WordContext::Parameter);

const WordTable& wordTable(WordContext context)
{
    switch (context) {
    case WordContext::Phrase: return kPhraseWord;
    case WordContext::Parameter: return kParameterWord;
    case WordContext::Text: break;
    }
    return kTextWord;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool hasByteFrom127(std::string_view s)
{
    for (unsigned char c : s)
        if (c >= 127)
            return true;
    return false;
}

// Appends the Q encoding of one byte.
void appendQ(unsigned char c, const WordTable& table, std::string& out)
{
    if (c == ' ') {
        out += '_';
    } else if (table.keep[c]) {
        out += static_cast<char>(c);
    } else {
        out += '=';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
}

// Length of the UTF-8 sequence that begins at s[i]; 1 for a byte that begins none (text read by
// the storedText rule has no such byte).
std::size_t utf8SequenceAt(std::string_view s, std::size_t i)
{
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    return i + n <= s.size() ? n : 1;
}

// One Q word of the whole text: the quoted parameter value that fits its line as one word.
std::string singleQWord(std::string_view text, WordContext context)
{
    std::string out(kQWordStart);
    const WordTable& table = wordTable(context);
    for (unsigned char c : text)
        appendQ(c, table, out);
    out += kWordEnd;
    return out;
}

std::vector<std::string> qWords(std::string_view text, WordContext context, std::size_t firstWord)
{
    const WordTable& table = wordTable(context);
    std::vector<std::string> words;
    std::string payload, piece;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8SequenceAt(text, i);
        piece.clear();
        for (std::size_t k = 0; k < n; ++k)
            appendQ(static_cast<unsigned char>(text[i + k]), table, piece);
        i += n;
        const std::size_t limit = words.empty() ? firstWord : kMaxEncodedWord;
        if (!payload.empty() && kWordFrame + payload.size() + piece.size() > limit) {
            words.push_back(std::string(kQWordStart) + payload + std::string(kWordEnd));
            payload.clear();
        }
        payload += piece;
    }
    if (!payload.empty())
        words.push_back(std::string(kQWordStart) + payload + std::string(kWordEnd));
    return words;
}

std::vector<std::string> bWords(std::string_view text, std::size_t firstWord)
{
    std::vector<std::string> words;
    std::size_t start = 0;
    auto flush = [&](std::size_t end) {
        words.push_back(std::string(kBWordStart) + base64Encode(text.substr(start, end - start)) + std::string(kWordEnd));
        start = end;
    };
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8SequenceAt(text, i);
        const std::size_t limit = words.empty() ? firstWord : kMaxEncodedWord;
        if (i > start && kWordFrame + base64EncodedSize(i + n - start) > limit)
            flush(i);
        i += n;
    }
    if (start < text.size())
        flush(text.size());
    return words;
}

std::size_t totalLength(const std::vector<std::string>& words)
{
    std::size_t n = 0;
    for (const auto& w : words)
        n += w.size() + 3; // each on a folded line of its own
    return n;
}

std::string joinedWords(const std::vector<std::string>& words)
{
    std::string out;
    for (const auto& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

std::string withoutTrailingBlanks(std::string s)
{
    while (!s.empty() && isBlank(s.back()))
        s.pop_back();
    return s;
}

// `prefix`, then `value` (UTF-8) as encoded words, one per folded line, then `trailer`. Every
// line stays within kMaxEncodedLine (before the trailer); a prefix too long to leave room for a
// word gets its first word on the next line.
std::string encodedField(const std::string& prefix, std::string_view value, WordContext context,
                         std::string_view trailer)
{
    const bool ownLine = prefix.size() + kMinFirstWord > kMaxEncodedLine;
    const std::size_t first = ownLine ? kMaxEncodedWord : std::min(kMaxEncodedWord, kMaxEncodedLine - prefix.size());
    const std::vector<std::string> words = splitEncodedWords(value, context, first);
    if (words.empty())
        return prefix + std::string(trailer);
    std::string out = ownLine ? withoutTrailingBlanks(prefix) + "\r\n " + words.front() : prefix + words.front();
    for (std::size_t i = 1; i < words.size(); ++i)
        out += "\r\n " + words[i];
    out += trailer;
    return out;
}

// Folds an ASCII header line at blanks after position `keep`: CR LF goes before a blank that
// follows a non-blank and has text after it, so unfolding gives the line back and no folded line
// is blank only. Lines aim at kFoldTarget; nothing when a line would still pass kMaxCommandLine.
std::optional<std::string> foldAtBlanks(std::string_view line, std::size_t keep)
{
    const std::size_t n = line.size();
    if (n <= kMaxCommandLine)
        return std::string(line);
    std::size_t lastText = n;
    while (lastText > 0 && isBlank(line[lastText - 1]))
        --lastText;
    std::vector<std::size_t> breaks;
    for (std::size_t i = keep > 0 ? keep : 1; i + 1 < lastText; ++i)
        if (isBlank(line[i]) && !isBlank(line[i - 1]))
            breaks.push_back(i);
    std::string out;
    std::size_t start = 0;
    std::size_t next = 0;
    while (n - start > kFoldTarget) {
        while (next < breaks.size() && breaks[next] <= start)
            ++next;
        std::size_t k = next;
        std::size_t best = std::string::npos;
        while (k < breaks.size() && breaks[k] - start <= kFoldTarget)
            best = breaks[k++];
        if (best == std::string::npos) {
            if (k == breaks.size())
                break;
            best = breaks[k];
        }
        if (best - start > kMaxCommandLine)
            return std::nullopt;
        out.append(line.substr(start, best - start));
        out += "\r\n";
        start = best;
    }
    if (n - start > kMaxCommandLine)
        return std::nullopt;
    out.append(line.substr(start));
    return out;
}

} // namespace

std::size_t base64Encode(const unsigned char* in, std::size_t n, char* out)
{
    char* o = out;
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const unsigned v = unsigned(in[i]) << 16 | unsigned(in[i + 1]) << 8 | in[i + 2];
        std::memcpy(o, &kBase64Pairs.pairs[2 * (v >> 12)], 2);
        std::memcpy(o + 2, &kBase64Pairs.pairs[2 * (v & 4095)], 2);
        o += 4;
    }
    if (n - i == 2) {
        const unsigned v = unsigned(in[i]) << 16 | unsigned(in[i + 1]) << 8;
        *o++ = kBase64Alphabet[v >> 18];
        *o++ = kBase64Alphabet[(v >> 12) & 63];
        *o++ = kBase64Alphabet[(v >> 6) & 63];
        *o++ = '=';
    } else if (n - i == 1) {
        const unsigned v = unsigned(in[i]) << 16;
        *o++ = kBase64Alphabet[v >> 18];
        *o++ = kBase64Alphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    }
    return static_cast<std::size_t>(o - out);
}

std::string base64Encode(std::string_view bytes)
{
    std::string out(base64EncodedSize(bytes.size()), '\0');
    base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data());
    return out;
}

void base64EncodeLines(const unsigned char* in, std::size_t n, std::string& out)
{
    const std::size_t lines = (n + kBase64LineBytes - 1) / kBase64LineBytes;
    const std::size_t old = out.size();
    out.resize(old + base64EncodedSize(n) + 2 * lines);
    char* o = out.data() + old;
    for (std::size_t i = 0; i < n; i += kBase64LineBytes) {
        const std::size_t take = n - i < kBase64LineBytes ? n - i : kBase64LineBytes;
        o += base64Encode(in + i, take, o);
        *o++ = '\r';
        *o++ = '\n';
    }
}

void QuotedPrintableEncoder::encode(const char* in, std::size_t n, std::string& out)
{
    // Every byte gives at most 3 characters; a soft break follows at most every 71 characters.
    const std::size_t old = out.size();
    out.resize(old + 3 * n + 3 * (3 * n / 71 + 1));
    char* o = out.data() + old;
    unsigned column = column_;
    for (std::size_t i = 0; i < n; ++i) {
        // Always copy three characters, advance by the width: no branch on the byte.
        const auto& code = kQp.code[static_cast<unsigned char>(in[i])];
        std::memcpy(o, code.data(), 3);
        o += code[3];
        column += static_cast<unsigned>(code[3]);
        if (column > 70) {
            std::memcpy(o, "=\r\n", 3);
            o += 3;
            column = 0;
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    column_ = column;
}

std::string encodeQuotedPrintable(std::string_view bytes)
{
    QuotedPrintableEncoder encoder;
    std::string out;
    encoder.encode(bytes.data(), bytes.size(), out);
    return out;
}

void uuencodeBlock(const unsigned char* in, std::size_t n, std::string& out)
{
    auto group = [](const unsigned char* g, char* o) {
        o[0] = static_cast<char>(32 + (g[0] >> 2));
        o[1] = static_cast<char>(32 + (((g[0] & 3) << 4) | (g[1] >> 4)));
        o[2] = static_cast<char>(32 + (((g[1] & 15) << 2) | (g[2] >> 6)));
        o[3] = static_cast<char>(32 + (g[2] & 63));
    };
    const std::size_t full = n / kUuLineBytes;
    const std::size_t rest = n % kUuLineBytes;
    const std::size_t old = out.size();
    out.resize(old + full * 63 + (rest ? 1 + (rest + 2) / 3 * 4 + 2 : 0));
    char* o = out.data() + old;
    for (std::size_t l = 0; l < full; ++l, in += kUuLineBytes) {
        *o++ = 'M';
        for (std::size_t g = 0; g < kUuLineBytes; g += 3, o += 4)
            group(in + g, o);
        *o++ = '\r';
        *o++ = '\n';
    }
    if (rest) {
        *o++ = static_cast<char>(32 + rest);
        for (std::size_t g = 0; g < rest; g += 3, o += 4) {
            unsigned char padded[3] = {' ', ' ', ' '};
            std::memcpy(padded, in + g, rest - g < 3 ? rest - g : 3);
            group(padded, o);
        }
        *o++ = '\r';
        *o++ = '\n';
    }
}

std::string UueName(std::string_view name)
{
    const std::size_t dot = name.rfind('.');
    std::string out(dot == std::string_view::npos ? name : name.substr(0, dot));
    out += ".uue";
    return out;
}

std::vector<std::string> splitEncodedWords(std::string_view text, WordContext context, std::size_t firstWord)
{
    const std::string utf8 = storedText(text);
    std::vector<std::string> q = qWords(utf8, context, firstWord);
    if (context == WordContext::Parameter)
        return q;
    std::vector<std::string> b = bWords(utf8, firstWord);
    return totalLength(b) < totalLength(q) ? b : q;
}

std::string EncodeWord(std::string_view text)
{
    std::string utf8 = storedText(text);
    if (!hasByteFrom127(utf8))
        return utf8;
    return joinedWords(splitEncodedWords(utf8, WordContext::Text));
}

std::string withoutLineBreaks(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            out += ' ';
        } else if (c == '\n') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string EncodeUnstructuredLine(std::string_view prefix, std::string_view value, std::string_view trailer)
{
    const std::string p = withoutLineBreaks(prefix);
    const std::string v = storedText(withoutLineBreaks(value));
    if (!hasByteFrom127(v)) {
        std::string single = p + v + std::string(trailer);
        if (single.size() <= kMaxCommandLine)
            return single;
        if (auto folded = foldAtBlanks(single, p.size()))
            return *folded;
    }
    return encodedField(p, v, WordContext::Text, trailer);
}

std::string EncodeHeaderLine(std::string_view line)
{
    const std::string l = withoutLineBreaks(line);
    const std::size_t colon = l.find(": ");
    if (colon == std::string::npos) {
        auto folded = foldAtBlanks(l, 0);
        return folded ? *folded : l;
    }
    return EncodeUnstructuredLine(std::string_view(l).substr(0, colon + 2), std::string_view(l).substr(colon + 2), "  ");
}

std::string EncodeDisplayName(std::string_view name)
{
    const std::string n = storedText(withoutLineBreaks(name));
    if (hasByteFrom127(n))
        return joinedWords(splitEncodedWords(n, WordContext::Phrase));
    if (n.find_first_of(kNameSpecials) == std::string::npos)
        return n;
    std::string out = "\"";
    for (char c : n) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string EncodeAddressLine(std::string_view prefix, std::string_view name, std::string_view address)
{
    const std::string p = withoutLineBreaks(prefix);
    const std::string n = storedText(withoutLineBreaks(name));
    const std::string tail = " <" + withoutLineBreaks(address) + ">";
    if (!hasByteFrom127(n)) {
        std::string single = p + EncodeDisplayName(n) + tail;
        if (single.size() <= kMaxCommandLine || n.empty())
            return single;
        if (auto folded = foldAtBlanks(single, p.size()))
            return *folded;
    }
    std::string out = encodedField(p, n, WordContext::Phrase, "");
    const std::size_t lastLine = out.rfind("\r\n");
    const std::size_t lastLength = lastLine == std::string::npos ? out.size() : out.size() - lastLine - 2;
    out += lastLength + tail.size() <= kMaxEncodedLine ? tail : "\r\n" + tail;
    return out;
}

std::string EncodeParameterValue(std::string_view value)
{
    const std::string v = storedText(value);
    if (!hasByteFrom127(v) && v.find_first_of("\"\\") == std::string::npos)
        return v;
    return singleQWord(v, WordContext::Parameter);
}

std::string EncodeParameterLine(std::string_view head, std::string_view parameter, std::string_view value)
{
    const std::string h = withoutLineBreaks(head);
    const std::string v = storedText(withoutLineBreaks(value));
    const std::string assignment = std::string(parameter) + "=\"" + EncodeParameterValue(v) + "\"";
    std::string single = h + "; " + assignment;
    if (single.size() <= kMaxCommandLine)
        return single;
    if (1 + assignment.size() <= kMaxCommandLine)
        return h + ";\r\n " + assignment;
    const std::vector<std::string> words = splitEncodedWords(v, WordContext::Parameter);
    std::string out = h + ";\r\n " + std::string(parameter) + "=\"" + words.front();
    for (std::size_t i = 1; i < words.size(); ++i)
        out += "\r\n " + words[i];
    out += '"';
    return out;
}

namespace {

// Characters RFC 2231 lets stand in an extended parameter value (attribute-char).
bool isAttributeChar(unsigned char c)
{
    return c > 32 && c < 127 && std::string_view("*'%()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) ==
                                    std::string_view::npos;
}

} // namespace

std::string EncodeNameParameterLine(std::string_view head, std::string_view name)
{
    const std::string v = storedText(withoutLineBreaks(name));
    if (!hasByteFrom127(v))
        return EncodeParameterLine(head, "name", v);
    const std::string h = withoutLineBreaks(head);
    const std::vector<std::string> words = splitEncodedWords(v, WordContext::Parameter);
    const std::string single = h + "; name=\"" + joinedWords(words) + "\"";
    if (single.size() <= kMaxCommandLine)
        return single;
    std::string out = h + ";\r\n name=\"" + words.front();
    for (std::size_t i = 1; i < words.size(); ++i)
        out += "\r\n " + words[i];
    out += '"';
    return out;
}

std::string EncodeFileNameParameterLine(std::string_view head, std::string_view name)
{
    const std::string v = storedText(withoutLineBreaks(name));
    if (!hasByteFrom127(v))
        return EncodeParameterLine(head, "filename", v);
    const std::string h = withoutLineBreaks(head);
    // Percent-encoded characters, each whole: sections never cut a character (RFC 2231).
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < v.size();) {
        const std::size_t n = utf8SequenceAt(v, i);
        std::string piece;
        for (std::size_t k = i; k < i + n; ++k) {
            const unsigned char c = static_cast<unsigned char>(v[k]);
            if (isAttributeChar(c)) {
                piece += static_cast<char>(c);
            } else {
                piece += '%';
                piece += kHex[c >> 4];
                piece += kHex[c & 15];
            }
        }
        pieces.push_back(std::move(piece));
        i += n;
    }
    std::string encoded = "UTF-8''";
    for (const auto& piece : pieces)
        encoded += piece;
    const std::string single = h + "; filename*=" + encoded;
    if (single.size() <= kMaxCommandLine)
        return single;
    constexpr std::size_t kSection = 60;
    std::vector<std::string> sections{"UTF-8''"};
    for (const auto& piece : pieces) {
        if (sections.back().size() + piece.size() > kSection)
            sections.emplace_back();
        sections.back() += piece;
    }
    std::string out = h + ";";
    for (std::size_t n = 0; n < sections.size(); ++n)
        out += "\r\n filename*" + std::to_string(n) + "*=" + sections[n] + (n + 1 < sections.size() ? ";" : "");
    return out;
}

} // namespace tavik
