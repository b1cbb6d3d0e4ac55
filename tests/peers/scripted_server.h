// A scripted loopback server for protocol tests: it sends exact bytes, asserts the exact bytes
// the client writes, step by step, and explains where a transcript went wrong.
#pragma once

#include <QObject>
#include <QTimer>
#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "peers/test_certificates.h"

class QCoreApplication;
class QTcpServer;
class QTcpSocket;

namespace tavik::test {

// The process's QCoreApplication, created on first use (tests need its event loop). Tests
// without a main of their own call it from a global test environment or their SetUp.
QCoreApplication* ensureCoreApplication();

// Bytes as readable text for failure reports: CR, LF, TAB, NUL and non-printable bytes escaped,
// cut to about `limit` bytes (with the total length named).
std::string escapeBytes(const std::string& bytes, std::size_t limit = 300);

// A server on 127.0.0.1 (a free port, listening from construction) that plays one script on the
// first connection it accepts. Steps run in order:
// - send(bytes): writes them; the next step starts once they left the server's socket, so two
//   send steps are two separate writes (the client may still read them together: put an
//   await step between them for a split the client must see);
// - expect(bytes): the next bytes the client writes must be exactly these (compared as they
//   arrive, so a mismatch is reported at its first wrong byte);
// - expectClose(): the client closes the connection without writing anything more;
// - await(condition): waits until condition() is true (tested on every event and every few ms);
// - call(action): runs a test action at this point (a cancel, a check); the script stands still
//   while it runs, so it must not wait for the server (start a session from a timer instead);
// - close(): the server closes the connection (after its writes went out);
// - stall(): from here on the server neither reads nor writes; the script counts as done.
// - startTls(certificate): the server side of a TLS handshake (STARTTLS, or implicit TLS as the
//   first step); every later send and expect goes through TLS. The step ends when the handshake
//   is done or failed (a client refusing the certificate closes: expectClose() next checks that);
//   tlsError() says why it failed. A script that has this step when the client connects gets a
//   TLS-capable connection, other scripts a plain one, as before.
// - sendPlain(bytes): writes them on the TCP connection past the TLS layer, where the client
//   expects TLS records (a server falling back to plain text after the handshake).
// The script fails on a wrong byte, on bytes after the last step, on a second connection and on
// a client closing while the script still expects bytes or still has to send. Everything runs
// on the test's thread, in the same event loop as the client under test.
class ScriptedServer : public QObject {
    Q_OBJECT
public:
    ScriptedServer();
    ~ScriptedServer() override;
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    ScriptedServer& send(std::string bytes);
    ScriptedServer& expect(std::string bytes);
    ScriptedServer& expectClose();
    ScriptedServer& await(std::function<bool()> condition, std::string what);
    ScriptedServer& call(std::function<void()> action, std::string what);
    ScriptedServer& close();
    ScriptedServer& stall();
    ScriptedServer& startTls(const TestCertificate& certificate);
    ScriptedServer& sendPlain(std::string bytes);
    // flood(piece, total): writes `piece` again and again (the last time cut) until `total` bytes
    // went out, never more than 1 MiB ahead of the client; a client closing meanwhile ends the
    // step as done, since refusing the flood is what it is for.
    ScriptedServer& flood(std::string piece, unsigned long long total);
    // Bytes the flood steps have written so far.
    unsigned long long flooded() const;

    // Where the server listens.
    quint16 port() const;
    std::string address() const { return "127.0.0.1"; }

    // Runs the event loop until the script is done or failed, at most `timeoutMs`. True when
    // every step passed; otherwise report() says why.
    bool waitDone(int timeoutMs = 10000);
    // Runs the event loop until the client has closed the connection, at most `timeoutMs`.
    bool waitClientClosed(int timeoutMs = 10000);
    bool done() const { return done_; }
    bool failed() const { return !failure_.empty(); }
    // The steps with their state, the failure, and the last bytes received.
    std::string report() const;
    // Every byte the client wrote on the scripted connection.
    const std::string& received() const { return received_; }
    bool clientConnected() const { return socket_ != nullptr; }
    bool clientClosed() const { return clientClosed_; }
    // Connections accepted (the script uses the first; any other is a failure).
    int connections() const { return connections_; }
    // Why the server's TLS handshake or connection failed; empty while none did.
    const std::string& tlsError() const { return tlsError_; }

private:
    enum class Kind { Send, Expect, ExpectClose, Await, Call, Close, Stall, Flood, StartTls, SendPlain };
    struct Step {
        Kind kind;
        std::string bytes;               // Send, Expect; Flood: the piece repeated
        std::function<bool()> condition; // Await
        std::function<void()> action;    // Call
        std::string what;
        unsigned long long total = 0;    // Flood: bytes to send
        unsigned long long sent = 0;
        TestCertificate certificate{};   // StartTls
        bool started = false;            // StartTls: the handshake was begun
    };
    ScriptedServer& add(Step step);
    void onNewConnection();
    void onReadyRead();
    void onClientClosed();
    void advance();
    void fail(const std::string& why);
    std::string describe(const Step& step) const;

    QTcpServer* server_ = nullptr;
    QTcpSocket* socket_ = nullptr;
    QTimer poll_;
    std::vector<Step> steps_;
    std::size_t current_ = 0;
    std::size_t matched_ = 0;  // bytes of the current expect step already seen
    bool sendWaiting_ = false; // the current send step's bytes are still leaving
    bool advancing_ = false;
    bool stalled_ = false;
    bool done_ = false;
    bool clientClosed_ = false;
    bool serverClosed_ = false;
    int connections_ = 0;
    std::string inbox_;     // received, not yet matched
    std::string received_;
    std::string failure_;
    std::string tlsError_;
    bool wantsTls() const;
    void beginTls(Step& step, const std::string& where);
};

// A port on 127.0.0.1 whose connects never complete: a listener that never accepts, with its
// backlog already taken, so the system drops further connection requests unanswered.
class UnansweredListener {
public:
    UnansweredListener();
    ~UnansweredListener();
    UnansweredListener(const UnansweredListener&) = delete;
    UnansweredListener& operator=(const UnansweredListener&) = delete;
    quint16 port() const { return port_; }

private:
    int fd_ = -1;
    quint16 port_ = 0;
    std::vector<QTcpSocket*> fillers_;
};

} // namespace tavik::test
