// The composition window offscreen: its fields and commands, what it sends to the real SMTP
// server (parsed by Python's email package), what it files, and its questions.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTcpServer>
#include <QToolButton>
#include <QUrl>
#include <filesystem>

#include "addressbook/address_book_window.h"
#include "app/mail_workflows.h"
#include "view/answer_rules.h"
#include "view/attachment_dialog.h"
#include "view/mailbox_window.h"
#include "view/mime_manager.h"
#include "view/mime_editor_dialog.h"
#include "peers/peer_fixtures.h"
#include "pop3/attachment_store.h"
#include "smtp/compose_rules.h"
#include "smtp/new_message_window.h"
#include "smtp/outbox.h"
#include "smtp/rc4.h"
#include "text/unicode_text.h"
#include "smtp/send_mail_dialog.h"
#include "store/mailbox_store.h"
#include "ui/main_window_support.h"
#include "window_common/text_conversion.h"
#include "support/test_support.h"

using namespace tavik;
using namespace tavik::test;

namespace {

using Lines = std::vector<std::string>;

class Compose : public UiTest, public ComposeHost {
protected:
    Compose()
    {
        settings_.Name = "Sam Sender";
        settings_.RetAddr = "sam@example.org";
        settings_.SmtpServer = "127.0.0.1";
        store_.MailBoxes = boxes_;
        store_.SetMailBoxDirectory(dir_.path() + "mailboxe/");
        attachments_.SetAttachmentDirectory(dir_.path() + "attach/");
    }

    ProfileSettings& settings() override { return settings_; }
    const std::string& ProfileDirectory() const override { return dir_.path(); }
    TNMailBox& Mailbox() override { return store_; }
    TAttachmentManager& attachments() override { return attachments_; }
    const MailboxList& mailboxList() override { return boxes_; }
    TMimeManager* mimeManager() override { return mime_.get(); }

    std::unique_ptr<TNewMessageForm> window()
    {
        auto w = std::make_unique<TNewMessageForm>(*this);
        w->show();
        return w;
    }
    int count(int mailbox)
    {
        store_.SetCurrentMailBoxNumber(mailbox);
        return store_.CurrentMailBoxMessages();
    }
    // The stored text of message 1 of `mailbox`, its index fields loaded.
    Lines stored(int mailbox, int message = 1)
    {
        store_.SetCurrentMailBoxNumber(mailbox);
        store_.SetMsg_Number(message);
        store_.LoadMessageText();
        return store_.Msg_Text;
    }
    // A port on which nothing listens.
    static quint16 closedPort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        return port;
    }
    void pythonCheck(const std::string& message, const std::string& json)
    {
        checkWithPythonEmail(dir_.path(), message, json);
    }

    TempDir dir_;
    ProfileSettings settings_;
    MailboxList boxes_ = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
    TNMailBox store_;
    TAttachmentManager attachments_;
    std::unique_ptr<TMimeManager> mime_;
};

// The header block a filed copy starts with, for Sam and the given lines.
Lines storedHead(const Lines& recipients, const std::string& date, const Lines& middle)
{
    Lines l = {"From: Sam Sender <sam@example.org>"};
    l.insert(l.end(), recipients.begin(), recipients.end());
    // The index keeps the date without its zone; the stored line has it.
    const std::string now = rfc5322Date(std::time(nullptr));
    l.push_back("Date: " + date + now.substr(now.size() - 6));
    l.push_back("Message-ID: (new)");
    l.insert(l.end(), middle.begin(), middle.end());
    l.push_back(std::string("X-Encoder-Verify: ") + (RC4SelfTest() ? "True" : "False"));
    l.push_back("X-Mailer: Tavik mail v1.1b");
    l.push_back("");
    return l;
}

// A stored text with its Message-ID, made by the program, as storedHead writes it.
Lines withNewMessageId(Lines text)
{
    for (std::string& line : text)
        if (line.rfind("Message-ID: <tavik.", 0) == 0 && line.size() > 33 &&
            line.substr(line.size() - 13) == "@example.org>")
            line = "Message-ID: (new)";
    return text;
}

