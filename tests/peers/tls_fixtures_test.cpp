// The TLS peers serve what a careful client meets, judged by clients that are not ours:
// Python's ssl, poplib and smtplib, and QSslSocket against the scripted server.
#include <gtest/gtest.h>

#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTest>

#include <set>

#include "peers/peer_fixtures.h"

using namespace tavik::test;

namespace {

// Runs tests/peers/tls_client.py with these arguments; its standard output, or why it failed.
std::string pythonClient(const QStringList& args)
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral(TAVIK_PEERS_DIR "/tls_client.py")} + args);
    if (!python.waitForFinished(60000) || python.exitCode() != 0)
        return "tls_client.py failed: " + python.readAllStandardError().toStdString() + python.readAllStandardOutput().toStdString();
    return python.readAllStandardOutput().toStdString();
}

QString caFile()
{
    return QString::fromStdString(testCertificates().ca.certificate);
}

// One SMTP command over a plain connection; the whole answer.
std::string smtpCommand(QTcpSocket& socket, const std::string& line)
{
    if (!line.empty())
        socket.write(QByteArray::fromStdString(line + "\r\n"));
    std::string answer;
    // A multi-line answer ("250-...") ends with a line whose code a space follows.
    const auto complete = [&] {
        if (answer.size() < 2 || answer.compare(answer.size() - 2, 2, "\r\n") != 0)
            return false;
        const auto before = answer.rfind("\r\n", answer.size() - 3);
        const std::size_t last = before == std::string::npos ? 0 : before + 2;
        return answer.size() - last > 4 && answer[last + 3] == ' ';
    };
    while (!complete() && socket.waitForReadyRead(5000))
        answer += socket.readAll().toStdString();
    return answer;
}

} // namespace

TEST(TestCertificates, FingerprintsAreTheCertificatesOwnInTheFormTheProgramShows)
{
    const TestCertificates& c = testCertificates();
    const QRegularExpression form(QStringLiteral("^([0-9A-F]{2}:){31}[0-9A-F]{2}$"));
    std::set<std::string> seen;
    for (const TestCertificate* t : {&c.ca, &c.server, &c.selfSigned, &c.otherSelfSigned, &c.expired, &c.wrongHost}) {
        const auto read = QSslCertificate::fromPath(QString::fromStdString(t->certificate));
        ASSERT_EQ(read.size(), 1) << t->certificate;
        EXPECT_EQ(t->fingerprint, read.front().digest(QCryptographicHash::Sha256).toHex(':').toUpper().toStdString());
        EXPECT_TRUE(form.match(QString::fromStdString(t->fingerprint)).hasMatch()) << t->fingerprint;
        seen.insert(t->fingerprint);
    }
    EXPECT_EQ(seen.size(), 6u);
}

TEST(TlsDovecot, ServesTheMessageOverPop3sAndAfterStls)
{
    DovecotServer server;
    server.useCertificate(testCertificates().server);
    server.addMessage("Subject: secret\r\n\r\nover TLS\r\n");
    ASSERT_TRUE(server.start()) << server.error() << "\n" << server.log();
    ASSERT_NE(server.tlsPort(), 0);

    const std::string expected = "1 messages\nSubject: secret\n\nover TLS\n";
    const QStringList login{caFile(), QString::fromStdString(server.user()), QString::fromStdString(server.password())};
    EXPECT_EQ(pythonClient(QStringList{"pop3s", QString::number(server.tlsPort())} + login), expected);
    EXPECT_EQ(pythonClient(QStringList{"stls", QString::number(server.port())} + login), expected);
    EXPECT_EQ(server.tlsLogins(2), 2) << server.log();
}

TEST(TlsDovecot, CertificatesAUserMustJudgeFailVerificationForTheirOwnReason)
{
    const TestCertificates& c = testCertificates();
    const std::pair<const TestCertificate*, std::string> cases[] = {
        {&c.selfSigned, "refused: self-signed certificate\n"},
        {&c.expired, "refused: certificate has expired\n"},
        {&c.wrongHost, "refused: IP address mismatch, certificate is not valid for '127.0.0.1'.\n"},
    };
    for (const auto& [certificate, reason] : cases) {
        DovecotServer server;
        server.useCertificate(*certificate);
        ASSERT_TRUE(server.start()) << server.error() << "\n" << server.log();
        EXPECT_EQ(pythonClient({"verify", QString::number(server.tlsPort()), caFile()}), reason) << certificate->certificate;
    }
}

