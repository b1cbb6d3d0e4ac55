// The secure-connection settings and the pins of accepted certificates: old profiles keep their
// file as it was until a secure setting is used, and pins are a private file of their own.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "profile/certificate_pins.h"
#include "profile/settings.h"
#include "support/test_support.h"

using namespace tavik;
using test::fileBytes;
using test::TempDir;

namespace {

TEST(SecureConnectionSettings, KeysAppearOnlyOnceSetAndStayWhenSetBack)
{
    TempDir dir;
    ProfileSettings s;
    const MailboxList boxes = standardMailboxEntries();
    SaveSettings(dir.path(), s, boxes);
    const std::string plain = fileBytes(dir.path() + "tavik32.ini");
    EXPECT_EQ(plain.find("Security="), std::string::npos);
    EXPECT_EQ(plain.find("CaFile="), std::string::npos);

    s.Pop3Security = "tls";
    s.SmtpUser = "ann";
    s.SmtpPassword = "pw";
    SaveSettings(dir.path(), s, boxes);
    EXPECT_NE(fileBytes(dir.path() + "tavik32.ini").find("[POP3]\r\nServer=\r\nPort=110\r\nPassword=\r\nSecurity=tls\r\n"),
              std::string::npos);

    s.Pop3Security = "none";
    SaveSettings(dir.path(), s, boxes);
    ProfileSettings back;
    MailboxList backBoxes;
    LoadSettings(dir.path(), dir.path(), back, backBoxes);
    EXPECT_NE(fileBytes(dir.path() + "tavik32.ini").find("Security=none\r\n"), std::string::npos);
    EXPECT_EQ(back.SmtpUser, "ann");
    EXPECT_EQ(back.SmtpPassword, "pw");
    EXPECT_EQ(fileBytes(dir.path() + "tavik32.ini").find("Password=pw"), std::string::npos); // scrambled

    EXPECT_EQ(connectionSecurity("StartTLS"), ConnectionSecurity::StartTls);
    EXPECT_EQ(connectionSecurity(""), ConnectionSecurity::None);
    EXPECT_EQ(connectionSecurity("ssl"), ConnectionSecurity::None);
    EXPECT_EQ(usualSmtpPort(ConnectionSecurity::StartTls), 587);
    EXPECT_EQ(usualSmtpPort(ConnectionSecurity::Tls), 465);
    EXPECT_EQ(usualPop3Port(ConnectionSecurity::Tls), 995);
}

TEST(CertificatePins, PinsArePerServerInAPrivateFile)
{
    TempDir dir;
    CertificatePins pins(dir.path());
    EXPECT_FALSE(pins.find("mail.example.org:995"));
    pins.pin(pinServerName("Mail.Example.ORG", 995), "AB:CD");
    pins.pin("smtp.example.org:465", "EF:01");
    pins.pin("mail.example.org:995", "12:34");
    EXPECT_EQ(fileBytes(dir.path() + "certificates.ini"),
              "[Pinned]\r\nmail.example.org:995=12:34\r\nsmtp.example.org:465=EF:01\r\n");
    struct stat st {};
    ASSERT_EQ(::stat((dir.path() + "certificates.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(pins.find("MAIL.example.org:995").value_or(""), "12:34");
    EXPECT_FALSE(pins.find("mail.example.org:110"));
    EXPECT_TRUE(pins.remove("mail.example.org:995"));
    EXPECT_FALSE(pins.remove("mail.example.org:995"));
    ASSERT_EQ(pins.list().size(), 1u);
    EXPECT_EQ(pins.list()[0].server, "smtp.example.org:465");
}

} // namespace
