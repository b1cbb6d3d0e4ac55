#include "profile/certificate_pins.h"

#include <algorithm>
#include <cctype>

#include "profile/file_util.h"
#include "profile/ini_file.h"

namespace tavik {

namespace {

const char* const kSection = "Pinned";

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

std::string pinServerName(const std::string& host, int port)
{
    return lowerCase(host) + ":" + std::to_string(port);
}

CertificatePins::CertificatePins(std::string profileDirectory) : path_(std::move(profileDirectory) + kCertificatePinsFile)
{
}

std::optional<std::string> CertificatePins::find(const std::string& server) const
{
    IniFile ini(path_);
    if (!ini.hasKey(kSection, lowerCase(server)))
        return std::nullopt;
    return ini.readString(kSection, lowerCase(server));
}

void CertificatePins::pin(const std::string& server, const std::string& fingerprint)
{
    IniFile ini(path_);
    ini.writeString(kSection, lowerCase(server), fingerprint);
    ini.save();
}

bool CertificatePins::remove(const std::string& server)
{
    IniFile ini(path_);
    if (!ini.hasKey(kSection, lowerCase(server)))
        return false;
    ini.eraseKey(kSection, lowerCase(server));
    ini.save();
    return true;
}

std::vector<CertificatePin> CertificatePins::list() const
{
    IniFile ini(path_);
    std::vector<CertificatePin> out;
    for (const std::string& key : ini.sectionKeys(kSection))
        out.push_back({key, ini.readString(kSection, key)});
    return out;
}

bool acceptJudgedCertificate(CertificateChoice choice, const std::string& profileDirectory,
                             const std::string& server, const std::string& fingerprint,
                             const std::function<void(const std::string&)>& pinFailed)
{
    if (choice != CertificateChoice::AcceptOnce && choice != CertificateChoice::AcceptPermanently)
        return false;
    if (choice == CertificateChoice::AcceptPermanently && !profileDirectory.empty()) {
        std::string directory = profileDirectory;
        if (directory.back() != '/')
            directory += '/';
        try {
            CertificatePins(directory).pin(server, fingerprint);
        } catch (const FileError& e) {
            if (pinFailed)
                pinFailed(e.what());
        }
    }
    return true;
}

} // namespace tavik
