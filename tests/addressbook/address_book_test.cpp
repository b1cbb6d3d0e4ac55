#include "addressbook/address_book.h"

#include "profile/file_util.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>

namespace tavik {
namespace {

using test::fileBytes;
using test::TempDir;
using test::writeBytes;

const std::string kMainHeaderLine = "Name,e-m@il,Organization,e-m@il at work,Phone,Address,City,Comments,Photo\r\n";
const std::string kListHeaderLine = "Name,e-m@il,Organization,e-m@il at work,Phone,Address,City,Comments\r\n";
const std::string kSevenEmpty = ",\"\",\"\",\"\",\"\",\"\",\"\",\"\"";

// A profile directory with its "address/" directory.
struct Profile {
    TempDir dir;
    Profile() { makePrivateDirectories(address()); }
    std::string address() const { return dir.path() + "address/"; }
    std::string book() const { return address() + "address.csv"; }
    std::string items() const { return address() + "listitems.ini"; }
    std::string values() const { return address() + "listvalues.ini"; }
    void writeCatalog(const std::string& names, const std::string& files) const
    {
        writeBytes(items(), names);
        writeBytes(values(), files);
    }
};

AddressRow row(std::string name, std::string email, std::string workEmail = {})
{
    AddressRow r;
    r[kColumnName] = std::move(name);
    r[kColumnEmail] = std::move(email);
    r[kColumnWorkEmail] = std::move(workEmail);
    return r;
}

void splitsTo(const std::string& text, const std::string& name, const std::string& address)
{
    std::string n = "junk", a = "junk";
    splitSender(text, n, a);
    EXPECT_EQ(n, name) << text;
    EXPECT_EQ(a, address) << text;
}

// --- Splitting a sender ----------------------------------------------------------------------

TEST(SenderSplit, NameAndAddressOfTheUsualForms)
{
    splitsTo("John Doe <john@x.org>", "John Doe", "john@x.org");
    splitsTo("\"John Doe\" <john@x.org>", "John Doe", "john@x.org");
    splitsTo("\"Doe, John\" <john@x.org>", "Doe, John", "john@x.org");
    splitsTo("  Ann   <ann@x.org>  ", "Ann", "ann@x.org");
    // Without a closing bracket the address runs to the end.
    splitsTo("Ann <ann@x.org", "Ann", "ann@x.org");
    // No display name: nothing to add.
    splitsTo("<ann@x.org>", "", "ann@x.org");
    splitsTo("ann@x.org", "", "ann@x.org");
    splitsTo("Ann<ann@x.org>", "", "ann@x.org");
}

TEST(SenderSplit, QuotesInsideANameAreKeptAndAQuotedNameMayHoldTheSeparator)
{
    splitsTo("Jim \"The Hammer\" Jones <j@x.org>", "Jim \"The Hammer\" Jones", "j@x.org");
    splitsTo("\"Jim \\\"Hammer\\\" Jones\" <j@x.org>", "Jim \"Hammer\" Jones", "j@x.org");
    splitsTo("\"a <b>\" <c@x.org>", "a <b>", "c@x.org");
    splitsTo("\"Ann <ann@x.org>", "\"Ann", "ann@x.org");
}

// --- Adding senders to the main book ---------------------------------------------------------

TEST(AddSender, AFirstSenderStartsTheBookWithItsHeaderLine)
{
    TempDir dir; // no "address/" yet
    EXPECT_FALSE(IsKnownSender(dir.path(), "John Doe <john@x.org>"));
    EXPECT_TRUE(AddSender(dir.path(), "\"John Doe\" <john@x.org>"));
    const std::string book = dir.path() + "address/address.csv";
    EXPECT_EQ(fileBytes(book), kMainHeaderLine + "John Doe,john@x.org" + kSevenEmpty + "\r\n");
    struct stat st;
    ASSERT_EQ(::stat(book.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(IsKnownSender(dir.path(), "John Doe <john@x.org>"));
}

TEST(AddSender, AQuotedNameWithACommaIsWrittenQuotedAndRecognisedNextTime)
{
    Profile p;
    EXPECT_TRUE(AddSender(p.dir.path(), "\"Doe, John\" <john@x.org>"));
    EXPECT_TRUE(AddSender(p.dir.path(), "\"Jim \\\"Hammer\\\" Jones\" <jim@x.org>"));
    const std::string expected = kMainHeaderLine + "\"Doe, John\",john@x.org" + kSevenEmpty + "\r\n" +
                                 "\"Jim \"\"Hammer\"\" Jones\",jim@x.org" + kSevenEmpty + "\r\n";
    EXPECT_EQ(fileBytes(p.book()), expected);
    // The check-mail workflow adds every sender of every check: the book must not grow.
    for (int check = 0; check < 3; ++check) {
        EXPECT_FALSE(AddSender(p.dir.path(), "\"Doe, John\" <john@x.org>"));
        EXPECT_FALSE(AddSender(p.dir.path(), "\"Jim \\\"Hammer\\\" Jones\" <jim@x.org>"));
    }
    EXPECT_EQ(fileBytes(p.book()), expected);
}

TEST(AddSender, DuplicatesAreJudgedByTheNameAndAddressFieldsOfARow)
{
    Profile p;
    writeBytes(p.book(), kMainHeaderLine +
                             "Joe Smith,\"joe@x.org, joe@home.org\",\"\",joe@work.org,\"\",\"\",\"\",\"\",\"\"\r\n" +
                             "Ann,ann@x.org,\"\",\"\",\"\",\"\",\"\",Friend of Bob Brown bob@x.org,\"\"\r\n");
    const std::string before = fileBytes(p.book());
    // Same name, an address of the e-mail or work column (letter case of addresses aside).
    EXPECT_TRUE(IsKnownSender(p.dir.path(), "Joe Smith <joe@x.org>"));
    EXPECT_TRUE(IsKnownSender(p.dir.path(), "Joe Smith <joe@home.org>"));
    EXPECT_TRUE(IsKnownSender(p.dir.path(), "Joe Smith <joe@work.org>"));
    EXPECT_TRUE(IsKnownSender(p.dir.path(), "\"Joe Smith\" <JOE@X.ORG>"));
    EXPECT_FALSE(AddSender(p.dir.path(), "Joe Smith <joe@home.org>"));
    EXPECT_EQ(fileBytes(p.book()), before);
    // Parts of fields, other columns and the header row do not count.
    EXPECT_FALSE(IsKnownSender(p.dir.path(), "Joe <joe@x.org>"));
    EXPECT_FALSE(IsKnownSender(p.dir.path(), "Joe Smith <oe@x.org>"));
    EXPECT_FALSE(IsKnownSender(p.dir.path(), "Bob Brown <bob@x.org>"));
    EXPECT_FALSE(IsKnownSender(p.dir.path(), "Name <e-m@il>"));
    // The same address under another name is added again.
    EXPECT_TRUE(AddSender(p.dir.path(), "Joseph Smith <joe@x.org>"));
    EXPECT_EQ(fileBytes(p.book()), before + "Joseph Smith,joe@x.org" + kSevenEmpty + "\r\n");
}

TEST(AddSender, ANameTheEightBitProgramWroteIsTheSameSenderAndNewNamesGoInAsUtf8)
{
    Profile p;
    writeBytes(p.book(), kMainHeaderLine + "Andr\xe9 Gr\xfcn,andre@x.org" + kSevenEmpty + "\r\n");
    const std::string before = fileBytes(p.book());
    EXPECT_FALSE(AddSender(p.dir.path(), "Andr\xc3\xa9 Gr\xc3\xbcn <andre@x.org>"));
    EXPECT_EQ(fileBytes(p.book()), before);
    EXPECT_TRUE(AddSender(p.dir.path(), "\xce\x9d\xce\xaf\xce\xba\xce\xbf\xcf\x82 \xe6\x9d\x8e <nikos@x.org>"));
    EXPECT_EQ(fileBytes(p.book()), before + "\xce\x9d\xce\xaf\xce\xba\xce\xbf\xcf\x82 \xe6\x9d\x8e,nikos@x.org" + kSevenEmpty + "\r\n");
    const std::string withNikos = fileBytes(p.book());
    EXPECT_TRUE(AddSender(p.dir.path(), "Zo\xeb <zoe@x.org>")); // from an old index record
    EXPECT_EQ(fileBytes(p.book()), withNikos + "Zo\xc3\xab,zoe@x.org" + kSevenEmpty + "\r\n");
}

TEST(AddSender, ASenderWithoutNameOrAddressAddsNothing)
{
    TempDir dir;
    for (const char* sender : {"john@x.org", "<john@x.org>", "John <>", "\"\" <john@x.org>", ""})
        EXPECT_FALSE(AddSender(dir.path(), sender)) << sender;
    EXPECT_FALSE(fileExists(dir.path() + "address/address.csv"));
}

TEST(AddSender, ABookWrittenWithLfLinesAndBareFieldsIsReadAndRewrittenWithCrLf)
{
    Profile p;
    writeBytes(p.book(), "Name,e-m@il,Organization,e-m@il at work,Phone,Address,City,Comments,Photo\n"
                         "Ann,ann@x.org,\"\",\"\",\"\",\"Main St 1\nSpringfield\",\"\",\"\",/home/a/ann.jpg\n");
    EXPECT_TRUE(IsKnownSender(p.dir.path(), "Ann <ann@x.org>"));
    EXPECT_TRUE(AddSender(p.dir.path(), "Bob <bob@x.org>"));
    EXPECT_EQ(fileBytes(p.book()), kMainHeaderLine +
                                       "Ann,ann@x.org,\"\",\"\",\"\",\"Main St 1\nSpringfield\",\"\",\"\",/home/a/ann.jpg\r\n" +
                                       "Bob,bob@x.org" + kSevenEmpty + "\r\n");
}

TEST(AddSender, ABookEndingInAnOpenQuoteGetsTheSenderAsARowOfItsOwn)
{
    Profile p;
    writeBytes(p.book(), kMainHeaderLine + "\"Broken,b@x.org\r\n");
    EXPECT_TRUE(AddSender(p.dir.path(), "Joe <joe@x.org>"));
    EXPECT_EQ(fileBytes(p.book()), kMainHeaderLine + "\"Broken,b@x.org\n\"\r\nJoe,joe@x.org" + kSevenEmpty + "\r\n");
    EXPECT_FALSE(AddSender(p.dir.path(), "Joe <joe@x.org>"));
}

TEST(AddSender, ABookBeyondTheLimitsIsAFileErrorAndStaysAsItWas)
{
    Profile p;
    const std::string hostile = kMainHeaderLine + "Ann," + std::string(100000, 'a') + "\r\n";
    writeBytes(p.book(), hostile);
    try {
        IsKnownSender(p.dir.path(), "Ann <a@x.org>");
        FAIL() << "an overlong line was accepted";
    } catch (const FileError& e) {
        EXPECT_EQ(e.path, p.book());
    }
    EXPECT_THROW(AddSender(p.dir.path(), "Ann <a@x.org>"), FileError);
    EXPECT_EQ(fileBytes(p.book()), hostile);
}

// Random bytes as the book: the reader accepts them or raises FileError, nothing else.
TEST(AddSender, HostileBookBytesNeverCrash)
{
    Profile p;
    std::mt19937 random(7u);
    const std::string steering = "\",\r\n<> a@";
    std::size_t added = 0;
    for (int round = 0; round < 300; ++round) {
        std::string bytes;
        std::size_t length = random() % 400;
        for (std::size_t i = 0; i < length; ++i)
            bytes += random() % 3 ? steering[random() % steering.size()] : static_cast<char>(random() % 256);
        writeBytes(p.book(), bytes);
        try {
            added += AddSender(p.dir.path(), "Zed <zed@x.org>");
            // Whatever the book held, the sender is known afterwards, so no check adds it twice.
            EXPECT_TRUE(IsKnownSender(p.dir.path(), "Zed <zed@x.org>")) << "round " << round;
        } catch (const FileError&) {
        }
    }
    EXPECT_GT(added, 100u);
}

// --- Send list -------------------------------------------------------------------------------

TEST(SendList, OneEntryPerAddressOfTheEmailThenTheWorkColumn)
{
    EXPECT_EQ(sendListEntries(kSendListTo, row("Ann Lee", "ann@x.org,lee@y.org", "ann@work.org")),
              (std::vector<std::string>{"To: Ann Lee <ann@x.org>", "To: Ann Lee <lee@y.org>", "To: Ann Lee <ann@work.org>"}));
    EXPECT_EQ(sendListEntries(kSendListCc, row("Bob", "", "bob@work.org")), (std::vector<std::string>{"cc: Bob <bob@work.org>"}));
    // Blanks after the separators and empty pieces give no broken entries.
    EXPECT_EQ(sendListEntries(kSendListBcc, row("C", " c@x.org , ,d@x.org,")),
              (std::vector<std::string>{"Bcc: C <c@x.org>", "Bcc: C <d@x.org>"}));
    EXPECT_TRUE(sendListEntries(kSendListTo, row("Nobody", "", "")).empty());
}

// --- List file names -------------------------------------------------------------------------

TEST(ListFileNames, LowerCaseWithCsvAppendedUnlessTyped)
{
    EXPECT_EQ(listFileNameFor("Friends"), "friends.csv");
    EXPECT_EQ(listFileNameFor("FRIENDS.CSV"), "friends.csv");
    EXPECT_EQ(listFileNameFor("club.csv.old"), "club.csv.old");
    EXPECT_EQ(listFileNameFor("work.txt"), "work.txt.csv");
    EXPECT_EQ(listFileNameFor("\xc4rger"), "\xc4rger.csv"); // 8-bit letters are left alone
}

TEST(ListFileNames, OnlyNamesInsideTheAddressDirectoryAreSafe)
{
    for (const char* good : {"friends.csv", "address.csv", ".hidden.csv", "a b.csv"})
        EXPECT_TRUE(isSafeListFileName(good)) << good;
    for (const char* bad : {"", ".", "..", "../x.csv", "../../x", "/etc/passwd", "sub/x.csv", "a..b", "tab\t.csv"})
        EXPECT_FALSE(isSafeListFileName(bad)) << bad;
    EXPECT_FALSE(isSafeListFileName(std::string("x") + '\0' + "/../../y"));
    EXPECT_FALSE(isSafeListFileName(std::string(256, 'a')));
    EXPECT_TRUE(isSafeListFileName(std::string(255, 'a')));
}

// --- The list of lists -----------------------------------------------------------------------

TEST(ListCatalog, CreatedWithTheMainBookWhenEitherFileIsMissing)
{
    TempDir dir;
    ListCatalog fresh = readListCatalog(dir.path());
    EXPECT_EQ(fresh.names, std::vector<std::string>{"Address Book"});
    EXPECT_EQ(fresh.files, std::vector<std::string>{"address.csv"});
    EXPECT_EQ(fileBytes(dir.path() + "address/listitems.ini"), "Address Book\r\n");
    EXPECT_EQ(fileBytes(dir.path() + "address/listvalues.ini"), "address.csv\r\n");

    Profile p;
    writeBytes(p.values(), "address.csv\r\nfriends.csv\r\n");
    ListCatalog recreated = readListCatalog(p.dir.path());
    EXPECT_EQ(recreated.files, std::vector<std::string>{"address.csv"});
    EXPECT_EQ(fileBytes(p.items()), "Address Book\r\n");
    EXPECT_EQ(fileBytes(p.values()), "address.csv\r\n");
}

TEST(ListCatalog, LinesArePairedInStepAndTheMainBookStaysFirst)
{
    Profile p;
    // LF lines, no last line end, and one line more in the names (a crash between the writes).
    p.writeCatalog("Address Book\nFriends\r\nClub\nStale", "address.csv\nfriends.csv\r\nclub.csv");
    ListCatalog c = readListCatalog(p.dir.path());
    EXPECT_EQ(c.names, (std::vector<std::string>{"Address Book", "Friends", "Club"}));
    EXPECT_EQ(c.files, (std::vector<std::string>{"address.csv", "friends.csv", "club.csv"}));
    writeListCatalog(p.dir.path(), c);
    EXPECT_EQ(fileBytes(p.items()), "Address Book\r\nFriends\r\nClub\r\n");
    EXPECT_EQ(fileBytes(p.values()), "address.csv\r\nfriends.csv\r\nclub.csv\r\n");

    p.writeCatalog("Friends\r\n", "friends.csv\r\n");
    c = readListCatalog(p.dir.path());
    EXPECT_EQ(c.names, (std::vector<std::string>{"Address Book", "Friends"}));
    EXPECT_EQ(c.files, (std::vector<std::string>{"address.csv", "friends.csv"}));

    // An empty middle line is an entry of its own, so the lines after it keep their partners.
    p.writeCatalog("Address Book\r\n\r\nClub\r\n", "address.csv\r\nx.csv\r\nclub.csv\r\n");
    c = readListCatalog(p.dir.path());
    EXPECT_EQ(c.names, (std::vector<std::string>{"Address Book", "", "Club"}));
    EXPECT_EQ(c.files[2], "club.csv");
}

TEST(ListCatalog, OverlongOrTooManyLinesAreAFileErrorNamingTheFile)
{
    Profile p;
    p.writeCatalog("Address Book\r\n" + std::string(2000, 'n') + "\r\n", "address.csv\r\nx.csv\r\n");
    try {
        readListCatalog(p.dir.path());
        FAIL() << "an overlong line was accepted";
    } catch (const FileError& e) {
        EXPECT_EQ(e.path, p.items());
    }
    std::string many;
    for (int i = 0; i < 5000; ++i)
        many += "l\r\n";
    p.writeCatalog("Address Book\r\n", many);
    EXPECT_THROW(readListCatalog(p.dir.path()), FileError);
}

TEST(ListCatalog, AFileNameLeavingTheAddressDirectoryIsRefused)
{
    Profile p;
    EXPECT_EQ(listFilePath(p.dir.path(), "friends.csv"), p.address() + "friends.csv");
    for (const char* hostile : {"../../x", "/etc/passwd", "..", "sub/x.csv", ""}) {
        try {
            listFilePath(p.dir.path(), hostile);
            FAIL() << hostile;
        } catch (const FileError& e) {
            EXPECT_EQ(e.path, p.values());
        }
    }
}

// --- The address book window's model ---------------------------------------------------------

TEST(AddressBookModel, OpeningAFreshProfileShowsTheMainBookAndClosingWritesIt)
{
    TempDir dir;
    AddressBookModel m(dir.path());
    m.open();
    EXPECT_EQ(m.currentList(), 0);
    EXPECT_EQ(m.currentListPath(), dir.path() + "address/address.csv");
    ASSERT_EQ(m.grid.size(), 1u);
    EXPECT_EQ(m.grid[0][8], "Photo");
    m.grid.push_back(row("Ann", "ann@x.org"));
    m.grid[1][kColumnPhoto] = "/home/ann/ann.jpg";
    m.grid.push_back(AddressRow{}); // an empty editing row is not written
    m.close();
    EXPECT_EQ(fileBytes(dir.path() + "address/address.csv"),
              kMainHeaderLine + "Ann,ann@x.org,\"\",\"\",\"\",\"\",\"\",\"\",/home/ann/ann.jpg\r\n");
    EXPECT_EQ(fileBytes(dir.path() + "address/listitems.ini"), "Address Book\r\n");
}

TEST(AddressBookModel, SavingTheGridUsesTheFieldSyntaxAndKeepsAListsHeader)
{
    Profile p;
    p.writeCatalog("Address Book\r\nFriends\r\n", "address.csv\r\nfriends.csv\r\n");
    writeBytes(p.address() + "friends.csv", kListHeaderLine + "Ann,ann@x.org\r\n");
    AddressBookModel m(p.dir.path());
    m.open();
    m.showList(1);
    ASSERT_EQ(m.grid.size(), 2u);
    EXPECT_EQ(m.grid[1][kColumnEmail], "ann@x.org");
    m.grid[1][kColumnName] = "Lee, \"Ann\"";
    m.grid[1][5] = "Main St 1\r\nSpringfield";
    m.saveGrid();
    EXPECT_EQ(fileBytes(p.address() + "friends.csv"),
              kListHeaderLine + "\"Lee, \"\"Ann\"\"\",ann@x.org,\"\",\"\",\"\",\"Main St 1\nSpringfield\",\"\",\"\",\"\"\r\n");
}

TEST(AddressBookModel, SwitchingListsSavesTheShownOneFirstAndAnUnreadableListIsNotShown)
{
    Profile p;
    p.writeCatalog("Address Book\r\nFriends\r\nBroken\r\n", "address.csv\r\nfriends.csv\r\nbroken.csv\r\n");
    const std::string broken = kListHeaderLine + std::string(70000, 'x') + "\r\n";
    writeBytes(p.address() + "broken.csv", broken);
    AddressBookModel m(p.dir.path());
    m.open();
    m.grid.push_back(row("Ann", "ann@x.org"));
    m.showList(1); // friends.csv does not exist yet: the header row alone
    EXPECT_EQ(m.currentList(), 1);
    ASSERT_EQ(m.grid.size(), 1u);
    EXPECT_EQ(fileBytes(p.book()), kMainHeaderLine + "Ann,ann@x.org" + kSevenEmpty + "\r\n");
    m.grid.push_back(row("Bob", "bob@x.org"));
    EXPECT_THROW(m.showList(2), FileError);
    EXPECT_EQ(m.currentList(), 1);
    ASSERT_EQ(m.grid.size(), 2u);
    m.close();
    EXPECT_EQ(fileBytes(p.address() + "broken.csv"), broken);
    EXPECT_EQ(fileBytes(p.address() + "friends.csv"), kMainHeaderLine + "Bob,bob@x.org" + kSevenEmpty + "\r\n");
}

TEST(AddressBookModel, AnUnreadableMainBookIsNeverOverwritten)
{
    Profile p;
    const std::string broken = std::string(200, ',') + "\r\n";
    writeBytes(p.book(), broken);
    AddressBookModel m(p.dir.path());
    EXPECT_THROW(m.open(), FileError);
    EXPECT_EQ(m.currentList(), -1);
    m.close();
    EXPECT_EQ(fileBytes(p.book()), broken);
    EXPECT_EQ(fileBytes(p.items()), "Address Book\r\n");
}

TEST(AddressBookModel, AHostileListEntryIsRefusedAndNothingIsWrittenOutsideTheProfile)
{
    Profile p;
    p.writeCatalog("Address Book\r\nEvil\r\n", "address.csv\r\n../../x\r\n");
    AddressBookModel m(p.dir.path());
    m.open();
    m.grid.push_back(row("Ann", "ann@x.org"));
    EXPECT_THROW(m.showList(1), FileError);
    EXPECT_EQ(m.currentList(), 0);
    EXPECT_THROW(m.copyToList(1, 1), FileError);
    EXPECT_FALSE(fileExists(p.dir.path() + "../x"));
    // The entry stays, in step, so it can still be deleted.
    m.close();
    EXPECT_EQ(fileBytes(p.values()), "address.csv\r\n../../x\r\n");
}

TEST(AddressBookModel, RowsAreInsertedAndDeletedWithTheHeaderKept)
{
    Profile p;
    AddressBookModel m(p.dir.path());
    m.open();
    m.insertRow(0); // never before the header
    m.grid[1] = row("Ann", "ann@x.org");
    m.insertRow(99);
    m.grid[2] = row("Bob", "bob@x.org");
    EXPECT_EQ(m.grid[0][0], "Name");
    EXPECT_FALSE(m.deleteRow(0));
    EXPECT_FALSE(m.deleteRow(3));
    EXPECT_TRUE(m.deleteRow(1));
    // Deleting writes at once.
    EXPECT_EQ(fileBytes(p.book()), kMainHeaderLine + "Bob,bob@x.org" + kSevenEmpty + "\r\n");
}

TEST(AddressBookModel, SendListFromTheSelectedRowOrFromEveryRow)
{
    Profile p;
    AddressBookModel m(p.dir.path());
    m.open();
    m.grid.push_back(row("Ann", "ann@x.org,ann@y.org"));
    m.grid.push_back(row("Bob", "", "bob@work.org"));
    EXPECT_EQ(m.addToSendList(kSendListTo, 1), 1);
    EXPECT_EQ(m.addToSendList(kSendListCc, 0), -1); // the header row gives nothing
    m.copyAllEntries = true;
    EXPECT_EQ(m.addToSendList(kSendListBcc, 0), 4);
    EXPECT_EQ(m.sendList, (std::vector<std::string>{"To: Ann <ann@x.org>", "To: Ann <ann@y.org>", "Bcc: Ann <ann@x.org>",
                                                    "Bcc: Ann <ann@y.org>", "Bcc: Bob <bob@work.org>"}));
}

TEST(AddressBookModel, CopyToSelectedListAppendsQuotedRows)
{
    Profile p;
    p.writeCatalog("Address Book\r\nFriends\r\nClub\r\n", "address.csv\r\nfriends.csv\r\nclub.csv\r\n");
    writeBytes(p.address() + "friends.csv", kListHeaderLine + "Old,old@x.org\n");
    AddressBookModel m(p.dir.path());
    m.open();
    m.grid.push_back(row("Lee, Ann", "ann@x.org"));
    m.grid.push_back(row("Bob", "bob@x.org"));
    EXPECT_EQ(m.copyToList(1, 1), 1u);
    EXPECT_EQ(fileBytes(p.address() + "friends.csv"),
              kListHeaderLine + "Old,old@x.org\r\n\"Lee, Ann\",ann@x.org" + kSevenEmpty + "\r\n");
    // A list whose file is missing is started with the list header, so no person becomes a header.
    m.copyAllEntries = true;
    EXPECT_EQ(m.copyToList(2, 0), 2u);
    EXPECT_EQ(fileBytes(p.address() + "club.csv"), kListHeaderLine + "\"Lee, Ann\",ann@x.org" + kSevenEmpty + "\r\n" +
                                                       "Bob,bob@x.org" + kSevenEmpty + "\r\n");
    EXPECT_EQ(readAddressRows(p.address() + "club.csv")[1][kColumnName], "Lee, Ann");
}

TEST(AddressBookModel, CopyToTheShownListIsNotLostWhenTheGridIsSaved)
{
    Profile p;
    AddressBookModel m(p.dir.path());
    m.open();
    m.grid.push_back(row("Ann", "ann@x.org"));
    EXPECT_EQ(m.copyToList(0, 1), 1u);
    EXPECT_EQ(m.grid.size(), 3u);
    m.close();
    const std::string line = "Ann,ann@x.org" + kSevenEmpty + "\r\n";
    EXPECT_EQ(fileBytes(p.book()), kMainHeaderLine + line + line);
}

TEST(AddressBookModel, AddingAListCreatesItsFileAndKeepsTheListFilesInStep)
{
    Profile p;
    AddressBookModel m(p.dir.path());
    m.open();
    m.grid.push_back(row("Ann", "ann@x.org"));
    EXPECT_EQ(m.addList("My Friends", "Friends").kind, UserNotice::Kind::None);
    EXPECT_EQ(m.addList("Club", " CLUB.CSV ").kind, UserNotice::Kind::None);
    EXPECT_EQ(fileBytes(p.address() + "friends.csv"), kListHeaderLine);
    EXPECT_EQ(fileBytes(p.address() + "club.csv"), kListHeaderLine);
    EXPECT_EQ(fileBytes(p.items()), "Address Book\r\nMy Friends\r\nClub\r\n");
    EXPECT_EQ(fileBytes(p.values()), "address.csv\r\nfriends.csv\r\nclub.csv\r\n");
    // The grid is written too.
    EXPECT_EQ(fileBytes(p.book()), kMainHeaderLine + "Ann,ann@x.org" + kSevenEmpty + "\r\n");
    EXPECT_EQ(m.lists().files.size(), 3u);
    EXPECT_EQ(m.currentList(), 0);
}

TEST(AddressBookModel, AddingAListRefusesFileNamesThatAreEmptyUnsafeOrTaken)
{
    Profile p;
    writeBytes(p.book(), kMainHeaderLine + "Ann,ann@x.org" + kSevenEmpty + "\r\n");
    writeBytes(p.address() + "orphan.csv", "kept\r\n");
    AddressBookModel m(p.dir.path());
    m.open();
    ASSERT_EQ(m.addList("Friends", "friends").kind, UserNotice::Kind::None);
    const std::string book = fileBytes(p.book());
    const std::string items = fileBytes(p.items());
    struct Case {
        const char* name;
        const char* file;
        const char* text;
    };
    const Case cases[] = {
        {"List", "", "Please enter the file name of the mailing list."},
        {"List", "   ", "Please enter the file name of the mailing list."},
        {"", "list", "Please enter the name of the new mailing list."},
        {"List", "../evil", "The file name of a mailing list cannot contain \"/\" or \"..\"."},
        {"List", "sub/list", "The file name of a mailing list cannot contain \"/\" or \"..\"."},
        {"List", "..", "The file name of a mailing list cannot contain \"/\" or \"..\"."},
        {"List", "tab\tname", "This file name cannot be used for a mailing list."},
        {"Two\r\nLines", "two", "This name cannot be used for a mailing list."},
        {"Main", "Address", "A mailing list file named address.csv already exists."},
        {"Again", "FRIENDS.csv", "A mailing list file named friends.csv already exists."},
        {"Orphan", "orphan", "A mailing list file named orphan.csv already exists."},
    };
    for (const Case& c : cases) {
        UserNotice n = m.addList(c.name, c.file);
        EXPECT_EQ(n.kind, UserNotice::Kind::Information) << c.file;
        EXPECT_EQ(n.text, c.text) << c.file;
    }
    EXPECT_EQ(fileBytes(p.book()), book);
    EXPECT_EQ(fileBytes(p.items()), items);
    EXPECT_EQ(fileBytes(p.address() + "orphan.csv"), "kept\r\n");
    EXPECT_FALSE(fileExists(p.dir.path() + "evil.csv"));
    EXPECT_EQ(m.lists().files.size(), 2u);
}

TEST(AddressBookModel, TheMainBookCannotBeDeletedAndADeletedListKeepsItsFile)
{
    Profile p;
    p.writeCatalog("Address Book\r\nFriends\r\nClub\r\n", "address.csv\r\nfriends.csv\r\nclub.csv\r\n");
    writeBytes(p.book(), kMainHeaderLine + "Ann,ann@x.org" + kSevenEmpty + "\r\n");
    AddressBookModel m(p.dir.path());
    m.open();
    UserNotice first = m.askDeleteList(0);
    EXPECT_EQ(first.kind, UserNotice::Kind::Warning);
    EXPECT_EQ(first.text, "You cannot delete the main address book.");
    EXPECT_FALSE(m.deleteList(0));
    UserNotice friends = m.askDeleteList(1);
    EXPECT_EQ(friends.kind, UserNotice::Kind::Question);
    EXPECT_EQ(friends.text, "Are you sure you want to delete the list Friends ?");

    // Deleting the shown list saves its grid to its file and shows the main book.
    m.showList(1);
    m.grid.push_back(row("Bob", "bob@x.org"));
    EXPECT_TRUE(m.deleteList(1));
    EXPECT_EQ(fileBytes(p.items()), "Address Book\r\nClub\r\n");
    EXPECT_EQ(fileBytes(p.values()), "address.csv\r\nclub.csv\r\n");
    EXPECT_EQ(fileBytes(p.address() + "friends.csv"), kMainHeaderLine + "Bob,bob@x.org" + kSevenEmpty + "\r\n");
    EXPECT_EQ(m.currentList(), 0);
    ASSERT_EQ(m.grid.size(), 2u);
    EXPECT_EQ(m.grid[1][kColumnName], "Ann");

    // Deleting a list before the shown one keeps the shown one.
    ASSERT_EQ(m.addList("Extra", "extra").kind, UserNotice::Kind::None);
    m.showList(2);
    EXPECT_TRUE(m.deleteList(1));
    EXPECT_EQ(m.currentList(), 1);
    EXPECT_EQ(m.currentListPath(), p.address() + "extra.csv");
    EXPECT_EQ(m.lists().names, (std::vector<std::string>{"Address Book", "Extra"}));
    EXPECT_EQ(m.askDeleteList(5).kind, UserNotice::Kind::None);
    EXPECT_FALSE(m.deleteList(5));
}

} // namespace
} // namespace tavik
