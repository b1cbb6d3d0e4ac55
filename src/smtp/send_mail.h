// The SMTP client session: resolves and connects to the server, greets with EHLO (HELO for a
// server that knows no EHLO), signs in when a user is set, announces the sender and every
// recipient, lets the message writer stream the DATA text, and ends with QUIT or, on request,
// keeps the connection for the next message. Qt Core and Network only.
#pragma once

#include "net/line_channel.h"
#include "profile/settings.h"
#include "smtp/message_writer.h"

#include <functional>
#include <string>
#include <vector>

namespace tavik {

// The command property of SendMail. Scoped: GetMail's command enumeration has a None too.
enum class TMailAction { None, Send_Mail, Cancel_SendMail };

// Error codes of a send (OnMailError carries the code and its text; ErrorCode keeps the code).
enum SendMailError : int {
    Error_None = 0,
    Error_WinsockNotInitialized = 1,
    Error_NetworkDown = 2,
    Error_InvalidAddress = 3,
    Error_Internal = 4,
    Error_General = 5,
    Error_ConnectionAborted = 6,
    Error_ConnectionReset = 7,
    Error_Timeout = 8,
    Error_OutOfSockets = 9,
    Error_NetworkUnreachable = 10,
    Error_AddressNotAvailable = 11,
    Error_ConnectionRefused = 12,
    Error_UnexpectedResponse = 13,
    Error_Canceled = 14, // set by a cancel; never reported
    Error_Unknown = 15,
    Error_AddressResolution = 16,
    Error_PrematureDisconnect = 17,
    Error_NoRecipient = 18,
    Error_HostUnreachable = 19,
    Error_RecipientsRefused = 20, // the server refused every recipient; nothing was sent
    Error_StartTlsUnavailable = 21, // STARTTLS was asked for but not offered or refused; nothing was sent
    Error_AuthenticationFailed = 22, // the server refused the sign-in; nothing of the message was sent
    Error_AuthenticationUnavailable = 23, // a user is set, but the server offers no sign-in we know
    // 30 to 36: the secure connection's failures (kErrorTls* of the line layer)
};

// A recipient the message did not go to, with the server's reply (its lines joined by blanks,
// at most kMaxRefusalReply characters) or, for an address refused before sending, why.
struct RecipientRefusal {
    std::string address;
    std::string reply;
    // A 4xx reply: the server may take the address later.
    bool temporary() const { return !reply.empty() && reply[0] == '4'; }
};
inline constexpr std::size_t kMaxRefusalReply = 300;
// The reason given for an address refused before anything was sent.
inline constexpr const char* kTextNotAnAddress = "not an address that can be sent to";

// The text reported with `error`: the socket layer's wording ("Winsock not initialized",
// "timeout"; the start of a send and the countdown use kTextWinsockNotInitiliazed and
// kTextConnectionTimedOut instead), "Unexpected response: " (the reply line follows it), empty
// for Error_None and Error_Canceled.
const char* sendMailErrorText(SendMailError error);

inline constexpr const char* kSendMailVersion = "SendMail 1.3.9";
// Continuation lines one reply may have; a longer reply ends the send with error 13.
inline constexpr int kMaxReplyLines = 1000;
inline constexpr const char* kTextMailDestinationError = "Mail Destination Error";
inline constexpr const char* kTextRecipientsRefused = "Every recipient was refused";
// Error 21; when the server refused STARTTLS, ": " and its reply follow.
inline constexpr const char* kTextStartTlsUnavailable =
    "The server does not offer STARTTLS: nothing was sent; choose SSL/TLS or no security in the options";

// Error 22; the server's reply follows it.
inline constexpr const char* kTextSignInRefused = "Sign-in refused: ";
// Error 23; when the server named mechanisms, "\r\n" + kTextOfferedMechanisms and them follow.
inline constexpr const char* kTextSignInUnavailable =
    "The server offers no sign-in that Tavik mail knows over this connection: nothing was sent";
inline constexpr const char* kTextOfferedMechanisms = "Sign-in methods the server offers: ";
// What the progress info shows of a credential line.
inline constexpr const char* kShownCredential = "****";

// The name EHLO and HELO give for this machine: `localHostName` when it is one word of printable
// ASCII, else "localhost" (an empty or odd system name must not leave "EHLO " bare or reach the
// wire).
std::string heloName(const std::string& localHostName);

// Where a send is in the dialogue with the server (LineChannel::State).
enum SmtpState : int {
    Smtp_Greeting = 0, // every connect notification starts here
    Smtp_HeloReply,    // greeted (and signed in): MAIL FROM is due; a kept connection resumes here
    Smtp_MailReply,
    Smtp_RcptReplies,
    Smtp_DataReply,
    Smtp_FinalReply,   // a kept connection rests here between messages
    Smtp_AfterQuit,
    // Numbered apart so that the steps after QUIT never lead into them.
    Smtp_EhloReply = 100, // any EHLO; with STARTTLS chosen the plain one must offer STARTTLS
    Smtp_StartTlsReply,   // the go-ahead for the handshake
    Smtp_Handshake,       // the handshake runs; EncryptedHandler follows
    Smtp_HeloFallbackReply, // HELO after a refused EHLO: the server knows no extensions
    Smtp_AuthReply,       // the answer to AUTH or to a credential line
    Smtp_PipelinedReplies, // MAIL FROM, every RCPT TO and DATA went out together
    Smtp_ResetReply,       // RSET after a message every recipient refused, on a kept connection
};

// The sign-in mechanisms SendMail knows, in the order it prefers them.
enum class SmtpAuthMechanism { None, CramMd5, Plain, Login };

// One SMTP client; sends one message at a time to one server.
//
// The message data are the OutgoingMessage members (FROM_Name, FROM_Address, TO_Name,
// TO_Address, Subject, MailText, ListTo, Listcc, ListBcc, Headers, Attachments with
// AddAttachment / ClearAttachments); recipient entries are address "|" display name.
//
// Life cycle: set the server, port, message data and callbacks; SetAction(Send_Mail); wait for
// OnDone (exactly once per send); then QuitSent tells whether the server accepted the message and
// ErrorCode how it failed. A send that fails or is cancelled goes through Finish, which empties
// ListTo, Listcc, ListBcc, TO_Address and TO_Name; a successful one keeps every list.
// With KeepConnectionOpen the send ends after the server accepted the message, the connection
// stays, and the next Send_Mail begins at MAIL FROM on it. BeginSend fills TO_Address from the
// lists and puts a given TO_Address into ListTo: set TO_Address, TO_Name and the lists anew for
// each message.
//
// Unsafe input: a recipient whose address could end a command or a header (a control byte such
// as CR or LF, "<", ">", longer than kMaxAddressLength) is refused before anything is sent:
// info 8 with the address, and it leaves the lists, so it is neither announced nor written in a
// header; error 18 follows when no recipient is left. Such a sender address ends the send with
// error 3 "Invalid address specified". Nothing is connected in either case.
//
// Refused recipients: each refusal is reported (info 8) and kept in RefusedRecipients with the
// server's reply; the others still receive the message. When the server refused every one, DATA
// is never sent: error 20 with the refusals as text ("address: reply" lines) ends the send.
// The reply to QUIT ends the session: a server that keeps the connection open after it cannot
// turn an accepted message into a time-out.
//
// Greeting: EHLO, whose reply names the extensions (STARTTLS; AUTH and its mechanisms, also in
// the old "AUTH=" form). A server refusing EHLO with 5xx gets HELO and is spoken to as before
// extensions existed.
//
// Security (SMTP_Security): None keeps the plain dialogue. Tls speaks TLS from the first byte
// (ImplicitTls), then the same dialogue. StartTls sends STARTTLS only when the EHLO reply offers
// it (else error 21, a refused EHLO included, and nothing more is sent); after the handshake it
// greets with EHLO again and forgets everything the plain reply said. The certificate is checked
// against the system's authorities and CaFile, or PinnedFingerprint.
//
// Sign-in (SMTP_User set): after the last EHLO, before MAIL FROM, by CRAM-MD5, PLAIN or LOGIN,
// the first the server offers in that order. A refusal is error 22 with the server's reply; a
// server offering none of them (or a HELO-only server) is error 23, and neither a credential nor
// the message is sent. With StartTls or Tls no credential is ever written before the handshake.
// Credential lines are written uncut and reported as kShownCredential. A kept connection is
// signed in once. Without a user nothing is signed in, whatever the server offers.
//
// The DATA text is gathered into writes of up to 64 KB (plus one bounded block) and "." goes
// with the last one; a message that cannot be written whole (an unreadable attachment: error 4
// "Unexpected internal error in component") is never ended with ".", so no server delivers it.
class SendMail : public LineChannel, public OutgoingMessage {
    Q_OBJECT
public:
    // An idle session: port 25, empty lists and slots, no callbacks.
    explicit SendMail(QObject* parent = nullptr);
    // Drops the connection without any event; the lists and slots go with the object.
    ~SendMail() override;

