#include <QApplication>
#include <QFile>
#include <QMessageBox>

#include "app/main_window.h"
#include "profile/profile_lock.h"
#include "profile/settings.h"
#include "profile/user_registry.h"
#include "store/mailbox_store.h"

using namespace tavik;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavik"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tavik mail"));

    const std::string programDirectory = DefaultProgramDirectory();
    const std::string exeDir = QFile::encodeName(QApplication::applicationDirPath()).toStdString() + "/";
    try {
        makePrivateDirectories(programDirectory);
        std::string templates = FindTemplateDirectory(exeDir);
        if (!templates.empty())
            InstallTemplates(templates, programDirectory);

        // The login dialog comes with the main window; until then the default user is opened.
        UserRegistry users;
        LoadUsers(programDirectory, users);
        const std::string profileDirectory = profileDirectoryOfUser(programDirectory, users, 0);
        ProfileLock lock(profileDirectory);
        if (!lock.tryLock()) {
            QMessageBox::critical(nullptr, QStringLiteral("Tavik mail"),
                                  QStringLiteral("This profile is already open in Tavik mail (%1).")
                                      .arg(QString::fromStdString(lock.holder())));
            return 1;
        }
        ProfileSettings settings;
        MailboxList mailboxes;
        LoadSettings(programDirectory, profileDirectory, settings, mailboxes);
        TNMailBox store;
        store.MailBoxes = mailboxes;
        store.SetMailBoxDirectory(profileDirectory + "mailboxe/");

        TMainForm window(store);
        window.show();
        int status = app.exec();
        SaveSettings(profileDirectory, settings, mailboxes);
        return status;
    } catch (const FileError& e) {
        QMessageBox::critical(nullptr, QStringLiteral("Tavik mail"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
