// Kills store_crash_child with SIGKILL at random instants and checks, after each kill, that a fresh
// store recovers a profile in which every message is intact and none that was stored is lost.
//
// TAVIK_CRASH_KILLS sets the number of kills (default 240), TAVIK_CRASH_SEED the base seed (default
// random; printed). A profile that fails a check is copied to $TMPDIR/tavik-crash-failure-* so the
// exact bytes can be reopened.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <map>
#include <poll.h>
#include <random>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "store/mailbox_store.h"
#include "support/test_support.h"

extern char** environ;

namespace tavik {
namespace {

namespace fs = std::filesystem;
using test::binDir;
using test::fileBytes;
using test::TempDir;

constexpr int kMailboxCount = 5;
const char* const kMailboxList[kMailboxCount] = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts",
                                                 "m4=Trash"};
const std::string kChildFrom = "Crash Child <child@tavik.test>";
// A child that shows no progress for this long is hung; only a guard, never a pass condition.
constexpr int kProgressTimeoutMs = 30000;

std::uint64_t envNumber(const char* name, std::uint64_t fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

// Must match the child's checksum.
std::uint64_t bodySum(const std::vector<std::string>& lines, std::size_t first)
{
    std::uint64_t h = 0xCBF29CE484222325ull;
    auto mix = [&h](unsigned char c) {
        h ^= c;
        h *= 0x100000001B3ull;
    };
    for (std::size_t i = first; i < lines.size(); ++i) {
        std::uint32_t n = static_cast<std::uint32_t>(lines[i].size());
        for (int b = 0; b < 4; ++b)
            mix(static_cast<unsigned char>(n >> (8 * b)));
        for (char c : lines[i])
            mix(static_cast<unsigned char>(c));
    }
    return h;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The compression scratch pair and its marker (temporary files beside them are mere leftovers).
bool isScratchFile(const std::string& name)
{
    const std::string base = kCompressScratchKey;
    return name == base + ".idx" || name == base + ".mbx" || name == base + ".job";
}

// One running child with the read end of its progress pipe.
class Child {
public:
    Child(const std::string& profileDir, std::uint64_t seed, long dieAt)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe failed");
        // Both ends above the standard descriptors and close-on-exec; only the dup2 copy survives.
        readFd_ = ::fcntl(fds[0], F_DUPFD_CLOEXEC, 10);
        int writeFd = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
        ::close(fds[0]);
        ::close(fds[1]);

        std::string program = binDir() + "store_crash_child";
        std::string seedText = std::to_string(seed);
        std::string dieAtText = std::to_string(dieAt);
        std::string errPath = profileDir + "child.err";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, writeFd, 3);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        char* argv[] = {program.data(), const_cast<char*>(profileDir.c_str()), seedText.data(),
                        const_cast<char*>("3"), dieAtText.data(), nullptr};
        int rc = ::posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(writeFd);
        if (rc != 0) {
            ::close(readFd_);
            throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
        }
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
        }
        ::close(readFd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads progress until `c` has been seen `n` more times; false when the child ended first.
    bool await(char c, int n)
    {
        while (n > 0) {
            pollfd pfd{readFd_, POLLIN, 0};
            int r = ::poll(&pfd, 1, kProgressTimeoutMs);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                throw std::runtime_error("store_crash_child made no progress");
            char buf[256];
            ssize_t got = ::read(readFd_, buf, std::min<std::size_t>(sizeof buf, static_cast<std::size_t>(n)));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            n -= static_cast<int>(std::count(buf, buf + got, c));
        }
        return true;
    }

    // Reads progress until the child has ended.
    void awaitEnd()
    {
        for (;;) {
            pollfd pfd{readFd_, POLLIN, 0};
            int r = ::poll(&pfd, 1, kProgressTimeoutMs);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                throw std::runtime_error("store_crash_child made no progress");
            char buf[4096];
            ssize_t got = ::read(readFd_, buf, sizeof buf);
            if (got == 0 || (got < 0 && errno != EINTR))
                return;
        }
    }

    // Kills the child (a no-op when it has already ended) and answers whether SIGKILL ended it.
    bool killAndReap(std::string& how)
    {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            return true;
        how = WIFEXITED(status) ? "exited with " + std::to_string(WEXITSTATUS(status))
                                : "ended by signal " + std::to_string(WTERMSIG(status));
        return false;
    }

private:
    pid_t pid_ = -1;
    int readFd_ = -1;
};

// The kill instant itself is what is random here; nothing waits on this for a result.
void spinFor(std::chrono::microseconds d)
{
    auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until) {
    }
}

struct Journal {
    std::set<std::string> appended, destroyed;
};

// Reads the journal, first cutting off a line the kill left half written.
Journal readJournal(const std::string& path)
{
    std::string bytes = fileBytes(path);
    auto end = bytes.rfind('\n');
    std::size_t keep = end == std::string::npos ? 0 : end + 1;
    if (keep != bytes.size()) {
        fs::resize_file(path, keep);
        bytes.resize(keep);
    }
    Journal j;
    std::istringstream in(bytes);
    std::string line;
    while (std::getline(in, line)) {
        if (startsWith(line, "A "))
            j.appended.insert(line.substr(2));
        else if (startsWith(line, "D "))
            j.destroyed.insert(line.substr(2));
    }
    return j;
}

struct Stats {
    int kills = 0;
    int recoveryKills = 0;
    int startupKills = 0;
    int pointKills = 0;
    int scratchSeen = 0;   // kills that left compression scratch files behind
    int duplicates = 0;    // ids found in more than one record (a move interrupted)
    std::size_t maxMessages = 0;
    std::size_t leftoverFiles = 0;
};

// Checks the recovered profile; every finding goes into `problems`.
void checkProfile(const std::string& profileDir, const Journal& journal, Stats& stats, std::vector<std::string>& problems)
{
    const std::string mailboxDir = profileDir + "mailboxe/";
    TNMailBox box;
    for (auto* line : kMailboxList)
        box.MailBoxes.emplace_back(line);
    try {
        box.SetMailBoxDirectory(mailboxDir);
    } catch (const std::exception& e) {
        problems.push_back(std::string("SetMailBoxDirectory: ") + e.what());
        return;
    }

    std::size_t leftovers = 0;
    for (const auto& entry : fs::directory_iterator(mailboxDir)) {
        std::string name = entry.path().filename().string();
        if (isScratchFile(name))
            problems.push_back("after recovery \"" + name + "\" remains");
        else if (!(name.size() == 6 && name[0] == 'm' && (name.ends_with(".idx") || name.ends_with(".mbx"))) &&
                 name != "temp.idx")
            ++leftovers;
    }
    stats.leftoverFiles = std::max(stats.leftoverFiles, leftovers);

    std::map<std::string, int> present;
    std::size_t messages = 0;
    for (int n = 1; n <= kMailboxCount; ++n) {
        const std::string key = "m" + std::to_string(n - 1);
        const std::string where = "mailbox " + key + ": ";
        const std::string idxPath = mailboxDir + key + ".idx", mbxPath = mailboxDir + key + ".mbx";
        if (!fs::exists(idxPath) || !fs::exists(mbxPath)) {
            problems.push_back(where + "a file of the pair is missing");
            continue;
        }

        // The raw pair: the header's sums and every live text's place in the text file.
        std::string idx = fileBytes(idxPath);
        std::uint64_t mbxLength = fs::file_size(mbxPath);
        if (idx.size() < kIndexRecordSize) {
            problems.push_back(where + "index shorter than its header");
            continue;
        }
        MailboxRecord header = decodeMailboxRecord(idx.data());
        const std::int64_t size = header.Size, trash = header.Lines, count = header.Part;
        if (count < 0 || idx.size() < static_cast<std::size_t>(count + 1) * kIndexRecordSize) {
            problems.push_back(where + "Count " + std::to_string(count) + " does not fit an index of " +
                               std::to_string(idx.size()) + " bytes");
            continue;
        }
        if (header.Offset != header.Size)
            problems.push_back(where + "header Offset " + std::to_string(header.Offset) + " differs from Size " +
                               std::to_string(size));
        if (mbxLength < static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0)))
            problems.push_back(where + "text file of " + std::to_string(mbxLength) + " bytes is shorter than Size " +
                               std::to_string(size));
        std::vector<std::pair<std::int64_t, std::int64_t>> spans;
        std::int64_t live = 0;
        for (std::int64_t m = 1; m <= count; ++m) {
            MailboxRecord r = decodeMailboxRecord(idx.data() + m * kIndexRecordSize);
            if (r.Size < 1 || r.Offset < 0 || std::int64_t(r.Offset) + r.Size > size)
                problems.push_back(where + "record " + std::to_string(m) + " (Offset " + std::to_string(r.Offset) +
                                   ", Size " + std::to_string(r.Size) + ") lies outside Size " + std::to_string(size));
            spans.emplace_back(r.Offset, std::int64_t(r.Offset) + r.Size);
            live += r.Size;
        }
        if (size != trash + live)
            problems.push_back(where + "Size " + std::to_string(size) + " is not Trash " + std::to_string(trash) +
                               " plus the live texts' " + std::to_string(live));
        std::sort(spans.begin(), spans.end());
        for (std::size_t i = 1; i < spans.size(); ++i)
            if (spans[i].first < spans[i - 1].second)
                problems.push_back(where + "two live texts overlap at byte " + std::to_string(spans[i].first));

