// Flips bytes of and truncates stored files (a mailbox pair, "attach.idx", "Login.ini",
// "tavik32.ini"), then opens and reads everything in them. Nothing may crash or raise anything but
// FileError, and whatever the damage did not touch must read back as it was stored:
// - a message whose index record and text bytes are unchanged and inside the files, in a
//   mailbox whose header opens, reads back exactly; with the header's numbers unchanged too, the
//   mailbox must open with its count;
// - an attachment record whose 928 bytes are unchanged reads back equal, and a number issued
//   afterwards never names a record the file holds;
// - an ini key (a user of the registry, a setting) whose line ends before the first damaged
//   byte reads back as it was.
// After a share of the mutations the damaged files are also written to (an append and a
// compression, a registration): a write may be refused, but must not destroy what was intact.
// After another share the damaged pair is repaired: nothing intact may be lost, and nothing
// deleted may come back.
//
// TAVIK_FAULT_MUTATIONS sets the number of mutations (default 10000), TAVIK_FAULT_SEED the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "faults/fault_profile.h"
#include "profile/ini_file.h"
#include "profile/settings.h"
#include "profile/user_registry.h"
#include "support/test_support.h"

namespace tavik {
namespace {

namespace fs = std::filesystem;
using test::fileBytes;
using faults::ScratchDir;
using test::writeBytes;

std::uint64_t envNumber(const char* name, std::uint64_t fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

std::uint64_t totalMutations() { return envNumber("TAVIK_FAULT_MUTATIONS", 10000); }
std::uint64_t baseSeed() { return envNumber("TAVIK_FAULT_SEED", 20240601); }

// splitmix64: the same mutations on every platform.
struct Random {
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }
    bool chance(int percent) { return static_cast<int>(below(100)) < percent; }
};

// A file and its damaged copy; `firstDamage` is the lowest offset whose byte changed or went.
struct Mutation {
    std::string bytes;
    std::size_t firstDamage = SIZE_MAX;
    std::string what;

