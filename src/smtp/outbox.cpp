#include "smtp/outbox.h"

#include <QEventLoop>
#include <QTimer>

#include <cstdlib>
#include <ctime>
#include <exception>

#include "pop3/attachment_store.h"
#include "smtp/stored_copy.h"
#include "store/folder_tree.h"
#include "store/mailbox_store.h"

namespace tavik {

namespace {

// A number the session reports (sizes and byte counts of our own writer); 0 when it is none.
long long reportedNumber(const std::string& text)
{
    if (text.empty() || text.size() > 18)
        return 0;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        v = v * 10 + (c - '0');
    }
    return v;
}

} // namespace

bool sendMailErrorBox(int code, const std::string& addinfo, std::string& title, std::string& text)
{
    if (code == Error_RecipientsRefused) {
        title = "Recipients Refused Error";
        text = "The mail server refused every recipient of the message; it was not sent.";
    } else if (!sendMailErrorBox(code, title, text)) {
        return false;
    }
    if (code == Error_Timeout && addinfo == kTextNoGreeting)
        text += std::string("\r\n") + kTextNoGreetingHint;
    // Only these codes carry a cause of their own: the others' texts are the socket layer's.
    if (code != Error_UnexpectedResponse && code != Error_Internal && code != Error_RecipientsRefused &&
        code != Error_StartTlsUnavailable && code != Error_AuthenticationFailed &&
        code != Error_AuthenticationUnavailable)
        return true;
    // The cause is what the error's text says beyond the code's own words.
    const std::string own = sendMailErrorText(static_cast<SendMailError>(code));
    std::string cause = addinfo.rfind(own, 0) == 0 ? addinfo.substr(own.size()) : addinfo;
    while (!cause.empty() && (cause[0] == ':' || cause[0] == ' ' || cause[0] == '\r' || cause[0] == '\n'))
        cause.erase(0, 1);
    if (cause.empty())
        return true;
    if (code == Error_UnexpectedResponse || code == Error_StartTlsUnavailable || code == Error_AuthenticationFailed)
        text += "\r\nThe server answered: " + cause;
    else
        text += "\r\n" + cause;
    return true;
}

std::string refusalLines(const std::vector<RecipientRefusal>& refusals)
{
    std::string lines;
    for (const RecipientRefusal& r : refusals) {
        lines += (lines.empty() ? "" : "\r\n") + r.address;
        lines += r.temporary() ? " (temporary): " : ": ";
        lines += r.reply;
    }
    return lines;
}

std::string refusedRecipientsText(const std::vector<RecipientRefusal>& refusals)
{
    return "The message was sent, but not to these recipients, which the mail server refused:\r\n" +
           refusalLines(refusals);
}

std::string messageLeftText(const std::string& subject, const std::string& problem)
{
    return "The message \"" + subject + "\" stays in \"To Send\": " + problem;
}

