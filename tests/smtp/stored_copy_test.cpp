// The stored form of an outgoing message, checked against lines and bytes written out here: how
// composition files it, and how the outbox reads it back into what SendMail sends.
#include "smtp/stored_copy.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "pop3/attachment_store.h"
#include "pop3/check_mail_rules.h"
#include "smtp/compose_rules.h"
#include "store/mailbox_store.h"
#include "support/test_support.h"

using namespace tavik;
using tavik::test::fileBytes;
using tavik::test::TempDir;
using tavik::test::writeBytes;

namespace {

using Lines = std::vector<std::string>;

ProfileSettings sam()
{
    ProfileSettings s;
    s.Name = "Sam Sender";
    s.RetAddr = "sam@example.org";
    return s;
}

// A profile with the five standard mailboxes and an attachment store.
struct Profile {
    TempDir dir;
    TNMailBox store;
    TAttachmentManager attachments;
    Profile()
    {
        store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
        store.SetMailBoxDirectory(dir.path() + "mailboxe/");
        attachments.SetAttachmentDirectory(dir.path() + "attach/");
    }
    int count(int mailbox)
    {
        store.SetCurrentMailBoxNumber(mailbox);
        return store.CurrentMailBoxMessages();
    }
};

} // namespace

TEST(StoredCopy, EveryLineInItsOrderWithEveryOptionOn)
{
    ProfileSettings s = sam();
    s.ReplyTo = "replies@example.org";
    ComposedMessage m;
    m.ToLines = {"Ann Example <ann@example.net>", "bob@example.net"};
    m.ccLines = {"Zo\xeb <zoe@example.net>"};
    m.BccLines = {"hidden@example.net"};
    m.Subject = "Plans";
    m.Priority = 0;
    m.Receipt = true;
    m.Encrypt = true;
    m.Password = "pw";
    m.Body = {"Hello", "", "Bye"};
    EXPECT_EQ(BuildStoredCopy(s, m, "Sun, 3 Mar 2024 10:00:00"),
              (Lines{"From: Sam Sender <sam@example.org>",
                     "Reply-To: replies@example.org",
                     "To: Ann Example <ann@example.net>",
                     "To: bob@example.net",
                     "cc: Zo\xeb <zoe@example.net>",
                     "Bcc: hidden@example.net",
                     "Date: Sun, 3 Mar 2024 10:00:00",
                     "Subject: Plans",
                     "X-Priority: 1",
                     "X-MSMail-Priority: High",
                     "Return-receipt-to: sam@example.org",
                     "X-Encoder: RC4 internal pw",
                     "X-Encoder-Verify: True",
                     "X-Mailer: Tavik mail v1.1b",
                     "",
                     // RC4 under the key "pw", NUL and five blanks.
                     "\x47\xa7\x74\xd8\xe3",
                     "",
                     "\x4d\xbb\x7d"}));
}

TEST(StoredCopy, OptionalLinesAreLeftOutAndThePriorityPairFollowsTheChoice)
{
    ComposedMessage m;
    m.ccLines = {"zoe@example.net"};
    m.Priority = -1;
    m.Body = {"text"};
    EXPECT_EQ(BuildStoredCopy(sam(), m, "Mon, 4 Mar 2024 09:05:07"),
              (Lines{"From: Sam Sender <sam@example.org>", "cc: zoe@example.net", "Date: Mon, 4 Mar 2024 09:05:07",
                     "X-Encoder-Verify: True", "X-Mailer: Tavik mail v1.1b", "", "text"}));
    EXPECT_EQ(priorityHeaders(1), (Lines{"X-Priority: 3", "X-MSMail-Priority: Normal"}));
    EXPECT_EQ(priorityHeaders(2), (Lines{"X-Priority: 5", "X-MSMail-Priority: Low"}));
    EXPECT_TRUE(priorityHeaders(3).empty());
}

