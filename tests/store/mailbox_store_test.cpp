// The mailbox pair formats, checked against bytes written out here, and the store's operations.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "store/mailbox_store.h"
#include "support/test_support.h"

using namespace tavik;
using tavik::test::fileBytes;
using tavik::test::TempDir;
using tavik::test::writeBytes;

namespace {

std::string le32(std::int32_t v)
{
    auto u = static_cast<std::uint32_t>(v);
    return std::string{static_cast<char>(u & 0xff), static_cast<char>((u >> 8) & 0xff),
                       static_cast<char>((u >> 16) & 0xff), static_cast<char>(u >> 24)};
}

std::string le16(std::int16_t v)
{
    auto u = static_cast<std::uint16_t>(v);
    return std::string{static_cast<char>(u & 0xff), static_cast<char>(u >> 8)};
}

// A length-prefixed field of `room` characters, zero beyond the text.
std::string field(const std::string& s, std::size_t room)
{
    std::string f(1, static_cast<char>(s.size()));
    f += s;
    f.append(room - s.size(), '\0');
    return f;
}

std::string header(std::int32_t size, std::int32_t trash, std::int16_t count)
{
    return std::string(244, '\0') + le32(size) + le32(trash) + le32(size) + std::string(8, '\0') + le16(count) +
           std::string(1, '\0');
}

std::string record(const std::string& from, const std::string& to, const std::string& subject,
                   const std::string& date, std::int32_t size, std::int32_t lines, std::int32_t offset,
                   std::int32_t attachStart, std::int32_t attachEnd, std::int16_t part, char flag)
{
    return field(from, 80) + field(to, 80) + field(subject, 40) + field(date, 40) + le32(size) + le32(lines) +
           le32(offset) + le32(attachStart) + le32(attachEnd) + le16(part) + std::string(1, flag);
}

struct RecordingViewer : TMailboxViewerControl {
    std::vector<std::pair<int, int>> notices;
    void MailboxChanged(int action, int number) override { notices.emplace_back(action, number); }
};

// A profile's mailbox directory with the five standard mailboxes.
struct StoreFixture : ::testing::Test {
    TempDir dir;
    std::string mailboxes = dir.path() + "mailboxe/";
    TNMailBox store;

    void SetUp() override
    {
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store.SetMailBoxDirectory(mailboxes);
    }

    void append(int mailbox, const std::vector<std::string>& lines, const std::string& from = "a@b",
                const std::string& subject = "s", char flag = 'U')
    {
        store.SetCurrentMailBoxNumber(mailbox);
        store.Msg_From = from;
        store.Msg_To = "me@here";
        store.Msg_Subject = subject;
        store.Msg_Date = "Wed, 9 Dec 2026 10:00:00";
        store.Msg_Flag = flag;
        store.Msg_Part = 0;
        store.Msg_AttachStart = 0;
        store.Msg_AttachEnd = 0;
        store.Msg_Text = lines;
        store.AppendMessage();
    }

    std::vector<std::string> text(int mailbox, int message)
    {
        store.SetCurrentMailBoxNumber(mailbox);
        store.SetMsg_Number(message);
        store.LoadMessageText();
        return store.Msg_Text;
    }

    std::string idx(const std::string& key) { return fileBytes(mailboxes + key + ".idx"); }
    std::string mbx(const std::string& key) { return fileBytes(mailboxes + key + ".mbx"); }
};

} // namespace

