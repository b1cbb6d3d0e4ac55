#include "smtp/message_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "smtp/mime_encoders.h"
#include "text/unicode_text.h"
#include "support/test_support.h"

using namespace tavik;

namespace {

const std::string kB = "==============ghyurgtfy573======___";
const std::string kDelimiter = "--" + kB;

// Joins lines, each followed by CR LF.
std::string lines(std::initializer_list<std::string> ls)
{
    std::string s;
    for (const std::string& l : ls)
        s += l + "\r\n";
    return s;
}

std::string repeat(std::string_view piece, int times)
{
    std::string s;
    for (int i = 0; i < times; ++i)
        s += piece;
    return s;
}

std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen() & 255);
    return s;
}

// Undoes dot transparency: what the server keeps of the DATA text.
std::string unstuff(const std::string& wire)
{
    std::string out;
    std::size_t start = 0;
    while (start < wire.size()) {
        std::size_t crlf = wire.find("\r\n", start);
        std::size_t end = crlf == std::string::npos ? wire.size() : crlf + 2;
        std::string_view line(wire.data() + start, end - start);
        if (line.size() >= 1 && line[0] == '.') {
            EXPECT_TRUE(line.size() >= 2 && line[1] == '.') << "an unstuffed dot line: " << line;
            line.remove_prefix(1);
        }
        out += line;
        start = end;
    }
    return out;
}

// A JSON string whose code points are the bytes.
std::string js(std::string_view bytes)
{
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        }
    }
    return out + "\"";
}

// Records what the writer sends; can end the send when a text appears on the wire.
class CaptureSink : public MessageSink {
public:
    std::string wire;
    std::string calls; // one letter per call: L, T, D
    bool finished = false;
    std::string finishWhenSent; // set Finished once the wire holds this text

    void SendLine(std::string_view line) override
    {
        if (finished)
            return;
        EXPECT_LE(line.size(), kMaxCommandLine) << line;
        EXPECT_EQ(line.find_first_of("\r\n"), std::string_view::npos) << line;
        calls += 'L';
        wire += line;
        wire += "\r\n";
        watch();
    }
    void SendText(std::string_view text) override
    {
        if (finished)
            return;
        calls += 'T';
        wire += text;
        watch();
    }
    void SendData(const char* bytes, std::size_t count) override
    {
        if (finished)
            return;
        calls += 'D';
        wire.append(bytes, count);
        watch();
    }
    bool Finished() const override { return finished; }

private:
    void watch()
    {
        if (!finishWhenSent.empty() && wire.find(finishWhenSent) != std::string::npos)
            finished = true;
    }
};

class Writer : public ::testing::Test {
protected:
    Writer()
    {
        m.FROM_Name = "Ann Example";
        m.FROM_Address = "ann@example.org";
        m.ListTo = {"bob@example.net|Bob"};
    }

    WriteResult write()
    {
        MessageWriter writer(m, sink);
        writer.OnMailInfo = [this](SendMailInfo code, const std::string& add) {
            infos.emplace_back(code, add);
            if (onInfo)
                onInfo(code, add);
        };
        if (feed)
            writer.OnFeedData = feed;
        WriteResult r = writer.WriteMessage();
        bodyQP = writer.BodyNeedsQP();
        return r;
    }

    std::string file(const std::string& name, const std::string& bytes)
    {
        const std::string path = dir.path() + name;
        test::writeBytes(path, bytes);
        return path;
    }

    TOutgoingAttachment attachment(const std::string& path, std::uint8_t encoding = kEncodingAutomatic,
                                   const std::string& mime = "")
    {
        TOutgoingAttachment a;
        a.Path = path;
        a.Encoding = encoding;
        a.MimeType = mime;
        return a;
    }

    // Lets Python's email package parse the message as the server keeps it.
    void pythonCheck(const std::string& json)
    {
        const std::string msg = dir.path() + "message.eml";
        const std::string exp = dir.path() + "expect.json";
        test::writeBytes(msg, unstuff(sink.wire));
        test::writeBytes(exp, json);
        const std::string script = tavik::test::testDataDir() + "../smtp/check_message.py";
        const std::string cmd = "/usr/bin/python3 '" + script + "' '" + msg + "' '" + exp + "' 2>&1";
        FILE* p = ::popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[512];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        const int status = ::pclose(p);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    }

    std::vector<std::string> infosOf(SendMailInfo code) const
    {
        std::vector<std::string> v;
        for (const auto& [c, a] : infos)
            if (c == code)
                v.push_back(a);
        return v;
    }

    test::TempDir dir;
    OutgoingMessage m;
    CaptureSink sink;
    std::vector<std::pair<int, std::string>> infos;
    std::function<void(SendMailInfo, const std::string&)> onInfo;
    std::function<void(std::string&)> feed;
    bool bodyQP = false;
};

const std::string kPlainHead = "Content-Type: text/plain; charset=\"us-ascii\"";
const std::string kMultiHead = "Content-Type: multipart/mixed; boundary=\"" + kB + "\"";

} // namespace

// ---------------------------------------------------------------- the exact text

TEST_F(Writer, MinimalMessage)
{
    m.ListTo = {"bob@example.net|"};
    EXPECT_EQ(write().outcome, WriteResult::Written);
    EXPECT_EQ(sink.wire, lines({"From: Ann Example <ann@example.org>", "To: bob@example.net;", "Mime-Version: 1.0",
                                kPlainHead, ""}));
    EXPECT_TRUE(infos.empty());
    pythonCheck(R"({"addresses": {"From": [["Ann Example", "ann@example.org"]], "To": [["", "bob@example.net"]]},
                    "headers": {"Subject": [], "Cc": []},
                    "text": {"content_type": "text/plain", "params": {"charset": "us-ascii"}, "cte": null, "body": ""}})");
}

TEST_F(Writer, SenderAndRecipientLines)
{
    m.FROM_Name = "";
    m.ListTo = {"bob@example.net|Bob", "carol@example.net", "dave@example.net|"};
    m.Listcc = {"eve@example.net|Eve", "frank@example.net|", "gina@example.net"};
    m.ListBcc = {"hidden@example.net|Hidden"};
    write();
    EXPECT_EQ(sink.wire, lines({"From:  <ann@example.org>", "To: Bob <bob@example.net>", "To: carol@example.net;",
                                "To: dave@example.net;", "cc: Eve <eve@example.net>", "cc: frank@example.net",
                                "cc: gina@example.net", "Mime-Version: 1.0", kPlainHead, ""}));
    EXPECT_EQ(sink.wire.find("hidden"), std::string::npos);
    pythonCheck(R"({"addresses": {"From": [["", "ann@example.org"]],
                                  "To": [["Bob", "bob@example.net"], ["", "carol@example.net"], ["", "dave@example.net"]],
                                  "Cc": [["Eve", "eve@example.net"], ["", "frank@example.net"], ["", "gina@example.net"]]},
                    "headers": {"Bcc": []}})");
}

TEST_F(Writer, SubjectAndHeadersGoThroughEncodeHeaderLine)
{
    m.Subject = "Caf\xC3\xA9 au lait";
    m.Headers = {"Reply-To: ann@example.org", "X-Priority: 3", "X-Mailer: Tavik mail v1.1b"};
    write();
    EXPECT_EQ(sink.wire, lines({"From: Ann Example <ann@example.org>", "To: Bob <bob@example.net>",
                                "Subject: =?UTF-8?Q?Caf=C3=A9_au_lait?=  ", "Mime-Version: 1.0", kPlainHead,
                                "Reply-To: ann@example.org  ", "X-Priority: 3  ", "X-Mailer: Tavik mail v1.1b  ", ""}));
    pythonCheck(R"({"headers": {"Subject": ["Café au lait"], "X-Priority": ["3"], "X-Mailer": ["Tavik mail v1.1b"]},
                    "addresses": {"Reply-To": [["", "ann@example.org"]]}})");
    sink = CaptureSink();
    m.Subject = "Hello";
    m.Headers.clear();
    write();
    EXPECT_NE(sink.wire.find("\r\nSubject: Hello  \r\n"), std::string::npos);
}

