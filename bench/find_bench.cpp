// Finding mail: the filter above a full mailbox's list (32767 messages), and a search of every
// stored text of a profile holding about 200 MB of mail.
//
// Peer timed in the same run: `grep -ci` over the same text files (it neither folds accents nor
// knows where a message ends, so it is the least a search of those bytes can cost). At the end
// a RESULT line per figure (the median of its runs) for scripts/bench.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "store/mail_search.h"
#include "store/mailbox_list_model.h"

#include "bench_results.h"

using tavik::bench::Clock;
using tavik::bench::median;
using tavik::bench::secondsSince;

namespace {

using tavik::NMailboxViewer;
using tavik::TNMailBox;

constexpr int kListMessages = tavik::kMaxMailboxMessages;
constexpr int kSearchMailboxes = 8;
constexpr int kSearchMessagesEach = 5000;
constexpr std::size_t kSearchMessageBytes = 5000;

std::map<std::string, std::vector<double>> gSamples;

std::string makeTempDirectory(const char* name)
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + name + "-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("cannot create a temporary directory");
    return tmpl + "/";
}

const char* const kNames[] = {"Alice Archer", "bob", "Carol Dunn", "dave@x.test", "Eve", "Fran\xC3\xA7ois Ovid",
                              "grace", "Heidi Kl\xC3\xBCm", "ivan", "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD"};
const char* const kBodies[] = {
    "The quick brown fox jumps over the lazy dog; pack my box with five dozen liquor jugs.",
    "Les na\xC3\xAF" "fs \xC3\xA9l\xC3\xA8ves r\xC3\xA9p\xC3\xA8tent: o\xC3\xB9 est la f\xC3\xAAte de No\xC3\xABl?",
    "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln, wir sehen uns in der Hauptstra\xC3\x9F" "e um acht Uhr.",
    "> quoted text of an earlier message, with a link https://example.org/path?q=1",
};

// Fills the current mailbox of `store` with `count` messages of about `bytes` bytes; every 97th
// message holds a "R\xC3\xA9sum\xC3\xA9" in its body.
void fillMailbox(TNMailBox& store, int count, std::size_t bytes, int seed)
{
    for (int n = 1; n <= count; ++n) {
        const unsigned h = static_cast<unsigned>(n + seed * 100003) * 2654435761u;
        store.Msg_From = std::string(kNames[h % 10]) + " <user" + std::to_string(h % 977) + "@x.test>";
        store.Msg_To = "reader@tavik.test";
        store.Msg_Subject = "Re: topic " + std::to_string((h >> 8) % 5000);
        store.Msg_Date = "Mon, 1 Jan 2024 12:00:00 +0100";
        store.Msg_Flag = "UVR"[h % 3];
        std::vector<std::string> text = {"From: " + store.Msg_From, "To: reader@tavik.test",
                                         "Subject: " + store.Msg_Subject, "Date: " + store.Msg_Date, ""};
        std::size_t used = 1;
        for (const auto& l : text)
            used += l.size() + 2;
        if (n % 97 == 0)
            text.push_back("Please find my R\xC3\xA9sum\xC3\xA9 attached.");
        for (unsigned k = h; used < bytes; ++k) {
            text.push_back(kBodies[k % 4]);
            used += text.back().size() + 2;
        }
        store.Msg_Text = std::move(text);
        store.AppendMessage();
    }
}

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
    NMailboxViewer list;

private:
    FullMailbox() : dir_(makeTempDirectory("tavik-findbench-list"))
    {
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store.SetMailBoxDirectory(dir_ + "mailboxe/");
        store.SetCurrentMailBoxNumber(1);
        fillMailbox(store, kListMessages, 1024, 0);
        list.SetMailbox(&store);
        list.SetMailboxNumber(1);
    }
    std::string dir_;
};

class SearchProfile {
public:
    static SearchProfile& get()
    {
        static SearchProfile profile;
        return profile;
    }
    ~SearchProfile()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::vector<std::string> boxes;
    std::string directory() const { return dir_ + "mailboxe/"; }
    std::uint64_t bytes = 0;

private:
    SearchProfile() : dir_(makeTempDirectory("tavik-findbench-search"))
    {
        boxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        for (int n = 6; n <= kSearchMailboxes; ++n)
            boxes.push_back(std::string("m").append(std::to_string(n - 1)).append("=Folder ").append(std::to_string(n)));
        TNMailBox store;
        store.MailBoxes = boxes;
        store.SetMailBoxDirectory(directory());
        for (int n = 1; n <= kSearchMailboxes; ++n) {
            store.SetCurrentMailBoxNumber(n);
            fillMailbox(store, kSearchMessagesEach, kSearchMessageBytes, n);
            bytes += static_cast<std::uint64_t>(store.CurrentNMailBoxSize());
        }
    }
    std::string dir_;
};

void BM_FilterFullMailbox(benchmark::State& state)
{
    NMailboxViewer& list = FullMailbox::get().list;
    // From nothing to the text typed: the worst step, every line is looked at.
    const std::string typed = state.range(0) == 0 ? "kl\xC3\xBCm" : "topic 42";
    for (auto _ : state) {
        state.PauseTiming();
        list.SetFilter("");
        state.ResumeTiming();
        const auto t = Clock::now();
        list.SetFilter(typed);
        benchmark::DoNotOptimize(list.Count());
        gSamples[state.range(0) == 0 ? "find.filter.name" : "find.filter.subject"].push_back(secondsSince(t));
    }
    state.counters["shown"] = list.Count();
}

void BM_SearchAllMailboxes(benchmark::State& state)
{
    SearchProfile& profile = SearchProfile::get();
    const tavik::SearchText needle("resume");
    for (auto _ : state) {
        const auto t = Clock::now();
        int hits = 0;
        tavik::searchMailboxes(profile.directory(), profile.boxes, needle, {},
                               [&](const tavik::MailSearchHit&) { ++hits; });
        gSamples["find.search.tavik"].push_back(secondsSince(t));
        if (hits != kSearchMailboxes * (kSearchMessagesEach / 97))
            state.SkipWithError("the search did not find every message");
    }
    state.counters["MB"] = static_cast<double>(profile.bytes) / 1e6;
}

void BM_PeerGrepCi(benchmark::State& state)
{
    SearchProfile& profile = SearchProfile::get();
    std::string command = "LC_ALL=C.UTF-8 grep -ci resume";
    for (int n = 1; n <= kSearchMailboxes; ++n)
        command += " '" + profile.directory() + "m" + std::to_string(n - 1) + ".mbx'";
    command += " >/dev/null";
    for (auto _ : state) {
        const auto t = Clock::now();
        const int status = std::system(command.c_str());
        gSamples["find.search.grep_ci"].push_back(secondsSince(t));
        // 1 is grep's "no line matched": it does not see "resume" in the accented word.
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) > 1)
            state.SkipWithError("grep failed");
    }
}

} // namespace

BENCHMARK(BM_FilterFullMailbox)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->Iterations(15);
BENCHMARK(BM_SearchAllMailboxes)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PeerGrepCi)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& [key, runs] : gSamples)
        std::printf("RESULT %s %.6g s %zu\n", key.c_str(), median(runs), runs.size());
    std::printf("RESULT find.filter.messages %d messages 1\n", kListMessages);
    std::printf("RESULT find.search.bytes %llu bytes 1\n",
                static_cast<unsigned long long>(SearchProfile::get().bytes));
    return 0;
}