        // Through the store: every record and text.
        try {
            box.SetCurrentMailBoxNumber(n);
        } catch (const std::exception& e) {
            problems.push_back(where + "does not open: " + e.what());
            continue;
        }
        if (box.CurrentMailBoxMessages() != count)
            problems.push_back(where + "the store counts " + std::to_string(box.CurrentMailBoxMessages()) +
                               " messages, the header " + std::to_string(count));
        for (int m = 1; m <= box.CurrentMailBoxMessages(); ++m) {
            const std::string at = where + "message " + std::to_string(m) + ": ";
            box.SetMsg_Number(m);
            try {
                box.LoadMessageText();
            } catch (const std::exception& e) {
                problems.push_back(at + "text does not load: " + e.what());
                continue;
            }
            const auto& t = box.Msg_Text;
            const std::string id = box.Msg_Subject;
            ++present[id];
            ++messages;
            if (t.size() < 6 || t[0] != "From: " + kChildFrom || t[1] != "X-Id: " + id || !startsWith(t[4], "X-Sum: ") ||
                !t[5].empty()) {
                problems.push_back(at + "text is not the message \"" + id + "\" (first line \"" +
                                   (t.empty() ? std::string() : t[0].substr(0, 60)) + "\")");
                continue;
            }
            char sum[40];
            std::snprintf(sum, sizeof sum, "X-Sum: %016" PRIx64, bodySum(t, 6));
            if (t[3] != "X-Lines: " + std::to_string(t.size() - 6) || t[4] != sum)
                problems.push_back(at + "body of \"" + id + "\" is damaged");
            if (t[2] != "X-Record: " + std::to_string(box.Msg_Part) + " " + std::to_string(box.Msg_AttachStart) + " " +
                             std::to_string(box.Msg_AttachEnd))
                problems.push_back(at + "record fields of \"" + id + "\" do not match its text (" + t[2] + ")");
            std::int64_t bytes = 1;
            for (const auto& line : t)
                bytes += static_cast<std::int64_t>(line.size()) + 2;
            if (box.Msg_Size() != bytes || box.Msg_Lines() != static_cast<int>(t.size()))
                problems.push_back(at + "Size or Lines of \"" + id + "\" disagree with its text");
            if (box.Msg_From != kChildFrom || box.Msg_To.size() > 80 ||
                box.Msg_To.find_first_not_of('t') != std::string::npos)
                problems.push_back(at + "From or To of \"" + id + "\" is damaged");
            if (box.Msg_Flag != 'U' && box.Msg_Flag != 'V' && box.Msg_Flag != 'R')
                problems.push_back(at + "flag of \"" + id + "\" is " + std::to_string(int(box.Msg_Flag)));
        }
    }
    stats.maxMessages = std::max(stats.maxMessages, messages);
    for (const auto& [id, copies] : present)
        if (copies > 1)
            ++stats.duplicates;

    std::size_t lost = 0;
    std::string examples;
    for (const auto& id : journal.appended)
        if (!journal.destroyed.count(id) && !present.count(id)) {
            if (++lost <= 5)
                examples += " \"" + id + "\"";
        }
    if (lost)
        problems.push_back(std::to_string(lost) + " stored messages are lost, among them" + examples);
}

