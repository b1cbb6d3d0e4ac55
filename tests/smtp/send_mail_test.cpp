// The SMTP session against scripted loopback servers: exact command bytes and message text,
// multi-line and split replies, failure replies at each step, refused and unsafe recipients,
// a kept connection, cancel, early closes and a silent server; STARTTLS, EHLO with its HELO
// fallback, and the sign-in by each mechanism.
#include "smtp/send_mail.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>

#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"
#include "peers/test_certificates.h"
#include "support/test_support.h"

using namespace tavik;
using namespace tavik::test;

// Python's email package on a message as the server keeps it (send_mail_peer_test.cpp).
std::string pythonCheck(const TempDir& dir, const std::string& content, const std::string& json);

namespace {

// The QCoreApplication of the whole test program (test_sendmail).
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureCoreApplication(); }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

using Reports = std::vector<std::pair<int, std::string>>;
using Lines = std::vector<std::string>;

void drainEvents()
{
    bool reached = false;
    QTimer::singleShot(0, [&] { reached = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return reached; }, 5000));
}

// A SendMail that records every report.
class TestSendMail : public SendMail {
public:
    Reports infos, errors;
    int dones = 0;
    std::function<void()> onDone;

    TestSendMail()
    {
        OnMailInfo = [this](int i, const std::string& a) { infos.emplace_back(i, a); };
        OnMailError = [this](int e, const std::string& a) { errors.emplace_back(e, a); };
        OnDone = [this] {
            ++dones;
            if (onDone)
                onDone();
        };
        FROM_Name = "Sam Sender";
        FROM_Address = "sam@example.org";
    }
    void sendTo(quint16 port, const std::string& server = "127.0.0.1")
    {
        SetSMTP_Server(server);
        SMTP_Port = port;
        SetAction(TMailAction::Send_Mail);
    }
    void sendTo(const ScriptedServer& server) { sendTo(server.port()); }
    bool waitDone(int count = 1, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return dones >= count; }, timeoutMs);
    }
    // The addinfos of one info code, in order.
    Lines infosOf(int code) const
    {
        Lines v;
        for (const auto& [c, a] : infos)
            if (c == code)
                v.push_back(a);
        return v;
    }
    // The info codes without the received (1) and sending (2) reports.
    std::vector<int> progress() const
    {
        std::vector<int> v;
        for (const auto& [c, a] : infos)
            if (c != Info_Received && c != Info_Sending)
                v.push_back(c);
        return v;
    }
    // Everything reported as sent, joined.
    std::string sent() const
    {
        std::string s;
        for (const std::string& a : infosOf(Info_Sending))
            s += a;
        return s;
    }
};

std::string helo()
{
    TVoskSocket probe;
    return "HELO " + heloName(probe.LocalHostName()) + "\r\n";
}

std::string ehlo()
{
    TVoskSocket probe;
    return "EHLO " + heloName(probe.LocalHostName()) + "\r\n";
}

// The dialogue up to the server's 354, every command answered with success.
void opening(ScriptedServer& s, const Lines& recipients, const std::string& from = "sam@example.org")
{
    s.send("220 mail.example.net ESMTP\r\n")
        .expect(ehlo())
        .send("250 mail.example.net\r\n")
        .expect("MAIL FROM:<" + from + ">\r\n")
        .send("250 OK\r\n");
    for (const std::string& r : recipients)
        s.expect("RCPT TO:<" + r + ">\r\n").send("250 OK\r\n");
    s.expect("DATA\r\n").send("354 End data with <CR><LF>.<CR><LF>\r\n");
}

// The message text and its "." accepted, then QUIT and the server's goodbye.
void closing(ScriptedServer& s, const std::string& text)
{
    s.expect(text + ".\r\n").send("250 Queued as 1\r\n").expect("QUIT\r\n").send("221 Bye\r\n").close();
}

const std::string kPlainHead = "Mime-Version: 1.0\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n\r\n";
const std::string kFrom = "From: Sam Sender <sam@example.org>\r\n";

} // namespace

TEST(SendMail, PropertiesTextsAndTheHeloName)
{
    SendMail m;
    EXPECT_EQ(m.SMTP_Port, 25);
    EXPECT_EQ(m.Version, "SendMail 1.3.9");
    EXPECT_FALSE(m.KeepConnectionOpen);
    EXPECT_FALSE(m.Busy());
    EXPECT_EQ(m.TimeoutConnect, 0);
    EXPECT_EQ(m.TimeoutArp, 0);
    m.SetSMTP_Server("10.1.2.3");
    EXPECT_EQ(m.IPAddress, "10.1.2.3");
    EXPECT_EQ(m.HostName, "");
    m.SetSMTP_Server("mail.example.net");
    EXPECT_EQ(m.SMTP_Server(), "mail.example.net");
    EXPECT_EQ(m.HostName, "mail.example.net");
    EXPECT_EQ(m.IPAddress, "");
    m.SetAction(TMailAction::None);
    EXPECT_FALSE(m.Busy());

    const std::vector<std::pair<SendMailError, std::string>> texts = {
        {Error_None, ""},
        {Error_WinsockNotInitialized, "Winsock not initialized"},
        {Error_NetworkDown, "Network down"},
        {Error_InvalidAddress, "Invalid address specified"},
        {Error_Internal, "Unexpected internal error in component"},
        {Error_General, "General Winsock Error"},
        {Error_ConnectionAborted, "Connection aborted due to timeout or other failure"},
        {Error_ConnectionReset, "Connection reset by remote side"},
        {Error_Timeout, "timeout"},
        {Error_OutOfSockets, "Out of sockets"},
        {Error_NetworkUnreachable, "Network unreachable"},
        {Error_AddressNotAvailable, "Address not available"},
        {Error_ConnectionRefused, "Connection Refused"},
        {Error_UnexpectedResponse, "Unexpected response: "},
        {Error_Canceled, ""},
        {Error_Unknown, "Unknown Error"},
        {Error_AddressResolution, "Address resolution error"},
        {Error_PrematureDisconnect, "Prematurely Disconnected"},
        {Error_NoRecipient, "Mail Destination Error"},
        {Error_HostUnreachable, "Host Unreachable"},
    };
    for (const auto& [code, text] : texts)
        EXPECT_EQ(sendMailErrorText(code), text) << code;
    // The socket layer's table gives SendMail's numbers too.
    for (int code = 1; code <= 19; ++code) {
        if (code == 1 || code == 13 || code == 14 || code == 17 || code == 18)
            continue;
        bool found = false;
        for (int winsockError : {10093, 10050, 10013, 10022, 10055, 10053, 10054, 10060, 10024, 10051, 10049,
                                 10061, 99999, 11001, 10065}) {
            const ErrorRow row = winsockErrorRow(winsockError, kSendMailLineCodes);
            if (row.code == code) {
                EXPECT_STREQ(row.text, sendMailErrorText(static_cast<SendMailError>(code))) << code;
                found = true;
            }
        }
        EXPECT_TRUE(found) << code;
    }

    EXPECT_EQ(heloName("mailhost.example.org"), "mailhost.example.org");
    EXPECT_EQ(heloName(""), "localhost");
    EXPECT_EQ(heloName("evil\r\nRCPT TO:<x@y>"), "localhost");
    EXPECT_EQ(heloName("two words"), "localhost");
    EXPECT_EQ(heloName(std::string(249, 'h')), "localhost");
    EXPECT_EQ(heloName(std::string(248, 'h')), std::string(248, 'h'));
}