TEST(TlsSmtpSink, RequiresStartTlsAndALoginThenStoresTheMessage)
{
    SmtpSink sink;
    sink.offerStartTls(testCertificates().server, true);
    sink.acceptLogin("tester", "secret", true);
    ASSERT_TRUE(sink.start()) << sink.error() << "\n" << sink.log();

    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, sink.port());
    ASSERT_TRUE(plain.waitForConnected(5000));
    EXPECT_EQ(smtpCommand(plain, "").substr(0, 4), "220 ");
    // STARTTLS offered, AUTH not yet.
    const std::string ehlo = smtpCommand(plain, "EHLO client.example");
    EXPECT_NE(ehlo.find("250-STARTTLS\r\n"), std::string::npos) << ehlo;
    EXPECT_EQ(ehlo.find("AUTH"), std::string::npos) << ehlo;
    EXPECT_EQ(smtpCommand(plain, "AUTH PLAIN AHRlc3RlcgBzZWNyZXQ="), "530 Must issue a STARTTLS command first\r\n");
    EXPECT_EQ(smtpCommand(plain, "MAIL FROM:<me@example.org>"), "530 Must issue a STARTTLS command first\r\n");

    EXPECT_EQ(pythonClient({"starttls", QString::number(sink.port()), caFile(), "tester", "secret"}),
              "auth: LOGIN PLAIN\n"
              "wrong password: 535 5.7.8 Authentication credentials invalid\n"
              "login: 235 2.7.0 Authentication successful\n"
              "sent\n");
    ASSERT_TRUE(sink.waitForMessages(1));
    const SmtpMessage m = sink.messages().at(0);
    EXPECT_EQ(m.content, "Subject: over TLS\r\n\r\nhello\r\n");
    EXPECT_TRUE(m.tls);
    EXPECT_EQ(m.login, "tester");
}

TEST(TlsSmtpSink, ImplicitTlsAcceptsALoginAndStoresTheMessage)
{
    SmtpSink sink;
    sink.useImplicitTls(testCertificates().server);
    sink.acceptLogin("tester", "secret");
    ASSERT_TRUE(sink.start()) << sink.error() << "\n" << sink.log();
    EXPECT_EQ(pythonClient({"smtps", QString::number(sink.port()), caFile(), "tester", "secret"}),
              "auth: LOGIN PLAIN\n"
              "wrong password: 535 5.7.8 Authentication credentials invalid\n"
              "login: 235 2.7.0 Authentication successful\n"
              "sent\n");
    ASSERT_TRUE(sink.waitForMessages(1));
    EXPECT_TRUE(sink.messages().at(0).tls);
    EXPECT_EQ(sink.messages().at(0).login, "tester");
}

// STARTTLS in a script, encrypted lines after it, and a server that then falls back to plain text.
TEST(ScriptedTls, HandsShakesInTheScriptAndCanAnswerPastTls)
{
    QSslSocket client;
    QSslConfiguration trust = client.sslConfiguration();
    trust.setCaCertificates(QSslCertificate::fromPath(caFile()));
    client.setSslConfiguration(trust);
    QByteArray read;
    ScriptedServer server;
    server.send("220 ready\r\n").expect("STARTTLS\r\n").send("220 go ahead\r\n").startTls(testCertificates().server);
    server.expect("EHLO inside\r\n").send("250 inside\r\n");
    server.await([&] { return read.endsWith("250 inside\r\n"); }, "the client read the encrypted answer");
    server.sendPlain("250 plain text\r\n");
    QObject::connect(&client, &QSslSocket::readyRead, [&] { read += client.readAll(); });
    client.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return read == "220 ready\r\n"; }, 5000)) << read.toStdString();
    client.write("STARTTLS\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return read.endsWith("220 go ahead\r\n"); }, 5000)) << server.report();
    client.startClientEncryption();
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.isEncrypted(); }, 5000)) << server.report();
    client.write("EHLO inside\r\n");
    ASSERT_TRUE(server.waitDone()) << server.report();
    // The encrypted answer arrives; the plain text behind it breaks the TLS layer.
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.error() != QAbstractSocket::UnknownSocketError; }, 5000));
    EXPECT_EQ(read, "220 ready\r\n220 go ahead\r\n250 inside\r\n");
    EXPECT_EQ(client.error(), QAbstractSocket::SslInternalError) << client.errorString().toStdString();
}

TEST(ScriptedTls, AClientRefusingTheCertificateEndsTheHandshakeAndTheStep)
{
    ScriptedServer server;
    server.startTls(testCertificates().selfSigned).expectClose();
    QSslSocket client;
    QSslConfiguration trust = client.sslConfiguration();
    trust.setCaCertificates(QSslCertificate::fromPath(caFile()));
    client.setSslConfiguration(trust);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_FALSE(client.isEncrypted());
    EXPECT_FALSE(server.tlsError().empty()) << server.report();
}
