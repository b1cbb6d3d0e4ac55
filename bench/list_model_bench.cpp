// The mailbox list of a full mailbox (32767 messages of about 4 KB): opening it (LoadItems reads
// every text for its priority) and sorting it by each column both ways.
//
// Peers timed in the same run: opening is set against reading the same two files whole with
// plain read calls (the least any opening can cost), and the From sort against the exchange sort
// the list used to run, on the same keys. At the end a RESULT line per figure (the median of its
// runs) for scripts/bench.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "store/mailbox_list_model.h"

#include "bench_results.h"

using tavik::bench::Clock;
using tavik::bench::median;
using tavik::bench::secondsSince;

namespace {

using tavik::NMailboxViewer;
using tavik::TNMailBox;

constexpr int kInbox = 1;
constexpr int kMessages = tavik::kMaxMailboxMessages;
constexpr std::size_t kMessageBytes = 4096;

// Seconds of every timed run, per RESULT key.
std::map<std::string, std::vector<double>> gSamples;

// The keys' names of the columns, by column number.
const char* const kColumnKeys[] = {"", "status", "from", "subject", "date", "size"};

// A private profile holding one full New Mail mailbox, built once for every benchmark.
class FullMailbox {
public:
    static FullMailbox& get()
    {
        static FullMailbox box;
        return box;
    }
    ~FullMailbox()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TNMailBox store;
    std::string directory() const { return dir_ + "mailboxe/"; }

private:
    FullMailbox()
    {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tavik-listbench-XXXXXX";
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("cannot create a temporary directory");
        dir_ = tmpl + "/";
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store.SetMailBoxDirectory(directory());
        store.SetCurrentMailBoxNumber(kInbox);
        static const char* const names[] = {"Alice Archer", "bob", "Carol Dunn", "dave@x.test", "Eve",
                                            "Frank Ovid", "grace", "Heidi Klum", "ivan", "Judy"};
        static const std::string body = "The quick brown fox jumps over the lazy dog; pack my box with five dozen.";
        for (int n = 1; n <= kMessages; ++n) {
            unsigned h = static_cast<unsigned>(n) * 2654435761u;
            store.Msg_From = std::string(names[h % 10]) + " <user" + std::to_string(h % 977) + "@x.test>";
            store.Msg_To = "reader@tavik.test";
            store.Msg_Subject = "Re: topic " + std::to_string((h >> 8) % 5000);
            store.Msg_Date = "Mon, 1 Jan 2024 12:00:00 +0100";
            store.Msg_Flag = "UVR"[h % 3];
            store.Msg_AttachStart = (h >> 4) % 7 == 0 ? n : 0;
            store.Msg_AttachEnd = store.Msg_AttachStart;
            std::vector<std::string> text = {"From: " + store.Msg_From, "To: reader@tavik.test",
                                             "Subject: " + store.Msg_Subject, "Date: " + store.Msg_Date};
            if (h % 11 == 0)
                text.push_back("X-Priority: 1 (Highest)");
            text.push_back("");
            std::size_t used = 1;
            for (const auto& l : text)
                used += l.size() + 2;
            std::size_t want = kMessageBytes - (h >> 12) % 512;
            while (used + body.size() + 2 <= want) {
                text.push_back(body);
                used += body.size() + 2;
            }
            store.Msg_Text = std::move(text);
            store.AppendMessage();
        }
    }
    std::string dir_;
};

std::size_t readWhole(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    std::vector<char> buf(1 << 20);
    std::size_t total = 0;
    for (;;) {
        ssize_t got = ::read(fd, buf.data(), buf.size());
        if (got <= 0)
            break;
        total += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return total;
}

void BM_OpenMailbox(benchmark::State& state)
{
    FullMailbox& box = FullMailbox::get();
    for (auto _ : state) {
        const auto t = Clock::now();
        auto list = std::make_unique<NMailboxViewer>();
        list->SetMailbox(&box.store);
        list->SetMailboxNumber(kInbox);
        if (list->Count() != kMessages)
            state.SkipWithError("the list does not show every message");
        benchmark::DoNotOptimize(list->NotReadMessages());
        gSamples["list.open.tavik"].push_back(secondsSince(t));
        state.PauseTiming(); // the list's destruction is not part of opening
        list.reset();
        state.ResumeTiming();
    }
    state.counters["messages"] = kMessages;
}

void BM_PeerReadBothFiles(benchmark::State& state)
{
    FullMailbox& box = FullMailbox::get();
    for (auto _ : state) {
        const auto t = Clock::now();
        std::size_t bytes = readWhole(box.directory() + "m0.idx") + readWhole(box.directory() + "m0.mbx");
        benchmark::DoNotOptimize(bytes);
        gSamples["list.open.read_files"].push_back(secondsSince(t));
    }
}

// One list, loaded once; each iteration sorts it from the arrival order.
NMailboxViewer& loadedList()
{
    static std::unique_ptr<NMailboxViewer> list = [] {
        auto l = std::make_unique<NMailboxViewer>();
        l->SetMailbox(&FullMailbox::get().store);
        l->SetMailboxNumber(kInbox);
        return l;
    }();
    return *list;
}

void BM_SortBy(benchmark::State& state)
{
    const int column = static_cast<int>(state.range(0));
    const bool normal = state.range(1) != 0;
    NMailboxViewer& list = loadedList();
    std::vector<double>& runs =
        gSamples[std::string("list.sort.") + kColumnKeys[column] + (normal ? ".normal" : ".reverse")];
    for (auto _ : state) {
        state.PauseTiming();
        list.SortBy(tavik::kColumnDate, false); // back to arrival order
        state.ResumeTiming();
        const auto t = Clock::now();
        list.SortBy(column, normal);
        benchmark::DoNotOptimize(list.MessageAt(0));
        runs.push_back(secondsSince(t));
    }
    state.SetLabel(std::string(list.SectionNames()[static_cast<std::size_t>(column - 1)]) +
                   (normal ? " normal" : " reverse"));
}

// The exchange sort on the From texts: for each line, every later line that belongs before it is
// exchanged into it.
void BM_PeerExchangeSortFrom(benchmark::State& state)
{
    NMailboxViewer& list = loadedList();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<int> order(static_cast<std::size_t>(list.Count()));
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = static_cast<int>(i) + 1;
        state.ResumeTiming();
        const auto t = Clock::now();
        for (std::size_t i = 0; i + 1 < order.size(); ++i)
            for (std::size_t j = i + 1; j < order.size(); ++j)
                if (list.ItemOf(order[j]).From < list.ItemOf(order[i]).From)
                    std::swap(order[i], order[j]);
        benchmark::DoNotOptimize(order.data());
        gSamples["list.sort.from.exchange"].push_back(secondsSince(t));
    }
}

} // namespace

BENCHMARK(BM_OpenMailbox)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PeerReadBothFiles)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SortBy)
    ->Unit(benchmark::kMillisecond)
    ->ArgsProduct({{1, 2, 3, 4, 5}, {1, 0}})
    ->ArgNames({"column", "normal"})
    ->Iterations(15);
// Tens of seconds a run: once.
BENCHMARK(BM_PeerExchangeSortFrom)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The lines scripts/bench collects: "RESULT <key> <median> <unit> <runs>".
    for (const auto& [key, runs] : gSamples)
        std::printf("RESULT %s %.6g s %zu\n", key.c_str(), median(runs), runs.size());
    std::printf("RESULT list.messages %d messages 1\n", kMessages);
    return 0;
}