// One message to To, cc and Bcc recipients, byte for byte, and what the owner hears of it.
TEST(SendMail, TheWholeDialogueOfOneMessage)
{
    const std::string text = "From: Sam Sender <sam@example.org>\r\n"
                             "To: Ann Example <ann@example.net>\r\n"
                             "To: bob@example.net;\r\n"
                             "cc: Cy <cy@example.net>\r\n"
                             "Subject: Hello  \r\n"
                             "Mime-Version: 1.0\r\n"
                             "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
                             "X-Priority: 3  \r\n"
                             "\r\n"
                             "First line\r\n"
                             "..dot line\r\n"
                             "\r\n"
                             ".\r\n";
    ScriptedServer server;
    server.send("220 mail.example.net ESMTP\r\n")
        .expect(ehlo())
        .send("250 mail.example.net\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 2.1.0 Ok\r\n")
        .expect("RCPT TO:<ann@example.net>\r\n")
        .send("250 2.1.5 Ok\r\n")
        .expect("RCPT TO:<bob@example.net>\r\n")
        .send("250 2.1.5 Ok\r\n")
        .expect("RCPT TO:<cy@example.net>\r\n")
        .send("250 2.1.5 Ok\r\n")
        .expect("RCPT TO:<dee@example.net>\r\n")
        .send("250 2.1.5 Ok\r\n")
        .expect("DATA\r\n")
        .send("354 End data with <CR><LF>.<CR><LF>\r\n")
        .expect(text)
        .send("250 2.0.0 Ok: queued\r\n")
        .expect("QUIT\r\n")
        .send("221 2.0.0 Bye\r\n")
        .close();

    TestSendMail m;
    m.ListTo = {"ann@example.net|Ann Example", "bob@example.net"};
    m.Listcc = {"cy@example.net|Cy"};
    m.ListBcc = {"dee@example.net"};
    m.Subject = "Hello";
    m.Headers = {"X-Priority: 3"};
    m.MailText = {"First line", ".dot line"};
    m.sendTo(server);
    EXPECT_TRUE(m.Busy());
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();

    EXPECT_TRUE(m.errors.empty());
    EXPECT_EQ(m.ErrorCode, 0);
    EXPECT_TRUE(m.QuitSent);
    EXPECT_FALSE(m.Busy());
    EXPECT_EQ(m.progress(), (std::vector<int>{0, 9, 9, 9, 9, 10, 11, 4, 3}));
    EXPECT_EQ(m.infosOf(Info_Connected), (Lines{"127.0.0.1"}));
    EXPECT_EQ(m.infosOf(Info_Recipient), (Lines{"ann@example.net", "bob@example.net", "cy@example.net", "dee@example.net"}));
    EXPECT_EQ(m.infosOf(Info_BodySize), (Lines{"23"}));
    EXPECT_EQ(m.infosOf(Info_BodyProgress), (Lines{"23"}));
    EXPECT_EQ(m.infosOf(Info_MailSent), (Lines{""}));
    EXPECT_EQ(m.infosOf(Info_Received),
              (Lines{"220 mail.example.net ESMTP", "250 mail.example.net", "250 2.1.0 Ok", "250 2.1.5 Ok", "250 2.1.5 Ok",
                     "250 2.1.5 Ok", "250 2.1.5 Ok", "354 End data with <CR><LF>.<CR><LF>", "250 2.0.0 Ok: queued",
                     "221 2.0.0 Bye"}));
    EXPECT_EQ(m.sent(), server.received()); // every byte written was reported, once
    TempDir dir;
    std::string kept = text.substr(0, text.size() - 3); // what the server keeps: no ".", no stuffing
    kept.replace(kept.find("..dot"), 2, ".");
    EXPECT_EQ(pythonCheck(dir, kept, R"({"addresses": {"From": [["Sam Sender", "sam@example.org"]],
                                                       "To": [["Ann Example", "ann@example.net"], ["", "bob@example.net"]],
                                                       "Cc": [["Cy", "cy@example.net"]]},
                                         "headers": {"Subject": ["Hello"], "X-Priority": ["3"], "Bcc": []},
                                         "text": {"params": {"charset": "us-ascii"}, "cte": null,
                                                  "body": "First line\r\n.dot line\r\n\r\n"}})"),
              "");
    // First recipient taken from ListTo; the lists stay after a successful send.
    EXPECT_EQ(m.TO_Address, "ann@example.net");
    EXPECT_EQ(m.TO_Name, "Ann Example");
    EXPECT_EQ(m.SkipTo(), 1);
    EXPECT_EQ(m.Skipcc(), 0);
    EXPECT_EQ(m.SkipBcc(), 0);
    EXPECT_EQ(m.RecipientPhase(), 4);
    EXPECT_EQ(m.CurrentRecipient(), "dee@example.net");
    EXPECT_EQ(m.ListTo, (Lines{"ann@example.net|Ann Example", "bob@example.net"}));
    EXPECT_EQ(m.ListBcc, (Lines{"dee@example.net"}));
    drainEvents();
    EXPECT_EQ(m.dones, 1);
    // A cancel after the end leaves the result and the lists alone.
    m.SetAction(TMailAction::Cancel_SendMail);
    EXPECT_EQ(m.ErrorCode, 0);
    EXPECT_EQ(m.ListTo.size(), 2u);
    drainEvents();
    EXPECT_EQ(m.dones, 1);
}