bool hasScratchFiles(const std::string& mailboxDir)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(mailboxDir, ec))
        if (isScratchFile(entry.path().filename().string()))
            return true;
    return false;
}

std::string keepForInspection(const std::string& profileDir, const std::string& name)
{
    const char* base = std::getenv("TMPDIR");
    std::string keep = std::string(base && *base ? base : "/tmp") + "/tavik-crash-failure-" + name;
    std::error_code ec;
    fs::remove_all(keep, ec);
    fs::copy(profileDir, keep, fs::copy_options::recursive, ec);
    return ec ? "(could not keep a copy: " + ec.message() + ")" : keep;
}

// How one child dies: SIGKILL from here at a random instant, after some operations or during its
// start-up, or by its own hand just before its dieAt-th file-changing call.
struct Kill {
    enum Kind { AfterOperations, DuringStartUp, AtCrashPoint } kind = AfterOperations;
    int operations = 0;
    int delayMicroseconds = 0;
    long dieAt = 0;
};

std::string describe(const Kill& k, std::uint64_t seed)
{
    switch (k.kind) {
    case Kill::AfterOperations:
        return "child seed " + std::to_string(seed) + " killed " + std::to_string(k.delayMicroseconds) + " us after " +
               std::to_string(k.operations) + " operations";
    case Kill::DuringStartUp:
        return "child seed " + std::to_string(seed) + " killed " + std::to_string(k.delayMicroseconds) +
               " us into its start-up";
    case Kill::AtCrashPoint:
        break;
    }
    return "child seed " + std::to_string(seed) + " dead at crash point " + std::to_string(k.dieAt);
}

