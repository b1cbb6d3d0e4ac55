// The attachment strip's commands and the text links of both message windows: attachments shown
// as text or in the picture window, opened in a viewer chosen through the MIME type registry,
// saved; web links opened in the configured browser, e-mail links in a new composition.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "view/message_window_host.h"

class QWidget;

namespace tavik {

class DesktopOpener;
class ProgramLauncher;
class TMimeManager;

// The prompt lines of the viewer-choice dialog as each window words them, for a type without a
// viewer; `suggested` when the desktop offered an application.
std::vector<std::string> viewerChoicePrompt(MessageWindowKind kind, const std::string& type, bool suggested);

// The program's AttachmentLinkCommands. Every failure (a number without a record, a file that
// cannot be copied or read, a refused launch) is shown in a box; the window stays as it was.
// Lives as long as the main window that installs it; holds no state between commands.
class MessageAttachmentCommands : public AttachmentLinkCommands {
public:
    // The registry of the open profile, nullptr when none: the profile (and with it the
    // registry) changes under the commands at a user switch.
    using MimeRegistry = std::function<TMimeManager*()>;
    // Opens a new composition addressed to `address` (recipient list and To field).
    using ComposeTo = std::function<void(const std::string& link)>; // a mailto: link or an address

    // `host` gives the stores, the settings (`Browser`) and the profile directory; `launcher`
    // starts the browser; `desktop`, when given, opens what the registry and the browser setting
    // leave to the desktop. None is owned; all outlive the commands.
    MessageAttachmentCommands(MessageWindowHost& host, MimeRegistry mime, ProgramLauncher& launcher,
                              ComposeTo composeTo, DesktopOpener* desktop = nullptr);

    // Both windows: an HTML attachment (type "text/html", any letter case) is shown in `text` as
    // the lines it reads as (readableHtmlLines), its bytes read by htmlBytesToUtf8; nothing it
    // links to is fetched.
    // Mailbox window: a picture whose type's extension is "jpg", "gif" or "bmp" (letter case as
    // registered) goes to the picture window from a copy in the profile's "Temp/"; anything else
    // is shown in `text` without its tags. Viewer window: always the text as it stands.
    void InViewBtnClick(MessageWindowKind kind, TStringsViewer& text, int attachment) override;
    // Opens the attachment in the type's viewer, asking for one first when it has none. A type
    // the registry does not know goes to the desktop's handler, as a private copy in the store's
    // scratch directory named with the attachment's own extension.
    void ViewBtnClick(MessageWindowKind kind, int attachment) override;
    // Copies the attachment to a file the user chooses (never onto the file it is read from).
    void SpeedButtonSaveClick(MessageWindowKind kind, int attachment) override;
    // A web link goes to the browser as one argument, or to the desktop's handler when no browser
    // is set; an e-mail link to ComposeTo.
    void MemoLinkClicked(MessageWindowKind kind, const std::string& link) override;

private:
    QWidget* dialogParent() const;
    void showPicture(int attachment, const std::string& fileName, const std::string& dottedExtension);
    enum class TextForm { AsItStands, WithoutTags, ReadableHtml };
    void showText(int attachment, TStringsViewer& text, TextForm form);
    void launch(TMimeManager& mime, const std::string& type, const std::string& path);
    void openWithDesktop(int attachment, const TMIMEAttachment& record);

    MessageWindowHost& host_;
    MimeRegistry mime_;
    ProgramLauncher& launcher_;
    ComposeTo composeTo_;
    DesktopOpener* desktop_;
};

} // namespace tavik
