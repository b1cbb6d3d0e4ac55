// The drag of messages from a mailbox list onto the folder tree (or another list): the MIME type
// and its payload, produced by the list widget and read by the tree widget.
#pragma once

#include <QByteArray>
#include <optional>
#include <vector>

class QMimeData;

namespace tavik {

// MIME type of a drag that carries messages of one mailbox of this program's open profile.
inline constexpr const char* kMessageDragMimeType = "application/x-tavik-messages";

// The messages dragged: the mailbox they are in and their numbers, in the order to move them.
struct MessageDrag {
    int mailbox = 0;
    std::vector<int> messages;
};

// The payload, "mailbox:n1,n2,...": ASCII decimal numbers.
QByteArray encodeMessageDrag(const MessageDrag& drag);
// The payload read back; nullopt for anything that is not one (bad numbers, no message, a
// number twice, more messages than a mailbox holds).
std::optional<MessageDrag> decodeMessageDrag(const QByteArray& payload);
// Mime data for QDrag carrying `drag` (owned by the caller, or by the QDrag it is given to).
QMimeData* messageDragMimeData(const MessageDrag& drag);
// The drag a mime data carries, nullopt when it carries none.
std::optional<MessageDrag> messageDragFromMimeData(const QMimeData* data);

} // namespace tavik
