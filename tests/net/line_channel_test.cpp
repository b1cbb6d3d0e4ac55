// The line layer, driven against scripted servers: line splitting, commands, streaming with
// back-pressure and cancel, the error table, time-outs, closes and the one OnDone per session.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "net/line_channel.h"
#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"

using namespace tavik;
using namespace tavik::test;

namespace {

void drainEvents()
{
    bool reached = false;
    QTimer::singleShot(0, [&] { reached = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return reached; }, 5000));
}

// A session of the test: records every report and line; `onLine` adds behaviour to the handler.
class TestChannel : public LineChannel {
public:
    enum class Resolver { System, Silent, Answering };
    Resolver resolver = Resolver::System;
    std::vector<std::pair<int, std::string>> infos, errors;
    std::vector<std::string> lines;
    std::vector<std::string> log; // infos, errors, lines and done, in order
    std::vector<std::string> lookedUp;
    int dones = 0;
    int depth = 0, maxDepth = 0;
    std::function<void(const std::string&)> onLine;

    explicit TestChannel(const LineCodes& codes = kGetMailLineCodes) : LineChannel(codes)
    {
        OnMailInfo = [this](int i, const std::string& a) {
            infos.emplace_back(i, a);
            log.push_back("info " + std::to_string(i));
        };
        OnMailError = [this](int e, const std::string& a) {
            errors.emplace_back(e, a);
            log.push_back("error " + std::to_string(e));
        };
        OnDone = [this] {
            ++dones;
            log.push_back("done");
        };
        LineHandler = [this](const std::string& line) {
            lines.push_back(line);
            log.push_back("line");
            maxDepth = std::max(maxDepth, ++depth);
            if (onLine)
                onLine(line);
            --depth;
        };
    }
    // Starts a session to `server` on `port`.
    void start(quint16 port, const std::string& server = "127.0.0.1")
    {
        beginSession();
        SetServer(server);
        openConnection(port);
    }
    bool waitDone(int timeoutMs = 10000)
    {
        return QTest::qWaitFor([this] { return dones > 0; }, timeoutMs);
    }
    bool hasInfo(int info, const std::string& addinfo) const
    {
        return std::find(infos.begin(), infos.end(), std::make_pair(info, addinfo)) != infos.end();
    }

protected:
    int startHostLookup(const QString& name) override
    {
        if (resolver == Resolver::System)
            return LineChannel::startHostLookup(name);
        lookedUp.push_back(name.toStdString());
        if (resolver == Resolver::Answering)
            QTimer::singleShot(0, this, [this] { hostLookupAnswered(1, 0, 0x7f000001); });
        return 1;
    }
    void cancelHostLookup(int) override {}
};

using Errors = std::vector<std::pair<int, std::string>>;

std::string bodyOfSize(std::size_t size)
{
    std::string body;
    body.reserve(size);
    for (int n = 0; body.size() < size; ++n)
        body += "line " + std::to_string(n) + " of a long body, with some text to fill it up\r\n";
    body.resize(size);
    return body;
}

} // namespace

