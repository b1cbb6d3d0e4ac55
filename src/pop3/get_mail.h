// The POP3 retrieval session: logs in, finds the messages not retrieved before by their UIDs
// (or takes all of them when the server has no UIDL), previews and retrieves them one by one
// through the message parser, deletes them on request and quits. It stores nothing itself:
// every message reaches the owner through events, and the owner steers skip and delete through
// the option members from inside those events.
#pragma once

#include "net/line_channel.h"
#include "pop3/message_parser.h"

#include <QtGlobal>

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavik {

// Info numbers of a retrieval session (the line layer reports 0, 1, 6, 12 and 13 itself).
enum GetMailInfo : int {
    GM_Connected = 0,
    GM_Disconnected = 1,
    GM_MessageCount = 2,     // addinfo: the number of messages to retrieve
    GM_MessageSize = 3,      // addinfo: the size a RETR/TOP answer announced, or empty
    GM_BytesReceived = 4,    // addinfo: bytes of the current message so far
    GM_CommandSent = 6,      // addinfo: the command with its CR LF
    GM_UidlAccepted = 7,
    GM_UidlSupport = 8,      // addinfo: "1" or "0"
    GM_Busy = 9,
    GM_AccessGranted = 10,   // addinfo: "Access Granted"
    GM_UserAccepted = 11,
    GM_Resolving = 12,       // addinfo: the host name
    GM_Resolved = 13,        // addinfo: the dotted address
};

// Error numbers particular to the retrieval session (the rest come from the error table).
constexpr int kGetMailErrorAborted = 14;     // Cancel_GetMail: stored only, never reported
constexpr int kGetMailErrorAccessDenied = 19;
// STLS was asked for and the server does not list it or refused it: the session ends before a
// credential is sent.
constexpr int kGetMailErrorStartTls = 21;
inline constexpr const char* kTextAccessDenied = "Access Denied";
inline constexpr const char* kTextAccessGranted = "Access Granted";
inline constexpr const char* kGetMailVersion = "GetMail 1.3.13";

enum TGetMailAction { GM_None, Get_Mail, Cancel_GetMail };

// Defaults of GetMail's bounds: messages in one listing, bytes in one message (the stores count
// sizes in 32 bits).
inline constexpr std::size_t kMaxListingLines = 100000;
// Lines of a CAPA answer; a real server lists a dozen.
inline constexpr std::size_t kMaxCapabilityLines = 1000;
// Longest AUTH command that carries its initial response, CR LF included (RFC 2449's limit on
// command lines); a longer sign-in sends the response on a line of its own.
inline constexpr std::size_t kMaxInitialResponseCommand = 255;
inline constexpr std::int64_t kMaxMessageBytes = 0x7fffffff;

// A list of UIDs (or listing lines) in order, looked up without regard to ASCII letter case.
// Consuming from the front is constant time, so a listing of many thousand messages costs
// nothing quadratic.
class UidList {
public:
    void add(const std::string& text);
    // True when an entry equals `text` ignoring ASCII letter case.
    bool contains(const std::string& text) const;
    void clear();
    std::size_t size() const { return lines_.size() - head_; }
    bool empty() const { return size() == 0; }
    const std::string& front() const { return lines_[head_]; }
    void popFront();
    // The entries in order.
    std::vector<std::string> lines() const;
    void assign(const std::vector<std::string>& lines);
    void assign(const UidList& other) { assign(other.lines()); }

private:
    static std::string key(const std::string& text);
    std::vector<std::string> lines_;
    std::size_t head_ = 0;
    std::unordered_map<std::string, int> keys_; // lower-cased entry -> occurrences in the list
};

class GetMail : public LineChannel {
    Q_OBJECT
public:
    explicit GetMail(QObject* parent = nullptr);
    ~GetMail() override;

    // Options the owner sets before the start and from inside the message events.
    bool Opt_Delete = false;  // delete the current message; consumed when DELE is sent
    bool Opt_Preview = false; // fetch each header with "TOP n 0" first
    // STLS before the login: CAPA, then STLS and, once the server agrees, the TLS handshake and
    // CAPA again. A server whose capabilities lack STLS, or that refuses it, ends the session
    // (never a fall back to plain text). Implicit TLS is the socket's ImplicitTls.
    bool StartTlsRequired = false;
    bool Opt_Skip = false;    // after a preview, leave this message; consumed when acted on

    // Writing Get_Mail starts a session, Cancel_GetMail aborts one at once. Reads GM_None.
    void SetMail_Action(TGetMailAction action);
    TGetMailAction Mail_Action() const { return GM_None; }
    void SetMail_Server(const std::string& server) { SetServer(server); }
    const std::string& Mail_Server() const { return Server(); }
    quint16 Mail_Port = 110;
    std::string User_ID;
    std::string User_Password;
    const char* Version() const { return kGetMailVersion; }

    // Before the retrieval phase: aborts at once. During it: the message in hand is finished,
    // then QUIT, and KnownUIDLs stays as it was. A second Cancel while the first waits for a
    // message boundary aborts at once, so a stalled server never holds the session.
    void Cancel();

    // UIDs retrieved before; the owner fills it, a successful session replaces it.
    UidList KnownUIDLs;
    // UIDs of messages retrieved before whose deletion the server never confirmed; the owner
    // fills it. A listed message that is both known and here is deleted without being retrieved.
    UidList DeleteUIDLs;
    // UIDs whose DELE this session sent (messages retrieved now and those of DeleteUIDLs); the
    // server carries them out only once it has answered QUIT.
    UidList DeletedUIDLs;
    // The lines of the UIDL listing; at its end, the server's UIDs.
    UidList UIDLLines;
    // Listing lines of the messages still to retrieve, consumed from the front.
    UidList NewMessages;
    UidList NewUIDLs;
    UidList ServerUIDLs;

    // Bounds on what a server may send: a longer listing, or a message or preview of more
    // bytes, ends the session with error 13, so memory and time stay bounded whatever it sends.
    std::size_t MaxListingLines = kMaxListingLines;
    std::int64_t MaxMessageBytes = kMaxMessageBytes;

    bool UIDLSupported = false;
    // What the last CAPA answer listed: nothing while the server has not answered CAPA (or
    // refused it), and nothing learnt before a STLS handshake survives it.
    bool CapaAnswered() const { return capaAnswered_; }
    bool StlsOffered() const { return stlsOffered_; }
    bool SaslPlainOffered() const { return saslPlainOffered_; }
    // CAPA listed PIPELINING: commands may go out ahead of their answers.
    bool PipeliningOffered() const { return pipeliningOffered_; }
    // This session's retrieval runs pipelined: with PIPELINING, UIDL and no previews, the RETR
    // commands go out in a window ahead of their answers, and the deletions wait for the end,
    // sent with QUIT (the server carries them out only then, so holding them costs nothing).
    bool Pipelined() const { return pipelined_; }
    // The window: RETR commands outstanding, and bytes of their answers (the sizes LIST gave).
    std::size_t PipelineMaxCommands = 32;
    std::int64_t PipelineMaxBytes = 1 << 20;
    int MessageCount = 0;
    int MessageNumber = 0; // the message in hand
    bool RetrievalPhase() const { return retrieval_; }
    bool CancelRequested() const { return cancelRequested_; }
    // The server's listing (UIDL, or STAT without it) came in whole: only then does the session
    // know which messages are new.
    bool ListingComplete() const { return listingComplete_; }
    // The server answered QUIT with "+": the deletions of this session are carried out.
    bool QuitAnswered() const { return quitAnswered_; }
    // The UID of the message in hand (with UIDL; empty without).
    const std::string& CurrentUIDL() const { return currentUidl_; }
    // What the session was doing, for a report of a connection lost there ("receiving message 2
    // of 5").
    std::string StepText() const;

    // The message values of the message (or preview) in hand, valid inside the events.
    const std::vector<std::string>& MessageText() const { return parser_.MessageText; }
    const std::string& From() const { return parser_.From; }
    const std::string& To() const { return parser_.To; }
    const std::string& Subject() const { return parser_.Subject; }
    const std::string& Date() const { return parser_.Date; }
    const std::string& XUIDL() const { return parser_.XUIDL; }
    std::int64_t MessageSize() const { return parser_.MessageSize; }
    bool MessageTextTruncated() const { return parser_.MessageTextTruncated; }
    MessageParser& Parser() { return parser_; }

    // Events of the parser, raised from inside the line handling.
    TGetMessageEvent OnMessageLoaded;
    TGetHeadersEvent OnHeadersLoaded;
    TAttachmentEvent OnAttachmentGetLocation;
    TAttachmentEvent OnAttachmentStored;
    TGMDataEvent OnMessageData;
    // Pipelined: before the held DELE commands go out (with QUIT), the owner makes what it filed
    // durable; false (or a session the owner ended meanwhile) sends none of them.
    std::function<bool()> OnBeforeDeletions;

    void Finish() override;

protected:
    // After STLS: the session starts over on the secure channel, with the login.
    void EncryptedHandler() override;

private:
    enum RetrievalState : int {
        R_Start = 0,
        R_RetrAnswer = 1,
        R_MessageData = 2,
        R_DeleAnswer = 3,
        R_QuitAnswer = 4,
        R_TopAnswer = 5,
        R_PreviewData = 6,
    };
    // Command-phase states beside the Part's 0 to 5.
    static constexpr int kStateCapa = 6;
    static constexpr int kStateStls = 7;
    static constexpr int kStateAuth = 8;
    static constexpr int kStateAfterError = 100;
    enum class TlsStep { None, AwaitingGoAhead, Handshake, Secure };
    TlsStep tlsStep_ = TlsStep::None;

    void start();
    void commandLine(const std::string& line);
    void askCapabilities();
    void capabilityLine(const std::string& line);
    void afterCapabilities();
    void stlsAnswer(const std::string& line);
    void signIn();
    void authAnswer(const std::string& line);
    std::string plainResponse() const;
    void accessGranted();
    void listingLine(const std::string& line);
    void endOfListing();
    void statAnswer(const std::string& line);
    void enterRetrieval();
    void retrievalLine(const std::string& line);
    bool nextMessage(int& number);
    void afterPreview();
    void afterMessage();
    void continueWithNext();
    void requestMessage(int number);
    void sendQuit(int nextState);
    void unexpected(const std::string& line);
    void unexpectedSize();

    void deleteMessage(int number, const std::string& uid);

    // The pipelined retrieval: answers are matched to `expected_` in order.
    struct Expected {
        enum Kind { List, Retr, Dele, Quit } kind;
        int number = 0;
        std::string uid;
        std::int64_t size = 0;
        bool discard = false; // an answer still in flight when the session was stopped
    };
    void startPipeline();
    void pipelineLine(const std::string& line);
    void listSizeLine(const std::string& line);
    void fillPipeline();
    void stopPipeline();
    void finishPipeline();
    std::int64_t expectedSize(int number) const;

    MessageParser parser_;
    bool retrieval_ = false;
    bool cancelRequested_ = false;
    bool listingComplete_ = false;
    bool quitAnswered_ = false;
    bool deletingKnown_ = false; // the DELE in hand is one of DeleteUIDLs
    bool capaAnswered_ = false;
    bool capaListing_ = false;   // inside the lines of a "+" answer to CAPA
    std::size_t capaLines_ = 0;
    bool stlsOffered_ = false;
    bool saslPlainOffered_ = false;
    bool authResponseSent_ = false; // the AUTH PLAIN exchange carried the credentials
    int retrievalState_ = R_Start;
    std::string currentUidl_;
    // Listing lines of the messages of DeleteUIDLs found on the server, deleted first.
    UidList knownToDelete_;
    bool pipeliningOffered_ = false;
    bool pipelined_ = false;
    bool inAnswer_ = false;        // inside the lines of the front answer
    bool quitQueued_ = false;
    std::deque<Expected> expected_;
    std::size_t retrInFlight_ = 0;
    std::int64_t bytesOutstanding_ = 0;
    int received_ = 0;             // messages whose answer came in whole
    std::vector<std::int64_t> listedSizes_; // by message number, from LIST; 0 unknown
    std::vector<std::pair<int, std::string>> heldDeletions_;
};

// A decimal message number or count as a POP3 server writes it: 1 to 9 digits, nothing else.
// False for anything else (the session then ends with error 13).
bool parsePop3Number(const std::string& text, int& value);

} // namespace tavik
