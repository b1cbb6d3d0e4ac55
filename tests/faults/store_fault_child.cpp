// Worker for the disk-fault tests: runs one store operation on a profile while the preloaded
// fault shim fails the file system call the environment names, then reports what the caller was
// told and what the same store object shows afterwards.
//
//   store_fault_child PROFILE_DIR OPERATION
//       (under LD_PRELOAD=libtavik_fault_shim.so; see fault_shim.cpp for TAVIK_FAULT_*)
//   store_fault_child --full-disk DIR SEED OPERATIONS
//       mounts a small tmpfs on DIR/disk in a mount namespace of its own and runs OPERATIONS
//       random operations on a profile there until well past the point where the disk is full
//
// Output, one item a line: "result ok" or "result fileerror TEXT" or "result exception TEXT",
// "calls N", "fired 0|1", follow-up lines ("late ID ok|fileerror", "number N", "late-number N"),
// then the store as formatView prints it. Exit 0 when the run could be made, 2 on bad usage,
// 77 when no tmpfs can be mounted here.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <sched.h>
#include <set>
#include <string>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

#include "addressbook/address_book.h"
#include "faults/fault_profile.h"
#include "profile/settings.h"
#include "profile/user_registry.h"

namespace {

using namespace tavik;
using namespace tavik::faults;
namespace fs = std::filesystem;

using GateFn = void (*)(int);
using CallsFn = long (*)();
using FiredFn = int (*)();

GateFn gGate = nullptr;

void gate(int open)
{
    if (gGate)
        gGate(open);
}

std::string oneLine(std::string s)
{
    for (char& c : s)
        if (c == '\n' || c == '\r')
            c = ' ';
    return s;
}

// Runs `op` and prints how it ended.
bool report(const char* label, const std::function<void()>& op)
{
    try {
        op();
        std::printf("%s ok\n", label);
        return true;
    } catch (const FileError& e) {
        std::printf("%s fileerror %s\n", label, oneLine(e.what()).c_str());
    } catch (const std::exception& e) {
        std::printf("%s exception %s\n", label, oneLine(e.what()).c_str());
    }
    return false;
}

// The operation under the gate: the only calls that may fail are the operation's own.
bool underGate(const std::function<void()>& op)
{
    gate(1);
    bool ok = report("result", op);
    gate(0);
    auto calls = reinterpret_cast<CallsFn>(::dlsym(RTLD_DEFAULT, "tavik_fault_calls"));
    auto fired = reinterpret_cast<FiredFn>(::dlsym(RTLD_DEFAULT, "tavik_fault_fired"));
    std::printf("calls %ld\nfired %d\n", calls ? calls() : -1L, fired ? fired() : -1);
    return ok;
}

bool isMailboxOperation(const std::string& op)
{
    static const std::set<std::string> ops = {"append", "append-sync", "move", "move-many", "delete", "flag",
                                              "compress", "compress-all", "empty", "open", "recover"};
    return ops.count(op) != 0;
}

int runMailboxOperation(const ProfileDirs& p, const std::string& op)
{
    TNMailBox box;
    bool opened = true;
    if (op == "open" || op == "recover") {
        opened = underGate([&] { openStore(box, p); });
    } else {
        openStore(box, p);
        std::function<void()> work;
        if (op == "append" || op == "append-sync") {
            work = [&] { appendMessage(box, 1, "new1", op == "append-sync"); };
        } else if (op == "move") {
            box.SetCurrentMailBoxNumber(1);
            box.SetMsg_Number(2);
            work = [&] { box.MoveMessage("m3"); };
        } else if (op == "move-many") {
            box.SetCurrentMailBoxNumber(1);
            work = [&] { box.MoveMessages({3, 1}, "m1"); };
        } else if (op == "delete") {
            box.SetCurrentMailBoxNumber(2);
            box.SetMsg_Number(2);
            work = [&] { box.DeleteMessage(); };
        } else if (op == "flag") {
            box.SetCurrentMailBoxNumber(1);
            box.SetMsg_Number(1);
            work = [&] { box.SetMessageFlag('R'); };
        } else if (op == "compress") {
            box.SetCurrentMailBoxNumber(1);
            work = [&] { box.CompressMailbox(); };
        } else if (op == "compress-all") {
            work = [&] { box.CompressMailboxes(0); };
        } else if (op == "empty") {
            box.SetCurrentMailBoxNumber(1);
            work = [&] { box.EmptyMailbox(5); };
        }
        underGate(work);
    }
    // The same store goes on working once the disk is well again, as the program would.
    if (!opened)
        report("reopen", [&] { openStore(box, p); });
    for (auto [n, id] : {std::pair<int, const char*>{1, "late1"}, {4, "late4"}}) {
        std::string label = std::string("late ") + id;
        report(label.c_str(), [&, n = n, id = id] { appendMessage(box, n, id); });
    }
    std::fputs(formatView(viewStore(box)).c_str(), stdout);
    return 0;
}

int runOtherOperation(const ProfileDirs& p, const std::string& op)
{
    if (op == "attach-register" || op == "attach-update") {
        TAttachmentManager attachments;
        attachments.SetAttachmentDirectory(p.attachments());
        if (op == "attach-register") {
            underGate([&] {
                TMIMEAttachment r = attachmentRecord("new");
                std::printf("number %d\n", attachments.RegisterAttachment(r));
            });
        } else {
            underGate([&] {
                TMIMEAttachment r = attachmentRecord("updated");
                r.Location = p.attachments() + "a2-as-updated";
                attachments.UpdateAttachment(2, r);
            });
        }
        report("followup", [&] {
            TMIMEAttachment r = attachmentRecord("late");
            std::printf("late-number %d\n", attachments.RegisterAttachment(r));
        });
        return 0;
    }
    if (op == "settings") {
        ProfileSettings settings;
        MailboxList boxes;
        LoadSettings(p.dir, p.dir, settings, boxes);
        settings.Name = "Renamed Tester";
        settings.SmtpPort = 2525;
        settings.MarkAsRead = true;
        boxes.push_back("m5=Archive");
        underGate([&] { SaveSettings(p.dir, settings, boxes); });
        return 0;
    }
    if (op == "login") {
        UserRegistry users;
        LoadUsers(p.dir, users);
        users.userNames.push_back("bob");
        users.userDirectories.push_back("bob");
        users.userPasswords.push_back("builder");
        underGate([&] { SaveUsers(p.dir, users); });
        return 0;
    }
    if (op == "address-rows") {
        const std::string path = addressDirectory(p.dir) + kMainBookFileName;
        std::vector<AddressRow> rows = readAddressRows(path);
        rows.push_back({"Eve", "eve@tavik.test", "", "", "", "", "", "", ""});
        underGate([&] { writeAddressRows(path, rows); });
        return 0;
    }
    if (op == "address-sender") {
        underGate([&] { AddSender(p.dir, "New Person <new@tavik.test>"); });
        return 0;
    }
    if (op == "address-dellist" || op == "address-addlist") {
        AddressBookModel model(p.dir);
        model.open();
        if (op == "address-dellist")
            underGate([&] { model.deleteList(1); });
        else
            underGate([&] {
                UserNotice n = model.addList("Family", "family");
                if (n.kind != UserNotice::Kind::None)
                    throw std::runtime_error("addList refused: " + n.text);
            });
        return 0;
    }
    std::fprintf(stderr, "store_fault_child: unknown operation %s\n", op.c_str());
    return 2;
}

// --- the full disk ----------------------------------------------------------------------

// Puts a fresh tmpfs of `bytes` on `dir`, visible to this process only. False when the system
// does not allow it (no privilege, no user namespaces).
bool mountSmallTmpfs(const std::string& dir, std::size_t bytes)
{
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWNS) != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        auto put = [](const char* file, const std::string& text) {
            int fd = ::open(file, O_WRONLY | O_CLOEXEC);
            if (fd < 0)
                return false;
            bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            ::close(fd);
            return ok;
        };
        put("/proc/self/setgroups", "deny");
        if (!put("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n") ||
            !put("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n"))
            return false;
    }
    // Nothing mounted here may reach the namespace of the parent.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    return ::mount("tavik-faults", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

