#include "profile/user_registry.h"

#include "profile/file_util.h"
#include "profile/settings.h"
#include "support/test_support.h"

#include <array>
#include <deque>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik {
namespace {

using test::fileBytes;
using test::TempDir;
using test::writeBytes;
using namespace std::string_literals;

bool isDirectory(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

mode_t modeOf(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Answers the questions from a script and records what was asked.
class ScriptedQuestions : public UserQuestions {
public:
    std::deque<std::optional<std::string>> passwords;
    std::deque<bool> answers;
    std::vector<std::string> passwordAskedFor;
    std::vector<std::string> questionsAsked;

    std::optional<std::string> askPassword(const std::string& userName) override
    {
        passwordAskedFor.push_back(userName);
        if (passwords.empty())
            ADD_FAILURE() << "unexpected password prompt for " << userName;
        auto typed = passwords.empty() ? std::nullopt : passwords.front();
        if (!passwords.empty())
            passwords.pop_front();
        return typed;
    }
    bool askYesNo(const std::string& question) override
    {
        questionsAsked.push_back(question);
        if (answers.empty())
            ADD_FAILURE() << "unexpected question " << question;
        bool yes = !answers.empty() && answers.front();
        if (!answers.empty())
            answers.pop_front();
        return yes;
    }
};

// A registry of the default user followed by `users` (login, directory, password).
UserRegistry registryOf(std::vector<std::array<std::string, 3>> users)
{
    UserRegistry r;
    r.userNames = {"default"};
    r.userDirectories = {"default"};
    r.userPasswords = {"none"};
    for (auto& u : users) {
        r.userNames.push_back(u[0]);
        r.userDirectories.push_back(u[1]);
        r.userPasswords.push_back(u[2]);
    }
    return r;
}

void expectMessage(const UserResult& r, UserOutcome outcome, const std::string& text)
{
    EXPECT_EQ(r.outcome, outcome);
    EXPECT_EQ(r.text, text);
    EXPECT_EQ(r.title, text.empty() ? "" : "Tavik mail");
}

const std::string kDefaultOnly = "[Login]\r\ndefault=default\r\n[Pwd]\r\n0=none\r\n";

// ---------------------------------------------------------------------------------------------
// The file: what is read, what is written back.

TEST(LoginFile, WithoutLoginIniTheDefaultUserIsWrittenBack)
{
    TempDir program;
    UserRegistry r;
    r.currentUser = 3;
    LoadUsers(program.path(), r);
    EXPECT_EQ(r.userNames, std::vector<std::string>{"default"});
    EXPECT_EQ(r.userDirectories, std::vector<std::string>{"default"});
    EXPECT_EQ(r.userPasswords, std::vector<std::string>{"none"});
    EXPECT_EQ(r.currentUser, 0);
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"), kDefaultOnly);
    EXPECT_EQ(modeOf(program.path() + "Login.ini"), 0600u);
}

TEST(LoginFile, PasswordsPairWithUsersByLineOrderAndKeysAreRenumbered)
{
    TempDir program;
    // "annpw" scrambled with the key 7,3,9,2,0: a+55, n+51, n+57, p+50, w+48.
    writeBytes(program.path() + "Login.ini", "[Login]\nDefault=Default\nann=ann\nbob=Bob\n"
                                             "[Pwd]\n2=none\n7=\x98\xA1\xA7\xA2\xA7\n0=none\n");
    UserRegistry r;
    LoadUsers(program.path(), r);
    EXPECT_EQ(r.userNames, (std::vector<std::string>{"Default", "ann", "bob"}));
    EXPECT_EQ(r.userDirectories, (std::vector<std::string>{"Default", "ann", "Bob"}));
    EXPECT_EQ(r.userPasswords, (std::vector<std::string>{"none", "annpw", "none"}));
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"),
              "[Login]\r\nDefault=Default\r\nann=ann\r\nbob=Bob\r\n"
              "[Pwd]\r\n0=none\r\n1=\x98\xA1\xA7\xA2\xA7\r\n2=none\r\n");
}

TEST(LoginFile, ScrambledAndNonePasswordsAsWritten)
{
    TempDir program;
    UserRegistry r;
    LoadUsers(program.path(), r);
    ASSERT_TRUE(AddUser(program.path(), r, {"carl", "carl", "", "ignored"}).succeeded());
    ASSERT_TRUE(AddUser(program.path(), r, {"dora", "dora", "secret", "secret"}).succeeded());
    // Umlauts: 0xC4+55 = 0xFB, 0xD6+51 wraps to a tab (kept inside a value), 0xDC+57 to 0x15.
    ASSERT_TRUE(AddUser(program.path(), r, {"emil", "emil", "\xC4\xD6\xDC", "\xC4\xD6\xDC"}).succeeded());
    EXPECT_EQ(r.userPasswords, (std::vector<std::string>{"none", "none", "secret", "\xC4\xD6\xDC"}));
    const std::string expected = "[Login]\r\ndefault=default\r\ncarl=carl\r\ndora=dora\r\nemil=emil\r\n"
                                 "[Pwd]\r\n0=none\r\n1=none\r\n2=\xAA\x98\x9C\xA4\x95\xA9\r\n3=\xFB\t\x15\r\n";
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"), expected);
    EXPECT_EQ(fileBytes(program.path() + "Login.ini").find("secret"), std::string::npos);

    UserRegistry back;
    LoadUsers(program.path(), back);
    EXPECT_EQ(back.userPasswords, r.userPasswords);
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"), expected);
}

TEST(LoginFile, PasswordsBeyond127SurviveSaveAndLoad)
{
    TempDir program;
    UserRegistry r = registryOf({});
    std::vector<std::string> passwords = {
        "\xD3",         // 0xD3+55 wraps to LF: would split the line
        "\xE9x\xE9",    // 0xE9+55 wraps to a blank: readers trim it
        "7<53",         // scrambles to "none": would read back as no password
        "\xEA" "E\x01", // scrambles to the hexadecimal marker itself
        "\x80\xFF\xFE\xA0\xE4\xF6\xFC\xDF",
    };
    for (int c = 128; c < 256; ++c)
        passwords.push_back("p" + std::string(1, static_cast<char>(c)) + std::string(1, static_cast<char>(c)) + "q");
    for (std::size_t i = 0; i < passwords.size(); ++i) {
        r.userNames.push_back("u" + std::to_string(i));
        r.userDirectories.push_back("u" + std::to_string(i));
        r.userPasswords.push_back(passwords[i]);
    }
    SaveUsers(program.path(), r);
    const std::string bytes = fileBytes(program.path() + "Login.ini");
    EXPECT_NE(bytes.find("\r\n1=!x:0A\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\n3=!x:6E6F6E65\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\n4=!x:21783A\r\n"), std::string::npos);
    UserRegistry back;
    LoadUsers(program.path(), back);
    EXPECT_EQ(back.userNames, r.userNames);
    EXPECT_EQ(back.userPasswords, r.userPasswords);
    for (std::size_t i = 0; i < passwords.size(); ++i)
        EXPECT_TRUE(userHasPassword(back, static_cast<int>(i + 1))) << i;
}

TEST(LoginFile, OtherLinesSurviveAndBothSectionsAreRewrittenWhole)
{
    TempDir program;
    writeBytes(program.path() + "Login.ini", "; kept\r\n[Login]\r\ndefault=default\r\nstray line\r\n"
                                             "[Other]\r\nkey=value\r\n[login]\r\nold=old\r\n[PWD]\r\n0=none\r\n");
    UserRegistry r;
    LoadUsers(program.path(), r);
    EXPECT_EQ(r.userNames, std::vector<std::string>{"default"});
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"), "; kept\r\n[Other]\r\nkey=value\r\n" + kDefaultOnly);
}

TEST(LoginFile, HostileFileLoadsSafely)
{
    TempDir program;
    std::string longDir(1500, 'd');
    writeBytes(program.path() + "Login.ini",
               "[Login]\r\ndefault=default\r\nno equals sign\r\nevil=../../victim\r\nslash=a/b\r\nempty=\r\n"
               "long=" + longDir + "\r\n=nameless\r\n"
               "[Pwd]\r\nx=none\r\n1=!x:zz\r\n");
    UserRegistry r;
    LoadUsers(program.path(), r);
    ASSERT_EQ(r.userNames, (std::vector<std::string>{"default", "evil", "slash", "empty", "long"}));
    EXPECT_EQ(r.userDirectories[1], "../../victim");
    EXPECT_EQ(r.userDirectories[4], std::string(999, 'd'));
    // Too few passwords: the rest have none. A malformed hexadecimal value is taken as scrambled.
    EXPECT_EQ(r.userPasswords[1], UnscramblePassword("!x:zz"));
    EXPECT_EQ(r.userPasswords[2], "none");
    EXPECT_EQ(r.userPasswords[4], "none");
    EXPECT_EQ(profileDirectoryOfUser(program.path(), r, 0), program.path());
    for (int i = 1; i <= 4; ++i)
        EXPECT_THROW(profileDirectoryOfUser(program.path(), r, i), FileError) << i;
    try {
        profileDirectoryOfUser(program.path(), r, 1);
    } catch (const FileError& e) {
        EXPECT_EQ(e.path, program.path() + "Login.ini");
    }
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"),
              "[Login]\r\ndefault=default\r\nevil=../../victim\r\nslash=a/b\r\nempty=\r\nlong=" +
                  std::string(999, 'd') + "\r\n[Pwd]\r\n0=none\r\n1=!x:21783A7A7A\r\n2=none\r\n3=none\r\n4=none\r\n");
}

TEST(LoginFile, SurplusPasswordsAreDroppedAndAnEmptyRegistryStartsOver)
{
    TempDir program;
    writeBytes(program.path() + "Login.ini", "[Login]\r\nann=ann\r\n[Pwd]\r\n0=none\r\n1=none\r\n2=none\r\n");
    UserRegistry r;
    LoadUsers(program.path(), r);
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"), "[Login]\r\nann=ann\r\n[Pwd]\r\n0=none\r\n");

    writeBytes(program.path() + "Login.ini", "[Login]\r\njunk\r\n[Pwd]\r\n0=secret\r\n");
    LoadUsers(program.path(), r);
    EXPECT_EQ(r.userNames, std::vector<std::string>{"default"});
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"), kDefaultOnly);
}

TEST(LoginFile, RandomBytesNeverYieldAPathOutsideTheProgramDirectory)
{
    TempDir program;
    std::mt19937 random(20261209);
    const std::string alphabet = "[]=\r\n./\\ \t\0aAdefltuLoginPwd0123456789\x80\xFF"s;
    for (int round = 0; round < 300; ++round) {
        std::string bytes = round % 2 ? "[Login]\r\n" : "";
        std::size_t length = random() % 300;
        for (std::size_t i = 0; i < length; ++i)
            bytes.push_back(alphabet[random() % alphabet.size()]);
        writeBytes(program.path() + "Login.ini", bytes);
        UserRegistry r;
        ASSERT_NO_THROW(LoadUsers(program.path(), r)) << round;
        ASSERT_GE(r.size(), 1);
        ASSERT_EQ(r.userDirectories.size(), r.userNames.size());
        ASSERT_EQ(r.userPasswords.size(), r.userNames.size());
        UserRegistry again;
        LoadUsers(program.path(), again);
        EXPECT_EQ(again.userNames, r.userNames) << round;
        EXPECT_EQ(again.userPasswords, r.userPasswords) << round;
        EXPECT_EQ(again.userDirectories, r.userDirectories) << round;
        for (int i = 0; i < r.size(); ++i) {
            std::string dir;
            try {
                dir = profileDirectoryOfUser(program.path(), r, i);
            } catch (const FileError&) {
                continue;
            }
            if (dir == program.path())
                continue;
            std::string rest = dir.substr(0, program.path().size()) == program.path()
                                   ? dir.substr(program.path().size()) : "outside";
            ASSERT_EQ(rest.substr(0, 6), "users/") << dir;
            std::string name = rest.substr(6, rest.size() - 7);
            EXPECT_TRUE(name != "." && name != ".." && name.find('/') == std::string::npos) << dir;
        }
    }
}

TEST(LoginFile, UnreadableOrUnwritableFileRaisesFileErrorNamingIt)
{
    TempDir program;
    ASSERT_EQ(::mkdir((program.path() + "Login.ini").c_str(), 0700), 0);
    UserRegistry r;
    try {
        LoadUsers(program.path(), r);
        FAIL() << "no error";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("Login.ini"), std::string::npos);
    }
}

