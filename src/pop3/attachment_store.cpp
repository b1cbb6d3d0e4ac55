#include "pop3/attachment_store.h"

#include "text/unicode_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "profile/settings.h"

namespace tavik {

namespace {

constexpr std::size_t kFileNameAt = 0;
constexpr std::size_t kContentTypeAt = 256;
constexpr std::size_t kDispositionAt = 337;
constexpr std::size_t kDescriptionAt = 368;
constexpr std::size_t kSizeAt = 624;
constexpr std::size_t kContentIdAt = 628;
constexpr std::size_t kLocationAt = 669;
constexpr std::size_t kManagedFileAt = 925;
// Last number issued, in the header record.
constexpr std::size_t kLastNumberAt = kSizeAt;
// Block size of CopyAttachmentFile.
constexpr std::size_t kCopyBlock = 2048;

std::string errnoText() { return std::strerror(errno); }

void putString(std::string& r, std::size_t at, const std::string& s, std::size_t room)
{
    // Never inside a UTF-8 sequence: a cut character would make the whole field read as 8-bit.
    std::size_t n = utf8CutPoint(s, room);
    r[at] = static_cast<char>(n);
    std::memcpy(r.data() + at + 1, s.data(), n);
}

std::string getString(const char* r, std::size_t at, std::size_t room)
{
    std::size_t n = std::min<std::size_t>(static_cast<unsigned char>(r[at]), room);
    return std::string(r + at + 1, n);
}

void putInt32(char* r, std::int32_t v)
{
    auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        r[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
}

std::int32_t getInt32(const char* r)
{
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<std::uint32_t>(static_cast<unsigned char>(r[i])) << (8 * i);
    return static_cast<std::int32_t>(u);
}

std::string withSlash(std::string path)
{
    if (!path.empty() && path.back() != '/')
        path.push_back('/');
    return path;
}

// Closes a descriptor and removes an unfinished temporary file unless released.
struct TempFileGuard {
    int fd = -1;
    std::string path;
    ~TempFileGuard()
    {
        if (fd >= 0)
            ::close(fd);
        if (!path.empty())
            ::unlink(path.c_str());
    }
};

struct FdGuard {
    int fd = -1;
    ~FdGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

void checkLocation(const std::string& location)
{
    if (location.size() > kLocationRoom)
        throw FileError(location, "is longer than the " + std::to_string(kLocationRoom)
                                      + " bytes an attachment record can hold");
}

} // namespace

std::string encodeAttachmentRecord(const TMIMEAttachment& a)
{
    std::string r(kAttachmentRecordSize, '\0');
    putString(r, kFileNameAt, a.FileName, kFileNameRoom);
    putString(r, kContentTypeAt, a.ContentType, kContentTypeRoom);
    putString(r, kDispositionAt, a.Disposition, kDispositionRoom);
    putString(r, kDescriptionAt, a.Description, kDescriptionRoom);
    putInt32(r.data() + kSizeAt, a.Size);
    putString(r, kContentIdAt, a.ContentID, kContentIdRoom);
    putString(r, kLocationAt, a.Location, kLocationRoom);
    r[kManagedFileAt] = static_cast<char>(a.ManagedFile);
    return r;
}

TMIMEAttachment decodeAttachmentRecord(const char* r)
{
    TMIMEAttachment a;
    a.FileName = getString(r, kFileNameAt, kFileNameRoom);
    a.ContentType = getString(r, kContentTypeAt, kContentTypeRoom);
    a.Disposition = getString(r, kDispositionAt, kDispositionRoom);
    a.Description = getString(r, kDescriptionAt, kDescriptionRoom);
    a.Size = getInt32(r + kSizeAt);
    a.ContentID = getString(r, kContentIdAt, kContentIdRoom);
    a.Location = getString(r, kLocationAt, kLocationRoom);
    a.ManagedFile = static_cast<std::uint8_t>(r[kManagedFileAt]);
    return a;
}

std::string safeFileName(std::string_view name)
{
    auto slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    std::string out(name);
    for (char& c : out) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            c = '_';
    }
    auto first = out.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    out = out.substr(first, out.find_last_not_of(' ') - first + 1);
    if (out == "." || out == "..")
        return std::string();
    return out;
}

void ensurePrivateDirectory(const std::string& dir)
{
    std::string p = dir;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) {
        if (errno != ENOENT)
            throw FileError(p, "cannot be examined: " + errnoText());
        makePrivateDirectories(p);
        if (::lstat(p.c_str(), &st) != 0)
            throw FileError(p, "cannot be examined: " + errnoText());
    }
    if (S_ISLNK(st.st_mode))
        throw FileError(p, "is a symbolic link, not a private directory");
    if (!S_ISDIR(st.st_mode))
        throw FileError(p, "is not a directory");
    if (st.st_uid != ::geteuid())
        throw FileError(p, "belongs to another user");
    if ((st.st_mode & 077) != 0 && ::chmod(p.c_str(), kPrivateDirMode) != 0)
        throw FileError(p, "cannot be made private: " + errnoText());
}

std::string privateScratchDirectory()
{
    std::string dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/') {
        dir = withSlash(runtime) + "tavik/";
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp && *tmp == '/' ? std::string(tmp) : std::string("/tmp");
        dir = withSlash(base) + "tavik-" + std::to_string(::geteuid()) + "/";
    }
    ensurePrivateDirectory(dir);
    return dir;
}