TEST_F(Compose, FieldsOptionsAndTheRecipientFieldCycle)
{
    settings_.UseSignature = true;
    auto w = window();
    EXPECT_EQ(w->childKind(), MailChildWindow::Kind::Composition);
    ASSERT_EQ(w->cbPriority()->count(), 3);
    EXPECT_EQ(w->cbPriority()->itemText(0), QStringLiteral(" High"));
    EXPECT_EQ(w->cbPriority()->itemText(1), QStringLiteral(" Normal"));
    EXPECT_EQ(w->cbPriority()->itemText(2), QStringLiteral(" Low"));
    EXPECT_EQ(w->cbPriority()->currentIndex(), 1);
    EXPECT_TRUE(w->checkSignature()->isChecked());
    EXPECT_EQ(w->checkSignature()->text(), QStringLiteral("Add Si&gnature"));
    EXPECT_EQ(w->checkReceipt()->text(), QStringLiteral("Confirmation of rece&ipt"));
    EXPECT_EQ(w->checkEncrypt()->text(), QStringLiteral("Encr&ypt usin internal encoder/decoder"));
    EXPECT_EQ(w->LastMailPriority()->text(), QStringLiteral("1"));
    EXPECT_FALSE(w->LastMailPriority()->isVisible());
    EXPECT_FALSE(w->Memo1()->tabChangesFocus());
    const char* items[] = {"Send &Now...", "Send &later...", "Save as &draft...", "&Cancel"};
    for (int tag = 0; tag < 4; ++tag) {
        ASSERT_NE(w->sideBarItem(tag), nullptr);
        EXPECT_EQ(w->sideBarItem(tag)->text(), QString::fromLatin1(items[tag]));
        EXPECT_EQ(w->sideBarItem(tag)->property("tag").toInt(), tag);
    }
    for (const char* l : {"Address Book", "Add Att.", "Address", "Options", "Attachments"})
        EXPECT_NE(w->link(QString::fromLatin1(l)), nullptr) << l;

    // The password and its button only while encryption is ticked.
    w->link(QStringLiteral("Options"))->click();
    EXPECT_FALSE(w->editEncryptPwd()->isEnabled());
    EXPECT_FALSE(w->btnCrypt()->isVisible());
    w->checkEncrypt()->setChecked(true);
    EXPECT_TRUE(w->editEncryptPwd()->isEnabled());
    EXPECT_TRUE(w->btnCrypt()->isVisible());
    EXPECT_EQ(w->editEncryptPwd()->maxLength(), 8);
    EXPECT_EQ(w->editEncryptPwd()->echoMode(), QLineEdit::Password);

    const QPlainTextEdit* fields[] = {w->ToEdt(), w->ccEdt(), w->BccEdt()};
    EXPECT_EQ(w->recipientLabel()->text(), QStringLiteral("To:"));
    for (const char* caption : {"cc:", "Bcc:", "To:"}) {
        w->recipientLabel()->click();
        EXPECT_EQ(w->recipientLabel()->text(), QString::fromLatin1(caption));
    }
    EXPECT_EQ(w->recipientFields()->currentWidget(), fields[0]);
    w->Image1Click();
    EXPECT_EQ(w->recipientFields()->currentWidget(), fields[1]);
    w->Image1Click();
    EXPECT_EQ(w->recipientFields()->currentWidget(), fields[2]);

    // Crypt enciphers the body line by line; again with the same password restores it.
    std::string plain;
    for (int i = 0; plain.empty(); ++i)
        if (cipherLineRisk("text " + std::to_string(i), "pw") == CipherLineRisk::None)
            plain = "text " + std::to_string(i);
    w->Memo1()->setPlainText(QString::fromLatin1(plain.c_str()) + QStringLiteral("\n\n") +
                             QString::fromLatin1(plain.c_str()));
    w->editEncryptPwd()->setText(QStringLiteral("pw"));
    w->btnCrypt()->click();
    EXPECT_EQ(w->composedMessage().Body, (Lines{EncipherLine(plain, "pw"), "", EncipherLine(plain, "pw")}));
    w->btnCrypt()->click();
    EXPECT_EQ(w->composedMessage().Body, (Lines{plain, "", plain}));
    ui.yesNo = {true};
    w->close();
}

TEST_F(Compose, WithoutAnAddressNothingIsSentOrFiled)
{
    auto w = window();
    w->ToEdt()->setPlainText(QStringLiteral("\n  \n"));
    w->SubjectEdt()->setText(QStringLiteral("Nobody"));
    w->MailNowBtnClick();
    w->MailLaterBtnClick();
    w->spdbtnDraftClick();
    EXPECT_EQ(ui.textsOf("warn"), Lines(3, kNoAddressText));
    EXPECT_FALSE(w->handled());
    EXPECT_TRUE(w->isVisible());
    for (int m : {2, 3, 4})
        EXPECT_EQ(count(m), 0);

    // The untouched question names the subject; No keeps the window.
    ui.yesNo = {false, true};
    w->sideBarItem(3)->click();
    EXPECT_TRUE(w->isVisible());
    w->close();
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(ui.textsOf("question"), Lines(2, "Subject: Nobody\r\nAre you sure you want to discard this message?"));
}

