// The client socket: the server property rule, the socket layer's start, Qt's errors as Winsock
// numbers, lookups and connects with their countdowns, notifications, bounded writes, idle time.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QTest>
#include <QTimer>

#include "net/vosk_socket.h"
#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"

using namespace tavik;
using namespace tavik::test;

namespace {

// The QCoreApplication of the whole test program (test_socket).
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureCoreApplication(); }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs the event loop until everything posted so far has been delivered.
void drainEvents()
{
    bool reached = false;
    QTimer::singleShot(0, [&] { reached = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return reached; }, 5000));
}

// A socket whose lookups go to a resolver of the test: never answering, or answering from the
// event loop with a fixed address.
class TestSocket : public TVoskSocket {
public:
    enum class Resolver { System, Silent, Answering };
    Resolver resolver = Resolver::System;
    quint32 answer = 0x7f000001;
    std::vector<std::string> lookedUp;
    std::vector<int> cancelled;
    std::vector<std::string> events;
    int lastId = 0;

    TestSocket()
    {
        OnResolved = [this] { events.push_back("resolved " + std::to_string(LastError)); };
        OnConnect = [this] { events.push_back("connect " + std::to_string(LastError)); };
        OnClose = [this] { events.push_back("close " + std::to_string(LastError)); };
        OnTimeout = [this] { events.push_back("timeout"); };
        SetWinsockStarted(true);
    }
    using TVoskSocket::hostLookupAnswered;

    bool waitFor(const std::string& event, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return std::find(events.begin(), events.end(), event) != events.end(); },
                               timeoutMs);
    }
    // Opens a socket to 127.0.0.1:port.
    void connectTo(quint16 port)
    {
        CreateSocket();
        SetServer("127.0.0.1");
        SetAddress(IPAddress);
        SetPort(port);
        Connect();
    }

protected:
    int startHostLookup(const QString& name) override
    {
        if (resolver == Resolver::System)
            return TVoskSocket::startHostLookup(name);
        lookedUp.push_back(name.toStdString());
        const int id = ++lastId;
        if (resolver == Resolver::Answering)
            QTimer::singleShot(0, this, [this, id] { hostLookupAnswered(id, 0, answer); });
        return id;
    }
    void cancelHostLookup(int id) override
    {
        cancelled.push_back(id);
        if (resolver == Resolver::System)
            TVoskSocket::cancelHostLookup(id);
    }
};

std::string hostNameOfLength(std::size_t length)
{
    std::string name;
    while (name.size() < length) {
        if (!name.empty())
            name += '.';
        name += std::string(std::min<std::size_t>(63, length - name.size()), 'a');
    }
    if (name.back() == '.')
        name.back() = 'b';
    return name;
}

} // namespace

TEST(TVoskSocket, AServerStartingWithADigitIsANumericAddress)
{
    TVoskSocket s;
    s.SetServer("192.168.1.20");
    EXPECT_EQ(s.IPAddress, "192.168.1.20");
    EXPECT_EQ(s.HostName, "");
    s.SetServer("mail.example.org");
    EXPECT_EQ(s.IPAddress, "");
    EXPECT_EQ(s.HostName, "mail.example.org");
    s.SetServer("1und1.example"); // the rule looks at the first character only
    EXPECT_EQ(s.IPAddress, "1und1.example");
    EXPECT_EQ(s.HostName, "");
    EXPECT_EQ(s.Server(), "1und1.example");
    s.SetServer("");
    EXPECT_EQ(s.IPAddress, "");
    EXPECT_EQ(s.HostName, "");
}

TEST(TVoskSocket, NoSocketBeforeTheSocketLayerIsStarted)
{
    TVoskSocket s;
    EXPECT_FALSE(s.WinsockStarted());
    s.CreateSocket();
    EXPECT_EQ(s.LastError, 10093);
    EXPECT_FALSE(s.HasSocket());
    s.SetWinsockStarted(true);
    EXPECT_TRUE(s.WinsockStarted());
    s.CreateSocket();
    EXPECT_EQ(s.LastError, 0);
    EXPECT_TRUE(s.HasSocket());
    s.SetWinsockStarted(false);
    EXPECT_FALSE(s.WinsockStarted());
    EXPECT_FALSE(s.HasSocket());
}

