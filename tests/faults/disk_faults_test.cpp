// Runs every store operation under the fault shim with each of its write, flush, rename and
// file-creating calls failing in turn (once, for good, or as a short write), and checks what
// the caller was told against what the profile holds afterwards: a failure is always a
// FileError, never a success; nothing acknowledged before is lost or damaged; no message is
// stored twice, except a move cut short, which may leave its messages in both mailboxes; the
// same store object goes on working once the disk is well. A last case fills a small tmpfs.
//
// TAVIK_FAULT_DISK_OPERATIONS sets the length of the full-disk run (default 300), TAVIK_FAULT_SEED
// its seed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "addressbook/address_book.h"
#include "faults/fault_profile.h"
#include "profile/settings.h"
#include "profile/user_registry.h"
#include "support/test_support.h"

extern char** environ;

namespace tavik {
namespace {

namespace fs = std::filesystem;
using faults::MailboxModel;
using faults::ProfileDirs;
using faults::StoreView;
using test::binDir;
using test::fileBytes;
using faults::ScratchDir;

// A run that has not reached its fault after this many calls never will: a guard only.
constexpr long kMaxFaultPoint = 400;

std::uint64_t envNumber(const char* name, std::uint64_t fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

struct Fault {
    std::string kind; // write, fsync, rename, open
    enum Mode { Once, Sticky, Short } mode = Once;
    long at = 0;
};

std::string describe(const std::string& op, const Fault& f)
{
    static const char* const modes[] = {"once", "from then on", "short, then failing"};
    return op + " with " + f.kind + " call " + std::to_string(f.at) + " failing " + modes[f.mode];
}

// What a child printed, line by line, split at the first blank.
struct ChildReport {
    int exitCode = -1;
    std::string stderrText;
    std::string result;     // ok, fileerror, exception
    std::string resultText; // the error's text
    long calls = -1;
    bool fired = false;
    std::map<std::string, std::string> lines; // first word (two for "late ...") -> rest
    std::vector<std::string> problems;
    StoreView view;
};

ChildReport runChild(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
                     const std::string& scratch)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        // ASAN_OPTIONS is set below: with two, the child would read the first.
        if (v.rfind("TAVIK_FAULT_", 0) == 0 || v.rfind("LD_PRELOAD=", 0) == 0 || v.rfind("ASAN_OPTIONS=", 0) == 0)
            continue;
        env.push_back(v);
    }
    for (const auto& v : extraEnv)
        env.push_back(v);
    // A sanitizer build wants its runtime first; the shim goes before it, harmlessly.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0");

    std::string program = binDir() + "store_fault_child";
    std::vector<char*> argv{program.data()};
    std::vector<std::string> a = args;
    for (auto& s : a)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& s : env)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    const std::string out = scratch + "child.out", err = scratch + "child.err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ChildReport r;
    if (rc != 0) {
        r.stderrText = std::string("cannot start ") + program + ": " + std::strerror(rc);
        return r;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.stderrText = fileBytes(err);
    std::string text = fileBytes(out);
    r.view = faults::parseView(text);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto sp = line.find(' ');
        std::string key = line.substr(0, sp), rest = sp == std::string::npos ? "" : line.substr(sp + 1);
        if (key == "problem") {
            r.problems.push_back(rest);
            continue;
        }
        if (key == "late") {
            auto sp2 = rest.find(' ');
            key += " " + rest.substr(0, sp2);
            rest = sp2 == std::string::npos ? "" : rest.substr(sp2 + 1);
        }
        if (key == "result") {
            auto sp2 = rest.find(' ');
            r.result = rest.substr(0, sp2);
            r.resultText = sp2 == std::string::npos ? "" : rest.substr(sp2 + 1);
        } else if (key == "calls") {
            r.calls = std::atol(rest.c_str());
        } else if (key == "fired") {
            r.fired = rest == "1";
        }
        r.lines[key] = rest;
    }
    return r;
}

// A line the child printed, empty when it printed none.
std::string field(const ChildReport& r, const std::string& key)
{
    auto it = r.lines.find(key);
    return it == r.lines.end() ? std::string() : it->second;
}