TEST(LineChannel, TheErrorTableHasEveryRowForBothSessions)
{
    struct Row {
        std::vector<int> numbers;
        int code;
        const char* text;
    };
    const std::vector<Row> rows = {
        {{10093}, 1, "Winsock not initialized"},
        {{10050}, 2, "Network down"},
        {{10013}, 3, "Invalid address specified"},
        {{10004, 10014, 10022, 10036, 10038, 10040, 10045, 10047, 10048, 10056, 10057, 10058}, 4,
         "Unexpected internal error in component"},
        {{10052, 10055}, 5, "General Winsock Error"},
        {{10053}, 6, "Connection aborted due to timeout or other failure"},
        {{10054}, 7, "Connection reset by remote side"},
        {{10060}, 8, "timeout"},
        {{10024}, 9, "Out of sockets"},
        {{10051}, 10, "Network unreachable"},
        {{10049}, 11, "Address not available"},
        {{10061}, 12, "Connection Refused"},
        {{11001, 11002, 11003, 11004}, 16, "Address resolution error"},
        {{10035, 10107, 1, 99999}, 15, "Unknown Error"},
    };
    for (const LineCodes* codes : {&kGetMailLineCodes, &kSendMailLineCodes}) {
        for (const auto& row : rows) {
            for (int number : row.numbers) {
                const ErrorRow r = winsockErrorRow(number, *codes);
                EXPECT_EQ(r.code, row.code) << number;
                EXPECT_STREQ(r.text, row.text) << number;
            }
        }
        EXPECT_EQ(winsockErrorRow(0, *codes).code, 0);
        EXPECT_STREQ(winsockErrorRow(0, *codes).text, "");
    }
    EXPECT_EQ(winsockErrorRow(10065, kGetMailLineCodes).code, 18);
    EXPECT_EQ(winsockErrorRow(10065, kSendMailLineCodes).code, 19);
    EXPECT_STREQ(winsockErrorRow(10065, kSendMailLineCodes).text, "Host Unreachable");
}

TEST(LineChannel, CheckErrorReportsOnceAndFinishes)
{
    TestChannel c;
    c.beginSession();
    EXPECT_FALSE(c.CheckError());
    EXPECT_EQ(c.ErrorCode, 0);
    c.LastError = 10061;
    EXPECT_TRUE(c.CheckError());
    EXPECT_EQ(c.errors, (Errors{{12, "Connection Refused"}}));
    EXPECT_EQ(c.ErrorCode, 12);
    EXPECT_TRUE(c.Finished());
    c.LastError = 10060;
    EXPECT_TRUE(c.CheckError()); // finished: stop, but report nothing more
    EXPECT_EQ(c.errors.size(), 1u);
    EXPECT_EQ(c.dones, 0); // OnDone comes from the event loop
    ASSERT_TRUE(c.waitDone());
    c.Finish();
    drainEvents();
    EXPECT_EQ(c.dones, 1);
    EXPECT_FALSE(c.Busy());
}

TEST(LineChannel, LinesSplitAcrossReceivesArriveOnceAndWhole)
{
    ScriptedServer server;
    TestChannel c;
    server.send("+OK hel")
        .await([&] { return c.PendingText() == "+OK hel"; }, "the client holds \"+OK hel\"")
        .send("lo\r\nsecond\r\nthi")
        .await([&] { return c.lines.size() == 2 && c.PendingText() == "thi"; }, "two lines and \"thi\"")
        .send("rd\r")
        .await([&] { return c.PendingText() == "third\r"; }, "the CR waits for its LF")
        .send("\n")
        .await([&] { return c.lines.size() == 3; }, "the third line")
        .close();
    c.onLine = [&](const std::string& line) {
        if (line == "third")
            c.QuitSent = true;
    };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(c.lines, (std::vector<std::string>{"+OK hello", "second", "third"}));
    EXPECT_TRUE(c.hasInfo(0, "127.0.0.1"));
    EXPECT_TRUE(c.hasInfo(1, ""));
    EXPECT_TRUE(c.errors.empty());
    EXPECT_EQ(c.ErrorCode, 0);
    drainEvents();
    EXPECT_EQ(c.dones, 1);
}

TEST(LineChannel, ALoneLfEndsALineAndALoneCrStaysInIt)
{
    ScriptedServer server;
    server.send("one\ntwo\r\nthr\ree\r\n\r\nlast\r\r\n").close();
    TestChannel c;
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_EQ(c.lines, (std::vector<std::string>{"one", "two", "thr\ree", "", "last\r"}));
}

TEST(LineChannel, NulBytesStayInTheirLines)
{
    ScriptedServer server;
    server.send(std::string("a\0b\r\n\0\r\nc\r\n", 11)).close();
    TestChannel c;
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_EQ(c.lines, (std::vector<std::string>{std::string("a\0b", 3), std::string("\0", 1), "c"}));
}

