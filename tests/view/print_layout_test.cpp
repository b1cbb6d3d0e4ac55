// Printed text layout: tab expansion, wrapping at the page width, page breaks.
#include <gtest/gtest.h>

#include "view/print_layout.h"
#include "view/text_viewer_rules.h"

namespace tavik {
namespace {

using Lines = std::vector<std::string>;

// A fixed-pitch page `columns` characters wide.
FitsPrintedLine columns(std::size_t n)
{
    return [n](const std::string& text) { return text.size() <= n; };
}

TEST(PrintedLines, TabsExpandToEightColumnsBeforeMeasuring)
{
    EXPECT_EQ(printedLines("a\tb", columns(80)), Lines{"a       b"});
    EXPECT_EQ(printedLines("12345678\tx\ty", columns(80)), Lines{"12345678        x       y"});
    // The tab counts at its expanded width: "ab" + 6 blanks + "cd" does not fit in 9.
    EXPECT_EQ(printedLines("ab\tcd", columns(9)), (Lines{"ab", "cd"}));
    // Control characters print as blanks, never as boxes.
    EXPECT_EQ(printedLines(std::string("a\rb\x01" "c\x7f" "d"), columns(80)), Lines{"a b c d"});
}

TEST(PrintedLines, WrapsAtTheLastBlankThatFits)
{
    EXPECT_EQ(printedLines("the quick brown fox jumps", columns(10)), (Lines{"the quick", "brown fox", "jumps"}));
    // The blank right after a full piece is a clean cut; runs of blanks at a cut are dropped.
    EXPECT_EQ(printedLines("0123456789 abc", columns(10)), (Lines{"0123456789", "abc"}));
    EXPECT_EQ(printedLines("abc     def ghi", columns(6)), (Lines{"abc", "def", "ghi"}));
    // The first piece keeps its indentation; a cut never leaves a piece of blanks alone.
    EXPECT_EQ(printedLines("    indented text", columns(12)), (Lines{"    indented", "text"}));
    EXPECT_EQ(printedLines("      abcdefghij", columns(8)), (Lines{"      ab", "cdefghij"}));
}

TEST(PrintedLines, WordsLongerThanTheLineAreCutWhereTheyStopFitting)
{
    EXPECT_EQ(printedLines("abcdefghijkl", columns(5)), (Lines{"abcde", "fghij", "kl"}));
    EXPECT_EQ(printedLines("ab abcdefghijkl", columns(5)), (Lines{"ab", "abcde", "fghij", "kl"}));
    // A page where nothing fits still prints every character, one per line, and ends.
    EXPECT_EQ(printedLines("abc", [](const std::string&) { return false; }), (Lines{"a", "b", "c"}));
}

TEST(PrintedLines, EmptyAndBlankLinesAreOneEmptyPrintedLine)
{
    EXPECT_EQ(printedLines("", columns(10)), Lines{""});
    EXPECT_EQ(printedLines("                         ", columns(4)), Lines{""});
    EXPECT_EQ(printedLines("\t\t\t", columns(4)), Lines{""});
    EXPECT_EQ(printedLines("word          ", columns(4)), Lines{"word"});
}

TEST(PrintedLines, CjkAndOldEightBitLinesAreCutBetweenCharacters)
{
    // A page four characters wide, whatever their bytes.
    const FitsPrintedLine fourCharacters = [](const std::string& text) {
        return characterOffset(text, 4) == text.size();
    };
    // 你好世界和平 has no blank: it is cut after the fourth character, not the fourth byte.
    EXPECT_EQ(printedLines("\xe4\xbd\xa0\xe5\xa5\xbd\xe4\xb8\x96\xe7\x95\x8c\xe5\x92\x8c\xe5\xb9\xb3", fourCharacters),
              (Lines{"\xe4\xbd\xa0\xe5\xa5\xbd\xe4\xb8\x96\xe7\x95\x8c", "\xe5\x92\x8c\xe5\xb9\xb3"}));
    // Greek wraps at the blank; a tab after a Greek letter counts it as one column.
    EXPECT_EQ(printedLines("\xce\xb1\xce\xb2 \xce\xb3\xce\xb4\xce\xb5", fourCharacters),
              (Lines{"\xce\xb1\xce\xb2", "\xce\xb3\xce\xb4\xce\xb5"}));
    EXPECT_EQ(printedLines("\xce\xb1\tb", columns(80)), Lines{"\xce\xb1" + std::string(7, ' ') + "b"});
    // A line of the 8-bit program prints as Windows-1252, as UTF-8 pieces.
    EXPECT_EQ(printedLines("Gr\xfc\xdf" "e \x80" "5", fourCharacters),
              (Lines{"Gr\xc3\xbc\xc3\x9f", "e \xe2\x82\xac" "5"}));
}

TEST(PrintedLines, AHugeLineIsMeasuredInPiecesNotWhole)
{
    const std::string line(100000, 'x');
    std::size_t measured = 0;
    const Lines out = printedLines(line, [&](const std::string& text) {
        measured += text.size();
        return text.size() <= 80;
    });
    ASSERT_EQ(out.size(), 1250u);
    for (const std::string& piece : out)
        ASSERT_EQ(piece.size(), 80u);
    // Measuring the rest of the line for every piece would be thousands of times the line.
    EXPECT_LT(measured, 20 * line.size());
}

TEST(PageFlow, BreaksBeforeTheLineThatNoLongerFits)
{
    EXPECT_EQ(linesPerPage(1000, 100), 10);
    EXPECT_EQ(linesPerPage(1099, 100), 10);
    EXPECT_EQ(linesPerPage(50, 100), 1);
    EXPECT_EQ(linesPerPage(1000, 0), 1);

    PageFlow flow(3);
    std::vector<bool> breaks;
    std::vector<int> rows;
    for (int i = 0; i < 7; ++i) {
        breaks.push_back(flow.place());
        rows.push_back(flow.row());
    }
    EXPECT_EQ(breaks, (std::vector<bool>{false, false, false, true, false, false, true}));
    EXPECT_EQ(rows, (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
    EXPECT_EQ(flow.pages(), 3);

    PageFlow tiny(0); // a page too small for a line still takes one per page
    EXPECT_FALSE(tiny.place());
    EXPECT_TRUE(tiny.place());
    EXPECT_EQ(tiny.pages(), 2);
}

TEST(PrintedHeader, ThePreviewsOwnLinesBecomeTheBlockWithTheDate)
{
    const Lines preview = {"From:       Ann <ann@x.org>", "To:         me@x.org", "Subject:    Minutes", " ",
                           "Body", "From: quoted later"};
    const PrintedPreview printed = printedPreview(preview, "Wed, 9 Dec 2026");
    EXPECT_EQ(printedHeaderBlock(printed.header),
              (Lines{"From:    Ann <ann@x.org>", "To:      me@x.org", "Date:    Wed, 9 Dec 2026", "Subject: Minutes"}));
    EXPECT_EQ(printed.body, (Lines{"Body", "From: quoted later"}));
    // A text without them is printed whole.
    EXPECT_EQ(printedPreview({"Body"}, "d").body, Lines{"Body"});
    EXPECT_EQ(pageNumberLine(2, 5), "Page 2 of 5");
}

} // namespace
} // namespace tavik
