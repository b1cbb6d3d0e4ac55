// The POP3 session against a real Dovecot server: messages made by Python's email package
// arrive with their text and byte-identical attachments in a real attachment store, a second
// session with the saved UIDs retrieves nothing, deleting removes the messages on the server
// (as Python's poplib sees it), previews work, a wrong password is refused, and the sign-in goes
// by AUTH PLAIN over TLS.
#include <gtest/gtest.h>

#include <QTest>

#include <cstdio>
#include <map>

#include "peers/peer_fixtures.h"
#include "pop3/attachment_store.h"
#include "pop3/get_mail.h"
#include "pop3/python_messages.h"
#include "support/test_support.h"

using namespace tavik;
using namespace tavik::test;

namespace {

struct Part {
    std::int32_t number = 0;
    TMIMEAttachment stored;
};
struct Received {
    int number = 0;
    std::string subject, from, xuidl;
    std::vector<std::string> text;
    std::vector<Part> parts;
};

// A check of mail in miniature: one session wired to a real attachment store.
class Check {
public:
    GetMail mail;
    TAttachmentManager store;
    std::vector<Received> messages;
    std::vector<std::pair<int, std::string>> infos, errors;
    std::vector<Part> parts;
    int dones = 0;
    std::function<void(GetMail&)> onMessage;

    Check(const DovecotServer& server, const std::string& storeDir)
    {
        store.SetAttachmentDirectory(storeDir);
        mail.SetMail_Server(server.host());
        mail.Mail_Port = server.port();
        mail.User_ID = server.user();
        mail.User_Password = server.password();
        mail.TimeoutIdle = 30;
        mail.OnMailInfo = [this](int i, const std::string& a) {
            if (i != GM_BytesReceived)
                infos.emplace_back(i, a);
        };
        mail.OnMailError = [this](int e, const std::string& a) { errors.emplace_back(e, a); };
        mail.OnDone = [this] { ++dones; };
        mail.OnAttachmentGetLocation = [this](TMIMEAttachmentPtr a) {
            Part p;
            p.number = store.RegisterAttachment(*a);
            parts.push_back(p);
        };
        mail.OnAttachmentStored = [this](TMIMEAttachmentPtr a) {
            parts.back().stored = *a;
            store.UpdateAttachment(parts.back().number, *a);
        };
        mail.OnMessageLoaded = [this] {
            Received r;
            r.number = mail.MessageNumber;
            r.subject = mail.Subject();
            r.from = mail.From();
            r.text = mail.MessageText();
            r.parts = std::move(parts);
            parts.clear();
            messages.push_back(std::move(r));
            if (onMessage)
                onMessage(mail);
        };
    }
    bool run(int timeoutMs = 60000)
    {
        dones = 0;
        mail.SetMail_Action(Get_Mail);
        return QTest::qWaitFor([this] { return dones > 0; }, timeoutMs);
    }
};

std::vector<std::string> bodyOf(const std::vector<std::string>& text)
{
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i].empty())
            return std::vector<std::string>(text.begin() + static_cast<long>(i) + 1, text.end());
    return {};
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i)
        out += (i ? "\r\n" : "") + lines[i];
    return out;
}

// Python's poplib logs in and answers STAT's count.
int poplibCount(const DovecotServer& server)
{
    const std::string command = "/usr/bin/python3 -c \"import poplib; p = poplib.POP3('127.0.0.1', " +
        std::to_string(server.port()) + "); p.user('" + server.user() + "'); p.pass_('" +
        server.password() + "'); print(p.stat()[0]); p.quit()\"";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[64] = {};
    const bool read = fgets(buffer, sizeof buffer, pipe) != nullptr;
    const int status = pclose(pipe);
    return read && status == 0 ? std::atoi(buffer) : -1;
}

} // namespace

