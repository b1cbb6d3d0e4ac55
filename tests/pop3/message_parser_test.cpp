#include "pop3/message_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "pop3/python_messages.h"
#include "support/test_support.h"

namespace tavik {
namespace {

using test::fileBytes;
using test::TempDir;

// ---- the POP3 side, as a server and the session would do it -----------------------------

// The message as lines (LF or CR LF ends); no empty line after a final line end.
std::vector<std::string> messageLines(const std::string& message)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < message.size()) {
        std::size_t nl = message.find('\n', pos);
        std::size_t end = nl == std::string::npos ? message.size() : nl;
        std::string line = message.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        pos = nl == std::string::npos ? message.size() : nl + 1;
    }
    return lines;
}

// What the server sends after its status line: every line beginning with "." gets another
// one in front (RFC 1939), then the terminating ".".
std::vector<std::string> serverLines(const std::string& message)
{
    std::vector<std::string> raw;
    for (auto& line : messageLines(message))
        raw.push_back(!line.empty() && line[0] == '.' ? "." + line : line);
    raw.push_back(".");
    return raw;
}

std::string join(const std::vector<std::string>& lines, const std::string& sep = "\r\n")
{
    std::string s;
    for (std::size_t i = 0; i < lines.size(); ++i)
        s += (i ? sep : "") + lines[i];
    return s;
}

// One part the parser handed to the store.
struct StoredPart {
    std::int32_t number = 0;
    TMIMEAttachment located; // as OnAttachmentGetLocation left it
    TMIMEAttachment stored;  // as OnAttachmentStored saw it
    std::string bytes;       // the file's contents at OnAttachmentStored
    bool storedSeen = false;
};

// Everything a run produced, captured inside the events.
struct Outcome {
    std::vector<std::string> text;
    std::vector<std::string> data;
    std::string from, to, subject, date, xuidl;
    std::int64_t size = -1;
    bool truncated = false;
    std::vector<StoredPart> parts;
    std::vector<std::pair<int, std::string>> infos;
    int loaded = 0;
    std::string lastFileError;

    std::vector<std::string> body() const // the lines after the main header's empty line
    {
        for (std::size_t i = 0; i < text.size(); ++i)
            if (text[i].empty())
                return std::vector<std::string>(text.begin() + static_cast<long>(i) + 1, text.end());
        return {};
    }
};

// The check-mail workflow in miniature: the parser wired to a real attachment store the way
// the session's owner wires it.
class Session {
public:
    explicit Session(TAttachmentManager& store, const ParserLimits& limits = ParserLimits())
        : store_(store), parser(limits)
    {
        parser.OnAttachmentGetLocation = [this](TMIMEAttachmentPtr a) {
            StoredPart p;
            if (registerParts)
                p.number = store_.RegisterAttachment(*a);
            p.located = *a;
            out.parts.push_back(p);
        };
        parser.OnAttachmentStored = [this](TMIMEAttachmentPtr a) {
            ASSERT_FALSE(out.parts.empty());
            StoredPart& p = out.parts.back();
            ASSERT_FALSE(p.storedSeen) << "stored twice";
            p.storedSeen = true;
            p.stored = *a;
            if (p.number)
                store_.UpdateAttachment(p.number, *a);
            if (!a->Location.empty())
                p.bytes = fileBytes(a->Location);
        };
        parser.OnMessageData = [this](const std::string& line) { out.data.push_back(line); };
        parser.OnMailInfo = [this](int info, const std::string& add) { out.infos.emplace_back(info, add); };
        parser.OnMessageLoaded = [this] { capture(); };
        parser.OnHeadersLoaded = [this] { capture(); };
    }

    // Runs one RETR answer: the status line, then the raw lines through the session's
    // terminator test and unstuffing. A reused buffer catches a parser that keeps a view.
    Outcome retrieve(const std::vector<std::string>& raw, const std::string& status = "+OK 0 octets")
    {
        out = Outcome();
        if (!parser.beginMessage(status))
            return out;
        std::string buffer;
        for (const auto& line : raw) {
            buffer = line;
            if (isEndOfAnswer(buffer))
                parser.endMessage();
            else
                parser.feedLine(unstuffAnswerLine(buffer));
            buffer.assign(buffer.size(), '#');
        }
        return out;
    }

    Outcome retrieveMessage(const std::string& message) { return retrieve(serverLines(message)); }

    Outcome preview(const std::vector<std::string>& raw, const std::string& status = "+OK")
    {
        out = Outcome();
        if (!parser.beginPreview(status))
            return out;
        for (const auto& line : raw) {
            if (isEndOfAnswer(line))
                parser.endPreview();
            else
                parser.feedPreviewLine(unstuffAnswerLine(line));
        }
        return out;
    }

    TAttachmentManager& store_;
    MessageParser parser;
    Outcome out;
    bool registerParts = true;

private:
    void capture()
    {
        out.text = parser.MessageText;
        out.from = parser.From;
        out.to = parser.To;
        out.subject = parser.Subject;
        out.date = parser.Date;
        out.xuidl = parser.XUIDL;
        out.size = parser.MessageSize;
        out.truncated = parser.MessageTextTruncated;
        out.lastFileError = parser.LastFileError;
        ++out.loaded;
    }
};

class Parser : public ::testing::Test {
protected:
    void SetUp() override { store.SetAttachmentDirectory(tmp.path() + "attach/"); }
    TempDir tmp;
    TAttachmentManager store;
};

// A message with every kind of part: preamble, a first text part in quoted-printable, a
// base64 attachment, a nested alternative, a plain attachment, epilogue.
const char* kMixed =
    "From: Jane <jane@example.org>\n"
    "To: joe@example.org\n"
    "Subject: =?iso-8859-1?q?Caf=E9?= menu\n"
    "Date: Mon, 3 Jun 2024 10:00:00 +0200\n"
    "X-UIDL: uidl-1\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed;\n"
    "\tboundary=\"outer\"\n"
    "\n"
    "This is the preamble.\n"
    "--outer\n"
    "Content-Type: text/plain; charset=iso-8859-1\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Dear Joe, the caf=E9 is =\n"
    "open.\n"
    ".A line with a dot\n"
    "--outer\n"
    "Content-Type: application/octet-stream; name=\"ignored-name.bin\"\n"
    "Content-Transfer-Encoding: base64\n"
    "Content-Disposition: attachment;\n"
    " filename=\"menu.bin\"\n"
    "Content-Description: =?utf-8?q?the_men=C3=BC?=\n"
    "Content-ID: <menu@example.org>\n"
    "\n"
    "AAECAwQF\n"
    "BgcICQ==\n"
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=inner\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain\n"
    "\n"
    "alternative text\n"
    "--inner\n"
    "Content-Type: text/html\n"
    "\n"
    "<p>html</p>\n"
    "--inner--\n"
    "--outer\n"
    "Content-Type: text/plain\n"
    "Content-Disposition: attachment; filename=notes.txt\n"
    "\n"
    "note one\n"
    ".note two\n"
    "--outer--\n"
    "This is the epilogue.\n";

// ---- what MessageText holds --------------------------------------------------------------

TEST_F(Parser, ASinglePartTextMessageKeepsHeaderEmptyLineAndBody)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Subject: =?utf-8?b?R3LDvMOfZQ==?= all\n"
                                  "From: =?iso-8859-1?q?J=F6rg?= <j@example.org>\n"
                                  "To: you@example.org\n"
                                  "Date: Tue, 4 Jun 2024 08:00:00 +0000\n"
                                  "\n"
                                  "Hello,\n"
                                  "\n"
                                  "body =?utf-8?q?not_decoded?= here\n");
    EXPECT_EQ(o.loaded, 1);
    std::vector<std::string> expected = {"Subject: Gr\xc3\xbc\xc3\x9f" "e all", "From: J\xc3\xb6rg <j@example.org>",
                                         "To: you@example.org", "Date: Tue, 4 Jun 2024 08:00:00 +0000", "",
                                         "Hello,", "", "body =?utf-8?q?not_decoded?= here"};
    EXPECT_EQ(o.text, expected);
    EXPECT_EQ(o.data, expected); // OnMessageData saw each line
    EXPECT_EQ(o.subject, "Gr\xc3\xbc\xc3\x9f" "e all");
    EXPECT_EQ(o.from, "J\xc3\xb6rg <j@example.org>");
    EXPECT_EQ(o.to, "you@example.org");
    EXPECT_EQ(o.date, "Tue, 4 Jun 2024 08:00:00 +0000");
    EXPECT_TRUE(o.parts.empty());
}

