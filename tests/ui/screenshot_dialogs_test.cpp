// Not a test: draws the composition window, the attachment dialog, the MIME types editor, the
// address book, the text viewer with text of every script and every options page on the real display and saves each as a PNG in
// $TAVIK_SCREENSHOT_OUT. Disabled; scripts/screenshots runs it under Xvfb.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMovie>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTabWidget>
#include <QToolButton>
#include <cstdlib>
#include <filesystem>

#include "addressbook/address_book_window.h"
#include "app/options_dialog.h"
#include "pop3/attachment_store.h"
#include "smtp/new_message_window.h"
#include "store/mailbox_store.h"
#include "ui/ui_test_support.h"
#include "view/attachment_dialog.h"
#include "view/image_window.h"
#include "view/mime_editor_dialog.h"
#include "view/mime_manager.h"
#include "view/strings_viewer_widget.h"
#include "window_common/certificate_dialog.h"
#include "window_common/text_conversion.h"

namespace tavik::test {
namespace {

class Shots : public ComposeHost {
public:
    explicit Shots(std::string out) : out_(std::move(out))
    {
        profile_ = dir_.path();
        settings_.Name = "Anna Berg";
        settings_.RetAddr = "anna@example.org";
        store_.MailBoxes = boxes_;
        store_.SetMailBoxDirectory(profile_ + "mailboxe/");
        attachments_.SetAttachmentDirectory(profile_ + "attach/");
        mime_ = std::make_unique<TMimeManager>(profile_ + "mime.def");
        std::filesystem::create_directories(profile_ + "address");
        writeBytes(profile_ + "address/address.csv",
                   "Name,e-m@il,Organization,e-m@il at work,Phone,Address,City,Comments,Photo\r\n"
                   "Carl Olsen,carl@example.net,Olsen & Co,\"\",555 0101,\"\",Oslo,\"\",\"\"\r\n"
                   "Dora Lind,dora@example.com,\"\",dora@work.example,\"\",\"\",Lund,friend,\"\"\r\n");
        writeBytes(profile_ + "report.pdf", std::string(24000, 'x'));
        writeBytes(profile_ + "holiday.jpg", std::string(180000, 'y'));
        writeBytes(profile_ + "notes.txt", "notes\r\n");
    }
    ProfileSettings& settings() override { return settings_; }
    const std::string& ProfileDirectory() const override { return profile_; }
    TNMailBox& Mailbox() override { return store_; }
    TAttachmentManager& attachments() override { return attachments_; }
    const MailboxList& mailboxList() override { return boxes_; }
    TMimeManager* mimeManager() override { return mime_.get(); }

    // Saves what the screen shows of `w`'s window, frame included where there is one.
    void save(QWidget* w, const std::string& name)
    {
        w->raise();
        w->activateWindow();
        QWidget* top = w->window();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(top));
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        const QRect frame = top->frameGeometry();
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, frame.x(), frame.y(), frame.width(),
                                                                          frame.height());
        shot.save(QString::fromStdString(out_ + "/" + name + ".png"));
    }
    std::vector<TOutgoingAttachment> sampleAttachments()
    {
        std::vector<TOutgoingAttachment> list;
        for (const auto& [file, type, description] :
             {std::tuple{"report.pdf", "application/pdf", "the quarterly report"},
              std::tuple{"holiday.jpg", "image/jpeg", ""}, std::tuple{"notes.txt", "text/plain", "my notes"}}) {
            TOutgoingAttachment a;
            a.Path = profile_ + file;
            a.Name = file;
            a.MimeType = type;
            a.Description = description;
            list.push_back(a);
        }
        return list;
    }

    TempDir dir_;
    std::string out_, profile_;
    ProfileSettings settings_;
    MailboxList boxes_ = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
    TNMailBox store_;
    TAttachmentManager attachments_;
    std::unique_ptr<TMimeManager> mime_;
};

