#include "addressbook/csv_fields.h"

#include <gtest/gtest.h>
#include <random>

namespace tavik {
namespace {

using Records = std::vector<std::vector<std::string>>;

// --- Reading ---------------------------------------------------------------------------------

TEST(CsvRead, BareQuotedAndEmptyFieldsOfOneLine)
{
    EXPECT_EQ(parseCsv("Ann,ann@x.org,\"\",\"Smith, Ann\",,end\r\n"),
              (Records{{"Ann", "ann@x.org", "", "Smith, Ann", "", "end"}}));
}

TEST(CsvRead, RecordsEndAtCrLfOrLfAndEmptyLinesAreSkipped)
{
    EXPECT_EQ(parseCsv("a,b\r\n\r\nc,d\n\ne,f"), (Records{{"a", "b"}, {"c", "d"}, {"e", "f"}}));
    EXPECT_EQ(parseCsv(""), Records{});
    EXPECT_EQ(parseCsv("\r\n\n"), Records{});
    // A lone comma is two empty fields, a line of "" one.
    EXPECT_EQ(parseCsv(",\r\n\"\"\r\n"), (Records{{"", ""}, {""}}));
}

TEST(CsvRead, AQuotedFieldRunsOverLineBreaksToItsClosingQuote)
{
    EXPECT_EQ(parseCsv("Ann,\"Main Street 1\nSpringfield\",x\r\nBob,y\r\n"),
              (Records{{"Ann", "Main Street 1\nSpringfield", "x"}, {"Bob", "y"}}));
    // A quote that is never closed takes the rest of the data.
    EXPECT_EQ(parseCsv("a,\"b,c\r\nd"), (Records{{"a", "b,c\r\nd"}}));
}

TEST(CsvRead, DoubledQuotesInsideQuotesAreOneAndStrayQuotesStay)
{
    EXPECT_EQ(parseCsv("\"say \"\"hi\"\"\",x"), (Records{{"say \"hi\"", "x"}}));
    EXPECT_EQ(parseCsv("\"\"\"\"\r\n"), (Records{{"\""}}));
    // Written before quotes were doubled: the inner quotes are not followed by a separator.
    EXPECT_EQ(parseCsv("\"Jim \"The Hammer\" Jones\",j@x"), (Records{{"Jim \"The Hammer\" Jones", "j@x"}}));
    // A quote inside a bare field is an ordinary character.
    EXPECT_EQ(parseCsv("O\"Brien,o@x"), (Records{{"O\"Brien", "o@x"}}));
    // Only a quote before a separator closes the field.
    EXPECT_EQ(parseCsv("\"ab\"cd,e\",f"), (Records{{"ab\"cd,e", "f"}}));
    EXPECT_EQ(parseCsv("\"ab\"\"\"cd\",e"), (Records{{"ab\"\"cd", "e"}}));
}

TEST(CsvRead, EightBitBytesAndControlCharactersAreKept)
{
    std::string bytes = std::string("M\xfcller,\x01\x7f\xff,a\rb,") + '\0' + "\r\n";
    EXPECT_EQ(parseCsv(bytes), (Records{{"M\xfcller", "\x01\x7f\xff", "a\rb", std::string(1, '\0')}}));
}

// --- Writing ---------------------------------------------------------------------------------

TEST(CsvWrite, FieldsAreBareQuotedOrEmptyQuotes)
{
    EXPECT_EQ(formatCsvField(""), "\"\"");
    EXPECT_EQ(formatCsvField("Ann Lee"), "Ann Lee");
    EXPECT_EQ(formatCsvField("M\xfcller"), "M\xfcller");
    EXPECT_EQ(formatCsvField("Lee, Ann"), "\"Lee, Ann\"");
    EXPECT_EQ(formatCsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(formatCsvField("line1\r\nline2\nline3"), "\"line1\nline2\nline3\"");
    EXPECT_EQ(formatCsvField("a\rb"), "\"a\rb\"");
    EXPECT_EQ(formatCsvRecord({"Ann", "", "a,b", "x"}), "Ann,\"\",\"a,b\",x");
}

TEST(CsvWrite, WhatIsWrittenReadsBackAsItWas)
{
    const std::vector<std::string> values = {
        "", "\"", "\"\"", ",", "x\"", "\"x", "a\",\"b", " lead", "trail ", "a\nb", "\"\r\n\"", "\xff\x80", "a\rb",
    };
    std::string bytes;
    for (const auto& v : values)
        bytes += formatCsvRecord({v, v}) + "\r\n";
    Records read = parseCsv(bytes);
    ASSERT_EQ(read.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::string expected = values[i];
        if (expected == "\"\r\n\"")
            expected = "\"\n\""; // CR LF inside a field is written as LF
        EXPECT_EQ(read[i], (std::vector<std::string>{expected, expected})) << i;
    }
}

// --- Limits and hostile bytes ----------------------------------------------------------------

TEST(CsvLimits, ARecordBeyondALimitIsAnErrorNamingItsLine)
{
    CsvLimits limits;
    limits.maxRecordBytes = 16;
    limits.maxFields = 3;
    limits.maxRecords = 2;
    EXPECT_NO_THROW(parseCsv("a,b,c\r\n0123456789abcde\r\n", limits));
    try {
        parseCsv("a\r\nb\r\n0123456789abcdef0\r\n", limits);
        FAIL() << "an overlong record was accepted";
    } catch (const CsvError& e) {
        EXPECT_EQ(e.line, 3u);
    }
    // A quoted field spanning lines counts all its lines towards the record.
    EXPECT_THROW(parseCsv("\"aaaa\naaaa\naaaa\naaaa\n\"", limits), CsvError);
    try {
        parseCsv("x\r\na,b,c,d\r\n", limits);
        FAIL() << "too many fields were accepted";
    } catch (const CsvError& e) {
        EXPECT_EQ(e.line, 2u);
    }
    EXPECT_THROW(parseCsv("a\r\nb\r\nc\r\n", limits), CsvError);
    EXPECT_THROW(parseCsv(std::string(100000, ','), {}), CsvError);
}

// A field as it reads back after writing: each CR directly before an LF is gone.
std::string withLfOnly(const std::string& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            out += s[i];
    return out;
}

// Random bytes, biased towards the characters that steer the reader, never crash it; what it
// accepts, written out again, reads back the same (line breaks inside fields aside).
TEST(CsvHostile, ArbitraryBytesNeverCrashAndAcceptedInputRoundTrips)
{
    std::mt19937 random(20240517u);
    const std::string steering = "\",\r\n\"\"a ";
    CsvLimits small;
    small.maxRecordBytes = 200;
    small.maxFields = 20;
    small.maxRecords = 50;
    CsvLimits large;
    large.maxRecordBytes = 1u << 20;
    std::size_t accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::size_t length = random() % 300;
        std::string bytes;
        for (std::size_t i = 0; i < length; ++i)
            bytes += random() % 4 ? steering[random() % steering.size()] : static_cast<char>(random() % 256);
        Records read;
        try {
            read = parseCsv(bytes, small);
        } catch (const CsvError&) {
            continue;
        }
        ++accepted;
        std::string written;
        for (auto& r : read) {
            written += formatCsvRecord(r) + "\r\n";
            for (auto& f : r)
                f = withLfOnly(f);
        }
        EXPECT_EQ(parseCsv(written, large), read) << "round " << round;
    }
    EXPECT_GT(accepted, 100u);
}

} // namespace
} // namespace tavik
