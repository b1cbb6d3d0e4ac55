// The program's entry: the application, its title, the main window and the event loop.
#include <QApplication>
#include <QIcon>

#include <memory>

#include "app/attachment_link_commands.h"
#include "app/desktop_opener.h"
#include "app/mail_workflows.h"
#include "app/main_window.h"
#include "app/program_instance.h"
#include "app/shutdown_signals.h"
#include "profile/settings.h"
#include "window_common/resources.h"
#include "window_common/text_conversion.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavik"));
    QGuiApplication::setDesktopFileName(QStringLiteral(TAVIK_APP_ID));

    // The one argument read: a mailto: link, as the desktop passes a clicked one ("tavik %u").
    QString link;
    for (const QString& argument : app.arguments().mid(1))
        if (argument.startsWith(QStringLiteral("mailto:"), Qt::CaseInsensitive)) {
            link = argument;
            break;
        }
    // A program already running on this program directory takes the link, or comes to the front.
    tavik::ProgramInstance instance(tavik::DefaultProgramDirectory());
    if (instance.handOver(link))
        return 0;
    instance.listen();
    tavik::ensureResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/tavik.png")));

    tavik::QtDesktopOpener desktop; // outlives the window's commands
    tavik::TMainForm window;
    window.setWorkflowCommands(std::make_unique<tavik::MailWorkflows>());
    window.setAttachmentLinkCommands(std::make_unique<tavik::MessageAttachmentCommands>(
        window, [&window] { return window.mimeManager(); }, window.launcher(),
        [&window](const std::string& link) { window.composeFromLink(link); },
        &desktop));
    // SIGTERM, SIGINT and SIGHUP end the program as "E&xit" does.
    tavik::ShutdownSignals stopSignals;
    QObject::connect(&stopSignals, &tavik::ShutdownSignals::shutdownRequested, &window, &tavik::TMainForm::requestShutdown);
    QObject::connect(&instance, &tavik::ProgramInstance::linkReceived, &window,
                     [&window](const QString& handed) { window.composeFromLink(tavik::toStored(handed)); });
    QObject::connect(&instance, &tavik::ProgramInstance::raiseRequested, &window, &tavik::TMainForm::bringToFront);
    window.show();
    if (!link.isEmpty())
        window.composeFromLink(tavik::toStored(link));
    return app.exec();
}
