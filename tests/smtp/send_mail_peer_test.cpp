// The SMTP session against a real server (aiosmtpd): what it stores must be the envelope given
// and a message Python's email package reads back to the values and bytes sent.
#include "smtp/send_mail.h"

#include "smtp/outbox.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>
#include <QTest>

#include <filesystem>
#include <random>
#include <tuple>

#include "peers/peer_fixtures.h"
#include "peers/test_certificates.h"
#include "support/test_support.h"

using namespace tavik;
using namespace tavik::test;

namespace {

using Lines = std::vector<std::string>;

// A SendMail aimed at a sink, recording its reports.
class PeerSendMail : public SendMail {
public:
    std::vector<std::pair<int, std::string>> infos, errors;
    int dones = 0;

    explicit PeerSendMail(const SmtpSink& sink)
    {
        OnMailInfo = [this](int i, const std::string& a) {
            if (i != Info_Sending) // keeps the 20 MB of a large message out of the record
                infos.emplace_back(i, a);
        };
        OnMailError = [this](int e, const std::string& a) { errors.emplace_back(e, a); };
        OnDone = [this] { ++dones; };
        SetSMTP_Server(sink.host());
        SMTP_Port = sink.port();
        FROM_Name = "Sam Sender";
        FROM_Address = "sam@example.org";
    }
    bool send(int timeoutMs = 30000)
    {
        const int before = dones;
        SetAction(TMailAction::Send_Mail);
        return QTest::qWaitFor([&] { return dones > before; }, timeoutMs);
    }
    Lines infosOf(int code) const
    {
        Lines v;
        for (const auto& [c, a] : infos)
            if (c == code)
                v.push_back(a);
        return v;
    }
};

std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen() & 255);
    return s;
}

class SendMailPeer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sink.start()) << sink.error() << sink.log(); }

    TempDir dir;
    SmtpSink sink;
};

} // namespace

// Runs check_message.py on a message as the server keeps it; empty when it found everything as
// expected, else what it says. (Shared with the scripted tests.)
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