bool sendMailErrorBox(int code, std::string& title, std::string& text)
{
    switch (code) {
    case 1:
        title = "Winsock Error";
        text = "The winsock interface could not be initialized. Make sure that winsock is installed on your system.";
        return true;
    case 2:
    case 10:
    case 11:
    case 19:
        title = "Network Down Error";
        text = "The network is down. Make sure that you have established a connection to the network.";
        return true;
    case 3:
    case 16:
        title = "Name Resolution Error";
        text = "VoskMail could not find your SMTP mail server. Check that you are connected to your service "
               "provider and that your setup information is correct.";
        return true;
    case 4:
    case 5:
    case 15:
        title = "Unexpected Error";
        text = "An unexpected error occured";
        return true;
    case 8:
        title = "Connect Timeout Error";
        text = "The connection attempt to the server timed out.";
        return true;
    case 9:
        title = "Out of Sockets Error";
        text = "The winsock is out of sockets. Close a winsock application before trying again.";
        return true;
    case 12:
        title = "Connection Rejected Error";
        text = "The mail server refused the connection. Make sure that you have entered the correct value in setup "
               "for your SMTP server.";
        return true;
    case 13:
        title = "Unexpected Response Error";
        text = "An unexpected response was received from the mail server. Make sure that you have entered the "
               "correct value in setup for your SMTP port.";
        return true;
    case 14:
        title = "Transaction Canceled";
        text = "The sending of mail was canceled.";
        return true;
    case 18:
        title = "No Recipients Error";
        text = "No recipients were specified for the message.";
        return true;
    case Error_StartTlsUnavailable:
        title = "Secure Connection Error";
        text = "The SMTP server does not offer a secure connection by STARTTLS, so nothing was sent. Choose SSL/TLS "
               "or no security for the SMTP server in the options.";
        return true;
    case Error_AuthenticationFailed:
        title = "Sign-in Error";
        text = "The SMTP server refused the user name or password, so nothing was sent. Check the SMTP user and "
               "password in the options.";
        return true;
    case Error_AuthenticationUnavailable:
        title = "Sign-in Error";
        text = "The SMTP server offers no sign-in that Tavik mail knows over this connection, so neither the "
               "password nor the message was sent. Check the SMTP server, its port and security in the options, "
               "or leave the SMTP user empty if the server needs no sign-in.";
        return true;
    case kErrorTlsUnavailable:
        title = "Secure Connection Error";
        text = "No TLS library could be loaded, so no secure connection can be made. Install OpenSSL, or choose no "
               "security for the SMTP server in the options.";
        return true;
    case kErrorTlsHandshake:
        title = "Secure Connection Error";
        text = "The secure connection to the SMTP server could not be set up: the server and Tavik mail share no TLS "
               "version (1.2 or later) or cipher, or the server broke off. Nothing was sent.";
        return true;
    case kErrorTlsNotTlsPort:
        title = "Secure Connection Error";
        text = "The SMTP server answered in plain text, not TLS. Check the port and the security of the SMTP server "
               "in the options: the port may expect STARTTLS or no security.";
        return true;
    case kErrorTlsUntrusted:
        title = "Certificate Error";
        text = "The SMTP server's certificate is not trusted, so nothing was sent. Check the SMTP server's name in the "
               "options; if the server's certificate comes from an authority of your own, name its file as CA file.";
        return true;
    case kErrorTlsInjected:
        title = "Secure Connection Error";
        text = "Plain text arrived from the SMTP server before the secure connection began, which may be an attack. "
               "The connection was closed and nothing was sent.";
        return true;
    case kErrorTlsChanged:
        title = "Certificate Error";
        text = "The SMTP server shows a different certificate from the one accepted before, so nothing was sent. "
               "Someone may be intercepting the connection; ask the server's administrator before trying again.";
        return true;
    case kErrorTlsBroken:
        title = "Secure Connection Error";
        text = "The secure connection to the SMTP server broke: the server sent data that is not valid TLS.";
        return true;
    default:
        return false;
    }
}

// ---- SendSession ------------------------------------------------------------------------

namespace {

CertificatePins pinsOf(std::string profileDirectory)
{
    if (!profileDirectory.empty() && profileDirectory.back() != '/')
        profileDirectory += '/';
    return CertificatePins(std::move(profileDirectory));
}

} // namespace

SendSession::SendSession(ProfileSettings settings, SendMailView& view, QObject* parent)
    : QObject(parent)
    , settings_(std::move(settings))
    , view_(view)
    , mail_(std::make_unique<SendMail>())
{
    SendMail& m = *mail_;
    m.SMTP_Port = 25;
    m.KeepConnectionOpen = false;
    m.OnMailInfo = [this](int info, const std::string& addinfo) { onInfo(info, addinfo); };
    m.OnMailError = [this](int code, const std::string& addinfo) { onError(code, addinfo); };
    m.OnDone = [this] { onDone(); };
}

SendSession::~SendSession()
{
    // The owner may go while the send still runs (Stop, the program closing): it ends without
    // reporting to a view that may be gone.
    mail_->OnMailInfo = nullptr;
    mail_->OnMailError = nullptr;
    mail_->OnDone = nullptr;
    if (mail_->Busy())
        mail_->SetAction(TMailAction::Cancel_SendMail);
}

