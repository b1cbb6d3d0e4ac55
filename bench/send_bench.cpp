// SendMail against its peers, all sending to the same real SMTP server (aiosmtpd) in the same
// run: 200 messages of about 20 KB, one connection per message (as the send dialog does) and
// all on one kept connection, and one message with a 20 MB attachment (base64). The peers send
// the very bytes SendMail delivered (read back from the server's store): Python's smtplib
// (timed inside Python, interpreter start excluded) and msmtp when installed (one process per
// message, as it is used), each run after ours. Medians of 5 runs; our peak resident memory from getrusage. A RESULT
// line per figure for scripts/bench.
#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "peers/peer_fixtures.h"
#include "smtp/send_mail.h"
#include "support/test_support.h"

#include "bench_results.h"

using tavik::bench::Clock;
using tavik::bench::median;
using tavik::bench::writeRandomFile;
using tavik::bench::secondsSince;

using namespace tavik;
using namespace tavik::test;
namespace fs = std::filesystem;

namespace {

constexpr int kMessages = 200;
constexpr std::size_t kBodyBytes = 20 * 1024;
constexpr std::size_t kAttachmentBytes = 20 * 1000 * 1000;
constexpr int kRuns = 5;
const char* const kFrom = "sam@example.org";
const char* const kTo = "ann@example.net";

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The line scripts/bench collects: "RESULT <key> <median> s <runs>".
void result(const char* key, const std::vector<double>& runs)
{
    if (!runs.empty())
        std::printf("RESULT send.%s %.6g s %zu\n", key, median(runs), runs.size());
}

std::vector<std::string> benchBody()
{
    std::vector<std::string> lines;
    std::size_t size = 0;
    for (int n = 0; size < kBodyBytes; ++n) {
        lines.push_back("Line " + std::to_string(n) + " of the benchmark message, with words to fill it to 72.");
        size += lines.back().size() + 2;
    }
    return lines;
}

// The stored messages of the sink, oldest first.
std::vector<std::string> storedContents(const SmtpSink& sink)
{
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(sink.directory()))
        if (e.path().extension() == ".content")
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

void clearStore(const SmtpSink& sink)
{
    for (const auto& e : fs::directory_iterator(sink.directory()))
        fs::remove(e.path());
}

struct Sender {
    SmtpSink& sink;
    std::vector<std::string> body;
    int failures = 0;

    void fill(SendMail& m, bool withBody)
    {
        m.SetSMTP_Server(sink.host());
        m.SMTP_Port = sink.port();
        m.FROM_Name = "Sam Sender";
        m.FROM_Address = kFrom;
        m.TO_Address.clear();
        m.TO_Name.clear();
        m.ListTo = {std::string(kTo) + "|Ann Example"};
        m.Subject = "Benchmark message";
        if (withBody)
            m.MailText = body;
        // A listener, as the send dialog has: the session then reports every write.
        m.OnMailInfo = [](int, const std::string&) {};
        m.OnMailError = [this](int code, const std::string& text) {
            ++failures;
            std::fprintf(stderr, "send failed: %d %s\n", code, text.c_str());
        };
    }

    // Runs one send to its end.
    void run(SendMail& m)
    {
        QEventLoop loop;
        bool done = false;
        m.OnDone = [&] {
            done = true;
            loop.quit();
        };
        QTimer::singleShot(300000, &loop, &QEventLoop::quit);
        m.SetAction(TMailAction::Send_Mail);
        if (!done)
            loop.exec();
        if (!done || !m.QuitSent)
            ++failures;
    }

    double perConnection()
    {
        const auto t0 = Clock::now();
        for (int i = 0; i < kMessages; ++i) {
            SendMail m;
            fill(m, true);
            run(m);
        }
        return std::chrono::duration<double>(Clock::now() - t0).count();
    }

    double keptConnection()
    {
        const auto t0 = Clock::now();
        SendMail m;
        m.KeepConnectionOpen = true;
        for (int i = 0; i < kMessages; ++i) {
            fill(m, true);
            run(m);
        }
        m.Disconnect();
        return std::chrono::duration<double>(Clock::now() - t0).count();
    }

