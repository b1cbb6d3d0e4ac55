// tavikctl queue and send-queued against the real SMTP server, run in-process on a fresh
// installation: what queue files, what the server receives, what ends in "Sent".
#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

#include <filesystem>
#include <sstream>

#include "cli/tavikctl.h"
#include "peers/peer_fixtures.h"
#include "peers/test_certificates.h"
#include "peers/scripted_server.h"
#include "profile/profile_lock.h"
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

using Lines = std::vector<std::string>;

struct CtlRun {
    int status;
    std::string out, err;
};

// Python's email package on a message as the server keeps it; empty when all was as expected.
std::string pythonCheck(const TempDir& dir, const std::string& content, const std::string& json)
{
    const std::string message = dir.path() + "message.eml";
    const std::string expectations = dir.path() + "expect.json";
    writeBytes(message, content);
    writeBytes(expectations, json);
    const std::string script =
        tavik::test::testDataDir() + "../smtp/check_message.py";
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

struct SendCommands : ::testing::Test {
    TempDir home;
    TempDir files;

    CtlRun run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--home", home.path()});
        std::ostringstream out, err;
        TavikctlEnvironment env;
        env.executableDirectory = binDir();
        const int status = tavikctlMain(args, out, err, env);
        return {status, out.str(), err.str()};
    }
    void useServer(quint16 port)
    {
        const CtlRun r = run({"set", "SmtpServer=127.0.0.1", "SmtpPort=" + std::to_string(port), "Name=Sam Sender",
                              "RetAddr=sam@example.org"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::string file(const std::string& name, const std::string& bytes)
    {
        writeBytes(files.path() + name, bytes);
        return files.path() + name;
    }
    // Subjects of a mailbox, in order, read from the files.
    Lines subjects(int mailbox)
    {
        TNMailBox store;
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store.setMailBoxDirectoryWithoutChanges(home.path() + "mailboxe/");
        store.SetCurrentMailBoxNumber(mailbox);
        Lines out;
        for (int n = 1; n <= store.CurrentMailBoxMessages(); ++n) {
            store.SetMsg_Number(n);
            out.push_back(store.Msg_Subject);
        }
        return out;
    }
    Lines storedText(int mailbox, int n, std::string* date = nullptr)
    {
        TNMailBox store;
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store.setMailBoxDirectoryWithoutChanges(home.path() + "mailboxe/");
        store.SetCurrentMailBoxNumber(mailbox);
        store.SetMsg_Number(n);
        store.LoadMessageText();
        if (date)
            *date = store.Msg_Date;
        return store.Msg_Text;
    }
};

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(SendCommands, QueueThenSendQueuedDeliversBothIntoSentInOrder)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    useServer(sink.port());
    std::string binary;
    for (int i = 0; i < 5000; ++i)
        binary += static_cast<char>((i * 13) & 255);
    const std::string data = file("daten.bin", binary);
    const std::string body1 = file("body1.txt", "Hallo Ann,\r\n\r\nanbei die Daten.\n.\nSam");
    const std::string body2 = file("body2.txt", "second\n");

    // Arguments are UTF-8 on the terminal and in the store.
    CtlRun r = run({"queue", "--to", "Ann Example <ann@example.net>", "--cc", "Zo\u00eb <zoe@example.net>", "--bcc",
                    "hidden@example.net", "--subject", "Gr\u00fc\u00dfe aus K\u00f6ln", "--body-file", body1,
                    "--attach", data});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Queued message 1 in To Send: \"Gr\u00fc\u00dfe aus K\u00f6ln\" for Ann Example <ann@example.net>\n");
    r = run({"queue", "--to=bob@example.net", "--subject=Second", "--body-file=" + body2});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string date;
    const Lines stored = storedText(3, 1, &date);
    ASSERT_GT(stored.size(), 5u);
    EXPECT_EQ(stored[4].rfind("Date: " + date + " ", 0), 0u) << stored[4]; // with its zone
    EXPECT_EQ(stored[5].rfind("Message-ID: <tavik.", 0), 0u) << stored[5];
    EXPECT_EQ(stored,
              (Lines{"From: Sam Sender <sam@example.org>", "To: Ann Example <ann@example.net>",
                     "cc: Zo\xc3\xab <zoe@example.net>", "Bcc: hidden@example.net", stored[4], stored[5],
                     "Subject: Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln", "X-Priority: 3", "X-MSMail-Priority: Normal",
                     "X-Encoder-Verify: True", "X-Mailer: Tavik mail v1.1b", "", "Hallo Ann,", "", "anbei die Daten.",
                     ".", "Sam"}));
    r = run({"list", "3"});
    EXPECT_TRUE(has(r.out, "1-1")) << r.out; // the attachment's record

    r = run({"send-queued"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(has(r.out, "Message 1: Gr\u00fc\u00dfe aus K\u00f6ln\nConnecting to 127.0.0.1\nConnected to 127.0.0.1\n"
                           "To: ann@example.net\nTo: zoe@example.net\nTo: hidden@example.net\nSending Message\n"
                           "Sending attachment " + data + "\nMessage sent\nMessage 2: Second\n"
                           // The second message on the first one's connection, quit once at the end.
                           "To: bob@example.net\nSending Message\nMessage sent\nDisconnected\n"
                           "2 message(s) sent and filed in Sent, 0 left in To Send\n"))
        << r.out;

    const std::vector<SmtpMessage> got = sink.messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].mail_from, "sam@example.org");
    EXPECT_EQ(got[0].rcpt_tos, (Lines{"ann@example.net", "zoe@example.net", "hidden@example.net"}));
    EXPECT_EQ(got[1].rcpt_tos, (Lines{"bob@example.net"}));
    EXPECT_EQ(pythonCheck(files, got[0].content, R"({
        "addresses": {"From": [["Sam Sender", "sam@example.org"]], "To": [["Ann Example", "ann@example.net"]],
                      "Cc": [["Zo\u00eb", "zoe@example.net"]]},
        "headers": {"Subject": ["Gr\u00fc\u00dfe aus K\u00f6ln"], "Bcc": [], "X-Mailer": ["Tavik mail v1.1b"]},
        "text": {"content_type": "text/plain", "body": "Hallo Ann,\r\n\r\nanbei die Daten.\r\n.\r\nSam\r\n"},
        "attachments": [{"content_type": "application/octet-stream", "params": {"name": "daten.bin"},
                         "cte": "base64", "disposition": "attachment", "disp_params": {"filename": "daten.bin"},
                         "file": ")" + data + R"("}]})"),
              "");
    EXPECT_EQ(pythonCheck(files, got[1].content, R"({"addresses": {"To": [["", "bob@example.net"]]},
        "headers": {"Subject": ["Second"]}, "text": {"body": "second\r\n\r\n"}, "attachments": []})"),
              "");
    EXPECT_EQ(subjects(2), (Lines{"Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln", "Second"}));
    EXPECT_TRUE(subjects(3).empty());

    // Nothing left: nothing to do, and that is success.
    r = run({"send-queued"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0 message(s) sent and filed in Sent, 0 left in To Send\n");
}

TEST_F(SendCommands, AFailingFirstMessageLeavesBothQueued)
{
    SmtpSink refusing;
    refusing.rejectData();
    ASSERT_TRUE(refusing.start()) << refusing.error();
    useServer(refusing.port());
    const std::string body = file("body.txt", "text\n");
    ASSERT_EQ(run({"queue", "--to", "ann@example.net", "--subject", "First", "--body-file", body}).status, 0);
    ASSERT_EQ(run({"queue", "--to", "bob@example.net", "--subject", "Second", "--body-file", body}).status, 0);
    const CtlRun r = run({"send-queued"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unexpected Response Error: An unexpected response was received from the mail server. Make sure "
                     "that you have entered the correct value in setup for your SMTP port.\n"
                     "The server answered: 554 5.3.0 Transaction failed\n");
    EXPECT_FALSE(has(r.out, "Message 2"));
    EXPECT_TRUE(has(r.out, "0 message(s) sent and filed in Sent, 2 left in To Send\n")) << r.out;
    EXPECT_EQ(subjects(3), (Lines{"First", "Second"}));
    EXPECT_TRUE(subjects(2).empty());
    EXPECT_TRUE(refusing.messages().empty());

    // Nobody listening: the connection is refused, and the box says so.
    useServer(freeLoopbackPort());
    const CtlRun refused = run({"send-queued"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(has(refused.err, "Connection Rejected Error: The mail server refused the connection.")) << refused.err;
}

TEST_F(SendCommands, QueueRefusesWhatItCannotFileAndFilesNothing)
{
    const std::string body = file("body.txt", "text\n");
    const std::string data = file("data.bin", "xyz");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--to", "ann@example.net", "--subject", "two\r\nBcc: evil@example.net", "--body-file", body}, 2, "one line"},
        {{"--to", "ann@example.net\nRCPT", "--subject", "x", "--body-file", body}, 2, "one line"},
        {{"--to", "Name only <>", "--subject", "x", "--body-file", body}, 2, "names no address"},
        {{"--subject", "x", "--body-file", body}, 2, "Sorry, but you have not specified any address to send it."},
        {{"--to", "ann@example.net", "--body-file", body}, 2, "--subject"},
        {{"--to", "ann@example.net", "--subject", "x"}, 2, "--body-file"},
        {{"--to", "ann@example.net", "--subject", "x", "--body-file", body, "--priority", "high"}, 2, "--priority"},
        {{"--to", "ann@example.net", "--subject", "x", "--body-file", body, "--attach"}, 2, "needs a value"},
        {{"--to", "ann@example.net", "--subject", "x", "--body-file", files.path() + "none.txt"}, 1, "none.txt"},
        {{"--to", "ann@example.net", "--subject", "x", "--body-file", body, "--attach", data, "--attach",
          files.path() + "gone.bin"},
         1, "gone.bin"},
        {{"--to", "ann@example.net", "--subject", "x", "--body-file", body, "--attach", "/" + std::string(300, 'p')},
         2, "255 bytes"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"queue"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CtlRun r = run(args);
        EXPECT_EQ(r.status, c.status) << c.args[1] << ": " << r.err;
        EXPECT_TRUE(has(r.err, c.says)) << r.err;
    }
    std::vector<std::string> many{"queue", "--to", "ann@example.net", "--subject", "x", "--body-file", body};
    for (int i = 0; i < 51; ++i)
        many.insert(many.end(), {"--attach", data});
    const CtlRun r = run(many);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.err, "at most 50 attachments")) << r.err;
    EXPECT_TRUE(subjects(3).empty());
    EXPECT_EQ(run({"send-queued", "now"}).status, 2);
    // No attachment record was issued for the refused message.
    const CtlRun list = run({"queue", "--to", "ann@example.net", "--subject", "ok", "--body-file", body,
                             "--attach", data});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(has(run({"list", "3"}).out, "1-1"));
}

TEST_F(SendCommands, BothCommandsRefuseAProfileOpenElsewhere)
{
    const std::string body = file("body.txt", "text\n");
    ASSERT_EQ(run({"queue", "--to", "ann@example.net", "--subject", "x", "--body-file", body}).status, 0);
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ProfileLock lock(home.path());
        char c = lock.tryLock() ? '1' : '0';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, '1');
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"send-queued"}, {"queue", "--to", "bob@example.net", "--subject", "y", "--body-file", body}}) {
        const CtlRun r = run(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_TRUE(has(r.err, "is open in Tavik mail")) << r.err;
    }
    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(subjects(3), (Lines{"x"}));
}