// To, cc and Bcc recipients, a non-ASCII subject and names, extra headers, an 8-bit body and
// one attachment in each of the four forms.
TEST_F(SendMailPeer, AMessageWithEverythingArrivesAsSent)
{
    const std::string binary = randomBytes(100000, 1);
    std::string latinText;
    for (int i = 0; i < 300; ++i)
        latinText += "Ligne " + std::to_string(i) + " : caf\xe9, cr\xe8me, =, tab\there.\r\n";
    std::string asciiText;
    for (int i = 0; i < 500; ++i)
        asciiText += "plain line " + std::to_string(i) + "\r\n" + (i % 50 == 0 ? ".starts with a dot\r\n" : "");
    const std::string pictures = randomBytes(4567, 2);
    writeBytes(dir.path() + "data.bin", binary);
    writeBytes(dir.path() + "lettre.txt", latinText);
    writeBytes(dir.path() + "notes.txt", asciiText);
    writeBytes(dir.path() + "photo.jpg", pictures);

    PeerSendMail m(sink);
    m.ListTo = {"ann@example.net|Ann Example", "bob@example.net"};
    m.Listcc = {"zoe@example.net|Zo\xeb Exemple"};
    m.ListBcc = {"hidden@example.net"};
    m.Subject = "Gr\xfc\xdf" "e aus K\xf6ln";
    m.Headers = {"X-Priority: 3", "Reply-To: sam.reply@example.org", "X-Note: caf\xe9"};
    m.MailText = {"Hello,", "voil\xe0 the files.", ".", "Sam"};
    TOutgoingAttachment a;
    a.Path = dir.path() + "data.bin";
    a.Encoding = kEncodingAutomatic; // bytes of 128 and more: base64
    a.Description = "Random data";
    ASSERT_TRUE(m.AddAttachment(a));
    a = {};
    a.Path = dir.path() + "lettre.txt";
    a.Encoding = kEncodingQuotedPrintable;
    a.MimeType = "text/plain";
    ASSERT_TRUE(m.AddAttachment(a));
    a = {};
    a.Path = dir.path() + "notes.txt";
    a.MimeType = "text/plain"; // ASCII lines: plain text
    ASSERT_TRUE(m.AddAttachment(a));
    a = {};
    a.Path = dir.path() + "photo.jpg";
    a.Encoding = kEncodingUuencode;
    ASSERT_TRUE(m.AddAttachment(a));

    ASSERT_TRUE(m.send()) << sink.log();
    EXPECT_TRUE(m.errors.empty()) << m.errors.front().second;
    EXPECT_TRUE(m.QuitSent);
    ASSERT_TRUE(sink.waitForMessages(1));
    const std::vector<SmtpMessage> got = sink.messages();
    ASSERT_EQ(got.size(), 1u);
    const SmtpMessage& msg = got[0];
    EXPECT_EQ(msg.mail_from, "sam@example.org");
    EXPECT_EQ(msg.rcpt_tos, (Lines{"ann@example.net", "bob@example.net", "zoe@example.net", "hidden@example.net"}));
    EXPECT_FALSE(msg.helo.empty());
    EXPECT_EQ(msg.content.find("hidden@example.net"), std::string::npos);
    EXPECT_EQ(m.infosOf(Info_Attachment),
              (Lines{dir.path() + "data.bin", dir.path() + "lettre.txt", dir.path() + "notes.txt", dir.path() + "photo.jpg"}));

    const std::string check = pythonCheck(dir, msg.content, R"({
        "addresses": {"From": [["Sam Sender", "sam@example.org"]],
                      "To": [["Ann Example", "ann@example.net"], ["", "bob@example.net"]],
                      "Cc": [["Zo\u00eb Exemple", "zoe@example.net"]]},
        "headers": {"Subject": ["Gr\u00fc\u00dfe aus K\u00f6ln"], "Bcc": [], "X-Priority": ["3"],
                    "Reply-To": ["sam.reply@example.org"], "X-Note": ["caf\u00e9"]},
        "text": {"content_type": "text/plain", "params": {"charset": "UTF-8"}, "cte": "quoted-printable",
                 "content": "Hello,\r\nvoil\u00e0 the files.\r\n.\r\nSam\r\n"},
        "attachments": [
            {"content_type": "application/octet-stream", "params": {"name": "data.bin"}, "cte": "base64",
             "disposition": "attachment", "disp_params": {"filename": "data.bin"}, "description": "Random data",
             "file": ")" + dir.path() + R"(data.bin"},
            {"content_type": "text/plain", "params": {"name": "lettre.txt"}, "cte": "quoted-printable",
             "file": ")" + dir.path() + R"(lettre.txt"},
            {"content_type": "text/plain", "params": {"name": "notes.txt"}, "cte": null,
             "file": ")" + dir.path() + R"(notes.txt", "crlf_lines": true},
            {"content_type": "application/octet-stream", "params": {"name": "photo.uue"}, "cte": null,
             "disp_params": {"filename": "photo.uue"}, "uuencode": {"mode": "666", "name": "photo.jpg"},
             "file": ")" + dir.path() + R"(photo.jpg"}
        ]})");
    EXPECT_EQ(check, "");
}

TEST(SendMailPeerRefusals, ARefusedRecipientIsReportedAndTheOthersGetTheMessage)
{
    TempDir dir;
    SmtpSink sink;
    sink.rejectRecipient("nobody@example.net");
    ASSERT_TRUE(sink.start()) << sink.error();
    PeerSendMail m(sink);
    m.ListTo = {"ann@example.net", "nobody@example.net"};
    m.ListBcc = {"bcc@example.net"};
    m.Subject = "Refused";
    m.MailText = {"text"};
    ASSERT_TRUE(m.send()) << sink.log();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_TRUE(m.QuitSent);
    EXPECT_EQ(m.infosOf(Info_RecipientRejected), (Lines{"nobody@example.net"}));
    ASSERT_TRUE(sink.waitForMessages(1));
    const std::vector<SmtpMessage> got = sink.messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rcpt_tos, (Lines{"ann@example.net", "bcc@example.net"}));
    EXPECT_EQ(pythonCheck(dir, got[0].content, R"({"addresses": {"To": [["", "ann@example.net"], ["", "nobody@example.net"]]},
                                                   "headers": {"Subject": ["Refused"], "Bcc": []},
                                                   "text": {"body": "text\r\n\r\n"}})"),
              "");
}

TEST(SendMailPeerRefusals, RefusedDataIsError13AndNothingIsStored)
{
    SmtpSink sink;
    sink.rejectData();
    ASSERT_TRUE(sink.start()) << sink.error();
    PeerSendMail m(sink);
    m.ListTo = {"ann@example.net"};
    m.MailText = {"text"};
    ASSERT_TRUE(m.send()) << sink.log();
    EXPECT_EQ(m.errors, (std::vector<std::pair<int, std::string>>{{13, "Unexpected response: 554 5.3.0 Transaction failed"}}));
    EXPECT_FALSE(m.QuitSent);
    EXPECT_TRUE(m.infosOf(Info_MailSent).empty());
    EXPECT_TRUE(sink.messages().empty());
}

