// Real servers for protocol tests, each a private instance on a free 127.0.0.1 port, started
// as a child process and stopped by its process id: Dovecot as POP3 server, aiosmtpd as SMTP
// server storing every message it accepts.
#pragma once

#include <QProcess>
#include <QtGlobal>

#include <memory>
#include <string>
#include <vector>

#include "peers/scripted_server.h"
#include "peers/test_certificates.h"

namespace tavik::test {

// A port on 127.0.0.1 that nothing listened on a moment ago.
quint16 freeLoopbackPort();

// A private Dovecot POP3 server with one passwd-file user whose Maildir holds the messages
// given. Its configuration, run and state directories, log and the mail user's home live in a
// temporary directory that goes with the object. A failed login is answered within about half a
// second and delays no later login (auth_failure_delay = 0 and no anvil penalty), so a wrong
// password followed by the right one does not stall a test.
//
// Life cycle: construct, addMessage() any number of times, start(), use port(), stop() (also
// run by the destructor). Messages added before start() are numbered 1, 2, ... in the order
// given, with the UIDs uidl(1), uidl(2), ...; a message added while the server runs is offered
// from the next login on, numbered after the others (add such messages one login at a time when
// their order matters).
class DovecotServer {
public:
    explicit DovecotServer(std::string user = "tester", std::string password = "secret");
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    // Before start(): serve TLS with this certificate (see testCertificates()): "ssl = required",
    // STLS offered on port(), implicit TLS (POP3S) on tlsPort(). Without it the server speaks
    // plain text only. Dovecot counts a client on 127.0.0.1 as secured, so USER and PASS still
    // work on port() without STLS; tlsLogins() tells a login over TLS from one in plain text.
    void useCertificate(const TestCertificate& certificate);
    // Adds one message (the bytes of a message file, LF or CR LF line ends).
    void addMessage(const std::string& bytes);
    // Adds the message in the file at `path`.
    void addMessageFile(const std::string& path);
    // Starts the server and waits, at most `timeoutMs`, until it greets on its port. False with
    // error() and log() telling why.
    bool start(int timeoutMs = 20000);
    // Stops the server (SIGTERM to its process id, then waits for it to go).
    void stop();
    bool running() const;

    std::string host() const { return "127.0.0.1"; }
    quint16 port() const { return port_; }
    // The POP3S port once started with a certificate; 0 without one.
    quint16 tlsPort() const { return tlsPort_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // The UIDL value Dovecot gives the n-th message added before start() ("000000016b1892d6").
    std::string uidl(int n) const;
    // The mail user's Maildir ("/.../Maildir/").
    std::string maildir() const;
    // Messages the Maildir holds now (in new/ and cur/), for checks after DELE.
    std::size_t messagesOnServer() const;
    // Dovecot's log and its output.
    std::string log() const;
    // Logins the log shows as made over TLS (STLS or POP3S) so far.
    int tlsLogins() const;
    // The count once it reaches `expected` (Dovecot's log process writes in its own time), or as it
    // stands after ten seconds.
    int tlsLogins(int expected) const;
    const std::string& error() const { return error_; }

private:
    void writeConfiguration();
    void writeMessageFiles();
    void placeFile(const std::string& path, const std::string& bytes);

    std::string user_, password_;
    std::string dir_;         // instance directory, ends in "/"
    std::vector<std::string> initialMessages_;
    unsigned uidValidity_ = 0;
    int addedLater_ = 0;
    unsigned mailUid_ = 0, mailGid_ = 0;
    quint16 port_ = 0;
    std::unique_ptr<QProcess> process_;
    std::string output_;
    std::string error_;
    TestCertificate certificate_; // empty: no TLS
    quint16 tlsPort_ = 0;
};

// One message the SMTP sink accepted, with its envelope.
struct SmtpMessage {
    std::string mail_from;             // the MAIL FROM address
    std::vector<std::string> rcpt_tos; // the accepted RCPT TO addresses, in order
    std::string helo;                  // the name given with HELO / EHLO
    std::string content;               // the DATA as received: CR LF line ends, dots unstuffed
    bool tls = false;                  // it came over TLS (STARTTLS or implicit TLS)
    std::string login;                 // the user signed in with AUTH; empty without
};

// A private aiosmtpd SMTP server (tests/peers/smtp_sink.py under /usr/bin/python3) that
// stores every accepted message with its envelope in a temporary directory.
//
// Life cycle: construct, optionally refuse recipients or DATA, start(), send to port(), read
// messages() or waitForMessages(), stop() (also run by the destructor).
class SmtpSink {
public:
    SmtpSink();
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    // Before start(): RCPT TO this address is answered "550 5.1.1 Mailbox unavailable".
    void rejectRecipient(const std::string& address);
    // Before start(): DATA is answered "554 5.3.0 Transaction failed".
    void rejectData();
    // Before start(): offers STARTTLS with this certificate (see testCertificates()); AUTH is
    // offered and accepted only after it. With `required`, MAIL and AUTH before it are answered
    // "530 Must issue a STARTTLS command first".
    void offerStartTls(const TestCertificate& certificate, bool required = false);
    // Before start(): TLS from the first byte on port() (implicit TLS), with this certificate.
    void useImplicitTls(const TestCertificate& certificate);
    // Before start(): AUTH PLAIN and LOGIN accept this user and password, anything else is
    // answered "535 5.7.8 Authentication credentials invalid". With `required`, MAIL before a
    // login is answered "530 5.7.0 Authentication required".
    void acceptLogin(const std::string& user, const std::string& password, bool required = false);
    // Starts the server and waits, at most `timeoutMs`, until it greets with "220".
    bool start(int timeoutMs = 20000);
    void stop();
    bool running() const;

    std::string host() const { return "127.0.0.1"; }
    quint16 port() const { return port_; }
    // Directory of the stored messages (n.content and n.json per message).
    std::string directory() const;
    // Messages accepted so far, in the order of their acceptance.
    std::vector<SmtpMessage> messages() const;
    // Runs the event loop until at least `count` messages were stored, at most `timeoutMs`.
    bool waitForMessages(std::size_t count, int timeoutMs = 10000);
    std::string log() const;
    const std::string& error() const { return error_; }

private:
    std::string dir_;
    std::vector<std::string> rejectedRecipients_;
    bool rejectData_ = false;
    quint16 port_ = 0;
    std::unique_ptr<QProcess> process_;
    std::string output_;
    std::string error_;
    TestCertificate certificate_; // empty: no TLS
    bool implicitTls_ = false;
    bool startTlsRequired_ = false;
    std::string loginUser_, loginPassword_; // no user: no login accepted
    bool loginRequired_ = false;
};

} // namespace tavik::test
