#include "text/search_text.h"

#include "text/unicode_text.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace tavik {

namespace {

// Marks that only put an accent on the letter before them; other marks (vowel signs of Indic
// scripts, say) are part of the word and stay.
bool isAccent(UChar c)
{
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
           (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F);
}

// Blocks without case or accents: their characters stand for themselves, which spares building
// their entries (Hangul syllables would decompose into jamo for nothing).
bool standsForItself(std::uint32_t c)
{
    return (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xDFFF) ||
           (c >= 0xE000 && c <= 0xF8FF);
}

constexpr int kRoom = 64;

int32_t withoutAccents(UChar* s, int32_t n)
{
    int32_t kept = 0;
    for (int32_t i = 0; i < n; ++i)
        if (!isAccent(s[i]))
            s[kept++] = s[i];
    return kept;
}

std::string utf8Of(std::uint32_t c)
{
    std::string s;
    if (c < 0x80) {
        s.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        s.push_back(static_cast<char>(0xC0 | (c >> 6)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        s.push_back(static_cast<char>(0xE0 | (c >> 12)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        s.push_back(static_cast<char>(0xF0 | (c >> 18)));
        s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return s;
}

// The folded UTF-8 of one character: decomposed, accents dropped, case folded, and once more
// decomposed without accents (a folded letter may decompose again).
std::string foldCharacter(std::uint32_t c, const UNormalizer2* nfkd)
{
    UChar a[kRoom], b[kRoom];
    int32_t n = 0;
    U16_APPEND_UNSAFE(a, n, static_cast<UChar32>(c));
    UErrorCode status = U_ZERO_ERROR;
    // a into b: decomposed without accents, or copied where no normaliser is at hand.
    auto decompose = [&] {
        if (!nfkd) {
            std::memcpy(b, a, sizeof(UChar) * static_cast<std::size_t>(n));
            return true;
        }
        n = unorm2_normalize(nfkd, a, n, b, kRoom, &status);
        if (U_FAILURE(status))
            return false;
        n = withoutAccents(b, n);
        return true;
    };
    if (!decompose())
        return utf8Of(c);
    n = u_strFoldCase(a, kRoom, b, n, U_FOLD_CASE_DEFAULT, &status);
    if (U_FAILURE(status) || !decompose())
        return utf8Of(c);
    char out[kRoom * 3];
    int32_t length = 0;
    u_strToUTF8(out, sizeof out, &length, b, n, &status);
    if (U_FAILURE(status))
        return utf8Of(c);
    return std::string(out, static_cast<std::size_t>(length));
}

constexpr std::uint32_t kUnchanged = 0xFFu;

struct FoldTables {
    char ascii[128];
    // Per BMP character: the length of its folded UTF-8 in the top byte (kUnchanged: the
    // character itself) and its place in `pool` below.
    std::vector<std::uint32_t> bmp;
    std::string pool;
    // Bytes 0x80 to 0xFF read as Windows-1252, folded.
    std::string high1252[128];
    std::size_t longest = 4;
};

void foldInto(const FoldTables& t, std::string_view stored, std::string& out);

const FoldTables& foldTables()
{
    static FoldTables tables;
    static std::once_flag once;
    std::call_once(once, [] {
        FoldTables& t = tables;
        for (int c = 0; c < 128; ++c)
            t.ascii[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        UErrorCode status = U_ZERO_ERROR;
        const UNormalizer2* nfkd = unorm2_getNFKDInstance(&status);
        if (U_FAILURE(status))
            nfkd = nullptr;
        t.bmp.assign(0x10000, kUnchanged << 24);
        for (std::uint32_t c = 0x80; c < 0x10000; ++c) {
            if (standsForItself(c))
                continue;
            const std::string folded = foldCharacter(c, nfkd);
            if (folded == utf8Of(c) || folded.size() >= kUnchanged)
                continue;
            t.bmp[c] = (static_cast<std::uint32_t>(folded.size()) << 24) | static_cast<std::uint32_t>(t.pool.size());
            t.pool += folded;
            if (folded.size() > t.longest)
                t.longest = folded.size();
        }
        for (int b = 0x80; b < 0x100; ++b) {
            const std::string utf8 = windows1252ToUtf8(std::string(1, static_cast<char>(b)));
            foldInto(t, utf8, t.high1252[b - 0x80]);
        }
    });
    return tables;
}

// Where a UTF-8 sequence starting at s[i] ends and what it stands for; false when none starts
// there (the line is then not UTF-8, which the caller has checked already).
bool decodeUtf8(const unsigned char* s, std::size_t n, std::size_t i, std::uint32_t& c, std::size_t& length)
{
    const unsigned char b = s[i];
    if (b >= 0xC2 && b <= 0xDF && i + 1 < n) {
        c = (static_cast<std::uint32_t>(b & 0x1F) << 6) | (s[i + 1] & 0x3F);
        length = 2;
        return true;
    }
    if (b >= 0xE0 && b <= 0xEF && i + 2 < n) {
        c = (static_cast<std::uint32_t>(b & 0x0F) << 12) | (static_cast<std::uint32_t>(s[i + 1] & 0x3F) << 6) |
            (s[i + 2] & 0x3F);
        length = 3;
        return true;
    }
    if (b >= 0xF0 && b <= 0xF4 && i + 3 < n) {
        c = (static_cast<std::uint32_t>(b & 0x07) << 18) | (static_cast<std::uint32_t>(s[i + 1] & 0x3F) << 12) |
            (static_cast<std::uint32_t>(s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
        length = 4;
        return true;
    }
    return false;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// Eight ASCII bytes in lower case at once: a byte gets 0x20 when it lies from 'A' to 'Z'.
inline std::uint64_t lowerAscii8(std::uint64_t w)
{
    const std::uint64_t aboveZ = w + 0x2525252525252525ull; // high bit set from 'Z' + 1 on
    const std::uint64_t fromA = w + 0x3F3F3F3F3F3F3F3Full;  // high bit set from 'A' on
    return w | (((fromA ^ aboveZ) & kHighBits) >> 2);
}

void foldInto(const FoldTables& t, std::string_view stored, std::string& out)
{
    const auto* s = reinterpret_cast<const unsigned char*>(stored.data());
    const std::size_t n = stored.size();
    std::size_t at = out.size();
    // Room for what is left of the input and for one character's longest folding: the ASCII
    // loop writes one byte per byte read, so only the other characters need a check.
    auto ensureRoom = [&](std::size_t i) {
        const std::size_t need = at + (n - i) + t.longest + 8;
        if (out.size() < need)
            out.resize(std::max(need, out.size() + out.size() / 2));
    };
    ensureRoom(0);
    char* o = out.data();
    std::size_t i = 0;
    // The line around the last 8-bit byte met, and whether it reads as UTF-8.
    std::size_t lineEnd = 0;
    bool lineIsUtf8 = true;
    while (i < n) {
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & kHighBits)
                break;
            w = lowerAscii8(w);
            std::memcpy(o + at, &w, 8);
            i += 8;
            at += 8;
        }
        while (i < n && s[i] < 0x80)
            o[at++] = t.ascii[s[i++]];
        if (i >= n)
            break;
        if (i >= lineEnd) {
            const void* before = i ? memrchr(s, '\n', i) : nullptr;
            const std::size_t start = before ? static_cast<std::size_t>(static_cast<const unsigned char*>(before) - s) + 1 : 0;
            const void* after = std::memchr(s + i, '\n', n - i);
            lineEnd = after ? static_cast<std::size_t>(static_cast<const unsigned char*>(after) - s) : n;
            lineIsUtf8 = isValidUtf8(stored.substr(start, lineEnd - start));
        }
        std::uint32_t c = 0;
        std::size_t length = 1;
        std::string_view piece;
        std::string supplementary;
        if (!lineIsUtf8 || !decodeUtf8(s, n, i, c, length)) {
            length = 1;
            piece = t.high1252[s[i] - 0x80];
        } else if (c < 0x10000) {
            const std::uint32_t entry = t.bmp[c];
            if ((entry >> 24) == kUnchanged)
                piece = stored.substr(i, length);
            else
                piece = std::string_view(t.pool).substr(entry & 0xFFFFFF, entry >> 24);
        } else {
            supplementary = utf8Of(static_cast<std::uint32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT)));
            piece = supplementary;
        }
        std::memcpy(o + at, piece.data(), piece.size());
        at += piece.size();
        i += length;
        ensureRoom(i);
        o = out.data();
    }
    out.resize(at);
}

} // namespace

void appendSearchFolded(std::string_view stored, std::string& out) { foldInto(foldTables(), stored, out); }

std::string searchFolded(std::string_view stored)
{
    std::string out;
    appendSearchFolded(stored, out);
    return out;
}

SearchText::SearchText(std::string_view text) : folded_(searchFolded(text)) {}

bool SearchText::foundIn(std::string_view haystack) const
{
    if (folded_.empty())
        return true;
    return memmem(haystack.data(), haystack.size(), folded_.data(), folded_.size()) != nullptr;
}

bool SearchText::foundInStored(std::string_view stored, std::string& scratch) const
{
    if (folded_.empty())
        return true;
    scratch.clear();
    appendSearchFolded(stored, scratch);
    return foundIn(scratch);
}

} // namespace tavik