// The first recipient and the skip counts: every recipient gets one RCPT, in list order.
TEST(SendMail, TheFirstRecipientRuleAndTheRecipientOrder)
{
    struct Case {
        const char* what;
        std::string toAddress, toName;
        Lines to, cc, bcc;
        Lines rcpts;
        std::string headers; // To and cc lines of the text
        int skipTo, skipcc, skipBcc;
    };
    const std::vector<Case> cases = {
        {"TO_Address before two ListTo lines", "first@x.org", "First", {"l1@x.org", "l2@x.org|Two"}, {}, {},
         {"first@x.org", "l1@x.org", "l2@x.org"},
         "To: First <first@x.org>\r\nTo: l1@x.org;\r\nTo: Two <l2@x.org>\r\n", 1, 0, 0},
        {"only Listcc", "", "", {}, {"c1@x.org|C One", "c2@x.org"}, {}, {"c1@x.org", "c2@x.org"},
         "cc: C One <c1@x.org>\r\ncc: c2@x.org\r\n", 0, 1, 0},
        {"only ListBcc", "", "", {}, {}, {"b1@x.org", "b2@x.org", "b3@x.org"}, {"b1@x.org", "b2@x.org", "b3@x.org"}, "", 0,
         0, 1},
        {"an empty first ListTo line", "", "", {"|Nobody", "t2@x.org"}, {"c1@x.org"}, {"b1@x.org"},
         {"c1@x.org", "t2@x.org", "b1@x.org"}, "To: Nobody <>\r\nTo: t2@x.org;\r\ncc: c1@x.org\r\n", 1, 1, 0},
        {"To, cc and Bcc of one each", "", "", {"t@x.org"}, {"c@x.org"}, {"b@x.org"}, {"t@x.org", "c@x.org", "b@x.org"},
         "To: t@x.org;\r\ncc: c@x.org\r\n", 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        opening(server, c.rcpts);
        closing(server, kFrom + c.headers + kPlainHead);
        TestSendMail m;
        m.TO_Address = c.toAddress;
        m.TO_Name = c.toName;
        m.ListTo = c.to;
        m.Listcc = c.cc;
        m.ListBcc = c.bcc;
        m.sendTo(server);
        ASSERT_TRUE(m.waitDone()) << server.report();
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(m.errors.empty());
        EXPECT_TRUE(m.QuitSent);
        EXPECT_EQ(m.infosOf(Info_Recipient), c.rcpts);
        EXPECT_EQ(m.TO_Address, c.rcpts.front());
        EXPECT_EQ(m.SkipTo(), c.skipTo);
        EXPECT_EQ(m.Skipcc(), c.skipcc);
        EXPECT_EQ(m.SkipBcc(), c.skipBcc);
    }
}

TEST(SendMail, MultiLineSplitAndEmptyRepliesAreTakenWhole)
{
    const std::string text = kFrom + "To: t@x.org;\r\n" + kPlainHead;
    ScriptedServer server;
    TestSendMail m;
    auto nothingSentYet = [&] { return m.infosOf(Info_Sending).empty(); };
    server.send("220-mail.example.net first greeting line\r\n")
        .await([&] { return m.infosOf(Info_Received).size() == 1; }, "the first greeting line")
        .call([&] { EXPECT_TRUE(nothingSentYet()); }, "no EHLO after an intermediate line")
        .send("\r\n220 second line\r\n")
        .expect(ehlo())
        .send("250-mail.example.net\r\n250-SIZE 1000000\r\n25")
        .await([&] { return m.PendingText() == "25"; }, "the client holds \"25\"")
        .send("0 8BITMIME\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 OK\r\n")
        .expect("RCPT TO:<t@x.org>\r\n")
        .send("250-t@x.org\r\n")
        .await([&] { return m.infosOf(Info_Received).back() == "250-t@x.org"; }, "the intermediate RCPT reply")
        .send("250 OK\r\n")
        .expect("DATA\r\n")
        .send("3")
        .await([&] { return m.PendingText() == "3"; }, "the client holds \"3\"")
        .send("54 go ahead\r\n");
    closing(server, text);
    m.ListTo = {"t@x.org"};
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_TRUE(m.QuitSent);
    const Lines received = m.infosOf(Info_Received);
    ASSERT_GE(received.size(), 8u);
    EXPECT_EQ(Lines(received.begin(), received.begin() + 6),
              (Lines{"220-mail.example.net first greeting line", "", "220 second line", "250-mail.example.net",
                     "250-SIZE 1000000", "250 8BITMIME"}));
    EXPECT_EQ(std::count(received.begin(), received.end(), "354 go ahead"), 1);
    EXPECT_TRUE(m.infosOf(Info_RecipientRejected).empty());
}

// A failure reply outside the recipients ends the send at once: error 13, no QUIT.
TEST(SendMail, AFailureReplyAtAnyOtherStepIsError13WithoutQuit)
{
    struct Case {
        const char* what;
        std::function<void(ScriptedServer&)> upTo; // the dialogue before the failing reply
        std::string reply;                         // bytes of the failing reply
        std::string line;                          // the line reported
    };
    const auto greeting = [](ScriptedServer&) {};
    const auto ehlo_ = [](ScriptedServer& s) { s.send("220 hi\r\n").expect(ehlo()); };
    const auto helo_ = [](ScriptedServer& s) {
        s.send("220 hi\r\n").expect(ehlo()).send("500 5.5.1 Command unrecognized\r\n").expect(helo());
    };
    const auto mail = [](ScriptedServer& s) {
        s.send("220 hi\r\n").expect(ehlo()).send("250 hi\r\n").expect("MAIL FROM:<sam@example.org>\r\n");
    };
    const auto data = [](ScriptedServer& s) {
        s.send("220 hi\r\n").expect(ehlo()).send("250 hi\r\n").expect("MAIL FROM:<sam@example.org>\r\n");
        s.send("250 ok\r\n").expect("RCPT TO:<t@x.org>\r\n").send("250 ok\r\n").expect("DATA\r\n");
    };
    const auto dot = [](ScriptedServer& s) {
        opening(s, {"t@x.org"});
        s.expect(kFrom + "To: t@x.org;\r\n" + kPlainHead + ".\r\n");
    };
    const std::vector<Case> cases = {
        {"greeting", greeting, "421 mail.example.net busy\r\n", "421 mail.example.net busy"},
        {"two-line greeting", greeting, "554-no service\r\n554 go away\r\n", "554-no service"},
        {"EHLO", ehlo_, "421 4.3.2 Service not available\r\n", "421 4.3.2 Service not available"},
        {"HELO after a refused EHLO", helo_, "501 Syntax error\r\n", "501 Syntax error"},
        {"MAIL", mail, "550 5.7.1 Sender refused\r\n", "550 5.7.1 Sender refused"},
        {"a \"-\" reply to MAIL", mail, "-ERR what is this\r\n", "-ERR what is this"},
        {"DATA", data, "554 5.5.1 No valid recipients\r\n", "554 5.5.1 No valid recipients"},
        {"the final dot", dot, "552 5.3.4 Message too big\r\n", "552 5.3.4 Message too big"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        c.upTo(server);
        server.send(c.reply).expectClose();
        TestSendMail m;
        m.ListTo = {"t@x.org"};
        m.sendTo(server);
        ASSERT_TRUE(m.waitDone()) << server.report();
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_EQ(m.errors, (Reports{{13, "Unexpected response: " + c.line}}));
        EXPECT_EQ(m.ErrorCode, 13);
        EXPECT_FALSE(m.QuitSent);
        EXPECT_TRUE(m.infosOf(Info_MailSent).empty());
        // Finish empties the recipients.
        EXPECT_TRUE(m.ListTo.empty());
        EXPECT_TRUE(m.TO_Address.empty());
        drainEvents();
        EXPECT_EQ(m.dones, 1);
    }
}

TEST(SendMail, ARefusedRecipientIsReportedOnceAndTheSendGoesOn)
{
    const std::string text = kFrom + "To: a@x.org;\r\nTo: b@x.org;\r\ncc: c@x.org\r\n" + kPlainHead;
    ScriptedServer server;
    server.send("220 hi\r\n")
        .expect(ehlo())
        .send("250 hi\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<a@x.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<b@x.org>\r\n")
        .send("550 5.1.1 No such user\r\n")
        .expect("RCPT TO:<c@x.org>\r\n")
        .send("550-5.2.2 Mailbox full\r\n550 5.2.2 Try again later\r\n")
        .expect("RCPT TO:<d@x.org>\r\n")
        .send("250-Recipient\r\n250 ok\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n");
    closing(server, text);
    TestSendMail m;
    m.ListTo = {"a@x.org", "b@x.org"};
    m.Listcc = {"c@x.org"};
    m.ListBcc = {"d@x.org"};
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_TRUE(m.QuitSent);
    EXPECT_EQ(m.infosOf(Info_RecipientRejected), (Lines{"b@x.org", "c@x.org"}));
    EXPECT_EQ(m.progress(), (std::vector<int>{0, 9, 9, 8, 9, 8, 9, 4, 3}));
}

TEST(SendMail, NoRecipientIsError18WithoutAConnection)
{
    ScriptedServer server;
    for (const Lines& to : {Lines{}, Lines{"", "|Only A Name"}}) {
        TestSendMail m;
        m.ListTo = to;
        m.Listcc = {"|"};
        m.sendTo(server);
        ASSERT_TRUE(m.waitDone());
        EXPECT_EQ(m.errors, (Reports{{18, "Mail Destination Error"}}));
        EXPECT_EQ(m.ErrorCode, 18);
        EXPECT_TRUE(m.infos.empty());
        EXPECT_FALSE(m.HasSocket());
        EXPECT_TRUE(m.ListTo.empty());
        EXPECT_TRUE(m.Listcc.empty());
    }
    drainEvents();
    EXPECT_EQ(server.connections(), 0);
}

// An address that could end a command line or a header never reaches the wire: the recipient is
// refused before the dialogue, left out of the envelope and the headers; the sender ends the send.
TEST(SendMail, AddressesThatCouldInjectCommandsAreRefused)
{
    const std::string text = kFrom + "To: Good <good@example.org>\r\n" + kPlainHead;
    ScriptedServer server;
    opening(server, {"good@example.org"});
    closing(server, text);
    TestSendMail m;
    m.TO_Address = "t@x.org>\r\nRSET";
    m.TO_Name = "T";
    m.ListTo = {"good@example.org|Good", "a@b>\r\nRCPT TO:<c@d|Evil"};
    m.Listcc = {"<x@y.org>"};
    m.ListBcc = {"e@f.org\nDATA", std::string(242, 'l') + "@x"};
    m.sendTo(server);
    // Refused at once, before any connection.
    EXPECT_EQ(m.infosOf(Info_RecipientRejected),
              (Lines{"t@x.org>\r\nRSET", "a@b>\r\nRCPT TO:<c@d", "<x@y.org>", "e@f.org\nDATA", std::string(242, 'l') + "@x"}));
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_TRUE(m.QuitSent);
    EXPECT_EQ(m.infosOf(Info_Recipient), (Lines{"good@example.org"}));
    EXPECT_EQ(m.ListTo, (Lines{"good@example.org|Good"}));
    EXPECT_EQ(server.received().find("c@d"), std::string::npos);

    // Nothing safe left: error 18, no connection.
    ScriptedServer unused;
    TestSendMail only;
    only.ListTo = {"a@b>\r\nRCPT TO:<c@d"};
    only.sendTo(unused);
    ASSERT_TRUE(only.waitDone());
    EXPECT_EQ(only.infos, (Reports{{8, "a@b>\r\nRCPT TO:<c@d"}}));
    EXPECT_EQ(only.errors, (Reports{{18, "Mail Destination Error"}}));

    // A sender that would inject: error 3, no connection.
    TestSendMail sender;
    sender.FROM_Address = "sam@example.org>\r\nRCPT TO:<c@d";
    sender.ListTo = {"good@example.org"};
    sender.sendTo(unused);
    ASSERT_TRUE(sender.waitDone());
    EXPECT_TRUE(sender.infos.empty());
    EXPECT_EQ(sender.errors, (Reports{{3, "Invalid address specified"}}));
    drainEvents();
    EXPECT_EQ(unused.connections(), 0);
}

TEST(SendMail, KeepConnectionOpenSendsTwoMessagesOnOneConnection)
{
    const std::string first = kFrom + "To: a@x.org;\r\nSubject: One  \r\n" + kPlainHead;
    const std::string second = kFrom + "To: b@x.org;\r\nSubject: Two  \r\n" + kPlainHead;
    ScriptedServer server;
    TestSendMail m;
    opening(server, {"a@x.org"});
    server.expect(first + ".\r\n")
        .send("250 first queued\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<b@x.org>\r\n")
        .send("250 ok\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n")
        .expect(second + ".\r\n")
        .send("250 second queued\r\n")
        .expectClose();
    m.KeepConnectionOpen = true;
    m.ListTo = {"a@x.org"};
    m.Subject = "One";
    m.onDone = [&] {
        if (m.dones == 1) {
            EXPECT_TRUE(m.QuitSent);
            EXPECT_TRUE(m.Connected());
            // The next message: new recipients, the first-recipient fields cleared.
            m.TO_Address.clear();
            m.TO_Name.clear();
            m.ListTo = {"b@x.org"};
            m.Subject = "Two";
            m.SetAction(TMailAction::Send_Mail);
        } else {
            m.Disconnect();
        }
    };
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone(2)) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(m.infosOf(Info_Connected).size(), 1u);
    EXPECT_EQ(m.infosOf(Info_MailSent).size(), 2u);
    EXPECT_EQ(m.infosOf(Info_Recipient), (Lines{"a@x.org", "b@x.org"}));
    EXPECT_EQ(server.received().find("QUIT"), std::string::npos);
    drainEvents();
    EXPECT_EQ(m.dones, 2);
}

TEST(SendMail, WithPipeliningTheEnvelopeGoesInOneRoundTripAndEachReplyIsStillChecked)
{
    const std::string text = kFrom + "To: a@x.org;\r\nTo: b@x.org;\r\ncc: c@x.org\r\n" + kPlainHead;
    const std::string envelope =
        "MAIL FROM:<sam@example.org>\r\nRCPT TO:<a@x.org>\r\nRCPT TO:<b@x.org>\r\nRCPT TO:<c@x.org>\r\nDATA\r\n";
    {
        ScriptedServer server;
        server.send("220 hi\r\n")
            .expect(ehlo())
            .send("250-hi\r\n250-PIPELINING\r\n250 8BITMIME\r\n")
            .expect(envelope)
            // Replies split across packets, a refusal of two lines among them.
            .send("250 ok\r\n250 ok\r\n550-5.1.1 No such")
            .send(" user\r\n550 5.1.1 Really\r\n250 ok\r\n354 go\r\n");
        closing(server, text);
        TestSendMail m;
        m.ListTo = {"a@x.org", "b@x.org"};
        m.Listcc = {"c@x.org"};
        m.sendTo(server);
        ASSERT_TRUE(m.waitDone()) << server.report();
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(m.errors.empty());
        EXPECT_EQ(m.infosOf(Info_RecipientRejected), (Lines{"b@x.org"}));
        ASSERT_EQ(m.RefusedRecipients.size(), 1u);
        EXPECT_EQ(m.RefusedRecipients[0].reply, "550-5.1.1 No such user 550 5.1.1 Really");
        EXPECT_EQ(m.infosOf(Info_MailSent).size(), 1u);
    }
    {
        // Every recipient refused: the server's answer to DATA is not taken as a go-ahead.
        ScriptedServer server;
        server.send("220 hi\r\n")
            .expect(ehlo())
            .send("250-hi\r\n250 PIPELINING\r\n")
            .expect(envelope)
            .send("250 ok\r\n550 no\r\n550 no\r\n550 no\r\n554 no valid recipients\r\n")
            .expectClose();
        TestSendMail m;
        m.ListTo = {"a@x.org", "b@x.org"};
        m.Listcc = {"c@x.org"};
        m.sendTo(server);
        ASSERT_TRUE(m.waitDone()) << server.report();
        EXPECT_TRUE(server.waitDone()) << server.report();
        ASSERT_EQ(m.errors.size(), 1u);
        EXPECT_EQ(m.errors[0].first, Error_RecipientsRefused);
        EXPECT_EQ(m.RefusedRecipients.size(), 3u);
    }
}

// A kept connection between two sends: what the server says then belongs to no send.
TEST(SendMail, LinesOnAKeptConnectionBetweenSendsAreIgnored)
{
    const std::string text = kFrom + "To: a@x.org;\r\n" + kPlainHead;
    ScriptedServer server;
    TestSendMail m;
    opening(server, {"a@x.org"});
    server.expect(text + ".\r\n")
        .send("250 queued\r\n")
        .await([&] { return m.dones == 1; }, "the send ended")
        .send("421 4.4.2 Idle for too long\r\n")
        .close();
    m.KeepConnectionOpen = true;
    m.ListTo = {"a@x.org"};
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.Connected(); }, 10000));
    drainEvents();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_EQ(m.infosOf(Info_MailSent).size(), 1u);
    EXPECT_EQ(m.infosOf(Info_Received).back(), "250 queued");
    EXPECT_EQ(m.dones, 1);
    EXPECT_TRUE(m.QuitSent);
}

