// Attaching the desktop's way in the composition window: the folder the desktop's file dialog
// starts in, and the files a drop on the window brings.
#pragma once

#include <QObject>
#include <functional>
#include <string>
#include <vector>

class QMimeData;

namespace tavik {

// The folder attaching last used, kept in the window layout file `layoutFile` ("custom.ini",
// section "Compose") so that later windows and runs start there; empty when none is kept or the
// file cannot be read.
std::string lastAttachmentFolder(const std::string& layoutFile);
// Keeps `folder` as the folder last used. A value the file cannot hold as one line is not kept.
// Throws FileError when the file cannot be written.
void keepAttachmentFolder(const std::string& layoutFile, const std::string& folder);
// Where the file dialog for attaching starts: the folder last used while it exists, else the
// user's home directory.
std::string attachmentDialogStart(const std::string& layoutFile);

// What a drop carries: the local files to attach (file-system bytes, in the drop's order) and
// what cannot be attached (directories, links to elsewhere), as the user is told of it.
struct DroppedItems {
    std::vector<std::string> files;
    std::vector<std::string> refused;
};
// Both lists empty for data without URLs, such as text.
DroppedItems droppedItems(const QMimeData* data);

// Watches a window and its fields for drops of URLs and hands their data to `onDrop`; every other
// drag (text into a field) goes on to the widget as before. Owned by its parent.
class UrlDropFilter : public QObject {
public:
    UrlDropFilter(std::function<void(const QMimeData*)> onDrop, QObject* parent);
    // Watches `widget` too; it must accept drops for drags to reach it.
    void watch(QObject* widget);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void(const QMimeData*)> onDrop_;
};

} // namespace tavik
