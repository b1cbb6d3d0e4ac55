#include "net/password_keeping.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace tavik {

namespace {

const PasswordService kServices[] = {PasswordService::Pop3, PasswordService::Smtp};

const std::string& passwordOf(const ProfileSettings& s, PasswordService service)
{
    return service == PasswordService::Pop3 ? s.Password : s.SmtpPassword;
}

const std::string& keyringServerOf(const ProfileSettings& s, PasswordService service)
{
    return service == PasswordService::Pop3 ? s.Pop3Keyring : s.SmtpKeyring;
}

} // namespace

const char* passwordServiceName(PasswordService service)
{
    return service == PasswordService::Pop3 ? "POP3" : "SMTP";
}

std::string& passwordOf(ProfileSettings& s, PasswordService service)
{
    return service == PasswordService::Pop3 ? s.Password : s.SmtpPassword;
}

std::string& keyringServerOf(ProfileSettings& s, PasswordService service)
{
    return service == PasswordService::Pop3 ? s.Pop3Keyring : s.SmtpKeyring;
}

const std::string& serverOf(const ProfileSettings& s, PasswordService service)
{
    return service == PasswordService::Pop3 ? s.Pop3Server : s.SmtpServer;
}

PasswordKeeper::PasswordKeeper(Keyring* keyring, std::string programDirectory, std::string user)
    : keyring_(keyring), programDirectory_(std::move(programDirectory)), user_(std::move(user))
{
}

std::string PasswordKeeper::keyOf(PasswordService service, const std::string& server) const
{
    return keyringKey(programDirectory_, user_, service == PasswordService::Pop3 ? "pop3" : "smtp", server);
}

std::vector<PasswordTrouble> PasswordKeeper::fetch(ProfileSettings& settings)
{
    std::vector<PasswordTrouble> troubles;
    for (PasswordService service : kServices) {
        const std::string& server = keyringServerOf(settings, service);
        if (server.empty())
            continue;
        KeyringAnswer answer;
        if (keyring_)
            answer = keyring_->read(keyOf(service, server));
        else
            answer.status = KeyringStatus::NoKeyring;
        // An empty entry is no password: it is asked for as one that cannot be read.
        if (answer.status == KeyringStatus::Ok && !answer.secret.empty()) {
            passwordOf(settings, service) = answer.secret;
            continue;
        }
        if (answer.status == KeyringStatus::Ok)
            answer.status = KeyringStatus::NotFound;
        passwordOf(settings, service).clear();
        troubles.push_back({service, answer.status, server, answer.detail});
    }
    return troubles;
}

PasswordPlacement PasswordKeeper::place(const ProfileSettings& before, ProfileSettings& settings)
{
    PasswordPlacement placement;
    for (PasswordService service : kServices) {
        const std::string& password = passwordOf(settings, service);
        std::string& kept = keyringServerOf(settings, service);
        const std::string oldKept = kept;
        const std::string& server = serverOf(settings, service);
        if (password.empty()) {
            // Unknown stays unknown; a known password cleared leaves the keyring too.
            if (!kept.empty() && !passwordOf(before, service).empty()) {
                placement.staleKeys.push_back(keyOf(service, kept));
                kept.clear();
            }
        } else if (!keyring_ || !settings.UseKeyring || server.empty()) {
            // Out of the keyring: the file takes the password before the entry goes.
            if (!kept.empty()) {
                if (keyring_)
                    placement.staleKeys.push_back(keyOf(service, kept));
                kept.clear();
            }
        } else if (kept != server || password != passwordOf(before, service)) {
            const std::string key = keyOf(service, server);
            KeyringAnswer answer = keyring_->write(key, password);
            if (answer.status == KeyringStatus::Ok) {
                // What the keyring says it holds, not what it was given, decides.
                KeyringAnswer check = keyring_->read(key);
                if (check.status != KeyringStatus::Ok || check.secret != password)
                    answer = check.status == KeyringStatus::Ok
                                 ? KeyringAnswer{KeyringStatus::Failed, {}, "The keyring gave back another password."}
                                 : check;
            }
            if (answer.status == KeyringStatus::Ok) {
                if (!kept.empty() && kept != server)
                    placement.staleKeys.push_back(keyOf(service, kept));
                kept = server;
            } else {
                // The file keeps (or takes back) the password; an entry left behind is only stale.
                kept.clear();
                // A keyring that is simply absent is the usual case, not a trouble.
                if (answer.status != KeyringStatus::NoKeyring)
                    placement.troubles.push_back({service, answer.status, server, answer.detail});
            }
        }
        if (kept != oldKept)
            placement.changed = true;
    }
    return placement;
}