// Runs one child to its death; false (with `why`) when it ended any other way.
bool runChild(const std::string& profile, std::uint64_t seed, const Kill& k, std::string& why)
{
    Child child(profile, seed, k.dieAt);
    bool alive = true;
    switch (k.kind) {
    case Kill::AfterOperations:
        alive = child.await('R', 1) && child.await('o', k.operations);
        spinFor(std::chrono::microseconds(k.delayMicroseconds));
        break;
    case Kill::DuringStartUp:
        alive = child.await('S', 1);
        spinFor(std::chrono::microseconds(k.delayMicroseconds));
        break;
    case Kill::AtCrashPoint:
        child.awaitEnd();
        break;
    }
    std::string how;
    if (!child.killAndReap(how)) {
        why = how;
        return false;
    }
    if (!alive) {
        why = "stopped before it was killed";
        return false;
    }
    return true;
}

// Runs `kills` kill-and-check rounds on one profile directory.
void crashRounds(int kills, std::uint64_t seedBase, Stats& stats)
{
    TempDir dir, before;
    const std::string profile = dir.path();
    std::mt19937_64 rnd(seedBase);
    auto between = [&rnd](long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rnd); };

    std::uint64_t nextSeed = seedBase;
    bool scratchLeft = false;
    for (int round = 1; round <= kills; ++round) {
        Kill k;
        int pick = static_cast<int>(between(1, 20));
        if (round == 1 || (scratchLeft && between(0, 1) == 0)) {
            // The steps of creating a fresh profile, or of finishing an interrupted compression.
            if (pick <= 10) {
                k.kind = Kill::AtCrashPoint;
                k.dieAt = between(1, round == 1 ? 20 : 4);
            } else {
                k.kind = Kill::DuringStartUp;
                k.delayMicroseconds = static_cast<int>(between(0, 300));
            }
            ++stats.startupKills;
            if (scratchLeft)
                ++stats.recoveryKills;
        } else if (pick <= 9) {
            k.kind = Kill::AtCrashPoint;
            k.dieAt = between(1, between(0, 1) ? 60 : 600);
        } else if (pick <= 18) {
            int shape = static_cast<int>(between(1, 10));
            k.operations = static_cast<int>(shape <= 3 ? between(0, 3) : shape <= 8 ? between(1, 25) : between(20, 120));
            k.delayMicroseconds = static_cast<int>(between(0, between(0, 1) ? 300 : 4000));
        } else {
            k.kind = Kill::DuringStartUp;
            k.delayMicroseconds = static_cast<int>(between(0, 300));
            ++stats.startupKills;
        }
        if (k.kind == Kill::AtCrashPoint) {
            // Crash points repeat exactly: keep the profile as it was for a reproducer.
            fs::remove_all(before.path() + "p");
            fs::copy(profile, before.path() + "p", fs::copy_options::recursive);
            ++stats.pointKills;
        }

        const std::uint64_t seed = nextSeed++;
        std::string why;
        auto reproducer = [&] {
            std::string r = "\nprofile after the kill kept at " + keepForInspection(profile, std::to_string(seed) + "-after");
            if (k.kind == Kill::AtCrashPoint)
                r += "\nto repeat: store_crash_child " + keepForInspection(before.path() + "p/", std::to_string(seed) + "-before") + " " +
                     std::to_string(seed) + " 3 " + std::to_string(k.dieAt) + " 3>/dev/null";
            return r;
        };
        if (!runChild(profile, seed, k, why)) {
            ADD_FAILURE() << "round " << round << " (" << describe(k, seed) << "): store_crash_child " << why << ": "
                          << fileBytes(profile + "child.err") << reproducer();
            return;
        }
        ++stats.kills;

        // Sometimes a child's own start-up is to finish an interrupted compression (and is killed
        // doing so); otherwise the checker's store does it.
        scratchLeft = hasScratchFiles(profile + "mailboxe/");
        if (scratchLeft) {
            ++stats.scratchSeen;
            if (round < kills && between(0, 1) == 0)
                continue;
        }

        Journal journal = readJournal(profile + "journal");
        std::vector<std::string> problems;
        checkProfile(profile, journal, stats, problems);
        if (!problems.empty()) {
            std::string all;
            for (std::size_t i = 0; i < problems.size() && i < 20; ++i)
                all += "\n  " + problems[i];
            ADD_FAILURE() << "after round " << round << " (" << describe(k, seed) << ", base seed " << seedBase
                          << "):" << all << reproducer();
            return;
        }
        scratchLeft = false;
    }
    Journal journal = readJournal(profile + "journal");
    EXPECT_GT(journal.appended.size(), 0u) << "the children never stored a message";
}

