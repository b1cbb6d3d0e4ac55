// The POP3 session against scripted servers: exact command transcripts, CAPA and the sign-in
// (USER/PASS, AUTH PLAIN, STLS), the UID bookkeeping, the STAT path, previews with skip and
// delete, cancel, and servers that answer badly, close early or stall.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QTimer>

#include <algorithm>

#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"
#include "pop3/get_mail.h"

using namespace tavik;
using namespace tavik::test;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureCoreApplication(); }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

using Reports = std::vector<std::pair<int, std::string>>;

struct Loaded {
    int number;
    std::string subject;
    std::vector<std::string> text;
};

// A session with every report recorded; `onMessage` / `onHeaders` steer the options.
class Session {
public:
    GetMail mail;
    Reports infos, errors;
    std::vector<Loaded> messages, previews;
    int dones = 0;
    std::function<void(GetMail&)> onMessage, onHeaders;

    Session()
    {
        mail.User_ID = "user";
        mail.User_Password = "pw";
        mail.OnMailInfo = [this](int i, const std::string& a) { infos.emplace_back(i, a); };
        mail.OnMailError = [this](int e, const std::string& a) { errors.emplace_back(e, a); };
        mail.OnDone = [this] { ++dones; };
        mail.OnMessageLoaded = [this] {
            messages.push_back({mail.MessageNumber, mail.Subject(), mail.MessageText()});
            if (onMessage)
                onMessage(mail);
        };
        mail.OnHeadersLoaded = [this] {
            previews.push_back({mail.MessageNumber, mail.Subject(), mail.MessageText()});
            if (onHeaders)
                onHeaders(mail);
        };
    }
    void start(const ScriptedServer& server)
    {
        mail.SetMail_Server(server.address());
        mail.Mail_Port = server.port();
        mail.SetMail_Action(Get_Mail);
    }
    bool waitDone(int timeoutMs = 10000)
    {
        return QTest::qWaitFor([this] { return dones > 0; }, timeoutMs);
    }
    std::vector<std::string> infoTexts(int info) const
    {
        std::vector<std::string> out;
        for (const auto& [i, a] : infos)
            if (i == info)
                out.push_back(a);
        return out;
    }
    std::vector<int> numbers() const
    {
        std::vector<int> out;
        for (const auto& m : messages)
            out.push_back(m.number);
        return out;
    }
};

// Greeting and login as every script begins: a server without CAPA.
ScriptedServer& login(ScriptedServer& s)
{
    return s.send("+OK POP3 ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR unknown command\r\n")
        .expect("USER user\r\n")
        .send("+OK\r\n")
        .expect("PASS pw\r\n")
        .send("+OK logged in\r\n");
}

std::string message(const std::string& subject, const std::string& body = "body\r\n")
{
    return "Subject: " + subject + "\r\nFrom: a@example.org\r\n\r\n" + body;
}

void drainEvents()
{
    bool reached = false;
    QTimer::singleShot(0, [&] { reached = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return reached; }, 5000));
}

} // namespace