TEST_F(Writer, AtAGlanceWithAndWithoutAttachment)
{
    m.Subject = "Report";
    m.MailText = {"Hello"};
    m.Headers = {"X-Mailer: Tavik"};
    const std::string path = file("p.bin", "\xC8\x01\x02");
    ASSERT_TRUE(m.AddAttachment(attachment(path, kEncodingAutomatic, "image/png")));
    EXPECT_EQ(write().outcome, WriteResult::Written);
    EXPECT_EQ(sink.wire,
              lines({"From: Ann Example <ann@example.org>", "To: Bob <bob@example.net>", "Subject: Report  ",
                     "Mime-Version: 1.0", kMultiHead, "X-Mailer: Tavik  ", "", kDelimiter, kPlainHead, "", "Hello", "",
                     kDelimiter, "Content-Type: image/png; name=\"p.bin\"", "Content-Transfer-Encoding: base64",
                     "Content-Disposition: attachment; filename=\"p.bin\"", "", "yAEC", kDelimiter + "--", ""}));
    EXPECT_EQ(m.AttachmentSlots[0]->Encoding, kEncodingBase64);
    pythonCheck(R"({"headers": {"Subject": ["Report"], "Mime-Version": ["1.0"]},
                    "text": {"params": {"charset": "us-ascii"}, "cte": null, "body": "Hello\r\n"},
                    "attachments": [{"content_type": "image/png", "params": {"name": "p.bin"}, "cte": "base64",
                                     "disposition": "attachment", "disp_params": {"filename": "p.bin"},
                                     "description": null, "bytes": "\u00c8\u0001\u0002"}]})");

    sink = CaptureSink();
    m.ClearAttachments();
    write();
    EXPECT_EQ(sink.wire, lines({"From: Ann Example <ann@example.org>", "To: Bob <bob@example.net>", "Subject: Report  ",
                                "Mime-Version: 1.0", kPlainHead, "X-Mailer: Tavik  ", "", "Hello", ""}));
    // A single-part message keeps the empty line after the body as a last empty line.
    pythonCheck(R"({"text": {"body": "Hello\r\n\r\n"}, "attachments": []})");
}

// ---------------------------------------------------------------- the body

TEST_F(Writer, QuotedPrintableBodyAndItsCharset)
{
    m.MailText = {"a\tb", "caf\xC3\xA9"};
    write();
    EXPECT_TRUE(bodyQP);
    EXPECT_EQ(sink.wire, lines({"From: Ann Example <ann@example.org>", "To: Bob <bob@example.net>", "Mime-Version: 1.0",
                                "Content-Type: text/plain; charset=\"UTF-8\"",
                                "Content-Transfer-Encoding: quoted-printable", "", "a=09b=0D=0Acaf=C3=A9=0D=0A"}));
    pythonCheck(R"({"text": {"params": {"charset": "UTF-8"}, "cte": "quoted-printable",
                             "content": "a\tb\r\ncaf\u00e9\r\n\r\n"}})");

    // A TAB alone needs quoted-printable but stays us-ascii; soft breaks after 73 characters.
    sink = CaptureSink();
    m.MailText = {"\t" + std::string(99, 'x')};
    write();
    EXPECT_TRUE(bodyQP);
    const std::string head = lines({"From: Ann Example <ann@example.org>", "To: Bob <bob@example.net>",
                                    "Mime-Version: 1.0", kPlainHead, "Content-Transfer-Encoding: quoted-printable", ""});
    EXPECT_EQ(sink.wire, head + "=09" + std::string(68, 'x') + "=\r\n" + std::string(31, 'x') + "=0D=0A\r\n");
    pythonCheck(R"({"text": {"params": {"charset": "us-ascii"}, "body": "\t)" + std::string(99, 'x') + R"(\r\n\r\n"}})");

    // Byte 127 needs quoted-printable; only 128 and above make the text UTF-8.
    sink = CaptureSink();
    m.MailText = {"del\x7F"};
    write();
    EXPECT_TRUE(bodyQP);
    EXPECT_NE(sink.wire.find(kPlainHead), std::string::npos);
}

TEST_F(Writer, BodyGoesInChunksOf2048)
{
    // 20 lines of 102 bytes and one of 8: 2048 bytes.
    m.MailText = std::vector<std::string>(20, std::string(100, 'a'));
    m.MailText.push_back("123456");
    write();
    EXPECT_FALSE(bodyQP);
    EXPECT_EQ(infosOf(Info_BodySize), std::vector<std::string>{"2048"});
    EXPECT_EQ(infosOf(Info_BodyProgress), std::vector<std::string>{"2048"});
    infos.clear();
    sink = CaptureSink();
    m.MailText.back() = "1234567";
    write();
    EXPECT_EQ(infosOf(Info_BodySize), std::vector<std::string>{"2049"});
    EXPECT_EQ(infosOf(Info_BodyProgress), (std::vector<std::string>{"2048", "2049"}));
    EXPECT_EQ(sink.calls, "LLLLLDDL");
    infos.clear();
    sink = CaptureSink();
    m.MailText = {std::string(3000, 'a'), "\xC3\xA9"};
    write();
    EXPECT_EQ(infosOf(Info_BodySize), std::vector<std::string>{"3006"});
    EXPECT_EQ(infosOf(Info_BodyProgress), (std::vector<std::string>{"2048", "3006"}));
    pythonCheck(R"({"text": {"cte": "quoted-printable", "content": ")" + std::string(3000, 'a') + R"(\r\n\u00e9\r\n\r\n"}})");
}

TEST_F(Writer, DotTransparencyOnEveryLine)
{
    const std::string z998(998, 'z');
    m.MailText = {".", ".hidden", "a.b", z998, z998, std::string(29, 'z'), ".at the chunk border", "..two"};
    write();
    EXPECT_FALSE(bodyQP);
    const std::size_t body = sink.wire.find("\r\n\r\n") + 4;
    EXPECT_EQ(sink.wire.substr(body, 19), "..\r\n..hidden\r\na.b\r\n");
    EXPECT_NE(sink.wire.find("\r\n..at the chunk border\r\n...two\r\n"), std::string::npos);
    EXPECT_EQ(sink.wire.find("\r\n.at"), std::string::npos);
    pythonCheck(R"({"text": {"body": ".\r\n.hidden\r\na.b\r\n)" + z998 + "\\r\\n" + z998 + "\\r\\n" + std::string(29, 'z') +
                R"(\r\n.at the chunk border\r\n..two\r\n\r\n"}})");

    // Header lines too.
    sink = CaptureSink();
    m.MailText = {"x"};
    m.Headers = {".X-Dot: y"};
    write();
    EXPECT_NE(sink.wire.find("\r\n..X-Dot: y  \r\n"), std::string::npos);
    pythonCheck(R"({"headers": {".X-Dot": ["y"]}})");
    m.Headers.clear();

    // Quoted-printable lines after a soft break, plain-text and uuencoded attachment lines.
    sink = CaptureSink();
    m.MailText = {std::string(70, '\t') + "." + std::string(100, '.')};
    const std::string text = file("dots.txt", ".profile\n..\nx\n");
    const std::string uu = file("u.bin", std::string(14, 'q'));
    m.AddAttachment(attachment(text));
    m.AddAttachment(attachment(uu, kEncodingUuencode));
    write();
    EXPECT_NE(sink.wire.find("\r\n..profile\r\n...\r\nx\r\n"), std::string::npos);
    EXPECT_NE(sink.wire.find("begin 666 u.bin\r\n..<7%Q<7%Q<7%Q<7%Q<7$@\r\n"), std::string::npos);
    for (std::size_t p = 0; (p = sink.wire.find("\r\n.", p)) != std::string::npos; p += 3)
        EXPECT_EQ(sink.wire[p + 3], '.') << sink.wire.substr(p, 40);
    pythonCheck(R"({"text": {"body": ")" + repeat("\\t", 70) + "." + std::string(100, '.') + R"(\r\n"},
                    "attachments": [{"cte": null, "bytes": ".profile\r\n..\r\nx\r\n"},
                                    {"uuencode": {"name": "u.bin"}, "bytes": ")" + std::string(14, 'q') + R"("}]})");
}

