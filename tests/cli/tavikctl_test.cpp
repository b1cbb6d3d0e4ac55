// tavikctl's commands on prepared profiles, run in-process; one run of the real executable.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/tavikctl.h"
#include "profile/profile_lock.h"
#include "profile/settings.h"
#include "profile/user_registry.h"
#include "store/mailbox_store.h"
#include "support/fake_keyring.h"
#include "support/test_support.h"

using namespace tavik;
using tavik::test::fileBytes;
using tavik::test::TempDir;

namespace {

struct CtlRun {
    int status;
    std::string out, err;
};

struct TavikctlFixture : ::testing::Test {
    TempDir home;
    Keyring* keyring = nullptr;

    CtlRun run(std::vector<std::string> args, bool utf8 = true)
    {
        args.insert(args.begin(), {"--home", home.path()});
        std::ostringstream out, err;
        TavikctlEnvironment env;
        env.utf8 = utf8;
        env.keyring = keyring;
        int status = tavikctlMain(args, out, err, env);
        return {status, out.str(), err.str()};
    }

    // A profile with two messages in New Mail (one with 8-bit and control characters) and one
    // in Sent.
    void prepare()
    {
        ProfileSettings settings;
        MailboxList list;
        LoadSettings(home.path(), home.path(), settings, list);
        TNMailBox store;
        store.MailBoxes = list;
        store.SetMailBoxDirectory(home.path() + "mailboxe/");
        auto add = [&](int box, std::string from, std::string subject, std::vector<std::string> text, int a0, int a1) {
            store.SetCurrentMailBoxNumber(box);
            store.Msg_From = from;
            store.Msg_To = "me@here";
            store.Msg_Subject = subject;
            store.Msg_Date = "Wed, 9 Dec 2026 10:00:00";
            store.Msg_Flag = 'U';
            store.Msg_AttachStart = a0;
            store.Msg_AttachEnd = a1;
            store.Msg_Text = text;
            store.AppendMessage();
        };
        add(1, "Ren\xe9 <rene@example.org>", "Caf\xe9\x1b[31m", {"From: Ren\xe9", "", "Bonjour\x1b]0;x\x07", "bare\nLF"}, 3, 4);
        add(1, "bob@example.org", "Plain", {"Subject: Plain", "", "hello"}, 0, 0);
        add(2, "me@here", "Sent one", {"Subject: Sent one", "", "bye"}, 0, 0);
    }
};

} // namespace