TEST(GetMail, RetrievesTheNewMessagesDeletesOnRequestAndSavesTheServersUids)
{
    ScriptedServer server;
    Session s;
    s.mail.KnownUIDLs.add("UID-b"); // known, in another letter case than the server's
    s.mail.KnownUIDLs.add("gone");  // no longer on the server: drops out
    login(server)
        .expect("UIDL\r\n")
        .send("+OK 3 messages\r\n1 uid-a\r\n2 uid-B\r\n")
        .send("3 uid-c\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK 40 octets\r\n" + message("first"))
        .send(".\r\n")
        .expect("DELE 1\r\n")
        .send("+OK deleted\r\n")
        .expect("RETR 3\r\n")
        .send("+OK 41 octets\r\n" + message("third") + ".\r\n")
        .expect("QUIT\r\n")
        .send("+OK bye\r\n")
        .close();
    s.onMessage = [](GetMail& m) { m.Opt_Delete = m.MessageNumber == 1; };
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.mail.ErrorCode, 0);
    EXPECT_EQ(s.numbers(), (std::vector<int>{1, 3}));
    EXPECT_EQ(s.messages[0].subject, "first");
    EXPECT_EQ(s.messages[1].text, (std::vector<std::string>{"Subject: third", "From: a@example.org", "", "body"}));
    EXPECT_EQ(s.mail.KnownUIDLs.lines(), (std::vector<std::string>{"uid-a", "uid-B", "uid-c"}));
    EXPECT_TRUE(s.mail.UIDLSupported);
    EXPECT_EQ(s.mail.MessageCount, 2);
    EXPECT_FALSE(s.mail.Opt_Delete); // consumed by DELE 1 and not set for 3

    // The reports in the order the session made them (byte counts and sizes checked apart).
    Reports flow;
    for (const auto& r : s.infos)
        if (r.first != 3 && r.first != 4)
            flow.push_back(r);
    const Reports expected = {{0, "127.0.0.1"}, {6, "CAPA\r\n"}, {6, "USER user\r\n"}, {11, ""}, {6, "PASS pw\r\n"},
        {10, "Access Granted"}, {6, "UIDL\r\n"}, {7, ""}, {8, "1"}, {2, "2"}, {6, "RETR 1\r\n"},
        {6, "DELE 1\r\n"}, {6, "RETR 3\r\n"}, {6, "QUIT\r\n"}, {1, ""}};
    EXPECT_EQ(flow, expected);
    EXPECT_EQ(s.infoTexts(3), (std::vector<std::string>{"40", "41"}));
    // Info 4 counts the bytes of the message in hand, each line with its CR LF.
    const auto counts = s.infoTexts(4);
    ASSERT_EQ(counts.size(), 8u);
    EXPECT_EQ((std::vector<std::string>(counts.begin(), counts.begin() + 4)),
        (std::vector<std::string>{"16", "37", "39", "45"}));
    EXPECT_EQ(counts[7], "45");
    drainEvents();
    EXPECT_EQ(s.dones, 1);
    EXPECT_FALSE(s.mail.Busy());
}

