// The mailbox list model against a real store in a temporary profile: items, order, unread
// count, the store's notices, viewer windows and the move and drop commands.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "store/mailbox_list_model.h"
#include "support/test_support.h"

using namespace tavik;
using tavik::test::fileBytes;
using tavik::test::TempDir;

namespace {

constexpr int kInbox = 1, kSent = 2, kToSend = 3, kDrafts = 4, kTrash = 5, kFolder = 6;

// A viewer window that records the notices it receives and, like the real one, marks an unread
// message viewed when it shows it.
struct FakeWindow : MessageViewerWindow {
    TNMailBox* store = nullptr;
    NMailboxViewer* list = nullptr;
    std::vector<ViewerWindowNotice> notices;
    int raised = 0;
    bool closed = false;

    void ReceiveNotice(const ViewerWindowNotice& n) override
    {
        notices.push_back(n);
        if (n.code == kNoticeListBound)
            list = n.list;
        if (n.code == kNoticeCloseWindow)
            closed = true;
        if (n.code == kNoticeShowMessage && store) {
            store->SetCurrentMailBoxNumber(n.mailbox);
            store->SetMsg_Number(n.message);
            if (store->Msg_Flag == 'U')
                store->SetMessageFlag('V');
        }
    }
    void BringToFront() override { ++raised; }
    std::vector<int> codes() const
    {
        std::vector<int> c;
        for (const auto& n : notices)
            c.push_back(n.code);
        return c;
    }
};

struct ListFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<TNMailBox> storeOwner = std::make_unique<TNMailBox>();
    TNMailBox& store = *storeOwner;
    std::vector<std::unique_ptr<FakeWindow>> windows;

    void SetUp() override
    {
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash", "m5=Friends"};
        store.SetMailBoxDirectory(dir.path() + "mailboxe/");
    }

    void append(int mailbox, const std::string& from, const std::string& subject, char flag = 'U',
                std::vector<std::string> text = {"From: someone", "", "body"}, int attachStart = 0,
                const std::string& date = "Wed, 9 Dec 2026 10:00:00")
    {
        store.SetCurrentMailBoxNumber(mailbox);
        store.Msg_From = from;
        store.Msg_To = "me@here";
        store.Msg_Subject = subject;
        store.Msg_Date = date;
        store.Msg_Flag = flag;
        store.Msg_AttachStart = attachStart;
        store.Msg_AttachEnd = attachStart;
        store.Msg_Text = std::move(text);
        store.AppendMessage();
    }

    // Messages 1..n in mailbox `mailbox`, subjects "s1".."sn".
    void fill(int mailbox, int n, char flag = 'V')
    {
        for (int i = 1; i <= n; ++i)
            append(mailbox, "a" + std::to_string(i) + "@x", "s" + std::to_string(i), flag);
    }

    void show(NMailboxViewer& list, int mailbox)
    {
        list.SetMailbox(&store);
        list.SetMailboxNumber(mailbox);
    }

    void giveWindows(NMailboxViewer& list)
    {
        list.ViewerWindowFactory = [this]() {
            windows.push_back(std::make_unique<FakeWindow>());
            windows.back()->store = &store;
            return windows.back().get();
        };
    }

    // Opens a viewer window on `message` and answers it.
    FakeWindow* openOn(NMailboxViewer& list, int message)
    {
        list.SetItemIndex(list.LineOf(message));
        std::size_t before = windows.size();
        list.OpenSelected();
        EXPECT_EQ(windows.size(), before + 1);
        return windows.back().get();
    }

    static std::vector<int> displayed(const NMailboxViewer& list)
    {
        std::vector<int> order;
        for (int line = 0; line < list.Count(); ++line)
            order.push_back(list.MessageAt(line));
        return order;
    }

    static std::vector<std::string> subjects(const NMailboxViewer& list)
    {
        std::vector<std::string> s;
        for (int line = 0; line < list.Count(); ++line)
            s.push_back(list.ItemAt(line).Subject);
        return s;
    }

    // Moves message n of mailbox `from` to mailbox `to` as a viewer window's Delete does.
    void moveOne(int from, int n, int to)
    {
        store.SetCurrentMailBoxNumber(from);
        store.SetMsg_Number(n);
        store.MoveMessage(store.MailboxKey(to));
    }
};

// ---- Display texts and the priority rule ----

TEST(MailboxListTexts, FromShowsTheNameBeforeTheAddress)
{
    EXPECT_EQ(displayFrom("John Smith <john@x.org>"), "John Smith");
    EXPECT_EQ(displayFrom("john@x.org"), "john@x.org");
    EXPECT_EQ(displayFrom("a<b@c>"), "a<b@c>"); // no blank before "<"
    EXPECT_EQ(displayFrom(""), "");
}

TEST(MailboxListTexts, DateDropsWeekdaySecondsAndZone)
{
    EXPECT_EQ(displayDate("Wed, 9 Dec 2026 10:05:33 +0100"), "09 Dec 2026 10:05");
    EXPECT_EQ(displayDate("Thu, 17 Dec 2026 23:59:59 -0500"), "17 Dec 2026 23:59");
    EXPECT_EQ(displayDate("9 Dec 2026 10:05:33 +0100"), "09 Dec 2026 10:05");
    // The program's own date text has no zone: only the weekday goes.
    EXPECT_EQ(displayDate("Wed, 9 Dec 2026 10:05:33"), "09 Dec 2026 10:05:33");
    // " +" is looked for before " -".
    EXPECT_EQ(displayDate("Wed, 9 Dec 2026 10:05:33 -0100 +0200"), "09 Dec 2026 10:05:33 -0");
}

TEST(MailboxListTexts, DateTooShortOrWithAnEarlyZoneBlankIsShownUnchanged)
{
    EXPECT_EQ(displayDate(""), "");
    EXPECT_EQ(displayDate("Wed"), "Wed");
    EXPECT_EQ(displayDate("Wed,"), "Wed,");
    EXPECT_EQ(displayDate("Wed, "), "Wed, ");
    EXPECT_EQ(displayDate("7"), "7");
    EXPECT_EQ(displayDate(" +0100"), " +0100");
    EXPECT_EQ(displayDate("Wed, 9 +0100"), "Wed, 9 +0100");  // blank at character 2 after the weekday
    EXPECT_EQ(displayDate("12 -3"), "12 -3");
    EXPECT_EQ(displayDate("123 +0100"), "123 +0100"); // nothing would be left
}

TEST(MailboxListTexts, SizeIsTheDecimalNumber)
{
    EXPECT_EQ(displaySize(0), "0");
    EXPECT_EQ(displaySize(123456), "123456");
}

