// `tavikctl send-queued` of one queued message with a 20 MB attachment (encoded to base64 on
// the fly) against its peers sending the same message prebuilt, all to the same real SMTP
// server (aiosmtpd) in the same run, each run after tavikctl's: Python's smtplib (timed inside Python, interpreter start
// excluded) and msmtp when installed (one process, timed from outside, as it is used). The
// peers send the very bytes tavikctl delivered, read back from the server's store. Medians of
// 5 runs; tavikctl's and msmtp's peak resident memory from /usr/bin/time -v (wait4 without it).
// A RESULT line per figure for scripts/bench.
#include <QCoreApplication>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "peers/peer_fixtures.h"
#include "support/test_support.h"

#include "bench_results.h"

using tavik::bench::Clock;
using tavik::bench::median;
using tavik::bench::writeRandomFile;
using tavik::bench::secondsSince;

using namespace tavik::test;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kAttachmentBytes = 20 * 1000 * 1000;
constexpr int kRuns = 5;
const char* const kFrom = "sam@example.org";
const char* const kTo = "ann@example.net";

long maxOf(const std::vector<long>& v)
{
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

struct ChildRun {
    int status = -1;      // exit status, -1 when it did not exit normally
    double seconds = 0;   // wall time from fork to its end
    long maxRssKb = 0;    // its peak resident memory
    std::string output;   // stdout and stderr
};

// Runs a program to its end with its output in a file and, when given, a file as its input.
ChildRun runChild(const std::vector<std::string>& argv, const std::string& outputFile, const std::string& input = {})
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ChildRun r;
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(out, 2);
        if (!input.empty()) {
            const int in = ::open(input.c_str(), O_RDONLY);
            dup2(in, 0);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.maxRssKb = usage.ru_maxrss;
    r.output = fileBytes(outputFile);
    return r;
}

// runChild under /usr/bin/time -v, whose report (in `report`) gives the peak memory.
ChildRun measuredChild(std::vector<std::string> argv, const std::string& outputFile, const std::string& report,
                       const std::string& input = {})
{
    static const bool haveTime = ::access("/usr/bin/time", X_OK) == 0;
    if (!haveTime)
        return runChild(argv, outputFile, input);
    argv.insert(argv.begin(), {"/usr/bin/time", "-v", "-o", report});
    ChildRun r = runChild(argv, outputFile, input);
    const std::string text = fileBytes(report);
    const std::string label = "Maximum resident set size (kbytes): ";
    const auto at = text.find(label);
    if (at != std::string::npos)
        r.maxRssKb = std::atol(text.c_str() + at + label.size());
    return r;
}

const char* const kPythonPeer = R"PY(
import smtplib, sys, time
port, path = int(sys.argv[1]), sys.argv[2]
data = open(path, "rb").read()
start = time.perf_counter()
with smtplib.SMTP("127.0.0.1", port, local_hostname="localhost") as s:
    s.sendmail("sam@example.org", ["ann@example.net"], data)
print(time.perf_counter() - start)
)PY";