TAttachmentManager::IndexState TAttachmentManager::readIndexState(const RandomAccessFile& f)
{
    IndexState s;
    s.size = f.size();
    if (s.size < kAttachmentRecordSize)
        throw FileError(f.path(), "is shorter than its header record: the attachment index is damaged");
    char last[4];
    f.readAt(kLastNumberAt, last, sizeof last);
    // A header behind the records it counts (damage) must not make numbers be issued twice.
    std::uint64_t records = s.size / kAttachmentRecordSize - 1;
    s.records = static_cast<std::int32_t>(std::min<std::uint64_t>(records, INT32_MAX));
    s.last = std::max(std::max(getInt32(last), 0), s.records);
    return s;
}

void TAttachmentManager::SetAttachmentDirectory(const std::string& path)
{
    if (path.empty()) {
        directory_.clear();
        lastNumber_ = 0;
        return;
    }
    std::string dir = withSlash(path);
    makePrivateDirectories(dir);
    std::string idx = dir + kAttachmentIndexName;
    if (!fileExists(idx))
        writeFileAtomically(idx, std::string(kAttachmentRecordSize, '\0'));
    RandomAccessFile f(idx, RandomAccessFile::Mode::ReadOnly);
    IndexState s = readIndexState(f);
    directory_ = dir;
    lastNumber_ = s.last;
}

const std::string& TAttachmentManager::AttachmentDirectory()
{
    if (directory_.empty())
        SetAttachmentDirectory(DefaultProgramDirectory() + "attach/");
    return directory_;
}

std::int32_t TAttachmentManager::RegisterAttachment(TMIMEAttachment& record, bool flush)
{
    std::string dir = AttachmentDirectory();
    std::string idx = dir + kAttachmentIndexName;
    RandomAccessFile f(idx, RandomAccessFile::Mode::ReadWrite);
    IndexState s = readIndexState(f);
    std::int32_t last = std::max(lastNumber_, s.last);
    // Record N is written before the header says N, so a number beyond the records means the
    // file lost its end: issuing after it would leave a hole as large as the number says, and
    // issuing after the records would reuse numbers messages may still name.
    if (last > s.records)
        throw FileError(idx, "numbers attachments up to " + std::to_string(last) + " but holds records only up to "
                                 + std::to_string(s.records) + ": the attachment index is damaged");
    if (last == std::numeric_limits<std::int32_t>::max())
        throw FileError(idx, "has issued the highest attachment number there is");
    std::int32_t n = last + 1;
    TMIMEAttachment r = record;
    if (r.Location.empty()) {
        r.Location = dir + "a" + std::to_string(n);
        r.ManagedFile = 1;
    } else {
        r.ManagedFile = 0;
    }
    checkLocation(r.Location);
    // Record first, header last: a crash in between leaves the number unissued. The record is
    // made durable before the header names it, so only outside damage puts the header beyond it.
    f.writeAt(static_cast<std::uint64_t>(n) * kAttachmentRecordSize, encodeAttachmentRecord(r).data(),
              kAttachmentRecordSize);
    if (flush)
        f.sync();
    char header[4];
    putInt32(header, n);
    f.writeAt(kLastNumberAt, header, sizeof header);
    record = std::move(r);
    lastNumber_ = n;
    return n;
}

std::int32_t TAttachmentManager::RestoreIssuedRecords()
{
    constexpr std::int32_t kMostRestored = 65536;
    const std::string idx = IndexPath();
    RandomAccessFile f(idx, RandomAccessFile::Mode::ReadWrite);
    const IndexState s = readIndexState(f);
    char header[4];
    f.readAt(kLastNumberAt, header, sizeof header);
    const std::int32_t issued = getInt32(header);
    if (issued <= s.records || issued - s.records > kMostRestored)
        return 0;
    const std::string block(static_cast<std::size_t>(issued - s.records) * kAttachmentRecordSize, '\0');
    f.writeAt(static_cast<std::uint64_t>(s.records + 1) * kAttachmentRecordSize, block.data(), block.size());
    f.sync();
    lastNumber_ = std::max(lastNumber_, issued);
    return issued - s.records;
}