TEST(SendMail, CancelEndsTheSendWithCode14AndNoErrorReport)
{
    ScriptedServer server;
    TestSendMail m;
    server.send("220 hi\r\n")
        .expect(ehlo())
        .send("250 hi\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .call([&] {
            const std::size_t before = m.infos.size();
            m.SetAction(TMailAction::Send_Mail); // a second start while one runs
            EXPECT_EQ(m.infos.size(), before + 1);
            EXPECT_EQ(m.infos.back(), std::make_pair(13, std::string()));
            m.SetAction(TMailAction::Cancel_SendMail);
        }, "the user cancels")
        .expectClose();
    m.ListTo = {"t@x.org"};
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_EQ(m.ErrorCode, 14);
    EXPECT_FALSE(m.QuitSent);
    EXPECT_TRUE(m.ListTo.empty());
    EXPECT_TRUE(m.TO_Address.empty());
    drainEvents();
    EXPECT_EQ(m.dones, 1);
    // A cancel after the end changes nothing.
    m.SetAction(TMailAction::Cancel_SendMail);
    drainEvents();
    EXPECT_EQ(m.dones, 1);
}

TEST(SendMail, CancelDuringALargeAttachmentSendsNoFinalDot)
{
    TempDir dir;
    const std::string path = dir.path() + "big.bin";
    std::string bytes(20 * 1024 * 1024, '\0');
    std::mt19937 gen(7);
    for (char& c : bytes)
        c = static_cast<char>(gen());
    writeBytes(path, bytes);

    ScriptedServer server;
    server.send("220 hi\r\n")
        .expect(ehlo())
        .send("250 hi\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<t@x.org>\r\n")
        .send("250 ok\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n")
        .stall(); // takes nothing more: the client's buffer fills up
    TestSendMail m;
    QTimer user;
    user.setInterval(1);
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (m.PendingWriteBytes() >= kWriteBufferLimit / 2)
            m.SetAction(TMailAction::Cancel_SendMail);
    });
    int endings = 0; // writes that end the DATA text with "."
    m.OnMailInfo = [&](int i, const std::string& a) {
        if (i == Info_AttachmentSize)
            user.start();
        if (i == Info_Sending && (a == ".\r\n" || (a.size() >= 5 && a.compare(a.size() - 5, 5, "\r\n.\r\n") == 0)))
            ++endings;
    };
    m.ListTo = {"t@x.org"};
    TOutgoingAttachment a;
    a.Path = path;
    a.Encoding = kEncodingBase64;
    ASSERT_TRUE(m.AddAttachment(a));
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone(1, 30000));
    user.stop();
    EXPECT_EQ(m.ErrorCode, 14);
    EXPECT_TRUE(m.errors.empty());
    EXPECT_EQ(endings, 0);
    EXPECT_FALSE(m.HasSocket());
}