TEST(StoredCopy, SendLaterFilesTheCopyWithSignatureAndAttachmentRecords)
{
    Profile p;
    ProfileSettings s = sam();
    s.UseSignature = true;
    // An old 8-bit signature goes into the copy as UTF-8.
    writeBytes(p.dir.path() + "signatur.def", "-- \r\nS\xe4m\r\n");
    writeBytes(p.dir.path() + "report.pdf", std::string(1234, 'x'));
    writeBytes(p.dir.path() + "photo.jpg", std::string(99, '\xff'));
    ComposedMessage m;
    m.ToLines = {"Ann Example <ann@example.net>"};
    m.Subject = "Report";
    m.Body = {"See attached."};
    TOutgoingAttachment a;
    a.Name = "report.pdf";
    a.MimeType = "application/pdf";
    a.Description = "the report";
    a.Path = p.dir.path() + "report.pdf";
    m.Attachments.push_back(a);
    a = {};
    a.Name = "photo.jpg";
    a.MimeType = "image/jpeg";
    a.Path = p.dir.path() + "photo.jpg";
    m.Attachments.push_back(a);
    m.MessageId = "<given@example.org>";
    const std::time_t now = 1709460000;

    ASSERT_EQ(SendLater(p.store, p.attachments, s, p.dir.path(), m, now), 1);
    const std::string date = DateText(now);
    EXPECT_EQ(fileBytes(p.dir.path() + "mailboxe/m2.mbx"),
              "From: Sam Sender <sam@example.org>\r\n"
              "To: Ann Example <ann@example.net>\r\n"
              "Date: " + rfc5322Date(now) + "\r\n"
              "Message-ID: <given@example.org>\r\n"
              "Subject: Report\r\n"
              "X-Priority: 3\r\n"
              "X-MSMail-Priority: Normal\r\n"
              "X-Encoder-Verify: True\r\n"
              "X-Mailer: Tavik mail v1.1b\r\n"
              "\r\n"
              "See attached.\r\n"
              " \r\n"
              "-- \r\n"
              "S\xc3\xa4m\r\n" + std::string(1, '\0'));
    p.store.SetCurrentMailBoxNumber(kToSendMailbox);
    p.store.SetMsg_Number(1);
    EXPECT_EQ(p.store.Msg_From, "Ann Example <ann@example.net>");
    EXPECT_EQ(p.store.Msg_Subject, "Report");
    EXPECT_EQ(p.store.Msg_Flag, 'U');
    EXPECT_EQ(p.store.Msg_Date, date);
    EXPECT_EQ(p.store.Msg_To, "Ann Example <ann@example.net>");
    EXPECT_EQ(p.store.Msg_AttachStart, 1);
    EXPECT_EQ(p.store.Msg_AttachEnd, 2);
    const TMIMEAttachment r1 = p.attachments.GetAttachment(1), r2 = p.attachments.GetAttachment(2);
    EXPECT_EQ(r1.FileName, "report.pdf");
    EXPECT_EQ(r1.ContentType, "application/pdf");
    EXPECT_EQ(r1.Disposition, "attachment");
    EXPECT_EQ(r1.Description, "the report");
    EXPECT_EQ(r1.Location, p.dir.path() + "report.pdf"); // the file is not copied
    EXPECT_EQ(r1.ManagedFile, 0);
    EXPECT_EQ(r1.Size, 1234);
    EXPECT_EQ(r2.Location, p.dir.path() + "photo.jpg");
    EXPECT_EQ(r2.Size, 99);
    EXPECT_TRUE(s.UseSignature);
}

