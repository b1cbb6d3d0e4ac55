#include "app/mail_workflows.h"

#include <QApplication>

#include "app/main_window.h"
#include "pop3/get_mail_dialog.h"

namespace tavik {

void MailWorkflows::checkMail(TMainForm& window, CheckStart start)
{
    if (checkDialog_)
        return;
    bool received = false;
    int filed = 0;
    {
        TGetMailForm dialog(window.settings(), window.ProfileDirectory(), window.Mailbox(), window.attachments(),
                            &window);
        checkDialog_ = &dialog;
        dialog.exec();
        checkDialog_ = nullptr;
        received = dialog.check().Received();
        filed = dialog.check().Filed();
    }
    window.protocolSessionEnded();
    if (window.state() != TMainForm::State::ProfileOpen)
        return; // the program is shutting down
    if (received) {
        window.OpenMailboxWindow(1);
        QApplication::beep();
        if (window.settings().AutoCheckMail) {
            // The messages filed, not what the server announced: skipped ones are not new.
            TNewMailMsgForm notice(filed, &window);
            notice.exec();
        }
    } else if (start == CheckStart::Command) {
        QApplication::beep();
    }
}

void MailWorkflows::cancelSession()
{
    if (checkDialog_)
        checkDialog_->StopBtnClick();
}

} // namespace tavik