TEST(SendMail, AServerClosingBeforeTheMessageWasAcceptedIsError17)
{
    const std::string text = kFrom + "To: t@x.org;\r\n" + kPlainHead;
    struct Case {
        const char* what;
        std::function<void(ScriptedServer&)> script;
    };
    const std::vector<Case> cases = {
        {"before the greeting", [](ScriptedServer& s) { s.close(); }},
        {"after EHLO", [](ScriptedServer& s) { s.send("220 hi\r\n").expect(ehlo()).close(); }},
        {"after the final dot", [&](ScriptedServer& s) {
             opening(s, {"t@x.org"});
             s.expect(text + ".\r\n").close();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        c.script(server);
        TestSendMail m;
        m.ListTo = {"t@x.org"};
        m.sendTo(server);
        ASSERT_TRUE(m.waitDone()) << server.report();
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_EQ(m.errors, (Reports{{17, "Prematurely Disconnected"}}));
        EXPECT_EQ(m.ErrorCode, 17);
        EXPECT_FALSE(m.QuitSent);
        EXPECT_EQ(m.progress().back(), Info_Disconnected);
        EXPECT_TRUE(m.infosOf(Info_MailSent).empty());
    }
}

TEST(SendMail, ASilentServerEndsWithError8)
{
    ScriptedServer server;
    server.send("220 hi\r\n").expect(ehlo()).stall();
    TestSendMail m;
    m.TimeoutIdle = 1;
    m.ListTo = {"t@x.org"};
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone(1, 10000)) << server.report();
    EXPECT_EQ(m.errors, (Reports{{8, "Connection timed out"}}));
    EXPECT_EQ(m.ErrorCode, 8);
    EXPECT_FALSE(m.HasSocket());
}

TEST(SendMail, SocketErrorsGiveSendMailsCodes)
{
    TestSendMail refused;
    refused.ListTo = {"t@x.org"};
    refused.sendTo(freeLoopbackPort());
    ASSERT_TRUE(refused.waitDone());
    EXPECT_EQ(refused.errors, (Reports{{12, "Connection Refused"}}));
    EXPECT_TRUE(refused.ListTo.empty());

    TestSendMail unknown;
    unknown.ListTo = {"t@x.org"};
    unknown.sendTo(25, std::string(64, 'x') + ".example");
    ASSERT_TRUE(unknown.waitDone());
    EXPECT_EQ(unknown.errors, (Reports{{16, "Address resolution error"}}));
    EXPECT_EQ(unknown.infosOf(Info_Resolving), (Lines{std::string(64, 'x') + ".example"}));
}

TEST(SendMail, AHostNameIsResolvedAndConnectedOnSMTP_Port)
{
    ScriptedServer server;
    server.send("421 go away\r\n").expectClose();
    TestSendMail m;
    m.ListTo = {"t@x.org"};
    m.sendTo(server.port(), "localhost");
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    ASSERT_GE(m.infos.size(), 3u);
    EXPECT_EQ(m.infos[0], std::make_pair(15, std::string("localhost")));
    EXPECT_EQ(m.infos[1], std::make_pair(14, std::string("127.0.0.1")));
    EXPECT_EQ(m.infos[2], std::make_pair(0, std::string("127.0.0.1")));
    EXPECT_EQ(m.errors, (Reports{{13, "Unexpected response: 421 go away"}}));
}

// An attachment that cannot be read ends the send before "." could deliver a truncated message.
TEST(SendMail, AnUnreadableAttachmentIsError4AndNoDotFollows)
{
    TempDir dir;
    const std::string missing = dir.path() + "gone.pdf";
    writeBytes(missing, "%PDF");
    // The file goes while the server is being talked to, after the check before MAIL FROM.
    ScriptedServer server;
    server.send("220 hi\r\n")
        .expect(ehlo())
        .send("250 hi\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<t@x.org>\r\n")
        .call([&] { std::filesystem::remove(missing); }, "remove the attachment")
        .send("250 ok\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n")
        .expectClose();
    TestSendMail m;
    m.ListTo = {"t@x.org"};
    TOutgoingAttachment a;
    a.Path = missing;
    a.Encoding = kEncodingBase64;
    ASSERT_TRUE(m.AddAttachment(a));
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.waitClientClosed());
    EXPECT_EQ(m.errors, (Reports{{4, "Unexpected internal error in component: Attachment \"" + missing +
                                         "\": cannot be opened: No such file or directory"}}));
    const std::string commands = ehlo() + "MAIL FROM:<sam@example.org>\r\nRCPT TO:<t@x.org>\r\nDATA\r\n";
    // Nothing of the broken message went out: no header, no part, no ".".
    EXPECT_EQ(m.sent(), commands);
    EXPECT_EQ(server.received(), commands);
    EXPECT_EQ(m.infosOf(Info_Attachment), (Lines{missing}));
    EXPECT_FALSE(m.QuitSent);
    drainEvents();
    EXPECT_EQ(m.dones, 1);
}

