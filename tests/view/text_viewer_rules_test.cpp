// The text viewer's rules without a screen: quoting, link finding and the link table, the mouse
// selection, Copy and Select all, and the scroll arithmetic.
#include <gtest/gtest.h>

#include "text/unicode_text.h"
#include "view/text_viewer_rules.h"

using namespace tavik;

namespace {

std::vector<std::string> texts(const std::vector<TextLink>& links)
{
    std::vector<std::string> t;
    for (const auto& l : links)
        t.push_back(l.text);
    return t;
}

// A viewer with an 8 by 16 pixel character cell: ten lines on a 160 pixel high surface.
struct ViewerFixture : ::testing::Test {
    TextViewerModel viewer;
    void SetUp() override
    {
        viewer.SetMetrics(8, 16);
        viewer.SetSurfaceSize(800, 160);
    }
    // Surface position of column c on visible row r.
    static int xOf(int column) { return column * 8; }
    static int yOf(int row) { return row * 16 + 3; }
    void drag(int fromColumn, int fromRow, int toColumn, int toRow)
    {
        viewer.MousePress(xOf(fromColumn), yOf(fromRow));
        viewer.MouseMove(xOf(toColumn), yOf(toRow));
        viewer.MouseRelease();
    }
};

// ---- Quoting ----

TEST(TextViewerQuotes, FirstAngleBracketAtCharacterOneToThree)
{
    EXPECT_TRUE(isQuotedLine(">"));
    EXPECT_TRUE(isQuotedLine("> quoted"));
    EXPECT_TRUE(isQuotedLine(">> twice"));
    EXPECT_TRUE(isQuotedLine(" > one blank"));
    EXPECT_TRUE(isQuotedLine("  > two blanks"));
    EXPECT_TRUE(isQuotedLine("ab> anything before it"));
    EXPECT_FALSE(isQuotedLine("   > three blanks"));
    EXPECT_FALSE(isQuotedLine("no quote at all"));
    EXPECT_FALSE(isQuotedLine("abc> fourth"));
    EXPECT_TRUE(isQuotedLine("a > b")); // the rule looks at the position only
    EXPECT_FALSE(isQuotedLine(""));
}

TEST(TextViewerQuotes, QuotedColorOutsideTheTableIsColourZero)
{
    EXPECT_EQ(quotedColorRgb(0), 0x000000u);
    EXPECT_EQ(quotedColorRgb(1), 0x800000u);
    EXPECT_EQ(quotedColorRgb(8), 0xC0C0C0u);
    EXPECT_EQ(quotedColorRgb(12), 0x0000FFu);
    EXPECT_EQ(quotedColorRgb(15), 0xFFFFFFu);
    EXPECT_EQ(quotedColorRgb(-1), 0x000000u);
    EXPECT_EQ(quotedColorRgb(16), 0x000000u);
    EXPECT_EQ(quotedColorRgb(100000), 0x000000u);
}

// ---- Finding links ----

TEST(TextViewerLinks, WebLinksEndBeforeTheFirstBlankOrTab)
{
    auto links = findWebLinks("see http://x.org/a?b=1 and more");
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].text, "http://x.org/a?b=1");
    EXPECT_EQ(links[0].start, 4u);
    EXPECT_EQ(texts(findWebLinks("http://a.b\tnext")), (std::vector<std::string>{"http://a.b"}));
    EXPECT_EQ(texts(findWebLinks("at the end http://a.b/c.")), (std::vector<std::string>{"http://a.b/c"}));
    EXPECT_EQ(texts(findWebLinks("http://one http://two")), (std::vector<std::string>{"http://one", "http://two"}));
    EXPECT_EQ(texts(findWebLinks("xhttp://glued")), (std::vector<std::string>{"http://glued"}));
    EXPECT_EQ(texts(findWebLinks("http://http://x y")), (std::vector<std::string>{"http://http://x"}));
    EXPECT_TRUE(findWebLinks("HTTP://upper www.x.org ftp://x").empty());
    EXPECT_TRUE(findWebLinks("").empty());
}

TEST(TextViewerLinks, HttpsLinksAreFoundLikeHttpOnes)
{
    auto links = findWebLinks("secure https://x.org/p then http://y.org");
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].text, "https://x.org/p");
    EXPECT_EQ(links[0].start, 7u);
    EXPECT_EQ(links[1].text, "http://y.org");
    EXPECT_EQ(texts(findWebLinks("https://a\thttps://b")), (std::vector<std::string>{"https://a", "https://b"}));
    EXPECT_TRUE(findWebLinks("https:/x httpss://y").empty());
}

TEST(TextViewerLinks, MailLinksRunOverAddressCharacters)
{
    auto links = findMailLinks("write to john.doe@example.com. Thanks");
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].text, "john.doe@example.com");
    EXPECT_EQ(links[0].start, 9u);
    EXPECT_EQ(texts(findMailLinks("John <john@x.org>")), (std::vector<std::string>{"john@x.org"}));
    EXPECT_EQ(texts(findMailLinks("a lone @ here")), (std::vector<std::string>{"@"}));
    EXPECT_EQ(texts(findMailLinks("a@b.c|John Doe")), (std::vector<std::string>{"a@b.c|John"}));
    EXPECT_EQ(texts(findMailLinks("first_1-x@a-b.c, second@d")),
              (std::vector<std::string>{"first_1-x@a-b.c", "second@d"}));
    // The next link never reaches back into the previous one.
    EXPECT_EQ(texts(findMailLinks("a@b@c")), (std::vector<std::string>{"a@b", "@c"}));
    EXPECT_EQ(texts(findMailLinks("caf\xe9@x")), (std::vector<std::string>{"@x"}));
    EXPECT_TRUE(findMailLinks("no address").empty());
}

