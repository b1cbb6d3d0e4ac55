#include "smtp/mime_encoders.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pop3/mime_decoders.h"
#include "text/unicode_text.h"

using namespace tavik;

namespace {

std::string bytesOf(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen() & 255);
    return s;
}

std::string repeat(std::string_view piece, int times)
{
    std::string s;
    for (int i = 0; i < times; ++i)
        s += piece;
    return s;
}

// Bit by bit, as RFC 4648 describes it: an independent check of the table-driven encoder.
std::string referenceBase64(const std::string& in)
{
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bits;
    for (unsigned char c : in)
        for (int b = 7; b >= 0; --b)
            bits += (c >> b & 1) ? '1' : '0';
    while (bits.size() % 6)
        bits += '0';
    std::string out;
    for (std::size_t i = 0; i < bits.size(); i += 6)
        out += alphabet[std::stoi(bits.substr(i, 6), nullptr, 2)];
    while (out.size() % 4)
        out += '=';
    return out;
}

// Decodes UTF-8 B and Q words by RFC 2047; fails the test on a malformed word or one that ends
// inside a character (each word must decode by itself).
std::string decodeWords(const std::vector<std::string>& words)
{
    std::string out;
    for (const std::string& w : words) {
        EXPECT_TRUE(w.substr(0, 10) == "=?UTF-8?Q?" || w.substr(0, 10) == "=?UTF-8?B?") << w;
        EXPECT_EQ(w.substr(w.size() - 2), "?=");
        const std::string payload = w.substr(10, w.size() - 12);
        std::string bytes;
        if (w[8] == 'B') {
            bytes = decodeBase64(payload);
        } else {
            for (std::size_t i = 0; i < payload.size(); ++i) {
                if (payload[i] == '_') {
                    bytes += ' ';
                } else if (payload[i] == '=') {
                    EXPECT_LE(i + 2, payload.size() - 1) << "an =XX split across words in " << w;
                    bytes += static_cast<char>(std::stoi(payload.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    bytes += payload[i];
                }
            }
        }
        EXPECT_TRUE(isValidUtf8(bytes)) << "a word ends inside a character: " << w;
        out += bytes;
    }
    return out;
}

} // namespace

// --- base64 ---

TEST(Base64, PublishedVectors)
{
    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("f"), "Zg==");
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    EXPECT_EQ(base64Encode("foo"), "Zm9v");
    EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(base64Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64Encode(bytesOf({0xFB, 0xFF, 0xBF})), "+/+/");
    EXPECT_EQ(base64Encode(bytesOf({0, 0, 0})), "AAAA");
}

TEST(Base64, MatchesBitByBitEncodingForEveryLengthAndByte)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(base64Encode(all), referenceBase64(all));
    const std::string data = randomBytes(300, 7);
    for (std::size_t n = 0; n <= data.size(); ++n)
        ASSERT_EQ(base64Encode(data.substr(0, n)), referenceBase64(data.substr(0, n))) << n;
}

TEST(Base64, LinesOfSeventySixCharacters)
{
    const std::string data = randomBytes(58, 3);
    auto lines = [](const std::string& in) {
        std::string out;
        base64EncodeLines(reinterpret_cast<const unsigned char*>(in.data()), in.size(), out);
        return out;
    };
    EXPECT_EQ(lines(""), "");
    const std::string one = lines(data.substr(0, 57));
    EXPECT_EQ(one, referenceBase64(data.substr(0, 57)) + "\r\n");
    EXPECT_EQ(one.size(), 78u);
    const std::string two = lines(data);
    EXPECT_EQ(two, referenceBase64(data.substr(0, 57)) + "\r\n" + referenceBase64(data.substr(57)) + "\r\n");
    EXPECT_EQ(two.substr(78).size(), 6u); // 4 characters ending in "==" and CR LF
    EXPECT_EQ(two.substr(80, 2), "==");
    std::string appended = "keep";
    base64EncodeLines(reinterpret_cast<const unsigned char*>("foo"), 3, appended);
    EXPECT_EQ(appended, "keepZm9v\r\n");
}

// --- quoted-printable ---