TEST(LoginFile, SaveRefusesLoginsTheFileCannotHold)
{
    TempDir program;
    UserRegistry r;
    LoadUsers(program.path(), r);
    for (std::string bad : {"a=b", "[x]", "", " pad", "line\nbreak"}) {
        UserRegistry copy = r;
        copy.userNames.push_back(bad);
        copy.userDirectories.push_back("x");
        copy.userPasswords.push_back("none");
        EXPECT_THROW(SaveUsers(program.path(), copy), FileError) << bad;
    }
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"), kDefaultOnly);
    r.userPasswords.push_back("none");
    EXPECT_THROW(SaveUsers(program.path(), r), std::invalid_argument);
}

// ---------------------------------------------------------------------------------------------
// Adding users.

struct AddUserFixture : ::testing::Test {
    TempDir program;
    UserRegistry r;
    void SetUp() override
    {
        LoadUsers(program.path(), r);
        ASSERT_TRUE(AddUser(program.path(), r, {"ann", "ann", "", ""}).succeeded());
        fileBefore = fileBytes(program.path() + "Login.ini");
    }
    std::string fileBefore;

    // Refused with `outcome` and `text`, leaving the registry, the file and users/ as they were.
    void expectRefused(const NewUser& user, UserOutcome outcome, const std::string& text)
    {
        SCOPED_TRACE("login \"" + user.login + "\", directory \"" + user.directory + "\"");
        UserRegistry before = r;
        expectMessage(AddUser(program.path(), r, user), outcome, text);
        EXPECT_EQ(r.userNames, before.userNames);
        EXPECT_EQ(r.userDirectories, before.userDirectories);
        EXPECT_EQ(r.userPasswords, before.userPasswords);
        EXPECT_EQ(fileBytes(program.path() + "Login.ini"), fileBefore);
        std::string dir = program.path() + "users/" + user.directory;
        if (!user.directory.empty() && user.directory != "ann" && user.directory != "ANN" && user.directory != "." &&
            user.directory != "..") {
            EXPECT_FALSE(exists(dir)) << dir;
        }
    }
};

