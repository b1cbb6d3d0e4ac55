#include "text/unicode_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace tavik {

namespace {

// --- UTF-8 -------------------------------------------------------------------------------------

// Bytes of the sequence a lead byte starts; 0 for a byte no well-formed sequence starts with
// (continuation bytes, C0, C1 and F5 to FF: their sequences would be overlong or too high).
std::size_t sequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// Whether `second` may follow `lead`: the narrower ranges after E0, ED, F0 and F4 keep out
// overlong forms, surrogates and code points above U+10FFFF.
bool validSecond(unsigned char lead, unsigned char second)
{
    switch (lead) {
    case 0xE0: return second >= 0xA0 && second <= 0xBF;
    case 0xED: return second >= 0x80 && second <= 0x9F;
    case 0xF0: return second >= 0x90 && second <= 0xBF;
    case 0xF4: return second >= 0x80 && second <= 0x8F;
    default: return (second & 0xC0) == 0x80;
    }
}

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Bytes at the end of `bytes` that begin a well-formed sequence without completing it (0 to 3).
std::size_t unfinishedTail(std::string_view bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
        const unsigned char c = p[n - back];
        if (isContinuation(c))
            continue;
        const std::size_t need = sequenceLength(c);
        if (need <= back)
            return 0;
        if (back >= 2 && !validSecond(c, p[n - back + 1]))
            return 0;
        return back;
    }
    return 0;
}

// --- Windows-1252 ------------------------------------------------------------------------------

// Code points of 0x80 to 0x9F; the rest of the bytes are Latin-1's.
constexpr std::array<std::uint16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

struct EncodedByte {
    std::array<char, 3> bytes;
    std::uint8_t size;
};

constexpr std::array<EncodedByte, 256> makeWindows1252Table()
{
    std::array<EncodedByte, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        const unsigned cp = b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : b;
        EncodedByte& e = t[b];
        if (cp < 0x80) {
            e.bytes = {static_cast<char>(cp), 0, 0};
            e.size = 1;
        } else if (cp < 0x800) {
            e.bytes = {static_cast<char>(0xC0 | cp >> 6), static_cast<char>(0x80 | (cp & 0x3F)), 0};
            e.size = 2;
        } else {
            e.bytes = {static_cast<char>(0xE0 | cp >> 12), static_cast<char>(0x80 | (cp >> 6 & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
            e.size = 3;
        }
    }
    return t;
}

constexpr std::array<EncodedByte, 256> kWindows1252 = makeWindows1252Table();

// True when no byte of `bytes` has its high bit set; eight bytes at a time.
bool isAscii(std::string_view bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ULL)
            return false;
    }
    for (; i < n; ++i)
        if (p[i] >= 0x80)
            return false;
    return true;
}

// Every byte through `table` (ASCII maps to itself there). The text is written into a reused
// buffer with room for three bytes a byte, eight ASCII bytes at a time where it can, and copied
// out at its exact size (kept lines live on in memory). With `undefined` set, stops at the
// first byte the table leaves undefined (size 0) and says where; the result then holds what
// came before it.
std::string convertByTable(std::string_view bytes, const std::array<EncodedByte, 256>& table, std::size_t* undefined)
{
    if (isAscii(bytes)) {
        if (undefined)
            *undefined = bytes.size();
        return std::string(bytes);
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    if (undefined) {
        for (std::size_t i = 0; i < n; ++i)
            if (table[p[i]].size == 0) {
                n = i;
                break;
            }
        *undefined = n;
    }
    // Lines reuse one buffer; a large text gets its own, so the buffer stays small.
    constexpr std::size_t kReusedRoom = 64 * 1024;
    thread_local std::string reused;
    std::string own;
    std::string& room = n * 3 + 8 <= kReusedRoom ? reused : own;
    if (room.size() < n * 3 + 8)
        room.resize(std::max(n * 3 + 8, &room == &reused ? kReusedRoom : std::size_t(0)));
    char* const start = room.data();
    char* o = start;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if ((word & 0x8080808080808080ULL) == 0) {
            std::memcpy(o, p + i, 8);
            o += 8;
            continue;
        }
        for (std::size_t k = 0; k < 8; ++k) {
            const EncodedByte& e = table[p[i + k]];
            std::memcpy(o, e.bytes.data(), 3);
            o += e.size;
        }
    }
    for (; i < n; ++i) {
        const EncodedByte& e = table[p[i]];
        std::memcpy(o, e.bytes.data(), 3);
        o += e.size;
    }
    return std::string(start, static_cast<std::size_t>(o - start));
}

