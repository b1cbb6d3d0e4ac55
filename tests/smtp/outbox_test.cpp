// The outbox run and the send of one message, against the real SMTP server (aiosmtpd) and
// scripted servers: what goes out for a stored copy, what is moved to "Sent", where a run stops,
// and what each send shows.
#include "smtp/outbox.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <filesystem>

#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"
#include "peers/test_certificates.h"
#include "pop3/attachment_store.h"
#include "pop3/check_mail_rules.h"
#include "smtp/stored_copy.h"
#include "store/mailbox_store.h"
#include "support/test_support.h"

using namespace tavik;
using namespace tavik::test;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureCoreApplication(); }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

using Lines = std::vector<std::string>;
constexpr std::time_t kQueuedAt = 1709460000;

// Everything one send showed.
struct RecordedSend : SendMailView {
    Lines statuses, securities;
    std::vector<std::pair<std::string, std::string>> boxes;
    std::vector<std::pair<std::string, std::string>> refused; // the box of a partly refused message
    long long maximum = -1, position = -1;
    int finishes = 0;
    bool accepted = false;

    void showStatus(const std::string& text) override { statuses.push_back(text); }
    void showSecurity(const std::string& text) override { securities.push_back(text); }
    void showProgressMaximum(long long m, bool reset) override
    {
        maximum = m;
        if (reset)
            position = 0;
    }
    void showProgressPosition(long long p) override { position = p; }
    void showError(int, const std::string& title, const std::string& text) override { boxes.emplace_back(title, text); }
    void showRefusedRecipients(const std::string& title, const std::string& text) override
    {
        refused.emplace_back(title, text);
    }
    void finished(bool a) override
    {
        ++finishes;
        accepted = a;
    }
};

// The outbox's face for the tests: each message through runSendSession, recorded.
class TestOutboxView : public OutboxView {
public:
    explicit TestOutboxView(const ProfileSettings& settings) : settings_(settings) {}
    std::deque<RecordedSend> sends;
    std::vector<OutgoingMessage> messages;
    Lines fileErrors;
    Lines left; // messages left in "To Send" while the run went on
    // Runs from the event loop while message `number` is being sent.
    std::function<void(int number)> duringSend;

    SendOutcome sendMessage(const OutgoingMessage& message, int number) override
    {
        messages.push_back(message);
        sends.emplace_back();
        if (duringSend)
            QTimer::singleShot(0, [this, number] { duringSend(number); });
        return runSendSession(settings_, message, sends.back());
    }
    void showFileError(const std::string& text) override { fileErrors.push_back(text); }
    void showMessageLeft(const std::string& text) override { left.push_back(text); }

private:
    const ProfileSettings& settings_;
};

// Bytes as a JSON string whose code points 0-255 are the bytes (check_message.py's form).
std::string jsonBytes(const std::string& bytes)
{
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char u[8];
            std::snprintf(u, sizeof u, "\\u%04x", c);
            out += u;
        }
    }
    return out + "\"";
}

// How Python's email package shows a stored date line, with its zone.
std::string pythonDate(std::time_t when)
{
    std::tm t{};
    localtime_r(&when, &t);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S %z", &t);
    return buffer;
}

// Python's email package on a message as the server keeps it; empty when all was as expected.
std::string pythonCheck(const TempDir& dir, const std::string& content, const std::string& json)
{
    const std::string message = dir.path() + "message.eml";
    const std::string expectations = dir.path() + "expect.json";
    writeBytes(message, content);
    writeBytes(expectations, json);
    const std::string script = tavik::test::testDataDir() + "../smtp/check_message.py";
    QProcess python;
    python.setProcessChannelMode(QProcess::MergedChannels);
    python.start("/usr/bin/python3", QStringList{QString::fromStdString(script), QString::fromStdString(message),
                                                 QString::fromStdString(expectations)});
    if (!python.waitForFinished(60000))
        return "check_message.py did not finish";
    if (python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0)
        return {};
    const std::string output = python.readAll().toStdString();
    return output.empty() ? "check_message.py failed" : output;
}

class OutboxTest : public ::testing::Test {
protected:
    OutboxTest()
    {
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store.SetMailBoxDirectory(dir.path() + "mailboxe/");
        attachments.SetAttachmentDirectory(dir.path() + "attach/");
        settings.Name = "Sam Sender";
        settings.RetAddr = "sam@example.org";
        settings.SmtpServer = "127.0.0.1";
    }
    void useSink(const SmtpSink& sink) { settings.SmtpPort = sink.port(); }