TEST_F(Parser, AMultipartMessageKeepsHeaderDisplayedTextPartsAndEpilogueOnly)
{
    Session s(store);
    Outcome o = s.retrieveMessage(kMixed);
    // The plain alternative of the nested alternative is a further text part, after a separator.
    std::vector<std::string> body = {"Dear Joe, the caf\xc3\xa9 is open.", ".A line with a dot", "",
                                     "------------------------------", "", "alternative text",
                                     "This is the epilogue."};
    EXPECT_EQ(o.body(), body);
    EXPECT_EQ(o.text.size(), 8u + body.size()); // seven header fields, unfolded, and the empty line
    EXPECT_EQ(o.text[2], "Subject: Caf\xc3\xa9 menu");
    EXPECT_EQ(o.text[6], "Content-Type: multipart/mixed;\tboundary=\"outer\"");
    EXPECT_EQ(o.subject, "Caf\xc3\xa9 menu");
    EXPECT_EQ(o.xuidl, "uidl-1");
    for (const auto& line : o.text) {
        EXPECT_EQ(line.find("--outer"), std::string::npos);
        EXPECT_EQ(line.find("preamble"), std::string::npos);
        EXPECT_EQ(line.find("Content-Transfer"), std::string::npos);
    }
}

TEST_F(Parser, PartsAfterTheFirstAreWrittenToNumberedFiles)
{
    Session s(store);
    Outcome o = s.retrieveMessage(kMixed);
    ASSERT_EQ(o.parts.size(), 3u);
    std::string dir = tmp.path() + "attach/";

    const StoredPart& bin = o.parts[0];
    EXPECT_EQ(bin.number, 1);
    EXPECT_EQ(bin.stored.Location, dir + "a1");
    EXPECT_EQ(bin.stored.FileName, "menu.bin"); // Content-Disposition wins over Content-Type
    EXPECT_EQ(bin.stored.ContentType, "application/octet-stream");
    EXPECT_EQ(bin.stored.Disposition, "attachment; filename=\"menu.bin");
    EXPECT_EQ(bin.stored.Description, "the men\xc3\xbc");
    EXPECT_EQ(bin.stored.ContentID, "<menu@example.org>");
    EXPECT_EQ(bin.bytes, std::string("\0\1\2\3\4\5\6\7\x08\x09", 10));
    EXPECT_EQ(bin.stored.Size, 10);
    EXPECT_EQ(bin.located.Size, 0); // filled in only when the file is complete

    // Of the alternative, the plain text is read and the HTML is stored.
    EXPECT_EQ(o.parts[1].stored.ContentType, "text/html");
    EXPECT_EQ(o.parts[1].bytes, "<p>html</p>");

    // A plain part sent as an attachment: lines joined with CR LF; the line end before the
    // boundary is the boundary's, and the stuffed dot is gone.
    EXPECT_EQ(o.parts[2].stored.FileName, "notes.txt");
    EXPECT_EQ(o.parts[2].bytes, "note one\r\n.note two");
    EXPECT_EQ(o.parts[2].stored.Size, 19);

    // The index holds the final records.
    for (const auto& p : o.parts) {
        TMIMEAttachment r = store.GetAttachment(p.number);
        EXPECT_EQ(r.Size, p.stored.Size);
        EXPECT_EQ(r.Location, dir + "a" + std::to_string(p.number));
        EXPECT_EQ(r.ManagedFile, 1);
        EXPECT_EQ(fileBytes(r.Location), p.bytes);
    }
}

std::vector<std::string> partTypes(const Outcome& o)
{
    std::vector<std::string> types;
    for (const auto& p : o.parts)
        types.push_back(p.stored.ContentType + (p.stored.FileName.empty() ? "" : " " + p.stored.FileName));
    return types;
}

const std::string kSeparator = "------------------------------";

// The shapes current mailers send, and the text a reader shows for each.
TEST_F(Parser, TheReadableTextIsChosenAsMailReadersChooseItAtAnyDepth)
{
    Session s(store);
    const std::string alt = "Content-Type: multipart/alternative; boundary=a\n\n"
                            "--a\nContent-Type: text/plain; charset=utf-8\n\nplain w\xc3\xb6rds\n"
                            "--a\nContent-Type: text/html\n\n<p>html words</p>\n--a--\n";
    // mixed[alternative[plain, html], pdf]: the plain text; the HTML and the PDF stored, in order.
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=m\n\n--m\n" + alt +
                                  "--m\nContent-Type: application/pdf; name=a.pdf\nContent-Transfer-Encoding: base64\n\n"
                                  "JVBERg==\n--m--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"plain w\xc3\xb6rds"}));
    EXPECT_EQ(partTypes(o), (std::vector<std::string>{"text/html", "application/pdf a.pdf"}));
    EXPECT_EQ(o.parts[1].bytes, "%PDF");

    // The HTML first: it stands for the alternative until the plain text comes, then is stored.
    o = s.retrieveMessage("Content-Type: multipart/alternative; boundary=a\n\n"
                          "--a\nContent-Type: text/html\n\n<b>bold</b>\n"
                          "--a\nContent-Type: text/plain\n\nplain\n--a--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"plain"}));
    ASSERT_EQ(partTypes(o), (std::vector<std::string>{"text/html"}));
    EXPECT_EQ(o.parts[0].bytes, "<b>bold</b>");

    // HTML only, with its picture: the HTML made readable, the picture stored.
    o = s.retrieveMessage("Content-Type: multipart/related; boundary=r\n\n"
                          "--r\nContent-Type: text/html; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\n"
                          "<html><head><style>p{}</style></head><body><p>Gr=FC=DFe &amp; <a href=3D\"https://x.org/\">mehr=\n"
                          "</a></p><ul><li>eins</li></ul><img src=3D\"cid:p\"></body></html>\n"
                          "--r\nContent-Type: image/png\nContent-ID: <p>\n\nPNG\n--r--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"Gr\xc3\xbc\xc3\x9f" "e & mehr <https://x.org/>", "", "- eins"}));
    EXPECT_EQ(partTypes(o), (std::vector<std::string>{"image/png"}));

    // Related whose start names its second part; signed whose signature is stored.
    o = s.retrieveMessage("Content-Type: multipart/related; boundary=r; start=\"<root>\"\n\n"
                          "--r\nContent-Type: text/plain\n\nnot the root\n"
                          "--r\nContent-Type: text/plain\nContent-ID: <root>\n\nthe root\n--r--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"the root"}));
    EXPECT_EQ(partTypes(o), (std::vector<std::string>{"text/plain"}));
    o = s.retrieveMessage("Content-Type: multipart/signed; boundary=s; protocol=\"application/pgp-signature\"\n\n"
                          "--s\nContent-Type: multipart/mixed; boundary=m\n\n--m\n\nsigned text\n"
                          "--m\nContent-Type: text/plain\nContent-Disposition: attachment; filename=notes.txt\n\nnotes\n--m--\n"
                          "--s\nContent-Type: application/pgp-signature\n\nSIG\n--s--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"signed text"}));
    EXPECT_EQ(partTypes(o), (std::vector<std::string>{"text/plain notes.txt", "application/pgp-signature"}));

    // Further inline text parts follow the first after a separating line, an HTML one readable;
    // an alternative's own versions and a picture between them are not text.
    o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=m\n\n--m\n" + alt +
                          "--m\nContent-Type: image/jpeg\nContent-Disposition: inline\n\nJPG\n"
                          "--m\nContent-Type: text/plain\n\n-- \nList footer\n"
                          "--m\nContent-Type: text/html\n\n<p>html footer</p>\n--m--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"plain w\xc3\xb6rds", "", kSeparator, "", "-- ", "List footer", "",
                                                  kSeparator, "", "html footer"}));
    EXPECT_EQ(partTypes(o), (std::vector<std::string>{"text/html", "image/jpeg"}));

    // A single-part HTML message, base64 in its charset.
    o = s.retrieveMessage("Content-Type: text/html; charset=windows-1251\nContent-Transfer-Encoding: base64\n\n"
                          "PGgxPs/w6OLl8jwvaDE+\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"}));
    EXPECT_TRUE(o.parts.empty());
}

