// Mail over a link with round trips, through bench/delay_proxy.py adding a fixed delay each way
// (25 ms: 50 ms of round trip): 2000 messages of 20 KB retrieved from a real Dovecot with GetMail
// (pipelined, as Dovecot offers PIPELINING) and with Python's poplib RETR loop, which waits for
// each answer; then 200 small messages sent on one connection to postfix's smtp-sink with
// KeptSendRun and with smtplib. Prints the figures and a RESULT line each for scripts/bench.
//   link_bench [MESSAGES] [DELAY_MS_EACH_WAY]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "peers/peer_fixtures.h"
#include "delay_proxy.h"
#include "pop3/get_mail.h"
#include "smtp/outbox.h"
#include "support/test_support.h"

using namespace tavik;
using tavik::bench::Proxy;

namespace {

std::string message(int n, std::size_t size)
{
    std::string m = "From: sender" + std::to_string(n) + "@example.org\nTo: you@example.org\nSubject: message " +
        std::to_string(n) + "\nDate: Wed, 09 Dec 2026 10:00:00 +0000\n\n";
    for (int line = 0; m.size() < size; ++line)
        m += "line " + std::to_string(line) + " of a message body that is long enough to be typical text.\n";
    m.resize(size - 1);
    m += '\n';
    return m;
}

// A free loopback port, for a server that takes its port on the command line.
int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// 200 small messages on one connection through the proxy to postfix's smtp-sink, which offers
// PIPELINING: KeptSendRun against smtplib's sendmail loop. Prints its RESULT lines.
// Runs a Python script that prints the seconds it measured; -1 when it fails.
double pythonSeconds(const std::string& path, const std::string& script)
{
    test::writeBytes(path, script);
    FILE* py = popen(("/usr/bin/python3 '" + path + "'").c_str(), "r");
    char buffer[64] = {};
    const double seconds = py && fgets(buffer, sizeof buffer, py) ? std::atof(buffer) : -1;
    if (py)
        pclose(py);
    return seconds;
}

bool sendOverTheLink(int delayMs, const test::TempDir& tmp)
{
    constexpr int kMessages = 200;
    const char* sinkProgram = "/usr/sbin/smtp-sink";
    if (access(sinkProgram, X_OK) != 0) {
        std::fprintf(stderr, "no smtp-sink: the send over the link is left out\n");
        return true;
    }
    const int sinkPort = freePort();
    const pid_t sink = fork();
    if (sink == 0) {
        const std::string where = "127.0.0.1:" + std::to_string(sinkPort);
        execl(sinkProgram, "smtp-sink", "-u", "nobody", "-4", where.c_str(), "128", static_cast<char*>(nullptr));
        _exit(127);
    }
    struct Stop {
        pid_t pid;
        ~Stop()
        {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    } stopSink{sink};
    // Up once it takes a connection.
    const std::string wait = "/usr/bin/python3 -c \"import socket, time\nfor i in range(100):\n    try:\n"
                             "        socket.create_connection(('127.0.0.1', " + std::to_string(sinkPort) +
                             ")).close(); break\n    except OSError: time.sleep(0.05)\"";
    if (std::system(wait.c_str()) != 0)
        return false;
    Proxy proxy;
    const int port = proxy.start(sinkPort, delayMs);
    if (port <= 0)
        return false;

    ProfileSettings settings;
    settings.SmtpServer = "127.0.0.1";
    settings.SmtpPort = port;
    settings.TimeOut = 60;
    SendMailView quiet;
    int accepted = 0;
    QElapsedTimer t;
    t.start();
    {
        KeptSendRun run(settings, quiet);
        for (int i = 1; i <= kMessages; ++i) {
            OutgoingMessage m;
            m.FROM_Address = "sam@example.org";
            m.ListTo = {"ann@example.net|Ann"};
            m.Subject = "message " + std::to_string(i);
            m.MailText = {"A short message, number " + std::to_string(i) + "."};
            if (run.send(m).accepted)
                ++accepted;
        }
    }
    const double ours = static_cast<double>(t.nsecsElapsed()) / 1e9;
    if (accepted != kMessages) {
        std::fprintf(stderr, "KeptSendRun: %d of %d accepted\n", accepted, kMessages);
        return false;
    }
    const std::string script = "import smtplib, time\n"
                               "t = time.perf_counter()\n"
                               "s = smtplib.SMTP('127.0.0.1', " + std::to_string(port) + ")\n"
                               "for i in range(" + std::to_string(kMessages) + "):\n"
                               "    s.sendmail('sam@example.org', ['ann@example.net'], 'Subject: message %d\\r\\n\\r\\n"
                               "A short message.\\r\\n' % i)\n"
                               "s.quit()\n"
                               "print(time.perf_counter() - t, flush=True)\n";
    const double python = pythonSeconds(tmp.path() + "smtplib_loop.py", script);
    if (python <= 0)
        return false;
    std::printf("send %d small messages on one connection through the proxy to smtp-sink (PIPELINING)\n", kMessages);
    std::printf("  KeptSendRun, pipelined: %.2f s\n", ours);
    std::printf("  Python smtplib loop:    %.2f s\n", python);
    std::printf("RESULT link.send.tavik %.6g s 1\n", ours);
    std::printf("RESULT link.send.smtplib %.6g s 1\n", python);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int delayMs = argc > 2 ? std::atoi(argv[2]) : 25;
    const std::size_t size = 20 * 1024;

    test::TempDir tmp;
    test::DovecotServer server;
    for (int n = 1; n <= count; ++n)
        server.addMessage(message(n, size));
    if (!server.start()) {
        std::fprintf(stderr, "Dovecot did not start: %s\n%s\n", server.error().c_str(), server.log().c_str());
        return 1;
    }
    Proxy pop3Proxy;
    const int port = pop3Proxy.start(server.port(), delayMs);
    if (port <= 0) {
        std::fprintf(stderr, "the delay proxy did not start\n");
        return 1;
    }

    // A warm-up login straight to Dovecot, so that neither side pays its first index build.
    const std::string login = "p.user('" + server.user() + "'); p.pass_('" + server.password() + "')";
    const std::string warm = "/usr/bin/python3 -c \"import poplib; p = poplib.POP3('127.0.0.1', " +
                             std::to_string(server.port()) + "); " + login + "; p.uidl(); p.quit()\"";
    if (std::system(warm.c_str()) != 0)
        return 1;

    GetMail mail;
    mail.SetMail_Server("127.0.0.1");
    mail.Mail_Port = static_cast<quint16>(port);
    mail.User_ID = server.user();
    mail.User_Password = server.password();
    mail.TimeoutIdle = 120;
    int loaded = 0, errors = 0;
    bool done = false;
    mail.OnMessageLoaded = [&] { ++loaded; };
    mail.OnMailError = [&](int, const std::string& text) {
        ++errors;
        std::fprintf(stderr, "error: %s\n", text.c_str());
    };
    QEventLoop loop;
    mail.OnDone = [&] {
        done = true;
        loop.quit();
    };
    QElapsedTimer t;
    t.start();
    mail.SetMail_Action(Get_Mail);
    if (!done)
        loop.exec();
    const double ours = static_cast<double>(t.nsecsElapsed()) / 1e9;
    if (errors || loaded != count) {
        std::fprintf(stderr, "GetMail retrieved %d of %d messages\n", loaded, count);
        return 1;
    }

    const std::string script = "import poplib, time\n"
                               "t = time.perf_counter()\n"
                               "p = poplib.POP3('127.0.0.1', " + std::to_string(port) + ")\n" + login + "\n"
                               "p.uidl()\n"
                               "n = p.stat()[0]\n"
                               "for i in range(1, n + 1):\n"
                               "    p.retr(i)\n"
                               "p.quit()\n"
                               "print(time.perf_counter() - t, flush=True)\n";
    const double python = pythonSeconds(tmp.path() + "poplib_loop.py", script);
    if (python <= 0)
        return 1;

    std::printf("retrieve %d messages of %zu bytes through a proxy adding %d ms each way (%d ms round trip)\n",
                count, size, delayMs, 2 * delayMs);
    std::printf("  GetMail, %s:   %.2f s\n", mail.Pipelined() ? "pipelined" : "one at a time", ours);
    std::printf("  Python poplib RETR loop: %.2f s\n", python);
    std::printf("  ratio (poplib time / ours): %.1f\n", python / ours);
    std::printf("RESULT link.getmail.tavik %.6g s 1\n", ours);
    std::printf("RESULT link.poplib.python %.6g s 1\n", python);
    std::fflush(stdout);
    return sendOverTheLink(delayMs, tmp) ? 0 : 1;
}
