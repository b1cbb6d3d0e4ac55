// Passwords kept in the desktop's keyring: the Secret Service that GNOME Keyring and KWallet
// offer on the session bus. The keyring is asked through QtKeychain, never with a fallback to a
// file of its own, so a password is either in the keyring or where the profile keeps it.
#pragma once

#include <string>

namespace tavik {

enum class KeyringStatus {
    Ok,
    NotFound,  // the keyring holds no entry under the key
    NoKeyring, // the desktop offers no Secret Service
    Locked,    // the keyring is locked, or the user refused to open it
    Failed,    // anything else; detail says what
};

struct KeyringAnswer {
    KeyringStatus status = KeyringStatus::Failed;
    std::string secret; // read: the password, UTF-8
    std::string detail; // the keyring's own words, for a message
};

class Keyring {
public:
    virtual ~Keyring() = default;
    virtual KeyringAnswer read(const std::string& key) = 0;
    virtual KeyringAnswer write(const std::string& key, const std::string& secret) = 0;
    // Ok also when there was nothing to remove.
    virtual KeyringAnswer remove(const std::string& key) = 0;
};

// The entry's key: the program directory, the user and the server, so that two profiles (or two
// installations) never share or overwrite an entry. `service` is "pop3" or "smtp".
std::string keyringKey(const std::string& programDirectory, const std::string& user, const std::string& service,
                       const std::string& server);

// The desktop's Secret Service. Each call waits for the keyring's answer, running an event loop
// (a QCoreApplication must exist), at most `timeoutMs`: a keyring that asks the user to unlock it
// waits for the user.
class SecretServiceKeyring : public Keyring {
public:
    explicit SecretServiceKeyring(int timeoutMs = 120000) : timeoutMs_(timeoutMs) {}
    KeyringAnswer read(const std::string& key) override;
    KeyringAnswer write(const std::string& key, const std::string& secret) override;
    KeyringAnswer remove(const std::string& key) override;

private:
    int timeoutMs_;
};

} // namespace tavik