    // The server: text beginning with a digit is a numeric address, anything else a host name.
    void SetSMTP_Server(const std::string& server) { SetServer(server); }
    const std::string& SMTP_Server() const { return Server(); }
    quint16 SMTP_Port = 25;
    // How the connection is secured; see the class comment.
    ConnectionSecurity SMTP_Security = ConnectionSecurity::None;
    // After an accepted message keep the connection instead of sending QUIT.
    bool KeepConnectionOpen = false;
    // Sign in as this user with this password (plain in memory); no sign-in when the user is empty.
    std::string SMTP_User;
    std::string SMTP_Password;
    const std::string Version{kSendMailVersion};

    // Send_Mail begins a send (only info 13 while one runs); Cancel_SendMail ends the running
    // send with ErrorCode 14 and no error report (OnDone follows); None does nothing.
    void SetAction(TMailAction action);
    // Ends a connection kept open after the last message: QUIT, and the close once the server
    // has answered (or gone silent for the idle time); OnDone follows. False, and nothing sent,
    // when no kept connection rests between messages.
    bool QuitKeptConnection();

    // Extra body text, asked for until it leaves `data` empty (see MessageWriter::OnFeedData).
    std::function<void(std::string& data)> OnFeedData;

    // Ends the send once: empties the recipient lists and first-recipient fields, then the line
    // layer's Finish (disconnect, OnDone follows).
    void Finish() override;

