#include "net/vosk_socket.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QThread>

#include <algorithm>
#include <cctype>
#include <poll.h>

namespace tavik {

namespace {

// Qt's own texts for the causes it folds into NetworkError, in the language they were made in.
bool isNativeSocketText(const QString& text, const char* english)
{
    return text == QLatin1String(english) ||
           text == QCoreApplication::translate("QNativeSocketEngine", english);
}

// OpenSSL's words for a record that is no TLS at all: a plain-text greeting where the handshake
// was expected.
bool looksLikePlainTextAnswer(const QString& text)
{
    static const char* const kHints[] = {"wrong version number", "packet length too long", "unknown protocol",
                                         "http request", "record layer failure", "unexpected eof"};
    for (const char* hint : kHints)
        if (text.contains(QLatin1String(hint), Qt::CaseInsensitive))
            return true;
    return false;
}

std::string certificateNames(const QSslCertificate& c, bool issuer)
{
    const QList<QByteArray> attributes = issuer ? c.issuerInfoAttributes() : c.subjectInfoAttributes();
    QStringList parts;
    for (const QByteArray& a : attributes) {
        const QStringList values = issuer ? c.issuerInfo(a) : c.subjectInfo(a);
        for (const QString& v : values)
            parts << QString::fromLatin1(a) + QLatin1Char('=') + v;
    }
    return parts.join(QStringLiteral(", ")).toStdString();
}

std::string utcText(const QDateTime& t)
{
    return t.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'")).toStdString();
}

} // namespace

PeerCertificateInfo describeCertificate(const QSslCertificate& certificate)
{
    PeerCertificateInfo info;
    if (certificate.isNull())
        return info;
    info.subject = certificateNames(certificate, false);
    info.issuer = certificateNames(certificate, true);
    info.validFrom = utcText(certificate.effectiveDate());
    info.validUntil = utcText(certificate.expiryDate());
    info.fingerprint = certificateFingerprint(certificate);
    return info;
}

std::string certificateFingerprint(const QSslCertificate& certificate)
{
    const QByteArray digest = certificate.digest(QCryptographicHash::Sha256);
    return digest.toHex(':').toUpper().toStdString();
}

std::string normalizedFingerprint(const std::string& text)
{
    std::string hex;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == '\t')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64)
        return {};
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i)
            out += ':';
        out += hex.substr(i, 2);
    }
    return out;
}

int winsockErrorForSocketError(QAbstractSocket::SocketError error, const QString& errorString)
{
    using E = QAbstractSocket::SocketError;
    switch (error) {
    case E::ConnectionRefusedError: return winsock::kConnectionRefused;
    case E::RemoteHostClosedError: return winsock::kConnectionReset;
    case E::HostNotFoundError: return winsock::kHostNotFound;
    case E::SocketAccessError: return winsock::kAccess;
    case E::SocketResourceError:
        return isNativeSocketText(errorString, "Too many open files") ? winsock::kTooManySockets
                                                                       : winsock::kNoBufferSpace;
    case E::SocketTimeoutError: return winsock::kTimedOut;
    case E::DatagramTooLargeError: return winsock::kMessageSize;
    case E::NetworkError:
        if (isNativeSocketText(errorString, "Network unreachable"))
            return winsock::kNetworkUnreachable;
        if (isNativeSocketText(errorString, "Host unreachable"))
            return winsock::kHostUnreachable;
        if (isNativeSocketText(errorString, "Connection timed out"))
            return winsock::kTimedOut;
        if (isNativeSocketText(errorString, "Address already in use"))
            return winsock::kAddressInUse;
        return winsock::kNetworkDown;
    case E::AddressInUseError: return winsock::kAddressInUse;
    case E::SocketAddressNotAvailableError: return winsock::kAddressNotAvailable;
    case E::UnsupportedSocketOperationError: return winsock::kFamilyNotSupported;
    case E::UnfinishedSocketOperationError: return winsock::kInProgress;
    case E::TemporaryError: return winsock::kWouldBlock;
    case E::OperationError: return winsock::kInvalidArgument;
    case E::ProxyConnectionRefusedError: return winsock::kConnectionRefused;
    case E::ProxyConnectionClosedError: return winsock::kConnectionAborted;
    case E::ProxyConnectionTimeoutError: return winsock::kTimedOut;
    case E::ProxyNotFoundError: return winsock::kHostNotFound;
    case E::SslHandshakeFailedError: return tlserror::kHandshakeFailed;
    case E::SslInternalError:
    case E::SslInvalidUserDataError: return tlserror::kBroken;
    default: return winsock::kSystemCallFailure;
    }
}

