// The line layer both protocol sessions carry on top of the socket: received bytes cut into
// lines for the session's current line handler, commands and bodies written with back-pressure,
// socket errors turned into the sessions' error codes and texts, and the end of a session
// announced exactly once through OnDone.
#pragma once

#include "net/vosk_socket.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace tavik {

// The info numbers, and the one error code, in which the two sessions differ.
struct LineCodes {
    int InfoConnected;        // connect notification without error; addinfo IPAddress
    int InfoDisconnected;     // the server closed the connection; addinfo empty
    int InfoSending;          // every SendText / SendData; addinfo the bytes sent
    int InfoResolving;        // the lookup of HostName begins; addinfo HostName
    int InfoResolved;         // the lookup answered; addinfo the dotted address
    int ErrorHostUnreachable; // the error code of Winsock's 10065
};
inline constexpr LineCodes kGetMailLineCodes{0, 1, 6, 12, 13, 18};
inline constexpr LineCodes kSendMailLineCodes{0, 3, 2, 15, 14, 19};

// Error codes the line layer reports itself; both sessions share them.
constexpr int kErrorWinsockNotInitialized = 1;
constexpr int kErrorTimeout = 8;
constexpr int kErrorUnexpectedResponse = 13;
constexpr int kErrorPrematureDisconnect = 17;
// The secure connection's failures, one code per cause a user can act on (both sessions).
constexpr int kErrorTlsUnavailable = 30;
constexpr int kErrorTlsHandshake = 31;
constexpr int kErrorTlsNotTlsPort = 32;
constexpr int kErrorTlsUntrusted = 33;
constexpr int kErrorTlsInjected = 34;
constexpr int kErrorTlsChanged = 35;
constexpr int kErrorTlsBroken = 36;
// Their texts (the first is spelt so on purpose: it is the sessions' own wording).
inline constexpr const char* kTextWinsockNotInitiliazed = "Winsock not initiliazed";
inline constexpr const char* kTextConnectionTimedOut = "Connection timed out";
// Error 8 when the server took the connection and never greeted.
inline constexpr const char* kTextNoGreeting = "Connection timed out: no greeting came; the port may expect SSL/TLS";
// What the error box adds to its time-out text for it.
inline constexpr const char* kTextNoGreetingHint =
    "The server took the connection but sent no greeting: its port may expect SSL/TLS. Check the port and the "
    "security in the options.";
inline constexpr const char* kTextUnexpectedResponse = "Unexpected response: ";
inline constexpr const char* kTextPrematurelyDisconnected = "Prematurely Disconnected";

// One row of the error table: the session's error code and its text.
struct ErrorRow {
    int code;         // 0 for Winsock number 0
    const char* text; // empty for Winsock number 0
};
// The error table: the row for a Winsock number, with the session's code for 10065.
ErrorRow winsockErrorRow(int winsockError, const LineCodes& codes);

// Longest line accepted from a server, without its line end. A longer one ends the session
// with error 13 and the line's first kShownLineLength characters.
constexpr std::size_t kMaxLineLength = 1024 * 1024;
constexpr std::size_t kShownLineLength = 80;
// Longest command SendLine writes before its CR LF; longer ones are cut.
constexpr std::size_t kMaxCommandLength = 253;
// Bytes taken from the socket per receive.
constexpr std::size_t kReceiveChunk = 64 * 1024;

// The line layer of one protocol session; GetMail and SendMail derive from it.
//
// Lines: received bytes are split after each LF; a CR right before the LF is dropped with it,
// so CR LF and a lone LF both end a line, and a lone CR stays in the line. NUL bytes stay in the
// line like any other byte. The unfinished tail waits for more bytes; it may not exceed
// kMaxLineLength (+1 for a CR waiting for its LF).
//
// Life cycle of a session: beginSession() (Busy set, Finished cleared), openConnection(port),
// then line handlers steer the protocol. A session is
// - finished by Finish() on every error, on a cancel (the session sets ErrorCode 14 first), on
//   the countdown or idle time running out (error 8) and on an overlong line (error 13);
// - ended by the server closing the connection: after the session's closing command (QuitSent)
//   that is the normal end, before it error 17;
// - ended by endAfterClosingReply() once the answer to the closing command has come;
// - ended, with the connection kept, by postDone() (SendMail's KeepConnectionOpen).
// Each way posts kDoneMessage; OnDone follows exactly once per session, from the event loop,
// never while a LineChannel call is on the stack, so the owner may even delete the session from
// OnDone with deleteLater. Once Finished, nothing is reported, read or written any more.
//
// Re-entrance: SendText/SendData run the event loop between send attempts, so notifications,
// ticks and user commands (cancel) run inside them; InHandler keeps a second ReceiveLines from
// calling the line handler while it runs, and the interrupted ReceiveLines goes on with the
// bytes that arrived meanwhile, in order, once the handler returns.
class LineChannel : public TVoskSocket {
    Q_OBJECT
public:
    explicit LineChannel(const LineCodes& codes, QObject* parent = nullptr);

    std::function<void(int info, const std::string& addinfo)> OnMailInfo;   // progress
    std::function<void(int error, const std::string& addinfo)> OnMailError; // the session fails
    std::function<void()> OnDone; // the session has ended (once per session)