    // Files a message in "To Send" as "Send later" does.
    void queue(const std::string& to, const std::string& subject, const Lines& body,
               const std::vector<TOutgoingAttachment>& files = {})
    {
        ComposedMessage m;
        m.ToLines = {to};
        m.Subject = subject;
        m.Body = body;
        m.Attachments = files;
        SendLater(store, attachments, settings, dir.path(), m, kQueuedAt);
    }
    void queue(const ComposedMessage& m) { SendLater(store, attachments, settings, dir.path(), m, kQueuedAt); }
    int count(int mailbox)
    {
        store.SetCurrentMailBoxNumber(mailbox);
        return store.CurrentMailBoxMessages();
    }
    // The stored text and subject of message n of a mailbox.
    Lines text(int mailbox, int n)
    {
        store.SetCurrentMailBoxNumber(mailbox);
        store.SetMsg_Number(n);
        store.LoadMessageText();
        return store.Msg_Text;
    }
    std::string subject(int mailbox, int n)
    {
        store.SetCurrentMailBoxNumber(mailbox);
        store.SetMsg_Number(n);
        return store.Msg_Subject;
    }

    TempDir dir;
    TNMailBox store;
    TAttachmentManager attachments;
    ProfileSettings settings;
};

} // namespace

TEST(SendMailErrorBoxes, EveryCodeHasItsTitleAndText)
{
    std::string title, text;
    const std::vector<std::pair<std::vector<int>, std::string>> rows = {
        {{1}, "Winsock Error"},
        {{2, 10, 11, 19}, "Network Down Error"},
        {{3, 16}, "Name Resolution Error"},
        {{4, 5, 15}, "Unexpected Error"},
        {{8}, "Connect Timeout Error"},
        {{9}, "Out of Sockets Error"},
        {{12}, "Connection Rejected Error"},
        {{13}, "Unexpected Response Error"},
        {{14}, "Transaction Canceled"},
        {{18}, "No Recipients Error"},
        {{21, 30, 31, 32, 34, 36}, "Secure Connection Error"},
        {{33, 35}, "Certificate Error"},
    };
    for (const auto& [codes, want] : rows)
        for (int code : codes) {
            ASSERT_TRUE(sendMailErrorBox(code, title, text)) << code;
            EXPECT_EQ(title, want) << code;
        }
    for (int code : {0, 6, 7, 17, 20, -1})
        EXPECT_FALSE(sendMailErrorBox(code, title, text)) << code;
    sendMailErrorBox(3, title, text);
    EXPECT_EQ(text, "VoskMail could not find your SMTP mail server. Check that you are connected to your service "
                    "provider and that your setup information is correct.");
    sendMailErrorBox(13, title, text);
    EXPECT_EQ(text, "An unexpected response was received from the mail server. Make sure that you have entered the "
                    "correct value in setup for your SMTP port.");
    sendMailErrorBox(4, title, text);
    EXPECT_EQ(text, "An unexpected error occured");
}

// The exact dialogue and text of a queued message, and every status the send shows.
TEST_F(OutboxTest, AQueuedMessageGoesOutAsItsStoredFormSays)
{
    queue("Ann Example <ann@example.net>", "Hi", {"body", ".dot"});
    const std::string ehlo = "EHLO " + heloName(SendMail().LocalHostName()) + "\r\n";
    const std::string date = rfc5322Date(kQueuedAt);
    const std::string id = text(kToSendMailbox, 1)[3];
    ScriptedServer server;
    server.send("220 scripted\r\n")
        .expect(ehlo)
        .send("250 hello\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<ann@example.net>\r\n")
        .send("250 ok\r\n")
        .expect("DATA\r\n")
        .send("354 go on\r\n")
        .expect("From: Sam Sender <sam@example.org>\r\n"
                "To: Ann Example <ann@example.net>\r\n"
                "Subject: Hi  \r\n"
                "Mime-Version: 1.0\r\n"
                "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
                "Date: " + date + "  \r\n" + id + "  \r\n"
                "X-Priority: 3  \r\n"
                "X-MSMail-Priority: Normal  \r\n"
                "X-Encoder-Verify: True  \r\n"
                "X-Mailer: Tavik mail v1.1b  \r\n"
                "\r\n"
                "body\r\n"
                "..dot\r\n"
                "\r\n"
                ".\r\n")
        .send("250 queued\r\n")
        .expect("QUIT\r\n")
        .send("221 bye\r\n")
        .close();
    settings.SmtpPort = server.port();
    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    EXPECT_TRUE(outbox.run());
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(outbox.Sent(), 1);
    EXPECT_EQ(outbox.Left(), 0);
    ASSERT_EQ(view.sends.size(), 1u);
    const RecordedSend& s = view.sends[0];
    EXPECT_EQ(s.statuses, (Lines{"Connecting to 127.0.0.1", "Connected to 127.0.0.1", "To: ann@example.net",
                                 "Sending Message", "Message sent", "Disconnected"}));
    EXPECT_TRUE(s.boxes.empty());
    EXPECT_EQ(s.maximum, 12);
    EXPECT_EQ(s.position, 12);
    EXPECT_EQ(s.finishes, 1);
    EXPECT_TRUE(s.accepted);
    EXPECT_EQ(count(kSentMailbox), 1);
    EXPECT_EQ(count(kToSendMailbox), 0);
}