TEST_F(TavikctlFixture, MailboxesOnANewHomeInitialisesTheProfile)
{
    CtlRun r = run({"mailboxes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              " No  Key   Name                     Messages        Size       Trash\n"
              "  1  m0    New Mail                        0           0           0\n"
              "  2  m1    Sent                            0           0           0\n"
              "  3  m2    To Send                         0           0           0\n"
              "  4  m3    Drafts                          0           0           0\n"
              "  5  m4    Trash                           0           0           0\n");
    EXPECT_TRUE(fileExists(home.path() + "tavik32.ini"));
    EXPECT_TRUE(fileExists(home.path() + "mailboxe/m4.idx"));
}

TEST_F(TavikctlFixture, ListAndShowPrintStoredTextSafelyOrRaw)
{
    prepare();
    CtlRun list = run({"list", "1"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out,
              "   No  F  From                          Subject                                 "
              "Date                           Size  Attachments\n"
              "    1  U  Ren\xc3\xa9 <rene@example.org>       Caf\xc3\xa9?[31m                               "
              "Wed, 9 Dec 2026 10:00:00         39  3-4\n"
              "    2  U  bob@example.org               Plain                                   "
              "Wed, 9 Dec 2026 10:00:00         26  -\n");

    CtlRun show = run({"show", "1", "1"});
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_EQ(show.out, "From: Ren\xc3\xa9\n\nBonjour?]0;x?\nbare?LF\n");

    CtlRun latin1 = run({"show", "1", "1"}, false);
    EXPECT_EQ(latin1.out, "From: Ren\xe9\n\nBonjour?]0;x?\nbare?LF\n");

    CtlRun raw = run({"show", "--raw", "1", "1"});
    ASSERT_EQ(raw.status, 0) << raw.err;
    EXPECT_EQ(raw.out, "From: Ren\xe9\r\n\r\nBonjour\x1b]0;x\x07\r\nbare\nLF\r\n");
}

TEST_F(TavikctlFixture, SearchPrintsALinePerHitAndFailsWhenNothingIsFound)
{
    prepare();
    // Case and accents aside, in the 8-bit message of the old program too; control characters
    // of the subject reach the terminal as "?".
    CtlRun r = run({"search", "CAFE"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "  1      1  Ren\xC3\xA9 <rene@example.org>       Caf\xC3\xA9?[31m\n");
    r = run({"search", "e"});
    EXPECT_EQ(r.out, "  1      1  Ren\xC3\xA9 <rene@example.org>       Caf\xC3\xA9?[31m\n"
                     "  1      2  bob@example.org               Plain\n"
                     "  2      1  me@here                       Sent one\n");
    r = run({"search", "--mailbox", "2", "Hello"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    r = run({"search", "hello", "--mailbox", "1"});
    EXPECT_EQ(r.out, "  1      2  bob@example.org               Plain\n");
    r = run({"search", "caf\xE9"}, false); // a Latin-1 terminal's argument
    EXPECT_EQ(r.out, "  1      1  Ren\xE9 <rene@example.org>       Caf\xE9?[31m\n");
    EXPECT_EQ(run({"search"}).status, 2);
    EXPECT_EQ(run({"search", "x", "--mailbox", "9"}).status, 2);
    EXPECT_NE(run({"--help"}).out.find("  search TEXT [--mailbox N]\n"), std::string::npos);
}

TEST_F(TavikctlFixture, CompressAndEmptyTrash)
{
    prepare();
    {
        ProfileSettings s;
        MailboxList list;
        LoadSettings(home.path(), home.path(), s, list);
        TNMailBox store;
        store.MailBoxes = list;
        store.SetMailBoxDirectory(home.path() + "mailboxe/");
        store.SetCurrentMailBoxNumber(1);
        store.SetMsg_Number(1);
        store.MoveMessage("m4");
    }
    CtlRun c = run({"compress"});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, "Compressed mailbox 1: 39 bytes of trash removed\n");
    CtlRun boxes = run({"mailboxes"});
    EXPECT_NE(boxes.out.find("  1  m0    New Mail                        1          26           0\n"), std::string::npos)
        << boxes.out;

    CtlRun e = run({"empty-trash"});
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(e.out, "Emptied Trash: 1 messages removed\n");
    EXPECT_EQ(fileBytes(home.path() + "mailboxe/m4.idx"), std::string(267, '\0'));
    EXPECT_EQ(run({"compress", "9"}).status, 2);
}

TEST_F(TavikctlFixture, SettingsAndSet)
{
    ASSERT_EQ(run({"mailboxes"}).status, 0);
    CtlRun set = run({"set", "Password=s\xc3\xa9same", "smtpserver=smtp.example.org", "TimeOut=0x3C", "AutoCheckMail=yes",
                   "Browser=firefox --new-window"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "Saved 5 settings\n");

    ProfileSettings s;
    MailboxList list;
    LoadSettings(home.path(), home.path(), s, list);
    EXPECT_EQ(s.Password, "s\xc3\xa9same");
    EXPECT_EQ(s.SmtpServer, "smtp.example.org");
    EXPECT_EQ(s.TimeOut, 60);
    EXPECT_TRUE(s.AutoCheckMail);
    EXPECT_EQ(s.Browser, "firefox --new-window");
    std::string ini = fileBytes(home.path() + "tavik32.ini");
    EXPECT_EQ(ini.find("s\xc3\xa9same"), std::string::npos) << "the password is stored scrambled";
    EXPECT_NE(ini.find("Password=" + ScramblePassword("s\xc3\xa9same") + "\r\n"), std::string::npos);

    CtlRun shown = run({"settings"});
    ASSERT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("\nPassword=********\n"), std::string::npos);
    EXPECT_NE(shown.out.find("\nSmtpServer=smtp.example.org\nSmtpPort=25\n"), std::string::npos);
    EXPECT_NE(shown.out.find("\nAutoCheckStart=0\nAutoCheckMail=1\nAutoCheckMinutes=30\n"), std::string::npos);
    EXPECT_EQ(shown.out.rfind("Name=", 0), 0u);

    // One refused assignment and nothing is written.
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"set", "ID=ann", "Nonsense=1"},
                                               {"set", "ID=ann", "Pop3Port=70000"},
                                               {"set", "ID=ann", "TimeOut=soon"},
                                               {"set", "ID=ann", "UseSignature=maybe"},
                                               {"set", "ID=ann", "QuotedColor=16"},
                                               {"set", "ID"},
                                               {"set"}}) {
        CtlRun r = run(bad);
        EXPECT_EQ(r.status, 2) << bad.back();
        EXPECT_FALSE(r.err.empty());
        EXPECT_EQ(fileBytes(home.path() + "tavik32.ini"), ini) << bad.back();
    }
    // Every character is kept, as UTF-8.
    ASSERT_EQ(run({"set", "Name=\xe2\x82\xac \xce\xa9 \xe6\x97\xa5"}).status, 0);
    EXPECT_NE(fileBytes(home.path() + "tavik32.ini").find("\r\nName=\xe2\x82\xac \xce\xa9 \xe6\x97\xa5\r\n"), std::string::npos);
}

TEST_F(TavikctlFixture, BadArgumentsAndFileErrors)
{
    prepare();
    EXPECT_EQ(run({"frobnicate"}).status, 2);
    EXPECT_EQ(run({"list"}).status, 2);
    EXPECT_EQ(run({"list", "x"}).status, 2);
    EXPECT_EQ(run({"list", "6"}).status, 2);
    EXPECT_EQ(run({"show", "1", "3"}).status, 2);
    EXPECT_EQ(run({"mailboxes", "extra"}).status, 2);
    EXPECT_EQ(run({"--bogus", "mailboxes"}).status, 2);
    CtlRun help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: tavikctl"), std::string::npos);

    // A damaged index is a file error, reported with the file's name.
    test::writeBytes(home.path() + "mailboxe/m0.idx", "garbage");
    CtlRun r = run({"list", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("m0.idx"), std::string::npos) << r.err;
}

TEST_F(TavikctlFixture, ChangesRefusedWhileTheProfileIsOpenElsewhere)
{
    prepare();
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ProfileLock lock(home.path());
        char c = lock.tryLock() ? '1' : '0';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, '1');
    std::string ini = fileBytes(home.path() + "tavik32.ini");
    std::string idx = fileBytes(home.path() + "mailboxe/m4.idx");

    for (const std::vector<std::string>& change : std::vector<std::vector<std::string>>{
             {"set", "ID=x"}, {"compress"}, {"empty-trash"}, {"repair", "1"}}) {
        CtlRun r = run(change);
        EXPECT_EQ(r.status, 1) << change[0];
        EXPECT_NE(r.err.find("is open in Tavik mail"), std::string::npos) << r.err;
    }
    EXPECT_EQ(fileBytes(home.path() + "tavik32.ini"), ini);
    EXPECT_EQ(fileBytes(home.path() + "mailboxe/m4.idx"), idx);
    // Reading goes on beside the program.
    EXPECT_EQ(run({"list", "1"}).status, 0);

    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    // The holder is gone: the lock is free again.
    EXPECT_EQ(run({"set", "ID=x"}).status, 0);
}

TEST_F(TavikctlFixture, TheProfileLockIsPrivateLikeEveryProfileFile)
{
    const mode_t umask = ::umask(022);
    ProfileLock lock(home.path());
    const bool locked = lock.tryLock();
    ::umask(umask);
    ASSERT_TRUE(locked);
    struct stat st {};
    ASSERT_EQ(::stat(lock.lockFilePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(TavikctlFixture, ALockFileLeftEmptyByADeadProcessIsTakenOver)
{
    prepare();
    // Created, never filled: the creator died (or the power went) in between.
    test::writeBytes(home.path() + "tavik.lock", "");
    EXPECT_EQ(run({"set", "ID=x"}).status, 0);
    // One held by a live process stays held, its content unread or not.
    ProfileLock held(home.path());
    ASSERT_TRUE(held.tryLock());
    ProfileLock second(home.path());
    EXPECT_FALSE(second.tryLock());
}

TEST_F(TavikctlFixture, ADamagedMessageIsNamedByListAndShowAndRepairMendsTheIndex)
{
    prepare();
    // Message 2 ("Plain", 26 bytes at 39) is sent beyond the text file.
    const std::string idxPath = home.path() + "mailboxe/m0.idx";
    const std::string good = fileBytes(idxPath);
    std::string bad = good;
    bad.replace(2 * kIndexRecordSize + 252, 4, std::string("\x58\x1b\0\0", 4));
    test::writeBytes(idxPath, bad);
    const std::string warning = "tavikctl: warning: 1 message of \"New Mail\" is damaged and cannot be read (message 2). "
                                "The other messages can be read. \"tavikctl repair 1\" mends the mailbox's index.\n";
    CtlRun list = run({"list", "1"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("Plain"), std::string::npos) << list.out;
    EXPECT_EQ(list.err, warning);
    EXPECT_EQ(run({"show", "1", "1"}).err, warning);
    CtlRun damaged = run({"show", "1", "2"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.err.rfind(warning + "tavikctl: ", 0), 0u) << damaged.err;

    CtlRun repair = run({"repair", "1"});
    EXPECT_EQ(repair.out, "Message 2 linked again to its text\n"
                          "Repaired mailbox 1 (New Mail): 1 intact, 1 linked again, 0 dropped\n");
    EXPECT_EQ(fileBytes(idxPath), good);
    CtlRun show = run({"show", "1", "2"});
    EXPECT_EQ(show.out, "Subject: Plain\n\nhello\n");
    EXPECT_EQ(show.err, "");
    EXPECT_EQ(run({"repair", "1"}).out, "Nothing to repair in mailbox 1 (New Mail): its 2 message(s) are intact\n");
}

TEST(TavikctlExecutable, ExitStatusAndHelp)
{
    std::string bin = test::binDir() + "tavikctl";
    EXPECT_EQ(WEXITSTATUS(std::system((bin + " --help >/dev/null").c_str())), 0);
    EXPECT_EQ(WEXITSTATUS(std::system((bin + " nonsense 2>/dev/null").c_str())), 2);
    TempDir home;
    EXPECT_EQ(WEXITSTATUS(std::system((bin + " --home " + home.path() + " mailboxes >/dev/null").c_str())), 0);
    EXPECT_TRUE(fileExists(home.path() + "mailboxe/m0.idx"));
    // The shipped templates found beside the executable are copied into the new program directory.
    EXPECT_TRUE(fileExists(home.path() + "signatur.tpl"));
    EXPECT_TRUE(fileExists(home.path() + "signatur.def"));
}

TEST(TavikctlUsers, UserProfilesAndTheirPasswords)
{
    TempDir home;
    UserRegistry users;
    LoadUsers(home.path(), users);
    NewUser ann;
    ann.login = "Ann";
    ann.directory = "AnnDir";
    ann.password = ann.confirmation = "s3cret";
    ASSERT_TRUE(AddUser(home.path(), users, ann).succeeded());
    ::unsetenv("TAVIK_PASSWORD");

    std::string asked;
    auto runAs = [&](std::vector<std::string> args, std::optional<std::string> answer) {
        args.insert(args.begin(), {"--home", home.path()});
        std::ostringstream out, err;
        TavikctlEnvironment env;
        env.askPassword = [&](const std::string& prompt) {
            asked = prompt;
            return answer;
        };
        return CtlRun{tavikctlMain(args, out, err, env), out.str(), err.str()};
    };

    CtlRun r = runAs({"--user", "ann", "mailboxes"}, "s3cret");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(asked, "Password for Ann: ");
    EXPECT_TRUE(fileExists(home.path() + "users/anndir/tavik32.ini"));
    EXPECT_FALSE(fileExists(home.path() + "tavik32.ini")) << "the default profile is untouched";

    EXPECT_EQ(runAs({"--user", "ann", "mailboxes"}, "wrong").status, 1);
    EXPECT_EQ(runAs({"--user", "ann", "mailboxes"}, std::nullopt).status, 1);
    EXPECT_EQ(runAs({"--user", "nobody", "mailboxes"}, "x").status, 2);
    ::setenv("TAVIK_PASSWORD", "s3cret", 1);
    asked.clear();
    EXPECT_EQ(runAs({"--user=Ann", "settings"}, std::nullopt).status, 0);
    EXPECT_EQ(asked, "");
    ::unsetenv("TAVIK_PASSWORD");
    // The default user has no password: nothing is asked.
    EXPECT_EQ(runAs({"mailboxes"}, std::nullopt).status, 0);
    EXPECT_TRUE(fileExists(home.path() + "tavik32.ini"));
}

TEST_F(TavikctlFixture, SecuritySettingsAndAcceptedCertificates)
{
    ASSERT_EQ(run({"mailboxes"}).status, 0);
    CtlRun set = run({"set", "Pop3Security=TLS", "SmtpSecurity=starttls", "SmtpPassword=pw"});
    ASSERT_EQ(set.status, 0) << set.err;
    const std::string ini = fileBytes(home.path() + "tavik32.ini");
    EXPECT_NE(ini.find("Security=tls\r\n"), std::string::npos);
    EXPECT_EQ(ini.find("Password=pw"), std::string::npos);
    EXPECT_NE(run({"settings"}).out.find("\nSmtpPassword=********\n"), std::string::npos);
    EXPECT_EQ(run({"set", "SmtpSecurity=ssl"}).status, 2);

    const std::string fp(64, 'a');
    std::string shown;
    for (int i = 0; i < 64; i += 2)
        shown += (i ? ":" : "") + std::string("AA");
    CtlRun trust = run({"trust", "Mail.Example.org:995", fp});
    ASSERT_EQ(trust.status, 0) << trust.err;
    EXPECT_EQ(trust.out, "Accepted the certificate " + shown + " for mail.example.org:995\n");
    EXPECT_EQ(fileBytes(home.path() + "certificates.ini"), "[Pinned]\r\nmail.example.org:995=" + shown + "\r\n");
    EXPECT_EQ(run({"trust", "--list"}).out, "mail.example.org:995  " + shown + "\n");
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"trust", "mail.example.org", fp}, {"trust", "mail.example.org:0", fp}, {"trust", "h:995", "abc"},
             {"trust", "--remove", "other.example:995"}, {"trust"}})
        EXPECT_EQ(run(bad).status, 2) << bad.back();
    EXPECT_EQ(run({"trust", "--remove", "mail.example.org:995"}).status, 0);
    EXPECT_EQ(run({"trust", "--list"}).out, "No certificate has been accepted\n");
}

// A profile as the 8-bit version of the program wrote it (tests/data/latin1_profile: a check of
// two ISO-8859-1 and Windows-1252 messages, a queued reply, a Latin-1 name, signature, SMTP user
// and password, senders in the address book, a folder named in Latin-1). It must keep showing right, and reading it must not
// rewrite it.
TEST_F(TavikctlFixture, AProfileWrittenAsLatin1ShowsRightAndStaysAsItWas)
{
    const std::string fixture = test::testDataDir() + "latin1_profile/";
    std::filesystem::copy(fixture, home.path(), std::filesystem::copy_options::recursive);
    CtlRun list = run({"list", "1"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("Zo\u00eb Andr\u00e9 <zoe@example.org>   R\u00e9sum\u00e9 f\u00fcr K\u00f6ln"),
              std::string::npos)
        << list.out;
    EXPECT_NE(run({"mailboxes"}).out.find("  6  m5    Archiv K\u00f6ln    "), std::string::npos);
    // Windows-1252 text the 8-bit program kept as it came now shows its euro and quotes.
    EXPECT_NE(run({"show", "1", "2"}).out.find("\nIt costs 5 \u20ac \u2013 na\u00efve \u201cquotes\u201d.\n"), std::string::npos);
    CtlRun shown = run({"show", "1", "1"});
    EXPECT_NE(shown.out.find("\nGr\u00fc\u00dfe aus K\u00f6ln, \u00e0 bient\u00f4t.\n"), std::string::npos) << shown.out;
    EXPECT_NE(run({"list", "3"}).out.find("R\u00e9ponse: caf\u00e9 cr\u00e8me"), std::string::npos);
    const std::string settings = run({"settings"}).out;
    EXPECT_NE(settings.find("Name=Andr\u00e9 Gr\u00fcn\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("\nSmtpUser=andr\u00e9\n"), std::string::npos) << settings;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(fixture)) {
        if (entry.is_regular_file()) {
            EXPECT_EQ(fileBytes(home.path() + std::filesystem::relative(entry.path(), fixture).string()),
                      fileBytes(entry.path().string()))
                << entry.path();
        }
    }
}

TEST_F(TavikctlFixture, ServerPasswordsLiveInTheKeyringAndACheckWithoutOneStopsByName)
{
    tavik::test::FakeKeyring desktop;
    keyring = &desktop;
    CtlRun set = run({"set", "Pop3Server=127.0.0.1", "Pop3Port=1", "Password=se cret"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.err, "");
    EXPECT_NE(fileBytes(home.path() + "tavik32.ini").find("Password=\r\nKeyring=127.0.0.1\r\n"), std::string::npos);
    ASSERT_EQ(desktop.entries.size(), 1U);
    EXPECT_EQ(desktop.entries.begin()->second, "se cret");
    EXPECT_EQ(run({"set", "Pop3Keyring="}).status, 2);

    // Locked: no connection is tried with an empty password.
    desktop.readStatus = KeyringStatus::Locked;
    CtlRun check = run({"check"});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.err, "tavikctl: the POP3 password cannot be read: the desktop's keyring is locked (refused); open "
                         "the keyring, or give it again with \"tavikctl set Password=...\"\n");
    EXPECT_EQ(check.out, "");

    // Out of the keyring again: the file holds it before the entry goes.
    desktop.readStatus = KeyringStatus::Ok;
    ASSERT_EQ(run({"set", "UseKeyring=0"}).status, 0);
    EXPECT_TRUE(desktop.entries.empty());
    ProfileSettings back;
    MailboxList boxes;
    LoadSettings(home.path(), home.path(), back, boxes);
    EXPECT_EQ(back.Password, "se cret");
}
