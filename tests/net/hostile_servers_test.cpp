// Both sessions against servers that misbehave on purpose: floods without line breaks, NUL
// bytes, overlong reply lines, endless listings, messages and multi-line replies, silence,
// closes in the middle, garbage and absurd sizes. Each case must end (with its error where one
// is due) and OnDone once, with the process's peak memory staying under 64 MB.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <string>

#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"
#include "pop3/get_mail.h"
#include "smtp/send_mail.h"

using namespace tavik;
using namespace tavik::test;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureCoreApplication(); }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

constexpr long kMemoryBoundKb = 64 * 1024;
constexpr unsigned long long kMegabyte = 1024ull * 1024;

// Peak resident memory since the last reset, in KiB.
long peakKb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}
void resetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

using Reports = std::vector<std::pair<int, std::string>>;

// Runs the event loop until `done` holds, at most `ms`; a real loop, since QTest::qWaitFor
// sleeps between its rounds and would slow the floods down to a crawl.
bool loopUntil(const std::function<bool()>& done, int ms)
{
    QEventLoop loop;
    QTimer check, limit;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    check.start(5);
    limit.setSingleShot(true);
    limit.start(ms);
    if (!done())
        loop.exec();
    return done();
}

struct Pop3 {
    GetMail mail;
    Reports errors;
    int dones = 0, messages = 0;
    std::vector<std::string> lastText;
    Pop3()
    {
        mail.User_ID = "u";
        mail.User_Password = "p";
        mail.TimeoutIdle = 3;
        mail.OnMailError = [this](int e, const std::string& a) { errors.emplace_back(e, a.substr(0, 100)); };
        mail.OnDone = [this] { ++dones; };
        mail.OnMessageLoaded = [this] {
            ++messages;
            lastText = mail.MessageText();
        };
    }
    bool run(ScriptedServer& s, int ms = 60000)
    {
        mail.SetMail_Server(s.address());
        mail.Mail_Port = s.port();
        mail.SetMail_Action(Get_Mail);
        return loopUntil([this] { return dones > 0; }, ms);
    }
};

ScriptedServer& pop3Login(ScriptedServer& s)
{
    return s.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER u\r\n")
        .send("+OK\r\n")
        .expect("PASS p\r\n")
        .send("+OK\r\n")
        .expect("UIDL\r\n");
}

struct Smtp {
    SendMail mail;
    Reports errors;
    int dones = 0;
    Smtp()
    {
        mail.FROM_Address = "from@example.org";
        mail.TO_Address = "to@example.org";
        mail.Subject = "s";
        mail.MailText = {std::string(50000, 'b')};
        mail.TimeoutIdle = 3;
        mail.OnMailError = [this](int e, const std::string& a) { errors.emplace_back(e, a.substr(0, 100)); };
        mail.OnDone = [this] { ++dones; };
    }
    bool run(ScriptedServer& s, int ms = 60000)
    {
        mail.SetSMTP_Server(s.address());
        mail.SMTP_Port = s.port();
        mail.SetAction(TMailAction::Send_Mail);
        return loopUntil([this] { return dones > 0; }, ms);
    }
};

void drain()
{
    bool reached = false;
    QTimer::singleShot(0, [&] { reached = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return reached; }, 5000));
}

// A literal with its NUL bytes.
template <std::size_t N>
std::string bytes(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

int firstError(const Reports& r) { return r.empty() ? 0 : r.front().first; }

class Hostile : public ::testing::Test {
protected:
    void SetUp() override { resetPeak(); }
    void TearDown() override
    {
#if defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer keeps freed memory in quarantine and adds its shadow: the bound is for
        // the program as users run it.
        return;
#endif
        EXPECT_LT(peakKb(), kMemoryBoundKb) << "peak memory in KiB";
    }
};

} // namespace