TEST_F(Parser, FlowedTextIsJoinedIntoParagraphs)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Content-Type: text/plain; charset=utf-8; format=flowed\n\n"
                                  "A paragraph sent \nin three \nlines.\n> quoted \n> too\n-- \nSam\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"A paragraph sent in three lines.", "> quoted too", "-- ", "Sam"}));
    o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=m\n\n--m\n"
                          "Content-Type: text/plain; format=\"Flowed\"; DelSp=Yes\n\nwo \nrd\n--m--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"word"}));
}

// The receiving side of what our own sending side writes: a uuencoded block in the text is an
// attachment; a block that proves not to be one stays text.
TEST_F(Parser, UuencodedBlocksInTheTextBecomeAttachments)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Subject: uu\n\nSee the cat.\n\nbegin 644 cat.txt\n#0V%T\n`\nend\nBye\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"See the cat.", "", "Bye"}));
    ASSERT_EQ(partTypes(o), (std::vector<std::string>{"application/octet-stream cat.txt"}));
    EXPECT_EQ(o.parts[0].bytes, "Cat");
    EXPECT_EQ(o.parts[0].stored.Size, 3);

    o = s.retrieveMessage("Subject: uu\n\nbegin 644 plan.txt\nthis is no uuencoded line\nend\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"begin 644 plan.txt", "this is no uuencoded line", "end"}));
    EXPECT_TRUE(o.parts.empty());
    o = s.retrieveMessage("Subject: uu\n\nbegin 644 cut.txt\n#0V%T\n"); // the message ends inside the block
    EXPECT_EQ(o.body(), (std::vector<std::string>{"begin 644 cut.txt", "#0V%T"}));
    EXPECT_TRUE(o.parts.empty());
}

TEST_F(Parser, ASinglePartBinaryMessageKeepsOnlyItsHeader)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Subject: file\n"
                                  "Content-Type: application/octet-stream\n"
                                  "\n"
                                  "line one\n"
                                  ".line two\n");
    EXPECT_EQ(o.text, (std::vector<std::string>{"Subject: file", "Content-Type: application/octet-stream", ""}));
    ASSERT_EQ(o.parts.size(), 1u);
    // The body of a message ends in its last line end.
    EXPECT_EQ(o.parts[0].bytes, "line one\r\n.line two\r\n");
    EXPECT_EQ(o.parts[0].stored.Size, 21);

    Outcome b = s.retrieveMessage("Content-Type: image/gif\n"
                                  "Content-Transfer-Encoding: base64\n"
                                  "\n"
                                  "R0lG\n"
                                  "ODlh\n");
    ASSERT_EQ(b.parts.size(), 1u);
    EXPECT_EQ(b.parts[0].bytes, "GIF89a");
    EXPECT_EQ(b.parts[0].stored.ContentType, "image/gif");
}

TEST_F(Parser, APartWithoutContentTypeIsTextAndTheTypeIsTestedOnFourCharacters)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=b\n\n"
                                  "--b\n\nfirst, typeless\n"
                                  "--b\n\nsecond, typeless\n"
                                  "--b--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"first, typeless", "", "------------------------------", "",
                                                  "second, typeless"}));
    EXPECT_TRUE(o.parts.empty());

    Outcome t = s.retrieveMessage("Content-Type: TEXT/X-Custom\n\nkept\n");
    EXPECT_EQ(t.body(), (std::vector<std::string>{"kept"}));
    EXPECT_TRUE(t.parts.empty());
}

TEST_F(Parser, Base64TextIsDecodedInItsCharset)
{
    Session s(store);
    // "hello\r\nw\xc3\xb6rld" in UTF-8, its groups split over lines anywhere.
    Outcome o = s.retrieveMessage("Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n\n"
                                  "aGVsbG8N\nCnfDtnJsZA==\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"hello", "w\xc3\xb6rld"}));
    // UTF-16 has no single-byte line ends: converted as it comes, then cut into lines.
    Outcome wide = s.retrieveMessage("Content-Type: text/plain; charset=utf-16\nContent-Transfer-Encoding: base64\n\n"
                                     "//5oAGkACgCpAw==\n");
    EXPECT_EQ(wide.body(), (std::vector<std::string>{"hi", "\xce\xa9"}));
    // The first text part of a multipart too, in ISO-8859-2.
    Outcome part = s.retrieveMessage("Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                                     "Content-Type: text/plain; charset=iso-8859-2\nContent-Transfer-Encoding: base64\n\n"
                                     "v/Oz5g==\n--b--\n");
    EXPECT_EQ(part.body(), (std::vector<std::string>{"\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87"}));
}

// ---- dot-stuffing ------------------------------------------------------------------------

TEST(AnswerLines, OnlyALoneDotEndsAnAnswerAndStuffedDotsGo)
{
    EXPECT_TRUE(isEndOfAnswer("."));
    EXPECT_FALSE(isEndOfAnswer(".."));
    EXPECT_FALSE(isEndOfAnswer(". "));
    EXPECT_FALSE(isEndOfAnswer(""));
    EXPECT_EQ(unstuffAnswerLine(".."), ".");
    EXPECT_EQ(unstuffAnswerLine("..x"), ".x");
    EXPECT_EQ(unstuffAnswerLine("...x"), "..x");
    EXPECT_EQ(unstuffAnswerLine("x."), "x.");
    EXPECT_EQ(unstuffAnswerLine(""), "");
}

TEST_F(Parser, StuffedLinesReachTextAndFilesWithOneDotLess)
{
    Session s(store);
    // As the server sends it: "..", "..x" and "...y" are stuffed; a stuffed ".." is no end.
    std::vector<std::string> raw = {"Subject: dots",
                                    "Content-Type: multipart/mixed; boundary=b",
                                    "",
                                    "--b",
                                    "Content-Type: text/plain",
                                    "",
                                    "..",
                                    "..hidden",
                                    "...two",
                                    "--b",
                                    "Content-Type: application/x-thing",
                                    "Content-Transfer-Encoding: quoted-printable",
                                    "",
                                    "..qp line=",
                                    "..continued",
                                    "..",
                                    "--b",
                                    "Content-Type: application/x-plain",
                                    "",
                                    "..plain",
                                    "--b--",
                                    "..",
                                    "after the stuffed end",
                                    "."};
    Outcome o = s.retrieve(raw);
    EXPECT_EQ(o.loaded, 1);
    EXPECT_EQ(o.body(), (std::vector<std::string>{".", ".hidden", "..two", ".", "after the stuffed end"}));
    ASSERT_EQ(o.parts.size(), 2u);
    EXPECT_EQ(o.parts[0].bytes, ".qp line.continued\r\n.");
    EXPECT_EQ(o.parts[1].bytes, ".plain");
}

TEST_F(Parser, ALineWithADotAloneIsTextToTheParser)
{
    Session s(store);
    s.parser.beginMessage("+OK");
    s.parser.feedLine("Subject: x");
    s.parser.feedLine("");
    s.parser.feedLine(".");
    EXPECT_EQ(s.out.loaded, 0);
    EXPECT_EQ(s.parser.State(), MessageParser::Body);
    s.parser.endMessage();
    EXPECT_EQ(s.out.loaded, 1);
    EXPECT_EQ(s.out.body(), (std::vector<std::string>{"."}));
}

// ---- header fields and parameters --------------------------------------------------------

TEST_F(Parser, FoldedFieldsAreReadWhole)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Subject: =?utf-8?q?first?=\n"
                                  " =?utf-8?q?_second?=\n"
                                  "\tthird\n"
                                  "To: a@example.org,\n"
                                  "  b@example.org\n"
                                  "Content-Type: multipart/mixed;\n"
                                  " boundary=\"folded\"\n"
                                  "\n"
                                  "--folded\n\ntext\n"
                                  "--folded\n"
                                  "Content-Type: application/pdf;\n"
                                  "\tname=\"by-type.pdf\"\n"
                                  "Content-Disposition: attachment;\n"
                                  " filename*0*=utf-8''r%C3%A9sum%C3%A9;\n"
                                  " filename*1=\".pdf\"\n"
                                  "\n"
                                  "%PDF\n"
                                  "--folded--\n");
    EXPECT_EQ(o.subject, "first second\tthird");
    EXPECT_EQ(o.to, "a@example.org,  b@example.org");
    // MessageText keeps a field a line, unfolded before its words are decoded: the blank
    // between the two adjacent words goes, a word split over two lines reads whole.
    EXPECT_EQ(o.text[0], "Subject: first second\tthird");
    EXPECT_EQ(o.text[1], "To: a@example.org,  b@example.org");
    Outcome split = s.retrieveMessage("Subject: =?utf-8?b?0J/RgNC40LLQtQ==?=\n =?utf-8?b?0YI=?= \xce\xa9\n\nbody\n");
    EXPECT_EQ(split.text[0], "Subject: \xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xce\xa9");
    ASSERT_EQ(o.parts.size(), 1u);
    EXPECT_EQ(o.parts[0].stored.FileName, "r\xc3\xa9sum\xc3\xa9.pdf");
    EXPECT_EQ(o.parts[0].bytes, "%PDF");
}