std::vector<std::string> storedFiles(const SmtpSink& sink, const char* extension)
{
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(sink.directory()))
        if (e.path().extension() == extension)
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// Checks that the server stored one message, keeps it when asked, and empties the store.
bool collect(const SmtpSink& sink, const std::string& keepAs = {})
{
    const std::vector<std::string> stored = storedFiles(sink, ".content");
    const bool one = stored.size() == 1 && storedFiles(sink, ".json").size() == 1;
    if (!one)
        std::fprintf(stderr, "the server stored %zu messages, expected 1\n", stored.size());
    if (one && !keepAs.empty())
        fs::copy_file(stored.front(), keepAs, fs::copy_options::overwrite_existing);
    for (const auto& e : fs::directory_iterator(sink.directory()))
        fs::remove(e.path());
    return one;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TempDir dir;
    SmtpSink sink;
    if (!sink.start()) {
        std::fprintf(stderr, "the SMTP sink did not start: %s\n%s\n", sink.error().c_str(), sink.log().c_str());
        return 1;
    }
    const std::string tavikctl = TAVIKCTL_PATH;
    const std::string home = dir.path() + "home";
    const std::string log = dir.path() + "child.log";
    const std::string attachment = dir.path() + "attachment.bin";
    const std::string body = dir.path() + "body.txt";
    const std::string prebuilt = dir.path() + "large.eml";
    writeRandomFile(attachment, kAttachmentBytes);
    writeBytes(body, "The file is attached.\n");
    bool ok = true;
    ChildRun setup = runChild({tavikctl, "--home", home, "set", "SmtpServer=127.0.0.1",
                               "SmtpPort=" + std::to_string(sink.port()), "Name=Sam Sender",
                               std::string("RetAddr=") + kFrom},
                              log);
    if (setup.status != 0) {
        std::fprintf(stderr, "tavikctl set failed: %s\n", setup.output.c_str());
        return 1;
    }

    const std::string script = dir.path() + "smtplib_peer.py";
    writeBytes(script, kPythonPeer);
    const bool haveMsmtp = !QStandardPaths::findExecutable(QStringLiteral("msmtp")).isEmpty();
    const std::string msmtpConfig = dir.path() + "msmtprc";
    writeBytes(msmtpConfig, "");
    fs::permissions(msmtpConfig, fs::perms::owner_read | fs::perms::owner_write);

    // Each run times tavikctl and then the peers, so that a change in the machine's load falls
    // on every side alike. The peers send the bytes tavikctl sent first.
    std::vector<double> ours, python, msmtp;
    std::vector<long> oursRss, msmtpRss;
    for (int run = 0; run < kRuns; ++run) {
        ChildRun q = runChild({tavikctl, "--home", home, "queue", "--to", kTo, "--subject", "Benchmark message",
                               "--body-file", body, "--attach", attachment},
                              log);
        if (q.status != 0) {
            std::fprintf(stderr, "tavikctl queue failed: %s\n", q.output.c_str());
            return 1;
        }
        ChildRun s = measuredChild({tavikctl, "--home", home, "send-queued"}, log, dir.path() + "time.txt");
        if (s.status != 0) {
            std::fprintf(stderr, "tavikctl send-queued failed: %s\n", s.output.c_str());
            ok = false;
        }
        ours.push_back(s.seconds);
        oursRss.push_back(s.maxRssKb);
        ok = collect(sink, run == 0 ? prebuilt : std::string()) && ok;
        if (!fs::exists(prebuilt))
            return 1;

        ChildRun p = runChild({"/usr/bin/python3", script, std::to_string(sink.port()), prebuilt}, log);
        if (p.status != 0) {
            std::fprintf(stderr, "smtplib failed: %s\n", p.output.c_str());
            ok = false;
        }
        python.push_back(std::atof(p.output.c_str()));
        ok = collect(sink) && ok;
        if (haveMsmtp) {
            ChildRun m = measuredChild({"msmtp", "--file=" + msmtpConfig, "--host=127.0.0.1",
                                        "--port=" + std::to_string(sink.port()), "--auth=off", "--tls=off",
                                        "--domain=localhost", std::string("--from=") + kFrom, "--", kTo},
                                       log, dir.path() + "time.txt", prebuilt);
            if (m.status != 0) {
                std::fprintf(stderr, "msmtp failed: %s\n", m.output.c_str());
                ok = false;
            }
            msmtp.push_back(m.seconds);
            msmtpRss.push_back(m.maxRssKb);
            ok = collect(sink) && ok;
        }
    }

    const double megabytes = double(fs::file_size(prebuilt)) / 1e6;
    std::printf("aiosmtpd on 127.0.0.1; one queued message of %ju bytes on the wire (20 MB attachment, base64); "
                "medians of %d runs\n",
                std::uintmax_t(fs::file_size(prebuilt)), kRuns);
    std::printf("tavikctl send-queued %7.3f s (%6.1f MB/s), peak RSS %ld KB\n", median(ours), megabytes / median(ours),
                maxOf(oursRss));
    std::printf("smtplib (prebuilt)   %7.3f s (%6.1f MB/s), ratio tavikctl/smtplib %.2f\n", median(python),
                megabytes / median(python), median(ours) / median(python));
    if (haveMsmtp)
        std::printf("msmtp (prebuilt)     %7.3f s (%6.1f MB/s), ratio tavikctl/msmtp %.2f, peak RSS %ld KB\n",
                    median(msmtp), megabytes / median(msmtp), median(ours) / median(msmtp), maxOf(msmtpRss));
    std::printf("(ratio below 1 means tavikctl is faster; tavikctl's time includes its start and the profile)\n");
    std::printf("RESULT send_queued.large.tavikctl %.6g s %zu\n", median(ours), ours.size());
    std::printf("RESULT send_queued.large.smtplib %.6g s %zu\n", median(python), python.size());
    if (haveMsmtp)
        std::printf("RESULT send_queued.large.msmtp %.6g s %zu\n", median(msmtp), msmtp.size());
    std::printf("RESULT send_queued.tavikctl.peak %ld KB %zu\n", maxOf(oursRss), oursRss.size());
    if (haveMsmtp)
        std::printf("RESULT send_queued.msmtp.peak %ld KB %zu\n", maxOf(msmtpRss), msmtpRss.size());
    std::printf("RESULT send_queued.large.bytes %ju bytes 1\n", std::uintmax_t(fs::file_size(prebuilt)));
    return ok ? 0 : 1;
}