    bool unchanged(const std::string& original, std::size_t at, std::size_t n) const
    {
        return at + n <= bytes.size() && at + n <= original.size() && bytes.compare(at, n, original, at, n) == 0;
    }
};

// Flips 1 to 8 bytes (a random byte or one bit), truncates, or both; positions are drawn from
// `hot` ranges half of the time, so short fields in large files are hit often enough.
Mutation mutate(const std::string& original, Random& rnd, const std::vector<std::pair<std::size_t, std::size_t>>& hot)
{
    Mutation m{original, SIZE_MAX, ""};
    auto position = [&]() -> std::size_t {
        if (!hot.empty() && rnd.chance(50)) {
            auto [at, n] = hot[rnd.below(hot.size())];
            return std::min(at + rnd.below(n), m.bytes.size() - 1);
        }
        return rnd.below(m.bytes.size());
    };
    int kind = static_cast<int>(rnd.below(100));
    if (kind < 70 && !m.bytes.empty()) {
        std::size_t flips = 1 + rnd.below(rnd.chance(70) ? 2 : 8);
        for (std::size_t i = 0; i < flips; ++i) {
            std::size_t at = position();
            unsigned char was = static_cast<unsigned char>(m.bytes[at]);
            unsigned char now = rnd.chance(50) ? static_cast<unsigned char>(was ^ (1u << rnd.below(8)))
                                               : static_cast<unsigned char>(rnd.below(256));
            if (now == was)
                now = static_cast<unsigned char>(was ^ 0x80);
            m.bytes[at] = static_cast<char>(now);
            m.firstDamage = std::min(m.firstDamage, at);
            m.what += " flip@" + std::to_string(at);
        }
    }
    if (kind >= 60 || m.bytes.empty()) {
        std::size_t keep = m.bytes.empty() ? 0 : rnd.below(m.bytes.size());
        if (rnd.chance(30) && !hot.empty())
            keep = std::min(position(), m.bytes.size());
        m.bytes.resize(keep);
        m.firstDamage = std::min(m.firstDamage, keep);
        m.what += " cut@" + std::to_string(keep);
    }
    if (kind >= 95) {
        // Junk after the end: nothing is damaged by it, and nothing may be read from it.
        std::size_t n = 1 + rnd.below(600);
        for (std::size_t i = 0; i < n; ++i)
            m.bytes.push_back(static_cast<char>(rnd.below(256)));
        m.what += " junk+" + std::to_string(n);
    }
    return m;
}

// --- mailbox pair -------------------------------------------------------------------------

struct StoredMessage {
    std::string id;
    MailboxRecord record;
};

class MailboxMutations {
public:
    MailboxMutations()
    {
        p_ = faults::ProfileDirs{dir_.path()};
        TNMailBox box;
        box.MailBoxes = {"m0=New Mail"};
        box.SetMailBoxDirectory(p_.mailboxes());
        for (int i = 1; i <= 16; ++i)
            faults::appendMessage(box, 1, "m" + std::to_string(i));
        // Trash between live texts, and a flag or two.
        for (int n : {9, 4, 2}) {
            box.SetCurrentMailBoxNumber(1);
            box.SetMsg_Number(n);
            box.DeleteMessage();
        }
        // Two texts of one size, told apart only by their header fields; the first is deleted.
        for (const char* id : {"tw-gone", "tw-live"}) {
            box.SetCurrentMailBoxNumber(1);
            box.Msg_Text = {"From: Fault Child <child@tavik.test>", std::string("X-Id: ") + id,
                            std::string("Subject: ") + id, "", "twins differ in name only"};
            twins_[id] = box.Msg_Text;
            box.Msg_From = "Fault Child <child@tavik.test>";
            box.Msg_To = "reader@tavik.test";
            box.Msg_Subject = id;
            box.Msg_Date = "Mon, 1 Jan 2024 12:00:00";
            box.Msg_Flag = 'U';
            box.AppendMessage();
        }
        box.SetCurrentMailBoxNumber(1);
        box.SetMsg_Number(box.CurrentMailBoxMessages() - 1);
        box.DeleteMessage();
        box.SetCurrentMailBoxNumber(1);
        box.SetMsg_Number(3);
        box.SetMessageFlag('R');
        idx_ = fileBytes(p_.mailboxes() + "m0.idx");
        mbx_ = fileBytes(p_.mailboxes() + "m0.mbx");
        count_ = static_cast<int>(idx_.size() / kIndexRecordSize) - 1;
        for (int k = 1; k <= count_; ++k) {
            MailboxRecord r = decodeMailboxRecord(idx_.data() + static_cast<std::size_t>(k) * kIndexRecordSize);
            messages_.push_back({r.Subject, r});
            // The numbers of each record are the fields worth hitting.
            idxHot_.push_back({static_cast<std::size_t>(k) * kIndexRecordSize + 244, 23});
            mbxHot_.push_back({static_cast<std::size_t>(r.Offset), 3});
            mbxHot_.push_back({static_cast<std::size_t>(r.Offset + r.Size) - 3, 3});
        }
        idxHot_.push_back({244, 23});
    }

