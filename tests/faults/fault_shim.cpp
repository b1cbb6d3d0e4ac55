// A preloaded library that makes one chosen file system call fail, so the tests can watch the
// store meet a disk that refuses a write, a flush, a rename or the creation of a file.
//
// Nothing is counted until the program opens the gate (tavik_fault_gate(1), found with dlsym):
// the set-up of a test is never the step that fails. While the gate is open every call of the
// kind named by TAVIK_FAULT_KIND is counted:
//   write   write, pwrite, pwrite64, ftruncate (descriptors 0 to 2 are never counted)
//   fsync   fsync, fdatasync
//   rename  rename, renameat, renameat2
//   open    open, open64, openat, openat64, creat with a writing mode; mkstemp and its kin
// TAVIK_FAULT_AT=N fails the Nth call (with TAVIK_FAULT_ERRNO, default ENOSPC for write and
// open, EIO otherwise). TAVIK_FAULT_STICKY=1 fails every call from the Nth on: a disk that has
// gone bad. TAVIK_FAULT_SHORT=1 (write only) lets the Nth call transfer half its bytes and fails
// the next one, as a disk running full does.
//
// TAVIK_FAULT_KILL=1 kills the process (SIGKILL) at the Nth call instead, before the call is
// made: a crash at that very point. TAVIK_FAULT_GATE=1 opens the gate as the library loads, for
// programs that never open it themselves.
//
// Flushes that pass return at once without reaching the disk, unless TAVIK_FAULT_REAL_SYNC=1:
// no test here cuts the power, and real flushes would make a sweep of thousands of runs slow.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

enum class Kind { None, Write, Fsync, Rename, Open };

struct Plan {
    Kind kind = Kind::None;
    long at = 0;
    bool sticky = false;
    bool shortWrite = false;
    bool kill = false;
    int error = 0;
};

Plan gPlan;
bool gGateOpen = false;
long gCalls = 0;
bool gFired = false;
bool gFailNext = false;

long envLong(const char* name)
{
    const char* v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : 0;
}

Plan readPlan()
{
    Plan p;
    const char* kind = std::getenv("TAVIK_FAULT_KIND");
    if (!kind)
        return p;
    if (!std::strcmp(kind, "write"))
        p.kind = Kind::Write;
    else if (!std::strcmp(kind, "fsync"))
        p.kind = Kind::Fsync;
    else if (!std::strcmp(kind, "rename"))
        p.kind = Kind::Rename;
    else if (!std::strcmp(kind, "open"))
        p.kind = Kind::Open;
    p.at = envLong("TAVIK_FAULT_AT");
    p.sticky = envLong("TAVIK_FAULT_STICKY") != 0;
    p.shortWrite = envLong("TAVIK_FAULT_SHORT") != 0 && p.kind == Kind::Write;
    p.kill = envLong("TAVIK_FAULT_KILL") != 0;
    p.error = static_cast<int>(envLong("TAVIK_FAULT_ERRNO"));
    if (p.error == 0)
        p.error = p.kind == Kind::Write || p.kind == Kind::Open ? ENOSPC : EIO;
    return p;
}

bool realSync()
{
    static const bool real = envLong("TAVIK_FAULT_REAL_SYNC") != 0;
    return real;
}

enum class Verdict { Pass, Fail, Short };

// Counts one call of `kind` and says what becomes of it.
Verdict judge(Kind kind)
{
    if (!gGateOpen || kind != gPlan.kind || gPlan.at <= 0)
        return Verdict::Pass;
    ++gCalls;
    if (gFailNext) {
        gFailNext = false;
        return Verdict::Fail;
    }
    if (gCalls == gPlan.at && gPlan.kill)
        ::kill(::getpid(), SIGKILL);
    if (gCalls == gPlan.at || (gPlan.sticky && gCalls > gPlan.at)) {
        gFired = true;
        if (gPlan.shortWrite && gCalls == gPlan.at) {
            gFailNext = true;
            return Verdict::Short;
        }
        return Verdict::Fail;
    }
    return Verdict::Pass;
}

template <typename F>
F next(const char* name)
{
    void* f = ::dlsym(RTLD_NEXT, name);
    if (!f)
        std::abort();
    return reinterpret_cast<F>(f);
}

int fail()
{
    errno = gPlan.error;
    return -1;
}

bool writesWith(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0; }

mode_t modeArgument(int flags, va_list ap)
{
    if (flags & (O_CREAT | O_TMPFILE))
        return static_cast<mode_t>(va_arg(ap, int));
    return 0;
}