TEST(StoredCopy, SendLaterEnciphersTheSignatureAndRefusesWhatItCannotFile)
{
    Profile p;
    ProfileSettings s = sam();
    s.UseSignature = true;
    writeBytes(p.dir.path() + "signatur.def", "-- \nSam");
    ComposedMessage m;
    m.BccLines = {"hidden@example.net"};
    m.Encrypt = true;
    m.Password = "pw";
    m.Body = {"Hello"};
    ASSERT_EQ(SendLater(p.store, p.attachments, s, p.dir.path(), m, 1709460000), 1);
    p.store.SetCurrentMailBoxNumber(kToSendMailbox);
    p.store.SetMsg_Number(1);
    p.store.LoadMessageText();
    const Lines tail(p.store.Msg_Text.end() - 5, p.store.Msg_Text.end());
    EXPECT_EQ(tail, (Lines{"", "\x47\xa7\x74\xd8\xe3", "\x2f", "\x22\xef\x38", "\x5c\xa3\x75"}));
    EXPECT_EQ(p.store.Msg_From, "hidden@example.net");

    // A missing signature switches the signature off; the message goes without it.
    removeFileIfPresent(p.dir.path() + "signatur.def");
    m = {};
    m.ToLines = {"ann@example.net"};
    m.Body = {"plain"};
    ASSERT_EQ(SendLater(p.store, p.attachments, s, p.dir.path(), m, 1709460000), 2);
    EXPECT_FALSE(s.UseSignature);
    p.store.SetMsg_Number(2);
    p.store.LoadMessageText();
    EXPECT_EQ(p.store.Msg_Text.back(), "plain");

    // No address line: refused with composition's message, nothing filed.
    m.ToLines.clear();
    try {
        SendLater(p.store, p.attachments, s, p.dir.path(), m, 1709460000);
        ADD_FAILURE() << "a message without address was filed";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Sorry, but you have not specified any address to send it.");
    }
    // An attachment that is no file: nothing filed and no record registered.
    m.ToLines = {"ann@example.net"};
    TOutgoingAttachment gone;
    gone.Name = "gone.txt";
    gone.Path = p.dir.path() + "gone.txt";
    m.Attachments = {gone};
    EXPECT_THROW(SendLater(p.store, p.attachments, s, p.dir.path(), m, 1709460000), FileError);
    gone.Path = p.dir.path();
    m.Attachments = {gone};
    EXPECT_THROW(SendLater(p.store, p.attachments, s, p.dir.path(), m, 1709460000), FileError);
    // A NUL in the body cannot be stored.
    m.Attachments.clear();
    m.Body = {std::string("a\0b", 3)};
    EXPECT_THROW(SendLater(p.store, p.attachments, s, p.dir.path(), m, 1709460000), FileError);
    EXPECT_EQ(p.count(kToSendMailbox), 2);
    EXPECT_EQ(p.attachments.LastNumber(), 0);
}

TEST(StoredCopy, ReadingBackSortsEveryHeaderLineAndKeepsTheBody)
{
    const Lines stored = {
        "From: Sam Sender <sam@example.org>",
        "Reply-To: replies@example.org",
        "To: Ann Example <ann@example.net>",
        "To: bob@example.net (Bob B)",
        "To: ",
        "cc: \"Zo\xeb\" <zoe@example.net>",
        "Bcc:  hidden@example.net ",
        "Date: Sun, 3 Mar 2024 10:00:00",
        "Subject: X-mas plans for the whole family, longer than forty characters",
        "X-Priority: 1",
        "Disposition-Notification-To: sam@example.org",
        "Return-receipt-to: sam@example.org",
        "X-Encoder: RC4 internal secret",
        "X-Encoder-Verify: True",
        "Keywords: X-ray",
        "Comments: none",
        "",
        "line 1",
        "",
        "Subject: not a header",
        ".",
    };
    OutgoingMessage m;
    m.Headers = {"left over"};
    ReadStoredCopy(stored, m);
    EXPECT_EQ(m.ListTo, (Lines{"ann@example.net|Ann Example", "bob@example.net|Bob B"}));
    EXPECT_EQ(m.Listcc, (Lines{"zoe@example.net|Zo\xeb"}));
    EXPECT_EQ(m.ListBcc, (Lines{"hidden@example.net|"}));
    // The whole subject, not the 40 characters of the index field, and never as a header too.
    EXPECT_EQ(m.Subject, "X-mas plans for the whole family, longer than forty characters");
    EXPECT_EQ(m.Headers, (Lines{"Reply-To: replies@example.org", "Date: Sun, 3 Mar 2024 10:00:00", "X-Priority: 1",
                                "Disposition-Notification-To: sam@example.org",
                                "Return-receipt-to: sam@example.org", "X-Encoder: RC4 internal",
                                "X-Encoder-Verify: True", "Keywords: X-ray"}));
    EXPECT_EQ(m.MailText, (Lines{"line 1", "", "Subject: not a header", "."}));

    // Without an empty line everything is header; a text that starts with one has none.
    ReadStoredCopy({"To: ann@example.net", "X-Mailer: x"}, m);
    EXPECT_EQ(m.ListTo, (Lines{"ann@example.net|"}));
    EXPECT_EQ(m.Headers, (Lines{"X-Mailer: x"}));
    EXPECT_TRUE(m.MailText.empty());
    EXPECT_TRUE(m.Subject.empty());
    ReadStoredCopy({"", "To: ann@example.net"}, m);
    EXPECT_TRUE(m.ListTo.empty());
    EXPECT_EQ(m.MailText, (Lines{"To: ann@example.net"}));
}