std::vector<std::string> faultEnv(const std::string& shim, const Fault& f)
{
    return {"LD_PRELOAD=" + shim, "TAVIK_FAULT_KIND=" + f.kind, "TAVIK_FAULT_AT=" + std::to_string(f.at),
            std::string("TAVIK_FAULT_STICKY=") + (f.mode == Fault::Sticky ? "1" : "0"),
            std::string("TAVIK_FAULT_SHORT=") + (f.mode == Fault::Short ? "1" : "0")};
}

void copyProfile(const std::string& from, const std::string& to)
{
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
}

// The bytes of every file of a profile outside its mailboxes and attachments, by relative path.
std::map<std::string, std::string> profileFiles(const std::string& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::string rel = fs::relative(e.path(), dir).string();
        if (!e.is_regular_file() || rel.rfind("mailboxe/", 0) == 0 || rel.rfind("attach/", 0) == 0 ||
            rel.rfind("child.", 0) == 0)
            continue;
        files[rel] = fileBytes(e.path().string());
    }
    return files;
}

std::string differingFiles(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b)
{
    std::string out;
    for (const auto& [name, bytes] : a) {
        auto it = b.find(name);
        if (it == b.end())
            out += " " + name + " (gone)";
        else if (it->second != bytes)
            out += " " + name + " (changed)";
    }
    for (const auto& [name, bytes] : b)
        if (!a.count(name))
            out += " " + name + " (new)";
    return out;
}

MailboxModel withMessage(MailboxModel m, int n, const std::string& id)
{
    m[static_cast<std::size_t>(n - 1)].push_back({id, 'U'});
    return m;
}

MailboxModel without(MailboxModel m, int n, const std::string& id)
{
    auto& v = m[static_cast<std::size_t>(n - 1)];
    for (auto it = v.begin(); it != v.end(); ++it)
        if (it->first == id) {
            v.erase(it);
            break;
        }
    return m;
}

// What a mailbox operation may leave: `done` when it returned, one of `cut` when it failed.
struct Outcomes {
    std::vector<MailboxModel> done, cut;
};

class DiskFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        shim_ = binDir() + "libtavik_fault_shim.so";
        ASSERT_TRUE(fs::exists(binDir() + "store_fault_child")) << "store_fault_child not found in " << binDir();
        ASSERT_TRUE(fs::exists(shim_)) << shim_ << " not found";
        base_ = ProfileDirs{root_.path() + "base/"};
        model_ = faults::buildBaseProfile(base_);

        // The same profile with a compression of mailbox 1 that died after its marker.
        recovering_ = ProfileDirs{root_.path() + "recovering/"};
        copyProfile(base_.dir, recovering_.dir);
        ProfileDirs done{root_.path() + "compressed/"};
        copyProfile(base_.dir, done.dir);
        {
            TNMailBox box;
            faults::openStore(box, done);
            box.SetCurrentMailBoxNumber(1);
            box.CompressMailbox();
        }
        fs::copy_file(done.mailboxes() + "m0.idx", recovering_.mailboxes() + "sjgafhge.idx");
        fs::copy_file(done.mailboxes() + "m0.mbx", recovering_.mailboxes() + "sjgafhge.mbx");
        test::writeBytes(recovering_.mailboxes() + "sjgafhge.job", "m0");

        fresh_ = ProfileDirs{root_.path() + "fresh/"};
        fs::create_directories(fresh_.dir);
        work_ = ProfileDirs{root_.path() + "work/"};
    }

    // Runs `op` with each call of each kind failing in turn, in each mode; `check` judges a run.
    void sweep(const std::string& op, const ProfileDirs& start,
               const std::function<void(const Fault&, const ChildReport&)>& check)
    {
        for (const char* kind : {"write", "fsync", "rename", "open"})
            for (Fault::Mode mode : {Fault::Once, Fault::Sticky, Fault::Short}) {
                if (mode == Fault::Short && std::string(kind) != "write")
                    continue;
                for (long at = 1;; ++at) {
                    Fault f{kind, mode, at};
                    copyProfile(start.dir, work_.dir);
                    ChildReport r = runChild({work_.dir, op}, faultEnv(shim_, f), root_.path());
                    ++runs_;
                    SCOPED_TRACE(describe(op, f));
                    ASSERT_EQ(r.exitCode, 0) << "store_fault_child: " << r.stderrText;
                    ASSERT_GE(r.calls, 0) << "the shim did not count";
                    if (r.fired) {
                        ++faults_;
                        EXPECT_EQ(r.result, "fileerror") << "a failing " << kind << " was reported as " << r.result
                                                         << " " << r.resultText;
                    } else {
                        EXPECT_EQ(r.result, "ok") << r.resultText;
                    }
                    std::vector<std::string> left = faults::leftoverTemporaryFiles(work_.dir);
                    EXPECT_TRUE(left.empty()) << "temporary file left: " << left.front();
                    check(f, r);
                    if (HasFailure() || !r.fired)
                        break;
                    ASSERT_LT(at, kMaxFaultPoint) << "the operation never runs out of calls";
                }
                if (HasFailure())
                    return;
            }
    }

    // The sweep of a mailbox operation: the child's own store after the fault and a fresh store
    // opened afterwards must both show one outcome the operation allows, plus the messages the
    // child appended once the disk was well again.
    void sweepMailbox(const std::string& op, const ProfileDirs& start, const Outcomes& outcomes,
                      bool compresses = false)
    {
        sweep(op, start, [&](const Fault& f, const ChildReport& r) {
            EXPECT_EQ(field(r, "late late1"), "ok") << "the store does not work on after the fault";
            EXPECT_EQ(field(r, "late late4"), "ok") << "the store does not work on after the fault";
            std::vector<MailboxModel> allowed = r.result == "ok" ? outcomes.done : outcomes.cut;
            // A disk failing for good may refuse the step that takes the last one back.
            if (r.result != "ok" && f.mode == Fault::Sticky)
                allowed.insert(allowed.end(), outcomes.done.begin(), outcomes.done.end());
            StoreView reopened = faults::reopenAndView(work_);
            std::string why;
            bool matched = false;
            for (const MailboxModel& m : allowed) {
                MailboxModel late = withMessage(withMessage(m, 1, "late1"), 4, "late4");
                std::string inProcess = faults::compareView(r.view, late);
                std::string afresh = faults::compareView(reopened, late);
                if (inProcess.empty() && afresh.empty()) {
                    matched = true;
                    break;
                }
                why += "\n  in the child: " + (inProcess.empty() ? "as expected" : inProcess) +
                       "\n  reopened: " + (afresh.empty() ? "as expected" : afresh);
            }
            EXPECT_TRUE(matched) << "result " << r.result << " " << r.resultText << why;
            if (compresses && r.result == "ok") {
                EXPECT_EQ(reopened[0].trash, 0) << "the compression left trash";
            }
            for (const char* scratch : {"sjgafhge.idx", "sjgafhge.mbx", "sjgafhge.job"})
                EXPECT_FALSE(fs::exists(work_.mailboxes() + scratch)) << scratch << " left after reopening";
        });
    }

    // The sweep of an operation on the other files of a profile: a failure leaves every one of
    // them as it was, byte for byte, unless `alsoDone` accepts the outcome as complete.
    void sweepFiles(const std::string& op, const std::function<void()>& checkDone,
                    const std::function<bool()>& alsoDone = nullptr)
    {
        const auto before = profileFiles(base_.dir);
        sweep(op, base_, [&](const Fault& f, const ChildReport& r) {
            if (r.result == "ok") {
                checkDone();
                return;
            }
            auto after = profileFiles(work_.dir);
            if (after == before)
                return;
            if (alsoDone && alsoDone())
                return;
            // A disk failing for good refuses the step that would put the first file back; what
            // is left must still read.
            if (f.mode == Fault::Sticky) {
                EXPECT_NO_THROW(readableProfile()) << "after a failed " << op;
                return;
            }
            ADD_FAILURE() << "a failed " << op << " changed the profile:" << differingFiles(before, after);
        });
    }

    // Reads every file of the profile outside the mailboxes; throws what a reader throws.
    void readableProfile()
    {
        ProfileSettings s;
        MailboxList boxes;
        LoadSettings(work_.dir, work_.dir, s, boxes);
        UserRegistry users;
        LoadUsers(work_.dir, users);
        ListCatalog c = readListCatalog(work_.dir);
        for (const auto& file : c.files)
            readAddressRows(listFilePath(work_.dir, file));
    }

    void TearDown() override
    {
        std::cout << "[ faults   ] " << runs_ << " runs, " << faults_ << " of them with the fault reached" << std::endl;
    }

    ScratchDir root_;
    std::string shim_;
    ProfileDirs base_, recovering_, fresh_, work_;
    MailboxModel model_;
    long runs_ = 0, faults_ = 0;
};