// A message that reached some of its recipients is filed as sent, and the run says whom it did
// not reach, with the server's reply, and fails.
TEST_F(SendCommands, SendQueuedNamesRefusedRecipientsAndFails)
{
    SmtpSink sink;
    sink.rejectRecipient("gone@example.net");
    ASSERT_TRUE(sink.start()) << sink.error();
    useServer(sink.port());
    const std::string body = file("body.txt", "text\n");
    ASSERT_EQ(run({"queue", "--to", "ann@example.net", "--cc", "gone@example.net", "--subject", "Half", "--body-file",
                   body}).status,
              0);
    const CtlRun r = run({"send-queued"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Recipients Refused: The message was sent, but not to these recipients, which the mail server "
                     "refused:\ngone@example.net: 550 5.1.1 Mailbox unavailable\n");
    EXPECT_TRUE(has(r.out, "1 message(s) sent and filed in Sent, 0 left in To Send\n")) << r.out;
    EXPECT_EQ(subjects(2), Lines{"Half"});
}

TEST_F(SendCommands, SendQueuedNamesARefusedCertificateAndSendsOnceItIsTrusted)
{
    SmtpSink sink;
    sink.useImplicitTls(testCertificates().selfSigned);
    ASSERT_TRUE(sink.start()) << sink.error();
    useServer(sink.port());
    ASSERT_EQ(run({"set", "SmtpSecurity=tls"}).status, 0);
    ASSERT_EQ(run({"queue", "--to", "ann@example.net", "--subject", "Pinned", "--body-file", file("b.txt", "hi\n")})
                  .status,
              0);
    const std::string server = "127.0.0.1:" + std::to_string(sink.port());
    const std::string command = "tavikctl trust " + server + " " + testCertificates().selfSigned.fingerprint;
    const CtlRun refused = run({"send-queued"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(has(refused.err, "Certificate Error: ")) << refused.err;
    EXPECT_TRUE(has(refused.err, "\n  " + command + "\n")) << refused.err;
    EXPECT_TRUE(sink.messages().empty());

    ASSERT_EQ(run({"trust", server, testCertificates().selfSigned.fingerprint}).status, 0);
    const CtlRun sent = run({"send-queued"});
    EXPECT_EQ(sent.status, 0) << sent.err;
    ASSERT_EQ(sink.messages().size(), 1u);
    EXPECT_TRUE(sink.messages()[0].tls);
    EXPECT_EQ(subjects(2), (Lines{"Pinned"}));
}
