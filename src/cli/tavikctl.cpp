#include "cli/tavikctl.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include <QCoreApplication>
#include <QEventLoop>

#include "cli/json_output.h"
#include "text/unicode_text.h"
#include "pop3/attachment_store.h"
#include "pop3/check_mail.h"
#include "smtp/outbox.h"
#include "smtp/stored_copy.h"
#include "view/mime_manager.h"
#include "net/certificate_probe.h"
#include "net/password_keeping.h"
#include "net/vosk_socket.h"
#include "profile/certificate_pins.h"
#include "profile/file_util.h"
#include "profile/ini_file.h"
#include "profile/profile_lock.h"
#include "profile/settings.h"
#include "profile/user_registry.h"
#include "store/mail_search.h"
#include "store/mailbox_list_model.h"
#include "store/mailbox_store.h"

namespace tavik {

QCoreApplication& coreApplication();

namespace {

const char* const kUsage =
    "Usage: tavikctl [--home DIR] COMMAND [ARGUMENTS]\n"
    "\n"
    "Inspects and maintains a Tavik mail profile.\n"
    "\n"
    "Options:\n"
    "  --home DIR         the program directory (default: $TAVIK_HOME, else ~/.local/share/tavik)\n"
    "  --user LOGIN       the user whose profile to use (default: the default user); a password\n"
    "                     is read from $TAVIK_PASSWORD or asked for on the terminal\n"
    "  -h, --help         show this help\n"
    "  --format FORMAT    after mailboxes, list, show, search or settings: \"table\" (the\n"
    "                     default, for people; long fields are cut) or \"json\" (for scripts)\n"
    "\n"
    "Commands:\n"
    "  mailboxes          list the mailboxes: number, key, name, messages, size, trash\n"
    "  list N             list the messages of mailbox N: number, flag, from, subject, date,\n"
    "                     size, attachment range\n"
    "  show [--raw] N M   print message M of mailbox N; --raw writes the stored bytes unchanged\n"
    "                     (every line ended by CR LF, without the terminating NUL)\n"
    "  search TEXT [--mailbox N]\n"
    "                     find the messages holding TEXT in their headers or body, in every\n"
    "                     mailbox or only in mailbox N (--mailbox may be given more than\n"
    "                     once), without regard to case or accents: \"resume\" also finds the\n"
    "                     word with accents; prints one line per message found: mailbox\n"
    "                     number, message number, from, subject; exits 1 when none is found\n"
    "  compress [N]       compress mailbox N, or every mailbox holding trash\n"
    "  repair N           mend the index of mailbox N: a damaged message is linked again to its\n"
    "                     text, or dropped and named; intact messages stay as they are\n"
    "  empty-trash        empty the Trash mailbox\n"
    "  trust HOST:PORT SHA256\n"
    "                     accept the certificate with this SHA-256 fingerprint for that server,\n"
    "                     although the system does not trust it\n"
    "  trust --list       list the accepted certificates\n"
    "  certificate HOST:PORT [--starttls pop3|smtp]\n"
    "                     show the server's certificate with its fingerprint, and whether and\n"
    "                     why Tavik mail trusts it; --starttls asks for TLS on a plain port first\n"
    "  trust --remove HOST:PORT\n"
    "                     forget the certificate accepted for that server\n"
    "  settings           print every setting of the profile\n"
    "  check              check for new mail: file it into New Mail as the program does\n"
    "  send-queued        send every message waiting in To Send and file each one sent in Sent;\n"
    "                     stops at the first message that cannot be sent\n"
    "  queue --to ADDR [--cc ADDR] [--bcc ADDR] --subject TEXT --body-file FILE [--attach FILE ...]\n"
    "                     file a message in To Send as \"Send later\" does; ADDR is an address,\n"
    "                     or a name and the address in angle brackets; --to, --cc, --bcc and\n"
    "                     --attach may be given more than once\n"
    "  set NAME=VALUE...  change settings, by field name (SmtpServer, Pop3Port, Password, ...)\n"
    "                     or option key (AutoCheckMail, TimeOut, ...); Password is given plain\n"
    "                     and kept in the desktop's keyring (UseKeyring=1, the default) or\n"
    "                     scrambled in the profile; nothing is written if one is refused\n"
    "\n"
    "Commands that change the profile refuse while Tavik mail has it open.\n"
    "\n"
    "--format json writes JSON Lines in UTF-8: one object a line, its members in the order\n"
    "below, every field whole; text that is not valid UTF-8 is read as Windows-1252, and\n"
    "bytes of a path that are not UTF-8 become U+FFFD. \"status\" is the flag as a word:\n"
    "\"unread\" (U), \"read\" (V), \"replied\" (R), \"queued\" (Q) or \"other\".\n"
    "\"date_iso\" is the date in ISO 8601 (with its zone when the date names one), or null.\n"
    "  mailboxes  an object per mailbox: number, key, name, messages, unread, size, trash\n"
    "  list       an object per message: number, flag, status, from, to, subject, date,\n"
    "             date_iso, size, attachments (their numbers)\n"
    "  show       one object: number, mailbox, from, to, cc, date, date_iso, subject (from the\n"
    "             message's header), flag, status, size, text (the text below the header, each\n"
    "             line ended by \"\\n\"), attachments (objects: number, name, type, size, path)\n"
    "  search     an object per message found: mailbox, message, from, subject\n"
    "  settings   one object: each setting's name and its value as a string, passwords as\n"
    "             \"********\" when set\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ProfileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class OutputFormat { Table, Json };

// Takes "--format table|json" (or "--format=...") out of a command's arguments.
OutputFormat takeFormatOption(std::vector<std::string>& args)
{
    OutputFormat format = OutputFormat::Table;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string value;
        if (args[i] == "--format") {
            if (i + 1 >= args.size())
                throw UsageError("--format needs table or json");
            value = args[++i];
        } else if (args[i].rfind("--format=", 0) == 0) {
            value = args[i].substr(9);
        } else {
            rest.push_back(args[i]);
            continue;
        }
        if (value == "json")
            format = OutputFormat::Json;
        else if (value == "table")
            format = OutputFormat::Table;
        else
            throw UsageError("--format takes table or json, not \"" + value + "\"");
    }
    args = std::move(rest);
    return format;
}

// A message flag as a word, for scripts.
const char* flagStatus(char flag)
{
    switch (flag) {
    case 'U': case 'u': return "unread";
    case 'V': case 'v': return "read";
    case 'R': case 'r': return "replied";
    case 'Q': case 'q': return "queued";
    default: return "other";
    }
}

// An index date's ISO 8601 form as a JSON value: null when the text is no date.
std::string jsonIsoDate(const std::string& date)
{
    const std::string iso = isoDate(storedText(date));
    return iso.empty() ? "null" : jsonString(iso);
}

bool parseNumber(const std::string& text, long long& out)
{
    if (text.empty())
        return false;
    std::size_t i = 0;
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || v > 100000000)
            return false;
        v = v * 10 + (text[i] - '0');
    }
    out = v;
    return true;
}

