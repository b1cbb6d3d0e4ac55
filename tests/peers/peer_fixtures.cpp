#include "peers/peer_fixtures.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>

#include <chrono>
#include <thread>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tavik::test {

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            throw std::runtime_error("cannot write " + path);
    }
    ::chmod(path.c_str(), mode);
}

// A fresh instance directory the servers' own users can enter. Kept short: Dovecot's unix
// socket paths beneath it are limited to about 107 bytes.
std::string makeInstanceDirectory(const char* prefix)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp && std::strlen(tmp) <= 40 ? tmp : "/tmp";
    std::string pattern = base + "/" + prefix + "XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a directory under " + base);
    ::chmod(pattern.c_str(), 0755);
    return pattern + "/";
}

QString q(const std::string& s)
{
    return QString::fromStdString(s);
}

// Stops a server by its process id: SIGTERM, then SIGKILL when it does not go in time.
void stopProcess(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    const qint64 pid = process.processId();
    if (pid > 0)
        ::kill(static_cast<pid_t>(pid), SIGTERM);
    if (!process.waitForFinished(10000) && pid > 0) {
        ::kill(static_cast<pid_t>(pid), SIGKILL);
        process.waitForFinished(5000);
    }
}

// Waits until `port` accepts a connection whose first line starts with `greeting`, while the
// process runs, at most `timeoutMs`. With `tls` the greeting comes after a handshake whose
// certificate is not judged: the probe only asks whether the server is up.
bool waitForGreeting(quint16 port, const char* greeting, QProcess& process, int timeoutMs, std::string& why,
                     bool tls = false)
{
    bool greeted = false;
    std::string last;
    (void)QTest::qWaitFor([&] {
        if (process.state() == QProcess::NotRunning)
            return true;
        const auto owned = tls ? std::unique_ptr<QTcpSocket>(new QSslSocket) : std::make_unique<QTcpSocket>();
        QTcpSocket& probe = *owned;
        if (tls) {
            auto& tlsProbe = static_cast<QSslSocket&>(probe);
            tlsProbe.setPeerVerifyMode(QSslSocket::VerifyNone);
            tlsProbe.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
            if (!tlsProbe.waitForEncrypted(2000))
                return false;
        } else {
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (!probe.waitForConnected(500))
                return false;
        }
        QByteArray line;
        while (!line.contains('\n') && probe.waitForReadyRead(2000))
            line += probe.readAll();
        last = line.toStdString();
        greeted = line.startsWith(greeting);
        probe.abort();
        return greeted;
    }, timeoutMs);
    if (!greeted) {
        if (process.state() == QProcess::NotRunning)
            why = "the server exited with status " + std::to_string(process.exitCode());
        else
            why = "no greeting \"" + std::string(greeting) + "\" on port " + std::to_string(port) +
                  " within " + std::to_string(timeoutMs) + " ms" + (last.empty() ? "" : "; got " + escapeBytes(last));
    }
    return greeted;
}

} // namespace

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// ---- Dovecot -------------------------------------------------------------------------------

DovecotServer::DovecotServer(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password))
{
    ensureCoreApplication();
    dir_ = makeInstanceDirectory("tvk-pop3-");
    uidValidity_ = static_cast<unsigned>(std::time(nullptr));
    if (::geteuid() == 0) {
        // Dovecot refuses mail access as root: the mail user is nobody.
        const passwd* pw = ::getpwnam("nobody");
        mailUid_ = pw ? pw->pw_uid : 65534;
        mailGid_ = pw ? pw->pw_gid : 65534;
    } else {
        mailUid_ = ::getuid();
        mailGid_ = ::getgid();
    }
    const std::string home = dir_ + "home/";
    for (const char* sub : {"new", "cur", "tmp"})
        fs::create_directories(maildir() + sub);
    for (const auto& d : {home, home + user_ + "/", maildir(), maildir() + "new", maildir() + "cur", maildir() + "tmp"}) {
        ::chmod(d.c_str(), 0755);
        if (::chown(d.c_str(), mailUid_, mailGid_) != 0 && ::geteuid() == 0)
            throw std::runtime_error("cannot give " + d + " to the mail user");
    }
}