    double large(const std::string& path)
    {
        const auto t0 = Clock::now();
        SendMail m;
        fill(m, false);
        m.MailText = {"The file is attached."};
        TOutgoingAttachment a;
        a.Path = path;
        a.MimeType = "application/octet-stream";
        m.AddAttachment(a);
        run(m);
        return std::chrono::duration<double>(Clock::now() - t0).count();
    }
};

const char* const kPythonPeer = R"PY(
import smtplib, sys, time
port, mode, path, count = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
data = open(path, "rb").read()
start = time.perf_counter()
if mode == "per-connection":
    for _ in range(count):
        with smtplib.SMTP("127.0.0.1", port, local_hostname="localhost") as s:
            s.sendmail("sam@example.org", ["ann@example.net"], data)
else:
    with smtplib.SMTP("127.0.0.1", port, local_hostname="localhost") as s:
        for _ in range(count):
            s.sendmail("sam@example.org", ["ann@example.net"], data)
print(time.perf_counter() - start)
)PY";

double runPython(const std::string& script, const SmtpSink& sink, const char* mode, const std::string& message, int count)
{
    QProcess python;
    python.start("/usr/bin/python3", QStringList{QString::fromStdString(script), QString::number(sink.port()),
                                                 QString::fromLatin1(mode), QString::fromStdString(message),
                                                 QString::number(count)});
    if (!python.waitForFinished(600000) || python.exitCode() != 0) {
        std::fprintf(stderr, "python failed: %s\n", python.readAllStandardError().constData());
        return -1;
    }
    return python.readAllStandardOutput().trimmed().toDouble();
}

// One msmtp process per message, timed from outside (its start is part of its cost).
double runMsmtp(const std::string& config, const SmtpSink& sink, const std::string& message, int count)
{
    const QStringList args{QStringLiteral("--file=") + QString::fromStdString(config),
                           QStringLiteral("--host=127.0.0.1"),
                           QStringLiteral("--port=") + QString::number(sink.port()),
                           QStringLiteral("--auth=off"),
                           QStringLiteral("--tls=off"),
                           QStringLiteral("--domain=localhost"),
                           QStringLiteral("--from=") + QString::fromLatin1(kFrom),
                           QStringLiteral("--"),
                           QString::fromLatin1(kTo)};
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        QProcess msmtp;
        msmtp.setStandardInputFile(QString::fromStdString(message));
        msmtp.start(QStringLiteral("msmtp"), args);
        if (!msmtp.waitForFinished(600000) || msmtp.exitCode() != 0) {
            std::fprintf(stderr, "msmtp failed: %s\n", msmtp.readAllStandardError().constData());
            return -1;
        }
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void report(const char* what, double ours, const std::map<std::string, double>& peers, double megabytes)
{
    std::printf("%-44s SendMail %7.3f s (%7.1f MB/s)", what, ours, megabytes / ours);
    for (const auto& [name, seconds] : peers) {
        if (seconds > 0)
            std::printf("  %s %7.3f s (x%.2f)", name.c_str(), seconds, seconds / ours);
    }
    std::printf("\n");
}

} // namespace

std::size_t storedCount(const SmtpSink& sink)
{
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(sink.directory()))
        n += e.path().extension() == ".json";
    return n;
}

