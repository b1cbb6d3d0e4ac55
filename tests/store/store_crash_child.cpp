// Worker for the store's crash test: works on the standard mailboxes of one profile directory with
// random operations until it is killed.
//
//   store_crash_child PROFILE_DIR SEED [PROGRESS_FD [DIE_AT]]
//
// Mailboxes live in PROFILE_DIR/mailboxe/. Every message carries its own id and a checksum of its
// body, so the checker needs nothing but the text to tell an intact message from a damaged one.
// PROFILE_DIR/journal gets "A <id>" once AppendMessage has returned and "D <id>" for every message
// about to be destroyed on purpose (EmptyMailbox of Trash); each line is one write(2), which a
// kill -9 cannot undo. PROGRESS_FD (default 3) receives 'S' before the mailbox directory is set
// (recovery runs there), 'R' once it is set and one 'o' per finished operation, so the killer can
// pick its instant by the work it has seen.
//
// With DIE_AT > 0 the child kills itself with SIGKILL just before its DIE_AT-th file-changing
// system call (open to create or truncate, write, pwrite, ftruncate, rename, link, unlink, mkdir):
// a kill at an exact point between two steps, however narrow the gap, and one that the same
// profile, SEED and DIE_AT repeat exactly.
//
// Exits 3 when the store raises an error, 4 when the store contradicts itself; a kill is the only
// normal end.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <exception>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "store/mailbox_store.h"

// Crash points. The definitions of the C library functions further down take the library's place
// for the store code linked into this program; each counts the call, then hands it on.
namespace {

long gDieAt = 0;
long gChanges = 0;
int gJournalFd = -1;
int gProgressFd = -1;

void beforeChange()
{
    if (gDieAt > 0 && ++gChanges >= gDieAt)
        ::kill(::getpid(), SIGKILL);
}

template <typename F>
F libraryFunction(const char* name)
{
    void* f = ::dlsym(RTLD_NEXT, name);
    if (!f)
        std::abort();
    return reinterpret_cast<F>(f);
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    static auto real = libraryFunction<int (*)(const char*, int, ...)>("open");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (flags & (O_CREAT | O_TRUNC))
        beforeChange();
    return real(path, flags, mode);
}

ssize_t write(int fd, const void* buf, size_t n)
{
    static auto real = libraryFunction<ssize_t (*)(int, const void*, size_t)>("write");
    // The journal, the progress pipe and error messages are the test's own, not the store's.
    if (fd != gJournalFd && fd != gProgressFd && fd != 2)
        beforeChange();
    return real(fd, buf, n);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at)
{
    static auto real = libraryFunction<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    beforeChange();
    return real(fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off_t at)
{
    static auto real = libraryFunction<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
    beforeChange();
    return real(fd, buf, n, at);
}

int ftruncate(int fd, off_t length)
{
    static auto real = libraryFunction<int (*)(int, off_t)>("ftruncate");
    beforeChange();
    return real(fd, length);
}

int rename(const char* from, const char* to) noexcept
{
    static auto real = libraryFunction<int (*)(const char*, const char*)>("rename");
    beforeChange();
    return real(from, to);
}

int link(const char* from, const char* to) noexcept
{
    static auto real = libraryFunction<int (*)(const char*, const char*)>("link");
    beforeChange();
    return real(from, to);
}

int unlink(const char* path) noexcept
{
    static auto real = libraryFunction<int (*)(const char*)>("unlink");
    beforeChange();
    return real(path);
}

int mkdir(const char* path, mode_t mode) noexcept
{
    static auto real = libraryFunction<int (*)(const char*, mode_t)>("mkdir");
    beforeChange();
    return real(path, mode);
}

} // extern "C"

namespace {

using tavik::TNMailBox;

constexpr int kMailboxCount = 5;
constexpr int kTrash = 5;
const char* const kMailboxList[kMailboxCount] = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts",
                                                 "m4=Trash"};

// Bounds that keep the profile small enough to be checked after every kill.
constexpr int kMaxTotalMessages = 400;
constexpr std::int64_t kMaxLiveBytes = 6 * 1024 * 1024;

struct Inconsistent : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// splitmix64: the same stream on every platform, unlike the standard distributions.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi].
    int between(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<std::uint64_t>(hi - lo + 1)); }
    bool chance(int percent) { return between(1, 100) <= percent; }

