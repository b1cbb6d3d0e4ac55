// The check-mail workflow: its rules ("uidl.lst", the no-UIDL manager, receipts, date text,
// error boxes) on bytes written out here, and whole checks against Dovecot and scripted servers
// filing into a real mailbox store and attachment store.
#include <gtest/gtest.h>

#include <QFile>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>

#include "addressbook/address_book.h"
#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"
#include "peers/test_certificates.h"
#include "pop3/attachment_store.h"
#include "pop3/check_mail.h"
#include "pop3/check_mail_rules.h"
#include "profile/certificate_pins.h"
#include "profile/file_util.h"
#include "store/mailbox_store.h"
#include "support/test_support.h"

using namespace tavik;
using namespace tavik::test;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureCoreApplication(); }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Everything a check showed, in order.
class RecordingView : public CheckMailView {
public:
    std::vector<std::string> statuses, counters, subjects, fileErrors, errorTexts, securities;
    std::vector<std::pair<int, std::string>> errors; // code, title
    int finishes = 0;
    bool ok = false;
    std::function<void(const std::string&)> onSubject;
    void showStatus(const std::string& t) override { statuses.push_back(t); }
    void showSubject(const std::string& t) override
    {
        subjects.push_back(t);
        if (onSubject)
            onSubject(t);
    }
    void showCounter(const std::string& t) override { counters.push_back(t); }
    void showSecurity(const std::string& t) override { securities.push_back(t); }
    void showError(int code, const std::string& title, const std::string& text) override
    {
        errors.emplace_back(code, title);
        errorTexts.push_back(text);
    }
    void showFileError(const std::string& t) override { fileErrors.push_back(t); }
    void finished(bool k) override
    {
        ++finishes;
        ok = k;
    }
    bool has(const std::vector<std::string>& list, const std::string& t) const
    {
        return std::find(list.begin(), list.end(), t) != list.end();
    }
};

// A profile directory with its five standard mailboxes and an attachment store.
class Profile {
public:
    TempDir tmp;
    TNMailBox store;
    TAttachmentManager attachments;
    ProfileSettings settings;
    RecordingView view;

    Profile()
    {
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store.SetMailBoxDirectory(tmp.path() + "mail/");
        attachments.SetAttachmentDirectory(tmp.path() + "attach/");
        settings.Name = "Tess Tester";
        settings.RetAddr = "tess@example.org";
        settings.Pop3Server = "127.0.0.1";
        settings.TimeOut = 30;
        settings.AutoAddAddress = false;
    }
    // Logs in to `server` on its plain port.
    void useDovecot(const DovecotServer& server)
    {
        settings.Pop3Port = server.port();
        settings.ID = server.user();
        settings.Password = server.password();
    }
    std::string dir() const { return tmp.path(); }
    std::string uidlPath() const { return tmp.path() + "uidl.lst"; }
    std::string pendingPath() const { return tmp.path() + "uidl.del"; }
    // Runs one check to its end; `running` points to it meanwhile.
    bool check(int timeoutMs = 30000)
    {
        view.finishes = 0;
        CheckMail c(settings, dir(), store, attachments, view);
        running = &c;
        c.open();
        const bool ended = QTest::qWaitFor([&] { return view.finishes > 0; }, timeoutMs);
        running = nullptr;
        filed = c.Filed();
        confirmations = c.Confirmations();
        announced = c.Announced();
        return ended;
    }
    // The messages of mailbox n: subject, flag and text.
    struct Stored {
        std::string subject, from;
        char flag;
        int attachStart, attachEnd;
        std::vector<std::string> text;
    };
    std::vector<Stored> messages(int n)
    {
        std::vector<Stored> out;
        store.SetCurrentMailBoxNumber(n);
        for (int i = 1; i <= store.CurrentMailBoxMessages(); ++i) {
            store.SetMsg_Number(i);
            store.LoadMessageText();
            out.push_back({store.Msg_Subject, store.Msg_From, store.Msg_Flag, store.Msg_AttachStart,
                           store.Msg_AttachEnd, store.Msg_Text});
        }
        return out;
    }
    int filed = 0, confirmations = 0, announced = 0;
    CheckMail* running = nullptr;
};

// Python's poplib logs in and answers STAT's count (-1 when it cannot).
int poplibCount(const DovecotServer& server)
{
    const std::string command = "/usr/bin/python3 -c \"import poplib; p = poplib.POP3('127.0.0.1', " +
        std::to_string(server.port()) + "); p.user('" + server.user() + "'); p.pass_('" + server.password() +
        "'); print(p.stat()[0]); p.quit()\"";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[64] = {};
    const bool read = fgets(buffer, sizeof buffer, pipe) != nullptr;
    return pclose(pipe) == 0 && read ? std::atoi(buffer) : -1;
}

std::string simpleMessage(const std::string& subject, const std::string& extra = "")
{
    return "From: Ann Sender <ann@example.org>\nTo: tess@example.org\nSubject: " + subject +
        "\nDate: Tue, 8 Dec 2026 10:00:00 +0100\n" + extra + "\nHello.\n";
}

} // namespace

// ---- rules ------------------------------------------------------------------------------

