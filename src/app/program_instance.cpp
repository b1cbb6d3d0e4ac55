#include "app/program_instance.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QVariant>
#include <unistd.h>

namespace tavik {

namespace {

// One request line: "LINK <url>\n" or "RAISE\n", answered by "OK\n".
constexpr qint64 kMaxRequestBytes = 64 * 1024;
const QByteArray kLink = QByteArrayLiteral("LINK ");
const QByteArray kRaise = QByteArrayLiteral("RAISE");
const QByteArray kOk = QByteArrayLiteral("OK\n");

} // namespace

ProgramInstance::ProgramInstance(const std::string& programDirectory, QObject* parent)
    : QObject(parent), name_(serverName(programDirectory))
{
}

QString ProgramInstance::serverName(const std::string& programDirectory)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::number(static_cast<qulonglong>(getuid())) + '\n');
    hash.addData(QByteArray::fromStdString(programDirectory));
    return QStringLiteral("tavik-") + QString::fromLatin1(hash.result().toHex().left(24));
}

bool ProgramInstance::handOver(const QString& link, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    const QByteArray request = (link.isEmpty() ? kRaise : kLink + link.toUtf8()) + '\n';
    if (request.size() > kMaxRequestBytes)
        return false;
    socket.write(request);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(timeoutMs))
        answer += socket.readAll();
    return answer == kOk;
}

bool ProgramInstance::listen()
{
    if (server_)
        return true;
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(name_)) {
        // No program answered handOver, so a socket left by one that crashed is in the way.
        QLocalServer::removeServer(name_);
        if (!server->listen(name_)) {
            delete server;
            return false;
        }
    }
    server_ = server;
    connect(server_, &QLocalServer::newConnection, this, &ProgramInstance::serveConnection);
    return true;
}

void ProgramInstance::serveConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto serve = [this, socket] {
            if (socket->property("served").toBool())
                return;
            QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
            const qsizetype end = buffer.indexOf('\n');
            if (end < 0) {
                if (buffer.size() > kMaxRequestBytes)
                    socket->abort();
                else
                    socket->setProperty("buffer", buffer);
                return;
            }
            socket->setProperty("served", true);
            const QByteArray request = buffer.left(end);
            socket->write(kOk);
            socket->flush(); // the answer must not wait for the next turn of the event loop
            socket->disconnectFromServer();
            if (request == kRaise)
                emit raiseRequested();
            else if (request.startsWith(kLink))
                emit linkReceived(QString::fromUtf8(request.mid(kLink.size())));
        };
        connect(socket, &QLocalSocket::readyRead, this, serve);
        serve(); // the request may have come with the connection
    }
}

} // namespace tavik
