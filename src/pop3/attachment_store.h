// The attachment store: every attachment of every stored message under a number, described by
// 928-byte records in "attach.idx", received contents in files "a" + number beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "profile/file_util.h"

namespace tavik {

// Size of one attachment record, and of the index header.
constexpr std::size_t kAttachmentRecordSize = 928;
// Name of the index file in the attachment directory.
constexpr const char* kAttachmentIndexName = "attach.idx";

// Room of each length-prefixed string of the record (characters after the length byte).
constexpr std::size_t kFileNameRoom = 255;
constexpr std::size_t kContentTypeRoom = 80;
constexpr std::size_t kDispositionRoom = 30;
constexpr std::size_t kDescriptionRoom = 255;
constexpr std::size_t kContentIdRoom = 40;
constexpr std::size_t kLocationRoom = 255;

// One attachment: the parser's description of a part it writes to a file, and the record of
// the store's index. Strings longer than their room are cut when encoded, except Location,
// which the store refuses rather than cut (a cut path names another file).
struct TMIMEAttachment {
    std::string FileName;                 // from "filename" (or Content-Type "name"); no path
    std::string ContentType = "text/plain";
    std::string Disposition;              // first 30 characters of the Content-Disposition value
    std::string Description;
    std::int32_t Size = 0;                // bytes in the file
    std::string ContentID;
    std::string Location;                 // full path of the file; empty: nothing is written
    std::uint8_t ManagedFile = 0;         // 1: the store chose Location

    // Clears every field as at the start of a part (ContentType "text/plain", Size 0).
    void clear() { *this = TMIMEAttachment(); }
};
using TMIMEAttachmentPtr = TMIMEAttachment*;

// The 928 bytes of a record (little-endian; string bytes past each length and padding zero).
std::string encodeAttachmentRecord(const TMIMEAttachment& record);
// Decodes 928 bytes; a length byte beyond its field's room is clamped to the room.
TMIMEAttachment decodeAttachmentRecord(const char* bytes);

// A name from a message made safe to be the last part of a path: only what follows its last
// "/" or "\" is kept, control characters become "_", blanks around it go, and "." or ".."
// give an empty name.
std::string safeFileName(std::string_view name);

// The store of one profile. Every operation opens "attach.idx", does its work and closes it;
// failures raise FileError and leave the index as it was. Numbers are issued from 1 upwards
// and never reused. The temporary copies made for viewers are listed in TempFiles and stay on
// disk until RemoveTempFiles.
class TAttachmentManager {
public:
    TAttachmentManager() = default;
    TAttachmentManager(const TAttachmentManager&) = delete;
    TAttachmentManager& operator=(const TAttachmentManager&) = delete;

    // Points the store at `path` (a trailing "/" is added): creates the directory (0700) and
    // an empty "attach.idx" when missing, and takes the last number from that index. On
    // failure the store keeps its previous directory. An empty path forgets the directory.
    void SetAttachmentDirectory(const std::string& path);
    // The directory in use; when none was set, DefaultProgramDirectory() + "attach/" is set.
    const std::string& AttachmentDirectory();
    // Full path of "attach.idx".
    std::string IndexPath() { return AttachmentDirectory() + kAttachmentIndexName; }
    // The highest number issued so far, as last read or written.
    std::int32_t LastNumber() const { return lastNumber_; }

    // Issues the next number N and writes the record as record N (then the header). An empty
    // Location becomes AttachmentDirectory() + "a" + N with ManagedFile 1; a given one is kept
    // with ManagedFile 0. A Location longer than 255 bytes is refused. Returns N. An index
    // whose last number lies beyond its records is damaged and refused (FileError): its
    // numbers must not be issued again, nor its file grown by the gap. The record is flushed
    // before the header names it, unless `flush` is false: a check of mail makes its
    // attachments durable in batches (a flush of the file system) instead.
    std::int32_t RegisterAttachment(TMIMEAttachment& record, bool flush = true);
    // After a check of mail that was cut off (the power gone between its flushes): a header
    // that counts up to 65536 records more than the file holds gets them written empty, so the
    // numbers stay issued (messages may name them) and registering works again. A larger gap is
    // left as damage. Returns the records written. FileError.
    std::int32_t RestoreIssuedRecords();
    // Rewrites record N (1 up to the last number issued, and present in the file) with `record`;
    // a write that fails puts the old record back.
    void UpdateAttachment(std::int32_t n, const TMIMEAttachment& record);
    // Reads record N.
    TMIMEAttachment GetAttachment(std::int32_t n);
    // Copies the file of attachment N to `destination` in 2048-byte blocks through a sibling
    // temporary file renamed over it; a short write is a FileError and the destination stays.
    // Only a regular file is copied: a Location naming a pipe, a device or a directory is a
    // FileError, raised without waiting on it.
    void CopyAttachmentFile(std::int32_t n, const std::string& destination);
    // A path a viewer can open: for a file the store manages, a copy named after the file with
    // "." + extension in the private scratch directory (listed in TempFiles); for a user's own
    // file, its Location unchanged.
    std::string AttachmentTempFile(std::int32_t n, const std::string& extension);
    // Deletes the listed temporary copies (for the owner's shutdown) and empties the list.
    void RemoveTempFiles();

    // The scratch directory for temporary copies, ending in "/"; empty: privateScratchDirectory().
    std::string TempDirectory;
    // Paths of the temporary copies made so far.
    std::vector<std::string> TempFiles;

private:
    struct IndexState {
        std::int32_t last = 0;    // the header's number, or the records present when more
        std::int32_t records = 0; // whole records after the header
        std::uint64_t size = 0;
    };
    static IndexState readIndexState(const RandomAccessFile& f);

    std::string directory_;
    std::int32_t lastNumber_ = 0;
};

// The per-user scratch directory (mode 0700, owned by the user, no symbolic link), created
// when missing: $XDG_RUNTIME_DIR/tavik/ when that is set, else $TMPDIR (or /tmp) + "/tavik-"
// + user id + "/". Throws FileError when it is not private and cannot be made so.
std::string privateScratchDirectory();
// Makes sure `dir` is a private directory of the user as above, creating it when missing.
void ensurePrivateDirectory(const std::string& dir);

} // namespace tavik
