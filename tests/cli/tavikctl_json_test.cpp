// tavikctl's output for scripts (--format json): exact bytes for one message, and every line
// read back by Python's json module.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <sys/wait.h>

#include "cli/json_output.h"
#include "cli/tavikctl.h"
#include "pop3/attachment_store.h"
#include "profile/settings.h"
#include "store/mailbox_store.h"
#include "support/test_support.h"

using namespace tavik;
using tavik::test::TempDir;

namespace {

struct JsonRun {
    int status;
    std::string out, err;
};

struct JsonOutput : ::testing::Test {
    TempDir home;

    JsonRun run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--home", home.path()});
        std::ostringstream out, err;
        int status = tavikctlMain(args, out, err, TavikctlEnvironment());
        return {status, out.str(), err.str()};
    }

    // One message in New Mail whose fields are longer than the table's columns and the index's
    // room, with a quote, a backslash, a tab and an accent in its subject, an old 8-bit byte in
    // its header, and one attachment whose path is not UTF-8.
    void prepare()
    {
        ProfileSettings settings;
        MailboxList list;
        LoadSettings(home.path(), home.path(), settings, list);
        TAttachmentManager attachments;
        attachments.SetAttachmentDirectory(home.path() + "attach/");
        TMIMEAttachment a;
        a.FileName = "r\xc3\xa9sum\xc3\xa9.pdf";
        a.ContentType = "application/pdf";
        a.Size = 5;
        a.Location = "/srv/r\xe9sum\xe9.pdf";
        ASSERT_EQ(attachments.RegisterAttachment(a), 1);
        TNMailBox store;
        store.MailBoxes = list;
        store.SetMailBoxDirectory(home.path() + "mailboxe/");
        store.SetCurrentMailBoxNumber(1);
        store.Msg_From = "Ann Long-Name-Sender <ann.long.name@example.org>";
        store.Msg_To = "me@here";
        store.Msg_Subject = "\"Caf\xc3\xa9\"\t\\ 100%";
        store.Msg_Date = "Wed, 9 Dec 2026 10:00:00";
        store.Msg_Flag = 'U';
        store.Msg_AttachStart = 1;
        store.Msg_AttachEnd = 1;
        store.Msg_Text = {"From: Ann Long-Name-Sender <ann.long.name@example.org>",
                          "To: me@here",
                          "To: Bob <bob@example.org>",
                          "cc: carol@example.org",
                          "Date: Wed, 9 Dec 2026 10:00:00 +0100",
                          "Subject: A subject longer than the forty bytes of the index, \xe9t\xe9",
                          "",
                          "line one",
                          "\ttab \x1b[31m"};
        store.AppendMessage();
    }
};