// --- charset labels ----------------------------------------------------------------------------

enum class CharsetKind { Stored, Windows1252, Utf16, Converter };

struct Charset {
    CharsetKind kind;
    const char* converter; // the iconv name, for Converter
};

struct CharsetAlias {
    std::string_view label;
    Charset charset;
};

constexpr Charset kStored{CharsetKind::Stored, nullptr};
constexpr Charset kWindows1252Charset{CharsetKind::Windows1252, nullptr};
constexpr Charset converter(const char* name) { return {CharsetKind::Converter, name}; }

// The labels mailers send, beside the ISO-8859 and Windows code page families parsed below.
// Where a label names a subset of a larger charset in wide use, the larger one reads it, so
// that what mailers really put under the label converts.
constexpr CharsetAlias kAliases[] = {
    {"utf-8", kStored},
    {"utf8", kStored},
    {"unicode-1-1-utf-8", kStored},
    {"us-ascii", kStored},
    {"ascii", kStored},
    {"ansi_x3.4-1968", kStored},
    {"latin1", kWindows1252Charset},
    {"latin-1", kWindows1252Charset},
    {"l1", kWindows1252Charset},
    {"cp819", kWindows1252Charset},
    {"ibm819", kWindows1252Charset},
    {"csisolatin1", kWindows1252Charset},
    {"iso-ir-100", kWindows1252Charset},
    {"latin2", converter("ISO-8859-2")},
    {"latin9", converter("ISO-8859-15")},
    {"utf-16", {CharsetKind::Utf16, nullptr}},
    {"utf-16le", converter("UTF-16LE")},
    {"utf-16be", converter("UTF-16BE")},
    {"utf-7", converter("UTF-7")},
    {"unicode-1-1-utf-7", converter("UTF-7")},
    {"x-unicode-2-0-utf-7", converter("UTF-7")},
    {"csunicode11utf7", converter("UTF-7")},
    {"koi8-r", converter("KOI8-R")},
    {"koi8r", converter("KOI8-R")},
    {"cskoi8r", converter("KOI8-R")},
    {"koi8-u", converter("KOI8-U")},
    {"koi8u", converter("KOI8-U")},
    {"koi8-ru", converter("KOI8-U")},
    {"cp866", converter("CP866")},
    {"ibm866", converter("CP866")},
    {"csibm866", converter("CP866")},
    {"windows-874", converter("CP874")},
    {"cp874", converter("CP874")},
    {"x-cp874", converter("CP874")},
    {"tis-620", converter("CP874")},
    {"macintosh", converter("MACINTOSH")},
    {"mac", converter("MACINTOSH")},
    {"x-mac-roman", converter("MACINTOSH")},
    {"csmacintosh", converter("MACINTOSH")},
    {"iso-2022-jp", converter("ISO-2022-JP-2")},
    {"csiso2022jp", converter("ISO-2022-JP-2")},
    {"iso-2022-jp-1", converter("ISO-2022-JP-2")},
    {"iso-2022-jp-2", converter("ISO-2022-JP-2")},
    {"iso-2022-jp-3", converter("ISO-2022-JP-3")},
    {"shift_jis", converter("CP932")},
    {"shift-jis", converter("CP932")},
    {"sjis", converter("CP932")},
    {"x-sjis", converter("CP932")},
    {"ms_kanji", converter("CP932")},
    {"csshiftjis", converter("CP932")},
    {"windows-31j", converter("CP932")},
    {"cp932", converter("CP932")},
    {"euc-jp", converter("EUC-JP-MS")},
    {"x-euc-jp", converter("EUC-JP-MS")},
    {"cseucpkdfmtjapanese", converter("EUC-JP-MS")},
    {"euc-kr", converter("CP949")},
    {"cseuckr", converter("CP949")},
    {"ks_c_5601-1987", converter("CP949")},
    {"ks_c_5601-1989", converter("CP949")},
    {"ks_c_5601", converter("CP949")},
    {"ksc5601", converter("CP949")},
    {"ksc_5601", converter("CP949")},
    {"korean", converter("CP949")},
    {"cp949", converter("CP949")},
    {"windows-949", converter("CP949")},
    {"uhc", converter("CP949")},
    {"iso-2022-kr", converter("ISO-2022-KR")},
    {"gb2312", converter("GBK")},
    {"csgb2312", converter("GBK")},
    {"gb_2312-80", converter("GBK")},
    {"euc-cn", converter("GBK")},
    {"x-euc-cn", converter("GBK")},
    {"chinese", converter("GBK")},
    {"gbk", converter("GBK")},
    {"x-gbk", converter("GBK")},
    {"cp936", converter("GBK")},
    {"windows-936", converter("GBK")},
    {"gb18030", converter("GB18030")},
    {"big5", converter("BIG5-HKSCS")},
    {"x-big5", converter("BIG5-HKSCS")},
    {"cn-big5", converter("BIG5-HKSCS")},
    {"csbig5", converter("BIG5-HKSCS")},
    {"big5-hkscs", converter("BIG5-HKSCS")},
    {"cp950", converter("CP950")},
};