struct Random {
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int between(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<std::uint64_t>(hi - lo + 1)); }
};

// Random operations on a profile on a full disk. After each one the store must show what the
// operations that returned have done, and nothing of those that raised FileError, except what
// the model allows: a move cut short may leave its messages in both mailboxes, an emptying cut
// short may leave Trash empty.
class FullDisk {
public:
    FullDisk(ProfileDirs p, std::uint64_t seed) : p_(std::move(p)), rnd_{seed} {}

    int run(int operations)
    {
        model_ = buildBaseProfileOrReport();
        if (failed_)
            return finish();
        openStore(box_, p_);
        attachments_.SetAttachmentDirectory(p_.attachments());
        records_ = {{1, "r1"}, {2, "r2"}, {3, "r3"}};
        for (int i = 0; i < operations && problems_.size() < 10; ++i)
            step(i);
        // The store must open afresh with exactly what the operations reported as done.
        checkAgainst(reopenAndView(p_), "after reopening");
        checkAttachments();
        return finish();
    }

private:
    MailboxModel buildBaseProfileOrReport()
    {
        try {
            return buildBaseProfile(p_);
        } catch (const std::exception& e) {
            problems_.push_back(std::string("the base profile does not fit on the disk: ") + e.what());
            failed_ = true;
            return {};
        }
    }