TEST(LineChannel, AHandlerThatFinishesDropsTheRest)
{
    ScriptedServer server;
    server.send("one\r\ntwo\r\nthree\r\n").expectClose();
    TestChannel c;
    c.onLine = [&](const std::string&) {
        c.ErrorCode = 14;
        c.Finish();
    };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(c.lines, (std::vector<std::string>{"one"}));
    EXPECT_TRUE(c.errors.empty());
    EXPECT_EQ(c.ErrorCode, 14);
}

TEST(LineChannel, OnDoneWaitsUntilTheHandlerHasReturned)
{
    ScriptedServer server;
    server.send("+OK\r\n").expectClose();
    TestChannel c;
    int donesInside = -1;
    c.onLine = [&](const std::string&) {
        c.Finish();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        donesInside = c.dones;
    };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_EQ(donesInside, 0);
    drainEvents();
    EXPECT_EQ(c.dones, 1);
}

TEST(LineChannel, SendLineWritesAtMost253CharactersAndCrLf)
{
    ScriptedServer server;
    const std::string longCommand = "RCPT TO:<" + std::string(300, 'a') + ">";
    server.send("+OK ready\r\n")
        .expect(longCommand.substr(0, 253) + "\r\n")
        .expect("USER bob\r\n")
        .expect(std::string("PASS \xe9\0x\r\n", 10))
        .close();
    TestChannel c;
    c.onLine = [&](const std::string&) {
        EXPECT_TRUE(c.SendLine(longCommand));
        EXPECT_TRUE(c.SendLine("USER bob"));
        EXPECT_TRUE(c.SendLine(std::string("PASS \xe9\0x", 8)));
        c.QuitSent = true;
    };
    c.start(server.port());
    ASSERT_TRUE(server.waitDone()) << server.report();
    ASSERT_TRUE(c.waitDone());
    EXPECT_TRUE(c.hasInfo(6, longCommand.substr(0, 253) + "\r\n"));
    EXPECT_TRUE(c.hasInfo(6, "USER bob\r\n"));
    EXPECT_TRUE(c.errors.empty());
}

TEST(LineChannel, TheSendingInfoUsesTheSessionsNumbers)
{
    ScriptedServer server;
    server.send("220 hi\r\n").expect("HELO x\r\n").close();
    TestChannel c(kSendMailLineCodes);
    c.onLine = [&](const std::string&) {
        c.SendLine("HELO x");
        c.QuitSent = true;
    };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(c.hasInfo(0, "127.0.0.1"));
    EXPECT_TRUE(c.hasInfo(2, "HELO x\r\n"));
    EXPECT_TRUE(c.hasInfo(3, ""));
}

TEST(LineChannel, ATwentyMegabyteTextStreamsThroughABoundedBuffer)
{
    const std::string body = bodyOfSize(20 * 1024 * 1024);
    ScriptedServer server;
    server.send("354 go ahead\r\n").expect(body).send("250 ok\r\n").close();
    TestChannel c;
    qint64 mostPending = 0;
    int ticks = 0;
    QTimer probe;
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        ++ticks;
        mostPending = std::max(mostPending, c.PendingWriteBytes());
    });
    bool sent = false;
    c.onLine = [&](const std::string& line) {
        if (line == "354 go ahead") {
            probe.start();
            sent = c.SendText(body);
            probe.stop();
        } else {
            c.QuitSent = true;
        }
    };
    c.start(server.port());
    ASSERT_TRUE(server.waitDone(60000)) << server.report();
    ASSERT_TRUE(c.waitDone());
    EXPECT_TRUE(sent);
    EXPECT_GT(ticks, 0); // the event loop ran while the text went out
    EXPECT_LE(mostPending, kWriteBufferLimit);
    EXPECT_TRUE(c.errors.empty());
    EXPECT_EQ(c.lines, (std::vector<std::string>{"354 go ahead", "250 ok"}));
}