int mailboxNumberArgument(const std::string& text, const TNMailBox& store)
{
    long long n = 0;
    if (!parseNumber(text, n) || n < 1 || n > static_cast<long long>(store.MailBoxes.size()))
        throw UsageError("there is no mailbox number \"" + text + "\" (the profile has " +
                         std::to_string(store.MailBoxes.size()) + " mailboxes)");
    return static_cast<int>(n);
}

std::string lower(std::string s)
{
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return s;
}

// The open profile of one tavikctl run.
struct Profile {
    std::string programDirectory;
    std::string profileDirectory;
    ProfileSettings settings;
    MailboxList mailboxes;
    std::unique_ptr<ProfileLock> lock;
    TNMailBox store;
    std::string userName;
    std::unique_ptr<PasswordKeeper> keeper;
    std::vector<PasswordTrouble> passwordTroubles; // why a password kept in the keyring is unknown
};

bool profileNeedsInitialisation(const std::string& profileDirectory)
{
    IniFile ini(profileDirectory + "tavik32.ini");
    return ini.readInteger("Mailbox", "LastMailbox", -1) == -1;
}

void takeLock(Profile& p)
{
    p.lock = std::make_unique<ProfileLock>(p.profileDirectory);
    if (!p.lock->tryLock()) {
        std::string who = p.lock->holder();
        throw ProfileError("the profile \"" + p.profileDirectory + "\" is open in Tavik mail" +
                           (who.empty() ? std::string() : " (" + who + ")") +
                           "; close it there first, nothing was changed");
    }
}

// Opens the profile; `changes` says whether the command writes (and so needs the lock). A profile
// that is not initialised yet is initialised here, which is a change too.
// The profile directory of `login` (the default user when empty), once his password is given.
std::string profileOfUser(const std::string& programDirectory, const std::string& login, const TavikctlEnvironment& env,
                          std::string& userName)
{
    makePrivateDirectories(programDirectory);
    UserRegistry registry;
    LoadUsers(programDirectory, registry);
    int index = 0;
    if (!login.empty()) {
        index = findUserByLogin(registry, login);
        if (index < 0)
            throw UsageError("there is no user \"" + login + "\"");
    }
    if (userHasPassword(registry, index)) {
        std::optional<std::string> typed;
        if (const char* given = std::getenv("TAVIK_PASSWORD"))
            typed = given;
        else if (env.askPassword)
            typed = env.askPassword("Password for " + textForTerminal(registry.userNames[static_cast<std::size_t>(index)], env.utf8) + ": ");
        if (!typed)
            throw ProfileError("user \"" + login + "\" has a password: set TAVIK_PASSWORD or run on a terminal");
        if (!passwordMatches(registry, index, *typed))
            throw ProfileError("the password is not correct");
    }
    userName = registry.userNames[static_cast<std::size_t>(index)];
    return profileDirectoryOfUser(programDirectory, registry, index);
}

void openProfile(Profile& p, const std::string& home, const std::string& login, bool changes,
                 const TavikctlEnvironment& env)
{
    p.programDirectory = home.empty() ? DefaultProgramDirectory() : absoluteDirectory(home);
    p.profileDirectory = profileOfUser(p.programDirectory, login, env, p.userName);
    bool initialise = profileNeedsInitialisation(p.profileDirectory);
    if (changes || initialise) {
        makePrivateDirectories(p.profileDirectory);
        takeLock(p);
        std::string templates = FindTemplateDirectory(env.executableDirectory);
        if (!templates.empty())
            InstallTemplates(templates, p.programDirectory);
    }
    LoadSettings(p.programDirectory, p.profileDirectory, p.settings, p.mailboxes);
    p.store.MailBoxes = p.mailboxes;
    if (changes || initialise)
        p.store.SetMailBoxDirectory(p.profileDirectory + "mailboxe/");
    else {
        // Reading only: nothing is created, repaired or written.
        std::string dir = p.profileDirectory + "mailboxe/";
        if (!fileExists(dir))
            throw ProfileError("the profile \"" + p.profileDirectory + "\" has no mailbox directory");
        p.store.setMailBoxDirectoryWithoutChanges(dir);
    }
}

// The passwords the keyring keeps, read for the commands that use or change them.
void keepPasswords(Profile& p, const TavikctlEnvironment& env)
{
    if (env.keyring)
        coreApplication(); // the keyring answers through an event loop
    p.keeper = std::make_unique<PasswordKeeper>(env.keyring, p.programDirectory, p.userName);
    p.passwordTroubles = p.keeper->fetch(p.settings);
}

std::string attachmentRange(int start, int end)
{
    if (start == 0 && end == 0)
        return "-";
    return std::to_string(start) + "-" + std::to_string(end);
}