DovecotServer::~DovecotServer()
{
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string DovecotServer::maildir() const
{
    return dir_ + "home/" + user_ + "/Maildir/";
}

void DovecotServer::placeFile(const std::string& path, const std::string& bytes)
{
    writeFile(path, bytes, 0600);
    if (::chown(path.c_str(), mailUid_, mailGid_) != 0 && ::geteuid() == 0)
        throw std::runtime_error("cannot give " + path + " to the mail user");
}

void DovecotServer::useCertificate(const TestCertificate& certificate)
{
    certificate_ = certificate;
}

void DovecotServer::addMessage(const std::string& bytes)
{
    if (!process_) {
        initialMessages_.push_back(bytes);
        return;
    }
    // Delivered the Maildir way: written in tmp/, renamed into new/.
    const std::string name = std::to_string(std::time(nullptr)) + ".M" + std::to_string(++addedLater_) + "P" +
                             std::to_string(::getpid()) + ".tavik";
    placeFile(maildir() + "tmp/" + name, bytes);
    fs::rename(maildir() + "tmp/" + name, maildir() + "new/" + name);
}

void DovecotServer::addMessageFile(const std::string& path)
{
    addMessage(readFile(path));
}

std::string DovecotServer::uidl(int n) const
{
    char text[24];
    std::snprintf(text, sizeof text, "%08x%08x", static_cast<unsigned>(n), uidValidity_);
    return text;
}

void DovecotServer::writeMessageFiles()
{
    // Dovecot numbers the files of new/ in the order it happens to read them; a uidlist of our
    // own fixes the numbers and UIDs in the order the messages were given.
    std::string uidlist = "3 V" + std::to_string(uidValidity_) + " N" + std::to_string(initialMessages_.size() + 1) + "\n";
    for (std::size_t i = 0; i < initialMessages_.size(); ++i) {
        const std::string base = std::to_string(i + 1) + ".tavik";
        placeFile(maildir() + "cur/" + base + ":2,", initialMessages_[i]);
        uidlist += std::to_string(i + 1) + " :" + base + "\n";
    }
    placeFile(maildir() + "dovecot-uidlist", uidlist);
    initialMessages_.clear();
}

void DovecotServer::writeConfiguration()
{
    const bool root = ::geteuid() == 0;
    std::string passwdLine = user_ + ":{PLAIN}" + password_ + ":" + std::to_string(mailUid_) + ":" +
                             std::to_string(mailGid_) + "::" + dir_ + "home/" + user_ + "::\n";
    const std::string passwdPath = dir_ + "passwd";
    writeFile(passwdPath, passwdLine, root ? 0640 : 0600);
    if (root) {
        // The auth process reads it as user dovecot.
        if (const group* g = ::getgrnam("dovecot"))
            if (::chown(passwdPath.c_str(), 0, g->gr_gid) != 0)
                throw std::runtime_error("cannot give " + passwdPath + " to group dovecot");
    }

    std::string unprivileged;
    std::string noChroot;
    if (!root) {
        const passwd* pw = ::getpwuid(::getuid());
        const group* gr = ::getgrgid(::getgid());
        const std::string me = pw ? pw->pw_name : std::to_string(::getuid());
        const std::string myGroup = gr ? gr->gr_name : std::to_string(::getgid());
        unprivileged = "default_internal_user = " + me + "\ndefault_login_user = " + me +
                       "\ndefault_internal_group = " + myGroup + "\n";
        noChroot = "  chroot =\n";
        for (const char* service : {"anvil", "ipc", "old-stats", "aggregator"})
            unprivileged += std::string("service ") + service + " {\n  chroot =\n}\n";
    }

    const bool tls = !certificate_.certificate.empty();
    const std::string ssl = !tls ? "ssl = no\n"
                                 : "ssl = required\nssl_cert = <" + certificate_.certificate + "\nssl_key = <" +
                                       certificate_.key + "\n";
    const std::string pop3s = !tls ? "  inet_listener pop3s {\n    port = 0\n  }\n"
                                   : "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " +
                                         std::to_string(tlsPort_) + "\n    ssl = yes\n  }\n";
    const std::string conf =
        "base_dir = " + dir_ + "run\n"
        "state_dir = " + dir_ + "state\n"
        "log_path = " + dir_ + "dovecot.log\n"
        "protocols = pop3\n"
        "listen = 127.0.0.1\n" +
        ssl +
        "disable_plaintext_auth = no\n"
        "auth_mechanisms = plain login\n"
        "auth_failure_delay = 0\n"
        "first_valid_uid = 1\n"
        "mail_location = maildir:~/Maildir\n" +
        unprivileged +
        "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " + passwdPath + "\n}\n"
        "userdb {\n  driver = passwd-file\n  args = username_format=%u " + passwdPath + "\n}\n"
        "service pop3-login {\n" + noChroot +
        "  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " + std::to_string(port_) + "\n  }\n" +
        pop3s + "}\n"
        // Without this socket the auth process cannot ask anvil for a failed address's penalty,
        // so a wrong password delays nothing that follows.
        "service anvil {\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n";
    writeFile(dir_ + "dovecot.conf", conf, 0644);
}

bool DovecotServer::start(int timeoutMs)
{
    if (running())
        return true;
    error_.clear();
    if (!process_)
        writeMessageFiles();
    QString program = QStandardPaths::findExecutable("dovecot", {"/usr/sbin", "/usr/local/sbin"});
    if (program.isEmpty()) {
        error_ = "dovecot is not installed (scripts/setup installs dovecot-pop3d)";
        return false;
    }
    // The port is free when chosen, but another process may take it first: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = freeLoopbackPort();
        tlsPort_ = 0;
        for (int i = 0; i < 10 && !certificate_.certificate.empty() && (tlsPort_ == 0 || tlsPort_ == port_); ++i)
            tlsPort_ = freeLoopbackPort();
        writeConfiguration();
        process_ = std::make_unique<QProcess>();
        process_->setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(process_.get(), &QProcess::readyRead, process_.get(),
                         [this, p = process_.get()] { output_ += p->readAll().toStdString(); });
        process_->start(program, {"-F", "-c", q(dir_ + "dovecot.conf")});
        if (!process_->waitForStarted(10000)) {
            error_ = "dovecot did not start: " + process_->errorString().toStdString();
            return false;
        }
        std::string why;
        if (waitForGreeting(port_, "+OK", *process_, timeoutMs, why))
            return true;
        error_ = why;
        stopProcess(*process_);
    }
    return false;
}

