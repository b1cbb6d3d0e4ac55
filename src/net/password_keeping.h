// Where a profile's POP3 and SMTP passwords lie: in the desktop's keyring when there is one and the
// profile wants it, else scrambled in "tavik32.ini". The settings record says which (the Keyring
// fields); this unit moves passwords between the two so that none is ever lost on the way: an
// entry is written and read back before the file drops its copy, and the file takes a password
// back before the entry is removed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/keyring.h"
#include "profile/settings.h"

namespace tavik {

enum class PasswordService { Pop3, Smtp };

// A password the keyring would not give or take.
struct PasswordTrouble {
    PasswordService service = PasswordService::Pop3;
    KeyringStatus status = KeyringStatus::Failed;
    std::string server; // the server the entry lies under
    std::string detail; // the keyring's own words
};

// The placement of one save: entries to remove once the file holds what they held.
struct PasswordPlacement {
    bool changed = false; // the Keyring fields changed: the file must be saved
    std::vector<std::string> staleKeys;
    std::vector<PasswordTrouble> troubles;
};

class PasswordKeeper {
public:
    // No keyring (nullptr): passwords stay in the file, and one kept in a keyring is unknown.
    PasswordKeeper(Keyring* keyring, std::string programDirectory, std::string user);

    bool hasKeyring() const { return keyring_ != nullptr; }

    // Right after LoadSettings: reads every password the keyring keeps. One that cannot be read
    // stays empty (unknown) and is reported.
    std::vector<PasswordTrouble> fetch(ProfileSettings& settings);

    // Before a save of `settings` (the profile held `before` until now): each known password
    // goes where UseKeyring asks, moved in or out, or rewritten when it or its server changed.
    // A password that cannot go into the keyring stays in (or returns to) the file.
    PasswordPlacement place(const ProfileSettings& before, ProfileSettings& settings);

    // After the save: removes the entries the file no longer points at. Failures are reported.
    std::vector<PasswordTrouble> finish(const PasswordPlacement& placement);

    // A password typed in for an unknown one: into the keyring if it takes it, else only in
    // memory for this session (the entry that could not be read may still be right). True when
    // the keyring took it (the file must then be saved if the server changed).
    bool keepTyped(PasswordService service, const std::string& password, ProfileSettings& settings,
                   PasswordTrouble* trouble = nullptr);

    std::string keyOf(PasswordService service, const std::string& server) const;

private:
    Keyring* keyring_;
    std::string programDirectory_;
    std::string user_;
};

// place + SaveSettings + finish. Throws FileError from the save; keyring troubles are returned.
std::vector<PasswordTrouble> saveSettingsKeepingPasswords(PasswordKeeper* keeper, const std::string& profileDirectory,
                                                          const ProfileSettings& before, ProfileSettings& settings,
                                                          const MailboxList& mailboxes);

// "POP3" or "SMTP".
const char* passwordServiceName(PasswordService service);

// The settings fields of a service's password and its keyring server.
std::string& passwordOf(ProfileSettings& settings, PasswordService service);
std::string& keyringServerOf(ProfileSettings& settings, PasswordService service);
const std::string& serverOf(const ProfileSettings& settings, PasswordService service);

// A sentence on why a password kept in the keyring is not known now, for messages:
// "the desktop's keyring is locked", ...
std::string passwordTroubleText(const PasswordTrouble& trouble);

// The desktop's keyring for the program and tavikctl: nullptr when $TAVIK_KEYRING is "none"
// (tests and installations that want no keyring asked at all).
std::unique_ptr<Keyring> desktopKeyring();

} // namespace tavik