void TAttachmentManager::UpdateAttachment(std::int32_t n, const TMIMEAttachment& record)
{
    std::string idx = IndexPath();
    RandomAccessFile f(idx, RandomAccessFile::Mode::ReadWrite);
    IndexState s = readIndexState(f);
    if (n < 1 || n > s.last)
        throw FileError(idx, "has issued no attachment " + std::to_string(n));
    // Writing a record the file lacks would grow it by the gap before it.
    if (n > s.records)
        throw FileError(idx, "has no record for attachment " + std::to_string(n) + ": the attachment index is damaged");
    checkLocation(record.Location);
    const std::uint64_t at = static_cast<std::uint64_t>(n) * kAttachmentRecordSize;
    char old[kAttachmentRecordSize];
    f.readAt(at, old, sizeof old);
    try {
        f.writeAt(at, encodeAttachmentRecord(record).data(), kAttachmentRecordSize);
    } catch (const FileError&) {
        // A write cut short leaves a record of two halves, whose Location may name another
        // attachment's file: the old record goes back, whole.
        try {
            f.writeAt(at, old, sizeof old);
        } catch (const FileError&) {
        }
        throw;
    }
}

TMIMEAttachment TAttachmentManager::GetAttachment(std::int32_t n)
{
    std::string idx = IndexPath();
    RandomAccessFile f(idx, RandomAccessFile::Mode::ReadOnly);
    std::uint64_t size = f.size();
    if (n < 1 || (static_cast<std::uint64_t>(n) + 1) * kAttachmentRecordSize > size)
        throw FileError(idx, "has no record for attachment " + std::to_string(n));
    char r[kAttachmentRecordSize];
    f.readAt(static_cast<std::uint64_t>(n) * kAttachmentRecordSize, r, sizeof r);
    return decodeAttachmentRecord(r);
}

void TAttachmentManager::CopyAttachmentFile(std::int32_t n, const std::string& destination)
{
    TMIMEAttachment r = GetAttachment(n);
    if (r.Location.empty())
        throw FileError(IndexPath(), "names no file for attachment " + std::to_string(n));
    FdGuard in;
    // Without O_NONBLOCK a pipe with no writer would block the open; what it names is checked
    // before a byte is read, so that neither a pipe nor an endless device is copied.
    in.fd = ::open(r.Location.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (in.fd < 0)
        throw FileError(r.Location, "cannot open: " + errnoText());
    struct stat a, b;
    if (::fstat(in.fd, &a) != 0)
        throw FileError(r.Location, "cannot be examined: " + errnoText());
    if (!S_ISREG(a.st_mode))
        throw FileError(r.Location, "is not a regular file");
    int flags = ::fcntl(in.fd, F_GETFL);
    if (flags < 0 || ::fcntl(in.fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        throw FileError(r.Location, "cannot be read: " + errnoText());
    if (::stat(destination.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        return; // a copy onto itself would truncate it

    TempFileGuard out;
    std::string tmp = destination + ".tmp-XXXXXX";
    out.fd = ::mkstemp(tmp.data());
    if (out.fd < 0)
        throw FileError(destination, "cannot create a temporary file beside it: " + errnoText());
    out.path = tmp;
    if (::fchmod(out.fd, kPrivateFileMode) != 0)
        throw FileError(tmp, "cannot set permissions: " + errnoText());
    char block[kCopyBlock];
    for (;;) {
        ssize_t got = ::read(in.fd, block, sizeof block);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw FileError(r.Location, "cannot read: " + errnoText());
        }
        if (got == 0)
            break;
        ssize_t put;
        do {
            put = ::write(out.fd, block, static_cast<std::size_t>(got));
        } while (put < 0 && errno == EINTR);
        if (put < 0)
            throw FileError(destination, "cannot write: " + errnoText());
        if (put != got)
            throw FileError(destination, "cannot write: only " + std::to_string(put) + " of "
                                             + std::to_string(got) + " bytes were written (disk full?)");
    }
    if (::fsync(out.fd) != 0)
        throw FileError(tmp, "cannot flush: " + errnoText());
    int fd = out.fd;
    out.fd = -1;
    if (::close(fd) != 0)
        throw FileError(tmp, "cannot close: " + errnoText());
    if (::rename(tmp.c_str(), destination.c_str()) != 0)
        throw FileError(destination, "cannot replace: " + errnoText());
    out.path.clear();
}

std::string TAttachmentManager::AttachmentTempFile(std::int32_t n, const std::string& extension)
{
    TMIMEAttachment r = GetAttachment(n);
    if (r.ManagedFile != 1)
        return r.Location;
    std::string dir;
    if (TempDirectory.empty()) {
        dir = privateScratchDirectory();
    } else {
        dir = withSlash(TempDirectory);
        ensurePrivateDirectory(dir);
    }
    std::string name = safeFileName(r.Location);
    if (name.empty())
        throw FileError(r.Location, "is not the path of a file");
    std::string ext = safeFileName(extension);
    std::size_t firstNonDot = ext.find_first_not_of('.');
    ext = firstNonDot == std::string::npos ? std::string() : ext.substr(firstNonDot);
    std::string path = dir + name + (ext.empty() ? std::string() : "." + ext);
    CopyAttachmentFile(n, path);
    if (std::find(TempFiles.begin(), TempFiles.end(), path) == TempFiles.end())
        TempFiles.push_back(path);
    return path;
}

void TAttachmentManager::RemoveTempFiles()
{
    for (const auto& p : TempFiles)
        ::unlink(p.c_str());
    TempFiles.clear();
}

} // namespace tavik
