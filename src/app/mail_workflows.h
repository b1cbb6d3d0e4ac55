// The program's workflow commands: the check of mail (and, as their issues add them, sending,
// composing, the address book and the setup dialogs) behind the main window's handlers.
#pragma once

#include "app/workflow_commands.h"

namespace tavik {

class TGetMailForm;

class MailWorkflows : public WorkflowCommands {
public:
    void checkMail(TMainForm& window, CheckStart start) override;
    bool sessionRunning() const override { return checkDialog_ != nullptr; }
    void cancelSession() override;

private:
    TGetMailForm* checkDialog_ = nullptr;
};

} // namespace tavik