TEST(StoredCopy, TheQueuedMessageTakesItsSenderAndAttachmentsFromProfileAndStore)
{
    Profile p;
    ProfileSettings s = sam();
    writeBytes(p.dir.path() + "a.txt", "text");
    writeBytes(p.dir.path() + "b.bin", "\x80\x81");
    ComposedMessage m;
    m.ToLines = {"ann@example.net"};
    m.Subject = "Files";
    m.Body = {"two files"};
    for (const char* name : {"a.txt", "b.bin"}) {
        TOutgoingAttachment a;
        a.Name = std::string("my ") + name;
        a.MimeType = "application/x-test";
        a.Description = std::string("about ") + name;
        a.Path = p.dir.path() + name;
        m.Attachments.push_back(a);
    }
    SendLater(p.store, p.attachments, s, p.dir.path(), m, 1709460000);
    p.store.SetCurrentMailBoxNumber(kToSendMailbox);
    p.store.SetMsg_Number(1);
    p.store.LoadMessageText();
    s.Name = "Sam Changed"; // the sender is the profile's now, not the stored From line
    OutgoingMessage q = QueuedOutgoingMessage(s, p.store, p.attachments);
    EXPECT_EQ(q.FROM_Address, "sam@example.org");
    EXPECT_EQ(q.FROM_Name, "Sam Changed");
    EXPECT_EQ(q.ListTo, (Lines{"ann@example.net|"}));
    EXPECT_EQ(q.Subject, "Files");
    EXPECT_EQ(q.Attachments, (Lines{p.dir.path() + "a.txt", p.dir.path() + "b.bin"}));
    ASSERT_TRUE(q.AttachmentSlots[1].has_value());
    const TOutgoingAttachment& second = *q.AttachmentSlots[1];
    EXPECT_EQ(second.Name, "my b.bin");
    EXPECT_EQ(second.MimeType, "application/x-test");
    EXPECT_EQ(second.Disposition, "attachment");
    EXPECT_EQ(second.Description, "about b.bin");
    EXPECT_EQ(second.Path, p.dir.path() + "b.bin");
    EXPECT_EQ(second.Encoding, kEncodingAutomatic);

    // A range no message can carry, or a record without a file, stops the message: it must not
    // go out without its files.
    p.store.Msg_AttachStart = 2;
    p.store.Msg_AttachEnd = 1;
    EXPECT_THROW(QueuedOutgoingMessage(s, p.store, p.attachments), FileError);
    p.store.Msg_AttachStart = 1;
    p.store.Msg_AttachEnd = 1 + 256;
    EXPECT_THROW(QueuedOutgoingMessage(s, p.store, p.attachments), FileError);
    TMIMEAttachment empty;
    empty.FileName = "x";
    empty.Location = p.dir.path() + "x";
    const int n = p.attachments.RegisterAttachment(empty);
    empty.Location.clear();
    p.attachments.UpdateAttachment(n, empty);
    p.store.Msg_AttachStart = p.store.Msg_AttachEnd = n;
    EXPECT_THROW(QueuedOutgoingMessage(s, p.store, p.attachments), FileError);
    p.store.Msg_AttachStart = p.store.Msg_AttachEnd = 0;
    EXPECT_TRUE(QueuedOutgoingMessage(s, p.store, p.attachments).Attachments.empty());
}

TEST(StoredCopy, ARandomSignatureIsOneWholeBlock)
{
    const Lines file = {"first a", "first b", "", "second", "", "third a", "third b"};
    EXPECT_EQ(signatureBlock(file, 0), (Lines{"first a", "first b"}));
    EXPECT_EQ(signatureBlock(file, 1), (Lines{"first a", "first b"}));
    EXPECT_EQ(signatureBlock(file, 2), (Lines{"second"}));
    EXPECT_EQ(signatureBlock(file, 3), (Lines{"second"}));
    EXPECT_EQ(signatureBlock(file, 4), (Lines{"third a", "third b"}));

    TempDir dir;
    ProfileSettings s;
    s.PluggInSig = true;
    s.PluggInSigFile = dir.path() + "sigs.txt";
    writeBytes(s.PluggInSigFile, "first a\r\nfirst b\r\n\r\nsecond\r\n\r\nthird a\r\nthird b\r\n");
    std::size_t offered = 0;
    EXPECT_EQ(RandomSignature(s, [&](std::size_t last) { offered = last; return last; }),
              (Lines{"third a", "third b"}));
    EXPECT_EQ(offered, 4u);
    for (int i = 0; i < 20; ++i) {
        const Lines block = RandomSignature(s, {});
        EXPECT_TRUE(block == (Lines{"first a", "first b"}) || block == (Lines{"second"}) ||
                    block == (Lines{"third a", "third b"}));
    }
    EXPECT_TRUE(s.PluggInSig);
    // A file without any empty line, or none at all, switches the option off.
    writeBytes(s.PluggInSigFile, "only\r\none block\r\n");
    EXPECT_TRUE(RandomSignature(s, {}).empty());
    EXPECT_FALSE(s.PluggInSig);
    s.PluggInSig = true;
    s.PluggInSigFile = dir.path() + "missing.txt";
    EXPECT_TRUE(RandomSignature(s, {}).empty());
    EXPECT_FALSE(s.PluggInSig);
}

