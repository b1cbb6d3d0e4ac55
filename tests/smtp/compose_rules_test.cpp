// The composition window's rules without the window: field lines, recipient entries, the headers
// and properties a message goes out with, the address-book exchange and the question texts.
#include "smtp/compose_rules.h"

#include <gtest/gtest.h>

#include "profile/file_util.h"
#include "smtp/rc4.h"
#include "store/mailbox_store.h"
#include "support/test_support.h"

using namespace tavik;

namespace {

using Lines = std::vector<std::string>;

ProfileSettings sam()
{
    ProfileSettings s;
    s.Name = "Sam Sender";
    s.RetAddr = "sam@example.org";
    return s;
}

TEST(ComposeRules, FieldLinesEndAtBreaksAndSkipBlankRecipients)
{
    EXPECT_EQ(fieldLines(""), Lines{});
    EXPECT_EQ(fieldLines("one"), Lines{"one"});
    EXPECT_EQ(fieldLines("one\n"), Lines{"one"});
    EXPECT_EQ(fieldLines("one\n\ntwo\r\nthree\rfour\n\n"), (Lines{"one", "", "two", "three", "four", ""}));
    EXPECT_EQ(fieldLines("\n"), Lines{""});
    // A blank recipient line would become "RCPT TO:<>".
    EXPECT_EQ(recipientLines("a@x\n\n  \n\tb@y\n"), (Lines{"a@x", "\tb@y"}));
}

TEST(ComposeRules, RecipientEntries)
{
    EXPECT_EQ(composedRecipientEntry("Ann Example <ann@example.net>"), "ann@example.net|Ann Example");
    EXPECT_EQ(composedRecipientEntry("bob@example.net"), "bob@example.net|");
    EXPECT_EQ(composedRecipientEntry("  bob@example.net  "), "bob@example.net|");
    EXPECT_EQ(composedRecipientEntry("<ann@example.net>"), "ann@example.net|");
    EXPECT_EQ(composedRecipientEntry("Ann<ann@example.net>"), "ann@example.net|");
    EXPECT_EQ(composedRecipientEntry("Ann Example <ann@example.net> "), "ann@example.net|Ann Example");
}

TEST(ComposeRules, SendNowPropertiesKeepBccOutOfToAndEncipherBodyAndSignature)
{
    ProfileSettings s = sam();
    s.ReplyTo = "replies@example.org";
    ComposedMessage m;
    m.ToLines = {"Ann Example <ann@example.net>"};
    m.ccLines = {"carl@example.net"};
    m.BccLines = {"Hidden Person <hidden@example.net>"};
    m.Subject = "Plans";
    m.Priority = 2;
    m.Receipt = true;
    m.Body = {"line one", "", "line one"};
    OutgoingMessage out = composeOutgoing(s, m, {" ", "-- ", "Sam"});
    EXPECT_EQ(out.FROM_Address, "sam@example.org");
    EXPECT_EQ(out.FROM_Name, "Sam Sender");
    EXPECT_EQ(out.ListTo, Lines{"ann@example.net|Ann Example"});
    EXPECT_EQ(out.Listcc, Lines{"carl@example.net|"});
    EXPECT_EQ(out.ListBcc, Lines{"hidden@example.net|Hidden Person"});
    EXPECT_EQ(out.Headers, (Lines{"Reply-To: replies@example.org", "X-Priority: 5", "X-MSMail-Priority: Low",
                                  "Return-receipt-to: sam@example.org", "X-Mailer: Tavik mail v1.1b"}));
    EXPECT_EQ(out.MailText, (Lines{"line one", "", "line one", " ", "-- ", "Sam"}));

    m.Encrypt = true;
    m.Password = "secret";
    m.Receipt = false;
    s.ReplyTo.clear();
    m.Priority = 0;
    out = composeOutgoing(s, m, {" ", "Sam"});
    // The wire marking never carries the password.
    EXPECT_EQ(out.Headers, (Lines{"X-Priority: 1", "X-MSMail-Priority: High", "X-Encoder: RC4 internal",
                                  "X-Mailer: Tavik mail v1.1b"}));
    ASSERT_EQ(out.MailText.size(), 5u);
    EXPECT_EQ(out.MailText[0], EncipherLine("line one", "secret"));
    EXPECT_EQ(out.MailText[0], out.MailText[2]);
    EXPECT_NE(out.MailText[0], "line one");
    EXPECT_EQ(out.MailText[1], "");
    EXPECT_EQ(out.MailText[4], EncipherLine("Sam", "secret"));
    EXPECT_EQ(EncipherLine(out.MailText[4], "secret"), "Sam");
}

TEST(ComposeRules, TooManyAttachmentsForTheSessionAreRefused)
{
    ComposedMessage m;
    m.ToLines = {"a@x"};
    TOutgoingAttachment a;
    a.Path = "/" + std::string(300, 'p');
    m.Attachments = {a};
    EXPECT_THROW(composeOutgoing(sam(), m, {}), FileError);
}

TEST(ComposeRules, FirstRecipientComesFromAnyField)
{
    ComposedMessage m;
    m.BccLines = {"Hidden Person <hidden@example.net>"};
    EXPECT_EQ(firstRecipientEntry(m), "hidden@example.net|Hidden Person");
    EXPECT_EQ(sentCopyFrom(m), "Hidden Person <hidden@example.net>");
    EXPECT_EQ(firstRecipientLine(m), "Hidden Person <hidden@example.net>");
    m.ccLines = {"carl@example.net"};
    EXPECT_EQ(sentCopyFrom(m), " <carl@example.net>");
    m.ToLines = {"ann@example.net"};
    EXPECT_EQ(firstRecipientLine(m), "ann@example.net");
    EXPECT_EQ(firstRecipientEntry(ComposedMessage{}), "");
}

TEST(ComposeRules, QuestionTexts)
{
    EXPECT_EQ(cannotBeSentText("Plans", "ann@example.net"),
              "Message \"Plans\" for ann@example.net cannot be sent.\r\nIt will be stored in the \"To Send\" folder.");
    EXPECT_EQ(discardQuestion(""), "Subject: Unknown\r\nAre you sure you want to discard this message?");
    EXPECT_EQ(discardQuestion("Plans"), "Subject: Plans\r\nAre you sure you want to discard this message?");
}

TEST(ComposeRules, AddressBookExchange)
{
    ComposedMessage m;
    m.ToLines = {"Ann <ann@x>"};
    m.ccLines = {"carl@x"};
    m.BccLines = {"hid@x"};
    EXPECT_EQ(addressBookSendList(m), (Lines{"To: Ann <ann@x>", "cc: carl@x", "Bcc: hid@x"}));

    Lines to = {"old"}, cc = {"old"}, bcc = {"old"};
    sortBackSendList({"To: Ann <ann@x>", "cc: carl@x", "Bcc: hid@x", "Bcc: Ann To: odd", "nothing", "xcc: y",
                      "To: " + std::string(120, 'a')},
                     to, cc, bcc);
    // An entry holding "To: " anywhere goes to To, whatever comes before it.
    EXPECT_EQ(to, (Lines{"Ann <ann@x>", "odd", std::string(99, 'a')}));
    EXPECT_EQ(cc, Lines{"carl@x"});
    EXPECT_EQ(bcc, Lines{"hid@x"});

    // 99 characters, not bytes: a name beyond ASCII is neither shortened sooner nor cut inside a
    // character.
    std::string greek;
    for (int i = 0; i < 120; ++i)
        greek += "\xCE\xB1";
    sortBackSendList({"cc: " + greek, "To: " + std::string(98, 'a') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"}, to, cc, bcc);
    EXPECT_EQ(cc, Lines{greek.substr(0, 198)});
    EXPECT_EQ(to, Lines{std::string(98, 'a') + "\xF0\x9F\x98\x80"});
}

TEST(ComposeRules, DraftsTargetByDisplayNameLastMatchElseDrafts)
{
    const MailboxList boxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash", "m5=Work", "m6=Work"};
    EXPECT_EQ(draftsTarget(boxes, "Drafts"), 4);
    EXPECT_EQ(draftsTarget(boxes, "Work"), 7);
    // Never the mailbox that happens to be selected ("To Send" after an outbox run).
    EXPECT_EQ(draftsTarget(boxes, "Nowhere"), kDraftsMailbox);
}

TEST(ReopenedDraft, AReopenedDraftGoesToItsRecipients)
{
    // A draft as filing writes it: the sender is the user's own address, the recipients follow.
    const Lines stored = {"From: Sam Sender <sam@example.org>",
                          "Reply-To: desk@example.org",
                          "To: Ann Example <ann@example.net>",
                          "To: bob@example.net",
                          "cc: Carol <carol@example.net>",
                          "Bcc: dan@example.net",
                          "Date: Wed, 9 Dec 2026 10:00:00",
                          "Subject: A subject longer than the forty characters of the index",
                          "X-Priority: 5",
                          "X-MSMail-Priority: Low",
                          "Return-receipt-to: sam@example.org",
                          "X-Encoder-Verify: True",
                          "X-Mailer: Tavik mail v1.1b",
                          "",
                          "To: in the body stays",
                          "",
                          "last line",
                          " ",
                          "-- Sam"};
    const ComposedMessage m = reopenedDraft(stored, {" ", "-- Sam"});
    EXPECT_EQ(m.ToLines, (Lines{"Ann Example <ann@example.net>", "bob@example.net"}));
    EXPECT_EQ(m.ccLines, Lines{"Carol <carol@example.net>"});
    EXPECT_EQ(m.BccLines, Lines{"dan@example.net"});
    EXPECT_EQ(m.Subject, "A subject longer than the forty characters of the index");
    EXPECT_EQ(m.Priority, 2);
    EXPECT_TRUE(m.Receipt);
    EXPECT_FALSE(m.Encrypt);
    // The signature filing appended goes; it is appended again when the draft is filed again.
    EXPECT_EQ(m.Body, (Lines{"To: in the body stays", "", "last line"}));
    // Another signature stays in the body; no priority is Normal.
    const ComposedMessage other = reopenedDraft({"To: a@x", "", "text", " ", "-- Old"}, {" ", "-- Sam"});
    EXPECT_EQ(other.Body, (Lines{"text", " ", "-- Old"}));
    EXPECT_EQ(other.Priority, 1);

    // An enciphered draft comes back readable, with its password, as it was typed.
    ComposedMessage secret;
    secret.ToLines = {"ann@example.net"};
    secret.Subject = "Secret";
    secret.Priority = 0;
    secret.Encrypt = true;
    secret.Password = "pw";
    secret.Body = {"the plan", "", "at noon"};
    Lines filed = BuildStoredCopy(sam(), secret, "Wed, 9 Dec 2026 10:00:00");
    EXPECT_NE(filed.back(), "at noon");
    const ComposedMessage back = reopenedDraft(filed, {});
    EXPECT_EQ(back.ToLines, secret.ToLines);
    EXPECT_TRUE(back.Encrypt);
    EXPECT_EQ(back.Password, "pw");
    EXPECT_EQ(back.Priority, 0);
    EXPECT_EQ(back.Body, secret.Body);
}

TEST(ReopenedDraft, SavingAReopenedDraftReplacesTheOldOne)
{
    test::TempDir dir;
    TNMailBox store;
    store.MailBoxes = {"m0=New Mail", "m1=Sent", "m2=To Send", "m3=Drafts", "m4=Trash"};
    store.SetMailBoxDirectory(dir.path() + "mailboxe/");
    auto append = [&](const std::string& subject) {
        store.SetCurrentMailBoxNumber(kDraftsMailbox);
        store.Msg_From = "ann@example.net";
        store.Msg_Subject = subject;
        store.Msg_Date = "Wed, 9 Dec 2026 10:00:00";
        store.Msg_Flag = 'U';
        store.Msg_AttachStart = store.Msg_AttachEnd = 0;
        store.Msg_Text = {"To: ann@example.net", "Subject: " + subject, "", "body of " + subject};
        store.AppendMessage();
    };
    append("one");
    append("two");
    append("three");
    const DraftOrigin two{kDraftsMailbox, 2, "ann@example.net", "two", "Wed, 9 Dec 2026 10:00:00",
                          {"To: ann@example.net", "Subject: two", "", "body of two"}};
    auto subjects = [&] {
        Lines out;
        store.SetCurrentMailBoxNumber(kDraftsMailbox);
        for (int n = 1; n <= store.CurrentMailBoxMessages(); ++n) {
            store.SetMsg_Number(n);
            out.push_back(store.Msg_Subject);
        }
        return out;
    };
    // The draft moved up meanwhile: it is found by what it holds, not by its old number.
    store.SetCurrentMailBoxNumber(kDraftsMailbox);
    store.SetMsg_Number(1);
    store.DeleteMessage();
    EXPECT_TRUE(removeReopenedDraft(store, two));
    EXPECT_EQ(subjects(), Lines{"three"});
    // Gone already (deleted or moved by the user): nothing else is touched.
    EXPECT_FALSE(removeReopenedDraft(store, two));
    EXPECT_EQ(subjects(), Lines{"three"});
}

TEST(ComposeRules, CipherWarningNamesTheLinesThatWouldNotComeBack)
{
    EXPECT_EQ(cipherWarning({"plain", "text"}, "pw"), "");
    // A line whose cipher text holds a line break or a byte the escape cannot carry.
    std::string bad;
    for (int a = 1; a < 256 && bad.empty(); ++a)
        for (int b = 32; b < 127 && bad.empty(); ++b) {
            const std::string candidate = {static_cast<char>(b), static_cast<char>(a)};
            if (cipherLineRisk(candidate, "pw") != CipherLineRisk::None)
                bad = candidate;
        }
    ASSERT_FALSE(bad.empty());
    const std::string w = cipherWarning({"plain", bad}, "pw");
    EXPECT_EQ(w.rfind("Line 2 of the message cannot be enciphered", 0), 0u) << w;
}

} // namespace
