#include "peers/scripted_server.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tavik::test {

QCoreApplication* ensureCoreApplication()
{
    static int argc = 1;
    static char name[] = "tavik-test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv); // lives as long as the process
    return QCoreApplication::instance();
}

std::string escapeBytes(const std::string& bytes, std::size_t limit)
{
    std::string out;
    const std::size_t shown = std::min(bytes.size(), limit);
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    if (shown < bytes.size())
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return "\"" + out + "\"";
}

namespace {

// Accepts a connection as a QSslSocket when the script will start TLS on it, as a plain
// QTcpSocket otherwise, so scripts without TLS run exactly as they always did.
class ScriptListener : public QTcpServer {
public:
    ScriptListener(QObject* parent, std::function<bool()> wantsTls) : QTcpServer(parent), wantsTls_(std::move(wantsTls)) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (!wantsTls_()) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto* socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            addPendingConnection(socket);
        else
            delete socket;
    }

private:
    std::function<bool()> wantsTls_;
};

} // namespace

ScriptedServer::ScriptedServer() : poll_(this)
{
    ensureCoreApplication();
    server_ = new ScriptListener(this, [this] { return wantsTls(); });
    connect(server_, &QTcpServer::newConnection, this, &ScriptedServer::onNewConnection);
    if (!server_->listen(QHostAddress::LocalHost, 0))
        failure_ = "cannot listen on 127.0.0.1: " + server_->errorString().toStdString();
    poll_.setInterval(5);
    connect(&poll_, &QTimer::timeout, this, &ScriptedServer::advance);
}

ScriptedServer::~ScriptedServer()
{
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
    }
}

ScriptedServer& ScriptedServer::add(Step step)
{
    steps_.push_back(std::move(step));
    done_ = false;
    // A step added after the script ran out continues it.
    QMetaObject::invokeMethod(this, &ScriptedServer::advance, Qt::QueuedConnection);
    return *this;
}

ScriptedServer& ScriptedServer::send(std::string bytes)
{
    return add({Kind::Send, std::move(bytes), {}, {}, {}});
}

ScriptedServer& ScriptedServer::expect(std::string bytes)
{
    return add({Kind::Expect, std::move(bytes), {}, {}, {}});
}

ScriptedServer& ScriptedServer::expectClose()
{
    return add({Kind::ExpectClose, {}, {}, {}, {}});
}

ScriptedServer& ScriptedServer::await(std::function<bool()> condition, std::string what)
{
    return add({Kind::Await, {}, std::move(condition), {}, std::move(what)});
}

ScriptedServer& ScriptedServer::call(std::function<void()> action, std::string what)
{
    return add({Kind::Call, {}, {}, std::move(action), std::move(what)});
}

ScriptedServer& ScriptedServer::close()
{
    return add({Kind::Close, {}, {}, {}, {}});
}

ScriptedServer& ScriptedServer::stall()
{
    return add({Kind::Stall, {}, {}, {}, {}});
}

ScriptedServer& ScriptedServer::flood(std::string piece, unsigned long long total)
{
    Step step{Kind::Flood, std::move(piece), {}, {}, {}};
    step.total = step.bytes.empty() ? 0 : total;
    return add(std::move(step));
}

ScriptedServer& ScriptedServer::startTls(const TestCertificate& certificate)
{
    Step step{Kind::StartTls, {}, {}, {}, certificate.certificate};
    step.certificate = certificate;
    return add(std::move(step));
}

ScriptedServer& ScriptedServer::sendPlain(std::string bytes)
{
    return add({Kind::SendPlain, std::move(bytes), {}, {}, {}});
}

bool ScriptedServer::wantsTls() const
{
    return std::any_of(steps_.begin(), steps_.end(), [](const Step& s) { return s.kind == Kind::StartTls; });
}