TEST(LineChannel, StopWorksWhileATextIsBeingWritten)
{
    const std::string body = bodyOfSize(20 * 1024 * 1024);
    ScriptedServer server;
    server.send("354 go ahead\r\n").stall();
    TestChannel c;
    QTimer user; // the user presses Stop once the stalled server holds the text back
    user.setInterval(1);
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (c.PendingWriteBytes() >= kWriteBufferLimit / 2 && !c.Finished()) {
            c.ErrorCode = 14;
            c.Finish();
        }
    });
    bool sent = true;
    c.onLine = [&](const std::string&) {
        user.start();
        sent = c.SendText(body);
        user.stop();
    };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone(20000));
    EXPECT_FALSE(sent);
    EXPECT_EQ(c.ErrorCode, 14);
    EXPECT_TRUE(c.errors.empty());
    EXPECT_FALSE(c.HasSocket());
    EXPECT_TRUE(server.waitClientClosed()) << server.report();
    drainEvents();
    EXPECT_EQ(c.dones, 1);
}

// The handler writing `body` runs either inside the read notification of "one" or on its own
// (from a timer, as a session acting on a user command would): in both, "two" and "three"
// arrive while it writes and are handed over only after it returned.
void linesArrivingDuringAHandlerFollowItInOrder(bool fromReadNotification)
{
    const std::string body = bodyOfSize(16 * 1024 * 1024);
    ScriptedServer server;
    server.send("one\r\n")
        .expect(body.substr(0, 1000))
        .send("two\r\nthree\r\n") // arrives while the handler is still writing
        .expect(body.substr(1000))
        .close();
    TestChannel c;
    std::size_t linesAfterSend = 0;
    c.onLine = [&](const std::string& line) {
        if (line == "go") {
            EXPECT_TRUE(c.SendText(body));
            linesAfterSend = c.lines.size();
        }
        if (line == "one") {
            if (fromReadNotification)
                c.runLineHandler("go");
            else
                QTimer::singleShot(0, &c, [&] { c.runLineHandler("go"); });
        }
        if (line == "three")
            c.QuitSent = true;
    };
    c.start(server.port());
    ASSERT_TRUE(server.waitDone(60000)) << server.report();
    ASSERT_TRUE(c.waitDone());
    EXPECT_EQ(linesAfterSend, 2u); // nothing was handed over inside the running handler
    EXPECT_EQ(c.maxDepth, fromReadNotification ? 2 : 1);
    EXPECT_EQ(c.lines, (std::vector<std::string>{"one", "go", "two", "three"}));
    EXPECT_TRUE(c.errors.empty());
}

TEST(LineChannel, LinesArrivingDuringAHandlerFollowItInOrder)
{
    linesArrivingDuringAHandlerFollowItInOrder(true);
}

TEST(LineChannel, LinesArrivingDuringAHandlerOfItsOwnFollowItInOrder)
{
    linesArrivingDuringAHandlerFollowItInOrder(false);
}

TEST(LineChannel, ALineLongerThanOneMebibyteEndsTheSession)
{
    const std::string flood = "-ERR " + std::string(4 * 1024 * 1024, 'x');
    ScriptedServer server;
    server.send(flood);
    TestChannel c;
    std::size_t mostPending = 0;
    c.OnRead = [&] {
        c.ReceiveLines();
        mostPending = std::max(mostPending, c.PendingText().size());
    };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_EQ(c.errors, (Errors{{13, "Unexpected response: " + flood.substr(0, 80)}}));
    EXPECT_EQ(c.ErrorCode, 13);
    EXPECT_TRUE(c.lines.empty());
    EXPECT_LE(mostPending, kMaxLineLength + 1);
    EXPECT_TRUE(c.PendingText().empty());
    EXPECT_FALSE(c.HasSocket());
}

TEST(LineChannel, ALongLineEndingInTheSameReceiveIsRefusedToo)
{
    const std::string start(kMaxLineLength - 10, 'y');
    ScriptedServer server;
    TestChannel c;
    server.send(start)
        .await([&] { return c.PendingText().size() == start.size(); }, "the client holds the start")
        .send(std::string(20, 'z') + "\r\nnext\r\n");
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_EQ(c.errors, (Errors{{13, "Unexpected response: " + start.substr(0, 80)}}));
    EXPECT_TRUE(c.lines.empty());
}

