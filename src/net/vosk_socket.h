// The client socket both protocol sessions derive from: one outgoing IPv4 TCP connection, in
// plain text or TLS (from the start, or switched on by STARTTLS), whose lookup, connect,
// handshake, read, write and close notifications, and a one-second countdown, arrive as events
// on the thread that owns the object (the UI thread), from Qt's event loop. Qt Core and Network
// only.
#pragma once

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class QSslCertificate;
class QSslError;
class QSslSocket;

namespace tavik {

// The Winsock error numbers the error table is written in. Qt's socket and lookup errors are
// translated into them (winsockErrorFor*), so every code and text of the sessions stays as is.
namespace winsock {
constexpr int kInterrupted = 10004;        // WSAEINTR
constexpr int kAccess = 10013;             // WSAEACCES
constexpr int kFault = 10014;              // WSAEFAULT
constexpr int kInvalidArgument = 10022;    // WSAEINVAL
constexpr int kTooManySockets = 10024;     // WSAEMFILE
constexpr int kWouldBlock = 10035;         // WSAEWOULDBLOCK
constexpr int kInProgress = 10036;         // WSAEINPROGRESS
constexpr int kNotSocket = 10038;          // WSAENOTSOCK
constexpr int kMessageSize = 10040;        // WSAEMSGSIZE
constexpr int kOperationNotSupported = 10045; // WSAEOPNOTSUPP
constexpr int kFamilyNotSupported = 10047; // WSAEAFNOSUPPORT
constexpr int kAddressInUse = 10048;       // WSAEADDRINUSE
constexpr int kAddressNotAvailable = 10049; // WSAEADDRNOTAVAIL
constexpr int kNetworkDown = 10050;        // WSAENETDOWN
constexpr int kNetworkUnreachable = 10051; // WSAENETUNREACH
constexpr int kNetworkReset = 10052;       // WSAENETRESET
constexpr int kConnectionAborted = 10053;  // WSAECONNABORTED
constexpr int kConnectionReset = 10054;    // WSAECONNRESET
constexpr int kNoBufferSpace = 10055;      // WSAENOBUFS
constexpr int kAlreadyConnected = 10056;   // WSAEISCONN
constexpr int kNotConnected = 10057;       // WSAENOTCONN
constexpr int kShutdown = 10058;           // WSAESHUTDOWN
constexpr int kTimedOut = 10060;           // WSAETIMEDOUT
constexpr int kConnectionRefused = 10061;  // WSAECONNREFUSED
constexpr int kHostUnreachable = 10065;    // WSAEHOSTUNREACH
constexpr int kNotInitialised = 10093;     // WSANOTINITIALISED
constexpr int kSystemCallFailure = 10107;  // WSASYSCALLFAILURE: nothing better fits
constexpr int kHostNotFound = 11001;       // WSAHOST_NOT_FOUND
constexpr int kTryAgain = 11002;           // WSATRY_AGAIN
constexpr int kNoRecovery = 11003;         // WSANO_RECOVERY
constexpr int kNoData = 11004;             // WSANO_DATA: the name has no IPv4 address
} // namespace winsock

// Numbers of our own for what Winsock never knew: TLS failures. They live beside the Winsock
// numbers in LastError and reach the error table like them.
namespace tlserror {
constexpr int kUnavailable = 12001;        // no TLS library could be loaded
constexpr int kHandshakeFailed = 12002;    // the handshake broke off (protocol versions, ciphers)
constexpr int kNotTls = 12003;             // the server answered in plain text: not a TLS port
constexpr int kUntrustedCertificate = 12004; // verification failed and no pin accepts the certificate
constexpr int kInjectedPlainText = 12005;  // bytes waited in plain text when the handshake was to start
constexpr int kChangedCertificate = 12006; // a pinned server shows another certificate
constexpr int kBroken = 12007;             // bytes that are no valid TLS after the handshake
} // namespace tlserror

// What a user needs to judge a server's certificate; filled when verification fails.
struct PeerCertificateInfo {
    std::string host;        // the name the certificate was checked against
    quint16 port = 0;
    std::vector<std::string> problems; // why it is not trusted, one sentence each
    std::string subject;     // "CN=..., O=..."
    std::string issuer;
    std::string validFrom;   // "yyyy-MM-dd HH:mm:ss UTC"
    std::string validUntil;
    std::string fingerprint; // SHA-256, "AB:CD:..."
    std::string pinnedFingerprint; // the pin the certificate no longer matches; empty when none
    bool empty() const { return fingerprint.empty(); }
};

// Subject, issuer, validity and fingerprint of a certificate (host, port and problems empty).
PeerCertificateInfo describeCertificate(const QSslCertificate& certificate);
// SHA-256 fingerprint of a certificate as the program shows and pins it: upper-case hex pairs
// separated by ":".
std::string certificateFingerprint(const QSslCertificate& certificate);
// The fingerprint written any common way ("ab:cd...", "ABCD...", with blanks) in the program's
// form; empty when it is not 32 bytes of hex.
std::string normalizedFingerprint(const std::string& text);

// Winsock number for a Qt socket error. `errorString` is the socket's errorString(): Qt reports
// network unreachable, host unreachable, connect timed out and address in use all as
// NetworkError and tells them apart only by text. RemoteHostClosedError gives 10054; the socket
// itself treats it as an orderly close.
int winsockErrorForSocketError(QAbstractSocket::SocketError error, const QString& errorString);
// Winsock number for a QHostInfo::HostInfoError (0 for NoError).
int winsockErrorForLookupError(int hostInfoError);

// Longest host name a lookup accepts (DNS's limit; a trailing dot may come on top).
constexpr std::size_t kMaxHostNameLength = 253;
// The socket's write buffer never holds more than this: SendBuffer accepts only what fits, so a
// large text is handed over piece by piece as the peer takes it.
constexpr qint64 kWriteBufferLimit = 256 * 1024;
// Bytes Qt may read ahead from the kernel before the session takes them (TCP flow control then
// holds the server back).
constexpr qint64 kReadBufferLimit = 256 * 1024;
// The message that ends a session, posted by Finish and the close handler (WM_USER + 2).
constexpr int kDoneMessage = 1026;

// One outgoing TCP connection to one server.
//
// Life cycle: CreateSocket makes the socket; a host name goes through ResolveHost (countdown
// TimeoutArp) and HostResolved; Connect starts the connect (countdown TimeoutConnect). Each
// countdown runs only until the next notification (lookup answer, connect, read, write, close).
// Once connected, TimeoutIdle (when not 0) bounds the server's silence. Disconnect ends
// everything at once without raising any event; the server closing the connection raises
// OnClose (after every byte it sent was offered through OnRead) and disposes of the socket.
// A countdown or idle time running out disconnects and raises OnTimeout.
//
// Every event is a std::function called only when set, always from the event loop, never from
// inside the call that caused it, so a handler may call any operation, Disconnect included.
class TVoskSocket : public QObject {
    Q_OBJECT
public:
    explicit TVoskSocket(QObject* parent = nullptr);
    // Disconnects without events.
    ~TVoskSocket() override;
    TVoskSocket(const TVoskSocket&) = delete;
    TVoskSocket& operator=(const TVoskSocket&) = delete;

