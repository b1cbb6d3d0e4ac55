// TLS in the socket layer, against scripted servers with the test certificates: implicit TLS and
// STARTTLS, verification against the named CA, pins, and the traps of switching to TLS late.
#include <gtest/gtest.h>

#include <QTest>

#include "net/line_channel.h"
#include "peers/scripted_server.h"
#include "peers/test_certificates.h"

using namespace tavik;
using namespace tavik::test;

namespace {

// A session of the test: records lines and errors; `onLine` steers it. After a STARTTLS
// handshake it asks again ("CAPA"), as a real session must.
class TlsChannel : public LineChannel {
public:
    std::vector<std::string> lines;
    std::vector<int> errors;
    int dones = 0;
    int handshakes = 0;
    std::function<void(const std::string&)> onLine;
    // Answers the greeting with STLS and starts TLS at the go-ahead.
    bool askStartTls = false;

    TlsChannel() : LineChannel(kGetMailLineCodes)
    {
        OnMailError = [this](int e, const std::string&) { errors.push_back(e); };
        OnDone = [this] { ++dones; };
        LineHandler = [this](const std::string& line) {
            lines.push_back(line);
            if (askStartTls && line == "+OK ready")
                SendLine("STLS");
            else if (askStartTls && line.rfind("+OK Begin", 0) == 0)
                startTls();
            else if (onLine)
                onLine(line);
        };
    }
    void start(quint16 port, bool implicit, const std::string& pin = {})
    {
        ImplicitTls = implicit;
        CaFile = testCertificates().ca.certificate;
        PinnedFingerprint = pin;
        TimeoutConnect = 10;
        beginSession();
        SetServer("127.0.0.1");
        openConnection(port);
    }
    bool waitDone() { return QTest::qWaitFor([this] { return dones > 0; }, 15000); }

protected:
    void EncryptedHandler() override
    {
        LineChannel::EncryptedHandler();
        if (Finished())
            return;
        ++handshakes;
        SendLine("CAPA");
    }
};

// The server side of STLS up to the question the session asks again over TLS.
ScriptedServer& switchedToTls(ScriptedServer& server)
{
    return server.send("+OK ready\r\n")
        .expect("STLS\r\n")
        .send("+OK Begin TLS negotiation now.\r\n")
        .startTls(testCertificates().server)
        .expect("CAPA\r\n");
}

TEST(TlsChannel, ImplicitTlsIsVerifiedAgainstTheNamedCaAndCarriesTheSession)
{
    ScriptedServer server;
    server.startTls(testCertificates().server).send("+OK ready\r\n").expect("QUIT\r\n").send("+OK bye\r\n").close();
    TlsChannel channel;
    std::string protocol;
    channel.onLine = [&](const std::string& line) {
        if (line == "+OK ready") {
            protocol = channel.EncryptionText();
            channel.QuitSent = true;
            channel.SendLine("QUIT");
        }
    };
    channel.start(server.port(), true);
    ASSERT_TRUE(channel.waitDone());
    EXPECT_TRUE(channel.errors.empty());
    EXPECT_EQ(channel.lines, (std::vector<std::string>{"+OK ready", "+OK bye"}));
    EXPECT_TRUE(protocol == "TLS 1.3" || protocol == "TLS 1.2") << protocol;
    EXPECT_TRUE(server.waitDone()) << server.report();
}

TEST(TlsChannel, UntrustedCertificatesStopTheConnectionBeforeAByteIsSentAndNameThemselves)
{
    const TestCertificates& certs = testCertificates();
    for (const TestCertificate* cert : {&certs.selfSigned, &certs.expired, &certs.wrongHost}) {
        ScriptedServer server;
        server.startTls(*cert).expectClose();
        TlsChannel channel;
        channel.start(server.port(), true);
        ASSERT_TRUE(channel.waitDone()) << cert->certificate;
        EXPECT_EQ(channel.errors, std::vector<int>{kErrorTlsUntrusted}) << cert->certificate;
        const PeerCertificateInfo& refused = channel.RefusedCertificate();
        EXPECT_EQ(refused.fingerprint, cert->fingerprint);
        EXPECT_FALSE(refused.problems.empty());
        EXPECT_EQ(refused.host, "127.0.0.1");
        EXPECT_TRUE(refused.pinnedFingerprint.empty());
        EXPECT_TRUE(channel.lines.empty());
        EXPECT_TRUE(server.received().empty()) << escapeBytes(server.received());
    }
}

TEST(TlsChannel, APinnedCertificateIsAcceptedAndAnotherOneCountsAsChanged)
{
    const TestCertificates& certs = testCertificates();
    {
        ScriptedServer server;
        server.startTls(certs.selfSigned).send("+OK pinned\r\n").close();
        TlsChannel channel;
        channel.onLine = [&](const std::string&) { channel.QuitSent = true; };
        // Pins may be written in any common way.
        std::string lower = certs.selfSigned.fingerprint;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        channel.start(server.port(), true, lower);
        ASSERT_TRUE(channel.waitDone());
        EXPECT_TRUE(channel.errors.empty());
        EXPECT_EQ(channel.lines, std::vector<std::string>{"+OK pinned"});
    }
    ScriptedServer server;
    server.startTls(certs.otherSelfSigned).expectClose();
    TlsChannel channel;
    channel.start(server.port(), true, certs.selfSigned.fingerprint);
    ASSERT_TRUE(channel.waitDone());
    EXPECT_EQ(channel.errors, std::vector<int>{kErrorTlsChanged});
    EXPECT_EQ(channel.RefusedCertificate().fingerprint, certs.otherSelfSigned.fingerprint);
    EXPECT_EQ(channel.RefusedCertificate().pinnedFingerprint, certs.selfSigned.fingerprint);
}

TEST(TlsChannel, TlsAgainstAPlainPortSaysTheServerAnsweredInPlainText)
{
    ScriptedServer server;
    server.send("+OK Dovecot (Debian) ready.\r\n").stall();
    TlsChannel channel;
    channel.start(server.port(), true);
    ASSERT_TRUE(channel.waitDone());
    EXPECT_EQ(channel.errors, std::vector<int>{kErrorTlsNotTlsPort});
}

TEST(TlsChannel, StartTlsSwitchesAfterTheGoAheadAndTheSessionAsksAgain)
{
    ScriptedServer server;
    switchedToTls(server)
        .send("+OK\r\nUSER\r\n.\r\n")
        .close();
    TlsChannel channel;
    channel.askStartTls = true;
    channel.onLine = [&](const std::string& line) {
        if (line == ".")
            channel.QuitSent = true;
    };
    channel.start(server.port(), false);
    ASSERT_TRUE(channel.waitDone());
    EXPECT_TRUE(channel.errors.empty());
    EXPECT_EQ(channel.handshakes, 1);
    EXPECT_TRUE(server.waitDone()) << server.report();
}

TEST(TlsChannel, PlainTextSlippedInWithTheGoAheadEndsTheSessionUnread)
{
    ScriptedServer server;
    server.send("+OK ready\r\n")
        .expect("STLS\r\n")
        .send("+OK Begin TLS negotiation now.\r\n+OK injected\r\n")
        .expectClose();
    TlsChannel channel;
    channel.askStartTls = true;
    channel.start(server.port(), false);
    ASSERT_TRUE(channel.waitDone());
    EXPECT_EQ(channel.errors, std::vector<int>{kErrorTlsInjected});
    EXPECT_EQ(channel.lines.size(), 2u); // the injected answer never reached the session
    EXPECT_EQ(channel.handshakes, 0);
}

TEST(TlsChannel, PlainTextAfterTheHandshakeBreaksTheConnection)
{
    ScriptedServer server;
    switchedToTls(server)
        .sendPlain("+OK plain text now\r\n")
        .expectClose();
    TlsChannel channel;
    channel.askStartTls = true;
    channel.start(server.port(), false);
    ASSERT_TRUE(channel.waitDone());
    ASSERT_EQ(channel.errors.size(), 1u);
    EXPECT_EQ(channel.errors[0], kErrorTlsBroken);
    EXPECT_EQ(channel.lines.size(), 2u);
}

} // namespace

// The bytes encryption has queued count against the write limit: a server that stops reading
// must hold a large message back instead of letting it pile up in memory.
TEST(TlsChannel, EncryptedBytesWaitingForTheServerCountAgainstTheWriteLimit)
{
    ScriptedServer server;
    server.startTls(testCertificates().server).send("+OK ready\r\n").stall();
    TlsChannel channel;
    bool ready = false;
    channel.onLine = [&](const std::string& line) { ready = ready || line == "+OK ready"; };
    channel.start(server.port(), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ready; }, 15000));
    const std::string chunk(64 * 1024, 'x');
    std::int64_t accepted = 0;
    int refusedInARow = 0;
    constexpr std::int64_t kTooMuch = 64 * 1024 * 1024;
    while (accepted < kTooMuch && refusedInARow < 200) {
        QCoreApplication::processEvents();
        const qint64 n = channel.SendBuffer(chunk.data(), static_cast<qint64>(chunk.size()));
        accepted += n;
        refusedInARow = n == 0 ? refusedInARow + 1 : 0;
    }
    // What the kernel's buffers take on loopback, and our limit: a few megabytes at most.
    EXPECT_LT(accepted, 24 * 1024 * 1024);
    channel.Disconnect();
}
