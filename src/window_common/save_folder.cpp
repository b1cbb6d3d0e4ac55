#include "window_common/save_folder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "profile/settings.h"
#include "window_common/text_conversion.h"

namespace tavik {

namespace {

QString& lastSaveFolder()
{
    static QString folder;
    return folder;
}

bool insideProfile(const QString& folder)
{
    const QString profile = QDir(pathFromBytes(DefaultProgramDirectory())).absolutePath();
    const QString candidate = QDir(folder).absolutePath();
    return candidate == profile || candidate.startsWith(profile + QLatin1Char('/'));
}

QString usableFolder(const QString& folder)
{
    if (folder.isEmpty() || !QFileInfo(folder).isDir() || insideProfile(folder))
        return {};
    return QDir(folder).absolutePath();
}

} // namespace

std::string saveDialogStart(const std::string& fileName)
{
    QString folder = usableFolder(lastSaveFolder());
    if (folder.isEmpty())
        folder = usableFolder(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));
    if (folder.isEmpty())
        folder = QDir::homePath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return pathToBytes(folder) + fileName;
}

void rememberSaveFolder(const std::string& savedPath)
{
    const QString folder = QFileInfo(pathFromBytes(savedPath)).absolutePath();
    if (!insideProfile(folder))
        lastSaveFolder() = folder;
}

} // namespace tavik