TEST(TextViewerLinks, LinksLoseTrailingPunctuation)
{
    using L = std::vector<std::string>;
    // A recipient with the full stop would be refused by the server and stop the outbox.
    EXPECT_EQ(texts(findMailLinks("Write to alice@example.com.")), L{"alice@example.com"});
    EXPECT_EQ(texts(findMailLinks("(bob@x.org), carol@y.org; dan@z.org! \"eve@w.org\"?")),
              (L{"bob@x.org", "carol@y.org", "dan@z.org", "eve@w.org"}));
    EXPECT_EQ(texts(findMailLinks("a lone @. here")), L{"@"});
    EXPECT_EQ(texts(findWebLinks("<https://example.org/x>")), L{"https://example.org/x"});
    EXPECT_EQ(texts(findWebLinks("(see https://example.org/x).")), L{"https://example.org/x"});
    EXPECT_EQ(texts(findWebLinks("\"http://a.b/c?\", 'http://d.e/f';")), (L{"http://a.b/c", "http://d.e/f"}));
    EXPECT_EQ(texts(findWebLinks("[http://a.b/c]: and {http://d.e/}...")), (L{"http://a.b/c", "http://d.e/"}));
    // Brackets the link opens itself are its own.
    EXPECT_EQ(texts(findWebLinks("http://w.org/Foo_(bar) and (http://w.org/Foo_(bar)).")),
              (L{"http://w.org/Foo_(bar)", "http://w.org/Foo_(bar)"}));
    EXPECT_EQ(texts(findWebLinks("https://x.org/?q=a.b")), L{"https://x.org/?q=a.b"});
    // The link's place on the line stays where it began.
    const auto links = findLinks("<https://example.org/x>.");
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].start, 1u);
}

TEST(TextViewerLinks, WebLinksComeBeforeMailLinksOfTheSameLine)
{
    auto links = findLinks("mail x@y.z or http://user@host.org/p");
    EXPECT_EQ(texts(links), (std::vector<std::string>{"http://user@host.org/p", "x@y.z", "user@host.org"}));
}

TEST(TextViewerLinks, TabsExpandToEveryEighthColumn)
{
    EXPECT_EQ(expandTabs("a\tb"), "a       b");
    EXPECT_EQ(expandTabs("\t"), std::string(8, ' '));
    EXPECT_EQ(expandTabs("12345678\tx"), "12345678        x");
    EXPECT_EQ(displayColumn("a\tb", 2), 8u);
    EXPECT_EQ(displayColumn("abc", 2), 2u);
    EXPECT_EQ(displayColumn("ab", 5), 5u);
}

// ---- The link table ----

TEST_F(ViewerFixture, PaintingRecordsTheLinksOnTheSurface)
{
    viewer.SetLines({"see http://x.org/a and more", "> quoted", "plain", "\thttp://t"});
    auto painted = viewer.Paint();
    ASSERT_EQ(painted.size(), 4u);
    EXPECT_FALSE(painted[0].quoted);
    EXPECT_TRUE(painted[1].quoted);
    EXPECT_EQ(painted[3].text, std::string(8, ' ') + "http://t");
    EXPECT_EQ(painted[2].y, 32);
    EXPECT_EQ(painted[2].x, kTextLeftMargin);
    const auto& table = viewer.LinkTable();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].text, "http://x.org/a");
    EXPECT_EQ(table[0].left, 10 + 4 * 8);
    EXPECT_EQ(table[0].right, 10 + 4 * 8 + 14 * 8);
    EXPECT_EQ(table[0].top, 0);
    EXPECT_EQ(table[0].bottom, 16);
    EXPECT_EQ(table[1].left, 10 + 8 * 8); // after the tab
    EXPECT_EQ(table[1].top, 48);
    EXPECT_EQ(painted[0].links, (std::vector<std::size_t>{0}));
    EXPECT_EQ(painted[3].links, (std::vector<std::size_t>{1}));

    EXPECT_TRUE(viewer.IsOverLink(42, 0));    // bounds included
    EXPECT_TRUE(viewer.IsOverLink(154, 16));
    EXPECT_FALSE(viewer.IsOverLink(41, 5));
    EXPECT_FALSE(viewer.IsOverLink(100, 20));
}

TEST_F(ViewerFixture, APressOnOverlappingLinksReportsBothWebFirst)
{
    viewer.SetLines({"http://user@host.org/x tail"});
    viewer.Paint();
    std::vector<std::string> clicked;
    viewer.OnLinkClicked = [&](const std::string& link) { clicked.push_back(link); };
    auto hits = viewer.MousePress(10 + 9 * 8 + 2, 5);
    EXPECT_EQ(clicked, (std::vector<std::string>{"http://user@host.org/x", "user@host.org"}));
    EXPECT_EQ(hits, (std::vector<std::size_t>{0, 1}));
    // The press goes on to start a selection.
    EXPECT_TRUE(viewer.Selecting());
    viewer.MouseRelease();
    clicked.clear();
    viewer.MousePress(10 + 2, 5); // on the web link only
    EXPECT_EQ(clicked, (std::vector<std::string>{"http://user@host.org/x"}));
    clicked.clear();
    viewer.MousePress(10 + 25 * 8, 5); // on "tail"
    EXPECT_TRUE(clicked.empty());
}

TEST_F(ViewerFixture, WithoutAHandlerNothingIsReported)
{
    viewer.SetLines({"http://x"});
    viewer.Paint();
    EXPECT_TRUE(viewer.MousePress(12, 3).empty());
    EXPECT_TRUE(viewer.Selecting());
}

