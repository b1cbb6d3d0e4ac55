#include "net/certificate_probe.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QTimer>

#include <algorithm>

namespace tavik {

namespace {

class Prober {
public:
    explicit Prober(const CertificateProbe& probe)
        : probe_(probe), deadline_(std::max(1, probe.timeoutSeconds) * 1000)
    {
        socket_.setProxy(QNetworkProxy::NoProxy);
    }

    CertificateProbeResult run()
    {
        socket_.connectToHost(QString::fromStdString(probe_.host), probe_.port);
        if (!waitFor([this] { return socket_.state() == QAbstractSocket::ConnectedState; }))
            return failed("could not connect: " + socket_.errorString().toStdString());
        if (probe_.startTls == ProbeStartTls::Pop3 && !pop3Dialogue())
            return result_;
        if (probe_.startTls == ProbeStartTls::Smtp && !smtpDialogue())
            return result_;
        // Anything the server said beyond its go-ahead is not part of what we verify.
        if (socket_.bytesAvailable() > 0)
            return failed("the server sent plain text after agreeing to TLS");
        return handshake();
    }

private:
    template <typename Done> bool waitFor(Done done)
    {
        while (!done()) {
            if (deadline_.hasExpired() || socket_.state() == QAbstractSocket::UnconnectedState)
                return false;
            QEventLoop loop;
            QTimer tick;
            QObject::connect(&socket_, &QIODevice::readyRead, &loop, &QEventLoop::quit);
            QObject::connect(&socket_, &QAbstractSocket::stateChanged, &loop, &QEventLoop::quit);
            QObject::connect(&socket_, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
            QObject::connect(&socket_, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
            QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
            tick.start(static_cast<int>(std::min<qint64>(deadline_.remainingTime(), 1000)));
            loop.exec();
        }
        return true;
    }

    // One line without its line end; false on time-out or close.
    bool readLine(std::string& line)
    {
        if (!waitFor([this] { return socket_.canReadLine(); }))
            return false;
        line = socket_.readLine(4096).toStdString();
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        return true;
    }

    // The last line of an SMTP reply.
    bool readReply(std::string& line)
    {
        do {
            if (!readLine(line))
                return false;
        } while (line.size() >= 4 && line[3] == '-');
        return true;
    }

    void send(const char* command) { socket_.write(command); }

    bool pop3Dialogue()
    {
        std::string line;
        if (!readLine(line))
            return failedStep("no greeting came from the server");
        if (line.rfind("+OK", 0) != 0)
            return failedStep("the server did not greet as a POP3 server: " + line);
        send("STLS\r\n");
        if (!readLine(line))
            return failedStep("no answer to STLS came");
        if (line.rfind("+OK", 0) != 0)
            return failedStep("the server refused STLS: " + line);
        return true;
    }

    bool smtpDialogue()
    {
        std::string line;
        if (!readReply(line))
            return failedStep("no greeting came from the server");
        if (line.rfind("220", 0) != 0)
            return failedStep("the server did not greet as an SMTP server: " + line);
        send("EHLO localhost\r\n");
        if (!readReply(line))
            return failedStep("no answer to EHLO came");
        send("STARTTLS\r\n");
        if (!readReply(line))
            return failedStep("no answer to STARTTLS came");
        if (line.rfind("220", 0) != 0)
            return failedStep("the server refused STARTTLS: " + line);
        return true;
    }

    CertificateProbeResult handshake()
    {
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setProtocol(QSsl::TlsV1_2OrLater);
        conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (!probe_.caFile.empty())
            conf.addCaCertificates(
                QSslCertificate::fromPath(QFile::decodeName(QByteArray::fromStdString(probe_.caFile)), QSsl::Pem));
        socket_.setSslConfiguration(conf);
        socket_.setPeerVerifyName(QString::fromStdString(probe_.host));
        std::vector<std::string> problems;
        QObject::connect(&socket_, &QSslSocket::sslErrors, [&](const QList<QSslError>& errors) {
            for (const QSslError& e : errors) {
                const std::string text = e.errorString().toStdString();
                if (std::find(problems.begin(), problems.end(), text) == problems.end())
                    problems.push_back(text);
            }
            // Only looked at, never used: nothing is sent over this connection.
            socket_.ignoreSslErrors();
        });
        socket_.startClientEncryption();
        const bool encrypted = waitFor([this] { return socket_.isEncrypted(); });
        const QSslCertificate peer = socket_.peerCertificate();
        if (peer.isNull())
            return failed(encrypted ? "the server showed no certificate"
                                    : "the TLS handshake failed: " + socket_.errorString().toStdString());
        result_.certificate = describeCertificate(peer);
        result_.certificate.host = probe_.host;
        result_.certificate.port = probe_.port;
        result_.certificate.problems = std::move(problems);
        result_.certificate.pinnedFingerprint = normalizedFingerprint(probe_.pinnedFingerprint);
        for (const QString& name : peer.subjectAlternativeNames().values(QSsl::DnsEntry))
            result_.alternativeNames.push_back("DNS:" + name.toStdString());
        for (const QString& name : peer.subjectAlternativeNames().values(QSsl::IpAddressEntry))
            result_.alternativeNames.push_back("IP:" + name.toStdString());
        switch (socket_.sessionProtocol()) {
        case QSsl::TlsV1_2: result_.protocol = "TLS 1.2"; break;
        case QSsl::TlsV1_3: result_.protocol = "TLS 1.3"; break;
        default: break;
        }
        socket_.abort();
        return result_;
    }

    CertificateProbeResult failed(const std::string& why)
    {
        result_.failure = deadline_.hasExpired() ? "no answer within " + std::to_string(probe_.timeoutSeconds) +
                                                       " seconds (" + why + ")"
                                                 : why;
        socket_.abort();
        return result_;
    }
    bool failedStep(const std::string& why)
    {
        failed(why);
        return false;
    }

    const CertificateProbe& probe_;
    QDeadlineTimer deadline_;
    QSslSocket socket_;
    CertificateProbeResult result_;
};

} // namespace

CertificateProbeResult probeCertificate(const CertificateProbe& probe)
{
    if (!QSslSocket::supportsSsl())
        return {"no TLS library could be loaded", {}, {}, {}};
    return Prober(probe).run();
}

} // namespace tavik
