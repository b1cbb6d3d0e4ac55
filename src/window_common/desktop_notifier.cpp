#include "window_common/desktop_notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>
#include <atomic>

#include "window_common/text_conversion.h"

namespace tavik {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// A service that does not answer within this time has not shown anything.
constexpr int kCallTimeoutMs = 10000;

// Most services read the body as simple markup: a subject's "<" or "&" must stay text.
QString bodyText(const std::string& body)
{
    return fromStored(body).toHtmlEscaped();
}

} // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent) {}

DesktopNotifier::DesktopNotifier(const QString& address, QObject* parent) : QObject(parent), address_(address) {}

DesktopNotifier::~DesktopNotifier()
{
    if (!connectionName_.isEmpty())
        QDBusConnection::disconnectFromBus(connectionName_);
}

QDBusConnection DesktopNotifier::connection()
{
    if (address_.isEmpty())
        return QDBusConnection::sessionBus();
    if (connectionName_.isEmpty()) {
        static std::atomic<int> serial{0};
        connectionName_ = QStringLiteral("tavik-notifier-%1").arg(++serial);
        return QDBusConnection::connectToBus(address_, connectionName_);
    }
    return QDBusConnection(connectionName_);
}

void DesktopNotifier::notify(const std::string& summary, const std::string& body, const std::string& fallback,
                             const QString& category)
{
    const QString shownInstead = fromStored(fallback);
    QDBusConnection bus = connection();
    if (!bus.isConnected()) {
        emit undelivered(shownInstead);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("tavik"));
    hints.insert(QStringLiteral("category"), category);
    call << QStringLiteral("Tavik mail") << lastIds_.value(category) << QStringLiteral("tavik") << fromStored(summary) << bodyText(body)
         << QStringList() << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, shownInstead, category] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            emit undelivered(shownInstead);
            return;
        }
        lastIds_.insert(category, reply.value());
        emit delivered(reply.value());
    });
}

} // namespace tavik