TEST_F(Parser, TheLastFieldOfANameWins)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Subject: one\nsubject: two\nFROM:three\nX-UIDL:   u\n\nx\n");
    EXPECT_EQ(o.subject, "two");
    EXPECT_EQ(o.from, "three");
    EXPECT_EQ(o.xuidl, "u");
}

TEST_F(Parser, UnquotedBoundaryAndFileNameAreRecognised)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=plain-token\n\n"
                                  "--plain-token\nContent-Type: text/plain\n\nfirst\n"
                                  "--plain-token\n"
                                  "Content-Type: application/zip\n"
                                  "Content-Disposition: attachment; filename=archive.zip\n\n"
                                  "PK\n"
                                  "--plain-token--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"first"}));
    ASSERT_EQ(o.parts.size(), 1u);
    EXPECT_EQ(o.parts[0].stored.FileName, "archive.zip");
}

TEST_F(Parser, TheContentTypeNameGivesTheFileNameWhenTheDispositionHasNone)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=b\n\n"
                                  "--b\n\ntext\n"
                                  "--b\nContent-Type: image/png; name=\"=?utf-8?q?pr=C3=A9vu?=.png\"\n"
                                  "Content-Disposition: inline\n\nx\n"
                                  "--b\nContent-Type: image/png; name=\"type.png\"\n"
                                  "Content-Disposition: attachment; filename=\"disp.png\"\n\nx\n"
                                  "--b--\n");
    ASSERT_EQ(o.parts.size(), 2u);
    EXPECT_EQ(o.parts[0].stored.FileName, "pr\xc3\xa9vu.png");
    EXPECT_EQ(o.parts[0].stored.Disposition, "inline");
    EXPECT_EQ(o.parts[1].stored.FileName, "disp.png");
}

TEST_F(Parser, NamesFromTheMessageLoseEveryDirectoryPart)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=b\n\n"
                                  "--b\n\ntext\n"
                                  "--b\nContent-Disposition: attachment; filename=\"../../../.bashrc\"\n"
                                  "Content-Type: application/x\n\nx\n"
                                  "--b\nContent-Disposition: attachment; filename=\"C:\\\\temp\\\\evil.exe\"\n"
                                  "Content-Type: application/x\n\nx\n"
                                  "--b\nContent-Type: application/x; name=\"..\"\n\nx\n"
                                  "--b\nContent-Type: application/x; name*=utf-8''%2E%2E%2Fup\n\nx\n"
                                  "--b--\n");
    ASSERT_EQ(o.parts.size(), 4u);
    EXPECT_EQ(o.parts[0].stored.FileName, ".bashrc");
    EXPECT_EQ(o.parts[1].stored.FileName, "evil.exe");
    EXPECT_EQ(o.parts[2].stored.FileName, "");
    EXPECT_EQ(o.parts[3].stored.FileName, "up");
    for (const auto& p : o.parts)
        EXPECT_EQ(p.stored.Location, tmp.path() + "attach/a" + std::to_string(p.number));
}

TEST_F(Parser, HeaderTextNeverHoldsLineBreaksOrNulAndKeptLinesNoNul)
{
    Session s(store);
    Outcome o = s.retrieve({"Subject: =?utf-8?q?line=0D=0Abreak=00?=", std::string("To: raw\0nul", 11), "",
                            std::string("body\0with nul", 13), "."});
    EXPECT_EQ(o.subject, "line  break ");
    EXPECT_EQ(o.to, "raw nul");
    EXPECT_EQ(o.text[0], "Subject: line  break ");
    EXPECT_EQ(o.text[1], "To: raw nul");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"body with nul"}));
}

TEST_F(Parser, QuotedPrintableTextLinesAreJoinedAndSplitWhereTheyDecodeToLineBreaks)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Content-Type: text/plain\nContent-Transfer-Encoding: Quoted-Printable\n\n"
                                  "soft=\n"
                                  "ly joined=20\n"
                                  "two=0D=0Alines\n"
                                  "ends soft=\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"softly joined ", "two", "lines", "ends soft"}));
}

TEST_F(Parser, TransferEncodingNamesAreReadAsSubstrings)
{
    Session s(store);
    auto bytesWith = [&](const std::string& cte) {
        Outcome o = s.retrieveMessage("Content-Type: application/x\nContent-Transfer-Encoding: " + cte
                                      + "\n\nQUJD=3D\n");
        return o.parts.at(0).bytes;
    };
    EXPECT_EQ(bytesWith("BASE64"), std::string("ABC\xdc", 4)); // "=" skipped, "3D" is a tail
    EXPECT_EQ(bytesWith("x-quoted-printable"), "QUJD=\r\n");
    EXPECT_EQ(bytesWith("7bit"), "QUJD=3D\r\n");
    EXPECT_EQ(bytesWith("x-uuencode"), "QUJD=3D\r\n"); // unknown: written as plain lines
}

// ---- the base64 and line writers ---------------------------------------------------------

std::string base64Lines(const std::string& data, std::size_t width)
{
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string enc;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        std::uint32_t v = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size())
            v |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (i + 2 < data.size())
            v |= static_cast<unsigned char>(data[i + 2]);
        enc += abc[(v >> 18) & 63];
        enc += abc[(v >> 12) & 63];
        enc += i + 1 < data.size() ? abc[(v >> 6) & 63] : '=';
        enc += i + 2 < data.size() ? abc[v & 63] : '=';
    }
    std::string out;
    for (std::size_t i = 0; i < enc.size(); i += width)
        out += enc.substr(i, width) + "\n";
    return out;
}

std::string someBytes(std::size_t n, unsigned seed)
{
    std::string s;
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s.push_back(static_cast<char>(x >> 23));
    }
    return s;
}

std::string attachmentMessage(const std::string& cte, const std::string& body)
{
    return "Content-Type: multipart/mixed; boundary=b\n\n--b\n\ntext\n--b\n"
           "Content-Type: application/octet-stream\nContent-Transfer-Encoding: "
           + cte + "\n\n" + body + "--b--\n";
}

TEST_F(Parser, Base64GroupsSplitAcrossLinesGiveTheSameBytes)
{
    Session s(store);
    std::string data = someBytes(1000, 1);
    for (std::size_t width : {76u, 64u, 4u, 1u, 3u, 5u, 77u, 1000u}) {
        Outcome o = s.retrieveMessage(attachmentMessage("base64", base64Lines(data, width)));
        ASSERT_EQ(o.parts.size(), 1u);
        EXPECT_EQ(o.parts[0].bytes, data) << "lines of " << width;
        EXPECT_EQ(o.parts[0].stored.Size, 1000);
    }
    // Blanks, a CR left over and stray characters are skipped.
    std::string noisy;
    for (auto& line : messageLines(base64Lines(data, 60)))
        noisy += " " + line.substr(0, 30) + "\t" + line.substr(std::min<std::size_t>(30, line.size())) + "\r*\n";
    EXPECT_EQ(s.retrieveMessage(attachmentMessage("base64", noisy)).parts.at(0).bytes, data);
}