TEST_F(AddUserFixture, AddsUserWithLowerCaseDirectory)
{
    NewUser bob{" Bob ", "Bob\t", "pw", "pw"};
    bob.createTempDirectory = true;
    expectMessage(AddUser(program.path(), r, bob), UserOutcome::Done, "");
    EXPECT_EQ(r.userNames.back(), "Bob");
    EXPECT_EQ(r.userDirectories.back(), "bob");
    EXPECT_EQ(r.userPasswords.back(), "pw");
    EXPECT_TRUE(isDirectory(program.path() + "users/bob/Temp"));
    EXPECT_EQ(modeOf(program.path() + "users/bob"), 0700u);
    EXPECT_EQ(modeOf(program.path() + "users"), 0700u);
    EXPECT_FALSE(exists(program.path() + "users/Bob"));
    EXPECT_FALSE(exists(program.path() + "users/ann/Temp"));
    // "pw": p+55, w+51.
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"),
              "[Login]\r\ndefault=default\r\nann=ann\r\nBob=bob\r\n[Pwd]\r\n0=none\r\n1=none\r\n2=\xA7\xAA\r\n");
    EXPECT_EQ(profileDirectoryOfUser(program.path(), r, 2), program.path() + "users/bob/");
}

TEST_F(AddUserFixture, RefusesEmptyFieldsAndDifferingPasswords)
{
    const std::string missing = "Error adding New User:\r\nYou must fill Login field and\r\nDirectory field.";
    expectRefused({"", "carl", "", ""}, UserOutcome::FieldsMissing, missing);
    expectRefused({"carl", "", "", ""}, UserOutcome::FieldsMissing, missing);
    expectRefused({"  ", " \t", "", ""}, UserOutcome::FieldsMissing, missing);
    // Checked before the directory is made, so a refusal leaves nothing behind.
    expectRefused({"carl", "carl", "pw", "wp"}, UserOutcome::PasswordsDiffer,
                  "Error: Password and Confirmation are different.");
    expectRefused({"carl", "carl", "pw", ""}, UserOutcome::PasswordsDiffer,
                  "Error: Password and Confirmation are different.");
}

