#include "addressbook/address_completion.h"

#include "profile/file_util.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace tavik {
namespace {

using test::fileBytes;
using test::TempDir;
using test::writeBytes;

std::vector<std::string> shown(const AddressCompletion& c, std::string_view typed)
{
    std::vector<std::string> out;
    for (const AddressProposal& p : c.proposals(typed))
        out.push_back(p.shown);
    return out;
}

// A profile with a book, a list and recent addresses, all written out by hand.
struct Profile {
    TempDir dir;
    Profile()
    {
        const std::string address = dir.path() + "address/";
        makePrivateDirectories(address);
        writeBytes(address + "address.csv",
                   "Name,e-m@il,Organization,e-m@il at work,Phone,Address,City,Comments,Photo\r\n"
                   "Ann Smith,ann@example.org,\"\",ann@work.example,\"\",\"\",\"\",\"\",\"\"\r\n"
                   "Zo\xC3\xAB M\xC3\xBCller,zoe@m\xC3\xBCller.de,,,,,,,\r\n"
                   ",nobody@example.org,,,,,,,\r\n");
        writeBytes(address + "listitems.ini", "Address Book\r\nSmith Family\r\n");
        writeBytes(address + "listvalues.ini", "address.csv\r\nsmiths.csv\r\n");
        writeBytes(address + "smiths.csv", "Name,e-m@il,Organization,e-m@il at work,Phone,Address,City,Comments\r\n"
                                           "Bob Smith,bob@smith.org,,,,,,\r\n"
                                           "Ann Smith,ann@example.org,,,,,,\r\n");
        writeBytes(dir.path() + kRecentAddressesFile, "ann@example.org\r\nCarl <carl@smithy.net>\r\n");
    }
};

TEST(AddressesAsYouType, MatchWordStartsOfNameAndAddressCaseAndAccentsAside)
{
    Profile p;
    const AddressCompletion c = loadAddressCompletion(p.dir.path());
    const std::vector<std::string> ann{"Ann Smith <ann@example.org>", "Ann Smith <ann@work.example>"};
    EXPECT_EQ(shown(c, "ann"), ann);
    EXPECT_EQ(shown(c, "ANN SM"), ann);
    EXPECT_EQ(shown(c, "exam"), (std::vector<std::string>{"Ann Smith <ann@example.org>", "Ann Smith <ann@work.example>",
                                                          "nobody@example.org"}));
    EXPECT_EQ(shown(c, "zoe mu"), std::vector<std::string>{"Zo\xC3\xAB M\xC3\xBCller <zoe@m\xC3\xBCller.de>"});
    EXPECT_EQ(shown(c, "muller.d"), std::vector<std::string>{"Zo\xC3\xAB M\xC3\xBCller <zoe@m\xC3\xBCller.de>"});
    // Inside a word is no start of one.
    EXPECT_TRUE(shown(c, "mith").empty());
    EXPECT_TRUE(shown(c, "  ").empty());
}

TEST(AddressesAsYouType, BookComesFirstThenListsThenRecentEachAddressOnce)
{
    Profile p;
    const AddressCompletion c = loadAddressCompletion(p.dir.path());
    // The recent "ann@example.org" is the book's already; the list is proposed by its name.
    EXPECT_EQ(shown(c, "smith"), (std::vector<std::string>{"Ann Smith <ann@example.org>", "Ann Smith <ann@work.example>",
                                                           "Smith Family (list of 2 addresses)",
                                                           "Carl <carl@smithy.net>"}));
    const std::vector<AddressProposal> family = c.proposals("fam");
    ASSERT_EQ(family.size(), 1u);
    EXPECT_EQ(family[0].lines, (std::vector<std::string>{"Bob Smith <bob@smith.org>", "Ann Smith <ann@example.org>"}));
    EXPECT_EQ(c.proposals("smith", 2).size(), 2u);
}

TEST(AddressesAsYouType, TypingWritesNothingIntoTheProfile)
{
    TempDir dir;
    EXPECT_EQ(loadAddressCompletion(dir.path()).size(), 0u);
    EXPECT_FALSE(fileExists(dir.path() + "address/listitems.ini"));
}

TEST(RecentAddresses, NewestFirstOnceEachCappedInCrLfLines)
{
    TempDir dir;
    recordRecentAddresses(dir.path(), {"Ann <ann@example.org>", "  bob@x.org ", ""});
    EXPECT_EQ(fileBytes(dir.path() + kRecentAddressesFile), "Ann <ann@example.org>\r\nbob@x.org\r\n");
    recordRecentAddresses(dir.path(), {"ANN@example.org", "Zo\xC3\xAB <zoe@x.org>"});
    EXPECT_EQ(fileBytes(dir.path() + kRecentAddressesFile),
              "ANN@example.org\r\nZo\xC3\xAB <zoe@x.org>\r\nbob@x.org\r\n");

    std::vector<std::string> many;
    for (int i = 0; i < 60; ++i)
        many.push_back("a" + std::to_string(i) + "@x.org");
    recordRecentAddresses(dir.path(), many);
    const std::vector<std::string> kept = readRecentAddresses(dir.path());
    ASSERT_EQ(kept.size(), kMaxRecentAddresses);
    EXPECT_EQ(kept.front(), "a0@x.org");
    EXPECT_EQ(kept.back(), "a49@x.org");
}

TEST(RecentAddresses, AnOldLatin1FileReadsAsWindows1252)
{
    TempDir dir;
    writeBytes(dir.path() + kRecentAddressesFile, "Zo\xEB <zoe@x.org>\nbob@x.org");
    EXPECT_EQ(readRecentAddresses(dir.path()), (std::vector<std::string>{"Zo\xC3\xAB <zoe@x.org>", "bob@x.org"}));
}

} // namespace
} // namespace tavik
