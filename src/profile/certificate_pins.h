// Certificates the user accepted although the system does not trust them: one pin per server
// (host and port) to the SHA-256 fingerprint of the certificate accepted, in the profile's
// "certificates.ini" (section "Pinned", key "host:port", value "AB:CD:..."). Written whole and
// atomically; private like every profile file.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavik {

// File name of the pins in the profile directory.
inline constexpr const char* kCertificatePinsFile = "certificates.ini";

// What the user decided about a certificate the system does not trust (or whose pin changed).
enum class CertificateChoice {
    NotAsked,         // nobody could be asked (tavikctl, a check run by the timer): the error stands
    Cancel,           // the connection stays closed
    AcceptOnce,       // connect again, accepting this certificate for this session only
    AcceptPermanently // pin it for the server, then connect again
};

// One accepted certificate.
struct CertificatePin {
    std::string server;      // "host:port", host in lower case
    std::string fingerprint; // "AB:CD:..." (32 pairs)
};

// "host:port" as pins name a server: host in lower case.
std::string pinServerName(const std::string& host, int port);

// The pins of one profile. Every call reads or writes the file; FileError when it cannot.
class CertificatePins {
public:
    explicit CertificatePins(std::string profileDirectory);
    // The fingerprint pinned for `server` ("host:port"), nullopt when none.
    std::optional<std::string> find(const std::string& server) const;
    // Pins `fingerprint` for `server`, replacing an earlier pin.
    void pin(const std::string& server, const std::string& fingerprint);
    // Drops the pin of `server`; false when there was none.
    bool remove(const std::string& server);
    // Every pin, in file order.
    std::vector<CertificatePin> list() const;

private:
    std::string path_;
};

// Carries out the user's choice about a refused certificate: true when the session is to connect
// again accepting it. AcceptPermanently pins it first (not without a profile directory); a pin
// that cannot be written goes to `pinFailed` and the certificate is accepted this time all the same.
bool acceptJudgedCertificate(CertificateChoice choice, const std::string& profileDirectory,
                             const std::string& server, const std::string& fingerprint,
                             const std::function<void(const std::string&)>& pinFailed);

} // namespace tavik
