#include "window_common/message_drag.h"

#include <QList>
#include <QMimeData>
#include <set>

#include "store/mailbox_store.h"

namespace tavik {

namespace {

// A positive decimal number of at most five digits and at most `limit`; 0 when not one.
int smallNumber(const QByteArray& text, int limit)
{
    if (text.isEmpty() || text.size() > 5)
        return 0;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (c - '0');
    }
    return value <= limit ? value : 0;
}

} // namespace

QByteArray encodeMessageDrag(const MessageDrag& drag)
{
    QByteArray out = QByteArray::number(drag.mailbox) + ':';
    for (std::size_t i = 0; i < drag.messages.size(); ++i) {
        if (i)
            out += ',';
        out += QByteArray::number(drag.messages[i]);
    }
    return out;
}

std::optional<MessageDrag> decodeMessageDrag(const QByteArray& payload)
{
    const qsizetype colon = payload.indexOf(':');
    if (colon < 0 || payload.size() > 6 * (kMaxMailboxMessages + 2))
        return std::nullopt;
    MessageDrag drag;
    drag.mailbox = smallNumber(payload.left(colon), 99999);
    if (drag.mailbox == 0)
        return std::nullopt;
    std::set<int> seen;
    for (const QByteArray& part : payload.mid(colon + 1).split(',')) {
        const int n = smallNumber(part, kMaxMailboxMessages);
        if (n == 0 || !seen.insert(n).second)
            return std::nullopt;
        drag.messages.push_back(n);
    }
    return drag;
}

QMimeData* messageDragMimeData(const MessageDrag& drag)
{
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(kMessageDragMimeType), encodeMessageDrag(drag));
    return data;
}

std::optional<MessageDrag> messageDragFromMimeData(const QMimeData* data)
{
    const QString type = QString::fromLatin1(kMessageDragMimeType);
    if (!data || !data->hasFormat(type))
        return std::nullopt;
    return decodeMessageDrag(data->data(type));
}

} // namespace tavik
