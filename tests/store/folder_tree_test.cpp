// The folder tree: its two files against bytes written out here, hostile files, the tie between
// nodes and mailboxes, and the folder commands on a real profile directory.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <optional>
#include <random>
#include <sys/stat.h>

#include "profile/settings.h"
#include "store/folder_tree.h"
#include "store/mailbox_store.h"
#include "support/test_support.h"

using namespace tavik;
using tavik::test::fileBytes;
using tavik::test::TempDir;
using tavik::test::writeBytes;

namespace {

const std::string kStandardTexts = "Tavik mail\r\n New Mail\r\n Sent\r\n To Send\r\n Drafts\r\n Trash\r\n";
const std::string kStandardImages = "7,7\r\n2,2\r\n3,3\r\n4,4\r\n5,5\r\n6,6\r\n";

// The tree as "depth text image/selected" lines, one per node.
std::string outline(const FolderTree& tree)
{
    std::string out;
    for (const auto& n : tree.nodes())
        out += std::to_string(n.depth) + " " + n.text + " " + std::to_string(n.image) + "/" +
               std::to_string(n.selectedImage) + "\n";
    return out;
}

const std::string kStandardOutline = "0 Tavik mail 7/7\n1 New Mail 2/2\n1 Sent 3/3\n1 To Send 4/4\n1 Drafts 5/5\n"
                                     "1 Trash 6/6\n";

void writeTree(const std::string& dir, const std::string& texts, const std::string& images)
{
    writeBytes(dir + "treedata1.dat", texts);
    writeBytes(dir + "treedata2.dat", images);
}

// Answers the commands' questions from a script and records what was asked.
struct ScriptedQuestions : FolderQuestions {
    std::deque<std::optional<std::string>> names; // nullopt: Cancel
    std::deque<bool> answers;
    std::vector<std::string> asked; // "<name>" for the name dialog, else the question
    std::vector<std::string> titles;