TEST(CheckMailRules, TheFetchedListIsOneIdentifierPerCrLfLine)
{
    TempDir tmp;
    const std::string path = tmp.path() + "uidl.lst";
    EXPECT_TRUE(readUidlFile(path).empty());
    writeUidlFile(path, {"0001abc", "UID two", "bad\r\nline"});
    EXPECT_EQ(fileBytes(path), "0001abc\r\nUID two\r\nbad  line\r\n");
    writeBytes(path, "a\nb\r\n\r\nc");
    EXPECT_EQ(readUidlFile(path), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(CheckMailRules, TheNoUidlManagerRemembersOnlyWhatWasMarkedSeen)
{
    TempDir tmp;
    const std::string path = tmp.path() + "uidl.lst";
    writeBytes(path, "Known-One\r\nknown-two\r\n");
    {
        TUIDLManager m(path);
        EXPECT_FALSE(m.IsNew("known-ONE"));
        EXPECT_TRUE(m.IsNew("fresh"));
        m.MarkSeen("known-one");
        EXPECT_TRUE(m.Check("fresh"));
        m.MarkSeen("FRESH"); // once, in the letter case first seen
        EXPECT_TRUE(m.IsNew("failed")); // never marked: tried again next time
    }
    EXPECT_EQ(fileBytes(path), "known-one\r\nfresh\r\n");
    {
        TUIDLManager m(path);
        m.MarkSeen("other");
        m.Discard();
    }
    EXPECT_EQ(fileBytes(path), "known-one\r\nfresh\r\n");
}

TEST(CheckMailRules, APreviewIsKeyedByXUidlThenMessageIdThenItsHeader)
{
    EXPECT_EQ(previewKey({"Subject: a", "X-UIDL:  abc123 ", "", "body"}), "abc123");
    EXPECT_EQ(previewKey({"x-uidl: lower", ""}), "lower");
    EXPECT_EQ(previewKey({"Message-ID: <m1@example.org>", "Subject: a", ""}), "<m1@example.org>");
    const std::string a = previewKey({"Subject: a", "From: x", ""});
    const std::string b = previewKey({"Subject: b", "From: x", ""});
    EXPECT_EQ(a.size(), 20u);
    EXPECT_EQ(a.substr(0, 4), "hdr-");
    EXPECT_NE(a, b);
    EXPECT_EQ(a, previewKey({"Subject: a", "From: x", "", "other body"}));
}

TEST(CheckMailRules, ReceiptRequestsAreFoundInAnyLetterCaseInTheHeaderOnly)
{
    std::string to;
    EXPECT_TRUE(findReceiptRequest({"Subject: x", "Return-Receipt-To: ann@example.org", ""}, to));
    EXPECT_EQ(to, "ann@example.org");
    EXPECT_TRUE(findReceiptRequest({"Return-receipt-to: Ann <ann@example.org>", ""}, to));
    EXPECT_EQ(to, "ann@example.org");
    EXPECT_TRUE(findReceiptRequest({"DISPOSITION-NOTIFICATION-TO: <b@example.org>", ""}, to));
    EXPECT_EQ(to, "b@example.org");
    EXPECT_FALSE(findReceiptRequest({"Subject: x", "", "Return-Receipt-To: in the body"}, to));
    EXPECT_TRUE(isConfirmation("Confirmation of receipt: hi", {"Subject: x", ""}));
    EXPECT_TRUE(isConfirmation("other", {"Subject: x", "", "*** Confirmation of receipt ***", "a"}));
    EXPECT_FALSE(isConfirmation("other", {"Subject: x", "", "text"}));
}

TEST(CheckMailRules, AConfirmationHasAHeaderOfItsOwnAndNoRequest)
{
    const auto text = buildConfirmation("Tess Tester", "tess@example.org", "ann@example.org",
                                        "Wed, 9 Dec 2026 10:11:12", "Hello there",
                                        {"Subject: Hello there", "Return-Receipt-To: ann@example.org", "", "Hi."});
    const std::vector<std::string> expected = {
        "From: Tess Tester <tess@example.org>",
        "To: ann@example.org",
        "Date: Wed, 9 Dec 2026 10:11:12",
        "Subject: Confirmation of receipt: Hello there",
        "X-Mailer: Tavik mail v1.1b",
        "",
        "*** Confirmation of receipt ***",
        "Subject: Hello there",
        "Return-Receipt-To: ann@example.org",
        "",
        "Hi.",
    };
    EXPECT_EQ(text, expected);
    std::string to;
    EXPECT_FALSE(findReceiptRequest(text, to));
}

TEST(CheckMailRules, DateTextErrorBoxesAndServerNumbers)
{
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(DateText(1796909472), "Thu, 10 Dec 2026 13:31:12");
    EXPECT_EQ(DateText(1795996800), "Mon, 30 Nov 2026 00:00:00");
    EXPECT_EQ(DateText(1767225600 + 3600 * 5 + 61), "Thu, 1 Jan 2026 05:01:01"); // one-digit day
    if (oldTz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    std::string title, text;
    ASSERT_TRUE(checkMailErrorBox(19, title, text));
    EXPECT_EQ(title, "Access Denied Error");
    ASSERT_TRUE(checkMailErrorBox(18, title, text));
    EXPECT_EQ(title, "Network Down Error");
    ASSERT_TRUE(checkMailErrorBox(16, title, text));
    EXPECT_EQ(text, "VoskMail could not find your POP3 mail server. Check that you are connected to your service "
                    "provider and that your setup information is correct.");
    ASSERT_TRUE(checkMailErrorBox(13, title, text));
    EXPECT_EQ(title, "Unexpected Response Error");
    for (int silent : {14, 0})
        EXPECT_FALSE(checkMailErrorBox(silent, title, text)) << silent;

    EXPECT_EQ(serverNumber("20480"), 20480);
    EXPECT_EQ(serverNumber(""), -1);
    EXPECT_EQ(serverNumber("12a"), -1);
    EXPECT_EQ(serverNumber("-1"), -1);
}

// ---- checks against Dovecot -------------------------------------------------------------

TEST(CheckMailDovecot, TwoNewAndThreeKnownFilesTwoAndListsAllFive)
{
    DovecotServer server;
    for (int i = 1; i <= 5; ++i)
        server.addMessage(simpleMessage("number " + std::to_string(i)));
    ASSERT_TRUE(server.start()) << server.error();
    Profile p;
    p.useDovecot(server);
    // Three known, one in another letter case.
    writeBytes(p.uidlPath(), server.uidl(1) + "\r\n" + server.uidl(3) + "\r\n" + server.uidl(5) + "\r\n");

    ASSERT_TRUE(p.check());
    EXPECT_TRUE(p.view.ok);
    EXPECT_EQ(p.view.securities, (std::vector<std::string>{"Not encrypted", "Not encrypted"}));
    EXPECT_TRUE(p.view.errors.empty());
    EXPECT_EQ(p.filed, 2);
    const auto mail = p.messages(1);
    ASSERT_EQ(mail.size(), 2u);
    EXPECT_EQ(mail[0].subject, "number 2");
    EXPECT_EQ(mail[1].subject, "number 4");
    EXPECT_EQ(mail[0].flag, 'U');
    EXPECT_EQ(mail[0].from, "Ann Sender <ann@example.org>");
    EXPECT_EQ(mail[0].text.back(), "Hello.");
    std::string all;
    for (int i = 1; i <= 5; ++i)
        all += server.uidl(i) + "\r\n";
    EXPECT_EQ(fileBytes(p.uidlPath()), all);
    // The statuses of the Part's table along the way.
    for (const char* s : {"Connecting to 127.0.0.1", "Connected to 127.0.0.1", "Logging in", "Logged in to server.",
                          "Getting message list", "Getting Message", "Disconnected"})
        EXPECT_TRUE(p.view.has(p.view.statuses, s)) << s;
    EXPECT_TRUE(p.view.has(p.view.counters, "Downloading: 1 of 2"));
    EXPECT_TRUE(p.view.has(p.view.counters, "Downloading: 2 of 2"));

    // Nothing new the second time, and nothing filed.
    p.view = RecordingView();
    ASSERT_TRUE(p.check());
    EXPECT_EQ(p.filed, 0);
    EXPECT_EQ(p.messages(1).size(), 2u);
    EXPECT_EQ(fileBytes(p.uidlPath()), all);
}

TEST(CheckMailDovecot, DeletionReceiptsAttachmentNumbersAndTheAddressBook)
{
    DovecotServer server;
    server.addMessage(simpleMessage("with receipt", "Return-receipt-to: ann@example.org\n"));
    server.addMessage("From: Bob Builder <bob@example.org>\nSubject: two files\nMIME-Version: 1.0\n"
                      "Content-Type: multipart/mixed; boundary=\"b1\"\n\n--b1\nContent-Type: text/plain\n\nsee files\n"
                      "--b1\nContent-Type: application/octet-stream; name=\"a.bin\"\nContent-Transfer-Encoding: base64\n\n"
                      "SGVsbG8=\n--b1\nContent-Type: application/octet-stream; name=\"b.bin\"\n"
                      "Content-Transfer-Encoding: base64\n\nV29ybGQ=\n--b1--\n");
    ASSERT_TRUE(server.start()) << server.error();
    Profile p;
    p.useDovecot(server);
    p.settings.DeleteMailOnRetrieving = true;
    p.settings.AutoAddAddress = true;
    p.settings.ReturnReceipt = true;
    // Six attachments from earlier checks: the next two are 7 and 8.
    for (int i = 0; i < 6; ++i) {
        TMIMEAttachment a;
        a.FileName = "old" + std::to_string(i);
        p.attachments.RegisterAttachment(a);
    }

    ASSERT_TRUE(p.check());
    EXPECT_TRUE(p.view.ok);
    EXPECT_TRUE(p.view.fileErrors.empty()) << p.view.fileErrors.front();
    const auto mail = p.messages(1);
    ASSERT_EQ(mail.size(), 2u);
    EXPECT_EQ(mail[0].attachStart, 0);
    EXPECT_EQ(mail[1].attachStart, 7);
    EXPECT_EQ(mail[1].attachEnd, 8);
    EXPECT_EQ(fileBytes(p.attachments.GetAttachment(7).Location), "Hello");
    EXPECT_EQ(fileBytes(p.attachments.GetAttachment(8).Location), "World");

    // One confirmation for the request, addressed to whom it names, in "To Send".
    EXPECT_EQ(p.confirmations, 1);
    const auto queued = p.messages(3);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].subject, "Confirmation of receipt: with receipt");
    EXPECT_EQ(queued[0].flag, 'U');
    EXPECT_EQ(queued[0].text[0], "From: Tess Tester <tess@example.org>");
    EXPECT_EQ(queued[0].text[1], "To: ann@example.org");
    EXPECT_EQ(queued[0].text[6], "*** Confirmation of receipt ***");

    // Both deleted on the server, after they were filed, as poplib sees it.
    EXPECT_EQ(server.messagesOnServer(), 0u);
    EXPECT_EQ(poplibCount(server), 0);
    // Both senders have a display name: both are in the book now.
    EXPECT_TRUE(IsKnownSender(p.dir(), "Ann Sender <ann@example.org>"));
    EXPECT_TRUE(IsKnownSender(p.dir(), "Bob Builder <bob@example.org>"));
}

TEST(CheckMailDovecot, AWrongPasswordShowsTheAccessDeniedBoxAndKeepsTheList)
{
    DovecotServer server;
    server.addMessage(simpleMessage("x"));
    ASSERT_TRUE(server.start()) << server.error();
    Profile p;
    p.settings.Pop3Port = server.port();
    p.settings.ID = server.user();
    p.settings.Password = "wrong";
    writeBytes(p.uidlPath(), "kept\r\n");
    ASSERT_TRUE(p.check());
    EXPECT_FALSE(p.view.ok);
    EXPECT_EQ(p.view.errors, (std::vector<std::pair<int, std::string>>{{19, "Access Denied Error"}}));
    EXPECT_EQ(fileBytes(p.uidlPath()), "kept\r\n");
    EXPECT_TRUE(p.messages(1).empty());
}

// ---- servers without UIDL (scripted) ----------------------------------------------------

namespace {

ScriptedServer& loginWithoutUidl(ScriptedServer& s, int count)
{
    return s.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER user\r\n")
        .send("+OK\r\n")
        .expect("PASS pw\r\n")
        .send("+OK\r\n")
        .expect("UIDL\r\n")
        .send("-ERR not here\r\n")
        .expect("STAT\r\n")
        .send("+OK " + std::to_string(count) + " 999\r\n");
}

void useScripted(Profile& p, const ScriptedServer& s)
{
    p.settings.Pop3Port = s.port();
    p.settings.ID = "user";
    p.settings.Password = "pw";
}

} // namespace

TEST(CheckMailScripted, WithoutUidlAKnownMessageIsPreviewedSkippedAndStaysKnown)
{
    ScriptedServer server;
    loginWithoutUidl(server, 3)
        .expect("TOP 1 0\r\n")
        .send("+OK\r\nSubject: old\r\nX-UIDL: known-1\r\n\r\n.\r\n")
        .expect("TOP 2 0\r\n")
        .send("+OK\r\nSubject: new\r\nX-UIDL: fresh-2\r\n\r\n.\r\n")
        .expect("RETR 2\r\n")
        .send("+OK\r\nSubject: new\r\nX-UIDL: fresh-2\r\n\r\nbody\r\n.\r\n")
        .expect("TOP 3 0\r\n")
        .send("+OK\r\nSubject: no uidl\r\nMessage-ID: <m3@x>\r\n\r\n.\r\n")
        .expect("RETR 3\r\n")
        .send("+OK\r\nSubject: no uidl\r\nMessage-ID: <m3@x>\r\n\r\nbody\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    Profile p;
    useScripted(p, server);
    writeBytes(p.uidlPath(), "KNOWN-1\r\n");
    ASSERT_TRUE(p.check());
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(p.view.ok);
    const auto mail = p.messages(1);
    ASSERT_EQ(mail.size(), 2u);
    EXPECT_EQ(mail[0].subject, "new");
    EXPECT_EQ(mail[1].subject, "no uidl");
    EXPECT_TRUE(p.view.has(p.view.counters, "Messages left: 2"));
    EXPECT_TRUE(p.view.has(p.view.statuses, "Skipping previously retrieved messages"));
    // The third message is keyed by its Message-ID, not by the X-UIDL of the second.
    EXPECT_EQ(fileBytes(p.uidlPath()), "known-1\r\nfresh-2\r\n<m3@x>\r\n");
    EXPECT_EQ(p.filed, 2);
}

TEST(CheckMailScripted, AFailedRetrievalIsNotRememberedAsSeen)
{
    ScriptedServer server;
    loginWithoutUidl(server, 1)
        .expect("TOP 1 0\r\n")
        .send("+OK\r\nSubject: new\r\nX-UIDL: will-fail\r\n\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("-ERR gone\r\n")
        .expectClose();
    Profile p;
    useScripted(p, server);
    ASSERT_TRUE(p.check());
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_FALSE(p.view.ok);
    EXPECT_EQ(p.view.errors, (std::vector<std::pair<int, std::string>>{{13, "Unexpected Response Error"}}));
    EXPECT_EQ(fileBytes(p.uidlPath()), "");
}

TEST(CheckMailScripted, AFilingThatFailsDeletesNothingAndEndsTheCheck)
{
    ScriptedServer server;
    server.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER user\r\n")
        .send("+OK\r\n")
        .expect("PASS pw\r\n")
        .send("+OK\r\n")
        .expect("UIDL\r\n")
        .send("+OK\r\n1 u1\r\n2 u2\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\nSubject: cannot be filed\r\n\r\nbody\r\n.\r\n")
        .expectClose();
    Profile p;
    useScripted(p, server);
    p.settings.DeleteMailOnRetrieving = true;
    writeBytes(p.uidlPath(), "old\r\n");
    // The text file of "New Mail" replaced by a directory: the append fails.
    const std::string mbx = p.store.MailBoxDirectory() + "m0.mbx";
    std::remove(mbx.c_str());
    ASSERT_EQ(::mkdir(mbx.c_str(), 0700), 0);
    ASSERT_TRUE(p.check());
    EXPECT_TRUE(server.waitDone()) << server.report(); // no DELE, no second RETR
    EXPECT_FALSE(p.view.ok);
    ASSERT_EQ(p.view.fileErrors.size(), 1u);
    EXPECT_NE(p.view.fileErrors[0].find("m0.mbx"), std::string::npos) << p.view.fileErrors[0];
    EXPECT_EQ(p.filed, 0);
    EXPECT_EQ(fileBytes(p.uidlPath()), "old\r\n");
}

TEST(CheckMailScripted, SizesThatAreNoNumbersNeverStopTheCheck)
{
    ScriptedServer server;
    server.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER user\r\n")
        .send("+OK\r\n")
        .expect("PASS pw\r\n")
        .send("+OK\r\n")
        .expect("UIDL\r\n")
        .send("+OK\r\n1 u1\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK lots octets\r\nSubject: odd size\r\n\r\nbody\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    Profile p;
    useScripted(p, server);
    ASSERT_TRUE(p.check());
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(p.view.ok);
    EXPECT_EQ(p.filed, 1);
}

TEST(CheckMailScripted, StopDuringRetrievalFinishesTheMessageAndKeepsTheList)
{
    ScriptedServer server;
    Profile p;
    std::unique_ptr<CheckMail> c;
    server.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER user\r\n")
        .send("+OK\r\n")
        .expect("PASS pw\r\n")
        .send("+OK\r\n")
        .expect("UIDL\r\n")
        .send("+OK\r\n1 u1\r\n2 u2\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\nSubject: one\r\n\r\n")
        .await([&] { return c && c->Session().State == 2; }, "the message is under way")
        .call([&] { c->stop(); }, "stop")
        .send("body\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n")
        .close();
    useScripted(p, server);
    writeBytes(p.uidlPath(), "old\r\n");
    c = std::make_unique<CheckMail>(p.settings, p.dir(), p.store, p.attachments, p.view);
    c->open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return p.view.finishes > 0; }, 10000));
    EXPECT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(p.view.ok);
    EXPECT_EQ(c->Filed(), 1);
    // The message filed before the stop is remembered; the one never retrieved is not.
    EXPECT_EQ(fileBytes(p.uidlPath()), "old\r\nu1\r\n");
}

// ---- checks that end early or oddly ---------------------------------------------------------

namespace {

// Greeting, login and the UIDL listing `lines` ("1 u1\r\n..."); empty: the server refuses UIDL.
ScriptedServer& loginAndList(ScriptedServer& s, const std::string& lines)
{
    s.send("+OK\r\n").expect("CAPA\r\n").send("-ERR\r\n");
    s.expect("USER user\r\n").send("+OK\r\n").expect("PASS pw\r\n").send("+OK\r\n").expect("UIDL\r\n");
    return lines.empty() ? s.send("-ERR no\r\n") : s.send("+OK\r\n" + lines + ".\r\n");
}

const std::string kOne = "+OK\r\nSubject: one\r\n\r\nb\r\n.\r\n";

} // namespace

TEST(CheckMailRules, AddedIdentifiersFollowTheKnownOnesOnce)
{
    EXPECT_EQ(withIdentifiersAdded({"a", "B"}, {"b", "c", "C", "d"}), (std::vector<std::string>{"a", "B", "c", "d"}));
    TempDir tmp;
    const std::string path = tmp.path() + "uidl.lst";
    writeBytes(path, "Known\n\r\nother\r\n");
    for (const char* seen : {"KNOWN", "fresh"}) {
        TUIDLManager m(path);
        m.MarkSeen(seen);
        m.ReleaseIncomplete();
    }
    // Untouched while nothing new was seen, then the known lines and the new one.
    EXPECT_EQ(fileBytes(path), "Known\r\nother\r\nfresh\r\n");
}

TEST(CheckMailScripted, AFailedListingLeavesTheFetchedListByteForByte)
{
    const std::string before = "old-1\nOLD-2\r\n\r\n"; // a rewrite would show
    const std::vector<std::pair<std::string, std::function<void(ScriptedServer&, Profile&)>>> cases = {
        {"-ERR to UIDL and to STAT",
         [](ScriptedServer& s, Profile&) { loginAndList(s, "").expect("STAT\r\n").send("-ERR no\r\n").expectClose(); }},
        {"a close in the middle of the listing",
         [](ScriptedServer& s, Profile&) { loginAndList(s, "1 a\r\n").close(); }},
        {"Stop before the listing", [](ScriptedServer& s, Profile& p) {
             s.send("+OK\r\n").expect("CAPA\r\n").send("-ERR\r\n");
             s.expect("USER user\r\n").send("+OK\r\n").expect("PASS pw\r\n").send("+OK\r\n");
             s.expect("UIDL\r\n").call([&p] { p.running->stop(); }, "stop").expectClose();
         }},
    };
    for (const auto& [what, script] : cases) {
        SCOPED_TRACE(what);
        ScriptedServer server;
        Profile p;
        script(server, p);
        useScripted(p, server);
        writeBytes(p.uidlPath(), before);
        ASSERT_TRUE(p.check());
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_EQ(fileBytes(p.uidlPath()), before);
    }
}

TEST(CheckMailDovecot, StopWhileAMessageArrivesFilesNothingTwice)
{
    DovecotServer server;
    for (int i = 1; i <= 6; ++i)
        server.addMessage(simpleMessage("number " + std::to_string(i)));
    ASSERT_TRUE(server.start()) << server.error();
    Profile p;
    p.useDovecot(server);
    bool stopped = false; // a second Stop would end the check at once
    p.view.onSubject = [&](const std::string& subject) {
        if (subject == "number 5" && !stopped) {
            stopped = true;
            p.running->stop();
        }
    };
    ASSERT_TRUE(p.check());
    EXPECT_EQ(p.filed, 5);
    ASSERT_TRUE(p.check());
    EXPECT_EQ(p.filed, 1);
    std::vector<std::string> subjects;
    std::string all;
    for (const auto& m : p.messages(1))
        subjects.push_back(m.subject);
    for (int i = 1; i <= 6; ++i) {
        EXPECT_EQ(subjects.at(i - 1), "number " + std::to_string(i));
        all += server.uidl(i) + "\r\n";
    }
    EXPECT_EQ(subjects.size(), 6u);
    EXPECT_EQ(fileBytes(p.uidlPath()), all);
}

TEST(CheckMailDovecot, TheJournalOfAKilledCheckKeepsWhatItFiledFromBeingFiledAgain)
{
    DovecotServer server;
    server.addMessage(simpleMessage("one"));
    server.addMessage("From: Bob <bob@example.org>\nSubject: two\nMIME-Version: 1.0\n"
                      "Content-Type: multipart/mixed; boundary=\"b1\"\n\n--b1\nContent-Type: text/plain\n\nsee\n"
                      "--b1\nContent-Type: application/octet-stream; name=\"a.bin\"\n"
                      "Content-Transfer-Encoding: base64\n\nSGVsbG8=\n--b1--\n");
    server.addMessage(simpleMessage("three"));
    ASSERT_TRUE(server.start()) << server.error();
    Profile p;
    p.useDovecot(server);
    ASSERT_TRUE(p.check());
    ASSERT_EQ(p.filed, 3);
    EXPECT_FALSE(fileExists(p.dir() + "uidl.job"));

    // As a check killed while it filed three leaves it: "uidl.lst" without two and three, the
    // journal naming both (and a line cut short), three never appended.
    const auto mail = p.messages(1);
    std::string journal;
    for (int n : {1, 2})
        journal += filingFingerprint(mail[n].text, mail[n].attachStart, mail[n].attachEnd) + " " +
            server.uidl(n + 1) + "\r\n";
    journal += filingFingerprint(mail[0].text, 0, 0) + " " + server.uidl(2).substr(0, 4);
    writeBytes(p.dir() + "uidl.job", journal);
    writeBytes(p.uidlPath(), server.uidl(1) + "\r\n");
    // The power took two attachment records the header had already counted.
    {
        RandomAccessFile idx(p.attachments.IndexPath(), RandomAccessFile::Mode::ReadWrite);
        idx.writeAt(624, std::string("\x03\0\0\0", 4).data(), 4); // the header's last number
    }
    p.store.SetCurrentMailBoxNumber(1);
    p.store.SetMsg_Number(3);
    p.store.DeleteMessage();

    p.settings.DeleteMailOnRetrieving = true;
    ASSERT_TRUE(p.check());
    EXPECT_TRUE(p.view.ok);
    EXPECT_EQ(p.filed, 1);
    std::vector<std::string> subjects;
    for (const auto& m : p.messages(1))
        subjects.push_back(m.subject);
    EXPECT_EQ(subjects, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(fileBytes(p.uidlPath()), server.uidl(1) + "\r\n" + server.uidl(2) + "\r\n" + server.uidl(3) + "\r\n");
    // Two's deletion waited in "uidl.del" and went with three's; one was known before.
    EXPECT_EQ(server.messagesOnServer(), 1u);
    EXPECT_FALSE(fileExists(p.pendingPath()));
    EXPECT_FALSE(fileExists(p.dir() + "uidl.job"));
    EXPECT_EQ(fileSize(p.attachments.IndexPath()), 4u * 928);
}

TEST(CheckMailScripted, AConnectionLostPartWayRemembersWhatWasFiled)
{
    const std::vector<std::pair<std::function<void(ScriptedServer&)>, std::string>> cases = {
        {[](ScriptedServer& s) { s.send("+OK\r\nSubject: tw").close(); }, "old\r\nu1\r\n"},
        {[](ScriptedServer& s) { s.send("+OK\r\nSubject: tw").stall(); }, "old\r\nu1\r\n"}, // idle time-out
        {[](ScriptedServer& s) { s.send(kOne).expect("QUIT\r\n").close(); }, "old\r\nu1\r\nu2\r\n"},
    };
    for (const auto& [end, remembered] : cases) {
        ScriptedServer server;
        loginAndList(server, "1 u1\r\n2 u2\r\n").expect("RETR 1\r\n").send(kOne).expect("RETR 2\r\n");
        end(server);
        Profile p;
        useScripted(p, server);
        p.settings.TimeOut = 1;
        writeBytes(p.uidlPath(), "old\r\n");
        ASSERT_TRUE(p.check());
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_EQ(fileBytes(p.uidlPath()), remembered);
    }
}

TEST(CheckMailDovecot, AFiledMessageWhoseDeletionWasNeverConfirmedIsDeletedNextTime)
{
    DovecotServer dovecot;
    dovecot.addMessage(simpleMessage("one"));
    dovecot.addMessage(simpleMessage("two"));
    ASSERT_TRUE(dovecot.start()) << dovecot.error();
    // The first check meets a server with Dovecot's UIDs that never answers QUIT.
    ScriptedServer first;
    loginAndList(first, "1 " + dovecot.uidl(1) + "\r\n2 " + dovecot.uidl(2) + "\r\n")
        .expect("RETR 1\r\n").send(kOne).expect("DELE 1\r\n").send("+OK\r\n")
        .expect("RETR 2\r\n").send(kOne).expect("DELE 2\r\n").send("+OK\r\n")
        .expect("QUIT\r\n").close();
    Profile p;
    useScripted(p, first);
    p.settings.DeleteMailOnRetrieving = true;
    ASSERT_TRUE(p.check());
    EXPECT_TRUE(first.waitDone()) << first.report();
    const std::string both = dovecot.uidl(1) + "\r\n" + dovecot.uidl(2) + "\r\n";
    EXPECT_EQ(fileBytes(p.uidlPath()), both);
    EXPECT_EQ(fileBytes(p.pendingPath()), both);

    // The next check deletes them without filing them again.
    p.settings.Pop3Port = dovecot.port();
    p.settings.ID = dovecot.user();
    p.settings.Password = dovecot.password();
    ASSERT_TRUE(p.check());
    EXPECT_TRUE(p.view.ok);
    EXPECT_EQ(p.filed, 0);
    EXPECT_EQ(dovecot.messagesOnServer(), 0u);
    EXPECT_FALSE(fileExists(p.pendingPath()));
}

TEST(CheckMailScripted, ADroppedConnectionIsReportedWithItsStep)
{
    ScriptedServer server;
    loginAndList(server, "1 u1\r\n2 u2\r\n3 u3\r\n")
        .expect("RETR 1\r\n").send(kOne).expect("RETR 2\r\n").send("+OK\r\nSubject: two\r\n").close();
    Profile p;
    useScripted(p, server);
    ASSERT_TRUE(p.check());
    EXPECT_FALSE(p.view.ok);
    EXPECT_EQ(p.view.errors, (std::vector<std::pair<int, std::string>>{{17, "Connection Closed Error"}}));
    EXPECT_EQ(p.view.errorTexts,
              (std::vector<std::string>{"The mail server closed the connection while receiving message 2 of 3."}));
}

TEST(CheckMailScripted, AServerThatKeepsTheConnectionAfterQuitStillEndsTheCheckWell)
{
    for (const std::string listing : {"1 u1\r\n", ""}) {
        ScriptedServer server;
        if (listing.empty())
            loginAndList(server, "").expect("STAT\r\n").send("+OK 0 0\r\n");
        else
            loginAndList(server, listing).expect("RETR 1\r\n").send(kOne);
        server.expect("QUIT\r\n").send("+OK bye\r\n").stall();
        Profile p;
        useScripted(p, server);
        p.settings.TimeOut = 3600; // only the answer to QUIT can end this check in time
        ASSERT_TRUE(p.check(10000));
        EXPECT_TRUE(p.view.ok);
        EXPECT_TRUE(p.view.errors.empty());
        EXPECT_TRUE(server.waitClientClosed()) << server.report();
    }
}

TEST(CheckMailScripted, ReceiptsAreConfirmedOnlyWhenTheOptionIsOn)
{
    for (bool option : {false, true}) {
        ScriptedServer server;
        loginAndList(server, "1 u1\r\n")
            .expect("RETR 1\r\n")
            .send("+OK\r\nFrom: a@example.org\r\nDisposition-Notification-To: a@example.org\r\n\r\nb\r\n.\r\n")
            .expect("QUIT\r\n").send("+OK\r\n").close();
        Profile p;
        useScripted(p, server);
        p.settings.ReturnReceipt = option;
        ASSERT_TRUE(p.check());
        EXPECT_EQ(p.filed, 1);
        EXPECT_EQ(p.messages(3).size(), option ? 1u : 0u);
    }
}

// ---- secure connections -----------------------------------------------------------------

TEST(CheckMailTls, Pop3sAndStlsFetchFromTheTlsDovecotWithTheNamedCa)
{
    DovecotServer server;
    server.useCertificate(testCertificates().server);
    server.addMessage(simpleMessage("over TLS"));
    ASSERT_TRUE(server.start()) << server.error();
    for (const char* security : {"tls", "starttls"}) {
        Profile p;
        p.useDovecot(server);
        p.settings.Pop3Security = security;
        if (std::string(security) == "tls")
            p.settings.Pop3Port = server.tlsPort();
        p.settings.CaFile = testCertificates().ca.certificate;
        ASSERT_TRUE(p.check()) << security;
        EXPECT_TRUE(p.view.ok) << security << " " << (p.view.errorTexts.empty() ? "" : p.view.errorTexts[0]);
        ASSERT_EQ(p.messages(1).size(), 1u) << security;
        EXPECT_EQ(p.messages(1)[0].subject, "over TLS");
        ASSERT_FALSE(p.view.securities.empty());
        EXPECT_EQ(p.view.securities.back().rfind("Encrypted (TLS 1.", 0), 0u) << p.view.securities.back();
        for (const std::string& shown : p.view.securities)
            EXPECT_NE(shown, "Not encrypted") << security;
    }
    EXPECT_EQ(server.tlsLogins(2), 2) << server.log();
}

TEST(CheckMailTls, NoPasswordLeavesBeforeTheServerIsTrustedOrAgreesToStls)
{
    {
        // STLS refused: no fall back to plain text.
        ScriptedServer s;
        s.send("+OK ready\r\n").expect("CAPA\r\n").send("-ERR\r\n");
        s.expect("STLS\r\n").send("-ERR not here\r\n").expectClose();
        Profile p;
        useScripted(p, s);
        p.settings.Pop3Security = "starttls";
        ASSERT_TRUE(p.check());
        EXPECT_EQ(p.view.errors, (std::vector<std::pair<int, std::string>>{{21, "Secure Connection Error"}}));
        EXPECT_TRUE(s.waitDone()) << s.report();
    }
    {
        // A certificate nobody vouches for.
        ScriptedServer s;
        s.startTls(testCertificates().selfSigned).expectClose();
        Profile p;
        useScripted(p, s);
        p.settings.Pop3Security = "tls";
        p.settings.CaFile = testCertificates().ca.certificate;
        ASSERT_TRUE(p.check());
        EXPECT_EQ(p.view.errors, (std::vector<std::pair<int, std::string>>{{33, "Certificate Error"}}));
        EXPECT_TRUE(s.received().empty());
    }
    {
        // The same certificate, pinned in the profile: accepted.
        ScriptedServer s;
        s.startTls(testCertificates().selfSigned)
            .send("+OK ready\r\n")
            .expect("CAPA\r\n")
            .send("-ERR\r\n")
            .expect("USER user\r\n")
            .send("-ERR no\r\n")
            .expectClose();
        Profile p;
        useScripted(p, s);
        p.settings.Pop3Security = "tls";
        CertificatePins(p.dir()).pin(pinServerName("127.0.0.1", s.port()), testCertificates().selfSigned.fingerprint);
        ASSERT_TRUE(p.check());
        EXPECT_EQ(p.view.errors, (std::vector<std::pair<int, std::string>>{{19, "Access Denied Error"}}));
    }
}

namespace {

// Answers every certificate question with `answer`, after running `whileAsked`.
class JudgingView : public RecordingView {
public:
    CertificateChoice answer = CertificateChoice::AcceptOnce;
    std::function<void()> whileAsked;
    std::vector<PeerCertificateInfo> judged;
    CertificateChoice judgeCertificate(const PeerCertificateInfo& certificate) override
    {
        judged.push_back(certificate);
        if (whileAsked)
            whileAsked();
        return answer;
    }
};

} // namespace

TEST(CheckMailTls, AnAcceptedCertificateStartsTheCheckAgainAsAFreshOne)
{
    DovecotServer server;
    server.useCertificate(testCertificates().selfSigned);
    server.addMessage(simpleMessage("first"));
    server.addMessage(simpleMessage("second"));
    ASSERT_TRUE(server.start()) << server.error();
    Profile p;
    p.useDovecot(server);
    p.settings.Pop3Security = "tls";
    p.settings.Pop3Port = server.tlsPort();
    {
        // Stopped while the question is open: no second session.
        JudgingView view;
        CheckMail c(p.settings, p.dir(), p.store, p.attachments, view);
        view.whileAsked = [&c] { c.stop(); };
        c.open();
        ASSERT_TRUE(QTest::qWaitFor([&] { return view.finishes > 0; }, 30000));
        EXPECT_EQ(view.judged.size(), 1u);
        EXPECT_FALSE(view.ok);
        EXPECT_TRUE(view.errors.empty());
        EXPECT_EQ(server.tlsLogins(), 0) << server.log();
    }
    JudgingView view;
    CheckMail c(p.settings, p.dir(), p.store, p.attachments, view);
    c.open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.finishes > 0; }, 30000));
    EXPECT_TRUE(view.ok);
    EXPECT_TRUE(view.errors.empty());
    ASSERT_EQ(view.judged.size(), 1u);
    EXPECT_EQ(view.judged[0].fingerprint, testCertificates().selfSigned.fingerprint);
    EXPECT_EQ(std::count(view.statuses.begin(), view.statuses.end(), "Connecting to 127.0.0.1"), 2);
    EXPECT_EQ(c.Filed(), 2);
    EXPECT_EQ(c.Announced(), 2);
    EXPECT_EQ(p.messages(1).size(), 2u);
    EXPECT_EQ(readUidlFile(p.uidlPath()).size(), 2u);
    ASSERT_FALSE(view.securities.empty());
    EXPECT_EQ(view.securities.back().rfind("Encrypted (TLS 1.", 0), 0u) << view.securities.back();
    // Accepted once: nothing pinned.
    EXPECT_FALSE(fileExists(p.dir() + kCertificatePinsFile));
    EXPECT_EQ(server.tlsLogins(1), 1) << server.log();
}