namespace {

// Runs `body` with the local zone `tz` (POSIX form), restoring the zone afterwards.
template <typename F>
void inZone(const char* tz, F body)
{
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", tz, 1);
    ::tzset();
    body();
    if (old)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

} // namespace

// RFC 5322 asks every message for a Date with a zone and a Message-ID; the copy filed keeps the
// very values that went out.
TEST(StoredCopy, EverySentMessageHasADateWithAZoneAndAMessageId)
{
    inZone("<+0130>-1:30", [] { EXPECT_EQ(rfc5322Date(1709460000), "Sun, 3 Mar 2024 11:30:00 +0130"); });
    inZone("<-0330>3:30", [] { EXPECT_EQ(rfc5322Date(1709460000), "Sun, 3 Mar 2024 06:30:00 -0330"); });
    const std::string id = newMessageId("sam@example.org");
    EXPECT_EQ(id.rfind("<tavik.", 0), 0u) << id;
    EXPECT_EQ(id.substr(id.size() - 13), "@example.org>") << id;
    EXPECT_NE(id, newMessageId("sam@example.org"));
    for (const char* odd : {"sam", "sam@", "sam@exa mple>org"}) {
        const std::string other = newMessageId(odd);
        EXPECT_EQ(other.substr(other.size() - 11), "@localhost>") << odd;
    }

    // Send now: the same Date and Message-ID on the wire and in "Sent", which files it as read.
    Profile p;
    ProfileSettings s = sam();
    ComposedMessage m;
    m.ToLines = {"ann@example.net"};
    m.InReplyTo = "<m1@example.net>";
    m.References = "<m0@example.net> <m1@example.net>";
    stampOrigin(m, s, 1709460000);
    const OutgoingMessage out = composeOutgoing(s, m, {});
    ASSERT_GE(out.Headers.size(), 4u);
    const Lines origin(out.Headers.begin(), out.Headers.begin() + 4);
    EXPECT_EQ(origin, (Lines{"Date: " + rfc5322Date(1709460000), "Message-ID: " + m.MessageId,
                             "In-Reply-To: <m1@example.net>", "References: <m0@example.net> <m1@example.net>"}));
    FileStoredCopy(p.store, p.attachments, kSentMailbox, s, m, {}, "ann@example.net", 1709469999);
    p.store.SetMsg_Number(1);
    p.store.LoadMessageText();
    EXPECT_EQ(Lines(p.store.Msg_Text.begin() + 2, p.store.Msg_Text.begin() + 6), origin);
    EXPECT_EQ(p.store.Msg_Flag, 'V');
    EXPECT_EQ(p.store.Msg_Date, DateText(1709460000));
    // Read back by the outbox, they go out as stored.
    OutgoingMessage queued;
    ReadStoredCopy(p.store.Msg_Text, queued);
    EXPECT_EQ(Lines(queued.Headers.begin(), queued.Headers.begin() + 4), origin);

    // A copy queued before every copy had them gets them once; a complete one is left alone.
    Lines old = {"From: Sam Sender <sam@example.org>", "To: ann@example.net", "Date: Sun, 3 Mar 2024 10:00:00",
                 "X-Mailer: Tavik mail v1.1b", "", "body"};
    EXPECT_TRUE(completeOriginHeaders(old, 1709460000, "sam@example.org"));
    ASSERT_EQ(old.size(), 7u);
    EXPECT_EQ(old[2], "Date: " + rfc5322Date(1709460000));
    EXPECT_EQ(old[4].rfind("Message-ID: <tavik.", 0), 0u);
    EXPECT_EQ(old[5], "");
    const Lines complete = old;
    EXPECT_FALSE(completeOriginHeaders(old, 1709469999, "sam@example.org"));
    EXPECT_EQ(old, complete);
}
