// The settings record of one profile, where profiles lie, and the small shared routines of the
// same unit: password scrambling, address splitting and the mailer name.
#pragma once

#include <string>
#include <vector>

namespace tavik {

// Value of the "X-Mailer: " header and the program's long title.
extern const char* const MailerName;

// The ordered mailbox entries "key=display name"; position + 1 is the mailbox number.
using MailboxList = std::vector<std::string>;

// The five entries every profile starts with, in order.
const MailboxList& standardMailboxEntries();

// Settings of the current profile, as kept in "tavik32.ini". Every field starts at the default
// the file format gives for an absent key.
struct ProfileSettings {
    // Account group.
    std::string Name;          // User / Name
    std::string ID;            // User / ID (POP3 user name)
    std::string Password;      // POP3 / Password, plain in memory, scrambled in the file
    std::string SmtpServer;    // SMTP / Server
    std::string Pop3Server;    // POP3 / Server
    std::string RetAddr;       // User / RetAddr
    std::string ReplyTo;       // User / ReplyTo
    int SmtpPort = 25;         // SMTP / Port
    int Pop3Port = 110;        // POP3 / Port
    std::string Pop3Security = "none"; // POP3 / Security: "none", "starttls" or "tls"
    std::string SmtpSecurity = "none"; // SMTP / Security
    std::string SmtpUser;      // SMTP / User: sign in (AUTH) when set
    std::string SmtpPassword;  // SMTP / Password, scrambled in the file as the POP3 one
    // POP3 / Keyring, SMTP / Keyring: the server under whose name the desktop's keyring keeps the
    // password; empty when the password is in this file. A password kept there is never written
    // here, and while it cannot be read from the keyring it is empty in memory.
    std::string Pop3Keyring;
    std::string SmtpKeyring;
    int LastMailbox = -1;      // Mailbox / LastMailbox: -1 marks a profile not yet initialised
    int LastAttachment = 0;    // Mailbox / LastAttachment

    // Options group (section "Options", keys named as the fields).
    bool AutoAddAddress = true;
    bool DeleteMailOnRetrieving = false;
    bool FullHeaders = false;
    bool SaveSent = true;
    bool UseSignature = false;
    bool AutoCheckMail = false;
    bool AutoCheckStart = false;
    int AutoCheckMinutes = 30;
    std::string Browser;
    int QuotedColor = 0;
    std::string DraftsMailBox = "Drafts";
    bool EmptyTrashOnExit = false;
    bool PluggInSig = false;
    std::string PluggInSigFile;
    bool LastMailPriority = false;
    bool ReturnReceipt = false;
    bool MarkAsRead = false;
    int TimeOut = 30;
    std::string CaFile;        // certificate authorities trusted besides the system's (PEM)
    bool UseKeyring = true;    // keep the passwords in the desktop's keyring where there is one
};

// How a connection to a server is secured.
enum class ConnectionSecurity {
    None,     // plain text throughout
    StartTls, // plain greeting, then STLS / STARTTLS before anything else
    Tls       // TLS from the first byte (POP3S, submissions)
};

// "none", "starttls", "tls" (any letter case; an absent or unknown value counts as none, so old
// profiles keep working).
ConnectionSecurity connectionSecurity(const std::string& text);
const char* connectionSecurityText(ConnectionSecurity security);
// True for the three words a Security key may hold.
bool isConnectionSecurityText(const std::string& text);
// The usual port of a protocol under a security: POP3 110/110/995, SMTP 25/587/465.
int usualPop3Port(ConnectionSecurity security);
int usualSmtpPort(ConnectionSecurity security);

// One field of ProfileSettings, described for generic code (tavikctl's settings and set).
struct SettingsField {
    enum class Kind { String, Integer, Boolean };
    const char* name;     // the field's name in ProfileSettings ("SmtpServer")
    const char* section;  // section in "tavik32.ini" ("SMTP")
    const char* key;      // key in that section ("Server"); equal to name in "Options"
    Kind kind;
    std::string ProfileSettings::*text = nullptr;
    int ProfileSettings::*integer = nullptr;
    bool ProfileSettings::*boolean = nullptr;
    bool scrambled = false; // stored with ScramblePassword
    // A password: the field naming the server its keyring entry lies under. While that is set,
    // the file holds no password.
    std::string ProfileSettings::*keptIn = nullptr;
    // Kept by the program (where a password lies), not set by hand.
    bool keptByProgram = false;
    // Written only once set (or once in the file): profiles that never use the field keep their
    // file as it was. The secure-connection settings are such fields.
    bool writtenWhenSet = false;
};

// Whether the password of a Keyring field is unknown: kept in the keyring, not read from it.
inline bool passwordUnknown(const std::string& password, const std::string& keyringServer)
{
    return password.empty() && !keyringServer.empty();
}

// Every field, in the order SaveSettings writes them.
const std::vector<SettingsField>& settingsFields();
// The field named `name` (ignoring letter case), or nullptr.
const SettingsField* findSettingsField(const std::string& name);

// The program's data directory: $TAVIK_HOME, else $XDG_DATA_HOME/tavik/, else
// ~/.local/share/tavik/. Always absolute and ending in "/".
std::string DefaultProgramDirectory();

// `dir` as an absolute path ending in "/", a relative one taken from the current directory. The
// program directory is made absolute as soon as it is known: opening a profile changes the
// current directory, and paths stored from it (attachment locations) must open from anywhere.
std::string absoluteDirectory(const std::string& dir);

// Where the shipped templates lie for an executable in `executableDirectory`: that directory in
// the build tree, ../share/tavik/ when installed. Empty when neither holds them.
std::string FindTemplateDirectory(const std::string& executableDirectory);

// Copies each shipped template (signatur.tpl, uidl.tpl, mime.def) missing from the program
// directory into it. Failures are ignored: a missing template leaves its target absent.
void InstallTemplates(const std::string& templateDirectory, const std::string& programDirectory);

// Reads profileDirectory + "tavik32.ini" into `settings` (reset to the defaults first) and appends
// the "Mailboxes" lines to `mailboxes` (the caller clears it). A new profile (LastMailbox -1) is
// initialised: directories, template copies from programDirectory, the five standard entries,
// LastMailbox 4, and a first SaveSettings. Throws FileError when the file cannot be written.
void LoadSettings(const std::string& programDirectory, const std::string& profileDirectory,
                  ProfileSettings& settings, MailboxList& mailboxes);

// Writes every field and the whole mailbox list to profileDirectory + "tavik32.ini", keeping lines
// it does not own, and replaces the file once, atomically. Throws FileError.
void SaveSettings(const std::string& profileDirectory, const ProfileSettings& settings, const MailboxList& mailboxes);

// The reversible password transformation of "tavik32.ini" and "Login.ini".
std::string ScramblePassword(const std::string& plain);
std::string UnscramblePassword(const std::string& scrambled);

// A password as an ini value and back: the scrambled form, except where that form holds bytes an
// ini line cannot carry (CR, LF, NUL, blanks at either end, which readers trim); those are written
// as kHexPasswordMarker + hexadecimal, so every password survives a save.
extern const char* const kHexPasswordMarker;
std::string passwordToIniValue(const std::string& plain);
std::string passwordFromIniValue(const std::string& value);

// Splits an address line ("Name <addr>", "addr (Name)" or a bare address) into address and name.
void SplitAddress(const std::string& text, std::string& address, std::string& name);

} // namespace tavik