// "a@b>" CR LF "RCPT TO:<c@d" would be a second recipient on the wire; line breaks in the
// subject, names and headers would be header lines of their own.
TEST_F(SendMailPeer, InjectedLineBreaksNeverBecomeCommandsOrHeaders)
{
    PeerSendMail only(sink);
    only.ListTo = {"a@b>\r\nRCPT TO:<c@d"};
    ASSERT_TRUE(only.send());
    EXPECT_EQ(only.errors, (std::vector<std::pair<int, std::string>>{{18, "Mail Destination Error"}}));
    EXPECT_TRUE(only.infosOf(Info_Connected).empty());

    PeerSendMail m(sink);
    m.ListTo = {"good@example.org|Good\r\nBcc: c@d", "a@b>\r\nRCPT TO:<c@d"};
    m.Listcc = {"x@y>\nRCPT TO:<c@d|X"};
    m.Subject = "Hi\r\nBcc: c@d";
    m.Headers = {"X-Note: one\r\nBcc: c@d"};
    m.MailText = {"body"};
    ASSERT_TRUE(m.send()) << sink.log();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_EQ(m.infosOf(Info_RecipientRejected), (Lines{"a@b>\r\nRCPT TO:<c@d", "x@y>\nRCPT TO:<c@d"}));
    ASSERT_TRUE(sink.waitForMessages(1));
    const std::vector<SmtpMessage> got = sink.messages();
    ASSERT_EQ(got.size(), 1u); // the first send delivered nothing
    EXPECT_EQ(got[0].rcpt_tos, (Lines{"good@example.org"}));
    EXPECT_EQ(pythonCheck(dir, got[0].content, R"({"addresses": {"To": [["Good Bcc: c@d", "good@example.org"]]},
                                                   "headers": {"Bcc": [], "Cc": [], "Subject": ["Hi Bcc: c@d"],
                                                               "X-Note": ["one Bcc: c@d"]}})"),
              "");
}

TEST_F(SendMailPeer, AKeptConnectionDeliversTwoMessages)
{
    PeerSendMail m(sink);
    m.KeepConnectionOpen = true;
    m.ListTo = {"one@example.net"};
    m.Subject = "First";
    m.MailText = {"first"};
    ASSERT_TRUE(m.send()) << sink.log();
    EXPECT_TRUE(m.QuitSent);
    ASSERT_TRUE(m.Connected());
    m.TO_Address.clear();
    m.TO_Name.clear();
    m.ListTo = {"two@example.net"};
    m.Subject = "Second";
    m.MailText = {"second"};
    ASSERT_TRUE(m.send()) << sink.log();
    EXPECT_TRUE(m.errors.empty());
    EXPECT_EQ(m.infosOf(Info_Connected).size(), 1u);
    ASSERT_TRUE(sink.waitForMessages(2));
    const std::vector<SmtpMessage> got = sink.messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].rcpt_tos, (Lines{"one@example.net"}));
    EXPECT_EQ(got[1].rcpt_tos, (Lines{"two@example.net"}));
    EXPECT_EQ(pythonCheck(dir, got[1].content, R"({"headers": {"Subject": ["Second"]}, "text": {"body": "second\r\n\r\n"}})"), "");
    m.SetAction(TMailAction::Cancel_SendMail); // drops the kept connection
    EXPECT_FALSE(m.HasSocket());
}

// aiosmtpd requiring STARTTLS refuses MAIL before it, so a stored message proves the switch; the
// implicit-TLS sink speaks nothing but TLS.
TEST(SendMailPeerTls, StartTlsAndImplicitTlsDeliverOverTls)
{
    for (const ConnectionSecurity security : {ConnectionSecurity::StartTls, ConnectionSecurity::Tls}) {
        SCOPED_TRACE(connectionSecurityText(security));
        SmtpSink sink;
        if (security == ConnectionSecurity::StartTls)
            sink.offerStartTls(testCertificates().server, true);
        else
            sink.useImplicitTls(testCertificates().server);
        ASSERT_TRUE(sink.start()) << sink.error() << sink.log();
        PeerSendMail m(sink);
        m.SMTP_Security = security;
        m.CaFile = testCertificates().ca.certificate;
        m.ListTo = {"ann@example.net"};
        m.Subject = "Secure";
        m.MailText = {"text"};
        ASSERT_TRUE(m.send()) << sink.log();
        EXPECT_TRUE(m.errors.empty()) << (m.errors.empty() ? "" : m.errors[0].second);
        EXPECT_TRUE(m.QuitSent);
        ASSERT_TRUE(sink.waitForMessages(1)) << sink.log();
        const std::vector<SmtpMessage> got = sink.messages();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(got[0].tls);
        EXPECT_EQ(got[0].rcpt_tos, (Lines{"ann@example.net"}));
        EXPECT_EQ(got[0].helo, heloName(m.LocalHostName()));
    }
}