// Two messages with recipients of every kind, a long 8-bit subject, a reply address and an
// attachment: envelopes and MIME as Python reads them, and both filed in "Sent" in order with
// their stored text and flag unchanged.
TEST_F(OutboxTest, TwoQueuedMessagesEndInSentInTheirOrder)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    useSink(sink);
    settings.ReplyTo = "replies@example.org";
    std::string binary;
    for (int i = 0; i < 3000; ++i)
        binary += static_cast<char>((i * 7) & 255);
    writeBytes(dir.path() + "data.bin", binary);
    ComposedMessage first;
    first.ToLines = {"Ann Example <ann@example.net>", "bob@example.net"};
    first.ccLines = {"\"Zo\xeb Exemple\" <zoe@example.net>"};
    first.BccLines = {"Hidden <hidden@example.net>"};
    first.Subject = "Caf\xe9 plans for the summer, a subject longer than forty characters";
    first.Body = {"Hello,", "", "see the file."};
    TOutgoingAttachment a;
    a.Name = "data.bin";
    a.MimeType = "application/octet-stream";
    a.Description = "some data";
    a.Path = dir.path() + "data.bin";
    first.Attachments = {a};
    queue(first);
    queue("carl@example.net", "Second", {"second body"});
    const Lines stored1 = text(kToSendMailbox, 1), stored2 = text(kToSendMailbox, 2);

    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    ASSERT_TRUE(outbox.run()) << (view.fileErrors.empty() ? "" : view.fileErrors[0]);
    EXPECT_EQ(outbox.Sent(), 2);
    ASSERT_TRUE(sink.waitForMessages(2));
    const std::vector<SmtpMessage> got = sink.messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].mail_from, "sam@example.org");
    EXPECT_EQ(got[0].rcpt_tos, (Lines{"ann@example.net", "bob@example.net", "zoe@example.net", "hidden@example.net"}));
    EXPECT_EQ(got[1].rcpt_tos, (Lines{"carl@example.net"}));
    EXPECT_EQ(got[0].content.find("hidden"), std::string::npos);
    EXPECT_EQ(got[0].content.find("Hidden"), std::string::npos);
    EXPECT_EQ(pythonCheck(dir, got[0].content, R"({
        "addresses": {"From": [["Sam Sender", "sam@example.org"]],
                      "To": [["Ann Example", "ann@example.net"], ["", "bob@example.net"]],
                      "Cc": [["Zo\u00eb Exemple", "zoe@example.net"]]},
        "headers": {"Subject": ["Caf\u00e9 plans for the summer, a subject longer than forty characters"],
                    "Bcc": [], "Reply-To": ["replies@example.org"], "X-Priority": ["3"],
                    "X-MSMail-Priority": ["Normal"], "X-Mailer": ["Tavik mail v1.1b"],
                    "Date": [")" + pythonDate(kQueuedAt) + R"("], "X-Encoder": []},
        "text": {"content_type": "text/plain", "body": "Hello,\r\n\r\nsee the file.\r\n"},
        "attachments": [{"content_type": "application/octet-stream", "params": {"name": "data.bin"},
                         "cte": "base64", "disposition": "attachment", "description": "some data",
                         "file": ")" + dir.path() + R"(data.bin"}]})"),
              "");
    EXPECT_EQ(pythonCheck(dir, got[1].content, R"({
        "addresses": {"To": [["", "carl@example.net"]]},
        "headers": {"Subject": ["Second"]}, "text": {"body": "second body\r\n\r\n"}})"),
              "");

    EXPECT_EQ(count(kToSendMailbox), 0);
    ASSERT_EQ(count(kSentMailbox), 2);
    EXPECT_EQ(text(kSentMailbox, 1), stored1);
    EXPECT_EQ(text(kSentMailbox, 2), stored2);
    EXPECT_EQ(subject(kSentMailbox, 1), first.Subject.substr(0, 40));
    EXPECT_EQ(store.Msg_Flag, 'V');
    EXPECT_EQ(subject(kSentMailbox, 2), "Second");
    for (const RecordedSend& s : view.sends) {
        EXPECT_TRUE(s.boxes.empty());
        EXPECT_NE(std::find(s.statuses.begin(), s.statuses.end(), "Message sent"), s.statuses.end());
    }
    EXPECT_NE(std::find(view.sends[0].statuses.begin(), view.sends[0].statuses.end(),
                        "Sending attachment " + dir.path() + "data.bin"),
              view.sends[0].statuses.end());
}