TEST(QuotedPrintable, EveryByteOnItsOwn)
{
    const char* hex = "0123456789ABCDEF";
    for (int c = 0; c < 256; ++c) {
        const std::string in(1, static_cast<char>(c));
        std::string want;
        if (c >= 33 && c <= 126 && c != '=')
            want = in;
        else
            want = std::string("=") + hex[c >> 4] + hex[c & 15];
        EXPECT_EQ(encodeQuotedPrintable(in), want) << c;
    }
}

TEST(QuotedPrintable, LineBreaksAndBlanksAreEncoded)
{
    EXPECT_EQ(encodeQuotedPrintable("Hello World=!\r\n"), "Hello=20World=3D!=0D=0A");
    EXPECT_EQ(encodeQuotedPrintable("a\tb"), "a=09b");
}

TEST(QuotedPrintable, SoftBreakOnceTheColumnPassesSeventy)
{
    const std::string a70(70, 'a');
    EXPECT_EQ(encodeQuotedPrintable(a70), a70);
    EXPECT_EQ(encodeQuotedPrintable(a70 + "a"), a70 + "a=\r\n");
    EXPECT_EQ(encodeQuotedPrintable(a70 + "ab"), a70 + "a=\r\nb");
    // The longest line: 70 characters and one "=XX" before the "=".
    EXPECT_EQ(encodeQuotedPrintable(a70 + "="), a70 + "=3D=\r\n");
    EXPECT_EQ(encodeQuotedPrintable(std::string(69, 'a') + "\xE9"), std::string(69, 'a') + "=E9=\r\n");
    EXPECT_EQ(encodeQuotedPrintable(std::string(67, 'a') + "\xE9"), std::string(67, 'a') + "=E9");
}

TEST(QuotedPrintable, ChunksGiveTheSameOutputAsOnePiece)
{
    const std::string data = randomBytes(5000, 11);
    const std::string whole = encodeQuotedPrintable(data);
    std::mt19937 gen(5);
    for (int round = 0; round < 20; ++round) {
        QuotedPrintableEncoder encoder;
        std::string out;
        std::size_t off = 0;
        while (off < data.size()) {
            const std::size_t take = std::min<std::size_t>(data.size() - off, gen() % 200);
            encoder.encode(data.data() + off, take, out);
            off += take;
        }
        ASSERT_EQ(out, whole);
    }
    // No line is longer than 73 characters before its soft-break "=".
    std::size_t start = 0;
    for (std::size_t crlf; (crlf = whole.find("\r\n", start)) != std::string::npos; start = crlf + 2) {
        EXPECT_LE(crlf - start, 74u);
        EXPECT_EQ(whole[crlf - 1], '=');
    }
    QuotedPrintableEncoder encoder;
    std::string out;
    encoder.encode("abc", 3, out);
    EXPECT_EQ(encoder.column(), 3u);
    encoder.reset();
    EXPECT_EQ(encoder.column(), 0u);
}

// --- uuencode ---

TEST(Uuencode, PublishedAndHandEncodedLines)
{
    auto uu = [](const std::string& in) {
        std::string out;
        uuencodeBlock(reinterpret_cast<const unsigned char*>(in.data()), in.size(), out);
        return out;
    };
    EXPECT_EQ(uu("Cat"), "#0V%T\r\n");
    // An incomplete group is filled with blanks (0x20), not zeros.
    EXPECT_EQ(uu("AB"), "\"04(@\r\n");
    // Value 0 is a blank, never a backquote.
    EXPECT_EQ(uu(std::string(45, '\0')), "M" + std::string(60, ' ') + "\r\n");
    EXPECT_EQ(uu(std::string(46, '\0')), "M" + std::string(60, ' ') + "\r\n! \" @\r\n");
    EXPECT_EQ(uu(""), "");
    const std::string block = uu(randomBytes(1800, 2));
    EXPECT_EQ(block.size(), 40u * 63u);
    for (std::size_t i = 0; i < block.size(); i += 63) {
        EXPECT_EQ(block[i], 'M');
        EXPECT_EQ(block.substr(i + 61, 2), "\r\n");
    }
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    for (char c : uu(all))
        EXPECT_TRUE((c >= 32 && c <= 95) || c == '\r' || c == '\n');
}

