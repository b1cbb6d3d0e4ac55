// What the main window may ask of a child window. The main window owns the actions, menus and
// tool bar and never reaches into a child's widgets: it routes each command to the active child
// through this interface, and reads the child's kind to set the tool bar's state.
#pragma once

namespace tavik {

// Implemented by the widget of every child window (the widget a QMdiSubWindow holds). The
// default implementations do nothing, so a window offers only the commands it has.
class MailChildWindow {
public:
    // The kinds the tool-bar state rule tells apart.
    enum class Kind {
        Mailbox,     // a mailbox window: a list of one mailbox's messages
        Viewer,      // a viewer window: one message
        Composition, // a message being written
        Other
    };

    virtual ~MailChildWindow() = default;

    // The window's closing question, asked before a user switch or the end of the program:
    // false keeps the window open and the profile with it. After true the window closes without
    // asking again.
    virtual bool mayClose() { return true; }

    // The window's kind.
    virtual Kind childKind() const = 0;
    // The mailbox the window shows (mailbox or viewer window), 0 when none.
    virtual int mailboxNumber() const { return 0; }

    // "Next message" / "Previous message".
    virtual void nextMessage() {}
    virtual void previousMessage() {}
    // "Edit message", "Reply message", "Forward message".
    virtual void editMessage() {}
    virtual void replyMessage() {}
    // "Reply to all": the sender (or its Reply-To) and the other recipients, less the user.
    virtual void replyAllMessage() {}
    virtual void forwardMessage() {}
    // "Delete message": the selected messages (or the window's message) to Trash, after the
    // window's own confirmation.
    virtual void deleteMessages() {}
    // "Move message(s) to other folders": the window asks for the target itself.
    virtual void moveMessages() {}
    // An entry of the "Move to...": the selected messages (or the window's message) to mailbox
    // `mailbox`.
    virtual void moveMessagesTo(int mailbox) { (void)mailbox; }
    // "Save message to disk", "Print message".
    virtual void saveMessage() {}
    virtual void printMessage() {}
};

} // namespace tavik