void SendSession::open()
{
    if (opened_)
        return;
    opened_ = true;
    recipients_ = {mail_->TO_Name, mail_->TO_Address, mail_->ListTo, mail_->Listcc, mail_->ListBcc};
    if (!mail_->Connected())
        view_.showStatus(kSendStatusConnectingTo + settings_.SmtpServer);
    QTimer::singleShot(0, this, [this] { start(); });
}

void SendSession::start()
{
    if (started_ || ended_)
        return;
    started_ = true;
    SendMail& m = *mail_;
    m.KeepConnectionOpen = KeepConnection;
    // The lookup and the connect re-arm the countdown with their own time-outs: given the
    // profile's, the time-out bounds them instead of being stopped by them.
    const int timeOut = settings_.TimeOut > 0 ? settings_.TimeOut : 0;
    m.ArmCountdown(timeOut);
    m.TimeoutArp = timeOut;
    m.TimeoutConnect = timeOut;
    m.TimeoutIdle = timeOut;
    m.SetSMTP_Server(settings_.SmtpServer);
    m.SMTP_Port = static_cast<quint16>(settings_.SmtpPort > 0 && settings_.SmtpPort <= 65535 ? settings_.SmtpPort : 25);
    m.SMTP_Security = connectionSecurity(settings_.SmtpSecurity);
    m.CaFile = settings_.CaFile;
    m.PinnedFingerprint = pinnedFingerprint();
    m.SMTP_User = settings_.SmtpUser;
    m.SMTP_Password = settings_.SmtpPassword;
    m.SetAction(TMailAction::Send_Mail);
}

std::string SendSession::pinnedFingerprint() const
{
    // A certificate accepted during this send counts whether or not it was pinned.
    if (!acceptedFingerprint_.empty() || ProfileDirectory.empty())
        return acceptedFingerprint_;
    try {
        return pinsOf(ProfileDirectory).find(pinServerName(settings_.SmtpServer, mail_->SMTP_Port)).value_or("");
    } catch (const std::exception&) {
        // An unreadable pin file pins nothing: the certificate must then verify on its own.
        return {};
    }
}

void SendSession::stop()
{
    if (ended_)
        return;
    // Between two sessions (a certificate being judged) no session is there to cancel.
    stopRequested_ = true;
    if (!started_) {
        // Stopped before it began: nothing was connected, and nothing will be.
        started_ = true;
        ended_ = true;
        view_.finished(false);
        return;
    }
    mail_->SetAction(TMailAction::Cancel_SendMail);
}

void SendSession::sendNext(const OutgoingMessage& message)
{
    if (opened_ && !ended_)
        return;
    fillSendMail(*mail_, message);
    // A certificate accepted for the run stays accepted; each message is judged afresh otherwise.
    opened_ = started_ = ended_ = stopRequested_ = false;
    certificateRefused_ = certificateJudged_ = false;
    reportedError_ = 0;
    open();
}