TEST(GetMailDovecot, EveryMessageArrivesIntactAndASecondCheckFindsNothingNew)
{
    TempDir tmp;
    const std::vector<ExpectedMessage> expected = [&] {
        std::vector<ExpectedMessage> list = makePythonMessages(tmp.path() + "python");
        return list;
    }();
    ASSERT_GE(expected.size(), 9u);
    DovecotServer server;
    for (const auto& m : expected)
        server.addMessageFile(tmp.path() + "python/" + m.file);
    ASSERT_TRUE(server.start()) << server.error() << server.log();

    Check check(server, tmp.path() + "attachments/");
    ASSERT_TRUE(check.run()) << server.log();
    EXPECT_TRUE(check.errors.empty()) << check.errors.front().second;
    ASSERT_EQ(check.messages.size(), expected.size());
    for (std::size_t n = 0; n < expected.size(); ++n) {
        const ExpectedMessage& m = expected[n];
        const Received& r = check.messages[n];
        SCOPED_TRACE(m.file);
        EXPECT_EQ(r.number, static_cast<int>(n + 1));
        EXPECT_EQ(r.subject, m.subject);
        EXPECT_EQ(r.from, m.from);
        if (m.hasText)
            EXPECT_EQ(joined(bodyOf(r.text)), m.textJoin);
        else
            EXPECT_TRUE(bodyOf(r.text).empty());
        ASSERT_EQ(r.parts.size(), m.files.size());
        for (std::size_t i = 0; i < m.files.size(); ++i) {
            SCOPED_TRACE(m.files[i].fileName);
            const TMIMEAttachment a = check.store.GetAttachment(r.parts[i].number);
            const std::string got = fileBytes(a.Location);
            const std::string want = fileBytes(tmp.path() + "python/" + m.files[i].payloadFile);
            if (m.files[i].exact)
                EXPECT_TRUE(got == want) << got.size() << " bytes, expected " << want.size();
            else
                EXPECT_EQ(crlfLines(got), want);
            EXPECT_EQ(a.FileName, m.files[i].fileName);
            EXPECT_EQ(a.ContentType, m.files[i].contentType);
            EXPECT_EQ(a.Size, static_cast<std::int32_t>(got.size()));
        }
    }
    // Numbering continued across the messages: every part has its own number.
    std::map<std::int32_t, int> numbers;
    for (const auto& r : check.messages)
        for (const auto& p : r.parts)
            EXPECT_EQ(++numbers[p.number], 1);

    std::vector<std::string> uids;
    for (std::size_t n = 1; n <= expected.size(); ++n)
        uids.push_back(server.uidl(static_cast<int>(n)));
    EXPECT_EQ(check.mail.KnownUIDLs.lines(), uids);

    // The same mailbox, checked again with the UIDs saved: nothing is new.
    Check again(server, tmp.path() + "attachments/");
    again.mail.KnownUIDLs.assign(check.mail.KnownUIDLs);
    ASSERT_TRUE(again.run());
    EXPECT_TRUE(again.errors.empty());
    EXPECT_TRUE(again.messages.empty());
    EXPECT_NE(std::find(again.infos.begin(), again.infos.end(), std::make_pair(2, std::string("0"))),
        again.infos.end());
    EXPECT_EQ(again.mail.KnownUIDLs.lines(), uids);
    EXPECT_EQ(server.messagesOnServer(), expected.size());
}

TEST(GetMailDovecot, TheEightMegabyteAttachmentArrivesByteForByte)
{
    TempDir tmp;
    std::vector<ExpectedMessage> expected;
    {
        const std::string dir = tmp.path() + "python";
        std::filesystem::create_directories(dir);
        const std::string script =
            tavik::test::testDataDir() + "../pop3/make_messages.py";
        ASSERT_EQ(std::system(("/usr/bin/python3 '" + script + "' '" + dir + "' --big").c_str()), 0);
        for (const auto& m : readManifest(dir + "/manifest.txt"))
            if (m.file == "eight_megabytes.eml")
                expected.push_back(m);
    }
    ASSERT_EQ(expected.size(), 1u);
    DovecotServer server;
    server.addMessageFile(tmp.path() + "python/eight_megabytes.eml");
    ASSERT_TRUE(server.start()) << server.error();
    Check check(server, tmp.path() + "attachments/");
    ASSERT_TRUE(check.run(120000));
    EXPECT_TRUE(check.errors.empty());
    ASSERT_EQ(check.messages.size(), 1u);
    ASSERT_EQ(check.messages[0].parts.size(), 1u);
    const std::string got = fileBytes(check.store.GetAttachment(check.messages[0].parts[0].number).Location);
    const std::string want = fileBytes(tmp.path() + "python/" + expected[0].files[0].payloadFile);
    EXPECT_EQ(got.size(), 8u * 1024 * 1024);
    EXPECT_TRUE(got == want);
    EXPECT_EQ(joined(bodyOf(check.messages[0].text)), expected[0].textJoin);
}

TEST(GetMailDovecot, DeletingOnRetrievalEmptiesTheServerAsPoplibSees)
{
    TempDir tmp;
    DovecotServer server;
    for (int i = 0; i < 3; ++i)
        server.addMessage("From: a@example.org\nSubject: number " + std::to_string(i) + "\n\nbody\n");
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_EQ(poplibCount(server), 3);

    Check check(server, tmp.path() + "attachments/");
    // Only the first two: the flag is consumed by each DELE and set anew.
    check.onMessage = [](GetMail& m) { m.Opt_Delete = m.MessageNumber <= 2; };
    ASSERT_TRUE(check.run());
    EXPECT_TRUE(check.errors.empty());
    EXPECT_EQ(check.messages.size(), 3u);
    EXPECT_EQ(poplibCount(server), 1);
    EXPECT_EQ(server.messagesOnServer(), 1u);
    // The saved UIDs are the server's after the session: the deleted ones are still listed
    // (the listing came before DELE), the next check drops them.
    EXPECT_EQ(check.mail.KnownUIDLs.size(), 3u);
    Check next(server, tmp.path() + "attachments/");
    next.mail.KnownUIDLs.assign(check.mail.KnownUIDLs);
    ASSERT_TRUE(next.run());
    EXPECT_TRUE(next.messages.empty());
    EXPECT_EQ(next.mail.KnownUIDLs.lines(), (std::vector<std::string>{server.uidl(3)}));
}