    // One mutation of the index, the text file or both, read back and checked.
    void run(Random& rnd, std::uint64_t round, std::uint64_t& writes, std::uint64_t& repairs)
    {
        int which = static_cast<int>(rnd.below(10));
        Mutation idx = which < 4 || which >= 8 ? mutate(idx_, rnd, idxHot_) : Mutation{idx_, SIZE_MAX, ""};
        Mutation mbx = which >= 4 ? mutate(mbx_, rnd, mbxHot_) : Mutation{mbx_, SIZE_MAX, ""};
        writeBytes(p_.mailboxes() + "m0.idx", idx.bytes);
        writeBytes(p_.mailboxes() + "m0.mbx", mbx.bytes);
        const std::string trace = "round " + std::to_string(round) + ": idx" + idx.what + " mbx" + mbx.what;
        SCOPED_TRACE(trace);

        TNMailBox box;
        box.MailBoxes = {"m0=New Mail"};
        int visible = -1;
        try {
            box.SetMailBoxDirectory(p_.mailboxes());
            box.SetCurrentMailBoxNumber(1);
            visible = box.CurrentMailBoxMessages();
        } catch (const FileError&) {
        }
        const bool headerKept = idx.unchanged(idx_, 244, 12) && idx.unchanged(idx_, 264, 2) &&
                                idx.bytes.size() >= (static_cast<std::size_t>(count_) + 1) * kIndexRecordSize;
        if (headerKept) {
            ASSERT_EQ(visible, count_) << "a mailbox whose header and records are whole does not open";
        }
        std::vector<int> intact;
        if (visible >= 0)
            intact = readAll(box, visible, idx, mbx);
        if (::testing::Test::HasFailure())
            return;
        if (rnd.chance(15)) {
            ++repairs;
            repairAndCheck(box, idx, mbx);
            return;
        }
        if (visible < 0 || !rnd.chance(10))
            return;

        // Writing to the damaged pair may be refused; it must not destroy what was intact.
        ++writes;
        bool appended = false;
        try {
            faults::appendMessage(box, 1, "x" + std::to_string(round % 1000));
            appended = true;
        } catch (const FileError&) {
        }
        try {
            box.SetCurrentMailBoxNumber(1);
            box.CompressMailbox();
        } catch (const FileError&) {
        }
        for (int k : intact)
            expectMessage(box, k, messages_[static_cast<std::size_t>(k - 1)].id, "after writing");
        if (appended) {
            box.SetCurrentMailBoxNumber(1);
            expectMessage(box, visible + 1, "x" + std::to_string(round % 1000), "appended to the damaged pair");
        }
    }

private:
    std::vector<std::string> textOf(const std::string& id) const
    {
        auto twin = twins_.find(id);
        return twin != twins_.end() ? twin->second : faults::messageText(id);
    }

    // The id of the message whose text this is exactly; empty for a damaged text.
    std::string idOf(const std::vector<std::string>& text) const
    {
        for (const auto& line : text)
            if (line.rfind("X-Id: ", 0) == 0)
                return textOf(line.substr(6)) == text ? line.substr(6) : std::string();
        return {};
    }

    // The ids of the messages that read, in number order; unreadable ones are skipped.
    std::vector<std::string> readableIds(TNMailBox& box)
    {
        std::vector<std::string> ids;
        try {
            box.SetCurrentMailBoxNumber(1);
            for (int k = 1; k <= box.CurrentMailBoxMessages(); ++k) {
                box.SetMsg_Number(k);
                try {
                    box.LoadMessageText();
                    ids.push_back(idOf(box.Msg_Text));
                } catch (const FileError&) {
                }
            }
        } catch (const FileError&) {
        }
        return ids;
    }

    // tavikctl repair on the damaged pair: afterwards every message reads, every intact one is
    // still there in its order, and a deleted message shows only where a record already showed
    // it before the repair.
    void repairAndCheck(TNMailBox& box, const Mutation& idx, const Mutation& mbx)
    {
        const std::vector<std::string> before = readableIds(box);
        try {
            box.RepairMailbox(1);
            box.SetCurrentMailBoxNumber(1);
        } catch (const FileError& e) {
            ADD_FAILURE() << "the repair failed or left a mailbox that does not open: " << e.what();
            return;
        }
        const std::vector<std::string> after = readableIds(box);
        EXPECT_EQ(static_cast<int>(after.size()), box.CurrentMailBoxMessages()) << "a message still does not read";
        for (const std::string& id : after)
            if (id == "m2" || id == "m4" || id == "m9" || id == "tw-gone") {
                EXPECT_NE(std::count(before.begin(), before.end(), id), 0) << "deleted message " << id << " came back";
            }
        // The records a count that was kept covers, whose bytes and texts the damage missed.
        if (!idx.unchanged(idx_, 264, 2))
            return;
        std::size_t at = 0;
        for (int k = 1; k <= count_; ++k) {
            const MailboxRecord& r = messages_[static_cast<std::size_t>(k - 1)].record;
            if (!idx.unchanged(idx_, static_cast<std::size_t>(k) * kIndexRecordSize, kIndexRecordSize) ||
                !mbx.unchanged(mbx_, static_cast<std::size_t>(r.Offset), static_cast<std::size_t>(r.Size)))
                continue;
            const std::string& id = messages_[static_cast<std::size_t>(k - 1)].id;
            auto found = std::find(after.begin() + static_cast<std::ptrdiff_t>(std::min(at, after.size())), after.end(), id);
            EXPECT_NE(found, after.end()) << "intact message " << k << " (" << id << ") was lost or reordered";
            if (found != after.end())
                at = static_cast<std::size_t>(found - after.begin()) + 1;
        }
    }