TEST(Uuencode, UueName)
{
    EXPECT_EQ(UueName("photo.jpg"), "photo.uue");
    EXPECT_EQ(UueName("archive.tar.gz"), "archive.tar.uue");
    EXPECT_EQ(UueName("README"), "README.uue");
    EXPECT_EQ(UueName(".bashrc"), ".uue");
    EXPECT_EQ(UueName(""), ".uue");
}

// --- encoded words ---

TEST(EncodeWord, AsciiStaysOtherwiseUtf8WordsInTheShorterOfBAndQ)
{
    EXPECT_EQ(EncodeWord("Hello, (World) = ?_"), "Hello, (World) = ?_");
    EXPECT_EQ(EncodeWord(""), "");
    EXPECT_EQ(EncodeWord("Caf\xC3\xA9 au lait"), "=?UTF-8?Q?Caf=C3=A9_au_lait?=");
    EXPECT_EQ(EncodeWord("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"), "=?UTF-8?B?5pel5pys6Kqe?="); // CJK
    EXPECT_EQ(EncodeWord("\xF0\x9F\x98\x80"), "=?UTF-8?B?8J+YgA==?=");                      // emoji
    EXPECT_EQ(EncodeWord("x\x7F"), "=?UTF-8?Q?x=7F?="); // as long either way: Q
    EXPECT_EQ(EncodeWord("a=b?c_d\xC3\xBF"), "=?UTF-8?B?YT1iP2NfZMO/?=");
    // Old 8-bit text is read as Windows-1252 and goes out as UTF-8 all the same.
    EXPECT_EQ(EncodeWord("Caf\xE9 au lait"), "=?UTF-8?Q?Caf=C3=A9_au_lait?=");
    EXPECT_EQ(EncodeWord("\x80 5"), "=?UTF-8?B?4oKsIDU=?=");
}

TEST(EncodeWord, SplitWordsHoldWholeCharactersWithinSeventyFive)
{
    for (unsigned seed = 0; seed < 20; ++seed) {
        const std::string text = randomBytes(50 + seed * 37, seed);
        for (WordContext context : {WordContext::Text, WordContext::Phrase, WordContext::Parameter}) {
            const auto words = splitEncodedWords(text, context);
            for (const std::string& w : words)
                EXPECT_LE(w.size(), kMaxEncodedWord);
            EXPECT_EQ(decodeWords(words), storedText(text));
        }
        // Greek, Cyrillic, CJK and emoji mixed, in every first-word room.
        const std::string mixed = repeat("\xCE\x95\xCE\xBB \xD0\x96\xD1\x83 \xE4\xB8\xAD\xF0\x9F\x98\x80" "a", int(seed) + 1);
        for (std::size_t first = 24; first <= 75; first += 17) {
            const auto words = splitEncodedWords(mixed, WordContext::Text, first);
            EXPECT_LE(words.front().size(), first);
            EXPECT_EQ(decodeWords(words), mixed);
        }
    }
    EXPECT_TRUE(splitEncodedWords("", WordContext::Text).empty());
    // Q words of mostly ASCII text, cut between characters, never inside an "=XX".
    EXPECT_EQ(splitEncodedWords(repeat("Caf\xC3\xA9 au lait and croissants, ", 4), WordContext::Text, 67),
              (std::vector<std::string>{"=?UTF-8?Q?Caf=C3=A9_au_lait_and_croissants,_Caf=C3=A9_au_lait_and?=",
                                        "=?UTF-8?Q?_croissants,_Caf=C3=A9_au_lait_and_croissants,_Caf=C3=A9_au_lai?=",
                                        "=?UTF-8?Q?t_and_croissants,_?="}));
    // The phrase and parameter forms also hex-encode what their place forbids; a parameter is Q.
    EXPECT_EQ(splitEncodedWords("a,\"\\b\xC3\xA9", WordContext::Text)[0], "=?UTF-8?Q?a,\"\\b=C3=A9?=");
    EXPECT_EQ(splitEncodedWords("Anna-Lena Sch\xC3\xA4" "fer <team>", WordContext::Phrase)[0],
              "=?UTF-8?Q?Anna-Lena_Sch=C3=A4fer_=3Cteam=3E?=");
    EXPECT_EQ(splitEncodedWords("a,\"\\b\xC3\xA9", WordContext::Parameter)[0], "=?UTF-8?Q?a,=22=5Cb=C3=A9?=");
}