std::string pad(const std::string& s, std::size_t width)
{
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

// Width in characters of terminal text (UTF-8 continuation bytes do not count).
std::size_t displayWidth(const std::string& s)
{
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

std::string padText(const std::string& s, std::size_t width)
{
    std::size_t w = displayWidth(s);
    return w >= width ? s : s + std::string(width - w, ' ');
}

// Stored text cut to `width` characters, never inside one.
std::string cutText(const std::string& s, std::size_t width)
{
    const std::string text = storedText(s);
    if (displayWidth(text) <= width)
        return text;
    std::size_t at = 0;
    for (std::size_t n = 0; at < text.size(); ++at)
        if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && n++ == width - 1)
            break;
    return text.substr(0, at) + "~";
}

int commandMailboxes(Profile& p, std::ostream& out, bool utf8, OutputFormat format)
{
    if (format == OutputFormat::Json) {
        for (int n = 1; n <= static_cast<int>(p.store.MailBoxes.size()); ++n) {
            p.store.SetCurrentMailBoxNumber(n);
            const std::string flags = p.store.MessageFlags(p.store.MailboxKey(n));
            const auto unread = std::count(flags.begin(), flags.end(), 'U') + std::count(flags.begin(), flags.end(), 'u');
            out << JsonObject()
                       .number("number", n)
                       .text("key", storedText(p.store.MailboxKey(n)))
                       .text("name", storedText(p.store.MailboxDisplayName(n)))
                       .number("messages", p.store.CurrentMailBoxMessages())
                       .number("unread", unread)
                       .number("size", p.store.CurrentNMailBoxSize())
                       .number("trash", p.store.CurrentNMailBoxTrash())
                       .str()
                << "\n";
        }
        return 0;
    }
    out << std::right << std::setw(3) << "No" << "  " << pad("Key", 6) << padText("Name", 24) << std::setw(9)
        << "Messages" << std::setw(12) << "Size" << std::setw(12) << "Trash" << "\n";
    for (int n = 1; n <= static_cast<int>(p.store.MailBoxes.size()); ++n) {
        p.store.SetCurrentMailBoxNumber(n);
        out << std::setw(3) << n << "  " << pad(p.store.MailboxKey(n), 6)
            << padText(textForTerminal(cutText(p.store.MailboxDisplayName(n), 23), utf8), 24) << std::setw(9)
            << p.store.CurrentMailBoxMessages() << std::setw(12) << p.store.CurrentNMailBoxSize() << std::setw(12)
            << p.store.CurrentNMailBoxTrash() << "\n";
    }
    return 0;
}

// Names the damaged messages of the current mailbox, if any, on `err`.
void warnOfDamagedMessages(Profile& p, std::ostream& err, bool utf8)
{
    const std::vector<int> damaged = p.store.DamagedMessages();
    if (!damaged.empty()) {
        const int n = p.store.CurrentMailBoxNumber();
        err << "tavikctl: warning: "
            << textForTerminal(damagedMessagesWarning(n, p.store.MailboxDisplayName(n), damaged), utf8) << "\n";
    }
}

// The attachment numbers of the current message; none for a range that cannot be one.
std::vector<int> attachmentNumbers(const TNMailBox& store)
{
    std::vector<int> numbers;
    const int start = store.Msg_AttachStart, end = store.Msg_AttachEnd;
    if (start >= 1 && end >= start && end - start < 65536)
        for (int k = start; k <= end; ++k)
            numbers.push_back(k);
    return numbers;
}

int commandList(Profile& p, const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool utf8,
                OutputFormat format)
{
    if (args.size() != 1)
        throw UsageError("list takes one mailbox number");
    int n = mailboxNumberArgument(args[0], p.store);
    p.store.SetCurrentMailBoxNumber(n);
    if (format == OutputFormat::Json) {
        const int count = p.store.CurrentMailBoxMessages();
        for (int m = 1; m <= count; ++m) {
            p.store.SetMsg_Number(m);
            std::vector<std::string> attachments;
            for (int k : attachmentNumbers(p.store))
                attachments.push_back(std::to_string(k));
            out << JsonObject()
                       .number("number", m)
                       .text("flag", storedText(std::string(1, p.store.Msg_Flag)))
                       .text("status", flagStatus(p.store.Msg_Flag))
                       .text("from", storedText(p.store.Msg_From))
                       .text("to", storedText(p.store.Msg_To))
                       .text("subject", storedText(p.store.Msg_Subject))
                       .text("date", storedText(p.store.Msg_Date))
                       .json("date_iso", jsonIsoDate(p.store.Msg_Date))
                       .number("size", p.store.Msg_Size())
                       .json("attachments", jsonArray(attachments))
                       .str()
                << "\n";
        }
        warnOfDamagedMessages(p, err, utf8);
        return 0;
    }
    out << std::setw(5) << "No" << "  " << "F" << "  " << padText("From", 30) << padText("Subject", 40)
        << padText("Date", 26) << std::setw(9) << "Size" << "  Attachments\n";
    int count = p.store.CurrentMailBoxMessages();
    for (int m = 1; m <= count; ++m) {
        p.store.SetMsg_Number(m);
        std::string flag(1, p.store.Msg_Flag);
        out << std::setw(5) << m << "  " << textForTerminal(flag, utf8) << "  "
            << padText(textForTerminal(cutText(p.store.Msg_From, 29), utf8), 30)
            << padText(textForTerminal(cutText(p.store.Msg_Subject, 39), utf8), 40)
            << padText(textForTerminal(cutText(p.store.Msg_Date, 25), utf8), 26) << std::setw(9)
            << p.store.Msg_Size() << "  " << attachmentRange(p.store.Msg_AttachStart, p.store.Msg_AttachEnd) << "\n";
    }
    warnOfDamagedMessages(p, err, utf8);
    return 0;
}

// The values of the header fields `name` (any letter case) of a stored text, as stored text,
// joined by ", "; `all` false takes the first only. Empty when there is none.
std::string storedHeaderValue(const std::vector<std::string>& text, const std::string& name, bool all)
{
    const std::string prefix = lower(name) + ":";
    std::string value;
    for (const std::string& line : text) {
        if (line.empty())
            break;
        if (line.size() < prefix.size() || lower(line.substr(0, prefix.size())) != prefix)
            continue;
        std::string field = storedText(line.substr(prefix.size()));
        const std::size_t first = field.find_first_not_of(" \t");
        field = first == std::string::npos ? std::string() : field.substr(first, field.find_last_not_of(" \t") - first + 1);
        if (field.empty())
            continue;
        value += (value.empty() ? "" : ", ") + field;
        if (!all)
            break;
    }
    return value;
}

// The attachments of the current message as JSON objects, read from the profile's attachment
// index without changing it; a record that cannot be read is named on `err` and left out.
std::string attachmentsJson(Profile& p, std::ostream& err, bool utf8)
{
    std::vector<std::string> objects;
    const std::vector<int> numbers = attachmentNumbers(p.store);
    if (numbers.empty())
        return jsonArray(objects);
    const std::string idx = p.profileDirectory + "attach/" + kAttachmentIndexName;
    try {
        RandomAccessFile f(idx, RandomAccessFile::Mode::ReadOnly);
        const std::uint64_t size = f.size();
        for (int k : numbers) {
            if ((static_cast<std::uint64_t>(k) + 1) * kAttachmentRecordSize > size) {
                err << "tavikctl: warning: " << textForTerminal(idx, utf8) << " has no record for attachment " << k << "\n";
                continue;
            }
            char record[kAttachmentRecordSize];
            f.readAt(static_cast<std::uint64_t>(k) * kAttachmentRecordSize, record, sizeof record);
            const TMIMEAttachment a = decodeAttachmentRecord(record);
            objects.push_back(JsonObject()
                                  .number("number", k)
                                  .text("name", storedText(a.FileName))
                                  .text("type", storedText(a.ContentType))
                                  .number("size", a.Size)
                                  .text("path", a.Location) // path bytes: not UTF-8 becomes U+FFFD
                                  .str());
        }
    } catch (const FileError& e) {
        err << "tavikctl: warning: " << textForTerminal(e.what(), utf8) << "\n";
    }
    return jsonArray(objects);
}

// The current message (text loaded) as one JSON object; the header fields whole from its
// stored header, the index fields where the header lacks one.
std::string messageJson(Profile& p, std::ostream& err, bool utf8)
{
    const TNMailBox& s = p.store;
    const std::vector<std::string>& text = s.Msg_Text;
    auto field = [&](const char* name, const std::string& indexField, bool all) {
        std::string value = storedHeaderValue(text, name, all);
        return value.empty() ? storedText(indexField) : value;
    };
    const std::string date = field("Date", s.Msg_Date, false);
    const std::string iso = isoDate(date);
    std::string body;
    const auto blank = std::find(text.begin(), text.end(), std::string());
    if (blank != text.end())
        for (auto line = blank + 1; line != text.end(); ++line)
            body += storedText(*line) + "\n";
    return JsonObject()
        .number("number", s.Msg_Number())
        .number("mailbox", s.CurrentMailBoxNumber())
        .text("from", field("From", s.Msg_From, false))
        .text("to", field("To", s.Msg_To, true))
        .text("cc", storedHeaderValue(text, "cc", true))
        .text("date", date)
        .json("date_iso", iso.empty() ? "null" : jsonString(iso))
        .text("subject", field("Subject", s.Msg_Subject, false))
        .text("flag", storedText(std::string(1, s.Msg_Flag)))
        .text("status", flagStatus(s.Msg_Flag))
        .number("size", s.Msg_Size())
        .text("text", body)
        .json("attachments", attachmentsJson(p, err, utf8))
        .str();
}

int commandShow(Profile& p, const std::vector<std::string>& argsIn, std::ostream& out, std::ostream& err, bool utf8,
                OutputFormat format)
{
    std::vector<std::string> args;
    bool raw = false;
    for (const auto& a : argsIn) {
        if (a == "--raw")
            raw = true;
        else
            args.push_back(a);
    }
    if (args.size() != 2)
        throw UsageError("show takes a mailbox number and a message number");
    if (raw && format == OutputFormat::Json)
        throw UsageError("show takes either --raw or --format json");
    int n = mailboxNumberArgument(args[0], p.store);
    p.store.SetCurrentMailBoxNumber(n);
    long long m = 0;
    if (!parseNumber(args[1], m) || m < 1 || m > p.store.CurrentMailBoxMessages())
        throw UsageError("mailbox " + std::to_string(n) + " has no message number \"" + args[1] + "\" (it holds " +
                         std::to_string(p.store.CurrentMailBoxMessages()) + ")");
    p.store.SetMsg_Number(static_cast<int>(m));
    try {
        p.store.LoadMessageText();
    } catch (const FileError&) {
        warnOfDamagedMessages(p, err, utf8);
        throw;
    }
    if (format == OutputFormat::Json) {
        out << messageJson(p, err, utf8) << "\n";
        warnOfDamagedMessages(p, err, utf8);
        return 0;
    }
    for (const auto& line : p.store.Msg_Text) {
        if (raw)
            out << line << "\r\n";
        else
            out << textForTerminal(line, utf8) << "\n";
    }
    warnOfDamagedMessages(p, err, utf8);
    return 0;
}

int commandSearch(Profile& p, const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool utf8,
                  OutputFormat format)
{
    std::string text;
    bool haveText = false;
    std::vector<int> mailboxes;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--mailbox") {
            if (i + 1 >= args.size())
                throw UsageError("--mailbox needs a mailbox number");
            mailboxes.push_back(mailboxNumberArgument(args[++i], p.store));
        } else if (args[i].rfind("--mailbox=", 0) == 0) {
            mailboxes.push_back(mailboxNumberArgument(args[i].substr(10), p.store));
        } else if (!haveText) {
            text = utf8 ? args[i] : storedText(args[i]);
            haveText = true;
        } else {
            throw UsageError("search takes one text (quote a text with blanks) and --mailbox N");
        }
    }
    const SearchText needle(text);
    if (needle.empty())
        throw UsageError("search needs a text to look for");
    const MailSearchOutcome outcome =
        searchMailboxes(p.store.MailBoxDirectory(), p.store.MailBoxes, needle, mailboxes, [&](const MailSearchHit& hit) {
            if (format == OutputFormat::Json) {
                out << JsonObject()
                           .number("mailbox", hit.Mailbox)
                           .number("message", hit.Message)
                           .text("from", storedText(hit.From))
                           .text("subject", storedText(hit.Subject))
                           .str()
                    << "\n";
                return;
            }
            out << std::right << std::setw(3) << hit.Mailbox << std::setw(7) << hit.Message << "  "
                << padText(textForTerminal(cutText(hit.From, 29), utf8), 30)
                << textForTerminal(cutText(hit.Subject, 40), utf8) << "\n";
        });
    for (const std::string& failure : outcome.Failures)
        err << "tavikctl: warning: " << textForTerminal(failure, utf8) << "\n";
    return outcome.Found > 0 ? 0 : 1;
}

