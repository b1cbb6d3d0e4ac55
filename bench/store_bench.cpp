// Mailbox store costs at growing mailbox sizes: append, open the mailbox afresh and list every
// record, read every text, move every second message to Trash in one command, compress.
// Compression is set against a plain copy of the same bytes (/bin/cp, and an in-process copy with
// fsync) timed in the same run. At the end a RESULT line per step and size (the median of its
// runs) for scripts/bench.
//
// Per-message figures ("us_per_msg") stay flat as N doubles when a step is linear; a quadratic step
// shows as a per-message cost that doubles with N.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "store/mailbox_store.h"

#include "bench_results.h"

using tavik::bench::Clock;
using tavik::bench::median;
using tavik::bench::secondsSince;

extern char** environ;

namespace {

using tavik::TNMailBox;
constexpr int kInbox = 1;
constexpr int kTrash = 5;
// Stored size of every message: its lines, their CR LFs and the closing NUL.
constexpr std::size_t kMessageBytes = 2048;

// Seconds of every timed run, per step and mailbox size.
std::map<std::pair<std::string, int>, std::vector<double>> gSamples;
std::map<int, std::int64_t> gLiveBytes;

void sample(const char* step, int count, double seconds) { gSamples[{step, count}].push_back(seconds); }

// A private profile directory with the five standard mailboxes, removed when done.
class Profile {
public:
    Profile() : Profile(nullptr) {}
    // A profile whose mailboxes start as copies of `original`'s.
    explicit Profile(const Profile* original)
    {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tavik-bench-XXXXXX";
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("cannot create a temporary directory");
        dir_ = tmpl + "/";
        if (original)
            std::filesystem::copy(original->dir_ + "mailboxe", dir_ + "mailboxe");
        box.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        box.SetMailBoxDirectory(dir_ + "mailboxe/");
    }
    const std::string& directory() const { return dir_; }
    ~Profile()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;

    std::string path(const std::string& name) const { return dir_ + name; }
    std::string mailboxFile(const std::string& name) const { return dir_ + "mailboxe/" + name; }