TEST(LineChannel, ALineOfExactlyOneMebibyteIsDelivered)
{
    const std::string longest(kMaxLineLength, 'L');
    ScriptedServer server;
    TestChannel c;
    server.send(longest + "\r")
        .await([&] { return c.PendingText().size() == kMaxLineLength + 1; }, "the CR waits for its LF")
        .send("\n")
        .send(longest + "\r\n")
        .send("+OK\r\n")
        .close();
    c.onLine = [&](const std::string& line) {
        if (line == "+OK")
            c.QuitSent = true;
    };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_TRUE(c.errors.empty()) << c.errors[0].second.substr(0, 100);
    ASSERT_EQ(c.lines.size(), 3u);
    EXPECT_EQ(c.lines[0], longest);
    EXPECT_EQ(c.lines[1], longest);
}

TEST(LineChannel, ASilentServerEndsTheSessionAfterTheIdleTime)
{
    ScriptedServer server;
    server.send("+OK hello\r\n").stall();
    TestChannel c;
    c.TimeoutIdle = 1;
    QElapsedTimer t;
    c.onLine = [&](const std::string&) { t.start(); };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone(5000));
    EXPECT_GE(t.elapsed(), 900);
    EXPECT_EQ(c.errors, (Errors{{8, "Connection timed out"}}));
    EXPECT_EQ(c.ErrorCode, 8);
    EXPECT_FALSE(c.HasSocket());
    EXPECT_TRUE(server.waitClientClosed()) << server.report();
    drainEvents();
    EXPECT_EQ(c.dones, 1);
}

TEST(LineChannel, AServerThatStopsReadingEndsTheSessionAfterTheIdleTime)
{
    const std::string body = bodyOfSize(20 * 1024 * 1024);
    ScriptedServer server;
    server.send("354 go ahead\r\n").stall();
    TestChannel c;
    c.TimeoutIdle = 1;
    bool sent = true;
    c.onLine = [&](const std::string&) { sent = c.SendText(body); };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone(20000));
    EXPECT_FALSE(sent);
    EXPECT_EQ(c.errors, (Errors{{8, "Connection timed out"}}));
}

TEST(LineChannel, ATalkingServerIsNotTimedOut)
{
    ScriptedServer server;
    QElapsedTimer t;
    server.call([&] { t.start(); }, "start the clock");
    for (int i = 1; i <= 4; ++i) {
        // Every gap (0.6 s) is below the idle time (1 s); the whole (2.4 s) is not.
        server.await([&t, i] { return t.elapsed() >= 600 * i; }, "0.6 s more");
        server.send("+OK " + std::to_string(i) + "\r\n");
    }
    server.close();
    TestChannel c;
    c.TimeoutIdle = 1;
    c.onLine = [&](const std::string& line) {
        if (line == "+OK 4")
            c.QuitSent = true;
    };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone(10000));
    EXPECT_TRUE(c.errors.empty());
    EXPECT_EQ(c.lines.size(), 4u);
}

TEST(LineChannel, AServerClosingBeforeTheClosingCommandIsPrematurelyDisconnected)
{
    ScriptedServer server;
    server.send("+OK\r\n").close();
    TestChannel c;
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_EQ(c.log, (std::vector<std::string>{"info 0", "line", "info 1", "error 17", "done"}));
    EXPECT_EQ(c.errors, (Errors{{17, "Prematurely Disconnected"}}));
    EXPECT_EQ(c.ErrorCode, 17);
    EXPECT_TRUE(c.Finished());
    drainEvents();
    EXPECT_EQ(c.dones, 1);
}

