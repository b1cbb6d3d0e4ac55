// The send dialog offscreen against the real SMTP server and scripted servers, and the outbox
// commands of the main window ("Send Queued Mail", "Send/Check").
#include <set>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include "app/mail_workflows.h"
#include "peers/peer_fixtures.h"
#include "peers/scripted_server.h"
#include "peers/test_certificates.h"
#include "pop3/get_mail_dialog.h"
#include "smtp/send_mail_dialog.h"
#include "smtp/stored_copy.h"
#include "store/mailbox_store.h"
#include "ui/main_window_support.h"

using namespace tavik;
using namespace tavik::test;

namespace {

class SendDialog : public UiTest {
protected:
    SendDialog()
    {
        settings.SmtpServer = "127.0.0.1";
        settings.Name = "Sam Sender";
        settings.RetAddr = "sam@example.org";
    }
    void fill(TSendMailForm& dialog)
    {
        SendMail& m = dialog.SendMail1();
        m.FROM_Name = settings.Name;
        m.FROM_Address = settings.RetAddr;
        m.ListTo = {"ann@example.net|Ann"};
        m.Subject = "Hello";
        m.MailText = {"one line"};
    }
    QStringList logLines(const TSendMailForm& dialog)
    {
        QStringList lines;
        for (int i = 0; i < dialog.sendingInfo()->count(); ++i)
            lines << dialog.sendingInfo()->item(i)->text();
        return lines;
    }
    ProfileSettings settings;
};

} // namespace

TEST_F(SendDialog, ShowsTheSendAndClosesAcceptedWhenItEnds)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    settings.SmtpPort = sink.port();
    TSendMailForm dialog(settings);
    fill(dialog);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Sending message . . . ."));
    bool heading = false;
    for (QLabel* l : dialog.findChildren<QLabel*>())
        heading = heading || l->text() == QStringLiteral("Sending mail . . .");
    EXPECT_TRUE(heading);
    EXPECT_EQ(dialog.stopButton()->text(), QStringLiteral("Stop"));
    EXPECT_EQ(dialog.infoButton()->text(), QStringLiteral("Info"));
    dialog.show();
    EXPECT_EQ(dialog.height(), 153);
    EXPECT_TRUE(dialog.AutoClose());
    EXPECT_FALSE(dialog.stopButton()->isEnabled());
    EXPECT_FALSE(dialog.sendingInfo()->isVisible());
    EXPECT_EQ(dialog.statusLabel()->text(), QStringLiteral("Connecting to 127.0.0.1"));
    ASSERT_TRUE(waitFor([&] { return dialog.sendEnded(); }, 20000));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.statusLabel()->text(), QStringLiteral("Disconnected"));
    EXPECT_EQ(logLines(dialog), (QStringList{QStringLiteral("Connecting to 127.0.0.1"),
                                             QStringLiteral("Connected to 127.0.0.1"),
                                             QStringLiteral("To: ann@example.net"), QStringLiteral("Sending Message"),
                                             QStringLiteral("Message sent"), QStringLiteral("Disconnected")}));
    EXPECT_EQ(dialog.progressBar()->maximum(), 10); // "one line" and its CR LF
    EXPECT_EQ(dialog.progressBar()->value(), 10);
    EXPECT_TRUE(ui.shown.empty());
    ASSERT_TRUE(sink.waitForMessages(1));
    EXPECT_EQ(sink.messages()[0].rcpt_tos, (std::vector<std::string>{"ann@example.net"}));
}