// --- header lines ---

TEST(EncodeHeaderLine, ShortLinesKeepTheirExactForm)
{
    EXPECT_EQ(EncodeHeaderLine("Subject: Hello"), "Subject: Hello  ");
    EXPECT_EQ(EncodeHeaderLine("Subject: Caf\xC3\xA9 au lait"), "Subject: =?UTF-8?Q?Caf=C3=A9_au_lait?=  ");
    EXPECT_EQ(EncodeHeaderLine("X-Mailer: Tavik mail v1.1b"), "X-Mailer: Tavik mail v1.1b  ");
    EXPECT_EQ(EncodeHeaderLine("X-A: b: c\xC3\xA9"), "X-A: =?UTF-8?B?YjogY8Op?=  ");
    EXPECT_EQ(EncodeHeaderLine("NoColonHere"), "NoColonHere");
    EXPECT_EQ(EncodeHeaderLine("Key:value"), "Key:value");
    EXPECT_EQ(EncodeHeaderLine("X-Empty: "), "X-Empty:   ");
}

TEST(EncodeHeaderLine, LineBreaksBecomeBlanks)
{
    EXPECT_EQ(EncodeHeaderLine("Subject: Hi\r\nBcc: evil@example.com"), "Subject: Hi Bcc: evil@example.com  ");
    EXPECT_EQ(EncodeHeaderLine("Subject: a\rb\nc\r\n"), "Subject: a b c   ");
    EXPECT_EQ(EncodeHeaderLine("X-Injected\r\nBcc: x"), "X-Injected Bcc: x  ");
    EXPECT_EQ(EncodeHeaderLine("Subject: caf\xC3\xA9\r\nBcc: x"), "Subject: =?UTF-8?Q?caf=C3=A9_Bcc:_x?=  ");
    EXPECT_EQ(withoutLineBreaks("a\r\n\r\nb\n\rc"), "a  b  c");
}

TEST(EncodeHeaderLine, LongAsciiIsFoldedAtBlanks)
{
    std::vector<std::string> w;
    for (int i = 0; i < 40; ++i)
        w.push_back("alpha" + std::string(i < 10 ? "0" : "") + std::to_string(i));
    auto join = [&](int from, int to) {
        std::string s;
        for (int i = from; i <= to; ++i)
            s += (i > from ? " " : "") + w[i];
        return s;
    };
    const std::string value = join(0, 39);
    const std::string want = "Subject: " + join(0, 7) + "\r\n " + join(8, 16) + "\r\n " + join(17, 25) + "\r\n " +
                             join(26, 34) + "\r\n " + join(35, 39) + "  ";
    const std::string got = EncodeHeaderLine("Subject: " + value);
    EXPECT_EQ(got, want);
    std::string unfolded = got;
    for (std::size_t p; (p = unfolded.find("\r\n")) != std::string::npos;)
        unfolded.erase(p, 2);
    EXPECT_EQ(unfolded, "Subject: " + value + "  ");
}

