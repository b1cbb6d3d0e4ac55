#include "app/mail_workflows.h"

#include <QApplication>
#include <QEventLoop>
#include <QStatusBar>

#include "addressbook/address_book_window.h"
#include "app/main_window.h"
#include "app/options_dialog.h"
#include "pop3/get_mail_dialog.h"
#include "smtp/new_message_window.h"
#include "smtp/outbox.h"
#include "smtp/send_mail_dialog.h"
#include "view/mime_editor_dialog.h"
#include "window_common/print_progress_dialog.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

// The outbox's face in the program: one send dialog for the whole run, its messages on one
// connection.
class DialogOutboxView : public OutboxView {
public:
    DialogOutboxView(TMainForm& window, TSendMailForm*& current) : window_(window), current_(current) {}
    ~DialogOutboxView() override { endRun(); }

    SendOutcome sendMessage(const OutgoingMessage& message, int) override
    {
        // Asked for only when a message is about to go; no answer stops the run, all left queued.
        if (!window_.settings().SmtpUser.empty() && !window_.knowServerPassword(PasswordService::Smtp))
            return {false, 0};
        const bool first = !dialog_;
        if (first) {
            dialog_ = std::make_unique<TSendMailForm>(window_.settings(), window_.ProfileDirectory(), &window_);
            dialog_->beginRun();
            fillSendMail(dialog_->SendMail1(), message);
            current_ = dialog_.get();
        } else if (dialog_->closed()) {
            return {false, 0};
        }
        QEventLoop loop;
        bool ended = false;
        QObject::connect(dialog_.get(), &TSendMailForm::sendFinished, &loop, [&] {
            ended = true;
            loop.quit();
        });
        QObject::connect(dialog_.get(), &QDialog::finished, &loop, [&] {
            ended = true;
            loop.quit();
        });
        if (first) {
            dialog_->setWindowModality(Qt::ApplicationModal);
            dialog_->show(); // the first send begins as it is shown
        } else {
            dialog_->sendNext(message);
        }
        if (!ended)
            loop.exec();
        QObject::disconnect(dialog_.get(), nullptr, &loop, nullptr);
        return outcomeOf(dialog_->session());
    }
    void showFileError(const std::string& text) override { userInteraction().error("Tavik mail", text); }
    void showMessageLeft(const std::string& text) override { userInteraction().error("Tavik mail", text); }

    // Quits the connection; the dialog closes, or waits for "Stop" while its log is shown.
    void endRun()
    {
        if (!dialog_)
            return;
        dialog_->endRun();
        if (!dialog_->closed())
            dialog_->exec();
        current_ = nullptr;
        dialog_.reset();
    }

private:
    TMainForm& window_;
    TSendMailForm*& current_;
    std::unique_ptr<TSendMailForm> dialog_;
};

// The composition windows' view of the main window's profile.
class MainWindowComposeHost : public ComposeHost {
public:
    explicit MainWindowComposeHost(TMainForm& window) : window_(window) {}
    ProfileSettings& settings() override { return window_.settings(); }
    const std::string& ProfileDirectory() const override { return window_.ProfileDirectory(); }
    TNMailBox& Mailbox() override { return window_.Mailbox(); }
    TAttachmentManager& attachments() override { return window_.attachments(); }
    const MailboxList& mailboxList() override { return window_.mailboxList(); }
    TMimeManager* mimeManager() override { return window_.mimeManager(); }

private:
    TMainForm& window_;
};

} // namespace

MailWorkflows::MailWorkflows() = default;
MailWorkflows::~MailWorkflows() = default;

TNewMessageForm* MailWorkflows::compose(TMainForm& window)
{
    if (window.state() != TMainForm::State::ProfileOpen)
        return nullptr;
    if (!composeHost_)
        composeHost_ = std::make_unique<MainWindowComposeHost>(window);
    TNewMessageForm* form = openCompositionWindow(window.mdiArea(), *composeHost_);
    window.refreshCommandState();
    return form;
}