// Copies the profile `from` to `profile`, lets child `seed` die there at crash point `dieAt` and
// checks the outcome. `recover` first also tries every crash point of the recovery that the kill
// made necessary. False, with a failure and a reproducer recorded, when something is wrong.
bool crashAndCheck(const std::string& from, const std::string& profile, std::uint64_t seed, long dieAt, bool recover,
                   Stats& stats)
{
    fs::remove_all(profile);
    fs::copy(from, profile, fs::copy_options::recursive);
    Kill k;
    k.kind = Kill::AtCrashPoint;
    k.dieAt = dieAt;
    auto repeat = [&] {
        return "\nto repeat: store_crash_child " + keepForInspection(from, std::to_string(seed) + "-before") + " " +
               std::to_string(seed) + " 3 " + std::to_string(dieAt) + " 3>/dev/null";
    };
    std::string why;
    if (!runChild(profile, seed, k, why)) {
        ADD_FAILURE() << "store_crash_child seed " << seed << " at crash point " << dieAt << " " << why << ": "
                      << fileBytes(profile + "child.err") << repeat();
        return false;
    }
    ++stats.kills;
    if (recover && hasScratchFiles(profile + "mailboxe/")) {
        // Finishing an interrupted compression takes a few steps of its own; any can be cut short.
        ++stats.scratchSeen;
        TempDir again;
        for (long r = 1; r <= 4; ++r) {
            ++stats.recoveryKills;
            if (!crashAndCheck(profile, again.path() + "p/", seed + 1, r, false, stats))
                return false;
        }
    }
    std::vector<std::string> problems;
    checkProfile(profile, readJournal(profile + "journal"), stats, problems);
    if (!problems.empty()) {
        std::string all;
        for (std::size_t i = 0; i < problems.size() && i < 20; ++i)
            all += "\n  " + problems[i];
        ADD_FAILURE() << "after crash point " << dieAt << " of child seed " << seed << ":" << all
                      << "\nprofile after the kill kept at " << keepForInspection(profile, std::to_string(seed) + "-after")
                      << repeat();
        return false;
    }
    return true;
}