TEST(MailboxListTexts, PriorityComesFromTheFirstPriorityLine)
{
    EXPECT_EQ(findPriority({"From: a", "", "text"}), "3");
    EXPECT_EQ(findPriority({}), "3");
    EXPECT_EQ(findPriority({"X-Priority: 1"}), "1");
    EXPECT_EQ(findPriority({"X-MSMail-Priority: High"}), "High");
    // The first matching line ends the scan, whichever of the two it holds.
    EXPECT_EQ(findPriority({"X-MSMail-Priority: Low", "X-Priority: 1"}), "Low");
    EXPECT_EQ(findPriority({"X-Priority: 1 (Highest)"}), "1 (Highest");
    // The value is taken from its fixed position in the line.
    EXPECT_EQ(findPriority({"  X-Priority: 1"}), ": 1");
    EXPECT_EQ(findPriority({"x-priority: 1"}), "3");
    EXPECT_TRUE(isHighPriority("1"));
    EXPECT_TRUE(isHighPriority("High"));
    EXPECT_TRUE(isHighPriority("1 (Highest"));
    EXPECT_FALSE(isHighPriority("3"));
    EXPECT_FALSE(isHighPriority("high"));
}

TEST(MailboxListTexts, PriorityFromTheStoredBytesIsThePriorityOfTheirLines)
{
    const std::vector<std::vector<std::string>> texts = {
        {"From: a", "", "text"}, {}, {"X-Priority: 1"}, {"X-MSMail-Priority: Low", "X-Priority: 1"},
        {"  X-Priority: 1"}, {"a", "X-MSMail-Priority: High (x) and more than twenty characters"},
        {"X-Priority: "}, {"X-MSMail-Priority: "}};
    for (const auto& lines : texts) {
        std::string bytes;
        for (const auto& l : lines)
            bytes += l + "\r\n";
        EXPECT_EQ(findPriorityInText(bytes), findPriority(lines)) << bytes;
    }
    // A last piece without its line end is no line.
    EXPECT_EQ(findPriorityInText("From: a\r\nX-Priority: 1"), "3");
}

TEST(MailboxListTexts, LookOfEachMailbox)
{
    MailboxListLook sent = listLookFor(kSent);
    EXPECT_EQ(sent.SectionNames, (std::vector<std::string>{"Status", "To", "Subject", "Date", "Size"}));
    EXPECT_EQ(sent.Pictures.ReadBitmap, "MAIL_SENT");
    EXPECT_EQ(sent.Pictures.UnreadBitmap, "MAIL_SENT");
    EXPECT_EQ(sent.Pictures.RepliedBitmap, "MAIL_SENT");
    MailboxListLook toSend = listLookFor(kToSend);
    EXPECT_EQ(toSend.SectionNames[1], "To");
    EXPECT_EQ(toSend.Pictures.ReadBitmap, "MAIL_QUEUED");
    EXPECT_EQ(toSend.Pictures.UnreadBitmap, "MAIL_QUEUED");
    MailboxListLook drafts = listLookFor(kDrafts);
    EXPECT_EQ(drafts.SectionNames[1], "From");
    EXPECT_EQ(drafts.Pictures.RepliedBitmap, "MAIL_DRAFT");
    for (int n : {kInbox, kTrash, kFolder}) {
        MailboxListLook look = listLookFor(n);
        EXPECT_EQ(look.SectionNames, (std::vector<std::string>{"Status", "From", "Subject", "Date", "Size"}));
        EXPECT_EQ(look.Pictures.ReadBitmap, "MAIL_READ");
        EXPECT_EQ(look.Pictures.UnreadBitmap, "MAIL_UNREAD");
        EXPECT_EQ(look.Pictures.RepliedBitmap, "MAIL_SENT");
        EXPECT_EQ(look.Pictures.AttachmentBitmap, "MAIL_ATTACHMENT2");
        EXPECT_EQ(look.Pictures.PriorityBitmap, "MAIL_URGENT");
        EXPECT_EQ(look.Pictures.QueuedBitmap, "MAIL_QUEUED");
    }
}

TEST(MailboxListTexts, MissingCaptionsTakeTheDefaults)
{
    NMailboxViewer list;
    list.SetSectionNames({"S", "An"});
    EXPECT_EQ(list.SectionNames(), (std::vector<std::string>{"S", "An", "Subject", "Date", "Size"}));
    list.SetSectionNames({"1", "2", "3", "4", "5", "6"});
    EXPECT_EQ(list.SectionNames().size(), 5u);
}

// ---- Items ----

TEST_F(ListFixture, ItemsCopyTheFieldsCutToTheirRooms)
{
    append(kInbox, std::string(70, 'f') + " <x@y>", std::string(40, 's'), 'V', {"a"}, 7, std::string(40, 'd'));
    append(kInbox, "Jo <jo@x>", "hi", 'R', {"From: jo", "", "x"});
    NMailboxViewer list;
    show(list, kInbox);
    ASSERT_EQ(list.Count(), 2);
    const MailboxListItem& a = list.ItemOf(1);
    EXPECT_EQ(a.From, std::string(60, 'f'));
    EXPECT_EQ(a.Subject, std::string(40, 's'));
    EXPECT_EQ(a.Date, std::string(40, 'd'));
    EXPECT_EQ(a.Size, 4); // "a", CR, LF, NUL
    EXPECT_EQ(a.Flag, 'V');
    EXPECT_TRUE(a.HasAttachment);
    EXPECT_EQ(a.Priority, "3");
    const MailboxListItem& b = list.ItemOf(2);
    EXPECT_FALSE(b.HasAttachment);
    EXPECT_EQ(list.ColumnText(1, kColumnFrom), "Jo");
    EXPECT_EQ(list.ColumnText(1, kColumnSubject), "hi");
    EXPECT_EQ(list.ColumnText(1, kColumnDate), "09 Dec 2026 10:00:00");
    EXPECT_EQ(list.ColumnText(1, kColumnSize), std::to_string(b.Size));
    EXPECT_EQ(list.ColumnText(1, kColumnStatus), "");
}