TEST(LineChannel, TheLastReplyAndTheCloseTogetherEndTheSessionWell)
{
    ScriptedServer server;
    TestChannel c;
    server.send("+OK\r\n").expect("QUIT\r\n").send("+OK bye\r\n").close();
    c.onLine = [&](const std::string& line) {
        if (line == "+OK") {
            c.QuitSent = true;
            c.SendLine("QUIT");
        }
    };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(c.lines, (std::vector<std::string>{"+OK", "+OK bye"}));
    EXPECT_EQ(c.log, (std::vector<std::string>{"info 0", "line", "info 6", "line", "info 1", "done"}));
    EXPECT_EQ(c.ErrorCode, 0);
}

TEST(LineChannel, AServerClosingDuringATextEndsTheSend)
{
    const std::string body = bodyOfSize(20 * 1024 * 1024);
    ScriptedServer server;
    server.send("354 go ahead\r\n").expect(body.substr(0, 1000)).close();
    TestChannel c;
    bool sent = true;
    c.onLine = [&](const std::string&) { sent = c.SendText(body); };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone(20000));
    EXPECT_FALSE(sent);
    ASSERT_EQ(c.errors.size(), 1u);
    EXPECT_EQ(c.errors[0].first, 17);
    drainEvents();
    EXPECT_EQ(c.dones, 1);
}

TEST(LineChannel, ARefusedConnectIsError12)
{
    TestChannel c;
    c.start(freeLoopbackPort());
    ASSERT_TRUE(c.waitDone());
    EXPECT_EQ(c.errors, (Errors{{12, "Connection Refused"}}));
    EXPECT_FALSE(c.hasInfo(0, "127.0.0.1"));
}

TEST(LineChannel, AConnectWithoutAnswerIsError8)
{
    UnansweredListener hole;
    TestChannel c;
    c.TimeoutConnect = 1;
    c.start(hole.port());
    ASSERT_TRUE(c.waitDone(5000));
    EXPECT_EQ(c.errors, (Errors{{8, "Connection timed out"}}));
    EXPECT_FALSE(c.HasSocket());
}

TEST(LineChannel, AHostNameIsLookedUpBeforeTheConnect)
{
    ScriptedServer server;
    server.send("+OK\r\n").close();
    TestChannel c;
    c.start(server.port(), "localhost");
    ASSERT_TRUE(c.waitDone());
    ASSERT_GE(c.infos.size(), 3u);
    EXPECT_EQ(c.infos[0], std::make_pair(12, std::string("localhost")));
    EXPECT_EQ(c.infos[1], std::make_pair(13, std::string("127.0.0.1")));
    EXPECT_EQ(c.infos[2], std::make_pair(0, std::string("127.0.0.1")));
    EXPECT_EQ(c.IPAddress, "127.0.0.1");
    EXPECT_EQ(c.lines, (std::vector<std::string>{"+OK"}));

    ScriptedServer second;
    second.send("220\r\n").close();
    TestChannel s(kSendMailLineCodes);
    s.start(second.port(), "localhost");
    ASSERT_TRUE(s.waitDone());
    ASSERT_GE(s.infos.size(), 2u);
    EXPECT_EQ(s.infos[0], std::make_pair(15, std::string("localhost")));
    EXPECT_EQ(s.infos[1], std::make_pair(14, std::string("127.0.0.1")));
}

TEST(LineChannel, HostNamesOf253CharactersConnectAndLongerOnesAreError16)
{
    std::string name;
    for (int i = 0; i < 3; ++i)
        name += std::string(63, 'a' + i) + ".";
    name += std::string(253 - name.size(), 'd');
    ASSERT_EQ(name.size(), 253u);

    ScriptedServer server;
    server.send("+OK\r\n").close();
    TestChannel c;
    c.resolver = TestChannel::Resolver::Answering;
    c.start(server.port(), name);
    ASSERT_TRUE(c.waitDone());
    EXPECT_EQ(c.lookedUp, (std::vector<std::string>{name}));
    EXPECT_TRUE(c.hasInfo(12, name));
    EXPECT_EQ(c.lines, (std::vector<std::string>{"+OK"}));

    TestChannel l;
    l.resolver = TestChannel::Resolver::Answering;
    l.start(server.port(), name + "e");
    ASSERT_TRUE(l.waitDone());
    EXPECT_TRUE(l.lookedUp.empty());
    EXPECT_EQ(l.errors, (Errors{{16, "Address resolution error"}}));
}

