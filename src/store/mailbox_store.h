// The mailbox store: every read and write of the mailbox file pairs (key + ".idx", key + ".mbx")
// of a profile, and the table of list controls that hear about changes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "profile/file_util.h"

namespace tavik {

// Notices a list control receives from the store (the action of MailboxChanged).
enum MailboxAction : int {
    kMailboxAppended = 0, // a message was added; number = the new Count
    kMailboxRemoved = 1,  // a message was removed; number = its number before the removal
    kMailboxFlagChanged = 2,
    kMailboxEmptied = 3,  // number 0
    kMailboxReloaded = 4, // the pair was rewritten (compression); numbers are unchanged; number 0
    kMailboxStoreGone = 5 // the store is being destroyed; number 0
};

// A list control that watches one mailbox. The base does nothing with a notice.
class TMailboxViewerControl {
public:
    virtual ~TMailboxViewerControl() = default;
    virtual void MailboxChanged(int action, int messageNumber) { (void)action; (void)messageNumber; }
};

// Size of one index record and of the header record.
constexpr std::size_t kIndexRecordSize = 267;
// The largest number of messages a mailbox holds (the header's Count is signed 16-bit).
constexpr int kMaxMailboxMessages = 32767;
// Slots of the viewer table.
constexpr int kViewerSlots = 256;
// Name of the scratch pair used by compression.
constexpr const char* kCompressScratchKey = "sjgafhge";

// One index record decoded (message record or header record).
struct MailboxRecord {
    std::string From, To, Subject, Date; // cut to 80, 80, 40, 40 when encoded
    std::int32_t Size = 0;   // header: total bytes of texts
    std::int32_t Lines = 0;  // header: Trash
    std::int32_t Offset = 0;
    std::int32_t AttachStart = 0;
    std::int32_t AttachEnd = 0;
    std::int16_t Part = 0;   // header: Count
    char Flag = 0;
};

// What RepairMailbox did to one mailbox's index. Numbers are those the records had before.
struct MailboxRepair {
    struct DroppedRecord {
        int Number = 0;
        MailboxRecord Record;
        std::string Reason;
    };
    int Intact = 0;                     // records kept byte for byte
    std::vector<int> Relinked;          // damaged records pointed at their text again
    std::vector<DroppedRecord> Dropped; // damaged records no text could be found for
    bool HeaderMended = false;          // the header did not fit the files and was rebuilt
    // False when the index was whole and was not written.
    bool Changed() const { return HeaderMended || !Relinked.empty() || !Dropped.empty(); }
};

// Encodes a record to its 267 bytes (string bytes beyond each length are zero).
std::string encodeMailboxRecord(const MailboxRecord& r);
// Decodes 267 bytes; a length byte beyond its field's room is clamped to the room.
MailboxRecord decodeMailboxRecord(const char* bytes);

// The one owner of the mailbox files of a profile. Keeps a current mailbox and, in it, a current
// message. Every operation opens the files it needs and closes them before it returns; failures
// raise FileError and leave both files of every pair readable (each step is atomic or appends).
class TNMailBox {
public:
    TNMailBox() = default;
    // Every registered viewer receives MailboxChanged(5, 0) in slot order.
    ~TNMailBox();
    TNMailBox(const TNMailBox&) = delete;
    TNMailBox& operator=(const TNMailBox&) = delete;

    // Directory of all pairs, always with a trailing "/". Setting it creates the directory,
    // finishes or discards an interrupted compression, and creates the pairs of `MailBoxes`
    // entries whose ".mbx" is missing: afresh when the ".idx" is missing too or lists no
    // message; an ".idx" listing mail stays, and reading that mail fails with a FileError.
    void SetMailBoxDirectory(const std::string& path);
    const std::string& MailBoxDirectory() const { return mailBoxDirectory_; }
    // Points the store at `path` without creating, repairing or writing anything: for readers
    // beside a process that has the profile open.
    void setMailBoxDirectoryWithoutChanges(const std::string& path);

    // The store's own copy of the mailbox list ("key=name" lines).
    std::vector<std::string> MailBoxes;

    void SetCurrentMailBoxName(const std::string& key);
    const std::string& CurrentMailBoxName() const { return currentName_; }
    void SetCurrentMailBoxNumber(int n);
    int CurrentMailBoxNumber() const { return currentNumber_; }
    int CurrentMailBoxMessages() const { return currentMessages_; }
    int CurrentNMailBoxSize() const { return currentSize_; }
    int CurrentNMailBoxTrash() const { return currentTrash_; }

    // The current message.
    std::vector<std::string> Msg_Text;
    std::string Msg_From, Msg_To, Msg_Subject, Msg_Date;
    int Msg_Lines() const { return msgLines_; }
    int Msg_Size() const { return msgSize_; }
    void SetMsg_Number(int n);
    int Msg_Number() const { return msgNumber_; }
    int Msg_Part = 0;
    char Msg_Flag = ' ';
    int Msg_AttachStart = 0;
    int Msg_AttachEnd = 0;

    // The key of mailbox n (the part of its entry before the first "="), empty when out of range.
    std::string MailboxKey(int n) const;
    // The display name of mailbox n (after the first "=", up to 99 characters).
    std::string MailboxDisplayName(int n) const;