TEST_F(ViewerFixture, AHandlerMayReplaceTheText)
{
    viewer.SetLines({"a@b http://c"});
    viewer.Paint();
    std::vector<std::string> clicked;
    viewer.OnLinkClicked = [&](const std::string& link) {
        clicked.push_back(link);
        viewer.SetLines({"replaced"});
    };
    viewer.MousePress(10 + 1, 3);
    EXPECT_EQ(clicked, (std::vector<std::string>{"a@b"}));
    EXPECT_EQ(viewer.Lines(), (std::vector<std::string>{"replaced"}));
}

TEST_F(ViewerFixture, ScrolledAwayLinksCannotBeClickedAndScrolledInOnesCan)
{
    std::vector<std::string> lines(30, "text");
    lines[0] = "top http://first";
    lines[15] = "mail me@there";
    viewer.SetLines(lines);
    viewer.Paint();
    ASSERT_EQ(viewer.LinkTable().size(), 1u);
    std::vector<std::string> clicked;
    viewer.OnLinkClicked = [&](const std::string& link) { clicked.push_back(link); };

    viewer.SetVerticalPosition(10);
    auto painted = viewer.Paint();
    EXPECT_EQ(painted.front().line, 10);
    EXPECT_EQ(painted.size(), 10u);
    ASSERT_EQ(viewer.LinkTable().size(), 1u);
    EXPECT_EQ(viewer.LinkTable()[0].text, "me@there");
    viewer.MousePress(10 + 4 * 8 + 1, 3); // where the first link was
    viewer.MouseRelease();
    EXPECT_TRUE(clicked.empty());
    viewer.MousePress(10 + 6 * 8, 5 * 16 + 2);
    EXPECT_EQ(clicked, (std::vector<std::string>{"me@there"}));
}

TEST_F(ViewerFixture, MoreThanAHundredLinksAreAllRecorded)
{
    std::string line;
    for (int i = 0; i < 150; ++i)
        line += "@ ";
    viewer.SetSurfaceSize(2500, 160);
    viewer.SetLines({line});
    viewer.Paint();
    ASSERT_EQ(viewer.LinkTable().size(), 150u);
    std::vector<std::string> clicked;
    viewer.OnLinkClicked = [&](const std::string& link) { clicked.push_back(link); };
    auto hits = viewer.MousePress(10 + 200 * 8 + 4, 3); // the 101st
    EXPECT_EQ(hits, (std::vector<std::size_t>{100}));
    EXPECT_EQ(clicked, (std::vector<std::string>{"@"}));

    // Links right of the surface are not on it and are not recorded.
    viewer.SetSurfaceSize(100, 160);
    viewer.Paint();
    EXPECT_EQ(viewer.LinkTable().size(), 6u); // columns 0, 2, ..., 10 begin left of x = 100
}

TEST_F(ViewerFixture, EmptyTextPaintsNothing)
{
    auto painted = viewer.Paint();
    EXPECT_TRUE(painted.empty());
    EXPECT_TRUE(viewer.LinkTable().empty());
    EXPECT_EQ(viewer.VerticalRange(), 0);
    viewer.SetLines({"http://x"});
    viewer.Paint();
    viewer.Clear();
    EXPECT_TRUE(viewer.Paint().empty());
    EXPECT_TRUE(viewer.LinkTable().empty());
}

TEST_F(ViewerFixture, HorizontalScrollingMovesTextAndLinks)
{
    viewer.SetLines({"abc", "\tx http://h"});
    viewer.Paint();
    EXPECT_EQ(viewer.HorizontalRange(), 18); // painted columns, the tab expanded
    viewer.SetHorizontalPosition(100);
    EXPECT_EQ(viewer.HorizontalPosition(), 17);
    viewer.SetHorizontalPosition(5);
    auto painted = viewer.Paint();
    EXPECT_EQ(painted[0].x, 10 - 5 * 8);
    ASSERT_EQ(viewer.LinkTable().size(), 1u);
    EXPECT_EQ(viewer.LinkTable()[0].left, 10 - 5 * 8 + 10 * 8);
    // A new text starts at the left again.
    viewer.SetLines({"x"});
    EXPECT_EQ(viewer.HorizontalPosition(), 0);
    EXPECT_EQ(viewer.HorizontalRange(), 0);
}

// ---- Selection ----

TEST_F(ViewerFixture, ColumnsCountFromThePointerWithTheMargin)
{
    viewer.SetLines(std::vector<std::string>(20, "line"));
    EXPECT_EQ(viewer.PointAt(0, 0).column, 0);
    EXPECT_EQ(viewer.PointAt(10, 0).column, 1);
    EXPECT_EQ(viewer.PointAt(17, 0).column, 2);
    EXPECT_EQ(viewer.PointAt(-30, -40).column, 0);
    EXPECT_EQ(viewer.PointAt(-30, -40).line, 0);
    EXPECT_EQ(viewer.PointAt(0, 47).line, 2);
    viewer.SetVerticalPosition(4);
    EXPECT_EQ(viewer.PointAt(0, 47).line, 6);
}

TEST_F(ViewerFixture, MouseSelectionFollowsPressMoveRelease)
{
    viewer.SetLines({"Hello world", "second line", "third"});
    viewer.MousePress(xOf(3), yOf(0));
    EXPECT_TRUE(viewer.Selecting());
    EXPECT_FALSE(viewer.HasSelection());
    viewer.MouseMove(xOf(7), yOf(0));
    EXPECT_EQ(viewer.End().column, 7);
    viewer.MouseRelease();
    EXPECT_FALSE(viewer.Selecting());
    EXPECT_TRUE(viewer.HasSelection());
    // Moving without a button held changes nothing.
    viewer.MouseMove(xOf(9), yOf(2));
    EXPECT_EQ(viewer.End().column, 7);
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("llo "));
}