std::string recordSummary(const MailboxRecord& r, bool utf8)
{
    return "from \"" + textForTerminal(r.From, utf8) + "\", subject \"" + textForTerminal(r.Subject, utf8) +
           "\", date \"" + textForTerminal(r.Date, utf8) + "\", " + std::to_string(r.Size) + " bytes";
}

int commandRepair(Profile& p, const std::vector<std::string>& args, std::ostream& out, bool utf8)
{
    if (args.size() != 1)
        throw UsageError("repair takes one mailbox number");
    const int n = mailboxNumberArgument(args[0], p.store);
    const MailboxRepair report = p.store.RepairMailbox(n);
    const std::string name = "mailbox " + std::to_string(n) + " (" +
                             textForTerminal(p.store.MailboxDisplayName(n), utf8) + ")";
    if (!report.Changed()) {
        out << "Nothing to repair in " << name << ": its " << report.Intact << " message(s) are intact\n";
        return 0;
    }
    for (int k : report.Relinked)
        out << "Message " << k << " linked again to its text\n";
    for (const auto& d : report.Dropped)
        out << "Message " << d.Number << " dropped (" << recordSummary(d.Record, utf8) << "): " << d.Reason << "\n";
    if (report.HeaderMended)
        out << "The header of the index was rebuilt from the files\n";
    out << "Repaired " << name << ": " << report.Intact << " intact, " << report.Relinked.size() << " linked again, "
        << report.Dropped.size() << " dropped\n";
    return 0;
}

// "host:port" with a port from 1 to 65535, as pins name a server; UsageError otherwise.
std::string serverArgument(const std::string& text)
{
    const std::size_t colon = text.rfind(':');
    long long port = 0;
    if (colon == std::string::npos || colon == 0 || !parseIniInteger(text.substr(colon + 1), port) || port < 1 ||
        port > 65535)
        throw UsageError("a server is HOST:PORT, not \"" + text + "\"");
    return pinServerName(text.substr(0, colon), static_cast<int>(port));
}