TEST(TVoskSocket, QtSocketErrorsBecomeWinsockNumbers)
{
    using E = QAbstractSocket::SocketError;
    const QString none;
    EXPECT_EQ(winsockErrorForSocketError(E::ConnectionRefusedError, none), 10061);
    EXPECT_EQ(winsockErrorForSocketError(E::RemoteHostClosedError, none), 10054);
    EXPECT_EQ(winsockErrorForSocketError(E::HostNotFoundError, none), 11001);
    EXPECT_EQ(winsockErrorForSocketError(E::SocketAccessError, none), 10013);
    EXPECT_EQ(winsockErrorForSocketError(E::SocketResourceError, none), 10055);
    EXPECT_EQ(winsockErrorForSocketError(E::SocketResourceError, "Too many open files"), 10024);
    EXPECT_EQ(winsockErrorForSocketError(E::SocketTimeoutError, none), 10060);
    EXPECT_EQ(winsockErrorForSocketError(E::DatagramTooLargeError, none), 10040);
    EXPECT_EQ(winsockErrorForSocketError(E::NetworkError, "Network unreachable"), 10051);
    EXPECT_EQ(winsockErrorForSocketError(E::NetworkError, "Host unreachable"), 10065);
    EXPECT_EQ(winsockErrorForSocketError(E::NetworkError, "Connection timed out"), 10060);
    EXPECT_EQ(winsockErrorForSocketError(E::NetworkError, "Address already in use"), 10048);
    EXPECT_EQ(winsockErrorForSocketError(E::NetworkError, "Network dropped"), 10050);
    EXPECT_EQ(winsockErrorForSocketError(E::AddressInUseError, none), 10048);
    EXPECT_EQ(winsockErrorForSocketError(E::SocketAddressNotAvailableError, none), 10049);
    EXPECT_EQ(winsockErrorForSocketError(E::UnsupportedSocketOperationError, none), 10047);
    EXPECT_EQ(winsockErrorForSocketError(E::UnfinishedSocketOperationError, none), 10036);
    EXPECT_EQ(winsockErrorForSocketError(E::TemporaryError, none), 10035);
    EXPECT_EQ(winsockErrorForSocketError(E::OperationError, none), 10022);
    EXPECT_EQ(winsockErrorForSocketError(E::ProxyConnectionRefusedError, none), 10061);
    EXPECT_EQ(winsockErrorForSocketError(E::ProxyConnectionClosedError, none), 10053);
    EXPECT_EQ(winsockErrorForSocketError(E::ProxyConnectionTimeoutError, none), 10060);
    EXPECT_EQ(winsockErrorForSocketError(E::ProxyNotFoundError, none), 11001);
    // TLS failures have numbers of their own beside Winsock's.
    EXPECT_EQ(winsockErrorForSocketError(E::SslHandshakeFailedError, none), tlserror::kHandshakeFailed);
    EXPECT_EQ(winsockErrorForSocketError(E::SslInternalError, none), tlserror::kBroken);
    EXPECT_EQ(winsockErrorForSocketError(E::UnknownSocketError, none), 10107);

    EXPECT_EQ(winsockErrorForLookupError(QHostInfo::NoError), 0);
    EXPECT_EQ(winsockErrorForLookupError(QHostInfo::HostNotFound), 11001);
    EXPECT_EQ(winsockErrorForLookupError(QHostInfo::UnknownError), 11002);
}

TEST(TVoskSocket, ANumericAddressConnectsWithoutLookup)
{
    ScriptedServer server;
    server.expectClose();
    TestSocket s;
    s.resolver = TestSocket::Resolver::Silent;
    s.TimeoutConnect = 5;
    s.connectTo(server.port());
    EXPECT_EQ(s.LastError, 0);
    EXPECT_EQ(s.CountdownLeft(), 5);
    EXPECT_TRUE(s.events.empty()); // the notification comes from the event loop, not from Connect
    ASSERT_TRUE(s.waitFor("connect 0"));
    EXPECT_TRUE(s.Connected());
    EXPECT_EQ(s.CountdownLeft(), 0); // the notification stopped the countdown
    EXPECT_TRUE(s.lookedUp.empty());
    EXPECT_EQ(s.AddressText(), "127.0.0.1");
    s.Disconnect();
    EXPECT_FALSE(s.Connected());
    EXPECT_TRUE(server.waitDone()) << server.report();
    drainEvents();
    EXPECT_EQ(s.events, (std::vector<std::string>{"connect 0"})); // Disconnect raises nothing
}