// A queued copy is UTF-8 and goes out as such; one queued by the 8-bit program (bytes that are
// not UTF-8) is read as Windows-1252 and goes out as UTF-8 too. Neither stored copy is rewritten.
TEST_F(OutboxTest, QueuedTextBeyondLatin1AndOldLatin1CopiesGoOutAsUtf8)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    useSink(sink);
    queue("\xE6\x9D\x8E\xE5\xB0\x8F\xE9\xBE\x8D <li@example.cn>",
          "\xCE\x93\xCE\xB5\xCE\xB9\xCE\xB1 \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x98\x80",
          {"\xE4\xB8\x96\xE7\x95\x8C \xF0\x9F\x98\x80", "\xE2\x82\xAC 5"});
    queue("Ren\xE9 <rene@example.net>", "R\xE9sum\xE9 \x80", {"\xE9t\xE9 \x80"});
    const Lines stored1 = text(kToSendMailbox, 1), stored2 = text(kToSendMailbox, 2);

    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    ASSERT_TRUE(outbox.run());
    ASSERT_TRUE(sink.waitForMessages(2));
    const std::vector<SmtpMessage> got = sink.messages();
    EXPECT_EQ(pythonCheck(dir, got[0].content, R"({
        "addresses": {"To": [["\u674e\u5c0f\u9f8d", "li@example.cn"]]},
        "headers": {"Subject": ["\u0393\u03b5\u03b9\u03b1 \u043f\u0440\u0438\u0432\u0435\u0442 \ud83d\ude00"]},
        "text": {"params": {"charset": "UTF-8"}, "content": "\u4e16\u754c \ud83d\ude00\r\n\u20ac 5\r\n\r\n"}})"),
              "");
    EXPECT_EQ(pythonCheck(dir, got[1].content, R"({
        "addresses": {"To": [["Ren\u00e9", "rene@example.net"]]},
        "headers": {"Subject": ["R\u00e9sum\u00e9 \u20ac"]},
        "text": {"params": {"charset": "UTF-8"}, "content": "\u00e9t\u00e9 \u20ac\r\n\r\n"}})"),
              "");
    EXPECT_EQ(text(kSentMailbox, 1), stored1);
    EXPECT_EQ(text(kSentMailbox, 2), stored2);
}

// The stored marking carries the password; the wire never does. The body stays enciphered.
TEST_F(OutboxTest, TheEncryptionPasswordIsNeverSent)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    useSink(sink);
    ComposedMessage m;
    m.ToLines = {"ann@example.net"};
    m.Subject = "Secret";
    m.Encrypt = true;
    m.Password = "pw";
    m.Body = {"Hello", "Bye"};
    queue(m);
    const Lines stored = text(kToSendMailbox, 1);
    ASSERT_NE(std::find(stored.begin(), stored.end(), "X-Encoder: RC4 internal pw"), stored.end());

    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    ASSERT_TRUE(outbox.run());
    ASSERT_TRUE(sink.waitForMessages(1));
    const std::string wire = sink.messages()[0].content;
    EXPECT_EQ(wire.find("RC4 internal pw"), std::string::npos) << wire;
    EXPECT_EQ(pythonCheck(dir, wire, R"({
        "headers": {"X-Encoder": ["RC4 internal"], "X-Encoder-Verify": ["True"], "Subject": ["Secret"]},
        "text": {"body": )" + jsonBytes("\x47\xa7\x74\xd8\xe3\r\n\x4d\xbb\x7d\r\n\r\n") + "}}"),
              "");
    // "Sent" keeps the stored copy as it was, password line included.
    EXPECT_EQ(text(kSentMailbox, 1), stored);
}

// A send not accepted ends the run: one box, the message and those after it stay queued.
TEST_F(OutboxTest, TheRunStopsAtTheFirstMessageNotAccepted)
{
    SmtpSink refusing;
    refusing.rejectData();
    ASSERT_TRUE(refusing.start()) << refusing.error();
    useSink(refusing);
    queue("ann@example.net", "First", {"one"});
    queue("bob@example.net", "Second", {"two"});
    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    EXPECT_FALSE(outbox.run());
    EXPECT_TRUE(outbox.Failed());
    ASSERT_EQ(view.sends.size(), 1u);
    ASSERT_EQ(view.sends[0].boxes.size(), 1u);
    EXPECT_EQ(view.sends[0].boxes[0].first, "Unexpected Response Error");
    EXPECT_FALSE(view.sends[0].accepted);
    EXPECT_EQ(outbox.Sent(), 0);
    EXPECT_EQ(outbox.Left(), 2);
    EXPECT_EQ(subject(kToSendMailbox, 1), "First");
    EXPECT_EQ(subject(kToSendMailbox, 2), "Second");
    EXPECT_EQ(count(kSentMailbox), 0);
    EXPECT_TRUE(refusing.messages().empty());
}