TEST_F(ViewerFixture, CopyOfOneLineTakesTheColumnsBetween)
{
    viewer.SetLines({"Hello world"});
    drag(7, 0, 3, 0); // backwards gives the same
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("llo "));
    drag(0, 0, 5, 0); // from the margin
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("Hello"));
    drag(9, 0, 40, 0);
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("rld"));
    drag(30, 0, 40, 0);
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>(""));
}

TEST_F(ViewerFixture, CopyOfSeveralLinesJoinsThemWithCrLf)
{
    viewer.SetLines({"Hello world", "second line", "third"});
    drag(7, 0, 3, 2);
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("world\r\nsecond line\r\nthi"));
    drag(3, 2, 7, 0);
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("world\r\nsecond line\r\nthi"));
    // Dragged below the text: the end is the last line.
    drag(1, 1, 2, 9);
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("second line\r\nth"));
    // The selection stays after copying.
    EXPECT_TRUE(viewer.HasSelection());
}

TEST_F(ViewerFixture, PaintingHighlightsWhatCopyTakes)
{
    viewer.SetLines({"Hello world", "second line", "third", "after"});
    EXPECT_FALSE(viewer.Paint()[0].highlighted);
    viewer.MousePress(xOf(7), yOf(0));
    viewer.MouseMove(xOf(3), yOf(2));
    auto painted = viewer.Paint(); // while the button is held
    EXPECT_TRUE(painted[0].highlighted);
    EXPECT_EQ(painted[0].highlightFrom, 6u);
    EXPECT_EQ(painted[0].highlightTo, 11u);
    EXPECT_EQ(painted[0].highlightLeft, 10 + 6 * 8);
    EXPECT_EQ(painted[0].highlightRight, 10 + 11 * 8);
    EXPECT_EQ(painted[1].highlightFrom, 0u);
    EXPECT_EQ(painted[1].highlightTo, 11u);
    EXPECT_EQ(painted[2].highlightTo, 3u);
    EXPECT_FALSE(painted[3].highlighted);
    viewer.ClearSelection(); // Esc
    EXPECT_FALSE(viewer.Paint()[1].highlighted);
    EXPECT_EQ(viewer.Copy(), std::nullopt);
}

TEST_F(ViewerFixture, SelectAllCopiesEveryLine)
{
    viewer.SetLines({"one", "", "three"});
    viewer.SelectAll();
    EXPECT_EQ(viewer.Anchor().line, 0);
    EXPECT_EQ(viewer.Anchor().column, 0);
    EXPECT_EQ(viewer.End().line, 2);
    EXPECT_EQ(viewer.End().column, kSelectAllEndColumn);
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("one\r\n\r\nthree"));
}

TEST_F(ViewerFixture, SelectAllStopsAtColumn999OfTheLastLine)
{
    std::string longLine(1500, 'a');
    longLine[998] = 'b';
    viewer.SetLines({"first", longLine});
    viewer.SelectAll();
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("first\r\n" + longLine.substr(0, 999)));
    viewer.SetLines({longLine});
    viewer.SelectAll();
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>(longLine.substr(0, 999)));
    // The first line of several is taken to its end.
    viewer.SetLines({longLine, "last"});
    viewer.SelectAll();
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>(longLine + "\r\nlast"));
}

TEST_F(ViewerFixture, CopyIsCutTo30999Characters)
{
    std::string big(30997, 'x');
    viewer.SetLines({big, ""});
    viewer.SelectAll();
    EXPECT_EQ(viewer.Copy()->size(), 30999u);
    viewer.SetLines({big, "y"});
    viewer.SelectAll();
    EXPECT_EQ(*viewer.Copy(), big + "\r\n");
    viewer.SetLines(std::vector<std::string>(40, std::string(999, 'z')));
    viewer.SelectAll();
    std::string copied = *viewer.Copy();
    EXPECT_EQ(copied.size(), kCopyLimit);
    EXPECT_EQ(copied.substr(999, 4), "\r\nzz");
}

TEST_F(ViewerFixture, NothingToCopyLeavesTheClipboardAlone)
{
    EXPECT_EQ(viewer.Copy(), std::nullopt);
    viewer.SelectAll(); // on an empty text
    EXPECT_FALSE(viewer.HasSelection());
    EXPECT_EQ(viewer.Copy(), std::nullopt);
    viewer.SetLines({"text"});
    EXPECT_EQ(viewer.Copy(), std::nullopt);
    viewer.MousePress(xOf(1), yOf(0));
    viewer.MouseMove(xOf(3), yOf(0));
    EXPECT_EQ(viewer.Copy(), std::nullopt); // still selecting
}

TEST_F(ViewerFixture, NewLinesClearTheSelection)
{
    viewer.SetLines({"Hello world"});
    drag(1, 0, 5, 0);
    ASSERT_TRUE(viewer.HasSelection());
    viewer.SetLines({"other"});
    EXPECT_FALSE(viewer.HasSelection());
    EXPECT_EQ(viewer.Copy(), std::nullopt);
    viewer.MousePress(xOf(1), yOf(0));
    viewer.SetLines({"again"});
    EXPECT_FALSE(viewer.Selecting());
    viewer.MouseRelease();
    EXPECT_FALSE(viewer.HasSelection());
    viewer.SelectAll();
    viewer.Clear();
    EXPECT_FALSE(viewer.HasSelection());
    // Adding lines keeps it.
    viewer.SetLines({"a", "b"});
    viewer.SelectAll();
    viewer.AddLine("c");
    EXPECT_TRUE(viewer.HasSelection());
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("a\r\nb"));
}