TEST_F(Writer, FedDataBeforeTheBody)
{
    std::vector<std::string> pieces = {"first\r\n", "second\r\n"};
    int calls = 0;
    feed = [&](std::string& data) {
        EXPECT_TRUE(data.empty());
        if (calls < static_cast<int>(pieces.size()))
            data = pieces[static_cast<std::size_t>(calls)];
        ++calls;
    };
    write();
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(infosOf(Info_BodyProgress), (std::vector<std::string>{"7", "15"}));
    EXPECT_EQ(sink.wire, lines({"From: Ann Example <ann@example.org>", "To: Bob <bob@example.net>", "Mime-Version: 1.0",
                                kPlainHead, "", "first", "second"}));
    EXPECT_EQ(sink.calls.substr(sink.calls.size() - 2), "TT");

    // With a body: fed data first, then the body, whose progress counts on its own.
    infos.clear();
    calls = 0;
    sink = CaptureSink();
    m.MailText = {"body"};
    write();
    EXPECT_EQ(infosOf(Info_BodyProgress), (std::vector<std::string>{"7", "15", "6"}));
    EXPECT_NE(sink.wire.find("\r\n\r\nfirst\r\nsecond\r\nbody\r\n\r\n"), std::string::npos);
    pythonCheck(R"({"text": {"body": "first\r\nsecond\r\nbody\r\n\r\n"}})");
}

// ---------------------------------------------------------------- attachments

TEST_F(Writer, AutomaticChoiceOfTheForm)
{
    const std::string text = file("notes.txt", "line one\r\nline two\n");
    const std::string binary = file("one200.dat", "abc\xC8" "def\n");
    m.AddAttachment(attachment(text));
    m.AddAttachment(attachment(binary));
    write();
    EXPECT_EQ(m.AttachmentSlots[0]->Encoding, kEncodingPlainText);
    EXPECT_EQ(m.AttachmentSlots[1]->Encoding, kEncodingBase64);
    EXPECT_EQ(m.AttachmentSlots[0]->MimeType, "application/octet-stream");
    EXPECT_EQ(m.AttachmentSlots[0]->Disposition, "attachment");
    const std::string tail = sink.wire.substr(sink.wire.find(kDelimiter));
    EXPECT_EQ(tail, lines({kDelimiter, "Content-Type: application/octet-stream; name=\"notes.txt\"",
                           "Content-Disposition: attachment; filename=\"notes.txt\"", "", "line one", "line two", "",
                           kDelimiter, "Content-Type: application/octet-stream; name=\"one200.dat\"",
                           "Content-Transfer-Encoding: base64", "Content-Disposition: attachment; filename=\"one200.dat\"",
                           "", "YWJjyGRlZgo=", kDelimiter + "--", ""}));
    EXPECT_EQ(infosOf(Info_Attachment), (std::vector<std::string>{text, binary}));
    // No text part without body lines.
    pythonCheck(R"({"text": null, "attachments": [
        {"content_type": "application/octet-stream", "cte": null, "params": {"name": "notes.txt"},
         "file": ")" + text + R"(", "crlf_lines": true},
        {"cte": "base64", "file": ")" + binary + R"("}]})");
}

TEST_F(Writer, Base64LinesAndProgress)
{
    const std::string data = randomBytes(5000, 1);
    const std::string f57 = file("f57", data.substr(0, 57));
    const std::string f58 = file("f58", data.substr(0, 58));
    const std::string empty = file("empty", "");
    const std::string big = file("big", data);
    for (const std::string& p : {f57, f58, empty, big})
        m.AddAttachment(attachment(p, kEncodingBase64));
    write();
    const std::string& w = sink.wire;
    const std::string b57 = base64Encode(data.substr(0, 57));
    EXPECT_NE(w.find("filename=\"f57\"\r\n\r\n" + b57 + "\r\n" + kDelimiter), std::string::npos);
    EXPECT_NE(w.find("filename=\"f58\"\r\n\r\n" + b57 + "\r\n" + base64Encode(data.substr(57, 1)) + "\r\n" + kDelimiter),
              std::string::npos);
    EXPECT_EQ(base64Encode(data.substr(57, 1)).substr(2), "==");
    EXPECT_NE(w.find("filename=\"empty\"\r\n\r\n" + kDelimiter), std::string::npos);
    std::string bigLines;
    for (std::size_t i = 0; i < data.size(); i += 57)
        bigLines += base64Encode(data.substr(i, 57)) + "\r\n";
    EXPECT_NE(w.find("filename=\"big\"\r\n\r\n" + bigLines + kDelimiter + "--\r\n"), std::string::npos);

    EXPECT_EQ(infosOf(Info_AttachmentSize), (std::vector<std::string>{"57", "58", "0", "5000"}));
    std::vector<std::string> progress = {"57", "57"};
    for (int l = 1; l <= 5000 / 57; ++l)
        progress.push_back(std::to_string(57 * l));
    EXPECT_EQ(infosOf(Info_AttachmentProgress), progress);
    pythonCheck(R"({"attachments": [{"cte": "base64", "file": ")" + f57 + R"("}, {"file": ")" + f58 +
                R"("}, {"file": ")" + empty + R"("}, {"file": ")" + big + R"("}]})");
}

TEST_F(Writer, QuotedPrintableAttachment)
{
    const std::string data = "a=b\r\n\xE9" + std::string(80, 'c');
    const std::string path = file("q.txt", data);
    TOutgoingAttachment a = attachment(path, kEncodingQuotedPrintable, "text/plain");
    a.Description = "Quarterly figures";
    a.Disposition = "inline";
    m.AddAttachment(a);
    m.MailText = {"see attached"};
    write();
    const std::string tail = sink.wire.substr(sink.wire.find(kDelimiter + "\r\nContent-Type: text/plain; name"));
    EXPECT_EQ(tail, lines({kDelimiter, "Content-Type: text/plain; name=\"q.txt\"",
                           "Content-Transfer-Encoding: Quoted-Printable", "Content-Disposition: inline; filename=\"q.txt\"",
                           "Content-Description: Quarterly figures", "",
                           "a=3Db=0D=0A=E9" + std::string(57, 'c') + "=", std::string(23, 'c'), kDelimiter + "--", ""}));
    pythonCheck(R"({"text": {"body": "see attached\r\n"},
                    "attachments": [{"content_type": "text/plain", "cte": "quoted-printable", "disposition": "inline",
                                     "description": "Quarterly figures", "file": ")" + path + R"("}]})");
}