TEST_F(AddUserFixture, CannotCreateDirectory)
{
    writeBytes(program.path() + "users/carl", "a file in the way");
    expectMessage(AddUser(program.path(), r, {"carl", "carl", "", ""}), UserOutcome::CannotCreateDirectory,
                  "Error adding New User:\r\nCannot create user directory.");
    EXPECT_EQ(r.size(), 2);
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"), fileBefore);
    expectMessage(AddUser(program.path(), r, {"dora", std::string(256, 'd'), "", ""}), UserOutcome::DirectoryInvalid,
                  "Error adding New User:\r\nThe Directory field must be a plain name:\r\n"
                  "no \"/\" or \"\\\", not \".\", \"..\" or \"default\".");
}

TEST_F(AddUserFixture, RefusesLoginsThatWouldClash)
{
    const std::string invalid = "Error adding New User:\r\nThe Login field cannot contain \"=\"\r\nnor begin with \"[\".";
    const std::string taken = "Error adding New User:\r\nThis Login is already used\r\nby another user.";
    expectRefused({"a=b", "ab", "", ""}, UserOutcome::LoginInvalid, invalid);
    expectRefused({"=", "eq", "", ""}, UserOutcome::LoginInvalid, invalid);
    expectRefused({"[Pwd]", "pwd", "", ""}, UserOutcome::LoginInvalid, invalid);
    expectRefused({"tab\there", "tab", "", ""}, UserOutcome::LoginInvalid, invalid);
    expectRefused({"ANN", "ann2", "", ""}, UserOutcome::LoginTaken, taken);
    expectRefused({"Default", "other", "", ""}, UserOutcome::LoginTaken, taken);
    // A login with "]" or "[" inside reads back as itself.
    EXPECT_TRUE(AddUser(program.path(), r, {"x[1]", "x1", "", ""}).succeeded());
    UserRegistry back;
    LoadUsers(program.path(), back);
    EXPECT_EQ(back.userNames.back(), "x[1]");
}