int winsockErrorForLookupError(int hostInfoError)
{
    switch (hostInfoError) {
    case QHostInfo::NoError: return 0;
    case QHostInfo::HostNotFound: return winsock::kHostNotFound;
    default: return winsock::kTryAgain;
    }
}

TVoskSocket::TVoskSocket(QObject* parent) : QObject(parent), timer_(this)
{
    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, &TVoskSocket::tick);
}

TVoskSocket::~TVoskSocket()
{
    Disconnect();
}

bool TVoskSocket::OpenWinsock()
{
    if (!winsockStarted_) {
        auto* app = QCoreApplication::instance();
        winsockStarted_ = app && app->thread() == QThread::currentThread();
    }
    return winsockStarted_;
}

void TVoskSocket::CloseWinsock()
{
    if (!winsockStarted_)
        return;
    winsockStarted_ = false;
    Disconnect();
}

void TVoskSocket::SetWinsockStarted(bool started)
{
    if (started)
        OpenWinsock();
    else
        CloseWinsock();
}

void TVoskSocket::SetServer(const std::string& server)
{
    server_ = server;
    if (!server.empty() && server[0] >= '0' && server[0] <= '9') {
        IPAddress = server;
        HostName.clear();
    } else {
        HostName = server;
        IPAddress.clear();
    }
}

void TVoskSocket::CreateSocket()
{
    if (socket_)
        return;
    if (!winsockStarted_) {
        LastError = winsock::kNotInitialised;
        return;
    }
    socket_ = new QSslSocket(this);
    // Mail goes straight to the server: no proxy from the environment or the application.
    socket_->setProxy(QNetworkProxy::NoProxy);
    socket_->setReadBufferSize(kReadBufferLimit);
    const int gen = ++generation_;
    connected_ = false;
    handshaking_ = false;
    connect(socket_, &QTcpSocket::connected, this, [this, gen] { onConnected(gen); });
    connect(socket_, &QSslSocket::encrypted, this, [this, gen] { onEncrypted(gen); });
    connect(socket_, &QSslSocket::sslErrors, this,
            [this, gen](const QList<QSslError>& errors) { onSslErrors(gen, errors); });
    connect(socket_, &QTcpSocket::errorOccurred, this,
            [this, gen](QAbstractSocket::SocketError e) { onSocketError(gen, e); });
    connect(socket_, &QTcpSocket::disconnected, this, [this, gen] { onDisconnected(gen); });
    connect(socket_, &QTcpSocket::readyRead, this, [this, gen] {
        if (gen != generation_)
            return;
        ArmCountdown(0);
        lastTraffic_.start();
        if (OnRead)
            OnRead();
    });
    const auto written = [this, gen](qint64) {
        if (gen != generation_)
            return;
        ArmCountdown(0);
        lastTraffic_.start();
        if (OnWrite)
            OnWrite();
    };
    connect(socket_, &QTcpSocket::bytesWritten, this, written);
    connect(socket_, &QSslSocket::encryptedBytesWritten, this, written);
    LastError = 0;
}

void TVoskSocket::ResolveHost(const std::string& name)
{
    if (lookupId_ != -1)
        return;
    std::size_t length = name.size();
    if (length > 0 && name.back() == '.')
        --length; // the root label's dot is not part of the name's length
    if (length == 0 || length > kMaxHostNameLength) {
        LastError = winsock::kHostNotFound;
        return;
    }
    lookupId_ = startHostLookup(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
    LastError = 0;
    ArmCountdown(TimeoutArp);
}

int TVoskSocket::startHostLookup(const QString& name)
{
    return QHostInfo::lookupHost(name, this, [this](const QHostInfo& info) {
        quint32 address = 0;
        int error = winsockErrorForLookupError(info.error());
        if (error == 0) {
            const auto addresses = info.addresses();
            auto it = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress& a) {
                return a.protocol() == QAbstractSocket::IPv4Protocol;
            });
            if (it == addresses.end())
                error = winsock::kNoData;
            else
                address = it->toIPv4Address();
        }
        hostLookupAnswered(info.lookupId(), error, address);
    });
}