TEST_F(Hostile, Pop3FloodWithoutALineBreak)
{
    ScriptedServer s;
    s.send("+OK ready\r\n").expect("CAPA\r\n").send("-ERR\r\n");
    s.expect("USER u\r\n").flood("x", 100 * kMegabyte).expectClose();
    Pop3 p;
    ASSERT_TRUE(p.run(s));
    EXPECT_EQ(firstError(p.errors), 13);
    EXPECT_LT(s.flooded(), 100 * kMegabyte); // the client hung up long before the end
    drain();
    EXPECT_EQ(p.dones, 1);
}

TEST_F(Hostile, Pop3TenMegabyteReplyLine)
{
    ScriptedServer s;
    s.send("+OK ready\r\n").expect("CAPA\r\n").send("-ERR\r\n");
    s.expect("USER u\r\n").send("+OK " + std::string(10 * kMegabyte, 'y') + "\r\n").expectClose();
    Pop3 p;
    ASSERT_TRUE(p.run(s));
    EXPECT_EQ(firstError(p.errors), 13);
    // The line is shown by its first 80 characters (the recorder keeps 100 of the text).
    EXPECT_EQ(p.errors.front().second, "Unexpected response: +OK " + std::string(75, 'y'));
}

TEST_F(Hostile, Pop3NulBytesAndGarbageAfterPlusOk)
{
    ScriptedServer s;
    s.send(bytes("+OK\x01\xff\0garbage\r\n"))
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER u\r\n")
        .send("+OK\x80\x81\r\n")
        .expect("PASS p\r\n")
        .send("+OK  \t\r\n")
        .expect("UIDL\r\n")
        .send(bytes("+OK\0\r\n1 a\r\n.\r\n"))
        .expect("RETR 1\r\n")
        .send(bytes("+OK 2147483648 octets\r\nSub\0ject: z\r\n\r\nbo\0dy\r\n.\r\n"))
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    Pop3 p;
    std::vector<std::string> sizes;
    p.mail.OnMailInfo = [&](int i, const std::string& a) {
        if (i == 3)
            sizes.push_back(a);
    };
    ASSERT_TRUE(p.run(s));
    EXPECT_TRUE(s.waitDone()) << s.report();
    EXPECT_TRUE(p.errors.empty());
    ASSERT_EQ(p.messages, 1);
    EXPECT_EQ(p.lastText, (std::vector<std::string>{"Sub ject: z", "", "bo dy"}));
    EXPECT_EQ(sizes, (std::vector<std::string>{"2147483648"}));
}

TEST_F(Hostile, Pop3GarbageListingAndStat)
{
    {
        ScriptedServer s;
        pop3Login(s).send("+OK\r\n\x80\x81 \x82\r\n").expectClose();
        Pop3 p;
        ASSERT_TRUE(p.run(s));
        EXPECT_EQ(firstError(p.errors), 13);
    }
    {
        ScriptedServer s;
        pop3Login(s).send("-ERR\r\n").expect("STAT\r\n").send("+OK garbage\xff\r\n").expect("QUIT\r\n").send("+OK\r\n").close();
        Pop3 p;
        ASSERT_TRUE(p.run(s));
        EXPECT_TRUE(s.waitDone()) << s.report();
        EXPECT_TRUE(p.errors.empty());
        EXPECT_EQ(p.messages, 0);
    }
}

TEST_F(Hostile, Pop3EndlessListing)
{
    ScriptedServer s;
    pop3Login(s).send("+OK\r\n").flood("1 the-same-uid-again-and-again\r\n", 200 * kMegabyte).expectClose();
    Pop3 p;
    ASSERT_TRUE(p.run(s));
    EXPECT_EQ(p.errors, (Reports{{13, "Unexpected response: a listing of more than 100000 messages"}}));
}

TEST_F(Hostile, Pop3EndlessMessage)
{
    ScriptedServer s;
    pop3Login(s)
        .send("+OK\r\n1 a\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\nSubject: endless\r\n\r\n")
        .flood("a line of text that never stops coming, again and again\r\n", 300 * kMegabyte)
        .expectClose();
    Pop3 p;
    p.mail.MaxMessageBytes = 40 * 1024 * 1024;
    ASSERT_TRUE(p.run(s, 120000));
    EXPECT_EQ(p.errors, (Reports{{13, "Unexpected response: message 1 is larger than 41943040 bytes"}}));
    EXPECT_EQ(p.messages, 0);
}

