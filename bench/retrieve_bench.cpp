// Retrieval speed against a real Dovecot: 2000 messages of 20 KB, once with GetMail through the
// parser into an attachment store, once with Python's poplib doing the same RETR loop, in the
// same run against the same server. Prints the medians of 5 runs of each, the ratio and a RESULT
// line per figure for scripts/bench.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "peers/peer_fixtures.h"
#include "pop3/attachment_store.h"
#include "pop3/get_mail.h"
#include "support/test_support.h"

#include "bench_results.h"

using tavik::bench::Clock;
using tavik::bench::median;
using tavik::bench::secondsSince;

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

constexpr int kRuns = 5;

double peakMegabytes()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::size_t size = 20 * 1024;

    test::TempDir tmp;
    test::DovecotServer server;
    for (int n = 1; n <= count; ++n)
        server.addMessage(message(n, size));
    if (!server.start()) {
        std::fprintf(stderr, "Dovecot did not start: %s\n%s\n", server.error().c_str(), server.log().c_str());
        return 1;
    }

    // A warm-up login so that neither side pays Dovecot's first index build.
    {
        const std::string warm = "/usr/bin/python3 -c \"import poplib; p = poplib.POP3('127.0.0.1', " +
            std::to_string(server.port()) + "); p.user('" + server.user() + "'); p.pass_('" + server.password() +
            "'); p.uidl(); p.quit()\"";
        if (std::system(warm.c_str()) != 0)
            return 1;
    }

    TAttachmentManager store;
    store.SetAttachmentDirectory(tmp.path() + "attachments/");
    std::int64_t bytes = 0;
    // One whole retrieval; -1 when it did not bring every message.
    auto retrieve = [&]() -> double {
        GetMail mail;
        mail.SetMail_Server(server.host());
        mail.Mail_Port = server.port();
        mail.User_ID = server.user();
        mail.User_Password = server.password();
        mail.TimeoutIdle = 60;
        int loaded = 0, errors = 0;
        bool done = false;
        bytes = 0;
        mail.OnMessageLoaded = [&] {
            ++loaded;
            bytes += mail.MessageSize();
        };
        mail.OnMailError = [&](int, const std::string& text) {
            ++errors;
            std::fprintf(stderr, "error: %s\n", text.c_str());
        };
        // A real event loop, as in the program: QTest::qWaitFor sleeps between its rounds.
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
        const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
        if (!done || errors || loaded != count) {
            std::fprintf(stderr, "GetMail retrieved %d of %d messages\n", loaded, count);
            return -1;
        }
        return seconds;
    };
    std::vector<double> oursRuns;
    for (int run = 0; run < kRuns; ++run) {
        const double s = retrieve();
        if (s < 0)
            return 1;
        oursRuns.push_back(s);
    }
    const double ours = median(oursRuns);

    const std::string script = "import poplib, time\n"
                               "for run in range(" + std::to_string(kRuns) + "):\n"
                               "    t = time.perf_counter()\n" // from the connection on, as ours
                               "    p = poplib.POP3('127.0.0.1', " + std::to_string(server.port()) + ")\n"
                               "    p.user('" + server.user() + "'); p.pass_('" + server.password() + "')\n"
                               "    p.uidl()\n"
                               "    n = p.stat()[0]\n"
                               "    for i in range(1, n + 1):\n"
                               "        p.retr(i)\n"
                               "    p.quit()\n"
                               "    print(time.perf_counter() - t, flush=True)\n";
    test::writeBytes(tmp.path() + "poplib_loop.py", script);
    FILE* pipe = popen(("/usr/bin/python3 '" + tmp.path() + "poplib_loop.py'").c_str(), "r");
    std::vector<double> pythonRuns;
    char buffer[64] = {};
    while (pipe && fgets(buffer, sizeof buffer, pipe))
        pythonRuns.push_back(std::atof(buffer));
    if (pipe)
        pclose(pipe);
    if (pythonRuns.size() != static_cast<std::size_t>(kRuns))
        return 1;
    const double python = median(pythonRuns);

    const double megabytes = static_cast<double>(bytes) / 1e6;
    std::printf("retrieve %d messages of %zu bytes from Dovecot (%.1f MB), medians of %d runs\n", count, size,
                megabytes, kRuns);
    std::printf("  GetMail + parser + store: %.3f s  %.1f MB/s  %.0f messages/s\n", ours, megabytes / ours, count / ours);
    std::printf("  Python poplib RETR loop:  %.3f s  %.1f MB/s  %.0f messages/s\n", python, megabytes / python,
        count / python);
    std::printf("  ratio (poplib time / ours): %.2f\n", python / ours);
    std::printf("  peak resident memory of this process: %.1f MB\n", peakMegabytes());
    std::printf("RESULT retrieve.getmail.tavik %.6g s %d\n", ours, kRuns);
    std::printf("RESULT retrieve.poplib.python %.6g s %d\n", python, kRuns);
    std::printf("RESULT retrieve.getmail.peak %.0f KB 1\n", peakMegabytes() * 1024);
    std::printf("RESULT retrieve.bytes %lld bytes 1\n", static_cast<long long>(bytes));
    return 0;
}
