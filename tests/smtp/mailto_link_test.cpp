// mailto: links read as a composition window is filled from them.
#include <gtest/gtest.h>

#include "smtp/mailto_link.h"

using namespace tavik;

TEST(MailtoLink, FieldsAreDecodedToUtf8AndAddressesGatheredFromPathAndFields)
{
    const auto link = parseMailtoLink("MAILTO:ann@example.org,%22Bob%2C%20B%22%20%3Cbob@example.org%3E"
                                      "?subject=Gr%C3%BC%C3%9Fe+aus%20K%C3%B6ln&CC=carl@example.org"
                                      "&to=dora@example.org&bcc=eve@example.org&cc=fay@example.org"
                                      "&body=Line%20one%0D%0ALine%20two%0Athree&subject=second");
    ASSERT_TRUE(link);
    using Lines = std::vector<std::string>;
    EXPECT_EQ(link->to, (Lines{"ann@example.org", "\"Bob, B\" <bob@example.org>", "dora@example.org"}));
    EXPECT_EQ(link->cc, (Lines{"carl@example.org", "fay@example.org"}));
    EXPECT_EQ(link->bcc, Lines{"eve@example.org"});
    EXPECT_EQ(link->subject, "Gr\xc3\xbc\xc3\x9f" "e+aus K\xc3\xb6ln"); // "+" is no blank in mailto:
    EXPECT_EQ(link->body, "Line one\nLine two\nthree\n");
}

TEST(MailtoLink, ALinkCannotAttachFilesOrWriteHeadersOfItsOwn)
{
    const auto link = parseMailtoLink("mailto:ann@example.org%0D%0ABcc:%20spy@evil.example"
                                      "?attach=/home/u/.ssh/id_rsa&Attachment=%2Fetc%2Fshadow&from=boss@example.org"
                                      "&subject=Hi%0D%0AX-Evil:%201&in-reply-to=%3Cx@y%3E&body=%00ok");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->to, std::vector<std::string>{"ann@example.org  Bcc: spy@evil.example"});
    EXPECT_EQ(link->subject, "Hi  X-Evil: 1");
    EXPECT_TRUE(link->cc.empty());
    EXPECT_TRUE(link->bcc.empty());
    EXPECT_EQ(link->body, "ok\n");
}

TEST(MailtoLink, BrokenEscapesAndForeignBytesAndOtherSchemesAreHandled)
{
    auto link = parseMailtoLink("mailto:?subject=100%&body=%zz%4");
    ASSERT_TRUE(link);
    EXPECT_TRUE(link->to.empty());
    EXPECT_EQ(link->subject, "100%");
    EXPECT_EQ(link->body, "%zz%4\n");
    link = parseMailtoLink("mailto:x@example.org?subject=caf%E9&body");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->subject, "caf\xc3\xa9"); // not UTF-8: read as Windows-1252
    EXPECT_EQ(link->body, "");
    EXPECT_FALSE(parseMailtoLink("http://example.org/?to=x@example.org"));
    EXPECT_FALSE(parseMailtoLink("mailto"));
    EXPECT_EQ(parseMailtoLink(std::string("mailto:a@b?body=") + std::string(3'000'000, 'x'))->body.size(),
              1024u * 1024u + 1u);
}