// Ctrl+Enter is "Send Now" from any field, the body included, which keeps its text.
TEST_F(Compose, CtrlEnterSendsNowFromAnyField)
{
    auto w = window();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->Memo1()->setPlainText(QStringLiteral("text"));
    w->Memo1()->setFocus();
    QTest::keyClick(w->Memo1(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(ui.textsOf("warn"), Lines{kNoAddressText});
    EXPECT_EQ(w->Memo1()->toPlainText(), QStringLiteral("text"));
    w->SubjectEdt()->setFocus();
    QTest::keyClick(w->SubjectEdt(), Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_EQ(ui.textsOf("warn"), Lines(2, kNoAddressText));
}

TEST_F(Compose, AnUntouchedWindowAsksWithTheSubjectUnknown)
{
    auto w = window();
    ui.yesNo = {true};
    EXPECT_TRUE(w->close());
    EXPECT_EQ(ui.textsOf("question"), Lines{"Subject: Unknown\r\nAre you sure you want to discard this message?"});
    EXPECT_TRUE(w->mayClose()); // agreed once: no second question
}

TEST_F(Compose, SendNowReachesTheRealServerAndIsFiledInSent)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    settings_.SmtpPort = sink.port();
    settings_.UseSignature = true;
    writeBytes(dir_.path() + "signatur.def", "-- \r\nSam\r\n");
    auto w = window();
    w->ToEdt()->setPlainText(QStringLiteral("Ann Example <ann@example.net>\nbob@example.net\n"));
    w->ccEdt()->setPlainText(QStringLiteral("carl@example.net"));
    w->BccEdt()->setPlainText(QStringLiteral("Hidden Person <hidden@example.net>"));
    w->SubjectEdt()->setText(QStringLiteral("Plans"));
    w->cbPriority()->setCurrentIndex(2);
    w->checkReceipt()->setChecked(true);
    w->Memo1()->setPlainText(QStringLiteral("Hello,\tall\n\nsee you"));
    w->MailNowBtnClick();

    ASSERT_TRUE(sink.waitForMessages(1));
    const SmtpMessage m = sink.messages().front();
    EXPECT_EQ(m.mail_from, "sam@example.org");
    EXPECT_EQ(m.rcpt_tos, (Lines{"ann@example.net", "bob@example.net", "carl@example.net", "hidden@example.net"}));
    EXPECT_EQ(m.content.find("hidden"), std::string::npos) << "a Bcc recipient in the headers";
    pythonCheck(m.content, R"({"addresses": {"From": [["Sam Sender", "sam@example.org"]],
                 "To": [["Ann Example", "ann@example.net"], ["", "bob@example.net"]],
                 "Cc": [["", "carl@example.net"]]},
               "headers": {"Subject": ["Plans"], "Bcc": [], "X-Priority": ["5"], "X-MSMail-Priority": ["Low"],
                 "Return-receipt-to": ["sam@example.org"], "X-Encoder": [], "X-Mailer": ["Tavik mail v1.1b"]},
               "text": {"body": "Hello,\tall\r\n\r\nsee you\r\n \r\n-- \r\nSam\r\n\r\n"}})");
    EXPECT_TRUE(ui.textsOf("inform").empty());

    ASSERT_EQ(count(kSentMailbox), 1);
    const Lines text = stored(kSentMailbox);
    const std::string date = store_.Msg_Date;
    Lines expected = storedHead({"To: Ann Example <ann@example.net>", "To: bob@example.net", "cc: carl@example.net",
                                 "Bcc: Hidden Person <hidden@example.net>"},
                                date,
                                {"Subject: Plans", "X-Priority: 5", "X-MSMail-Priority: Low",
                                 "Return-receipt-to: sam@example.org"});
    for (const char* l : {"Hello,\tall", "", "see you", " ", "-- ", "Sam"})
        expected.push_back(l);
    EXPECT_EQ(withNewMessageId(text), expected);
    EXPECT_EQ(store_.Msg_From, "Ann Example <ann@example.net>");
    EXPECT_EQ(store_.Msg_To, "Ann Example <ann@example.net>");
    EXPECT_EQ(store_.Msg_Subject, "Plans");
    EXPECT_EQ(store_.Msg_Flag, 'V');
    EXPECT_EQ(store_.Msg_Part, 0);
    EXPECT_TRUE(w->handled());
    EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(ui.textsOf("question").empty());
}

// A reply names the message it answers; "Save sent messages" off keeps no copy of it; a
// recipient the server refused is named in a box that waits for the user.
TEST_F(Compose, AReplyIsThreadedNotFiledWithoutSaveSentAndRefusalsAreShown)
{
    SmtpSink sink;
    sink.rejectRecipient("gone@example.net");
    ASSERT_TRUE(sink.start()) << sink.error();
    settings_.SmtpPort = sink.port();
    settings_.SaveSent = false;
    auto w = window();
    AnswerText answer;
    answer.SubjectEdt = "Re: Plans";
    answer.ToEdt = "ann@example.net";
    answer.inReplyTo = "<m1@example.net>";
    answer.references = "<m0@example.net> <m1@example.net>";
    fillComposition(*w, answer);
    w->ccEdt()->setPlainText(QStringLiteral("gone@example.net"));
    w->MailNowBtnClick();
    ASSERT_TRUE(sink.waitForMessages(1));
    pythonCheck(sink.messages().front().content,
                R"({"headers": {"In-Reply-To": ["<m1@example.net>"], "References": ["<m0@example.net> <m1@example.net>"]}})");
    EXPECT_NE(sink.messages().front().content.find("\r\nMessage-ID: <tavik."), std::string::npos);
    EXPECT_EQ(ui.textsOf("warn"), (Lines{"The message was sent, but not to these recipients, which the mail server "
                                         "refused:\r\ngone@example.net: 550 5.1.1 Mailbox unavailable"}));
    EXPECT_EQ(count(kSentMailbox), 0);
    EXPECT_EQ(count(kToSendMailbox), 0);
    EXPECT_TRUE(w->handled());
}

