// Retrieval over a link with round trips: 2000 messages of 20 KB from a real Dovecot, through
// bench/delay_proxy.py adding a fixed delay each way (25 ms: 50 ms of round trip), with GetMail
// (pipelined, as Dovecot offers PIPELINING) and with Python's poplib RETR loop, which waits for
// each answer. Prints both and a RESULT line per figure for scripts/bench.
//   link_bench [MESSAGES] [DELAY_MS_EACH_WAY]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "peers/peer_fixtures.h"
#include "pop3/get_mail.h"
#include "support/test_support.h"

using namespace tavik;

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
    // The proxy reads our end of a pipe: it stops when this process ends.
    int toProxy[2], fromProxy[2];
    if (pipe(toProxy) != 0 || pipe(fromProxy) != 0)
        return 1;
    const pid_t proxy = fork();
    if (proxy == 0) {
        dup2(toProxy[0], 0);
        dup2(fromProxy[1], 1);
        close(toProxy[1]);
        close(fromProxy[0]);
        execl("/usr/bin/python3", "python3", DELAY_PROXY_PATH, std::to_string(server.port()).c_str(),
              std::to_string(delayMs).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(toProxy[0]);
    close(fromProxy[1]);
    char portText[32] = {};
    const ssize_t got = read(fromProxy[0], portText, sizeof portText - 1);
    const int port = got > 0 ? std::atoi(portText) : 0;
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
    test::writeBytes(tmp.path() + "poplib_loop.py", script);
    FILE* py = popen(("/usr/bin/python3 '" + tmp.path() + "poplib_loop.py'").c_str(), "r");
    char buffer[64] = {};
    const double python = py && fgets(buffer, sizeof buffer, py) ? std::atof(buffer) : -1;
    if (py)
        pclose(py);
    close(toProxy[1]);
    int status = 0;
    waitpid(proxy, &status, 0);
    if (python <= 0)
        return 1;

    std::printf("retrieve %d messages of %zu bytes through a proxy adding %d ms each way (%d ms round trip)\n",
                count, size, delayMs, 2 * delayMs);
    std::printf("  GetMail, %s:   %.2f s\n", mail.Pipelined() ? "pipelined" : "one at a time", ours);
    std::printf("  Python poplib RETR loop: %.2f s\n", python);
    std::printf("  ratio (poplib time / ours): %.1f\n", python / ours);
    std::printf("RESULT link.getmail.tavik %.6g s 1\n", ours);
    std::printf("RESULT link.poplib.python %.6g s 1\n", python);
    return 0;
}