// ---- Characters of every width ----

// CJK characters (three-byte UTF-8 from U+3000 on) two cells wide, everything else one.
double twoCellCjk(std::string_view character)
{
    return static_cast<unsigned char>(character[0]) >= 0xE3 && character.size() >= 3 ? 16.0 : 8.0;
}

TEST(TextViewerCharacters, CharactersKeepTheirMarksJoinersAndFlags)
{
    const std::string text = "e\xcc\x81"                                    // e + combining acute
                             "\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb" // woman + ZWJ + laptop
                             "\xf0\x9f\x87\xa9\xf0\x9f\x87\xaa"             // flag DE
                             "\xe4\xbd\xa0"                                  // CJK
                             "\xff";                                           // not UTF-8
    std::vector<std::size_t> ends;
    for (std::size_t at = 0; at < text.size(); at = nextCharacter(text, at))
        ends.push_back(nextCharacter(text, at));
    EXPECT_EQ(ends, (std::vector<std::size_t>{3, 14, 22, 25, 26}));
    EXPECT_EQ(characterOffset(text, 2), 14u);
    EXPECT_EQ(characterOffset(text, 9), text.size());
    // Tab stops and the quote rule count characters, not bytes.
    EXPECT_EQ(expandTabs("\xc3\xa9\tx"), "\xc3\xa9" + std::string(7, ' ') + "x");
    EXPECT_TRUE(isQuotedLine("\xc3\xa9\xc3\xa9> quoted"));
}

TEST_F(ViewerFixture, ASelectionNeverSplitsAWideCharacterAndCopiesWholeCharacters)
{
    viewer.SetCharacterWidths(twoCellCjk);
    // a b 你 好 世 界 c d: the pointer's boxes begin at CharWidth, 好 covers [40, 56).
    viewer.SetLines({"ab\xe4\xbd\xa0\xe5\xa5\xbd\xe4\xb8\x96\xe7\x95\x8c" "cd"});
    viewer.MousePress(48, 3); // the middle of 好
    viewer.MouseMove(80, 3);  // the middle of 界
    viewer.MouseRelease();
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("\xe5\xa5\xbd\xe4\xb8\x96")); // 好世
    auto painted = viewer.Paint();
    EXPECT_EQ(painted[0].highlightFrom, 5u);
    EXPECT_EQ(painted[0].highlightTo, 11u);
    EXPECT_EQ(painted[0].highlightLeft, 10 + 32);
    EXPECT_EQ(painted[0].highlightRight, 10 + 64);
    // Either half of a wide character is that character.
    viewer.MousePress(41, 3);
    viewer.MouseMove(55, 3);
    viewer.MouseRelease();
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>(""));
    viewer.MousePress(55, 3);
    viewer.MouseMove(57, 3);
    viewer.MouseRelease();
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("\xe5\xa5\xbd"));
    // A character with a combining mark is copied whole.
    viewer.SetLines({"ae\xcc\x81z"});
    drag(2, 0, 3, 0);
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("e\xcc\x81"));
    // Select all's column 999 and the clipboard's limit count characters and cut between them.
    std::string cjk;
    for (int i = 0; i < 20000; ++i)
        cjk += "\xe4\xbd\xa0";
    viewer.SetLines({cjk});
    viewer.SelectAll();
    EXPECT_EQ(*viewer.Copy(), cjk.substr(0, 999 * 3));
    viewer.SetLines({cjk, cjk, "x"});
    viewer.SelectAll();
    EXPECT_EQ(*viewer.Copy(), cjk + "\r\n" + cjk.substr(0, (kCopyLimit - 20002) * 3));
}

TEST_F(ViewerFixture, ALinkAfterCjkTextLiesWhereItsCharactersAreMeasured)
{
    viewer.SetCharacterWidths(twoCellCjk);
    viewer.SetLines({"\xe4\xbd\xa0\xe5\xa5\xbd mail bob@x.org"}); // 你好 mail bob@x.org
    viewer.Paint();
    ASSERT_EQ(viewer.LinkTable().size(), 1u);
    EXPECT_EQ(viewer.LinkTable()[0].left, 10 + 2 * 16 + 6 * 8);
    EXPECT_EQ(viewer.LinkTable()[0].right, 10 + 2 * 16 + 15 * 8);
    std::vector<std::string> clicked;
    viewer.OnLinkClicked = [&](const std::string& link) { clicked.push_back(link); };
    viewer.MousePress(10 + 2 * 16 + 6 * 8 + 4, 3); // on the "b"
    EXPECT_EQ(clicked, (std::vector<std::string>{"bob@x.org"}));
    // The line's extent is measured too: 2 wide characters and 15 narrow ones.
    EXPECT_EQ(viewer.HorizontalRange(), 19);
    // Scrolled right, only what is on the surface is drawn, from its first character.
    viewer.SetSurfaceSize(58, 160);
    viewer.SetHorizontalPosition(4);
    auto painted = viewer.Paint();
    EXPECT_EQ(painted[0].x, 10 - 32);
    EXPECT_EQ(painted[0].text.substr(painted[0].shownFrom, painted[0].shownTo - painted[0].shownFrom),
              "\xe5\xa5\xbd mail ");
    EXPECT_EQ(painted[0].shownX, 10 - 32 + 16);
}