    // Brings the socket layer up: true when a QCoreApplication runs (its event loop carries
    // every notification). Nothing to load on Linux.
    bool OpenWinsock();
    // Takes the socket layer down: disconnects and clears WinsockStarted.
    void CloseWinsock();
    // Writing true runs OpenWinsock, false runs CloseWinsock.
    void SetWinsockStarted(bool started);
    bool WinsockStarted() const { return winsockStarted_; }

    // The server property: text starting with "0" to "9" is a numeric address (IPAddress takes
    // it, HostName is cleared); anything else is a host name (the other way round).
    void SetServer(const std::string& server);
    const std::string& Server() const { return server_; }
    // Dotted address of the server; empty until known for a host name.
    std::string IPAddress;
    // Host name of the server; empty for a numeric address.
    std::string HostName;

    // Makes the socket when there is none. LastError 10093 when the socket layer is not up.
    void CreateSocket();
    // Starts the lookup of `name` unless one is pending; arms TimeoutArp. Names longer than
    // kMaxHostNameLength, and empty ones, set LastError 11001 at once.
    void ResolveHost(const std::string& name);
    // Runs when a lookup answers (LastError holds its error, ResolvedAddress its address).
    // Base: raises OnResolved.
    virtual void HostResolved();
    // Puts a dotted address into the socket address; text that is no IPv4 address makes the
    // next Connect fail with 10013 ("Invalid address specified").
    void SetAddress(const std::string& text);
    // Socket address := ResolvedAddress.
    void UseResolvedAddress();
    // Port of the socket address.
    void SetPort(quint16 port);
    // The socket address as dotted text.
    std::string AddressText() const;
    // Starts connecting to the socket address; arms TimeoutConnect when no error came at once.
    // The outcome arrives as OnConnect with LastError 0 (connected) or the error. With
    // ImplicitTls the handshake runs first (bounded by TimeoutConnect too) and OnConnect
    // reports its outcome.
    void Connect();
    // STARTTLS: starts the handshake on the connected plain socket; OnEncrypted follows with
    // LastError 0 or the failure (the socket is then gone). Bytes still waiting unread are
    // plain text slipped in before the handshake: refused with kInjectedPlainText at once.
    // `pendingLineBytes` counts bytes the caller has read but not yet used.
    bool StartTls(std::size_t pendingLineBytes = 0);
    // Cancels a pending lookup, stops the countdown and closes the socket. Raises nothing.
    void Disconnect();
    // Hands at most `length` bytes to the socket, no more than fit under kWriteBufferLimit.
    // Returns the bytes taken (0 when the buffer is full: try again after the event loop ran).
    qint64 SendBuffer(const char* data, qint64 length);
    // Takes up to `length` received bytes; 0 when none are waiting.
    qint64 ReceiveBuffer(char* buffer, qint64 length);
    // This machine's host name (at most 255 characters).
    std::string LocalHostName();
    // Stops a running countdown and, when `seconds` is above 0, starts one of that many seconds.
    void ArmCountdown(int seconds);
    // Posts `message` to the own queue: OnUserMessage(message) follows from the event loop when
    // the message is above 1025 (as the session messages from kDoneMessage on).
    void PostUserMessage(int message);

