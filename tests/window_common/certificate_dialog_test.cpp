// The certificate dialog: what it shows of a certificate, its buttons, and that Enter and Escape
// never accept.
#include <QLabel>
#include <QPushButton>

#include "ui/ui_test_support.h"
#include "window_common/certificate_dialog.h"
#include "window_common/text_conversion.h"

namespace tavik::test {
namespace {

const char* const kShown = "3B:1D:6E:0A:77:C2:19:5F:AA:04:8E:61:D3:B9:20:7C:45:E8:13:9A:6F:02:CB:57:90:EE:34:A1:"
                           "7D:68:B5:0F";
const char* const kAccepted = "C4:09:5B:E2:73:1F:8A:D6:3C:90:47:AB:05:F8:6E:21:9D:B3:57:0C:E4:81:2A:6F:D0:39:"
                              "B7:14:C5:8E:62:FA";

PeerCertificateInfo selfSigned()
{
    PeerCertificateInfo c;
    c.host = "127.0.0.1";
    c.port = 995;
    c.problems = {"The certificate is self-signed, and untrusted"};
    c.subject = "CN=mail.example.org";
    c.issuer = "CN=mail.example.org";
    c.validFrom = "2026-01-01 00:00:00 UTC";
    c.validUntil = "2027-01-01 00:00:00 UTC";
    c.fingerprint = kShown;
    return c;
}

QStringList labelTexts(const QDialog& dialog)
{
    QStringList texts;
    for (const QLabel* l : dialog.findChildren<QLabel*>())
        if (!l->isHidden())
            texts << l->text();
    return texts;
}

class CertificateDialog : public UiTest {};

TEST_F(CertificateDialog, ShowsTheServerReasonAndCertificateWithCancelAsTheDefault)
{
    TCertificateForm dialog(selfSigned());
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Certificate"));
    const QStringList texts = labelTexts(dialog);
    for (const char* expected : {"127.0.0.1:995", "The certificate is self-signed, and untrusted", "CN=mail.example.org",
                                 "2026-01-01 00:00:00 UTC \u2013 2027-01-01 00:00:00 UTC", kShown})
        EXPECT_TRUE(texts.contains(QString::fromUtf8(expected))) << expected;
    EXPECT_TRUE(dialog.fingerprintLabel()->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_TRUE(dialog.warningLabel()->isHidden());
    EXPECT_EQ(dialog.cancelButton()->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(dialog.acceptOnceButton()->text(), QStringLiteral("Accept once"));
    EXPECT_EQ(dialog.acceptPermanentlyButton()->text(), QStringLiteral("Accept permanently"));
    EXPECT_TRUE(dialog.cancelButton()->isDefault());

    // Enter on an accept button that has the focus still answers Cancel.
    QTest::keyClick(dialog.acceptPermanentlyButton(), Qt::Key_Return);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(dialog.choice(), CertificateChoice::Cancel);
    TCertificateForm escaped(selfSigned());
    escaped.show();
    QTest::keyClick(&escaped, Qt::Key_Escape);
    EXPECT_EQ(escaped.choice(), CertificateChoice::Cancel);

    for (auto [button, choice] : {std::pair{&TCertificateForm::acceptOnceButton, CertificateChoice::AcceptOnce},
                                  std::pair{&TCertificateForm::acceptPermanentlyButton,
                                            CertificateChoice::AcceptPermanently}}) {
        TCertificateForm d(selfSigned());
        d.show();
        QTest::mouseClick((d.*button)(), Qt::LeftButton);
        EXPECT_EQ(d.result(), QDialog::Accepted);
        EXPECT_EQ(d.choice(), choice);
    }
}

TEST_F(CertificateDialog, AChangedCertificateIsWarnedAboutWithBothFingerprints)
{
    PeerCertificateInfo changed = selfSigned();
    changed.pinnedFingerprint = kAccepted;
    TCertificateForm dialog(changed);
    dialog.show();
    ASSERT_FALSE(dialog.warningLabel()->isHidden());
    EXPECT_EQ(dialog.warningLabel()->text(),
              QStringLiteral("This server shows a different certificate from the one you accepted before. Someone "
                             "may be intercepting the connection; accept the new certificate only if your provider "
                             "says it changed.\nAccepted before: ") +
                  fromStored(kAccepted) + QStringLiteral("\nShown now: ") + fromStored(kShown));
    EXPECT_TRUE(dialog.cancelButton()->isDefault());
}

} // namespace
} // namespace tavik::test
