#include "profile/settings.h"

#include "profile/file_util.h"
#include "profile/ini_file.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <string_view>
#include <unistd.h>

namespace tavik {

const char* const MailerName = "Tavik mail v1.1b";

namespace {

const char* const kSettingsFileName = "tavik32.ini";
const char* const kMailboxesSection = "Mailboxes";
const char* const kOptionsSection = "Options";

// Changing it makes every stored password unreadable.
const char kScrambleKey[] = "73920584617302958146";
constexpr std::size_t kScrambleKeyLength = sizeof kScrambleKey - 1;
static_assert(kScrambleKeyLength == 20);

std::string withSlash(std::string dir)
{
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

bool sameNameIgnoringCase(const std::string& a, const char* b)
{
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return i == a.size() && !b[i];
}

SettingsField textField(const char* name, const char* section, const char* key, std::string ProfileSettings::*member,
                        bool scrambled = false)
{
    return {.name = name, .section = section, .key = key, .kind = SettingsField::Kind::String, .text = member,
            .scrambled = scrambled};
}

SettingsField whenSet(SettingsField f)
{
    f.writtenWhenSet = true;
    return f;
}

SettingsField keptIn(SettingsField f, std::string ProfileSettings::*keyringServer)
{
    f.keptIn = keyringServer;
    return f;
}

SettingsField byProgram(SettingsField f)
{
    f.keptByProgram = true;
    return f;
}

SettingsField integerField(const char* name, const char* section, const char* key, int ProfileSettings::*member)
{
    return {.name = name, .section = section, .key = key, .kind = SettingsField::Kind::Integer, .integer = member};
}

SettingsField option(const char* name, bool ProfileSettings::*member)
{
    return {.name = name, .section = kOptionsSection, .key = name, .kind = SettingsField::Kind::Boolean,
            .boolean = member};
}

SettingsField option(const char* name, int ProfileSettings::*member)
{
    return integerField(name, kOptionsSection, name, member);
}

SettingsField option(const char* name, std::string ProfileSettings::*member)
{
    return textField(name, kOptionsSection, name, member);
}

bool isOption(const SettingsField& f) { return std::string_view(f.section) == kOptionsSection; }

// Keeps the field's current value (its default after a reset) when the key is absent or does
// not convert; an integer outside the field's range does not convert either.
void readField(const IniFile& ini, const SettingsField& f, ProfileSettings& s)
{
    switch (f.kind) {
    case SettingsField::Kind::String:
        if (ini.hasKey(f.section, f.key)) {
            std::string value = ini.readString(f.section, f.key);
            s.*f.text = f.scrambled ? passwordFromIniValue(value) : value;
        }
        break;
    case SettingsField::Kind::Integer: {
        long long value = ini.readInteger(f.section, f.key, s.*f.integer);
        if (value >= INT_MIN && value <= INT_MAX)
            s.*f.integer = static_cast<int>(value);
        break;
    }
    case SettingsField::Kind::Boolean:
        s.*f.boolean = ini.readBool(f.section, f.key, s.*f.boolean);
        break;
    }
}

void writeField(IniFile& ini, const SettingsField& f, const ProfileSettings& s)
{
    const bool inKeyring = f.keptIn && !(s.*f.keptIn).empty();
    if (f.writtenWhenSet && !ini.hasKey(f.section, f.key)) {
        static const ProfileSettings defaults;
        if (f.kind == SettingsField::Kind::String && (inKeyring || s.*f.text == defaults.*f.text))
            return;
        if (f.kind == SettingsField::Kind::Boolean && s.*f.boolean == defaults.*f.boolean)
            return;
    }
    switch (f.kind) {
    case SettingsField::Kind::String:
        if (inKeyring)
            ini.writeString(f.section, f.key, "");
        else
            ini.writeString(f.section, f.key, f.scrambled ? passwordToIniValue(s.*f.text) : s.*f.text);
        break;
    case SettingsField::Kind::Integer:
        ini.writeInteger(f.section, f.key, s.*f.integer);
        break;
    case SettingsField::Kind::Boolean:
        ini.writeBool(f.section, f.key, s.*f.boolean);
        break;
    }
}

// Appends "[Mailboxes]" with one line per entry. IniFile's writers merge keys that are equal
// ignoring case, but every entry must stay a line of its own (its position is its number), so
// the section is added as text and parsed back.
void appendMailboxesSection(IniFile& ini, const MailboxList& mailboxes)
{
    if (mailboxes.empty())
        return;
    std::string text = ini.serialize();
    text += '[';
    text += kMailboxesSection;
    text += "]\r\n";
    for (const auto& entry : mailboxes) {
        std::string line = entry.find('=') == std::string::npos ? entry + "=" : entry;
        // As IniFile writes values: a CR survives inside, never at an end or before an LF.
        for (std::size_t i = 0; i < line.size(); ++i)
            if (line[i] == '\n' || (line[i] == '\r' && (i == 0 || i + 1 == line.size() || line[i + 1] == '\n')))
                line[i] = ' ';
        text += line;
        text += "\r\n";
    }
    ini.parse(text);
}

// First use reports nothing: a directory or template that cannot be made is simply absent.
void initialiseProfile(const std::string& programDirectory, const std::string& profileDirectory)
{
    for (const char* dir : {"mailboxe", "attach", "address", "Temp"}) {
        try {
            makePrivateDirectories(profileDirectory + dir);
        } catch (const FileError&) {
        }
    }
    const char* const copies[][2] = {
        {"mime.def", "mime.def"}, {"signatur.tpl", "signatur.def"}, {"uidl.tpl", "uidl.lst"}};
    for (const auto& copy : copies) {
        try {
            copyFileAtomically(programDirectory + copy[0], profileDirectory + copy[1]);
        } catch (const FileError&) {
        }
    }
}

} // namespace

const MailboxList& standardMailboxEntries()
{
    static const MailboxList entries = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
    return entries;
}

const std::vector<SettingsField>& settingsFields()
{
    using P = ProfileSettings;
    static const std::vector<SettingsField> fields = {
        textField("Name", "User", "Name", &P::Name),
        textField("ID", "User", "ID", &P::ID),
        textField("RetAddr", "User", "RetAddr", &P::RetAddr),
        textField("ReplyTo", "User", "ReplyTo", &P::ReplyTo),
        textField("SmtpServer", "SMTP", "Server", &P::SmtpServer),
        integerField("SmtpPort", "SMTP", "Port", &P::SmtpPort),
        textField("Pop3Server", "POP3", "Server", &P::Pop3Server),
        integerField("Pop3Port", "POP3", "Port", &P::Pop3Port),
        keptIn(textField("Password", "POP3", "Password", &P::Password, true), &P::Pop3Keyring),
        byProgram(whenSet(textField("Pop3Keyring", "POP3", "Keyring", &P::Pop3Keyring))),
        whenSet(textField("Pop3Security", "POP3", "Security", &P::Pop3Security)),
        whenSet(textField("SmtpSecurity", "SMTP", "Security", &P::SmtpSecurity)),
        whenSet(textField("SmtpUser", "SMTP", "User", &P::SmtpUser)),
        keptIn(whenSet(textField("SmtpPassword", "SMTP", "Password", &P::SmtpPassword, true)), &P::SmtpKeyring),
        byProgram(whenSet(textField("SmtpKeyring", "SMTP", "Keyring", &P::SmtpKeyring))),
        integerField("LastMailbox", "Mailbox", "LastMailbox", &P::LastMailbox),
        integerField("LastAttachment", "Mailbox", "LastAttachment", &P::LastAttachment),
        option("AutoAddAddress", &P::AutoAddAddress),
        option("DeleteMailOnRetrieving", &P::DeleteMailOnRetrieving),
        option("FullHeaders", &P::FullHeaders),
        option("SaveSent", &P::SaveSent),
        option("UseSignature", &P::UseSignature),
        option("AutoCheckStart", &P::AutoCheckStart),
        option("AutoCheckMail", &P::AutoCheckMail),
        option("AutoCheckMinutes", &P::AutoCheckMinutes),
        option("Browser", &P::Browser),
        option("QuotedColor", &P::QuotedColor),
        option("DraftsMailBox", &P::DraftsMailBox),
        option("EmptyTrashOnExit", &P::EmptyTrashOnExit),
        option("PluggInSig", &P::PluggInSig),
        option("PluggInSigFile", &P::PluggInSigFile),
        option("LastMailPriority", &P::LastMailPriority),
        option("ReturnReceipt", &P::ReturnReceipt),
        option("MarkAsRead", &P::MarkAsRead),
        option("TimeOut", &P::TimeOut),
        whenSet(option("CaFile", &P::CaFile)),
        whenSet(option("UseKeyring", &P::UseKeyring)),
    };
    return fields;
}

ConnectionSecurity connectionSecurity(const std::string& text)
{
    if (sameNameIgnoringCase(text, "starttls"))
        return ConnectionSecurity::StartTls;
    if (sameNameIgnoringCase(text, "tls"))
        return ConnectionSecurity::Tls;
    return ConnectionSecurity::None;
}

const char* connectionSecurityText(ConnectionSecurity security)
{
    switch (security) {
    case ConnectionSecurity::StartTls: return "starttls";
    case ConnectionSecurity::Tls: return "tls";
    default: return "none";
    }
}

bool isConnectionSecurityText(const std::string& text)
{
    return sameNameIgnoringCase(text, "none") || sameNameIgnoringCase(text, "starttls") ||
           sameNameIgnoringCase(text, "tls");
}

int usualPop3Port(ConnectionSecurity security) { return security == ConnectionSecurity::Tls ? 995 : 110; }

int usualSmtpPort(ConnectionSecurity security)
{
    switch (security) {
    case ConnectionSecurity::StartTls: return 587;
    case ConnectionSecurity::Tls: return 465;
    default: return 25;
    }
}

const SettingsField* findSettingsField(const std::string& name)
{
    for (const auto& f : settingsFields())
        if (sameNameIgnoringCase(name, f.name))
            return &f;
    return nullptr;
}

std::string absoluteDirectory(const std::string& dir)
{
    std::error_code failed;
    const std::filesystem::path absolute = std::filesystem::absolute(dir.empty() ? "." : dir, failed);
    // Without a current directory there is nothing to anchor to: the name stays as given.
    return withSlash(failed ? dir : absolute.string());
}

std::string DefaultProgramDirectory()
{
    const char* home = std::getenv("TAVIK_HOME");
    if (home && *home)
        return absoluteDirectory(home);
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/')
        return withSlash(xdg) + "tavik/";
    const char* user = std::getenv("HOME");
    if (!user || !*user) {
        const passwd* pw = ::getpwuid(::getuid());
        user = pw && pw->pw_dir && *pw->pw_dir ? pw->pw_dir : ".";
    }
    return absoluteDirectory(withSlash(user) + ".local/share/tavik/");
}

std::string FindTemplateDirectory(const std::string& executableDirectory)
{
    if (executableDirectory.empty())
        return {};
    std::string dir = withSlash(executableDirectory);
    if (fileExists(dir + "signatur.tpl"))
        return dir;
    // Not normalised: "bin/.." must mean what the file system made of it when it was checked.
    std::string installed = dir + "../share/tavik/";
    if (fileExists(installed + "signatur.tpl"))
        return installed;
    return {};
}

void InstallTemplates(const std::string& templateDirectory, const std::string& programDirectory)
{
    if (templateDirectory.empty())
        return;
    std::string from = withSlash(templateDirectory);
    std::string to = withSlash(programDirectory);
    try {
        makePrivateDirectories(to);
    } catch (const FileError&) {
        return;
    }
    for (const char* name : {"signatur.tpl", "uidl.tpl", "mime.def"}) {
        if (fileExists(to + name))
            continue;
        try {
            copyFileAtomically(from + name, to + name);
        } catch (const FileError&) {
        }
    }
}

void LoadSettings(const std::string& programDirectory, const std::string& profileDirectory,
                  ProfileSettings& settings, MailboxList& mailboxes)
{
    // A user switch must not carry the previous profile's values into this one.
    settings = ProfileSettings{};
    std::string profile = withSlash(profileDirectory);
    IniFile ini(profile + kSettingsFileName);

    for (const auto& f : settingsFields())
        if (!isOption(f))
            readField(ini, f, settings);

    if (settings.LastMailbox != -1) {
        for (auto& line : ini.sectionLines(kMailboxesSection))
            mailboxes.push_back(std::move(line));
    } else {
        initialiseProfile(withSlash(programDirectory), profile);
        const auto& standard = standardMailboxEntries();
        mailboxes.insert(mailboxes.end(), standard.begin(), standard.end());
        settings.LastMailbox = 4;
        // The options are read before this first save, which would otherwise overwrite options a
        // re-initialised file already holds with their defaults.
        for (const auto& f : settingsFields())
            if (isOption(f))
                readField(ini, f, settings);
        SaveSettings(profile, settings, mailboxes);
        return;
    }

    for (const auto& f : settingsFields())
        if (isOption(f))
            readField(ini, f, settings);
}

// The profile directory is not created here: saving into a directory that has gone is an error
// the user must see, not a reason to start an empty profile.
void SaveSettings(const std::string& profileDirectory, const ProfileSettings& settings, const MailboxList& mailboxes)
{
    IniFile ini(withSlash(profileDirectory) + kSettingsFileName);
    for (const auto& f : settingsFields())
        if (!isOption(f))
            writeField(ini, f, settings);
    ini.eraseSection(kMailboxesSection);
    appendMailboxesSection(ini, mailboxes);
    for (const auto& f : settingsFields())
        if (isOption(f))
            writeField(ini, f, settings);
    ini.save();
}

std::string ScramblePassword(const std::string& plain)
{
    std::string out = plain;
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(static_cast<unsigned char>(out[i]) +
                                   static_cast<unsigned char>(kScrambleKey[i % kScrambleKeyLength]));
    return out;
}

std::string UnscramblePassword(const std::string& scrambled)
{
    std::string out = scrambled;
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(static_cast<unsigned char>(out[i]) -
                                   static_cast<unsigned char>(kScrambleKey[i % kScrambleKeyLength]));
    return out;
}

const char* const kHexPasswordMarker = "!x:";

std::string passwordToIniValue(const std::string& plain)
{
    std::string scrambled = ScramblePassword(plain);
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    bool carried = scrambled.find_first_of(std::string("\r\n\0", 3)) == std::string::npos &&
                   (scrambled.empty() || (!blank(scrambled.front()) && !blank(scrambled.back()))) &&
                   scrambled.rfind(kHexPasswordMarker, 0) != 0;
    if (carried)
        return scrambled;
    static const char* const digits = "0123456789ABCDEF";
    std::string hex = kHexPasswordMarker;
    for (unsigned char c : scrambled) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    return hex;
}

std::string passwordFromIniValue(const std::string& value)
{
    const std::size_t m = std::string(kHexPasswordMarker).size();
    if (value.rfind(kHexPasswordMarker, 0) != 0 || (value.size() - m) % 2 != 0)
        return UnscramblePassword(value);
    auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string scrambled;
    for (std::size_t i = m; i < value.size(); i += 2) {
        int hi = nibble(value[i]), lo = nibble(value[i + 1]);
        if (hi < 0 || lo < 0)
            return UnscramblePassword(value);
        scrambled.push_back(static_cast<char>(hi * 16 + lo));
    }
    return UnscramblePassword(scrambled);
}

void SplitAddress(const std::string& text, std::string& address, std::string& name)
{
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    auto trimmed = [&](std::string s) {
        std::size_t b = 0, e = s.size();
        while (b < e && isBlank(s[b]))
            ++b;
        while (e > b && isBlank(s[e - 1]))
            --e;
        return s.substr(b, e - b);
    };
    auto unquoted = [](std::string s) {
        if (!s.empty() && s.front() == '"')
            s.erase(0, 1);
        if (!s.empty() && s.back() == '"')
            s.pop_back();
        return s;
    };
    // Strictly between the first `open` and the first `close`: empty when `close` is missing or
    // comes first.
    auto between = [&](std::size_t open, char close) {
        std::size_t end = text.find(close);
        return end == std::string::npos || end <= open ? std::string() : text.substr(open + 1, end - open - 1);
    };

    if (std::size_t lt = text.find('<'); lt != std::string::npos) {
        address = between(lt, '>');
        name = unquoted(trimmed(text.substr(0, lt)));
    } else if (std::size_t paren = text.find('('); paren != std::string::npos) {
        name = unquoted(between(paren, ')'));
        address = trimmed(text.substr(0, paren));
    } else {
        address = text;
        name.clear();
    }
}

} // namespace tavik