TEST_F(Writer, UuencodedAttachment)
{
    const std::string data = randomBytes(1800 + 45 + 7, 9);
    const std::string path = file("photo.jpg", data);
    m.AddAttachment(attachment(path, kEncodingUuencode, "image/jpeg"));
    write();
    std::string body;
    uuencodeBlock(reinterpret_cast<const unsigned char*>(data.data()), 1800, body);
    uuencodeBlock(reinterpret_cast<const unsigned char*>(data.data()) + 1800, 52, body);
    const std::string tail = sink.wire.substr(sink.wire.find(kDelimiter));
    EXPECT_EQ(tail, lines({kDelimiter, "Content-Type: application/octet-stream; name=\"photo.uue\"",
                           "Content-Disposition: attachment; filename=\"photo.uue\"", "", std::string(61, '='),
                           "begin 666 photo.jpg"}) +
                        body + lines({"", "end", kDelimiter + "--", ""}));
    EXPECT_EQ(body.substr(40 * 63, 1), "M");
    EXPECT_EQ(body.substr(41 * 63, 1), "'");
    pythonCheck(R"({"attachments": [{"content_type": "application/octet-stream", "cte": null,
                                     "params": {"name": "photo.uue"}, "disp_params": {"filename": "photo.uue"},
                                     "uuencode": {"mode": "666", "name": "photo.jpg"}, "file": ")" + path + R"("}]})");
}

TEST_F(Writer, EmptySlotAndCustomDescriptors)
{
    const std::string bare = file("bare.bin", "xyz");
    m.Attachments = {bare};
    const std::string named = file("n.dat", "hello\n");
    TOutgoingAttachment a = attachment(named, kEncodingPlainText, "text/plain");
    a.Name = "greeting.txt";
    m.AddAttachment(a);
    write();
    EXPECT_NE(sink.wire.find(lines({kDelimiter, "Content-Type: application/octet-stream; name=\"bare.bin\"",
                                    "Content-Transfer-Encoding: base64",
                                    "Content-Disposition: attachment; filename=\"bare.bin\"", "", "eHl6"})),
              std::string::npos);
    EXPECT_NE(sink.wire.find(lines({kDelimiter, "Content-Type: text/plain; name=\"greeting.txt\"",
                                    "Content-Disposition: attachment; filename=\"n.dat\"", "", "hello", ""})),
              std::string::npos);
    pythonCheck(R"({"attachments": [{"params": {"name": "bare.bin"}, "bytes": "xyz"},
                                    {"params": {"name": "greeting.txt"}, "disp_params": {"filename": "n.dat"},
                                     "bytes": "hello\r\n"}]})");
}

TEST(AttachmentTable, TwoHundredFiftySixSlots)
{
    OutgoingMessage m;
    TOutgoingAttachment a;
    a.Name = std::string(300, 'n');
    a.MimeType = std::string(100, 'm');
    a.Disposition = std::string(40, 'd');
    a.Description = std::string(300, 'x');
    for (int i = 0; i < 256; ++i) {
        a.Path = "/tmp/file" + std::to_string(i);
        ASSERT_TRUE(m.AddAttachment(a));
    }
    a.Path = "/tmp/file256";
    EXPECT_FALSE(m.AddAttachment(a));
    EXPECT_EQ(m.Attachments.size(), 256u);
    EXPECT_EQ(m.Attachments[255], "/tmp/file255");
    EXPECT_EQ(m.AttachmentSlots[255]->Path, "/tmp/file255");
    EXPECT_EQ(m.AttachmentSlots[0]->Name.size(), 255u);
    EXPECT_EQ(m.AttachmentSlots[0]->MimeType.size(), 80u);
    EXPECT_EQ(m.AttachmentSlots[0]->Disposition.size(), 30u);
    EXPECT_EQ(m.AttachmentSlots[0]->Description.size(), 255u);
    m.ClearAttachments();
    EXPECT_TRUE(m.Attachments.empty());
    for (const auto& slot : m.AttachmentSlots)
        EXPECT_FALSE(slot.has_value());
    // A path that does not fit its field is refused, never cut.
    a.Path = "/" + std::string(255, 'p');
    EXPECT_FALSE(m.AddAttachment(a));
    a.Path = std::string(255, 'p');
    EXPECT_TRUE(m.AddAttachment(a));
}

TEST(AttachmentTable, FieldsAreCutBetweenCharacters)
{
    OutgoingMessage m;
    TOutgoingAttachment a;
    a.Path = "/tmp/file";
    a.Name = repeat("\xC3\xA9", 200);                        // 400 bytes into 255
    a.Description = "x" + repeat("\xF0\x9F\x98\x80", 100); // 401 bytes into 255
    ASSERT_TRUE(m.AddAttachment(a));
    EXPECT_EQ(m.AttachmentSlots[0]->Name, repeat("\xC3\xA9", 127));
    EXPECT_EQ(m.AttachmentSlots[0]->Description, "x" + repeat("\xF0\x9F\x98\x80", 63));
    EXPECT_EQ(SplitRecipient("a@b|" + repeat("\xE4\xB8\x96", 400)).second, repeat("\xE4\xB8\x96", 333));
    EXPECT_EQ(SplitRecipient("a@b|n" + repeat("\xE4\xB8\x96", 400)).second, "n" + repeat("\xE4\xB8\x96", 332));
}

TEST(Recipients, SplitAndSafety)
{
    EXPECT_EQ(SplitRecipient("a@b|Ann|x"), (std::pair<std::string, std::string>{"a@b", "Ann|x"}));
    EXPECT_EQ(SplitRecipient("a@b"), (std::pair<std::string, std::string>{"a@b", ""}));
    EXPECT_EQ(SplitRecipient("a@b|" + std::string(1200, 'n')).second.size(), 999u);
    EXPECT_TRUE(isSafeRecipient("bob@example.net|Bob\r\nBcc: x"));
    EXPECT_TRUE(isSafeAddress(std::string(241, 'a')));
    EXPECT_FALSE(isSafeAddress(std::string(242, 'a')));
    EXPECT_FALSE(isSafeRecipient("bob@example.net\r\nRCPT TO:<x@y>|Bob"));
    EXPECT_FALSE(isSafeAddress("bob@example.net\n"));
    EXPECT_FALSE(isSafeAddress(std::string("a\0b", 3)));
    EXPECT_FALSE(isSafeAddress("a>b"));
    EXPECT_FALSE(isSafeAddress("a<b"));
    EXPECT_TRUE(isSafeAddress(""));
}

// ---------------------------------------------------------------- stopping and failing

TEST_F(Writer, StopsWhenTheSendIsFinished)
{
    std::string body;
    for (int i = 0; i < 1000; ++i) {
        char line[16];
        std::snprintf(line, sizeof line, "line%03d", i);
        m.MailText.push_back(line);
        body += std::string(line) + "\r\n";
    }
    sink.finishWhenSent = "line100\r\n";
    EXPECT_EQ(write().outcome, WriteResult::Stopped);
    EXPECT_EQ(infosOf(Info_BodyProgress), std::vector<std::string>{"2048"});
    EXPECT_TRUE(sink.wire.ends_with(body.substr(0, 2048)));

    sink = CaptureSink();
    infos.clear();
    m.MailText = {"hi"};
    m.AddAttachment(attachment(file("big", randomBytes(100000, 4)), kEncodingBase64));
    m.AddAttachment(attachment(file("second", "x"), kEncodingBase64));
    sink.finishWhenSent = "Content-Transfer-Encoding: base64\r\n";
    EXPECT_EQ(write().outcome, WriteResult::Stopped);
    EXPECT_TRUE(sink.wire.ends_with("Content-Transfer-Encoding: base64\r\n"));
    EXPECT_EQ(infosOf(Info_Attachment).size(), 1u);
    EXPECT_TRUE(infosOf(Info_AttachmentProgress).empty());
}

