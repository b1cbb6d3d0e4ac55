#include "text/html_text.h"

#include "support/test_support.h"
#include "text/unicode_text.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tavik {
namespace {

using Lines = std::vector<std::string>;

TEST(HtmlText, AnHtmlDocumentIsReadInTheCharsetItDeclares)
{
    EXPECT_EQ(htmlDeclaredCharset("<head><meta charset=\"windows-1251\"></head>"), "windows-1251");
    EXPECT_EQ(htmlDeclaredCharset("<META HTTP-EQUIV=Content-Type CONTENT='text/html;charset=ISO-8859-2'>"),
              "ISO-8859-2");
    EXPECT_EQ(htmlDeclaredCharset("<meta charset = koi8-r/>"), "koi8-r");
    EXPECT_EQ(htmlDeclaredCharset("<metadata charset=x><p>charset=y</p>"), "");
    EXPECT_EQ(htmlDeclaredCharset(std::string(kHtmlCharsetScanBytes, ' ') + "<meta charset=koi8-r>"), "");
    // Cyrillic "мир" in KOI8-R, declared.
    EXPECT_EQ(htmlBytesToUtf8("<meta charset=koi8-r>\xCD\xC9\xD2"),
              "<meta charset=koi8-r>\xD0\xBC\xD0\xB8\xD1\x80");
    // The part's own charset first; a declared UTF-16 is not what the bytes are.
    EXPECT_EQ(htmlBytesToUtf8("<meta charset=koi8-r>\xE9", "windows-1252"), "<meta charset=koi8-r>\xC3\xA9");
    EXPECT_EQ(htmlBytesToUtf8("<meta charset=utf-16>\xC3\xA9"), "<meta charset=utf-16>\xC3\xA9");
    // None declared: UTF-8 when valid, else Windows-1252.
    EXPECT_EQ(htmlBytesToUtf8("\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(htmlBytesToUtf8("\xE9\x80"), "\xC3\xA9\xE2\x82\xAC");
}

TEST(HtmlText, HeadStyleScriptTemplateAndCommentsGiveNoText)
{
    EXPECT_EQ(readableHtmlLines("<html><head><title>Subject</title><style>p { color: red }</style>"
                                "<script>var a = '<p>x</p>';</script></head><body><!-- note -->"
                                "<template><p>later</p></template><noscript><p>no script</p></noscript>"
                                "<div style=\"DISPLAY: none\">preheader</div><p hidden>hidden</p>Body"
                                "</body></html>"),
              (Lines{"Body"}));
}

TEST(HtmlText, BlocksBreakLinesAndWhiteSpaceCollapsesAsInABrowser)
{
    EXPECT_EQ(readableHtmlLines("\n  <h1>Weekly\n news</h1>\n<p>First   line<br>second&nbsp;&nbsp;line\t</p>"
                                "<div>a div</div><div>another</div><p>x<br><br><br><br>y</p><hr><p>end</p>  "),
              (Lines{"Weekly news", "", "First line", "second line", "", "a div", "another", "", "x", "",
                     "y", "", "end"}));
}

TEST(HtmlText, PreKeepsItsLinesAndBlanks)
{
    EXPECT_EQ(readableHtmlLines("<p>Code:</p><pre>\nint  main()\n{\n\n    return 0;   \n}\n</pre>after"),
              (Lines{"Code:", "", "int  main()", "{", "", "    return 0;", "}", "", "after"}));
}

TEST(HtmlText, ListItemsGetMarkersAndNestedListsAreIndented)
{
    EXPECT_EQ(readableHtmlLines("<p>Agenda</p><ul><li>Coffee<li>Talks<ol start=\"3\"><li>Opening"
                                "<li value=\"7\">Keynote<br>with questions<li>Close</ol></li><li>Lunch</ul>"
                                "<ol><li>one</li><li><p>two</p><p>still two</p></li></ol>"),
              (Lines{"Agenda", "", "- Coffee", "- Talks", "  3. Opening", "  7. Keynote", "     with questions",
                     "  8. Close", "- Lunch", "", "1. one", "", "2. two", "", "   still two"}));
}

TEST(HtmlText, LinksShowTheirTargetAndImagesTheirAltText)
{
    EXPECT_EQ(readableHtmlLines("<p>Read <a href=\"https://example.com/news?id=1&amp;lang=en\">the news</a>, "
                                "<a href=\"https://example.com/\">https://example.com/</a> or "
                                "<a href=\" https://example.com/a b \"></a>.</p>"
                                "<p><a href=\"javascript:alert(1)\">click</a> <a href=\"data:text/html,x\">data</a> "
                                "<a href=\"/relative\">here</a> <a href=\"#top\">top</a></p>"
                                "<p><a href=\"mailto:Info@Example.com\">info@example.com</a> "
                                "<a href=\"mailto:info@example.com?subject=Hi\">write us</a></p>"
                                "<p><a href=\"https://shop.example.com\"><img src=\"https://t.example.com/logo.png\" "
                                "alt=\"Shop logo\"></a><img src=\"https://t.example.com/pixel.gif\" alt=\"\"></p>"),
              (Lines{"Read the news <https://example.com/news?id=1&lang=en>, https://example.com/ or "
                     "https://example.com/a%20b .",
                     "", "click data here top", "",
                     "info@example.com write us <mailto:info@example.com?subject=Hi>", "",
                     "Shop logo <https://shop.example.com>"}));
}

TEST(HtmlText, TableRowsBecomeLinesAndLayoutTablesReadAsText)
{
    // A newsletter: a layout table holding a header, a price table and a footer.
    EXPECT_EQ(readableHtmlLines("<table width=\"600\"><tr><td>&nbsp;</td><td><h2>Spring sale</h2></td></tr>"
                                "<tr><td><table border=1><tr><th>Item</th><th>Price</th></tr>"
                                "<tr><td>Tea</td><td></td><td>3.50 &euro;</td></tr></table></td></tr>"
                                "<tr><td><p>Thanks for reading.</p><p>Unsubscribe</p></td></tr></table>"),
              (Lines{"Spring sale", "", "Item | Price", "Tea | 3.50 \xE2\x82\xAC", "", "Thanks for reading.", "",
                     "Unsubscribe"}));
}

TEST(HtmlText, BlockquoteLinesAreQuoted)
{
    EXPECT_EQ(readableHtmlLines("<p>Sure.</p><blockquote><p>Can we meet?</p><p>Thanks</p>"
                                "<blockquote>Earlier mail<br>two</blockquote></blockquote><p>Bye</p>"),
              (Lines{"Sure.", "", "> Can we meet?", ">", "> Thanks", ">", "> > Earlier mail", "> > two", "",
                     "Bye"}));
}

TEST(HtmlText, EntitiesAreDecodedAndBytesThatAreNotUtf8BecomeReplacementCharacters)
{
    EXPECT_EQ(readableHtmlLines("caf&eacute; &lt;b&gt; &#x1F600; &amp;amp \xE2\x82\xAC \xFF"),
              (Lines{"caf\xC3\xA9 <b> \xF0\x9F\x98\x80 &amp \xE2\x82\xAC \xEF\xBF\xBD"}));
    for (const Lines& lines : {readableHtmlLines("&#x1F6099999999999;"), readableHtmlLines("<pre><img alt='&#x1F6099999999999;'>")}) {
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(isValidUtf8(lines[0])) << lines[0];
    }
}

TEST(HtmlText, BrokenMarkupIsReadAsABrowserReadsIt)
{
    EXPECT_EQ(readableHtmlLines("</p><p>one<p>two</b><div>unclosed <b>bold <i>both</div><li>stray item"
                                "<table><td>cell</table></ul></blockquote><p>last"),
              (Lines{"one", "", "two", "", "unclosed bold both", "- stray item", "", "  cell", "", "  last"}));
    EXPECT_EQ(readableHtmlLines(""), Lines{});
    EXPECT_EQ(readableHtmlLines("<p> </p><br><br>"), Lines{});
}

TEST(HtmlText, DeepOrExplosiveMarkupIsReadWithoutHangingAndOutputIsBounded)
{
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<div><blockquote>";
    deep += "bottom";
    const Lines deepLines = readableHtmlLines(deep);
    ASSERT_EQ(deepLines.size(), 1u);
    std::string quoted;
    for (int level = 0; level < 16; ++level)
        quoted += "> ";
    EXPECT_EQ(deepLines[0], quoted + "bottom");

    // Formatting elements re-opened in every paragraph would make gumbo's tree grow with the
    // square of the input.
    std::string reopened = "<p>";
    for (int i = 0; i < 400; ++i)
        reopened += "<b id=" + std::to_string(i) + ">";
    for (int i = 0; i < 60000; ++i)
        reopened += "<p>x";
    const Lines reopenedLines = readableHtmlLines(reopened);
    EXPECT_EQ(reopenedLines.front(), "x");

    std::string huge;
    const std::string row = "<p>" + std::string(1000, 'a') + "\xC3\xA9</p>";
    while (huge.size() < kMaxReadableHtmlBytes + kMaxReadableHtmlBytes / 10)
        huge += row;
    std::size_t bytes = 0;
    for (const std::string& line : readableHtmlLines(huge)) {
        ASSERT_TRUE(isValidUtf8(line));
        bytes += line.size() + 1;
    }
    EXPECT_LE(bytes, kMaxReadableHtmlBytes);
    EXPECT_GT(bytes, kMaxReadableHtmlBytes - 2 * row.size());
}

// Three mails as mailers write them: the same words as python3-html2text reads from them, in
// the same order.
TEST(HtmlText, ReadsRealisticMailWithTheWordsOfAnIndependentConverter)
{
    test::TempDir dir;
    for (const char* name : {"newsletter", "reply", "receipt"}) {
        SCOPED_TRACE(name);
        const std::string html = test::testDataDir() + "html/" + name + ".html";
        std::string ours;
        for (const std::string& line : readableHtmlLines(test::fileBytes(html)))
            ours += line + "\n";
        ASSERT_FALSE(ours.empty());
        test::writeBytes(dir.path() + "ours.txt", ours);
        const std::string script = test::testDataDir() + "../text/html2text_words.py";
        const std::string cmd = "/usr/bin/python3 '" + script + "' '" + html + "' '" + dir.path() + "ours.txt' 2>&1";
        FILE* p = ::popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[512];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        const int status = ::pclose(p);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    }
}

} // namespace
} // namespace tavik
