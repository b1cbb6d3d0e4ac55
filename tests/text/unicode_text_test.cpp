#include "text/unicode_text.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <random>
#include <string>
#include <vector>

namespace tavik {
namespace {

struct Word {
    const char* label;
    std::string bytes;
    std::string utf8;
};

// One real word per charset, its bytes as that charset writes it, and its UTF-8. The labels are
// spelled as mailers send them.
const std::vector<Word> kWords = {
    {"ISO-8859-2", "\xA3\xF3\x64\xBC", "\xC5\x81\xC3\xB3\x64\xC5\xBA"},                        // Łódź
    {"iso_8859-5", "\xBC\xD8\xE0", "\xD0\x9C\xD0\xB8\xD1\x80"},                                // Мир
    {"iso-8859-7", "\xC5\xEB\xEB\xDC\xE4\xE1", "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1"}, // Ελλάδα
    {"Windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"}, // Привет
    {"windows-1250", "\xA3\xF3\x64\x9F", "\xC5\x81\xC3\xB3\x64\xC5\xBA"},                      // Łódź
    {"koi8-r", "\xED\xCF\xD3\xCB\xD7\xC1", "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"},  // Москва
    {"ISO-2022-JP", "\x1B\x24\x42\x46\x7C\x4B\x5C\x38\x6C\x1B\x28\x42", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"}, // 日本語
    {"Shift_JIS", "\x93\x8C\x8B\x9E", "\xE6\x9D\xB1\xE4\xBA\xAC"},                             // 東京
    {"x-sjis", "\x93\x8C\x8B\x9E", "\xE6\x9D\xB1\xE4\xBA\xAC"},
    {"EUC-JP", "\xC2\xE7\xBA\xE5", "\xE5\xA4\xA7\xE9\x98\xAA"},                                // 大阪
    {"euc-kr", "\xC7\xD1\xB1\xB9", "\xED\x95\x9C\xEA\xB5\xAD"},                                // 한국
    {"ks_c_5601-1987", "\xBC\xAD\xBF\xEF", "\xEC\x84\x9C\xEC\x9A\xB8"},                        // 서울
    {"\"gb2312\"", "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},                            // 中文
    {"GB18030", "\xB1\xB1\xBE\xA9\xA2\xE3\x94\x39\xFC\x36",
     "\xE5\x8C\x97\xE4\xBA\xAC\xE2\x82\xAC\xF0\x9F\x98\x80"},                                   // 北京€😀
    {" big5 ", "\xA5\x78\xC6\x57", "\xE5\x8F\xB0\xE7\x81\xA3"},                                // 台灣
    {"utf-7", "Hi Mom -+Jjo--!", "Hi Mom -\xE2\x98\xBA-!"},                                    // RFC 2152's
    {"UTF-16", std::string("\xFF\xFE\xA9\x03\xBC\x03", 6), "\xCE\xA9\xCE\xBC"},                // Ωμ
    {"utf-16", std::string("\xFE\xFF\x03\xA9\x03\xBC", 6), "\xCE\xA9\xCE\xBC"},
    {"utf-16", std::string("\x03\xA9\x03\xBC", 4), "\xCE\xA9\xCE\xBC"},
    {"utf-8*en", "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},                                    // été
};

TEST(UnicodeText, ReadsAWordInEachCharsetMailUses)
{
    for (const Word& w : kWords) {
        SCOPED_TRACE(w.label);
        EXPECT_EQ(charsetToUtf8(w.bytes, w.label), w.utf8);
        CharsetDecoder d(w.label);
        EXPECT_EQ(d.feed(w.bytes) + d.finish(), w.utf8);
    }
}

TEST(UnicodeText, UnknownOrWrongLabelsFallBackToUtf8ElseWindows1252)
{
    for (const char* label : {"x-unknown", "", "unknown-8bit", "UTF-8//TRANSLIT", "us-ascii"}) {
        SCOPED_TRACE(label);
        EXPECT_EQ(charsetToUtf8("caf\xC3\xA9", label), "caf\xC3\xA9");
        EXPECT_EQ(charsetToUtf8("caf\xE9 \x80", label), "caf\xC3\xA9 \xE2\x82\xAC");
    }
    // ISO-8859-1 is read as Windows-1252, as every mailer reads it.
    EXPECT_EQ(charsetToUtf8("\x80", "ISO-8859-1"), "\xE2\x82\xAC");
    EXPECT_EQ(charsetToUtf8("\x80", "latin1"), "\xE2\x82\xAC");
    // A Latin-1 byte inside ISO-2022-JP text: the whole text falls back, none of it is lost.
    const std::string mixed = "\x1B\x24\x42\x46\x7C\x1B\x28\x42 caf\xE9";
    EXPECT_EQ(charsetToUtf8(mixed, "iso-2022-jp"), "\x1B\x24\x42\x46\x7C\x1B\x28\x42 caf\xC3\xA9");
    // A lone surrogate in UTF-16.
    EXPECT_EQ(charsetToUtf8(std::string("\xD8\x00\x00\x41", 4), "utf-16be"), std::string("\xC3\x98\x00\x00\x41", 5));
    // A sequence cut off at the very end: only its bytes are read as stored text.
    EXPECT_EQ(charsetToUtf8("\x93\x8C\x8B", "shift_jis"), "\xE6\x9D\xB1\xE2\x80\xB9");
}

TEST(UnicodeText, Windows1252MapsEveryByte)
{
    EXPECT_EQ(windows1252ToUtf8("\x80\x8A\x9F\xA0\xFF"), "\xE2\x82\xAC\xC5\xA0\xC5\xB8\xC2\xA0\xC3\xBF");
    // The five bytes it leaves undefined: the C1 controls of the same number.
    EXPECT_EQ(windows1252ToUtf8("\x81\x8D\x8F\x90\x9D"), "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    const std::string utf8 = windows1252ToUtf8(all);
    EXPECT_TRUE(isValidUtf8(utf8));
    EXPECT_EQ(utf8.substr(0, 128), all.substr(0, 128));
    EXPECT_EQ(storedText(all), utf8);
    EXPECT_EQ(storedText("\xC5\x81\xC3\xB3\x64\xC5\xBA"), "\xC5\x81\xC3\xB3\x64\xC5\xBA");
}

TEST(UnicodeText, EveryByteComesBackFromItsWindows1252Reading)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    std::string back;
    ASSERT_TRUE(utf8ToWindows1252(windows1252ToUtf8(all), back));
    EXPECT_EQ(back, all);
    EXPECT_FALSE(utf8ToWindows1252("\xce\xa9", back)); // no Omega in Windows-1252
    EXPECT_FALSE(utf8ToWindows1252("\xe9", back));      // not UTF-8
}

TEST(UnicodeText, IsValidUtf8RejectsOverlongsSurrogatesAndCutSequences)
{
    for (const std::string bad :
         {"\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF", // overlong
          "\xED\xA0\x80", "\xED\xBF\xBF",                                                                  // surrogates
          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xFE",                                          // too high
          "\x80", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xE2\x82\x41", "abcdefgh\xC3", "abcdefghijklmnop\xBF"}) {
        SCOPED_TRACE(testing::PrintToString(bad));
        EXPECT_FALSE(isValidUtf8(bad));
    }
    for (const std::string good : {"", "abc", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                                   "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "12345678\xE2\x82\xAC"}) {
        SCOPED_TRACE(testing::PrintToString(good));
        EXPECT_TRUE(isValidUtf8(good));
    }
    EXPECT_TRUE(isValidUtf8(std::string("a\0b", 3)));
}

// `text` in `charset`, by glibc's own encoder.
std::string encoded(const std::string& text, const char* charset)
{
    iconv_t cd = iconv_open(charset, "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << charset;
    std::string out(text.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* o = out.data();
    std::size_t outLeft = out.size();
    EXPECT_NE(iconv(cd, &in, &inLeft, &o, &outLeft), static_cast<std::size_t>(-1)) << charset;
    EXPECT_NE(iconv(cd, nullptr, nullptr, &o, &outLeft), static_cast<std::size_t>(-1)) << charset;
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

TEST(UnicodeText, TheDecoderGivesTheSameTextForAnySplit)
{
    const std::string japanese = "Re: \xE4\xBC\x9A\xE8\xAD\xB0\xE3\x81\xAE\xE4\xBB\xB6 ABC \xEF\xBD\xB1\r\n"
                                 "\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xA8\xE5\xA4\xA7\xE9\x98\xAA\xE3\x80\x82\r\n";
    const std::string korean = "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 \xEB\xA9\x94\xEC\x9D\xBC\r\nok\r\n";
    const std::string simplified = "\xE4\xB8\xAD\xE6\x96\x87\xE9\x82\xAE\xE4\xBB\xB6 re\r\n\xE5\x8C\x97\xE4\xBA\xAC\r\n";
    const std::string traditional = "\xE4\xB8\xAD\xE6\x96\x87\xE9\x83\xB5\xE4\xBB\xB6 re\r\n\xE5\x8F\xB0\xE7\x81\xA3\r\n";
    const std::string mixed = "Gr\xC3\xBC\xC3\x9F" "e \xCE\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 + - +-\r\n"
                              "\xE2\x82\xAC 5 \xD0\x9C\xD0\xB8\xD1\x80\r\n";
    struct Case {
        const char* label;
        std::string bytes;
        std::string utf8;
    };
    const std::vector<Case> cases = {
        {"iso-2022-jp", encoded(japanese.substr(0, 21) + japanese.substr(24), "ISO-2022-JP"),
         japanese.substr(0, 21) + japanese.substr(24)}, // without the half-width kana
        {"shift_jis", encoded(japanese, "CP932"), japanese},
        {"euc-jp", encoded(japanese, "EUC-JP"), japanese},
        {"euc-kr", encoded(korean, "EUC-KR"), korean},
        {"gb2312", encoded(simplified, "GB2312"), simplified},
        {"gb18030", encoded(mixed + simplified, "GB18030"), mixed + simplified},
        {"big5", encoded(traditional, "BIG5"), traditional},
        {"utf-7", encoded(mixed, "UTF-7"), mixed},
        {"utf-16", "\xFF\xFE" + encoded(mixed, "UTF-16LE"), mixed},
        {"utf-16", encoded(mixed, "UTF-16BE"), mixed},
        {"utf-8", mixed, mixed},
    };
    std::mt19937 random(20240611);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(charsetToUtf8(c.bytes, c.label), c.utf8);
        CharsetDecoder decoder(c.label); // one decoder: finish() starts it afresh
        for (int split = 0; split < 60; ++split) {
            std::string out;
            std::size_t at = 0;
            while (at < c.bytes.size()) {
                const std::size_t piece = std::uniform_int_distribution<std::size_t>(0, split % 2 ? 3 : 12)(random);
                out += decoder.feed(std::string_view(c.bytes).substr(at, piece));
                at += piece;
            }
            out += decoder.finish();
            ASSERT_EQ(out, c.utf8) << "split " << split;
        }
    }
}

TEST(UnicodeText, AFailingDecoderKeepsWhatItGaveAndReadsTheRestAsStoredText)
{
    CharsetDecoder d("iso-2022-jp");
    EXPECT_EQ(d.feed("\x1B\x24\x42\x46\x7C"), "\xE6\x97\xA5");
    EXPECT_EQ(d.feed(std::string_view()), ""); // an empty piece keeps the shift state
    EXPECT_EQ(d.feed("\x4B\x5C"), "\xE6\x9C\xAC");
    EXPECT_EQ(d.feed("\x1B\x28\x42\r\ncaf\xE9\r\n"), "\r\ncaf\xC3\xA9\r\n");
    EXPECT_EQ(d.feed("\xC3\xA9t\xC3"), "\xC3\xA9t");
    EXPECT_EQ(d.feed("\xA9\r\n"), "\xC3\xA9\r\n");
    EXPECT_EQ(d.feed("Ren\xE9"), "Ren");
    EXPECT_EQ(d.finish(), "\xC3\xA9");
    // Afresh after finish().
    EXPECT_EQ(d.feed("\x1B\x24\x42\x46\x7C\x1B\x28\x42"), "\xE6\x97\xA5");
}

TEST(UnicodeText, ACutNeverSplitsACharacterAndIsTheLongestThatFits)
{
    EXPECT_EQ(cutUtf8("\xC5\x81\xC3\xB3\x64\xC5\xBA", 6), "\xC5\x81\xC3\xB3\x64");
    EXPECT_EQ(cutUtf8("\xC5\x81\xC3\xB3\x64\xC5\xBA", 1), "");
    EXPECT_EQ(cutUtf8("\xF0\x9F\x98\x80", 3), "");
    EXPECT_EQ(cutUtf8("abc", 40), "abc");
    // Old 8-bit data is cut where it always was.
    EXPECT_EQ(cutUtf8("Ren\xE9 \xC3", 4), "Ren\xE9");
    EXPECT_EQ(utf8CutPoint("\xC3\xA9\xC3\xE9\xE9", 1), 1u);

    std::mt19937 random(7);
    const unsigned firsts[] = {0x41, 0xE9, 0x3A9, 0x20AC, 0xFFFD, 0x1F600};
    for (int round = 0; round < 200; ++round) {
        std::string text;
        std::vector<std::size_t> starts;
        const int count = std::uniform_int_distribution<int>(0, 30)(random);
        for (int i = 0; i < count; ++i) {
            starts.push_back(text.size());
            const unsigned cp = firsts[random() % 6] + static_cast<unsigned>(random() % 16);
            if (cp < 0x80)
                text += static_cast<char>(cp);
            else if (cp < 0x800)
                text += {static_cast<char>(0xC0 | cp >> 6), static_cast<char>(0x80 | (cp & 0x3F))};
            else if (cp < 0x10000)
                text += {static_cast<char>(0xE0 | cp >> 12), static_cast<char>(0x80 | (cp >> 6 & 0x3F)),
                         static_cast<char>(0x80 | (cp & 0x3F))};
            else
                text += {static_cast<char>(0xF0 | cp >> 18), static_cast<char>(0x80 | (cp >> 12 & 0x3F)),
                         static_cast<char>(0x80 | (cp >> 6 & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        }
        starts.push_back(text.size());
        ASSERT_TRUE(isValidUtf8(text));
        for (std::size_t max = 0; max <= text.size() + 1; ++max) {
            const std::size_t cut = utf8CutPoint(text, max);
            // The longest character boundary at or below max.
            std::size_t longest = 0;
            for (std::size_t s : starts)
                if (s <= max)
                    longest = s;
            ASSERT_EQ(cut, longest) << testing::PrintToString(text) << " at " << max;
        }
    }
}

} // namespace
} // namespace tavik