// Checks that the server stored `count` messages, keeps the first as a sample when asked, and
// empties the store for the next measurement.
bool collect(const SmtpSink& sink, std::size_t count, const std::string& sampleTo = {})
{
    const std::size_t stored = storedCount(sink);
    if (stored != count)
        std::fprintf(stderr, "the server stored %zu messages, expected %zu\n", stored, count);
    if (!sampleTo.empty() && !storedContents(sink).empty())
        fs::copy_file(storedContents(sink).front(), sampleTo, fs::copy_options::overwrite_existing);
    clearStore(sink);
    return stored == count;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TempDir dir;
    SmtpSink sink;
    if (!sink.start()) {
        std::fprintf(stderr, "the SMTP sink did not start: %s\n%s\n", sink.error().c_str(), sink.log().c_str());
        return 1;
    }
    const bool haveMsmtp = !QStandardPaths::findExecutable(QStringLiteral("msmtp")).isEmpty();
    const std::string script = dir.path() + "smtplib_peer.py";
    writeBytes(script, kPythonPeer);
    const std::string msmtpConfig = dir.path() + "msmtprc";
    writeBytes(msmtpConfig, "");
    fs::permissions(msmtpConfig, fs::perms::owner_read | fs::perms::owner_write);
    const std::string attachment = dir.path() + "attachment.bin";
    writeRandomFile(attachment, kAttachmentBytes);
    const std::string small = dir.path() + "small.eml";
    const std::string large = dir.path() + "large.eml";

    Sender ours{sink, benchBody()};
    std::vector<double> perConnection, kept, big;
    std::vector<double> pyPer, pyKept, pyBig, msPer, msBig;
    bool ok = true;
    clearStore(sink);
    const long rssBeforeLarge0 = peakRssKb();
    long rssBeforeLarge = 0;
    // Each run times ours and then the peers, so that a change in the machine's load falls on
    // every side alike. The peers send the bytes of our first run.
    for (int run = 0; run < kRuns; ++run) {
        perConnection.push_back(ours.perConnection());
        ok = collect(sink, kMessages, run == 0 ? small : std::string()) && ok;
        kept.push_back(ours.keptConnection());
        ok = collect(sink, kMessages) && ok;
        rssBeforeLarge = std::max(rssBeforeLarge, peakRssKb());
        big.push_back(ours.large(attachment));
        ok = collect(sink, 1, run == 0 ? large : std::string()) && ok;

        pyPer.push_back(runPython(script, sink, "per-connection", small, kMessages));
        ok = collect(sink, kMessages) && ok;
        pyKept.push_back(runPython(script, sink, "one-connection", small, kMessages));
        ok = collect(sink, kMessages) && ok;
        pyBig.push_back(runPython(script, sink, "per-connection", large, 1));
        ok = collect(sink, 1) && ok;
        if (haveMsmtp) {
            msPer.push_back(runMsmtp(msmtpConfig, sink, small, kMessages));
            ok = collect(sink, kMessages) && ok;
            msBig.push_back(runMsmtp(msmtpConfig, sink, large, 1));
            ok = collect(sink, 1) && ok;
        }
    }
    const long rssPeak = peakRssKb();

    const double smallMB = double(fs::file_size(small)) * kMessages / 1e6;
    const double largeMB = double(fs::file_size(large)) / 1e6;
    std::printf("aiosmtpd on 127.0.0.1; %d messages of %ju bytes, one of %ju bytes (20 MB attachment, base64); "
                "medians of %d runs\n",
                kMessages, std::uintmax_t(fs::file_size(small)), std::uintmax_t(fs::file_size(large)), kRuns);
    std::map<std::string, double> peers = {{"smtplib", median(pyPer)}};
    if (haveMsmtp)
        peers["msmtp"] = median(msPer);
    report("200 x 20 KB, one connection each", median(perConnection), peers, smallMB);
    report("200 x 20 KB, one connection", median(kept), {{"smtplib", median(pyKept)}}, smallMB);
    peers = {{"smtplib", median(pyBig)}};
    if (haveMsmtp)
        peers["msmtp"] = median(msBig);
    report("20 MB attachment", median(big), peers, largeMB);
    std::printf("(x: peer time / SendMail time; above 1 means SendMail is faster)\n");
    std::printf("SendMail peak RSS: %ld KB before the first send, %ld KB before the large message, %ld KB at the end "
                "(the attachment is %zu KB)\n",
                rssBeforeLarge0, rssBeforeLarge, rssPeak, kAttachmentBytes / 1024);
    if (ours.failures)
        std::printf("SendMail failures: %d\n", ours.failures);
    result("small_per_connection.tavik", perConnection);
    result("small_per_connection.smtplib", pyPer);
    result("small_per_connection.msmtp", msPer);
    result("small_kept.tavik", kept);
    result("small_kept.smtplib", pyKept);
    result("large.tavik", big);
    result("large.smtplib", pyBig);
    result("large.msmtp", msBig);
    std::printf("RESULT send.peak %ld KB 1\n", rssPeak);
    std::printf("RESULT send.small.bytes %ju bytes 1\n", std::uintmax_t(fs::file_size(small)));
    std::printf("RESULT send.large.bytes %ju bytes 1\n", std::uintmax_t(fs::file_size(large)));
    return ok && ours.failures == 0 ? 0 : 1;
}