    int finish()
    {
        std::printf("operations %d\nfailures %d\nfull %d\n", operations_, failures_, full_);
        for (const auto& p : problems_)
            std::printf("problem %s\n", oneLine(p).c_str());
        return 0;
    }

    void checkAgainst(const StoreView& view, const std::string& when)
    {
        std::string why = compareView(view, model_);
        bool allowed = why.empty();
        for (const auto& m : alternatives_)
            if (!allowed && compareView(view, m).empty()) {
                model_ = m; // the store chose that outcome; it is the one to hold from now on
                allowed = true;
            }
        alternatives_.clear();
        if (!allowed)
            problems_.push_back(when + ": " + why);
    }

    void checkAttachments()
    {
        TAttachmentManager fresh;
        try {
            fresh.SetAttachmentDirectory(p_.attachments());
            for (const auto& [n, tag] : records_) {
                TMIMEAttachment want = attachmentRecord(tag);
                want.Location = p_.attachments() + "a" + std::to_string(n);
                want.ManagedFile = 1;
                if (!sameRecord(fresh.GetAttachment(n), want))
                    problems_.push_back("attachment " + std::to_string(n) + " is not the one registered");
            }
            if (!records_.empty() && fresh.LastNumber() < records_.rbegin()->first)
                problems_.push_back("attachment numbers went backwards");
        } catch (const std::exception& e) {
            problems_.push_back(std::string("attach.idx does not open: ") + e.what());
        }
    }

    int pick(int lo, int hi) { return rnd_.between(lo, hi); }

