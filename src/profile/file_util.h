// File primitives shared by every stored format: the error type, whole-file reads, atomic
// replacement and a small random-access file. Standard C++ plus POSIX only.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <sys/types.h>

namespace tavik {

// A file that could not be opened, read, written, renamed or that holds data that does not fit
// its format. The message names the file; `path` holds it for callers that want it alone.
class FileError : public std::runtime_error {
public:
    FileError(const std::string& path, const std::string& what);
    std::string path;
};

// Mode of every file and directory a profile holds: private to the user.
constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPrivateDirMode = 0700;

// Reads a whole file; throws FileError when it cannot. `maxBytes` bounds what is allocated.
std::string readWholeFile(const std::string& path, std::uint64_t maxBytes = UINT64_MAX);

// True when the path names an existing file (or directory).
bool fileExists(const std::string& path);

// Size of a file in bytes; throws FileError when it cannot be read.
std::uint64_t fileSize(const std::string& path);

// Replaces `path` with `bytes` atomically: writes a sibling temporary file, flushes it to disk
// and renames it over the target. A crash leaves the old file or the new one, never a mix.
void writeFileAtomically(const std::string& path, const std::string& bytes, mode_t mode = kPrivateFileMode);

// Copies `from` to `to` through writeFileAtomically. A copy onto the same file (same device and
// inode, or the same path) does nothing, so the file is never truncated by its own copy.
void copyFileAtomically(const std::string& from, const std::string& to);

// Appends `bytes` to `path` (created private when missing) with one write; FileError. No flush:
// for journals whose lines only need to outlast the program, not the power.
void appendToFile(const std::string& path, const std::string& bytes);

// Creates a directory and its missing parents with private permissions; throws FileError.
void makePrivateDirectories(const std::string& path);

// Renames `from` over `to` (atomic on one file system); throws FileError.
void renameFile(const std::string& from, const std::string& to);

// Removes a file when present; throws FileError only when it exists and cannot be removed.
void removeFileIfPresent(const std::string& path);

// Flushes the directory entry table so that renames in it survive a power loss; throws
// FileError when the flush fails (a file system that cannot flush directories is no failure).
void syncDirectory(const std::string& dir);

// Flushes everything written to the file system that holds `dir` (file data, new and renamed
// directory entries) in one call: many files made durable together cost one flush, not one
// each. Throws FileError when the flush fails.
void syncFileSystem(const std::string& dir);
// Whether two existing paths lie on one file system.
bool sameFileSystem(const std::string& a, const std::string& b);

// An open file for positioned reads and writes. Closed by its destructor; every method throws
// FileError naming the file.
class RandomAccessFile {
public:
    enum class Mode { ReadOnly, ReadWrite, CreateTruncate };
    RandomAccessFile(const std::string& path, Mode mode);
    ~RandomAccessFile();
    RandomAccessFile(const RandomAccessFile&) = delete;
    RandomAccessFile& operator=(const RandomAccessFile&) = delete;

    std::uint64_t size() const;
    // Reads exactly `n` bytes at `offset` into `buf`; a short file is a FileError.
    void readAt(std::uint64_t offset, void* buf, std::size_t n) const;
    void writeAt(std::uint64_t offset, const void* buf, std::size_t n);
    void truncate(std::uint64_t length);
    void sync();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

} // namespace tavik
