// The outbox without its windows: one send of one message as the send dialog runs it (the
// session started with the profile's server, its progress turned into status texts, its errors
// into titled boxes), and the run over "To Send" that reads every queued message back, sends it
// and files it in "Sent". What they show goes through SendMailView and OutboxView, which the
// send dialog, the main window's commands and tavikctl implement.
#pragma once

#include <QObject>

#include <memory>
#include <string>

#include "profile/certificate_pins.h"
#include "profile/settings.h"
#include "smtp/send_mail.h"

namespace tavik {

class TNMailBox;
class TAttachmentManager;

// Status texts of a send.
inline constexpr const char* kSendStatusConnectingTo = "Connecting to ";
inline constexpr const char* kSendStatusConnectedTo = "Connected to ";
inline constexpr const char* kSendStatusDisconnected = "Disconnected";
inline constexpr const char* kSendStatusMessageSent = "Message sent";
inline constexpr const char* kSendStatusSendingAttachment = "Sending attachment ";
inline constexpr const char* kSendStatusRecipient = "Recipient ";
inline constexpr const char* kSendStatusRejected = " Rejected!";
inline constexpr const char* kSendStatusTo = "To: ";
inline constexpr const char* kSendStatusSendingMessage = "Sending Message";
inline constexpr const char* kSendStatusResolving = "Resolving ";

// The message box of a failed send for error `code`; false for the codes that show none
// (6, 7, 17 and unknown ones). A cancel (14) is never reported, so its box never shows.
bool sendMailErrorBox(int code, std::string& title, std::string& text);
// The same box naming the cause the error's text (`addinfo`) gives beyond the code's own words:
// the server's reply for 13, 21 and 22, the attachment file for 4, every refusal for 20, the
// sign-in methods the server offers for 23.
bool sendMailErrorBox(int code, const std::string& addinfo, std::string& title, std::string& text);

// The box of a message sent to some of its recipients only.
inline constexpr const char* kRefusedRecipientsTitle = "Recipients Refused";
// One line per refusal: the address, "(temporary)" for a 4xx reply, and the server's reply.
std::string refusalLines(const std::vector<RecipientRefusal>& refusals);
// The text of that box: which addresses did not receive the message, and why.
std::string refusedRecipientsText(const std::vector<RecipientRefusal>& refusals);

// What one send shows. Every method has an empty default.
class SendMailView {
public:
    virtual ~SendMailView() = default;
    // A status text: shown as the status and added to the log as one line.
    virtual void showStatus(const std::string& text) { (void)text; }
    // Whether the connection is encrypted: "Encrypted (TLS 1.3)" or "Not encrypted".
    virtual void showSecurity(const std::string& text) { (void)text; }
    // The progress bar's maximum; `resetPosition` puts the position back to 0 as well.
    virtual void showProgressMaximum(long long maximum, bool resetPosition)
    {
        (void)maximum; (void)resetPosition;
    }
    virtual void showProgressPosition(long long position) { (void)position; }
    // A failure with its box, shown once.
    virtual void showError(int code, const std::string& title, const std::string& text)
    {
        (void)code; (void)title; (void)text;
    }
    // The server took the message but refused these recipients: shown until dismissed, before
    // finished().
    virtual void showRefusedRecipients(const std::string& title, const std::string& text)
    {
        (void)title; (void)text;
    }
    // The send has ended; `accepted` when the server took the message (QuitSent).
    virtual void finished(bool accepted) { (void)accepted; }
    // The server's certificate is not trusted, or is not the one pinned for it: asked once per
    // send, after the session ended. NotAsked (the default) shows the session's error box.
    virtual CertificateChoice judgeCertificate(const PeerCertificateInfo& certificate)
    {
        (void)certificate;
        return CertificateChoice::NotAsked;
    }
};

// One send of one message: owns its SendMail (the dialog's SendMail1), filled by the owner
// before open(). The session begins from the event loop after open(), so a dialog is on screen
// first. The profile's TimeOut bounds the lookup, the connect and any silence of the server;
// its SMTP user and password, when set, sign the session in.
//
// Life cycle: construct, fill Mail(), open(), wait for finished (exactly once, from the event
// loop); stop() cancels a running send (finished follows, not accepted). Destroying the object
// drops the connection without any further report. A certificate the session refused is put to
// the view once, after that session ended; an accepted one starts the send again from the
// connect, with that certificate accepted (and pinned when the user said so).
class SendSession : public QObject {
    Q_OBJECT
public:
    SendSession(ProfileSettings settings, SendMailView& view, QObject* parent = nullptr);
    ~SendSession() override;

    SendMail& Mail() { return *mail_; }
    const SendMail& Mail() const { return *mail_; }
    // Status "Connecting to " + SmtpServer, then the send begins from the event loop.
    void open();
    // Cancels the send; before it began, it never begins.
    void stop();

    // Keep the connection after an accepted message, for the next one (set before open()).
    bool KeepConnection = false;
    // The next message of a run, once the last one has ended: on the kept connection when it is
    // still up, on a new one otherwise (after a failure, which always drops it).
    void sendNext(const OutgoingMessage& message);
    // Quits a kept connection and waits (a local event loop, bounded by the profile's TimeOut)
    // until the server has answered or gone.
    void closeConnection();

    // The profile directory whose "certificates.ini" holds the pins for the SMTP server; empty:
    // no pin is read, and a certificate accepted permanently is accepted for this send only.
    std::string ProfileDirectory;

