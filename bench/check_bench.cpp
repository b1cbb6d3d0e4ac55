// A whole check of mail against a real Dovecot holding 2000 messages of about 20 KB:
// `tavikctl check` (retrieval, parsing, decoding, filing into New Mail, uidl.lst) against
// fetchmail (into a BSMTP file), getmail6 (into a Maildir, run as "nobody" since it refuses to
// deliver as root) and Python's poplib RETR loop writing one file per message, the protocol's
// floor. Each run starts from a fresh copy of the server's mail. getmail6 takes over a minute a
// run, so it runs once; the others RUNS times. getmail6 installs its SIGCHLD handler only after
// forking the delivery child, so on a loaded machine a child can end unseen and the delivery
// fails after the retriever's timeout: it gets a short timeout and up to three attempts. Peak
// memory of each from /usr/bin/time -v when installed. Prints the medians, the ratios and a RESULT line per figure for scripts/bench.
//
// --attachments gives every message one attachment and every other one a second (2000
// messages: 3000 attachment files); --delay MS puts bench/delay_proxy.py in front of the server,
// adding MS each way, for every tool alike. The RESULT keys then begin "check_att." or
// "link_check." instead of "check.".
//
//   check_bench [MESSAGES] [RUNS] [--no-getmail] [--attachments] [--delay MS]
#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "peers/peer_fixtures.h"
#include "support/test_support.h"

#include "bench_results.h"
#include "delay_proxy.h"

using tavik::bench::Clock;
using tavik::bench::median;
using tavik::bench::secondsSince;

using namespace tavik;