void TVoskSocket::cancelHostLookup(int id)
{
    QHostInfo::abortHostLookup(id);
}

void TVoskSocket::hostLookupAnswered(int id, int winsockError, quint32 address)
{
    if (id != lookupId_ || lookupId_ == -1)
        return; // cancelled, or a lookup of an earlier connection
    ArmCountdown(0);
    LastError = winsockError;
    if (winsockError == 0)
        ResolvedAddress = address;
    lookupId_ = -1;
    HostResolved();
}

void TVoskSocket::HostResolved()
{
    if (OnResolved)
        OnResolved();
}

void TVoskSocket::SetAddress(const std::string& text)
{
    QHostAddress a;
    addressValid_ = a.setAddress(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()))) &&
                    a.protocol() == QAbstractSocket::IPv4Protocol;
    address_ = addressValid_ ? a.toIPv4Address() : 0xFFFFFFFFu;
}

void TVoskSocket::UseResolvedAddress()
{
    address_ = ResolvedAddress;
    addressValid_ = true;
}

void TVoskSocket::SetPort(quint16 port)
{
    port_ = port;
}

std::string TVoskSocket::AddressText() const
{
    return QHostAddress(address_).toString().toStdString();
}

void TVoskSocket::Connect()
{
    if (!socket_) {
        LastError = winsock::kNotSocket;
        return;
    }
    if (!addressValid_) {
        LastError = winsock::kAccess;
        return;
    }
    if (ImplicitTls && !QSslSocket::supportsSsl()) {
        LastError = tlserror::kUnavailable;
        return;
    }
    syncConnectError_ = 0;
    inConnectCall_ = true;
    socket_->connectToHost(QHostAddress(address_), port_);
    inConnectCall_ = false;
    LastError = syncConnectError_;
    if (LastError == 0)
        ArmCountdown(TimeoutConnect);
}

void TVoskSocket::onConnected(int generation)
{
    if (generation != generation_)
        return;
    if (inConnectCall_) {
        // Connected at once (loopback): the notification still comes from the event loop, after
        // Connect has armed its countdown, as it would for any other connect.
        QMetaObject::invokeMethod(this, [this, generation] { onConnected(generation); }, Qt::QueuedConnection);
        return;
    }
    ArmCountdown(0);
    connected_ = true;
    LastError = 0;
    lastTraffic_.start();
    updateTimer();
    if (ImplicitTls) {
        // The session hears of the connection only once it is encrypted.
        tlsFromConnect_ = true;
        beginHandshake();
        return;
    }
    if (OnConnect)
        OnConnect();
}

void TVoskSocket::configureTls()
{
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!CaFile.empty()) {
        const QList<QSslCertificate> cas =
            QSslCertificate::fromPath(QFile::decodeName(QByteArray::fromStdString(CaFile)), QSsl::Pem);
        conf.addCaCertificates(cas);
    }
    socket_->setSslConfiguration(conf);
    const std::string& name = !VerifyName.empty() ? VerifyName : !HostName.empty() ? HostName : IPAddress;
    socket_->setPeerVerifyName(QString::fromStdString(name));
}

void TVoskSocket::beginHandshake()
{
    refused_ = PeerCertificateInfo{};
    handshaking_ = true;
    configureTls();
    socket_->startClientEncryption();
    ArmCountdown(TimeoutConnect);
}

bool TVoskSocket::StartTls(std::size_t pendingLineBytes)
{
    if (!socket_ || !connected_ || handshaking_ || socket_->isEncrypted()) {
        LastError = winsock::kNotConnected;
        return false;
    }
    if (!QSslSocket::supportsSsl()) {
        LastError = tlserror::kUnavailable;
        return false;
    }
    if (pendingLineBytes > 0 || socket_->bytesAvailable() > 0) {
        // Whatever follows the server's "go ahead" in plain text was not said by the server we
        // are about to verify: it may have been slipped in on the way.
        LastError = tlserror::kInjectedPlainText;
        return false;
    }
    LastError = 0;
    tlsFromConnect_ = false;
    beginHandshake();
    return true;
}