    bool Running() const { return opened_ && !ended_; }
    bool Ended() const { return ended_; }
    // The server accepted the message.
    bool Accepted() const { return mail_->QuitSent; }
    // The error the send reported (0 none): on a kept connection the session's own code does
    // not outlive the reply that caused it.
    int ReportedError() const { return reportedError_; }

private:
    void start();
    void onInfo(int info, const std::string& addinfo);
    void onError(int code, const std::string& addinfo);
    void onDone();
    void judgeCertificate();
    void end();
    std::string pinnedFingerprint() const;

    ProfileSettings settings_;
    SendMailView& view_;
    std::unique_ptr<SendMail> mail_;
    bool opened_ = false;
    bool started_ = false;
    bool ended_ = false;
    bool stopRequested_ = false;
    int reportedError_ = 0;
    bool certificateRefused_ = false; // the session's certificate error waits for the view's judgement
    bool certificateJudged_ = false;  // the view was asked in this send
    int refusalCode_ = 0;
    std::string refusalText_;
    std::string acceptedFingerprint_; // the certificate the user accepted in this send
    // The recipients as filled, for a second session: the first one's end empties the lists.
    struct Recipients {
        std::string toName, toAddress;
        std::vector<std::string> to, cc, bcc;
    } recipients_;
};

// Fills a session's SendMail with the message properties the outbox or composition built.
void fillSendMail(SendMail& mail, const OutgoingMessage& message);

// How one send ended, as the outbox needs to know it.
struct SendOutcome {
    bool accepted = false; // the server took the message
    int error = 0;         // the session's error code otherwise (0: stopped, or none known)
    SendOutcome() = default;
    // A face that knows only its dialog's result.
    SendOutcome(bool wasAccepted) : accepted(wasAccepted) {} // NOLINT(google-explicit-constructor)
    SendOutcome(bool wasAccepted, int errorCode) : accepted(wasAccepted), error(errorCode) {}
    explicit operator bool() const { return accepted; }
};
// The outcome of a session that has ended.
SendOutcome outcomeOf(const SendSession& session);

// Runs one send to its end in a local event loop (for faces without a modal dialog: tavikctl,
// tests, benchmarks) and reports to `view`; the pins are read from `profileDirectory` (none
// when empty).
SendOutcome runSendSession(const ProfileSettings& settings, const OutgoingMessage& message, SendMailView& view,
                           const std::string& profileDirectory = {});

// A run of sends on one connection in a local event loop (tavikctl, tests, benchmarks): each
// send() as runSendSession does, the connection kept between them and quit when the run ends.
class KeptSendRun {
public:
    KeptSendRun(const ProfileSettings& settings, SendMailView& view, const std::string& profileDirectory = {});
    ~KeptSendRun();
    SendOutcome send(const OutgoingMessage& message);
    int connections() const { return connections_; }

private:
    class Forward;
    std::unique_ptr<Forward> forward_;
    std::unique_ptr<SendSession> session_;
    bool first_ = true;
    int connections_ = 0;
};

// What the outbox run needs from its face.
class OutboxView {
public:
    virtual ~OutboxView() = default;
    // Sends one queued message through a send dialog of its own (or its like) and returns once
    // the send has ended and the dialog was released: accepted when the dialog's result is OK.
    // `number` counts the messages of this run from 1.
    virtual SendOutcome sendMessage(const OutgoingMessage& message, int number) = 0;
    // A failure while a message was prepared or filed; the run ends with it.
    virtual void showFileError(const std::string& text) { (void)text; }
    // A message that stays in "To Send" while the run goes on with the next one (an attachment
    // file has gone); the text names the message's subject and the file.
    virtual void showMessageLeft(const std::string& text) { (void)text; }
};

// The text shown for a queued message left behind because of `problem` (attachmentProblem).
std::string messageLeftText(const std::string& subject, const std::string& problem);

// The outbox command over "To Send": its messages in order, each read back and sent; an
// accepted one leaves "To Send" for "Sent" (for "Trash" when SaveSent is off), marked read,
// with its stored text unchanged apart from a "Date:" with zone and a "Message-ID:" that an
// older stored copy lacked and that went out on the wire. A message whose attachment file has
// gone, or whose recipients were all refused, stays queued and the run goes on with the next
// one. The run ends when every message was tried, at the first other send not accepted (it and
// the ones after it stay queued), on a failure (shown once), or after stop().
class Outbox {
public:
    Outbox(const ProfileSettings& settings, TNMailBox& store, TAttachmentManager& attachments, OutboxView& view);

    // Runs to the end; true when "To Send" is empty afterwards.
    bool run();
    // No further message is started; the one being sent ends as its dialog decides.
    void stop() { stopRequested_ = true; }

    bool Running() const { return running_; }
    int Sent() const { return sent_; }   // messages moved to "Sent" by this run
    int Left() const { return left_; }   // messages left in "To Send" after the run
    bool Failed() const { return failed_; } // a message was not sent, or the run met a failure

private:
    ProfileSettings settings_;
    TNMailBox& store_;
    TAttachmentManager& attachments_;
    OutboxView& view_;
    bool running_ = false;
    bool stopRequested_ = false;
    bool failed_ = false;
    int sent_ = 0;
    int left_ = 0;
};

} // namespace tavik