void MailWorkflows::mimeSetup(TMainForm& window)
{
    if (TMimeManager* mime = window.mimeManager())
        runMimeEditor(&window, *mime);
}

void MailWorkflows::checkMail(TMainForm& window, CheckStart start)
{
    // Never two sessions on one profile at once; Send/Check calls in after its outbox ended.
    if (sessionRunning())
        return;
    if (!window.knowServerPassword(PasswordService::Pop3, start == CheckStart::Timer)) {
        window.protocolSessionEnded();
        return;
    }
    bool received = false;
    int filed = 0;
    std::vector<std::string> subjects;
    std::string refusal;
    std::string failure;
    std::string failureDetail;
    {
        TGetMailForm dialog(window.settings(), window.ProfileDirectory(), window.Mailbox(), window.attachments(),
                            &window);
        // Nobody sits at the timer's check to judge a certificate or close an error box.
        dialog.setUnattended(start == CheckStart::Timer);
        checkDialog_ = &dialog;
        dialog.exec();
        checkDialog_ = nullptr;
        received = dialog.check().Received();
        filed = dialog.check().Filed();
        subjects = dialog.check().FirstSubjects();
        refusal = dialog.certificateRefusal();
        failure = dialog.unattendedError();
        failureDetail = dialog.unattendedErrorDetail();
    }
    if (!refusal.empty())
        window.announceCheckFailure(refusal, refusal);
    else if (!failure.empty())
        window.announceCheckFailure(failure, failureDetail);
    window.protocolSessionEnded();
    if (window.state() != TMainForm::State::ProfileOpen)
        return; // the program is shutting down
    if (received) {
        window.OpenMailboxWindow(1);
        QApplication::beep();
        window.announceNewMail(filed, subjects);
        if (window.settings().AutoCheckMail) {
            // The messages filed, not what the server announced: skipped ones are not new. The
            // notice waits to be read without holding the timer's next check; a newer one
            // takes its place.
            delete newMailNotice_.data();
            newMailNotice_ = new TNewMailMsgForm(filed, &window);
            newMailNotice_->setAttribute(Qt::WA_DeleteOnClose);
            newMailNotice_->show();
            newMailNotice_->raise();
        }
    } else if (start == CheckStart::Command) {
        QApplication::beep();
    }
}

bool MailWorkflows::runOutbox(TMainForm& window)
{
    // A check or another run is on: never two sessions on one profile at once.
    if (sessionRunning() || window.state() != TMainForm::State::ProfileOpen)
        return false;
    cancelled_ = false;
    DialogOutboxView view(window, sendDialog_);
    Outbox outbox(window.settings(), window.Mailbox(), window.attachments(), view);
    outbox_ = &outbox;
    outbox.run();
    view.endRun();
    outbox_ = nullptr;
    return true;
}

void MailWorkflows::sendQueued(TMainForm& window)
{
    if (runOutbox(window))
        window.protocolSessionEnded();
}

void MailWorkflows::checkAndSend(TMainForm& window)
{
    if (!runOutbox(window))
        return;
    if (cancelled_ || window.state() != TMainForm::State::ProfileOpen) {
        window.protocolSessionEnded();
        return;
    }
    checkMail(window, CheckStart::Command);
}

void MailWorkflows::options(TMainForm& window)
{
    runOptionsDialog(&window, window.settings(), window.ProfileDirectory(), window.mailboxList(),
                     [&window] { window.MIMESetup1Click(); }, window.passwordKeeper());
}

void MailWorkflows::addressBook(TMainForm& window)
{
    std::vector<std::string> sendList;
    runAddressBook(&window, window.ProfileDirectory(), sendList);
}

void MailWorkflows::printSetup(TMainForm& window)
{
    runPrintSetup(&window);
}

void MailWorkflows::cancelSession()
{
    if (checkDialog_)
        checkDialog_->StopBtnClick();
    if (outbox_) {
        cancelled_ = true;
        outbox_->stop();
        if (sendDialog_)
            sendDialog_->CloseBtnClick();
    }
}

} // namespace tavik