TEST_F(AddUserFixture, RefusesDirectoriesThatAreNotOwnPlainNames)
{
    const std::string invalid = "Error adding New User:\r\nThe Directory field must be a plain name:\r\n"
                                "no \"/\" or \"\\\", not \".\", \"..\" or \"default\".";
    const std::string taken = "Error adding New User:\r\nThis Directory is already used\r\nby another user.";
    for (const std::string& dir :
         std::vector<std::string>{".", "..", "a/b", "../up", "/abs", "a\\b", "default", "DeFault", "nul\0l"s, "cr\rx"})
        expectRefused({"carl", dir, "", ""}, UserOutcome::DirectoryInvalid, invalid);
    expectRefused({"carl", "ANN", "", ""}, UserOutcome::DirectoryTaken, taken);
    expectRefused({"carl", "ann", "", ""}, UserOutcome::DirectoryTaken, taken);
    EXPECT_FALSE(exists(program.path() + "users/a"));
}

TEST_F(AddUserFixture, RefusesPasswordsThatCannotBeKept)
{
    expectRefused({"carl", "carl", "none", "none"}, UserOutcome::PasswordReserved,
                  "Error adding New User:\r\n\"none\" cannot be used as a password.");
    std::string longest(255, 'p'), tooLong(256, 'p');
    expectRefused({"carl", "carl", tooLong, tooLong}, UserOutcome::PasswordTooLong,
                  "Error adding New User:\r\nThe password is too long\r\n(255 characters at most).");
    ASSERT_TRUE(AddUser(program.path(), r, {"carl", "carl", longest, longest}).succeeded());
    ASSERT_TRUE(AddUser(program.path(), r, {"dora", "dora", "None", "None"}).succeeded());
    UserRegistry back;
    LoadUsers(program.path(), back);
    EXPECT_EQ(back.userPasswords[2], longest);
    EXPECT_EQ(back.userPasswords[3], "None");
}

TEST_F(AddUserFixture, FailedSaveLeavesTheRegistryAsItWas)
{
    ASSERT_EQ(::unlink((program.path() + "Login.ini").c_str()), 0);
    ASSERT_EQ(::mkdir((program.path() + "Login.ini").c_str(), 0700), 0);
    UserRegistry before = r;
    EXPECT_THROW(AddUser(program.path(), r, {"carl", "carl", "", ""}), FileError);
    EXPECT_EQ(r.userNames, before.userNames);
    EXPECT_EQ(r.userDirectories, before.userDirectories);
    EXPECT_EQ(r.userPasswords, before.userPasswords);
}

// ---------------------------------------------------------------------------------------------
// Deleting users.

struct DeleteUserFixture : ::testing::Test {
    TempDir program;
    TempDir outside;
    UserRegistry r;
    ScriptedQuestions q;
    void SetUp() override
    {
        LoadUsers(program.path(), r);
        const std::vector<std::pair<std::string, std::string>> users = {
            {"ann", ""}, {"bob", "Secret"}, {"carl", ""}, {"dora", ""}};
        for (const auto& [login, pw] : users)
            ASSERT_TRUE(AddUser(program.path(), r, {login, login, pw, pw}).succeeded());
        writeBytes(program.path() + "users/carl/tavik32.ini", "x");
        writeBytes(outside.path() + "precious", "keep me");
    }
    std::string question(const std::string& name)
    {
        return "User " + name + " will be permanently deleted.\r\nAre you sure you want to do this?";
    }
};