void DovecotServer::stop()
{
    if (process_)
        stopProcess(*process_);
}

bool DovecotServer::running() const
{
    return process_ && process_->state() != QProcess::NotRunning;
}

std::size_t DovecotServer::messagesOnServer() const
{
    std::size_t count = 0;
    for (const char* sub : {"new", "cur"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(maildir() + sub, ec))
            if (entry.is_regular_file())
                ++count;
    }
    return count;
}

std::string DovecotServer::log() const
{
    return readFile(dir_ + "dovecot.log") + output_;
}

int DovecotServer::tlsLogins() const
{
    // "pop3-login: Login: user=<tester>, ..., TLS, session=<...>"; a plain login says "secured".
    const std::string text = log();
    int count = 0;
    for (std::size_t at = text.find("Login: user=<"); at != std::string::npos; at = text.find("Login: user=<", at + 1)) {
        const std::string line = text.substr(at, text.find('\n', at) - at);
        if (line.find(", TLS") != std::string::npos)
            ++count;
    }
    return count;
}

int DovecotServer::tlsLogins(int expected) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int count = tlsLogins();
    while (count < expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        count = tlsLogins();
    }
    return count;
}

// ---- aiosmtpd ------------------------------------------------------------------------------

SmtpSink::SmtpSink()
{
    ensureCoreApplication();
    dir_ = makeInstanceDirectory("tvk-smtp-");
    fs::create_directories(dir_ + "mail");
}

