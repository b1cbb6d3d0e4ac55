// The program's workflow commands: the check of mail, the outbox and the combined Send/Check
// (and, as they arrive, composing, the address book and the setup dialogs) behind the
// main window's handlers.
#pragma once

#include <QPointer>
#include <memory>

#include "app/workflow_commands.h"

namespace tavik {

class Outbox;
class TGetMailForm;
class TNewMailMsgForm;
class TSendMailForm;
class TNewMessageForm;
class ComposeHost;

class MailWorkflows : public WorkflowCommands {
public:
    MailWorkflows();
    ~MailWorkflows() override;

    void checkMail(TMainForm& window, CheckStart start) override;
    // "Send/Check": the queued mail is sent, then mail is checked (unless the program is being
    // shut down meanwhile).
    void checkAndSend(TMainForm& window) override;
    // "Send Queued Mail": every message of "To Send", one send dialog each.
    void sendQueued(TMainForm& window) override;
    // "&Options" and "Print Setup".
    void options(TMainForm& window) override;
    // "&Address Book", with an empty send list.
    void addressBook(TMainForm& window) override;
    void printSetup(TMainForm& window) override;
    // "MIM&E Setup": the registry editor.
    void mimeSetup(TMainForm& window) override;
    // A new composition window, shown and active; reply, edit, forward and e-mail links fill it.
    TNewMessageForm* compose(TMainForm& window) override;
    bool sessionRunning() const override { return checkDialog_ != nullptr || outbox_ != nullptr; }
    void cancelSession() override;

private:
    // The outbox run; false when it did not start (a session already runs).
    bool runOutbox(TMainForm& window);

    TGetMailForm* checkDialog_ = nullptr;
    Outbox* outbox_ = nullptr;
    TSendMailForm* sendDialog_ = nullptr;
    QPointer<TNewMailMsgForm> newMailNotice_; // the one notice on screen, if any
    bool cancelled_ = false;
    // Shared by every composition window of the run: it carries the last priority used.
    std::unique_ptr<ComposeHost> composeHost_;
};

} // namespace tavik