// A queued message whose attachment file went away, or that names nobody, is never delivered
// in part: its box, and it stays queued.
TEST_F(OutboxTest, AMessageThatCannotBeWrittenOrAddressedStaysQueued)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    useSink(sink);
    writeBytes(dir.path() + "gone.bin", "\x90\x91\x92");
    TOutgoingAttachment a;
    a.Name = "gone.bin";
    a.Path = dir.path() + "gone.bin";
    queue("ann@example.net", "Lost file", {"see the file"}, {a});
    removeFileIfPresent(dir.path() + "gone.bin");
    {
        TestOutboxView view(settings);
        Outbox outbox(settings, store, attachments, view);
        EXPECT_FALSE(outbox.run());
        EXPECT_TRUE(view.sends.empty());
        EXPECT_EQ(view.left, (Lines{"The message \"Lost file\" stays in \"To Send\": Attachment \"" + dir.path() +
                                    "gone.bin\": cannot be opened: No such file or directory"}));
        EXPECT_EQ(outbox.Left(), 1);
    }
    EXPECT_TRUE(sink.messages().empty());

    // Only lines that name no address: nothing is connected.
    store.SetCurrentMailBoxNumber(kToSendMailbox);
    store.SetMsg_Number(1);
    store.DeleteMessage();
    store.Msg_Text = {"From: Sam <sam@example.org>", "To: ", "cc:  ", "Subject: Nobody", "", "text"};
    store.Msg_Subject = "Nobody";
    store.Msg_AttachStart = store.Msg_AttachEnd = 0;
    store.AppendMessage();
    ScriptedServer unused;
    settings.SmtpPort = unused.port();
    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    EXPECT_FALSE(outbox.run());
    ASSERT_EQ(view.sends.size(), 1u);
    EXPECT_EQ(view.sends[0].boxes,
              (std::vector<std::pair<std::string, std::string>>{
                  {"No Recipients Error", "No recipients were specified for the message."}}));
    EXPECT_EQ(unused.connections(), 0);
    EXPECT_EQ(count(kToSendMailbox), 1);
}

// Whatever a send's events select in the store, the message sent is the one moved; a message
// queued meanwhile is sent after it. A "To Send" whose first message changed meanwhile stops the
// run before anything unsent is filed as sent.
TEST_F(OutboxTest, TheMessageSentIsTheOneMovedToSent)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    useSink(sink);
    store.SetCurrentMailBoxNumber(1);
    store.Msg_Text = {"From: x@example.org", "", "new mail"};
    store.Msg_Subject = "In New Mail";
    store.Msg_Flag = 'U';
    store.AppendMessage();
    queue("ann@example.net", "A", {"a"});
    queue("bob@example.net", "B", {"b"});
    TestOutboxView view(settings);
    view.duringSend = [&](int number) {
        if (number == 1)
            queue("carl@example.net", "C", {"c"}); // a confirmation of receipt filed meanwhile
        store.SetCurrentMailBoxNumber(1);
        store.SetMsg_Number(1);
    };
    Outbox outbox(settings, store, attachments, view);
    ASSERT_TRUE(outbox.run());
    EXPECT_EQ(outbox.Sent(), 3);
    ASSERT_EQ(count(kSentMailbox), 3);
    EXPECT_EQ(subject(kSentMailbox, 1), "A");
    EXPECT_EQ(subject(kSentMailbox, 2), "B");
    EXPECT_EQ(subject(kSentMailbox, 3), "C");
    EXPECT_EQ(count(1), 1);
    EXPECT_EQ(subject(1, 1), "In New Mail");
    ASSERT_TRUE(sink.waitForMessages(3));
    EXPECT_EQ(sink.messages()[2].rcpt_tos, (Lines{"carl@example.net"}));

    queue("dan@example.net", "D", {"d"});
    queue("eve@example.net", "E", {"e"});
    TestOutboxView changing(settings);
    changing.duringSend = [&](int) {
        store.SetCurrentMailBoxNumber(kToSendMailbox);
        store.SetMsg_Number(1);
        store.DeleteMessage();
    };
    Outbox second(settings, store, attachments, changing);
    EXPECT_FALSE(second.run());
    ASSERT_EQ(changing.fileErrors.size(), 1u);
    EXPECT_NE(changing.fileErrors[0].find("changed while \"D\" was sent"), std::string::npos) << changing.fileErrors[0];
    EXPECT_EQ(count(kSentMailbox), 3);
    EXPECT_EQ(subject(kToSendMailbox, 1), "E");
}

// Stop lets the message in hand finish and starts no other.
TEST_F(OutboxTest, StopEndsTheRunAfterTheMessageInHand)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    useSink(sink);
    queue("ann@example.net", "A", {"a"});
    queue("bob@example.net", "B", {"b"});
    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    view.duringSend = [&](int) { outbox.stop(); };
    EXPECT_FALSE(outbox.run());
    EXPECT_EQ(outbox.Sent(), 1);
    EXPECT_EQ(outbox.Left(), 1);
    EXPECT_EQ(subject(kToSendMailbox, 1), "B");
}

// The profile's time-out bounds the connect and the server's silence: without it the connect
// would wait for the system's own give-up, minutes later.
TEST_F(OutboxTest, TheTimeOutEndsASendThatGetsNoAnswer)
{
    settings.TimeOut = 1;
    auto sendTo = [&](quint16 port, RecordedSend& s) {
        settings.SmtpPort = port;
        SendSession session(settings, s);
        session.Mail().FROM_Address = "sam@example.org";
        session.Mail().ListTo = {"ann@example.net|"};
        session.Mail().MailText = {"x"};
        session.open();
        return QTest::qWaitFor([&] { return s.finishes == 1; }, 15000);
    };
    {
        UnansweredListener unanswered;
        RecordedSend s;
        ASSERT_TRUE(sendTo(unanswered.port(), s));
        EXPECT_FALSE(s.accepted);
        EXPECT_EQ(s.boxes, (std::vector<std::pair<std::string, std::string>>{
                               {"Connect Timeout Error", "The connection attempt to the server timed out."}}));
    }
    ScriptedServer silent;
    silent.send("220 hello\r\n").stall();
    RecordedSend s;
    ASSERT_TRUE(sendTo(silent.port(), s));
    ASSERT_EQ(s.boxes.size(), 1u);
    EXPECT_EQ(s.boxes[0].first, "Connect Timeout Error");
}