void TVoskSocket::onEncrypted(int generation)
{
    if (generation != generation_ || !handshaking_)
        return;
    handshaking_ = false;
    ArmCountdown(0);
    LastError = 0;
    lastTraffic_.start();
    updateTimer();
    if (tlsFromConnect_) {
        if (OnConnect)
            OnConnect();
    } else if (OnEncrypted) {
        OnEncrypted();
    }
}

void TVoskSocket::onSslErrors(int generation, const QList<QSslError>& errors)
{
    if (generation != generation_)
        return;
    const QSslCertificate peer = socket_->peerCertificate();
    const std::string fingerprint = peer.isNull() ? std::string() : certificateFingerprint(peer);
    const std::string pinned = normalizedFingerprint(PinnedFingerprint);
    if (!fingerprint.empty() && fingerprint == pinned) {
        socket_->ignoreSslErrors();
        return;
    }
    PeerCertificateInfo info = describeCertificate(peer);
    info.host = socket_->peerVerifyName().toStdString();
    info.port = port_;
    for (const QSslError& e : errors) {
        const std::string text = e.errorString().toStdString();
        if (std::find(info.problems.begin(), info.problems.end(), text) == info.problems.end())
            info.problems.push_back(text);
    }
    info.pinnedFingerprint = pinned;
    refused_ = std::move(info);
}

void TVoskSocket::handshakeFailed(int number)
{
    const bool fromConnect = tlsFromConnect_;
    handshaking_ = false;
    ArmCountdown(0);
    disposeSocket();
    LastError = number;
    if (fromConnect) {
        if (OnConnect)
            OnConnect();
    } else if (OnEncrypted) {
        OnEncrypted();
    }
}

std::string encryptionStateText(const TVoskSocket& socket)
{
    return socket.Encrypted() ? "Encrypted (" + socket.EncryptionText() + ")" : "Not encrypted";
}

bool TVoskSocket::Encrypted() const
{
    return socket_ && socket_->isEncrypted();
}

std::string TVoskSocket::EncryptionText() const
{
    if (!Encrypted())
        return {};
    switch (socket_->sessionProtocol()) {
    case QSsl::TlsV1_2: return "TLS 1.2";
    case QSsl::TlsV1_3: return "TLS 1.3";
    default: return "TLS";
    }
}

void TVoskSocket::onSocketError(int generation, QAbstractSocket::SocketError error)
{
    if (generation != generation_)
        return;
    if (handshaking_) {
        int number = tlserror::kHandshakeFailed;
        if (!refused_.empty())
            number = refused_.pinnedFingerprint.empty() ? tlserror::kUntrustedCertificate
                                                        : tlserror::kChangedCertificate;
        else if (looksLikePlainTextAnswer(socket_->errorString()))
            number = tlserror::kNotTls;
        handshakeFailed(number);
        return;
    }
    const int number = winsockErrorForSocketError(error, socket_->errorString());
    if (inConnectCall_) {
        syncConnectError_ = number;
        return;
    }
    if (number == winsock::kWouldBlock)
        return;
    ArmCountdown(0);
    if (connected_) {
        closeNotification(error == QAbstractSocket::RemoteHostClosedError ? 0 : number);
        return;
    }
    // The connect failed: the connect notification carries the error.
    LastError = number;
    if (OnConnect)
        OnConnect();
}

void TVoskSocket::onDisconnected(int generation)
{
    if (generation != generation_ || !connected_)
        return;
    if (handshaking_) {
        handshakeFailed(tlserror::kHandshakeFailed);
        return;
    }
    ArmCountdown(0);
    closeNotification(0);
}

void TVoskSocket::closeNotification(int error)
{
    // Qt has already offered, through readyRead, every byte read before the close.
    const int gen = generation_;
    LastError = error;
    if (OnClose)
        OnClose();
    if (gen == generation_ && socket_)
        disposeSocket();
}

