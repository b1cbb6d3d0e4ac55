// The check-mail dialog and the new-mail notice, offscreen, against Dovecot and scripted servers.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <filesystem>

#include "app/mail_workflows.h"
#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"
#include "peers/test_certificates.h"
#include "pop3/attachment_store.h"
#include "pop3/get_mail_dialog.h"
#include "store/mailbox_store.h"
#include "ui/main_window_support.h"
#include "window_common/certificate_dialog.h"

using namespace tavik;
using namespace tavik::test;

namespace {

class CheckDialog : public UiTest {
protected:
    CheckDialog()
    {
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store.SetMailBoxDirectory(home() + "mailboxe/");
        attachments.SetAttachmentDirectory(home() + "attach/");
        settings.Pop3Server = "127.0.0.1";
        settings.AutoAddAddress = false;
    }
    int newMail()
    {
        store.SetCurrentMailBoxNumber(1);
        return store.CurrentMailBoxMessages();
    }
    TNMailBox store;
    TAttachmentManager attachments;
    ProfileSettings settings;
};

} // namespace

TEST_F(CheckDialog, ShowsTheCheckAndClosesAcceptedWhenItEnds)
{
    DovecotServer server;
    server.addMessage("From: a@example.org\nSubject: first\n\nbody\n");
    server.addMessage("From: b@example.org\nSubject: second\n\nbody\n");
    ASSERT_TRUE(server.start()) << server.error();
    settings.Pop3Port = server.port();
    settings.ID = server.user();
    settings.Password = server.password();

    TGetMailForm dialog(settings, home(), store, attachments);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Checking for new mail . . . ."));
    EXPECT_EQ(dialog.stopButton()->text(), QStringLiteral("Stop"));
    std::vector<QString> counters;
    QObject::connect(&dialog, &TGetMailForm::checkFinished, [&] { counters.push_back(dialog.counterLabel()->text()); });
    dialog.show();
    EXPECT_EQ(dialog.statusLabel()->text(), QStringLiteral("Connecting to 127.0.0.1"));
    ASSERT_TRUE(waitFor([&] { return dialog.checkEnded(); }, 20000));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.statusLabel()->text(), QStringLiteral("Disconnected"));
    EXPECT_EQ(dialog.progressBar()->value(), dialog.progressBar()->maximum());
    EXPECT_EQ(newMail(), 2);
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_TRUE(dialog.check().Received());
}

TEST_F(CheckDialog, AWrongPasswordShowsItsBoxAndClosesRejected)
{
    DovecotServer server;
    ASSERT_TRUE(server.start()) << server.error();
    settings.Pop3Port = server.port();
    settings.ID = server.user();
    settings.Password = "wrong";
    TGetMailForm dialog(settings, home(), store, attachments);
    dialog.show();
    ASSERT_TRUE(waitFor([&] { return dialog.checkEnded(); }, 20000));
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_EQ(ui.shown[0].title, "Access Denied Error");
    EXPECT_EQ(ui.shown[0].text, "The server rejected the login either because the user ID or password you "
                                "specified is incorrect, or your account is being accessed by another program.");
}

TEST_F(CheckDialog, StopAndEscapeEndTheCheckWithoutABox)
{
    for (bool escape : {false, true}) {
        ScriptedServer server;
        server.send("+OK ready\r\n").expect("CAPA\r\n").send("-ERR\r\n").expect("USER u\r\n").stall();
        settings.Pop3Port = server.port();
        settings.ID = "u";
        TGetMailForm dialog(settings, home(), store, attachments);
        dialog.show();
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_EQ(dialog.statusLabel()->text(), QStringLiteral("Connected to 127.0.0.1"));
        if (escape) {
            QTest::keyClick(&dialog, Qt::Key_Escape);
        } else {
            QTest::mouseClick(dialog.stopButton(), Qt::LeftButton);
        }
        ASSERT_TRUE(waitFor([&] { return dialog.checkEnded(); }));
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
        EXPECT_TRUE(ui.shown.empty());
        EXPECT_TRUE(server.waitClientClosed()) << server.report();
    }
}