private:
    std::uint64_t state_;
};

// The checksum the checker recomputes: FNV-1a over each line's length and bytes.
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

std::string bodyLine(Random& rnd, int length)
{
    std::string line(static_cast<std::size_t>(length), ' ');
    bool binary = rnd.chance(20);
    for (auto& c : line)
        c = binary ? static_cast<char>(rnd.between(1, 255)) : static_cast<char>(rnd.between(32, 126));
    // A CR LF inside a line would split it on reading; lone CRs and LFs stay and are worth keeping.
    for (std::size_t i = 1; i < line.size(); ++i)
        if (line[i - 1] == '\r' && line[i] == '\n')
            line[i] = 'x';
    return line;
}

struct Profile {
    std::string dir;
    std::string mailboxDir;
    int journalFd = -1;
    int progressFd = 3;
};

void writeFully(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            std::perror("store_crash_child: write");
            std::_Exit(5);
        }
        done += static_cast<std::size_t>(w);
    }
}

// A parent that has gone away ends the child through SIGPIPE here.
void progress(const Profile& p, char c) { writeFully(p.progressFd, std::string(1, c)); }

class Worker {
public:
    Worker(Profile p, std::uint64_t seed) : p_(std::move(p)), seed_(seed), rnd_(seed) {}

    void run()
    {
        for (auto* line : kMailboxList)
            box_.MailBoxes.emplace_back(line);
        progress(p_, 'S');
        box_.SetMailBoxDirectory(p_.mailboxDir);
        progress(p_, 'R');
        for (;;) {
            step();
            progress(p_, 'o');
        }
    }

private:
    struct Totals {
        int count[kMailboxCount + 1] = {};
        std::int64_t liveBytes = 0;
        int messages = 0;
    };

    Totals totals()
    {
        Totals t;
        for (int n = 1; n <= kMailboxCount; ++n) {
            box_.SetCurrentMailBoxNumber(n);
            t.count[n] = box_.CurrentMailBoxMessages();
            t.messages += t.count[n];
            t.liveBytes += box_.CurrentNMailBoxSize() - box_.CurrentNMailBoxTrash();
        }
        return t;
    }

    void step()
    {
        Totals t = totals();
        bool crowded = t.messages > kMaxTotalMessages || t.liveBytes > kMaxLiveBytes;
        if (crowded && t.count[kTrash] > 0 && rnd_.chance(50)) {
            emptyTrash();
            return;
        }
        if (crowded && rnd_.chance(70)) {
            moveSome(t, kTrash);
            return;
        }
        int r = rnd_.between(1, 100);
        if (r <= 40)
            append();
        else if (r <= 55)
            moveOne(t);
        else if (r <= 70)
            moveSome(t, 0);
        else if (r <= 78)
            trashAndCompress(t);
        else if (r <= 86)
            compressOne();
        else if (r <= 89)
            compressAll();
        else if (r <= 94)
            flagOne(t);
        else if (t.count[kTrash] > 0)
            emptyTrash();
        else
            append();
    }

    int pickMailbox() { return rnd_.between(1, kMailboxCount); }

    // A random mailbox holding at least one message, 0 when all are empty.
    int pickNonEmpty(const Totals& t)
    {
        std::vector<int> candidates;
        for (int n = 1; n <= kMailboxCount; ++n)
            if (t.count[n] > 0)
                candidates.push_back(n);
        if (candidates.empty())
            return 0;
        return candidates[static_cast<std::size_t>(rnd_.between(0, static_cast<int>(candidates.size()) - 1))];
    }

    int pickOther(int source)
    {
        int target = rnd_.between(1, kMailboxCount - 1);
        return target >= source ? target + 1 : target;
    }