    // Reads every visible message; returns the numbers of those that must have read intact.
    std::vector<int> readAll(TNMailBox& box, int visible, const Mutation& idx, const Mutation& mbx)
    {
        std::vector<int> intact;
        for (int k = 1; k <= visible; ++k) {
            bool whole = false;
            if (k <= count_ && idx.unchanged(idx_, static_cast<std::size_t>(k) * kIndexRecordSize, kIndexRecordSize)) {
                const MailboxRecord& r = messages_[static_cast<std::size_t>(k - 1)].record;
                whole = mbx.unchanged(mbx_, static_cast<std::size_t>(r.Offset), static_cast<std::size_t>(r.Size));
            }
            if (whole) {
                intact.push_back(k);
                expectMessage(box, k, messages_[static_cast<std::size_t>(k - 1)].id, "undamaged");
                continue;
            }
            try {
                box.SetCurrentMailBoxNumber(1);
                box.SetMsg_Number(k);
                box.LoadMessageText();
            } catch (const FileError&) {
            }
        }
        return intact;
    }

    void expectMessage(TNMailBox& box, int k, const std::string& id, const char* what)
    {
        try {
            box.SetCurrentMailBoxNumber(1);
            box.SetMsg_Number(k);
            ASSERT_EQ(box.Msg_Number(), k) << what << " message " << id << " is not there";
            box.LoadMessageText();
        } catch (const FileError& e) {
            ADD_FAILURE() << what << " message " << k << " (" << id << ") does not read: " << e.what();
            return;
        }
        EXPECT_EQ(box.Msg_Subject, id) << what << " message " << k;
        EXPECT_TRUE(box.Msg_Text == textOf(id)) << what << " message " << k << " (" << id << ") reads wrong";
    }

    ScratchDir dir_;
    faults::ProfileDirs p_;
    std::string idx_, mbx_;
    int count_ = 0;
    std::vector<StoredMessage> messages_;
    std::map<std::string, std::vector<std::string>> twins_;
    std::vector<std::pair<std::size_t, std::size_t>> idxHot_, mbxHot_;
};

// --- attach.idx ---------------------------------------------------------------------------

class AttachmentMutations {
public:
    AttachmentMutations()
    {
        dirPath_ = dir_.path() + "attach/";
        TAttachmentManager m;
        m.SetAttachmentDirectory(dirPath_);
        for (int i = 1; i <= 24; ++i) {
            TMIMEAttachment r = faults::attachmentRecord("r" + std::to_string(i));
            m.RegisterAttachment(r);
            records_.push_back(r);
        }
        idx_ = fileBytes(dirPath_ + kAttachmentIndexName);
        hot_.push_back({624, 4});
        for (std::size_t k = 1; k <= records_.size(); ++k) {
            hot_.push_back({k * kAttachmentRecordSize, 1});
            hot_.push_back({k * kAttachmentRecordSize + 624, 4});
            hot_.push_back({k * kAttachmentRecordSize + 669, 2});
        }
    }

