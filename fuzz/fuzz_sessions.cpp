#include "fuzz_sessions.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unistd.h>

#include "pop3/attachment_store.h"
#include "pop3/get_mail.h"
#include "smtp/send_mail.h"

namespace tavik {

namespace {

// Longest a session may take on one input: far beyond what any reply sequence needs, so only a
// session that never ends reaches it.
constexpr int kSessionLimitMs = 20000;

QCoreApplication& application()
{
    static int argc = 1;
    static char name[] = "fuzz_sessions";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                : new QCoreApplication(argc, argv);
    return *app;
}

// Plays the replies: the first on connect, then one after each line the client writes (or
// after a few quiet milliseconds); with the last one it closes the connection.
class ReplyServer {
public:
    explicit ReplyServer(std::vector<std::string> replies) : replies_(std::move(replies))
    {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            QTcpSocket* s = server_.nextPendingConnection();
            if (!s)
                return;
            if (socket_) { // one session, one connection
                s->abort();
                s->deleteLater();
                return;
            }
            socket_ = s;
            QObject::connect(s, &QTcpSocket::readyRead, [this] {
                const QByteArray got = socket_->readAll();
                for (char c : got)
                    if (c == '\n')
                        next();
            });
            next();
        });
        // A client that ignores a reply sends no line; the next reply then follows anyway, so
        // no input waits for the session's idle time.
        patience_.setInterval(5);
        QObject::connect(&patience_, &QTimer::timeout, [this] {
            if (socket_ && socket_->bytesToWrite() == 0)
                next();
        });
        patience_.start();
    }
    ~ReplyServer()
    {
        if (socket_)
            socket_->abort();
        delete socket_;
    }
    quint16 port() const { return server_.serverPort(); }

private:
    void next()
    {
        if (!socket_ || closed_)
            return;
        if (index_ >= replies_.size()) {
            closed_ = true;
            socket_->disconnectFromHost();
            return;
        }
        const std::string& r = replies_[index_++];
        socket_->write(r.data(), static_cast<qint64>(r.size()));
        // After the last reply the server hangs up, as one does after QUIT.
        if (index_ >= replies_.size()) {
            closed_ = true;
            socket_->disconnectFromHost();
        }
    }

    QTcpServer server_;
    QTimer patience_;
    QTcpSocket* socket_ = nullptr;
    std::vector<std::string> replies_;
    std::size_t index_ = 0;
    bool closed_ = false;
};