TEST_F(Writer, UnreadableAttachmentFailsBeforeTheEnd)
{
    const std::string good = file("good.txt", "fine\n");
    const std::string missing = dir.path() + "missing.bin";
    m.MailText = {"hi"};
    m.AddAttachment(attachment(good));
    m.AddAttachment(attachment(missing, kEncodingBase64));
    m.AddAttachment(attachment(good));
    WriteResult r = write();
    EXPECT_EQ(r.outcome, WriteResult::Failed);
    EXPECT_NE(r.failure.find(missing), std::string::npos) << r.failure;
    EXPECT_EQ(infosOf(Info_Attachment), (std::vector<std::string>{good, missing}));
    EXPECT_TRUE(sink.wire.ends_with(lines({"fine", ""})));
    EXPECT_EQ(sink.wire.find(kDelimiter + "--"), std::string::npos);

    // Automatic choice reads the file first: a missing one fails before its part begins.
    sink = CaptureSink();
    infos.clear();
    m.ClearAttachments();
    m.AddAttachment(attachment(missing));
    r = write();
    EXPECT_EQ(r.outcome, WriteResult::Failed);
    EXPECT_TRUE(infosOf(Info_Attachment).empty());
    // A directory is no file to send.
    sink = CaptureSink();
    m.ClearAttachments();
    m.AddAttachment(attachment(dir.path(), kEncodingBase64));
    EXPECT_EQ(write().outcome, WriteResult::Failed);
}

TEST_F(Writer, FileRemovedOrChangedDuringTheSendFails)
{
    const std::string path = file("t.txt", "short\n");
    m.AddAttachment(attachment(path));
    onInfo = [&](SendMailInfo code, const std::string&) {
        if (code == Info_Attachment)
            std::filesystem::remove(path);
    };
    WriteResult r = write();
    EXPECT_EQ(r.outcome, WriteResult::Failed);
    EXPECT_NE(r.failure.find(path), std::string::npos);

    // Chosen as plain text, then grown a line too long for it: an error, not a cut line.
    sink = CaptureSink();
    file("t.txt", "short\n");
    m.AttachmentSlots[0]->Encoding = kEncodingAutomatic;
    onInfo = [&](SendMailInfo code, const std::string&) {
        if (code == Info_Attachment)
            test::writeBytes(path, std::string(300, 'x') + "\n");
    };
    r = write();
    EXPECT_EQ(r.outcome, WriteResult::Failed);
    EXPECT_NE(r.failure.find("changed while it was being sent"), std::string::npos) << r.failure;
    EXPECT_EQ(sink.wire.find(std::string(254, 'x')), std::string::npos);
}

// ---------------------------------------------------------------- sound behaviour

TEST_F(Writer, NoLineBreakFromAValueReachesTheWire)
{
    m.FROM_Name = "Ann\r\nBcc: evil@example.com";
    m.FROM_Address = "ann@example.org\r\nX-Evil: 1";
    m.ListTo = {"bob@example.net|Bob\nBcc: evil@example.com", "carol@example.net\r\nBcc: evil@example.com|"};
    m.Listcc = {"dave@example.net|Dave\rX-Evil: 2"};
    m.Subject = "Hi\r\nBcc: evil@example.com";
    m.Headers = {"X-Note: a\r\nBcc: evil@example.com", "", "X-Last: z"};
    TOutgoingAttachment a = attachment(file("x.bin", "x"), kEncodingUuencode);
    a.Name = "x\r\n\r\nBcc: evil.bin";
    a.Description = "d\r\nBcc: evil@example.com";
    m.AddAttachment(a);
    write();
    EXPECT_EQ(sink.wire.find("\r\nBcc"), std::string::npos);
    EXPECT_EQ(sink.wire.find("\r\nX-Evil"), std::string::npos);
    EXPECT_NE(sink.wire.find("\r\nSubject: Hi Bcc: evil@example.com  \r\n"), std::string::npos);
    EXPECT_NE(sink.wire.find("\r\nX-Note: a Bcc: evil@example.com  \r\nX-Last: z  \r\n\r\n"), std::string::npos);
    EXPECT_NE(sink.wire.find("\r\nbegin 666 x  Bcc: evil.bin\r\n"), std::string::npos);
    // The session refuses such addresses; here they only must not break the header block.
    pythonCheck(R"({"allow_defects": ["From", "To"],
                    "headers": {"Bcc": [], "X-Evil": [], "Subject": ["Hi Bcc: evil@example.com"],
                                "X-Last": ["z"]},
                    "addresses": {"Cc": [["Dave X-Evil: 2", "dave@example.net"]]},
                    "attachments": [{"description": "d Bcc: evil@example.com",
                                     "uuencode": {"name": "x  Bcc: evil.bin"}, "bytes": "x"}]})");
}

TEST_F(Writer, BareLineBreaksInTheBodyGoQuotedPrintable)
{
    m.MailText = {"one\rtwo", "three\nfour"};
    write();
    EXPECT_TRUE(bodyQP);
    EXPECT_NE(sink.wire.find("\r\n\r\none=0Dtwo=0D=0Athree=0Afour=0D=0A\r\n"), std::string::npos);
    pythonCheck(R"({"text": {"cte": "quoted-printable", "body": "one\rtwo\r\nthree\nfour\r\n\r\n"}})");
    // A CR LF inside a line is a pair, not a bare line break.
    sink = CaptureSink();
    m.MailText = {"one\r\ntwo"};
    write();
    EXPECT_FALSE(bodyQP);
    // Lines beyond SMTP's 998 characters would be broken by servers.
    sink = CaptureSink();
    m.MailText = {std::string(998, 'a'), "." + std::string(996, 'b')};
    write();
    EXPECT_FALSE(bodyQP);
    pythonCheck(R"({"text": {"body": ")" + std::string(998, 'a') + R"(\r\n.)" + std::string(996, 'b') + R"(\r\n\r\n"}})");
    sink = CaptureSink();
    m.MailText = {"." + std::string(997, 'b')};
    write();
    EXPECT_TRUE(bodyQP);
    pythonCheck(R"({"text": {"body": ".)" + std::string(997, 'b') + R"(\r\n\r\n"}})");
    sink = CaptureSink();
    m.MailText = {std::string(999, 'a')};
    write();
    EXPECT_TRUE(bodyQP);
}

TEST_F(Writer, NulInTheBodyDoesNotCutIt)
{
    m.MailText = {std::string("before\0after", 12), "next"};
    write();
    EXPECT_TRUE(bodyQP);
    EXPECT_EQ(infosOf(Info_BodySize), std::vector<std::string>{"20"});
    EXPECT_NE(sink.wire.find("before=00after=0D=0Anext=0D=0A"), std::string::npos);
    pythonCheck(R"({"text": {"body": "before\u0000after\r\nnext\r\n\r\n"}})");
}