TEST(EncodeHeaderLine, LongEncodedValueBecomesWordsOnFoldedLinesOfAtMostSeventySix)
{
    // The first line also holds "Subject: ", so its word is shorter.
    // Every "w6nDqcOp" is three "\xC3\xA9", "w6k=" one: 19 of them, 22 a word, then the rest.
    EXPECT_EQ(EncodeHeaderLine("Subject: " + repeat("\xC3\xA9", 100)),
              "Subject: =?UTF-8?B?" + repeat("w6nDqcOp", 6) + "w6k=?=" +
                  repeat("\r\n =?UTF-8?B?" + repeat("w6nDqcOp", 7) + "w6k=?=", 3) + "\r\n =?UTF-8?B?" +
                  repeat("w6nDqcOp", 5) + "?=  ");
    // CJK in B words of whole characters (three bytes each): 13, then 15 a word.
    EXPECT_EQ(EncodeHeaderLine("Subject: " + repeat("\xE6\x97\xA5\xE6\x9C\xAC", 30)),
              "Subject: =?UTF-8?B?5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel?="
              "\r\n =?UTF-8?B?5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys?="
              "\r\n =?UTF-8?B?5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel?="
              "\r\n =?UTF-8?B?5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys5pel5pys?="
              "\r\n =?UTF-8?B?5pel5pys?=  ");
    // A word too long to fold is encoded, whatever its bytes.
    const std::string x63 = "=?UTF-8?Q?" + std::string(63, 'x') + "?=";
    EXPECT_EQ(EncodeHeaderLine("Subject: " + std::string(300, 'x')),
              "Subject: =?UTF-8?Q?" + std::string(55, 'x') + "?=" + repeat("\r\n " + x63, 3) + "\r\n =?UTF-8?Q?" +
                  std::string(56, 'x') + "?=  ");
    // Blanks, but one word too long for any line: the whole value is encoded.
    EXPECT_EQ(EncodeHeaderLine("Subject: a " + std::string(300, 'x') + " b"),
              "Subject: =?UTF-8?Q?a_" + std::string(53, 'x') + "?=" + repeat("\r\n " + x63, 3) + "\r\n =?UTF-8?Q?" +
                  std::string(58, 'x') + "_b?=  ");
    // A field name too long to leave room for a word puts the first word on the next line.
    const std::string name = "X-" + std::string(60, 'N') + ": ";
    EXPECT_EQ(EncodeHeaderLine(name + "\xF0\x9F\x98\x80"),
              "X-" + std::string(60, 'N') + ":\r\n =?UTF-8?B?8J+YgA==?=  ");
    // Beyond 999 characters nothing is cut either.
    const std::string huge = EncodeHeaderLine("Subject: " + repeat("word ", 400));
    std::string unfolded = huge;
    for (std::size_t p; (p = unfolded.find("\r\n")) != std::string::npos;)
        unfolded.erase(p, 2);
    EXPECT_EQ(unfolded, "Subject: " + repeat("word ", 400) + "  ");
}