TEST(GetMail, StuffedDotsAreRemovedAndOnlyALoneDotEndsTheMessage)
{
    ScriptedServer server;
    Session s;
    login(server)
        .expect("UIDL\r\n")
        .send("+OK\r\n1 a\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK 60 octets\r\nSubject: dots\r\n\r\n..\r\n...x\r\n..y\r\n. \r\n")
        .send(".\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    ASSERT_EQ(s.messages.size(), 1u);
    EXPECT_EQ(s.messages[0].text, (std::vector<std::string>{"Subject: dots", "", ".", "..x", ".y", " "}));
    EXPECT_TRUE(s.errors.empty());
}

TEST(GetMail, WithoutUidlTheSessionCountsWithStatAndRetrievesInOrder)
{
    ScriptedServer server;
    Session s;
    s.mail.KnownUIDLs.add("old");
    login(server)
        .expect("UIDL\r\n")
        .send("-ERR unknown command\r\n")
        .expect("STAT\r\n")
        .send("+OK 2 320\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\n" + message("one") + ".\r\n")
        .expect("RETR 2\r\n")
        .send("+OK 12 octets\r\n" + message("two") + ".\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.numbers(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(s.mail.UIDLSupported);
    EXPECT_EQ(s.infoTexts(8), (std::vector<std::string>{"0"}));
    EXPECT_EQ(s.infoTexts(2), (std::vector<std::string>{"2"}));
    // A RETR answer without " octets" announces no size.
    EXPECT_EQ(s.infoTexts(3), (std::vector<std::string>{"", "12"}));
    // No listing: the saved UIDs become the (empty) listing.
    EXPECT_TRUE(s.mail.KnownUIDLs.empty());
}

TEST(GetMail, StatAnswersWithoutSizeOrWithoutCountMeanNoMessages)
{
    for (const std::string answer : {"+OK 2", "+OK", "+OK 0 0"}) {
        ScriptedServer server;
        Session s;
        login(server)
            .expect("UIDL\r\n")
            .send("-ERR\r\n")
            .expect("STAT\r\n")
            .send(answer + "\r\n")
            .expect("QUIT\r\n")
            .send("+OK\r\n")
            .close();
        s.start(server);
        ASSERT_TRUE(s.waitDone()) << answer << server.report();
        EXPECT_TRUE(server.waitDone()) << answer << server.report();
        EXPECT_TRUE(s.errors.empty()) << answer;
        EXPECT_TRUE(s.messages.empty()) << answer;
        EXPECT_EQ(s.infoTexts(2), (std::vector<std::string>{"0"})) << answer;
    }
}

TEST(GetMail, NumbersThatAreNotDecimalEndTheSessionWithError13)
{
    struct Case {
        std::string listing; // UIDL answer lines after the status line, or a STAT answer
        bool stat;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"+OK x2 100", true, "+OK x2 100"},
        {"+OK -1 100", true, "+OK -1 100"},
        {"+OK 99999999999 1", true, "+OK 99999999999 1"},
        {"1a uid\r\n", false, "1a uid"},
        {"uid-without-number\r\n", false, "uid-without-number"},
        {"0 zero\r\n", false, "0 zero"},
    };
    for (const Case& c : cases) {
        ScriptedServer server;
        Session s;
        login(server).expect("UIDL\r\n");
        if (c.stat)
            server.send("-ERR\r\n").expect("STAT\r\n").send(c.listing + "\r\n").expectClose();
        else
            server.send("+OK\r\n1 fine\r\n" + c.listing).expectClose();
        s.start(server);
        ASSERT_TRUE(s.waitDone()) << c.shown << server.report();
        EXPECT_TRUE(server.waitDone()) << c.shown << server.report();
        EXPECT_EQ(s.errors, (Reports{{13, "Unexpected response: " + c.shown}}));
        EXPECT_TRUE(s.messages.empty());
        EXPECT_TRUE(s.mail.KnownUIDLs.empty());
        drainEvents();
        EXPECT_EQ(s.dones, 1);
    }
}

TEST(GetMail, AUidListedTwiceOrInAnotherCaseIsRetrievedOnce)
{
    ScriptedServer server;
    Session s;
    login(server)
        .expect("UIDL\r\n")
        .send("+OK\r\n1 Same\r\n2 same\r\n3 SAME\r\n4 other\r\n4 other\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\n" + message("one") + ".\r\n")
        .expect("RETR 4\r\n")
        .send("+OK\r\n" + message("four") + ".\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(s.numbers(), (std::vector<int>{1, 4}));
    EXPECT_EQ(s.infoTexts(2), (std::vector<std::string>{"2"}));
    EXPECT_EQ(s.mail.KnownUIDLs.lines(), (std::vector<std::string>{"Same", "other"}));
}

TEST(GetMail, WhenEveryUidIsKnownNothingIsRetrievedAndTheSavedUidsFollowTheServer)
{
    ScriptedServer server;
    Session s;
    for (const char* uid : {"a", "B", "deleted-meanwhile"})
        s.mail.KnownUIDLs.add(uid);
    login(server)
        .expect("UIDL\r\n")
        .send("+OK\r\n1 A\r\n2 b\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("-ERR the answer to QUIT is not looked at here\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(s.errors.empty());
    EXPECT_TRUE(s.messages.empty());
    EXPECT_EQ(s.infoTexts(2), (std::vector<std::string>{"0"}));
    EXPECT_EQ(s.mail.KnownUIDLs.lines(), (std::vector<std::string>{"A", "b"}));

    // An empty mailbox empties the saved UIDs.
    ScriptedServer empty;
    Session e;
    e.mail.KnownUIDLs.add("a");
    login(empty).expect("UIDL\r\n").send("+OK\r\n.\r\n").expect("QUIT\r\n").send("+OK\r\n").close();
    e.start(empty);
    ASSERT_TRUE(e.waitDone()) << empty.report();
    EXPECT_TRUE(e.mail.KnownUIDLs.empty());
}

TEST(GetMail, RefusedLoginAtAnyStepIsAccessDenied)
{
    for (int step = 0; step < 3; ++step) {
        ScriptedServer server;
        Session s;
        if (step == 0) {
            server.send("-ERR go away\r\n").expectClose();
        } else {
            server.send("+OK ready\r\n").expect("CAPA\r\n").send("-ERR\r\n").expect("USER user\r\n");
            if (step == 1)
                server.send("-ERR no such user\r\n").expectClose();
            else
                server.send("+OK\r\n").expect("PASS pw\r\n").send("-ERR wrong\r\n").expectClose();
        }
        s.start(server);
        ASSERT_TRUE(s.waitDone()) << step << server.report();
        EXPECT_TRUE(server.waitDone()) << step << server.report();
        EXPECT_EQ(s.errors, (Reports{{19, "Access Denied"}})) << step;
        EXPECT_EQ(s.mail.ErrorCode, 19);
    }
}

TEST(GetMail, NegativeAnswersAfterLoginAreUnexpectedResponses)
{
    struct Case {
        const char* what;
        bool preview;
        std::function<void(ScriptedServer&)> script;
    };
    const std::vector<Case> cases = {
        {"RETR", false, [](ScriptedServer& s) { s.expect("RETR 1\r\n").send("-ERR no such message\r\n"); }},
        {"TOP", true, [](ScriptedServer& s) { s.expect("TOP 1 0\r\n").send("-ERR no such message\r\n"); }},
        {"DELE", false,
         [](ScriptedServer& s) {
             s.expect("RETR 1\r\n").send("+OK\r\n" + message("x") + ".\r\n");
             s.expect("DELE 1\r\n").send("-ERR no such message\r\n");
         }},
        {"QUIT", false,
         [](ScriptedServer& s) {
             s.expect("RETR 1\r\n").send("+OK\r\n" + message("x") + ".\r\n");
             s.expect("DELE 1\r\n").send("+OK\r\n");
             s.expect("QUIT\r\n").send("-ERR no such message\r\n");
         }},
    };
    for (const Case& c : cases) {
        ScriptedServer server;
        Session s;
        s.mail.Opt_Preview = c.preview;
        s.onMessage = [](GetMail& m) { m.Opt_Delete = true; };
        login(server).expect("UIDL\r\n").send("+OK\r\n1 a\r\n.\r\n");
        c.script(server);
        server.expectClose();
        s.start(server);
        ASSERT_TRUE(s.waitDone()) << c.what << server.report();
        EXPECT_TRUE(server.waitDone()) << c.what << server.report();
        EXPECT_EQ(s.errors, (Reports{{13, "Unexpected response: -ERR no such message"}})) << c.what;
        // A failed session keeps the UIDs it started with.
        EXPECT_TRUE(s.mail.KnownUIDLs.empty()) << c.what;
    }
}

TEST(GetMail, PreviewsDecideBetweenSkipDeleteAndRetrieve)
{
    ScriptedServer server;
    Session s;
    s.mail.Opt_Preview = true;
    s.onHeaders = [](GetMail& m) {
        if (m.Subject() == "skip me")
            m.Opt_Skip = true;
        if (m.Subject() == "delete me")
            m.Opt_Delete = true;
    };
    login(server)
        .expect("UIDL\r\n")
        .send("+OK\r\n1 a\r\n2 b\r\n3 c\r\n.\r\n")
        .expect("TOP 1 0\r\n")
        .send("+OK 99 octets\r\nSubject: skip me\r\n\r\n.\r\n")
        .expect("TOP 2 0\r\n")
        .send("+OK\r\nSubject: delete me\r\n\r\n.\r\n")
        .expect("DELE 2\r\n")
        .send("+OK\r\n")
        .expect("TOP 3 0\r\n")
        .send("+OK\r\nSubject: keep me\r\n\r\n.\r\n")
        .expect("RETR 3\r\n")
        .send("+OK\r\n" + message("keep me", "kept\r\n") + ".\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(s.errors.empty());
    ASSERT_EQ(s.previews.size(), 3u);
    EXPECT_EQ(s.previews[0].number, 1);
    EXPECT_EQ(s.previews[0].text, (std::vector<std::string>{"Subject: skip me", ""}));
    EXPECT_EQ(s.previews[2].subject, "keep me");
    EXPECT_EQ(s.numbers(), (std::vector<int>{3}));
    EXPECT_FALSE(s.mail.Opt_Skip);
    EXPECT_FALSE(s.mail.Opt_Delete);
    EXPECT_EQ(s.infoTexts(3).front(), "99");
}

TEST(GetMail, ASkippedLastPreviewQuits)
{
    ScriptedServer server;
    Session s;
    s.mail.Opt_Preview = true;
    s.onHeaders = [](GetMail& m) { m.Opt_Skip = true; };
    login(server)
        .expect("UIDL\r\n")
        .send("+OK\r\n1 a\r\n.\r\n")
        .expect("TOP 1 0\r\n")
        .send("+OK\r\nSubject: s\r\n\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(s.messages.empty());
    EXPECT_EQ(s.mail.KnownUIDLs.lines(), (std::vector<std::string>{"a"}));
}

TEST(GetMail, CancelDuringRetrievalFinishesTheMessageQuitsAndKeepsTheOldUids)
{
    ScriptedServer server;
    Session s;
    s.mail.KnownUIDLs.add("old");
    login(server)
        .expect("UIDL\r\n")
        .send("+OK\r\n1 a\r\n2 b\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\nSubject: one\r\n\r\nfirst half\r\n")
        .await([&] { return s.mail.State == 2; }, "the message is under way")
        .call([&] { s.mail.Cancel(); }, "cancel")
        .send("second half\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(s.errors.empty());
    ASSERT_EQ(s.messages.size(), 1u);
    EXPECT_EQ(s.messages[0].text.back(), "second half");
    EXPECT_TRUE(s.mail.CancelRequested());
    EXPECT_EQ(s.mail.KnownUIDLs.lines(), (std::vector<std::string>{"old"}));
}

TEST(GetMail, CancelBeforeRetrievalAbortsAtOnceWithoutAnError)
{
    ScriptedServer server;
    Session s;
    server.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER user\r\n")
        .call([&] { s.mail.Cancel(); }, "cancel")
        .expectClose();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.mail.ErrorCode, 14);
    drainEvents();
    EXPECT_EQ(s.dones, 1);
}

TEST(GetMail, AStalledRetrievalEndsByTheIdleTimeOrASecondCancel)
{
    {
        ScriptedServer server;
        Session s;
        s.mail.TimeoutIdle = 1;
        login(server).expect("UIDL\r\n").send("+OK\r\n1 a\r\n.\r\n").expect("RETR 1\r\n").send("+OK\r\nSubject: x\r\n").stall();
        s.start(server);
        ASSERT_TRUE(s.waitDone(8000)) << server.report();
        EXPECT_EQ(s.errors, (Reports{{8, "Connection timed out"}}));
        EXPECT_TRUE(s.messages.empty());
    }
    {
        ScriptedServer server;
        Session s;
        login(server)
            .expect("UIDL\r\n")
            .send("+OK\r\n1 a\r\n.\r\n")
            .expect("RETR 1\r\n")
            .send("+OK\r\nSubject: x\r\n")
            .await([&] { return s.mail.State == 2; }, "the message is under way")
            .stall();
        s.start(server);
        ASSERT_TRUE(server.waitDone()) << server.report();
        s.mail.Cancel();
        EXPECT_TRUE(s.mail.Busy()); // the first waits for the end of the message
        s.mail.Cancel();
        ASSERT_TRUE(s.waitDone()) << server.report();
        EXPECT_EQ(s.mail.ErrorCode, 14);
        EXPECT_TRUE(s.errors.empty());
    }
}

TEST(GetMail, AServerClosingBeforeQuitIsAPrematureDisconnect)
{
    ScriptedServer server;
    Session s;
    login(server)
        .expect("UIDL\r\n")
        .send("+OK\r\n1 a\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\nSubject: cut\r\n\r\nsome text\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_EQ(s.errors, (Reports{{17, "Prematurely Disconnected"}}));
    EXPECT_TRUE(s.messages.empty());
    EXPECT_TRUE(s.mail.KnownUIDLs.empty());
    drainEvents();
    EXPECT_EQ(s.dones, 1);
}

TEST(GetMail, AClosingQuitIsTheNormalEndEvenWithoutItsAnswer)
{
    ScriptedServer server;
    Session s;
    s.mail.KnownUIDLs.add("old");
    login(server)
        .expect("UIDL\r\n")
        .send("+OK\r\n1 a\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\n" + message("x") + ".\r\n")
        .expect("QUIT\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.messages.size(), 1u);
    // Without the server's word that QUIT succeeded the old UIDs stay.
    EXPECT_EQ(s.mail.KnownUIDLs.lines(), (std::vector<std::string>{"old"}));
}

TEST(GetMail, RepliesSplitAnywhereArriveAsTheSameLines)
{
    ScriptedServer server;
    Session s;
    server.send("+OK re")
        .await([&] { return s.mail.PendingText() == "+OK re"; }, "half a greeting")
        .send("ady\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER user\r\n")
        .send("+OK\r\n")
        .expect("PASS pw\r\n")
        .send("+OK\r\n")
        .expect("UIDL\r\n")
        .send("+OK\r\n1 a")
        .await([&] { return s.mail.PendingText() == "1 a"; }, "half a listing line")
        .send("bc\r\n.")
        .await([&] { return s.mail.PendingText() == "."; }, "a dot waiting for its line end")
        .send("\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\nSubject: split\r")
        .await([&] { return s.mail.PendingText() == "Subject: split\r"; }, "a CR waiting for its LF")
        .send("\n\r\nbody\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    ASSERT_EQ(s.messages.size(), 1u);
    EXPECT_EQ(s.messages[0].text, (std::vector<std::string>{"Subject: split", "", "body"}));
    EXPECT_EQ(s.mail.KnownUIDLs.lines(), (std::vector<std::string>{"abc"}));
}

TEST(GetMail, AStartWhileASessionRunsIsReportedAndIgnored)
{
    ScriptedServer server;
    Session s;
    server.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER user\r\n")
        .call([&] { s.mail.SetMail_Action(Get_Mail); }, "second start")
        .send("-ERR\r\n")
        .expectClose();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(s.infoTexts(9).size(), 1u);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(s.mail.Mail_Action(), GM_None);
    EXPECT_STREQ(s.mail.Version(), "GetMail 1.3.13");
}

TEST(UidList, LooksUpWithoutLetterCaseAndConsumesFromTheFront)
{
    UidList l;
    for (int i = 0; i < 3000; ++i)
        l.add("Uid" + std::to_string(i));
    EXPECT_TRUE(l.contains("UID2999"));
    EXPECT_TRUE(l.contains("uid0"));
    EXPECT_FALSE(l.contains("uid3000"));
    for (int i = 0; i < 2000; ++i)
        l.popFront();
    EXPECT_EQ(l.size(), 1000u);
    EXPECT_EQ(l.front(), "Uid2000");
    EXPECT_FALSE(l.contains("uid1999"));
    EXPECT_TRUE(l.contains("uid2000"));
    EXPECT_EQ(l.lines().back(), "Uid2999");
}

// ---- capabilities and sign-in -----------------------------------------------------------

TEST(GetMailSignIn, ACapaListingSaslPlainSignsInWithAuthPlainAndShowsNoCredential)
{
    ScriptedServer server;
    Session s;
    server.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        // Words in any letter case; PLAIN anywhere among the mechanisms.
        .send("+OK Capability list follows\r\nTOP\r\nuser\r\nsasl LOGIN Plain\r\nUIDL\r\n.\r\n")
        // "\0user\0pw" in base64.
        .expect("AUTH PLAIN AHVzZXIAcHc=\r\n")
        .send("+OK Logged in.\r\n")
        .expect("UIDL\r\n")
        .send("+OK\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(s.errors.empty());
    EXPECT_TRUE(s.mail.SaslPlainOffered());
    EXPECT_FALSE(s.mail.StlsOffered());
    Reports flow;
    for (const auto& r : s.infos)
        if (r.first == 6 || r.first == 10 || r.first == 11)
            flow.push_back(r);
    EXPECT_EQ(flow, (Reports{{6, "CAPA\r\n"}, {6, "AUTH PLAIN ****\r\n"}, {11, ""}, {10, "Access Granted"},
                        {6, "UIDL\r\n"}, {6, "QUIT\r\n"}}));
}

TEST(GetMailSignIn, APlainResponseTooLongForTheCommandLineGoesOnALineOfItsOwnUncut)
{
    // "\0aa" + "aaa" * k + "\0pw" is "AGFh" + "YWFh" * k + "AHB3": 58 groups still fit the 255
    // octets of "AUTH PLAIN ..." with its CR LF, 59 do not; 70 make a line longer than any command.
    auto responseOf = [](int k) {
        std::string r = "AGFh";
        for (int i = 0; i < k; ++i)
            r += "YWFh";
        return r + "AHB3";
    };
    for (int k : {58, 70}) {
        ScriptedServer server;
        Session s;
        s.mail.User_ID = "aa" + std::string(3 * k, 'a');
        server.send("+OK ready\r\n").expect("CAPA\r\n").send("+OK\r\nSASL PLAIN\r\n.\r\n");
        if (k == 58)
            server.expect("AUTH PLAIN " + responseOf(k) + "\r\n");
        else
            server.expect("AUTH PLAIN\r\n").send("+ \r\n").expect(responseOf(k) + "\r\n");
        server.send("+OK\r\n").expect("UIDL\r\n").send("+OK\r\n.\r\n").expect("QUIT\r\n").send("+OK\r\n").close();
        s.start(server);
        ASSERT_TRUE(s.waitDone()) << k << server.report();
        EXPECT_TRUE(server.waitDone()) << k << server.report();
        EXPECT_TRUE(s.errors.empty()) << k;
        if (k == 70) {
            EXPECT_EQ(s.infoTexts(6)[2], "****\r\n");
        }
    }
}

TEST(GetMailSignIn, ARefusedAuthPlainIsAccessDenied)
{
    ScriptedServer server;
    Session s;
    server.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("+OK\r\nSASL PLAIN\r\n.\r\n")
        .expect("AUTH PLAIN AHVzZXIAcHc=\r\n")
        .send("-ERR [AUTH] Authentication failed.\r\n")
        .expectClose();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(s.errors, (Reports{{19, "Access Denied"}}));
}

TEST(GetMailSignIn, AnEndlessCapabilityListEndsTheSession)
{
    std::string lines;
    for (int i = 0; i <= 1000; ++i)
        lines += "X-CAP-" + std::to_string(i) + "\r\n";
    ScriptedServer server;
    Session s;
    server.send("+OK ready\r\n").expect("CAPA\r\n").send("+OK\r\n" + lines).expectClose();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(s.errors, (Reports{{13, "Unexpected response: a capability list of more than 1000 lines"}}));
}

TEST(GetMailSignIn, StlsMissingFromTheCapabilitiesEndsTheSessionBeforeAnythingElseIsSent)
{
    ScriptedServer server;
    Session s;
    s.mail.StartTlsRequired = true;
    server.send("+OK ready\r\n").expect("CAPA\r\n").send("+OK\r\nUSER\r\nSASL PLAIN\r\n.\r\n").expectClose();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(s.errors, (Reports{{21, "The server does not offer STLS (its capabilities do not list it); nothing was sent"}}));
    EXPECT_EQ(server.received(), "CAPA\r\n");
}

TEST(GetMailSignIn, CapabilitiesLearntBeforeStlsAreForgottenAfterTheHandshake)
{
    Session s;
    s.mail.StartTlsRequired = true;
    s.mail.CaFile = testCertificates().ca.certificate;
    bool userOverTls = false;
    ScriptedServer secure;
    secure.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("+OK\r\nSTLS\r\nSASL PLAIN\r\n.\r\n")
        .expect("STLS\r\n")
        .send("+OK Begin TLS negotiation now.\r\n")
        .startTls(testCertificates().server)
        .expect("CAPA\r\n")
        .send("+OK\r\nUSER\r\n.\r\n")
        .expect("USER user\r\n")
        .call([&] { userOverTls = s.mail.Encrypted(); }, "the user name came over TLS")
        .send("+OK\r\n")
        .expect("PASS pw\r\n")
        .send("+OK\r\n")
        .expect("UIDL\r\n")
        .send("+OK\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    s.start(secure);
    ASSERT_TRUE(s.waitDone()) << secure.report();
    EXPECT_TRUE(secure.waitDone()) << secure.report();
    EXPECT_TRUE(s.errors.empty()) << s.errors.front().second;
    EXPECT_TRUE(userOverTls);
    EXPECT_FALSE(s.mail.SaslPlainOffered());
}