// iconv names of the families "iso-8859-N" and "windows-125N".
constexpr const char* kIso8859[] = {
    nullptr, nullptr, "ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "ISO-8859-5", "ISO-8859-6", "ISO-8859-7",
    "ISO-8859-8", "ISO-8859-9", "ISO-8859-10", "ISO-8859-11", nullptr, "ISO-8859-13", "ISO-8859-14",
    "ISO-8859-15", "ISO-8859-16",
};
constexpr const char* kWindows125x[] = {
    "CP1250", "CP1251", nullptr, "CP1253", "CP1254", "CP1255", "CP1256", "CP1257", "CP1258",
};

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The number `s` holds in decimal digits only, or -1.
int numberOf(std::string_view s)
{
    if (s.empty() || s.size() > 4)
        return -1;
    int n = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// "iso-8859-2", "iso8859-2", "iso_8859-2", "iso_8859-2:1987", "iso-8859-8-i" and the like.
bool isoFamily(std::string_view label, Charset& out)
{
    for (std::string_view prefix : {"iso-8859-", "iso8859-", "iso_8859-"}) {
        if (!startsWith(label, prefix))
            continue;
        std::string_view rest = label.substr(prefix.size());
        rest = rest.substr(0, rest.find(':'));
        // Hebrew and Arabic in logical ("-i") or explicit ("-e") order are the same bytes.
        if (rest.size() > 2 && (rest.substr(rest.size() - 2) == "-i" || rest.substr(rest.size() - 2) == "-e"))
            rest.remove_suffix(2);
        const int n = numberOf(rest);
        if (n == 1) {
            out = kWindows1252Charset;
            return true;
        }
        if (n >= 2 && n <= 16 && kIso8859[n]) {
            out = converter(kIso8859[n]);
            return true;
        }
        return false;
    }
    return false;
}

// "windows-1250", "cp1250", "x-cp1250".
bool windowsFamily(std::string_view label, Charset& out)
{
    for (std::string_view prefix : {"windows-", "cp", "x-cp"}) {
        if (!startsWith(label, prefix))
            continue;
        const int n = numberOf(label.substr(prefix.size()));
        if (n == 1252) {
            out = kWindows1252Charset;
            return true;
        }
        if (n >= 1250 && n <= 1258) {
            out = converter(kWindows125x[n - 1250]);
            return true;
        }
        return false;
    }
    return false;
}

Charset charsetOf(std::string_view label)
{
    const auto blankOrQuote = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"' || c == '\''; };
    while (!label.empty() && blankOrQuote(label.front()))
        label.remove_prefix(1);
    while (!label.empty() && blankOrQuote(label.back()))
        label.remove_suffix(1);
    label = label.substr(0, label.find('*')); // RFC 2231's "charset*language"
    if (label.empty() || label.size() > 40)
        return kStored;
    std::array<char, 40> lower{};
    for (std::size_t i = 0; i < label.size(); ++i) {
        const char c = label[i];
        lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view name(lower.data(), label.size());
    for (const auto& alias : kAliases)
        if (alias.label == name)
            return alias.charset;
    Charset family{};
    if (isoFamily(name, family) || windowsFamily(name, family))
        return family;
    return kStored;
}

// --- iconv -------------------------------------------------------------------------------------

// An unfinished sequence waiting for the next piece is a few bytes; more means a converter
// that keeps asking for input it will never convert.
constexpr std::size_t kMaxCarry = 16;

enum class Outcome { Done, Unfinished, Failed };

struct Conversion {
    Outcome outcome;
    std::size_t consumed;
};

// Runs `cd` over `in` (or, with a null `in`, empties its state), appending the UTF-8 to `out`.
Conversion convert(iconv_t cd, const std::string_view* in, std::string& out)
{
    char* inPtr = in ? const_cast<char*>(in->data()) : nullptr;
    std::size_t inLeft = in ? in->size() : 0;
    std::array<char, 16384> buffer;
    for (;;) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t done = in ? iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft)
                                    : iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
        const int error = errno;
        const auto produced = static_cast<std::size_t>(outPtr - buffer.data());
        out.append(buffer.data(), produced);
        const std::size_t consumed = in ? in->size() - inLeft : 0;
        if (done != static_cast<std::size_t>(-1))
            return {Outcome::Done, consumed};
        if (error == E2BIG && produced > 0)
            continue;
        if (error == EINVAL && in)
            return {Outcome::Unfinished, consumed};
        return {Outcome::Failed, consumed};
    }
}