TEST_F(Parser, QuotedPrintablePartsAreDecodedWithTheirLineEnds)
{
    Session s(store);
    Outcome o = s.retrieveMessage(attachmentMessage("quoted-printable", "Caf=E9 =\nau lait\n\n=3D end=\n"));
    EXPECT_EQ(o.parts.at(0).bytes, "Caf\xe9 au lait\r\n\r\n= end");
    EXPECT_EQ(o.parts.at(0).stored.Size, 21);
}

TEST_F(Parser, WithoutALocationThePartIsReadAndDroppedButStillStored)
{
    Session s(store);
    s.registerParts = false; // the handler leaves Location empty
    Outcome o = s.retrieveMessage(kMixed);
    ASSERT_EQ(o.parts.size(), 3u);
    for (const auto& p : o.parts) {
        EXPECT_TRUE(p.storedSeen);
        EXPECT_EQ(p.stored.Size, 0);
    }
    EXPECT_EQ(o.body().back(), "This is the epilogue.");

    MessageParser bare; // no handlers at all
    bare.beginMessage("+OK");
    for (auto& line : messageLines(kMixed))
        bare.feedLine(line);
    bare.endMessage();
    EXPECT_TRUE(bare.MessageText.empty()); // cleared after the (absent) OnMessageLoaded
}

TEST_F(Parser, AFileThatCannotBeCreatedIsDroppedWithItsReason)
{
    Session s(store);
    s.parser.OnAttachmentGetLocation = [&](TMIMEAttachmentPtr a) {
        a->Location = tmp.path() + "no/such/dir/file";
        s.out.parts.push_back(StoredPart());
    };
    Outcome o = s.retrieveMessage(attachmentMessage("base64", "QUJD\n"));
    ASSERT_EQ(o.parts.size(), 1u);
    EXPECT_TRUE(o.parts[0].storedSeen);
    EXPECT_EQ(o.parts[0].stored.Size, 0);
    EXPECT_NE(o.lastFileError.find(tmp.path() + "no/such/dir/file"), std::string::npos);
    EXPECT_FALSE(fileExists(tmp.path() + "no/such/dir/file"));
}

TEST_F(Parser, APartFileReplacesAnExistingFileOnlyWhenComplete)
{
    Session s(store);
    std::string target = tmp.path() + "target";
    test::writeBytes(target, "previous");
    s.parser.OnAttachmentGetLocation = [&](TMIMEAttachmentPtr a) {
        a->Location = target;
        s.out.parts.push_back(StoredPart());
    };
    s.parser.beginMessage("+OK");
    for (auto& line : messageLines("Content-Type: application/x\n\nnew contents\n"))
        s.parser.feedLine(line);
    EXPECT_EQ(fileBytes(target), "previous");
    s.parser.endMessage();
    EXPECT_EQ(fileBytes(target), "new contents\r\n");
    std::size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(tmp.path()))
        entries += e.path().filename().string().rfind("target", 0) == 0;
    EXPECT_EQ(entries, 1u);
}

// ---- boundaries --------------------------------------------------------------------------

TEST_F(Parser, BoundaryLinesAreRecognisedAtTheStartOfALineOnly)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=abc\n\n"
                                  "--abc\n\n"
                                  "quoting --abc in text\n"
                                  " --abc\n"
                                  "--abcdef\n"
                                  "--abc  \t\n"
                                  "Content-Type: application/x\n\npart\n"
                                  "--abc--  \n"
                                  "epilogue\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"quoting --abc in text", " --abc", "--abcdef", "epilogue"}));
    ASSERT_EQ(o.parts.size(), 1u);
    EXPECT_EQ(o.parts[0].bytes, "part");

    // A close line with stray text after it still closes: what follows is no part's content.
    Outcome c = s.retrieveMessage("Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n\ntext\n--b\n"
                                  "Content-Type: application/pdf\nContent-Transfer-Encoding: base64\n\nQUJD\n"
                                  "--b-->\nafter the close\n");
    ASSERT_EQ(c.parts.size(), 1u);
    EXPECT_EQ(c.parts[0].bytes, "ABC");
    EXPECT_EQ(c.body(), (std::vector<std::string>{"text", "after the close"}));
    // A boundary of dashes alone closes only at its exact close line.
    Outcome d = s.retrieveMessage("Content-Type: multipart/mixed; boundary=\"--\"\n\n----\n\ntext\n"
                                  "--------------\nmore\n------\n");
    EXPECT_EQ(d.body(), (std::vector<std::string>{"text", "--------------", "more"}));
}

TEST_F(Parser, AnInnerBoundaryThatExtendsTheOuterOneIsTold)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=abc\n\n"
                                  "--abc\n\ntext\n"
                                  "--abc\nContent-Type: multipart/alternative; boundary=abcdef\n\n"
                                  "--abcdef\nContent-Type: application/x\n\ninner\n"
                                  "--abcdef--\n"
                                  "--abc\nContent-Type: application/y\n\nouter\n"
                                  "--abc--\n");
    ASSERT_EQ(o.parts.size(), 2u);
    EXPECT_EQ(o.parts[0].bytes, "inner");
    EXPECT_EQ(o.parts[1].bytes, "outer");
}

TEST_F(Parser, AnOuterBoundaryEndsAnInnerLevelLeftOpen)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=out\n\n"
                                  "--out\n\ntext\n"
                                  "--out\nContent-Type: multipart/related; boundary=in\n\n"
                                  "--in\nContent-Type: application/x\n\nnever closed\n"
                                  "--out\nContent-Type: application/y\n\nfound\n"
                                  "--out--\nepilogue\n");
    ASSERT_EQ(o.parts.size(), 2u);
    EXPECT_EQ(o.parts[0].bytes, "never closed");
    EXPECT_EQ(o.parts[1].bytes, "found");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"text", "epilogue"}));
}

TEST_F(Parser, AMessageEndingBeforeItsClosingBoundaryClosesItsPartAndEnds)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Subject: cut\nContent-Type: multipart/mixed; boundary=b\n\n"
                                  "--b\n\ntext\n--b\nContent-Type: application/x\nContent-Transfer-Encoding: base64\n\n"
                                  "QUJD\nRA\n");
    EXPECT_EQ(o.loaded, 1);
    EXPECT_EQ(o.subject, "cut");
    ASSERT_EQ(o.parts.size(), 1u);
    EXPECT_TRUE(o.parts[0].storedSeen);
    EXPECT_EQ(o.parts[0].bytes, "ABCD"); // the unfinished group still gives its byte
    EXPECT_EQ(store.GetAttachment(o.parts[0].number).Size, 4);
    EXPECT_EQ(s.parser.State(), MessageParser::Idle);

    Outcome t = s.retrieveMessage("Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                                  "Content-Transfer-Encoding: quoted-printable\n\nheld back=\n");
    EXPECT_EQ(t.body(), (std::vector<std::string>{"held back"}));
}

TEST_F(Parser, AMultipartWhoseBoundaryIsNeverSeenEndsNormally)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Subject: lost\nContent-Type: multipart/mixed; boundary=missing\n\n"
                                  "--other\n\nnothing here is a part\n");
    EXPECT_EQ(o.loaded, 1);
    EXPECT_EQ(o.subject, "lost");
    EXPECT_TRUE(o.parts.empty());
    // Its whole body is the text: nothing is lost.
    EXPECT_EQ(o.body(), (std::vector<std::string>{"--other", "", "nothing here is a part"}));
    // So is a nested level's that never comes, where it is displayed.
    Outcome n = s.retrieveMessage("Content-Type: multipart/mixed; boundary=out\n\n--out\n"
                                  "Content-Type: multipart/alternative; boundary=in\n\ninner text\n--out\n"
                                  "Content-Type: application/x\n\nfile\n--out--\n");
    EXPECT_EQ(n.body(), (std::vector<std::string>{"inner text"}));
    ASSERT_EQ(n.parts.size(), 1u);
}