// "Info" shows the log and keeps the dialog open at the end until "Stop"; pressed again it
// hides the log, and once the send has ended that closes the dialog as AutoClose would have.
// However it is closed after the end, an accepted message is reported as accepted.
TEST_F(SendDialog, InfoTogglesTheLogAndWhetherTheDialogClosesItself)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    settings.SmtpPort = sink.port();
    enum class Close { Stop, Info, Escape };
    for (Close how : {Close::Stop, Close::Info, Close::Escape}) {
        TSendMailForm dialog(settings);
        fill(dialog);
        dialog.show();
        QTest::mouseClick(dialog.infoButton(), Qt::LeftButton);
        EXPECT_EQ(dialog.height(), 330);
        EXPECT_TRUE(dialog.sendingInfo()->isVisible());
        EXPECT_TRUE(dialog.stopButton()->isEnabled());
        EXPECT_FALSE(dialog.AutoClose());
        ASSERT_TRUE(waitFor([&] { return dialog.sendEnded(); }, 20000));
        QTest::qWait(0);
        EXPECT_TRUE(dialog.isVisible()) << "the dialog closed itself with the log shown";
        EXPECT_EQ(dialog.statusLabel()->text(), QStringLiteral("Disconnected"));
        EXPECT_TRUE(logLines(dialog).contains(QStringLiteral("Message sent")));
        if (how == Close::Stop)
            QTest::mouseClick(dialog.stopButton(), Qt::LeftButton);
        else if (how == Close::Info)
            QTest::mouseClick(dialog.infoButton(), Qt::LeftButton);
        else
            QTest::keyClick(&dialog, Qt::Key_Escape);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }

    // Shown and hidden again while the send runs: back to 153 pixels and closing by itself.
    TSendMailForm dialog(settings);
    fill(dialog);
    dialog.show();
    QTest::mouseClick(dialog.infoButton(), Qt::LeftButton);
    QTest::mouseClick(dialog.infoButton(), Qt::LeftButton);
    EXPECT_EQ(dialog.height(), 153);
    EXPECT_FALSE(dialog.stopButton()->isEnabled());
    EXPECT_TRUE(dialog.AutoClose());
    ASSERT_TRUE(waitFor([&] { return !dialog.isVisible(); }, 20000));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(SendDialog, AnErrorShowsItsBoxOnceAndClosesRejected)
{
    settings.SmtpPort = freeLoopbackPort(); // nobody listens: the connection is refused
    TSendMailForm dialog(settings);
    fill(dialog);
    dialog.show();
    ASSERT_TRUE(waitFor([&] { return dialog.sendEnded(); }, 20000));
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "error");
    EXPECT_EQ(ui.shown[0].title, "Connection Rejected Error");
    EXPECT_EQ(ui.shown[0].text, "The mail server refused the connection. Make sure that you have entered the correct "
                                "value in setup for your SMTP server.");
}

// "Stop" (with the log shown) and Esc (with it hidden) end a running send without a box.
TEST_F(SendDialog, StopAndEscapeEndARunningSend)
{
    for (bool escape : {false, true}) {
        ScriptedServer server;
        server.send("220 hello\r\n").stall();
        settings.SmtpPort = server.port();
        TSendMailForm dialog(settings);
        fill(dialog);
        dialog.show();
        ASSERT_TRUE(server.waitDone()) << server.report();
        ASSERT_TRUE(waitFor([&] { return dialog.statusLabel()->text() == QStringLiteral("Connected to 127.0.0.1"); }));
        if (escape) {
            QTest::keyClick(&dialog, Qt::Key_Escape);
        } else {
            QTest::mouseClick(dialog.infoButton(), Qt::LeftButton);
            QTest::mouseClick(dialog.stopButton(), Qt::LeftButton);
        }
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
        EXPECT_TRUE(server.waitClientClosed()) << server.report();
        EXPECT_TRUE(ui.shown.empty());
    }
}

namespace {

class OutboxCommands : public UiTest {
protected:
    void prepare(quint16 smtpPort, const std::function<void(ProfileSettings&)>& more = {})
    {
        prepareProfile(home(), home(), [&](ProfileSettings& s) {
            s.SmtpServer = "127.0.0.1";
            s.SmtpPort = smtpPort;
            s.Name = "Sam Sender";
            s.RetAddr = "sam@example.org";
            s.AutoAddAddress = false;
            if (more)
                more(s);
        });
    }
    void queue(TMainForm& window, const std::string& to, const std::string& subject)
    {
        ComposedMessage m;
        m.ToLines = {to};
        m.Subject = subject;
        m.Body = {"text of " + subject};
        SendLater(window.Mailbox(), window.attachments(), window.settings(), window.ProfileDirectory(), m, 1709460000);
    }
    std::vector<std::string> subjects(TMainForm& window, int mailbox)
    {
        TNMailBox& store = window.Mailbox();
        store.SetCurrentMailBoxNumber(mailbox);
        std::vector<std::string> out;
        for (int n = 1; n <= store.CurrentMailBoxMessages(); ++n) {
            store.SetMsg_Number(n);
            out.push_back(store.Msg_Subject);
        }
        return out;
    }
};

} // namespace

TEST_F(OutboxCommands, SendQueuedMailSendsEveryQueuedMessageIntoSent)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    prepare(sink.port());
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<MailWorkflows>());
    ASSERT_TRUE(startAndLogIn(window));
    queue(window, "ann@example.net", "First");
    queue(window, "Bob <bob@example.net>", "Second");
    // One modal dialog for the whole run, showing each message in turn.
    std::vector<std::string> dialogs;
    std::set<TSendMailForm*> forms;
    int shows = 0;
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* d = qobject_cast<TSendMailForm*>(QApplication::activeModalWidget())) {
            if (forms.insert(d).second)
                ++shows;
            if (dialogs.empty() || dialogs.back() != d->SendMail1().Subject)
                dialogs.push_back(d->SendMail1().Subject);
        }
    });
    watch.start();
    // The command again while the first dialog runs starts no second run.
    auto again = ModalDriver::on<TSendMailForm>([&](TSendMailForm*) { window.SendQueuedBtnClick(); });
    window.SendQueuedBtnClick();
    EXPECT_TRUE(again->handled());
    watch.stop();
    EXPECT_EQ(dialogs, (std::vector<std::string>{"First", "Second"}));
    EXPECT_EQ(shows, 1);
    EXPECT_EQ(subjects(window, kSentMailbox), (std::vector<std::string>{"First", "Second"}));
    EXPECT_TRUE(subjects(window, kToSendMailbox).empty());
    EXPECT_TRUE(ui.shown.empty());
    // Every accepted message was on the server's disk before it answered: nothing to wait for.
    ASSERT_EQ(sink.messages().size(), 2u);
    EXPECT_EQ(sink.messages()[1].rcpt_tos, (std::vector<std::string>{"bob@example.net"}));
}