// True when Python's json module reads every line of `lines` as one object, in strict UTF-8.
bool pythonReadsJsonLines(const TempDir& dir, const std::string& lines)
{
    const std::string file = dir.path() + "lines.json";
    test::writeBytes(file, lines);
    const std::string command = "/usr/bin/python3 -c 'import json, sys\n"
                                "lines = open(sys.argv[1], encoding=\"utf-8\", newline=\"\").read().split(\"\\n\")\n"
                                "assert lines.pop() == \"\" and lines\n"
                                "assert all(isinstance(json.loads(l), dict) for l in lines)' " +
                                file;
    const int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

TEST(JsonWriter, StringsAreEscapedAndAlwaysValidUtf8)
{
    EXPECT_EQ(jsonString("a\"b\\c\td\ne\r\x01\x1b\x7f"), "\"a\\\"b\\\\c\\td\\ne\\r\\u0001\\u001B\\u007F\"");
    // UTF-8 passes, C1 controls are escaped, each stray or cut byte becomes U+FFFD.
    EXPECT_EQ(jsonString("\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xa7\xc2\x9b"), "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xa7\\u009B\"");
    EXPECT_EQ(jsonString("\xff" "a\xc3" "b\xed\xa0\x80\xe2\x82"),
              "\"\xef\xbf\xbd" "a\xef\xbf\xbd" "b\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");
    EXPECT_EQ(JsonObject().number("n", -3).text("s", "").json("a", jsonArray({"1", "2"})).str(),
              "{\"n\":-3,\"s\":\"\",\"a\":[1,2]}");
}

TEST(JsonWriter, MailDatesInIso8601)
{
    EXPECT_EQ(isoDate("Wed, 9 Dec 2026 10:00:00"), "2026-12-09T10:00:00");
    EXPECT_EQ(isoDate("9 dec 2026 07:05 -0530 (EST)"), "2026-12-09T07:05:00-05:30");
    EXPECT_EQ(isoDate("Thu, 01 Jan 1970 00:00:00 GMT"), "1970-01-01T00:00:00Z");
    for (const char* notADate : {"", "yesterday", "Wed, 9 Dec 26 10:00:00", "32 Dec 2026 10:00", "9 Dec 2026 10:00 +01",
                                 "9 Dec 2026 25:00", "9 Dec 2026 10:00:00 tomorrow"})
        EXPECT_EQ(isoDate(notADate), "") << notADate;
}

TEST_F(JsonOutput, ScriptsGetWholeFieldsWhereTheTableCutsThem)
{
    prepare();
    const std::string from = "\"from\":\"Ann Long-Name-Sender <ann.long.name@example.org>\"";
    const std::string subject = "\"subject\":\"\\\"Caf\xc3\xa9\\\"\\t\\\\ 100%\"";
    // 9 lines of 54 + 11 + 25 + 21 + 36 + 64 + 0 + 8 + 10 bytes, each with CR LF, and a NUL.
    const std::string size = "\"size\":248";

    JsonRun list = run({"list", "1", "--format", "json"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "{\"number\":1,\"flag\":\"U\",\"status\":\"unread\"," + from + ",\"to\":\"me@here\"," + subject +
                            ",\"date\":\"Wed, 9 Dec 2026 10:00:00\",\"date_iso\":\"2026-12-09T10:00:00\"," + size +
                            ",\"attachments\":[1]}\n");

    JsonRun show = run({"show", "--format=json", "1", "1"});
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_EQ(show.out, "{\"number\":1,\"mailbox\":1," + from +
                            ",\"to\":\"me@here, Bob <bob@example.org>\",\"cc\":\"carol@example.org\","
                            "\"date\":\"Wed, 9 Dec 2026 10:00:00 +0100\",\"date_iso\":\"2026-12-09T10:00:00+01:00\","
                            "\"subject\":\"A subject longer than the forty bytes of the index, \xc3\xa9t\xc3\xa9\","
                            "\"flag\":\"U\",\"status\":\"unread\"," +
                            size + ",\"text\":\"line one\\n\\ttab \\u001B[31m\\n\",\"attachments\":[{\"number\":1,"
                                   "\"name\":\"r\xc3\xa9sum\xc3\xa9.pdf\",\"type\":\"application/pdf\",\"size\":5,"
                                   "\"path\":\"/srv/r\xef\xbf\xbdsum\xef\xbf\xbd.pdf\"}]}\n");
    EXPECT_EQ(show.err, "");

    JsonRun search = run({"search", "caf", "--format", "json"});
    ASSERT_EQ(search.status, 0) << search.err;
    EXPECT_EQ(search.out, "{\"mailbox\":1,\"message\":1," + from + "," + subject + "}\n");
    JsonRun none = run({"search", "--format", "json", "nowhere"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");

    JsonRun boxes = run({"mailboxes", "--format", "json"});
    ASSERT_EQ(boxes.status, 0) << boxes.err;
    EXPECT_EQ(boxes.out.substr(0, boxes.out.find('\n') + 1),
              "{\"number\":1,\"key\":\"m0\",\"name\":\"New Mail\",\"messages\":1,\"unread\":1,\"size\":248,\"trash\":0}\n");
    EXPECT_EQ(std::count(boxes.out.begin(), boxes.out.end(), '\n'), 5);

    TempDir scratch;
    for (const JsonRun* r : {&list, &show, &search, &boxes})
        EXPECT_TRUE(pythonReadsJsonLines(scratch, r->out)) << r->out;
}

TEST_F(JsonOutput, SettingsAsJsonKeepThePasswordsMasked)
{
    ASSERT_EQ(run({"set", "Password=s3cret", "SmtpPassword=smtp-pw", "Name=Andr\xc3\xa9"}).status, 0);
    JsonRun settings = run({"settings", "--format", "json"});
    ASSERT_EQ(settings.status, 0) << settings.err;
    EXPECT_EQ(settings.out.rfind("{\"Name\":\"Andr\xc3\xa9\",", 0), 0u) << settings.out;
    EXPECT_NE(settings.out.find(",\"Password\":\"********\","), std::string::npos);
    EXPECT_NE(settings.out.find(",\"SmtpPassword\":\"********\""), std::string::npos);
    for (const std::string& secret : {std::string("s3cret"), std::string("smtp-pw"), ScramblePassword("s3cret"),
                                      ScramblePassword("smtp-pw")})
        EXPECT_EQ(settings.out.find(secret), std::string::npos) << secret;
    TempDir scratch;
    EXPECT_TRUE(pythonReadsJsonLines(scratch, settings.out)) << settings.out;
}

TEST_F(JsonOutput, AnUnknownFormatIsAUsageError)
{
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"list", "1", "--format", "xml"}, {"mailboxes", "--format"}, {"settings", "--format="},
             {"show", "--raw", "--format", "json", "1", "1"}, {"compress", "--format", "json"}}) {
        JsonRun r = run(bad);
        EXPECT_EQ(r.status, 2) << bad[1];
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(run({"mailboxes", "--format", "table"}).out, run({"mailboxes"}).out);
}