TEST_F(Parser, AMultipartWithoutBoundaryIsReadAsText)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed\n\n--x\n\nreadable\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"--x", "", "readable"}));
    Outcome n = s.retrieveMessage("Content-Type: multipart/mixed; boundary=b\n\n--b\n\ntext\n"
                                  "--b\nContent-Type: multipart/related\n\nraw inner\n--b--\n");
    EXPECT_EQ(n.body(), (std::vector<std::string>{"text", "", kSeparator, "", "raw inner"}));
    EXPECT_TRUE(n.parts.empty());
}

// Damage Python's reader recovers from, recovered alike: a header block that runs into text
// without its empty line, and digests, whose untyped parts are messages.
TEST_F(Parser, HeadersWithoutTheirEmptyLineAndDigestPartsAreReadAsReadersReadThem)
{
    Session s(store);
    Outcome o = s.retrieveMessage("Subject: no gap\nthere is no empty line here\nsecond\n");
    EXPECT_EQ(o.subject, "no gap");
    EXPECT_EQ(o.text, (std::vector<std::string>{"Subject: no gap", "", "there is no empty line here", "second"}));
    o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=b\n\n--b\nfirst line, no header\n"
                          "--b\nContent-Type: application/x\n\nfile\n--b--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"first line, no header"}));
    ASSERT_EQ(o.parts.size(), 1u);
    o = s.retrieveMessage("Content-Type: multipart/digest; boundary=d\n\n--d\n\nSubject: one\n\nfirst\n"
                          "--d\nContent-Type: text/plain\n\nfooter\n--d--\n");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"footer"}));
    ASSERT_EQ(o.parts.size(), 1u);
    EXPECT_EQ(o.parts[0].stored.ContentType, "message/rfc822");
    EXPECT_EQ(o.parts[0].bytes, "Subject: one\r\n\r\nfirst");
}

// Nested multiparts `depth` deep, a leaf at the bottom, one more part after each level.
std::string nestedMessage(int depth)
{
    std::string m = "Content-Type: multipart/mixed; boundary=L1\n\n--L1\n\ntop text\n";
    for (int level = 1; level < depth; ++level)
        m += "--L" + std::to_string(level) + "\nContent-Type: multipart/mixed; boundary=L" + std::to_string(level + 1)
             + "\n\n";
    m += "--L" + std::to_string(depth) + "\nContent-Type: application/x\n\nleaf at " + std::to_string(depth) + "\n";
    for (int level = depth; level >= 1; --level)
        m += "--L" + std::to_string(level) + "\nContent-Type: application/y\n\nafter " + std::to_string(level)
             + "\n--L" + std::to_string(level) + "--\n";
    return m;
}

TEST_F(Parser, NestingDeeperThanTheBoundaryTableIsSkippedSafely)
{
    Session s(store);
    Outcome ok = s.retrieveMessage(nestedMessage(33));
    ASSERT_EQ(ok.parts.size(), 34u);
    EXPECT_EQ(ok.parts[0].bytes, "leaf at 33");
    EXPECT_EQ(ok.parts.back().bytes, "after 1");

    Outcome deep = s.retrieveMessage(nestedMessage(40));
    // Levels 34 to 40 are one skipped part of level 33; everything above is found.
    ASSERT_EQ(deep.parts.size(), 33u);
    EXPECT_EQ(deep.parts[0].bytes, "after 33");
    EXPECT_EQ(deep.parts.back().bytes, "after 1");
    EXPECT_EQ(deep.body(), (std::vector<std::string>{"top text"}));
}

TEST_F(Parser, PartsBeyondTheLimitAreSkipped)
{
    ParserLimits limits;
    limits.maxParts = 5;
    Session s(store, limits);
    std::string m = "Content-Type: multipart/mixed; boundary=b\n\n";
    for (int i = 1; i <= 8; ++i)
        m += "--b\nContent-Type: application/x\n\npart " + std::to_string(i) + "\n";
    m += "--b--\nepilogue\n";
    Outcome o = s.retrieveMessage(m);
    ASSERT_EQ(o.parts.size(), 5u);
    EXPECT_EQ(o.parts.back().bytes, "part 5");
    EXPECT_EQ(o.body(), (std::vector<std::string>{"epilogue"}));
    EXPECT_EQ(store.LastNumber(), 5);
}

// ---- bounded memory ----------------------------------------------------------------------

TEST_F(Parser, AHeaderOfAMillionLinesKeepsOnlyItsFirstMegabyte)
{
    Session s(store);
    s.parser.OnMailInfo = nullptr;
    s.parser.beginMessage("+OK");
    s.parser.feedLine("Subject: early");
    for (int i = 0; i < 1000000; ++i)
        s.parser.feedLine("X-Filler: " + std::to_string(i));
    s.parser.feedLine("Subject: too late");
    s.parser.feedLine("");
    s.parser.feedLine("body");
    std::size_t bytes = 0;
    for (const auto& l : s.parser.MessageText)
        bytes += l.size() + 2;
    EXPECT_LE(bytes, s.parser.Limits().maxHeaderBytes + 10);
    EXPECT_GT(bytes, s.parser.Limits().maxHeaderBytes / 2);
    s.parser.endMessage();
    EXPECT_EQ(s.out.subject, "early");
    EXPECT_EQ(s.out.body(), (std::vector<std::string>{"body"}));
}

TEST_F(Parser, AOneMegabyteLineIsSplitInTextAndWrittenWholeInFiles)
{
    Session s(store);
    std::string big = someBytes(1 << 20, 3);
    for (char& c : big)
        c = static_cast<char>('a' + (static_cast<unsigned char>(c) % 26));
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=b\n\n--b\n\n" + big + "\n--b\n"
                                  "Content-Type: application/x\n\n" + big + "\n--b\n"
                                  "Content-Type: application/x\nContent-Transfer-Encoding: base64\n\n"
                                  + base64Lines(big, big.size() * 2) + "--b\n"
                                  "Content-Type: application/x\nContent-Transfer-Encoding: quoted-printable\n\n"
                                  + big + "\n--b--\n");
    std::vector<std::string> body = o.body();
    ASSERT_EQ(body.size(), 16u);
    for (const auto& l : body)
        EXPECT_EQ(l.size(), 65536u);
    EXPECT_EQ(join(body, ""), big);
    ASSERT_EQ(o.parts.size(), 3u);
    EXPECT_EQ(o.parts[0].bytes, big);
    EXPECT_EQ(o.parts[1].bytes, big);
    EXPECT_EQ(o.parts[2].bytes, big);
}

TEST_F(Parser, HtmlTooLargeToHoldIsStoredWholeAsAnAttachment)
{
    ParserLimits limits;
    limits.maxTextBytes = 4096;
    Session s(store, limits);
    std::string html = "<p>" + std::string(3000, 'x') + "</p>";
    Outcome o = s.retrieveMessage("Content-Type: multipart/mixed; boundary=m\n\n"
                                  "--m\nContent-Type: text/html\n\n" + html + "\n" + html + "\n"
                                  "--m\nContent-Type: text/html\n\n<p>small</p>\n--m--\n");
    ASSERT_EQ(partTypes(o), (std::vector<std::string>{"text/html"}));
    EXPECT_EQ(o.parts[0].bytes, html + "\r\n" + html);
    EXPECT_EQ(o.body(), (std::vector<std::string>{"small"}));
}

TEST_F(Parser, AnEndlessChainOfSoftBreaksIsHandedOutInPieces)
{
    Session s(store);
    s.parser.beginMessage("+OK");
    s.parser.feedLine("Content-Transfer-Encoding: quoted-printable");
    s.parser.feedLine("");
    for (int i = 0; i < 20000; ++i)
        s.parser.feedLine("0123456789=");
    s.parser.feedLine("end");
    std::vector<std::string> kept;
    s.parser.OnMessageLoaded = [&] { kept.assign(s.parser.MessageText.begin() + 2, s.parser.MessageText.end()); };
    s.parser.endMessage();
    for (const auto& l : kept)
        EXPECT_LE(l.size(), s.parser.Limits().maxTextLineBytes);
    std::string expected;
    for (int i = 0; i < 20000; ++i)
        expected += "0123456789";
    EXPECT_EQ(join(kept, ""), expected + "end");
}