TEST_F(ListFixture, PriorityInTheBodyShowsThePriorityPicture)
{
    append(kInbox, "a@x", "urgent", 'U', {"From: a@x", "Subject: urgent", "", "X-Priority: 1", "text"}, 3);
    append(kInbox, "b@x", "ms", 'V', {"X-MSMail-Priority: High", "", "t"});
    append(kInbox, "c@x", "low", 'Q', {"X-Priority: 5", "", "t"});
    append(kInbox, "d@x", "odd", 'Z', {"t"});
    NMailboxViewer list;
    list.applyLook(listLookFor(kInbox));
    show(list, kInbox);
    EXPECT_EQ(list.ItemOf(1).Priority, "1");
    EXPECT_EQ(list.StatusPictureNames(0), (std::vector<std::string>{"MAIL_ATTACHMENT2", "MAIL_UNREAD", "MAIL_URGENT"}));
    EXPECT_EQ(list.StatusPictureNames(1), (std::vector<std::string>{"MAIL_READ", "MAIL_URGENT"}));
    EXPECT_EQ(list.StatusPictureNames(2), (std::vector<std::string>{"MAIL_QUEUED"}));
    EXPECT_EQ(list.StatusPictureNames(3), (std::vector<std::string>{}));
    EXPECT_TRUE(list.IsBold(0));
    EXPECT_FALSE(list.IsBold(1));
}

TEST_F(ListFixture, FlagPicturesAcceptEitherCase)
{
    append(kSent, "a", "1", 'r');
    append(kSent, "a", "2", 'v');
    append(kSent, "a", "3", 'u');
    append(kSent, "a", "4", 'q');
    NMailboxViewer list;
    list.applyLook(listLookFor(kSent));
    show(list, kSent);
    EXPECT_EQ(list.SectionNames()[1], "To");
    for (int line = 0; line < 3; ++line)
        EXPECT_EQ(list.StatusPictureNames(line), (std::vector<std::string>{"MAIL_SENT"})) << line;
    EXPECT_EQ(list.StatusPictureNames(3), (std::vector<std::string>{"MAIL_QUEUED"}));
    EXPECT_TRUE(list.IsBold(2));
    EXPECT_EQ(list.NotReadMessages(), 1);
}

TEST_F(ListFixture, UnreadCountFollowsFlagChanges)
{
    append(kInbox, "a", "unread", 'U');
    append(kInbox, "b", "viewed", 'V');
    append(kInbox, "c", "replied", 'R');
    NMailboxViewer list;
    int changes = 0;
    list.OnChange = [&changes](NMailboxViewer&) { ++changes; };
    show(list, kInbox);
    EXPECT_EQ(list.NotReadMessages(), 1);
    changes = 0;

    store.SetCurrentMailBoxNumber(kInbox);
    store.SetMsg_Number(2);
    store.SetMessageFlag('U');
    EXPECT_EQ(list.NotReadMessages(), 2);
    EXPECT_EQ(list.ItemOf(2).Flag, 'U');
    EXPECT_EQ(changes, 1);

    store.SetCurrentMailBoxNumber(kInbox);
    store.SetMsg_Number(2);
    store.SetMessageFlag('V');
    EXPECT_EQ(list.NotReadMessages(), 1);
    store.SetMsg_Number(3);
    store.SetMessageFlag('u');
    EXPECT_EQ(list.NotReadMessages(), 2);
}

TEST_F(ListFixture, NoMailboxOrNumberShowsNothing)
{
    fill(kInbox, 2);
    NMailboxViewer list;
    list.SetMailboxNumber(kInbox);
    EXPECT_EQ(list.Count(), 0);
    list.SetMailbox(&store);
    EXPECT_EQ(list.Count(), 2);
    list.SetMailboxNumber(0);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.MessageAt(0), 0);
    // A widget painting a row that is gone reads nothing.
    EXPECT_EQ(list.ItemAt(0).Subject, "");
    EXPECT_EQ(list.ColumnText(0, kColumnSize), "");
    EXPECT_TRUE(list.StatusPictureNames(-1).empty());
    EXPECT_FALSE(list.IsBold(3));
    EXPECT_EQ(list.SelectNext(), 0);
    EXPECT_EQ(list.SelectPrevious(), 0);
    list.LoadItems();
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(ListFixture, LoadErrorsReachTheCallerAndLeaveAnEmptyList)
{
    fill(kInbox, 2);
    NMailboxViewer list;
    show(list, kInbox);
    ASSERT_EQ(list.Count(), 2);
    std::remove((dir.path() + "mailboxe/m0.mbx").c_str());
    EXPECT_THROW(list.LoadItems(), FileError);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.NotReadMessages(), 0);
    // A number beyond the mailbox list is the store's error too.
    EXPECT_THROW(list.SetMailboxNumber(40), FileError);
    EXPECT_EQ(list.Count(), 0);
}

// ---- Display order ----

TEST_F(ListFixture, NewMessageTopPutsTheNewestFirstAndLaterAppendsAtTheBottom)
{
    fill(kInbox, 3);
    NMailboxViewer list;
    list.SetNewMessageTop(true);
    show(list, kInbox);
    EXPECT_EQ(displayed(list), (std::vector<int>{3, 2, 1}));
    append(kInbox, "late@x", "s4", 'U');
    EXPECT_EQ(displayed(list), (std::vector<int>{3, 2, 1, 4}));
    EXPECT_EQ(list.ItemAt(3).Subject, "s4");
    EXPECT_EQ(list.ItemAt(3).Priority, "3");
    EXPECT_EQ(list.NotReadMessages(), 1);
    // The New Mail window sorts after a check: newest first again.
    list.SortBy(kColumnDate, true);
    EXPECT_EQ(displayed(list), (std::vector<int>{4, 3, 2, 1}));
    list.SetNewMessageTop(false);
    EXPECT_EQ(displayed(list), (std::vector<int>{1, 2, 3, 4}));
    list.SetNewMessageTop(true);
    EXPECT_EQ(displayed(list), (std::vector<int>{4, 3, 2, 1}));
}

TEST_F(ListFixture, TextSortsWithItsBaseLettersWhateverItsBytes)
{
    for (const char* subject : {"Zebra", "\xc3\x89" "clair", "Echo", "\xc9t\xe9 (8-bit)", "apple", "\xce\xa9mega"})
        append(kInbox, "x", subject, 'R', {"1"});
    NMailboxViewer list;
    show(list, kInbox);
    list.SortBy(kColumnSubject, true);
    EXPECT_EQ(subjects(list), (std::vector<std::string>{"apple", "Echo", "\xc3\x89" "clair", "\xc9t\xe9 (8-bit)", "Zebra",
                                                        "\xce\xa9mega"}));
}