TEST_F(Compose, EncryptionMarksTheWireWithoutAndTheStoredCopyWithThePassword)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    settings_.SmtpPort = sink.port();
    std::string plain;
    for (int i = 0; plain.empty(); ++i)
        if (cipherLineRisk("secret plan " + std::to_string(i), "pw12") == CipherLineRisk::None &&
            EncipherLine("secret plan " + std::to_string(i), "pw12").find('\x01') == std::string::npos)
            plain = "secret plan " + std::to_string(i);
    auto w = window();
    w->ToEdt()->setPlainText(QStringLiteral("ann@example.net"));
    w->checkEncrypt()->setChecked(true);
    w->editEncryptPwd()->setText(QStringLiteral("pw12"));
    w->Memo1()->setPlainText(QString::fromLatin1(plain.c_str()));
    w->MailNowBtnClick();
    ASSERT_TRUE(sink.waitForMessages(1));
    const std::string wire = sink.messages().front().content;
    // Extra header lines go out with the writer's two trailing blanks.
    EXPECT_NE(wire.find("\r\nX-Encoder: RC4 internal  \r\n"), std::string::npos) << wire;
    EXPECT_EQ(wire.find("pw12"), std::string::npos);
    EXPECT_EQ(wire.find(plain), std::string::npos);

    const Lines text = stored(kSentMailbox);
    Lines expected = storedHead({"To: ann@example.net"}, store_.Msg_Date,
                                {"X-Priority: 3", "X-MSMail-Priority: Normal", "X-Encoder: RC4 internal pw12"});
    expected.push_back(EncipherLine(plain, "pw12"));
    EXPECT_EQ(withNewMessageId(text), expected);
}

TEST_F(Compose, AFailedSendIsFiledInToSendAndTheOutboxDeliversIt)
{
    settings_.SmtpPort = closedPort();
    auto w = window();
    w->BccEdt()->setPlainText(QStringLiteral("Hidden Person <hidden@example.net>"));
    w->SubjectEdt()->setText(QStringLiteral("Later"));
    w->Memo1()->setPlainText(QStringLiteral("body"));
    w->MailNowBtnClick();
    // Only a Bcc recipient: the message names it all the same.
    EXPECT_EQ(ui.textsOf("inform"),
              Lines{"Message \"Later\" for hidden@example.net cannot be sent.\r\nIt will be stored in the \"To Send\" folder."});
    EXPECT_EQ(ui.textsOf("error").size(), 1u); // the send dialog's own box
    EXPECT_EQ(count(kSentMailbox), 0);
    ASSERT_EQ(count(kToSendMailbox), 1);
    stored(kToSendMailbox);
    EXPECT_EQ(store_.Msg_From, "Hidden Person <hidden@example.net>");
    EXPECT_TRUE(w->handled());

    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    settings_.SmtpPort = sink.port();
    struct View : OutboxView {
        ProfileSettings& s;
        explicit View(ProfileSettings& settings) : s(settings) {}
        SendOutcome sendMessage(const OutgoingMessage& message, int) override
        {
            TSendMailForm dialog(s);
            fillSendMail(dialog.SendMail1(), message);
            return dialog.exec() == QDialog::Accepted;
        }
        void showFileError(const std::string& text) override { ADD_FAILURE() << text; }
    } view(settings_);
    Outbox outbox(settings_, store_, attachments_, view);
    outbox.run();
    ASSERT_TRUE(sink.waitForMessages(1));
    EXPECT_EQ(sink.messages().front().rcpt_tos, Lines{"hidden@example.net"});
    EXPECT_EQ(sink.messages().front().content.find("hidden"), std::string::npos);
    EXPECT_EQ(count(kToSendMailbox), 0);
    EXPECT_EQ(count(kSentMailbox), 1);
}

TEST_F(Compose, SendLaterAndDraftsAreFiledWhereTheyBelong)
{
    auto w = window();
    w->ToEdt()->setPlainText(QStringLiteral("Ann Example <ann@example.net>"));
    w->SubjectEdt()->setText(QStringLiteral("Queued"));
    w->cbPriority()->setCurrentIndex(2);
    w->Memo1()->setPlainText(QStringLiteral("one\n\ttwo\n"));
    w->MailLaterBtnClick();
    ASSERT_EQ(count(kToSendMailbox), 1);
    Lines expected = storedHead({"To: Ann Example <ann@example.net>"}, (stored(kToSendMailbox), store_.Msg_Date),
                                {"Subject: Queued", "X-Priority: 5", "X-MSMail-Priority: Low"});
    expected.push_back("one");
    expected.push_back("\ttwo");
    EXPECT_EQ(withNewMessageId(stored(kToSendMailbox)), expected);
    EXPECT_EQ(store_.Msg_From, "Ann Example <ann@example.net>");
    EXPECT_TRUE(w->handled());

    // A drafts name that matches no mailbox: "Drafts", not the mailbox selected in the store.
    settings_.DraftsMailBox = "Nowhere";
    auto d = window();
    d->ToEdt()->setPlainText(QStringLiteral("bob@example.net"));
    store_.SetCurrentMailBoxNumber(kToSendMailbox);
    d->spdbtnDraftClick();
    EXPECT_EQ(count(kToSendMailbox), 1);
    EXPECT_EQ(count(kDraftsMailbox), 1);
    stored(kDraftsMailbox);
    EXPECT_EQ(store_.Msg_From, "bob@example.net");
    EXPECT_EQ(store_.Msg_Subject, "");
}

