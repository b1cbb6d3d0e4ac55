#include "profile/settings.h"

#include "profile/file_util.h"
#include "profile/ini_file.h"
#include "support/test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sys/stat.h>

namespace tavik {
namespace {

using test::fileBytes;
using test::TempDir;
using test::writeBytes;
using namespace std::string_literals;

mode_t modeOf(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

bool isDirectory(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

const std::string kMime = "text/plain\r\n\x01\x00\xFFrecord"s;
const char* const kSignature = "-- \r\nSent with Tavik mail\r\n";
const char* const kUidl = "uidl template\r\n";

// A program directory holding the three templates.
void putTemplates(const std::string& programDir)
{
    writeBytes(programDir + "mime.def", kMime);
    writeBytes(programDir + "signatur.tpl", kSignature);
    writeBytes(programDir + "uidl.tpl", kUidl);
}

const std::string kFreshSettings = "[User]\r\n"
                                   "Name=\r\n"
                                   "ID=\r\n"
                                   "RetAddr=\r\n"
                                   "ReplyTo=\r\n"
                                   "[SMTP]\r\n"
                                   "Server=\r\n"
                                   "Port=25\r\n"
                                   "[POP3]\r\n"
                                   "Server=\r\n"
                                   "Port=110\r\n"
                                   "Password=\r\n"
                                   "[Mailbox]\r\n"
                                   "LastMailbox=4\r\n"
                                   "LastAttachment=0\r\n"
                                   "[Mailboxes]\r\n"
                                   "m0=New Mail\r\n"
                                   "m1=Sent\r\n"
                                   "m2=To Send\r\n"
                                   "m3=Drafts\r\n"
                                   "m4=Trash\r\n"
                                   "[Options]\r\n"
                                   "AutoAddAddress=1\r\n"
                                   "DeleteMailOnRetrieving=0\r\n"
                                   "FullHeaders=0\r\n"
                                   "SaveSent=1\r\n"
                                   "UseSignature=0\r\n"
                                   "AutoCheckStart=0\r\n"
                                   "AutoCheckMail=0\r\n"
                                   "AutoCheckMinutes=30\r\n"
                                   "Browser=\r\n"
                                   "QuotedColor=0\r\n"
                                   "DraftsMailBox=Drafts\r\n"
                                   "EmptyTrashOnExit=0\r\n"
                                   "PluggInSig=0\r\n"
                                   "PluggInSigFile=\r\n"
                                   "LastMailPriority=0\r\n"
                                   "ReturnReceipt=0\r\n"
                                   "MarkAsRead=0\r\n"
                                   "TimeOut=30\r\n";

const MailboxList kStandard = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};

// --- First use -------------------------------------------------------------------------------

TEST(LoadSettingsNewProfile, CreatesDirectoriesCopiesTemplatesAndWritesAllDefaults)
{
    TempDir program;
    putTemplates(program.path());
    std::string profile = program.path() + "users/bob/";

    ProfileSettings s;
    MailboxList boxes;
    LoadSettings(program.path(), profile, s, boxes);

    for (const char* dir : {"", "mailboxe", "attach", "address", "Temp"}) {
        EXPECT_TRUE(isDirectory(profile + dir)) << dir;
        EXPECT_EQ(modeOf(profile + dir), 0700u) << dir;
    }
    EXPECT_EQ(fileBytes(profile + "mime.def"), kMime);
    EXPECT_EQ(fileBytes(profile + "signatur.def"), kSignature);
    EXPECT_EQ(fileBytes(profile + "uidl.lst"), kUidl);
    for (const char* file : {"mime.def", "signatur.def", "uidl.lst", "tavik32.ini"})
        EXPECT_EQ(modeOf(profile + file), 0600u) << file;

    EXPECT_EQ(fileBytes(profile + "tavik32.ini"), kFreshSettings);
    EXPECT_EQ(boxes, kStandard);
    EXPECT_EQ(s.LastMailbox, 4);
    EXPECT_EQ(s.SmtpPort, 25);
    EXPECT_EQ(s.DraftsMailBox, "Drafts");
}

TEST(LoadSettingsNewProfile, MissingTemplatesLeaveTheirTargetsAbsent)
{
    TempDir program;
    std::string profile = program.path() + "users/eve/";
    ProfileSettings s;
    MailboxList boxes;
    LoadSettings(program.path(), profile, s, boxes);
    EXPECT_FALSE(fileExists(profile + "mime.def"));
    EXPECT_FALSE(fileExists(profile + "signatur.def"));
    EXPECT_FALSE(fileExists(profile + "uidl.lst"));
    EXPECT_EQ(fileBytes(profile + "tavik32.ini"), kFreshSettings);
}

TEST(LoadSettingsNewProfile, TheDefaultUserKeepsTheProgramDirectorysMimeRegistry)
{
    // The default user's profile is the program directory: mime.def is copied onto itself.
    TempDir program;
    putTemplates(program.path());
    std::string profile = program.path(); // the default user's profile is the program directory
    ASSERT_EQ(profile, program.path());

    ProfileSettings s;
    MailboxList boxes;
    LoadSettings(program.path(), profile, s, boxes);
    EXPECT_EQ(fileBytes(program.path() + "mime.def"), kMime);
    EXPECT_EQ(fileBytes(program.path() + "signatur.def"), kSignature);
    EXPECT_EQ(fileBytes(program.path() + "uidl.lst"), kUidl);
    EXPECT_EQ(boxes, kStandard);
}

TEST(LoadSettingsNewProfile, LastMailboxMinusOneInitialisesAgain)
{
    TempDir program;
    putTemplates(program.path());
    std::string profile = program.path() + "users/ann/";
    makePrivateDirectories(profile);
    for (const char* file : {"mime.def", "signatur.def", "uidl.lst"})
        writeBytes(profile + file, "edited by the user, longer than the template ... ... ... ...");
    writeBytes(profile + "tavik32.ini", "[User]\r\n"
                                        "Name=Ann\r\n"
                                        "[Mailbox]\r\n"
                                        "LastMailbox=-1\r\n"
                                        "LastAttachment=7\r\n"
                                        "[Mailboxes]\r\n"
                                        "m0=Not read\r\n");

    ProfileSettings s;
    MailboxList boxes = {"m9=Held by the caller"};
    LoadSettings(program.path(), profile, s, boxes);

    EXPECT_EQ(fileBytes(profile + "mime.def"), kMime);
    EXPECT_EQ(fileBytes(profile + "signatur.def"), kSignature);
    EXPECT_EQ(fileBytes(profile + "uidl.lst"), kUidl);
    MailboxList expected = {"m9=Held by the caller"};
    expected.insert(expected.end(), kStandard.begin(), kStandard.end());
    EXPECT_EQ(boxes, expected);
    EXPECT_EQ(s.Name, "Ann");
    EXPECT_EQ(s.LastMailbox, 4);
    EXPECT_EQ(s.LastAttachment, 7);

    IniFile written(profile + "tavik32.ini");
    EXPECT_EQ(written.sectionLines("Mailboxes"), expected);
    EXPECT_EQ(written.readString("Mailbox", "LastMailbox"), "4");
    EXPECT_EQ(written.readString("User", "Name"), "Ann");
}

// --- Reading an existing profile -------------------------------------------------------------

TEST(LoadSettingsExisting, ReadsEveryGroupIgnoringCaseAndLineEnds)
{
    TempDir dir;
    std::string scrambled = ScramblePassword("s3cret");
    writeBytes(dir.path() + "tavik32.ini", "[user]\n"
                                           "name = Ann Lee\n"
                                           "ID=ann\n"
                                           "RetAddr=ann@example.org\n"
                                           "ReplyTo=replies@example.org\n"
                                           "[SMTP]\n"
                                           "Server=smtp.example.org\n"
                                           "Port=0x24B\n"
                                           "[POP3]\n"
                                           "Server=pop.example.org\n"
                                           "Port=995\n"
                                           "Password=" + scrambled + "\n"
                                           "[Mailbox]\n"
                                           "LastMailbox=4\n"
                                           "LastAttachment=12\n"
                                           "[Mailboxes]\n"
                                           "m0=New Mail\n"
                                           "m1=Sent\n"
                                           "m2=To Send\n"
                                           "m3=Drafts\n"
                                           "m4=Trash\n"
                                           "m5=Box=Two\n"
                                           "[OPTIONS]\n"
                                           "AutoAddAddress=0\n"
                                           "DeleteMailOnRetrieving=2\n"
                                           "FullHeaders=-1\n"
                                           "SaveSent=maybe\n"
                                           "AutoCheckMail=1\n"
                                           "AutoCheckStart=1\n"
                                           "AutoCheckMinutes=0x1E0\n"
                                           "Browser=firefox --new-window\n"
                                           "QuotedColor=9\n"
                                           "DraftsMailBox=Entw\xFCrfe\n"
                                           "EmptyTrashOnExit=1\n"
                                           "PluggInSig=1\n"
                                           "PluggInSigFile=/home/ann/sig.txt\n"
                                           "LastMailPriority=1\n"
                                           "ReturnReceipt=1\n"
                                           "MarkAsRead=1\n"
                                           "TimeOut=99999999999\n");
    ProfileSettings s;
    MailboxList boxes;
    LoadSettings(dir.path(), dir.path(), s, boxes);

    EXPECT_EQ(s.Name, "Ann Lee");
    EXPECT_EQ(s.ID, "ann");
    EXPECT_EQ(s.Password, "s3cret");
    EXPECT_EQ(s.SmtpServer, "smtp.example.org");
    EXPECT_EQ(s.Pop3Server, "pop.example.org");
    EXPECT_EQ(s.RetAddr, "ann@example.org");
    EXPECT_EQ(s.ReplyTo, "replies@example.org");
    EXPECT_EQ(s.SmtpPort, 587);
    EXPECT_EQ(s.Pop3Port, 995);
    EXPECT_EQ(s.LastMailbox, 4);
    EXPECT_EQ(s.LastAttachment, 12);
    EXPECT_FALSE(s.AutoAddAddress);
    EXPECT_TRUE(s.DeleteMailOnRetrieving);
    EXPECT_TRUE(s.FullHeaders);
    EXPECT_TRUE(s.SaveSent); // not a number: the default
    EXPECT_TRUE(s.AutoCheckMail);
    EXPECT_TRUE(s.AutoCheckStart);
    EXPECT_EQ(s.AutoCheckMinutes, 480);
    EXPECT_EQ(s.Browser, "firefox --new-window");
    EXPECT_EQ(s.QuotedColor, 9);
    EXPECT_EQ(s.DraftsMailBox, "Entw\xFCrfe");
    EXPECT_TRUE(s.EmptyTrashOnExit);
    EXPECT_TRUE(s.PluggInSig);
    EXPECT_EQ(s.PluggInSigFile, "/home/ann/sig.txt");
    EXPECT_TRUE(s.LastMailPriority);
    EXPECT_TRUE(s.ReturnReceipt);
    EXPECT_TRUE(s.MarkAsRead);
    EXPECT_EQ(s.TimeOut, 30); // does not fit an int: the default

    MailboxList expected = kStandard;
    expected.push_back("m5=Box=Two");
    EXPECT_EQ(boxes, expected);
    // An initialised profile is only read, never touched.
    EXPECT_FALSE(isDirectory(dir.path() + "mailboxe"));
}

TEST(LoadSettingsExisting, ValuesThatAreNotNumbersReadAsTheirDefaults)
{
    TempDir dir;
    writeBytes(dir.path() + "tavik32.ini", "[SMTP]\r\nPort=smtp\r\n"
                                           "[POP3]\r\nPort=\r\n"
                                           "[Mailbox]\r\nLastMailbox=4\r\nLastAttachment=0x\r\n"
                                           "[Options]\r\nAutoCheckMinutes=ten\r\nQuotedColor=3 \r\n"
                                           "TimeOut=12s\r\nAutoAddAddress=off\r\n");
    ProfileSettings s;
    MailboxList boxes;
    LoadSettings(dir.path(), dir.path(), s, boxes);
    EXPECT_EQ(s.SmtpPort, 25);
    EXPECT_EQ(s.Pop3Port, 110);
    EXPECT_EQ(s.LastAttachment, 0);
    EXPECT_EQ(s.AutoCheckMinutes, 30);
    EXPECT_EQ(s.QuotedColor, 3);
    EXPECT_EQ(s.TimeOut, 30);
    EXPECT_TRUE(s.AutoAddAddress);
    EXPECT_TRUE(boxes.empty());
}

TEST(LoadSettingsExisting, NothingIsInheritedFromThePreviousProfile)
{
    TempDir dir;
    writeBytes(dir.path() + "tavik32.ini", "[Mailbox]\r\nLastMailbox=4\r\n");
    ProfileSettings s;
    for (const auto& f : settingsFields()) {
        switch (f.kind) {
        case SettingsField::Kind::String: s.*f.text = "previous"; break;
        case SettingsField::Kind::Integer: s.*f.integer = 777; break;
        case SettingsField::Kind::Boolean: s.*f.boolean = !(s.*f.boolean); break;
        }
    }
    MailboxList boxes;
    LoadSettings(dir.path(), dir.path(), s, boxes);

    ProfileSettings expected;
    expected.LastMailbox = 4;
    for (const auto& f : settingsFields()) {
        switch (f.kind) {
        case SettingsField::Kind::String: EXPECT_EQ(s.*f.text, expected.*f.text) << f.name; break;
        case SettingsField::Kind::Integer: EXPECT_EQ(s.*f.integer, expected.*f.integer) << f.name; break;
        case SettingsField::Kind::Boolean: EXPECT_EQ(s.*f.boolean, expected.*f.boolean) << f.name; break;
        }
    }
}

// --- Saving ----------------------------------------------------------------------------------

TEST(SaveSettings, KeepsForeignLinesAndRewritesTheMailboxListWhole)
{
    TempDir dir;
    writeBytes(dir.path() + "tavik32.ini", "; written by hand\r\n"
                                           "[User]\r\n"
                                           "Name=Old\r\n"
                                           "Nick=annie\r\n"
                                           "[Mailboxes]\r\n"
                                           "m0=New Mail\r\n"
                                           "m7=Gone\r\n"
                                           "[Custom]\r\n"
                                           "colour=blue\r\n");
    ProfileSettings s;
    s.Name = "Ann";
    s.Password = "abc";
    s.LastMailbox = 4;
    s.AutoCheckMinutes = -5;
    MailboxList boxes = kStandard;
    boxes.push_back("m5=Box=Two");
    boxes.push_back("M5=Same key, other case");
    boxes.push_back("m6");
    SaveSettings(dir.path(), s, boxes);

    // Known keys are replaced in place; the list moves to the end, where it is written anew.
    EXPECT_EQ(fileBytes(dir.path() + "tavik32.ini"), "; written by hand\r\n"
                                                     "[User]\r\n"
                                                     "Name=Ann\r\n"
                                                     "Nick=annie\r\n"
                                                     "ID=\r\n"
                                                     "RetAddr=\r\n"
                                                     "ReplyTo=\r\n"
                                                     "[Custom]\r\n"
                                                     "colour=blue\r\n"
                                                     "[SMTP]\r\n"
                                                     "Server=\r\n"
                                                     "Port=25\r\n"
                                                     "[POP3]\r\n"
                                                     "Server=\r\n"
                                                     "Port=110\r\n"
                                                     "Password=\x98\x95\x9C\r\n"
                                                     "[Mailbox]\r\n"
                                                     "LastMailbox=4\r\n"
                                                     "LastAttachment=0\r\n"
                                                     "[Mailboxes]\r\n"
                                                     "m0=New Mail\r\n"
                                                     "m1=Sent\r\n"
                                                     "m2=To Send\r\n"
                                                     "m3=Drafts\r\n"
                                                     "m4=Trash\r\n"
                                                     "m5=Box=Two\r\n"
                                                     "M5=Same key, other case\r\n"
                                                     "m6=\r\n"
                                                     "[Options]\r\n"
                                                     "AutoAddAddress=1\r\n"
                                                     "DeleteMailOnRetrieving=0\r\n"
                                                     "FullHeaders=0\r\n"
                                                     "SaveSent=1\r\n"
                                                     "UseSignature=0\r\n"
                                                     "AutoCheckStart=0\r\n"
                                                     "AutoCheckMail=0\r\n"
                                                     "AutoCheckMinutes=-5\r\n"
                                                     "Browser=\r\n"
                                                     "QuotedColor=0\r\n"
                                                     "DraftsMailBox=Drafts\r\n"
                                                     "EmptyTrashOnExit=0\r\n"
                                                     "PluggInSig=0\r\n"
                                                     "PluggInSigFile=\r\n"
                                                     "LastMailPriority=0\r\n"
                                                     "ReturnReceipt=0\r\n"
                                                     "MarkAsRead=0\r\n"
                                                     "TimeOut=30\r\n");
    EXPECT_EQ(modeOf(dir.path() + "tavik32.ini"), 0600u);

    ProfileSettings again;
    MailboxList read;
    LoadSettings(dir.path(), dir.path(), again, read);
    boxes.back() = "m6=";
    EXPECT_EQ(read, boxes);
    EXPECT_EQ(again.Password, "abc");
}

TEST(SaveSettings, EveryFieldSurvivesASaveAndALoad)
{
    TempDir dir;
    ProfileSettings s;
    int n = 1;
    for (const auto& f : settingsFields()) {
        if (f.keptByProgram)
            continue; // where the passwords lie: set, the file would hold none
        switch (f.kind) {
        case SettingsField::Kind::String: s.*f.text = std::string(f.name) + " \xE9=" + std::to_string(n); break;
        case SettingsField::Kind::Integer: s.*f.integer = 1000 + n; break;
        case SettingsField::Kind::Boolean: s.*f.boolean = !(s.*f.boolean); break;
        }
        ++n;
    }
    s.Password = "\xFF\xFE\r\x00 long password past the twenty-character key"s;
    SaveSettings(dir.path(), s, kStandard);

    ProfileSettings read;
    MailboxList boxes;
    LoadSettings(dir.path(), dir.path(), read, boxes);
    for (const auto& f : settingsFields()) {
        switch (f.kind) {
        case SettingsField::Kind::String: EXPECT_EQ(read.*f.text, s.*f.text) << f.name; break;
        case SettingsField::Kind::Integer: EXPECT_EQ(read.*f.integer, s.*f.integer) << f.name; break;
        case SettingsField::Kind::Boolean: EXPECT_EQ(read.*f.boolean, s.*f.boolean) << f.name; break;
        }
    }
    EXPECT_EQ(boxes, kStandard);
}

TEST(SaveSettings, AMissingProfileDirectoryIsAFileErrorAndIsNotCreated)
{
    TempDir dir;
    std::string profile = dir.path() + "gone/";
    try {
        SaveSettings(profile, ProfileSettings{}, kStandard);
        FAIL() << "saved into a missing directory";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("tavik32.ini"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fileExists(profile));
}

// --- Field table -----------------------------------------------------------------------------

TEST(SettingsFields, ListEverySectionAndKeyInWriteOrder)
{
    std::vector<std::string> written;
    for (const auto& f : settingsFields())
        written.push_back(std::string(f.name) + " " + f.section + "/" + f.key);
    EXPECT_EQ(written, (std::vector<std::string>{
                           "Name User/Name",
                           "ID User/ID",
                           "RetAddr User/RetAddr",
                           "ReplyTo User/ReplyTo",
                           "SmtpServer SMTP/Server",
                           "SmtpPort SMTP/Port",
                           "Pop3Server POP3/Server",
                           "Pop3Port POP3/Port",
                           "Password POP3/Password",
                           "Pop3Keyring POP3/Keyring",
                           "Pop3Security POP3/Security",
                           "SmtpSecurity SMTP/Security",
                           "SmtpUser SMTP/User",
                           "SmtpPassword SMTP/Password",
                           "SmtpKeyring SMTP/Keyring",
                           "LastMailbox Mailbox/LastMailbox",
                           "LastAttachment Mailbox/LastAttachment",
                           "AutoAddAddress Options/AutoAddAddress",
                           "DeleteMailOnRetrieving Options/DeleteMailOnRetrieving",
                           "FullHeaders Options/FullHeaders",
                           "SaveSent Options/SaveSent",
                           "UseSignature Options/UseSignature",
                           "AutoCheckStart Options/AutoCheckStart",
                           "AutoCheckMail Options/AutoCheckMail",
                           "AutoCheckMinutes Options/AutoCheckMinutes",
                           "Browser Options/Browser",
                           "QuotedColor Options/QuotedColor",
                           "DraftsMailBox Options/DraftsMailBox",
                           "EmptyTrashOnExit Options/EmptyTrashOnExit",
                           "PluggInSig Options/PluggInSig",
                           "PluggInSigFile Options/PluggInSigFile",
                           "LastMailPriority Options/LastMailPriority",
                           "ReturnReceipt Options/ReturnReceipt",
                           "MarkAsRead Options/MarkAsRead",
                           "TimeOut Options/TimeOut",
                           "CaFile Options/CaFile",
                           "UseKeyring Options/UseKeyring",
                       }));
    for (const auto& f : settingsFields()) {
        EXPECT_EQ(f.text != nullptr, f.kind == SettingsField::Kind::String) << f.name;
        EXPECT_EQ(f.integer != nullptr, f.kind == SettingsField::Kind::Integer) << f.name;
        EXPECT_EQ(f.boolean != nullptr, f.kind == SettingsField::Kind::Boolean) << f.name;
        EXPECT_EQ(f.scrambled, std::string(f.name) == "Password" || std::string(f.name) == "SmtpPassword") << f.name;
    }
}

TEST(SettingsFields, FindIgnoresCaseAndKnowsOnlyFieldNames)
{
    const SettingsField* smtp = findSettingsField("smtpSERVER");
    ASSERT_NE(smtp, nullptr);
    EXPECT_EQ(smtp->text, &ProfileSettings::SmtpServer);
    const SettingsField* minutes = findSettingsField("autocheckminutes");
    ASSERT_NE(minutes, nullptr);
    EXPECT_EQ(minutes->integer, &ProfileSettings::AutoCheckMinutes);
    EXPECT_EQ(findSettingsField("Server"), nullptr); // a key shared by two sections, not a field
    EXPECT_EQ(findSettingsField("Time"), nullptr);
    EXPECT_EQ(findSettingsField("TimeOutX"), nullptr);
    EXPECT_EQ(findSettingsField(""), nullptr);
}

// --- Password scrambling ---------------------------------------------------------------------

TEST(PasswordScrambling, MatchesHandComputedValues)
{
    // The key is "73920584617302958146": each byte gains the code of its key digit.
    EXPECT_EQ(ScramblePassword("abc"), "\x98\x95\x9C");
    EXPECT_EQ(ScramblePassword("\xFF"), "6"); // 0xFF + '7' wraps to 0x36
    EXPECT_EQ(ScramblePassword(std::string(21, '\0')), "739205846173029581467");
    EXPECT_EQ(UnscramblePassword("\x98\x95\x9C"), "abc");
    EXPECT_EQ(UnscramblePassword("0"), std::string(1, '\xF9')); // '0' - '7' wraps below zero
    EXPECT_EQ(ScramblePassword(""), "");
    EXPECT_EQ(UnscramblePassword(""), "");
}

TEST(PasswordScrambling, RoundTripsEveryByteOverTextsLongerThanTheKey)
{
    std::string all;
    for (int round = 0; round < 5; ++round) // each byte value at several key positions
        for (int c = 0; c < 256; ++c)
            all.push_back(static_cast<char>(c));
    std::string scrambled = ScramblePassword(all);
    EXPECT_EQ(scrambled.size(), all.size());
    EXPECT_NE(scrambled, all);
    EXPECT_EQ(UnscramblePassword(scrambled), all);
    EXPECT_EQ(ScramblePassword(UnscramblePassword(all)), all);
}

// --- Address splitting -----------------------------------------------------------------------

struct Split {
    std::string address, name;
    bool operator==(const Split&) const = default;
};

Split split(const std::string& text)
{
    Split s{"unset", "unset"};
    SplitAddress(text, s.address, s.name);
    return s;
}

void PrintTo(const Split& s, std::ostream* os) { *os << "{\"" << s.address << "\", \"" << s.name << "\"}"; }

TEST(SplitAddress, NameAndAngleAddress)
{
    EXPECT_EQ(split("\"John Doe\" <john@example.com>"), (Split{"john@example.com", "John Doe"}));
    EXPECT_EQ(split("  \"John Doe\"  <john@example.com> trailing"), (Split{"john@example.com", "John Doe"}));
    EXPECT_EQ(split("John Doe<john@example.com>"), (Split{"john@example.com", "John Doe"}));
    EXPECT_EQ(split("<john@example.com>"), (Split{"john@example.com", ""}));
    // Only one quote comes off each end.
    EXPECT_EQ(split("\"\"Q\"\" <q@x>"), (Split{"q@x", "\"Q\""}));
    // The address is not trimmed.
    EXPECT_EQ(split("A < a@x >"), (Split{" a@x ", "A"}));
}

TEST(SplitAddress, AddressAndNameInParentheses)
{
    EXPECT_EQ(split("john@example.com (John Doe)"), (Split{"john@example.com", "John Doe"}));
    EXPECT_EQ(split("  john@example.com   (\"John Doe\")"), (Split{"john@example.com", "John Doe"}));
    // The name in parentheses is not trimmed.
    EXPECT_EQ(split("j@x ( J )"), (Split{"j@x", " J "}));
    EXPECT_EQ(split("j@x (no end"), (Split{"j@x", ""}));
}

TEST(SplitAddress, BareAddress)
{
    EXPECT_EQ(split("john@example.com"), (Split{"john@example.com", ""}));
    EXPECT_EQ(split(""), (Split{"", ""}));
}

TEST(SplitAddress, AnOpeningAngleWithoutItsCloseGivesAnEmptyAddress)
{
    EXPECT_EQ(split("John <john@example.com"), (Split{"", "John"}));
    // A ">" before the "<" does not close it.
    EXPECT_EQ(split("a>b <c@x"), (Split{"", "a>b"}));
    EXPECT_EQ(split("a>b <c@x>"), (Split{"", "a>b"}));
    // Angle brackets win over parentheses.
    EXPECT_EQ(split("(Name) <n@x>"), (Split{"n@x", "(Name)"}));
}

// --- Directories -----------------------------------------------------------------------------

class ProgramDirectoryEnvironment : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {"TAVIK_HOME", "XDG_DATA_HOME", "HOME"}) {
            const char* v = std::getenv(name);
            saved_.push_back({name, v ? std::optional<std::string>(v) : std::nullopt});
        }
    }
    void TearDown() override
    {
        for (const auto& [name, value] : saved_)
            set(name, value ? value->c_str() : nullptr);
    }
    static void set(const std::string& name, const char* value)
    {
        if (value)
            ::setenv(name.c_str(), value, 1);
        else
            ::unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(ProgramDirectoryEnvironment, TavikHomeComesFirstThenXdgDataHomeThenHome)
{
    set("HOME", "/home/ann");
    set("XDG_DATA_HOME", "/data/ann");
    set("TAVIK_HOME", "/opt/tavik-home");
    EXPECT_EQ(DefaultProgramDirectory(), "/opt/tavik-home/");
    set("TAVIK_HOME", "/opt/tavik-home/");
    EXPECT_EQ(DefaultProgramDirectory(), "/opt/tavik-home/");

    set("TAVIK_HOME", "");
    EXPECT_EQ(DefaultProgramDirectory(), "/data/ann/tavik/");
    set("TAVIK_HOME", nullptr);
    set("XDG_DATA_HOME", "/data/ann/");
    EXPECT_EQ(DefaultProgramDirectory(), "/data/ann/tavik/");

    // A relative XDG_DATA_HOME is invalid and ignored, as is an empty one.
    set("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(DefaultProgramDirectory(), "/home/ann/.local/share/tavik/");
    set("XDG_DATA_HOME", "");
    EXPECT_EQ(DefaultProgramDirectory(), "/home/ann/.local/share/tavik/");
    set("XDG_DATA_HOME", nullptr);
    set("HOME", "/home/ann/");
    EXPECT_EQ(DefaultProgramDirectory(), "/home/ann/.local/share/tavik/");
}

TEST_F(ProgramDirectoryEnvironment, ARelativeProgramDirectoryIsMadeAbsolute)
{
    TempDir tmp;
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(tmp.path());
    set("TAVIK_HOME", "home");
    const std::string fromEnvironment = DefaultProgramDirectory();
    const std::string given = absoluteDirectory("other/dir");
    std::filesystem::current_path(before);
    EXPECT_EQ(fromEnvironment, tmp.path() + "home/");
    EXPECT_EQ(given, tmp.path() + "other/dir/");
    EXPECT_EQ(absoluteDirectory("/opt/t"), "/opt/t/");
}

TEST(TemplateDirectory, BuildTreeFirstThenInstalledShareDirectory)
{
    TempDir root;
    std::string bin = root.path() + "bin/";
    makePrivateDirectories(bin);
    EXPECT_EQ(FindTemplateDirectory(bin), "");

    makePrivateDirectories(root.path() + "share/tavik");
    writeBytes(root.path() + "share/tavik/signatur.tpl", kSignature);
    EXPECT_EQ(FindTemplateDirectory(root.path() + "bin"), bin + "../share/tavik/");

    writeBytes(bin + "signatur.tpl", kSignature);
    EXPECT_EQ(FindTemplateDirectory(bin), bin);
}

TEST(TemplateDirectory, InstallCopiesOnlyMissingTemplatesIntoANewPrivateDirectory)
{
    TempDir root;
    std::string templates = root.path() + "templates/";
    makePrivateDirectories(templates);
    writeBytes(templates + "signatur.tpl", kSignature);
    writeBytes(templates + "uidl.tpl", kUidl);
    // No mime.def shipped here: its absence is ignored.
    std::string program = root.path() + "data/tavik/";
    InstallTemplates(templates, program);
    EXPECT_EQ(modeOf(program), 0700u);
    EXPECT_EQ(fileBytes(program + "signatur.tpl"), kSignature);
    EXPECT_EQ(fileBytes(program + "uidl.tpl"), kUidl);
    EXPECT_FALSE(fileExists(program + "mime.def"));

    writeBytes(program + "signatur.tpl", "the user's own");
    writeBytes(templates + "mime.def", "types");
    InstallTemplates(templates, program);
    EXPECT_EQ(fileBytes(program + "signatur.tpl"), "the user's own");
    EXPECT_EQ(fileBytes(program + "mime.def"), "types");
}


// Some passwords scramble to CR, LF or blanks at an end, which an ini line cannot carry.
TEST(PasswordInTheSettingsFile, EveryPasswordSurvivesASave)
{
    TempDir dir;
    std::vector<std::string> passwords = {"plain", "\xd9\xda", "\xe8trail\xe8", std::string("\xd0\xd5\xdd", 3)};
    for (int c = 1; c < 256; ++c)
        passwords.push_back("ab" + std::string(1, static_cast<char>(c)) + "cd" + std::string(1, static_cast<char>(c)));
    for (const auto& password : passwords) {
        ProfileSettings s;
        s.Password = password;
        s.LastMailbox = 4;
        SaveSettings(dir.path(), s, standardMailboxEntries());
        ProfileSettings back;
        MailboxList boxes;
        LoadSettings(dir.path(), dir.path(), back, boxes);
        ASSERT_EQ(back.Password, password);
        ASSERT_EQ(boxes, standardMailboxEntries());
    }
    // A password that scrambles to a clean value is stored exactly as before.
    EXPECT_EQ(passwordToIniValue("plain"), ScramblePassword("plain"));
    // The key's first digit is '7' (55): 0xD6 + 55 wraps to 13, a CR.
    EXPECT_EQ(passwordToIniValue("\xd6"), std::string(kHexPasswordMarker) + "0D");
    EXPECT_EQ(passwordFromIniValue(std::string(kHexPasswordMarker) + "0D"), "\xd6");
}

TEST(LoadSettingsNewProfile, ReinitialisingKeepsTheOptionsTheFileHolds)
{
    TempDir dir;
    writeBytes(dir.path() + "tavik32.ini", "[Mailbox]\r\nLastMailbox=-1\r\n[Options]\r\nBrowser=firefox\r\nTimeOut=99\r\n");
    ProfileSettings s;
    MailboxList boxes;
    LoadSettings(dir.path(), dir.path(), s, boxes);
    EXPECT_EQ(s.Browser, "firefox");
    EXPECT_EQ(s.TimeOut, 99);
    IniFile written(dir.path() + "tavik32.ini");
    EXPECT_EQ(written.readString("Options", "Browser"), "firefox");
    EXPECT_EQ(written.readString("Options", "TimeOut"), "99");
}

} // namespace
} // namespace tavik
