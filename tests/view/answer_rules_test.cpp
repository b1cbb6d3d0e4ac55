// Reply, edit and forward from both message windows, written out line by line; the sender taken
// from the stored header; the encoder password never carried; the attachment text helpers.
#include <gtest/gtest.h>

#include "view/answer_rules.h"

namespace tavik {
namespace {

using Lines = std::vector<std::string>;

const Lines kStored = {"Return-Path: <ann@example.org>",
                       "From: Ann Smith <ann@example.org>",
                       "To: Me <me@here>",
                       "Subject: Hello",
                       "",
                       "Dear me,",
                       "",
                       "> earlier",
                       "bye"};

AnswerSource source(bool viewer, bool fullHeaders, Lines text = kStored)
{
    AnswerSource s;
    s.text = std::move(text);
    s.subject = "Hello";
    s.from = "Ann Smith <ann@example.org>";
    s.date = "Wed, 9 Dec 2026 10:00:00";
    s.viewerWindow = viewer;
    s.fullHeaders = fullHeaders;
    return s;
}

TEST(AnswerModes, NamedInAnyLetterCase)
{
    EXPECT_EQ(answerModeOf("reply"), AnswerMode::Reply);
    EXPECT_EQ(answerModeOf("EDIT"), AnswerMode::Edit);
    EXPECT_EQ(answerModeOf("Forward"), AnswerMode::Forward);
    EXPECT_EQ(answerModeOf("fwd"), std::nullopt);
}

TEST(AnswerFromMailboxWindow, HeadersGoUnlessFullHeaders)
{
    AnswerText reply = AnswerMessage(AnswerMode::Reply, source(false, false));
    EXPECT_EQ(reply.SubjectEdt, "Re: Hello");
    EXPECT_EQ(reply.recipient, "ann@example.org|Ann Smith");
    EXPECT_EQ(reply.ToEdt, "Ann Smith <ann@example.org>");
    EXPECT_EQ(reply.Memo1, (Lines{"On Wed, 9 Dec 2026 10:00:00, Ann Smith wrote:", "> Dear me,", "> ", "> > earlier", "> bye"}));

    AnswerText edit = AnswerMessage(AnswerMode::Edit, source(false, false));
    EXPECT_EQ(edit.SubjectEdt, "Hello");
    EXPECT_EQ(edit.recipient, "ann@example.org|Ann Smith");
    EXPECT_EQ(edit.ToEdt, "Ann Smith <ann@example.org>");
    EXPECT_EQ(edit.Memo1, (Lines{"Dear me,", "", "> earlier", "bye"}));

    AnswerText forward = AnswerMessage(AnswerMode::Forward, source(false, false));
    EXPECT_EQ(forward.SubjectEdt, "(Fwd) Hello");
    EXPECT_EQ(forward.recipient, "");
    EXPECT_EQ(forward.ToEdt, "");
    // The header lines stay behind; a block of the original's own tells whose message it is.
    EXPECT_EQ(forward.Memo1, (Lines{"------- Forwarded Message Follows -------", "From: Ann Smith <ann@example.org>",
                                    "Date: Wed, 9 Dec 2026 10:00:00", "To: Me <me@here>", "Subject: Hello", "",
                                    "Dear me,", "", "> earlier", "bye"}));

    AnswerText full = AnswerMessage(AnswerMode::Reply, source(false, true));
    EXPECT_EQ(full.Memo1, (Lines{"On Wed, 9 Dec 2026 10:00:00, Ann Smith wrote:", "> Return-Path: <ann@example.org>", "> From: Ann Smith <ann@example.org>",
                                 "> To: Me <me@here>", "> Subject: Hello", "> ", "> Dear me,", "> ",
                                 "> > earlier", "> bye"}));
}

TEST(AnswerFromViewerWindow, AlwaysTheWholeStoredText)
{
    const Lines whole = {"Return-Path: <ann@example.org>", "From: Ann Smith <ann@example.org>", "To: Me <me@here>",
                         "Subject: Hello", "", "Dear me,", "", "> earlier", "bye"};
    EXPECT_EQ(AnswerMessage(AnswerMode::Edit, source(true, false)).Memo1, whole);
    EXPECT_EQ(AnswerMessage(AnswerMode::Edit, source(true, true)).Memo1, whole);
    EXPECT_EQ(AnswerMessage(AnswerMode::Reply, source(true, false)).Memo1,
              (Lines{"On Wed, 9 Dec 2026 10:00:00, Ann Smith wrote:", "> Return-Path: <ann@example.org>", "> From: Ann Smith <ann@example.org>", "> To: Me <me@here>",
                     "> Subject: Hello", "> ", "> Dear me,", "> ", "> > earlier", "> bye"}));
    AnswerText forward = AnswerMessage(AnswerMode::Forward, source(true, false));
    EXPECT_EQ(forward.SubjectEdt, "(Fwd) Hello");
    EXPECT_EQ(forward.Memo1, (Lines{"------- Forwarded Message Follows -------", "Return-Path: <ann@example.org>",
                                    "From: Ann Smith <ann@example.org>", "To: Me <me@here>", "Subject: Hello", "",
                                    "Dear me,", "", "> earlier", "bye"}));
    AnswerText reply = AnswerMessage(AnswerMode::Reply, source(true, false));
    EXPECT_EQ(reply.SubjectEdt, "Re: Hello");
    EXPECT_EQ(reply.ToEdt, "Ann Smith <ann@example.org>");
}

TEST(AnswerSender, TheStoredFromLineHoldsWhatTheIndexCut)
{
    // The index keeps 80 characters: the closing bracket of a long sender is lost there.
    const std::string longName(70, 'n');
    AnswerSource s = source(false, false, {"From: " + longName + " <someone@example.org>", "", "text"});
    s.from = (longName + " <someone@example.org>").substr(0, 80);
    AnswerText reply = AnswerMessage(AnswerMode::Reply, s);
    EXPECT_EQ(reply.recipient, "someone@example.org|" + longName);
    EXPECT_EQ(reply.ToEdt, longName + " <someone@example.org>");

    // A folded field, any letter case of its name, the last of several; Resent-From is another field.
    EXPECT_EQ(answerSender({"from: first@x", "FROM: \"Bob\"", "\t<bob@x>", "Resent-From: r@x", "", "From: body@x"},
                           "index@x"),
              "\"Bob\"\t<bob@x>");
    EXPECT_EQ(answerSender({"Subject: no sender", "", "From: body@x"}, "index@x"), "index@x");
    EXPECT_EQ(answerSender({"From:   ", ""}, "index@x"), "index@x");

    // A bare address goes to both fields; a parenthesised name is a name.
    s = source(false, false, {"From: bare@example.org", "", "x"});
    AnswerText bare = AnswerMessage(AnswerMode::Edit, s);
    EXPECT_EQ(bare.recipient, "bare@example.org");
    EXPECT_EQ(bare.ToEdt, "bare@example.org");
    s = source(false, false, {"From: paren@example.org (Pat Doe)", "", "x"});
    EXPECT_EQ(AnswerMessage(AnswerMode::Reply, s).recipient, "paren@example.org|Pat Doe");
    // No address at all: no recipient.
    s = source(false, false, {"Subject: x", "", "x"});
    s.from = "";
    EXPECT_EQ(AnswerMessage(AnswerMode::Reply, s).recipient, "");
    EXPECT_EQ(AnswerMessage(AnswerMode::Reply, s).ToEdt, "");
}

TEST(AnswerSubject, AnswersUseTheWholeFields)
{
    // The index keeps 40 characters of the subject and 80 of the sender.
    const std::string subject = "Minutes of the planning meeting held on the third of March";
    const std::string from = "Dr. Annabel Featherstonehaugh-Cholmondeley <annabel.featherstonehaugh@example.org>";
    AnswerSource s = source(false, false, {"From: " + from, "Subject: Minutes of the planning meeting",
                                           " held on the third of March", "", "text"});
    s.subject = subject.substr(0, 40);
    s.from = from.substr(0, 80);
    EXPECT_EQ(AnswerMessage(AnswerMode::Reply, s).SubjectEdt, "Re: " + subject);
    EXPECT_EQ(AnswerMessage(AnswerMode::Forward, s).SubjectEdt, "(Fwd) " + subject);
    const AnswerText edit = AnswerMessage(AnswerMode::Edit, s);
    EXPECT_EQ(edit.SubjectEdt, subject);
    EXPECT_EQ(edit.ToEdt, from);
    EXPECT_EQ(edit.recipient, "annabel.featherstonehaugh@example.org|Dr. Annabel Featherstonehaugh-Cholmondeley");

    // The last Subject line of the header, never one of the body; the index's without one.
    EXPECT_EQ(answerSubject({"subject: first", "SUBJECT: second", "", "Subject: body"}, "index"), "second");
    EXPECT_EQ(answerSubject({"From: a@x", "", "Subject: body"}, "index"), "index");
    EXPECT_EQ(answerSubject({"Subject:  ", ""}, "index"), "index");
    // A line break decoded from an encoded word stays out of the one-line subject field.
    EXPECT_EQ(answerSubject({std::string("Subject: a\r\nb\0c", 15), ""}, ""), "a  b c");
}

TEST(AnswerBody, EncoderPasswordIsNeverCarried)
{
    const Lines stored = {"From: a@x", "X-Encoder: RC4 internal s3cret", "X-Encoder-Verify: True", "",
                          "X-Encoder: RC4 internal in the body stays"};
    EXPECT_EQ(AnswerMessage(AnswerMode::Reply, source(true, false, stored)).Memo1,
              (Lines{"On Wed, 9 Dec 2026 10:00:00, a@x wrote:", "> From: a@x", "> X-Encoder: RC4 internal", "> X-Encoder-Verify: True", "> ",
                     "> X-Encoder: RC4 internal in the body stays"}));
    EXPECT_EQ(AnswerMessage(AnswerMode::Forward, source(false, true, stored)).Memo1,
              (Lines{"------- Forwarded Message Follows -------", "From: a@x", "X-Encoder: RC4 internal",
                     "X-Encoder-Verify: True", "", "X-Encoder: RC4 internal in the body stays"}));
}

TEST(AnswerBody, MessagesWithoutBodyOrHeaders)
{
    // No empty line: all header, so a mailbox window carries nothing.
    EXPECT_EQ(AnswerMessage(AnswerMode::Reply, source(false, false, {"From: a@x", "Subject: y"})).Memo1, Lines{});
    EXPECT_EQ(AnswerMessage(AnswerMode::Forward, source(false, false, {})).Memo1,
              (Lines{"------- Forwarded Message Follows -------"}));
    // Only the first empty line goes with the headers.
    EXPECT_EQ(AnswerMessage(AnswerMode::Reply, source(false, false, {"", "", "x"})).Memo1,
              (Lines{"On Wed, 9 Dec 2026 10:00:00, Ann Smith wrote:", "> ", "> x"}));
}

TEST(AnswerRecipients, AReplyToAllTakesReplyToAndTheOthersLessTheUserOnce)
{
    const Lines stored = {"From: Ann Smith <ann@example.org>",
                          "Reply-To: \"Lists, The\" <list@example.org>",
                          "To: Me <ME@here.org>, Bob <bob@example.org>,",
                          " undisclosed-recipients:;",
                          "Cc: ann@EXAMPLE.org, \"Carol C\" <carol@example.org>, bob@example.org",
                          "Subject: Plans",
                          "",
                          "text"};
    AnswerSource s = source(false, false, stored);
    s.ownAddresses = {"me@here.org", ""};
    const AnswerText all = AnswerMessage(AnswerMode::ReplyAll, s);
    EXPECT_EQ(all.recipient, "list@example.org|Lists, The");
    EXPECT_EQ(all.ToEdt, "Lists, The <list@example.org>");
    EXPECT_EQ(all.moreTo, Lines{"Bob <bob@example.org>"});
    EXPECT_EQ(all.cc, (Lines{"ann@EXAMPLE.org", "Carol C <carol@example.org>"}));
    EXPECT_EQ(all.SubjectEdt, "Re: Plans");

    // A plain reply answers the Reply-To alone.
    const AnswerText one = AnswerMessage(AnswerMode::Reply, s);
    EXPECT_EQ(one.ToEdt, "Lists, The <list@example.org>");
    EXPECT_TRUE(one.moreTo.empty() && one.cc.empty());

    // Without Reply-To the sender is answered, and named once whatever the letter case.
    Lines noReplyTo = stored;
    noReplyTo.erase(noReplyTo.begin() + 1);
    s = source(false, false, noReplyTo);
    s.ownAddresses = {"me@here.org"};
    const AnswerText toSender = AnswerMessage(AnswerMode::ReplyAll, s);
    EXPECT_EQ(toSender.ToEdt, "Ann Smith <ann@example.org>");
    EXPECT_EQ(toSender.moreTo, Lines{"Bob <bob@example.org>"});
    EXPECT_EQ(toSender.cc, Lines{"Carol C <carol@example.org>"});

    // Answering all of one's own message goes to its recipients.
    s = source(false, false, {"From: Me <me@here.org>", "To: bob@example.org", "Cc: Me <me@here.org>", "", "x"});
    s.ownAddresses = {"me@here.org"};
    const AnswerText own = AnswerMessage(AnswerMode::ReplyAll, s);
    EXPECT_EQ(own.ToEdt, "bob@example.org");
    EXPECT_TRUE(own.moreTo.empty() && own.cc.empty());

    EXPECT_EQ(addressListEntries("\"Smith, Ann\" <a@x>, b@y (Bob, B) ,, <c,d@z>"),
              (Lines{"\"Smith, Ann\" <a@x>", "b@y (Bob, B)", "<c,d@z>"}));
}

TEST(AnswerBody, TheAttributionLineNamesTheDateAndTheSender)
{
    AnswerSource s = source(false, false, {"From: \"Ann Smith\" <ann@example.org>", "Date:  Tue, 8 Dec 2026 09:15:02 +0100",
                                           "", "hi"});
    EXPECT_EQ(AnswerMessage(AnswerMode::Reply, s).Memo1,
              (Lines{"On Tue, 8 Dec 2026 09:15:02 +0100, Ann Smith wrote:", "> hi"}));
    EXPECT_EQ(attributionLine("", "bare@example.org"), "bare@example.org wrote:");
    EXPECT_EQ(attributionLine("Mon, 7 Dec 2026", "pat@example.org (Pat Doe)"), "On Mon, 7 Dec 2026, Pat Doe wrote:");
}

TEST(AnswerSubject, ReAndFwdAreNotPiledUp)
{
    for (const char* kept : {"Re: x", "RE: x", "re:x", "Aw: x", "Re[2]: x", "Re^3: x", "  Re: x"})
        EXPECT_EQ(replySubject(kept), kept);
    EXPECT_EQ(replySubject("Regarding x"), "Re: Regarding x");
    EXPECT_EQ(replySubject("Re[a]: x"), "Re: Re[a]: x");
    EXPECT_EQ(replySubject(""), "Re: ");
    for (const char* kept : {"(Fwd) x", "(FWD) x", "Fwd: x", "FW: x"})
        EXPECT_EQ(forwardSubject(kept), kept);
    EXPECT_EQ(forwardSubject("Re: x"), "(Fwd) Re: x");
    EXPECT_EQ(AnswerMessage(AnswerMode::ReplyAll, source(false, false, {"Subject: RE: Hello", "", "x"})).SubjectEdt,
              "RE: Hello");
    EXPECT_EQ(answerModeOf("ReplyAll"), AnswerMode::ReplyAll);
}

TEST(AttachmentText, StripTags)
{
    EXPECT_EQ(StripTags("<p>Hello <b>you</b></p>"), "Hello you");
    EXPECT_EQ(StripTags("a < b and c"), "a ");
    EXPECT_EQ(StripTags("x > y <i>z"), "x > y z");
    EXPECT_EQ(StripTags("<<a>b>c"), "b>c");
    EXPECT_EQ(StripTags(""), "");
}

TEST(AttachmentText, FileNamePartIsOnePathComponent)
{
    EXPECT_EQ(attachmentFileNamePart("../../.bashrc"), ".bashrc");
    EXPECT_EQ(attachmentFileNamePart("C:\\Users\\x\\photo.jpg"), "photo.jpg");
    EXPECT_EQ(attachmentFileNamePart("dir/"), "noname");
    EXPECT_EQ(attachmentFileNamePart(".."), "noname");
    EXPECT_EQ(attachmentFileNamePart("a/."), "noname");
    EXPECT_EQ(attachmentFileNamePart("", "noname.gif"), "noname.gif");
    EXPECT_EQ(attachmentFileNamePart("tab\there"), "tab_here");
}

TEST(AttachmentText, FileLines)
{
    EXPECT_EQ(textFileLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
    EXPECT_EQ(textFileLines("a\r\n\r\n"), (Lines{"a", ""}));
    EXPECT_EQ(textFileLines(""), Lines{});
    EXPECT_EQ(textFileLines(std::string("x\0y\n", 4)), (Lines{std::string("x\0y", 3)}));
}

} // namespace
// A reply names the message it answers, so every reader threads it under the original.
TEST(AnswerRules, AReplyCarriesInReplyToAndReferences)
{
    Lines text = kStored;
    text.insert(text.begin() + 3, {"Message-ID:", " <m2@example.org>", "References: <m0@example.org>", "  <m1@example.org> x"});
    const AnswerText reply = AnswerMessage(AnswerMode::Reply, source(false, false, text));
    EXPECT_EQ(reply.inReplyTo, "<m2@example.org>");
    EXPECT_EQ(reply.references, "<m0@example.org> <m1@example.org> <m2@example.org>");
    for (AnswerMode other : {AnswerMode::Edit, AnswerMode::Forward})
        EXPECT_TRUE(AnswerMessage(other, source(false, false, text)).references.empty());

    // Without References, a single In-Reply-To stands for the chain; without an id, nothing.
    text = kStored;
    text.insert(text.begin() + 3, {"In-Reply-To: <m1@example.org>", "Message-Id: <m2@example.org>"});
    EXPECT_EQ(AnswerMessage(AnswerMode::Reply, source(false, false, text)).references,
              "<m1@example.org> <m2@example.org>");
    text = kStored;
    text.insert(text.begin() + 3, "Message-ID: <no id>\r\nBcc: x");
    const AnswerText bare = AnswerMessage(AnswerMode::Reply, source(false, false, text));
    EXPECT_TRUE(bare.inReplyTo.empty());
    EXPECT_TRUE(bare.references.empty());
}

} // namespace tavik

TEST(AnswerRules, ALineBreakInTheSenderNeverAddsARecipient)
{
    tavik::AnswerSource source;
    source.text = {"Subject: x", "", "body"};
    source.from = "Ann <ann@example.org>\r\nbob@evil.example";
    const tavik::AnswerText reply = tavik::AnswerMessage(tavik::AnswerMode::Reply, source);
    EXPECT_EQ(reply.ToEdt.find_first_of("\r\n"), std::string::npos) << reply.ToEdt;
}