TEST_F(ViewerFixture, AnOldWindows1252LineIsShownSearchedAndCopiedAsUnicode)
{
    viewer.SetLines({"Gr\xfc\xdf" "e an bob@x.org\x01", "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"});
    EXPECT_EQ(viewer.Lines()[0], "Gr\xfc\xdf" "e an bob@x.org\x01"); // as stored
    auto painted = viewer.Paint();
    EXPECT_EQ(painted[0].text, "Gr\xc3\xbc\xc3\x9f" "e an bob@x.org ");
    ASSERT_EQ(viewer.LinkTable().size(), 1u);
    EXPECT_EQ(viewer.LinkTable()[0].left, 10 + 9 * 8);
    drag(3, 0, 5, 0);
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("\xc3\xbc\xc3\x9f"));
    viewer.SelectAll();
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("Gr\xc3\xbc\xc3\x9f" "e an bob@x.org\x01\r\n"
                                                        "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"));
}

// ---- Lines and scrolling ----

TEST_F(ViewerFixture, LineChangesAreAnnounced)
{
    int changes = 0;
    viewer.OnChange = [&changes]() { ++changes; };
    viewer.SetLines({"a"});
    viewer.AddLine("b");
    viewer.AddLines({"c", "d"});
    EXPECT_EQ(viewer.VerticalRange(), 4);
    viewer.Clear();
    EXPECT_EQ(changes, 4);
    EXPECT_EQ(viewer.VerticalRange(), 0);
}

TEST_F(ViewerFixture, KeysScrollThroughTheVerticalBar)
{
    viewer.SetLines(std::vector<std::string>(100, "x"));
    EXPECT_EQ(viewer.VerticalPage(), 10);
    EXPECT_EQ(viewer.HorizontalPage(), 100);
    viewer.Scroll(ScrollKey::PageDown);
    EXPECT_EQ(viewer.VerticalPosition(), 10);
    viewer.Scroll(ScrollKey::PageDown);
    viewer.Scroll(ScrollKey::LineUp);
    EXPECT_EQ(viewer.VerticalPosition(), 19);
    viewer.Scroll(ScrollKey::LineDown);
    EXPECT_EQ(viewer.VerticalPosition(), 20);
    viewer.Scroll(ScrollKey::Home);
    viewer.Scroll(ScrollKey::LineUp);
    viewer.Scroll(ScrollKey::PageUp);
    EXPECT_EQ(viewer.VerticalPosition(), 0);
    viewer.Scroll(ScrollKey::End);
    EXPECT_EQ(viewer.VerticalPosition(), 99);
    viewer.Scroll(ScrollKey::LineDown);
    viewer.Scroll(ScrollKey::PageDown);
    EXPECT_EQ(viewer.VerticalPosition(), 99);
    viewer.Scroll(ScrollKey::PageUp);
    EXPECT_EQ(viewer.VerticalPosition(), 89);
    EXPECT_EQ(viewer.Paint().front().line, 89);
    // A new text starts at the top; a shorter one keeps the position inside it.
    viewer.SetLines({"a", "b"});
    EXPECT_EQ(viewer.VerticalPosition(), 0);
    viewer.SetVerticalPosition(7);
    EXPECT_EQ(viewer.VerticalPosition(), 1);
    viewer.SetSurfaceSize(800, 5);
    EXPECT_EQ(viewer.VerticalPage(), 1);
}

// ---- Long lines wrapped at the surface's width ----

// Ten characters a row: the surface is the margin and 80 pixels wide.
struct WrappedViewer : ViewerFixture {
    void SetUp() override
    {
        ViewerFixture::SetUp();
        viewer.SetSurfaceSize(kTextLeftMargin + 80, 160);
        viewer.SetWrapLongLines(true);
    }
    std::vector<std::string> rowTexts()
    {
        std::vector<std::string> rows;
        for (const auto& p : viewer.Paint())
            rows.push_back(p.text);
        return rows;
    }
};

TEST_F(WrappedViewer, LongLinesBreakBetweenWordsInsteadOfRunningOffToTheRight)
{
    std::string tenE;
    for (int i = 0; i < 10; ++i)
        tenE += "\xC3\xA9"; // é
    viewer.SetLines({"alpha beta gamma delta", "abcdefghijklmnopqrstuvwxyz", tenE + "\xC3\xA9",
                     "xxxxxxxx \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "short"});
    // Blanks stay at the end of their row; a word wider than the row is cut between characters,
    // never inside one; CJK text breaks between any two characters.
    EXPECT_EQ(rowTexts(), (std::vector<std::string>{"alpha beta ", "gamma ", "delta", "abcdefghij", "klmnopqrst",
                                                    "uvwxyz", tenE, "\xC3\xA9", "xxxxxxxx \xE6\x97\xA5",
                                                    "\xE6\x9C\xAC\xE8\xAA\x9E"}));
    const auto painted = viewer.Paint();
    EXPECT_EQ(painted[1].line, 0);
    EXPECT_EQ(painted[1].row, 1);
    EXPECT_EQ(painted[1].y, 16);
    EXPECT_EQ(painted[1].shownX, kTextLeftMargin);
    EXPECT_EQ(viewer.RowCount(0), 3);
    EXPECT_EQ(viewer.HorizontalRange(), 0);
    // Off again: one row per line.
    viewer.SetWrapLongLines(false);
    EXPECT_EQ(viewer.Paint().size(), 5u);
    EXPECT_EQ(viewer.RowCount(0), 1);
}

TEST_F(WrappedViewer, ASelectionOverRowsCopiesTheLineWithoutBreaks)
{
    viewer.SetLines({"alpha beta gamma delta", "next"});
    drag(7, 0, 3, 2); // from "b" on the first row to "e" on the third
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("beta gamma de"));
    drag(3, 1, 3, 3); // into the next line
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("mma delta\r\nnex"));
    const auto painted = viewer.Paint();
    ASSERT_TRUE(painted[1].highlighted);
    EXPECT_EQ(painted[1].highlightLeft, kTextLeftMargin + 2 * 8);
    EXPECT_EQ(painted[2].highlightRight, kTextLeftMargin + 5 * 8);
    viewer.SelectAll();
    EXPECT_EQ(viewer.Copy(), std::optional<std::string>("alpha beta gamma delta\r\nnext"));
}