int commandTrust(Profile& p, const std::vector<std::string>& args, std::ostream& out)
{
    CertificatePins pins(p.profileDirectory);
    if (args.size() == 1 && args[0] == "--list") {
        const std::vector<CertificatePin> all = pins.list();
        if (all.empty())
            out << "No certificate has been accepted\n";
        for (const CertificatePin& pin : all)
            out << pin.server << "  " << pin.fingerprint << "\n";
        return 0;
    }
    if (args.size() == 2 && args[0] == "--remove") {
        const std::string server = serverArgument(args[1]);
        if (!pins.remove(server))
            throw UsageError("no certificate has been accepted for " + server);
        out << "Forgot the certificate accepted for " << server << "\n";
        return 0;
    }
    if (args.size() != 2 || args[0].rfind("--", 0) == 0)
        throw UsageError("trust takes HOST:PORT SHA256, --list, or --remove HOST:PORT");
    const std::string server = serverArgument(args[0]);
    const std::string fingerprint = normalizedFingerprint(args[1]);
    if (fingerprint.empty())
        throw UsageError("a SHA-256 fingerprint is 32 bytes in hexadecimal (\"AB:CD:...\"), not \"" + args[1] + "\"");
    pins.pin(server, fingerprint);
    out << "Accepted the certificate " << fingerprint << " for " << server << "\n";
    return 0;
}

// The command a user runs to accept a certificate Tavik mail does not trust.
std::string trustCommand(const std::string& server, const std::string& fingerprint)
{
    return "tavikctl trust " + server + " " + fingerprint;
}

int commandCertificate(Profile& p, const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    CertificateProbe probe;
    std::string server;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--starttls" && i + 1 < args.size()) {
            const std::string protocol = lower(args[++i]);
            if (protocol == "pop3")
                probe.startTls = ProbeStartTls::Pop3;
            else if (protocol == "smtp")
                probe.startTls = ProbeStartTls::Smtp;
            else
                throw UsageError("--starttls takes pop3 or smtp, not \"" + args[i] + "\"");
        } else if (server.empty() && args[i].rfind("--", 0) != 0) {
            server = serverArgument(args[i]);
        } else {
            throw UsageError("certificate takes HOST:PORT and, for a plain port, --starttls pop3|smtp");
        }
    }
    if (server.empty())
        throw UsageError("certificate takes HOST:PORT and, for a plain port, --starttls pop3|smtp");
    const std::size_t colon = server.rfind(':');
    probe.host = server.substr(0, colon);
    probe.port = static_cast<quint16>(std::stoi(server.substr(colon + 1)));
    probe.caFile = p.settings.CaFile;
    probe.timeoutSeconds = p.settings.TimeOut > 0 ? p.settings.TimeOut : 30;
    if (auto pin = CertificatePins(p.profileDirectory).find(server))
        probe.pinnedFingerprint = *pin;
    coreApplication();
    const CertificateProbeResult r = probeCertificate(probe);
    if (!r.failure.empty()) {
        err << "tavikctl: no certificate from " << server << ": " << r.failure << "\n";
        if (probe.startTls == ProbeStartTls::None && r.failure.find("handshake") != std::string::npos)
            err << "If the port speaks plain text first, add --starttls pop3 or --starttls smtp.\n";
        return 1;
    }
    const PeerCertificateInfo& c = r.certificate;
    out << "Server:   " << server << "\n";
    if (!r.protocol.empty())
        out << "Protocol: " << r.protocol << "\n";
    out << "Subject:  " << c.subject << "\n"
        << "Issuer:   " << c.issuer << "\n"
        << "Valid:    " << c.validFrom << " to " << c.validUntil << "\n";
    if (!r.alternativeNames.empty()) {
        out << "Names:   ";
        for (std::size_t i = 0; i < r.alternativeNames.size(); ++i)
            out << (i ? ", " : " ") << r.alternativeNames[i];
        out << "\n";
    }
    out << "SHA-256:  " << c.fingerprint << "\n";
    if (r.trustedBySystem()) {
        out << "Trusted:  yes, by the system's certificate authorities"
            << (probe.caFile.empty() ? "" : " or the CA file") << "\n";
        return 0;
    }
    if (r.trustedByPin()) {
        out << "Trusted:  yes, accepted for " << server << " although the system does not trust it:\n";
        for (const std::string& problem : c.problems)
            out << "          " << problem << "\n";
        return 0;
    }
    out << "Trusted:  no\n";
    for (const std::string& problem : c.problems)
        out << "          " << problem << "\n";
    if (!c.pinnedFingerprint.empty())
        out << "          It differs from the certificate accepted for " << server << ": " << c.pinnedFingerprint
            << "\n";
    out << "To accept it: " << trustCommand(server, c.fingerprint) << "\n";
    return 1;
}

int commandCompress(Profile& p, const std::vector<std::string>& args, std::ostream& out)
{
    if (args.size() > 1)
        throw UsageError("compress takes at most one mailbox number");
    std::vector<int> numbers;
    if (args.size() == 1)
        numbers.push_back(mailboxNumberArgument(args[0], p.store));
    else
        for (int n = 1; n <= static_cast<int>(p.store.MailBoxes.size()); ++n)
            numbers.push_back(n);
    for (int n : numbers) {
        p.store.SetCurrentMailBoxNumber(n);
        int trash = p.store.CurrentNMailBoxTrash();
        if (trash == 0 && args.empty())
            continue;
        p.store.CompressMailbox();
        out << "Compressed mailbox " << n << ": " << trash << " bytes of trash removed\n";
    }
    return 0;
}

int commandEmptyTrash(Profile& p, std::ostream& out)
{
    p.store.SetCurrentMailBoxNumber(5);
    int count = p.store.CurrentMailBoxMessages();
    p.store.EmptyMailbox(5);
    out << "Emptied Trash: " << count << " messages removed\n";
    return 0;
}

std::string fieldValue(const ProfileSettings& s, const SettingsField& f)
{
    switch (f.kind) {
    case SettingsField::Kind::String: return s.*(f.text);
    case SettingsField::Kind::Integer: return std::to_string(s.*(f.integer));
    case SettingsField::Kind::Boolean: return s.*(f.boolean) ? "1" : "0";
    }
    return {};
}

int commandSettings(Profile& p, std::ostream& out, bool utf8, OutputFormat format)
{
    JsonObject json;
    for (const auto& f : settingsFields()) {
        std::string value = fieldValue(p.settings, f);
        if (f.scrambled && !value.empty())
            value = "********";
        if (format == OutputFormat::Json)
            json.text(f.name, storedText(value));
        else
            out << f.name << "=" << textForTerminal(value, utf8) << "\n";
    }
    if (format == OutputFormat::Json)
        out << json.str() << "\n";
    return 0;
}

bool parseBoolean(const std::string& v, bool& out)
{
    std::string l = lower(v);
    if (l == "1" || l == "true" || l == "yes" || l == "on") { out = true; return true; }
    if (l == "0" || l == "false" || l == "no" || l == "off") { out = false; return true; }
    return false;
}