TEST_F(Parser, KeptTextStopsAtItsLimitAndSaysSo)
{
    ParserLimits limits;
    limits.maxTextBytes = 10000;
    Session s(store, limits);
    std::string m = "Subject: big\n\n";
    for (int i = 0; i < 1000; ++i)
        m += "line " + std::to_string(i) + "\n";
    Outcome o = s.retrieveMessage(m);
    EXPECT_TRUE(o.truncated);
    std::size_t cost = 0;
    for (const auto& l : o.text)
        cost += l.size() + sizeof(std::string);
    EXPECT_LE(cost, 10000u);
    EXPECT_EQ(o.text[0], "Subject: big");
    EXPECT_EQ(o.data.size(), o.text.size());
    Outcome next = s.retrieveMessage("Subject: small\n\nx\n");
    EXPECT_FALSE(next.truncated);
}

// ---- answers, counts and notifications ---------------------------------------------------

TEST(AnswerSize, IsTheNumberInFrontOfOctets)
{
    EXPECT_EQ(answerSizeText("+OK 1234 octets"), "1234");
    EXPECT_EQ(answerSizeText("+OK message 7 follows, 512 octets"), "512");
    EXPECT_EQ(answerSizeText("+OK"), "");
    EXPECT_EQ(answerSizeText("+OK 12octets"), "");
    EXPECT_EQ(answerSizeText("+OK  octets"), "");
    EXPECT_EQ(answerSizeText("+OK " + std::string(150, '9') + " octets"), std::string(99, '9'));
}

TEST_F(Parser, AnErrorAnswerIsError13)
{
    Session s(store);
    std::vector<std::pair<int, std::string>> errors;
    s.parser.OnMailError = [&](int e, const std::string& t) { errors.emplace_back(e, t); };
    EXPECT_FALSE(s.parser.beginMessage("-ERR no such message"));
    EXPECT_FALSE(s.parser.beginPreview("-ERR gone"));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], std::make_pair(13, std::string("Unexpected response: -ERR no such message")));
    EXPECT_EQ(errors[1], std::make_pair(13, std::string("Unexpected response: -ERR gone")));
    EXPECT_EQ(s.parser.State(), MessageParser::Idle);
    s.parser.feedLine("ignored");
    s.parser.endMessage();
    EXPECT_EQ(s.out.loaded, 0);
}