// A stop before the send began connects nothing; a stop during it ends it without a box.
TEST_F(OutboxTest, AStoppedSendEndsOnceAndUnaccepted)
{
    ScriptedServer server;
    server.send("220 hello\r\n").stall();
    settings.SmtpPort = server.port();
    RecordedSend early;
    {
        SendSession session(settings, early);
        session.Mail().FROM_Address = "sam@example.org";
        session.Mail().ListTo = {"ann@example.net|"};
        session.open();
        session.stop();
        EXPECT_TRUE(session.Ended());
        QTest::qWait(0);
    }
    EXPECT_EQ(early.finishes, 1);
    EXPECT_FALSE(early.accepted);
    EXPECT_EQ(early.statuses, (Lines{"Connecting to 127.0.0.1"}));
    EXPECT_EQ(server.connections(), 0);

    RecordedSend late;
    SendSession session(settings, late);
    session.Mail().FROM_Address = "sam@example.org";
    session.Mail().ListTo = {"ann@example.net|"};
    session.open();
    ASSERT_TRUE(server.waitDone()) << server.report();
    session.stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return late.finishes == 1; }, 10000));
    EXPECT_FALSE(late.accepted);
    EXPECT_TRUE(late.boxes.empty());
    EXPECT_TRUE(server.waitClientClosed()) << server.report();
}

