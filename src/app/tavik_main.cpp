// The program's entry: the application, its title, the main window and the event loop.
#include <QApplication>
#include <QIcon>

#include <memory>

#include "app/attachment_link_commands.h"
#include "app/desktop_opener.h"
#include "app/mail_workflows.h"
#include "app/main_window.h"
#include "app/shutdown_signals.h"
#include "smtp/new_message_window.h"
#include "window_common/resources.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavik"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tavik"));
    tavik::ensureResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/tavik.png")));

    tavik::QtDesktopOpener desktop; // outlives the window's commands
    tavik::TMainForm window;
    window.setWorkflowCommands(std::make_unique<tavik::MailWorkflows>());
    window.setAttachmentLinkCommands(std::make_unique<tavik::MessageAttachmentCommands>(
        window, [&window] { return window.mimeManager(); }, window.launcher(),
        [&window](const std::string& address) {
            // An e-mail link: a new message addressed to it.
            if (tavik::TNewMessageForm* form = window.workflowCommands().compose(window))
                form->addToLine(address);
        },
        &desktop));
    // SIGTERM, SIGINT and SIGHUP end the program as "E&xit" does.
    tavik::ShutdownSignals stopSignals;
    QObject::connect(&stopSignals, &tavik::ShutdownSignals::shutdownRequested, &window, &tavik::TMainForm::requestShutdown);
    window.show();
    return app.exec();
}