    void step(int i)
    {
        ++operations_;
        std::string what;
        MailboxModel after = model_;
        int r = pick(1, 100);
        std::function<void()> op;
        if (r <= 45) {
            int n = pick(1, kMailboxCount);
            std::string id = "f" + std::to_string(i);
            what = "append " + id;
            after[static_cast<std::size_t>(n - 1)].push_back({id, 'U'});
            op = [this, n, id] { appendMessage(box_, n, id, pick(0, 1) == 1); };
        } else if (r <= 60) {
            int s = nonEmpty();
            if (s == 0)
                return;
            int t = s % kMailboxCount + 1;
            auto& src = after[static_cast<std::size_t>(s - 1)];
            int k = pick(1, static_cast<int>(src.size()));
            auto moved = src[static_cast<std::size_t>(k - 1)];
            src.erase(src.begin() + (k - 1));
            after[static_cast<std::size_t>(t - 1)].push_back(moved);
            MailboxModel overlap = model_;
            overlap[static_cast<std::size_t>(t - 1)].push_back(moved);
            failureAlternatives_ = {overlap};
            what = "move " + moved.first;
            op = [this, s, k, t] {
                box_.SetCurrentMailBoxNumber(s);
                box_.SetMsg_Number(k);
                box_.MoveMessage(box_.MailboxKey(t));
            };
        } else if (r <= 68) {
            int s = nonEmpty();
            if (s == 0)
                return;
            auto& src = after[static_cast<std::size_t>(s - 1)];
            int k = pick(1, static_cast<int>(src.size()));
            what = "delete " + src[static_cast<std::size_t>(k - 1)].first;
            src.erase(src.begin() + (k - 1));
            op = [this, s, k] {
                box_.SetCurrentMailBoxNumber(s);
                box_.SetMsg_Number(k);
                box_.DeleteMessage();
            };
        } else if (r <= 74) {
            int s = nonEmpty();
            if (s == 0)
                return;
            auto& src = after[static_cast<std::size_t>(s - 1)];
            int k = pick(1, static_cast<int>(src.size()));
            src[static_cast<std::size_t>(k - 1)].second = 'R';
            what = "flag " + src[static_cast<std::size_t>(k - 1)].first;
            op = [this, s, k] {
                box_.SetCurrentMailBoxNumber(s);
                box_.SetMsg_Number(k);
                box_.SetMessageFlag('R');
            };
        } else if (r <= 82) {
            int s = pick(1, kMailboxCount);
            what = "compress " + std::to_string(s);
            op = [this, s] {
                box_.SetCurrentMailBoxNumber(s);
                box_.CompressMailbox();
            };
        } else if (r <= 86) {
            after[kMailboxCount - 1].clear();
            failureAlternatives_ = {after};
            what = "empty Trash";
            op = [this] { box_.EmptyMailbox(kMailboxCount); };
        } else if (r <= 92) {
            std::string tag = "t" + std::to_string(i);
            what = "register " + tag;
            op = [this, tag] {
                TMIMEAttachment a = attachmentRecord(tag);
                std::int32_t n = attachments_.RegisterAttachment(a);
                if (!records_.empty() && n <= records_.rbegin()->first)
                    throw std::logic_error("attachment number " + std::to_string(n) + " issued again");
                records_[n] = tag;
            };
        } else {
            what = "save settings";
            op = [this, i] {
                ProfileSettings settings;
                MailboxList boxes;
                LoadSettings(p_.dir, p_.dir, settings, boxes);
                settings.Name = "Tester " + std::to_string(i);
                SaveSettings(p_.dir, settings, boxes);
                UserRegistry users;
                LoadUsers(p_.dir, users);
                users.userNames.push_back("u" + std::to_string(i));
                users.userDirectories.push_back("u" + std::to_string(i));
                users.userPasswords.push_back(kNoPassword);
                SaveUsers(p_.dir, users);
                AddSender(p_.dir, "Sender " + std::to_string(i) + " <s" + std::to_string(i) + "@tavik.test>");
            };
        }
        bool done = false;
        try {
            op();
            done = true;
        } catch (const FileError& e) {
            ++failures_;
            if (std::strstr(e.what(), std::strerror(ENOSPC)))
                ++full_;
        } catch (const std::exception& e) {
            problems_.push_back(what + " raised something other than a FileError: " + e.what());
        }
        if (done) {
            model_ = after;
            failureAlternatives_.clear();
        } else {
            alternatives_ = failureAlternatives_;
            failureAlternatives_.clear();
        }
        checkAgainst(viewStore(box_), "after " + what + (done ? "" : " failed"));
    }

    int nonEmpty()
    {
        std::vector<int> c;
        for (int n = 1; n <= kMailboxCount; ++n)
            if (!model_[static_cast<std::size_t>(n - 1)].empty())
                c.push_back(n);
        return c.empty() ? 0 : c[static_cast<std::size_t>(pick(0, static_cast<int>(c.size()) - 1))];
    }

    ProfileDirs p_;
    Random rnd_;
    TNMailBox box_;
    TAttachmentManager attachments_;
    MailboxModel model_;
    std::vector<MailboxModel> failureAlternatives_, alternatives_;
    std::map<std::int32_t, std::string> records_;
    std::vector<std::string> problems_;
    int operations_ = 0, failures_ = 0, full_ = 0;
    bool failed_ = false;
};

int runFullDisk(const std::string& dir, std::uint64_t seed, int operations)
{
    std::string disk = dir + "/disk";
    fs::create_directories(disk);
    if (!mountSmallTmpfs(disk, 320 * 1024)) {
        std::printf("skip %s\n", std::strerror(errno));
        return 77;
    }
    return FullDisk(ProfileDirs{disk + "/profile/"}, seed).run(operations);
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 5 && std::string(argv[1]) == "--full-disk")
        return runFullDisk(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]));
    if (argc != 3) {
        std::fprintf(stderr, "usage: store_fault_child PROFILE_DIR OPERATION\n"
                             "       store_fault_child --full-disk DIR SEED OPERATIONS\n");
        return 2;
    }
    gGate = reinterpret_cast<GateFn>(::dlsym(RTLD_DEFAULT, "tavik_fault_gate"));
    if (!gGate) {
        std::fprintf(stderr, "store_fault_child: the fault shim is not preloaded\n");
        return 2;
    }
    std::string dir = argv[1];
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    ProfileDirs p{dir};
    std::string op = argv[2];
    try {
        return isMailboxOperation(op) ? runMailboxOperation(p, op) : runOtherOperation(p, op);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "store_fault_child: %s: %s\n", op.c_str(), e.what());
        return 3;
    }
}