// Send/Check sends first and checks afterwards, also when the send failed.
TEST_F(OutboxCommands, SendCheckSendsThenChecks)
{
    SmtpSink refusing;
    refusing.rejectData();
    ASSERT_TRUE(refusing.start()) << refusing.error();
    DovecotServer pop3;
    pop3.addMessage("From: Zoe <zoe@example.org>\nSubject: arrived\n\nbody\n");
    ASSERT_TRUE(pop3.start()) << pop3.error();
    prepare(refusing.port(), [&](ProfileSettings& s) {
        s.Pop3Server = "127.0.0.1";
        s.Pop3Port = pop3.port();
        s.ID = pop3.user();
        s.Password = pop3.password();
    });
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<MailWorkflows>());
    ASSERT_TRUE(startAndLogIn(window));
    queue(window, "ann@example.net", "Refused");
    queue(window, "bob@example.net", "Waiting");
    window.CheckSendBtnClick();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].title, "Unexpected Response Error");
    EXPECT_EQ(subjects(window, kToSendMailbox), (std::vector<std::string>{"Refused", "Waiting"}));
    EXPECT_TRUE(subjects(window, kSentMailbox).empty());
    EXPECT_EQ(subjects(window, 1), (std::vector<std::string>{"arrived"}));
}

// Shutting down during Send/Check ends the send in hand, sends nothing more and checks nothing.
TEST_F(OutboxCommands, ShutdownDuringSendCheckStopsTheRunAndSkipsTheCheck)
{
    ScriptedServer server;
    server.send("220 hello\r\n").stall();
    prepare(server.port());
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<MailWorkflows>());
    ASSERT_TRUE(startAndLogIn(window));
    queue(window, "ann@example.net", "First");
    queue(window, "bob@example.net", "Second");
    auto shutdown = ModalDriver::on<TSendMailForm>([&](TSendMailForm* d) {
        ASSERT_TRUE(waitFor([&] { return d->statusLabel()->text() == QStringLiteral("Connected to 127.0.0.1"); }));
        window.requestShutdown();
    });
    auto check = ModalDriver::on<TGetMailForm>([](TGetMailForm* d) { d->StopBtnClick(); });
    window.CheckSendBtnClick();
    EXPECT_TRUE(shutdown->handled());
    EXPECT_FALSE(check->handled());
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::ShutDown; }));
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(server.connections(), 1);
    TNMailBox store;
    store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
    store.setMailBoxDirectoryWithoutChanges(home() + "mailboxe/");
    store.SetCurrentMailBoxNumber(kToSendMailbox);
    EXPECT_EQ(store.CurrentMailBoxMessages(), 2);
}

TEST_F(SendDialog, ACertificateAcceptedPermanentlySendsTheMessageAndIsPinned)
{
    SmtpSink sink;
    sink.useImplicitTls(testCertificates().selfSigned);
    ASSERT_TRUE(sink.start()) << sink.error() << sink.log();
    settings.SmtpPort = sink.port();
    settings.SmtpSecurity = "tls";
    ui.certificateChoices = {CertificateChoice::AcceptPermanently};
    for (int send = 1; send <= 2; ++send) {
        TSendMailForm dialog(settings, home());
        fill(dialog);
        dialog.show();
        ASSERT_TRUE(waitFor([&] { return dialog.sendEnded(); }, 20000));
        EXPECT_EQ(dialog.result(), QDialog::Accepted) << send;
        ASSERT_TRUE(sink.waitForMessages(send)) << sink.log();
    }
    // Asked once; the second send found the pin.
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].kind, "certificate");
    EXPECT_EQ(ui.shown[0].text, "127.0.0.1:" + std::to_string(sink.port()));
    EXPECT_EQ(sink.messages()[0].rcpt_tos, (std::vector<std::string>{"ann@example.net"}));
    EXPECT_TRUE(sink.messages()[0].tls);
    EXPECT_EQ(fileBytes(home() + "certificates.ini"), "[Pinned]\r\n127.0.0.1:" + std::to_string(sink.port()) + "=" +
                                                          testCertificates().selfSigned.fingerprint + "\r\n");
}
