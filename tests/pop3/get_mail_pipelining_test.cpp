// Pipelined retrieval against scripted servers: RETR commands in a window ahead of their
// answers, bounded by count and by bytes, answers arriving split or all at once, an error in the
// middle of a window, and a stop while answers are still on their way.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"
#include "pop3/get_mail.h"

using namespace tavik;
using namespace tavik::test;

namespace {

struct Session {
    GetMail mail;
    std::vector<std::pair<int, std::string>> errors;
    std::vector<std::string> subjects;
    int dones = 0;
    bool deleteAll = false;

    Session()
    {
        ensureCoreApplication();
        mail.User_ID = "user";
        mail.User_Password = "pw";
        mail.OnMailError = [this](int e, const std::string& a) { errors.emplace_back(e, a); };
        mail.OnDone = [this] { ++dones; };
        mail.OnMessageLoaded = [this] {
            subjects.push_back(mail.Subject() + "@" + std::to_string(mail.MessageNumber) + "/" + mail.CurrentUIDL());
            mail.Opt_Delete = deleteAll;
        };
    }
    void start(const ScriptedServer& server)
    {
        mail.SetMail_Server(server.address());
        mail.Mail_Port = server.port();
        mail.SetMail_Action(Get_Mail);
    }
    bool waitDone() { return QTest::qWaitFor([this] { return dones > 0; }, 10000); }
};

// Greeting, capabilities with PIPELINING, login and a listing of `count` messages u1, u2, ...
ScriptedServer& loginAndList(ScriptedServer& s, int count)
{
    std::string listing = "+OK\r\n";
    for (int i = 1; i <= count; ++i)
        listing += std::to_string(i) + " u" + std::to_string(i) + "\r\n";
    return s.send("+OK POP3 ready\r\n")
        .expect("CAPA\r\n")
        .send("+OK\r\nUIDL\r\nPIPELINING\r\nUSER\r\n.\r\n")
        .expect("USER user\r\n")
        .send("+OK\r\n")
        .expect("PASS pw\r\n")
        .send("+OK logged in\r\n")
        .expect("UIDL\r\n")
        .send(listing + ".\r\n");
}

std::string answer(const std::string& subject)
{
    return "+OK\r\nSubject: " + subject + "\r\n\r\nbody of " + subject + "\r\n.\r\n";
}

} // namespace