void ScriptedServer::beginTls(Step& step, const std::string& where)
{
    auto* tls = static_cast<QSslSocket*>(socket_);
    const auto certificates = QSslCertificate::fromPath(QString::fromStdString(step.certificate.certificate));
    QFile keyFile(QString::fromStdString(step.certificate.key));
    QByteArray keyBytes;
    if (keyFile.open(QIODevice::ReadOnly))
        keyBytes = keyFile.readAll();
    QSslKey key(keyBytes, QSsl::Ec);
    if (key.isNull())
        key = QSslKey(keyBytes, QSsl::Rsa);
    if (certificates.isEmpty() || key.isNull()) {
        fail(where + ": cannot read the certificate " + step.certificate.certificate + " or its key " + step.certificate.key);
        return;
    }
    tls->setLocalCertificate(certificates.front());
    tls->setPrivateKey(key);
    tls->setPeerVerifyMode(QSslSocket::VerifyNone); // no client certificate asked for
    connect(tls, &QSslSocket::encrypted, this, &ScriptedServer::advance);
    connect(tls, &QSslSocket::encryptedBytesWritten, this, &ScriptedServer::advance);
    connect(tls, &QAbstractSocket::errorOccurred, this, [this, tls](QAbstractSocket::SocketError error) {
        // A client closing after a finished session is no TLS failure.
        if (tlsError_.empty() && (error != QAbstractSocket::RemoteHostClosedError || !tls->isEncrypted()))
            tlsError_ = tls->errorString().toStdString();
        advance();
    });
    step.started = true;
    tls->startServerEncryption();
}

unsigned long long ScriptedServer::flooded() const
{
    unsigned long long n = 0;
    for (const Step& s : steps_)
        n += s.sent;
    return n;
}

quint16 ScriptedServer::port() const
{
    return server_->serverPort();
}

void ScriptedServer::onNewConnection()
{
    while (QTcpSocket* c = server_->nextPendingConnection()) {
        ++connections_;
        if (connections_ > 1) {
            c->abort();
            c->deleteLater();
            fail("a second connection came in");
            continue;
        }
        socket_ = c;
        // Small read-ahead: a server that stops reading (stall) soon holds the client back.
        socket_->setReadBufferSize(64 * 1024);
        connect(socket_, &QTcpSocket::readyRead, this, &ScriptedServer::onReadyRead);
        connect(socket_, &QTcpSocket::bytesWritten, this, &ScriptedServer::advance);
        connect(socket_, &QTcpSocket::disconnected, this, &ScriptedServer::onClientClosed);
    }
    advance();
}

void ScriptedServer::onReadyRead()
{
    if (!socket_ || stalled_)
        return;
    const QByteArray data = socket_->readAll();
    received_.append(data.constData(), static_cast<std::size_t>(data.size()));
    inbox_.append(data.constData(), static_cast<std::size_t>(data.size()));
    advance();
}

void ScriptedServer::onClientClosed()
{
    if (!stalled_)
        onReadyRead();
    if (!serverClosed_)
        clientClosed_ = true;
    advance();
}

void ScriptedServer::fail(const std::string& why)
{
    if (failure_.empty())
        failure_ = why;
    poll_.stop();
}