TEST_F(DeleteUserFixture, CurrentAndDefaultUserAreKept)
{
    r.currentUser = 2;
    expectMessage(DeleteUser(program.path(), r, 2, q), UserOutcome::CurrentUserKept,
                  "You cannot delete the current user !!");
    expectMessage(DeleteUser(program.path(), r, 0, q), UserOutcome::DefaultUserKept,
                  "You cannot delete the default user !!");
    r.currentUser = 0;
    expectMessage(DeleteUser(program.path(), r, 0, q), UserOutcome::CurrentUserKept,
                  "You cannot delete the current user !!");
    expectMessage(DeleteUser(program.path(), r, 5, q), UserOutcome::NoSuchUser, "");
    expectMessage(DeleteUser(program.path(), r, -1, q), UserOutcome::NoSuchUser, "");
    EXPECT_TRUE(q.passwordAskedFor.empty());
    EXPECT_TRUE(q.questionsAsked.empty());
    EXPECT_EQ(r.size(), 5);
}

TEST_F(DeleteUserFixture, WrongOrWithheldPasswordDeletesNothing)
{
    const std::string file = fileBytes(program.path() + "Login.ini");
    q.passwords = {"secret", std::nullopt};
    expectMessage(DeleteUser(program.path(), r, 2, q), UserOutcome::PasswordIncorrect,
                  "Password incorrect. User not deleted.");
    expectMessage(DeleteUser(program.path(), r, 2, q), UserOutcome::Cancelled, "");
    EXPECT_EQ(q.passwordAskedFor, (std::vector<std::string>{"bob", "bob"}));
    EXPECT_TRUE(q.questionsAsked.empty());
    EXPECT_EQ(r.size(), 5);
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"), file);
    EXPECT_TRUE(isDirectory(program.path() + "users/bob"));
}

TEST_F(DeleteUserFixture, ConfirmationIsAskedAndNoKeepsTheUser)
{
    q.passwords = {"Secret"};
    q.answers = {false};
    expectMessage(DeleteUser(program.path(), r, 2, q), UserOutcome::Cancelled, "");
    EXPECT_EQ(q.questionsAsked, std::vector<std::string>{question("bob")});
    EXPECT_EQ(r.size(), 5);
    EXPECT_TRUE(isDirectory(program.path() + "users/bob"));

    q.answers = {true};
    expectMessage(DeleteUser(program.path(), r, 3, q), UserOutcome::Done, "");
    EXPECT_EQ(q.questionsAsked.back(), question("carl"));
    EXPECT_EQ(r.userNames, (std::vector<std::string>{"default", "ann", "bob", "dora"}));
    EXPECT_FALSE(exists(program.path() + "users/carl"));
    EXPECT_EQ(fileBytes(program.path() + "Login.ini"),
              "[Login]\r\ndefault=default\r\nann=ann\r\nbob=bob\r\ndora=dora\r\n"
              "[Pwd]\r\n0=none\r\n1=none\r\n2=" + ScramblePassword("Secret") + "\r\n3=none\r\n");
}

TEST_F(DeleteUserFixture, CurrentUserStaysTheSamePerson)
{
    r.currentUser = 3; // carl
    q.answers = {true, true};
    ASSERT_TRUE(DeleteUser(program.path(), r, 4, q).succeeded()); // after him: no shift
    EXPECT_EQ(r.currentUser, 3);
    ASSERT_TRUE(DeleteUser(program.path(), r, 1, q).succeeded()); // before him
    EXPECT_EQ(r.currentUser, 2);
    EXPECT_EQ(r.userNames[r.currentUser], "carl");
}

TEST_F(DeleteUserFixture, RemovalNeverFollowsLinksOut)
{
    // A link inside the profile and a profile that is itself a link: both go, their targets stay.
    ASSERT_EQ(::mkdir((program.path() + "users/ann/deep").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), (program.path() + "users/ann/deep/out").c_str()), 0);
    writeBytes(program.path() + "users/ann/deep/file", "x");
    ASSERT_EQ(::rmdir((program.path() + "users/dora").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), (program.path() + "users/dora").c_str()), 0);
    q.answers = {true, true};
    ASSERT_TRUE(DeleteUser(program.path(), r, 4, q).succeeded());
    ASSERT_TRUE(DeleteUser(program.path(), r, 1, q).succeeded());
    EXPECT_FALSE(exists(program.path() + "users/ann"));
    EXPECT_FALSE(exists(program.path() + "users/dora"));
    EXPECT_EQ(fileBytes(outside.path() + "precious"), "keep me");
    EXPECT_TRUE(isDirectory(program.path() + "users/bob"));
    EXPECT_TRUE(isDirectory(program.path() + "users/carl"));
}