TEST(GetMailPipelining, RetrievalsGoOutInAWindowOfBytesAndTheDeletionsGoWithQuit)
{
    ScriptedServer server;
    Session s;
    s.deleteAll = true;
    s.mail.PipelineMaxBytes = 1000000;
    const std::string two = answer("two"), three = answer("three");
    loginAndList(server, 5)
        .expect("LIST\r\n")
        .send("+OK 5 messages\r\n1 400000\r\n2 400000\r\n3 400000\r\n4 400000\r\n5 400000\r\n.\r\n")
        // 400000 bytes each: a third would pass the bound, the first always goes.
        .expect("RETR 1\r\nRETR 2\r\nRETR 3\r\n")
        // Answers split inside a line and across answers, then the rest all at once.
        .send(answer("one") + two.substr(0, 12))
        .await([&] { return s.subjects.size() == 1; }, "message one filed")
        .send(two.substr(12) + three)
        .expect("RETR 4\r\nRETR 5\r\n")
        .send(answer("four") + answer("five"))
        .expect("DELE 1\r\nDELE 2\r\nDELE 3\r\nDELE 4\r\nDELE 5\r\nQUIT\r\n")
        .send("+OK\r\n+OK\r\n+OK\r\n+OK\r\n+OK\r\n+OK bye\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(s.errors.empty());
    EXPECT_TRUE(s.mail.Pipelined());
    EXPECT_EQ(s.subjects, (std::vector<std::string>{"one@1/u1", "two@2/u2", "three@3/u3", "four@4/u4", "five@5/u5"}));
    EXPECT_EQ(s.mail.DeletedUIDLs.lines(), (std::vector<std::string>{"u1", "u2", "u3", "u4", "u5"}));
    EXPECT_TRUE(s.mail.QuitAnswered());
    EXPECT_EQ(s.mail.KnownUIDLs.size(), 5u);
}

TEST(GetMailPipelining, AnErrorInTheMiddleOfAWindowEndsTheSessionAndDeletesNothing)
{
    ScriptedServer server;
    Session s;
    s.deleteAll = true;
    s.mail.PipelineMaxCommands = 2;
    s.mail.KnownUIDLs.add("old");
    loginAndList(server, 3)
        .expect("LIST\r\n")
        .send("-ERR no sizes here\r\n") // unknown sizes: the count bounds the window
        .expect("RETR 1\r\nRETR 2\r\n")
        .send(answer("one") + "-ERR message 2 is gone\r\n")
        .expectClose();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    ASSERT_EQ(s.errors.size(), 1u);
    EXPECT_EQ(s.errors[0].first, 13);
    EXPECT_EQ(s.subjects, std::vector<std::string>{"one@1/u1"});
    EXPECT_TRUE(s.mail.DeletedUIDLs.empty()); // held back, never sent
    EXPECT_EQ(s.mail.KnownUIDLs.lines(), std::vector<std::string>{"old"});
}

TEST(GetMailPipelining, AStopFinishesTheMessageInHandAndDropsTheAnswersInFlight)
{
    ScriptedServer server;
    Session s;
    s.deleteAll = true;
    s.mail.KnownUIDLs.add("old");
    loginAndList(server, 3)
        .expect("LIST\r\n")
        .send("+OK\r\n1 60\r\n2 60\r\n3 60\r\n.\r\n")
        .expect("RETR 1\r\nRETR 2\r\nRETR 3\r\n")
        .send("+OK\r\nSubject: one\r\n\r\nfirst half\r\n")
        .await([&] { return s.mail.State == 2; }, "message one under way")
        .call([&] { s.mail.Cancel(); }, "stop")
        .send("second half\r\n.\r\n")
        // Only the message finished is deleted; two and three were on their way.
        .expect("DELE 1\r\nQUIT\r\n")
        .send(answer("two") + answer("three") + "+OK\r\n+OK bye\r\n")
        .close();
    s.start(server);
    ASSERT_TRUE(s.waitDone()) << server.report();
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.subjects, std::vector<std::string>{"one@1/u1"});
    EXPECT_EQ(s.mail.DeletedUIDLs.lines(), std::vector<std::string>{"u1"});
    EXPECT_EQ(s.mail.KnownUIDLs.lines(), std::vector<std::string>{"old"});
    EXPECT_EQ(s.mail.ErrorCode, 0);
}

TEST(GetMailPipelining, DeletionsWaitUntilTheOwnerHasMadeTheBatchDurable)
{
    for (bool durable : {true, false}) {
        ScriptedServer server;
        Session s;
        s.deleteAll = true;
        int asked = 0;
        s.mail.OnBeforeDeletions = [&] {
            ++asked;
            EXPECT_EQ(s.subjects.size(), 2u); // every message filed before
            return durable;
        };
        loginAndList(server, 2)
            .expect("LIST\r\n")
            .send("+OK\r\n1 60\r\n2 60\r\n.\r\n")
            .expect("RETR 1\r\nRETR 2\r\n")
            .send(answer("one") + answer("two"))
            .expect(durable ? "DELE 1\r\nDELE 2\r\nQUIT\r\n" : "QUIT\r\n")
            .send(durable ? "+OK\r\n+OK\r\n+OK bye\r\n" : "+OK bye\r\n")
            .close();
        s.start(server);
        ASSERT_TRUE(s.waitDone()) << server.report();
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(s.mail.DeletedUIDLs.size(), durable ? 2u : 0u);
    }
}
