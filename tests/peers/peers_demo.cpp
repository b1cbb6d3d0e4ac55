// Starts the test peers for trying the program by hand: a Dovecot with a self-signed certificate
// (POP3S and STLS) holding a few messages, and an aiosmtpd requiring STARTTLS and AUTH. Prints
// their ports, user, password and the certificate's fingerprint, and runs until stdin closes.
//
//   peers_demo [MESSAGE FILE...]
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

#include "peers/peer_fixtures.h"
#include "peers/test_certificates.h"

using namespace tavik::test;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    DovecotServer pop3;
    pop3.useCertificate(testCertificates().selfSigned);
    if (argc > 1)
        for (int i = 1; i < argc; ++i)
            pop3.addMessageFile(argv[i]);
    else
        pop3.addMessage("From: Ann Example <ann@example.org>\nTo: you@example.org\nSubject: Hello over TLS\n"
                        "Date: Wed, 09 Dec 2026 10:00:00 +0000\n\nThis message came over POP3S.\n");
    SmtpSink smtp;
    smtp.offerStartTls(testCertificates().selfSigned, true);
    smtp.acceptLogin("sam", "smtp-secret", true);
    if (!pop3.start() || !smtp.start()) {
        std::fprintf(stderr, "the peers did not start: %s %s\n", pop3.error().c_str(), smtp.error().c_str());
        return 1;
    }
    std::printf("POP3 127.0.0.1: STLS on %u, POP3S on %u, user %s, password %s\n", pop3.port(), pop3.tlsPort(),
                pop3.user().c_str(), pop3.password().c_str());
    std::printf("SMTP 127.0.0.1: STARTTLS and AUTH required on %u, user sam, password smtp-secret; mail in %s\n",
                smtp.port(), smtp.directory().c_str());
    std::printf("certificate (self-signed) SHA-256 %s\n", testCertificates().selfSigned.fingerprint.c_str());
    std::fflush(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            app.quit();
    });
    return app.exec();
}
