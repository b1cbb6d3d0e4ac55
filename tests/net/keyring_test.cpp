// Passwords in a real GNOME Keyring, on the session bus tests/net/with_keyring.sh starts; run
// without the keyring daemon, the same calls meet no Secret Service.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/tavikctl.h"
#include "net/keyring.h"
#include "profile/settings.h"
#include "profile/user_registry.h"

using namespace tavik;

namespace {

QCoreApplication& application()
{
    static int argc = 1;
    static char name[] = "test_keyring";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

bool keyringRunning() { return std::getenv("TAVIK_TEST_KEYRING") != nullptr; }

} // namespace

TEST(Keyring, APasswordIsStoredAndReadBackPerProfileAndServer)
{
    if (!keyringRunning())
        GTEST_SKIP() << "run by with_keyring.sh";
    application();
    SecretServiceKeyring keyring(20000);
    const std::string ann = keyringKey("/home/ann/.local/share/tavik/", "ann", "pop3", "mail.example.org");
    const std::string bob = keyringKey("/home/ann/.local/share/tavik/", "bob", "pop3", "mail.example.org");
    const std::string other = keyringKey("/opt/tavik/", "ann", "pop3", "mail.example.org");
    EXPECT_NE(ann, bob);
    EXPECT_NE(ann, other);

    EXPECT_EQ(keyring.read(ann).status, KeyringStatus::NotFound);
    ASSERT_EQ(keyring.write(ann, "s\xc3\xa9same \"1\"").status, KeyringStatus::Ok) << keyring.write(ann, "").detail;
    ASSERT_EQ(keyring.write(bob, "bobs").status, KeyringStatus::Ok);
    KeyringAnswer read = keyring.read(ann);
    EXPECT_EQ(read.status, KeyringStatus::Ok);
    EXPECT_EQ(read.secret, "s\xc3\xa9same \"1\"");
    EXPECT_EQ(keyring.read(bob).secret, "bobs");
    EXPECT_EQ(keyring.read(other).status, KeyringStatus::NotFound);

    ASSERT_EQ(keyring.write(ann, "new").status, KeyringStatus::Ok);
    EXPECT_EQ(keyring.read(ann).secret, "new");
    EXPECT_EQ(keyring.remove(ann).status, KeyringStatus::Ok);
    EXPECT_EQ(keyring.read(ann).status, KeyringStatus::NotFound);
    EXPECT_EQ(keyring.remove(ann).status, KeyringStatus::Ok); // nothing left to remove
    EXPECT_EQ(keyring.read(bob).secret, "bobs");
}

TEST(Keyring, WithoutASecretServiceNothingIsKeptAnywhere)
{
    if (keyringRunning())
        GTEST_SKIP() << "a keyring is running";
    application();
    SecretServiceKeyring keyring(20000);
    const std::string key = keyringKey("/tmp/t/", "ann", "smtp", "smtp.example.org");
    EXPECT_EQ(keyring.write(key, "secret").status, KeyringStatus::NoKeyring) << keyring.write(key, "secret").detail;
    EXPECT_EQ(keyring.read(key).status, KeyringStatus::NoKeyring) << keyring.read(key).detail;
}

// The whole way: tavikctl keeps a profile's password in the keyring when one runs, in the file
// when none does, and never in both.
TEST(Keyring, TavikctlKeepsAProfilesPasswordInTheKeyringWhenThereIsOne)
{
    application();
    char pattern[] = "/tmp/tavik-keyring-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string home = std::string(pattern) + "/";
    SecretServiceKeyring keyring(20000);
    TavikctlEnvironment env;
    env.keyring = &keyring;
    std::ostringstream out, err;
    ASSERT_EQ(tavikctlMain({"--home", home, "set", "Pop3Server=pop.example.org", "Password=s\xc3\xa9same"}, out, err, env), 0)
        << err.str();
    EXPECT_EQ(err.str(), "");
    std::ifstream file(home + "tavik32.ini", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    UserRegistry users;
    LoadUsers(home, users);
    const std::string key = keyringKey(home, users.userNames.at(0), "pop3", "pop.example.org");
    if (keyringRunning()) {
        EXPECT_NE(bytes.find("Password=\r\nKeyring=pop.example.org\r\n"), std::string::npos) << bytes;
        EXPECT_EQ(keyring.read(key).secret, "s\xc3\xa9same");
    } else {
        EXPECT_NE(bytes.find("Password=" + passwordToIniValue("s\xc3\xa9same") + "\r\n"), std::string::npos) << bytes;
        EXPECT_EQ(bytes.find("Keyring="), std::string::npos);
    }
    std::filesystem::remove_all(pattern);
}