// The table of a charset whose every byte is one character (the ISO-8859 and Windows code page
// families, KOI8 and the like), made once from iconv itself: such text converts byte by byte
// at table speed. Null for a charset where some byte starts a longer sequence or a shift, and
// for one whose ASCII bytes are not ASCII. A byte the charset leaves undefined has size 0.
using ByteTable = std::array<EncodedByte, 256>;

const ByteTable* singleByteTable(const char* converterName)
{
    static std::mutex lock;
    static std::map<std::string, std::unique_ptr<ByteTable>> tables;
    const std::lock_guard<std::mutex> guard(lock);
    auto found = tables.find(converterName);
    if (found != tables.end())
        return found->second.get();
    std::unique_ptr<ByteTable> table;
    const iconv_t cd = iconv_open("UTF-8", converterName);
    if (cd != reinterpret_cast<iconv_t>(-1)) {
        table = std::make_unique<ByteTable>();
        for (unsigned b = 0; b < 256 && table; ++b) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            char in = static_cast<char>(b);
            char* inPtr = &in;
            std::size_t inLeft = 1;
            std::array<char, 8> out{};
            char* outPtr = out.data();
            std::size_t outLeft = out.size();
            const std::size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
            const auto produced = static_cast<std::size_t>(outPtr - out.data());
            if (done == static_cast<std::size_t>(-1) && errno == EILSEQ) {
                (*table)[b].size = 0;
            } else if (done == static_cast<std::size_t>(-1) || produced == 0 || produced > 3 ||
                       (b < 0x80 && (produced != 1 || out[0] != in))) {
                table.reset();
            } else {
                std::memcpy((*table)[b].bytes.data(), out.data(), produced);
                (*table)[b].size = static_cast<std::uint8_t>(produced);
            }
        }
        iconv_close(cd);
    }
    return tables.emplace(converterName, std::move(table)).first->second.get();
}

} // namespace

// --- the public functions ----------------------------------------------------------------------