TEST_F(CheckDialog, TheNewMailNoticeCountsAndClosesOnAClick)
{
    TNewMailMsgForm notice(3);
    EXPECT_EQ(notice.windowTitle(), QStringLiteral("New Mail income"));
    EXPECT_EQ(notice.countLabel()->text(), QStringLiteral("You have 3 new message(s) "));
    EXPECT_TRUE(notice.windowFlags() & Qt::FramelessWindowHint);
    notice.show();
    QTest::mouseClick(notice.closeButton(), Qt::LeftButton);
    EXPECT_EQ(notice.result(), QDialog::Accepted);
    TNewMailMsgForm other(1);
    other.show();
    QTest::mouseClick(&other, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(other.isVisible());
}

TEST_F(CheckDialog, MidMessageItShowsSubjectCounterAndPartialProgress)
{
    ScriptedServer server;
    std::string half = "Subject: Holiday photos from the lake\r\nFrom: Ann <ann@example.org>\r\n\r\n";
    while (half.size() < 2000)
        half += "A line of the message body, one of many.\r\n";
    server.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER u\r\n")
        .send("+OK\r\n")
        .expect("PASS p\r\n")
        .send("+OK\r\n")
        .expect("UIDL\r\n")
        .send("+OK\r\n1 a\r\n2 b\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK 5000 octets\r\n" + half)
        .stall();
    settings.Pop3Port = server.port();
    settings.ID = "u";
    settings.Password = "p";
    TGetMailForm dialog(settings, home(), store, attachments);
    dialog.show();
    ASSERT_TRUE(waitFor([&] { return dialog.subjectLabel()->text() == QStringLiteral("Holiday photos from the lake"); }));
    EXPECT_EQ(dialog.statusLabel()->text(), QStringLiteral("Getting Message"));
    EXPECT_EQ(dialog.counterLabel()->text(), QStringLiteral("Downloading: 1 of 2"));
    // The bar follows the bytes within a moment.
    ASSERT_TRUE(waitFor([&] { return dialog.progressBar()->value() > 1000; }));
    EXPECT_EQ(dialog.progressBar()->maximum(), 5000);
    EXPECT_LT(dialog.progressBar()->value(), 5000);
    if (const char* dir = std::getenv("TAVIK_SCREENSHOT_DIR"))
        dialog.grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/check_mail_dialog.png"));
    // Two Stops: the first waits for the end of the message, the second ends the stalled check.
    dialog.StopBtnClick();
    EXPECT_FALSE(dialog.checkEnded());
    dialog.StopBtnClick();
    ASSERT_TRUE(waitFor([&] { return dialog.checkEnded(); }));
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(newMail(), 0);
}

TEST_F(CheckDialog, ADroppedConnectionShowsItsBoxAndClosesRejected)
{
    ScriptedServer server;
    server.send("+OK ready\r\n").expect("CAPA\r\n").send("-ERR\r\n");
    server.expect("USER u\r\n").send("+OK\r\n").expect("PASS p\r\n").close();
    settings.Pop3Port = server.port();
    settings.ID = "u";
    settings.Password = "p";
    TGetMailForm dialog(settings, home(), store, attachments);
    dialog.show();
    ASSERT_TRUE(waitFor([&] { return dialog.checkEnded(); }));
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_EQ(ui.shown[0].title, "Connection Closed Error");
    EXPECT_EQ(ui.shown[0].text, "The mail server closed the connection while logging in (password).");
}

// ---- certificates the user judges ---------------------------------------------------------

namespace {

// A check over POP3S from a Dovecot whose certificate nobody vouches for.
class CertificateCheck : public CheckDialog {
protected:
    void SetUp() override
    {
        server.useCertificate(testCertificates().selfSigned);
        server.addMessage("From: a@example.org\nSubject: behind a self-signed certificate\n\nbody\n");
        ASSERT_TRUE(server.start()) << server.error();
        settings.Pop3Security = "tls";
        settings.Pop3Port = server.tlsPort();
        settings.ID = server.user();
        settings.Password = server.password();
        settings.TimeOut = 30;
    }
    int check()
    {
        TGetMailForm dialog(settings, home(), store, attachments);
        dialog.show();
        EXPECT_TRUE(waitFor([&] { return dialog.checkEnded(); }, 20000));
        return dialog.result();
    }
    std::string pinsPath() const { return home() + "certificates.ini"; }
    std::string pinLine() const
    {
        return "127.0.0.1:" + std::to_string(server.tlsPort()) + "=" + testCertificates().selfSigned.fingerprint;
    }
    DovecotServer server;
};

} // namespace

TEST_F(CertificateCheck, AcceptedPermanentlyTheCheckFilesAndTheNextOneAsksNothing)
{
    ui.certificateChoices = {CertificateChoice::AcceptPermanently};
    EXPECT_EQ(check(), QDialog::Accepted);
    ASSERT_EQ(ui.certificates.size(), 1u);
    EXPECT_EQ(ui.certificates[0].fingerprint, testCertificates().selfSigned.fingerprint);
    EXPECT_TRUE(ui.certificates[0].pinnedFingerprint.empty());
    EXPECT_EQ(newMail(), 1);
    EXPECT_EQ(fileBytes(pinsPath()), "[Pinned]\r\n" + pinLine() + "\r\n");
    EXPECT_EQ(std::filesystem::status(pinsPath()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(server.tlsLogins(1), 1) << server.log();

    EXPECT_EQ(check(), QDialog::Accepted);
    EXPECT_EQ(ui.certificates.size(), 1u);
    EXPECT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(server.tlsLogins(2), 2) << server.log();
}

TEST_F(CertificateCheck, AcceptedOnceItFilesAndPinsNothingCancelledItFilesNothingAndShowsNoBox)
{
    ui.certificateChoices = {CertificateChoice::AcceptOnce};
    EXPECT_EQ(check(), QDialog::Accepted);
    EXPECT_EQ(newMail(), 1);
    EXPECT_FALSE(std::filesystem::exists(pinsPath()));

    ui.shown.clear();
    removeFileIfPresent(home() + "uidl.lst");
    ui.certificateChoices = {CertificateChoice::Cancel};
    EXPECT_EQ(check(), QDialog::Rejected);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "certificate");
    EXPECT_EQ(ui.shown[0].text, "127.0.0.1:" + std::to_string(server.tlsPort()));
    EXPECT_EQ(newMail(), 1);
    EXPECT_EQ(server.tlsLogins(1), 1) << server.log();
}

TEST_F(CertificateCheck, AChangedCertificateIsPutToTheUserWithBothFingerprints)
{
    const std::string other = testCertificates().otherSelfSigned.fingerprint;
    CertificatePins(home()).pin(pinServerName("127.0.0.1", server.tlsPort()), other);
    ui.certificateChoices = {CertificateChoice::Cancel};
    EXPECT_EQ(check(), QDialog::Rejected);
    ASSERT_EQ(ui.certificates.size(), 1u);
    const std::string warning = changedCertificateWarning(ui.certificates[0]);
    EXPECT_NE(warning.find("Accepted before: " + other), std::string::npos) << warning;
    EXPECT_NE(warning.find("Shown now: " + testCertificates().selfSigned.fingerprint), std::string::npos) << warning;
    EXPECT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(newMail(), 0);
}

TEST_F(CertificateCheck, ATimerCheckAsksNothingAndLeavesTheReasonInTheStatusBar)
{
    prepareProfile(home(), home(), [&](ProfileSettings& s) {
        s.Pop3Server = settings.Pop3Server;
        s.Pop3Port = settings.Pop3Port;
        s.Pop3Security = settings.Pop3Security;
        s.ID = settings.ID;
        s.Password = settings.Password;
        s.AutoCheckMail = true;
        s.AutoCheckMinutes = 1;
    });
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<MailWorkflows>());
    ASSERT_TRUE(startAndLogIn(window));
    window.SystemTimerTimer();
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(window.statusBar()->currentMessage(),
              QStringLiteral("Certificate of 127.0.0.1:%1 not trusted: The certificate is self-signed, and untrusted")
                  .arg(server.tlsPort()));
    EXPECT_EQ(server.tlsLogins(), 0) << server.log();
}