TEST_F(Compose, TheSignatureBoxGovernsTheMessageAtHand)
{
    settings_.UseSignature = true;
    writeBytes(dir_.path() + "signatur.def", "-- \r\nSam\r\n");
    auto w = window();
    w->ToEdt()->setPlainText(QStringLiteral("ann@example.net"));
    w->Memo1()->setPlainText(QStringLiteral("body"));
    w->checkSignature()->setChecked(false);
    w->MailLaterBtnClick();
    EXPECT_EQ(stored(kToSendMailbox).back(), "body");
    EXPECT_TRUE(settings_.UseSignature);

    // A missing file switches the option off for the rest of the run.
    std::filesystem::remove(dir_.path() + "signatur.def");
    auto v = window();
    v->ToEdt()->setPlainText(QStringLiteral("ann@example.net"));
    v->Memo1()->setPlainText(QStringLiteral("body two"));
    v->MailLaterBtnClick();
    EXPECT_EQ(stored(kToSendMailbox, 2).back(), "body two");
    EXPECT_FALSE(settings_.UseSignature);
    EXPECT_FALSE(window()->checkSignature()->isChecked());
    ui.yesNo = {true};
}

TEST_F(Compose, TheRandomSignatureIsAlwaysOneWholeBlock)
{
    settings_.PluggInSig = true;
    settings_.PluggInSigFile = dir_.path() + "sigs.txt";
    writeBytes(settings_.PluggInSigFile, "First one\r\nline two\r\n\r\nSecond\r\n\r\nThird a\r\nThird b\r\n");
    const std::vector<Lines> blocks = {{"First one", "line two"}, {"Second"}, {"Third a", "Third b"}};
    for (int i = 1; i <= 24; ++i) {
        auto w = window();
        w->ToEdt()->setPlainText(QStringLiteral("ann@example.net"));
        w->Memo1()->setPlainText(QStringLiteral("body"));
        w->spdbtnDraftClick();
        const Lines text = stored(kDraftsMailbox, i);
        const auto body = std::find(text.begin(), text.end(), std::string("body"));
        ASSERT_NE(body, text.end());
        const Lines tail(body + 1, text.end());
        EXPECT_NE(std::find(blocks.begin(), blocks.end(), tail), blocks.end()) << i;
    }
}

TEST_F(Compose, LastMailPriorityCarriesTheLastPriorityUsed)
{
    settings_.LastMailPriority = true;
    auto w = window();
    w->ToEdt()->setPlainText(QStringLiteral("ann@example.net"));
    w->cbPriority()->setCurrentIndex(0);
    w->MailLaterBtnClick();
    EXPECT_EQ(w->LastMailPriority()->text(), QStringLiteral("0"));
    auto next = window();
    EXPECT_EQ(next->cbPriority()->currentIndex(), 0);
    settings_.LastMailPriority = false;
    EXPECT_EQ(window()->cbPriority()->currentIndex(), 1);
    ui.yesNo = {true, true};
}

TEST_F(Compose, TheAttachmentDialogOpensInTheFolderLastUsed)
{
    mime_ = std::make_unique<TMimeManager>(dir_.path() + "mime.def");
    const std::string folder = dir_.path() + "pictures";
    std::filesystem::create_directory(folder);
    auto first = window();
    auto choose = ModalDriver::on<TAttachmentForm>([&](TAttachmentForm* form) {
        form->setDirectory(folder);
        form->reject();
    });
    first->AttachBtnClick();
    ASSERT_TRUE(choose->handled());
    std::string opened;
    auto next = window();
    auto look = ModalDriver::on<TAttachmentForm>([&](TAttachmentForm* form) {
        opened = form->directory();
        form->reject();
    });
    next->AttachBtnClick();
    ASSERT_TRUE(look->handled());
    EXPECT_EQ(opened, folder);
    ui.yesNo = {true, true};
}

