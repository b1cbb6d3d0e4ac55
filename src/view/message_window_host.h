// What the mailbox and viewer windows need from the program around them, and the commands of the
// attachment strip and the text links.
#pragma once

#include <QIcon>
#include <string>

#include "pop3/attachment_store.h"
#include "profile/settings.h"
#include "store/mailbox_store.h"
#include "window_common/message_drag.h"

class QMdiArea;
class QWidget;

namespace tavik {

class TStringsViewer;
class TNewMessageForm;

// Which message window a command of the attachment strip comes from: the two windows show an
// attachment differently.
enum class MessageWindowKind { Mailbox, Viewer };

// The attachment strip's buttons, a double click on an attachment, and a click on a link of a
// message text. The program installs `MessageAttachmentCommands` with
// TMainForm::setAttachmentLinkCommands; the defaults do nothing, for hosts that offer none.
// `text` is the window's text viewer (preview pane or body), which shows an attachment displayed
// inside the program.
class AttachmentLinkCommands {
public:
    virtual ~AttachmentLinkCommands() = default;
    // "Display attachment" / "In View", and a double click on an attachment.
    virtual void InViewBtnClick(MessageWindowKind kind, TStringsViewer& text, int attachment)
    {
        (void)kind; (void)text; (void)attachment;
    }
    // "Launch asociated application" / "Out View".
    virtual void ViewBtnClick(MessageWindowKind kind, int attachment) { (void)kind; (void)attachment; }
    // "Save attachment to disk" / "Save".
    virtual void SpeedButtonSaveClick(MessageWindowKind kind, int attachment) { (void)kind; (void)attachment; }
    // A link of the text clicked (`MemoLinkClicked`).
    virtual void MemoLinkClicked(MessageWindowKind kind, const std::string& link) { (void)kind; (void)link; }
};

// The program's side of the message windows: the main window implements it; tests give a small
// one. Everything returned outlives the windows.
class MessageWindowHost {
public:
    virtual ~MessageWindowHost() = default;
    // The shared mailbox store; every window selects its mailbox and message before each use.
    virtual TNMailBox& Mailbox() = 0;
    // The attachment store, for the strip's entries.
    virtual TAttachmentManager& attachments() = 0;
    // The profile's settings (FullHeaders, AutoAddAddress, QuotedColor).
    virtual ProfileSettings& settings() = 0;
    // The profile directory, ending in "/": the address book and "custom.ini" live there.
    virtual const std::string& ProfileDirectory() const = 0;
    // One of the status pictures by name; empty when unknown.
    virtual QIcon statusPicture(const std::string& name) const = 0;
    // The area of the child windows (mailbox windows are found there for font changes).
    virtual QMdiArea* mdiArea() const = 0;
    // Makes a new viewer window a child window and shows it; the host owns it from then on.
    virtual void addViewerWindow(QWidget* window) = 0;
    // Messages dropped on the list of mailbox `target`.
    virtual void MessagesDropped(int target, const MessageDrag& drag) = 0;
    // The attachment and link commands.
    virtual AttachmentLinkCommands& attachmentLinkCommands() = 0;
    // A new composition window, shown and active, for reply, edit and forward; nullptr when
    // none can be opened.
    virtual TNewMessageForm* newComposition() { return nullptr; }
};

} // namespace tavik