    // Writes a fresh pair for `key` unless its ".idx" exists.
    void CreateMailboxFiles(const std::string& key);
    // Rereads the current header and makes message 1 (or none) current.
    void OpenMailbox();
    // Reads the current message's text into Msg_Text.
    void LoadMessageText();
    // Every message of the current mailbox in number order, through one read of the index and
    // one open text file: `visit` gets the number, the record and the text's bytes (its lines
    // each ended by CR LF). Leaves the current message and the Msg_ fields alone; a damaged
    // index is a FileError. A damaged message (its text outside the text file, or running
    // over the NUL that ends another text) is visited with an empty text, which a whole text
    // never is, so the others stay reachable; the answer lists the damaged numbers.
    std::vector<int> VisitMessages(const std::function<void(int n, const MailboxRecord& record, const std::string& text)>& visit);
    // The numbers of the current mailbox's damaged messages (as VisitMessages finds them).
    std::vector<int> DamagedMessages();
    // Rewrites the index of mailbox n so that every record in it reads: intact records stay byte
    // for byte; a damaged one is pointed at the text that no intact record holds, lying between
    // its neighbours' texts, of its size and with its header fields, or else dropped. Texts no
    // record claims stay trash, so deleted and moved mail never comes back. A header that does
    // not fit the files is rebuilt. Writes nothing when nothing is damaged. Notices action 1 for
    // each dropped message (highest first) and then 4.
    MailboxRepair RepairMailbox(int n);
    // AppendMessage returns only once text and index are on disk (fsync): for a check of mail
    // that deletes each message on the server right after filing it.
    bool SyncAppends = false;
    // Stores Msg_Text with the current fields as the new last message; notices action 0.
    // Refuses (FileError, nothing written) a text holding a NUL byte or a full mailbox.
    void AppendMessage();
    // Rewrites the current message's flag; notices action 2.
    void SetMessageFlag(char flag);
    // Moves the current message to the mailbox `targetKey`; notices 1 (source) then 0 (target).
    void MoveMessage(const std::string& targetKey);
    // Moves the messages `numbers` (numbers of the current mailbox before the move, in the order
    // they are to be moved) to `targetKey` with one index rewrite. Files and notices are those
    // of one MoveMessage per message in that order.
    void MoveMessages(const std::vector<int>& numbers, const std::string& targetKey);
    // Removes the current message's record; its text becomes trash. Notices action 1.
    void DeleteMessage();
    // Rewrites the current pair without trash; notices action 4 to its viewers.
    void CompressMailbox();
    // Resets mailbox n to an empty pair; notices action 3.
    void EmptyMailbox(int n);
    // Compresses every mailbox whose trash exceeds `trashLimit` bytes.
    void CompressMailboxes(int trashLimit = 100000);

    // Viewer table. RegisterViewer answers false when all slots are taken.
    bool RegisterViewer(TMailboxViewerControl* viewer, const std::string& key);
    void UnregisterViewer(TMailboxViewerControl* viewer);
    void NotifyViewers(const std::string& key, int action, int number);
    // Hears every notice NotifyViewers gives, whatever mailbox it concerns (after the viewers):
    // for what watches all mailboxes at once, such as the unread counts of the folder tree,
    // without taking slots of the viewer table.
    std::function<void(const std::string& key, int action, int number)> OnMailboxChanged;

    // The flag characters of the messages of the mailbox `key`, message 1 first, read from its
    // index alone; the current mailbox and message stay as they are. FileError.
    std::string MessageFlags(const std::string& key) const;

private:
    struct Header {
        std::int32_t size = 0, trash = 0, offset = 0;
        std::int16_t count = 0;
    };
    std::string idxPath(const std::string& key) const;
    std::string mbxPath(const std::string& key) const;
    Header readHeader(const std::string& key) const;
    // Refuses (FileError) a header whose end of text lies inside the last message's text.
    void checkAppendPoint(const std::string& key, const Header& h) const;
    void readRecordInto(int n);
    void clearMessageFields();
    void requireCurrent() const;
    void recoverInterruptedCompression();
    // Runs the recovery when a compression's swap is known to be unfinished; FileError when it
    // still cannot be finished (the operation that asked is then refused).
    void finishPendingSwap();
    void restoreLostEmptyTextFile(const std::string& key);
    void removeStaleTemporaryFiles();
    void rewriteIndexWithout(const std::vector<int>& removedNumbers, std::int64_t removedBytes);

    std::string mailBoxDirectory_;
    // A compression's swap that failed half way, or a recovery that did not run to its end.
    bool swapPending_ = false;
    std::string currentName_;
    int currentNumber_ = 0;
    int currentMessages_ = 0;
    int currentSize_ = 0;
    int currentTrash_ = 0;
    int msgLines_ = 0;
    int msgSize_ = 0;
    int msgNumber_ = 0;

    struct ViewerSlot {
        TMailboxViewerControl* viewer = nullptr;
        std::string key;
    };
    ViewerSlot viewers_[kViewerSlots];
};

} // namespace tavik