TEST(Screenshots, DISABLED_Dialogs)
{
    const char* target = std::getenv("TAVIK_SCREENSHOT_OUT");
    if (!target || !*target)
        GTEST_SKIP() << "TAVIK_SCREENSHOT_OUT is not set";
    application();
    ScriptedInteraction ui;
    setUserInteraction(&ui);
    Shots shots(target);

    TNewMessageForm compose(shots);
    compose.resize(760, 560);
    compose.show();
    compose.ToEdt()->setPlainText(QStringLiteral("Carl Olsen <carl@example.net>\ndora@example.com"));
    compose.SubjectEdt()->setText(QStringLiteral("Plans for the spring release"));
    compose.Memo1()->setPlainText(QStringLiteral(
        "Hello Carl, hello Dora,\n\nhere are the plans for the release, with the report attached.\n\n"
        "\tFirst\tthe list of changes\n\tThen\tthe dates\n\nBest regards,\nAnna"));
    compose.setAttachmentList(shots.sampleAttachments());
    shots.save(&compose, "compose_address");
    compose.link(QStringLiteral("Options"))->click();
    compose.checkEncrypt()->setChecked(true);
    compose.cbPriority()->setCurrentIndex(0);
    shots.save(&compose, "compose_options");
    compose.link(QStringLiteral("Attachments"))->click();
    shots.save(&compose, "compose_attachments");

    {
        TAttachmentForm dialog(*shots.mime_, shots.sampleAttachments(), shots.profile_);
        dialog.show();
        shots.save(&dialog, "attachment_dialog");
    }
    {
        TMimeEditor editor(*shots.mime_);
        editor.show();
        shots.save(&editor, "mime_editor");
    }
    {
        TMyAddressForm book(shots.profile_, {"To: Carl Olsen <carl@example.net>", "cc: dora@example.com"});
        book.show();
        shots.save(&book, "address_book");
    }
    // An animated picture ($TAVIK_SCREENSHOT_GIF), twice: two frames apart.
    if (const char* gif = std::getenv("TAVIK_SCREENSHOT_GIF"); gif && *gif) {
        const std::string copy = shots.profile_ + "animation.gif";
        std::filesystem::copy_file(gif, copy);
        TImageForm picture(copy);
        EXPECT_TRUE(picture.isValid()) << picture.errorText();
        picture.resize(360, 300);
        picture.show();
        shots.save(&picture, "picture_window_1");
        if (QMovie* movie = picture.movie()) {
            const int frame = movie->currentFrameNumber();
            EXPECT_TRUE(QTest::qWaitFor([&] { return movie->currentFrameNumber() != frame; }, 5000));
        }
        shots.save(&picture, "picture_window_2");
    }
    {
        // The text viewer with every script, a link after CJK text and a selection that begins
        // inside a Cyrillic word and ends on a wide character.
        TStringsViewer viewer;
        viewer.resize(560, 280);
        const QStringList lines = {
            QStringLiteral("Gr\u00fc\u00dfe aus Z\u00fcrich, Ren\u00e9!"),
            QStringLiteral("\u039a\u03b1\u03bb\u03b7\u03bc\u03ad\u03c1\u03b1 \u03ba\u03cc\u03c3\u03bc\u03b5"),
            QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440"),
            QStringLiteral("\u4f60\u597d\uff0c\u4e16\u754c \u3053\u3093\u306b\u3061\u306f"),
            QStringLiteral("\u4f60\u597d see https://example.org/\u4e16\u754c and anna@example.org"),
            QStringLiteral("\U0001F600 smile \U0001F44D\U0001F3FD thumbs"),
            QStringLiteral("> quoted \u00bbreply\u00ab"),
        };
        std::vector<std::string> stored;
        for (const QString& l : lines)
            stored.push_back(toStored(l));
        stored.push_back("Gr\xfc\xdf" "e from the 8-bit program, \x80" "5");
        // A paragraph on one line wraps at the window's width, its link over two rows.
        stored.push_back("A paragraph sent as one long line, as phones and HTML mail do, runs on past the "
                         "window's width: see https://example.org/a/rather/long/path/to/a/page?with=query and "
                         "write to anna@example.org.");
        viewer.SetLines(stored);
        viewer.SetQuotedColor(QColor(0x00, 0x80, 0x00));
        viewer.show();
        const QFontMetricsF fm(viewer.font());
        const int cw = viewer.model().CharWidth(), lh = viewer.model().LineHeight();
        auto on = [&](int row, int at) {
            const QString& l = lines[row];
            const qreal middle = (fm.horizontalAdvance(l.left(at)) + fm.horizontalAdvance(l.left(at + 1))) / 2;
            return QPoint(qRound(cw + middle), row * lh + lh / 2);
        };
        QTest::mousePress(viewer.viewport(), Qt::LeftButton, {}, on(2, 2));
        QTest::mouseMove(viewer.viewport(), on(3, 4));
        QTest::mouseRelease(viewer.viewport(), Qt::LeftButton, {}, on(3, 4));
        shots.save(&viewer, "text_viewer_unicode");
        QTest::mousePress(viewer.viewport(), Qt::LeftButton, {}, on(3, 1));
        QTest::mouseMove(viewer.viewport(), on(3, 8));
        QTest::mouseRelease(viewer.viewport(), Qt::LeftButton, {}, on(3, 8));
        shots.save(&viewer, "text_viewer_unicode_cjk_selection");
    }
    {
        TSetupForm options(shots.settings_, shots.profile_, shots.boxes_);
        options.show();
        const char* names[] = {"options_general", "options_signature", "options_advanced", "options_network"};
        for (int page = 0; page < 4; ++page) {
            options.showPage(static_cast<TSetupForm::Page>(page));
            shots.save(&options, names[page]);
        }
    }
    {
        PeerCertificateInfo certificate;
        certificate.host = "mail.example.org";
        certificate.port = 995;
        certificate.problems = {"The certificate is self-signed, and untrusted"};
        certificate.subject = "CN=mail.example.org, O=Example Mail";
        certificate.issuer = "CN=mail.example.org, O=Example Mail";
        certificate.validFrom = "2026-03-01 00:00:00 UTC";
        certificate.validUntil = "2027-03-01 00:00:00 UTC";
        certificate.fingerprint = "3B:1D:6E:0A:77:C2:19:5F:AA:04:8E:61:D3:B9:20:7C:45:E8:13:9A:6F:02:CB:57:90:EE:"
                                  "34:A1:7D:68:B5:0F";
        TCertificateForm untrusted(certificate);
        untrusted.show();
        shots.save(&untrusted, "certificate_dialog");
        certificate.pinnedFingerprint = "C4:09:5B:E2:73:1F:8A:D6:3C:90:47:AB:05:F8:6E:21:9D:B3:57:0C:E4:81:2A:6F:"
                                        "D0:39:B7:14:C5:8E:62:FA";
        TCertificateForm changed(certificate);
        changed.show();
        shots.save(&changed, "certificate_dialog_changed");
    }
    setUserInteraction(nullptr);
}

} // namespace
} // namespace tavik::test