    void append()
    {
        std::uint64_t n = ++counter_;
        std::string id = std::to_string(seed_) + "." + std::to_string(n);
        Random body(seed_ * 0x2545F4914F6CDD1Dull + n);

        int lines;
        int shape = body.between(1, 100);
        if (shape <= 3)
            lines = body.between(3000, 12000); // a few hundred kilobytes
        else if (shape <= 12)
            lines = body.between(200, 1500);
        else
            lines = body.between(0, 40);
        int part = body.between(-32768, 32767);
        int attachStart = body.between(0, 100000);
        int attachEnd = attachStart == 0 ? 0 : attachStart + body.between(0, 5);

        std::vector<std::string> text;
        text.push_back("From: Crash Child <child@tavik.test>");
        text.push_back("X-Id: " + id);
        text.push_back("X-Record: " + std::to_string(part) + " " + std::to_string(attachStart) + " " +
                       std::to_string(attachEnd));
        text.push_back("X-Lines: " + std::to_string(lines));
        text.push_back(""); // X-Sum goes here once the body is known
        text.push_back("");
        const std::size_t bodyStart = text.size();
        for (int i = 0; i < lines; ++i)
            text.push_back(bodyLine(body, shape <= 3 ? body.between(40, 120) : body.between(0, 200)));
        char sum[40];
        std::snprintf(sum, sizeof sum, "X-Sum: %016" PRIx64, bodySum(text, bodyStart));
        text[4] = sum;

        box_.SetCurrentMailBoxNumber(pickAppendTarget());
        box_.Msg_Text = std::move(text);
        box_.Msg_From = "Crash Child <child@tavik.test>";
        box_.Msg_To = std::string(static_cast<std::size_t>(body.between(0, 120)), 't');
        box_.Msg_Subject = id;
        box_.Msg_Date = "Mon, 1 Jan 2024 12:00:00";
        box_.Msg_Flag = 'U';
        box_.Msg_Part = part;
        box_.Msg_AttachStart = attachStart;
        box_.Msg_AttachEnd = attachEnd;
        int before = box_.CurrentMailBoxMessages();
        box_.AppendMessage();
        if (box_.CurrentMailBoxMessages() != before + 1)
            throw Inconsistent("AppendMessage did not add one message");
        writeFully(p_.journalFd, "A " + id + "\n");
    }

    int pickAppendTarget()
    {
        int r = rnd_.between(1, 100);
        return r <= 40 ? 1 : r <= 60 ? 2 : r <= 75 ? 3 : r <= 90 ? 4 : 5;
    }

    void moveOne(const Totals& t)
    {
        int source = pickNonEmpty(t);
        if (source == 0)
            return append();
        int target = pickOther(source);
        box_.SetCurrentMailBoxNumber(source);
        box_.SetMsg_Number(rnd_.between(1, t.count[source]));
        box_.MoveMessage(box_.MailboxKey(target));
        expectCounts(source, t.count[source] - 1, target, t.count[target] + 1);
    }

    // Moves a random batch, in random order, from a random mailbox to `target` (0: any other).
    // Returns the source, 0 when nothing could be moved.
    int moveSome(const Totals& t, int target)
    {
        int source = 0;
        for (int tries = 0; tries < 8 && source == 0; ++tries) {
            int s = pickNonEmpty(t);
            if (s != 0 && s != target)
                source = s;
        }
        if (source == 0)
            return 0;
        if (target == 0)
            target = pickOther(source);
        std::vector<int> numbers(static_cast<std::size_t>(t.count[source]));
        for (std::size_t i = 0; i < numbers.size(); ++i)
            numbers[i] = static_cast<int>(i) + 1;
        for (std::size_t i = numbers.size(); i > 1; --i)
            std::swap(numbers[i - 1], numbers[static_cast<std::size_t>(rnd_.next() % i)]);
        int k = rnd_.chance(10) ? t.count[source] : rnd_.between(1, std::min(t.count[source], 25));
        numbers.resize(static_cast<std::size_t>(k));
        box_.SetCurrentMailBoxNumber(source);
        box_.MoveMessages(numbers, box_.MailboxKey(target));
        expectCounts(source, t.count[source] - k, target, t.count[target] + k);
        return source;
    }

