#include "profile/file_util.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik {

namespace {

std::string errnoText() { return std::strerror(errno); }

std::string parentOf(const std::string& path)
{
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

void writeAll(int fd, const char* data, std::size_t n, const std::string& path)
{
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            throw FileError(path, "cannot write: " + errnoText());
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
}

} // namespace

FileError::FileError(const std::string& p, const std::string& what)
    : std::runtime_error("\"" + p + "\": " + what), path(p)
{
}

std::string readWholeFile(const std::string& path, std::uint64_t maxBytes)
{
    RandomAccessFile f(path, RandomAccessFile::Mode::ReadOnly);
    std::uint64_t n = f.size();
    if (n > maxBytes)
        throw FileError(path, "file is larger than " + std::to_string(maxBytes) + " bytes");
    std::string bytes(static_cast<std::size_t>(n), '\0');
    if (n)
        f.readAt(0, bytes.data(), bytes.size());
    return bytes;
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::uint64_t fileSize(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw FileError(path, "cannot read: " + errnoText());
    return static_cast<std::uint64_t>(st.st_size);
}

void writeFileAtomically(const std::string& path, const std::string& bytes, mode_t mode)
{
    std::string tmp = path + ".tmp-XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        throw FileError(path, "cannot create a temporary file beside it: " + errnoText());
    try {
        if (::fchmod(fd, mode) != 0)
            throw FileError(tmp, "cannot set permissions: " + errnoText());
        writeAll(fd, bytes.data(), bytes.size(), tmp);
        if (::fsync(fd) != 0)
            throw FileError(tmp, "cannot flush: " + errnoText());
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    if (::close(fd) != 0) {
        ::unlink(tmp.c_str());
        throw FileError(tmp, "cannot close: " + errnoText());
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        throw FileError(path, std::string("cannot replace: ") + std::strerror(e));
    }
}

void copyFileAtomically(const std::string& from, const std::string& to)
{
    struct stat a, b;
    if (from == to)
        return;
    if (::stat(from.c_str(), &a) == 0 && ::stat(to.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        return;
    writeFileAtomically(to, readWholeFile(from));
}

void makePrivateDirectories(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (p.empty())
        return;
    struct stat st;
    if (::stat(p.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            throw FileError(p, "is not a directory");
        return;
    }
    std::string parent = parentOf(p);
    if (parent != p)
        makePrivateDirectories(parent);
    if (::mkdir(p.c_str(), kPrivateDirMode) != 0 && errno != EEXIST)
        throw FileError(p, "cannot create directory: " + errnoText());
}

void renameFile(const std::string& from, const std::string& to)
{
    if (::rename(from.c_str(), to.c_str()) != 0)
        throw FileError(from, "cannot rename to \"" + to + "\": " + errnoText());
}

void appendToFile(const std::string& path, const std::string& bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kPrivateFileMode);
    if (fd < 0)
        throw FileError(path, "cannot open to append: " + errnoText());
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const std::string why = errnoText();
            ::close(fd);
            throw FileError(path, "cannot append: " + why);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0)
        throw FileError(path, "cannot append: " + errnoText());
}

void removeFileIfPresent(const std::string& path)
{
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw FileError(path, "cannot delete: " + errnoText());
}

void syncDirectory(const std::string& dir)
{
    const std::string path = dir.empty() ? "." : dir;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    // A file system that cannot flush a directory is no error; one whose flush fails is: the
    // renames just made may not last.
    int rc = ::fsync(fd);
    int e = errno;
    ::close(fd);
    if (rc != 0 && e != EINVAL && e != ENOTSUP && e != EROFS)
        throw FileError(path, std::string("cannot flush the directory: ") + std::strerror(e));
}

void syncFileSystem(const std::string& dir)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw FileError(dir, "cannot open to flush: " + errnoText());
    int rc = ::syncfs(fd);
    int e = errno;
    ::close(fd);
    if (rc != 0)
        throw FileError(dir, std::string("cannot flush the file system: ") + std::strerror(e));
}

bool sameFileSystem(const std::string& a, const std::string& b)
{
    struct stat x {}, y {};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev;
}

RandomAccessFile::RandomAccessFile(const std::string& path, Mode mode) : path_(path)
{
    int flags = O_CLOEXEC;
    switch (mode) {
    case Mode::ReadOnly: flags |= O_RDONLY; break;
    case Mode::ReadWrite: flags |= O_RDWR; break;
    case Mode::CreateTruncate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    fd_ = ::open(path.c_str(), flags, kPrivateFileMode);
    if (fd_ < 0)
        throw FileError(path, "cannot open: " + errnoText());
}

RandomAccessFile::~RandomAccessFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::uint64_t RandomAccessFile::size() const
{
    struct stat st;
    if (::fstat(fd_, &st) != 0)
        throw FileError(path_, "cannot read: " + errnoText());
    return static_cast<std::uint64_t>(st.st_size);
}

void RandomAccessFile::readAt(std::uint64_t offset, void* buf, std::size_t n) const
{
    char* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(offset));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            throw FileError(path_, "cannot read: " + errnoText());
        }
        if (r == 0)
            throw FileError(path_, "is shorter than its index says (truncated or corrupted)");
        p += r;
        n -= static_cast<std::size_t>(r);
        offset += static_cast<std::uint64_t>(r);
    }
}

void RandomAccessFile::writeAt(std::uint64_t offset, const void* buf, std::size_t n)
{
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(offset));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            throw FileError(path_, "cannot write: " + errnoText());
        }
        p += w;
        n -= static_cast<std::size_t>(w);
        offset += static_cast<std::uint64_t>(w);
    }
}

void RandomAccessFile::truncate(std::uint64_t length)
{
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0)
        throw FileError(path_, "cannot truncate: " + errnoText());
}

void RandomAccessFile::sync()
{
    if (::fsync(fd_) != 0)
        throw FileError(path_, "cannot flush: " + errnoText());
}

} // namespace tavik
