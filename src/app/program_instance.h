// One running program per program directory: a later start hands its mailto: link (or a wish to
// be shown) to the running one instead of failing on the profile lock.
#pragma once

#include <QObject>
#include <QString>
#include <string>

class QLocalServer;

namespace tavik {

class ProgramInstance : public QObject {
    Q_OBJECT
public:
    explicit ProgramInstance(const std::string& programDirectory, QObject* parent = nullptr);

    // The local socket's name: from the program directory and the user, so that separate
    // installations, other users and parallel tests never meet.
    static QString serverName(const std::string& programDirectory);

    // Hands `link` to a program already running for this directory, or (empty link) asks it to
    // show its window. True when a running program took it.
    bool handOver(const QString& link, int timeoutMs = 5000);
    // Answers later starts from now on. False when the name cannot be taken.
    bool listen();

signals:
    void linkReceived(const QString& link);
    void raiseRequested();

private:
    void serveConnection();

    QString name_;
    QLocalServer* server_ = nullptr;
};

} // namespace tavik
