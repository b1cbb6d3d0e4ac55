// Finding text without regard to case or accents, in UTF-8 and in old 8-bit stored text.
#include <gtest/gtest.h>

#include "text/search_text.h"

using namespace tavik;

namespace {

bool finds(const std::string& needle, const std::string& stored)
{
    std::string scratch;
    return SearchText(needle).foundInStored(stored, scratch);
}

} // namespace

TEST(SearchText, CaseAndAccentsDoNotMatterInAnyScript)
{
    EXPECT_TRUE(finds("resume", "Your R\xC3\xA9sum\xC3\xA9 arrived"));
    EXPECT_TRUE(finds("R\xC3\x89SUM\xC3\x89", "your resume"));
    EXPECT_TRUE(finds("STRASSE", "Hauptstra\xC3\x9F" "e 5"));
    EXPECT_TRUE(finds("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "\xCE\xBF\xCE\xB4\xCF\x8C\xCF\x82"));         // ΟΔΟΣ, οδός
    // МОСКВ is in "в москве", МОСКВА is not.
    EXPECT_TRUE(finds("\xD0\x9C\xD0\x9E\xD0\xA1\xD0\x9A\xD0\x92", "\xD0\xB2 \xD0\xBC\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB5"));
    EXPECT_FALSE(finds("\xD0\x9C\xD0\x9E\xD0\xA1\xD0\x9A\xD0\x92\xD0\x90", "\xD0\xB2 \xD0\xBC\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB5"));
    EXPECT_TRUE(finds("fiance", "my \xEF\xAC\x81\x61nc\xC3\xA9\x65"));                                  // the "fi" ligature
    EXPECT_FALSE(finds("resumes", "R\xC3\xA9sum\xC3\xA9"));
    EXPECT_TRUE(finds("", "anything"));
    // An old 8-bit line reads as Windows-1252, beside a UTF-8 line of the same text.
    EXPECT_TRUE(finds("caf\xC3\xA9 cr\xC3\xA8me", "Subject: Caf\xE9 cr\xE8me\r\nBody: ok\r\n"));
    EXPECT_TRUE(finds("euro", "Price: 5 \x80\r\nEuro\r\n"));
    EXPECT_TRUE(finds("naive", "na\xEFve\r\nna\xC3\xAFve\r\n"));
}

TEST(SearchText, TheFoldedFormIsTheLowerCaseOfAsciiByteForByte)
{
    // The eight-at-a-time path and the byte path give the same, up to the letters' neighbours.
    EXPECT_EQ(searchFolded("@AZ[`az{ 0123456789 HELLO, WORLD\r\n\t~"), "@az[`az{ 0123456789 hello, world\r\n\t~");
    EXPECT_EQ(searchFolded("Stra\xC3\x9F" "E"), "strasse");
    // Characters without case pass unchanged, CJK among them.
    EXPECT_EQ(searchFolded("\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80"), "\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80");
    std::string buffer = "kept|";
    appendSearchFolded("\xC3\x89T\xC3\x89", buffer);
    EXPECT_EQ(buffer, "kept|ete");
}
