// The mailbox window on a full mailbox (32767 messages of about 4 KB), offscreen: opening it (the
// list reads every text for its priority, the view lays out its rows and paints) and sorting it
// by each column both ways through the header's command, painting included.
//
// Peers in the same run: the list model's own opening (after each window's) and SortBy on the same
// keys, without the view; the ratios are what the widget adds. At the end a RESULT line per figure (the median of its
// runs) for scripts/bench.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QMdiArea>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "view/mailbox_list_widget.h"
#include "view/mailbox_window.h"
#include "view/message_window_host.h"

#include "bench_results.h"

using tavik::bench::Clock;
using tavik::bench::median;
using tavik::bench::secondsSince;

namespace {

using namespace tavik;

constexpr int kInbox = 1;
constexpr int kMessages = kMaxMailboxMessages;
constexpr std::size_t kMessageBytes = 4096;

// Seconds of every timed run, per RESULT key.
std::map<std::string, std::vector<double>> gSamples;

// The keys' names of the columns, by column number.
const char* const kColumnKeys[] = {"", "status", "from", "subject", "date", "size"};

std::vector<double>& samplesOf(const char* what, int column, bool normal)
{
    return gSamples[std::string(what) + kColumnKeys[column] + (normal ? ".normal" : ".reverse")];
}

// A private profile with one full New Mail mailbox, built once, and the windows' host.
class FullProfile : public MessageWindowHost {
public:
    static FullProfile& get()
    {
        static FullProfile profile;
        return profile;
    }
    ~FullProfile() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TNMailBox& Mailbox() override { return store_; }
    TAttachmentManager& attachments() override { return attachments_; }
    ProfileSettings& settings() override { return settings_; }
    const std::string& ProfileDirectory() const override { return dir_; }
    QIcon statusPicture(const std::string& name) const override
    {
        return QIcon(QStringLiteral(":/pictures/") + QString::fromLatin1(name.c_str()) + QStringLiteral(".png"));
    }
    QMdiArea* mdiArea() const override { return nullptr; }
    void addViewerWindow(QWidget* window) override { delete window; }
    void MessagesDropped(int, const MessageDrag&) override {}
    AttachmentLinkCommands& attachmentLinkCommands() override { return links_; }

private:
    FullProfile()
    {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tavik-windowbench-XXXXXX";
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("cannot create a temporary directory");
        dir_ = tmpl + "/";
        settings_.AutoAddAddress = false;
        store_.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store_.SetMailBoxDirectory(dir_ + "mailboxe/");
        attachments_.SetAttachmentDirectory(dir_ + "attach/");
        store_.SetCurrentMailBoxNumber(kInbox);
        static const char* const names[] = {"Alice Archer", "bob", "Carol Dunn", "dave@x.test", "Eve",
                                            "Frank Ovid", "grace", "Heidi Klum", "ivan", "Judy"};
        static const std::string body = "The quick brown fox jumps over the lazy dog; pack my box with five dozen.";
        for (int n = 1; n <= kMessages; ++n) {
            unsigned h = static_cast<unsigned>(n) * 2654435761u;
            store_.Msg_From = std::string(names[h % 10]) + " <user" + std::to_string(h % 977) + "@x.test>";
            store_.Msg_To = "reader@tavik.test";
            store_.Msg_Subject = "Re: topic " + std::to_string((h >> 8) % 5000);
            store_.Msg_Date = "Mon, 1 Jan 2024 12:00:00 +0100";
            store_.Msg_Flag = "UVR"[h % 3];
            store_.Msg_AttachStart = (h >> 4) % 7 == 0 ? n : 0;
            store_.Msg_AttachEnd = store_.Msg_AttachStart;
            std::vector<std::string> text = {"From: " + store_.Msg_From, "To: reader@tavik.test",
                                             "Subject: " + store_.Msg_Subject, "Date: " + store_.Msg_Date};
            if (h % 11 == 0)
                text.push_back("X-Priority: 1 (Highest)");
            text.push_back("");
            std::size_t used = 1;
            for (const auto& l : text)
                used += l.size() + 2;
            const std::size_t want = kMessageBytes - (h >> 12) % 512;
            while (used + body.size() + 2 <= want) {
                text.push_back(body);
                used += body.size() + 2;
            }
            store_.Msg_Text = std::move(text);
            store_.AppendMessage();
        }
    }
    std::string dir_;
    TNMailBox store_;
    TAttachmentManager attachments_;
    ProfileSettings settings_;
    AttachmentLinkCommands links_;
};

std::unique_ptr<TMailboxForm> openWindow()
{
    auto form = std::make_unique<TMailboxForm>(FullProfile::get(), kInbox);
    form->Open();
    form->resize(1000, 700);
    form->show();
    QCoreApplication::processEvents(); // lays out and paints the rows
    return form;
}

void BM_OpenMailboxWindow(benchmark::State& state)
{
    FullProfile::get();
    for (auto _ : state) {
        const auto t = Clock::now();
        std::unique_ptr<TMailboxForm> form = openWindow();
        gSamples["window.open"].push_back(secondsSince(t));
        if (form->list()->viewer().Count() != kMessages)
            state.SkipWithError("the window does not show every message");
        state.PauseTiming(); // closing is not part of opening
        form.reset();
        QCoreApplication::processEvents();
        // The model's opening alone, right after, so that both see the same machine: the part of
        // the window's opening that is not the widget's.
        const auto m = Clock::now();
        auto model = std::make_unique<NMailboxViewer>();
        model->SetMailbox(&FullProfile::get().Mailbox());
        model->SetMailboxNumber(kInbox);
        gSamples["window.model_open"].push_back(secondsSince(m));
        model.reset();
        state.ResumeTiming();
    }
    state.counters["messages"] = kMessages;
}

// The window the sorts share; main closes it while the application still exists.
std::unique_ptr<TMailboxForm> gLoadedWindow;

TMailboxForm& loadedWindow()
{
    if (!gLoadedWindow)
        gLoadedWindow = openWindow();
    return *gLoadedWindow;
}

void BM_WindowSortBy(benchmark::State& state)
{
    const int column = static_cast<int>(state.range(0));
    const bool normal = state.range(1) != 0;
    TMailboxForm& form = loadedWindow();
    MailboxListWidget* list = form.list();
    // A selected row, as when the user sorts: the selection follows its message.
    list->viewer().SetItemIndex(100);
    std::vector<double>& runs = samplesOf("window.sort.", column, normal);
    for (auto _ : state) {
        state.PauseTiming();
        list->sortList(kColumnDate, false); // back to arrival order
        QCoreApplication::processEvents();
        state.ResumeTiming();
        const auto t = Clock::now();
        list->sortList(column, normal);
        QCoreApplication::processEvents(); // the view shows the new order
        benchmark::DoNotOptimize(list->viewer().MessageAt(0));
        runs.push_back(secondsSince(t));
    }
    state.SetLabel(list->viewer().SectionNames()[static_cast<std::size_t>(column - 1)] +
                   (normal ? " normal" : " reverse"));
}

// The peer: the model's sort alone.
void BM_PeerModelSortBy(benchmark::State& state)
{
    const int column = static_cast<int>(state.range(0));
    const bool normal = state.range(1) != 0;
    static std::unique_ptr<NMailboxViewer> model = [] {
        auto m = std::make_unique<NMailboxViewer>();
        m->SetMailbox(&FullProfile::get().Mailbox());
        m->SetMailboxNumber(kInbox);
        return m;
    }();
    std::vector<double>& runs = samplesOf("window.model_sort.", column, normal);
    for (auto _ : state) {
        state.PauseTiming();
        model->SortBy(kColumnDate, false);
        state.ResumeTiming();
        const auto t = Clock::now();
        model->SortBy(column, normal);
        benchmark::DoNotOptimize(model->MessageAt(0));
        runs.push_back(secondsSince(t));
    }
}

} // namespace

BENCHMARK(BM_OpenMailboxWindow)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WindowSortBy)
    ->Unit(benchmark::kMillisecond)
    ->ArgsProduct({{1, 2, 3, 4, 5}, {1, 0}})
    ->ArgNames({"column", "normal"})
    ->Iterations(15);
BENCHMARK(BM_PeerModelSortBy)
    ->Unit(benchmark::kMillisecond)
    ->ArgsProduct({{1, 2, 3, 4, 5}, {1, 0}})
    ->ArgNames({"column", "normal"})
    ->Iterations(15);

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform says so for every window shown; nothing to measure there.
    static QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
            if (message != QStringLiteral("This plugin does not support propagateSizeHints()"))
                previous(type, context, message);
        });
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gLoadedWindow.reset();
    // The lines scripts/bench collects: "RESULT <key> <median> <unit> <runs>".
    for (const auto& [key, runs] : gSamples)
        std::printf("RESULT %s %.6g s %zu\n", key.c_str(), median(runs), runs.size());
    std::printf("RESULT window.messages %d messages 1\n", kMessages);
    return 0;
}