TEST_F(DiskFaults, AppendIsStoredOrAbsent)
{
    MailboxModel added = withMessage(model_, 1, "new1");
    sweepMailbox("append", base_, {{added}, {model_}});
    // A check of mail that deletes on the server waits for the disk: a failed flush must not
    // leave the message in the mailbox while the server keeps its copy to be fetched again.
    sweepMailbox("append-sync", base_, {{added}, {model_}});
}

TEST_F(DiskFaults, MoveLeavesNoMessageInNeitherMailbox)
{
    MailboxModel moved = withMessage(without(model_, 1, "a2"), 4, "a2");
    MailboxModel overlap = withMessage(model_, 4, "a2");
    sweepMailbox("move", base_, {{moved}, {model_, overlap}});

    MailboxModel both = withMessage(withMessage(model_, 2, "a4"), 2, "a1");
    MailboxModel many = without(without(both, 1, "a4"), 1, "a1");
    sweepMailbox("move-many", base_, {{many}, {model_, both}});
}

TEST_F(DiskFaults, DeleteAndFlagChangeAreDoneOrNot)
{
    sweepMailbox("delete", base_, {{without(model_, 2, "b2")}, {model_}});
    MailboxModel flagged = model_;
    flagged[0][0].second = 'R';
    sweepMailbox("flag", base_, {{flagged}, {model_}});
}

TEST_F(DiskFaults, CompressionKeepsEveryMessage)
{
    sweepMailbox("compress", base_, {{model_}, {model_}}, true);
    sweepMailbox("compress-all", base_, {{model_}, {model_}}, true);
    // Finishing a compression that a crash interrupted, when the store opens.
    sweepMailbox("recover", recovering_, {{model_}, {model_}});
}

TEST_F(DiskFaults, EmptyingTrashAndCreatingMailboxes)
{
    MailboxModel emptied = model_;
    emptied[4].clear();
    // The index is emptied first; a failure after it leaves Trash empty, which is what was asked.
    sweepMailbox("empty", base_, {{emptied}, {model_, emptied}});
    sweepMailbox("open", fresh_, {{MailboxModel{}}, {MailboxModel{}}});
}

TEST_F(DiskFaults, AttachmentNumbersAreNeverIssuedTwice)
{
    // Locations are absolute: the records name the files of the profile they were made in.
    const auto records = faults::baseAttachments(base_);
    auto unchanged = [&](TAttachmentManager& m, std::int32_t n) {
        return faults::sameRecord(m.GetAttachment(n), records[static_cast<std::size_t>(n - 1)]);
    };
    auto registered = [&](const std::string& tag, std::int32_t n) {
        TMIMEAttachment r = faults::attachmentRecord(tag);
        r.Location = work_.attachments() + "a" + std::to_string(n);
        r.ManagedFile = 1;
        return r;
    };

    sweep("attach-register", base_, [&](const Fault&, const ChildReport& r) {
        TAttachmentManager m;
        m.SetAttachmentDirectory(work_.attachments());
        for (std::int32_t n = 1; n <= 3; ++n)
            EXPECT_TRUE(unchanged(m, n)) << "attachment " << n << " changed";
        ASSERT_EQ(field(r, "followup"), "ok");
        std::int32_t late = std::atoi(field(r, "late-number").c_str());
        if (r.result == "ok") {
            EXPECT_EQ(field(r, "number"), "4");
            EXPECT_EQ(late, 5);
            EXPECT_TRUE(faults::sameRecord(m.GetAttachment(4), registered("new", 4)));
        } else {
            EXPECT_GE(late, 4) << "the number of an acknowledged attachment was issued again";
        }
        EXPECT_TRUE(faults::sameRecord(m.GetAttachment(late), registered("late", late)))
            << "the record registered after the fault";
        EXPECT_GE(m.LastNumber(), late) << "numbers went backwards";
    });

    sweep("attach-update", base_, [&](const Fault&, const ChildReport& r) {
        TAttachmentManager m;
        m.SetAttachmentDirectory(work_.attachments());
        TMIMEAttachment updated = faults::attachmentRecord("updated");
        updated.Location = work_.attachments() + "a2-as-updated";
        bool isUpdated = faults::sameRecord(m.GetAttachment(2), updated);
        if (r.result == "ok")
            EXPECT_TRUE(isUpdated) << "the update reported as done is not in the index";
        else
            EXPECT_TRUE(unchanged(m, 2)) << "a failed update left attachment 2 "
                                         << (isUpdated ? "updated" : "half written");
        EXPECT_TRUE(unchanged(m, 1) && unchanged(m, 3)) << "an update changed another record";
        ASSERT_EQ(field(r, "followup"), "ok");
        EXPECT_EQ(field(r, "late-number"), "4");
    });
}