TEST_F(Parser, ByteCountsAndProgressInfos)
{
    Session s(store);
    Outcome o = s.retrieve(serverLines("Subject: s\n\n..dot\nbody\n"), "+OK 27 octets");
    ASSERT_FALSE(o.infos.empty());
    EXPECT_EQ(o.infos[0], std::make_pair(3, std::string("27")));
    // Each line counts its unstuffed length and CR LF; the "." is not counted.
    std::vector<std::string> expected = {"12", "14", "21", "27"};
    ASSERT_EQ(o.infos.size(), 1 + expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(o.infos[i + 1], std::make_pair(4, expected[i]));
    EXPECT_EQ(o.size, 27);
    EXPECT_EQ(s.parser.MessageSize, 0); // cleared after OnMessageLoaded
}

TEST_F(Parser, LineStatesFollowTheMessage)
{
    Session s(store);
    MessageParser& p = s.parser;
    EXPECT_EQ(p.State(), MessageParser::Idle);
    p.beginMessage("+OK");
    EXPECT_EQ(p.State(), 2);
    p.feedLine("Content-Type: multipart/mixed; boundary=b");
    p.feedLine("");
    EXPECT_EQ(p.State(), 12);
    p.feedLine("--b");
    EXPECT_EQ(p.State(), 9);
    p.feedLine("");
    EXPECT_EQ(p.State(), 10);
    p.feedLine("--b");
    p.feedLine("Content-Type: image/gif");
    p.feedLine("");
    EXPECT_EQ(p.State(), 8);
    p.feedLine("--b--");
    EXPECT_EQ(p.State(), 2);
    p.endMessage();
    p.beginMessage("+OK");
    p.feedLine("Content-Type: image/gif");
    p.feedLine("");
    EXPECT_EQ(p.State(), 11);
    p.endMessage();
    EXPECT_EQ(p.State(), 0);
    p.beginPreview("+OK");
    EXPECT_EQ(p.State(), 6);
    p.endPreview();
    EXPECT_EQ(p.State(), 0);
}

TEST_F(Parser, ValuesAreClearedAfterTheMessageAndXuidlStays)
{
    Session s(store);
    s.retrieveMessage("Subject: s\nFrom: f\nTo: t\nDate: d\nX-UIDL: keep\n\nbody\n");
    EXPECT_EQ(s.out.subject, "s");
    EXPECT_TRUE(s.parser.MessageText.empty());
    EXPECT_TRUE(s.parser.Subject.empty());
    EXPECT_TRUE(s.parser.From.empty());
    EXPECT_TRUE(s.parser.To.empty());
    EXPECT_TRUE(s.parser.Date.empty());
    EXPECT_EQ(s.parser.XUIDL, "keep");
}

TEST_F(Parser, AHandlerThatThrowsStillLeavesTheParserReady)
{
    Session s(store);
    s.parser.OnMessageLoaded = [] { throw FileError("mailbox", "disk full"); };
    EXPECT_THROW(s.retrieveMessage("Subject: one\n\nbody\n"), FileError);
    EXPECT_TRUE(s.parser.MessageText.empty());
    EXPECT_EQ(s.parser.State(), MessageParser::Idle);
    int loaded = 0;
    s.parser.OnMessageLoaded = [&] {
        ++loaded;
        EXPECT_EQ(s.parser.Subject, "two");
    };
    s.retrieveMessage("Subject: two\n\nbody\n");
    EXPECT_EQ(loaded, 1);
}

// ---- the header preview ------------------------------------------------------------------

TEST_F(Parser, APreviewKeepsTheLinesAsReceivedAndTakesTheSummaryFields)
{
    Session s(store);
    Outcome o = s.preview({"Subject: =?utf-8?q?caf=C3=A9?=", "From: a@example.org", "X-UIDL: p-1",
                           "Content-Type: multipart/mixed; boundary=b", "", "From: body@line", "."},
                          "+OK 100 octets");
    EXPECT_EQ(o.loaded, 1);
    EXPECT_EQ(o.text, (std::vector<std::string>{"Subject: =?utf-8?q?caf=C3=A9?=", "From: a@example.org",
                                                "X-UIDL: p-1", "Content-Type: multipart/mixed; boundary=b", "",
                                                "From: body@line"}));
    EXPECT_EQ(o.subject, "caf\xc3\xa9");
    EXPECT_EQ(o.from, "a@example.org"); // a line after the header is no field
    EXPECT_EQ(o.xuidl, "p-1");
    EXPECT_EQ(o.size, 30 + 19 + 11 + 41 + 0 + 15); // the lines without their CR LF
    EXPECT_TRUE(o.parts.empty());
    ASSERT_EQ(o.infos.size(), 1u);
    EXPECT_EQ(o.infos[0], std::make_pair(3, std::string("100")));
    EXPECT_TRUE(s.parser.MessageText.empty());
    EXPECT_TRUE(s.parser.Subject.empty());
    EXPECT_EQ(s.parser.MessageSize, 0);

    // The next preview keeps the X-UIDL of the last one when it has none.
    Outcome next = s.preview({"Subject: x", "."});
    EXPECT_EQ(next.xuidl, "p-1");
}

// ---- streaming ---------------------------------------------------------------------------

// Reads `message` as a socket would deliver it in pieces of `chunk` bytes, assembling lines
// in one reused buffer, and feeds the parser.
Outcome retrieveInChunks(Session& s, const std::string& message, std::size_t chunk)
{
    std::string wire;
    for (auto& line : serverLines(message))
        wire += line + "\r\n";
    s.out = Outcome();
    s.parser.beginMessage("+OK");
    std::string pending;
    for (std::size_t at = 0; at < wire.size(); at += chunk) {
        pending.append(wire, at, chunk);
        std::size_t start = 0, crlf;
        while ((crlf = pending.find("\r\n", start)) != std::string::npos) {
            std::string_view line(pending.data() + start, crlf - start);
            if (isEndOfAnswer(line))
                s.parser.endMessage();
            else
                s.parser.feedLine(unstuffAnswerLine(line));
            start = crlf + 2;
        }
        pending.erase(0, start);
    }
    return s.out;
}

void expectSameOutcome(const Outcome& a, const Outcome& b, const std::string& what)
{
    EXPECT_EQ(a.text, b.text) << what;
    EXPECT_EQ(a.subject, b.subject) << what;
    EXPECT_EQ(a.size, b.size) << what;
    ASSERT_EQ(a.parts.size(), b.parts.size()) << what;
    for (std::size_t i = 0; i < a.parts.size(); ++i) {
        EXPECT_EQ(a.parts[i].bytes, b.parts[i].bytes) << what << " part " << i;
        EXPECT_EQ(a.parts[i].stored.FileName, b.parts[i].stored.FileName) << what;
        EXPECT_EQ(a.parts[i].stored.Size, b.parts[i].stored.Size) << what;
    }
}

TEST_F(Parser, TheSameMessageInAnyPacketSizesGivesTheSameResult)
{
    Session s(store);
    std::string message = std::string(kMixed) + "..\n" + ".\n";
    Outcome whole = s.retrieveMessage(message);
    for (std::size_t chunk : {1u, 2u, 3u, 7u, 64u, 1000u, 100000u})
        expectSameOutcome(retrieveInChunks(s, message, chunk), whole, "chunks of " + std::to_string(chunk));
}

TEST_F(Parser, AMessageParsedTwiceGivesTheSameResult)
{
    Session s(store);
    Outcome first = s.retrieveMessage(kMixed);
    Outcome second = s.retrieveMessage(kMixed);
    expectSameOutcome(first, second, "second run");
    EXPECT_EQ(second.parts[0].number, first.parts[0].number + 3);
}

TEST_F(Parser, EverLongerPrefixesEndedEarlyAreConsistentWithTheWhole)
{
    Session s(store);
    std::vector<std::string> raw = serverLines(kMixed);
    Outcome whole = s.retrieve(raw);
    raw.pop_back(); // the "."
    for (std::size_t n = 0; n <= raw.size(); ++n) {
        std::vector<std::string> prefix(raw.begin(), raw.begin() + static_cast<long>(n));
        prefix.push_back(".");
        Outcome o = s.retrieve(prefix);
        ASSERT_EQ(o.loaded, 1) << n;
        // Every kept line but the last (a soft break may still be held) is the whole's.
        ASSERT_LE(o.text.size(), whole.text.size() + 1) << n;
        for (std::size_t i = 0; i + 1 < o.text.size(); ++i)
            ASSERT_EQ(o.text[i], whole.text[i]) << "prefix " << n << " line " << i;
        // Every part found is closed, and its file is the start of the whole's.
        ASSERT_LE(o.parts.size(), whole.parts.size()) << n;
        for (std::size_t i = 0; i < o.parts.size(); ++i) {
            ASSERT_TRUE(o.parts[i].storedSeen) << n;
            const std::string& full = whole.parts[i].bytes;
            ASSERT_EQ(full.compare(0, o.parts[i].bytes.size(), o.parts[i].bytes), 0)
                << "prefix " << n << " part " << i;
            ASSERT_EQ(o.parts[i].stored.Size, static_cast<std::int32_t>(o.parts[i].bytes.size()));
        }
    }
}

// ---- regression inputs -------------------------------------------------------------------

std::string dataDir()
{
    const char* env = std::getenv("TAVIK_TEST_DATA");
    if (env && *env)
        return std::string(env) + "/pop3/";
    return tavik::test::testDataDir() + "pop3/";
}

// A transcript as the server sends it after its status line, "." included.
std::vector<std::string> transcript(const std::string& name)
{
    std::string bytes = fileBytes(dataDir() + name);
    if (bytes.empty())
        throw std::runtime_error("missing regression input " + dataDir() + name);
    return messageLines(bytes);
}

TEST_F(Parser, RegressionInputs)
{
    Session s(store);
    {
        Outcome o = s.retrieve(transcript("dot_stuffed_lines.txt"));
        EXPECT_EQ(o.loaded, 1);
        EXPECT_EQ(o.body(), (std::vector<std::string>{".", ".profile", "..", "still the body"}));
        ASSERT_EQ(o.parts.size(), 1u);
        EXPECT_EQ(o.parts[0].bytes, ".start\r\n.");
    }
    {
        Outcome o = s.retrieve(transcript("b_encoded_subject.txt"));
        EXPECT_EQ(o.subject, "R\xc3\xa9union: ordre du jour");
        EXPECT_EQ(o.from, "Ren\xc3\xa9" "e <r@example.org>");
    }
    {
        Outcome o = s.retrieve(transcript("unquoted_boundary.txt"));
        EXPECT_EQ(o.body(), (std::vector<std::string>{"Hello"}));
        ASSERT_EQ(o.parts.size(), 1u);
        EXPECT_EQ(o.parts[0].stored.FileName, "data.csv");
        EXPECT_EQ(o.parts[0].bytes, "a;b\r\n1;2");
    }
    {
        Outcome o = s.retrieve(transcript("unclosed_multipart.txt"));
        EXPECT_EQ(o.loaded, 1);
        ASSERT_EQ(o.parts.size(), 1u);
        EXPECT_EQ(o.parts[0].bytes, "Hello, World");
    }
    {
        Outcome o = s.retrieve(transcript("path_in_filename.txt"));
        ASSERT_EQ(o.parts.size(), 2u);
        EXPECT_EQ(o.parts[0].stored.FileName, "authorized_keys");
        EXPECT_EQ(o.parts[1].stored.FileName, "start.bat");
    }
    {
        Outcome o = s.retrieve(transcript("base64_groups_across_lines.txt"));
        ASSERT_EQ(o.parts.size(), 1u);
        EXPECT_EQ(o.parts[0].bytes, "Hello, World!!");
    }
    {
        Outcome o = s.retrieve(transcript("deep_nesting.txt"));
        EXPECT_EQ(o.loaded, 1);
        ASSERT_FALSE(o.parts.empty());
        EXPECT_EQ(o.parts.back().bytes, "survivor");
    }
}

// ---- messages made by Python's email package --------------------------------------------

TEST_F(Parser, MessagesMadeByPythonComeOutAsPythonPutThemIn)
{
    std::string out = tmp.path() + "python/";
    std::vector<test::ExpectedMessage> messages = test::makePythonMessages(out);
    ASSERT_GE(messages.size(), 9u);

    Session s(store);
    for (const auto& m : messages) {
        SCOPED_TRACE(m.file);
        std::string raw = fileBytes(out + m.file);
        Outcome o = s.retrieveMessage(raw);
        ASSERT_EQ(o.loaded, 1);
        EXPECT_EQ(o.subject, m.subject);
        EXPECT_EQ(o.from, m.from);
        if (m.hasText)
            EXPECT_EQ(join(o.body()), m.textJoin);
        else
            EXPECT_TRUE(o.body().empty());
        ASSERT_EQ(o.parts.size(), m.files.size());
        for (std::size_t i = 0; i < m.files.size(); ++i) {
            SCOPED_TRACE("part " + std::to_string(i));
            const test::ExpectedFile& f = m.files[i];
            std::string expected = fileBytes(out + f.payloadFile);
            const StoredPart& p = o.parts[i];
            std::string got = fileBytes(store.GetAttachment(p.number).Location);
            if (f.exact)
                EXPECT_TRUE(got == expected) << "base64 part differs: " << got.size() << " vs " << expected.size();
            else
                EXPECT_EQ(test::crlfLines(got), expected);
            EXPECT_EQ(store.GetAttachment(p.number).Size, static_cast<std::int32_t>(got.size()));
            EXPECT_EQ(p.stored.ContentType, f.contentType);
            EXPECT_EQ(p.stored.FileName, f.fileName);
        }
        // The same bytes in odd packet sizes give the same.
        expectSameOutcome(retrieveInChunks(s, raw, 13), s.retrieveMessage(raw), "in packets");
    }
}

} // namespace
} // namespace tavik