namespace {

std::string message(int n, std::size_t size)
{
    std::string m = "From: Sender " + std::to_string(n) + " <sender" + std::to_string(n) +
        "@example.org>\nTo: you@example.org\nSubject: message " + std::to_string(n) +
        "\nDate: Wed, 09 Dec 2026 10:00:00 +0000\nMessage-ID: <" + std::to_string(n) + "@bench>\n\n";
    for (int line = 0; m.size() < size; ++line)
        m += "line " + std::to_string(line) + " of a message body that is long enough to be typical text.\n";
    m.resize(size - 1);
    m += '\n';
    return m;
}

// The same size with one attachment (two for even n) of base64 lines in the body.
std::string messageWithAttachments(int n, std::size_t size)
{
    const std::string boundary = "=-=bench-" + std::to_string(n);
    std::string m = "From: Sender " + std::to_string(n) + " <sender" + std::to_string(n) +
        "@example.org>\nTo: you@example.org\nSubject: message " + std::to_string(n) +
        "\nDate: Wed, 09 Dec 2026 10:00:00 +0000\nMessage-ID: <" + std::to_string(n) +
        "@bench>\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\n--" + boundary +
        "\nContent-Type: text/plain; charset=us-ascii\n\nThe text of message " + std::to_string(n) + ".\n";
    const int parts = n % 2 == 0 ? 2 : 1;
    const std::size_t room = size - m.size() - 200 * parts;
    for (int p = 1; p <= parts; ++p) {
        m += "--" + boundary + "\nContent-Type: application/octet-stream; name=\"data" + std::to_string(p) +
             ".bin\"\nContent-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"data" +
             std::to_string(p) + ".bin\"\n\n";
        const std::size_t lines = room / parts / 77;
        for (std::size_t l = 0; l < lines; ++l)
            m += std::string(76, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[(n + l + p) % 64]) + "\n";
    }
    m += "--" + boundary + "--\n";
    return m;
}

const bool haveTime = ::access("/usr/bin/time", X_OK) == 0;

// The peak resident memory /usr/bin/time -v wrote to `report`, in KB; 0 when none.
long peakKb(const std::string& report)
{
    const std::string text = test::fileBytes(report);
    const std::string label = "Maximum resident set size (kbytes): ";
    const auto at = text.find(label);
    return at == std::string::npos ? 0 : std::atol(text.c_str() + at + label.size());
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

int run(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int count = 2000, runs = 5;
    bool getmail = true, attachments = false;
    int delayMs = 0;
    std::vector<int> numbers;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--no-getmail")
            getmail = false;
        else if (a == "--attachments")
            attachments = true;
        else if (a == "--delay" && i + 1 < argc)
            delayMs = std::atoi(argv[++i]);
        else
            numbers.push_back(std::atoi(argv[i]));
    }
    if (!numbers.empty())
        count = numbers[0];
    if (numbers.size() > 1)
        runs = numbers[1];
    const std::string bin = QCoreApplication::applicationDirPath().toStdString() + "/";
    std::vector<std::string> mail;
    for (int n = 1; n <= count; ++n)
        mail.push_back(attachments ? messageWithAttachments(n, 20 * 1024) : message(n, 20 * 1024));
    const std::string prefix = delayMs > 0 ? "link_check" : attachments ? "check_att" : "check";

    // One timed run of `tool` against a fresh server; -1 when it failed. The tool's command puts
    // its program behind `measured(dir)`, which leaves its peak memory in dir + "time.txt".
    long peak = 0;
    int port = 0; // where the tools connect: the server, or the proxy in front of it
    auto measured = [](const std::string& dir) {
        return haveTime ? "/usr/bin/time -v -o " + quoted(dir + "time.txt") + " " : std::string();
    };
    // The files of every run stay until the end: on a file system without a journal, ext4
    // scans past recently deleted inodes for each file it creates, so deleting a run's thousands
    // of files would slow the next run's creations by far more than their writing costs.
    std::vector<std::unique_ptr<test::TempDir>> kept;
    std::vector<std::unique_ptr<test::DovecotServer>> keptServers;
    auto timed = [&](const std::string& name, const std::function<std::string(test::DovecotServer&, const std::string&)>& tool) {
        test::TempDir& work = *kept.emplace_back(std::make_unique<test::TempDir>());
        ::chmod(work.path().c_str(), 0777); // getmail runs as another user
        test::DovecotServer& server = *keptServers.emplace_back(std::make_unique<test::DovecotServer>());
        for (const auto& m : mail)
            server.addMessage(m);
        if (!server.start()) {
            std::fprintf(stderr, "Dovecot did not start: %s\n", server.error().c_str());
            return -1.0;
        }
        // Through the proxy when asked for: every tool meets the same round trips.
        bench::Proxy proxy;
        port = delayMs > 0 ? proxy.start(server.port(), delayMs) : server.port();
        if (port <= 0)
            return -1.0;
        const std::string command = tool(server, work.path());
        // The server's freshly written mail goes to disk first: a tool that flushes its own
        // writes would otherwise pay for the server's too.
        ::sync();
        QElapsedTimer t;
        t.start();
        const int status = run(command);
        const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
        if (status != 0) {
            std::fprintf(stderr, "%s failed (%d): %s\n", name.c_str(), status, command.c_str());
            return -1.0;
        }
        peak = peakKb(work.path() + "time.txt");
        server.stop();
        return seconds;
    };

    auto ours = [&](test::DovecotServer& s, const std::string& dir) {
        const std::string home = dir + "home";
        const std::string ctl = quoted(bin + "tavikctl") + " --home " + quoted(home);
        const std::string set = ctl + " set Pop3Server=127.0.0.1 Pop3Port=" + std::to_string(port) + " ID=" +
            s.user() + " Password=" + s.password() + " AutoAddAddress=0 >/dev/null";
        if (run(set) != 0)
            return std::string("false");
        // Fails unless every message was filed.
        return measured(dir) + ctl + " check | grep -q '^" + std::to_string(count) + " new message(s) filed'";
    };
    auto fetchmail = [&](test::DovecotServer& s, const std::string& dir) {
        const std::string rc = dir + "fetchmailrc";
        test::writeBytes(rc, "poll 127.0.0.1 protocol pop3 port " + std::to_string(port) + " user \"" + s.user() +
                                 "\" password \"" + s.password() + "\" keep fetchall\n");
        ::chmod(rc.c_str(), 0600);
        return measured(dir) + "fetchmail -s -f " + quoted(rc) + " --nosslcertck --bsmtp " + quoted(dir + "bsmtp") +
            " --pidfile " + quoted(dir + "fetchmail.pid") + " >/dev/null 2>&1; test -s " + quoted(dir + "bsmtp");
    };
    auto getmail6 = [&](test::DovecotServer& s, const std::string& dir) {
        const std::string md = dir + "Maildir/";
        for (const char* sub : {"", "cur", "new", "tmp"})
            ::mkdir((md + sub).c_str(), 0777);
        test::writeBytes(dir + "getmailrc", "[retriever]\ntype = SimplePOP3Retriever\nserver = 127.0.0.1\nport = " +
                                                std::to_string(port) + "\nusername = " + s.user() +
                                                "\npassword = " + s.password() + "\ntimeout = 10\n[destination]\ntype = Maildir\npath = " +
                                                md + "\n[options]\nread_all = true\ndelete = false\nverbose = 0\n");
        run("chown -R nobody " + quoted(dir));
        return measured(dir) + "setpriv --reuid=nobody --regid=nogroup --clear-groups getmail --getmaildir " + quoted(dir) +
            " --rcfile getmailrc >/dev/null";
    };
    auto poplib = [&](test::DovecotServer& s, const std::string& dir) {
        const std::string script = dir + "retr_loop.py";
        test::writeBytes(script, "import poplib\np = poplib.POP3('127.0.0.1', " + std::to_string(port) +
                                     ")\np.user('" + s.user() + "'); p.pass_('" + s.password() +
                                     "')\nn = p.stat()[0]\nfor i in range(1, n + 1):\n"
                                     "    lines = p.retr(i)[1]\n"
                                     "    with open('" + dir + "m%d' % i, 'wb') as f:\n"
                                     "        f.write(b'\\r\\n'.join(lines) + b'\\r\\n')\np.quit()\n");
        return measured(dir) + "/usr/bin/python3 " + quoted(script);
    };

    struct Tool {
        std::string name, key;
        std::function<std::string(test::DovecotServer&, const std::string&)> make;
        int runs, attempts;
        std::vector<double> times;
        long peakKb = 0;
        int failures = 0;
    };
    std::vector<Tool> tools = {{"tavikctl check", "tavikctl", ours, runs, 1, {}},
                               {"fetchmail (BSMTP file)", "fetchmail", fetchmail, runs, 1, {}},
                               {"poplib loop, one file per message", "poplib", poplib, runs, 1, {}}};
    if (getmail)
        tools.push_back({"getmail6 (Maildir)", "getmail6", getmail6, 1, 3, {}});
    for (int r = 0; r < runs; ++r)
        for (auto& t : tools) {
            if (static_cast<int>(t.times.size()) >= t.runs || t.failures >= t.attempts)
                continue;
            double s = -1;
            while (s < 0 && t.failures < t.attempts) {
                s = timed(t.name, t.make);
                if (s < 0)
                    ++t.failures;
            }
            // Without our own figure there is nothing to compare; a failed peer only loses its row.
            if (s < 0 && &t == &tools[0])
                return 1;
            if (s >= 0) {
                t.times.push_back(s);
                t.peakKb = std::max(t.peakKb, peak);
            }
        }
    std::printf("check of %d messages of 20 KB%s from Dovecot%s, medians of %d runs (getmail6: 1)\n", count,
                attachments ? " with attachments" : "",
                delayMs > 0 ? (" through a proxy adding " + std::to_string(delayMs) + " ms each way").c_str() : "", runs);
    const double base = median(tools[0].times);
    for (const auto& t : tools) {
        const double m = median(t.times);
        if (t.times.empty()) {
            std::printf("  %-36s failed\n", t.name.c_str());
            continue;
        }
        std::printf("  %-36s %8.3f s   %6.2fx tavikctl's time", t.name.c_str(), m, m / base);
        if (t.peakKb)
            std::printf("   peak RSS %ld KB", t.peakKb);
        if (t.failures)
            std::printf("   (%d failed attempt(s) before)", t.failures);
        std::printf("\n");
    }
    for (const auto& t : tools) {
        if (t.times.empty())
            continue;
        std::printf("RESULT %s.%s %.6g s %zu\n", prefix.c_str(), t.key.c_str(), median(t.times), t.times.size());
        if (t.peakKb)
            std::printf("RESULT %s.%s.peak %ld KB 1\n", prefix.c_str(), t.key.c_str(), t.peakKb);
    }
    std::printf("RESULT %s.bytes %zu bytes 1\n", prefix.c_str(), mail.size() * 20 * 1024);
    return 0;
}