// A file moved away after the message was written is found before the server hears of it.
TEST(SendMail, AnAttachmentThatHasGoneStopsTheSendBeforeMailFrom)
{
    TempDir dir;
    ScriptedServer server;
    TestSendMail m;
    m.ListTo = {"t@x.org"};
    TOutgoingAttachment a;
    a.Path = dir.path() + "r\xc3\xa9sum\xc3\xa9.txt";
    ASSERT_TRUE(m.AddAttachment(a));
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone());
    EXPECT_EQ(m.errors, (Reports{{4, "Unexpected internal error in component: Attachment \"" + a.Path +
                                         "\": cannot be opened: No such file or directory"}}));
    drainEvents();
    EXPECT_EQ(server.connections(), 0);
}

// The server's word on each recipient is kept; a message refused for everyone is never sent.
TEST(SendMail, RefusedRecipientsAreNeverReportedAsSent)
{
    const std::string text = kFrom + "To: a@x.org;\r\nTo: b@x.org;\r\ncc: c@x.org\r\n" + kPlainHead;
    ScriptedServer some;
    some.send("220 hi\r\n")
        .expect(ehlo())
        .send("250 hi\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<a@x.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<b@x.org>\r\n")
        .send("550 5.1.1 No such user\r\n")
        .expect("RCPT TO:<c@x.org>\r\n")
        .send("450-4.2.2 Mailbox full\r\n450 4.2.2 Try again later\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n");
    closing(some, text);
    TestSendMail m;
    m.ListTo = {"a@x.org", "b@x.org"};
    m.Listcc = {"c@x.org"};
    m.sendTo(some);
    ASSERT_TRUE(m.waitDone()) << some.report();
    EXPECT_TRUE(some.waitDone()) << some.report();
    EXPECT_TRUE(m.QuitSent);
    EXPECT_TRUE(m.errors.empty());
    ASSERT_EQ(m.RefusedRecipients.size(), 2u);
    EXPECT_EQ(m.RefusedRecipients[0].address, "b@x.org");
    EXPECT_EQ(m.RefusedRecipients[0].reply, "550 5.1.1 No such user");
    EXPECT_FALSE(m.RefusedRecipients[0].temporary());
    EXPECT_EQ(m.RefusedRecipients[1].address, "c@x.org");
    EXPECT_EQ(m.RefusedRecipients[1].reply, "450-4.2.2 Mailbox full 450 4.2.2 Try again later");
    EXPECT_TRUE(m.RefusedRecipients[1].temporary());

    ScriptedServer none;
    none.send("220 hi\r\n")
        .expect(ehlo())
        .send("250 hi\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<a@x.org>\r\n")
        .send("550 5.1.1 No such user\r\n")
        .expect("RCPT TO:<b@x.org>\r\n")
        .send("451 4.3.0 Try later\r\n")
        .expectClose();
    TestSendMail all;
    all.ListTo = {"a@x.org", "b@x.org"};
    all.sendTo(none);
    ASSERT_TRUE(all.waitDone()) << none.report();
    EXPECT_TRUE(none.waitDone()) << none.report();
    EXPECT_FALSE(all.QuitSent);
    EXPECT_EQ(all.ErrorCode, Error_RecipientsRefused);
    EXPECT_EQ(all.errors, (Reports{{20, "Every recipient was refused\r\na@x.org: 550 5.1.1 No such user\r\n"
                                        "b@x.org: 451 4.3.0 Try later"}}));
    EXPECT_EQ(all.RefusedRecipients.size(), 2u);
}

// The answer to QUIT ends the send even when the server does not close the connection.
TEST(SendMail, AServerKeepingTheConnectionAfterQuitDoesNotTurnTheSendIntoATimeout)
{
    ScriptedServer server;
    opening(server, {"t@x.org"});
    server.expect(kFrom + "To: t@x.org;\r\n" + kPlainHead + ".\r\n")
        .send("250 Queued\r\n")
        .expect("QUIT\r\n")
        .send("221 Bye\r\n")
        .expectClose();
    TestSendMail m;
    m.ListTo = {"t@x.org"};
    m.TimeoutIdle = 30;
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_TRUE(m.QuitSent);
    EXPECT_EQ(m.progress(), (std::vector<int>{0, 9, 4, 3}));
    drainEvents();
    EXPECT_EQ(m.dones, 1);
}