TEST_F(DeleteUserFixture, OnlyTheUsersOwnDirectoryUnderUsersIsRemoved)
{
    // Entries a hand-edited file could hold: a path out of users/, a mixed-case directory, a
    // second name for the program directory's profile and a directory two users share.
    writeBytes(program.path() + "Login.ini",
               "[Login]\r\ndefault=default\r\nevil=../..\r\nmixed=Carl\r\nalias=DEFAULT\r\nann=ann\r\ntwin=ANN\r\n"
               "[Pwd]\r\n");
    ASSERT_EQ(::mkdir((program.path() + "users/default").c_str(), 0700), 0);
    writeBytes(program.path() + "users/default/x", "x");
    ASSERT_TRUE(exists(program.path() + "users/default/x"));
    LoadUsers(program.path(), r);
    q.answers = {true, true, true, true};
    ASSERT_TRUE(DeleteUser(program.path(), r, 1, q).succeeded()); // evil
    EXPECT_EQ(fileBytes(outside.path() + "precious"), "keep me");
    EXPECT_TRUE(exists(program.path() + "Login.ini"));
    EXPECT_TRUE(isDirectory(program.path() + "users"));
    ASSERT_TRUE(DeleteUser(program.path(), r, 2, q).succeeded()); // alias of the program directory
    EXPECT_TRUE(exists(program.path() + "users/default/x"));
    EXPECT_TRUE(exists(program.path() + "Login.ini"));
    ASSERT_TRUE(DeleteUser(program.path(), r, 2, q).succeeded()); // ann, whose directory twin still has
    EXPECT_TRUE(isDirectory(program.path() + "users/ann"));
    ASSERT_TRUE(DeleteUser(program.path(), r, 1, q).succeeded()); // mixed: his profile is users/carl
    EXPECT_FALSE(exists(program.path() + "users/carl"));
    EXPECT_EQ(r.userNames, (std::vector<std::string>{"default", "twin"}));
    EXPECT_TRUE(isDirectory(program.path() + "users/bob"));
}

TEST_F(DeleteUserFixture, FailedSaveRemovesNothing)
{
    ASSERT_EQ(::unlink((program.path() + "Login.ini").c_str()), 0);
    ASSERT_EQ(::mkdir((program.path() + "Login.ini").c_str(), 0700), 0);
    r.currentUser = 4;
    q.answers = {true};
    EXPECT_THROW(DeleteUser(program.path(), r, 3, q), FileError);
    EXPECT_EQ(r.size(), 5);
    EXPECT_EQ(r.currentUser, 4);
    EXPECT_TRUE(exists(program.path() + "users/carl/tavik32.ini"));
}

// ---------------------------------------------------------------------------------------------
// Login, user switch and the profile directory.

TEST(LoginCheck, PasswordsAreComparedExactly)
{
    UserRegistry r = registryOf({{"ann", "ann", "none"}, {"bob", "bob", "Secret"}, {"carl", "carl", ""}});
    EXPECT_FALSE(userHasPassword(r, 1));
    EXPECT_TRUE(userHasPassword(r, 2));
    EXPECT_TRUE(userHasPassword(r, 3)); // an empty password read from a file is still one

    expectMessage(logIn(r, "ann", "whatever"), UserOutcome::Done, "");
    EXPECT_EQ(r.currentUser, 1);
    expectMessage(logIn(r, "bob", "secret"), UserOutcome::PasswordIncorrect, "Password incorrect.");
    expectMessage(logIn(r, "bob", "Secret "), UserOutcome::PasswordIncorrect, "Password incorrect.");
    EXPECT_EQ(r.currentUser, 1);
    expectMessage(logIn(r, "BOB", "Secret"), UserOutcome::Done, "");
    EXPECT_EQ(r.currentUser, 2);
    expectMessage(logIn(r, "carl", "x"), UserOutcome::PasswordIncorrect, "Password incorrect.");
    expectMessage(logIn(r, "carl", ""), UserOutcome::Done, "");
    expectMessage(logIn(r, "", "x"), UserOutcome::Unchanged, "");
    expectMessage(logIn(r, "nobody", ""), UserOutcome::UnknownUser, "Unknown user.");
    EXPECT_EQ(r.currentUser, 3);
}