TEST(TVoskSocket, AHostNameIsLookedUpWithItsCountdown)
{
    TestSocket s;
    s.TimeoutArp = 20;
    s.CreateSocket();
    s.ResolveHost("localhost");
    EXPECT_EQ(s.LastError, 0);
    EXPECT_EQ(s.CountdownLeft(), 20);
    ASSERT_TRUE(s.waitFor("resolved 0"));
    EXPECT_EQ(s.CountdownLeft(), 0);
    EXPECT_EQ(s.ResolvedAddress, 0x7f000001u);
    s.UseResolvedAddress();
    EXPECT_EQ(s.AddressText(), "127.0.0.1");
}

TEST(TVoskSocket, AFailedLookupAnswersAResolutionError)
{
    TestSocket s;
    s.CreateSocket();
    s.ResolveHost(std::string(64, 'x') + ".example"); // a label above 63 characters
    EXPECT_EQ(s.LastError, 0);
    ASSERT_TRUE(s.waitFor("resolved 11001"));
}

TEST(TVoskSocket, HostNamesUpTo253CharactersAreLookedUp)
{
    TestSocket s;
    s.resolver = TestSocket::Resolver::Answering;
    s.CreateSocket();
    const std::string longest = hostNameOfLength(253);
    ASSERT_EQ(longest.size(), 253u);
    s.ResolveHost(longest);
    EXPECT_EQ(s.LastError, 0);
    ASSERT_TRUE(s.waitFor("resolved 0"));
    ASSERT_EQ(s.lookedUp.size(), 1u);
    EXPECT_EQ(s.lookedUp[0], longest);

    s.ResolveHost(longest + "."); // the root's dot does not count
    EXPECT_EQ(s.LastError, 0);
    EXPECT_EQ(s.lookedUp.size(), 2u);
    s.Disconnect();

    s.ResolveHost(hostNameOfLength(254));
    EXPECT_EQ(s.LastError, 11001);
    s.ResolveHost("");
    EXPECT_EQ(s.LastError, 11001);
    EXPECT_EQ(s.lookedUp.size(), 2u);
}

TEST(TVoskSocket, ALookupWithoutAnswerTimesOut)
{
    TestSocket s;
    s.resolver = TestSocket::Resolver::Silent;
    s.TimeoutArp = 1;
    s.CreateSocket();
    QElapsedTimer t;
    t.start();
    s.ResolveHost("mail.example.org");
    ASSERT_TRUE(s.waitFor("timeout", 5000));
    EXPECT_GE(t.elapsed(), 900);
    EXPECT_FALSE(s.HasSocket());
    ASSERT_EQ(s.cancelled.size(), 1u);
    // An answer after the time-out is not heard.
    s.hostLookupAnswered(s.cancelled[0], 0, 0x7f000001);
    EXPECT_EQ(s.events, (std::vector<std::string>{"timeout"}));
}

TEST(TVoskSocket, ATimeOutOfZeroStartsNoCountdown)
{
    TestSocket s;
    s.resolver = TestSocket::Resolver::Silent;
    s.CreateSocket();
    s.ResolveHost("mail.example.org");
    EXPECT_EQ(s.CountdownLeft(), 0);
    UnansweredListener hole;
    TestSocket c;
    c.connectTo(hole.port());
    EXPECT_EQ(c.LastError, 0);
    EXPECT_EQ(c.CountdownLeft(), 0);
}

TEST(TVoskSocket, AConnectWithoutAnswerTimesOut)
{
    UnansweredListener hole;
    TestSocket s;
    s.TimeoutConnect = 1;
    QElapsedTimer t;
    t.start();
    s.connectTo(hole.port());
    EXPECT_EQ(s.LastError, 0);
    ASSERT_TRUE(s.waitFor("timeout", 5000));
    EXPECT_GE(t.elapsed(), 900);
    EXPECT_FALSE(s.HasSocket());
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(s.events, (std::vector<std::string>{"timeout"}));
}

TEST(TVoskSocket, ARefusedConnectIsTheConnectNotificationWithItsError)
{
    TestSocket s;
    s.connectTo(freeLoopbackPort());
    EXPECT_EQ(s.LastError, 0);
    ASSERT_TRUE(s.waitFor("connect 10061"));
    EXPECT_FALSE(s.Connected());
}

TEST(TVoskSocket, TextThatIsNoAddressFailsTheConnect)
{
    TestSocket s;
    s.CreateSocket();
    s.SetAddress("12.34.56.78.90");
    s.SetPort(110);
    s.Connect();
    EXPECT_EQ(s.LastError, 10013);
}