TEST_F(Compose, AddAttTakesSeveralFilesFromTheDesktopsDialogInTheOrderChosen)
{
    mime_ = std::make_unique<TMimeManager>(dir_.path() + "mime.def");
    const std::string docs = dir_.path() + "docs";
    std::filesystem::create_directory(docs);
    writeBytes(docs + "/notes.txt", "notes");
    writeBytes(docs + "/plan.pdf", "%PDF");
    auto first = window();
    ui.fileLists = {Lines{docs + "/plan.pdf", docs + "/notes.txt"}};
    first->link(QStringLiteral("Add Att."))->click();
    const auto& list = first->attachmentList();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Path, docs + "/plan.pdf");
    EXPECT_EQ(list[0].Name, "plan.pdf");
    EXPECT_EQ(list[0].MimeType, "application/pdf");
    EXPECT_EQ(list[1].Name, "notes.txt");
    EXPECT_EQ(list[1].MimeType, "text/plain");
    EXPECT_EQ(list[1].Description, "");
    EXPECT_EQ(first->AttachmentsLB()->item(1)->text(), QStringLiteral("notes.txt"));
    EXPECT_EQ(first->panels()->currentIndex(), 2);

    // The next window starts where these came from; a file already attached is not added twice.
    auto next = window();
    ui.fileLists = {Lines{docs + "/notes.txt", docs + "/notes.txt"}};
    next->link(QStringLiteral("Add Att."))->click();
    EXPECT_EQ(ui.textsOf("open files"), (Lines{pathToBytes(QDir::homePath()), docs}));
    EXPECT_EQ(next->attachmentList().size(), 1u);

    // The attachment dialog stays at hand: Shift+click and the attachment list's menu.
    auto shift = ModalDriver::on<TAttachmentForm>([](TAttachmentForm* form) { form->reject(); });
    QTest::mouseClick(next->link(QStringLiteral("Add Att.")), Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_TRUE(shift->handled());
    // Qt keeps the modifiers of the last input event: let go of Shift for the tests that follow.
    QTest::mouseClick(next->AttachmentsLB()->viewport(), Qt::LeftButton);
    QList<QAction*> menu = next->AttachmentsLB()->actions();
    ASSERT_EQ(menu.size(), 2);
    EXPECT_EQ(menu[1]->text(), QStringLiteral("Message Attachments..."));
    auto fromMenu = ModalDriver::on<TAttachmentForm>([](TAttachmentForm* form) { form->reject(); });
    menu[1]->trigger();
    EXPECT_TRUE(fromMenu->handled());
    EXPECT_EQ(ui.textsOf("open files").size(), 2u);
    ui.yesNo = {true, true};
}