TEST(LoginCheck, PasswordsAndNamesOfEveryCharacterAndOldLatin1OnesStillOpen)
{
    TempDir program;
    // "€1" typed today; "é1" and "André" as the 8-bit program stored them.
    UserRegistry r = registryOf({{"\xce\x9d\xce\xaf\xce\xba\xce\xbf\xcf\x82", "nikos", "\xe2\x82\xac" "1"},
                                 {"Andr\xe9", "andre", "\xe9" "1"}});
    SaveUsers(program.path(), r);
    UserRegistry back;
    LoadUsers(program.path(), back);
    EXPECT_EQ(back.userPasswords, r.userPasswords);
    expectMessage(logIn(back, "\xce\x9d\xce\xaf\xce\xba\xce\xbf\xcf\x82", "\xce\xa9" "1"), UserOutcome::PasswordIncorrect,
                  "Password incorrect.");
    expectMessage(logIn(back, "\xce\x9d\xce\xaf\xce\xba\xce\xbf\xcf\x82", "?1"), UserOutcome::PasswordIncorrect,
                  "Password incorrect.");
    expectMessage(logIn(back, "\xce\x9d\xce\xaf\xce\xba\xce\xbf\xcf\x82", "\xe2\x82\xac" "1"), UserOutcome::Done, "");
    expectMessage(logIn(back, "Andr\xc3\xa9", "\xc3\xa9" "1"), UserOutcome::Done, "");
    EXPECT_EQ(back.currentUser, 2);
}

TEST(LoginCheck, LookupPrefersTheExactName)
{
    UserRegistry r = registryOf({{"Ann", "ann1", "none"}, {"ann", "ann2", "none"}});
    EXPECT_EQ(findUserByLogin(r, "ann"), 2);
    EXPECT_EQ(findUserByLogin(r, "Ann"), 1);
    EXPECT_EQ(findUserByLogin(r, "ANN"), 1);
    EXPECT_EQ(findUserByLogin(r, "DEFAULT"), 0);
    EXPECT_EQ(findUserByLogin(r, "an"), -1);
}

TEST(UserSwitch, AsksForProtectedUsersOnly)
{
    UserRegistry r = registryOf({{"ann", "ann", "none"}, {"bob", "bob", "Secret"}});
    ScriptedQuestions q;
    expectMessage(switchUser(r, 0, q), UserOutcome::Unchanged, "");
    expectMessage(switchUser(r, 1, q), UserOutcome::Done, "");
    EXPECT_TRUE(q.passwordAskedFor.empty());
    q.passwords = {"secret", std::nullopt, "Secret"};
    expectMessage(switchUser(r, 2, q), UserOutcome::PasswordIncorrect, "Password incorrect.");
    EXPECT_EQ(r.currentUser, 1);
    expectMessage(switchUser(r, 2, q), UserOutcome::Cancelled, "");
    EXPECT_EQ(r.currentUser, 1);
    expectMessage(switchUser(r, 2, q), UserOutcome::Done, "");
    EXPECT_EQ(r.currentUser, 2);
    EXPECT_EQ(q.passwordAskedFor, (std::vector<std::string>{"bob", "bob", "bob"}));
    expectMessage(switchUser(r, 3, q), UserOutcome::NoSuchUser, "");
    EXPECT_TRUE(q.questionsAsked.empty());
}

TEST(ProfileDirectory, OneMappingForEveryCaller)
{
    UserRegistry r = registryOf({{"Bob", "Bob", "none"}, {"alias", "DeFaUlT", "none"}, {"\xC4rzt", "\xC4RZT", "none"}});
    const std::string program = "/srv/tavik/";
    EXPECT_EQ(profileDirectoryOfUser(program, r, 0), program);
    EXPECT_EQ(profileDirectoryOfUser(program, r, 1), program + "users/bob/");
    EXPECT_EQ(profileDirectoryOfUser("/srv/tavik", r, 1), program + "users/bob/");
    EXPECT_EQ(profileDirectoryOfUser(program, r, 2), program);
    // Letter case is ASCII's only: other bytes are the file system's.
    EXPECT_EQ(profileDirectoryOfUser(program, r, 3), program + "users/\xC4rzt/");
    EXPECT_THROW(profileDirectoryOfUser(program, r, 4), std::out_of_range);
    EXPECT_THROW(profileDirectoryOfUser(program, r, -1), std::out_of_range);
}

TEST(ProfileDirectory, SafeNames)
{
    for (const std::string& ok : std::vector<std::string>{"bob", "a.b", "...", "Temp", "\xC3\xA9t\xC3\xA9", std::string(255, 'x')})
        EXPECT_TRUE(isSafeUserDirectory(ok)) << ok;
    for (const std::string& bad : std::vector<std::string>{"", ".", "..", "a/b", "/", "a\\b", "a\tb", "a\0b"s, std::string(256, 'x')})
        EXPECT_FALSE(isSafeUserDirectory(bad)) << bad;
    EXPECT_TRUE(isDefaultUserDirectory("Default"));
    EXPECT_FALSE(isDefaultUserDirectory("default2"));
}

} // namespace
} // namespace tavik