TEST_F(Hostile, Pop3GreetingThenSilenceAndACloseInTheMiddle)
{
    {
        ScriptedServer s;
        s.send("+OK ready\r\n").stall();
        Pop3 p;
        p.mail.TimeoutIdle = 1;
        ASSERT_TRUE(p.run(s, 10000));
        EXPECT_EQ(p.errors, (Reports{{8, "Connection timed out"}}));
    }
    {
        ScriptedServer s;
        pop3Login(s).send("+OK\r\n1 a\r\n.\r\n").expect("RETR 1\r\n").send("+OK\r\nSubject: half\r\n\r\nsome").close();
        Pop3 p;
        ASSERT_TRUE(p.run(s));
        EXPECT_EQ(p.errors, (Reports{{17, "Prematurely Disconnected"}}));
        EXPECT_EQ(p.messages, 0);
    }
}

// A TLS port waits for the client's handshake without a word: a plain client must be told that,
// not merely that time ran out.
TEST_F(Hostile, ASilentServerIsNamedAsAPossibleTlsPortInBothSessions)
{
    {
        ScriptedServer s;
        s.stall();
        Pop3 p;
        p.mail.TimeoutIdle = 1;
        ASSERT_TRUE(p.run(s, 10000));
        EXPECT_EQ(p.errors, (Reports{{8, kTextNoGreeting}}));
    }
    {
        ScriptedServer s;
        s.stall();
        Smtp m;
        m.mail.TimeoutIdle = 1;
        ASSERT_TRUE(m.run(s, 10000));
        EXPECT_EQ(m.errors, (Reports{{8, kTextNoGreeting}}));
    }
}

TEST_F(Hostile, SmtpFloodWithoutALineBreakAndATenMegabyteLine)
{
    {
        ScriptedServer s;
        s.flood("2", 100 * kMegabyte).expectClose();
        Smtp m;
        ASSERT_TRUE(m.run(s));
        EXPECT_EQ(firstError(m.errors), 13);
    }
    {
        ScriptedServer s;
        s.send("220 " + std::string(10 * kMegabyte, 'z') + "\r\n").expectClose();
        Smtp m;
        ASSERT_TRUE(m.run(s));
        EXPECT_EQ(firstError(m.errors), 13);
    }
}

TEST_F(Hostile, SmtpEndlessMultiLineReply)
{
    ScriptedServer s;
    s.send("220 hi\r\n").expect("EHLO ").flood("250-still going\r\n", 100 * kMegabyte);
    Smtp m;
    ASSERT_TRUE(m.run(s));
    EXPECT_EQ(m.errors, (Reports{{13, "Unexpected response: 250-still going"}}));
    drain();
    EXPECT_EQ(m.dones, 1);
}

TEST_F(Hostile, SmtpNulBytesGarbageSilenceAndACloseInTheMiddle)
{
    {
        // Garbage behind the codes is no failure: the send goes through.
        ScriptedServer s;
        s.send(bytes("220\xff\0 garbage\r\n"))
            .expect("EHLO ")
            .await([] { return true; }, "the rest of EHLO");
        Smtp m;
        bool ehlo = false;
        m.mail.OnMailInfo = [&](int i, const std::string& a) { ehlo = ehlo || (i == 2 && a.rfind("EHLO ", 0) == 0); };
        s.send(bytes("250 o\0k\r\n")).stall();
        m.mail.TimeoutIdle = 1;
        ASSERT_TRUE(m.run(s, 10000));
        EXPECT_TRUE(ehlo);
        // After EHLO's reply it sent MAIL FROM and the server fell silent.
        EXPECT_EQ(m.errors, (Reports{{8, "Connection timed out"}}));
    }
    {
        ScriptedServer s;
        s.send("220 hi\r\n").expect("EHLO ").close();
        Smtp m;
        ASSERT_TRUE(m.run(s));
        EXPECT_EQ(firstError(m.errors), 17);
    }
}