    void run(Random& rnd, std::uint64_t round, std::uint64_t& writes)
    {
        Mutation m = mutate(idx_, rnd, hot_);
        writeBytes(dirPath_ + kAttachmentIndexName, m.bytes);
        SCOPED_TRACE("round " + std::to_string(round) + ": attach.idx" + m.what);
        TAttachmentManager store;
        try {
            store.SetAttachmentDirectory(dirPath_);
        } catch (const FileError&) {
            ASSERT_LT(m.bytes.size(), kAttachmentRecordSize) << "an index with its header does not open";
            return;
        }
        const std::size_t whole = m.bytes.size() / kAttachmentRecordSize;
        std::vector<std::size_t> intact;
        for (std::size_t k = 1; k <= records_.size() + 1; ++k) {
            bool kept = k <= records_.size() && m.unchanged(idx_, k * kAttachmentRecordSize, kAttachmentRecordSize);
            try {
                TMIMEAttachment got = store.GetAttachment(static_cast<std::int32_t>(k));
                if (kept) {
                    EXPECT_TRUE(faults::sameRecord(got, records_[k - 1])) << "undamaged attachment " << k << " reads wrong";
                }
            } catch (const FileError& e) {
                EXPECT_FALSE(kept) << "undamaged attachment " << k << " does not read: " << e.what();
                EXPECT_GE(k, whole) << "attachment " << k << " lies in the file but does not read";
            }
            if (kept)
                intact.push_back(k);
        }
        if (!rnd.chance(20))
            return;
        ++writes;
        TMIMEAttachment r = faults::attachmentRecord("late");
        try {
            std::int32_t n = store.RegisterAttachment(r);
            EXPECT_GE(static_cast<std::size_t>(n), whole) << "number " << n << " names a record the file holds";
            if (m.unchanged(idx_, 624, 4)) {
                EXPECT_GT(static_cast<std::size_t>(n), records_.size()) << "a number was issued again";
            }
            EXPECT_TRUE(faults::sameRecord(store.GetAttachment(n), r));
        } catch (const FileError&) {
        }
        for (std::size_t k : intact)
            EXPECT_TRUE(faults::sameRecord(store.GetAttachment(static_cast<std::int32_t>(k)), records_[k - 1]))
                << "attachment " << k << " was overwritten";
    }

private:
    ScratchDir dir_;
    std::string dirPath_;
    std::string idx_;
    std::vector<TMIMEAttachment> records_;
    std::vector<std::pair<std::size_t, std::size_t>> hot_;
};

// --- ini files ------------------------------------------------------------------------------

// The key lines of an ini file as written by the program: section, key, value, and the offset
// just past the line's LF.
struct KeyLine {
    std::string section, key, value;
    std::size_t end = 0;
};

std::vector<KeyLine> keyLines(const std::string& bytes)
{
    std::vector<KeyLine> out;
    std::string section;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        std::size_t end = lf == std::string::npos ? bytes.size() : lf + 1;
        std::string line = bytes.substr(start, (lf == std::string::npos ? bytes.size() : lf) - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line.front() == '[')
            section = line.substr(1, line.find(']') - 1);
        else if (auto eq = line.find('='); eq != std::string::npos && eq > 0)
            out.push_back({section, line.substr(0, eq), line.substr(eq + 1), end});
        start = end;
    }
    return out;
}

class IniMutations {
public:
    IniMutations()
    {
        UserRegistry users;
        users.userNames = {"default"};
        users.userDirectories = {"default"};
        users.userPasswords = {kNoPassword};
        for (int i = 1; i <= 9; ++i) {
            users.userNames.push_back("user " + std::to_string(i));
            users.userDirectories.push_back("dir" + std::to_string(i));
            users.userPasswords.push_back(i % 3 ? "pass\t" + std::string(static_cast<std::size_t>(i), '#') : kNoPassword);
        }
        SaveUsers(dir_.path(), users);
        users_ = users;
        login_ = fileBytes(dir_.path() + kLoginFileName);

        settings_.Name = "Mutated Tester";
        settings_.ID = "tester";
        settings_.Password = "p\x01ss word";
        settings_.SmtpServer = "smtp.tavik.test";
        settings_.Pop3Server = "pop.tavik.test";
        settings_.RetAddr = "tester@tavik.test";
        settings_.SmtpPort = 2525;
        settings_.Pop3Port = 1110;
        settings_.LastMailbox = 7;
        settings_.LastAttachment = 1234;
        settings_.Browser = "firefox";
        settings_.TimeOut = 45;
        boxes_ = standardMailboxEntries();
        boxes_.push_back("m5=Archive");
        boxes_.push_back("m6=Lists");
        SaveSettings(dir_.path(), settings_, boxes_);
        ini_ = fileBytes(dir_.path() + "tavik32.ini");
    }

