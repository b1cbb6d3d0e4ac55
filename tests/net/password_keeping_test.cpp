// Passwords moving between the settings file and a keyring: the file is read as bytes, the
// keyring is a stand-in that can refuse, lock up or give back something else.
#include <gtest/gtest.h>

#include "net/password_keeping.h"
#include "support/fake_keyring.h"
#include "support/test_support.h"

using namespace tavik;
using namespace tavik::test;

namespace {

ProfileSettings account()
{
    ProfileSettings s;
    s.Pop3Server = "pop.example.org";
    s.Password = "pa ss";
    s.SmtpServer = "smtp.example.org";
    s.SmtpUser = "ann";
    s.SmtpPassword = "sm\xc3\xa9";
    return s;
}

ProfileSettings loaded(const TempDir& dir)
{
    ProfileSettings s;
    MailboxList boxes;
    LoadSettings(dir.path(), dir.path(), s, boxes);
    return s;
}

const std::string kPop3Key = keyringKey("/p/", "ann", "pop3", "pop.example.org");
const std::string kSmtpKey = keyringKey("/p/", "ann", "smtp", "smtp.example.org");

TEST(PasswordKeeping, PasswordsMoveIntoTheKeyringAndBackOutWithoutALoss)
{
    TempDir dir;
    FakeKeyring keyring;
    PasswordKeeper keeper(&keyring, "/p/", "ann");
    ProfileSettings s = account();
    SaveSettings(dir.path(), s, standardMailboxEntries());

    EXPECT_TRUE(saveSettingsKeepingPasswords(&keeper, dir.path(), s, s, standardMailboxEntries()).empty());
    EXPECT_EQ(keyring.entries[kPop3Key], "pa ss");
    EXPECT_EQ(keyring.entries[kSmtpKey], "sm\xc3\xa9");
    const std::string file = fileBytes(dir.path() + "tavik32.ini");
    EXPECT_NE(file.find("[POP3]\r\nServer=pop.example.org\r\nPort=110\r\nPassword=\r\nKeyring=pop.example.org\r\n"),
              std::string::npos)
        << file;
    EXPECT_NE(file.find("User=ann\r\nPassword=\r\nKeyring=smtp.example.org\r\n"), std::string::npos) << file;

    // Read back: the file gives the servers, the keyring the passwords.
    ProfileSettings back = loaded(dir);
    EXPECT_TRUE(back.Password.empty());
    EXPECT_TRUE(keeper.fetch(back).empty());
    EXPECT_EQ(back.Password, "pa ss");
    EXPECT_EQ(back.SmtpPassword, "sm\xc3\xa9");
    keyring.writes = 0;
    saveSettingsKeepingPasswords(&keeper, dir.path(), back, back, standardMailboxEntries());
    EXPECT_EQ(keyring.writes, 0); // nothing changed, nothing rewritten

    // Out again: the file holds the password before the entry goes.
    ProfileSettings out = back;
    out.UseKeyring = false;
    PasswordPlacement placement = keeper.place(back, out);
    EXPECT_TRUE(placement.changed);
    EXPECT_EQ(keyring.entries.size(), 2U);
    SaveSettings(dir.path(), out, standardMailboxEntries());
    keeper.finish(placement);
    EXPECT_TRUE(keyring.entries.empty());
    const std::string plain = fileBytes(dir.path() + "tavik32.ini");
    EXPECT_NE(plain.find("Password=" + passwordToIniValue("pa ss") + "\r\nKeyring=\r\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("UseKeyring=0\r\n"), std::string::npos);
    EXPECT_EQ(loaded(dir).SmtpPassword, "sm\xc3\xa9");
}

TEST(PasswordKeeping, AKeyringThatDoesNotTakeThePasswordLeavesItInTheFile)
{
    for (KeyringStatus status : {KeyringStatus::NoKeyring, KeyringStatus::Locked}) {
        TempDir dir;
        FakeKeyring keyring;
        keyring.writeStatus = status;
        PasswordKeeper keeper(&keyring, "/p/", "ann");
        ProfileSettings s = account();
        const auto troubles = saveSettingsKeepingPasswords(&keeper, dir.path(), s, s, standardMailboxEntries());
        // No keyring is the usual case, not worth a word; a locked one is.
        EXPECT_EQ(troubles.size(), status == KeyringStatus::Locked ? 2U : 0U);
        EXPECT_EQ(loaded(dir).Password, "pa ss");
        EXPECT_TRUE(loaded(dir).Pop3Keyring.empty());
    }
    // A keyring that keeps something else is not trusted with it either.
    TempDir dir;
    FakeKeyring keyring;
    keyring.garbles = true;
    PasswordKeeper keeper(&keyring, "/p/", "ann");
    ProfileSettings s = account();
    EXPECT_EQ(saveSettingsKeepingPasswords(&keeper, dir.path(), s, s, standardMailboxEntries()).size(), 2U);
    EXPECT_EQ(loaded(dir).Password, "pa ss");
    // Without any keyring the file keeps it as ever.
    PasswordKeeper none(nullptr, "/p/", "ann");
    saveSettingsKeepingPasswords(&none, dir.path(), s, s, standardMailboxEntries());
    EXPECT_EQ(loaded(dir).SmtpPassword, "sm\xc3\xa9");
}

TEST(PasswordKeeping, APasswordTheKeyringWillNotGiveIsUnknownAndNeverOverwritten)
{
    TempDir dir;
    FakeKeyring keyring;
    PasswordKeeper keeper(&keyring, "/p/", "ann");
    ProfileSettings s = account();
    saveSettingsKeepingPasswords(&keeper, dir.path(), s, s, standardMailboxEntries());

    keyring.readStatus = KeyringStatus::Locked;
    ProfileSettings back = loaded(dir);
    const std::vector<PasswordTrouble> troubles = keeper.fetch(back);
    ASSERT_EQ(troubles.size(), 2U);
    EXPECT_EQ(troubles[0].status, KeyringStatus::Locked);
    EXPECT_TRUE(passwordUnknown(back.Password, back.Pop3Keyring));
    EXPECT_EQ(passwordTroubleText(troubles[0]), "the desktop's keyring is locked (refused)");

    // Other changes, even of the server, leave the entry where it can still be found.
    ProfileSettings changed = back;
    changed.Pop3Server = "pop2.example.org";
    changed.UseKeyring = false;
    keyring.writes = 0;
    saveSettingsKeepingPasswords(&keeper, dir.path(), back, changed, standardMailboxEntries());
    EXPECT_EQ(keyring.writes, 0);
    EXPECT_EQ(changed.Pop3Keyring, "pop.example.org");
    EXPECT_EQ(keyring.entries[kPop3Key], "pa ss");
    EXPECT_NE(fileBytes(dir.path() + "tavik32.ini").find("Password=\r\nKeyring=pop.example.org\r\n"), std::string::npos);

    // A password typed in while the keyring stays locked serves this session only.
    keyring.writeStatus = KeyringStatus::Locked;
    EXPECT_FALSE(keeper.keepTyped(PasswordService::Pop3, "typed", changed));
    EXPECT_EQ(changed.Password, "typed");
    EXPECT_EQ(changed.Pop3Keyring, "pop.example.org");

    // Once it opens, the entry follows the server; the old one goes after the save.
    keyring.readStatus = keyring.writeStatus = KeyringStatus::Ok;
    ProfileSettings again = loaded(dir);
    keeper.fetch(again);
    ProfileSettings moved = again;
    moved.UseKeyring = true;
    saveSettingsKeepingPasswords(&keeper, dir.path(), again, moved, standardMailboxEntries());
    EXPECT_EQ(moved.Pop3Keyring, "pop2.example.org");
    EXPECT_EQ(keyring.entries.count(kPop3Key), 0U);
    EXPECT_EQ(keyring.entries[keyringKey("/p/", "ann", "pop3", "pop2.example.org")], "pa ss");

    // A vanished entry is unknown too, and a cleared password leaves the keyring.
    keyring.entries.clear();
    ProfileSettings vanished = loaded(dir);
    EXPECT_EQ(keeper.fetch(vanished).at(0).status, KeyringStatus::NotFound);
    ProfileSettings cleared = moved;
    cleared.SmtpPassword.clear();
    keeper.place(moved, cleared);
    EXPECT_TRUE(cleared.SmtpKeyring.empty());
}

TEST(PasswordKeeping, TwoProfilesOnOneServerKeepTwoEntries)
{
    TempDir annDir, bobDir;
    FakeKeyring keyring;
    PasswordKeeper ann(&keyring, "/p/", "ann"), bob(&keyring, "/p/", "bob");
    ProfileSettings a = account(), b = account();
    b.Password = "bobs";
    saveSettingsKeepingPasswords(&ann, annDir.path(), a, a, standardMailboxEntries());
    saveSettingsKeepingPasswords(&bob, bobDir.path(), b, b, standardMailboxEntries());
    ProfileSettings annBack = loaded(annDir), bobBack = loaded(bobDir);
    ann.fetch(annBack);
    bob.fetch(bobBack);
    EXPECT_EQ(annBack.Password, "pa ss");
    EXPECT_EQ(bobBack.Password, "bobs");
}

} // namespace
