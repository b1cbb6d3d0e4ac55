#include "pop3/mime_decoders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavik {
namespace {

// base64 of the bytes 0 to 255, lines of 76 characters as a mailer writes them.
const char* kAllBytes76 =
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\n"
    "OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3Bx\r\n"
    "cnN0dXZ3eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmq\r\n"
    "q6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj\r\n"
    "5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w==\r\n";

std::string allBytes()
{
    std::string s;
    for (int i = 0; i < 256; ++i)
        s.push_back(static_cast<char>(i));
    return s;
}

// Feeds `text` to one decoder in pieces cut at the given positions.
std::string decodeInPieces(const std::string& text, const std::vector<std::size_t>& cuts)
{
    Base64Decoder d;
    std::string out;
    std::size_t from = 0;
    auto piece = [&](std::size_t to) {
        std::string buf(Base64Decoder::maxOutput(to - from), '\0');
        out.append(buf.data(), d.decode(text.data() + from, to - from, buf.data()));
        from = to;
    };
    for (std::size_t c : cuts)
        piece(c);
    piece(text.size());
    char tail[2];
    out.append(tail, d.finish(tail));
    return out;
}

TEST(Base64, DecodesTheStandardVectorsAndEveryByteValue)
{
    EXPECT_EQ(decodeBase64(""), "");
    EXPECT_EQ(decodeBase64("Zg=="), "f");
    EXPECT_EQ(decodeBase64("Zm8="), "fo");
    EXPECT_EQ(decodeBase64("Zm9v"), "foo");
    EXPECT_EQ(decodeBase64("Zm9vYg=="), "foob");
    EXPECT_EQ(decodeBase64("Zm9vYmE="), "fooba");
    EXPECT_EQ(decodeBase64("Zm9vYmFy"), "foobar");
    EXPECT_EQ(decodeBase64(kAllBytes76), allBytes());
}

TEST(Base64, ALineOf76CharactersGives57Bytes)
{
    std::string line(76, 'A');
    EXPECT_EQ(decodeBase64(line).size(), 57u);
    EXPECT_EQ(decodeBase64("QQ==").size(), 1u); // two padding marks: one byte
    EXPECT_EQ(decodeBase64("QUI=").size(), 2u); // one padding mark: two bytes
}

TEST(Base64, CarriesAnUnfinishedGroupToTheNextPiece)
{
    std::string text = kAllBytes76;
    // Every single cut point, and cuts after every character.
    for (std::size_t c = 0; c <= text.size(); ++c)
        ASSERT_EQ(decodeInPieces(text, {c}), allBytes()) << "cut at " << c;
    std::vector<std::size_t> everyChar;
    for (std::size_t c = 1; c < text.size(); ++c)
        everyChar.push_back(c);
    EXPECT_EQ(decodeInPieces(text, everyChar), allBytes());
}

TEST(Base64, SkipsCharactersOutsideTheAlphabet)
{
    EXPECT_EQ(decodeBase64("Zm9v YmFy\r"), "foobar");
    EXPECT_EQ(decodeBase64(" Z m 9 v\tY*m#F-y "), "foobar");
    EXPECT_EQ(decodeBase64("\xff\x80Zm9v"), "foo");
}

TEST(Base64, EndsAnUnpaddedTailAndGoesOnAfterPadding)
{
    EXPECT_EQ(decodeBase64("Zm9vYg"), "foob");  // two characters left: one byte
    EXPECT_EQ(decodeBase64("Zm9vYmE"), "fooba"); // three: two bytes
    EXPECT_EQ(decodeBase64("Zm9vY"), "foo");     // one alone says nothing
    EXPECT_EQ(decodeBase64("Zg==Zm8="), "ffo");  // two encoded texts one after the other
    EXPECT_EQ(decodeBase64("===="), "");
    EXPECT_EQ(decodeBase64("Z=g="), "");         // padding too early drops the broken group
}

TEST(QuotedPrintable, DecodesEscapesInEitherCaseAndKeepsBrokenOnes)
{
    std::string out;
    EXPECT_FALSE(decodeQuotedPrintableLine("Caf=E9 cr=e8me", out));
    EXPECT_EQ(out, "Caf\xe9 cr\xe8me");
    out.clear();
    EXPECT_FALSE(decodeQuotedPrintableLine("a=3Db =G1 =4", out));
    EXPECT_EQ(out, "a=b =G1 =4");
    out.clear();
    EXPECT_FALSE(decodeQuotedPrintableLine("trailing blanks stay  ", out));
    EXPECT_EQ(out, "trailing blanks stay  ");
    out.clear();
    EXPECT_FALSE(decodeQuotedPrintableLine("=0D=0A=00", out));
    EXPECT_EQ(out, std::string("\r\n\0", 3));
}

TEST(QuotedPrintable, RecognisesSoftLineBreaksAlsoWithBlanksAfterThem)
{
    std::string out;
    EXPECT_TRUE(decodeQuotedPrintableLine("abc=", out));
    EXPECT_EQ(out, "abc");
    out.clear();
    EXPECT_TRUE(decodeQuotedPrintableLine("abc= \t", out));
    EXPECT_EQ(out, "abc");
    out.clear();
    EXPECT_TRUE(decodeQuotedPrintableLine("=", out));
    EXPECT_EQ(out, "");
    out.clear();
    EXPECT_TRUE(decodeQuotedPrintableLine("x=3D=", out));
    EXPECT_EQ(out, "x=");
}

TEST(QuotedPrintable, TheCarryJoinsSoftBrokenLines)
{
    QuotedPrintableDecoder d;
    std::string out = "untouched";
    EXPECT_FALSE(d.decodeLine("Caf=", out));
    EXPECT_FALSE(d.decodeLine("=E9 au=", out));
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(d.carrySize(), 7u);
    EXPECT_TRUE(d.decodeLine(" lait", out));
    EXPECT_EQ(out, "Caf\xe9 au lait");
    EXPECT_EQ(d.carrySize(), 0u);
    EXPECT_TRUE(d.decodeLine("next", out));
    EXPECT_EQ(out, "next");
    EXPECT_FALSE(d.decodeLine("held=", out));
    EXPECT_EQ(d.takeCarry(), "held");
    EXPECT_EQ(d.carrySize(), 0u);
}

TEST(Charsets, EncodedWordsAndRawHeaderBytesBecomeUtf8)
{
    EXPECT_EQ(DecodeWords("=?UTF-8?B?zqnOvM6tzrPOsQ==?= =?koi8-r?Q?=F0=D2=C9=D7=C5=D4?="), "\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");
    EXPECT_EQ(DecodeWords("=?ISO-2022-JP?B?GyRCJEskTyQkGyhC?="), "\xe3\x81\xab\xe3\x81\xaf\xe3\x81\x84");
    EXPECT_EQ(DecodeWords("=?windows-1252?Q?=80?= 5"), "\xe2\x82\xac 5");
    // Raw 8-bit bytes: kept when UTF-8, read as Windows-1252 when not, piece by piece.
    EXPECT_EQ(DecodeWords("Gr\xc3\xbc\xc3\x9f" "e =?utf-8?q?=E2=82=AC?= Caf\xe9"), "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac Caf\xc3\xa9");
    // An unknown label: the bytes by the same rule, never "?".
    EXPECT_EQ(DecodeWords("=?x-unknown?Q?caf=E9?="), "caf\xc3\xa9");
    std::string name;
    ASSERT_TRUE(ParamValue("attachment; filename*=iso-8859-2''%BF%F3%B3w.txt", "filename", name));
    EXPECT_EQ(name, "\xc5\xbc\xc3\xb3\xc5\x82w.txt");
}

TEST(EncodedWords, QWordsDecodeWithUnderscoreAndHexInEitherCase)
{
    EXPECT_EQ(DecodeWords("=?iso-8859-1?Q?Caf=E9_au_lait?="), "Caf\xc3\xa9 au lait");
    EXPECT_EQ(DecodeWords("=?ISO-8859-1?q?caf=e9?="), "caf\xc3\xa9");
    EXPECT_EQ(DecodeWords("=?iso-8859-1?Q?a=3Fb=3D_=?="), "a?b= =");
}

TEST(EncodedWords, BWordsDecodeToo)
{
    // The same word as the Q example, in B encoding.
    EXPECT_EQ(DecodeWords("=?iso-8859-1?B?Q2Fm6SBhdSBsYWl0?="), "Caf\xc3\xa9 au lait");
    EXPECT_EQ(DecodeWords("Re: =?utf-8?b?R3LDvMOfZQ==?= !"), "Re: Gr\xc3\xbc\xc3\x9f" "e !");
}

TEST(EncodedWords, EachWordOnItsOwnAndBlanksBetweenWordsDropped)
{
    EXPECT_EQ(DecodeWords("=?utf-8?q?a?= =?utf-8?q?b?=  \t =?iso-8859-1?b?Yw==?="), "abc");
    EXPECT_EQ(DecodeWords("=?utf-8?q?a?= and =?utf-8?q?b?="), "a and b");
    EXPECT_EQ(DecodeWords("=?utf-8?q?a?==?utf-8?q?b?="), "ab");
    // Different charsets in one line, each converted on its own.
    EXPECT_EQ(DecodeWords("=?utf-8?q?=C3=A9?= =?iso-8859-1?q?=E9?="), "\xc3\xa9\xc3\xa9");
    EXPECT_EQ(DecodeWords("=?utf-8*en?q?=C3=A9t=C3=A9?="), "\xc3\xa9t\xc3\xa9");
}

TEST(EncodedWords, TextOutsideWordsIsKeptAsStoredText)
{
    EXPECT_EQ(DecodeWords("plain text, 8-bit \xe9 too"), "plain text, 8-bit \xc3\xa9 too");
    EXPECT_EQ(DecodeWords("[list] =?utf-8?q?x?= (tag)"), "[list] x (tag)");
    EXPECT_EQ(DecodeWords("a =? b"), "a =? b");
    EXPECT_EQ(DecodeWords("a ?= b =?"), "a ?= b =?");
    EXPECT_EQ(DecodeWords("=?utf-8?x?abc?="), "=?utf-8?x?abc?=");
    EXPECT_EQ(DecodeWords("=?utf-8?q?unterminated"), "=?utf-8?q?unterminated");
    EXPECT_EQ(DecodeWords("=??q?empty charset?="), "=??q?empty charset?=");
    // A broken word does not swallow a good one after it.
    EXPECT_EQ(DecodeWords("=?bad =?utf-8?q?ok?="), "=?bad ok");
}

TEST(EncodedWords, NeverGiveCarriageReturnLineFeedOrNul)
{
    EXPECT_EQ(DecodeWords("=?utf-8?q?a=0D=0Ab=00c?="), "a  b c");
    EXPECT_EQ(DecodeWords("=?utf-8?b?YQ0KYgBj?="), "a  b c");
    EXPECT_EQ(DecodeWords(std::string("raw\0nul", 7)), "raw nul");
}

TEST(EncodedWords, ALineFullOfUnfinishedWordsIsReturnedWhole)
{
    // No "?=" anywhere: every "=?" starts a word that never ends.
    std::string s;
    while (s.size() < 64 * 1024)
        s += "=?x?q?a ";
    EXPECT_TRUE(DecodeWords(s) == s);
}

TEST(HeaderFields, SplitAtTheColon)
{
    std::string_view name, value;
    ASSERT_TRUE(splitHeaderField("Subject:  hello ", name, value));
    EXPECT_EQ(name, "Subject");
    EXPECT_EQ(value, "hello ");
    ASSERT_TRUE(splitHeaderField("X-Old-Style : v", name, value));
    EXPECT_EQ(name, "X-Old-Style");
    EXPECT_FALSE(splitHeaderField(" continued: line", name, value));
    EXPECT_FALSE(splitHeaderField("no colon here", name, value));
    EXPECT_FALSE(splitHeaderField(": empty name", name, value));
    EXPECT_FALSE(splitHeaderField("two words: x", name, value));
}

TEST(HeaderFields, HeaderValueMatchesTheNameIgnoringCase)
{
    std::string v = "unchanged";
    EXPECT_FALSE(HeaderValue("Subjects: x", "Subject: ", v));
    EXPECT_FALSE(HeaderValue("X-Subject: x", "Subject: ", v));
    EXPECT_EQ(v, "unchanged");
    EXPECT_TRUE(HeaderValue("SUBJECT: =?utf-8?q?caf=C3=A9?=", "Subject: ", v));
    EXPECT_EQ(v, "caf\xc3\xa9");
    EXPECT_TRUE(HeaderValue("subject:no blank", "Subject: ", v));
    EXPECT_EQ(v, "no blank");
    EXPECT_TRUE(HeaderValue("X-UIDL: abc", "X-UIDL: ", v));
    EXPECT_EQ(v, "abc");
}

TEST(Parameters, QuotedAndUnquotedValues)
{
    std::string v;
    EXPECT_TRUE(ParamValue("multipart/mixed; boundary=\"a b;c\"", "boundary", v));
    EXPECT_EQ(v, "a b;c");
    EXPECT_TRUE(ParamValue("multipart/mixed; boundary=simple-token ; x=y", "BOUNDARY", v));
    EXPECT_EQ(v, "simple-token");
    EXPECT_TRUE(ParamValue("attachment;filename=\"say \\\"hi\\\".txt\"", "filename", v));
    EXPECT_EQ(v, "say \"hi\".txt");
    EXPECT_TRUE(ParamValue("attachment; filename=\"C:\\dir\\x.exe\"", "filename", v));
    EXPECT_EQ(v, "C:\\dir\\x.exe");
    EXPECT_TRUE(ParamValue("attachment; FileName = \"spaced.txt\" (comment)", "filename", v));
    EXPECT_EQ(v, "spaced.txt");
    EXPECT_TRUE(ParamValue("attachment; filename=\"unterminated", "filename", v));
    EXPECT_EQ(v, "unterminated");
    EXPECT_TRUE(ParamValue(" boundary=\"on-a-continuation-line\"", "boundary", v));
    EXPECT_EQ(v, "on-a-continuation-line");
    EXPECT_TRUE(ParamValue("x; a=1; a=2", "a", v));
    EXPECT_EQ(v, "1");
}

TEST(Parameters, ANameIsMatchedWholeNotInsideAnother)
{
    std::string v = "old";
    EXPECT_FALSE(ParamValue("attachment; filename=\"f.txt\"", "name", v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(ParamValue("text/plain", "charset", v));
    EXPECT_TRUE(ParamValue("application/pdf; name=\"n.pdf\"; filename=\"f.pdf\"", "name", v));
    EXPECT_EQ(v, "n.pdf");
}

TEST(Parameters, Rfc2231ExtendedAndContinuedValues)
{
    std::string v;
    EXPECT_TRUE(ParamValue("attachment; filename*=utf-8''donn%C3%A9es.dat", "filename", v));
    EXPECT_EQ(v, "donn\xc3\xa9" "es.dat");
    EXPECT_TRUE(ParamValue("attachment; filename*=iso-8859-1'fr'caf%E9%2etxt", "filename", v));
    EXPECT_EQ(v, "caf\xc3\xa9.txt");
    // Continuations arrive in any order; encoded and plain sections mix.
    EXPECT_TRUE(ParamValue("attachment; filename*1*=%20tr%C3%A8s.pdf; filename*0*=utf-8''r%C3%A9sum%C3%A9;"
                           " filename*2=\" v2\"",
                           "filename", v));
    EXPECT_EQ(v, "r\xc3\xa9sum\xc3\xa9 tr\xc3\xa8s.pdf v2");
    // The extended form wins over the plain one.
    EXPECT_TRUE(ParamValue("attachment; filename=\"plain.txt\"; filename*=utf-8''ext.txt", "filename", v));
    EXPECT_EQ(v, "ext.txt");
    // Sections without a first one fall back to the plain value.
    EXPECT_TRUE(ParamValue("attachment; filename=\"plain.txt\"; filename*1=x", "filename", v));
    EXPECT_EQ(v, "plain.txt");
    // Broken percent escapes stay as they are.
    EXPECT_TRUE(ParamValue("a; n*=''100%-%zz", "n", v));
    EXPECT_EQ(v, "100%-%zz");
}

} // namespace
} // namespace tavik