void SendSession::closeConnection()
{
    SendMail& m = *mail_;
    auto quietDone = std::move(m.OnDone);
    QEventLoop loop;
    m.OnDone = [&loop] { loop.quit(); };
    if (m.QuitKeptConnection()) {
        // Bounded even when no time-out is set: a goodbye is not worth waiting long for.
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    m.OnDone = std::move(quietDone);
    m.Disconnect();
}

void SendSession::onInfo(int info, const std::string& addinfo)
{
    switch (info) {
    case Info_Connected:
        // After STARTTLS the state is told again with the first recipient.
        if (mail_->Encrypted() || mail_->SMTP_Security != ConnectionSecurity::StartTls)
            view_.showSecurity(encryptionStateText(*mail_));
        view_.showStatus(kSendStatusConnectedTo + addinfo);
        break;
    case Info_Resolved:
        view_.showStatus(kSendStatusConnectedTo + addinfo);
        break;
    case Info_Disconnected:
        view_.showStatus(kSendStatusDisconnected);
        break;
    case Info_MailSent:
        view_.showStatus(kSendStatusMessageSent);
        break;
    case Info_Attachment:
        view_.showStatus(kSendStatusSendingAttachment + addinfo);
        break;
    case Info_AttachmentSize:
        view_.showProgressMaximum(reportedNumber(addinfo), true);
        break;
    case Info_AttachmentProgress:
        view_.showProgressPosition(reportedNumber(addinfo));
        break;
    case Info_RecipientRejected:
        view_.showStatus(kSendStatusRecipient + addinfo + kSendStatusRejected);
        break;
    case Info_Recipient:
        view_.showSecurity(encryptionStateText(*mail_));
        view_.showStatus(kSendStatusTo + addinfo);
        break;
    case Info_BodySize:
        view_.showProgressMaximum(reportedNumber(addinfo), false);
        break;
    case Info_BodyProgress:
        view_.showStatus(kSendStatusSendingMessage);
        view_.showProgressPosition(reportedNumber(addinfo));
        break;
    case Info_Resolving:
        view_.showStatus(kSendStatusResolving + addinfo);
        break;
    default:
        break;
    }
}

void SendSession::onError(int code, const std::string& addinfo)
{
    reportedError_ = code;
    if ((code == kErrorTlsUntrusted || code == kErrorTlsChanged) && !certificateJudged_ &&
        !mail_->RefusedCertificate().empty()) {
        // The user may accept it: asked once the session has ended, the box only if not.
        certificateRefused_ = true;
        refusalCode_ = code;
        refusalText_ = addinfo;
        return;
    }
    std::string title, text;
    if (code == Error_RecipientsRefused)
        // The session's text lists the refusals; the box words them as the partial case does.
        sendMailErrorBox(code, refusalLines(mail_->RefusedRecipients), title, text);
    else if (!sendMailErrorBox(code, addinfo, title, text))
        return;
    // Why the certificate failed tells the user whether to fix the name, the CA file or the server.
    if (code == kErrorTlsUntrusted)
        for (const std::string& problem : mail_->RefusedCertificate().problems)
            text += "\r\n" + problem;
    view_.showError(code, title, text);
}

void SendSession::onDone()
{
    if (ended_)
        return;
    if (certificateRefused_) {
        // Asked from the event loop, never from inside the session's own report.
        QTimer::singleShot(0, this, [this] { judgeCertificate(); });
        return;
    }
    end();
}

void SendSession::judgeCertificate()
{
    certificateRefused_ = false;
    certificateJudged_ = true;
    const PeerCertificateInfo certificate = mail_->RefusedCertificate();
    const CertificateChoice choice =
        stopRequested_ ? CertificateChoice::Cancel : view_.judgeCertificate(certificate);
    if (choice == CertificateChoice::NotAsked)
        onError(refusalCode_, refusalText_);
    // A pin that cannot be written leaves the certificate accepted for this send; the next asks again.
    if (!acceptJudgedCertificate(choice, ProfileDirectory, pinServerName(settings_.SmtpServer, mail_->SMTP_Port),
                                 certificate.fingerprint,
                                 [this](const std::string& e) { view_.showError(0, "Tavik mail", e); })) {
        end();
        return;
    }
    acceptedFingerprint_ = certificate.fingerprint;
    SendMail& m = *mail_;
    m.TO_Name = recipients_.toName;
    m.TO_Address = recipients_.toAddress;
    m.ListTo = recipients_.to;
    m.Listcc = recipients_.cc;
    m.ListBcc = recipients_.bcc;
    view_.showSecurity(std::string());
    view_.showStatus(kSendStatusConnectingTo + settings_.SmtpServer);
    started_ = false; // stop() before the new start ends the send without connecting
    QTimer::singleShot(0, this, [this] { start(); });
}

void SendSession::end()
{
    ended_ = true;
    if (mail_->QuitSent && !mail_->RefusedRecipients.empty())
        view_.showRefusedRecipients(kRefusedRecipientsTitle, refusedRecipientsText(mail_->RefusedRecipients));
    view_.finished(mail_->QuitSent);
}

SendOutcome outcomeOf(const SendSession& session)
{
    if (session.Accepted())
        return {true, 0};
    return {false, session.Mail().ErrorCode != 0 ? session.Mail().ErrorCode : session.ReportedError()};
}

void fillSendMail(SendMail& mail, const OutgoingMessage& message)
{
    static_cast<OutgoingMessage&>(mail) = message;
}

namespace {

// Forwards every report and ends the local loop of the send under way.
class ForwardingView : public SendMailView {
public:
    explicit ForwardingView(SendMailView& to) : to_(to) {}
    void showStatus(const std::string& text) override { to_.showStatus(text); }
    void showSecurity(const std::string& text) override { to_.showSecurity(text); }
    void showProgressMaximum(long long maximum, bool reset) override { to_.showProgressMaximum(maximum, reset); }
    void showProgressPosition(long long position) override { to_.showProgressPosition(position); }
    void showError(int code, const std::string& title, const std::string& text) override
    {
        to_.showError(code, title, text);
    }
    void showRefusedRecipients(const std::string& title, const std::string& text) override
    {
        to_.showRefusedRecipients(title, text);
    }
    void finished(bool accepted) override
    {
        done = true;
        to_.finished(accepted);
        if (loop)
            loop->quit();
    }
    CertificateChoice judgeCertificate(const PeerCertificateInfo& certificate) override
    {
        return to_.judgeCertificate(certificate);
    }
    bool done = false;
    QEventLoop* loop = nullptr;

private:
    SendMailView& to_;
};

} // namespace

SendOutcome runSendSession(const ProfileSettings& settings, const OutgoingMessage& message, SendMailView& view,
                           const std::string& profileDirectory)
{
    QEventLoop loop;
    ForwardingView forward(view);
    forward.loop = &loop;
    SendSession session(settings, forward);
    session.ProfileDirectory = profileDirectory;
    fillSendMail(session.Mail(), message);
    session.open();
    if (!forward.done)
        loop.exec();
    return outcomeOf(session);
}

class KeptSendRun::Forward : public ForwardingView {
public:
    using ForwardingView::ForwardingView;
};

KeptSendRun::KeptSendRun(const ProfileSettings& settings, SendMailView& view, const std::string& profileDirectory)
    : forward_(std::make_unique<Forward>(view)), session_(std::make_unique<SendSession>(settings, *forward_))
{
    session_->ProfileDirectory = profileDirectory;
    session_->KeepConnection = true;
}

KeptSendRun::~KeptSendRun()
{
    session_->closeConnection();
}

SendOutcome KeptSendRun::send(const OutgoingMessage& message)
{
    QEventLoop loop;
    forward_->loop = &loop;
    forward_->done = false;
    if (!session_->Mail().Connected())
        ++connections_;
    if (first_) {
        first_ = false;
        fillSendMail(session_->Mail(), message);
        session_->open();
    } else {
        session_->sendNext(message);
    }
    if (!forward_->done)
        loop.exec();
    forward_->loop = nullptr;
    return outcomeOf(*session_);
}

// ---- Outbox ---------------------------------------------------------------------------------

namespace {

// What tells the first message of "To Send" from any other one: its index fields.
struct QueuedIdentity {
    int size = 0;
    int attachStart = 0, attachEnd = 0;
    std::string from, subject, date;
    bool operator==(const QueuedIdentity&) const = default;
};

QueuedIdentity identityOf(const TNMailBox& store)
{
    return {store.Msg_Size(), store.Msg_AttachStart, store.Msg_AttachEnd, store.Msg_From, store.Msg_Subject,
            store.Msg_Date};
}

// Files the current message of "To Send", which was sent, in mailbox `target` (key `targetKey`),
// marked read; with `amended`, under that text instead of its stored one.
void fileSentMessage(TNMailBox& store, const std::string& targetKey, int target, const QueuedIdentity& queued,
                     const std::vector<std::string>* amended)
{
    // The current message of "To Send" is the one sent. Moved, its index record keeps every
    // field; only a copy whose header block was completed is written anew.
    if (!amended) {
        store.MoveMessage(targetKey);
    } else {
        const int from = store.Msg_Number();
        const std::string to = store.Msg_To;
        const int part = store.Msg_Part;
        store.SetCurrentMailBoxNumber(target);
        store.Msg_Text = *amended;
        store.Msg_From = queued.from;
        store.Msg_To = to;
        store.Msg_Subject = queued.subject;
        store.Msg_Date = queued.date;
        store.Msg_Part = part;
        store.Msg_AttachStart = queued.attachStart;
        store.Msg_AttachEnd = queued.attachEnd;
        store.Msg_Flag = 'V';
        store.AppendMessage();
        store.SetCurrentMailBoxNumber(kToSendMailbox);
        store.SetMsg_Number(from);
        store.DeleteMessage();
        return;
    }
    store.SetCurrentMailBoxNumber(target);
    store.SetMsg_Number(store.CurrentMailBoxMessages());
    if (store.Msg_Flag != 'V')
        store.SetMessageFlag('V');
}

} // namespace

Outbox::Outbox(const ProfileSettings& settings, TNMailBox& store, TAttachmentManager& attachments, OutboxView& view)
    : settings_(settings)
    , store_(store)
    , attachments_(attachments)
    , view_(view)
{
}

bool Outbox::run()
{
    if (running_)
        return false;
    running_ = true;
    stopRequested_ = false;
    failed_ = false;
    sent_ = 0;
    try {
        store_.SetCurrentMailBoxNumber(kToSendMailbox);
        // Without "Save sent messages" a sent one goes to Trash: nothing leaves without a trace.
        const int filedIn = settings_.SaveSent ? kSentMailbox : kTrashMailbox;
        const std::string targetKey = store_.MailboxKey(filedIn);
        const std::string queue = store_.MailBoxDirectory() + store_.CurrentMailBoxName() + ".mbx";
        if (targetKey.empty())
            throw FileError(store_.MailBoxDirectory(), std::string("the profile has no \"") +
                                                           (settings_.SaveSent ? "Sent" : "Trash") + "\" mailbox");
        int position = 1; // messages before it stay queued by this run
        int number = 0;
        while (!stopRequested_ && store_.CurrentMailBoxMessages() >= position) {
            store_.SetMsg_Number(position);
            store_.LoadMessageText();
            const QueuedIdentity queued = identityOf(store_);
            // A copy stored before every copy carried them gets its Date zone and Message-ID
            // now, on the wire and in the filed copy alike.
            std::vector<std::string> text = store_.Msg_Text;
            const bool amended = completeOriginHeaders(text, std::time(nullptr), settings_.RetAddr);
            store_.Msg_Text = text;
            const OutgoingMessage message = QueuedOutgoingMessage(settings_, store_, attachments_);
            if (const std::string problem = unreadableAttachment(message); !problem.empty()) {
                failed_ = true;
                view_.showMessageLeft(messageLeftText(message.Subject, problem));
                ++position;
                continue;
            }
            const SendOutcome outcome = view_.sendMessage(message, ++number);
            if (!outcome.accepted) {
                failed_ = true;
                // Refused recipients belong to this message alone; any other failure would
                // meet the next message as well.
                if (outcome.error == Error_RecipientsRefused) {
                    store_.SetCurrentMailBoxNumber(kToSendMailbox);
                    ++position;
                    continue;
                }
                break;
            }
            // Any notice or nested event may have selected another mailbox or message meanwhile.
            store_.SetCurrentMailBoxNumber(kToSendMailbox);
            const int before = store_.CurrentMailBoxMessages();
            if (before >= position)
                store_.SetMsg_Number(position);
            if (before < position || !(identityOf(store_) == queued))
                throw FileError(queue, "changed while \"" + message.Subject +
                                           "\" was sent; it stays queued, check \"To Send\" before sending again");
            fileSentMessage(store_, targetKey, filedIn, queued, amended ? &text : nullptr);
            store_.SetCurrentMailBoxNumber(kToSendMailbox);
            // A message left in place would be sent again and again.
            if (store_.CurrentMailBoxMessages() != before - 1)
                throw FileError(queue, "kept the sent message \"" + message.Subject + "\"");
            ++sent_;
        }
    } catch (const std::exception& e) {
        failed_ = true;
        view_.showFileError(e.what());
    }
    try {
        store_.SetCurrentMailBoxNumber(kToSendMailbox);
        left_ = store_.CurrentMailBoxMessages();
    } catch (const std::exception& e) {
        left_ = -1;
    }
    running_ = false;
    return !failed_ && left_ == 0;
}

} // namespace tavik