// The server's own words reach the box: its reply where it refused, the file that cannot be read.
TEST(SendMailErrorBoxes, ErrorBoxesNameTheCause)
{
    std::string title, text;
    ASSERT_TRUE(sendMailErrorBox(13, "Unexpected response: 530 5.7.0 Authentication required", title, text));
    EXPECT_EQ(text, "An unexpected response was received from the mail server. Make sure that you have entered the "
                    "correct value in setup for your SMTP port.\r\nThe server answered: 530 5.7.0 Authentication required");
    ASSERT_TRUE(sendMailErrorBox(4, "Unexpected internal error in component: Attachment \"/home/sam/cv.pdf\": cannot be "
                                    "opened: No such file or directory", title, text));
    EXPECT_EQ(text, "An unexpected error occured\r\nAttachment \"/home/sam/cv.pdf\": cannot be opened: No such file or "
                    "directory");
    ASSERT_TRUE(sendMailErrorBox(4, "Unexpected internal error in component", title, text));
    EXPECT_EQ(text, "An unexpected error occured");
    const std::vector<RecipientRefusal> refused = {{"a@x.org", "550 5.1.1 No such user"}, {"b@x.org", "451 4.3.0 Later"}};
    ASSERT_TRUE(sendMailErrorBox(20, refusalLines(refused), title, text));
    EXPECT_EQ(title, "Recipients Refused Error");
    EXPECT_EQ(text, "The mail server refused every recipient of the message; it was not sent.\r\n"
                    "a@x.org: 550 5.1.1 No such user\r\nb@x.org (temporary): 451 4.3.0 Later");
    ASSERT_TRUE(sendMailErrorBox(21, std::string(kTextStartTlsUnavailable) + ": 454 4.7.0 TLS not available", title,
                                 text));
    EXPECT_EQ(text, "The SMTP server does not offer a secure connection by STARTTLS, so nothing was sent. Choose "
                    "SSL/TLS or no security for the SMTP server in the options.\r\nThe server answered: 454 4.7.0 "
                    "TLS not available");
    ASSERT_TRUE(sendMailErrorBox(21, kTextStartTlsUnavailable, title, text));
    EXPECT_EQ(text.find("answered"), std::string::npos);

    // As a scripted server gives it: the reply to MAIL FROM in the box.
    ScriptedServer server;
    server.send("220 hi\r\n")
        .expect("EHLO " + heloName(SendMail().LocalHostName()) + "\r\n")
        .send("250 hi\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("530 5.7.0 Authentication required\r\n")
        .expectClose();
    ProfileSettings settings;
    settings.SmtpServer = "127.0.0.1";
    settings.SmtpPort = server.port();
    OutgoingMessage m;
    m.FROM_Address = "sam@example.org";
    m.ListTo = {"ann@example.net|"};
    RecordedSend s;
    EXPECT_FALSE(runSendSession(settings, m, s));
    ASSERT_EQ(s.boxes.size(), 1u);
    EXPECT_NE(s.boxes[0].second.find("\r\nThe server answered: 530 5.7.0 Authentication required"), std::string::npos);
    EXPECT_TRUE(server.waitDone()) << server.report();
}

// The profile's security and CA file reach the session: the CA makes the sink's certificate
// trusted; without it the send stops at the certificate, and the box says why.
TEST(SendSessionSecurity, TheProfilesSecurityAndCaFileSecureTheSend)
{
    OutgoingMessage m;
    m.FROM_Address = "sam@example.org";
    m.ListTo = {"ann@example.net|"};
    m.MailText = {"text"};
    ProfileSettings settings;
    settings.SmtpServer = "127.0.0.1";
    settings.SmtpSecurity = "TLS";
    settings.CaFile = testCertificates().ca.certificate;
    {
        SmtpSink sink;
        sink.useImplicitTls(testCertificates().server);
        ASSERT_TRUE(sink.start()) << sink.error() << sink.log();
        settings.SmtpPort = sink.port();
        RecordedSend s;
        EXPECT_TRUE(runSendSession(settings, m, s)) << (s.boxes.empty() ? "" : s.boxes[0].second);
        ASSERT_TRUE(sink.waitForMessages(1)) << sink.log();
        EXPECT_TRUE(sink.messages()[0].tls);
        ASSERT_FALSE(s.securities.empty());
        for (const std::string& shown : s.securities)
            EXPECT_EQ(shown.rfind("Encrypted (TLS 1.", 0), 0u) << shown;
    }
    ScriptedServer server;
    server.send("220 hi\r\n")
        .expect("EHLO " + heloName(SendMail().LocalHostName()) + "\r\n")
        .send("250 STARTTLS\r\n")
        .expect("STARTTLS\r\n")
        .send("220 go ahead\r\n")
        .startTls(testCertificates().server)
        .expectClose();
    settings.SmtpSecurity = "starttls";
    settings.CaFile.clear();
    settings.SmtpPort = server.port();
    RecordedSend s;
    EXPECT_FALSE(runSendSession(settings, m, s));
    ASSERT_EQ(s.boxes.size(), 1u);
    EXPECT_EQ(s.boxes[0].first, "Certificate Error");
    EXPECT_EQ(s.boxes[0].second.rfind("The SMTP server's certificate is not trusted, so nothing was sent.", 0), 0u);
    EXPECT_GT(std::count(s.boxes[0].second.begin(), s.boxes[0].second.end(), '\n'), 0) << "no reason given";
    EXPECT_TRUE(server.waitDone()) << server.report();
}

// A file moved after "Send later" costs that message alone, named with its subject and file.
TEST_F(OutboxTest, OneMessageWithAMissingAttachmentDoesNotBlockTheOutbox)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    useSink(sink);
    writeBytes(dir.path() + "moved.txt", "notes\n");
    TOutgoingAttachment a;
    a.Name = "moved.txt";
    a.Path = dir.path() + "moved.txt";
    queue("ann@example.net", "With notes", {"see the notes"}, {a});
    queue("bob@example.net", "Plain", {"hello"});
    std::filesystem::rename(a.Path, dir.path() + "elsewhere.txt");
    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    EXPECT_FALSE(outbox.run());
    EXPECT_EQ(view.left, (Lines{"The message \"With notes\" stays in \"To Send\": Attachment \"" + a.Path +
                                "\": cannot be opened: No such file or directory"}));
    ASSERT_EQ(view.sends.size(), 1u);
    EXPECT_TRUE(view.sends[0].accepted);
    ASSERT_TRUE(sink.waitForMessages(1));
    EXPECT_EQ(sink.messages()[0].rcpt_tos, Lines{"bob@example.net"});
    EXPECT_EQ(outbox.Sent(), 1);
    EXPECT_EQ(outbox.Left(), 1);
    EXPECT_EQ(subject(kToSendMailbox, 1), "With notes");
    EXPECT_EQ(subject(kSentMailbox, 1), "Plain");
}

// Refused by the real server: a message nobody takes stays queued and the run goes on; one taken
// by some is filed in "Sent", as read, and the user is told who did not get it.
TEST_F(OutboxTest, RefusedRecipientsAreNeverReportedAsSent)
{
    SmtpSink sink;
    sink.rejectRecipient("gone@example.net");
    ASSERT_TRUE(sink.start()) << sink.error();
    useSink(sink);
    queue("gone@example.net", "Nobody takes it", {"one"});
    ComposedMessage some;
    some.ToLines = {"ann@example.net"};
    some.ccLines = {"Gone <gone@example.net>"};
    some.Subject = "Half";
    some.Body = {"two"};
    queue(some);
    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    EXPECT_FALSE(outbox.run());
    ASSERT_EQ(view.sends.size(), 2u);
    EXPECT_FALSE(view.sends[0].accepted);
    EXPECT_EQ(view.sends[0].boxes, (std::vector<std::pair<std::string, std::string>>{
                                       {"Recipients Refused Error",
                                        "The mail server refused every recipient of the message; it was not sent.\r\n"
                                        "gone@example.net: 550 5.1.1 Mailbox unavailable"}}));
    EXPECT_TRUE(view.sends[1].accepted);
    EXPECT_TRUE(view.sends[1].boxes.empty());
    EXPECT_EQ(view.sends[1].refused, (std::vector<std::pair<std::string, std::string>>{
                                         {"Recipients Refused",
                                          "The message was sent, but not to these recipients, which the mail server "
                                          "refused:\r\ngone@example.net: 550 5.1.1 Mailbox unavailable"}}));
    ASSERT_TRUE(sink.waitForMessages(1));
    EXPECT_EQ(sink.messages().size(), 1u);
    EXPECT_EQ(sink.messages()[0].rcpt_tos, Lines{"ann@example.net"});
    EXPECT_EQ(outbox.Left(), 1);
    EXPECT_EQ(subject(kToSendMailbox, 1), "Nobody takes it");
    ASSERT_EQ(count(kSentMailbox), 1);
    EXPECT_EQ(subject(kSentMailbox, 1), "Half");
    EXPECT_EQ(store.Msg_Flag, 'V');
}