// Applies NAME=VALUE to `s`; throws UsageError with the reason when refused.
void applySetting(ProfileSettings& s, const std::string& assignment, bool utf8)
{
    auto eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0)
        throw UsageError("\"" + assignment + "\" is not of the form NAME=VALUE");
    std::string name = assignment.substr(0, eq);
    std::string value = assignment.substr(eq + 1);
    const SettingsField* f = findSettingsField(name);
    if (!f)
        throw UsageError("there is no setting named \"" + name + "\" (see tavikctl settings)");
    if (f->keptByProgram)
        throw UsageError(std::string(f->name) + " says where the password lies and is kept by the program; set UseKeyring");
    if (!utf8)
        value = storedText(value);
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw UsageError("the value of " + std::string(f->name) + " must be one line");
    if (value.size() > IniFile::kMaxValueLength)
        throw UsageError("the value of " + std::string(f->name) + " is longer than " +
                         std::to_string(IniFile::kMaxValueLength) + " characters");
    const std::string fname = f->name;
    switch (f->kind) {
    case SettingsField::Kind::String: {
        std::string text = value;
        if (const std::string l = lower(fname); l == "pop3security" || l == "smtpsecurity") {
            if (!isConnectionSecurityText(value))
                throw UsageError(fname + " takes none, starttls or tls, not \"" + value + "\"");
            text = lower(value);
        }
        s.*(f->text) = text;
        break;
    }
    case SettingsField::Kind::Boolean: {
        bool b = false;
        if (!parseBoolean(value, b))
            throw UsageError(fname + " takes 1 or 0 (or true/false, yes/no), not \"" + value + "\"");
        s.*(f->boolean) = b;
        break;
    }
    case SettingsField::Kind::Integer: {
        long long v = 0;
        if (!parseIniInteger(value, v) || v < INT32_MIN || v > INT32_MAX)
            throw UsageError(fname + " takes a whole number, not \"" + value + "\"");
        std::string l = lower(fname);
        if ((l == "smtpport" || l == "pop3port") && (v < 1 || v > 65535))
            throw UsageError(fname + " must lie between 1 and 65535");
        if (l == "quotedcolor" && (v < 0 || v > 15))
            throw UsageError(fname + " must lie between 0 and 15");
        if ((l == "timeout" || l == "autocheckminutes") && v < 1)
            throw UsageError(fname + " must be at least 1");
        s.*(f->integer) = static_cast<int>(v);
        break;
    }
    }
}

int commandSet(Profile& p, const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool utf8)
{
    if (args.empty())
        throw UsageError("set takes one or more NAME=VALUE");
    ProfileSettings changed = p.settings;
    for (const auto& a : args)
        applySetting(changed, a, utf8);
    const std::vector<PasswordTrouble> troubles =
        saveSettingsKeepingPasswords(p.keeper.get(), p.profileDirectory, p.settings, changed, p.mailboxes);
    p.settings = changed;
    out << "Saved " << args.size() << (args.size() == 1 ? " setting" : " settings") << "\n";
    for (const PasswordTrouble& t : troubles)
        err << "tavikctl: " << (t.server.empty() ? std::string("an old password stays in the keyring")
                                                 : std::string("the ") + passwordServiceName(t.service) +
                                                       " password stays in the profile's settings")
            << ": " << passwordTroubleText(t) << "\n";
    return 0;
}

// The commands that talk to a server refuse to start without the password the keyring keeps.
void requireServerPassword(Profile& p, PasswordService service)
{
    if (!passwordUnknown(passwordOf(p.settings, service), keyringServerOf(p.settings, service)))
        return;
    PasswordTrouble trouble{service, KeyringStatus::NotFound, keyringServerOf(p.settings, service), {}};
    for (const PasswordTrouble& t : p.passwordTroubles)
        if (t.service == service)
            trouble = t;
    const std::string field = service == PasswordService::Pop3 ? "Password" : "SmtpPassword";
    throw ProfileError(std::string("the ") + passwordServiceName(service) + " password cannot be read: " +
                       passwordTroubleText(trouble) + "; open the keyring, or give it again with \"tavikctl set " +
                       field + "=...\"");
}

} // namespace

std::string textForTerminal(const std::string& bytes, bool utf8)
{
    const std::string text = storedText(bytes);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        n = std::min(n, text.size() - i);
        std::uint32_t cp = n == 1 ? c : c & (0x3F >> (n - 1));
        for (std::size_t k = 1; k < n; ++k)
            cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        // Control characters could drive the terminal: none reaches it.
        if ((cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp < 0xA0))
            out.push_back('?');
        else if (utf8)
            out.append(text, i, n);
        else
            out.push_back(cp <= 0xFF ? static_cast<char>(cp) : '?');
        i += n;
    }
    return out;
}

// The progress of a check as lines: each status and counter once, errors as the dialog's
// title and text.
class TerminalCheckView : public CheckMailView {
public:
    TerminalCheckView(std::ostream& out, std::ostream& err, bool utf8) : out_(out), err_(err), utf8_(utf8) {}
    void showStatus(const std::string& text) override { line(text); }
    void showCounter(const std::string& text) override { line(text); }
    void showError(int, const std::string& title, const std::string& text) override
    {
        err_ << title << ": " << text << "\n";
    }
    void showFileError(const std::string& text) override { err_ << textForTerminal(text, utf8_) << "\n"; }
    void finished(bool ok) override
    {
        done = true;
        this->ok = ok;
        if (loop)
            loop->quit();
    }
    bool done = false, ok = false;
    QEventLoop* loop = nullptr;

private:
    void line(const std::string& text)
    {
        if (text.empty() || text == last_)
            return;
        last_ = text;
        out_ << textForTerminal(text, utf8_) << "\n" << std::flush;
    }
    std::ostream& out_;
    std::ostream& err_;
    bool utf8_;
    std::string last_;
};