TEST_F(ListFixture, SortByEveryColumnBothWays)
{
    append(kInbox, "carol", "beta", 'V', {"12345678"});
    append(kInbox, "alice", "Alpha", 'U', {"1"});
    append(kInbox, "bob", "alpha", 'R', {"1234"});
    append(kInbox, "Zed", "gamma", 'Q', {"12"});
    NMailboxViewer list;
    show(list, kInbox);

    list.SortBy(kColumnStatus, true); // Q R U V
    EXPECT_EQ(displayed(list), (std::vector<int>{4, 3, 2, 1}));
    list.SortBy(kColumnStatus, false);
    EXPECT_EQ(displayed(list), (std::vector<int>{1, 2, 3, 4}));
    list.SortBy(kColumnFrom, true); // as people read: letter case does not come first
    EXPECT_EQ(displayed(list), (std::vector<int>{2, 3, 1, 4}));
    list.SortBy(kColumnFrom, false);
    EXPECT_EQ(displayed(list), (std::vector<int>{4, 1, 3, 2}));
    list.SortBy(kColumnSubject, true);
    EXPECT_EQ(subjects(list), (std::vector<std::string>{"alpha", "Alpha", "beta", "gamma"}));
    list.SortBy(kColumnSubject, false);
    EXPECT_EQ(subjects(list), (std::vector<std::string>{"gamma", "beta", "Alpha", "alpha"}));
    list.SortBy(kColumnSize, true);
    EXPECT_EQ(displayed(list), (std::vector<int>{2, 4, 3, 1}));
    list.SortBy(kColumnSize, false);
    EXPECT_EQ(displayed(list), (std::vector<int>{1, 3, 4, 2}));
    // Date sorts by arrival number, not by the date text.
    list.SortBy(kColumnDate, true);
    EXPECT_EQ(displayed(list), (std::vector<int>{4, 3, 2, 1}));
    list.SortBy(kColumnDate, false);
    EXPECT_EQ(displayed(list), (std::vector<int>{1, 2, 3, 4}));
    // Other columns do nothing.
    list.SortBy(kColumnSize, false);
    std::vector<int> before = displayed(list);
    list.SortBy(0, true);
    list.SortBy(6, false);
    EXPECT_EQ(displayed(list), before);
}

TEST_F(ListFixture, DateSortUsesTheNumberWhateverTheDateSays)
{
    append(kInbox, "a", "s1", 'V', {"x"}, 0, "Fri, 1 Jan 2027 10:00:00");
    append(kInbox, "a", "s2", 'V', {"x"}, 0, "Mon, 1 Jan 2001 10:00:00");
    append(kInbox, "a", "s3", 'V', {"x"}, 0, "Sun, 1 Jan 2012 10:00:00");
    NMailboxViewer list;
    show(list, kInbox);
    list.SortBy(kColumnDate, true);
    EXPECT_EQ(displayed(list), (std::vector<int>{3, 2, 1}));
}

TEST_F(ListFixture, EqualKeysKeepTheirPresentOrder)
{
    for (int i = 1; i <= 9; ++i)
        append(kInbox, i % 3 == 0 ? "same" : "other", "s" + std::to_string(i), i % 2 ? 'V' : 'U');
    NMailboxViewer list;
    show(list, kInbox);
    list.SortBy(kColumnDate, true); // 9 8 7 ... 1
    list.SortBy(kColumnFrom, true);
    // "other" before "same"; within each, the newest-first order of the previous sort.
    EXPECT_EQ(displayed(list), (std::vector<int>{8, 7, 5, 4, 2, 1, 9, 6, 3}));
    list.SortBy(kColumnFrom, false);
    EXPECT_EQ(displayed(list), (std::vector<int>{9, 6, 3, 8, 7, 5, 4, 2, 1}));
    list.SortBy(kColumnStatus, true); // U before V, stable
    EXPECT_EQ(displayed(list), (std::vector<int>{6, 8, 4, 2, 9, 3, 7, 5, 1}));
}

TEST_F(ListFixture, ALargeSortIsStableToo)
{
    // Enough lines for a sort that partitions: equal keys must still keep their order.
    const int n = 120;
    for (int i = 1; i <= n; ++i)
        append(kInbox, std::string(1, static_cast<char>('a' + (i * 7) % 3)), "s", "UVR"[(i * 5) % 3], {"x"});
    NMailboxViewer list;
    show(list, kInbox);
    for (int column : {kColumnFrom, kColumnStatus}) {
        for (bool normal : {true, false}) {
            list.SortBy(kColumnDate, true);
            list.SortBy(column, normal);
            std::vector<int> order = displayed(list);
            for (std::size_t k = 1; k < order.size(); ++k) {
                const MailboxListItem& a = list.ItemOf(order[k - 1]);
                const MailboxListItem& b = list.ItemOf(order[k]);
                std::string ka = column == kColumnFrom ? a.From : std::string(1, a.Flag);
                std::string kb = column == kColumnFrom ? b.From : std::string(1, b.Flag);
                if (ka == kb)
                    EXPECT_GT(order[k - 1], order[k]) << "column " << column << " line " << k;
                else
                    EXPECT_EQ(ka < kb, normal) << "column " << column << " line " << k;
            }
        }
    }
}

TEST_F(ListFixture, SelectionAndCurrentLineStayWithTheirMessages)
{
    fill(kInbox, 4);
    NMailboxViewer list;
    show(list, kInbox);
    list.SetItemIndex(1);   // message 2
    list.SetSelected(3, true); // message 4
    list.SortBy(kColumnDate, true); // 4 3 2 1
    EXPECT_EQ(list.ItemIndex(), 2);
    EXPECT_EQ(list.SelectedMessages(), (std::vector<int>{4, 2}));
    list.SetNewMessageTop(false);
    EXPECT_EQ(list.SelectedMessages(), (std::vector<int>{2, 4}));
    EXPECT_EQ(list.MessageAt(list.ItemIndex()), 2);
}

// ---- Selection commands ----

TEST_F(ListFixture, SelectNextAndPreviousStopAtTheEnds)
{
    fill(kInbox, 3);
    NMailboxViewer list;
    list.SetNewMessageTop(true); // lines show 3 2 1
    show(list, kInbox);
    EXPECT_EQ(list.ItemIndex(), -1);
    EXPECT_EQ(list.SelectNext(), 3);
    EXPECT_EQ(list.SelectNext(), 2);
    EXPECT_EQ(list.SelectNext(), 1);
    EXPECT_EQ(list.SelectNext(), 1);
    EXPECT_EQ(list.ItemIndex(), 2);
    EXPECT_EQ(list.SelectPrevious(), 2);
    EXPECT_EQ(list.SelectPrevious(), 3);
    EXPECT_EQ(list.SelectPrevious(), 3);
    EXPECT_EQ(list.ItemIndex(), 0);
    EXPECT_EQ(list.SelectedMessages(), (std::vector<int>{3}));
}

