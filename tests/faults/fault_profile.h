// A small profile whose every message, attachment record and file the fault tests can tell
// intact from damaged, shared by the test and its child program.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "pop3/attachment_store.h"
#include "store/mailbox_store.h"

namespace tavik::faults {

constexpr int kMailboxCount = 5;

// Where the parts of a profile lie; `dir` ends in "/". Login.ini lies in `dir` too: the profile
// doubles as the program directory.
struct ProfileDirs {
    std::string dir;
    std::string mailboxes() const { return dir + "mailboxe/"; }
    std::string attachments() const { return dir + "attach/"; }
};

// The standard five mailbox entries.
std::vector<std::string> mailboxList();

// The text of the message called `id`: a pure function of the id, so a reader needs nothing but
// the id to know what the text must be.
std::vector<std::string> messageText(const std::string& id);

// Appends message `id` to mailbox `n` (1 to 5) with flag 'U'; FileError passes through.
void appendMessage(TNMailBox& box, int n, const std::string& id, bool sync = false);

// A store on the profile's mailboxes (SetMailBoxDirectory already called).
void openStore(TNMailBox& box, const ProfileDirs& p);

// One message as read back: its id (the subject), flag, and whether record and text are the
// ones the id names.
struct SeenMessage {
    std::string id;
    char flag = 0;
    bool intact = false;
    std::string problem; // why not intact (a FileError's text or the difference)
};

// Every mailbox as read back. A mailbox that cannot be opened has `opened` false and `error`.
struct SeenMailbox {
    bool opened = false;
    std::string error;
    int trash = 0;
    std::vector<SeenMessage> messages;
};
using StoreView = std::array<SeenMailbox, kMailboxCount>;

// Reads every message of every mailbox through `box`.
StoreView viewStore(TNMailBox& box);
// Opens a fresh store on the profile (running its recovery) and reads it.
StoreView reopenAndView(const ProfileDirs& p);

// Lines "mailbox N opened|failed TRASH [error]" and "message N ID FLAG 1|0 [problem]", and back.
std::string formatView(const StoreView& view);
StoreView parseView(const std::string& text);

// What a profile is expected to hold: per mailbox, the ids in order with their flags.
using MailboxModel = std::array<std::vector<std::pair<std::string, char>>, kMailboxCount>;

// Empty string when `view` holds exactly `model` with every message intact, else the difference.
std::string compareView(const StoreView& view, const MailboxModel& model);

// The attachment record that `tag` names (a pure function of it); Location stays empty, so the
// store chooses it.
TMIMEAttachment attachmentRecord(const std::string& tag);
// True when two records are equal in every stored field.
bool sameRecord(const TMIMEAttachment& a, const TMIMEAttachment& b);

// Builds the profile every fault run starts from and returns what its mailboxes hold:
// mailbox 1 with four messages and the trash of a fifth, mailbox 2 with three, 3 empty,
// 4 with one, 5 (Trash) with two; attachments 1 to 3; settings, Login.ini with two users,
// the main address book and two mailing lists.
MailboxModel buildBaseProfile(const ProfileDirs& p);

// The attachment records the base profile holds, as registered (number i + 1).
std::vector<TMIMEAttachment> baseAttachments(const ProfileDirs& p);

// A fresh private directory for a test's files, removed with them when the object goes; path()
// ends in "/". It lies in $TAVIK_FAULT_SCRATCH when set, else in /dev/shm when that is a
// writable directory, else in $TMPDIR: these tests make thousands of files whose durability
// they never test, and a disk's flushes would make them slow.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Names of leftover temporary files ("*.tmp-XXXXXX") anywhere in the profile.
std::vector<std::string> leftoverTemporaryFiles(const std::string& dir);

} // namespace tavik::faults