TEST_F(StoreFixture, FreshPairIsOneZeroHeaderAndAnEmptyTextFile)
{
    EXPECT_EQ(idx("m0"), std::string(267, '\0'));
    EXPECT_TRUE(tavik::fileExists(mailboxes + "m0.mbx"));
    EXPECT_EQ(mbx("m0"), "");
    store.SetCurrentMailBoxNumber(1);
    EXPECT_EQ(store.CurrentMailBoxMessages(), 0);
    EXPECT_EQ(store.Msg_Number(), 0);
    EXPECT_EQ(store.Msg_Flag, ' ');
    EXPECT_EQ(store.CurrentMailBoxName(), "m0");

    struct stat st;
    ASSERT_EQ(::stat(mailboxes.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((mailboxes + "m0.idx").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(StoreFixture, AppendWritesTextRecordAndHeaderByteForByte)
{
    append(2, {"x", "y", "z"}); // 9 bytes before the message under test
    store.SetCurrentMailBoxNumber(2);
    store.Msg_From = "Ann <ann@x.org>";
    store.Msg_To = "bob@y.org";
    store.Msg_Subject = "Hi";
    store.Msg_Date = "Wed, 9 Dec 2026 10:00:00";
    store.Msg_Flag = 'U';
    store.Msg_Part = 0x12345; // only the low 16 bits are kept
    store.Msg_AttachStart = 7;
    store.Msg_AttachEnd = 9;
    store.Msg_Text = {"a", "b"};
    store.AppendMessage();

    EXPECT_EQ(mbx("m1"), std::string("x\r\ny\r\nz\r\n\0a\r\nb\r\n\0", 17));
    std::string expected = header(17, 0, 2) +
                           record("a@b", "me@here", "s", "Wed, 9 Dec 2026 10:00:00", 10, 3, 0, 0, 0, 0, 'U') +
                           record("Ann <ann@x.org>", "bob@y.org", "Hi", "Wed, 9 Dec 2026 10:00:00", 7, 2, 10, 7, 9,
                                  0x2345, 'U');
    EXPECT_EQ(idx("m1"), expected);
    EXPECT_EQ(store.CurrentMailBoxMessages(), 2);
    EXPECT_EQ(store.CurrentNMailBoxSize(), 17);
    // The new message is not made current.
    EXPECT_EQ(store.Msg_Number(), 1);
}

TEST_F(StoreFixture, LongFieldsAreCutAndLoneLineEndsStayInsideTheirLine)
{
    append(1, {"one\nstill one", "two\rstill two", "three"}, std::string(100, 'f'), std::string(50, 's'));
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(1);
    EXPECT_EQ(store.Msg_From, std::string(80, 'f'));
    EXPECT_EQ(store.Msg_Subject, std::string(40, 's'));
    EXPECT_EQ(store.Msg_Lines(), 3);
    std::string raw = idx("m0");
    EXPECT_EQ(static_cast<unsigned char>(raw[267]), 80);
    EXPECT_EQ(static_cast<unsigned char>(raw[267 + 162]), 40);
    EXPECT_EQ(text(1, 1), (std::vector<std::string>{"one\nstill one", "two\rstill two", "three"}));

    // UTF-8 is cut at a character boundary: 80 bytes of "é", 39 of "€" (a 40th byte would split one).
    std::string e, euro;
    for (int i = 0; i < 50; ++i)
        e += "\xc3\xa9", euro += "\xe2\x82\xac";
    append(1, {"x"}, e, euro);
    store.SetMsg_Number(2);
    EXPECT_EQ(store.Msg_From, e.substr(0, 80));
    EXPECT_EQ(store.Msg_Subject, euro.substr(0, 39));
}

TEST_F(StoreFixture, ReadsAHandWrittenPair)
{
    // Bytes as another writer of the format would leave them, with junk beyond a field's length.
    std::string rec = record("x@y", "", "Subj", "d", 8, 2, 0, 0, 0, 0, 'v');
    rec[1 + 3] = 'J';
    writeBytes(mailboxes + "m3.idx", header(8, 0, 1) + rec);
    writeBytes(mailboxes + "m3.mbx", std::string("ab\r\ncd\r\n\0", 9).substr(0, 8));
    // Size 8 covers "ab\r\ncd\r\n" without a NUL: the lines are there all the same.
    EXPECT_EQ(text(4, 1), (std::vector<std::string>{"ab", "cd"}));
    EXPECT_EQ(store.Msg_From, "x@y");
    EXPECT_EQ(store.Msg_Flag, 'v');
}

TEST_F(StoreFixture, MovingTheMiddleMessageToTrash)
{
    append(1, {"first"});
    append(1, {"second", "message"});
    append(1, {"third"});
    RecordingViewer inbox, trash;
    store.RegisterViewer(&inbox, "m0");
    store.RegisterViewer(&trash, "m4");
    std::string before = idx("m0");

    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(2);
    store.Msg_Text = {"left over"};
    store.MoveMessage("m4");

    EXPECT_TRUE(store.Msg_Text.empty());
    EXPECT_EQ(inbox.notices, (std::vector<std::pair<int, int>>{{1, 2}}));
    EXPECT_EQ(trash.notices, (std::vector<std::pair<int, int>>{{0, 1}}));
    // The source keeps its texts: Size unchanged, the moved text counted as trash.
    const std::int32_t firstSize = 8, secondSize = 18, thirdSize = 8;
    EXPECT_EQ(idx("m0"), header(34, secondSize, 2) + before.substr(267, 267) + before.substr(3 * 267, 267));
    EXPECT_EQ(idx("m4"), header(secondSize, 0, 1) +
                             record("a@b", "me@here", "s", "Wed, 9 Dec 2026 10:00:00", secondSize, 2, 0, 0, 0, 0, 'U'));
    EXPECT_EQ(mbx("m4"), std::string("second\r\nmessage\r\n\0", secondSize));
    EXPECT_EQ(fileBytes(mailboxes + "temp.idx"), before);
    EXPECT_EQ(store.CurrentMailBoxMessages(), 2);
    EXPECT_EQ(store.CurrentNMailBoxTrash(), secondSize);
    EXPECT_EQ(text(1, 1), std::vector<std::string>{"first"});
    EXPECT_EQ(text(1, 2), std::vector<std::string>{"third"});
    EXPECT_EQ(text(5, 1), (std::vector<std::string>{"second", "message"}));
    (void)firstSize;
    (void)thirdSize;
    store.UnregisterViewer(&inbox);
    store.UnregisterViewer(&trash);
}

TEST_F(StoreFixture, CompressionKeepsLiveTextsInOrderAndEqualsTheMoveByMoveResult)
{
    for (int i = 0; i < 6; ++i)
        append(1, {"message " + std::to_string(i), std::string(static_cast<std::size_t>(i * 3), 'x')},
               "from" + std::to_string(i), "subject " + std::to_string(i), i % 2 ? 'V' : 'U');
    store.SetCurrentMailBoxNumber(1);
    store.MoveMessages({2, 5}, "m4"); // messages "1" and "4" become trash
    RecordingViewer inbox;
    store.RegisterViewer(&inbox, "m0");

    store.SetCurrentMailBoxNumber(1);
    ASSERT_GT(store.CurrentNMailBoxTrash(), 0);
    store.CompressMailbox();

    // What moving each live message into an empty scratch pair yields, written out.
    std::string expectedMbx, expectedRecords;
    std::int32_t at = 0;
    for (int i : {0, 2, 3, 5}) {
        std::string t = "message " + std::to_string(i) + "\r\n" + std::string(static_cast<std::size_t>(i * 3), 'x') +
                        "\r\n" + std::string(1, '\0');
        expectedRecords += record("from" + std::to_string(i), "me@here", "subject " + std::to_string(i),
                                  "Wed, 9 Dec 2026 10:00:00", static_cast<std::int32_t>(t.size()), 2, at, 0, 0, 0,
                                  i % 2 ? 'V' : 'U');
        expectedMbx += t;
        at += static_cast<std::int32_t>(t.size());
    }
    EXPECT_EQ(mbx("m0"), expectedMbx);
    EXPECT_EQ(idx("m0"), header(at, 0, 4) + expectedRecords);
    EXPECT_FALSE(tavik::fileExists(mailboxes + "sjgafhge.idx"));
    EXPECT_FALSE(tavik::fileExists(mailboxes + "sjgafhge.mbx"));
    EXPECT_FALSE(tavik::fileExists(mailboxes + "sjgafhge.job"));
    EXPECT_EQ(store.CurrentNMailBoxTrash(), 0);
    EXPECT_EQ(store.CurrentMailBoxMessages(), 4);
    // One notice to reload; numbers did not change, so nothing was removed.
    EXPECT_EQ(inbox.notices, (std::vector<std::pair<int, int>>{{kMailboxReloaded, 0}}));
    EXPECT_EQ(text(1, 3), (std::vector<std::string>{"message 3", "xxxxxxxxx"}));
    store.UnregisterViewer(&inbox);
}

TEST_F(StoreFixture, BatchMoveEqualsOneMoveAfterAnother)
{
    auto fill = [this] {
        for (int i = 1; i <= 7; ++i)
            append(1, {"text " + std::to_string(i)}, "f", "s" + std::to_string(i));
        append(5, {"already in trash"});
    };
    fill();
    RecordingViewer inbox, trash;
    store.RegisterViewer(&inbox, "m0");
    store.RegisterViewer(&trash, "m4");
    store.SetCurrentMailBoxNumber(1);
    store.MoveMessages({6, 2, 3}, "m4");
    std::string batchIdx = idx("m0"), batchMbx = mbx("m0"), batchTrashIdx = idx("m4"), batchTrashMbx = mbx("m4");
    auto batchInbox = inbox.notices, batchTrash = trash.notices;

    for (const char* k : {"m0", "m4"}) {
        tavik::removeFileIfPresent(mailboxes + k + ".idx");
        store.CreateMailboxFiles(k);
    }
    fill();
    inbox.notices.clear();
    trash.notices.clear();
    // The same messages one at a time, each by its number at that moment.
    for (int n : {6, 2, 2}) {
        store.SetCurrentMailBoxNumber(1);
        store.SetMsg_Number(n);
        store.MoveMessage("m4");
    }
    EXPECT_EQ(idx("m0"), batchIdx);
    EXPECT_EQ(mbx("m0"), batchMbx);
    EXPECT_EQ(idx("m4"), batchTrashIdx);
    EXPECT_EQ(mbx("m4"), batchTrashMbx);
    EXPECT_EQ(inbox.notices, batchInbox);
    EXPECT_EQ(trash.notices, batchTrash);
    EXPECT_EQ(batchInbox, (std::vector<std::pair<int, int>>{{1, 6}, {1, 2}, {1, 2}}));
    EXPECT_EQ(batchTrash, (std::vector<std::pair<int, int>>{{0, 2}, {0, 3}, {0, 4}}));
    store.SetCurrentMailBoxNumber(5);
    store.SetMsg_Number(4);
    EXPECT_EQ(store.Msg_Subject, "s3");
    store.UnregisterViewer(&inbox);
    store.UnregisterViewer(&trash);
}

TEST_F(StoreFixture, FlagsAndEmptyingNotifyOnlyTheirMailbox)
{
    append(1, {"keep"});
    append(5, {"bin me"});
    RecordingViewer inbox, trash;
    store.RegisterViewer(&inbox, "m0");
    store.RegisterViewer(&trash, "m4");
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(1);
    store.SetMessageFlag('V');
    EXPECT_EQ(idx("m0")[267 + 266], 'V');
    EXPECT_EQ(inbox.notices, (std::vector<std::pair<int, int>>{{2, 1}}));

    store.EmptyMailbox(5);
    EXPECT_EQ(trash.notices, (std::vector<std::pair<int, int>>{{3, 0}}));
    EXPECT_EQ(inbox.notices.size(), 1u);
    EXPECT_EQ(idx("m4"), std::string(267, '\0'));
    EXPECT_EQ(mbx("m4"), "");
    // The current mailbox is untouched.
    EXPECT_EQ(store.CurrentMailBoxNumber(), 1);
    EXPECT_EQ(store.CurrentMailBoxMessages(), 1);
    store.UnregisterViewer(&inbox);
    store.UnregisterViewer(&trash);
}

TEST_F(StoreFixture, ViewerTableHoldsTwoHundredFiftySixAndTellsEachWhenTheStoreGoes)
{
    std::vector<RecordingViewer> viewers(257);
    {
        TNMailBox other;
        other.MailBoxes = store.MailBoxes;
        other.SetMailBoxDirectory(mailboxes);
        for (int i = 0; i < 256; ++i)
            EXPECT_TRUE(other.RegisterViewer(&viewers[static_cast<std::size_t>(i)], i % 2 ? "m0" : "m1"));
        EXPECT_FALSE(other.RegisterViewer(&viewers[256], "m0"));
        other.SetCurrentMailBoxNumber(1);
        other.Msg_Text = {"hello"};
        other.AppendMessage();
        EXPECT_TRUE(viewers[256].notices.empty());
        EXPECT_EQ(viewers[1].notices, (std::vector<std::pair<int, int>>{{0, 1}}));
        EXPECT_TRUE(viewers[0].notices.empty());
        // A key is compared on its first 8 characters, exactly.
        other.UnregisterViewer(&viewers[0]);
        EXPECT_TRUE(other.RegisterViewer(&viewers[0], "M0"));
        other.NotifyViewers("m0", 2, 1);
        EXPECT_TRUE(viewers[0].notices.empty());
    }
    EXPECT_EQ(viewers[0].notices, (std::vector<std::pair<int, int>>{{5, 0}}));
    EXPECT_EQ(viewers[2].notices, (std::vector<std::pair<int, int>>{{5, 0}}));
    EXPECT_TRUE(viewers[256].notices.empty());
}

TEST_F(StoreFixture, SelectingMailboxes)
{
    store.SetCurrentMailBoxName("M4");
    EXPECT_EQ(store.CurrentMailBoxNumber(), 5);
    EXPECT_EQ(store.CurrentMailBoxName(), "m4");
    store.SetCurrentMailBoxNumber(0); // does nothing at all
    EXPECT_EQ(store.CurrentMailBoxNumber(), 5);
    EXPECT_THROW(store.SetCurrentMailBoxNumber(6), FileError);
    EXPECT_EQ(store.CurrentMailBoxNumber(), 0);
    EXPECT_EQ(store.CurrentMailBoxName(), "");
    EXPECT_THROW(store.SetCurrentMailBoxName("m9"), FileError);
    store.MailBoxes.push_back("m5=Old = new");
    EXPECT_EQ(store.MailboxDisplayName(6), "Old = new");
    EXPECT_EQ(store.MailboxKey(6), "m5");
}

TEST_F(StoreFixture, RefusesWhatTheFormatCannotCarry)
{
    store.SetCurrentMailBoxNumber(1);
    store.Msg_Text = {"before", std::string("nul\0after", 9)};
    EXPECT_THROW(store.AppendMessage(), FileError);
    EXPECT_EQ(idx("m0"), std::string(267, '\0'));
    EXPECT_EQ(mbx("m0"), "");

    // A full mailbox, written by hand: Count 32767 and its records.
    std::string full = header(0, 0, 32767) + std::string(32767u * 267u, '\0');
    writeBytes(mailboxes + "m1.idx", full);
    append(1, {"to move"});
    store.SetCurrentMailBoxNumber(2);
    store.Msg_Text = {"one more"};
    EXPECT_THROW(store.AppendMessage(), FileError);
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(1);
    EXPECT_THROW(store.MoveMessage("m1"), FileError);
    EXPECT_EQ(idx("m1"), full);
    EXPECT_EQ(mbx("m1"), "");
    store.SetCurrentMailBoxNumber(1);
    EXPECT_EQ(store.CurrentMailBoxMessages(), 1);

    // Keys from a hostile settings file never leave the directory.
    TNMailBox hostile;
    hostile.MailBoxes = {"../escape=Bad"};
    EXPECT_THROW(hostile.SetMailBoxDirectory(mailboxes), FileError);
    EXPECT_FALSE(tavik::fileExists(dir.path() + "escape.idx"));
}

TEST_F(StoreFixture, DamagedFilesRaiseFileErrorInsteadOfCrashing)
{
    append(1, {"hello"});
    std::string good = idx("m0");

    auto withRecord = [&](std::int32_t size, std::int32_t offset) {
        std::string bad = good;
        bad.replace(267 + 244, 4, le32(size));
        bad.replace(267 + 252, 4, le32(offset));
        writeBytes(mailboxes + "m0.idx", bad);
    };
    withRecord(2000000000, 0);
    EXPECT_THROW(text(1, 1), FileError);
    withRecord(5, -3);
    EXPECT_THROW(text(1, 1), FileError);
    withRecord(5, 100);
    EXPECT_THROW(text(1, 1), FileError);
    store.SetCurrentMailBoxNumber(1);
    EXPECT_THROW(store.MoveMessage("m4"), FileError);
    EXPECT_EQ(idx("m4"), std::string(267, '\0'));

    // A Count beyond the records the file holds, a negative Count, a file shorter than a header.
    writeBytes(mailboxes + "m0.idx", header(9, 0, 40) + good.substr(267));
    EXPECT_THROW(store.SetCurrentMailBoxNumber(1), FileError);
    writeBytes(mailboxes + "m0.idx", header(9, 0, -2));
    EXPECT_THROW(store.SetCurrentMailBoxNumber(1), FileError);
    writeBytes(mailboxes + "m0.idx", "short");
    EXPECT_THROW(store.SetCurrentMailBoxNumber(1), FileError);

    // A text file missing beside its index is not recreated; reading fails loudly.
    writeBytes(mailboxes + "m0.idx", good);
    tavik::removeFileIfPresent(mailboxes + "m0.mbx");
    EXPECT_THROW(text(1, 1), FileError);
}

TEST_F(StoreFixture, ADeleteThatCannotCompleteSaysSo)
{
    append(1, {"a"});
    append(1, {"b"});
    // A directory where "temp.idx" must go keeps the old index from being set aside.
    ASSERT_EQ(::mkdir((mailboxes + "temp.idx").c_str(), 0700), 0);
    writeBytes(mailboxes + "temp.idx/x", "x");
    std::string before = idx("m0");
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(1);
    EXPECT_THROW(store.DeleteMessage(), FileError);
    EXPECT_EQ(idx("m0"), before);
    EXPECT_THROW(store.MoveMessage("m1"), FileError);
    EXPECT_EQ(idx("m0"), before);
}

TEST_F(StoreFixture, AnInterruptedCompressionIsFinishedOrForgotten)
{
    append(1, {"live"});
    append(1, {"dead"});
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(2);
    store.MoveMessage("m4");
    std::string oldIdx = idx("m0"), oldMbx = mbx("m0");
    std::string newMbx = std::string("live\r\n\0", 7);
    std::string newIdx = header(7, 0, 1) + record("a@b", "me@here", "s", "Wed, 9 Dec 2026 10:00:00", 7, 1, 0, 0, 0, 0, 'U');

    // Died after the text file was swapped in, before the index: the marker finishes the job.
    writeBytes(mailboxes + "m0.mbx", newMbx);
    writeBytes(mailboxes + "sjgafhge.idx", newIdx);
    writeBytes(mailboxes + "sjgafhge.job", "m0");
    TNMailBox reopened;
    reopened.MailBoxes = store.MailBoxes;
    reopened.SetMailBoxDirectory(mailboxes);
    EXPECT_EQ(idx("m0"), newIdx);
    EXPECT_FALSE(tavik::fileExists(mailboxes + "sjgafhge.job"));

    // Died before the marker: the scratch pair is incomplete and the mailbox untouched.
    writeBytes(mailboxes + "m0.idx", oldIdx);
    writeBytes(mailboxes + "m0.mbx", oldMbx);
    writeBytes(mailboxes + "sjgafhge.idx", newIdx.substr(0, 300));
    writeBytes(mailboxes + "sjgafhge.mbx", "li");
    reopened.SetMailBoxDirectory(mailboxes);
    EXPECT_EQ(idx("m0"), oldIdx);
    EXPECT_EQ(mbx("m0"), oldMbx);
    EXPECT_FALSE(tavik::fileExists(mailboxes + "sjgafhge.idx"));
    EXPECT_FALSE(tavik::fileExists(mailboxes + "sjgafhge.mbx"));
}

TEST_F(StoreFixture, AutomaticCompressionTakesOnlyMailboxesOverTheLimit)
{
    append(1, {std::string(1000, 'a')});
    append(1, {"small"});
    append(2, {std::string(1000, 'b')});
    append(2, {"small"});
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(1);
    store.MoveMessage("m4");
    store.SetCurrentMailBoxNumber(2);
    store.SetMsg_Number(1);
    store.MoveMessage("m4");
    // Make mailbox 1's trash exceed the limit by hand-editing nothing: use a low limit instead.
    store.CompressMailboxes(1003 - 1);
    store.SetCurrentMailBoxNumber(1);
    EXPECT_EQ(store.CurrentNMailBoxTrash(), 0);
    store.SetCurrentMailBoxNumber(2);
    EXPECT_EQ(store.CurrentNMailBoxTrash(), 0);

    append(1, {std::string(500, 'c')});
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(2);
    store.MoveMessage("m4");
    store.CompressMailboxes(); // 503 bytes of trash stay below 100000
    store.SetCurrentMailBoxNumber(1);
    EXPECT_EQ(store.CurrentNMailBoxTrash(), 503);
}

TEST_F(StoreFixture, MovingIntoTheSameMailboxChangesNothing)
{
    append(1, {"stay"});
    std::string before = idx("m0");
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(1);
    store.MoveMessage("M0");
    EXPECT_EQ(idx("m0"), before);
}

TEST_F(StoreFixture, OpeningRepairsWhatACrashCanLeaveBehind)
{
    // Creation cut between the empty text file and its index; a replacement cut before its rename.
    tavik::removeFileIfPresent(mailboxes + "m2.idx");
    writeBytes(mailboxes + "m1.idx.tmp-Ab12Cd", "half");
    writeBytes(mailboxes + "notes.txt", "not ours to remove? it is not a temporary file");
    TNMailBox reopened;
    reopened.MailBoxes = store.MailBoxes;
    reopened.SetMailBoxDirectory(mailboxes);
    EXPECT_EQ(idx("m2"), std::string(267, '\0'));
    EXPECT_FALSE(tavik::fileExists(mailboxes + "m1.idx.tmp-Ab12Cd"));
    EXPECT_TRUE(tavik::fileExists(mailboxes + "notes.txt"));
    reopened.SetCurrentMailBoxNumber(3);
    EXPECT_EQ(reopened.CurrentMailBoxMessages(), 0);

    // An index missing beside a text file that holds mail is not papered over.
    append(2, {"kept"});
    tavik::removeFileIfPresent(mailboxes + "m1.idx");
    TNMailBox again;
    again.MailBoxes = store.MailBoxes;
    again.SetMailBoxDirectory(mailboxes);
    EXPECT_THROW(again.SetCurrentMailBoxNumber(2), FileError);
}

TEST_F(StoreFixture, AnIndexWhoseTextFileIsGoneStartsAfreshOnlyWhenItListsNoMail)
{
    // Sent: every message moved away, so only trash is counted; To Send: one live message;
    // Drafts: an index too short for its header. Their text files are lost.
    append(2, {"moved"});
    store.SetCurrentMailBoxNumber(2);
    store.SetMsg_Number(1);
    store.MoveMessage("m4");
    ASSERT_EQ(idx("m1"), header(8, 8, 0));
    append(3, {"kept"});
    const std::string listsMail = idx("m2");
    ASSERT_EQ(listsMail, header(7, 0, 1) + record("a@b", "me@here", "s", "Wed, 9 Dec 2026 10:00:00", 7, 1, 0, 0, 0, 0, 'U'));
    writeBytes(mailboxes + "m3.idx", "short");
    for (const char* key : {"m1", "m2", "m3"})
        tavik::removeFileIfPresent(mailboxes + key + ".mbx");

    TNMailBox reopened;
    reopened.MailBoxes = store.MailBoxes;
    reopened.SetMailBoxDirectory(mailboxes);

    // Nothing to lose: an empty pair, which takes mail again.
    EXPECT_EQ(idx("m1"), std::string(267, '\0'));
    EXPECT_EQ(mbx("m1"), "");
    reopened.SetCurrentMailBoxNumber(2);
    reopened.Msg_Text = {"new"};
    reopened.AppendMessage();
    EXPECT_EQ(mbx("m1"), std::string("new\r\n\0", 6));

    // Mail the index still lists is not emptied away; reading it names the missing file.
    EXPECT_EQ(idx("m2"), listsMail);
    EXPECT_FALSE(tavik::fileExists(mailboxes + "m2.mbx"));
    reopened.SetCurrentMailBoxNumber(3);
    reopened.SetMsg_Number(1);
    try {
        reopened.LoadMessageText();
        ADD_FAILURE() << "no FileError";
    } catch (const FileError& e) {
        EXPECT_EQ(e.path, mailboxes + "m2.mbx");
    }

    // A damaged index is left for its reader to report.
    EXPECT_EQ(idx("m3"), "short");
    EXPECT_FALSE(tavik::fileExists(mailboxes + "m3.mbx"));
    EXPECT_THROW(reopened.SetCurrentMailBoxNumber(4), FileError);
}

TEST_F(StoreFixture, RepairLinksADamagedRecordToItsOwnTextAndRevivesNoDeletedMail)
{
    // Texts of 18 bytes each; the deleted second one has the subject of the third.
    for (auto [subject, body] : std::vector<std::pair<std::string, std::string>>{
             {"A", "x"}, {"C", "y"}, {"C", "x"}, {"D", "x"}, {"E", "x"}})
        append(1, {"Subject: " + subject, "", body}, "a@b", subject);
    store.SetCurrentMailBoxNumber(1);
    store.SetMsg_Number(2);
    store.MoveMessage("m4");
    std::string bad = idx("m0");
    bad.replace(2 * 267 + 252, 4, le32(9000)); // C beyond the text file: two texts could be its own
    bad.replace(3 * 267 + 244, 4, le32(19));   // D of a size no text has
    bad.replace(4 * 267 + 252, 4, le32(9000)); // E beyond the text file
    writeBytes(mailboxes + "m0.idx", bad);

    store.SetCurrentMailBoxNumber(1);
    EXPECT_EQ(store.DamagedMessages(), (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(text(1, 1), (std::vector<std::string>{"Subject: A", "", "x"}));
    const MailboxRepair report = store.RepairMailbox(1);
    EXPECT_EQ(report.Intact, 1);
    EXPECT_EQ(report.Relinked, std::vector<int>{4});
    ASSERT_EQ(report.Dropped.size(), 2u);
    EXPECT_EQ(report.Dropped[0].Reason, "several texts of its size and header fields could be its own");
    EXPECT_EQ(report.Dropped[1].Reason, "no text of its size and header fields is left for it");
    const std::string date = "Wed, 9 Dec 2026 10:00:00";
    const std::string repaired = header(90, 54, 2) + bad.substr(267, 267) +
                                 record("a@b", "me@here", "E", date, 18, 3, 72, 0, 0, 0, 'U');
    EXPECT_EQ(idx("m0"), repaired);
    EXPECT_EQ(fileBytes(mailboxes + "temp.idx"), bad);
    EXPECT_EQ(text(1, 2), (std::vector<std::string>{"Subject: E", "", "x"}));

    // A whole index is left alone; a count beyond the records the file holds is mended.
    EXPECT_FALSE(store.RepairMailbox(1).Changed());
    writeBytes(mailboxes + "m0.idx", header(9, 0, 40) + repaired.substr(267));
    EXPECT_TRUE(store.RepairMailbox(1).HeaderMended);
    EXPECT_EQ(idx("m0"), repaired);
}