namespace {

// Greets over implicit TLS with the next certificate of its list on every connection.
class CertificateChangingServer : public QTcpServer {
public:
    explicit CertificateChangingServer(std::vector<TestCertificate> certificates)
        : certificates_(std::move(certificates))
    {
        listen(QHostAddress::LocalHost, 0);
    }
    int connections = 0;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        const TestCertificate& c = certificates_[std::min<std::size_t>(connections++, certificates_.size() - 1)];
        socket->setLocalCertificate(QString::fromStdString(c.certificate));
        QFile key(QString::fromStdString(c.key));
        key.open(QIODevice::ReadOnly);
        const QByteArray bytes = key.readAll();
        socket->setPrivateKey(QSslKey(bytes, QSslKey(bytes, QSsl::Ec).isNull() ? QSsl::Rsa : QSsl::Ec));
        connect(socket, &QSslSocket::encrypted, socket, [socket] { socket->write("+OK ready\r\n"); });
        socket->startServerEncryption();
    }

private:
    std::vector<TestCertificate> certificates_;
};

} // namespace

TEST(CheckMailTls, TheUserIsAskedOnceACertificateFailingAgainShowsItsBox)
{
    CertificateChangingServer server({testCertificates().selfSigned, testCertificates().otherSelfSigned});
    Profile p;
    p.settings.Pop3Port = server.serverPort();
    p.settings.Pop3Security = "tls";
    p.settings.ID = "user";
    JudgingView view;
    CheckMail c(p.settings, p.dir(), p.store, p.attachments, view);
    c.open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.finishes > 0; }, 30000));
    EXPECT_EQ(server.connections, 2);
    EXPECT_EQ(view.judged.size(), 1u);
    EXPECT_EQ(view.errors, (std::vector<std::pair<int, std::string>>{{35, "Certificate Error"}}));
    EXPECT_FALSE(view.ok);
}
