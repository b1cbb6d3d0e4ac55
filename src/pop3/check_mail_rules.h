// The rules of a check of mail that need no socket: the fetched-message list "uidl.lst" and its
// manager for servers without UIDL, the key of a previewed message, return receipts and their
// confirmations, the date text of stored messages, and the error boxes of a failed check.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tavik {

inline constexpr const char* kUidlFileName = "uidl.lst";
// Identifiers of messages filed by a check whose deletion the server never confirmed (its QUIT
// went unanswered); the next check with deletion on deletes them. Present only while some wait.
inline constexpr const char* kPendingDeletionFileName = "uidl.del";

// The lines of "uidl.lst" (CR LF or LF ends; empty lines dropped); a missing or unreadable
// file gives none.
std::vector<std::string> readUidlFile(const std::string& path);
// Replaces the file atomically with the lines, each ended by CR LF. FileError.
void writeUidlFile(const std::string& path, const std::vector<std::string>& lines);
// `known` followed by the identifiers of `added` that are not among them (letter case aside),
// each once.
std::vector<std::string> withIdentifiersAdded(const std::vector<std::string>& known,
                                              const std::vector<std::string>& added);

// The filing journal: a line for each message a check has begun to file, written before the
// message goes into "New Mail": the fingerprint of its stored form, a blank, its identifier.
// The check removes the file once "uidl.lst" records its messages. A check that finds it learns
// which of them an interrupted check (killed, or the power gone) had filed, so that none is
// filed twice; the server's copies of the others are fetched again.
inline constexpr const char* kFilingJournalFileName = "uidl.job";

struct FilingEntry {
    std::string fingerprint;
    std::string key;
};

// The fingerprint of a stored message: its text bytes (the lines, each ended by CR LF) and its
// attachment numbers, as 16 hex digits. Fed in pieces or whole, the same bytes give the same value.
class FilingFingerprint {
public:
    void add(std::string_view bytes);
    std::string finish(std::int32_t attachStart, std::int32_t attachEnd);

private:
    void mix(std::uint64_t word);
    std::uint64_t hash_ = 0x6A09E667F3BCC909ull;
    std::uint64_t length_ = 0;
    unsigned char pending_[8] = {};
    std::size_t pendingSize_ = 0;
};
std::string filingFingerprint(const std::vector<std::string>& lines, std::int32_t attachStart, std::int32_t attachEnd);

// The complete lines of the journal (a line a crash cut short is dropped); none when the file
// is missing. FileError when it is there but cannot be read.
std::vector<FilingEntry> readFilingJournal(const std::string& path);
// Adds one line; `durable` flushes the file and its directory after it (the first line of a
// check: the journal then outlasts the power, telling the next check this one was cut off).
// FileError.
void appendFilingEntry(const std::string& path, const FilingEntry& entry, bool durable = false);

// The fetched-message list of a server without UIDL: the identifiers of the messages seen in
// the last check. An identifier is added to the seen list only by `MarkSeen` (a message filed,
// or skipped as known), so a message whose retrieval failed is tried again next time.
class TUIDLManager {
public:
    // Loads the file into the known list.
    explicit TUIDLManager(std::string fileName);
    // Writes the seen list, unless discarded. Never throws (see Release).
    ~TUIDLManager();
    TUIDLManager(const TUIDLManager&) = delete;
    TUIDLManager& operator=(const TUIDLManager&) = delete;

    // True when `uid` is not among the known ones (letter case aside).
    bool IsNew(const std::string& uid) const;
    void MarkSeen(const std::string& uid);
    // IsNew, and the uid counted as seen.
    bool Check(const std::string& uid);
    void Discard() { discard_ = true; }
    bool Discarded() const { return discard_; }
    // Writes the seen list (unless discarded) once; FileError. The destructor does nothing after it.
    void Release();
    // For a check that did not see every message: the file keeps its lines and gains the seen
    // identifiers it lacks; untouched when there are none. FileError. Nothing is written after it.
    void ReleaseIncomplete();
    const std::vector<std::string>& Seen() const { return seen_; }

private:
    static std::string key(const std::string& uid);
    std::string fileName_;
    std::vector<std::string> knownLines_;
    std::unordered_set<std::string> known_;
    std::vector<std::string> seen_;
    std::unordered_set<std::string> seenKeys_;
    bool discard_ = false;
    bool released_ = false;
};

// The identifier of a previewed message in the no-UIDL mode: its "X-UIDL: " value, else its
// "Message-ID: " value, else a digest of its header lines ("hdr-" + 16 hex digits). Never the
// value of another message.
std::string previewKey(const std::vector<std::string>& headerLines);

// The value of header field `name` (given without ":", any letter case) in the header block at
// the start of `lines` (up to the first empty line), blanks around it removed; empty when absent.
std::string headerField(const std::vector<std::string>& lines, const std::string& name);

// A return-receipt request in the header block: "Return-Receipt-To:" or
// "Disposition-Notification-To:" in any letter case. `address` gets the address it names.
bool findReceiptRequest(const std::vector<std::string>& lines, std::string& address);

inline constexpr const char* kConfirmationSubjectPrefix = "Confirmation of receipt: ";
inline constexpr const char* kConfirmationLine = "*** Confirmation of receipt ***";

// True for a message that is itself a confirmation of receipt (never confirmed again).
bool isConfirmation(const std::string& subject, const std::vector<std::string>& lines);

// The stored text of the confirmation: a header block of its own (From, To, Date, Subject,
// X-Mailer; no request), the empty line, the confirmation line, then the received lines.
std::vector<std::string> buildConfirmation(const std::string& name, const std::string& retAddr,
                                           const std::string& to, const std::string& date,
                                           const std::string& subject, const std::vector<std::string>& received);

// The date text of stored messages: "ddd, d mmm yyyy hh:nn:ss" in local time, no zone.
std::string DateText(std::time_t when);

// The message box of a failed check for error `code`; false for the codes that show none. A lost
// connection (6, 7, 17) names `step`, what the session was doing then.
bool checkMailErrorBox(int code, std::string& title, std::string& text, const std::string& step = std::string());

// A decimal number the server sent (sizes, counts); -1 when the text is not one.
long long serverNumber(const std::string& text);

// News of a check for the desktop and the status bar.
// Subjects a new-mail notification lists, and the characters each keeps.
inline constexpr int kNotifiedSubjects = 3;
inline constexpr std::size_t kNotifiedSubjectLength = 60;
inline constexpr const char* kCheckFailedSummary = "Checking for new mail failed";
// "1 new message", "3 new messages".
std::string newMailSummary(int count);
// The first kNotifiedSubjects subjects, one a line (LF), each cut to kNotifiedSubjectLength
// characters with "..." after a cut one; "(no subject)" for an empty one.
std::string newMailSubjectLines(const std::vector<std::string>& subjects);
// What the status bar says when no notification service takes the news:
// "3 new messages in New Mail".
std::string newMailStatusText(int count, const std::string& mailboxName);
// The status line of a check nobody watched that ended with an error box's title and text:
// "Checking for new mail failed (title): text", line breaks made blanks.
std::string checkFailedText(const std::string& title, const std::string& text);

} // namespace tavik