bool isValidUtf8(std::string_view bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII eight bytes at a time, straight to the first byte with its high bit set: mail
        // text is mostly ASCII between its other characters.
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            const std::uint64_t high = word & 0x8080808080808080ULL;
            if (high == 0) {
                i += 8;
                continue;
            }
            if constexpr (std::endian::native == std::endian::little)
                i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
        }
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c < 0xE0) {
            if (c < 0xC2 || i + 1 >= n || !isContinuation(p[i + 1]))
                return false;
            i += 2;
            continue;
        }
        if (c < 0xF0) {
            if (i + 2 >= n || !validSecond(c, p[i + 1]) || !isContinuation(p[i + 2]))
                return false;
            i += 3;
            continue;
        }
        if (c > 0xF4 || i + 3 >= n || !validSecond(c, p[i + 1]) || !isContinuation(p[i + 2]) ||
            !isContinuation(p[i + 3]))
            return false;
        i += 4;
    }
    return true;
}

std::string windows1252ToUtf8(std::string_view bytes)
{
    return convertByTable(bytes, kWindows1252, nullptr);
}

bool utf8ToWindows1252(std::string_view text, std::string& bytes)
{
    if (!isValidUtf8(text))
        return false;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        const std::size_t length = sequenceLength(c);
        int found = -1;
        for (unsigned b = 0x80; b < 256 && found < 0; ++b)
            if (kWindows1252[b].size == length && std::memcmp(kWindows1252[b].bytes.data(), text.data() + i, length) == 0)
                found = static_cast<int>(b);
        if (found < 0)
            return false;
        out.push_back(static_cast<char>(found));
        i += length;
    }
    bytes = std::move(out);
    return true;
}

std::string storedText(std::string_view bytes)
{
    return isValidUtf8(bytes) ? std::string(bytes) : windows1252ToUtf8(bytes);
}

std::string charsetToUtf8(std::string_view bytes, std::string_view label)
{
    const Charset charset = charsetOf(label);
    if (charset.kind == CharsetKind::Stored)
        return storedText(bytes);
    if (charset.kind == CharsetKind::Windows1252)
        return windows1252ToUtf8(bytes);
    CharsetDecoder decoder(label);
    std::string out = decoder.feed(bytes);
    out += decoder.finish();
    return decoder.failed_ ? storedText(bytes) : out;
}

CharsetDecoder::CharsetDecoder(std::string_view label)
{
    const Charset charset = charsetOf(label);
    switch (charset.kind) {
    case CharsetKind::Stored: initial_ = Mode::Stored; break;
    case CharsetKind::Windows1252: initial_ = Mode::Windows1252; break;
    case CharsetKind::Utf16: initial_ = Mode::Utf16; break;
    case CharsetKind::Converter: initial_ = Mode::Converter; break;
    }
    converterName_ = charset.converter;
    if (initial_ == Mode::Converter && (table_ = singleByteTable(converterName_)))
        initial_ = Mode::Table;
    open(initial_);
}

CharsetDecoder::~CharsetDecoder() { close(); }

CharsetDecoder::CharsetDecoder(CharsetDecoder&& other) noexcept
    : initial_(other.initial_), converterName_(other.converterName_), table_(other.table_), mode_(other.mode_),
      converter_(std::exchange(other.converter_, nullptr)), carry_(std::move(other.carry_)), failed_(other.failed_)
{
    other.mode_ = Mode::Stored;
}

CharsetDecoder& CharsetDecoder::operator=(CharsetDecoder&& other) noexcept
{
    if (this != &other) {
        close();
        initial_ = other.initial_;
        converterName_ = other.converterName_;
        table_ = other.table_;
        mode_ = std::exchange(other.mode_, Mode::Stored);
        converter_ = std::exchange(other.converter_, nullptr);
        carry_ = std::move(other.carry_);
        failed_ = other.failed_;
    }
    return *this;
}

// Enters `mode`; a charset this system's iconv lacks is read as stored text.
void CharsetDecoder::open(Mode mode)
{
    mode_ = mode;
    if (mode_ != Mode::Converter)
        return;
    const iconv_t cd = iconv_open("UTF-8", converterName_);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        mode_ = Mode::Stored;
        return;
    }
    converter_ = cd;
}

