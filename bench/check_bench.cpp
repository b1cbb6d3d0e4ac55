// A whole check of mail against a real Dovecot holding 2000 messages of about 20 KB:
// `tavikctl check` (retrieval, parsing, decoding, filing into New Mail, uidl.lst) against
// fetchmail (into a BSMTP file), getmail6 (into a Maildir, run as "nobody" since it refuses to
// deliver as root) and Python's poplib RETR loop writing one file per message, the protocol's
// floor. Each run starts from a fresh copy of the server's mail. Prints the medians and ratios.
//
//   check_bench [MESSAGES] [RUNS] [--no-getmail]
#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "peers/peer_fixtures.h"
#include "support/test_support.h"

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

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
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
    int count = 2000, runs = 3;
    bool getmail = true;
    std::vector<int> numbers;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--no-getmail")
            getmail = false;
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
        mail.push_back(message(n, 20 * 1024));

    // One timed run of `tool` against a fresh server; -1 when it failed.
    auto timed = [&](const std::string& name, const std::function<std::string(test::DovecotServer&, const std::string&)>& tool) {
        test::TempDir work;
        ::chmod(work.path().c_str(), 0777); // getmail runs as another user
        test::DovecotServer server;
        for (const auto& m : mail)
            server.addMessage(m);
        if (!server.start()) {
            std::fprintf(stderr, "Dovecot did not start: %s\n", server.error().c_str());
            return -1.0;
        }
        const std::string command = tool(server, work.path());
        QElapsedTimer t;
        t.start();
        const int status = run(command);
        const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
        if (status != 0) {
            std::fprintf(stderr, "%s failed (%d): %s\n", name.c_str(), status, command.c_str());
            return -1.0;
        }
        return seconds;
    };

    auto ours = [&](test::DovecotServer& s, const std::string& dir) {
        const std::string home = dir + "home";
        const std::string ctl = quoted(bin + "tavikctl") + " --home " + quoted(home);
        const std::string set = ctl + " set Pop3Server=127.0.0.1 Pop3Port=" + std::to_string(s.port()) + " ID=" +
            s.user() + " Password=" + s.password() + " AutoAddAddress=0 >/dev/null";
        if (run(set) != 0)
            return std::string("false");
        // Fails unless every message was filed.
        return ctl + " check | grep -q '^" + std::to_string(count) + " new message(s) filed'";
    };
    auto fetchmail = [&](test::DovecotServer& s, const std::string& dir) {
        const std::string rc = dir + "fetchmailrc";
        test::writeBytes(rc, "poll 127.0.0.1 protocol pop3 port " + std::to_string(s.port()) + " user \"" + s.user() +
                                 "\" password \"" + s.password() + "\" keep fetchall\n");
        ::chmod(rc.c_str(), 0600);
        return "fetchmail -s -f " + quoted(rc) + " --nosslcertck --bsmtp " + quoted(dir + "bsmtp") +
            " --pidfile " + quoted(dir + "fetchmail.pid") + " >/dev/null 2>&1; test -s " + quoted(dir + "bsmtp");
    };
    auto getmail6 = [&](test::DovecotServer& s, const std::string& dir) {
        const std::string md = dir + "Maildir/";
        for (const char* sub : {"", "cur", "new", "tmp"})
            ::mkdir((md + sub).c_str(), 0777);
        test::writeBytes(dir + "getmailrc", "[retriever]\ntype = SimplePOP3Retriever\nserver = 127.0.0.1\nport = " +
                                                std::to_string(s.port()) + "\nusername = " + s.user() +
                                                "\npassword = " + s.password() + "\n[destination]\ntype = Maildir\npath = " +
                                                md + "\n[options]\nread_all = true\ndelete = false\nverbose = 0\n");
        run("chown -R nobody " + quoted(dir));
        return "setpriv --reuid=nobody --regid=nogroup --clear-groups getmail --getmaildir " + quoted(dir) +
            " --rcfile getmailrc >/dev/null";
    };
    auto poplib = [&](test::DovecotServer& s, const std::string& dir) {
        const std::string script = dir + "retr_loop.py";
        test::writeBytes(script, "import poplib\np = poplib.POP3('127.0.0.1', " + std::to_string(s.port()) +
                                     ")\np.user('" + s.user() + "'); p.pass_('" + s.password() +
                                     "')\nn = p.stat()[0]\nfor i in range(1, n + 1):\n"
                                     "    lines = p.retr(i)[1]\n"
                                     "    with open('" + dir + "m%d' % i, 'wb') as f:\n"
                                     "        f.write(b'\\r\\n'.join(lines) + b'\\r\\n')\np.quit()\n");
        return "/usr/bin/python3 " + quoted(script);
    };

    struct Tool {
        std::string name;
        std::function<std::string(test::DovecotServer&, const std::string&)> make;
        std::vector<double> times;
    };
    std::vector<Tool> tools = {{"tavikctl check", ours, {}}, {"fetchmail (BSMTP file)", fetchmail, {}},
                               {"poplib loop, one file per message", poplib, {}}};
    if (getmail)
        tools.push_back({"getmail6 (Maildir)", getmail6, {}});
    for (int r = 0; r < runs; ++r)
        for (auto& t : tools) {
            const double s = timed(t.name, t.make);
            if (s < 0)
                return 1;
            t.times.push_back(s);
        }
    std::printf("check of %d messages of 20 KB from Dovecot, median of %d runs\n", count, runs);
    const double base = median(tools[0].times);
    for (const auto& t : tools) {
        const double m = median(t.times);
        std::printf("  %-36s %8.3f s   %6.2fx tavikctl's time\n", t.name.c_str(), m, m / base);
    }
    return 0;
}