// The event loop of the sessions; tavikctl's main has none of its own.
QCoreApplication& coreApplication()
{
    if (QCoreApplication* app = QCoreApplication::instance())
        return *app;
    static int argc = 1;
    static char name[] = "tavikctl";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// After a refused certificate: what it was, and how to accept it if the user trusts it.
void printTrustAdvice(const PeerCertificateInfo& c, std::ostream& err)
{
    if (c.empty())
        return;
    const std::string server = pinServerName(c.host, c.port);
    err << "The certificate of " << server << " has the SHA-256 fingerprint " << c.fingerprint << ".\n";
    if (!c.pinnedFingerprint.empty())
        err << "The one accepted before was " << c.pinnedFingerprint << ".\n";
    err << "Compare it with what the server's administrator says; if you trust it, run:\n  "
        << trustCommand(server, c.fingerprint) << "\n";
}

void printTrustAdvice(const LineChannel& session, std::ostream& err)
{
    if (session.ErrorCode == kErrorTlsUntrusted || session.ErrorCode == kErrorTlsChanged)
        printTrustAdvice(session.RefusedCertificate(), err);
}

int commandCheck(Profile& p, std::ostream& out, std::ostream& err, bool utf8)
{
    requireServerPassword(p, PasswordService::Pop3);
    coreApplication();
    TAttachmentManager attachments;
    attachments.SetAttachmentDirectory(p.profileDirectory + "attach/");
    TerminalCheckView view(out, err, utf8);
    CheckMail check(p.settings, p.profileDirectory, p.store, attachments, view);
    QEventLoop loop;
    view.loop = &loop;
    check.open();
    if (!view.done)
        loop.exec();
    printTrustAdvice(check.Session(), err);
    out << check.Filed() << " new message(s) filed in " << textForTerminal(p.store.MailboxDisplayName(1), utf8);
    if (check.Confirmations() > 0)
        out << ", " << check.Confirmations() << " confirmation(s) of receipt queued";
    out << "\n";
    return view.ok ? 0 : 1;
}

namespace {

// A box's text (lines ended by CR LF) as terminal lines.
std::string terminalLines(const std::string& text, bool utf8)
{
    std::string out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        out += textForTerminal(text.substr(start, end - start), utf8) + "\n";
    return out + textForTerminal(text.substr(start), utf8);
}

// The progress of one send as lines: each status once, errors as the dialog's title and text.
class TerminalSendView : public SendMailView {
public:
    TerminalSendView(std::ostream& out, std::ostream& err, bool utf8) : out_(out), err_(err), utf8_(utf8) {}
    void showStatus(const std::string& text) override
    {
        if (text.empty() || text == last_)
            return;
        last_ = text;
        out_ << textForTerminal(text, utf8_) << "\n" << std::flush;
    }
    void showError(int, const std::string& title, const std::string& text) override
    {
        err_ << terminalLines(title + ": " + text, utf8_) << "\n";
    }
    void showRefusedRecipients(const std::string& title, const std::string& text) override
    {
        refused = true;
        err_ << terminalLines(title + ": " + text, utf8_) << "\n";
    }
    // Not a question a terminal can put: the box follows, and the advice after it.
    CertificateChoice judgeCertificate(const PeerCertificateInfo& certificate) override
    {
        refusedCertificate = certificate;
        return CertificateChoice::NotAsked;
    }
    void restart()
    {
        last_.clear();
        refusedCertificate = {};
    }
    bool refused = false; // a message went to some of its recipients only
    PeerCertificateInfo refusedCertificate;

private:
    std::ostream& out_;
    std::ostream& err_;
    bool utf8_;
    std::string last_;
};

// The outbox's face on the terminal: a heading per message, then the send's lines.
class TerminalOutboxView : public OutboxView {
public:
    TerminalOutboxView(const ProfileSettings& settings, std::string profileDirectory, std::ostream& out,
                       std::ostream& err, bool utf8)
        : settings_(settings), profileDirectory_(std::move(profileDirectory)), out_(out), err_(err), utf8_(utf8),
          send_(out, err, utf8)
    {
    }
    SendOutcome sendMessage(const OutgoingMessage& message, int number) override
    {
        out_ << "Message " << number << ": " << textForTerminal(message.Subject, utf8_) << "\n" << std::flush;
        send_.restart();
        // Every message of the run on one connection.
        if (!run_)
            run_ = std::make_unique<KeptSendRun>(settings_, send_, profileDirectory_);
        const SendOutcome outcome = run_->send(message);
        printTrustAdvice(send_.refusedCertificate, err_);
        return outcome;
    }
    void showFileError(const std::string& text) override { err_ << textForTerminal(text, utf8_) << "\n"; }
    void showMessageLeft(const std::string& text) override { err_ << textForTerminal(text, utf8_) << "\n"; }
    bool refused() const { return send_.refused; }
    // Quits the run's connection.
    void endRun() { run_.reset(); }

private:
    const ProfileSettings& settings_;
    std::string profileDirectory_;
    std::ostream& out_;
    std::ostream& err_;
    bool utf8_;
    TerminalSendView send_;
    std::unique_ptr<KeptSendRun> run_;
};

int commandSendQueued(Profile& p, std::ostream& out, std::ostream& err, bool utf8)
{
    if (!p.settings.SmtpUser.empty())
        requireServerPassword(p, PasswordService::Smtp);
    coreApplication();
    TAttachmentManager attachments;
    attachments.SetAttachmentDirectory(p.profileDirectory + "attach/");
    TerminalOutboxView view(p.settings, p.profileDirectory, out, err, utf8);
    Outbox outbox(p.settings, p.store, attachments, view);
    const bool all = outbox.run();
    view.endRun();
    out << outbox.Sent() << " message(s) sent and filed in " << textForTerminal(p.store.MailboxDisplayName(kSentMailbox), utf8)
        << ", " << (outbox.Left() < 0 ? 0 : outbox.Left()) << " left in "
        << textForTerminal(p.store.MailboxDisplayName(kToSendMailbox), utf8) << "\n";
    return all && !view.refused() ? 0 : 1;
}

// A text argument of one line, as stored text; `what` names it in the refusal.
std::string textArgument(const std::string& value, bool utf8, const std::string& what)
{
    // A terminal that is not UTF-8 passes bytes of its own charset: read as Windows-1252.
    std::string text = utf8 ? value : storedText(value);
    if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw UsageError(what + " must be one line");
    return text;
}

struct QueueRequest {
    ComposedMessage message;
    std::string bodyFile;
};

QueueRequest parseQueueArguments(const std::vector<std::string>& args, bool utf8)
{
    QueueRequest q;
    bool haveSubject = false, haveBody = false;
    std::vector<std::string> attachPaths;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i], value;
        if (std::size_t eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
        } else {
            if (option != "--to" && option != "--cc" && option != "--bcc" && option != "--subject" &&
                option != "--body-file" && option != "--attach")
                throw UsageError("queue does not know \"" + option + "\"");
            if (i + 1 >= args.size())
                throw UsageError(option + " needs a value");
            value = args[++i];
        }
        if (option == "--to" || option == "--cc" || option == "--bcc") {
            std::string line = textArgument(value, utf8, "the address");
            if (recipientEntry(line).empty())
                throw UsageError("\"" + value + "\" names no address");
            auto& lines = option == "--to" ? q.message.ToLines : option == "--cc" ? q.message.ccLines : q.message.BccLines;
            lines.push_back(line);
        } else if (option == "--subject") {
            q.message.Subject = textArgument(value, utf8, "the subject");
            haveSubject = true;
        } else if (option == "--body-file") {
            q.bodyFile = value;
            haveBody = true;
        } else if (option == "--attach") {
            attachPaths.push_back(value);
        } else {
            throw UsageError("queue does not know \"" + option + "\"");
        }
    }
    if (q.message.ToLines.empty() && q.message.ccLines.empty() && q.message.BccLines.empty())
        throw UsageError(kNoAddressText);
    if (!haveSubject)
        throw UsageError("queue needs --subject TEXT");
    if (!haveBody)
        throw UsageError("queue needs --body-file FILE");
    if (attachPaths.size() > kMaxComposedAttachments)
        throw UsageError("a message carries at most " + std::to_string(kMaxComposedAttachments) + " attachments");
    for (const auto& given : attachPaths) {
        // The outbox reads the file later, from wherever it runs: the path must not depend on
        // this directory.
        std::error_code ec;
        std::string path = std::filesystem::absolute(given, ec).lexically_normal().string();
        if (ec || path.empty())
            throw UsageError("\"" + given + "\" is no file that can be attached");
        if (path.size() > kAttachmentPathRoom)
            throw UsageError("the path \"" + path + "\" is longer than the " + std::to_string(kAttachmentPathRoom) +
                             " bytes an attachment record can hold");
        TOutgoingAttachment a;
        a.Path = path;
        a.Name = textArgument(std::filesystem::path(path).filename().string(), utf8, "the file name");
        q.message.Attachments.push_back(std::move(a));
    }
    return q;
}