TEST_F(Writer, PlainTextAttachmentOnlyWhenItArrivesUnchanged)
{
    struct Case {
        std::string name, bytes;
        std::uint8_t form;
    };
    const std::vector<Case> cases = {
        {"lf.txt", "a\nb\n", kEncodingPlainText},
        {"crlf.txt", "a\r\nb\r\n", kEncodingPlainText},
        {"mixed.txt", "a\r\nb\n\n", kEncodingPlainText},
        {"empty.txt", "", kEncodingPlainText},
        {"253.txt", std::string(253, 'x') + "\r\n", kEncodingPlainText},
        {"dot253.txt", "." + std::string(252, 'x') + "\n", kEncodingPlainText},
        {"254.txt", std::string(254, 'x') + "\n", kEncodingBase64},
        {"barecr.txt", "a\rb\n", kEncodingBase64},
        {"endcr.txt", "a\nb\r", kEncodingBase64},
        {"nul.txt", std::string("a\0b\n", 4), kEncodingBase64},
        {"nofinal.txt", "a\nb", kEncodingBase64},
        {"boundary.txt", "x\n" + kDelimiter + "\ny\n", kEncodingBase64},
        {"boundaryend.txt", "x\n" + kDelimiter + "--\n", kEncodingBase64},
        {"highbyte.txt", "caf\xE9\n", kEncodingBase64},
        {"del.txt", "x\x7F\n", kEncodingBase64},
    };
    std::string json = R"({"attachments": [)";
    for (const Case& c : cases) {
        const std::string path = file(c.name, c.bytes);
        m.AddAttachment(attachment(path));
        json += std::string(json.back() == '[' ? "" : ",") + R"({"file": ")" + path + R"(", "crlf_lines": )" +
                (c.form == kEncodingPlainText ? "true" : "false") + R"(, "cte": )" +
                (c.form == kEncodingPlainText ? "null" : "\"base64\"") + "}";
    }
    // The owner's plain-text choice falls back the same way.
    const std::string forced = file("forced.txt", std::string(300, 'y') + "\n");
    m.AddAttachment(attachment(forced, kEncodingPlainText));
    json += R"(, {"file": ")" + forced + R"(", "cte": "base64"}]})";
    EXPECT_EQ(write().outcome, WriteResult::Written);
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(m.AttachmentSlots[i]->Encoding, cases[i].form) << cases[i].name;
    EXPECT_EQ(m.AttachmentSlots[cases.size()]->Encoding, kEncodingBase64);
    EXPECT_NE(sink.wire.find("filename=\"253.txt\"\r\n\r\n" + std::string(253, 'x') + "\r\n\r\n"), std::string::npos);
    EXPECT_NE(sink.wire.find("filename=\"dot253.txt\"\r\n\r\n.." + std::string(252, 'x') + "\r\n\r\n"), std::string::npos);
    EXPECT_NE(sink.wire.find("filename=\"mixed.txt\"\r\n\r\na\r\nb\r\n\r\n\r\n" + kDelimiter), std::string::npos);
    pythonCheck(json);
}

TEST_F(Writer, LongHeaderLinesArriveWhole)
{
    std::string subject;
    for (int i = 0; i < 60; ++i)
        subject += "word" + std::to_string(i) + " ";
    subject += "end";
    const std::string latin = repeat("\xE9t\xE9 ", 40);
    const std::string longName = repeat("Very Long Name ", 20) + "Jr";
    m.Subject = subject;
    const std::string fromName = repeat("M\xFCller ", 40) + "Sr";
    const std::string ccName = repeat("Smith, Carol ", 25) + "Jr";
    const std::string fileName = repeat("n\xE4me ", 50) + "x.bin";
    const std::string description = repeat("described ", 30) + "end";
    m.FROM_Name = fromName;
    m.ListTo = {"bob@example.net|" + longName};
    m.Listcc = {"carol@example.net|" + ccName};
    const std::string mixed = "a " + std::string(300, 'x') + " b";
    m.Headers = {"X-Long: " + latin, "X-Word: " + std::string(400, 'w'), "X-Mixed: " + mixed};
    TOutgoingAttachment a = attachment(file("f.bin", "data"), kEncodingBase64);
    a.Name = fileName;
    a.Description = description;
    m.AddAttachment(a);
    EXPECT_EQ(m.AttachmentSlots[0]->Name, fileName); // 255 bytes: the whole field
    write();
    // Every line fits SendLine (the sink asserts it) and Python reads every value back whole.
    pythonCheck(R"({"headers": {"Subject": [)" + js(subject) + R"(], "X-Long": [)" + js(latin) + R"(],
                                "X-Word": [")" + std::string(400, 'w') + R"("], "X-Mixed": [")" + mixed + R"("]},
                    "addresses": {"From": [[)" + js(fromName) + R"(, "ann@example.org"]],
                                  "To": [[)" + js(longName) + R"(, "bob@example.net"]],
                                  "Cc": [[)" + js(ccName) + R"(, "carol@example.net"]]},
                    "attachments": [{"params": {"name": )" + js(fileName) + R"(},
                                     "description": )" + js(description.substr(0, kAttachmentDescriptionRoom)) + R"(, "bytes": "data"}]})");
    EXPECT_EQ(sink.calls.find('T'), std::string::npos); // nothing too long for SendLine
    EXPECT_NE(sink.wire.find("\r\nSubject: word0 word1 word2 word3 word4 word5 word6 word7 word8 word9 word10"
                             "\r\n word11 "),
              std::string::npos);
}

// Lines of a copy queued by the 8-bit program are read as Windows-1252: the wire says UTF-8 and
// is UTF-8, whatever the copy holds. Cipher text is bytes, not text: it goes as it is, labelled
// with a charset in which every byte is a character.
TEST_F(Writer, OldLatin1CopiesGoOutAsUtf8AndCipherTextAsItsBytes)
{
    m.Subject = "\xE9t\xE9 \x80";
    m.ListTo = {"bob@example.net|Bj\xF6rn"};
    m.MailText = {"\xE9t\xE9 \x80", "d\xC3\xA9j\xC3\xA0"}; // an old line beside a UTF-8 one
    m.AddAttachment(attachment(file("a.txt", "x\n")));
    write();
    EXPECT_NE(sink.wire.find(lines({"To: =?UTF-8?B?QmrDtnJu?= <bob@example.net>", "Subject: =?UTF-8?B?w6l0w6kg4oKs?=  "})),
              std::string::npos);
    EXPECT_NE(sink.wire.find(lines({kDelimiter, "Content-Type: text/plain; charset=\"UTF-8\"",
                                    "Content-Transfer-Encoding: quoted-printable", "",
                                    "=C3=A9t=C3=A9=20=E2=82=AC=0D=0Ad=C3=A9j=C3=A0=0D=0A", kDelimiter})),
              std::string::npos);
    pythonCheck(R"({"headers": {"Subject": ["\u00e9t\u00e9 \u20ac"]}, "addresses": {"To": [["Bj\u00f6rn", "bob@example.net"]]},
                    "text": {"params": {"charset": "UTF-8"}, "content": "\u00e9t\u00e9 \u20ac\r\nd\u00e9j\u00e0\r\n"}})");

    sink = CaptureSink();
    m.ClearAttachments();
    m.Headers = {"X-Encoder: RC4 internal"};
    m.MailText = {"\xE9t\xE9", "\xC3\xA9"};
    write();
    EXPECT_NE(sink.wire.find(lines({"Content-Type: text/plain; charset=\"ISO-8859-1\"",
                                    "Content-Transfer-Encoding: quoted-printable", "X-Encoder: RC4 internal  ", "",
                                    "=E9t=E9=0D=0A=C3=A9=0D=0A"})),
              std::string::npos);
}

