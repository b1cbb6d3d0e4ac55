// Fetches a server's certificate without signing in, so a user can see what the program would be
// asked to trust (tavikctl certificate): plain TLS from the first byte, or after the POP3 STLS or
// SMTP STARTTLS dialogue. Qt Core and Network only; runs its own event loop.
#pragma once

#include "net/vosk_socket.h"

#include <string>

namespace tavik {

enum class ProbeStartTls { None, Pop3, Smtp };

struct CertificateProbe {
    std::string host;
    quint16 port = 0;
    ProbeStartTls startTls = ProbeStartTls::None;
    std::string caFile;         // trusted besides the system's authorities; empty for none
    std::string pinnedFingerprint; // the certificate accepted for this server, if any
    int timeoutSeconds = 30;    // bounds the whole probe
};

struct CertificateProbeResult {
    // Empty when the certificate was seen; else why not, in words ("the server refused STLS: -ERR").
    std::string failure;
    PeerCertificateInfo certificate; // problems: why the system does not trust it
    std::vector<std::string> alternativeNames; // DNS and IP names the certificate covers
    std::string protocol;       // "TLS 1.3"
    bool trustedBySystem() const { return failure.empty() && certificate.problems.empty(); }
    bool trustedByPin() const
    {
        return failure.empty() && !certificate.problems.empty() && !certificate.pinnedFingerprint.empty() &&
               certificate.pinnedFingerprint == certificate.fingerprint;
    }
};

// Connects, runs the STARTTLS dialogue when asked, shakes hands verifying as the sessions do
// (TLS 1.2 or later, the host name, the system's authorities and caFile), and keeps the
// certificate even when it fails verification. Sends nothing after the handshake.
CertificateProbeResult probeCertificate(const CertificateProbe& probe);

} // namespace tavik
