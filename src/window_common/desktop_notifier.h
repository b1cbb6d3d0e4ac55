// News for the desktop: notifications through the freedesktop notification service
// (org.freedesktop.Notifications) on the session bus, or a private bus a test names.
#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <string>

namespace tavik {

// Sends each notification as an asynchronous call, so a slow or hung service never holds the
// program; a notification replaces the last one of its category still shown, so an unattended
// program does not pile them up. When there is no bus, the service's name has no owner, or the
// call fails, undelivered() carries the text that should be shown instead.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    // On the session bus, connected on the first notification.
    explicit DesktopNotifier(QObject* parent = nullptr);
    // On the bus at `address` (a private bus of a test), under a connection of its own.
    explicit DesktopNotifier(const QString& address, QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // `summary` and `body` are stored text (UTF-8); `fallback` is what undelivered() carries;
    // `category` a freedesktop notification category ("email.arrived").
    void notify(const std::string& summary, const std::string& body, const std::string& fallback,
                const QString& category = QStringLiteral("email.arrived"));

signals:
    void delivered(uint id);
    void undelivered(const QString& fallback);

private:
    QDBusConnection connection();

    QString address_;        // empty: the session bus
    QString connectionName_; // of the private connection, when one was made
    QHash<QString, uint> lastIds_; // by category: the notification the next one replaces
};

} // namespace tavik
