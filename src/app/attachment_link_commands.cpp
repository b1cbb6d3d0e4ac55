#include "app/attachment_link_commands.h"

#include <QMdiArea>
#include <QTemporaryFile>
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "text/html_text.h"

#include "app/desktop_opener.h"
#include "view/answer_rules.h"
#include "view/image_window.h"
#include "view/mime_launch_dialog.h"
#include "view/mime_manager.h"
#include "view/program_launcher.h"
#include "view/strings_viewer_widget.h"
#include "window_common/save_folder.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

constexpr const char* kTitle = "Tavik mail";
constexpr const char* kLaunchFailed = "An error occured while launching the viewer application.";
constexpr const char* kNoBrowser =
    "You have not configured a web browser. Use the Tools|Options menu choice to configure one.";
constexpr const char* kSaveTitle = "Save attachment to disk";
constexpr const char* kAnyFile = "All files|*";
// An attachment shown as text is read whole into the viewer; beyond this it is refused.
constexpr std::uint64_t kMaxShownTextBytes = 64ull * 1024 * 1024;

bool isPictureExtension(const std::string& d) { return d == ".jpg" || d == ".gif" || d == ".bmp"; }

bool isHtmlType(const std::string& type)
{
    static const std::string kHtml = "text/html";
    return type.size() >= kHtml.size() && std::equal(kHtml.begin(), kHtml.end(), type.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

bool sameFile(const std::string& a, const std::string& b)
{
    if (a.empty() || b.empty())
        return false;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

bool isWebLink(const std::string& link)
{
    return link.find("http://") != std::string::npos || link.find("https://") != std::string::npos;
}

// The scratch directory the attachment store copies into for viewers.
std::string scratchDirectory(TAttachmentManager& store)
{
    if (store.TempDirectory.empty())
        return privateScratchDirectory();
    std::string dir = store.TempDirectory;
    if (dir.back() != '/')
        dir.push_back('/');
    ensurePrivateDirectory(dir);
    return dir;
}

// The browser setting as a program and its arguments: the path of an existing program as it
// stands (blanks and all), otherwise a command line in the desktop's quoting.
std::vector<std::string> browserCommand(const std::string& browser)
{
    std::error_code ec;
    if (browser.find('/') != std::string::npos && std::filesystem::is_regular_file(browser, ec))
        return {browser};
    auto words = parseDesktopExec(browser);
    if (!words || words->empty() || (*words)[0].empty())
        return {};
    return *words;
}

// The extension of an attachment's own name when it is a plain one ("pdf", "odt"), else empty.
std::string nameExtension(const std::string& fileName)
{
    constexpr std::size_t kMaxExtension = 10;
    const std::string name = attachmentFileNamePart(fileName, "");
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 >= name.size() || name.size() - dot - 1 > kMaxExtension)
        return {};
    const std::string extension = name.substr(dot + 1);
    for (unsigned char c : extension)
        if (!std::isalnum(c))
            return {};
    return extension;
}

bool blankText(const std::string& s) { return s.find_first_not_of(" \t") == std::string::npos; }

} // namespace

std::vector<std::string> viewerChoicePrompt(MessageWindowKind kind, const std::string& type, bool suggested)
{
    const std::string first = "No application has been defined for MIME type " + type + ".";
    if (kind == MessageWindowKind::Mailbox)
        return {first, suggested ? "It is suggested that you use the application below to view this document. "
                                   "You may do this by pressing the Browse button."
                                 : "Please press the Browse button to select a viewer application for this MIME type."};
    return {first + (suggested ? std::string(" It is suggested that you use the application below to view ") +
                                     "this document. You may change this by pressing the Change button."
                               : std::string(" Please press the Change button to select a viewer application for ") +
                                     "this MIME type")};
}

MessageAttachmentCommands::MessageAttachmentCommands(MessageWindowHost& host, MimeRegistry mime,
                                                     ProgramLauncher& launcher, ComposeTo composeTo,
                                                     DesktopOpener* desktop)
    : host_(host), mime_(std::move(mime)), launcher_(launcher), composeTo_(std::move(composeTo)), desktop_(desktop)
{
}

QWidget* MessageAttachmentCommands::dialogParent() const
{
    QMdiArea* area = host_.mdiArea();
    return area ? area->window() : nullptr;
}

void MessageAttachmentCommands::InViewBtnClick(MessageWindowKind kind, TStringsViewer& text, int attachment)
{
    if (attachment <= 0)
        return;
    try {
        TMIMEAttachment record = host_.attachments().GetAttachment(attachment);
        // HTML is shown as the text it reads as, in both windows; its markup means nothing to a reader.
        if (isHtmlType(record.ContentType)) {
            showText(attachment, text, TextForm::ReadableHtml);
            return;
        }
        if (kind == MessageWindowKind::Viewer) {
            showText(attachment, text, TextForm::AsItStands);
            return;
        }
        TMimeManager* mime = mime_ ? mime_() : nullptr;
        const std::string d = "." + (mime ? mime->ExtensionOf(record.ContentType) : std::string());
        if (isPictureExtension(d) && record.Size > 0)
            showPicture(attachment, record.FileName, d);
        else
            showText(attachment, text, TextForm::WithoutTags);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

void MessageAttachmentCommands::showPicture(int attachment, const std::string& fileName,
                                            const std::string& dottedExtension)
{
    const std::string dir = host_.ProfileDirectory() + "Temp/";
    ensurePrivateDirectory(dir);
    // Only the last part of the message's name is used: the copy stays inside "Temp/".
    const std::string name = attachmentFileNamePart(fileName, "noname" + dottedExtension);
    const std::string target = dir + name;
    host_.attachments().CopyAttachmentFile(attachment, target);
    auto* form = new TImageForm(target, dialogParent());
    if (!form->isValid()) {
        const std::string why = form->errorText();
        delete form; // takes the copy with it
        userInteraction().error(kTitle, why);
        return;
    }
    form->setWindowTitle(fromStored(name + "  " + std::to_string(fileSize(target)) + " bytes"));
    form->show();
}

void MessageAttachmentCommands::showText(int attachment, TStringsViewer& text, TextForm form)
{
    // A private, uniquely named copy: a copy under a name taken from the message in a shared
    // place could be swapped or read by others.
    QTemporaryFile copy(pathFromBytes(scratchDirectory(host_.attachments())) + QStringLiteral("shown-XXXXXX.tmp"));
    if (!copy.open())
        throw FileError(pathToBytes(copy.fileTemplate()), "cannot create: " + toStored(copy.errorString()));
    const std::string path = pathToBytes(copy.fileName());
    host_.attachments().CopyAttachmentFile(attachment, path);
    std::string bytes = readWholeFile(path, kMaxShownTextBytes);
    removeFileIfPresent(path);
    if (form == TextForm::ReadableHtml) {
        text.SetLines(readableHtmlLines(htmlBytesToUtf8(bytes)));
        return;
    }
    std::vector<std::string> lines = textFileLines(bytes);
    if (form == TextForm::WithoutTags)
        for (std::string& line : lines)
            line = StripTags(line);
    text.SetLines(std::move(lines));
}

void MessageAttachmentCommands::ViewBtnClick(MessageWindowKind kind, int attachment)
{
    if (attachment <= 0)
        return;
    try {
        TMIMEAttachment record = host_.attachments().GetAttachment(attachment);
        TMimeManager* mime = mime_ ? mime_() : nullptr;
        if (!mime) {
            userInteraction().error(kTitle, kLaunchFailed);
            return;
        }
        const std::string type = record.ContentType;
        // No viewer can be chosen for a type the registry does not hold: the desktop decides.
        if (mime->FindType(type) == 0 && desktop_) {
            openWithDesktop(attachment, record);
            return;
        }
        const std::string path = host_.attachments().AttachmentTempFile(attachment, mime->ExtensionOf(type));
        if (mime->HasViewer(type)) {
            launch(*mime, type, path);
            return;
        }
        // The desktop judges the copy by its content and name; the message's own name names no
        // file here.
        const std::string suggestion = mime->SuggestViewer(path);
        if (!chooseViewer(dialogParent(), *mime, type, suggestion, viewerChoicePrompt(kind, type, !suggestion.empty())))
            return;
        launch(*mime, type, path);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

void MessageAttachmentCommands::launch(TMimeManager& mime, const std::string& type, const std::string& path)
{
    if (!mime.LaunchViewer(path, type))
        userInteraction().error(kTitle, kLaunchFailed);
}

void MessageAttachmentCommands::openWithDesktop(int attachment, const TMIMEAttachment& record)
{
    // The desktop picks the application by the name as much as by the content.
    const std::string path = host_.attachments().AttachmentTempFile(attachment, nameExtension(record.FileName));
    if (!desktop_->openFile(path))
        userInteraction().error(kTitle, kLaunchFailed);
}

void MessageAttachmentCommands::SpeedButtonSaveClick(MessageWindowKind, int attachment)
{
    if (attachment <= 0)
        return;
    try {
        TMIMEAttachment record = host_.attachments().GetAttachment(attachment);
        std::optional<std::string> target =
            userInteraction().askSaveFile(kSaveTitle, saveDialogStart(attachmentFileNamePart(record.FileName)), kAnyFile);
        if (!target || target->empty())
            return;
        rememberSaveFolder(*target);
        // An outgoing message's attachment is the user's own file: a copy onto it would be no
        // copy at all, and the user would believe he has a second one.
        if (sameFile(record.Location, *target)) {
            userInteraction().error(kTitle, "The attachment cannot be saved onto the file it is read from:\r\n" + *target);
            return;
        }
        host_.attachments().CopyAttachmentFile(attachment, *target);
    } catch (const std::exception& e) {
        userInteraction().error(kTitle, e.what());
    }
}

void MessageAttachmentCommands::MemoLinkClicked(MessageWindowKind, const std::string& link)
{
    if (isWebLink(link)) {
        const std::string& browser = host_.settings().Browser;
        if (blankText(browser)) {
            if (desktop_ && desktopMayOpenLink(link) && desktop_->openLink(link))
                return;
            userInteraction().inform(kTitle, kNoBrowser);
            return;
        }
        // A browser takes a word beginning with "-" as an option; a link never begins so.
        if (link[0] == '-')
            return;
        std::vector<std::string> command = browserCommand(browser);
        if (command.empty()) {
            userInteraction().error(kTitle, kLaunchFailed);
            return;
        }
        std::vector<std::string> arguments(command.begin() + 1, command.end());
        arguments.push_back(link);
        if (!launcher_.startProgram(command[0], arguments))
            userInteraction().error(kTitle, kLaunchFailed);
        return;
    }
    if (link.find('@') == std::string::npos || !composeTo_)
        return;
    // The whole link: a mailto: link's subject, cc and body fill the composition too.
    composeTo_(link);
}

} // namespace tavik