TEST_F(WrappedViewer, AWrappedLinkIsOneLinkOnEveryRow)
{
    viewer.SetLines({"see http://example.org/a/very/long/path end"});
    viewer.Paint();
    const auto& table = viewer.LinkTable();
    ASSERT_EQ(table.size(), 4u);
    std::string shown;
    for (const auto& entry : table) {
        EXPECT_EQ(entry.text, "http://example.org/a/very/long/path");
        shown += entry.shown;
    }
    EXPECT_EQ(shown, "http://example.org/a/very/long/path");
    EXPECT_EQ(table[1].top, 32);
    std::vector<std::string> clicked;
    viewer.OnLinkClicked = [&](const std::string& link) { clicked.push_back(link); };
    viewer.MousePress(xOf(3), yOf(2));
    EXPECT_EQ(clicked, (std::vector<std::string>{"http://example.org/a/very/long/path"}));
}

TEST_F(WrappedViewer, ScrollingGoesByRowsAndANewWidthKeepsTheTopText)
{
    viewer.SetLines({"one", "aaaa bbbb cccc dddd eeee ffff", "end"});
    viewer.Scroll(ScrollKey::LineDown);
    viewer.Scroll(ScrollKey::LineDown);
    EXPECT_EQ(viewer.VerticalPosition(), 1);
    EXPECT_EQ(viewer.TopRow(), 1);
    EXPECT_EQ(viewer.Paint().front().text, "cccc dddd ");
    // Wider: the row now holding "cccc" is at the top.
    viewer.SetSurfaceSize(kTextLeftMargin + 120, 160);
    EXPECT_EQ(viewer.VerticalPosition(), 1);
    EXPECT_EQ(viewer.TopRow(), 0);
    EXPECT_EQ(viewer.Paint().front().text, "aaaa bbbb cccc ");
    EXPECT_EQ(viewer.PointAt(xOf(2), yOf(1)).line, 1);
    EXPECT_EQ(viewer.PointAt(xOf(2), yOf(1)).column, 17);
    EXPECT_EQ(viewer.PointAt(xOf(2), yOf(2)).line, 2);
    viewer.ScrollRows(-2);
    EXPECT_EQ(viewer.VerticalPosition(), 0);
    viewer.ScrollRows(50);
    EXPECT_EQ(viewer.VerticalPosition(), 2);
}

TEST(TextViewerWrapping, AHugeTextMeasuresOnlyWhatIsOnTheSurface)
{
    TextViewerModel viewer;
    viewer.SetMetrics(8, 16);
    viewer.SetSurfaceSize(400, 160);
    viewer.SetWrapLongLines(true);
    std::size_t measured = 0;
    viewer.SetCharacterWidths([&measured](std::string_view) { return ++measured, 8.0; });
    viewer.SetLines(std::vector<std::string>(100000, std::string(300, 'w') + " and more words"));
    viewer.Paint();
    viewer.Scroll(ScrollKey::End);
    viewer.Paint();
    viewer.SetSurfaceSize(300, 160);
    viewer.Paint();
    EXPECT_LT(measured, 20u * 320u);
}

} // namespace

// ---- What the message windows show ----

namespace {

using Lines = std::vector<std::string>;

Lines preview(const Lines& text, const std::string& subject = "Subj", bool all = false)
{
    return previewLines(splitPreviewMessage(text), subject, all);
}

} // namespace

TEST(MessagePreview, ValuesBeginInColumn13AndTheBodyFollowsABlankLine)
{
    // "From: x" keeps its blank after the colon: eleven characters of label, then " x".
    EXPECT_EQ(preview({"From: Ann <a@x>", "To: Bob <b@x>", "Subject: Hi", "", "body 1", "", "body 2"}, "Hi"),
              (Lines{"From:       Ann <a@x>", "To:         Bob <b@x>", "Subject:    Hi", " ", "body 1", "", "body 2"}));
    const Lines p = preview({"From: v", "To: w", ""});
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_EQ(p[i].find_first_of("vw"), 12u) << p[i];
    EXPECT_EQ(p[2].rfind("Subj"), 12u);
}

TEST(MessagePreview, HeaderNamesMatchWithExactCaseAndTheLastMatchWins)
{
    const Lines text = {"to: lower@x",       "Reply-To: r@x",     "Resent-From: first@x", "To: one@x",
                        "From: real@x",      "X-Original-From: last@x", "To: two@x",       "", "b"};
    const PreviewMessage m = splitPreviewMessage(text);
    EXPECT_EQ(m.toLine, "To: two@x");
    EXPECT_EQ(m.fromLine, "X-Original-From: last@x");
    // The From value is the line from its sixth character, whatever the header's name.
    EXPECT_EQ(previewLines(m, "s", false)[0], "From:      ginal-From: last@x");
    EXPECT_EQ(previewLines(m, "s", false)[1], "To:         two@x");
    const PreviewMessage folded = splitPreviewMessage({"From:", " \xce\x96\xcf\x89\xce\xae <z@x>", "To: a@x,", "\tb@x", "X-Other: 1", " more"});
    EXPECT_EQ(previewLines(folded, "s", false)[0], "From:       \xce\x96\xcf\x89\xce\xae <z@x>");
    EXPECT_EQ(previewLines(folded, "s", false)[1], "To:         a@x,\tb@x");
}

