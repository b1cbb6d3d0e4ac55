// Searching every mailbox's stored texts: headers and body, case and accents aside, one mailbox
// or all, and a mailbox that cannot be read.
#include <gtest/gtest.h>

#include <filesystem>

#include "store/mail_search.h"
#include "store/mailbox_store.h"
#include "support/test_support.h"

using namespace tavik;
using tavik::test::TempDir;

namespace {

struct Found {
    int mailbox, message;
    std::string subject;
    bool operator==(const Found&) const = default;
};

} // namespace

TEST(MailSearch, FindsHeadersAndBodiesInEveryMailboxOrTheOnesAsked)
{
    TempDir dir;
    const std::vector<std::string> boxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash", "m5=Work"};
    {
        TNMailBox store;
        store.MailBoxes = boxes;
        store.SetMailBoxDirectory(dir.path() + "mailboxe/");
        auto add = [&](int box, const std::string& subject, std::vector<std::string> text) {
            store.SetCurrentMailBoxNumber(box);
            store.Msg_From = "Ann <ann@x>";
            store.Msg_To = "me@here";
            store.Msg_Subject = subject;
            store.Msg_Date = "Wed, 9 Dec 2026 10:00:00";
            store.Msg_Flag = 'U';
            store.Msg_Text = std::move(text);
            store.AppendMessage();
        };
        add(1, "Hello", {"From: Ann <ann@x>", "Subject: Hello", "", "Please find my R\xC3\xA9sum\xC3\xA9."});
        add(1, "Other", {"Subject: Other", "", "nothing here"});
        add(2, "Re: CV", {"Subject: Re: CV", "X-Note: resume", "", "Thanks"}); // in a header line only
        add(6, "Old", {"Subject: Old", "", "r\xE9sum\xE9 in 8 bits"});
    }
    auto search = [&](const std::string& text, std::vector<int> numbers) {
        std::vector<Found> found;
        MailSearchOutcome outcome = searchMailboxes(dir.path() + "mailboxe/", boxes, SearchText(text), numbers,
                                                    [&](const MailSearchHit& h) {
                                                        found.push_back({h.Mailbox, h.Message, h.Subject});
                                                    });
        EXPECT_EQ(outcome.Found, static_cast<int>(found.size()));
        EXPECT_TRUE(outcome.Failures.empty());
        return found;
    };
    EXPECT_EQ(search("RESUME", {}), (std::vector<Found>{{1, 1, "Hello"}, {2, 1, "Re: CV"}, {6, 1, "Old"}}));
    EXPECT_EQ(search("resume", {6, 1}), (std::vector<Found>{{6, 1, "Old"}, {1, 1, "Hello"}}));
    EXPECT_EQ(search("ANN@X", {1}).size(), 2u); // the index fields count too
    EXPECT_TRUE(search("missing", {}).empty());

    // A mailbox whose files are gone is named; the others are still searched.
    std::filesystem::remove(dir.path() + "mailboxe/m1.idx");
    int hits = 0;
    MailSearchOutcome outcome = searchMailboxes(dir.path() + "mailboxe/", boxes, SearchText("resume"), {},
                                                [&](const MailSearchHit&) { ++hits; });
    EXPECT_EQ(hits, 2);
    ASSERT_EQ(outcome.Failures.size(), 1u);
    EXPECT_EQ(outcome.Failures[0].rfind("Mailbox 2 (Sent) could not be searched: ", 0), 0u) << outcome.Failures[0];
    // A raised stop ends the search before the first mailbox.
    std::atomic<bool> stop{true};
    EXPECT_TRUE(searchMailboxes(dir.path() + "mailboxe/", boxes, SearchText("resume"), {}, nullptr, &stop).Stopped);
}