TEST(GetMailDovecot, PreviewsFetchHeadersAndSkippedMessagesStayOnTheServer)
{
    TempDir tmp;
    DovecotServer server;
    server.addMessage("From: a@example.org\nSubject: skip\n\nnot wanted\n");
    server.addMessage("From: b@example.org\nSubject: take\n\nwanted\n");
    ASSERT_TRUE(server.start()) << server.error();
    Check check(server, tmp.path() + "attachments/");
    check.mail.Opt_Preview = true;
    std::vector<std::string> previewed;
    check.mail.OnHeadersLoaded = [&] {
        previewed.push_back(check.mail.Subject());
        EXPECT_EQ(check.mail.MessageText().back(), "");
        check.mail.Opt_Skip = check.mail.Subject() == "skip";
    };
    ASSERT_TRUE(check.run());
    EXPECT_TRUE(check.errors.empty());
    EXPECT_EQ(previewed, (std::vector<std::string>{"skip", "take"}));
    ASSERT_EQ(check.messages.size(), 1u);
    EXPECT_EQ(bodyOf(check.messages[0].text), (std::vector<std::string>{"wanted"}));
    EXPECT_EQ(poplibCount(server), 2);
}

TEST(GetMailDovecot, AHostNameIsLookedUpAndAWrongPasswordIsRefused)
{
    TempDir tmp;
    DovecotServer server;
    server.addMessage("From: a@example.org\nSubject: x\n\nbody\n");
    ASSERT_TRUE(server.start()) << server.error();
    Check check(server, tmp.path() + "attachments/");
    check.mail.SetMail_Server("localhost");
    check.mail.TimeoutArp = 10;
    check.mail.User_Password = "wrong";
    ASSERT_TRUE(check.run());
    EXPECT_EQ(check.errors, (std::vector<std::pair<int, std::string>>{{19, "Access Denied"}}));
    EXPECT_NE(std::find(check.infos.begin(), check.infos.end(), std::make_pair(12, std::string("localhost"))),
        check.infos.end());
    EXPECT_NE(std::find(check.infos.begin(), check.infos.end(), std::make_pair(13, std::string("127.0.0.1"))),
        check.infos.end());
    EXPECT_TRUE(check.messages.empty());

    // The right password on the same component: the next session works.
    check.errors.clear();
    check.mail.User_Password = server.password();
    ASSERT_TRUE(check.run());
    EXPECT_TRUE(check.errors.empty());
    EXPECT_EQ(check.messages.size(), 1u);
}

TEST(GetMailDovecot, SignsInWithAuthPlainOverPop3sAndAfterStls)
{
    TempDir tmp;
    DovecotServer server;
    server.useCertificate(testCertificates().server);
    server.addMessage("From: a@example.org\nSubject: secret\n\nbody\n");
    ASSERT_TRUE(server.start()) << server.error();
    for (const bool implicit : {true, false}) {
        SCOPED_TRACE(implicit ? "POP3S" : "STLS");
        Check check(server, tmp.path() + "attachments/");
        check.mail.CaFile = testCertificates().ca.certificate;
        check.mail.ImplicitTls = implicit;
        check.mail.StartTlsRequired = !implicit;
        if (implicit)
            check.mail.Mail_Port = server.tlsPort();
        ASSERT_TRUE(check.run()) << server.log();
        EXPECT_TRUE(check.errors.empty()) << check.errors.front().second;
        ASSERT_EQ(check.messages.size(), 1u);
        std::vector<std::string> sent;
        for (const auto& [info, text] : check.infos)
            if (info == GM_CommandSent)
                sent.push_back(text);
        const std::vector<std::string> signIn = {"CAPA\r\n", "AUTH PLAIN ****\r\n", "UIDL\r\n"};
        const std::vector<std::string> stls = {"CAPA\r\n", "STLS\r\n", "CAPA\r\n", "AUTH PLAIN ****\r\n", "UIDL\r\n"};
        const std::vector<std::string>& expected = implicit ? signIn : stls;
        ASSERT_GE(sent.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + static_cast<long>(expected.size())), expected);
    }
    EXPECT_EQ(server.tlsLogins(2), 2) << server.log();
}