// "Save sent messages" off: what the outbox sent goes to Trash, as read, never nowhere.
TEST_F(OutboxTest, WithoutSaveSentASentMessageGoesToTrash)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    useSink(sink);
    settings.SaveSent = false;
    queue("ann@example.net", "Gone out", {"a"});
    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    EXPECT_TRUE(outbox.run());
    EXPECT_EQ(count(kSentMailbox), 0);
    ASSERT_EQ(count(5), 1);
    EXPECT_EQ(subject(5, 1), "Gone out");
    EXPECT_EQ(store.Msg_Flag, 'V');
}

// A copy queued before copies carried them goes out with a zoned Date and a Message-ID, and the
// copy filed in "Sent" holds the same two lines.
TEST_F(OutboxTest, AnOlderQueuedCopyGoesOutWithAZonedDateAndAMessageId)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    useSink(sink);
    store.SetCurrentMailBoxNumber(kToSendMailbox);
    store.Msg_Text = {"From: Sam Sender <sam@example.org>", "To: ann@example.net", "Date: Sun, 3 Mar 2024 10:00:00",
                      "Subject: Old", "X-Mailer: Tavik mail v1.1b", "", "old body"};
    store.Msg_Subject = "Old";
    store.Msg_Date = "Sun, 3 Mar 2024 10:00:00";
    store.Msg_Flag = 'U';
    store.AppendMessage();
    TestOutboxView view(settings);
    Outbox outbox(settings, store, attachments, view);
    ASSERT_TRUE(outbox.run());
    ASSERT_TRUE(sink.waitForMessages(1));
    const Lines sent = text(kSentMailbox, 1);
    ASSERT_EQ(sent.size(), 8u);
    EXPECT_EQ(sent[2].substr(0, 6), "Date: ");
    EXPECT_TRUE(sent[2].size() > 6 && (sent[2][sent[2].size() - 5] == '+' || sent[2][sent[2].size() - 5] == '-'))
        << sent[2];
    EXPECT_EQ(sent[5].substr(0, 19), "Message-ID: <tavik.");
    const std::string wire = sink.messages()[0].content;
    EXPECT_NE(wire.find("\r\n" + sent[2] + "  \r\n"), std::string::npos) << wire;
    EXPECT_NE(wire.find("\r\n" + sent[5] + "  \r\n"), std::string::npos) << wire;
    EXPECT_EQ(store.Msg_Subject, "Old");
    EXPECT_EQ(store.Msg_Flag, 'V');
    EXPECT_EQ(count(kToSendMailbox), 0);
}

// A run keeps one connection: a message every recipient refused is reset (RSET) rather than
// dropping it, the next goes on the same connection, and the run ends with QUIT.
TEST(KeptSendRun, RefusedMessagesAreResetAndTheRunQuitsOnce)
{
    ScriptedServer server;
    server.send("220 hi\r\n")
        .expect("EHLO " + heloName(SendMail().LocalHostName()) + "\r\n")
        .send("250 hi\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<ann@example.net>\r\n")
        .send("550 5.1.1 no such user\r\n")
        .expect("RSET\r\n")
        .send("250 reset\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<bob@example.net>\r\n")
        .send("450 4.2.0 try later\r\n")
        .expect("RSET\r\n")
        .send("250 reset\r\n")
        .expect("QUIT\r\n")
        .send("221 bye\r\n")
        .close();
    ProfileSettings settings;
    settings.SmtpServer = "127.0.0.1";
    settings.SmtpPort = server.port();
    settings.TimeOut = 10;
    RecordedSend view;
    {
        KeptSendRun run(settings, view);
        OutgoingMessage m;
        m.FROM_Address = "sam@example.org";
        m.ListTo = {"ann@example.net|"};
        const SendOutcome first = run.send(m);
        EXPECT_FALSE(first.accepted);
        EXPECT_EQ(first.error, Error_RecipientsRefused);
        m.ListTo = {"bob@example.net|"};
        EXPECT_EQ(run.send(m).error, Error_RecipientsRefused);
        EXPECT_EQ(run.connections(), 1);
    }
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(view.boxes.size(), 2u);
    EXPECT_EQ(view.finishes, 2);
}
