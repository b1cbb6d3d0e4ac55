#include "text/flowed_text.h"
#include "text/unicode_text.h"

#include <gtest/gtest.h>

namespace tavik {
namespace {

using Lines = std::vector<std::string>;

Lines decode(const Lines& in, bool delSp, std::size_t cap = kMaxFlowedLineBytes)
{
    FlowedText flowed(delSp, cap);
    Lines out;
    for (const std::string& line : in)
        flowed.feed(line, out);
    flowed.finish(out);
    return out;
}

TEST(FlowedText, SoftBrokenLinesJoinAtTheirQuoteDepth)
{
    EXPECT_EQ(decode({"This is a ", "flowed paragraph ", "over three lines.", "", "Open at the ", "end "}, false),
              (Lines{"This is a flowed paragraph over three lines.", "", "Open at the end "}));
    EXPECT_EQ(decode({"Donau ", "dampfschiff and  ", "more"}, true), (Lines{"Donaudampfschiff and more"}));
    EXPECT_EQ(decode({"> one ", "> two", ">> deep ", ">>deeper", "> back ", ">> other ", "plain", ">>"}, false),
              (Lines{"> one two", ">> deep deeper", "> back ", ">> other ", "plain", ">> "}));
}

TEST(FlowedText, SignatureSeparatorStaysAndOneStuffedBlankGoes)
{
    EXPECT_EQ(decode({"Regards, ", "-- ", "Tavik ", "mail", "> -- ", "> > x"}, false),
              (Lines{"Regards, ", "-- ", "Tavik mail", "> -- ", "> > x"}));
    EXPECT_EQ(decode({" From here on", "  two blanks", " >not a quote", ">  indented"}, false),
              (Lines{"From here on", " two blanks", ">not a quote", ">  indented"}));
}

TEST(FlowedText, AHugeParagraphComesOutInPiecesCutBetweenCharacters)
{
    // Cutting "abcd" + the euro sign's three bytes at 5 would split the euro sign.
    EXPECT_EQ(decode({"> abcd\xE2\x82\xAC"}, false, 5), (Lines{"> abcd", "> \xE2\x82\xAC"}));

    FlowedText flowed(false, 10);
    Lines out;
    for (int i = 0; i < 1000; ++i)
        flowed.feed("ab\xE2\x82\xAC ", out); // never ends: the pieces must come out as it goes
    EXPECT_GT(out.size(), 500u);
    flowed.finish(out);
    std::string joined;
    for (const std::string& piece : out) {
        EXPECT_TRUE(piece.size() <= 10 && isValidUtf8(piece)) << piece;
        joined += piece;
    }
    EXPECT_EQ(joined.size(), 6000u);
}

} // namespace
} // namespace tavik