TEST(DisplayNames, PlainQuotedOrEncoded)
{
    EXPECT_EQ(EncodeDisplayName("Ann Example"), "Ann Example");
    EXPECT_EQ(EncodeDisplayName("J. Smith"), "J. Smith");
    EXPECT_EQ(EncodeDisplayName("Smith, John"), "\"Smith, John\"");
    for (char c : std::string(",;:<>@()[]"))
        EXPECT_EQ(EncodeDisplayName(std::string("a") + c), std::string("\"a") + c + "\"");
    EXPECT_EQ(EncodeDisplayName("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(EncodeDisplayName("M\xC3\xBCller"), "=?UTF-8?Q?M=C3=BCller?=");
    EXPECT_EQ(EncodeDisplayName("M\xFCller"), "=?UTF-8?Q?M=C3=BCller?="); // an old 8-bit name
    EXPECT_EQ(EncodeDisplayName("Meyer, Zo\xC3\xAB"), "=?UTF-8?B?TWV5ZXIsIFpvw6s=?=");
    EXPECT_EQ(EncodeDisplayName("x\r\ny"), "x y");
}

TEST(AddressLines, ExactFormsAndFolding)
{
    EXPECT_EQ(EncodeAddressLine("From: ", "Ann", "ann@example.org"), "From: Ann <ann@example.org>");
    EXPECT_EQ(EncodeAddressLine("From: ", "", "ann@example.org"), "From:  <ann@example.org>");
    EXPECT_EQ(EncodeAddressLine("To: ", "Caf\xC3\xA9", "a@b"), "To: =?UTF-8?B?Q2Fmw6k=?= <a@b>");
    EXPECT_EQ(EncodeAddressLine("To: ", "\xCE\x9C\xCE\xB1\xCF\x81\xCE\xAF\xCE\xB1 \xCE\xA0\xCE\xB1\xCF\x80\xCE\xB1\xCE\xB4"
                                        "\xCE\xBF\xCF\x80\xCE\xBF\xCF\x8D\xCE\xBB\xCE\xBF\xCF\x85",
                                "maria@example.gr"),
              "To: =?UTF-8?B?zpzOsc+Bzq/OsSDOoM6xz4DOsc60zr/PgM6/z43Ou86/z4U=?=\r\n <maria@example.gr>");
    EXPECT_EQ(EncodeAddressLine("cc: ", "x\r\nBcc: y", "a@b\r\n"), "cc: \"x Bcc: y\" <a@b >");

    std::vector<std::string> w;
    for (int i = 0; i < 40; ++i)
        w.push_back("Name" + std::string(i < 10 ? "0" : "") + std::to_string(i));
    auto join = [&](int from, int to) {
        std::string s;
        for (int i = from; i <= to; ++i)
            s += (i > from ? " " : "") + w[i];
        return s;
    };
    EXPECT_EQ(EncodeAddressLine("To: ", join(0, 39), "bob@example.net"),
              "To: " + join(0, 9) + "\r\n " + join(10, 20) + "\r\n " + join(21, 31) + "\r\n " + join(32, 39) +
                  " <bob@example.net>");

    // A long name: words of whole characters, each on a line of its own, the address after.
    EXPECT_EQ(EncodeAddressLine("From: ", repeat("Gr\xC3\xBC\xC3\x9F" "e Zo\xC3\xAB ", 12), "a@b"),
              "From: =?UTF-8?B?R3LDvMOfZSBab8OrIEdyw7zDn2UgWm/DqyBHcsO8w59lIFpvw6sgR3I=?="
              "\r\n =?UTF-8?B?w7zDn2UgWm/DqyBHcsO8w59lIFpvw6sgR3LDvMOfZSBab8OrIEdyw7zDn2Ug?="
              "\r\n =?UTF-8?B?Wm/DqyBHcsO8w59lIFpvw6sgR3LDvMOfZSBab8OrIEdyw7zDn2UgWm/DqyBH?="
              "\r\n =?UTF-8?B?csO8w59lIFpvw6sgR3LDvMOfZSBab8OrIA==?= <a@b>");
}

TEST(ParameterLines, QuotedValuesEncodedWhenNeeded)
{
    EXPECT_EQ(EncodeParameterValue("photo.jpg"), "photo.jpg");
    EXPECT_EQ(EncodeParameterValue("a b.txt"), "a b.txt");
    EXPECT_EQ(EncodeParameterValue("caf\xC3\xA9.txt"), "=?UTF-8?Q?caf=C3=A9.txt?=");
    EXPECT_EQ(EncodeParameterValue("caf\xE9.txt"), "=?UTF-8?Q?caf=C3=A9.txt?=");
    EXPECT_EQ(EncodeParameterValue("a\"b.txt"), "=?UTF-8?Q?a=22b.txt?=");
    EXPECT_EQ(EncodeParameterValue("a\\b"), "=?UTF-8?Q?a=5Cb?=");

    EXPECT_EQ(EncodeParameterLine("Content-Type: image/png", "name", "p.png"), "Content-Type: image/png; name=\"p.png\"");
    EXPECT_EQ(EncodeParameterLine("Content-Type: text/plain\r\nBcc: x", "name", "a\r\nb"),
              "Content-Type: text/plain Bcc: x; name=\"a b\"");
    const std::string n240(240, 'n');
    EXPECT_EQ(EncodeParameterLine("Content-Type: image/png", "name", n240),
              "Content-Type: image/png;\r\n name=\"" + n240 + "\"");
    const std::string n63 = "=?UTF-8?Q?" + std::string(63, 'n') + "?=";
    EXPECT_EQ(EncodeParameterLine("Content-Type: image/png", "name", std::string(250, 'n')),
              "Content-Type: image/png;\r\n name=\"" + n63 + repeat("\r\n " + n63, 2) + "\r\n =?UTF-8?Q?" +
                  std::string(61, 'n') + "?=\"");
}