// The standard descriptors carry the program's own messages, never the store's files.
template <typename Call>
ssize_t writeLike(int fd, size_t n, Call call)
{
    Verdict v = fd > 2 ? judge(Kind::Write) : Verdict::Pass;
    if (v == Verdict::Fail)
        return fail();
    // A single byte cannot be written in part: it fails outright.
    if (v == Verdict::Short && n <= 1) {
        gFailNext = false;
        return fail();
    }
    if (v == Verdict::Short)
        return call(n / 2);
    return call(n);
}

} // namespace

extern "C" {

// Opens (1) or closes (0) the gate. Opening rereads the plan and restarts the count.
__attribute__((visibility("default"))) void tavik_fault_gate(int open)
{
    if (open) {
        gPlan = readPlan();
        gCalls = 0;
        gFired = false;
        gFailNext = false;
    }
    gGateOpen = open != 0;
}

__attribute__((constructor)) static void openGateAtLoad()
{
    if (envLong("TAVIK_FAULT_GATE") != 0)
        tavik_fault_gate(1);
}

// Calls of the planned kind counted since the gate was opened.
__attribute__((visibility("default"))) long tavik_fault_calls() { return gCalls; }

// 1 once the planned call has been failed (or shortened).
__attribute__((visibility("default"))) int tavik_fault_fired() { return gFired ? 1 : 0; }

ssize_t write(int fd, const void* buf, size_t n)
{
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    return writeLike(fd, n, [&](size_t k) { return real(fd, buf, k); });
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at)
{
    static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    return writeLike(fd, n, [&](size_t k) { return real(fd, buf, k, at); });
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off_t at)
{
    static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
    return writeLike(fd, n, [&](size_t k) { return real(fd, buf, k, at); });
}

int ftruncate(int fd, off_t length)
{
    static auto real = next<int (*)(int, off_t)>("ftruncate");
    if (fd > 2 && judge(Kind::Write) != Verdict::Pass)
        return fail();
    return real(fd, length);
}

int fsync(int fd)
{
    static auto real = next<int (*)(int)>("fsync");
    if (judge(Kind::Fsync) != Verdict::Pass)
        return fail();
    return realSync() ? real(fd) : 0;
}

int fdatasync(int fd)
{
    static auto real = next<int (*)(int)>("fdatasync");
    if (judge(Kind::Fsync) != Verdict::Pass)
        return fail();
    return realSync() ? real(fd) : 0;
}

int rename(const char* from, const char* to)
{
    static auto real = next<int (*)(const char*, const char*)>("rename");
    if (judge(Kind::Rename) != Verdict::Pass)
        return fail();
    return real(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to)
{
    static auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    if (judge(Kind::Rename) != Verdict::Pass)
        return fail();
    return real(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags)
{
    static auto real = next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    if (judge(Kind::Rename) != Verdict::Pass)
        return fail();
    return real(fromDir, from, toDir, to, flags);
}

int open(const char* path, int flags, ...)
{
    static auto real = next<int (*)(const char*, int, ...)>("open");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArgument(flags, ap);
    va_end(ap);
    if (writesWith(flags) && judge(Kind::Open) != Verdict::Pass)
        return fail();
    return real(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    static auto real = next<int (*)(const char*, int, ...)>("open64");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArgument(flags, ap);
    va_end(ap);
    if (writesWith(flags) && judge(Kind::Open) != Verdict::Pass)
        return fail();
    return real(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...)
{
    static auto real = next<int (*)(int, const char*, int, ...)>("openat");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArgument(flags, ap);
    va_end(ap);
    if (writesWith(flags) && judge(Kind::Open) != Verdict::Pass)
        return fail();
    return real(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...)
{
    static auto real = next<int (*)(int, const char*, int, ...)>("openat64");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArgument(flags, ap);
    va_end(ap);
    if (writesWith(flags) && judge(Kind::Open) != Verdict::Pass)
        return fail();
    return real(dir, path, flags, mode);
}

int creat(const char* path, mode_t mode)
{
    static auto real = next<int (*)(const char*, mode_t)>("creat");
    if (judge(Kind::Open) != Verdict::Pass)
        return fail();
    return real(path, mode);
}

// The C library creates these files through its own internal open, out of reach above.
int mkstemp(char* tmpl)
{
    static auto real = next<int (*)(char*)>("mkstemp");
    if (judge(Kind::Open) != Verdict::Pass)
        return fail();
    return real(tmpl);
}

int mkstemp64(char* tmpl)
{
    static auto real = next<int (*)(char*)>("mkstemp64");
    if (judge(Kind::Open) != Verdict::Pass)
        return fail();
    return real(tmpl);
}

int mkostemp(char* tmpl, int flags)
{
    static auto real = next<int (*)(char*, int)>("mkostemp");
    if (judge(Kind::Open) != Verdict::Pass)
        return fail();
    return real(tmpl, flags);
}

} // extern "C"