// The lines of a body file: LF or CR LF ends; a last line without an end counts.
// The lines of a body file as stored text: a file in an 8-bit charset reads as Windows-1252,
// line by line.
std::vector<std::string> bodyLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        std::size_t end = lf == std::string::npos ? bytes.size() : lf;
        std::size_t cut = end > start && bytes[end - 1] == '\r' ? end - 1 : end;
        lines.push_back(storedText(std::string_view(bytes).substr(start, cut - start)));
        if (lf == std::string::npos)
            break;
        start = lf + 1;
    }
    return lines;
}

int commandQueue(Profile& p, QueueRequest& q, std::ostream& out, bool utf8)
{
    // The body is held whole, as the composition window holds it; a mailbox text stays below 2 GB.
    constexpr std::uint64_t kMaxBodyBytes = 512ull * 1024 * 1024;
    q.message.Body = bodyLines(readWholeFile(q.bodyFile, kMaxBodyBytes));
    if (!q.message.Attachments.empty()) {
        TMimeManager types(p.profileDirectory + "mime.def");
        for (auto& a : q.message.Attachments)
            a.MimeType = types.TypeOfFile(a.Name);
    }
    TAttachmentManager attachments;
    attachments.SetAttachmentDirectory(p.profileDirectory + "attach/");
    const int n = SendLater(p.store, attachments, p.settings, p.profileDirectory, q.message, std::time(nullptr));
    const std::string& first = !q.message.ToLines.empty() ? q.message.ToLines.front()
                               : !q.message.ccLines.empty() ? q.message.ccLines.front()
                                                            : q.message.BccLines.front();
    out << "Queued message " << n << " in " << textForTerminal(p.store.MailboxDisplayName(kToSendMailbox), utf8)
        << ": \"" << textForTerminal(q.message.Subject, utf8) << "\" for " << textForTerminal(first, utf8) << "\n";
    return 0;
}

} // namespace

int tavikctlMain(const std::vector<std::string>& argsIn, std::ostream& out, std::ostream& err,
                 const TavikctlEnvironment& env)
{
    std::string home, login;
    std::vector<std::string> args;
    for (std::size_t i = 0; i < argsIn.size(); ++i) {
        const std::string& a = argsIn[i];
        if (args.empty() && (a == "-h" || a == "--help" || a == "help")) {
            out << kUsage;
            return 0;
        }
        if (args.empty() && a == "--home") {
            if (i + 1 >= argsIn.size()) {
                err << "tavikctl: --home needs a directory\n";
                return 2;
            }
            home = argsIn[++i];
            continue;
        }
        if (args.empty() && a == "--user") {
            if (i + 1 >= argsIn.size()) {
                err << "tavikctl: --user needs a login name\n";
                return 2;
            }
            login = argsIn[++i];
            continue;
        }
        if (args.empty() && a.rfind("--user=", 0) == 0) {
            login = a.substr(7);
            continue;
        }
        if (args.empty() && a.rfind("--home=", 0) == 0) {
            home = a.substr(7);
            continue;
        }
        if (args.empty() && a.size() > 1 && a[0] == '-') {
            err << "tavikctl: unknown option \"" << a << "\"\n" << "Try \"tavikctl --help\".\n";
            return 2;
        }
        args.push_back(a);
    }
    if (args.empty()) {
        err << kUsage;
        return 2;
    }
    const std::string command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    static const std::map<std::string, bool> kCommands = {
        {"mailboxes", false}, {"list", false}, {"show", false}, {"settings", false}, {"search", false},
        {"compress", true}, {"empty-trash", true}, {"set", true}, {"check", true},
        {"send-queued", true}, {"queue", true}, {"repair", true}, {"trust", true}, {"certificate", false},
    };
    auto it = kCommands.find(command);
    if (it == kCommands.end()) {
        err << "tavikctl: unknown command \"" << command << "\"\n" << "Try \"tavikctl --help\".\n";
        return 2;
    }
    try {
        OutputFormat format = OutputFormat::Table;
        if (command == "mailboxes" || command == "list" || command == "show" || command == "settings" ||
            command == "search")
            format = takeFormatOption(rest);
        if ((command == "mailboxes" || command == "settings" || command == "empty-trash" || command == "check" ||
             command == "send-queued") &&
            !rest.empty())
            throw UsageError(command + " takes no arguments");
        // A message is checked whole before the profile is touched.
        QueueRequest queued;
        if (command == "queue")
            queued = parseQueueArguments(rest, env.utf8);
        Profile p;
        openProfile(p, home, login, it->second, env);
        if (command == "set" || command == "check" || command == "send-queued")
            keepPasswords(p, env);
        if (command == "mailboxes") return commandMailboxes(p, out, env.utf8, format);
        if (command == "list") return commandList(p, rest, out, err, env.utf8, format);
        if (command == "show") return commandShow(p, rest, out, err, env.utf8, format);
        if (command == "search") return commandSearch(p, rest, out, err, env.utf8, format);
        if (command == "settings") return commandSettings(p, out, env.utf8, format);
        if (command == "compress") return commandCompress(p, rest, out);
        if (command == "repair") return commandRepair(p, rest, out, env.utf8);
        if (command == "trust") return commandTrust(p, rest, out);
        if (command == "certificate") return commandCertificate(p, rest, out, err);
        if (command == "empty-trash") return commandEmptyTrash(p, out);
        if (command == "set") return commandSet(p, rest, out, err, env.utf8);
        if (command == "check") return commandCheck(p, out, err, env.utf8);
        if (command == "send-queued") return commandSendQueued(p, out, err, env.utf8);
        if (command == "queue") return commandQueue(p, queued, out, env.utf8);
    } catch (const UsageError& e) {
        err << "tavikctl: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        err << "tavikctl: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

} // namespace tavik