TEST_F(Compose, DroppedFilesAreAttachedWhileDirectoriesLinksAndTextAreNot)
{
    mime_ = std::make_unique<TMimeManager>(dir_.path() + "mime.def");
    const std::string folder = dir_.path() + "folder";
    std::filesystem::create_directory(folder);
    writeBytes(dir_.path() + "b.gif", "GIF89a");
    writeBytes(dir_.path() + "a.txt", "a");
    auto w = window();
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(pathFromBytes(dir_.path() + "b.gif")),
                   QUrl::fromLocalFile(pathFromBytes(folder)), QUrl(QStringLiteral("https://example.org/x.pdf")),
                   QUrl::fromLocalFile(pathFromBytes(dir_.path() + "a.txt"))});
    QWidget* body = w->Memo1()->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(body, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction | Qt::MoveAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(body, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
    ASSERT_EQ(w->attachmentList().size(), 2u);
    EXPECT_EQ(w->attachmentList()[0].Path, dir_.path() + "b.gif");
    EXPECT_EQ(w->attachmentList()[0].MimeType, "image/gif");
    EXPECT_EQ(w->attachmentList()[1].Path, dir_.path() + "a.txt");
    EXPECT_EQ(ui.textsOf("inform"),
              (Lines{"Only files can be attached. Not attached:\r\n" + folder + "\r\nhttps://example.org/x.pdf"}));
    EXPECT_TRUE(w->Memo1()->toPlainText().isEmpty());

    // Text dropped into the body is text.
    QMimeData text;
    text.setText(QStringLiteral("dropped words"));
    QDragEnterEvent over(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(body, &over);
    EXPECT_TRUE(over.isAccepted());
    QDropEvent words(QPointF(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(body, &words);
    EXPECT_EQ(w->Memo1()->toPlainText(), QStringLiteral("dropped words"));
    EXPECT_EQ(w->attachmentList().size(), 2u);
    ui.yesNo = {true};
}

// Every character typed goes out and into the stored copy, with no question about it; the draft
// reopens with the same text.
TEST_F(Compose, CharactersBeyondLatin1AreSentFiledAndReopenedAsTyped)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.start()) << sink.error();
    settings_.SmtpPort = sink.port();
    settings_.Name = "\xCE\x95\xCE\xBB\xCE\xAD\xCE\xBD\xCE\xB7 \xF0\x9F\x98\x80";
    const QString to = QStringLiteral("\u0411\u043e\u0440\u0438\u0441 <boris@example.net>\n\u674e\u5c0f\u9f8d <li@example.cn>");
    const QString subject = QStringLiteral("Gr\u00fc\u00dfe \u20ac\u03a9\U0001F600 \u2014 \u65e5\u672c\u8a9e");
    const QString body = QStringLiteral("Gr\u00fc\u00dfe \u20ac\u03a9\U0001F600\n\u041f\u0440\u0438\u0432\u0435\u0442, \u4e16\u754c");
    auto fill = [&](TNewMessageForm& w) {
        w.ToEdt()->setPlainText(to);
        w.SubjectEdt()->setText(subject);
        w.Memo1()->setPlainText(body);
    };
    auto w = window();
    fill(*w);
    w->MailNowBtnClick();
    ASSERT_TRUE(sink.waitForMessages(1));
    pythonCheck(sink.messages().front().content, R"({
        "addresses": {"From": [["\u0395\u03bb\u03ad\u03bd\u03b7 \ud83d\ude00", "sam@example.org"]],
                      "To": [["\u0411\u043e\u0440\u0438\u0441", "boris@example.net"], ["\u674e\u5c0f\u9f8d", "li@example.cn"]]},
        "headers": {"Subject": ["Gr\u00fc\u00dfe \u20ac\u03a9\ud83d\ude00 \u2014 \u65e5\u672c\u8a9e"]},
        "text": {"params": {"charset": "UTF-8"},
                 "content": "Gr\u00fc\u00dfe \u20ac\u03a9\ud83d\ude00\r\n\u041f\u0440\u0438\u0432\u0435\u0442, \u4e16\u754c\r\n\r\n"}})");
    EXPECT_TRUE(ui.textsOf("question").empty());
    const Lines sent = stored(kSentMailbox);
    EXPECT_EQ(Lines(sent.end() - 2, sent.end()), (Lines{"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\xCE\xA9\xF0\x9F\x98\x80",
                                                        "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xE4\xB8\x96\xE7\x95\x8C"}));
    EXPECT_EQ(store_.Msg_From, "\xD0\x91\xD0\xBE\xD1\x80\xD0\xB8\xD1\x81 <boris@example.net>");

    auto d = window();
    fill(*d);
    d->spdbtnDraftClick();
    const Lines draft = stored(kDraftsMailbox);
    DraftOrigin origin;
    origin.mailbox = kDraftsMailbox;
    origin.message = 1;
    auto reopened = window();
    reopened->reopenDraft(reopenedDraft(draft, {}), origin);
    EXPECT_EQ(reopened->ToEdt()->toPlainText(), to);
    EXPECT_EQ(reopened->SubjectEdt()->text(), subject);
    EXPECT_EQ(reopened->Memo1()->toPlainText(), body);
    EXPECT_TRUE(ui.textsOf("question").empty());
    ui.yesNo = {true};
}

// "Crypt" leaves cipher text, which is bytes and no UTF-8: the body gives them back exactly, and
// Crypt again gives back what was typed.
TEST_F(Compose, CipherTextInTheBodyKeepsItsBytes)
{
    const QString typed = QStringLiteral("Gr\u00fc\u00dfe \u20ac\u03a9\U0001F600");
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\xCE\xA9\xF0\x9F\x98\x80";
    std::string password;
    for (int i = 0; password.empty(); ++i) {
        const std::string p = "pw" + std::to_string(i);
        const std::string cipher = EncipherLine(utf8, p);
        // A cipher text with a no-break space, which the field itself would turn into a blank.
        if (cipherLineRisk(utf8, p) == CipherLineRisk::None && !isValidUtf8(cipher) &&
            cipher.find('\xA0') != std::string::npos)
            password = p;
    }
    auto w = window();
    w->checkEncrypt()->setChecked(true);
    w->editEncryptPwd()->setText(QString::fromStdString(password));
    w->Memo1()->setPlainText(typed + QStringLiteral("\n\n") + typed);
    w->btnCrypt()->click();
    EXPECT_EQ(w->composedMessage().Body,
              (Lines{EncipherLine(utf8, password), "", EncipherLine(utf8, password)}));
    w->btnCrypt()->click();
    EXPECT_EQ(w->Memo1()->toPlainText(), typed + QStringLiteral("\n\n") + typed);
    EXPECT_EQ(w->composedMessage().Body, (Lines{utf8, "", utf8}));
    ui.yesNo = {true};
}

TEST_F(Compose, AddressBookEntriesComeBackIntoTheirFields)
{
    auto w = window();
    w->ToEdt()->setPlainText(QStringLiteral("Ann <ann@x.net>"));
    w->BccEdt()->setPlainText(QStringLiteral("hid@x.net"));
    std::vector<std::string> offered;
    auto driver = ModalDriver::on<TMyAddressForm>([&offered](TMyAddressForm* book) {
        offered = book->sendList();
        book->button(QStringLiteral("OK"))->click();
    });
    w->AddBookBtnClick();
    ASSERT_TRUE(driver->handled());
    EXPECT_EQ(offered, (Lines{"To: Ann <ann@x.net>", "Bcc: hid@x.net"}));
    EXPECT_EQ(w->ToEdt()->toPlainText(), QStringLiteral("Ann <ann@x.net>"));
    EXPECT_EQ(w->ccEdt()->toPlainText(), QString());
    EXPECT_EQ(w->BccEdt()->toPlainText(), QStringLiteral("hid@x.net"));
    ui.yesNo = {true};
}

TEST_F(Compose, AttachmentsAreListedAndRegisteredWithTheFiledCopy)
{
    writeBytes(dir_.path() + "report.pdf", std::string(1234, 'x'));
    writeBytes(dir_.path() + "notes.txt", "notes\r\n");
    auto w = window();
    TOutgoingAttachment a, b;
    a.Path = dir_.path() + "report.pdf";
    a.Name = "report.pdf";
    a.MimeType = "application/pdf";
    a.Description = "the report";
    b.Path = dir_.path() + "notes.txt";
    b.Name = "notes.txt";
    b.MimeType = "TEXT/plain";
    w->setAttachmentList({a, b});
    ASSERT_EQ(w->AttachmentsLB()->count(), 2);
    EXPECT_EQ(w->AttachmentsLB()->item(0)->text(), QStringLiteral("report.pdf (the report)"));
    EXPECT_EQ(w->AttachmentsLB()->item(1)->text(), QStringLiteral("notes.txt"));
    EXPECT_FALSE(w->AttachmentsLB()->item(1)->icon().isNull());
    EXPECT_EQ(w->AttachmentsLB()->currentRow(), 0);
    w->ToEdt()->setPlainText(QStringLiteral("ann@example.net"));
    w->MailLaterBtnClick();
    stored(kToSendMailbox);
    EXPECT_EQ(store_.Msg_AttachStart, 1);
    EXPECT_EQ(store_.Msg_AttachEnd, 2);
    const TMIMEAttachment r = attachments_.GetAttachment(1);
    EXPECT_EQ(r.FileName, "report.pdf");
    EXPECT_EQ(r.Location, a.Path);
    EXPECT_EQ(r.Size, 1234);
    EXPECT_EQ(r.Description, "the report");
    EXPECT_EQ(r.Disposition, "attachment");
}

} // namespace