void CharsetDecoder::close()
{
    if (converter_)
        iconv_close(static_cast<iconv_t>(converter_));
    converter_ = nullptr;
}

// The storedText rule for one piece, an unfinished UTF-8 sequence at its end held back.
std::string CharsetDecoder::storedPiece(std::string_view bytes)
{
    std::string joined;
    if (!carry_.empty()) {
        joined = std::move(carry_) + std::string(bytes);
        carry_.clear();
        bytes = joined;
    }
    const std::size_t tail = unfinishedTail(bytes);
    std::string out = storedText(bytes.substr(0, bytes.size() - tail));
    carry_.assign(bytes.substr(bytes.size() - tail));
    return out;
}

std::string CharsetDecoder::feed(std::string_view bytes)
{
    switch (mode_) {
    case Mode::Stored:
        return storedPiece(bytes);
    case Mode::Windows1252:
        return windows1252ToUtf8(bytes);
    case Mode::Table: {
        std::size_t undefined = 0;
        std::string out = convertByTable(bytes, *static_cast<const ByteTable*>(table_), &undefined);
        if (undefined < bytes.size()) {
            // A byte the charset does not define: from there on the stored-text rule reads.
            failed_ = true;
            mode_ = Mode::Stored;
            out += storedPiece(bytes.substr(undefined));
        }
        return out;
    }
    case Mode::Utf16: {
        // The byte order mark decides; without one, big-endian (RFC 2781).
        carry_.append(bytes);
        if (carry_.size() < 2)
            return {};
        std::string held = std::move(carry_);
        carry_.clear();
        const bool little = held[0] == '\xFF' && held[1] == '\xFE';
        const bool mark = little || (held[0] == '\xFE' && held[1] == '\xFF');
        converterName_ = little ? "UTF-16LE" : "UTF-16BE";
        open(Mode::Converter);
        return feed(std::string_view(held).substr(mark ? 2 : 0));
    }
    case Mode::Converter:
        break;
    }
    if (bytes.empty())
        return {}; // iconv reads a missing input as the end of the text and drops its shift state

    std::string joined;
    if (!carry_.empty()) {
        joined = std::move(carry_) + std::string(bytes);
        carry_.clear();
        bytes = joined;
    }
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    const Conversion c = convert(static_cast<iconv_t>(converter_), &bytes, out);
    const bool sane = isValidUtf8(out);
    if (sane && c.outcome == Outcome::Done)
        return out;
    if (sane && c.outcome == Outcome::Unfinished && bytes.size() - c.consumed <= kMaxCarry) {
        carry_.assign(bytes.substr(c.consumed));
        return out;
    }
    // From the failing byte on (from the piece's start when the converter wrote nonsense),
    // the stored-text rule reads the rest of the text.
    failed_ = true;
    close();
    mode_ = Mode::Stored;
    if (!sane)
        return storedPiece(bytes);
    return out + storedPiece(bytes.substr(c.consumed));
}

std::string CharsetDecoder::finish()
{
    std::string out;
    if (mode_ == Mode::Converter) {
        // A converter may hold a character back to see whether a combining one follows.
        const Conversion c = convert(static_cast<iconv_t>(converter_), nullptr, out);
        if (c.outcome != Outcome::Done || !isValidUtf8(out)) {
            failed_ = true;
            out.clear();
        }
    }
    if (mode_ != Mode::Windows1252 && mode_ != Mode::Table)
        out += storedText(carry_);
    carry_.clear();
    close();
    open(initial_);
    return out;
}

std::size_t utf8CutPoint(std::string_view text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text.size();
    if (!isValidUtf8(text))
        return maxBytes;
    std::size_t cut = maxBytes;
    while (cut > 0 && isContinuation(static_cast<unsigned char>(text[cut])))
        --cut;
    return cut;
}

std::string cutUtf8(std::string_view text, std::size_t maxBytes)
{
    return std::string(text.substr(0, utf8CutPoint(text, maxBytes)));
}

} // namespace tavik
