// The commands of the main window that the subsystems of later work carry out: checking mail,
// sending, composing, the address book, the options, the MIME setup and the printer setup. The
// main window binds each of its handlers to one method here; the default implementations do
// nothing, and the check-mail, outbox, composition, address-book, options, MIME and printing code
// each override theirs in one subclass installed with TMainForm::setWorkflowCommands.
#pragma once

namespace tavik {

class TMainForm;
class TNewMessageForm;

// Who started a mail check: the beep for "no new mail" is given only to a command of the user.
enum class CheckStart {
    Command,     // a menu entry or a tool button
    Timer,       // the minute timer's countdown
    ProfileOpen  // "AutoCheckStart" when a profile opens
};

// A protocol session (check mail, send) runs inside a modal progress dialog. While one runs,
// sessionRunning() is true; the owner of the session calls TMainForm::protocolSessionEnded()
// when it has ended, finished or cancelled. cancelSession() asks it to stop (the dialog's Stop);
// the main window does so before it shuts down and then waits for the end.
class WorkflowCommands {
public:
    virtual ~WorkflowCommands() = default;

    // "Check for new &Mail" and the timer: one check of the current profile, run to its end.
    virtual void checkMail(TMainForm& window, CheckStart start) { (void)window; (void)start; }
    // The check-and-send button: sends the queued mail, then checks.
    virtual void checkAndSend(TMainForm& window) { (void)window; }
    // "Send Queued Mail".
    virtual void sendQueued(TMainForm& window) { (void)window; }
    // "Compose &New Message".
    virtual void composeNewMessage(TMainForm& window) { compose(window); }
    // A new composition window, shown and active (nullptr when none opens); reply, edit,
    // forward and e-mail links fill it.
    virtual TNewMessageForm* compose(TMainForm& window) { (void)window; return nullptr; }
    // "&Address Book".
    virtual void addressBook(TMainForm& window) { (void)window; }
    // "MIM&E Setup".
    virtual void mimeSetup(TMainForm& window) { (void)window; }
    // "&Options".
    virtual void options(TMainForm& window) { (void)window; }
    // "Print Setup".
    virtual void printSetup(TMainForm& window) { (void)window; }

    // True while a protocol session runs.
    virtual bool sessionRunning() const { return false; }
    // Asks the running session to stop; its end is reported as always.
    virtual void cancelSession() {}
};

} // namespace tavik