// STARTTLS: EHLO in plain text, the switch, EHLO again over TLS; the secure EHLO's reply decides
// the rest, and MAIL FROM is the first thing of the message the server sees.
namespace {

void sendWithStartTls(TestSendMail& m, const ScriptedServer& server)
{
    m.SMTP_Security = ConnectionSecurity::StartTls;
    m.CaFile = testCertificates().ca.certificate;
    m.TimeoutConnect = 10;
    m.ListTo = {"t@x.org"};
    m.sendTo(server);
}

} // namespace

TEST(SendMailStartTls, TheDialogueSwitchesToTlsAndGreetsAgainBeforeMailFrom)
{
    ScriptedServer server;
    server.send("220 mail.example.net ESMTP\r\n")
        .expect(ehlo())
        .send("250-mail.example.net\r\n250-SIZE 1000000\r\n250-starttls\r\n250 8BITMIME\r\n")
        .expect("STARTTLS\r\n")
        .send("220 2.0.0 Ready to start TLS\r\n")
        .startTls(testCertificates().server)
        .expect(ehlo())
        .send("250-mail.example.net\r\n250 8BITMIME\r\n")
        .expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 OK\r\n")
        .expect("RCPT TO:<t@x.org>\r\n")
        .send("250 OK\r\n")
        .expect("DATA\r\n")
        .send("354 go ahead\r\n");
    closing(server, kFrom + "To: t@x.org;\r\n" + kPlainHead);
    TestSendMail m;
    std::string protocol;
    m.OnMailInfo = [&](int info, const std::string& addinfo) {
        m.infos.emplace_back(info, addinfo);
        if (info == Info_Recipient)
            protocol = m.EncryptionText();
    };
    sendWithStartTls(m, server);
    ASSERT_TRUE(m.waitDone(1, 15000)) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_TRUE(m.QuitSent);
    EXPECT_TRUE(protocol == "TLS 1.3" || protocol == "TLS 1.2") << protocol;
}

// Without STARTTLS nothing follows the plain EHLO: no sender, no recipient, no message.
TEST(SendMailStartTls, AServerWithoutStartTlsGetsNothingAfterEhlo)
{
    const std::string text = kTextStartTlsUnavailable;
    struct Case {
        const char* what;
        std::string ehloReply;  // after the greeting and our EHLO
        std::string error;
    };
    const std::vector<Case> cases = {
        {"not offered", "250-mail.example.net\r\n250-STARTTLSX\r\n250 SIZE\r\n", text},
        {"no extensions at all", "502 5.5.1 EHLO not implemented\r\n", text + ": 502 5.5.1 EHLO not implemented"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        server.send("220 hi\r\n").expect(ehlo()).send(c.ehloReply).expectClose();
        TestSendMail m;
        sendWithStartTls(m, server);
        ASSERT_TRUE(m.waitDone()) << server.report();
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_EQ(m.errors, (Reports{{Error_StartTlsUnavailable, c.error}}));
        EXPECT_EQ(m.ErrorCode, 21);
        EXPECT_FALSE(m.QuitSent);
    }
}

TEST(SendMailStartTls, ARefusedStartTlsIsError21WithTheServersReply)
{
    ScriptedServer server;
    server.send("220 hi\r\n")
        .expect(ehlo())
        .send("250-hi\r\n250 STARTTLS\r\n")
        .expect("STARTTLS\r\n")
        .send("454 4.7.0 TLS not available due to temporary reason\r\n")
        .expectClose();
    TestSendMail m;
    sendWithStartTls(m, server);
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(m.errors, (Reports{{21, std::string(kTextStartTlsUnavailable) +
                                          ": 454 4.7.0 TLS not available due to temporary reason"}}));
    EXPECT_FALSE(m.QuitSent);
}

// Sign-in: the exchanges byte for byte, the preferred mechanism, and credentials kept off the
// progress reports.
namespace {

// The dialogue from the greeting to the answer of the last credential line.
struct SignIn {
    const char* what;
    std::string ehloReply;
    std::vector<std::pair<std::string, std::string>> exchange; // a line we write, the server's answer
    Lines shown; // what the progress reports of our lines
};

void signedInSend(ScriptedServer& server, const std::string& ehloReply,
                  const std::vector<std::pair<std::string, std::string>>& exchange)
{
    server.send("220 mail.example.net ESMTP\r\n").expect(ehlo()).send(ehloReply);
    for (const auto& [line, answer] : exchange)
        server.expect(line).send(answer);
    server.expect("MAIL FROM:<sam@example.org>\r\n")
        .send("250 OK\r\n")
        .expect("RCPT TO:<t@x.org>\r\n")
        .send("250 OK\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n");
    closing(server, kFrom + "To: t@x.org;\r\n" + kPlainHead);
}

} // namespace

TEST(SendMailSignIn, EachMechanismSignsInBeforeMailFromWithoutShowingTheCredentials)
{
    const std::string cramChallenge = "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n";
    const std::vector<SignIn> cases = {
        {"CRAM-MD5 first when offered (RFC 2195's example)",
         "250-mail.example.net\r\n250-AUTH PLAIN LOGIN cram-md5\r\n250 8BITMIME\r\n",
         {{"AUTH CRAM-MD5\r\n", cramChallenge},
          {"dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n", "235 2.7.0 Authentication successful\r\n"}},
         {"AUTH CRAM-MD5\r\n", "****\r\n"}},
        {"PLAIN with its initial response", "250-mail.example.net\r\n250 auth LOGIN PLAIN\r\n",
         {{"AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n", "235 2.7.0 Accepted\r\n"}},
         {"AUTH PLAIN ****\r\n"}},
        {"LOGIN, in the old AUTH= form", "250-mail.example.net\r\n250-AUTH=LOGIN\r\n250 SIZE\r\n",
         {{"AUTH LOGIN\r\n", "334 VXNlcm5hbWU6\r\n"},
          {"dGlt\r\n", "334 UGFzc3dvcmQ6\r\n"},
          {"dGFuc3RhYWZ0YW5zdGFhZg==\r\n", "235 2.7.0 Accepted\r\n"}},
         {"AUTH LOGIN\r\n", "****\r\n", "****\r\n"}},
    };
    for (const SignIn& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        signedInSend(server, c.ehloReply, c.exchange);
        TestSendMail m;
        m.SMTP_User = "tim";
        m.SMTP_Password = "tanstaaftanstaaf";
        m.ListTo = {"t@x.org"};
        m.sendTo(server);
        ASSERT_TRUE(m.waitDone()) << server.report();
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(m.errors.empty());
        EXPECT_TRUE(m.QuitSent);
        // After EHLO: the sign-in lines as reported, then MAIL FROM.
        const Lines sending = m.infosOf(Info_Sending);
        ASSERT_GT(sending.size(), c.shown.size() + 1);
        EXPECT_EQ(Lines(sending.begin() + 1, sending.begin() + 1 + static_cast<long>(c.shown.size())), c.shown);
        EXPECT_EQ(sending[c.shown.size() + 1], "MAIL FROM:<sam@example.org>\r\n");
    }
}

// A long user name and password make a PLAIN line far beyond a command's 253 characters.
TEST(SendMailSignIn, ALongPlainResponseArrivesWholeInOneLine)
{
    const std::string user = std::string(150, 'u') + "@example.org";
    const std::string password = std::string(120, 'p');
    const std::string response =
        QByteArray::fromStdString(std::string(1, '\0') + user + '\0' + password).toBase64().toStdString();
    ASSERT_GT(response.size(), kMaxCommandLength);
    ScriptedServer server;
    signedInSend(server, "250-mail.example.net\r\n250 AUTH PLAIN\r\n", {{"AUTH PLAIN " + response + "\r\n", "235 ok\r\n"}});
    TestSendMail m;
    m.SMTP_User = user;
    m.SMTP_Password = password;
    m.ListTo = {"t@x.org"};
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(m.errors.empty());
}

// Old servers answer EHLO with 500: HELO, and the send goes on as it always did. Without a user
// nothing is signed in, even where the server offers it.
TEST(SendMailSignIn, ARefusedEhloFallsBackToHeloAndNoUserMeansNoSignIn)
{
    for (const bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "EHLO refused" : "AUTH offered");
        ScriptedServer server;
        server.send("220 old.example.net\r\n").expect(ehlo());
        if (refused)
            server.send("500 5.5.1 Command unrecognized: \"EHLO\"\r\n").expect(helo()).send("250 old.example.net\r\n");
        else
            server.send("250-mail.example.net\r\n250 AUTH PLAIN LOGIN\r\n");
        server.expect("MAIL FROM:<sam@example.org>\r\n")
            .send("250 OK\r\n")
            .expect("RCPT TO:<t@x.org>\r\n")
            .send("250 OK\r\n")
            .expect("DATA\r\n")
            .send("354 go\r\n");
        closing(server, kFrom + "To: t@x.org;\r\n" + kPlainHead);
        TestSendMail m;
        m.ListTo = {"t@x.org"};
        m.sendTo(server);
        ASSERT_TRUE(m.waitDone()) << server.report();
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(m.errors.empty());
        EXPECT_TRUE(m.QuitSent);
    }
}