TEST(MessagePreview, MissingLinesGiveEmptyValuesAndNoEmptyLineMeansNoBody)
{
    EXPECT_EQ(preview({"Subject: only headers", "X-Mailer: m"}, "only headers"),
              (Lines{"From:      ", "To:         ", "Subject:    only headers", " "}));
    EXPECT_EQ(preview({}, ""), (Lines{"From:      ", "To:         ", "Subject:    ", " "}));
    // Short lines give what they have after the label.
    EXPECT_EQ(preview({"From:", "To:", ""})[0], "From:      ");
    EXPECT_EQ(preview({"From:", "To:", ""})[1], "To:         ");
}

TEST(MessagePreview, AllHeadersAddEveryHeaderLineAndOneBlankLine)
{
    const Lines text = {"From: a@x", "Date: today", "", "text"};
    EXPECT_EQ(preview(text, "s", false), (Lines{"From:       a@x", "To:         ", "Subject:    s", " ", "text"}));
    EXPECT_EQ(preview(text, "s", true), (Lines{"From:       a@x", "To:         ", "Subject:    s", " ", "From: a@x",
                                                "Date: today", " ", "text"}));
}

TEST(MessagePreview, ValuesAreCutTo999Characters)
{
    const std::string longValue(1200, 'v');
    const Lines p = preview({"From: " + longValue, "To: " + longValue, ""});
    EXPECT_EQ(p[0], "From:      " + (" " + longValue).substr(0, 999));
    EXPECT_EQ(p[1], "To:         " + longValue.substr(0, 999));
    // Characters, not bytes: a cut inside one would make the whole line unreadable.
    std::string greek;
    for (int i = 0; i < 1200; ++i)
        greek += "\xce\xb1";
    EXPECT_EQ(preview({"To: " + greek, ""})[1], "To:         " + greek.substr(0, 999 * 2));
}

TEST(MessagePreview, OnlyAnEncoderLineWithRc4InternalEnciphers)
{
    EXPECT_FALSE(isEncipheredMessage(splitPreviewMessage({"X-Encoder-Verify: True", "", "b"})));
    EXPECT_FALSE(isEncipheredMessage(splitPreviewMessage({"X-Encoder: other", "", "b"})));
    // In the body it is text, not a header.
    EXPECT_FALSE(isEncipheredMessage(splitPreviewMessage({"From: a", "", "X-Encoder: RC4 internal"})));
    EXPECT_TRUE(isEncipheredMessage(splitPreviewMessage({"X-Encoder: RC4 internal pw", "", "b"})));
    EXPECT_TRUE(isEncipheredMessage(splitPreviewMessage({"X-Encoder: RC4 internal", "X-Encoder-Verify: True", ""})));
}

TEST(MessagePreview, EncipheredBodyLinesAreDecipheredWithThePassword)
{
    // "Hello, world" enciphered under the key "pw", NUL, five blanks (RC4 worked out apart from
    // the program's cipher).
    const std::string cipher = "\x47\xa7\x74\xd8\xe3\xe1\xf4\x79\xdd\x94\x29\x13";
    const PreviewMessage m = splitPreviewMessage({"X-Encoder: RC4 internal", "", cipher, ""});
    EXPECT_EQ(previewLines(m, "s", false, std::string("pw")),
              (Lines{"From:      ", "To:         ", "Subject:    s", " ", "Hello, world", ""}));
    const Lines wrong = previewLines(m, "s", false, std::string("px"));
    EXPECT_NE(wrong[4], "Hello, world");
    // Headers and labels are never deciphered.
    EXPECT_EQ(previewLines(m, "s", true, std::string("pw"))[4], "X-Encoder: RC4 internal");
    // Received with its 8-bit label, the parser stored the cipher as UTF-8: the bytes come back.
    const PreviewMessage received = splitPreviewMessage({"X-Encoder: RC4 internal", "", windows1252ToUtf8(cipher)});
    EXPECT_EQ(previewLines(received, "s", false, std::string("pw"))[4], "Hello, world");
}

TEST(MessageViewerBody, HeaderAndItsEmptyLineAreDroppedUnlessFullHeaders)
{
    const Lines text = {"From: a", "Subject: s", "", "one", "", "two"};
    EXPECT_EQ(viewerBodyLines(text, false), (Lines{"one", "", "two"}));
    EXPECT_EQ(viewerBodyLines(text, true), text);
    EXPECT_EQ(viewerBodyLines({"From: a", "no empty line"}, false), Lines{});
    EXPECT_EQ(viewerBodyLines({"", "all body"}, false), Lines{"all body"});
}

TEST(MessageAttachmentsAndSaving, NumbersOfTheRangeAndTheSavedBytes)
{
    EXPECT_EQ(attachmentNumbers(3, 5), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(attachmentNumbers(7, 7), (std::vector<int>{7}));
    EXPECT_TRUE(attachmentNumbers(0, 4).empty());
    EXPECT_TRUE(attachmentNumbers(5, 4).empty());
    EXPECT_TRUE(attachmentNumbers(-3, 4).empty());
    // A corrupt index may hold any range; the list stays bounded.
    EXPECT_EQ(attachmentNumbers(1, 2147483647).size(), static_cast<std::size_t>(kMaxListedAttachments));
    EXPECT_EQ(attachmentNumbers(2147483647, 2147483647), (std::vector<int>{2147483647}));
    EXPECT_EQ(savedTextBytes({"a", "", "b c"}), "a\r\n\r\nb c\r\n");
    EXPECT_EQ(savedTextBytes({}), "");
}