// Greek, Cyrillic, CJK and emoji in every text of a message: UTF-8 on the wire, B or Q words in
// the header, and Python reads back exactly what was typed.
TEST_F(Writer, TextBeyondLatin1ArrivesAsTyped)
{
    const std::string subject = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\xCE\xA9\xF0\x9F\x98\x80 \xE2\x80\x94 "
                                "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88";
    m.FROM_Name = "\xCE\x95\xCE\xBB\xCE\xAD\xCE\xBD\xCE\xB7";
    m.ListTo = {"bob@example.net|\xD0\x91\xD0\xBE\xD1\x80\xD0\xB8\xD1\x81 \xD0\x9F\xD0\xB5\xD1\x82\xD1\x80\xD0\xBE\xD0\xB2",
                "li@example.cn|\xE6\x9D\x8E\xE5\xB0\x8F\xE9\xBE\x8D"};
    m.Listcc = {"emoji@example.net|Smiley \xF0\x9F\x98\x80"};
    m.Subject = subject;
    m.MailText = {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\xCE\xA9\xF0\x9F\x98\x80",
                  "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xE4\xB8\x96\xE7\x95\x8C"};
    TOutgoingAttachment a = attachment(file("\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82 2024.txt",
                                            "\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5\n"),
                                       kEncodingAutomatic, "text/plain");
    a.Description = "\xC3\x9C" "bersicht \xF0\x9F\x98\x80";
    m.AddAttachment(a);
    ASSERT_EQ(write().outcome, WriteResult::Written);
    EXPECT_EQ(sink.wire.substr(0, sink.wire.find("Mime-Version")),
              lines({"From: =?UTF-8?B?zpXOu86tzr3Otw==?= <ann@example.org>",
                     "To: =?UTF-8?B?0JHQvtGA0LjRgSDQn9C10YLRgNC+0LI=?= <bob@example.net>",
                     "To: =?UTF-8?B?5p2O5bCP6b6N?= <li@example.cn>", "cc: =?UTF-8?B?U21pbGV5IPCfmIA=?= <emoji@example.net>",
                     "Subject: =?UTF-8?B?R3LDvMOfZSDigqzOqfCfmIAg4oCUIOaXpeacrOiqnuOBruODhg==?=",
                     " =?UTF-8?B?44K544OI?=  "}));
    EXPECT_NE(sink.wire.find(lines({kDelimiter, "Content-Type: text/plain; charset=\"UTF-8\"",
                                    "Content-Transfer-Encoding: quoted-printable", "",
                                    "Gr=C3=BC=C3=9Fe=20=E2=82=AC=CE=A9=F0=9F=98=80=0D=0A=D0=9F=D1=80=D0=B8=D0=",
                                    "=B2=D0=B5=D1=82,=20=E4=B8=96=E7=95=8C=0D=0A", kDelimiter,
                                    "Content-Type: text/plain; name=\"=?UTF-8?Q?=D0=BE=D1=82=D1=87=D1=91=D1=82_2024.txt?=\"",
                                    "Content-Transfer-Encoding: base64",
                                    "Content-Disposition: attachment; filename*=UTF-8''%D0%BE%D1%82%D1%87%D1%91%D1%82%202024.txt",
                                    "Content-Description: =?UTF-8?B?w5xiZXJzaWNodCDwn5iA?=", ""})),
              std::string::npos)
        << sink.wire;
    pythonCheck(R"({"headers": {"Subject": ["Gr\u00fc\u00dfe \u20ac\u03a9\ud83d\ude00 \u2014 \u65e5\u672c\u8a9e\u306e\u30c6\u30b9\u30c8"]},
                    "addresses": {"From": [["\u0395\u03bb\u03ad\u03bd\u03b7", "ann@example.org"]],
                                  "To": [["\u0411\u043e\u0440\u0438\u0441 \u041f\u0435\u0442\u0440\u043e\u0432", "bob@example.net"],
                                         ["\u674e\u5c0f\u9f8d", "li@example.cn"]],
                                  "Cc": [["Smiley \ud83d\ude00", "emoji@example.net"]]},
                    "text": {"params": {"charset": "UTF-8"},
                             "content": "Gr\u00fc\u00dfe \u20ac\u03a9\ud83d\ude00\r\n\u041f\u0440\u0438\u0432\u0435\u0442, \u4e16\u754c\r\n"},
                    "attachments": [{"params": {"name": "\u043e\u0442\u0447\u0451\u0442 2024.txt"},
                                     "disp_params": {"filename": "\u043e\u0442\u0447\u0451\u0442 2024.txt"},
                                     "description": "\u00dcbersicht \ud83d\ude00", "file": ")" + a.Path + R"("}]})");
}

TEST_F(Writer, BoundaryInsideTheBodyForcesQuotedPrintable)
{
    m.MailText = {"before", kDelimiter + "--", "after"};
    m.AddAttachment(attachment(file("a.txt", "x\n")));
    write();
    EXPECT_TRUE(bodyQP);
    pythonCheck(R"({"text": {"cte": "quoted-printable", "body": "before\r\n)" + kDelimiter + R"(--\r\nafter\r\n"},
                    "attachments": [{"bytes": "x\r\n"}]})");
    // Without a multipart structure the line is harmless and the body stays as it is.
    sink = CaptureSink();
    m.ClearAttachments();
    write();
    EXPECT_FALSE(bodyQP);
}

TEST_F(Writer, DisplayNamesAndFileNamesWithSpecials)
{
    m.FROM_Name = "Smith, John";
    m.ListTo = {"bob@example.net|M\xC3\xBCller, Hans", "carol@example.net|Carol \"CJ\" Jones"};
    m.Listcc = {"dave@example.net|Dave (work)"};
    TOutgoingAttachment a = attachment(file("r\xE9sum\xE9 \"final\".txt", "cv\n"));
    a.Name = "a\\b\".txt";
    m.AddAttachment(a);
    write();
    EXPECT_NE(sink.wire.find(lines({"From: \"Smith, John\" <ann@example.org>",
                                    "To: =?UTF-8?Q?M=C3=BCller=2C_Hans?= <bob@example.net>",
                                    "To: \"Carol \\\"CJ\\\" Jones\" <carol@example.net>",
                                    "cc: \"Dave (work)\" <dave@example.net>"})),
              std::string::npos);
    EXPECT_NE(sink.wire.find(lines({"Content-Type: application/octet-stream; name=\"=?UTF-8?Q?a=5Cb=22.txt?=\"",
                                    "Content-Disposition: attachment; filename*=UTF-8''r%C3%A9sum%C3%A9%20%22final%22.txt"})),
              std::string::npos);
    pythonCheck(R"J({"addresses": {"From": [["Smith, John", "ann@example.org"]],
                                  "To": [["Müller, Hans", "bob@example.net"], ["Carol \"CJ\" Jones", "carol@example.net"]],
                                  "Cc": [["Dave (work)", "dave@example.net"]]},
                    "attachments": [{"params": {"name": "a\\b\".txt"},
                                     "disp_params": {"filename": "résumé \"final\".txt"}, "bytes": "cv\r\n"}]})J");
}

TEST_F(Writer, FedDataIsCarriedSafely)
{
    // Raw text: lone line breaks become CR LF, also across strings, and the text ends its line.
    std::vector<std::string> pieces = {"a\nb\r", "\nc\rd"};
    std::size_t next = 0;
    feed = [&](std::string& data) {
        if (next < pieces.size())
            data = pieces[next++];
    };
    write();
    EXPECT_TRUE(sink.wire.ends_with("\r\n\r\na\r\nb\r\nc\r\nd\r\n"));
    pythonCheck(R"({"text": {"body": "a\r\nb\r\nc\r\nd\r\n"}})");

    // Quoted-printable text: fed data is encoded too, the column carried on into the body.
    sink = CaptureSink();
    next = 0;
    pieces = {"x=1 " + std::string(80, 'f')};
    m.MailText = {"caf\xC3\xA9"};
    write();
    EXPECT_NE(sink.wire.find("x=3D1=20" + std::string(63, 'f') + "=\r\n" + std::string(17, 'f') + "caf=C3=A9=0D=0A\r\n"),
              std::string::npos);
    pythonCheck(R"({"text": {"content": "x=1 )" + std::string(80, 'f') + R"(caf\u00e9\r\n\r\n"}})");

    // Multipart without body lines: fed data gets its text part instead of landing in the preamble.
    sink = CaptureSink();
    next = 0;
    pieces = {"fed only"};
    m.MailText.clear();
    m.AddAttachment(attachment(file("a.txt", "x\n")));
    write();
    EXPECT_NE(sink.wire.find(lines({"", kDelimiter, kPlainHead, "", "fed only", kDelimiter})), std::string::npos);
    pythonCheck(R"({"text": {"body": "fed only"}, "attachments": [{"bytes": "x\r\n"}]})");
}