// The sinks refuse MAIL before a sign-in, so a stored message with its login proves it; over
// STARTTLS aiosmtpd takes AUTH only after the handshake.
TEST(SendMailPeerSignIn, ASignedInSendOverTlsDelivers)
{
    for (const ConnectionSecurity security : {ConnectionSecurity::StartTls, ConnectionSecurity::Tls}) {
        SCOPED_TRACE(connectionSecurityText(security));
        TempDir dir;
        SmtpSink sink;
        if (security == ConnectionSecurity::StartTls)
            sink.offerStartTls(testCertificates().server, true);
        else
            sink.useImplicitTls(testCertificates().server);
        sink.acceptLogin("sam", "s\xc3\xa9same ouvre-toi", true);
        ASSERT_TRUE(sink.start()) << sink.error() << sink.log();
        PeerSendMail m(sink);
        m.SMTP_Security = security;
        m.CaFile = testCertificates().ca.certificate;
        m.SMTP_User = "sam";
        m.SMTP_Password = "s\xc3\xa9same ouvre-toi";
        m.ListTo = {"ann@example.net"};
        m.Subject = "Signed in";
        m.MailText = {"text"};
        ASSERT_TRUE(m.send()) << sink.log();
        EXPECT_TRUE(m.errors.empty()) << (m.errors.empty() ? "" : m.errors[0].second);
        ASSERT_TRUE(sink.waitForMessages(1)) << sink.log();
        const std::vector<SmtpMessage> got = sink.messages();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].login, "sam");
        EXPECT_TRUE(got[0].tls);
        EXPECT_EQ(pythonCheck(dir, got[0].content, R"({"headers": {"Subject": ["Signed in"]}, "text": {"body": "text\r\n\r\n"}})"),
                  "");
    }
}

// The profile's SMTP user and password reach the session; the refusal's box quotes the server
// and points to them, not to the port.
TEST(SendMailPeerSignIn, AWrongPasswordIsError22AndItsBoxQuotesTheServer)
{
    SmtpSink sink;
    sink.offerStartTls(testCertificates().server, true);
    sink.acceptLogin("sam", "right", true);
    ASSERT_TRUE(sink.start()) << sink.error() << sink.log();
    ProfileSettings settings;
    settings.SmtpServer = sink.host();
    settings.SmtpPort = sink.port();
    settings.SmtpSecurity = "starttls";
    settings.CaFile = testCertificates().ca.certificate;
    settings.SmtpUser = "sam";
    settings.SmtpPassword = "wrong";
    OutgoingMessage message;
    message.FROM_Address = "sam@example.org";
    message.ListTo = {"ann@example.net|"};
    struct Boxes : SendMailView {
        std::vector<std::tuple<int, std::string, std::string>> shown;
        void showError(int code, const std::string& title, const std::string& text) override
        {
            shown.emplace_back(code, title, text);
        }
    } view;
    const SendOutcome outcome = runSendSession(settings, message, view);
    EXPECT_FALSE(outcome.accepted);
    EXPECT_EQ(outcome.error, Error_AuthenticationFailed);
    ASSERT_EQ(view.shown.size(), 1u) << sink.log();
    EXPECT_EQ(view.shown[0], std::make_tuple(22, std::string("Sign-in Error"),
                                             std::string("The SMTP server refused the user name or password, so nothing "
                                                         "was sent. Check the SMTP user and password in the options.\r\n"
                                                         "The server answered: 535 5.7.8 Authentication credentials invalid")));
    EXPECT_TRUE(sink.messages().empty());

    std::string title, text;
    ASSERT_TRUE(sendMailErrorBox(23, std::string(kTextSignInUnavailable) + "\r\nSign-in methods the server offers: XOAUTH2",
                                 title, text));
    EXPECT_EQ(text, "The SMTP server offers no sign-in that Tavik mail knows over this connection, so neither the "
                    "password nor the message was sent. Check the SMTP server, its port and security in the options, "
                    "or leave the SMTP user empty if the server needs no sign-in.\r\nSign-in methods the server "
                    "offers: XOAUTH2");
}