TEST(TVoskSocket, TheServersLastBytesComeBeforeItsClose)
{
    ScriptedServer server;
    server.send("+OK bye\r\n").close();
    TestSocket s;
    std::string got;
    s.OnRead = [&] {
        char buffer[100];
        while (qint64 n = s.ReceiveBuffer(buffer, sizeof buffer))
            got.append(buffer, static_cast<std::size_t>(n));
        s.events.push_back("read");
    };
    s.connectTo(server.port());
    ASSERT_TRUE(s.waitFor("close 0"));
    EXPECT_EQ(got, "+OK bye\r\n");
    ASSERT_GE(s.events.size(), 3u);
    EXPECT_EQ(s.events.front(), "connect 0");
    EXPECT_EQ(s.events[s.events.size() - 2], "read");
    EXPECT_FALSE(s.HasSocket());
    EXPECT_FALSE(s.Connected());
    EXPECT_TRUE(server.waitDone()) << server.report();
}

TEST(TVoskSocket, TheWriteBufferStaysBounded)
{
    ScriptedServer server;
    server.stall();
    TestSocket s;
    const std::string big(10 * 1024 * 1024, 'x');
    EXPECT_EQ(s.SendBuffer(big.data(), 10), 0);
    EXPECT_EQ(s.LastError, 10057); // not connected
    s.connectTo(server.port());
    ASSERT_TRUE(s.waitFor("connect 0"));
    qint64 taken = s.SendBuffer(big.data(), static_cast<qint64>(big.size()));
    EXPECT_EQ(taken, kWriteBufferLimit);
    EXPECT_EQ(s.SendBuffer(big.data(), static_cast<qint64>(big.size())), 0); // would block
    EXPECT_EQ(s.LastError, 0);
    // As the system takes bytes room comes back, but the socket never holds more than the limit.
    for (int round = 0; round < 50; ++round) {
        QCoreApplication::processEvents();
        taken += s.SendBuffer(big.data(), static_cast<qint64>(big.size()) - taken);
        EXPECT_LE(s.PendingWriteBytes(), kWriteBufferLimit);
    }
}

TEST(TVoskSocket, ASilentServerRunsOutOfIdleTime)
{
    ScriptedServer server;
    server.send("+OK hello\r\n").stall();
    TestSocket s;
    s.TimeoutIdle = 1;
    s.OnRead = [&] {
        char buffer[100];
        while (s.ReceiveBuffer(buffer, sizeof buffer) > 0) {
        }
    };
    s.connectTo(server.port());
    ASSERT_TRUE(s.waitFor("connect 0"));
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(s.waitFor("timeout", 5000));
    EXPECT_GE(t.elapsed(), 900);
    EXPECT_FALSE(s.HasSocket());
}

TEST(TVoskSocket, IdleTimeStartsAgainWithEveryByte)
{
    ScriptedServer server;
    QElapsedTimer t;
    server.call([&] { t.start(); }, "start the clock");
    for (int i = 1; i <= 4; ++i) {
        // A slow server: a line every 0.6 s, 2.4 s in all, each gap below the idle time.
        server.await([&t, i] { return t.elapsed() >= 600 * i; }, "0.6 s more");
        server.send("line\r\n");
    }
    server.close();
    TestSocket s;
    s.TimeoutIdle = 1;
    s.OnRead = [&] {
        char buffer[100];
        while (s.ReceiveBuffer(buffer, sizeof buffer) > 0) {
        }
    };
    s.connectTo(server.port());
    ASSERT_TRUE(s.waitFor("close 0", 10000));
    EXPECT_EQ(std::count(s.events.begin(), s.events.end(), "timeout"), 0);
    EXPECT_TRUE(server.waitDone()) << server.report();
}

TEST(TVoskSocket, PostedMessagesAbove1025ReachOnUserMessage)
{
    TVoskSocket s;
    std::vector<int> got;
    s.OnUserMessage = [&](int m) { got.push_back(m); };
    s.PostUserMessage(1025);
    s.PostUserMessage(1026);
    EXPECT_TRUE(got.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !got.empty(); }, 5000));
    EXPECT_EQ(got, (std::vector<int>{1026}));
}

TEST(TVoskSocket, TheLocalHostNameIsKnown)
{
    TVoskSocket s;
    const std::string name = s.LocalHostName();
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(s.LastError, 0);
}