    // The session's current reply handler: one line without its line end.
    std::function<void(const std::string& line)> LineHandler;
    // The session sent its closing command: a close by the server is expected.
    bool QuitSent = false;
    // The session's state number; 0 after each connect notification.
    int State = 0;
    // Error code of the last error (0 after a CheckError that found none).
    int ErrorCode = 0;

    bool Busy() const { return busy_; }           // a session runs (until OnDone)
    bool Finished() const { return finished_; }   // the session was finished or closed
    bool InHandler() const { return inHandler_; } // the line handler is running
    // The received bytes after the last line end, waiting for the rest of their line.
    const std::string& PendingText() const { return pending_; }

    // Starts a session: Busy set; Finished, QuitSent, ErrorCode and State cleared. Call only
    // when not Busy (the sessions answer a second start with an info of their own).
    void beginSession();
    // Opens the connection to the server property's target on `port`: brings the socket layer
    // up (error 1 "Winsock not initiliazed" when it cannot), creates the socket, then looks up
    // HostName (info resolving, then resolved) or uses IPAddress, and connects. False when the
    // session already failed; the connect notification follows otherwise.
    bool openConnection(quint16 port);

    // Writes the first kMaxCommandLength bytes of `text` and CR LF (through SendText).
    bool SendLine(const std::string& text);
    // Reports info sending with `text`, then writes it, letting the event loop run between
    // attempts. True when every byte was handed to the socket; false when the session ended
    // meanwhile (cancel, error, close) or had already.
    bool SendText(std::string text);
    // SendText over bytes the caller keeps valid until it returns.
    bool SendData(const char* data, std::size_t length);
    // Writes `text` and CR LF uncut (a sign-in line may be longer than any command), reporting
    // `shown` instead, so no credential reaches a log or a progress window.
    bool SendSecretLine(const std::string& text, const std::string& shown);
    // The read handler: takes the waiting bytes and hands each complete line to LineHandler.
    // Does nothing while InHandler or Finished.
    void ReceiveLines();
    // True when the session must stop: it is Finished, or LastError holds an error, which is
    // then reported with its table row (OnMailError) and the session finished.
    bool CheckError();
    // Finishes the session once: Finished set, Disconnect, kDoneMessage posted.
    virtual void Finish();
    // Reports error `code` with `text` (ErrorCode set, OnMailError) and finishes the session.
    // Nothing happens once Finished.
    void fail(int code, const std::string& text);
    // Ends the session without touching the connection: OnDone follows.
    void postDone();
    // The server answered the session's closing command: the session ends now as it would when
    // the server closed the connection after that answer (info disconnected, no error), so a
    // server that keeps the connection open does not hold the session until a time-out.
    void endAfterClosingReply();
    // Calls LineHandler with `line` as ReceiveLines would (InHandler set), for a session that
    // must act without a received line; afterwards takes the bytes that arrived meanwhile.
    void runLineHandler(const std::string& line);
    // Drops the unfinished tail (and, inside a line handler, the rest of the received chunk).
    void clearPendingText();
    // STARTTLS, after the server's go-ahead (from inside its line handler): begins the
    // handshake, and EncryptedHandler follows. Any received byte not yet handled is plain text
    // slipped in before the handshake: the session fails (error 34) and false comes back.
    bool startTls();

protected:
    // Raise OnMailInfo / OnMailError when set.
    void mailInfo(int info, const std::string& addinfo);
    void mailError(int code, const std::string& addinfo);
    const LineCodes& codes() const { return codes_; }

    // Lookup answered: connect to the address found (info resolved), or report the error.
    void HostResolved() override;
    // Connect notification: unless it carries an error, State 0, info connected, the tail
    // dropped, QuitSent cleared.
    virtual void ConnectHandler();
    // Close notification: unless it carries an error, info disconnected and, without QuitSent,
    // error 17; the session ends either way.
    virtual void CloseHandler();
    // Countdown or idle time ran out: error 8 "Connection timed out".
    virtual void CountdownHandler();
    // kDoneMessage (any message above 1025): Busy cleared, OnDone.
    virtual void DoneHandler(int message);
    // A STARTTLS handshake ended: base reports a failure (CheckError); the sessions go on
    // with what they learn anew over the secure channel.
    virtual void EncryptedHandler();

private:
    class Frame;
    void endClosed();
    bool deliverLines();
    void callLineHandler(const std::string& line);
    void leaveFrame();
    bool sendBytes(const char* data, std::size_t length, const std::optional<std::string>& shown);

    const LineCodes codes_;
    quint16 connectPort_ = 0;
    bool busy_ = false;
    bool finished_ = false;
    bool inHandler_ = false;
    bool donePosted_ = false;
    bool awaitingGreeting_ = false; // connected, and no byte heard yet
    bool doneDeferred_ = false;
    int depth_ = 0;              // LineChannel calls on the stack
    std::string pending_;
    std::size_t scannedTo_ = 0;  // pending_ holds no LF before this offset
    std::size_t lineEnd_ = 0;    // inside the line handler: offset after the line handed over
    unsigned pendingGeneration_ = 0;
    std::string chunk_;
};

} // namespace tavik
