#include "pop3/attachment_store.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"

namespace tavik {
namespace {

using test::fileBytes;
using test::TempDir;
using test::writeBytes;

mode_t modeOf(const std::string& path)
{
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

// A record written out by hand: length byte, characters, zeros up to the next field.
std::string handMadeRecord()
{
    std::string r(928, '\0');
    auto put = [&](std::size_t at, const std::string& s) {
        r[at] = static_cast<char>(s.size());
        r.replace(at + 1, s.size(), s);
    };
    put(0, "report.pdf");
    put(256, "application/pdf");
    put(337, "attachment; filename=report.p");
    put(368, "The report");
    r[624] = '\x34';
    r[625] = '\x12';
    r[626] = '\x00';
    r[627] = '\x00'; // 0x1234
    put(628, "<id@host>");
    put(669, "/profile/attach/a7");
    r[925] = '\x01';
    return r;
}

TMIMEAttachment handMadeFields()
{
    TMIMEAttachment a;
    a.FileName = "report.pdf";
    a.ContentType = "application/pdf";
    a.Disposition = "attachment; filename=report.p";
    a.Description = "The report";
    a.Size = 0x1234;
    a.ContentID = "<id@host>";
    a.Location = "/profile/attach/a7";
    a.ManagedFile = 1;
    return a;
}

void expectSameRecord(const TMIMEAttachment& a, const TMIMEAttachment& b)
{
    EXPECT_EQ(a.FileName, b.FileName);
    EXPECT_EQ(a.ContentType, b.ContentType);
    EXPECT_EQ(a.Disposition, b.Disposition);
    EXPECT_EQ(a.Description, b.Description);
    EXPECT_EQ(a.Size, b.Size);
    EXPECT_EQ(a.ContentID, b.ContentID);
    EXPECT_EQ(a.Location, b.Location);
    EXPECT_EQ(a.ManagedFile, b.ManagedFile);
}

// The header record of an index whose last number is n.
std::string headerWith(std::int32_t n)
{
    std::string h(928, '\0');
    auto u = static_cast<std::uint32_t>(n);
    for (int i = 0; i < 4; ++i)
        h[624 + static_cast<std::size_t>(i)] = static_cast<char>((u >> (8 * i)) & 0xFF);
    return h;
}

TEST(AttachmentRecord, HasThe928ByteLayout)
{
    EXPECT_EQ(encodeAttachmentRecord(handMadeFields()), handMadeRecord());
    std::string bytes = handMadeRecord();
    expectSameRecord(decodeAttachmentRecord(bytes.data()), handMadeFields());
}

TEST(AttachmentRecord, CutsLongStringsAndClampsBadLengthBytes)
{
    TMIMEAttachment a;
    a.FileName = std::string(300, 'f');
    a.ContentType = std::string(100, 't');
    a.Disposition = std::string(40, 'd');
    a.ContentID = std::string(50, 'i');
    a.Size = -1;
    std::string r = encodeAttachmentRecord(a);
    ASSERT_EQ(r.size(), 928u);
    EXPECT_EQ(static_cast<unsigned char>(r[0]), 255);
    EXPECT_EQ(static_cast<unsigned char>(r[256]), 80);
    EXPECT_EQ(static_cast<unsigned char>(r[337]), 30);
    EXPECT_EQ(static_cast<unsigned char>(r[628]), 40);
    EXPECT_EQ(r.substr(624, 4), std::string(4, '\xff'));
    TMIMEAttachment back = decodeAttachmentRecord(r.data());
    EXPECT_EQ(back.FileName, std::string(255, 'f'));
    EXPECT_EQ(back.Disposition, std::string(30, 'd'));
    EXPECT_EQ(back.Size, -1);

    // A damaged record whose length bytes claim more than the room.
    std::string bad(928, 'x');
    bad[256] = '\xff';
    bad[337] = '\xff';
    bad[628] = '\xff';
    TMIMEAttachment d = decodeAttachmentRecord(bad.data());
    EXPECT_EQ(d.ContentType.size(), 80u);
    EXPECT_EQ(d.Disposition.size(), 30u);
    EXPECT_EQ(d.ContentID.size(), 40u);
}

TEST(SafeFileName, KeepsOnlyTheLastPathComponent)
{
    EXPECT_EQ(safeFileName("report.pdf"), "report.pdf");
    EXPECT_EQ(safeFileName("../../etc/passwd"), "passwd");
    EXPECT_EQ(safeFileName("C:\\Windows\\system32\\evil.exe"), "evil.exe");
    EXPECT_EQ(safeFileName("/abs/dir/"), "");
    EXPECT_EQ(safeFileName(".."), "");
    EXPECT_EQ(safeFileName("a/.."), "");
    EXPECT_EQ(safeFileName("."), "");
    EXPECT_EQ(safeFileName("  spaced name.txt  "), "spaced name.txt");
    EXPECT_EQ(safeFileName("new\nline\x7f.txt"), "new_line_.txt");
    EXPECT_EQ(safeFileName("caf\xe9.txt"), "caf\xe9.txt");
}

class AttachmentStore : public ::testing::Test {
protected:
    TempDir tmp;
    std::string dir = tmp.path() + "profile/attach/";
    TAttachmentManager store;
};

TEST_F(AttachmentStore, AFreshProfileGetsADirectoryAnIndexAndNumberOne)
{
    store.SetAttachmentDirectory(tmp.path() + "profile/attach"); // the "/" is added
    EXPECT_EQ(store.AttachmentDirectory(), dir);
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(fileBytes(dir + "attach.idx"), std::string(928, '\0'));
    EXPECT_EQ(modeOf(dir + "attach.idx"), 0600u);
    EXPECT_EQ(store.LastNumber(), 0);

    TMIMEAttachment a = handMadeFields();
    a.Location.clear();
    a.ManagedFile = 0;
    EXPECT_EQ(store.RegisterAttachment(a), 1);
    EXPECT_EQ(a.Location, dir + "a1");
    EXPECT_EQ(a.ManagedFile, 1);
    std::string idx = fileBytes(dir + "attach.idx");
    ASSERT_EQ(idx.size(), 2 * 928u);
    EXPECT_EQ(idx.substr(0, 928), headerWith(1));
    EXPECT_EQ(idx.substr(928), encodeAttachmentRecord(a));
    expectSameRecord(store.GetAttachment(1), a);
}

TEST_F(AttachmentStore, AGivenLocationIsKeptAndNotManaged)
{
    store.SetAttachmentDirectory(dir);
    TMIMEAttachment a;
    a.Location = "/home/user/own file.doc";
    a.ManagedFile = 1;
    EXPECT_EQ(store.RegisterAttachment(a), 1);
    EXPECT_EQ(a.Location, "/home/user/own file.doc");
    EXPECT_EQ(a.ManagedFile, 0);
    EXPECT_EQ(store.GetAttachment(1).ManagedFile, 0);
}

TEST_F(AttachmentStore, RegisteringTheSameRecordTwiceIssuesTwoNumbers)
{
    store.SetAttachmentDirectory(dir);
    TMIMEAttachment a;
    a.FileName = "same.txt";
    TMIMEAttachment b = a;
    EXPECT_EQ(store.RegisterAttachment(a), 1);
    EXPECT_EQ(store.RegisterAttachment(b), 2);
    EXPECT_EQ(store.GetAttachment(1).Location, dir + "a1");
    EXPECT_EQ(store.GetAttachment(2).Location, dir + "a2");
    EXPECT_EQ(fileBytes(dir + "attach.idx").substr(0, 928), headerWith(2));
}

TEST_F(AttachmentStore, NumberingContinuesFromTheIndexActuallyUsed)
{
    std::string other = tmp.path() + "other/attach/";
    TMIMEAttachment a;
    store.SetAttachmentDirectory(dir);
    store.RegisterAttachment(a);
    a.Location.clear();
    store.RegisterAttachment(a);
    store.SetAttachmentDirectory(other);
    a.Location.clear();
    EXPECT_EQ(store.RegisterAttachment(a), 1);
    EXPECT_EQ(a.Location, other + "a1");
    store.SetAttachmentDirectory(dir);
    a.Location.clear();
    EXPECT_EQ(store.RegisterAttachment(a), 3);

    // A second store on the same index (another session) does not reuse numbers either.
    TAttachmentManager second;
    second.SetAttachmentDirectory(dir);
    EXPECT_EQ(second.LastNumber(), 3);
    a.Location.clear();
    EXPECT_EQ(second.RegisterAttachment(a), 4);
    a.Location.clear();
    EXPECT_EQ(store.RegisterAttachment(a), 5);
}

TEST_F(AttachmentStore, AHeaderBehindItsRecordsDoesNotMakeNumbersBeReused)
{
    store.SetAttachmentDirectory(dir);
    writeBytes(dir + "attach.idx", headerWith(1) + std::string(3 * 928, 'r'));
    TAttachmentManager fresh;
    fresh.SetAttachmentDirectory(dir);
    EXPECT_EQ(fresh.LastNumber(), 3);
    TMIMEAttachment a;
    EXPECT_EQ(fresh.RegisterAttachment(a), 4);
}

TEST_F(AttachmentStore, AHeaderBeyondItsRecordsIsRefusedAndNeverGrowsTheIndex)
{
    makePrivateDirectories(dir);
    std::string record = handMadeRecord();
    const std::string damaged = headerWith(2000) + record;
    writeBytes(dir + "attach.idx", damaged);
    store.SetAttachmentDirectory(dir); // still readable
    EXPECT_EQ(store.LastNumber(), 2000);
    expectSameRecord(store.GetAttachment(1), handMadeFields());

    TMIMEAttachment a;
    try {
        store.RegisterAttachment(a);
        FAIL() << "no FileError";
    } catch (const FileError& e) {
        EXPECT_EQ(e.path, dir + "attach.idx");
        EXPECT_NE(std::string(e.what()).find("the attachment index is damaged"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(a.Location.empty());
    // Only records the file holds are rewritten; one beyond them would leave a hole before it.
    for (std::int32_t n : {2, 1999, 2000})
        EXPECT_THROW(store.UpdateAttachment(n, a), FileError) << n;
    EXPECT_EQ(fileBytes(dir + "attach.idx"), damaged);
    a.Size = 7;
    store.UpdateAttachment(1, a);
    EXPECT_EQ(fileBytes(dir + "attach.idx"), headerWith(2000) + encodeAttachmentRecord(a));

    // The highest number there is, with no record at all.
    writeBytes(dir + "attach.idx", headerWith(0x7FFFFFFF));
    TAttachmentManager other;
    other.SetAttachmentDirectory(dir);
    TMIMEAttachment b;
    EXPECT_THROW(other.RegisterAttachment(b), FileError);
    EXPECT_EQ(fileBytes(dir + "attach.idx"), headerWith(0x7FFFFFFF));
}

TEST_F(AttachmentStore, RecordsLostBehindTheirNumbersAreRestoredEmptyOnlyForASmallGap)
{
    makePrivateDirectories(dir);
    const std::string record = handMadeRecord();
    writeBytes(dir + "attach.idx", headerWith(3) + record);
    store.SetAttachmentDirectory(dir);
    EXPECT_EQ(store.RestoreIssuedRecords(), 2);
    EXPECT_EQ(fileBytes(dir + "attach.idx"), headerWith(3) + record + std::string(2 * 928, '\0'));
    EXPECT_EQ(store.RestoreIssuedRecords(), 0);
    TMIMEAttachment a;
    EXPECT_EQ(store.RegisterAttachment(a), 4);

    // Beyond what a cut-off check leaves: damage, left for the refusal.
    const std::string damaged = headerWith(65538) + record;
    writeBytes(dir + "attach.idx", damaged);
    TAttachmentManager other;
    other.SetAttachmentDirectory(dir);
    EXPECT_EQ(other.RestoreIssuedRecords(), 0);
    EXPECT_EQ(fileBytes(dir + "attach.idx"), damaged);
}

TEST_F(AttachmentStore, ADamagedIndexIsRefusedWithItsName)
{
    makePrivateDirectories(dir);
    writeBytes(dir + "attach.idx", std::string(100, '\0'));
    try {
        store.SetAttachmentDirectory(dir);
        FAIL() << "no FileError";
    } catch (const FileError& e) {
        EXPECT_EQ(e.path, dir + "attach.idx");
    }
    EXPECT_EQ(fileBytes(dir + "attach.idx"), std::string(100, '\0'));
}

TEST_F(AttachmentStore, ALocationTooLongForTheRecordIsRefusedNotCut)
{
    std::string deep = tmp.path() + std::string(250, 'd') + "/";
    store.SetAttachmentDirectory(deep);
    TMIMEAttachment a;
    EXPECT_THROW(store.RegisterAttachment(a), FileError);
    EXPECT_TRUE(a.Location.empty());
    EXPECT_EQ(fileBytes(deep + "attach.idx"), std::string(928, '\0'));

    store.SetAttachmentDirectory(dir);
    a.Location = "/" + std::string(255, 'x');
    EXPECT_THROW(store.RegisterAttachment(a), FileError);
    EXPECT_EQ(store.LastNumber(), 0);
}

TEST_F(AttachmentStore, UpdateRewritesOnlyIssuedRecords)
{
    store.SetAttachmentDirectory(dir);
    TMIMEAttachment a;
    store.RegisterAttachment(a);
    a.Size = 4711;
    store.UpdateAttachment(1, a);
    EXPECT_EQ(store.GetAttachment(1).Size, 4711);
    std::string before = fileBytes(dir + "attach.idx");
    EXPECT_THROW(store.UpdateAttachment(0, a), FileError); // would overwrite the header
    EXPECT_THROW(store.UpdateAttachment(2, a), FileError); // never issued
    EXPECT_THROW(store.UpdateAttachment(-1, a), FileError);
    EXPECT_EQ(fileBytes(dir + "attach.idx"), before);
    EXPECT_THROW(store.GetAttachment(2), FileError);
    EXPECT_THROW(store.GetAttachment(0), FileError);
}

TEST_F(AttachmentStore, TheDefaultDirectoryIsInTheProgramDirectory)
{
    std::string home = tmp.path() + "home/";
    ::setenv("TAVIK_HOME", home.c_str(), 1);
    EXPECT_EQ(store.AttachmentDirectory(), home + "attach/");
    ::unsetenv("TAVIK_HOME");
    EXPECT_EQ(fileBytes(home + "attach/attach.idx"), std::string(928, '\0'));
}

class AttachmentCopies : public AttachmentStore {
protected:
    void SetUp() override
    {
        store.SetAttachmentDirectory(dir);
        for (int i = 0; i < 5000; ++i)
            content.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
        TMIMEAttachment a;
        number = store.RegisterAttachment(a);
        writeBytes(a.Location, content);
        store.TempDirectory = tmp.path() + "scratch/";
    }
    std::string content;
    std::int32_t number = 0;
};

TEST_F(AttachmentCopies, CopyGivesTheSameBytesAndReplacesTheDestination)
{
    std::string dest = tmp.path() + "saved.bin";
    writeBytes(dest, "old contents");
    store.CopyAttachmentFile(number, dest);
    EXPECT_EQ(fileBytes(dest), content);
    EXPECT_EQ(modeOf(dest), 0600u);
    // No temporary file is left beside it.
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(tmp.path()))
        entries += e.path().filename().string().rfind("saved.bin", 0) == 0;
    EXPECT_EQ(entries, 1);
    // A copy onto the attachment's own file leaves it whole.
    store.CopyAttachmentFile(number, dir + "a1");
    EXPECT_EQ(fileBytes(dir + "a1"), content);
}

TEST_F(AttachmentCopies, AMissingSourceIsAFileError)
{
    TMIMEAttachment b;
    std::int32_t n = store.RegisterAttachment(b); // its file was never written
    try {
        store.CopyAttachmentFile(n, tmp.path() + "x");
        FAIL() << "no FileError";
    } catch (const FileError& e) {
        EXPECT_EQ(e.path, dir + "a2");
    }
    EXPECT_FALSE(fileExists(tmp.path() + "x"));
}

TEST_F(AttachmentCopies, AShortWriteIsAFileErrorAndTheDestinationStays)
{
    std::string dest = tmp.path() + "saved.bin";
    writeBytes(dest, "old contents");
    // The file size limit makes the kernel write only part of a block, then refuse.
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 3000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        store.CopyAttachmentFile(number, dest);
    } catch (const FileError& e) {
        threw = true;
        EXPECT_EQ(e.path, dest);
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(threw);
    EXPECT_EQ(fileBytes(dest), "old contents");
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(tmp.path()))
        entries += e.path().filename().string().rfind("saved.bin", 0) == 0;
    EXPECT_EQ(entries, 1);
}

TEST_F(AttachmentCopies, OnlyRegularFilesAreCopiedAPipeOrDeviceIsRefusedAtOnce)
{
    // A managed attachment whose file became a pipe nobody writes to: opening it for reading
    // alone would wait for a writer for ever.
    TMIMEAttachment managed;
    std::int32_t pipe = store.RegisterAttachment(managed);
    ASSERT_EQ(::mkfifo(managed.Location.c_str(), 0600), 0);
    // Devices that never end, directly and through a link in the profile; and a directory.
    ASSERT_EQ(::symlink("/dev/zero", (tmp.path() + "zero").c_str()), 0);
    std::vector<std::int32_t> refused = {pipe};
    for (const std::string& location : {std::string("/dev/zero"), tmp.path() + "zero", tmp.path()}) {
        TMIMEAttachment own;
        own.Location = location;
        std::int32_t n = store.RegisterAttachment(own);
        own.ManagedFile = 1; // as a received one, so that viewing copies it too
        store.UpdateAttachment(n, own);
        refused.push_back(n);
    }
    const std::string dest = tmp.path() + "saved.bin";
    writeBytes(dest, "old contents");
    for (std::int32_t n : refused) {
        const std::string location = store.GetAttachment(n).Location;
        try {
            store.CopyAttachmentFile(n, dest);
            ADD_FAILURE() << "copied " << location;
        } catch (const FileError& e) {
            EXPECT_EQ(e.path, location);
        }
        EXPECT_THROW(store.AttachmentTempFile(n, "txt"), FileError) << location;
    }
    EXPECT_EQ(fileBytes(dest), "old contents");
    EXPECT_TRUE(store.TempFiles.empty());
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(tmp.path()))
        entries += e.path().filename().string().rfind("saved.bin", 0) == 0;
    EXPECT_EQ(entries, 1);

    // A link to a regular file is followed as before.
    ASSERT_EQ(::symlink((dir + "a1").c_str(), (tmp.path() + "link").c_str()), 0);
    TMIMEAttachment linked;
    linked.Location = tmp.path() + "link";
    store.CopyAttachmentFile(store.RegisterAttachment(linked), dest);
    EXPECT_EQ(fileBytes(dest), content);
}

TEST_F(AttachmentCopies, TempFileOfAReceivedAttachmentIsAPrivateCopyWithTheExtension)
{
    for (int i = 0; i < 5; ++i) { // numbers 2 to 6, so that the next one is 7
        TMIMEAttachment filler;
        store.RegisterAttachment(filler);
    }
    TMIMEAttachment seventh;
    ASSERT_EQ(store.RegisterAttachment(seventh), 7);
    writeBytes(seventh.Location, "GIF89a...");
    std::string path = store.AttachmentTempFile(7, "gif");
    EXPECT_EQ(path, tmp.path() + "scratch/a7.gif");
    EXPECT_EQ(fileBytes(path), "GIF89a...");
    EXPECT_EQ(modeOf(tmp.path() + "scratch"), 0700u);
    ASSERT_EQ(store.TempFiles.size(), 1u);
    EXPECT_EQ(store.TempFiles[0], path);
    // Asked again: the same copy, listed once.
    EXPECT_EQ(store.AttachmentTempFile(7, "gif"), path);
    EXPECT_EQ(store.TempFiles.size(), 1u);
    // An extension taken from a message cannot lead out of the directory.
    EXPECT_EQ(store.AttachmentTempFile(number, "../../x/../evil"), tmp.path() + "scratch/a1.evil");
    EXPECT_EQ(store.AttachmentTempFile(number, ""), tmp.path() + "scratch/a1");
    EXPECT_EQ(store.AttachmentTempFile(number, ".."), tmp.path() + "scratch/a1");
    EXPECT_EQ(fileBytes(tmp.path() + "scratch/a1.evil"), content);
    EXPECT_EQ(store.TempFiles.size(), 3u);

    store.RemoveTempFiles();
    EXPECT_TRUE(store.TempFiles.empty());
    EXPECT_FALSE(fileExists(path));
    EXPECT_FALSE(fileExists(tmp.path() + "scratch/a1.evil"));
}

TEST_F(AttachmentCopies, TempFileOfAnOutgoingAttachmentIsTheUsersOwnFile)
{
    TMIMEAttachment own;
    own.Location = tmp.path() + "my picture.gif";
    std::int32_t n = store.RegisterAttachment(own);
    EXPECT_EQ(store.AttachmentTempFile(n, "gif"), tmp.path() + "my picture.gif");
    EXPECT_TRUE(store.TempFiles.empty());
}

TEST(ScratchDirectory, IsPrivateToTheUser)
{
    TempDir tmp;
    std::string oldTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    std::string oldRuntime = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", tmp.path().c_str(), 1);
    std::string expected = tmp.path() + "tavik-" + std::to_string(::geteuid()) + "/";
    EXPECT_EQ(privateScratchDirectory(), expected);
    EXPECT_EQ(modeOf(expected), 0700u);
    // Someone widened it: it is made private again.
    ::chmod(expected.c_str(), 0755);
    EXPECT_EQ(privateScratchDirectory(), expected);
    EXPECT_EQ(modeOf(expected), 0700u);
    // A symbolic link planted in its place is refused.
    std::filesystem::remove(expected);
    std::filesystem::create_directory(tmp.path() + "elsewhere");
    std::filesystem::create_directory_symlink(tmp.path() + "elsewhere", expected.substr(0, expected.size() - 1));
    EXPECT_THROW(privateScratchDirectory(), FileError);
    // With a runtime directory, the scratch directory lives there.
    ::setenv("XDG_RUNTIME_DIR", (tmp.path() + "run").c_str(), 1);
    EXPECT_EQ(privateScratchDirectory(), tmp.path() + "run/tavik/");
    if (oldTmp.empty())
        ::unsetenv("TMPDIR");
    else
        ::setenv("TMPDIR", oldTmp.c_str(), 1);
    if (oldRuntime.empty())
        ::unsetenv("XDG_RUNTIME_DIR");
    else
        ::setenv("XDG_RUNTIME_DIR", oldRuntime.c_str(), 1);
}

} // namespace
} // namespace tavik