    // Working state of the recipient announcement, for observers and tests.
    int RecipientPhase() const { return recipientPhase_; } // 1 To, 2 cc, 3 Bcc, 4 DATA due
    int RecipientIndex() const { return recipientIndex_; }
    int RecipientLast() const { return recipientLast_; }   // -1: the phase's list is exhausted
    int SkipTo() const { return skipTo_; }                 // 1: ListTo's first entry is TO_Address
    int Skipcc() const { return skipcc_; }
    int SkipBcc() const { return skipBcc_; }
    // Address of the last RCPT sent.
    const std::string& CurrentRecipient() const { return currentRecipient_; }
    // The recipients of this send the message did not go to (cleared when a send begins).
    std::vector<RecipientRefusal> RefusedRecipients;

protected:
    // Lookup answered: connect to the address found on SMTP_Port (info 14), or report the error.
    void HostResolved() override;
    // STARTTLS handshake ended: greet anew over the secure channel.
    void EncryptedHandler() override;

private:
    void BeginSend();
    void refuseUnsafeRecipients();
    void takeFirstRecipient();
    void replyHandler(const std::string& line);
    void announceNextRecipient();
    void advancePhase(bool stopWhenFinished);
    int lastIndexOfPhase() const;
    void writeMessage();
    void sendRecipient(const std::string& address);
    bool ehloReply(const std::string& line, bool failure);
    bool refuseStartTls(const std::string& reply);
    void noteExtension(const std::string& line);
    void ehloDone();
    void greeted();
    void sendMailFrom();
    void pipelinedReply(const std::string& line, bool failure, bool intermediate);
    void refuseEveryRecipient();
    void authReply(const std::string& line, bool failure, bool intermediate);
    void answerChallenge(const std::string& challenge);

    int recipientPhase_ = 0;
    int recipientIndex_ = -1;
    int recipientLast_ = -1;
    int skipTo_ = 0, skipcc_ = 0, skipBcc_ = 0;
    std::string currentRecipient_;
    bool replyFailed_ = false; // a line of the current RCPT reply was a failure
    std::string replyText_;    // the current RCPT reply's lines so far
    int acceptedRecipients_ = 0;
    int replyLines_ = 0;       // continuation lines of the reply under way
    bool offersStartTls_ = false; // a line of the last EHLO reply named STARTTLS
    bool offersPipelining_ = false; // the last EHLO reply named PIPELINING
    std::vector<std::string> pipelined_; // the recipients of the commands sent together
    std::size_t pipelinedStep_ = 0;      // replies taken: MAIL, then each RCPT, then DATA
    std::string refusalText_;            // the error text of a message refused whole, during RSET
    bool ehloRefused_ = false;    // the last EHLO was answered 5xx: HELO follows
    std::vector<std::string> authMechanisms_; // named by the last EHLO reply, upper case
    SmtpAuthMechanism authMechanism_ = SmtpAuthMechanism::None; // the sign-in under way
    int authStep_ = 0;            // challenges answered in it
    bool authFailed_ = false;     // a line of the current AUTH reply was a failure
    std::string authReply_;       // the current AUTH reply's lines so far
};

} // namespace tavik