TEST(LineChannel, AFailedLookupIsError16)
{
    TestChannel c;
    c.start(110, std::string(64, 'x') + ".example");
    ASSERT_TRUE(c.waitDone());
    EXPECT_EQ(c.errors, (Errors{{16, "Address resolution error"}}));
}

TEST(LineChannel, ALookupWithoutAnswerIsError8)
{
    TestChannel c;
    c.resolver = TestChannel::Resolver::Silent;
    c.TimeoutArp = 1;
    c.start(110, "mail.example.org");
    ASSERT_TRUE(c.waitDone(5000));
    EXPECT_EQ(c.errors, (Errors{{8, "Connection timed out"}}));
}

TEST(LineChannel, RunLineHandlerActsAsAReceivedLine)
{
    ScriptedServer server;
    TestChannel c;
    server.send("+OK\r\n")
        .await([&] { return c.lines.size() == 1; }, "the greeting handled")
        .call([&] { c.runLineHandler(" "); }, "the session acts on its own")
        .expect("NOOP\r\n")
        .send("+OK fine\r\n")
        .close();
    bool inHandler = false;
    c.onLine = [&](const std::string& line) {
        if (line == " ") {
            inHandler = c.InHandler();
            c.SendLine("NOOP");
        }
        if (line == "+OK fine")
            c.QuitSent = true;
    };
    c.start(server.port());
    ASSERT_TRUE(c.waitDone());
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(inHandler);
    EXPECT_EQ(c.lines, (std::vector<std::string>{"+OK", " ", "+OK fine"}));
}

TEST(LineChannel, EachSessionOnOneObjectEndsOnce)
{
    TestChannel c;
    for (int round = 1; round <= 2; ++round) {
        ScriptedServer server;
        server.send("+OK\r\n").expect("QUIT\r\n").close();
        c.onLine = [&](const std::string&) {
            c.QuitSent = true;
            c.SendLine("QUIT");
        };
        c.start(server.port());
        EXPECT_TRUE(c.Busy());
        ASSERT_TRUE(QTest::qWaitFor([&] { return c.dones == round; }, 5000));
        EXPECT_TRUE(server.waitDone()) << server.report();
        c.Finish(); // after the end: nothing more
        drainEvents();
        EXPECT_EQ(c.dones, round);
        EXPECT_FALSE(c.Busy());
    }
    EXPECT_TRUE(c.errors.empty());
}

TEST(LineChannel, ASessionStartedFromOnDoneIsNotEndedByTheOneBefore)
{
    ScriptedServer first;
    first.send("+OK first\r\n").expectClose();
    ScriptedServer second;
    second.send("+OK second\r\n").expect("QUIT\r\n").close();
    TestChannel c;
    c.onLine = [&](const std::string& line) {
        if (line == "+OK first") {
            c.postDone(); // ends the session, keeping the connection ...
            c.Finish();   // ... and a cancel right after: still one end
        } else {
            c.QuitSent = true;
            c.SendLine("QUIT");
        }
    };
    std::vector<std::size_t> linesAtDone;
    c.OnDone = [&] {
        linesAtDone.push_back(c.lines.size());
        if (++c.dones == 1)
            c.start(second.port());
    };
    c.start(first.port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.dones == 2; }, 5000));
    EXPECT_TRUE(second.waitDone()) << second.report();
    EXPECT_EQ(c.lines, (std::vector<std::string>{"+OK first", "+OK second"}));
    // The second session ended after its own line, not at once through a second end of the first.
    EXPECT_EQ(linesAtDone, (std::vector<std::size_t>{1, 2}));
    drainEvents();
    EXPECT_EQ(c.dones, 2);
}