std::vector<PasswordTrouble> PasswordKeeper::finish(const PasswordPlacement& placement)
{
    std::vector<PasswordTrouble> troubles;
    if (!keyring_)
        return troubles;
    for (const std::string& key : placement.staleKeys) {
        KeyringAnswer answer = keyring_->remove(key);
        if (answer.status != KeyringStatus::Ok && answer.status != KeyringStatus::NotFound)
            troubles.push_back({PasswordService::Pop3, answer.status, {}, answer.detail});
    }
    return troubles;
}

bool PasswordKeeper::keepTyped(PasswordService service, const std::string& password, ProfileSettings& settings,
                               PasswordTrouble* trouble)
{
    passwordOf(settings, service) = password;
    std::string& kept = keyringServerOf(settings, service);
    const std::string& server = serverOf(settings, service);
    if (!keyring_ || password.empty() || server.empty())
        return false;
    const std::string key = keyOf(service, server);
    KeyringAnswer answer = keyring_->write(key, password);
    if (answer.status == KeyringStatus::Ok) {
        KeyringAnswer check = keyring_->read(key);
        if (check.status == KeyringStatus::Ok && check.secret == password) {
            if (kept != server && !kept.empty())
                keyring_->remove(keyOf(service, kept));
            kept = server;
            return true;
        }
        answer = check;
    }
    if (trouble)
        *trouble = {service, answer.status, server, answer.detail};
    return false;
}

std::vector<PasswordTrouble> saveSettingsKeepingPasswords(PasswordKeeper* keeper, const std::string& profileDirectory,
                                                          const ProfileSettings& before, ProfileSettings& settings,
                                                          const MailboxList& mailboxes)
{
    if (!keeper) {
        SaveSettings(profileDirectory, settings, mailboxes);
        return {};
    }
    PasswordPlacement placement = keeper->place(before, settings);
    SaveSettings(profileDirectory, settings, mailboxes);
    std::vector<PasswordTrouble> troubles = std::move(placement.troubles);
    for (PasswordTrouble& t : keeper->finish(placement))
        troubles.push_back(std::move(t));
    return troubles;
}

std::string passwordTroubleText(const PasswordTrouble& trouble)
{
    std::string text;
    switch (trouble.status) {
    case KeyringStatus::Locked: text = "the desktop's keyring is locked"; break;
    case KeyringStatus::NoKeyring: text = "the desktop's keyring is not available"; break;
    case KeyringStatus::NotFound: text = "the desktop's keyring no longer holds it"; break;
    default: text = "the desktop's keyring failed"; break;
    }
    // The bus's words on a missing service say nothing more to a user.
    if (!trouble.detail.empty() && trouble.status != KeyringStatus::NotFound && trouble.status != KeyringStatus::NoKeyring)
        text += " (" + trouble.detail + ")";
    return text;
}

std::unique_ptr<Keyring> desktopKeyring()
{
    const char* choice = std::getenv("TAVIK_KEYRING");
    if (choice && std::strcmp(choice, "none") == 0)
        return nullptr;
    return std::make_unique<SecretServiceKeyring>();
}

} // namespace tavik