TEST_F(ListFixture, ClicksReportTheirMessages)
{
    fill(kInbox, 3);
    NMailboxViewer list;
    show(list, kInbox);
    std::vector<int> clicked, doubled;
    list.OnMessageClick = [&](NMailboxViewer& l, int m) {
        EXPECT_EQ(&l, &list);
        clicked.push_back(m);
    };
    list.OnMessageDoubleClick = [&](NMailboxViewer&, int m) { doubled.push_back(m); };
    list.Click(); // nothing selected
    list.SetItemIndex(2);
    list.SetSelected(1, true);
    list.Click(); // the first selected line
    list.DoubleClick(); // the current line, without a window factory
    EXPECT_EQ(clicked, (std::vector<int>{2}));
    EXPECT_EQ(doubled, (std::vector<int>{3}));

    NMailboxViewer empty;
    empty.SetMailbox(&store);
    empty.SetMailboxNumber(kTrash);
    empty.OnMessageClick = [&](NMailboxViewer&, int m) { clicked.push_back(m); };
    empty.Click();
    empty.DoubleClick();
    EXPECT_EQ(clicked.size(), 1u);
}

// ---- Viewer windows ----

TEST_F(ListFixture, OpenSelectedOpensOneWindowPerMessageAndRaisesOpenOnes)
{
    fill(kInbox, 3, 'U');
    NMailboxViewer list;
    giveWindows(list);
    show(list, kInbox);
    list.SetItemIndex(0);
    list.SetSelected(2, true);
    list.DoubleClick();
    ASSERT_EQ(windows.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        FakeWindow& w = *windows[static_cast<std::size_t>(i)];
        ASSERT_EQ(w.codes(), (std::vector<int>{kNoticeListBound, kNoticeShowMessage}));
        EXPECT_EQ(w.list, &list);
        EXPECT_EQ(w.notices[1].mailbox, kInbox);
        EXPECT_EQ(w.notices[1].message, i == 0 ? 1 : 3);
    }
    EXPECT_EQ(list.OpenViewerSlots()[0].window, windows[0].get());
    EXPECT_EQ(list.OpenViewerSlots()[0].message, 1);
    EXPECT_EQ(list.OpenViewerSlots()[1].message, 3);
    // Showing marked them viewed, and the list heard of it.
    EXPECT_EQ(list.NotReadMessages(), 1);

    list.SetSelected(1, true);
    list.OpenSelected();
    ASSERT_EQ(windows.size(), 3u);
    EXPECT_EQ(windows[0]->raised, 1);
    EXPECT_EQ(windows[1]->raised, 1);
    EXPECT_EQ(windows[2]->notices[1].message, 2);
    EXPECT_EQ(list.NotReadMessages(), 0);
}

TEST_F(ListFixture, NoWindowBeyondTheLastSlot)
{
    fill(kInbox, kOpenViewerSlotCount + 1);
    NMailboxViewer list;
    giveWindows(list);
    show(list, kInbox);
    for (int line = 0; line < list.Count(); ++line)
        list.SetSelected(line, true);
    list.OpenSelected();
    EXPECT_EQ(windows.size(), static_cast<std::size_t>(kOpenViewerSlotCount));
    EXPECT_EQ(list.LineOf(list.OpenViewerSlots()[kOpenViewerSlotCount - 1].message), kOpenViewerSlotCount - 1);
    // A window that closes gives its slot to the next double click.
    windows[5]->closed = true;
    list.ViewerWindowClosed(windows[5].get());
    list.OpenSelected();
    ASSERT_EQ(windows.size(), static_cast<std::size_t>(kOpenViewerSlotCount + 1));
    EXPECT_EQ(list.OpenViewerSlots()[5].message, 6);
}

TEST_F(ListFixture, RemovingMessage2Of5ClosesItsWindowAndRenumbersLaterOnes)
{
    fill(kInbox, 5);
    NMailboxViewer list, trash;
    giveWindows(list);
    show(list, kInbox);
    show(trash, kTrash);
    FakeWindow* on2 = openOn(list, 2);
    FakeWindow* on4 = openOn(list, 4);
    FakeWindow* on1 = openOn(list, 1);
    list.SetItemIndex(list.LineOf(3));
    int changes = 0;
    list.OnChange = [&changes](NMailboxViewer&) { ++changes; };

    moveOne(kInbox, 2, kTrash);

    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(subjects(list), (std::vector<std::string>{"s1", "s3", "s4", "s5"}));
    EXPECT_EQ(displayed(list), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(list.MessageAt(list.ItemIndex()), 2); // the current message stays current
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(on2->codes().back(), kNoticeCloseWindow);
    EXPECT_EQ(on4->codes().back(), kNoticeRenumbered);
    EXPECT_EQ(on4->notices.back().mailbox, kInbox);
    EXPECT_EQ(on4->notices.back().message, 3);
    EXPECT_EQ(on1->codes().size(), 2u);
    int open = 0;
    for (const auto& slot : list.OpenViewerSlots())
        if (slot.window) {
            ++open;
            EXPECT_NE(slot.window, on2);
            if (slot.window == on4) {
                EXPECT_EQ(slot.message, 3);
            }
        }
    EXPECT_EQ(open, 2);
    ASSERT_EQ(trash.Count(), 1);
    EXPECT_EQ(trash.ItemOf(1).Subject, "s2");
}

TEST_F(ListFixture, RemovalClosesTheGapInASortedOrder)
{
    fill(kInbox, 5);
    NMailboxViewer list;
    show(list, kInbox);
    list.SortBy(kColumnDate, true); // 5 4 3 2 1
    list.SetSelected(0, true);
    list.SetSelected(4, true);
    moveOne(kInbox, 3, kTrash);
    EXPECT_EQ(displayed(list), (std::vector<int>{4, 3, 2, 1}));
    EXPECT_EQ(subjects(list), (std::vector<std::string>{"s5", "s4", "s2", "s1"}));
    EXPECT_EQ(list.SelectedMessages(), (std::vector<int>{4, 1}));
}

TEST_F(ListFixture, EmptyingClosesEveryWindow)
{
    fill(kTrash, 3);
    fill(kInbox, 1);
    NMailboxViewer list, inbox;
    giveWindows(list);
    giveWindows(inbox);
    show(list, kTrash);
    show(inbox, kInbox);
    FakeWindow* a = openOn(list, 1);
    FakeWindow* b = openOn(list, 3);
    FakeWindow* c = openOn(inbox, 1);
    store.SetCurrentMailBoxNumber(kInbox);
    store.EmptyMailbox(kTrash);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.NotReadMessages(), 0);
    EXPECT_EQ(a->codes().back(), kNoticeCloseWindow);
    EXPECT_EQ(b->codes().back(), kNoticeCloseWindow);
    for (const auto& slot : list.OpenViewerSlots())
        EXPECT_EQ(slot.window, nullptr);
    // The other mailbox's list and window are untouched.
    EXPECT_EQ(inbox.Count(), 1);
    EXPECT_EQ(c->codes().size(), 2u);
}

