// Certificates for the TLS peers, made with the openssl command the first time a test asks for
// them and shared by every test of the process: a private CA that no system store knows, a
// server certificate it signed, and the certificates a user has to judge (self-signed, expired,
// made out for another host).
#pragma once

#include <string>

namespace tavik::test {

// One certificate with its private key as PEM files, and its SHA-256 fingerprint the way the
// program shows it: upper-case hex pairs joined by ":" (what `openssl x509 -fingerprint -sha256`
// prints after its "=").
struct TestCertificate {
    std::string certificate; // PEM file of the certificate
    std::string key;         // PEM file of its private key, unencrypted
    std::string fingerprint;
};

// The certificates of this process, all but `ca` made out for IP 127.0.0.1 and DNS localhost
// unless said otherwise. The files live in one temporary directory (world-readable, so the
// servers' own users read them) that is removed when the process ends.
struct TestCertificates {
    std::string directory;          // ends in "/"
    TestCertificate ca;             // the private CA: give ca.certificate to a client as its CA file
    TestCertificate server;         // signed by the CA, valid now: the trusted case
    TestCertificate selfSigned;     // signed by itself
    TestCertificate otherSelfSigned; // a second self-signed one: a pinned certificate that changed
    TestCertificate expired;        // signed by the CA, valid only during 2020
    TestCertificate wrongHost;      // signed by the CA, valid now, for another.example only (CN and SAN)
};

// Makes the certificates on first use and returns them; throws std::runtime_error naming the
// openssl step that failed, with its output.
const TestCertificates& testCertificates();

} // namespace tavik::test