SmtpSink::~SmtpSink()
{
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void SmtpSink::rejectRecipient(const std::string& address)
{
    rejectedRecipients_.push_back(address);
}

void SmtpSink::rejectData()
{
    rejectData_ = true;
}

void SmtpSink::offerStartTls(const TestCertificate& certificate, bool required)
{
    certificate_ = certificate;
    implicitTls_ = false;
    startTlsRequired_ = required;
}

void SmtpSink::useImplicitTls(const TestCertificate& certificate)
{
    certificate_ = certificate;
    implicitTls_ = true;
    startTlsRequired_ = false;
}

void SmtpSink::acceptLogin(const std::string& user, const std::string& password, bool required)
{
    loginUser_ = user;
    loginPassword_ = password;
    loginRequired_ = required;
}

std::string SmtpSink::directory() const
{
    return dir_ + "mail/";
}

bool SmtpSink::start(int timeoutMs)
{
    if (running())
        return true;
    error_.clear();
    // Debian's aiosmtpd is importable only by the system interpreter.
    const QString python = QStringLiteral("/usr/bin/python3");
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = freeLoopbackPort();
        QStringList args{QStringLiteral(TAVIK_PEERS_DIR "/smtp_sink.py"), "--host", "127.0.0.1",
                         "--port", QString::number(port_), "--dir", q(directory())};
        for (const auto& a : rejectedRecipients_)
            args << "--reject-rcpt" << q(a);
        if (rejectData_)
            args << "--reject-data";
        if (!certificate_.certificate.empty())
            args << "--tls-cert" << q(certificate_.certificate) << "--tls-key" << q(certificate_.key);
        if (implicitTls_)
            args << "--implicit-tls";
        if (startTlsRequired_)
            args << "--require-starttls";
        if (!loginUser_.empty())
            args << "--auth-user" << q(loginUser_) << "--auth-password" << q(loginPassword_);
        if (loginRequired_)
            args << "--require-auth";
        process_ = std::make_unique<QProcess>();
        process_->setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(process_.get(), &QProcess::readyRead, process_.get(),
                         [this, p = process_.get()] { output_ += p->readAll().toStdString(); });
        process_->start(python, args);
        if (!process_->waitForStarted(10000)) {
            error_ = "python3 did not start: " + process_->errorString().toStdString();
            return false;
        }
        std::string why;
        if (waitForGreeting(port_, "220", *process_, timeoutMs, why, implicitTls_))
            return true;
        error_ = why;
        stopProcess(*process_);
    }
    return false;
}

void SmtpSink::stop()
{
    if (process_)
        stopProcess(*process_);
}

bool SmtpSink::running() const
{
    return process_ && process_->state() != QProcess::NotRunning;
}

std::vector<SmtpMessage> SmtpSink::messages() const
{
    // The envelope file is written last (renamed into place): its presence marks a whole message.
    std::vector<std::string> envelopes;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(directory(), ec))
        if (entry.path().extension() == ".json")
            envelopes.push_back(entry.path().string());
    std::sort(envelopes.begin(), envelopes.end());
    std::vector<SmtpMessage> result;
    for (const auto& path : envelopes) {
        const std::string json = readFile(path);
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
        SmtpMessage m;
        m.mail_from = o.value("mail_from").toString().toStdString();
        for (const auto& r : o.value("rcpt_tos").toArray())
            m.rcpt_tos.push_back(r.toString().toStdString());
        m.helo = o.value("helo").toString().toStdString();
        m.tls = o.value("tls").toBool();
        m.login = o.value("login").toString().toStdString();
        m.content = readFile(path.substr(0, path.size() - 5) + ".content");
        result.push_back(std::move(m));
    }
    return result;
}

bool SmtpSink::waitForMessages(std::size_t count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return messages().size() >= count; }, timeoutMs);
}

std::string SmtpSink::log() const
{
    return output_;
}

} // namespace tavik::test