TEST_F(ListFixture, CompressionShowsTheMessagesAgainAndKeepsOrderAndWindows)
{
    fill(kInbox, 5);
    moveOne(kInbox, 2, kTrash);
    NMailboxViewer list;
    giveWindows(list);
    show(list, kInbox);
    list.SortBy(kColumnDate, true);
    FakeWindow* w = openOn(list, 3);
    list.SetSelected(list.LineOf(1), true);
    std::vector<int> order = displayed(list);
    std::vector<int> selected = list.SelectedMessages();

    store.SetCurrentMailBoxNumber(kInbox);
    ASSERT_GT(store.CurrentNMailBoxTrash(), 0);
    store.CompressMailbox();
    ASSERT_EQ(store.CurrentNMailBoxTrash(), 0);

    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(displayed(list), order);
    EXPECT_EQ(list.SelectedMessages(), selected);
    EXPECT_EQ(subjects(list), (std::vector<std::string>{"s5", "s4", "s3", "s1"}));
    EXPECT_EQ(w->codes().size(), 2u);
    EXPECT_EQ(list.OpenViewerSlots()[0].window, w);
    EXPECT_EQ(list.OpenViewerSlots()[0].message, 3);

    // Automatic compression at a user switch reaches every list the same way.
    moveOne(kInbox, 1, kTrash);
    store.CompressMailboxes(0);
    EXPECT_EQ(subjects(list), (std::vector<std::string>{"s5", "s4", "s3"}));
}

TEST_F(ListFixture, ANoticeThatDoesNotFitReloadsTheList)
{
    fill(kInbox, 3);
    NMailboxViewer list;
    show(list, kInbox);
    append(kInbox, "x", "s4");
    ASSERT_EQ(list.Count(), 4);
    list.MailboxChanged(kMailboxAppended, 9);
    EXPECT_EQ(list.Count(), 4);
    list.MailboxChanged(kMailboxRemoved, 9);
    EXPECT_EQ(list.Count(), 4);
    list.MailboxChanged(kMailboxFlagChanged, 0);
    EXPECT_EQ(subjects(list), (std::vector<std::string>{"s1", "s2", "s3", "s4"}));
    list.MailboxChanged(77, 1); // unknown actions are ignored
    EXPECT_EQ(list.Count(), 4);
}

TEST_F(ListFixture, StoreDestructionEmptiesTheListAndForgetsTheStore)
{
    fill(kInbox, 2);
    NMailboxViewer list;
    show(list, kInbox);
    storeOwner.reset();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Mailbox(), nullptr);
    EXPECT_FALSE(list.Registered());
}

TEST_F(ListFixture, ClosingTheMailboxWindowClosesItsViewerWindows)
{
    fill(kInbox, 3);
    auto list = std::make_unique<NMailboxViewer>();
    giveWindows(*list);
    show(*list, kInbox);
    FakeWindow* a = openOn(*list, 1);
    FakeWindow* b = openOn(*list, 2);
    list->CloseAllViewers();
    EXPECT_EQ(a->codes().back(), kNoticeCloseWindow);
    EXPECT_EQ(b->codes().back(), kNoticeCloseWindow);
    FakeWindow* c = openOn(*list, 3);
    list.reset(); // the mailbox window goes
    EXPECT_EQ(c->codes().back(), kNoticeCloseWindow);
    EXPECT_EQ(a->notices.size(), 3u);
    // The store no longer knows the list.
    append(kInbox, "x", "s4");
}

TEST_F(ListFixture, ShowingAnotherMailboxClosesTheWindowsAndStopsTheNotices)
{
    fill(kInbox, 2);
    fill(kFolder, 1);
    NMailboxViewer list;
    giveWindows(list);
    show(list, kInbox);
    FakeWindow* w = openOn(list, 1);
    list.SetMailboxNumber(kFolder);
    EXPECT_EQ(w->codes().back(), kNoticeCloseWindow);
    EXPECT_EQ(list.Count(), 1);
    append(kInbox, "x", "s3");
    EXPECT_EQ(list.Count(), 1);
    append(kFolder, "x", "s2");
    EXPECT_EQ(list.Count(), 2);
}

TEST_F(ListFixture, ShowAdjacentMovesTheWindowAlongTheDisplayOrder)
{
    fill(kInbox, 4);
    NMailboxViewer list;
    giveWindows(list);
    show(list, kInbox);
    list.SortBy(kColumnDate, true); // lines: 4 3 2 1
    FakeWindow* w = openOn(list, 3);
    FakeWindow* other = openOn(list, 1);
    list.ShowAdjacentInWindow(w, NMailboxViewer::Direction::Next);
    EXPECT_EQ(w->notices.back().code, kNoticeShowMessage);
    EXPECT_EQ(w->notices.back().message, 2);
    EXPECT_EQ(list.OpenViewerSlots()[0].message, 2);
    // The next one has its own window: that window comes to the front.
    std::size_t before = w->notices.size();
    list.ShowAdjacentInWindow(w, NMailboxViewer::Direction::Next);
    EXPECT_EQ(other->raised, 1);
    EXPECT_EQ(w->notices.size(), before);
    EXPECT_EQ(list.OpenViewerSlots()[0].message, 2);
    // At the last line nothing happens.
    list.ShowAdjacentInWindow(other, NMailboxViewer::Direction::Next);
    EXPECT_EQ(other->notices.size(), 2u);
    list.ShowAdjacentInWindow(w, NMailboxViewer::Direction::Previous);
    list.ShowAdjacentInWindow(w, NMailboxViewer::Direction::Previous);
    EXPECT_EQ(w->notices.back().message, 4);
    before = w->notices.size();
    list.ShowAdjacentInWindow(w, NMailboxViewer::Direction::Previous);
    EXPECT_EQ(w->notices.size(), before);
    // A window the list does not know is ignored.
    FakeWindow stranger;
    list.ShowAdjacentInWindow(&stranger, NMailboxViewer::Direction::Next);
    EXPECT_TRUE(stranger.notices.empty());
}