// Kills one child at every crash point in turn, each time from the same profile, and checks each
// outcome: no step of the operations it runs, however short, can be the one that loses a message.
void sweepCrashPoints(std::uint64_t seed, long history, long points, Stats& stats)
{
    TempDir base, work;
    const std::string start = base.path() + "p/";
    fs::create_directory(start);
    // A profile with some history (none: a fresh profile is created), made by a child that dies at
    // a fixed point.
    if (history > 0) {
        std::string why;
        Kill k;
        k.kind = Kill::AtCrashPoint;
        k.dieAt = history;
        ASSERT_TRUE(runChild(start, seed, k, why)) << "building the profile: store_crash_child " << why << ": "
                                                   << fileBytes(start + "child.err");
    }
    for (long n = 1; n <= points; ++n)
        if (!crashAndCheck(start, work.path() + "p/", seed + 1, n, true, stats))
            return;
}

TEST(StoreCrash, EveryCrashPointOfARunRecovers)
{
    const long points = static_cast<long>(envNumber("TAVIK_CRASH_POINTS", 150));
    const std::uint64_t seed = envNumber("TAVIK_CRASH_SEED", std::random_device{}() % 1000000 + 1);
    ASSERT_TRUE(fs::exists(binDir() + "store_crash_child")) << "store_crash_child not found in " << binDir();
    std::cout << "[ crash    ] TAVIK_CRASH_SEED=" << seed << " TAVIK_CRASH_POINTS=" << points << std::endl;
    constexpr int kSweeps = 3;
    Stats stats;
    auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kSweeps && !HasFailure(); ++i)
        sweepCrashPoints(seed * 100000000ull + static_cast<std::uint64_t>(i) * 10000000ull, i * 400, points, stats);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::cout << "[ crash    ] " << stats.kills << " crash points (" << stats.recoveryKills << " in the recovery after "
              << stats.scratchSeen << " interrupted compressions) in " << seconds << " s; ids in two records after "
              << stats.duplicates << " checks" << std::endl;
}

TEST(StoreCrash, KilledStoreKeepsEveryMessageIntact)
{
    const int kills = static_cast<int>(envNumber("TAVIK_CRASH_KILLS", 240));
    const std::uint64_t seed = envNumber("TAVIK_CRASH_SEED", std::random_device{}() % 1000000 + 1);
    ASSERT_TRUE(fs::exists(binDir() + "store_crash_child")) << "store_crash_child not found in " << binDir();
    std::cout << "[ crash    ] TAVIK_CRASH_SEED=" << seed << " TAVIK_CRASH_KILLS=" << kills << std::endl;

    // Several profiles, each living through many kills so that damage would accumulate.
    constexpr int kProfiles = 4;
    Stats stats;
    auto start = std::chrono::steady_clock::now();
    for (int p = 0; p < kProfiles && !HasFailure(); ++p) {
        int share = kills / kProfiles + (p < kills % kProfiles ? 1 : 0);
        // Seeds of different profiles never meet: message ids are made of them.
        crashRounds(share, seed * 100000000ull + static_cast<std::uint64_t>(p) * 10000000ull, stats);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "[ crash    ] " << stats.kills << " kills (" << stats.pointKills << " at crash points, "
              << stats.startupKills << " at start-up, " << stats.recoveryKills << " of them during recovery) in " << seconds << " s; scratch files left by "
              << stats.scratchSeen << " kills; ids in two records after " << stats.duplicates
              << " checks; largest profile " << stats.maxMessages << " messages; leftover files at most "
              << stats.leftoverFiles << std::endl;
    if (!HasFailure()) {
        EXPECT_EQ(stats.kills, kills);
    }
}

} // namespace
} // namespace tavik