void TVoskSocket::Disconnect()
{
    if (lookupId_ != -1) {
        cancelHostLookup(lookupId_);
        lookupId_ = -1;
    }
    ArmCountdown(0);
    if (socket_) {
        disposeSocket();
        LastError = 0;
    }
}

void TVoskSocket::disposeSocket()
{
    QSslSocket* s = socket_;
    socket_ = nullptr;
    connected_ = false;
    handshaking_ = false;
    ++generation_;
    s->disconnect(this);
    s->abort();
    // Deleted later: this may run inside one of the socket's own signals.
    s->deleteLater();
    updateTimer();
}

qint64 TVoskSocket::SendBuffer(const char* data, qint64 length)
{
    if (!socket_ || !connected_) {
        LastError = winsock::kNotConnected;
        return 0;
    }
    if (length <= 0)
        return 0;
    const qint64 room = kWriteBufferLimit - queuedBytes();
    if (room <= 0) {
        LastError = 0; // would block
        return 0;
    }
    const qint64 n = socket_->write(data, std::min(length, room));
    if (n < 0) {
        LastError = winsockErrorForSocketError(socket_->error(), socket_->errorString());
        if (LastError == winsock::kSystemCallFailure)
            LastError = winsock::kNotConnected;
        return 0;
    }
    LastError = 0;
    return n;
}

qint64 TVoskSocket::ReceiveBuffer(char* buffer, qint64 length)
{
    if (!socket_ || length <= 0)
        return 0;
    const qint64 n = socket_->read(buffer, length);
    LastError = 0;
    return n > 0 ? n : 0;
}

qint64 TVoskSocket::PendingWriteBytes() const
{
    return socket_ ? queuedBytes() : 0;
}

qint64 TVoskSocket::queuedBytes() const
{
    // Over TLS, what we wrote is encrypted at once into a buffer of its own that bytesToWrite
    // does not count: without it the limit never holds back a large message.
    return socket_->bytesToWrite() + socket_->encryptedBytesToWrite();
}

std::string TVoskSocket::LocalHostName()
{
    std::string name = QHostInfo::localHostName().toStdString();
    if (name.size() > 255)
        name.resize(255);
    LastError = 0;
    return name;
}

void TVoskSocket::ArmCountdown(int seconds)
{
    countdownLeft_ = seconds > 0 ? seconds : 0;
    if (countdownLeft_ > 0)
        timer_.start(); // a full second until the first tick
    updateTimer();
}

void TVoskSocket::PostUserMessage(int message)
{
    QMetaObject::invokeMethod(this, [this, message] {
        if (message > 1025 && OnUserMessage)
            OnUserMessage(message);
    }, Qt::QueuedConnection);
}

void TVoskSocket::updateTimer()
{
    const bool needed = countdownLeft_ > 0 || (connected_ && TimeoutIdle > 0);
    if (needed && !timer_.isActive())
        timer_.start();
    else if (!needed && timer_.isActive())
        timer_.stop();
}

bool TVoskSocket::trafficPending() const
{
    if (!socket_)
        return false;
    pollfd p{};
    p.fd = static_cast<int>(socket_->socketDescriptor());
    if (p.fd < 0)
        return false;
    // Bytes waiting in the kernel, or room for ours, are traffic the event loop has not yet
    // turned into notifications because the UI thread was busy. Bytes that wait only because
    // our read-ahead is full are not: then neither side takes the other's bytes.
    if (socket_->bytesAvailable() < kReadBufferLimit)
        p.events |= POLLIN;
    if (queuedBytes() > 0)
        p.events |= POLLOUT;
    if (p.events == 0)
        return false;
    return ::poll(&p, 1, 0) > 0 && (p.revents & p.events) != 0;
}

void TVoskSocket::tick()
{
    if (countdownLeft_ > 0) {
        if (--countdownLeft_ == 0) {
            Disconnect();
            if (OnTimeout)
                OnTimeout();
        }
        updateTimer();
        return;
    }
    if (connected_ && TimeoutIdle > 0 && lastTraffic_.elapsed() >= qint64(TimeoutIdle) * 1000 &&
        !trafficPending()) {
        Disconnect();
        if (OnTimeout)
            OnTimeout();
    }
    updateTimer();
}

} // namespace tavik