void ScriptedServer::advance()
{
    if (advancing_)
        return;
    advancing_ = true;
    while (!failed() && !stalled_ && current_ < steps_.size()) {
        Step& step = steps_[current_];
        const std::string where = "step " + std::to_string(current_ + 1) + " (" + describe(step) + ")";
        bool progressed = false;
        switch (step.kind) {
        case Kind::Send:
            if (!socket_)
                break;
            if (clientClosed_) {
                fail(where + ": the client closed the connection before the server could send");
                break;
            }
            if (!sendWaiting_) {
                socket_->write(step.bytes.data(), static_cast<qint64>(step.bytes.size()));
                sendWaiting_ = true;
            }
            if (socket_->bytesToWrite() > 0)
                break;
            sendWaiting_ = false;
            progressed = true;
            break;
        case Kind::Expect: {
            const std::size_t n = std::min(inbox_.size(), step.bytes.size() - matched_);
            for (std::size_t i = 0; i < n; ++i) {
                if (inbox_[i] != step.bytes[matched_ + i]) {
                    const std::size_t at = matched_ + i;
                    fail(where + ": byte " + std::to_string(at) + " differs; expected from there " +
                         escapeBytes(step.bytes.substr(at), 120) + ", got " + escapeBytes(inbox_.substr(i), 120));
                    break;
                }
            }
            if (failed())
                break;
            inbox_.erase(0, n);
            matched_ += n;
            if (matched_ == step.bytes.size()) {
                matched_ = 0;
                progressed = true;
            } else if (clientClosed_) {
                fail(where + ": the client closed the connection after " + std::to_string(matched_) +
                     " of the expected bytes");
            }
            break;
        }
        case Kind::ExpectClose:
            if (!inbox_.empty())
                fail(where + ": the client wrote " + escapeBytes(inbox_, 120) + " instead of closing");
            else if (clientClosed_)
                progressed = true;
            break;
        case Kind::Await:
            if (step.condition()) {
                progressed = true;
            } else if (!poll_.isActive()) {
                poll_.start();
            }
            break;
        case Kind::Call:
            step.action();
            progressed = true;
            break;
        case Kind::Close:
            if (!socket_)
                break;
            serverClosed_ = true;
            socket_->disconnectFromHost();
            progressed = true;
            break;
        case Kind::Stall:
            stalled_ = true;
            progressed = true;
            break;
        case Kind::Flood:
            if (!socket_)
                break;
            if (clientClosed_) {
                progressed = true;
                break;
            }
            while (step.sent < step.total && socket_->bytesToWrite() < 1024 * 1024) {
                const auto n = std::min<unsigned long long>(step.bytes.size(), step.total - step.sent);
                if (socket_->state() != QAbstractSocket::ConnectedState ||
                    socket_->write(step.bytes.data(), static_cast<qint64>(n)) < 0) {
                    clientClosed_ = true; // the client is gone: the flood was refused
                    break;
                }
                step.sent += n;
            }
            if (clientClosed_) {
                progressed = true;
                break;
            }
            if (step.sent >= step.total && socket_->bytesToWrite() == 0)
                progressed = true;
            break;
        case Kind::StartTls: {
            if (!socket_)
                break;
            auto* tls = qobject_cast<QSslSocket*>(socket_);
            if (!tls) {
                fail(where + ": the client connected before the script had this step, so the connection is plain TCP");
                break;
            }
            if (!step.started)
                beginTls(step, where);
            // A failed handshake ends the step too: the next one says whether that was expected.
            if (!failed() && (tls->isEncrypted() || clientClosed_ || !tlsError_.empty()))
                progressed = true;
            break;
        }
        case Kind::SendPlain: {
            if (!socket_)
                break;
            if (clientClosed_) {
                fail(where + ": the client closed the connection before the server could send");
                break;
            }
            // What went through TLS before must be out first, or these bytes would overtake it.
            auto* tls = qobject_cast<QSslSocket*>(socket_);
            if (socket_->bytesToWrite() > 0 || (tls && tls->encryptedBytesToWrite() > 0))
                break;
            const int fd = static_cast<int>(socket_->socketDescriptor());
            std::size_t at = 0;
            while (at < step.bytes.size()) {
                const ssize_t n = ::send(fd, step.bytes.data() + at, step.bytes.size() - at, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                at += static_cast<std::size_t>(n);
            }
            if (at < step.bytes.size()) {
                fail(where + ": the bytes could not be written past TLS");
                break;
            }
            progressed = true;
            break;
        }
        }
        if (!progressed)
            break;
        ++current_;
    }
    if (current_ >= steps_.size() || steps_[current_].kind != Kind::Await)
        poll_.stop();
    if (!failed() && current_ >= steps_.size()) {
        done_ = true;
        if (!inbox_.empty() && !stalled_)
            fail("the client wrote " + escapeBytes(inbox_, 120) + " after the last step");
    }
    advancing_ = false;
}

bool ScriptedServer::waitDone(int timeoutMs)
{
    (void)QTest::qWaitFor([this] { return done_ || failed(); }, timeoutMs);
    if (!done_ && !failed())
        fail("timed out after " + std::to_string(timeoutMs) + " ms at step " + std::to_string(current_ + 1));
    return done_ && !failed();
}

bool ScriptedServer::waitClientClosed(int timeoutMs)
{
    if (stalled_ && socket_) {
        // Read again (and keep the bytes) so that the close behind them is seen.
        stalled_ = false;
        onReadyRead();
        stalled_ = true;
        connect(socket_, &QTcpSocket::readyRead, this, [this] {
            const QByteArray data = socket_->readAll();
            received_.append(data.constData(), static_cast<std::size_t>(data.size()));
        });
    }
    return QTest::qWaitFor([this] {
        return clientClosed_ || (socket_ && socket_->state() == QAbstractSocket::UnconnectedState);
    }, timeoutMs);
}

std::string ScriptedServer::describe(const Step& step) const
{
    switch (step.kind) {
    case Kind::Send: return "send " + escapeBytes(step.bytes, 80);
    case Kind::Expect: return "expect " + escapeBytes(step.bytes, 80);
    case Kind::ExpectClose: return "expect the client to close";
    case Kind::Await: return "await " + step.what;
    case Kind::Call: return "call " + step.what;
    case Kind::Close: return "close";
    case Kind::Stall: return "stall";
    case Kind::Flood: return "flood " + std::to_string(step.total) + " bytes of " + escapeBytes(step.bytes, 40);
    case Kind::StartTls: return "start TLS with " + step.what;
    case Kind::SendPlain: return "send past TLS " + escapeBytes(step.bytes, 80);
    }
    return {};
}

std::string ScriptedServer::report() const
{
    std::string out = "script on port " + std::to_string(port()) + ", " + std::to_string(connections_) +
                      " connection(s)" + (clientClosed_ ? ", closed by the client" : "") + "\n";
    for (std::size_t i = 0; i < steps_.size(); ++i) {
        const char* mark = i < current_ ? "  ok  " : i == current_ ? "  >>  " : "      ";
        out += mark + std::to_string(i + 1) + ". " + describe(steps_[i]) + "\n";
    }
    if (!failure_.empty())
        out += "FAILED: " + failure_ + "\n";
    if (!tlsError_.empty())
        out += "TLS error: " + tlsError_ + "\n";
    const std::size_t tail = 400;
    out += "received " + std::to_string(received_.size()) + " bytes" +
           (received_.size() > tail ? ", the last ones: " : ": ") +
           escapeBytes(received_.size() > tail ? received_.substr(received_.size() - tail) : received_, tail) + "\n";
    if (!inbox_.empty())
        out += "not yet matched: " + escapeBytes(inbox_, 200) + "\n";
    return out;
}

UnansweredListener::UnansweredListener()
{
    ensureCoreApplication();
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 0) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        throw std::runtime_error("cannot make an unanswered listener");
    port_ = ntohs(a.sin_port);
    // Fill the backlog; the first filler is accepted by the system, the next ones may hang.
    for (int i = 0; i < 2; ++i) {
        auto* filler = new QTcpSocket;
        filler->connectToHost(QHostAddress::LocalHost, port_);
        fillers_.push_back(filler);
    }
    fillers_.front()->waitForConnected(2000);
}

UnansweredListener::~UnansweredListener()
{
    for (QTcpSocket* filler : fillers_) {
        filler->abort();
        delete filler;
    }
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace tavik::test