    void trashAndCompress(const Totals& t)
    {
        int source = moveSome(t, kTrash);
        if (source == 0)
            return append();
        box_.SetCurrentMailBoxNumber(source);
        int before = box_.CurrentMailBoxMessages();
        box_.CompressMailbox();
        box_.SetCurrentMailBoxNumber(source);
        if (box_.CurrentMailBoxMessages() != before || box_.CurrentNMailBoxTrash() != 0)
            throw Inconsistent("CompressMailbox changed the count or left trash");
    }

    void compressOne()
    {
        int n = pickMailbox();
        box_.SetCurrentMailBoxNumber(n);
        int before = box_.CurrentMailBoxMessages();
        box_.CompressMailbox();
        box_.SetCurrentMailBoxNumber(n);
        if (box_.CurrentMailBoxMessages() != before || box_.CurrentNMailBoxTrash() != 0)
            throw Inconsistent("CompressMailbox changed the count or left trash");
    }

    void compressAll() { box_.CompressMailboxes(rnd_.between(0, 50000)); }

    void flagOne(const Totals& t)
    {
        int n = pickNonEmpty(t);
        if (n == 0)
            return append();
        box_.SetCurrentMailBoxNumber(n);
        box_.SetMsg_Number(rnd_.between(1, t.count[n]));
        box_.SetMessageFlag(rnd_.chance(50) ? 'V' : 'R');
    }

    // The ids go to the journal before the mailbox is emptied: a kill in between only makes the
    // checker excuse messages that still exist.
    void emptyTrash()
    {
        box_.SetCurrentMailBoxNumber(kTrash);
        std::string lines;
        for (int m = 1; m <= box_.CurrentMailBoxMessages(); ++m) {
            box_.SetMsg_Number(m);
            lines += "D " + box_.Msg_Subject + "\n";
        }
        writeFully(p_.journalFd, lines);
        // Emptying Trash while another mailbox is current is the common case in the program.
        box_.SetCurrentMailBoxNumber(rnd_.between(1, kMailboxCount));
        box_.EmptyMailbox(kTrash);
        box_.SetCurrentMailBoxNumber(kTrash);
        if (box_.CurrentMailBoxMessages() != 0)
            throw Inconsistent("EmptyMailbox left messages in Trash");
    }

    void expectCounts(int source, int sourceCount, int target, int targetCount)
    {
        box_.SetCurrentMailBoxNumber(source);
        int s = box_.CurrentMailBoxMessages();
        box_.SetCurrentMailBoxNumber(target);
        int t = box_.CurrentMailBoxMessages();
        if (s != sourceCount || t != targetCount)
            throw Inconsistent("after a move mailbox " + std::to_string(source) + " holds " + std::to_string(s) +
                               " (expected " + std::to_string(sourceCount) + ") and mailbox " +
                               std::to_string(target) + " holds " + std::to_string(t) + " (expected " +
                               std::to_string(targetCount) + ")");
    }

    Profile p_;
    std::uint64_t seed_;
    Random rnd_;
    std::uint64_t counter_ = 0;
    TNMailBox box_;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: store_crash_child PROFILE_DIR SEED [PROGRESS_FD [DIE_AT]]\n");
        return 2;
    }
    Profile p;
    p.dir = argv[1];
    if (p.dir.empty() || p.dir.back() != '/')
        p.dir += '/';
    p.mailboxDir = p.dir + "mailboxe/";
    std::uint64_t seed = std::strtoull(argv[2], nullptr, 10);
    if (argc >= 4)
        p.progressFd = std::atoi(argv[3]);
    gProgressFd = p.progressFd;
    p.journalFd = ::open((p.dir + "journal").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (p.journalFd < 0) {
        std::perror("store_crash_child: journal");
        return 2;
    }
    gJournalFd = p.journalFd;
    // Counting starts here: the crash points are those of the store's work.
    if (argc == 5)
        gDieAt = std::atol(argv[4]);
    try {
        Worker(p, seed).run();
    } catch (const Inconsistent& e) {
        std::fprintf(stderr, "store_crash_child: seed %" PRIu64 ": %s\n", seed, e.what());
        return 4;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "store_crash_child: seed %" PRIu64 ": %s\n", seed, e.what());
        return 3;
    }
    return 0;
}