    // Countdown of a lookup, seconds; 0 = none.
    int TimeoutArp = 0;
    // Countdown of a connect, seconds; 0 = none.
    int TimeoutConnect = 0;
    // Longest silence of a connected server, seconds; 0 = none. Silence means no byte arrives
    // and the server takes none of ours; our own slowness never counts.
    int TimeoutIdle = 0;
    // Winsock number of the last operation or notification; 0 = none.
    int LastError = 0;
    // First IPv4 address of the last lookup answer, host byte order.
    quint32 ResolvedAddress = 0;

    // TLS from the first byte (POP3S, SMTP submissions). Set before Connect.
    bool ImplicitTls = false;
    // A PEM file of certificate authorities trusted besides the system's; empty for none.
    std::string CaFile;
    // SHA-256 fingerprint ("AB:CD:...") of a certificate the user accepted for this server:
    // accepted when verification fails, and any other certificate then counts as changed.
    std::string PinnedFingerprint;
    // The name the certificate must carry; empty: the server property.
    std::string VerifyName;
    // The traffic is encrypted (after the handshake).
    bool Encrypted() const;
    // The protocol in use, "TLS 1.3", or empty in plain text.
    std::string EncryptionText() const;
    // The certificate a failed verification was about (kUntrustedCertificate, kChangedCertificate).
    const PeerCertificateInfo& RefusedCertificate() const { return refused_; }

    // Remaining seconds of the running countdown; 0 when none runs.
    int CountdownLeft() const { return countdownLeft_; }
    // Set by the connect notification, cleared when the socket goes.
    bool Connected() const { return connected_; }
    // A socket exists (made by CreateSocket, gone after Disconnect or a close).
    bool HasSocket() const { return socket_ != nullptr; }
    // Bytes handed to the socket and not yet taken by the system.
    qint64 PendingWriteBytes() const;

    std::function<void()> OnResolved; // a lookup answered (through HostResolved)
    std::function<void()> OnConnect;  // the connect finished; LastError tells how
    std::function<void()> OnClose;    // the server closed the connection, or it broke (LastError)
    std::function<void()> OnTimeout;  // a countdown or the idle time ran out; already disconnected
    std::function<void()> OnRead;     // received bytes are waiting
    std::function<void()> OnWrite;    // the system took bytes from the write buffer
    std::function<void()> OnEncrypted; // a STARTTLS handshake ended; LastError tells how
    std::function<void(int)> OnUserMessage; // a posted message above 1025

protected:
    // Starts the system's lookup of `name` and returns its id. The answer must come later, from
    // the event loop, through hostLookupAnswered. Tests replace it with a resolver of their own.
    virtual int startHostLookup(const QString& name);
    // Abandons the lookup `id`; its answer, should it still come, is ignored.
    virtual void cancelHostLookup(int id);
    // Delivers the answer of lookup `id`: a Winsock number and, when 0, the IPv4 address.
    void hostLookupAnswered(int id, int winsockError, quint32 address);

private:
    void tick();
    void updateTimer();
    void onConnected(int generation);
    void onEncrypted(int generation);
    void onSslErrors(int generation, const QList<QSslError>& errors);
    void handshakeFailed(int number);
    void configureTls();
    void beginHandshake();
    void onSocketError(int generation, QAbstractSocket::SocketError error);
    void onDisconnected(int generation);
    void closeNotification(int error);
    void disposeSocket();
    bool trafficPending() const;
    qint64 queuedBytes() const;

    std::string server_;
    bool winsockStarted_ = false;
    QSslSocket* socket_ = nullptr;
    bool handshaking_ = false;  // a handshake runs; its end reports through OnConnect/OnEncrypted
    bool tlsFromConnect_ = false; // that handshake is the implicit one
    PeerCertificateInfo refused_;
    int generation_ = 0;        // tells the current socket's notifications from stale ones
    bool connected_ = false;
    bool inConnectCall_ = false; // Qt may report an error from inside connectToHost
    int syncConnectError_ = 0;
    quint32 address_ = 0;       // socket address, host byte order
    bool addressValid_ = true;
    quint16 port_ = 0;
    int lookupId_ = -1;         // pending lookup; -1 when none
    QTimer timer_;              // one-second ticks for the countdown and the idle watch
    int countdownLeft_ = 0;
    QElapsedTimer lastTraffic_;
};

// What a dialog shows of a connection's encryption: "Encrypted (TLS 1.3)" or "Not encrypted".
std::string encryptionStateText(const TVoskSocket& socket);

} // namespace tavik