TEST_F(Writer, UnknownFormGoesBase64)
{
    const std::string path = file("u.bin", "abc");
    m.AddAttachment(attachment(path, 9));
    write();
    EXPECT_NE(sink.wire.find("Content-Transfer-Encoding: base64\r\n"), std::string::npos);
    pythonCheck(R"({"attachments": [{"cte": "base64", "bytes": "abc"}]})");
}

TEST_F(Writer, LargeFilesInEveryForm)
{
    const std::string binary = randomBytes(1 << 20, 77);
    std::string text;
    std::mt19937 gen(3);
    while (text.size() < (1 << 20)) {
        std::string line(gen() % 120, 'a');
        for (char& c : line)
            c = static_cast<char>(32 + gen() % 95);
        text += line + (gen() % 2 ? "\r\n" : "\n");
    }
    const std::string b = file("b.bin", binary);
    const std::string q = file("q.bin", binary);
    const std::string t = file("t.txt", text);
    const std::string u = file("u.bin", binary);
    m.MailText = {"big ones"};
    m.AddAttachment(attachment(b, kEncodingBase64));
    m.AddAttachment(attachment(q, kEncodingQuotedPrintable));
    m.AddAttachment(attachment(t));
    m.AddAttachment(attachment(u, kEncodingUuencode));
    EXPECT_EQ(write().outcome, WriteResult::Written);
    EXPECT_EQ(m.AttachmentSlots[2]->Encoding, kEncodingPlainText);
    pythonCheck(R"({"attachments": [{"cte": "base64", "file": ")" + b + R"("},
                                    {"cte": "quoted-printable", "file": ")" + q + R"("},
                                    {"cte": null, "file": ")" + t + R"(", "crlf_lines": true},
                                    {"uuencode": {"name": "u.bin"}, "file": ")" + u + R"("}]})");
}

TEST_F(Writer, RandomMessagesArriveAsBuilt)
{
    std::mt19937 gen(20240607);
    auto pick = [&](std::string_view alphabet, std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i)
            s += alphabet[gen() % alphabet.size()];
        return s;
    };
    // No 0xA0: Python trims a no-break space next to a blank from display names as whitespace.
    const std::string words = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,;:!?-_=()[]<>@\"'/\xE9\xFC\xDF\xFF";
    for (int round = 0; round < 12; ++round) {
        sink = CaptureSink();
        m = OutgoingMessage();
        m.FROM_Name = "From " + pick(words, 1 + gen() % 40);
        m.FROM_Address = "ann@example.org";
        m.ListTo = {"bob@example.net|To " + pick(words, 1 + gen() % 300)};
        // Words separated by single blanks, line breaks thrown in, up to 1500 characters.
        std::string subject = "S";
        for (std::size_t n = gen() % 1500; subject.size() < n;)
            subject += (gen() % 9 == 0 ? "\r\n" : " ") + pick(words, 1 + gen() % 30);
        m.Subject = subject;
        const std::size_t lines = gen() % 60;
        std::string body;
        for (std::size_t i = 0; i < lines; ++i) {
            std::string line = randomBytes(gen() % 1200, static_cast<unsigned>(gen()));
            if (gen() % 2)
                line = pick(words, line.size());
            m.MailText.push_back(line);
            body += storedText(line) + "\r\n";
        }
        const std::string data = randomBytes(gen() % 20000, static_cast<unsigned>(gen()));
        const std::string path = file("r" + std::to_string(round), data);
        const std::uint8_t forms[] = {kEncodingAutomatic, kEncodingBase64, kEncodingQuotedPrintable, kEncodingUuencode};
        m.AddAttachment(attachment(path, forms[gen() % 4]));
        ASSERT_EQ(write().outcome, WriteResult::Written);
        EXPECT_EQ(sink.calls.find('T'), std::string::npos) << round;
        std::string expectSubject = withoutLineBreaks(subject);
        pythonCheck(R"({"headers": {"Subject": [)" + js(expectSubject) + R"(]},
                        "addresses": {"From": [[)" + js(withoutLineBreaks(m.FROM_Name)) + R"(, "ann@example.org"]],
                                      "To": [[)" + js(SplitRecipient(m.ListTo[0]).second) + R"(, "bob@example.net"]]},
                        "text": )" + (lines ? R"({"body": )" + js(body) + "}" : std::string("null")) + R"(,
                        "attachments": [{"file": ")" + path + R"(", "uuencode_if_none": true}]})");
        if (HasFailure())
            break;
    }
}

// A name from the file system is UTF-8: it goes out labelled so, as RFC 2231 and RFC 2047 write
// it, and two independent readers give back the same characters.
TEST_F(Writer, NonAsciiAttachmentNamesArriveIntact)
{
    const std::string resume = "r\xC3\xA9sum\xC3\xA9.txt";
    const std::string longName = repeat("\xC3\xA9t\xC3\xA9 ", 30) + "fin.txt"; // folded into sections
    m.AddAttachment(attachment(file(resume, "cv\n"), kEncodingAutomatic, "text/plain"));
    m.AddAttachment(attachment(file(longName, "x\n"), kEncodingAutomatic, "text/plain"));
    TOutgoingAttachment typed = attachment(file("plain.txt", "y\n"), kEncodingAutomatic, "text/plain");
    typed.Name = "Caf\xE9.txt"; // an old 8-bit name, read as Windows-1252
    m.AddAttachment(typed);
    ASSERT_EQ(write().outcome, WriteResult::Written);
    EXPECT_NE(sink.wire.find(lines({"Content-Type: text/plain; name=\"=?UTF-8?Q?r=C3=A9sum=C3=A9.txt?=\"",
                                    "Content-Disposition: attachment; filename*=UTF-8''r%C3%A9sum%C3%A9.txt"})),
              std::string::npos)
        << sink.wire;
    EXPECT_NE(sink.wire.find(lines({"Content-Disposition: attachment;",
                                    " filename*0*=UTF-8''%C3%A9t%C3%A9%20%C3%A9t%C3%A9%20%C3%A9t%C3%A9%20;",
                                    " filename*1*=%C3%A9t%C3%A9%20%C3%A9t%C3%A9%20%C3%A9t%C3%A9%20%C3%A9t;"})),
              std::string::npos)
        << sink.wire;
    EXPECT_NE(sink.wire.find(lines({"Content-Type: text/plain; name=\"=?UTF-8?Q?Caf=C3=A9.txt?=\"",
                                    "Content-Disposition: attachment; filename=\"plain.txt\""})),
              std::string::npos)
        << sink.wire;
    const std::string longJson = repeat("\\u00e9t\\u00e9 ", 30) + "fin.txt";
    pythonCheck(R"J({"attachments": [{"params": {"name": "résumé.txt"}, "disp_params": {"filename": "résumé.txt"}, "bytes": "cv\r\n"},
                                    {"params": {"name": ")J" + longJson + R"J("}, "disp_params": {"filename": ")J" +
                longJson + R"J("}, "bytes": "x\r\n"},
                                    {"params": {"name": "Café.txt"}, "disp_params": {"filename": "plain.txt"}, "bytes": "y\r\n"}]})J");

    const std::string message = dir.path() + "perl.eml";
    test::writeBytes(message, unstuff(sink.wire));
    const std::string cmd = "/usr/bin/perl '" + tavik::test::testDataDir() + "../smtp/check_filenames.pl' '" + message + "' 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    EXPECT_EQ(::pclose(p), 0) << out;
    EXPECT_EQ(out, resume + "\t" + resume + "\n" + longName + "\t" + longName + "\nplain.txt\tCaf\xC3\xA9.txt\n");
}
