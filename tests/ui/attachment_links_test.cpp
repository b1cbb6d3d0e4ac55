// The attachment and link commands of the message windows on a real store in a temporary
// profile: pictures and text shown inside the program, the viewer choice, saving, web links
// reaching a real program as one argument, e-mail links, and every failure shown in a box.
#include <QBuffer>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMovie>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <filesystem>
#include <sys/stat.h>

#include "app/attachment_link_commands.h"
#include "app/desktop_opener.h"
#include "ui/ui_test_support.h"
#include "view/attachment_strip_widget.h"
#include "view/image_window.h"
#include "view/mime_launch_dialog.h"
#include "view/mailbox_window.h"
#include "view/mime_manager.h"
#include "view/strings_viewer_widget.h"
#include "view/viewer_launcher.h"
#include "window_common/text_conversion.h"

namespace tavik::test {
namespace {

using Lines = std::vector<std::string>;

// Records the programs started; the desktop knows no applications.
class RecordingLauncher : public ProgramLauncher {
public:
    bool startProgram(const std::string& program, const std::vector<std::string>& arguments) override
    {
        Lines call{program};
        call.insert(call.end(), arguments.begin(), arguments.end());
        started.push_back(call);
        return true;
    }
    std::optional<std::string> queryProgram(const std::string&, const std::vector<std::string>&) override
    {
        return std::nullopt;
    }
    std::vector<Lines> started;
};

// Records what the desktop was handed; takes it or not as told.
class RecordingDesktop : public DesktopOpener {
public:
    bool openFile(const std::string& path) override
    {
        files.push_back(path);
        return takes;
    }
    bool openLink(const std::string& link) override
    {
        links.push_back(link);
        return takes;
    }
    Lines files, links;
    bool takes = true;
};

// Also keeps the name each save dialog was preset to.
class PresetRecorder : public ScriptedInteraction {
public:
    std::optional<std::string> askSaveFile(const std::string& title, const std::string& preset,
                                           const std::string& filter) override
    {
        presets.push_back(preset);
        return ScriptedInteraction::askSaveFile(title, preset, filter);
    }
    Lines presets;
};

std::string pictureBytes(const char* format)
{
    QImage image(8, 6, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format));
    return bytes.toStdString();
}

// Two frames of one pixel, 10 ms each, looping (Qt writes no GIF).
std::string twoFrameGif()
{
    const unsigned char bytes[] = {
        'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF,
        0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0,
        0x21, 0xF9, 4, 0, 1, 0, 0, 0, 0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0,
        0x21, 0xF9, 4, 0, 1, 0, 0, 0, 0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x4C, 0x01, 0,
        0x3B};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

class AttachmentLinksTest : public UiTest, public MessageWindowHost {
protected:
    AttachmentLinksTest()
        : profile_(dir_.path()), mime_(profile_ + "mime.def", &mimeLauncher),
          commands(*this, [this] { return &mime_; }, launcher, [this](const std::string& a) { composed.push_back(a); })
    {
        setUserInteraction(&dialogs);
        store_.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store_.SetMailBoxDirectory(profile_ + "mailboxe/");
        attachments_.SetAttachmentDirectory(profile_ + "attach/");
        attachments_.TempDirectory = profile_ + "scratch/";
        // The desktop's download folder, named as the desktop names it.
        previousConfig_ = qgetenv("XDG_CONFIG_HOME");
        hadConfig_ = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        std::filesystem::create_directories(downloads());
        writeBytes(desktop_.path() + "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"" + downloads() + "\"\n");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(desktop_.path()));
    }
    ~AttachmentLinksTest() override
    {
        if (hadConfig_)
            qputenv("XDG_CONFIG_HOME", previousConfig_);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }

    TNMailBox& Mailbox() override { return store_; }
    TAttachmentManager& attachments() override { return attachments_; }
    ProfileSettings& settings() override { return settings_; }
    const std::string& ProfileDirectory() const override { return profile_; }
    QIcon statusPicture(const std::string&) const override { return {}; }
    QMdiArea* mdiArea() const override { return area_.get(); }
    void addViewerWindow(QWidget*) override {}
    void MessagesDropped(int, const MessageDrag&) override {}
    AttachmentLinkCommands& attachmentLinkCommands() override { return commands; }

    // A received attachment holding `bytes`.
    int received(const std::string& fileName, const std::string& type, const std::string& bytes)
    {
        TMIMEAttachment a;
        a.FileName = fileName;
        a.ContentType = type;
        a.Size = static_cast<std::int32_t>(bytes.size());
        const int n = attachments_.RegisterAttachment(a);
        writeBytes(attachments_.GetAttachment(n).Location, bytes);
        return n;
    }
    QList<TImageForm*> pictureWindows() const { return area_->findChildren<TImageForm*>(); }
    const std::string& profile() const { return profile_; }
    std::string downloads() const { return desktop_.path() + "Downloads/"; }

    PresetRecorder dialogs;
    RecordingLauncher mimeLauncher;
    RecordingLauncher launcher;
    Lines composed;
    TStringsViewer text;

private:
    TempDir dir_;
    TempDir desktop_;
    QByteArray previousConfig_;
    bool hadConfig_ = false;
    std::string profile_;
    TNMailBox store_;
    TAttachmentManager attachments_;
    ProfileSettings settings_;
    TMimeManager mime_;
    std::unique_ptr<QMdiArea> area_ = std::make_unique<QMdiArea>();

protected:
    MessageAttachmentCommands commands;

    TMimeManager& mime() { return mime_; }
};

TEST_F(AttachmentLinksTest, PictureTypesByTheRegisteredExtensionExactly)
{
    const std::string jpeg = pictureBytes("JPG");
    const int n = received("photo.jpg", "image/jpeg", jpeg);
    commands.InViewBtnClick(MessageWindowKind::Mailbox, text, n);
    ASSERT_EQ(pictureWindows().size(), 1);
    TImageForm* form = pictureWindows().front();
    EXPECT_EQ(form->windowTitle(), fromStored("photo.jpg  " + std::to_string(jpeg.size()) + " bytes"));
    EXPECT_EQ(form->picturePath(), profile() + "Temp/photo.jpg");
    EXPECT_EQ(fileBytes(form->picturePath()), jpeg);
    EXPECT_EQ(form->speedBox()->value(), 10);
    EXPECT_EQ(form->movie(), nullptr);
    QPointer<TImageForm> watch(form);
    form->close();
    EXPECT_TRUE(waitFor([&] { return watch.isNull(); }));
    EXPECT_FALSE(fileExists(profile() + "Temp/photo.jpg"));

    // Registered as "JPG" the type no longer counts as a picture: its bytes are shown as text.
    ASSERT_TRUE(mime().StoreEntry({"image/jpeg", false, "JPEG graphic format", "", "JPG"}));
    commands.InViewBtnClick(MessageWindowKind::Mailbox, text, n);
    EXPECT_TRUE(pictureWindows().empty());
    EXPECT_FALSE(text.Lines().empty());
    EXPECT_TRUE(ui.shown.empty() && dialogs.shown.empty());
}

TEST_F(AttachmentLinksTest, TextWithoutTagsInTheMailboxWindowAndAsItStandsInTheViewer)
{
    const int n = received("page", "application/x-unknown", "<b>Hello</b> world\r\nline 2 <i x\r\n");
    commands.InViewBtnClick(MessageWindowKind::Mailbox, text, n);
    EXPECT_EQ(text.Lines(), (Lines{"Hello world", "line 2 "}));
    commands.InViewBtnClick(MessageWindowKind::Viewer, text, n);
    EXPECT_EQ(text.Lines(), (Lines{"<b>Hello</b> world", "line 2 <i x"}));
    // The copy read from is gone.
    EXPECT_TRUE(std::filesystem::is_empty(profile() + "scratch/"));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(AttachmentLinksTest, AnHtmlAttachmentIsShownAsTheTextItReads)
{
    // Declared Latin-1 in the document; the type in any letter case.
    const int latin1 = received("page.html", "Text/HTML",
                                "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">"
                                "<style>p {color: red}</style></head><body><p>Caf\xE9 &amp; more</p>\r\n"
                                "<p>See <a href=\"https://example.org/x\">our page</a></p></body></html>\r\n");
    const Lines expected{"Caf\xC3\xA9 & more", "", "See our page <https://example.org/x>"};
    commands.InViewBtnClick(MessageWindowKind::Mailbox, text, latin1);
    EXPECT_EQ(text.Lines(), expected);
    text.Clear();
    commands.InViewBtnClick(MessageWindowKind::Viewer, text, latin1);
    EXPECT_EQ(text.Lines(), expected);
    // Undeclared: UTF-8 when it is, Windows-1252 when not.
    const int utf8 = received("", "text/html; charset=x", "<p>Caf\xC3\xA9 &euro;</p>");
    commands.InViewBtnClick(MessageWindowKind::Viewer, text, utf8);
    EXPECT_EQ(text.Lines(), (Lines{"Caf\xC3\xA9 \xE2\x82\xAC"}));
    const int cp1252 = received("", "text/html", "<p>\x80 5</p>");
    commands.InViewBtnClick(MessageWindowKind::Mailbox, text, cp1252);
    EXPECT_EQ(text.Lines(), (Lines{"\xE2\x82\xAC 5"}));
    EXPECT_TRUE(ui.shown.empty() && dialogs.shown.empty());
    EXPECT_TRUE(std::filesystem::is_empty(profile() + "scratch/"));
}

TEST_F(AttachmentLinksTest, NamesFromMessagesStayInsideTempAndBadPicturesSayWhy)
{
    const int bmp = received("../../.bashrc", "image/x-bitmap", pictureBytes("BMP"));
    commands.InViewBtnClick(MessageWindowKind::Mailbox, text, bmp);
    ASSERT_EQ(pictureWindows().size(), 1);
    EXPECT_EQ(pictureWindows().front()->picturePath(), profile() + "Temp/.bashrc");
    EXPECT_FALSE(fileExists(std::filesystem::path(profile()).parent_path().parent_path().string() + "/.bashrc"));
    delete pictureWindows().front();
    EXPECT_FALSE(fileExists(profile() + "Temp/.bashrc"));

    const int broken = received("", "image/gif", "GIF89a but nothing after it");
    commands.InViewBtnClick(MessageWindowKind::Mailbox, text, broken);
    EXPECT_TRUE(pictureWindows().empty());
    ASSERT_EQ(dialogs.textsOf("error").size(), 1u);
    EXPECT_EQ(dialogs.textsOf("error")[0].rfind("The picture noname.gif cannot be shown: ", 0), 0u);
    EXPECT_FALSE(fileExists(profile() + "Temp/noname.gif"));
}

TEST_F(AttachmentLinksTest, AnimatedGifPlaysAtTheChosenSpeedAndMovesWhenSaved)
{
    const int n = received("anim.gif", "image/gif", twoFrameGif());
    commands.InViewBtnClick(MessageWindowKind::Mailbox, text, n);
    ASSERT_EQ(pictureWindows().size(), 1);
    TImageForm* form = pictureWindows().front();
    ASSERT_NE(form->movie(), nullptr);
    EXPECT_EQ(form->movie()->speed(), 100);
    EXPECT_TRUE(waitFor([&] { return form->movie()->currentFrameNumber() == 1; }));
    form->speedBox()->setValue(1000);
    EXPECT_EQ(form->movie()->speed(), 10000);
    form->animatedBox()->setChecked(false);
    EXPECT_EQ(form->movie()->state(), QMovie::Paused);

    const std::string kept = profile() + "kept.gif";
    dialogs.files.push_back(kept);
    form->saveButton()->click();
    EXPECT_EQ(dialogs.presets, (Lines{downloads() + "anim.gif"}));
    EXPECT_EQ(fileBytes(kept), twoFrameGif());
    EXPECT_FALSE(fileExists(profile() + "Temp/anim.gif"));
    form->close();
    EXPECT_EQ(fileBytes(kept), twoFrameGif());
}

TEST_F(AttachmentLinksTest, SavingCopiesButNeverOntoTheAttachmentsOwnFile)
{
    const int n = received("dir/report.txt", "text/plain", "report");
    dialogs.files.push_back(profile() + "saved.txt");
    commands.SpeedButtonSaveClick(MessageWindowKind::Mailbox, n);
    EXPECT_EQ(fileBytes(profile() + "saved.txt"), "report");

    // An outgoing message's attachment is the user's own file.
    const std::string own = profile() + "own.txt";
    writeBytes(own, "mine");
    TMIMEAttachment a;
    a.FileName = "own.txt";
    a.Location = own;
    const int o = attachments().RegisterAttachment(a);
    dialogs.files.push_back(own);
    commands.SpeedButtonSaveClick(MessageWindowKind::Viewer, o);
    EXPECT_EQ(dialogs.presets, (Lines{downloads() + "report.txt", profile() + "own.txt"}));
    EXPECT_EQ(dialogs.textsOf("error"), (Lines{"The attachment cannot be saved onto the file it is read from:\r\n" + own}));
    EXPECT_EQ(fileBytes(own), "mine");
}

TEST_F(AttachmentLinksTest, SaveDialogsStartInTheDownloadFolderThenWhereTheLastSaveWent)
{
    // Opening a profile makes it the working directory: a bare name would have started there.
    const int n = received("report.txt", "text/plain", "report");
    dialogs.files = {std::nullopt, std::nullopt};
    saveMessageText({"line"});
    commands.SpeedButtonSaveClick(MessageWindowKind::Mailbox, n);
    EXPECT_EQ(dialogs.presets, (Lines{downloads(), downloads() + "report.txt"}));

    TempDir elsewhere;
    dialogs.files = {elsewhere.path() + "text.txt", std::nullopt};
    saveMessageText({"line"});
    commands.SpeedButtonSaveClick(MessageWindowKind::Viewer, n);
    EXPECT_EQ(fileBytes(elsewhere.path() + "text.txt"), "line\r\n");
    EXPECT_EQ(dialogs.presets.back(), elsewhere.path() + "report.txt");
}

TEST_F(AttachmentLinksTest, AMissingRecordShowsTheStoresError)
{
    std::string why;
    try {
        attachments().GetAttachment(99);
    } catch (const FileError& e) {
        why = e.what();
    }
    ASSERT_FALSE(why.empty());
    commands.InViewBtnClick(MessageWindowKind::Mailbox, text, 99);
    commands.ViewBtnClick(MessageWindowKind::Viewer, 99);
    commands.SpeedButtonSaveClick(MessageWindowKind::Mailbox, 99);
    EXPECT_EQ(dialogs.textsOf("error"), (Lines{why, why, why}));
}

TEST_F(AttachmentLinksTest, ViewerChoiceInEachWindowsWords)
{
    const int n = received("doc.pdf", "application/pdf", "%PDF-1.4");
    QString prompt;
    auto cancel = ModalDriver::on<TMimeLaunchForm>([&](TMimeLaunchForm* f) {
        prompt = f->promptLabel()->text();
        f->reject();
    });
    commands.ViewBtnClick(MessageWindowKind::Mailbox, n);
    EXPECT_TRUE(cancel->handled());
    EXPECT_EQ(prompt, QStringLiteral("No application has been defined for MIME type application/pdf.\nPlease press the "
                                     "Browse button to select a viewer application for this MIME type."));
    EXPECT_TRUE(mimeLauncher.started.empty());

    auto choose = ModalDriver::on<TMimeLaunchForm>([&](TMimeLaunchForm* f) {
        prompt = f->promptLabel()->text();
        f->applicationEdit()->setText(QStringLiteral("/bin/true"));
        f->okButton()->click();
    });
    commands.ViewBtnClick(MessageWindowKind::Viewer, n);
    EXPECT_TRUE(choose->handled());
    EXPECT_EQ(prompt, QStringLiteral("No application has been defined for MIME type application/pdf. Please press the "
                                     "Change button to select a viewer application for this MIME type"));
    EXPECT_TRUE(mime().HasViewer("application/pdf"));
    ASSERT_EQ(mimeLauncher.started.size(), 1u);
    EXPECT_EQ(mimeLauncher.started[0][0], "/bin/true");
    EXPECT_EQ(fileBytes(mimeLauncher.started[0][1]), "%PDF-1.4");
    // Now it has a viewer: no question.
    commands.ViewBtnClick(MessageWindowKind::Mailbox, n);
    EXPECT_EQ(mimeLauncher.started.size(), 2u);
    EXPECT_EQ(viewerChoicePrompt(MessageWindowKind::Mailbox, "a/b", true)[1],
              "It is suggested that you use the application below to view this document. You may do this by "
              "pressing the Browse button.");
    EXPECT_EQ(viewerChoicePrompt(MessageWindowKind::Viewer, "a/b", true),
              (Lines{"No application has been defined for MIME type a/b. It is suggested that you use the application "
                     "below to view this document. You may change this by pressing the Change button."}));
}

TEST_F(AttachmentLinksTest, NoBrowserRunsNothingAndMailLinksCompose)
{
    commands.MemoLinkClicked(MessageWindowKind::Mailbox, "http://example.org/");
    EXPECT_EQ(dialogs.textsOf("inform"), (Lines{"You have not configured a web browser. Use the Tools|Options menu "
                                                "choice to configure one."}));
    commands.MemoLinkClicked(MessageWindowKind::Viewer, "ann@example.org");
    commands.MemoLinkClicked(MessageWindowKind::Viewer, "no link at all");
    commands.MemoLinkClicked(MessageWindowKind::Mailbox, "MAILTO:bob@example.org?subject=Hi");
    EXPECT_TRUE(launcher.started.empty());
    EXPECT_EQ(composed, (Lines{"ann@example.org", "MAILTO:bob@example.org?subject=Hi"}));
}

TEST_F(AttachmentLinksTest, HostileLinksReachTheBrowserAsOneArgument)
{
    TempDir bin;
    const std::string log = bin.path() + "args.log", script = bin.path() + "browser";
    writeBytes(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + log + "'; done\n");
    ::chmod(script.c_str(), 0700);
    ViewerLauncher real;
    MessageAttachmentCommands links(*this, [] { return nullptr; }, real, {});
    settings().Browser = "\"" + script + "\" --new-window";

    const std::string subst = "http://x/$(touch " + bin.path() + "p)", chained = "http://x/;id>" + bin.path() + "q";
    links.MemoLinkClicked(MessageWindowKind::Mailbox, subst);
    EXPECT_TRUE(waitFor([&] { return fileBytes(log) == "--new-window\n" + subst + "\n"; })) << fileBytes(log);
    links.MemoLinkClicked(MessageWindowKind::Viewer, chained);
    EXPECT_TRUE(waitFor([&] { return fileBytes(log) == "--new-window\n" + subst + "\n--new-window\n" + chained + "\n"; }))
        << fileBytes(log);
    EXPECT_FALSE(fileExists(bin.path() + "p"));
    EXPECT_FALSE(fileExists(bin.path() + "q"));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(AttachmentLinksTest, AnUnknownTypeOpensWithTheDesktopFromAPrivateCopy)
{
    RecordingDesktop desktop;
    MessageAttachmentCommands open(*this, [this] { return &mime(); }, launcher, {}, &desktop);
    const std::string bytes("PK\x03\x04\x00\xFF odt", 10);
    const int n = received("../Plan B.odt", "application/vnd.oasis.opendocument.text", bytes);
    open.ViewBtnClick(MessageWindowKind::Viewer, n);
    ASSERT_EQ(desktop.files.size(), 1u);
    const std::string copy = desktop.files[0];
    EXPECT_EQ(copy.rfind(profile() + "scratch/", 0), 0u);
    EXPECT_EQ(copy.substr(copy.size() - 4), ".odt");
    EXPECT_EQ(fileBytes(copy), bytes);
    struct stat file {}, dir {};
    ASSERT_EQ(::stat(copy.c_str(), &file), 0);
    ASSERT_EQ(::stat((profile() + "scratch").c_str(), &dir), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ(dir.st_mode & 0777, 0700u);
    EXPECT_TRUE(dialogs.shown.empty());

    // A type the registry holds still goes through its viewer choice.
    const int pdf = received("doc.pdf", "application/pdf", "%PDF");
    auto cancel = ModalDriver::on<TMimeLaunchForm>([](TMimeLaunchForm* f) { f->reject(); });
    open.ViewBtnClick(MessageWindowKind::Mailbox, pdf);
    EXPECT_TRUE(cancel->handled());
    EXPECT_EQ(desktop.files.size(), 1u);

    desktop.takes = false;
    open.ViewBtnClick(MessageWindowKind::Mailbox, n);
    EXPECT_EQ(dialogs.textsOf("error"), (Lines{"An error occured while launching the viewer application."}));
    EXPECT_TRUE(mimeLauncher.started.empty() && launcher.started.empty());
}

TEST_F(AttachmentLinksTest, AWebLinkWithoutBrowserGoesToTheDesktopAFileLinkNever)
{
    RecordingDesktop desktop;
    MessageAttachmentCommands open(*this, [this] { return &mime(); }, launcher, {}, &desktop);
    open.MemoLinkClicked(MessageWindowKind::Viewer, "https://example.org/a?b=c");
    EXPECT_EQ(desktop.links, (Lines{"https://example.org/a?b=c"}));
    EXPECT_TRUE(dialogs.shown.empty());

    const std::string noBrowser =
        "You have not configured a web browser. Use the Tools|Options menu choice to configure one.";
    open.MemoLinkClicked(MessageWindowKind::Mailbox, "file:///etc/passwd?http://example.org/");
    open.MemoLinkClicked(MessageWindowKind::Mailbox, "javascript:x//https://example.org/");
    EXPECT_EQ(desktop.links.size(), 1u);
    EXPECT_EQ(dialogs.textsOf("inform"), (Lines{noBrowser, noBrowser}));
    desktop.takes = false;
    open.MemoLinkClicked(MessageWindowKind::Mailbox, "http://example.org/");
    EXPECT_EQ(dialogs.textsOf("inform").size(), 3u);

    // A browser set by the user wins.
    settings().Browser = "/usr/bin/browser";
    open.MemoLinkClicked(MessageWindowKind::Mailbox, "http://example.org/b");
    EXPECT_EQ(launcher.started, (std::vector<Lines>{{"/usr/bin/browser", "http://example.org/b"}}));
    EXPECT_EQ(desktop.links.size(), 2u);

    EXPECT_TRUE(desktopMayOpenLink("FTP://host/f") && desktopMayOpenLink("mailto:ann@example.org"));
    EXPECT_FALSE(desktopMayOpenLink("http://") || desktopMayOpenLink("http://a b") ||
                 desktopMayOpenLink("FILE:///x") || desktopMayOpenLink("http://a\nb"));
}

TEST(AttachmentEntryPicture, MajorTypeAsStored)
{
    EXPECT_EQ(attachmentIconName("image/png"), "MIME_IMAGE");
    EXPECT_EQ(attachmentIconName("audio/x-wave"), "MIME_AUDIO");
    EXPECT_EQ(attachmentIconName("IMAGE/png"), "");
    EXPECT_EQ(attachmentIconName("model/x"), "");
}

} // namespace
} // namespace tavik::test