    TNMailBox box;

private:
    std::string dir_;
};

// A message whose stored form is exactly kMessageBytes long.
std::vector<std::string> messageText(int n)
{
    std::vector<std::string> lines = {"From: Bench Sender <bench@tavik.test>", "To: reader@tavik.test",
                                      "Subject: message " + std::to_string(n), "Date: Mon, 1 Jan 2024 12:00:00", ""};
    std::size_t used = 1;
    for (const auto& l : lines)
        used += l.size() + 2;
    static const std::string body = "The quick brown fox jumps over the lazy dog; pack my box with five dozen.";
    while (used + body.size() + 2 <= kMessageBytes) {
        lines.push_back(body);
        used += body.size() + 2;
    }
    lines.push_back(std::string(kMessageBytes - used - 2, 'z'));
    return lines;
}

void appendMessages(TNMailBox& box, int count)
{
    box.SetCurrentMailBoxNumber(kInbox);
    box.Msg_From = "Bench Sender <bench@tavik.test>";
    box.Msg_To = "reader@tavik.test";
    box.Msg_Date = "Mon, 1 Jan 2024 12:00:00";
    box.Msg_Flag = 'U';
    for (int n = 1; n <= count; ++n) {
        box.Msg_Subject = "message " + std::to_string(n);
        box.Msg_Text = messageText(n);
        box.AppendMessage();
    }
}

std::vector<int> everySecond(int count)
{
    std::vector<int> numbers;
    for (int n = 2; n <= count; n += 2)
        numbers.push_back(n);
    return numbers;
}

// A profile holding `count` appended messages, and one where every second of them then went to
// Trash, made once per size: the steps after appending start from copies, which cost a fraction
// of appending again.
const Profile& filled(int count, bool moved)
{
    static std::map<std::pair<int, bool>, std::unique_ptr<Profile>> made;
    auto& p = made[{count, moved}];
    if (!p) {
        if (moved) {
            p = std::make_unique<Profile>(&filled(count, false));
            p->box.SetCurrentMailBoxNumber(kInbox);
            p->box.MoveMessages(everySecond(count), "m4");
        } else {
            p = std::make_unique<Profile>();
            appendMessages(p->box, count);
        }
    }
    return *p;
}

// Microseconds per message of the timed step, from the time the iterations took in total.
void setPerMessage(benchmark::State& state, double seconds, int count)
{
    state.counters["us_per_msg"] = seconds * 1e6 / (static_cast<double>(state.iterations()) * count);
}

void BM_Append(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    double total = 0;
    for (auto _ : state) {
        Profile p;
        auto t = Clock::now();
        appendMessages(p.box, count);
        double s = secondsSince(t);
        state.SetIterationTime(s);
        total += s;
        sample("append", count, s);
        if (p.box.CurrentMailBoxMessages() != count)
            state.SkipWithError("not every message was stored");
    }
    setPerMessage(state, total, count);
}

// A fresh store object on the mailbox directory, as a new process opens it, reading every
// record the list shows.
void BM_OpenAndList(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const Profile& p = filled(count, false);
    std::size_t bytes = 0;
    double total = 0;
    for (auto _ : state) {
        auto t = Clock::now();
        TNMailBox box;
        box.MailBoxes = p.box.MailBoxes;
        box.SetMailBoxDirectory(p.directory() + "mailboxe/");
        box.SetCurrentMailBoxNumber(kInbox);
        for (int n = 1; n <= box.CurrentMailBoxMessages(); ++n) {
            box.SetMsg_Number(n);
            bytes += box.Msg_From.size() + box.Msg_Subject.size() + box.Msg_Date.size() + box.Msg_To.size();
        }
        double s = secondsSince(t);
        state.SetIterationTime(s);
        total += s;
        sample("open_list", count, s);
        if (box.CurrentMailBoxMessages() != count)
            state.SkipWithError("the mailbox does not list every message");
    }
    benchmark::DoNotOptimize(bytes);
    setPerMessage(state, total, count);
}

void BM_ReadEveryMessage(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    Profile p(&filled(count, false));
    std::size_t lines = 0;
    double total = 0;
    for (auto _ : state) {
        auto t = Clock::now();
        p.box.SetCurrentMailBoxNumber(kInbox);
        for (int n = 1; n <= p.box.CurrentMailBoxMessages(); ++n) {
            p.box.SetMsg_Number(n);
            p.box.LoadMessageText();
            lines += p.box.Msg_Text.size();
        }
        double s = secondsSince(t);
        state.SetIterationTime(s);
        total += s;
        sample("read_texts", count, s);
    }
    benchmark::DoNotOptimize(lines);
    setPerMessage(state, total, count);
}

void BM_MoveEverySecondToTrash(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const std::vector<int> numbers = everySecond(count);
    double total = 0;
    for (auto _ : state) {
        Profile p(&filled(count, false));
        p.box.SetCurrentMailBoxNumber(kInbox);
        auto t = Clock::now();
        p.box.MoveMessages(numbers, "m4");
        double s = secondsSince(t);
        state.SetIterationTime(s);
        total += s;
        sample("move_half", count, s);
        p.box.SetCurrentMailBoxNumber(kTrash);
        if (p.box.CurrentMailBoxMessages() != static_cast<int>(numbers.size()))
            state.SkipWithError("Trash did not receive every moved message");
    }
    setPerMessage(state, total, static_cast<int>(numbers.size()));
}

// /bin/cp from to, timed.
double timeCp(const std::string& from, const std::string& to)
{
    const char* argv[] = {"/bin/cp", from.c_str(), to.c_str(), nullptr};
    auto t = Clock::now();
    pid_t pid;
    if (::posix_spawn(&pid, "/bin/cp", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        throw std::runtime_error("cannot start /bin/cp");
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    double s = secondsSince(t);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("/bin/cp failed");
    return s;
}

// An in-process copy with read/write in 1 MB slices, flushed like the store flushes its pair.
double timeCopyAndSync(const std::string& from, const std::string& to)
{
    auto t = Clock::now();
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0)
        throw std::runtime_error("cannot open the copy");
    std::vector<char> buf(1 << 20);
    for (;;) {
        ssize_t got = ::read(in, buf.data(), buf.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw std::runtime_error("cannot read the copy");
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            ssize_t w = ::write(out, buf.data() + done, static_cast<std::size_t>(got - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                throw std::runtime_error("cannot write the copy");
            done += w;
        }
    }
    ::fsync(out);
    ::close(in);
    ::close(out);
    return secondsSince(t);
}

void BM_Compress(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const std::vector<int> numbers = everySecond(count);
    double compress = 0, cp = 0, copySync = 0;
    std::int64_t liveBytes = 0;
    for (auto _ : state) {
        Profile p(&filled(count, true));
        p.box.SetCurrentMailBoxNumber(kInbox);
        const int live = p.box.CurrentMailBoxMessages();
        if (live != count - static_cast<int>(numbers.size())) {
            state.SkipWithError("the mailbox does not hold the messages left after the move");
            break;
        }

        auto t = Clock::now();
        p.box.CompressMailbox();
        double s = secondsSince(t);
        state.SetIterationTime(s);
        compress += s;
        sample("compress", count, s);

        p.box.SetCurrentMailBoxNumber(kInbox);
        if (p.box.CurrentMailBoxMessages() != live || p.box.CurrentNMailBoxTrash() != 0) {
            state.SkipWithError("compression lost messages or kept trash");
            break;
        }
        // The compressed text file is exactly the live texts: the bytes a copy has to move. Its
        // pages are as warm as the ones compression read.
        const std::string mbx = p.mailboxFile("m0.mbx");
        liveBytes = static_cast<std::int64_t>(std::filesystem::file_size(mbx));
        const double c = timeCp(mbx, p.path("cp.mbx"));
        const double cs = timeCopyAndSync(mbx, p.path("copy.mbx"));
        cp += c;
        copySync += cs;
        sample("cp", count, c);
        sample("copy_fsync", count, cs);
        gLiveBytes[count] = liveBytes;
    }
    const double iterations = static_cast<double>(state.iterations());
    setPerMessage(state, compress, count - static_cast<int>(numbers.size()));
    state.counters["live_MB"] = static_cast<double>(liveBytes) / (1 << 20);
    state.counters["cp_ms"] = cp * 1e3 / iterations;
    state.counters["copy+fsync_ms"] = copySync * 1e3 / iterations;
    state.counters["compress/cp"] = cp > 0 ? compress / cp : 0;
    state.counters["compress/copy+fsync"] = copySync > 0 ? compress / copySync : 0;
}

void sizes(benchmark::internal::Benchmark* b)
{
    for (int n : {4096, 8192, 16384, tavik::kMaxMailboxMessages})
        b->Arg(n);
    b->UseManualTime()->Unit(benchmark::kMillisecond);
}

// Appending, moving and compressing need a fresh mailbox each time: a fixed number of iterations,
// not a time budget, keeps the set-up from dominating the run.
BENCHMARK(BM_Append)->Apply(sizes)->Iterations(5);
BENCHMARK(BM_OpenAndList)->Apply(sizes)->Iterations(5);
BENCHMARK(BM_ReadEveryMessage)->Apply(sizes)->Iterations(5);
BENCHMARK(BM_MoveEverySecondToTrash)->Apply(sizes)->Iterations(5);
BENCHMARK(BM_Compress)->Apply(sizes)->Iterations(5);

// The lines scripts/bench collects: "RESULT <key> <median> <unit> <runs>".
void printResults()
{
    for (const auto& [key, runs] : gSamples)
        std::printf("RESULT store.%d.%s %.6g s %zu\n", key.second, key.first.c_str(), median(runs), runs.size());
    for (const auto& [count, bytes] : gLiveBytes)
        std::printf("RESULT store.%d.live_bytes %lld bytes 1\n", count, static_cast<long long>(bytes));
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printResults();
    return 0;
}