TEST_F(DiskFaults, SettingsAndUsersAreReplacedWhole)
{
    sweepFiles("settings", [&] {
        ProfileSettings s;
        MailboxList boxes;
        LoadSettings(work_.dir, work_.dir, s, boxes);
        EXPECT_EQ(s.Name, "Renamed Tester");
        EXPECT_EQ(s.SmtpPort, 2525);
        EXPECT_TRUE(s.MarkAsRead);
        EXPECT_EQ(s.Password, "secret");
        EXPECT_EQ(boxes.size(), 6u);
    });
    sweepFiles("login", [&] {
        UserRegistry users;
        LoadUsers(work_.dir, users);
        ASSERT_EQ(users.size(), 3);
        EXPECT_EQ(users.userNames[2], "bob");
        EXPECT_EQ(users.userPasswords[1], "wonderland");
        EXPECT_EQ(users.userPasswords[2], "builder");
    });
}

TEST_F(DiskFaults, AddressBookFilesStayInStep)
{
    const std::string book = addressDirectory(work_.dir) + kMainBookFileName;
    sweepFiles("address-rows", [&] {
        auto rows = readAddressRows(book);
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows.back()[0], "Eve");
    });
    sweepFiles("address-sender", [&] { EXPECT_TRUE(IsKnownSender(work_.dir, "New Person <new@tavik.test>")); });
    sweepFiles("address-dellist", [&] {
        ListCatalog c = readListCatalog(work_.dir);
        EXPECT_EQ(c.names, (std::vector<std::string>{kMainBookName, "Work"}));
        EXPECT_EQ(c.files, (std::vector<std::string>{kMainBookFileName, "work.csv"}));
    });
    auto added = [&] {
        ListCatalog c = readListCatalog(work_.dir);
        return c.names == std::vector<std::string>{kMainBookName, "Friends", "Work", "Family"} &&
               c.files == std::vector<std::string>{kMainBookFileName, "friends.csv", "work.csv", "family.csv"} &&
               fs::exists(addressDirectory(work_.dir) + "family.csv");
    };
    // The list and its file are written before the grid is saved; a failure saving the grid
    // leaves the list added.
    sweepFiles("address-addlist", [&] { EXPECT_TRUE(added()); }, added);
}

// A real full disk: a small tmpfs in a mount namespace of the child's own.
TEST(FullDisk, EveryAcknowledgedOperationSurvivesAFullTmpfs)
{
    const int operations = static_cast<int>(envNumber("TAVIK_FAULT_DISK_OPERATIONS", 300));
    ScratchDir dir;
    const std::string seed = std::to_string(envNumber("TAVIK_FAULT_SEED", 7));
    ChildReport r = runChild({"--full-disk", dir.path(), seed, std::to_string(operations)}, {}, dir.path());
    if (r.exitCode == 77)
        GTEST_SKIP() << "no tmpfs can be mounted here: " << field(r, "skip");
    ASSERT_EQ(r.exitCode, 0) << r.stderrText;
    std::string problems;
    for (const auto& p : r.problems)
        problems += "\n  " + p;
    EXPECT_TRUE(problems.empty()) << problems;
    int failures = std::atoi(field(r, "failures").c_str());
    int full = std::atoi(field(r, "full").c_str());
    std::cout << "[ faults   ] " << field(r, "operations") << " operations on a full tmpfs, " << failures
              << " refused (" << full << " for want of space)" << std::endl;
    EXPECT_GT(full, 0) << "the disk never filled up";
}

} // namespace
} // namespace tavik
