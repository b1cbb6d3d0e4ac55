#include "smtp/compose_attachments.h"

#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

#include "profile/ini_file.h"
#include "window_common/text_conversion.h"

namespace tavik {

namespace {

const char* const kLayoutSection = "Compose";
const char* const kAttachmentFolderKey = "AttachmentDirectory";
// The layout file reads values up to this many characters.
constexpr std::size_t kMaxValue = 1023;

} // namespace

std::string lastAttachmentFolder(const std::string& layoutFile)
{
    try {
        return IniFile(layoutFile).readString(kLayoutSection, kAttachmentFolderKey);
    } catch (const std::exception&) {
        return {}; // an unreadable layout file: start at home
    }
}

void keepAttachmentFolder(const std::string& layoutFile, const std::string& folder)
{
    if (folder.empty() || folder.size() > kMaxValue || folder.find_first_of("\r\n") != std::string::npos)
        return;
    IniFile ini(layoutFile);
    ini.writeString(kLayoutSection, kAttachmentFolderKey, folder);
    ini.save();
}

std::string attachmentDialogStart(const std::string& layoutFile)
{
    const std::string last = lastAttachmentFolder(layoutFile);
    if (!last.empty() && QFileInfo(pathFromBytes(last)).isDir())
        return last;
    return pathToBytes(QDir::homePath());
}

DroppedItems droppedItems(const QMimeData* data)
{
    DroppedItems items;
    if (!data || !data->hasUrls())
        return items;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) {
            items.refused.push_back(toStored(url.toDisplayString()));
            continue;
        }
        const QString path = QDir::cleanPath(url.toLocalFile());
        if (QFileInfo(path).isDir())
            items.refused.push_back(pathToBytes(path));
        else
            items.files.push_back(pathToBytes(path));
    }
    return items;
}

UrlDropFilter::UrlDropFilter(std::function<void(const QMimeData*)> onDrop, QObject* parent)
    : QObject(parent), onDrop_(std::move(onDrop))
{
}

void UrlDropFilter::watch(QObject* widget) { widget->installEventFilter(this); }

bool UrlDropFilter::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        if (!drop->mimeData() || !drop->mimeData()->hasUrls())
            break;
        // The file stays where it is, whatever the source offers.
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        if (event->type() == QEvent::Drop)
            onDrop_(drop->mimeData());
        return true;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace tavik