    bool askItemName(std::string& name) override
    {
        asked.push_back("<name>");
        if (names.empty()) {
            ADD_FAILURE() << "the name dialog was not expected";
            return false;
        }
        auto answer = names.front();
        names.pop_front();
        if (!answer)
            return false;
        name = *answer;
        return true;
    }
    bool askYesNo(const std::string& question, const std::string& title) override
    {
        asked.push_back(question);
        titles.push_back(title);
        if (answers.empty()) {
            ADD_FAILURE() << "the question was not expected: " << question;
            return false;
        }
        bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

struct RecordingViewer : TMailboxViewerControl {
    std::vector<std::pair<int, int>> notices;
    void MailboxChanged(int action, int number) override { notices.emplace_back(action, number); }
};

// A real profile: settings file, mailbox pairs, tree opened as at start-up.
struct ProfileFixture : ::testing::Test {
    TempDir dir;
    std::string profile = dir.path();
    std::string mailboxDir = profile + "mailboxe/";
    ProfileSettings settings;
    MailboxList mailboxes;
    TNMailBox store;
    FolderTree tree;
    ScriptedQuestions ask;
    FolderProfile folders{profile, settings, mailboxes, store};

    void SetUp() override
    {
        LoadSettings(profile, profile, settings, mailboxes);
        reopen();
        tree.openProfileTree(profile, mailboxes);
    }

    // What OpenProfile does after a folder command: the settings and the store's side again.
    void reopen()
    {
        mailboxes.clear();
        LoadSettings(profile, profile, settings, mailboxes);
        store.MailBoxes = mailboxes;
        store.SetMailBoxDirectory(mailboxDir);
    }

    MailboxList savedMailboxes()
    {
        ProfileSettings s;
        MailboxList m;
        LoadSettings(profile, profile, s, m);
        return m;
    }

    // A group folder as last child of `parent`.
    int group(int parent, const std::string& name)
    {
        ask.names.push_back(name);
        FolderCommandResult r = tree.newSubgroupFolder(parent, mailboxes, ask);
        EXPECT_EQ(r.outcome, FolderOutcome::Done) << r.message;
        return r.node;
    }

    FolderCommandResult mailboxFolder(int parent, const std::string& name)
    {
        ask.names.push_back(name);
        FolderCommandResult r = tree.newMailboxFolder(parent, folders, ask);
        if (r.outcome == FolderOutcome::Done)
            reopen();
        return r;
    }

    FolderCommandResult deleteConfirmed(int node)
    {
        ask.answers.push_back(true);
        FolderCommandResult r = tree.deleteItem(node, folders, ask);
        if (r.mailboxesChanged)
            reopen();
        return r;
    }

    void append(int mailbox, const std::vector<std::string>& lines)
    {
        store.SetCurrentMailBoxNumber(mailbox);
        store.Msg_From = "a@b";
        store.Msg_To = "me@here";
        store.Msg_Subject = "s";
        store.Msg_Date = "Wed, 9 Dec 2026 10:00:00";
        store.Msg_Flag = 'U';
        store.Msg_Text = lines;
        store.AppendMessage();
    }

    int messages(int mailbox)
    {
        store.SetCurrentMailBoxNumber(mailbox);
        return store.CurrentMailBoxMessages();
    }

    int nodeNamed(const std::string& text)
    {
        for (int i = 0; i < tree.count(); ++i)
            if (tree.node(i).text == text)
                return i;
        return -1;
    }
};

} // namespace

// ---- The two files ----

TEST(TreeFiles, StandardTreeIsWrittenByteForByte)
{
    TempDir dir;
    FolderTree tree;
    tree.setStandardTree();
    tree.SaveTreeToDisk(dir.path());
    EXPECT_EQ(fileBytes(dir.path() + "treedata1.dat"), kStandardTexts);
    EXPECT_EQ(fileBytes(dir.path() + "treedata2.dat"), kStandardImages);
    struct stat st;
    ASSERT_EQ(::stat((dir.path() + "treedata1.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir.path() + "treedata2.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(TreeFiles, DepthIsOneSpacePerLevelAndNodesFollowDisplayOrder)
{
    TempDir dir;
    FolderTree tree;
    tree.setStandardTree();
    int work = tree.addChild(0, "Work", 8, 8);
    int jobs = tree.addChild(work, "Jobs", 0, 1);
    tree.addChild(jobs, "Old\xe9 (3)", 0, 1);
    tree.addChild(2, "Under Sent", 8, 8); // inserted inside the root's subtree, before "Work"
    tree.addSibling(0, "Second top", 8, 8);
    tree.SaveTreeToDisk(dir.path().substr(0, dir.path().size() - 1)); // without the final "/"
    EXPECT_EQ(fileBytes(dir.path() + "treedata1.dat"),
              "Tavik mail\r\n New Mail\r\n Sent\r\n  Under Sent\r\n To Send\r\n Drafts\r\n Trash\r\n Work\r\n"
              "  Jobs\r\n   Old\xe9 (3)\r\nSecond top\r\n");
    EXPECT_EQ(fileBytes(dir.path() + "treedata2.dat"),
              "7,7\r\n2,2\r\n3,3\r\n8,8\r\n4,4\r\n5,5\r\n6,6\r\n8,8\r\n0,1\r\n0,1\r\n8,8\r\n");
    EXPECT_EQ(tree.parent(9), 8);
    EXPECT_EQ(tree.parent(10), -1);
    EXPECT_EQ(tree.children(0), (std::vector<int>{1, 2, 4, 5, 6, 7}));
    EXPECT_EQ(tree.children(2), (std::vector<int>{3}));
    EXPECT_TRUE(tree.hasChildren(7));
    EXPECT_FALSE(tree.hasChildren(9));
    EXPECT_FALSE(tree.removeNode(7)); // it has children
    EXPECT_TRUE(tree.removeNode(3));
    EXPECT_EQ(tree.node(3).text, "To Send");
}

TEST(TreeFiles, LoadReadsSpacesTabsAndBothLineEnds)
{
    TempDir dir;
    writeTree(dir.path(), "Tavik mail\n New Mail\r\n\tSent\n \tDeep\r\n\t \tDeeper\n Trash\nTop\r\n\tChild",
              "7,7\n2,2\r\n3,3\n9,9\n0,1\r\n6,6\n8,8\n");
    FolderTree tree;
    ASSERT_TRUE(tree.LoadTreeFromDisk(dir.path()));
    // Without a pair, nodes 1 to 5 take the standard mailboxes' images, whatever their depth.
    EXPECT_EQ(outline(tree), "0 Tavik mail 7/7\n1 New Mail 2/2\n1 Sent 3/3\n2 Deep 4/4\n3 Deeper 0/1\n1 Trash 6/6\n"
                             "0 Top 8/8\n1 Child 8/8\n");
}

TEST(TreeFiles, TheEndOfFileMarkStopsReading)
{
    TempDir dir;
    writeTree(dir.path(), "Tavik mail\r\n New Mail\r\n \x1a\r\n\x1a\r\n Sent\r\n   broken\r\n",
              "7,7\r\n2,2\r\n1,1\r\n");
    FolderTree tree;
    ASSERT_TRUE(tree.LoadTreeFromDisk(dir.path()));
    // An indented 26 is a node's text; the line of 26 alone ends the file, so nothing after counts.
    EXPECT_EQ(outline(tree), "0 Tavik mail 7/7\n1 New Mail 2/2\n1 \x1a 1/1\n");

    // A root of 26 alone would be saved as the mark itself and lose the whole tree: it names no node.
    writeTree(dir.path(), " \x1a\r\nRoot\r\n", "1,1\r\n7,7\r\n");
    ASSERT_TRUE(tree.LoadTreeFromDisk(dir.path()));
    EXPECT_EQ(outline(tree), "0 Root 7/7\n");
}

TEST(TreeFiles, ALevelJumpIsRejectedKeepingTheNodesReadSoFar)
{
    TempDir dir;
    writeTree(dir.path(), "Tavik mail\r\n New Mail\r\n   Far\r\n Sent\r\n", "7,7\r\n2,2\r\n1,1\r\n");
    FolderTree tree;
    tree.setStandardTree();
    try {
        tree.LoadTreeFromDisk(dir.path());
        FAIL() << "no error";
    } catch (const TreeFileError& e) {
        EXPECT_EQ(e.reason, "Invalid TreeNode Level");
        EXPECT_EQ(e.path, dir.path() + "treedata1.dat");
        EXPECT_EQ(std::string(e.what()), "\"" + dir.path() + "treedata1.dat\": Invalid TreeNode Level");
    }
    EXPECT_EQ(outline(tree), "0 Tavik mail 7/7\n1 New Mail 2/2\n");
}

TEST(TreeFiles, TheFirstLineMayBeIndentedOnceButNotTwice)
{
    TempDir dir;
    FolderTree tree;
    writeTree(dir.path(), " Root\r\n Child\r\n", "");
    ASSERT_TRUE(tree.LoadTreeFromDisk(dir.path()));
    EXPECT_EQ(outline(tree), "0 Root 7/7\n1 Child 2/2\n");

    writeTree(dir.path(), "  Root\r\n", "");
    EXPECT_THROW(tree.LoadTreeFromDisk(dir.path()), TreeFileError);
    EXPECT_EQ(tree.count(), 0);
}

TEST(TreeFiles, ImagePairsGoToTheNodesInOrderExtraOnesIgnoredMissingOnesLeaveDefaults)
{
    TempDir dir;
    const std::string texts = kStandardTexts + " Work\r\n  Sub\r\n Last\r\n";
    FolderTree tree;

    writeTree(dir.path(), texts, "7,7\r\n2,2\r\n3,3\r\n4,4\r\n5,5\r\n6,6\r\n0,1\r\n8,8\r\n0,1\r\n1,0\r\n3,3\r\n");
    ASSERT_TRUE(tree.LoadTreeFromDisk(dir.path()));
    EXPECT_EQ(outline(tree), kStandardOutline + "1 Work 0/1\n2 Sub 8/8\n1 Last 0/1\n");

    // Missing pairs: the root, the standard mailboxes and the others take the images of their kind.
    writeTree(dir.path(), texts, "1,1\r\n");
    ASSERT_TRUE(tree.LoadTreeFromDisk(dir.path()));
    EXPECT_EQ(outline(tree), "0 Tavik mail 1/1\n1 New Mail 2/2\n1 Sent 3/3\n1 To Send 4/4\n1 Drafts 5/5\n"
                             "1 Trash 6/6\n1 Work 8/8\n2 Sub 8/8\n1 Last 8/8\n");

    // A pair that does not read leaves its node as loaded and the next pair still goes to the next node.
    writeTree(dir.path(), texts, "7,7\r\n2,2\r\n3,3\r\n4,4\r\n5,5\r\n6,6\r\nx,1\r\n0, 1\r\n9,0\r\n");
    ASSERT_TRUE(tree.LoadTreeFromDisk(dir.path()));
    EXPECT_EQ(outline(tree), kStandardOutline + "1 Work 8/8\n2 Sub 0/1\n1 Last 8/8\n");
}

TEST(TreeFiles, BlankLinesNameNoNodeAndKeepTheirImageLine)
{
    TempDir dir;
    writeTree(dir.path(), "Tavik mail\r\n\r\n New Mail\r\n   \r\n Sent\r\n", "7,7\r\n1,1\r\n2,2\r\n1,1\r\n3,3\r\n");
    FolderTree tree;
    ASSERT_TRUE(tree.LoadTreeFromDisk(dir.path()));
    EXPECT_EQ(outline(tree), "0 Tavik mail 7/7\n1 New Mail 2/2\n1 Sent 3/3\n");
}

TEST(TreeFiles, EitherFileMissingChangesNothing)
{
    TempDir dir;
    FolderTree tree;
    tree.setStandardTree();
    writeBytes(dir.path() + "treedata1.dat", "Other\r\n");
    EXPECT_FALSE(tree.LoadTreeFromDisk(dir.path()));
    std::filesystem::remove(dir.path() + "treedata1.dat");
    writeBytes(dir.path() + "treedata2.dat", "1,1\r\n");
    EXPECT_FALSE(tree.LoadTreeFromDisk(dir.path()));
    EXPECT_EQ(outline(tree), kStandardOutline);
}

TEST(TreeFiles, SavedTreeLoadsBackUnchanged)
{
    TempDir dir;
    FolderTree tree;
    tree.setStandardTree();
    int a = tree.addChild(0, "A\xff\x80 (12)", 8, 8);
    tree.addChild(tree.addChild(a, "B\r", 0, 1), "C", 0, 1);
    tree.addSibling(0, "Top", 8, 8);
    tree.SaveTreeToDisk(dir.path());
    FolderTree back;
    ASSERT_TRUE(back.LoadTreeFromDisk(dir.path()));
    EXPECT_EQ(outline(back), outline(tree));
}

// ---- Hostile files ----

TEST(HostileTreeFiles, LimitsOfDepthLineLengthAndNodeCount)
{
    TempDir dir;
    FolderTree tree;

    std::string deep = "Root\r\n";
    for (int d = 1; d <= kMaxTreeDepth + 1; ++d)
        deep += std::string(static_cast<std::size_t>(d), ' ') + "n" + std::to_string(d) + "\r\n";
    writeTree(dir.path(), deep, "");
    try {
        tree.LoadTreeFromDisk(dir.path());
        FAIL() << "no error";
    } catch (const TreeFileError& e) {
        EXPECT_EQ(e.reason, "Invalid TreeNode Level");
    }
    EXPECT_EQ(tree.count(), kMaxTreeDepth + 1);
    EXPECT_EQ(tree.nodes().back().depth, kMaxTreeDepth);

    std::string longest(kMaxTreeLineLength, 'x');
    writeTree(dir.path(), "Root\r\n" + longest + "\r\n" + longest + "y\r\nafter\r\n", "");
    try {
        tree.LoadTreeFromDisk(dir.path());
        FAIL() << "no error";
    } catch (const TreeFileError& e) {
        EXPECT_EQ(e.reason, "line 3 is longer than 1024 bytes");
    }
    EXPECT_EQ(tree.count(), 2);

    std::string many;
    for (int i = 0; i <= kMaxTreeNodes; ++i)
        many += "n\r\n";
    writeTree(dir.path(), many, "");
    try {
        tree.LoadTreeFromDisk(dir.path());
        FAIL() << "no error";
    } catch (const TreeFileError& e) {
        EXPECT_EQ(e.reason, "holds more than 10000 folders");
    }
    EXPECT_EQ(tree.count(), kMaxTreeNodes);
}

TEST(HostileTreeFiles, AFileTooLargeForAnyTreeIsNotReadAtAll)
{
    TempDir dir;
    writeTree(dir.path(), std::string(11u << 20, 'a'), "");
    FolderTree tree;
    tree.setStandardTree();
    EXPECT_THROW(tree.LoadTreeFromDisk(dir.path()), FileError);
    EXPECT_EQ(outline(tree), kStandardOutline);
}

TEST(HostileTreeFiles, HugeNumbersAndJunkInTheImageFileAreIgnored)
{
    TempDir dir;
    writeTree(dir.path(), kStandardTexts,
              "99999999999999999999,1\r\n-1,-1\r\n2,\r\n,3\r\n4,4,4\r\n" + std::string(5000, '5') + ",5\r\n");
    FolderTree tree;
    ASSERT_TRUE(tree.LoadTreeFromDisk(dir.path()));
    EXPECT_EQ(outline(tree), kStandardOutline);
}

TEST(HostileTreeFiles, RandomBytesNeverBreakTheTreeAndWhatLoadsSavesBackTheSame)
{
    TempDir dir;
    std::mt19937 random(20260509);
    const std::string alphabet = std::string("  \t\t\r\n\n\n\x1a\0,0123456789ab(", 20) + "\xff";
    for (int round = 0; round < 3000; ++round) {
        std::string texts, images;
        std::size_t length = random() % 200;
        for (std::size_t i = 0; i < length; ++i)
            texts += random() % 8 ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
        length = random() % 80;
        for (std::size_t i = 0; i < length; ++i)
            images += alphabet[random() % alphabet.size()];
        // Fresh files: truncating old ones makes the file system flush them on close.
        std::filesystem::remove(dir.path() + "treedata1.dat");
        std::filesystem::remove(dir.path() + "treedata2.dat");
        writeTree(dir.path(), texts, images);

        FolderTree tree;
        try {
            tree.LoadTreeFromDisk(dir.path());
        } catch (const TreeFileError& e) {
            EXPECT_EQ(e.reason, "Invalid TreeNode Level");
        }
        for (int i = 0; i < tree.count(); ++i) {
            const TreeNode& n = tree.node(i);
            ASSERT_EQ(i == 0 ? 0 : std::min(n.depth, tree.node(i - 1).depth + 1), n.depth) << round;
            ASSERT_FALSE(n.text.empty());
            ASSERT_NE(n.text[0], ' ');
            ASSERT_NE(n.text[0], '\t');
            ASSERT_LE(n.image, kMaxImageIndex);
            ASSERT_GE(n.image, 0);
            tree.isBold(i);
            tree.mailboxOfNode(i, standardMailboxEntries());
        }
        // What a save writes, spelled out; every hundredth round compares it with the real save,
        // which flushes to disk and so is too slow for every round.
        std::string savedTexts, savedImages;
        for (const auto& n : tree.nodes()) {
            savedTexts += std::string(static_cast<std::size_t>(n.depth), ' ') + n.text + "\r\n";
            savedImages += std::to_string(n.image) + "," + std::to_string(n.selectedImage) + "\r\n";
        }
        std::filesystem::remove(dir.path() + "treedata1.dat");
        std::filesystem::remove(dir.path() + "treedata2.dat");
        if (round % 100 == 0) {
            tree.SaveTreeToDisk(dir.path());
            ASSERT_EQ(fileBytes(dir.path() + "treedata1.dat"), savedTexts);
            ASSERT_EQ(fileBytes(dir.path() + "treedata2.dat"), savedImages);
        } else {
            writeTree(dir.path(), savedTexts, savedImages);
        }
        FolderTree back;
        ASSERT_TRUE(back.LoadTreeFromDisk(dir.path()));
        ASSERT_EQ(outline(back), outline(tree)) << "round " << round;
    }
}

// ---- Opening a profile's tree ----

TEST_F(ProfileFixture, ANewProfileStartsWithTheStandardTreeWrittenAtOnce)
{
    EXPECT_EQ(outline(tree), kStandardOutline);
    EXPECT_EQ(fileBytes(profile + "treedata1.dat"), kStandardTexts);
    EXPECT_EQ(fileBytes(profile + "treedata2.dat"), kStandardImages);

    FolderTree again;
    TreeOpening opening = again.openProfileTree(profile, mailboxes);
    EXPECT_FALSE(opening.startedWithStandardTree);
    EXPECT_FALSE(opening.restoredStandardTop);
    EXPECT_TRUE(opening.adoptedMailboxes.empty());
}

TEST_F(ProfileFixture, OpeningReplacesTheTreeOfTheProfileLeft)
{
    tree.addChild(0, "From before", 8, 8);
    writeTree(profile, kStandardTexts + " Mine\r\n", kStandardImages + "8,8\r\n");
    tree.openProfileTree(profile, mailboxes);
    EXPECT_EQ(outline(tree), kStandardOutline + "1 Mine 8/8\n");
}

TEST_F(ProfileFixture, TextsWithoutImagesAreKeptAndDrawnByKind)
{
    mailboxes.push_back("m5=Work");
    std::filesystem::remove(profile + "treedata2.dat");
    writeBytes(profile + "treedata1.dat", kStandardTexts + " Group\r\n  Work (2)\r\n");
    TreeOpening opening = tree.openProfileTree(profile, mailboxes);
    EXPECT_FALSE(opening.startedWithStandardTree);
    EXPECT_TRUE(opening.adoptedMailboxes.empty());
    EXPECT_EQ(outline(tree), kStandardOutline + "1 Group 8/8\n2 Work (2) 0/1\n");
}

TEST_F(ProfileFixture, FilesWithoutTheStandardTopGetItPutFirst)
{
    writeTree(profile, "Work\r\n Sent\r\n", "0,1\r\n3,3\r\n");
    TreeOpening opening = tree.openProfileTree(profile, mailboxes);
    EXPECT_TRUE(opening.restoredStandardTop);
    // Nothing loaded is lost, and no user folder stands in for a standard mailbox.
    EXPECT_EQ(outline(tree), kStandardOutline + "0 Work 0/1\n1 Sent 3/3\n");
    EXPECT_EQ(tree.mailboxOfNode(7, mailboxes), 0);
}

TEST_F(ProfileFixture, ADamagedFileIsReportedAfterTheTreeIsMadeWhole)
{
    mailboxes.push_back("m5=Work");
    writeTree(profile, "Tavik mail\r\n New Mail\r\n   Sent\r\n", "7,7\r\n2,2\r\n");
    try {
        tree.openProfileTree(profile, mailboxes);
        FAIL() << "no error";
    } catch (const TreeFileError& e) {
        EXPECT_EQ(e.reason, "Invalid TreeNode Level");
    }
    EXPECT_EQ(outline(tree), kStandardOutline + "1 Work 0/1\n0 Tavik mail 7/7\n1 New Mail 2/2\n");
    EXPECT_EQ(tree.mailboxOfNode(6, mailboxes), 6);
}

TEST_F(ProfileFixture, MailboxesWithoutANodeGetOneUnderTheRootOnce)
{
    mailboxes = standardMailboxEntries();
    for (const char* e : {"m5=Work", "m6=Tied", "m7=Work", "m8= Blank", "m9=Paren (x)", "m10=", "m11=Late"})
        mailboxes.push_back(e);
    writeTree(profile, kStandardTexts + " Tied (4)\r\n", kStandardImages + "0,1\r\n");
    TreeOpening opening = tree.openProfileTree(profile, mailboxes);
    // A second "Work" can never be found by name, and names the files cannot carry are left out.
    EXPECT_EQ(opening.adoptedMailboxes, (std::vector<int>{6, 12}));
    EXPECT_EQ(outline(tree), kStandardOutline + "1 Tied (4) 0/1\n1 Work 0/1\n1 Late 0/1\n");
    tree.SaveTreeToDisk(profile);
    EXPECT_TRUE(tree.openProfileTree(profile, mailboxes).adoptedMailboxes.empty());
    EXPECT_EQ(tree.count(), 9);
}

TEST(StandardMailboxes, AShortListGetsTheMissingOnesBackAtTheirNumbers)
{
    const MailboxList standard = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
    MailboxList list = {"m0=New Mail", "m1=Sent"};
    EXPECT_TRUE(restoreStandardMailboxes(list));
    EXPECT_EQ(list, standard);

    // A user mailbox among the first five moves behind them; present standard keys keep their
    // names and letter case but go to their own numbers.
    list = {"m5=Archive", "M1=Post out", "m0=New Mail"};
    EXPECT_TRUE(restoreStandardMailboxes(list));
    EXPECT_EQ(list, (MailboxList{"m0=New Mail", "M1=Post out", "m2=To Send", "m3=Drafts", "m4=Trash", "m5=Archive"}));
    list.clear();
    EXPECT_TRUE(restoreStandardMailboxes(list));
    EXPECT_EQ(list, standard);

    // Five or more entries are left as they are.
    list = standard;
    EXPECT_FALSE(restoreStandardMailboxes(list));
    EXPECT_EQ(list, standard);
    list = {"m0=New Mail", "m1=Sent", "m2=To Send", "m5=Archive", "m3=Drafts"};
    EXPECT_FALSE(restoreStandardMailboxes(list));
    EXPECT_EQ(list[3], "m5=Archive");
}

TEST_F(ProfileFixture, AShortMailboxListIsMadeWholeWhenTheTreeOpensAndNeverGivesAStandardNumber)
{
    // A settings file that lost three standard entries and holds one folder of the user's.
    mailboxes = {"m0=New Mail", "m1=Sent", "m5=Archive"};
    SaveSettings(profile, settings, mailboxes);
    reopen();
    writeTree(profile, kStandardTexts + " Archive\r\n", kStandardImages + "0,1\r\n");

    // Before the tree opened with it, the list would give a new folder number 4, which the
    // "Drafts" node opens: refused before the name is asked.
    ASSERT_TRUE(tree.LoadTreeFromDisk(profile));
    FolderCommandResult early = tree.newMailboxFolder(6, folders, ask);
    EXPECT_TRUE(ask.asked.empty());
    EXPECT_EQ(early.outcome, FolderOutcome::Refused);
    EXPECT_EQ(early.message, "Sorry, but the profile lacks some of its standard mailboxes.\r\nOpen the profile again before.");
    EXPECT_EQ(savedMailboxes(), (MailboxList{"m0=New Mail", "m1=Sent", "m5=Archive"}));
    EXPECT_FALSE(fileExists(mailboxDir + "m6.idx"));

    TreeOpening opening = tree.openProfileTree(profile, mailboxes);
    EXPECT_TRUE(opening.restoredStandardMailboxes);
    EXPECT_TRUE(opening.adoptedMailboxes.empty());
    EXPECT_EQ(mailboxes, (MailboxList{"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash", "m5=Archive"}));
    for (int n = 1; n <= 5; ++n)
        EXPECT_EQ(tree.mailboxOfNode(n, mailboxes), n);
    EXPECT_EQ(tree.mailboxOfNode(6, mailboxes), 6);

    // The store takes the list as the window hands it over; the new folder comes after all six.
    store.MailBoxes = mailboxes;
    store.SetMailBoxDirectory(mailboxDir);
    ask.names.push_back("Projects");
    FolderCommandResult r = tree.newMailboxFolder(6, folders, ask);
    ASSERT_EQ(r.outcome, FolderOutcome::Done) << r.message;
    EXPECT_EQ(r.addedMailbox, 7);
    EXPECT_EQ(tree.mailboxOfNode(r.node, mailboxes), 7);
    EXPECT_EQ(savedMailboxes(), (MailboxList{"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash",
                                             "m5=Archive", "m6=Projects"}));
    EXPECT_EQ(fileBytes(mailboxDir + "m6.idx"), std::string(267, '\0'));

    // A whole list opens unchanged.
    EXPECT_FALSE(tree.openProfileTree(profile, mailboxes).restoredStandardMailboxes);
}

// ---- The tie between nodes and mailboxes ----

TEST(NodeTie, StandardNodesByIndexOthersByDisplayNameExactly)
{
    FolderTree tree;
    tree.setStandardTree();
    MailboxList list = standardMailboxEntries();
    list.push_back("m5=Work");
    list.push_back("m6=Work"); // only the first of equal names is ever found
    list.push_back("m7=Pay=day");
    int work = tree.addChild(0, "Work", 0, 1);
    int bold = tree.addChild(work, "Work (3)", 0, 1);
    int zero = tree.addChild(0, "Work (0)", 0, 1);
    int lower = tree.addChild(0, "work", 8, 8);
    int eq = tree.addChild(0, "Pay=day (1)", 0, 1);
    int trash = tree.addChild(0, "Trash", 8, 8);
    int group = tree.addChild(0, "Group", 8, 8);
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(tree.mailboxOfNode(i, list), i);
    EXPECT_EQ(tree.mailboxOfNode(0, list), 0);
    EXPECT_EQ(tree.mailboxOfNode(work, list), 6);
    EXPECT_EQ(tree.mailboxOfNode(bold, list), 6);
    EXPECT_EQ(tree.mailboxOfNode(zero, list), 6);
    EXPECT_EQ(tree.mailboxOfNode(lower, list), 0);
    EXPECT_EQ(tree.mailboxOfNode(eq, list), 8);
    EXPECT_EQ(tree.mailboxOfNode(trash, list), 0); // standard names are tied by index only
    EXPECT_EQ(tree.mailboxOfNode(group, list), 0);
    EXPECT_EQ(tree.mailboxOfNode(99, list), 0);
    // Standard nodes of a settings file that lost its entries stand for nothing.
    EXPECT_EQ(tree.mailboxOfNode(4, MailboxList{"m0=New Mail", "m1=Sent"}), 0);

    EXPECT_FALSE(tree.isBold(work));
    EXPECT_TRUE(tree.isBold(bold));
    EXPECT_FALSE(tree.isBold(zero));
    EXPECT_TRUE(tree.isBold(eq));
}

TEST(NodeTie, BoldSuffixIsABlankAParenthesisedDecimalOfAtLeastOneAtTheEnd)
{
    EXPECT_TRUE(hasUnreadCount("Work (3)"));
    EXPECT_TRUE(hasUnreadCount("Work (007)"));
    EXPECT_TRUE(hasUnreadCount("A (b) (12)"));
    EXPECT_TRUE(hasUnreadCount(" (1)"));
    EXPECT_TRUE(hasUnreadCount("Big (123456789012345678901234567890)"));
    EXPECT_FALSE(hasUnreadCount("Work (0)"));
    EXPECT_FALSE(hasUnreadCount("Work (00)"));
    EXPECT_FALSE(hasUnreadCount("Work ()"));
    EXPECT_FALSE(hasUnreadCount("Work (-1)"));
    EXPECT_FALSE(hasUnreadCount("Work (3) "));
    EXPECT_FALSE(hasUnreadCount("Work(3)"));
    EXPECT_FALSE(hasUnreadCount("Work (3a)"));
    EXPECT_FALSE(hasUnreadCount("(3)"));
    EXPECT_EQ(folderDisplayName("A (b) (12)"), "A");
    EXPECT_EQ(folderDisplayName("Work"), "Work");
    EXPECT_EQ(folderDisplayName("Work(3)"), "Work(3)");
}

TEST(NodeTie, TheItemShowsTheLiveUnreadCountInPlaceOfAStoredOne)
{
    EXPECT_EQ(folderItemText("New Mail", 3), "New Mail (3)");
    EXPECT_EQ(folderItemText("New Mail", 0), "New Mail");
    EXPECT_EQ(folderItemText("Work (7)", 2), "Work (2)");
    EXPECT_EQ(folderItemText("Work (0)", 0), "Work");
    EXPECT_EQ(folderItemText("A (b)", 1), "A (b) (1)");
    EXPECT_EQ(folderItemText("K\xc3\xb6ln ()", 12), "K\xc3\xb6ln () (12)");
}

TEST(NodeTie, DropTargetsAndMenus)
{
    FolderTree tree;
    tree.setStandardTree();
    MailboxList list = standardMailboxEntries();
    list.push_back("m5=Work");
    int work = tree.addChild(0, "Work (2)", 0, 1);
    int group = tree.addChild(0, "Group", 8, 8);
    EXPECT_EQ(tree.dropTarget(5, list, 1), 5);
    EXPECT_EQ(tree.dropTarget(work, list, 1), 6);
    EXPECT_EQ(tree.dropTarget(work, list, 6), 0); // its own mailbox
    EXPECT_EQ(tree.dropTarget(0, list, 1), 0);
    EXPECT_EQ(tree.dropTarget(group, list, 1), 0);

    auto menu = mailboxMenu({"m0=New Mail", "m5=Pay=day", "bad"});
    ASSERT_EQ(menu.size(), 3u);
    EXPECT_EQ(menu[1].number, 2);
    EXPECT_EQ(menu[1].caption, "Pay=day");
    EXPECT_EQ(menu[2].caption, "");
}

// ---- Keys of new mailboxes ----

TEST(MailboxKeys, OneAboveTheLastEntryOrTheNextFreeNumber)
{
    MailboxList list = standardMailboxEntries();
    EXPECT_EQ(nextMailboxKey(list), "m5");
    list.push_back("m5=A");
    EXPECT_EQ(nextMailboxKey(list), "m6");
    list.push_back("m6=B");
    list.erase(list.begin() + 5); // m5 deleted while m6 is last
    EXPECT_EQ(nextMailboxKey(list), "m7");
    list.pop_back(); // the last one deleted: its key comes back
    EXPECT_EQ(nextMailboxKey(list), "m5");

    // A key that is taken is never given twice.
    EXPECT_EQ(nextMailboxKey({"m0=a", "m6=b", "m5=c"}), "m7");
    EXPECT_EQ(nextMailboxKey({"m0=a", "M6=b", "m5=c"}), "m7");
    EXPECT_EQ(nextMailboxKey({"m0=a", "m7=b", "m05=c"}), "m6");
    // A last key that is no "m" number: one above the highest.
    EXPECT_EQ(nextMailboxKey({"m0=a", "m9=b", "odd=c"}), "m10");
    EXPECT_EQ(nextMailboxKey({"x=a"}), "m0");
    // Keys stay within the 8 characters the viewer table compares.
    EXPECT_EQ(nextMailboxKey({"m0=a", "m1=b", "m9999999=c"}), "m2");
    EXPECT_EQ(nextMailboxKey({"m0=a", "m99999999999999999999=c"}), "m1");
}

// ---- Folder commands ----

TEST_F(ProfileFixture, GroupFoldersGoBesideOrBelowTheSelectedNodeNeverAmongTheStandardOnes)
{
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(tree.newGroupFolder(i, mailboxes, ask).outcome, FolderOutcome::Ignored);
        EXPECT_EQ(tree.newSubgroupFolder(i, mailboxes, ask).outcome, FolderOutcome::Ignored);
    }
    EXPECT_TRUE(ask.asked.empty());

    int a = group(0, "A");
    EXPECT_EQ(a, 6);
    ask.names.push_back("B");
    FolderCommandResult b = tree.newGroupFolder(a, mailboxes, ask);
    EXPECT_EQ(b.outcome, FolderOutcome::Done);
    EXPECT_EQ(b.node, 7);
    ask.names.push_back("Top");
    EXPECT_EQ(tree.newGroupFolder(0, mailboxes, ask).node, 8);
    ask.names.push_back("Nothing selected");
    EXPECT_EQ(tree.newGroupFolder(-1, mailboxes, ask).node, 9);
    ask.names.push_back("Sub");
    EXPECT_EQ(tree.newSubgroupFolder(a, mailboxes, ask).node, 7);
    EXPECT_EQ(outline(tree), kStandardOutline + "1 A 8/8\n2 Sub 8/8\n1 B 8/8\n0 Top 8/8\n0 Nothing selected 8/8\n");
    // Group folders are written with the next save, not at once.
    EXPECT_EQ(fileBytes(profile + "treedata1.dat"), kStandardTexts);

    ask.names.push_back(std::nullopt);
    EXPECT_EQ(tree.newGroupFolder(a, mailboxes, ask).outcome, FolderOutcome::Cancelled);
    EXPECT_EQ(tree.count(), 11);
}

TEST_F(ProfileFixture, NamesThatCannotBeFoundAgainOrAreTakenAreRefused)
{
    int work = tree.addChild(0, "Work (5)", 8, 8);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Sorry, but the item has no name.\r\nType a name for it."},
        {std::string(100, 'x'), "Sorry, but the item name is longer than 99 characters.\r\nChoose a shorter name."},
        {" Lead", "Sorry, but the item name begins or ends with a blank.\r\nRemove the blanks before."},
        {"Trail ", "Sorry, but the item name begins or ends with a blank.\r\nRemove the blanks before."},
        {"Tab\there", "Sorry, but the item name holds a control character.\r\nType the name again."},
        {"\x1a", "Sorry, but the item name holds a control character.\r\nType the name again."},
        {"Del\x7f", "Sorry, but the item name holds a control character.\r\nType the name again."},
        {"A (1)", "Sorry, but the item name holds \" (\".\r\nChoose another name."},
        {"Trash", "Sorry, but an item named \"Trash\" already exists.\r\nChoose another name."},
        {"Tavik mail", "Sorry, but an item named \"Tavik mail\" already exists.\r\nChoose another name."},
        {"Work", "Sorry, but an item named \"Work\" already exists.\r\nChoose another name."},
    };
    for (const auto& [name, message] : cases) {
        ask.names.push_back(name);
        FolderCommandResult r = tree.newMailboxFolder(work, folders, ask);
        EXPECT_EQ(r.outcome, FolderOutcome::Refused) << name;
        EXPECT_EQ(r.message, message) << name;
        EXPECT_EQ(r.title, "Tavik mail");
        ask.names.push_back(name);
        EXPECT_EQ(tree.newSubgroupFolder(work, mailboxes, ask).message, message) << name;
    }
    EXPECT_EQ(tree.count(), 7);
    EXPECT_EQ(savedMailboxes(), standardMailboxEntries());

    // Accepted: the longest name, other letter case, 8-bit characters, brackets without the blank.
    for (const std::string& name : {std::string(99, 'x'), std::string("work"), std::string("Caf\xe9"),
                                   std::string("Work(2)"), std::string("a=b")})
        EXPECT_EQ(mailboxFolder(work, name).outcome, FolderOutcome::Done) << name;
    EXPECT_EQ(savedMailboxes().back(), "m9=a=b");
    EXPECT_EQ(tree.mailboxOfNode(nodeNamed("a=b"), mailboxes), 10);
    ask.names.push_back("Caf\xe9");
    EXPECT_EQ(tree.newGroupFolder(work, mailboxes, ask).outcome, FolderOutcome::Refused);
}

TEST_F(ProfileFixture, NewMailboxFolderAddsKeyEntryFreshPairAndBothFiles)
{
    EXPECT_EQ(tree.newMailboxFolder(0, folders, ask).outcome, FolderOutcome::Ignored);
    EXPECT_EQ(tree.newMailboxFolder(5, folders, ask).outcome, FolderOutcome::Ignored);
    EXPECT_TRUE(ask.asked.empty());

    int g = group(0, "Group");
    FolderCommandResult r = mailboxFolder(g, "Work");
    ASSERT_EQ(r.outcome, FolderOutcome::Done);
    EXPECT_EQ(r.node, 7);
    EXPECT_EQ(r.addedMailbox, 6);
    EXPECT_TRUE(r.mailboxesChanged);
    EXPECT_TRUE(r.warning.empty());
    EXPECT_EQ(ask.asked, std::vector<std::string>({"<name>", "<name>"}));

    std::string ini = fileBytes(profile + "tavik32.ini");
    EXPECT_NE(ini.find("[Mailboxes]\r\nm0=New Mail\r\nm1=Sent\r\nm2=To Send\r\nm3=Drafts\r\nm4=Trash\r\nm5=Work\r\n"),
              std::string::npos)
        << ini;
    EXPECT_EQ(fileBytes(mailboxDir + "m5.idx"), std::string(267, '\0'));
    EXPECT_TRUE(fileExists(mailboxDir + "m5.mbx"));
    EXPECT_EQ(fileBytes(mailboxDir + "m5.mbx"), "");
    EXPECT_EQ(fileBytes(profile + "treedata1.dat"), kStandardTexts + " Group\r\n  Work\r\n");
    EXPECT_EQ(fileBytes(profile + "treedata2.dat"), kStandardImages + "8,8\r\n0,1\r\n");

    EXPECT_EQ(mailboxFolder(7, "Play").addedMailbox, 7);
    EXPECT_EQ(savedMailboxes().back(), "m6=Play");
    EXPECT_EQ(outline(tree), kStandardOutline + "1 Group 8/8\n2 Work 0/1\n3 Play 0/1\n");

    ask.names.push_back(std::nullopt);
    EXPECT_EQ(tree.newMailboxFolder(7, folders, ask).outcome, FolderOutcome::Cancelled);
    EXPECT_EQ(savedMailboxes().size(), 7u);
}

TEST_F(ProfileFixture, ANewMailboxNeverTakesOverOldFilesOfItsKey)
{
    int g = group(0, "Group");
    ASSERT_EQ(mailboxFolder(g, "Work").outcome, FolderOutcome::Done);
    append(6, {"old mail"});
    ASSERT_EQ(deleteConfirmed(nodeNamed("Work")).outcome, FolderOutcome::Done);
    EXPECT_FALSE(fileExists(mailboxDir + "m5.idx"));
    EXPECT_FALSE(fileExists(mailboxDir + "m5.mbx"));

    // Files of the key left over, as by a crash or by hand: the new mailbox starts empty all the same.
    writeBytes(mailboxDir + "m5.mbx", "stale\r\n");
    writeBytes(mailboxDir + "m5.idx", std::string(600, '\x01'));
    ASSERT_EQ(mailboxFolder(g, "Play").outcome, FolderOutcome::Done);
    EXPECT_EQ(savedMailboxes().back(), "m5=Play");
    EXPECT_EQ(messages(6), 0);
    EXPECT_EQ(fileBytes(mailboxDir + "m5.idx"), std::string(267, '\0'));
    EXPECT_EQ(fileBytes(mailboxDir + "m5.mbx"), "");
}

TEST_F(ProfileFixture, FolderLimitsAreRefusedBeforeTheNameIsAsked)
{
    int deepest = 0;
    for (int d = 1; d <= kMaxTreeDepth; ++d)
        deepest = tree.addChild(deepest, "d" + std::to_string(d), 8, 8);
    ASSERT_GE(deepest, 0);
    FolderCommandResult r = tree.newSubgroupFolder(deepest, mailboxes, ask);
    EXPECT_EQ(r.outcome, FolderOutcome::Refused);
    EXPECT_EQ(r.message, "Sorry, but the selected item lies too deep.\r\nChoose an item nearer the top.");
    EXPECT_EQ(tree.newMailboxFolder(deepest, folders, ask).message, r.message);
    EXPECT_TRUE(ask.asked.empty());
    ask.names.push_back("Beside");
    EXPECT_EQ(tree.newGroupFolder(deepest, mailboxes, ask).outcome, FolderOutcome::Done);

    while (tree.count() < kMaxTreeNodes)
        ASSERT_GE(tree.addChild(0, "n", 8, 8), 0);
    EXPECT_EQ(tree.addChild(0, "n", 8, 8), -1);
    r = tree.newGroupFolder(0, mailboxes, ask);
    EXPECT_EQ(r.message, "Sorry, but the folder tree is full.\r\nDelete some items before.");
    EXPECT_EQ(tree.newMailboxFolder(7, folders, ask).outcome, FolderOutcome::Refused);
    EXPECT_TRUE(ask.names.empty());
}

TEST_F(ProfileFixture, DeleteItemRefusalsAndGroupFolders)
{
    for (int i = -1; i <= 5; ++i)
        EXPECT_EQ(tree.deleteItem(i, folders, ask).outcome, FolderOutcome::Ignored) << i;
    EXPECT_EQ(tree.deleteItem(6, folders, ask).outcome, FolderOutcome::Ignored);
    int g = group(0, "Group");
    int sub = group(g, "Sub");
    FolderCommandResult r = tree.deleteItem(g, folders, ask);
    EXPECT_EQ(r.outcome, FolderOutcome::Refused);
    EXPECT_EQ(r.message, "Sorry, but the selected item has subitems.\r\nDelete subitems before.");
    EXPECT_EQ(r.title, "Tavik mail");

    r = tree.deleteItem(sub, folders, ask);
    EXPECT_EQ(r.outcome, FolderOutcome::Done);
    EXPECT_EQ(r.node, 0);
    EXPECT_FALSE(r.mailboxesChanged);
    EXPECT_EQ(r.removedMailbox, 0);
    EXPECT_EQ(tree.deleteItem(g, folders, ask).outcome, FolderOutcome::Done);
    EXPECT_EQ(outline(tree), kStandardOutline);
    EXPECT_EQ(ask.asked, std::vector<std::string>({"<name>", "<name>"}));
}

TEST_F(ProfileFixture, DeletingAMailboxFolderRemovesItsMailFilesAndEntryOnly)
{
    int g = group(0, "Group");
    ASSERT_EQ(mailboxFolder(g, "Work").outcome, FolderOutcome::Done);
    ASSERT_EQ(mailboxFolder(g, "Play").outcome, FolderOutcome::Done);
    append(6, {"work mail"});
    append(7, {"play mail"});
    RecordingViewer workList;
    store.RegisterViewer(&workList, "m5");

    ask.answers.push_back(false);
    EXPECT_EQ(tree.deleteItem(nodeNamed("Work"), folders, ask).outcome, FolderOutcome::Cancelled);
    EXPECT_EQ(ask.asked.back(), "This item contains a mailbox.\r\nAre you sure you want to delete it?");
    EXPECT_EQ(ask.titles.back(), "Tavik mail");
    EXPECT_EQ(messages(6), 1);
    EXPECT_EQ(savedMailboxes().size(), 7u);

    FolderCommandResult r = deleteConfirmed(nodeNamed("Work"));
    ASSERT_EQ(r.outcome, FolderOutcome::Done);
    EXPECT_EQ(r.removedMailbox, 6);
    EXPECT_TRUE(r.mailboxesChanged);
    EXPECT_EQ(r.node, 0);
    EXPECT_TRUE(r.warning.empty()) << r.warning;
    EXPECT_EQ(workList.notices, (std::vector<std::pair<int, int>>{{kMailboxEmptied, 0}}));
    EXPECT_FALSE(fileExists(mailboxDir + "m5.idx"));
    EXPECT_FALSE(fileExists(mailboxDir + "m5.mbx"));
    MailboxList expected = standardMailboxEntries();
    expected.push_back("m6=Play");
    EXPECT_EQ(savedMailboxes(), expected);
    EXPECT_EQ(mailboxes, expected);
    EXPECT_EQ(store.MailBoxes, expected);
    EXPECT_EQ(fileBytes(profile + "treedata1.dat"), kStandardTexts + " Group\r\n  Play\r\n");
    // Play is number 6 now, with its mail.
    EXPECT_EQ(tree.mailboxOfNode(nodeNamed("Play"), mailboxes), 6);
    EXPECT_EQ(messages(6), 1);
    store.SetMsg_Number(1);
    store.LoadMessageText();
    EXPECT_EQ(store.Msg_Text, std::vector<std::string>{"play mail"});
    store.UnregisterViewer(&workList);

    // Play was the last entry: its key comes back for the next one, which starts empty.
    ASSERT_EQ(deleteConfirmed(nodeNamed("Play")).removedMailbox, 6);
    ASSERT_EQ(mailboxFolder(g, "Again").outcome, FolderOutcome::Done);
    EXPECT_EQ(savedMailboxes().back(), "m5=Again");
    EXPECT_EQ(messages(6), 0);
}

TEST_F(ProfileFixture, ASecondNodeOfAMailboxIsRemovedAloneAndSharedFilesStay)
{
    int g = group(0, "Group");
    ASSERT_EQ(mailboxFolder(g, "Work").outcome, FolderOutcome::Done);
    append(6, {"work mail"});
    // A node of the same mailbox, as a hand-edited tree file may hold.
    int second = tree.addChild(0, "Work (1)", 0, 1);
    FolderCommandResult r = tree.deleteItem(second, folders, ask);
    EXPECT_EQ(r.outcome, FolderOutcome::Done);
    EXPECT_FALSE(r.mailboxesChanged);
    EXPECT_TRUE(ask.answers.empty());
    EXPECT_EQ(messages(6), 1);

    // Two entries naming one pair: deleting one keeps the pair the other still shows.
    mailboxes.push_back("m5=Alias");
    SaveSettings(profile, settings, mailboxes);
    reopen();
    tree.addChild(0, "Alias", 0, 1);
    r = deleteConfirmed(nodeNamed("Work"));
    EXPECT_EQ(r.removedMailbox, 6);
    EXPECT_EQ(mailboxes.back(), "m5=Alias");
    EXPECT_EQ(messages(6), 1);
    EXPECT_TRUE(fileExists(mailboxDir + "m5.idx"));
}

TEST_F(ProfileFixture, AFailedSettingsSaveLeavesTheMailboxListedAndItsPairWhole)
{
    int g = group(0, "Group");
    ASSERT_EQ(mailboxFolder(g, "Work").outcome, FolderOutcome::Done);
    append(6, {"work mail"});
    const std::string ini = profile + "tavik32.ini";
    std::string saved = fileBytes(ini);
    std::filesystem::remove(ini);
    std::filesystem::create_directories(ini + "/blocked");

    ask.answers.push_back(true);
    EXPECT_THROW(tree.deleteItem(nodeNamed("Work"), folders, ask), FileError);
    EXPECT_EQ(mailboxes.size(), 6u);
    EXPECT_EQ(store.MailBoxes.size(), 6u);
    EXPECT_NE(nodeNamed("Work"), -1);
    EXPECT_EQ(messages(6), 0); // the mail went first, as confirmed; the pair is still a valid mailbox
    EXPECT_EQ(fileBytes(mailboxDir + "m5.idx"), std::string(267, '\0'));

    ask.names.push_back("Play");
    EXPECT_THROW(tree.newMailboxFolder(g, folders, ask), FileError);
    EXPECT_EQ(mailboxes.size(), 6u);
    EXPECT_EQ(store.MailBoxes.size(), 6u);
    EXPECT_EQ(nodeNamed("Play"), -1);

    std::filesystem::remove_all(ini);
    writeBytes(ini, saved);
    EXPECT_EQ(savedMailboxes().size(), 6u);
}

TEST_F(ProfileFixture, ATreeFileThatCannotBeWrittenIsAWarningAfterTheWorkIsDone)
{
    int g = group(0, "Group");
    std::filesystem::remove(profile + "treedata1.dat");
    std::filesystem::create_directories(profile + "treedata1.dat/blocked");
    FolderCommandResult r = mailboxFolder(g, "Work");
    EXPECT_EQ(r.outcome, FolderOutcome::Done);
    EXPECT_NE(r.warning.find("treedata1.dat"), std::string::npos);
    EXPECT_EQ(savedMailboxes().back(), "m5=Work");
}

// ---- Maintenance and message commands ----

TEST_F(ProfileFixture, EmptyTrashCompressAndDeleteMessages)
{
    const std::string big(100001, 'b');
    append(1, {big});
    append(1, {"small"});
    append(2, {"sent"});
    append(2, {"sent too"});

    EXPECT_FALSE(deleteMessagesToTrash(store, 5, {1}, ask)); // in Trash: nothing asked
    EXPECT_FALSE(deleteMessagesToTrash(store, 1, {}, ask));
    EXPECT_TRUE(ask.asked.empty());
    ask.answers.push_back(false);
    EXPECT_FALSE(deleteMessagesToTrash(store, 1, {1}, ask));
    EXPECT_EQ(ask.asked.back(), "Are you sure you want to delete the selected message(s)?");
    EXPECT_EQ(messages(5), 0);

    ask.answers = {true, true};
    EXPECT_TRUE(deleteMessagesToTrash(store, 1, {1}, ask));
    EXPECT_TRUE(deleteMessagesToTrash(store, 2, {2}, ask));
    EXPECT_EQ(messages(1), 1);
    EXPECT_EQ(messages(5), 2);

    compressMailboxes(store);
    store.SetCurrentMailBoxNumber(1);
    EXPECT_EQ(store.CurrentNMailBoxTrash(), 0);
    EXPECT_EQ(fileBytes(mailboxDir + "m0.mbx"), std::string("small\r\n\0", 8));
    store.SetCurrentMailBoxNumber(2);
    EXPECT_EQ(store.CurrentNMailBoxTrash(), 11); // below the limit: left alone

    emptyTrash(store);
    EXPECT_EQ(messages(5), 0);
    EXPECT_EQ(fileBytes(mailboxDir + "m4.mbx"), "");
    EXPECT_EQ(messages(1), 1);
}
