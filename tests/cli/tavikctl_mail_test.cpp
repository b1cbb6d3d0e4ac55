// tavikctl's mail commands against the real servers, run in-process on a fresh installation.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "cli/tavikctl.h"
#include "pop3/attachment_store.h"
#include "profile/profile_lock.h"
#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"
#include "peers/test_certificates.h"
#include "support/test_support.h"

using namespace tavik;
using namespace tavik::test;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureCoreApplication(); }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct CtlRun {
    int status;
    std::string out, err;
};

struct MailCommands : ::testing::Test {
    TempDir home;

    CtlRun run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--home", home.path()});
        std::ostringstream out, err;
        TavikctlEnvironment env;
        env.executableDirectory = binDir();
        const int status = tavikctlMain(args, out, err, env);
        return {status, out.str(), err.str()};
    }
    void useServer(const DovecotServer& server)
    {
        const CtlRun r = run({"set", "Pop3Server=127.0.0.1", "Pop3Port=" + std::to_string(server.port()),
                              "ID=" + server.user(), "Password=" + server.password(), "AutoAddAddress=0"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
};

} // namespace

TEST_F(MailCommands, CheckFilesNewMailAndASecondCheckFindsNone)
{
    DovecotServer server;
    server.addMessage("From: Ann <ann@example.org>\nSubject: first\n\nbody one\n");
    server.addMessage("From: Bob <bob@example.org>\nSubject: second\n\nbody two\n");
    ASSERT_TRUE(server.start()) << server.error();
    useServer(server);

    CtlRun r = run({"check"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Connecting to 127.0.0.1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Downloading: 1 of 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 new message(s) filed in New Mail\n"), std::string::npos) << r.out;
    r = run({"list", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("first"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("second"), std::string::npos) << r.out;
    EXPECT_EQ(fileBytes(home.path() + "uidl.lst"), server.uidl(1) + "\r\n" + server.uidl(2) + "\r\n");

    r = run({"check"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("0 new message(s) filed in New Mail\n"), std::string::npos) << r.out;
}

TEST_F(MailCommands, AFailedCheckPrintsTheBoxAndExitsWithOne)
{
    DovecotServer server;
    ASSERT_TRUE(server.start()) << server.error();
    useServer(server);
    ASSERT_EQ(run({"set", "Password=wrong"}).status, 0);
    const CtlRun r = run({"check"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Access Denied Error: The server rejected the login"), std::string::npos) << r.err;

    // Nobody listening: the connection is refused.
    ASSERT_EQ(run({"set", "Pop3Port=" + std::to_string(freeLoopbackPort())}).status, 0);
    const CtlRun refused = run({"check"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Connection Rejected Error: "), std::string::npos) << refused.err;
}

TEST_F(MailCommands, ACheckIsRefusedWhileTheProfileIsOpenElsewhere)
{
    DovecotServer server;
    server.addMessage("From: a@example.org\nSubject: x\n\nbody\n");
    ASSERT_TRUE(server.start()) << server.error();
    useServer(server);
    // The program (or another tavikctl) holds the profile.
    ProfileLock lock(home.path());
    ASSERT_TRUE(lock.tryLock());
    const CtlRun r = run({"check"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is open in Tavik mail"), std::string::npos) << r.err;
    EXPECT_EQ(server.messagesOnServer(), 1u);
    EXPECT_EQ(fileBytes(home.path() + "uidl.lst").find("0000"), std::string::npos);
}

TEST_F(MailCommands, ADroppedConnectionIsPrintedOnStandardError)
{
    ScriptedServer server;
    server.send("+OK\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER u\r\n")
        .send("+OK\r\n")
        .expect("PASS p\r\n")
        .send("+OK\r\n")
        .expect("UIDL\r\n")
        .send("+OK\r\n1 a\r\n")
        .close();
    ASSERT_EQ(run({"set", "Pop3Server=127.0.0.1", "Pop3Port=" + std::to_string(server.port()), "ID=u", "Password=p"})
                  .status,
              0);
    const CtlRun r = run({"check"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Connection Closed Error: The mail server closed the connection while listing the "
                         "messages (UIDL).\n"),
              std::string::npos)
        << r.err;
}

TEST_F(MailCommands, ARelativeHomeStoresAttachmentLocationsThatOpenFromAnywhere)
{
    DovecotServer server;
    server.addMessage("From: a@example.org\nSubject: file\nMIME-Version: 1.0\n"
                      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nsee\n"
                      "--b\nContent-Type: application/octet-stream; name=\"a.bin\"\n"
                      "Content-Transfer-Encoding: base64\n\nSGVsbG8=\n--b--\n");
    ASSERT_TRUE(server.start()) << server.error();
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(home.path());
    auto ctl = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"--home", "rel"});
        std::ostringstream out, err;
        TavikctlEnvironment env;
        env.executableDirectory = binDir();
        return tavikctlMain(args, out, err, env);
    };
    const int set = ctl({"set", "Pop3Server=127.0.0.1", "Pop3Port=" + std::to_string(server.port()),
                         "ID=" + server.user(), "Password=" + server.password(), "AutoAddAddress=0"});
    const int checked = ctl({"check"});
    std::filesystem::current_path(before);
    ASSERT_EQ(set, 0);
    ASSERT_EQ(checked, 0);
    TAttachmentManager attachments;
    attachments.SetAttachmentDirectory(home.path() + "rel/attach/");
    const std::string location = attachments.GetAttachment(1).Location;
    EXPECT_EQ(location, home.path() + "rel/attach/a1");
    EXPECT_EQ(fileBytes(location), "Hello");
}

TEST_F(MailCommands, CertificateShowsTheFingerprintAndWhyItIsTrustedOrNot)
{
    DovecotServer server;
    server.useCertificate(testCertificates().server);
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_EQ(run({"mailboxes"}).status, 0);
    const std::string fp = testCertificates().server.fingerprint;
    const std::string pop3s = "127.0.0.1:" + std::to_string(server.tlsPort());

    // Signed by the fixtures' own authority, which the system does not know.
    CtlRun untrusted = run({"certificate", pop3s});
    EXPECT_EQ(untrusted.status, 1) << untrusted.err;
    EXPECT_NE(untrusted.out.find("\nSHA-256:  " + fp + "\n"), std::string::npos) << untrusted.out;
    EXPECT_NE(untrusted.out.find("\nTrusted:  no\n"), std::string::npos) << untrusted.out;
    EXPECT_NE(untrusted.out.find("\nTo accept it: tavikctl trust " + pop3s + " " + fp + "\n"), std::string::npos);

    ASSERT_EQ(run({"set", "CaFile=" + testCertificates().ca.certificate}).status, 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"certificate", pop3s},
          {"certificate", "127.0.0.1:" + std::to_string(server.port()), "--starttls", "pop3"}}) {
        CtlRun trusted = run(args);
        EXPECT_EQ(trusted.status, 0) << trusted.err << trusted.out;
        EXPECT_NE(trusted.out.find("\nSHA-256:  " + fp + "\nTrusted:  yes, by the system's certificate authorities "
                                   "or the CA file\n"),
                  std::string::npos)
            << trusted.out;
    }

    // An SMTP server's STARTTLS, with a pinned self-signed certificate.
    ScriptedServer s;
    s.send("220 hi\r\n")
        .expect("EHLO localhost\r\n")
        .send("250-hi\r\n250 STARTTLS\r\n")
        .expect("STARTTLS\r\n")
        .send("220 go ahead\r\n")
        .startTls(testCertificates().selfSigned)
        .expectClose();
    const std::string smtp = "127.0.0.1:" + std::to_string(s.port());
    ASSERT_EQ(run({"trust", smtp, testCertificates().selfSigned.fingerprint}).status, 0);
    CtlRun pinned = run({"certificate", smtp, "--starttls", "smtp"});
    EXPECT_EQ(pinned.status, 0) << pinned.err;
    EXPECT_NE(pinned.out.find("Trusted:  yes, accepted for " + smtp), std::string::npos) << pinned.out;
    EXPECT_TRUE(s.waitDone()) << s.report();

    EXPECT_EQ(run({"certificate", pop3s, "--starttls", "imap"}).status, 2);
    EXPECT_EQ(run({"certificate"}).status, 2);
}

TEST_F(MailCommands, ACheckRefusingACertificateNamesTheTrustCommandThatAcceptsIt)
{
    DovecotServer server;
    server.useCertificate(testCertificates().server);
    server.addMessage("From: a@example.org\nSubject: behind TLS\n\nbody\n");
    ASSERT_TRUE(server.start()) << server.error();
    useServer(server);
    const std::string pop3s = "127.0.0.1:" + std::to_string(server.tlsPort());
    ASSERT_EQ(run({"set", "Pop3Security=tls", "Pop3Port=" + std::to_string(server.tlsPort())}).status, 0);

    CtlRun refused = run({"check"});
    EXPECT_EQ(refused.status, 1);
    const std::string command = "tavikctl trust " + pop3s + " " + testCertificates().server.fingerprint;
    const auto at = refused.err.find("\n  " + command + "\n");
    ASSERT_NE(at, std::string::npos) << refused.err;
    EXPECT_NE(refused.out.find("0 new message(s) filed"), std::string::npos);

    ASSERT_EQ(run({"trust", pop3s, testCertificates().server.fingerprint}).status, 0);
    CtlRun accepted = run({"check"});
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_NE(accepted.out.find("1 new message(s) filed"), std::string::npos) << accepted.out;
}