// A server that offers no sign-in we know (after STARTTLS: none in the secure EHLO reply, whatever
// the plain one said) gets neither a credential nor the message.
TEST(SendMailSignIn, NoUsableSignInIsError23AndNothingMoreIsSent)
{
    const std::string text = kTextSignInUnavailable;
    struct Case {
        const char* what;
        std::function<void(ScriptedServer&)> script; // up to the client's close
        ConnectionSecurity security;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"no AUTH", [](ScriptedServer& s) { s.send("220 hi\r\n").expect(ehlo()).send("250-hi\r\n250 SIZE 100\r\n"); },
         ConnectionSecurity::None, text},
        {"only HELO", [](ScriptedServer& s) {
             s.send("220 hi\r\n").expect(ehlo()).send("502 5.5.2 Error\r\n").expect(helo()).send("250 hi\r\n");
         },
         ConnectionSecurity::None, text},
        {"mechanisms we do not know", [](ScriptedServer& s) {
             s.send("220 hi\r\n").expect(ehlo()).send("250-hi\r\n250 AUTH GSSAPI XOAUTH2 " + std::string(300, 'X') + "\r\n");
         },
         ConnectionSecurity::None, text + "\r\nSign-in methods the server offers: GSSAPI XOAUTH2"},
        {"AUTH only before STARTTLS", [](ScriptedServer& s) {
             s.send("220 hi\r\n")
                 .expect(ehlo())
                 .send("250-hi\r\n250-AUTH PLAIN LOGIN\r\n250 STARTTLS\r\n")
                 .expect("STARTTLS\r\n")
                 .send("220 go ahead\r\n")
                 .startTls(testCertificates().server)
                 .expect(ehlo())
                 .send("250-hi\r\n250 SIZE 100\r\n");
         },
         ConnectionSecurity::StartTls, text},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        c.script(server);
        server.expectClose();
        TestSendMail m;
        m.SMTP_User = "tim";
        m.SMTP_Password = "tanstaaftanstaaf";
        m.SMTP_Security = c.security;
        m.CaFile = testCertificates().ca.certificate;
        m.ListTo = {"t@x.org"};
        m.sendTo(server);
        ASSERT_TRUE(m.waitDone(1, 15000)) << server.report();
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_EQ(m.errors, (Reports{{Error_AuthenticationUnavailable, c.error}}));
        EXPECT_EQ(m.sent().find("AUTH"), std::string::npos);
        EXPECT_FALSE(m.QuitSent);
    }
}

// A refusal at any step of the exchange ends the send with the server's whole reply.
TEST(SendMailSignIn, ARefusedSignInIsError22WithTheServersReply)
{
    ScriptedServer server;
    server.send("220 hi\r\n")
        .expect(ehlo())
        .send("250 AUTH LOGIN\r\n")
        .expect("AUTH LOGIN\r\n")
        .send("334 VXNlcm5hbWU6\r\n")
        .expect("dGlt\r\n")
        .send("334 UGFzc3dvcmQ6\r\n")
        .expect("d3Jvbmc=\r\n")
        .send("535-5.7.8 Username and Password not accepted.\r\n535 5.7.8 Try again\r\n")
        .expectClose();
    TestSendMail m;
    m.SMTP_User = "tim";
    m.SMTP_Password = "wrong";
    m.ListTo = {"t@x.org"};
    m.sendTo(server);
    ASSERT_TRUE(m.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(m.errors, (Reports{{22, "Sign-in refused: 535-5.7.8 Username and Password not accepted. 535 5.7.8 Try again"}}));
    EXPECT_FALSE(m.QuitSent);
}

TEST(SendMailSignIn, AKeptConnectionSignsInOnce)
{
    TestSendMail m;
    ScriptedServer kept;
    kept.send("220 hi\r\n")
        .expect(ehlo())
        .send("250 AUTH PLAIN\r\n")
        .expect("AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n")
        .send("235 ok\r\n");
    for (const char* to : {"a@x.org", "b@x.org"})
        kept.expect("MAIL FROM:<sam@example.org>\r\n")
            .send("250 ok\r\n")
            .expect("RCPT TO:<" + std::string(to) + ">\r\n")
            .send("250 ok\r\n")
            .expect("DATA\r\n")
            .send("354 go\r\n")
            .expect(kFrom + "To: " + to + ";\r\n" + kPlainHead + ".\r\n")
            .send("250 queued\r\n");
    kept.expectClose();
    m.SMTP_User = "tim";
    m.SMTP_Password = "tanstaaftanstaaf";
    m.KeepConnectionOpen = true;
    m.ListTo = {"a@x.org"};
    m.onDone = [&] {
        if (m.dones == 1) {
            m.TO_Address.clear();
            m.ListTo = {"b@x.org"};
            m.SetAction(TMailAction::Send_Mail);
        } else {
            m.Disconnect();
        }
    };
    m.sendTo(kept);
    ASSERT_TRUE(m.waitDone(2)) << kept.report();
    EXPECT_TRUE(kept.waitDone()) << kept.report();
    EXPECT_TRUE(m.errors.empty());
}