    void run(Random& rnd, std::uint64_t round, bool login)
    {
        const std::string& original = login ? login_ : ini_;
        const std::string path = dir_.path() + (login ? kLoginFileName : "tavik32.ini");
        Mutation m = mutate(original, rnd, {});
        writeBytes(path, m.bytes);
        SCOPED_TRACE("round " + std::to_string(round) + (login ? ": Login.ini" : ": tavik32.ini") + m.what);
        const std::vector<KeyLine> lines = keyLines(original);

        IniFile ini(path);
        for (const auto& l : lines)
            if (l.end <= m.firstDamage) {
                EXPECT_EQ(ini.readString(l.section, l.key), l.value) << "[" << l.section << "] " << l.key;
            }

        if (login) {
            UserRegistry users;
            try {
                LoadUsers(dir_.path(), users);
            } catch (const FileError&) {
                return;
            }
            std::vector<std::size_t> loginEnd, pwdEnd;
            for (const auto& l : lines)
                (l.section == "Login" ? loginEnd : pwdEnd).push_back(l.end);
            for (std::size_t i = 0; i < loginEnd.size(); ++i) {
                if (loginEnd[i] > m.firstDamage)
                    break;
                ASSERT_GT(users.size(), static_cast<int>(i)) << "user " << i << " is gone";
                EXPECT_EQ(users.userNames[i], users_.userNames[i]);
                EXPECT_EQ(users.userDirectories[i], users_.userDirectories[i]);
                if (i < pwdEnd.size() && pwdEnd[i] <= m.firstDamage) {
                    EXPECT_EQ(users.userPasswords[i], users_.userPasswords[i]) << "password of user " << i;
                }
            }
            return;
        }
        ProfileSettings s;
        MailboxList boxes;
        try {
            LoadSettings(dir_.path(), dir_.path(), s, boxes);
        } catch (const FileError&) {
            return;
        }
        auto kept = [&](const char* section, const char* key) {
            for (const auto& l : lines)
                if (l.section == section && l.key == key)
                    return l.end <= m.firstDamage;
            return false;
        };
        if (kept("User", "Name")) {
            EXPECT_EQ(s.Name, settings_.Name);
        }
        if (kept("POP3", "Password")) {
            EXPECT_EQ(s.Password, settings_.Password);
        }
        if (kept("SMTP", "Port")) {
            EXPECT_EQ(s.SmtpPort, settings_.SmtpPort);
        }
        if (kept("Mailbox", "LastAttachment")) {
            EXPECT_EQ(s.LastAttachment, settings_.LastAttachment);
        }
        if (kept("Options", "TimeOut")) {
            EXPECT_EQ(s.TimeOut, settings_.TimeOut);
        }
        if (kept("Mailbox", "LastMailbox")) {
            std::size_t whole = 0;
            for (const auto& l : lines)
                if (l.section == "Mailboxes" && l.end <= m.firstDamage)
                    ++whole;
            ASSERT_GE(boxes.size(), whole);
            for (std::size_t i = 0; i < whole; ++i)
                EXPECT_EQ(boxes[i], boxes_[i]);
        }
        // LoadSettings may have written a fresh file: the next round starts from the original.
    }

private:
    ScratchDir dir_;
    UserRegistry users_;
    std::string login_, ini_;
    ProfileSettings settings_;
    MailboxList boxes_;
};

TEST(FileMutations, DamageNeverCrashesAndSparesWhatItDidNotTouch)
{
    const std::uint64_t total = totalMutations();
    const std::uint64_t seed = baseSeed();
    std::cout << "[ mutate   ] TAVIK_FAULT_MUTATIONS=" << total << " TAVIK_FAULT_SEED=" << seed << std::endl;
    MailboxMutations mailbox;
    AttachmentMutations attachments;
    IniMutations ini;
    Random rnd{seed};
    // Half on the mailbox pair, a fifth on attach.idx, the rest on the two ini files.
    std::map<std::string, std::uint64_t> counts;
    std::uint64_t writes = 0, repairs = 0;
    auto begin = std::chrono::steady_clock::now();
    for (std::uint64_t round = 1; round <= total && !::testing::Test::HasFailure(); ++round) {
        std::size_t pick = rnd.below(100);
        if (pick < 50) {
            mailbox.run(rnd, round, writes, repairs);
            ++counts["mailbox pair"];
        } else if (pick < 70) {
            attachments.run(rnd, round, writes);
            ++counts["attach.idx"];
        } else if (pick < 85) {
            ini.run(rnd, round, true);
            ++counts["Login.ini"];
        } else {
            ini.run(rnd, round, false);
            ++counts["tavik32.ini"];
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::cout << "[ mutate   ]";
    for (const auto& [what, n] : counts)
        std::cout << " " << what << " " << n;
    std::cout << "; " << writes << " writes to damaged files, " << repairs << " repairs; " << seconds << " s" << std::endl;
}

} // namespace
} // namespace tavik

namespace tavik {
namespace {

// A header whose append point was damaged to lie inside stored text: appending or moving mail
// into the mailbox may be refused, but must not write over the messages there.
TEST(FileMutations, AWriteNeverGoesOverStoredText)
{
    ScratchDir dir;
    faults::ProfileDirs p{dir.path()};
    TNMailBox box;
    faults::openStore(box, p);
    for (const char* id : {"s1", "s2", "s3"})
        faults::appendMessage(box, 1, id);
    faults::appendMessage(box, 2, "t1");
    const std::string idxPath = p.mailboxes() + "m0.idx";
    const std::string good = fileBytes(idxPath);
    const MailboxRecord second = decodeMailboxRecord(good.data() + 2 * kIndexRecordSize);

    auto lowered = [&](std::int32_t at) {
        std::string bad = good;
        MailboxRecord header = decodeMailboxRecord(bad.data());
        header.Size = at;
        header.Offset = at;
        bad.replace(0, kIndexRecordSize, encodeMailboxRecord(header));
        writeBytes(idxPath, bad);
    };
    auto expectIntact = [&](const char* when) {
        for (int k = 1; k <= 3; ++k) {
            box.SetCurrentMailBoxNumber(1);
            box.SetMsg_Number(k);
            box.LoadMessageText();
            EXPECT_TRUE(box.Msg_Text == faults::messageText("s" + std::to_string(k))) << when << ": message " << k;
        }
    };
    for (std::int32_t at : {0, second.Offset, second.Offset + 5}) {
        SCOPED_TRACE("append point " + std::to_string(at));
        lowered(at);
        try {
            faults::appendMessage(box, 1, "late");
        } catch (const FileError&) {
        }
        expectIntact("after an append");

        lowered(at);
        try {
            box.SetCurrentMailBoxNumber(2);
            box.MoveMessage("m0");
        } catch (const FileError&) {
        }
        expectIntact("after a move into it");
        box.SetCurrentMailBoxNumber(2);
        if (box.CurrentMailBoxMessages() == 0) {
            faults::appendMessage(box, 2, "t1");
        }
    }
}

} // namespace
} // namespace tavik