// ---- Moving and dropping ----

TEST_F(ListFixture, MoveSelectedMovesInDisplayOrderWithOneCommand)
{
    fill(kInbox, 5);
    NMailboxViewer list, trash;
    giveWindows(list);
    show(list, kInbox);
    show(trash, kTrash);
    list.SortBy(kColumnDate, true); // 5 4 3 2 1
    FakeWindow* on4 = openOn(list, 4);
    FakeWindow* on5 = openOn(list, 5);
    list.SetItemIndex(list.LineOf(4));
    list.SetSelected(list.LineOf(2), true);
    list.SetSelected(list.LineOf(1), true);
    int changes = 0;
    list.OnChange = [&changes](NMailboxViewer&) { ++changes; };

    list.MoveSelected(kTrash);

    EXPECT_EQ(subjects(list), (std::vector<std::string>{"s5", "s3"}));
    EXPECT_EQ(displayed(list), (std::vector<int>{2, 1}));
    EXPECT_TRUE(list.SelectedMessages().empty());
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(subjects(trash), (std::vector<std::string>{"s4", "s2", "s1"}));
    EXPECT_EQ(on4->codes().back(), kNoticeCloseWindow);
    EXPECT_EQ(on5->codes().back(), kNoticeRenumbered);
    EXPECT_EQ(on5->notices.back().message, 2);
    EXPECT_EQ(list.OpenViewerSlots()[1].message, 2);
    store.SetCurrentMailBoxNumber(kInbox);
    EXPECT_EQ(store.CurrentMailBoxMessages(), 2);
    store.SetCurrentMailBoxNumber(kTrash);
    EXPECT_EQ(store.CurrentMailBoxMessages(), 3);
}

TEST_F(ListFixture, MoveSelectedRenumbersAsEachEarlierMessageGoes)
{
    fill(kInbox, 7);
    NMailboxViewer list;
    giveWindows(list);
    show(list, kInbox);
    FakeWindow* on6 = openOn(list, 6);
    FakeWindow* on7 = openOn(list, 7);
    FakeWindow* on3 = openOn(list, 3);
    std::vector<NMailboxViewer::DisplayChange::Kind> kinds;
    list.afterDisplayChange = [&kinds](const NMailboxViewer::DisplayChange& c) { kinds.push_back(c.kind); };
    list.SetItemIndex(0);
    list.SetSelected(2, true);
    list.SetSelected(4, true);
    kinds.clear();
    // The store numbers its notices 1, 2, 3 for the messages 1, 3 and 5.
    list.MoveSelected(kFolder);
    EXPECT_EQ(subjects(list), (std::vector<std::string>{"s2", "s4", "s6", "s7"}));
    EXPECT_EQ(displayed(list), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(kinds, (std::vector<NMailboxViewer::DisplayChange::Kind>{NMailboxViewer::DisplayChange::Reset}));
    EXPECT_EQ(on3->codes().back(), kNoticeCloseWindow);
    EXPECT_EQ(on6->notices.back().message, 3);
    EXPECT_EQ(on7->notices.back().message, 4);
    EXPECT_EQ(list.ItemIndex(), 0);
    EXPECT_EQ(list.NotReadMessages(), 0);
    NMailboxViewer folder;
    show(folder, kFolder);
    EXPECT_EQ(subjects(folder), (std::vector<std::string>{"s1", "s3", "s5"}));
}

TEST_F(ListFixture, MoveSelectedStopsAtAnErrorAndMovesNothing)
{
    fill(kInbox, 3);
    NMailboxViewer list;
    show(list, kInbox);
    list.SetItemIndex(0);
    list.SetSelected(2, true);
    std::string idx = dir.path() + "mailboxe/m0.idx";
    std::string before = fileBytes(idx);
    std::remove((dir.path() + "mailboxe/m5.idx").c_str());
    EXPECT_THROW(list.MoveSelected(kFolder), FileError);
    EXPECT_EQ(fileBytes(idx), before);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.SelectedMessages(), (std::vector<int>{1, 3}));
    EXPECT_THROW(list.MoveSelected(99), FileError);
    EXPECT_EQ(fileBytes(idx), before);
    // The list still follows the store afterwards.
    list.MoveSelected(kTrash);
    EXPECT_EQ(subjects(list), (std::vector<std::string>{"s2"}));
}

TEST_F(ListFixture, MovingToItsOwnMailboxDoesNothing)
{
    fill(kInbox, 2);
    NMailboxViewer list;
    show(list, kInbox);
    list.SetItemIndex(0);
    std::string idx = dir.path() + "mailboxe/m0.idx";
    std::string mbx = dir.path() + "mailboxe/m0.mbx";
    std::string idxBefore = fileBytes(idx), mbxBefore = fileBytes(mbx);
    list.MoveSelected(kInbox);
    list.MoveCurrentTo(kInbox);
    list.MoveCurrentTo(0);
    EXPECT_EQ(fileBytes(idx), idxBefore);
    EXPECT_EQ(fileBytes(mbx), mbxBefore);
    EXPECT_EQ(list.Count(), 2);
}

TEST_F(ListFixture, DropsGoToAnotherListsMailboxOnly)
{
    fill(kInbox, 3);
    NMailboxViewer inbox, folder, inboxAgain;
    show(inbox, kInbox);
    show(folder, kFolder);
    show(inboxAgain, kInbox);
    EXPECT_FALSE(inbox.AcceptsDrag(inbox));
    EXPECT_FALSE(inboxAgain.AcceptsDrag(inbox));
    EXPECT_TRUE(folder.AcceptsDrag(inbox));
    EXPECT_TRUE(inbox.AcceptsDrag(folder));

    inbox.SetItemIndex(1);
    inbox.DropFrom(inbox);
    inboxAgain.DropFrom(inbox);
    EXPECT_EQ(inbox.Count(), 3);
    folder.DropFrom(inbox);
    EXPECT_EQ(subjects(inbox), (std::vector<std::string>{"s1", "s3"}));
    EXPECT_EQ(subjects(inboxAgain), (std::vector<std::string>{"s1", "s3"}));
    EXPECT_EQ(subjects(folder), (std::vector<std::string>{"s2"}));
    // A drop on the folder tree's node of another mailbox.
    inbox.SetItemIndex(0);
    inbox.MoveCurrentTo(kTrash);
    EXPECT_EQ(subjects(inbox), (std::vector<std::string>{"s3"}));
    // Nothing current, nothing dragged.
    inbox.SetItemIndex(-1);
    inbox.MoveCurrentTo(kTrash);
    EXPECT_EQ(inbox.Count(), 1);
}