class Scratch {
public:
    Scratch()
    {
        const char* base = std::getenv("TAVIK_FUZZ_TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/session.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()))
            path_ = std::string(buf.data()) + "/";
    }
    ~Scratch()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Runs the event loop until `done` or the limit; a session still running then is a finding.
void runUntil(const bool& done, const char* what)
{
    QElapsedTimer t;
    t.start();
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (t.elapsed() > kSessionLimitMs)
            throw FuzzFinding(std::string(what) + ": the session never ended");
    }
    // What was posted around the end runs too: a second OnDone would show here.
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

// Replies separated by the part separator; the first byte of the input picks the options. The
// first reply after the greeting answers CAPA: "+OK" with "SASL PLAIN" among its lines leads to
// AUTH PLAIN, whose response goes on a line of its own (after a "+ " reply) with the long
// password; STLS asked for meets a server that never completes a handshake.
int fuzzPop3Session(const std::uint8_t* data, std::size_t size)
{
    application();
    const std::uint8_t options = size > 0 ? data[0] : 0;
    std::vector<std::string> replies = splitFuzzInput(size > 0 ? data + 1 : data, size > 0 ? size - 1 : 0, 64);
    Scratch dir;
    ReplyServer server(replies);
    TAttachmentManager store;
    store.SetAttachmentDirectory(dir.path() + "attach/");
    GetMail mail;
    mail.SetMail_Server("127.0.0.1");
    mail.Mail_Port = server.port();
    mail.User_ID = "user";
    mail.User_Password = options & 32 ? std::string(300, 'p') : "pw";
    mail.StartTlsRequired = options & 64;
    mail.TimeoutIdle = 5;
    mail.Opt_Preview = options & 1;
    mail.KnownUIDLs.add("known");
    int dones = 0, messages = 0;
    bool done = false;
    mail.OnDone = [&] {
        ++dones;
        done = true;
    };
    std::int32_t inHand = 0;
    mail.OnAttachmentGetLocation = [&](TMIMEAttachmentPtr a) {
        try {
            inHand = store.RegisterAttachment(*a);
        } catch (const FileError&) {
            a->Location.clear();
            inHand = 0;
        }
    };
    mail.OnAttachmentStored = [&](TMIMEAttachmentPtr a) {
        if (inHand)
            store.UpdateAttachment(inHand, *a);
    };
    mail.OnHeadersLoaded = [&] {
        mail.Opt_Skip = options & 2;
        mail.Opt_Delete = options & 4;
    };
    mail.OnMessageLoaded = [&] {
        ++messages;
        mail.Opt_Delete = options & 8;
        if ((options & 16) && messages == 1)
            mail.Cancel();
    };
    mail.SetMail_Action(Get_Mail);
    runUntil(done, "pop3");
    if (dones != 1)
        throw FuzzFinding("pop3: OnDone came " + std::to_string(dones) + " times");
    if (mail.Busy())
        throw FuzzFinding("pop3: still busy after OnDone");
    return 0;
}

int fuzzSmtpSession(const std::uint8_t* data, std::size_t size)
{
    application();
    const std::uint8_t options = size > 0 ? data[0] : 0;
    std::vector<std::string> replies = splitFuzzInput(size > 0 ? data + 1 : data, size > 0 ? size - 1 : 0, 64);
    Scratch dir;
    ReplyServer server(replies);
    const std::string file = dir.path() + "attachment.bin";
    {
        std::ofstream out(file, std::ios::binary);
        out << std::string(3000, 'x') << "\r\n.\r\nmore";
    }
    SendMail mail;
    mail.SetSMTP_Server("127.0.0.1");
    mail.SMTP_Port = server.port();
    mail.TimeoutIdle = 5;
    mail.FROM_Name = "Sender";
    mail.FROM_Address = "from@example.org";
    mail.TO_Address = "to@example.org";
    mail.Listcc = {"cc@example.org|Cc Person"};
    mail.ListBcc = {"bcc@example.org|"};
    mail.Subject = "Fuzzing \xe9";
    mail.MailText = {"line one", ".dot line", ""};
    mail.KeepConnectionOpen = options & 1;
    if (options & 2)
        mail.Attachments.push_back(file);
    // A user name lets the replies lead into the sign-in: AUTH, its challenges and refusals.
    if (options & 8) {
        mail.SMTP_User = "user";
        mail.SMTP_Password = "pw";
    }
    int dones = 0;
    bool done = false;
    mail.OnDone = [&] {
        ++dones;
        done = true;
    };
    int infos = 0;
    mail.OnMailInfo = [&](int, const std::string&) {
        if ((options & 4) && ++infos == 6)
            mail.SetAction(TMailAction::Cancel_SendMail);
    };
    mail.SetAction(TMailAction::Send_Mail);
    runUntil(done, "smtp");
    if (dones != 1)
        throw FuzzFinding("smtp: OnDone came " + std::to_string(dones) + " times");
    if (mail.Busy())
        throw FuzzFinding("smtp: still busy after OnDone");
    // A kept connection takes a second message on the same session.
    if ((options & 1) && mail.QuitSent && mail.ErrorCode == 0 && mail.HasSocket() && !mail.Finished()) {
        done = false;
        mail.TO_Address = "second@example.org";
        mail.SetAction(TMailAction::Send_Mail);
        runUntil(done, "smtp second message");
        if (dones != 2)
            throw FuzzFinding("smtp: the second send ended " + std::to_string(dones - 1) + " times");
    }
    return 0;
}

const std::vector<FuzzTarget>& sessionFuzzTargets()
{
    static const std::vector<FuzzTarget> targets = {
        {"fuzz_pop3_session", fuzzPop3Session},
        {"fuzz_smtp_session", fuzzSmtpSession},
    };
    return targets;
}

} // namespace tavik
