// What a secure connection costs, against the peers on the same servers in the same run.
// Check: 2000 messages of about 20 KB from a Dovecot with the fixtures' certificate, `tavikctl
// check` over POP3S against our own plain check of the same server, Python's poplib.POP3_SSL RETR
// loop writing one file per message and fetchmail with --ssl (into a BSMTP file). Send: the
// 28.7 MB message (20 MB attachment, base64) through aiosmtpd requiring STARTTLS and AUTH, by
// SendMail (STARTTLS, AUTH PLAIN) against our plain send of it, smtplib (starttls, login) and
// msmtp (tls on, auth on). Every side trusts the fixtures' CA. Medians of RUNS (default 5); peak
// memory of tavikctl and the peers from /usr/bin/time -v, SendMail's from getrusage. A RESULT
// line per figure for scripts/bench.
//
//   tls_bench [MESSAGES] [RUNS]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "peers/peer_fixtures.h"
#include "peers/test_certificates.h"
#include "smtp/send_mail.h"
#include "support/test_support.h"

#include "bench_results.h"

using tavik::bench::median;
using tavik::bench::writeRandomFile;

using namespace tavik;
using namespace tavik::test;
namespace fs = std::filesystem;

namespace {

const bool haveTime = ::access("/usr/bin/time", X_OK) == 0;
const char* const kSmtpUser = "sam";
const char* const kSmtpPassword = "bench-secret";

std::string quoted(const std::string& s) { return "'" + s + "'"; }

int run(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

std::string measured(const std::string& dir)
{
    return haveTime ? "/usr/bin/time -v -o " + quoted(dir + "time.txt") + " " : std::string();
}

long peakKb(const std::string& report)
{
    const std::string text = fileBytes(report);
    const std::string label = "Maximum resident set size (kbytes): ";
    const auto at = text.find(label);
    return at == std::string::npos ? 0 : std::atol(text.c_str() + at + label.size());
}

std::string message(int n, std::size_t size)
{
    std::string m = "From: Sender " + std::to_string(n) + " <sender" + std::to_string(n) +
        "@example.org>\nTo: you@example.org\nSubject: message " + std::to_string(n) +
        "\nDate: Wed, 09 Dec 2026 10:00:00 +0000\nMessage-ID: <" + std::to_string(n) + "@tls-bench>\n\n";
    for (int line = 0; m.size() < size; ++line)
        m += "line " + std::to_string(line) + " of a message body that is long enough to be typical text.\n";
    m.resize(size - 1);
    m += '\n';
    return m;
}

struct Figure {
    std::string name, key;
    std::vector<double> times;
    long peakKb = 0;
    int failures = 0;
    void add(double seconds, long peak)
    {
        if (seconds < 0) {
            ++failures;
            return;
        }
        times.push_back(seconds);
        peakKb = std::max(peakKb, peak);
    }
};

void print(const char* what, const std::vector<Figure>& figures, const Figure& base)
{
    std::printf("%s\n", what);
    const double b = median(base.times);
    for (const Figure& f : figures) {
        if (f.times.empty()) {
            std::printf("  %-40s failed\n", f.name.c_str());
            continue;
        }
        std::printf("  %-40s %8.3f s   %5.2fx %s", f.name.c_str(), median(f.times), median(f.times) / b,
                    base.name.c_str());
        if (f.peakKb)
            std::printf("   peak RSS %ld KB", f.peakKb);
        if (f.failures)
            std::printf("   (%d failed)", f.failures);
        std::printf("\n");
    }
}

void results(const char* prefix, const std::vector<Figure>& figures)
{
    for (const Figure& f : figures) {
        if (f.times.empty())
            continue;
        std::printf("RESULT %s.%s %.6g s %zu\n", prefix, f.key.c_str(), median(f.times), f.times.size());
        if (f.peakKb)
            std::printf("RESULT %s.%s.peak %ld KB 1\n", prefix, f.key.c_str(), f.peakKb);
    }
}

// ---- check ------------------------------------------------------------------------------

bool benchCheck(int count, int runs)
{
    const std::string bin = QCoreApplication::applicationDirPath().toStdString() + "/";
    const std::string ca = testCertificates().ca.certificate;
    std::vector<std::string> mail;
    for (int n = 1; n <= count; ++n)
        mail.push_back(message(n, 20 * 1024));

    auto timed = [&](Figure& figure, const std::function<std::string(DovecotServer&, const std::string&)>& tool) {
        TempDir work;
        DovecotServer server;
        server.useCertificate(testCertificates().server);
        for (const auto& m : mail)
            server.addMessage(m);
        if (!server.start()) {
            std::fprintf(stderr, "Dovecot did not start: %s\n", server.error().c_str());
            figure.add(-1, 0);
            return;
        }
        const std::string command = tool(server, work.path());
        QElapsedTimer t;
        t.start();
        const int status = run(command);
        const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
        if (status != 0)
            std::fprintf(stderr, "%s failed (%d): %s\n", figure.name.c_str(), status, command.c_str());
        figure.add(status == 0 ? seconds : -1, peakKb(work.path() + "time.txt"));
    };
    auto ours = [&](bool tls) {
        return [&, tls](DovecotServer& s, const std::string& dir) {
            const std::string ctl = quoted(bin + "tavikctl") + " --home " + quoted(dir + "home");
            const std::string set = ctl + " set Pop3Server=127.0.0.1 Pop3Port=" +
                std::to_string(tls ? s.tlsPort() : s.port()) + " Pop3Security=" + (tls ? "tls" : "none") +
                " CaFile=" + quoted(ca) + " ID=" + s.user() + " Password=" + s.password() +
                " AutoAddAddress=0 >/dev/null";
            if (run(set) != 0)
                return std::string("false");
            return measured(dir) + ctl + " check | grep -q '^" + std::to_string(count) + " new message(s) filed'";
        };
    };
    auto poplib = [&](DovecotServer& s, const std::string& dir) {
        const std::string script = dir + "retr_loop.py";
        writeBytes(script, "import poplib, ssl\nc = ssl.create_default_context(cafile='" + ca +
                               "')\np = poplib.POP3_SSL('127.0.0.1', " + std::to_string(s.tlsPort()) +
                               ", context=c)\np.user('" + s.user() + "'); p.pass_('" + s.password() +
                               "')\nn = p.stat()[0]\nfor i in range(1, n + 1):\n"
                               "    lines = p.retr(i)[1]\n"
                               "    with open('" + dir + "m%d' % i, 'wb') as f:\n"
                               "        f.write(b'\\r\\n'.join(lines) + b'\\r\\n')\np.quit()\n");
        return measured(dir) + "/usr/bin/python3 " + quoted(script);
    };
    auto fetchmail = [&](DovecotServer& s, const std::string& dir) {
        const std::string rc = dir + "fetchmailrc";
        // fetchmail matches the name against the certificate's DNS names only, never its IP address.
        writeBytes(rc, "poll localhost protocol pop3 port " + std::to_string(s.tlsPort()) + " user \"" + s.user() +
                           "\" password \"" + s.password() + "\" keep fetchall ssl sslcertck sslcertfile \"" + ca +
                           "\"\n");
        ::chmod(rc.c_str(), 0600);
        return measured(dir) + "fetchmail -s -f " + quoted(rc) + " --bsmtp " + quoted(dir + "bsmtp") +
            " --pidfile " + quoted(dir + "fetchmail.pid") + " >/dev/null 2>&1; test -s " + quoted(dir + "bsmtp");
    };

    std::vector<Figure> figures = {{"tavikctl check, plain", "plain", {}},
                                   {"tavikctl check, POP3S", "tls", {}},
                                   {"poplib.POP3_SSL loop, file per message", "poplib_ssl", {}},
                                   {"fetchmail --ssl (BSMTP file)", "fetchmail_ssl", {}}};
    const bool haveFetchmail = !QStandardPaths::findExecutable(QStringLiteral("fetchmail")).isEmpty();
    for (int r = 0; r < runs; ++r) {
        timed(figures[0], ours(false));
        timed(figures[1], ours(true));
        timed(figures[2], poplib);
        if (haveFetchmail)
            timed(figures[3], fetchmail);
    }
    char title[160];
    std::snprintf(title, sizeof title, "check of %d messages of 20 KB from Dovecot over TLS, medians of %d runs", count,
                  runs);
    print(title, figures, figures[1]);
    results("tls_check", figures);
    std::printf("RESULT tls_check.bytes %zu bytes 1\n", mail.size() * 20 * 1024);
    return !figures[0].times.empty() && !figures[1].times.empty();
}

// ---- send -------------------------------------------------------------------------------

long ownPeakKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// One SendMail send of the attachment; seconds, or -1.
double sendOurs(const SmtpSink& sink, const std::string& attachment, bool secure)
{
    SendMail m;
    m.SetSMTP_Server(sink.host());
    m.SMTP_Port = sink.port();
    if (secure) {
        m.SMTP_Security = ConnectionSecurity::StartTls;
        m.CaFile = testCertificates().ca.certificate;
        m.SMTP_User = kSmtpUser;
        m.SMTP_Password = kSmtpPassword;
    }
    m.FROM_Name = "Sam Sender";
    m.FROM_Address = "sam@example.org";
    m.ListTo = {"ann@example.net|Ann Example"};
    m.Subject = "Benchmark message";
    m.MailText = {"The file is attached."};
    TOutgoingAttachment a;
    a.Path = attachment;
    a.MimeType = "application/octet-stream";
    m.AddAttachment(a);
    m.OnMailInfo = [](int, const std::string&) {};
    bool failed = false;
    m.OnMailError = [&](int code, const std::string& text) {
        failed = true;
        std::fprintf(stderr, "send failed: %d %s\n", code, text.c_str());
    };
    QEventLoop loop;
    bool done = false;
    m.OnDone = [&] {
        done = true;
        loop.quit();
    };
    QTimer::singleShot(300000, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    m.SetAction(TMailAction::Send_Mail);
    if (!done)
        loop.exec();
    const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
    return done && m.QuitSent && !failed ? seconds : -1;
}

const char* const kSmtplibPeer = R"PY(
import smtplib, ssl, sys, time
port, path, ca, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
data = open(path, "rb").read()
start = time.perf_counter()
with smtplib.SMTP("127.0.0.1", port, local_hostname="localhost") as s:
    s.starttls(context=ssl.create_default_context(cafile=ca))
    s.login(user, password)
    s.sendmail("sam@example.org", ["ann@example.net"], data)
print(time.perf_counter() - start)
)PY";

std::size_t stored(const SmtpSink& sink)
{
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(sink.directory()))
        n += e.path().extension() == ".json";
    return n;
}

// True when the sink holds exactly one message; keeps it at `sampleTo` when asked; empties it.
bool collect(const SmtpSink& sink, const std::string& sampleTo = {})
{
    std::vector<std::string> contents;
    for (const auto& e : fs::directory_iterator(sink.directory()))
        if (e.path().extension() == ".content")
            contents.push_back(e.path().string());
    const bool one = stored(sink) == 1 && contents.size() == 1;
    if (one && !sampleTo.empty())
        fs::copy_file(contents.front(), sampleTo, fs::copy_options::overwrite_existing);
    for (const auto& e : fs::directory_iterator(sink.directory()))
        fs::remove(e.path());
    return one;
}

bool benchSend(int runs)
{
    TempDir dir;
    const std::string ca = testCertificates().ca.certificate;
    SmtpSink secure, plain;
    secure.offerStartTls(testCertificates().server, true);
    secure.acceptLogin(kSmtpUser, kSmtpPassword, true);
    if (!secure.start() || !plain.start()) {
        std::fprintf(stderr, "the SMTP sinks did not start: %s %s\n", secure.error().c_str(), plain.error().c_str());
        return false;
    }
    const std::string attachment = dir.path() + "attachment.bin";
    writeRandomFile(attachment, 20 * 1000 * 1000);
    const std::string large = dir.path() + "large.eml";
    const std::string script = dir.path() + "smtplib_tls.py";
    writeBytes(script, kSmtplibPeer);
    const std::string msmtprc = dir.path() + "msmtprc";
    writeBytes(msmtprc, "");
    fs::permissions(msmtprc, fs::perms::owner_read | fs::perms::owner_write);
    const bool haveMsmtp = !QStandardPaths::findExecutable(QStringLiteral("msmtp")).isEmpty();

    std::vector<Figure> figures = {{"SendMail, plain", "plain", {}},
                                   {"SendMail, STARTTLS + AUTH", "tls", {}},
                                   {"smtplib, starttls + login", "smtplib_tls", {}},
                                   {"msmtp, tls + auth", "msmtp_tls", {}}};
    bool ok = true;
    for (int r = 0; r < runs; ++r) {
        figures[0].add(sendOurs(plain, attachment, false), 0);
        ok = collect(plain) && ok;
        figures[1].add(sendOurs(secure, attachment, true), 0);
        ok = collect(secure, r == 0 ? large : std::string()) && ok;
        if (!fs::exists(large))
            break;

        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"),
                     {QString::fromStdString(script), QString::number(secure.port()), QString::fromStdString(large),
                      QString::fromStdString(ca), QString::fromLatin1(kSmtpUser), QString::fromLatin1(kSmtpPassword)});
        const bool pyOk = python.waitForFinished(600000) && python.exitCode() == 0;
        if (!pyOk)
            std::fprintf(stderr, "smtplib failed: %s\n", python.readAllStandardError().constData());
        figures[2].add(pyOk ? python.readAllStandardOutput().trimmed().toDouble() : -1, 0);
        ok = collect(secure) && ok;

        if (haveMsmtp) {
            const std::string command = measured(dir.path()) + "msmtp --file=" + quoted(msmtprc) +
                " --host=127.0.0.1 --port=" + std::to_string(secure.port()) +
                " --tls=on --tls-starttls=on --tls-trust-file=" + quoted(ca) + " --auth=on --user=" + kSmtpUser +
                " --passwordeval='echo " + kSmtpPassword + "' --domain=localhost --from=sam@example.org"
                " -- ann@example.net < " + quoted(large);
            QElapsedTimer t;
            t.start();
            const int status = run(command);
            figures[3].add(status == 0 ? static_cast<double>(t.nsecsElapsed()) / 1e9 : -1,
                           peakKb(dir.path() + "time.txt"));
            ok = collect(secure) && ok;
        }
    }
    figures[1].peakKb = ownPeakKb();
    const std::uintmax_t bytes = fs::exists(large) ? fs::file_size(large) : 0;
    char title[160];
    std::snprintf(title, sizeof title, "send of one message of %ju bytes (20 MB attachment) to aiosmtpd, medians of %d runs",
                  bytes, runs);
    print(title, figures, figures[1]);
    std::printf("(SendMail's peak RSS is the benchmark process's before the check's messages are made)\n");
    results("tls_send", figures);
    std::printf("RESULT tls_send.bytes %ju bytes 1\n", bytes);
    return ok && !figures[1].times.empty();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int count = 2000, runs = 5;
    if (argc > 1)
        count = std::atoi(argv[1]);
    if (argc > 2)
        runs = std::atoi(argv[2]);
    const bool sent = benchSend(runs);
    const bool checked = benchCheck(count, runs);
    return sent && checked ? 0 : 1;
}