namespace {

class ComposeFromTheMainWindow : public UiTest {};

TEST_F(ComposeFromTheMainWindow, NewReplyAndTheMimeSetupOpenTheirWindows)
{
    TMainForm window;
    window.setWorkflowCommands(std::make_unique<MailWorkflows>());
    ASSERT_TRUE(startAndLogIn(window));
    appendMessage(window.Mailbox(), 1, "Hello there");
    window.OpenMailboxWindow(1);
    TMailboxForm* inbox = window.mailboxWindow(1);
    ASSERT_NE(inbox, nullptr);
    inbox->ViewMessage(1);
    window.resize(1280, 900);
    QCoreApplication::processEvents();

    window.commandAction("NewBtnClick")->trigger();
    MailChildWindow* child = window.activeChild();
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->childKind(), MailChildWindow::Kind::Composition);
    EXPECT_EQ(window.mdiArea()->currentSubWindow()->widget()->windowTitle(), QStringLiteral("New Message"));
    // Beside the open mailbox window, yet wholly in sight.
    EXPECT_TRUE(window.mdiArea()->viewport()->rect().contains(window.mdiArea()->currentSubWindow()->geometry()));

    // Reply acts on the mailbox window made active again.
    window.mdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(inbox->parentWidget()));
    window.commandAction("ReplyBtnClick")->trigger();
    auto* reply = qobject_cast<TNewMessageForm*>(window.mdiArea()->currentSubWindow()->widget());
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->SubjectEdt()->text(), QStringLiteral("Re: Hello there"));
    EXPECT_EQ(window.mdiArea()->currentSubWindow()->windowTitle(), QStringLiteral("Re: Hello there"));

    auto driver = ModalDriver::on<TMimeEditor>([](TMimeEditor* editor) { editor->reject(); });
    window.commandAction("MIMESetup1Click")->trigger();
    EXPECT_TRUE(driver->handled());

    // Leaving asks each unsent message's question.
    ui.yesNo = {true, true};
    window.close();
    EXPECT_TRUE(waitFor([&] { return window.state() == TMainForm::State::ShutDown; }));
    EXPECT_EQ(ui.textsOf("question").size(), 2u);
}

} // namespace

namespace {

TEST_F(ComposeFromTheMainWindow, CopiesForOutsideViewersGoWhenTheProfileCloses)
{
    TMainForm window;
    ASSERT_TRUE(startAndLogIn(window));
    TAttachmentManager& store = window.attachments();
    TMIMEAttachment a;
    a.FileName = "minutes.pdf";
    a.ContentType = "application/pdf";
    a.Size = 64;
    const std::int32_t n = store.RegisterAttachment(a);
    writeFileAtomically(store.AttachmentDirectory() + "a" + std::to_string(n), std::string(64, 'x'));
    const std::string copy = store.AttachmentTempFile(n, "pdf");
    ASSERT_TRUE(fileExists(copy));
    window.close();
    ASSERT_TRUE(waitFor([&] { return window.state() == TMainForm::State::ShutDown; }));
    EXPECT_FALSE(fileExists(copy));
}

} // namespace
