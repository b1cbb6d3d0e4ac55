#include "text/uuencode.h"
#include "smtp/mime_encoders.h"

#include <gtest/gtest.h>

#include <random>

namespace tavik {
namespace {

std::string decodeAll(const std::vector<std::string>& lines)
{
    UuDecoder decoder;
    std::string out;
    for (const std::string& line : lines)
        EXPECT_TRUE(decoder.decodeLine(line, out)) << line;
    return out;
}

TEST(Uuencode, BeginAndEndLinesAreKnownOnlyInTheirOwnForm)
{
    std::string name;
    EXPECT_TRUE(uuBeginLine("begin  0600\tmy notes.txt \r", name));
    EXPECT_EQ(name, "my notes.txt");
    for (const char* line : {"begin-base64 644 cat.txt", "begin 64 cat.txt", "begin 64444 cat.txt",
                             "begin 648 cat.txt", "begin 644   \r", "begin644 cat.txt", " begin 644 cat.txt"})
        EXPECT_FALSE(uuBeginLine(line, name)) << line;
    EXPECT_TRUE(uuEndLine("end") && uuEndLine("end \t\r"));
    EXPECT_FALSE(uuEndLine("ending") || uuEndLine(" end"));
}

TEST(Uuencode, DecodesBlocksWrittenByHandByPythonAndByOurSendingSide)
{
    std::string name;
    EXPECT_TRUE(uuBeginLine("begin 644 cat.txt", name) && name == "cat.txt");
    EXPECT_EQ(decodeAll({"#0V%T", "`"}), "Cat");
    // Zero as a blank or "`", CR or blanks after the data, no padding, lost blanks.
    EXPECT_EQ(decodeAll({"#0V%T\r", "\"0V$ ", "\"0V$", "!0P``  ", "#    ", "#", " ", ""}),
              std::string("CatCaCaC\0\0\0\0\0\0", 14));

    // binascii.b2a_uu of bytes 0, 7, ... 252, "Tavik été" and three zero bytes, 45 to a line.
    std::string python;
    for (int b = 0; b < 256; b += 7)
        python += static_cast<char>(b);
    python += std::string("Tavik \xC3\xA9t\xC3\xA9\0\0\0", 14);
    EXPECT_EQ(decodeAll({"M  <.%1PC*C$X/T9-5%MB:7!W?H6,DYJAJ*^VO<3+TMG@Y^[U_%1A=FEK(,.I", "&=,.I    ", " "}), python);

    // As the message writer sends a file: blocks of 1800 bytes, each encoded by itself.
    std::mt19937 random(7);
    for (std::size_t size : {1u, 2u, 44u, 45u, 46u, 1799u, 1801u, 5000u}) {
        std::string file(size, '\0'), encoded;
        for (char& c : file)
            c = static_cast<char>(random());
        for (std::size_t off = 0; off < size; off += 1800)
            uuencodeBlock(reinterpret_cast<const unsigned char*>(file.data()) + off, std::min<std::size_t>(1800, size - off), encoded);
        std::vector<std::string> lines;
        for (std::size_t at = 0, end; (end = encoded.find("\r\n", at)) != std::string::npos; at = end + 2)
            lines.push_back(encoded.substr(at, end - at));
        lines.push_back(""); // the empty line before "end"
        EXPECT_EQ(decodeAll(lines), file) << size;
    }
}

TEST(Uuencode, LinesThatAreNotUuencodeAreRefused)
{
    UuDecoder decoder;
    std::string out = "kept";
    for (const char* line : {"Hello world", // letters past "`"
                             "HELLO WORLD", // far too short for the 40 bytes "H" announces
                             "M0V%T",       // 45 bytes announced, one group given
                             "#0V%TXY",     // more than one character after the data
                             "#0V\t%T"})
        EXPECT_FALSE(decoder.decodeLine(line, out)) << line;
    EXPECT_EQ(out, "kept");
}

} // namespace
} // namespace tavik