// ---- Registration and the widget's hooks ----

TEST_F(ListFixture, AFullViewerTableIsReported)
{
    fill(kInbox, 1);
    std::vector<TMailboxViewerControl> others(kViewerSlots);
    for (auto& o : others)
        ASSERT_TRUE(store.RegisterViewer(&o, "m0"));
    NMailboxViewer list;
    show(list, kInbox);
    EXPECT_FALSE(list.Registered());
    EXPECT_EQ(list.Count(), 1);
    for (auto& o : others)
        store.UnregisterViewer(&o);
    list.SetMailboxNumber(kInbox);
    EXPECT_TRUE(list.Registered());
}

TEST_F(ListFixture, DisplayHooksSurroundEveryChange)
{
    fill(kInbox, 3);
    NMailboxViewer list;
    std::vector<std::pair<char, NMailboxViewer::DisplayChange>> log;
    list.beforeDisplayChange = [&](const NMailboxViewer::DisplayChange& c) { log.emplace_back('b', c); };
    list.afterDisplayChange = [&](const NMailboxViewer::DisplayChange& c) { log.emplace_back('a', c); };
    show(list, kInbox);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].second.kind, NMailboxViewer::DisplayChange::Reset);
    log.clear();
    append(kInbox, "x", "s4");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].second.kind, NMailboxViewer::DisplayChange::LineAppended);
    EXPECT_EQ(log[1].second.line, 3);
    log.clear();
    moveOne(kInbox, 2, kTrash);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].first, 'b');
    EXPECT_EQ(log[0].second.kind, NMailboxViewer::DisplayChange::LineRemoved);
    EXPECT_EQ(log[0].second.line, 1);
    log.clear();
    store.SetCurrentMailBoxNumber(kInbox);
    store.SetMsg_Number(3);
    store.SetMessageFlag('R');
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].second.kind, NMailboxViewer::DisplayChange::LineChanged);
    EXPECT_EQ(log[1].second.line, 2);
    log.clear();
    list.SortBy(kColumnSubject, false);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].second.kind, NMailboxViewer::DisplayChange::Reordered);
}

} // namespace

namespace {

// ---- What owners that remember a message by number hear ----

TEST_F(ListFixture, RemovalsTellTheNewNumbersAndEmptyingForgetsThem)
{
    fill(kInbox, 5);
    NMailboxViewer list;
    show(list, kInbox);
    std::vector<std::vector<int>> heard;
    list.OnMessagesRenumbered = [&](NMailboxViewer&, const std::vector<int>& n) { heard.push_back(n); };
    moveOne(kInbox, 2, kTrash);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], (std::vector<int>{0, 1, 0, 2, 3, 4}));
    // Several messages moved by one command are told once, numbered as before the move.
    list.SetItemIndex(list.LineOf(1));
    list.SetSelected(list.LineOf(4), true);
    list.MoveSelected(kTrash);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1], (std::vector<int>{0, 0, 1, 2, 0}));
    // Appends, flag changes and compression keep every number.
    append(kInbox, "x", "new");
    store.SetCurrentMailBoxNumber(kInbox);
    store.SetMsg_Number(1);
    store.SetMessageFlag('U');
    store.CompressMailbox();
    EXPECT_EQ(heard.size(), 2u);
    store.EmptyMailbox(kInbox);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_TRUE(heard[2].empty());
}

} // namespace

// ---- The filter above the list ----

TEST_F(ListFixture, TheFilterShowsMatchingLinesThroughSortsAppendsAndRemovals)
{
    append(kInbox, "Ann <ann@x>", "R\xC3\xA9sum\xC3\xA9 attached");
    append(kInbox, "Bob <bob@x>", "Lunch");
    append(kInbox, "Carl <carl@x>", "Old r\xE9sum\xE9"); // an 8-bit subject of the old program
    append(kInbox, "Dora <dora@x>", "Tickets");
    NMailboxViewer list;
    show(list, kInbox);
    int resets = 0;
    list.afterDisplayChange = [&](const NMailboxViewer::DisplayChange& c) {
        resets += c.kind == NMailboxViewer::DisplayChange::Reset;
    };
    list.SetItemIndex(list.LineOf(3));
    list.SetSelected(list.LineOf(2), true);

    list.SetFilter("RESUME");
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(displayed(list), (std::vector<int>{1, 3}));
    EXPECT_EQ(list.ItemCount(), 4);
    // The current line stays with its message; the hidden selected one leaves the selection.
    EXPECT_EQ(list.MessageAt(list.ItemIndex()), 3);
    EXPECT_EQ(list.SelectedMessages(), (std::vector<int>{3}));
    // The same text in other letters changes nothing.
    list.SetFilter("resume");
    EXPECT_EQ(resets, 1);

    list.SortBy(kColumnDate, true);
    EXPECT_EQ(displayed(list), (std::vector<int>{3, 1}));
    append(kInbox, "Eve <eve@x>", "my resume");
    append(kInbox, "Finn <finn@x>", "Hidden");
    EXPECT_EQ(displayed(list), (std::vector<int>{3, 1, 5}));
    moveOne(kInbox, 2, kTrash); // a hidden message goes: the later ones move up a number
    EXPECT_EQ(displayed(list), (std::vector<int>{2, 1, 4}));
    EXPECT_EQ(list.ItemOf(2).From, "Carl <carl@x>");

    // Without a filter the whole order is back, sorted as it was, new mail at the bottom.
    list.SetFilter("");
    EXPECT_EQ(displayed(list), (std::vector<int>{3, 2, 1, 4, 5}));
    EXPECT_EQ(list.MessageAt(list.ItemIndex()), 2);
    list.SetFilter("me@here");
    EXPECT_EQ(list.Count(), 5);
    list.SetFilter("nobody");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.SelectNext(), 0);
}

TEST_F(ListFixture, AHitOpensItsViewerWindowEvenWhenTheFilterHidesIt)
{
    fill(kInbox, 3);
    NMailboxViewer list;
    show(list, kInbox);
    giveWindows(list);
    list.SetFilter("s1");
    ASSERT_TRUE(list.OpenMessage(3));
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0]->notices.back().message, 3);
    EXPECT_TRUE(list.OpenMessage(3)); // raised, not opened twice
    EXPECT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0]->raised, 1);
    EXPECT_FALSE(list.OpenMessage(4));
}
