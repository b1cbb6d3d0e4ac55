#include "profile/ini_file.h"

#include "profile/file_util.h"
#include "support/test_support.h"

#include <climits>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace tavik {
namespace {

using test::fileBytes;
using test::TempDir;
using test::writeBytes;

IniFile parsed(const std::string& bytes)
{
    IniFile ini;
    ini.parse(bytes);
    return ini;
}

mode_t modeOf(const std::string& path)
{
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// --- Reading ---------------------------------------------------------------------------------

TEST(IniFileRead, NamesMatchIgnoringCaseAndTheFirstMatchWins)
{
    IniFile ini = parsed("[Options]\r\n"
                         "TimeOut=10\r\n"
                         "timeout=20\r\n"
                         "[OPTIONS]\r\n"
                         "TimeOut=30\r\n"
                         "Browser=firefox\r\n");
    EXPECT_EQ(ini.readString("options", "TIMEOUT"), "10");
    EXPECT_TRUE(ini.hasSection("oPtIoNs"));
    EXPECT_TRUE(ini.hasKey("OPTIONS", "timeOut"));
    // The second section of the same name is hidden behind the first.
    EXPECT_FALSE(ini.hasKey("Options", "Browser"));
    EXPECT_EQ(ini.readString("Options", "Browser", "none"), "none");
}

TEST(IniFileRead, BlanksAroundNamesAndValuesAreDroppedAndTheValueRunsPastLaterEquals)
{
    IniFile ini = parsed("  [ User ]  \r\n"
                         " \tName \t=  Ann = Lee \t\r\n"
                         "Empty=\r\n");
    EXPECT_EQ(ini.readString("User", "Name"), "Ann = Lee");
    EXPECT_TRUE(ini.hasKey("User", "Empty"));
    EXPECT_EQ(ini.readString("User", "Empty", "fallback"), "");
    EXPECT_EQ(ini.readString("User", "Missing", "fallback"), "fallback");
    EXPECT_EQ(ini.readString("Nobody", "Name", "fallback"), "fallback");
}

TEST(IniFileRead, LinesBeforeTheFirstSectionAndLinesWithoutEqualsAreNotKeys)
{
    IniFile ini = parsed("Stray=1\r\n"
                         "[A]\r\n"
                         "; comment\r\n"
                         "no equals sign\r\n"
                         "=nameless\r\n"
                         "k=v\r\n");
    EXPECT_EQ(ini.sectionKeys("A"), (std::vector<std::string>{"k"}));
    EXPECT_FALSE(ini.hasKey("A", "Stray"));
    EXPECT_EQ(ini.sectionNames(), (std::vector<std::string>{"A"}));
}

TEST(IniFileRead, ValuesAreCutAt1023Characters)
{
    std::string longValue(1500, 'x');
    longValue[1022] = 'L';
    longValue[1023] = 'C';
    IniFile ini = parsed("[S]\r\nk=" + longValue + "\r\n");
    std::string read = ini.readString("S", "k");
    ASSERT_EQ(read.size(), 1023u);
    EXPECT_EQ(read.back(), 'L');
    EXPECT_EQ(ini.sectionLines("S"), (std::vector<std::string>{"k=" + read}));
    // The line itself is kept whole and saved unchanged.
    EXPECT_EQ(ini.serialize(), "[S]\r\nk=" + longValue + "\r\n");
}

TEST(IniFileRead, LfAloneAndAFinalLineWithoutNewlineAreAccepted)
{
    IniFile ini = parsed("[A]\nx=1\n\n[B]\r\ny=2\r\nz=3");
    EXPECT_EQ(ini.readString("A", "x"), "1");
    EXPECT_EQ(ini.readString("B", "y"), "2");
    EXPECT_EQ(ini.readString("B", "z"), "3");
    EXPECT_EQ(ini.serialize(), "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\nz=3\r\n");
}

TEST(IniFileRead, EightBitBytesArePassedThrough)
{
    std::string value = "caf\xE9 \xFF\x80";
    IniFile ini = parsed("[S\xE4]\r\nk\xF6=" + value + "\r\n");
    EXPECT_EQ(ini.readString("S\xE4", "k\xF6"), value);
}

TEST(IniFileRead, SectionListsAreInFileOrder)
{
    IniFile ini = parsed("[Mailboxes]\r\n"
                         "m0=New Mail\r\n"
                         "; kept, not listed\r\n"
                         "m5 = Box = Two \r\n"
                         "M0=Again\r\n"
                         "[Other]\r\n"
                         "[mailboxes]\r\n"
                         "m9=Hidden\r\n");
    EXPECT_EQ(ini.sectionLines("mailboxes"), (std::vector<std::string>{"m0=New Mail", "m5=Box = Two", "M0=Again"}));
    EXPECT_EQ(ini.sectionKeys("Mailboxes"), (std::vector<std::string>{"m0", "m5", "M0"}));
    EXPECT_EQ(ini.sectionNames(), (std::vector<std::string>{"Mailboxes", "Other"}));
    EXPECT_TRUE(ini.sectionLines("Other").empty());
    EXPECT_TRUE(ini.sectionLines("Absent").empty());
}

// --- Integers --------------------------------------------------------------------------------

TEST(IniInteger, DecimalAndHexadecimalValuesConvert)
{
    struct Case {
        const char* text;
        long long value;
    };
    for (const Case& c : {Case{"0", 0}, Case{"42", 42}, Case{"-17", -17}, Case{"+5", 5}, Case{"010", 10},
                          Case{"0x1F", 31}, Case{"0X1f", 31}, Case{"0x0", 0},
                          Case{"-9223372036854775808", LLONG_MIN}, Case{"0x7FFFFFFFFFFFFFFF", LLONG_MAX}}) {
        long long out = 12345;
        EXPECT_TRUE(parseIniInteger(c.text, out)) << c.text;
        EXPECT_EQ(out, c.value) << c.text;
    }
}

TEST(IniInteger, TextThatDoesNotConvertWhollyFailsAndLeavesTheOutputAlone)
{
    for (const char* text : {"", " ", "+", "-", "0x", "0X", "0xG", "0x-1", "0x+1", "12abc", "1 2", " 5", "5 ",
                             "+-5", "--5", "-0x10", "1e3", "99999999999999999999", "0x10000000000000000",
                             "0x8000000000000000", "00x", "ten"}) {
        long long out = 777;
        EXPECT_FALSE(parseIniInteger(text, out)) << '"' << text << '"';
        EXPECT_EQ(out, 777) << text;
    }
}

TEST(IniInteger, ReadersFallBackOnAbsentOrMalformedValues)
{
    IniFile ini = parsed("[O]\r\n"
                         "Hex= 0x2D \r\n"
                         "Word=thirty\r\n"
                         "Two=2\r\n"
                         "Minus=-1\r\n"
                         "Zero=0\r\n"
                         "Yes=yes\r\n");
    EXPECT_EQ(ini.readInteger("O", "Hex", 30), 45);
    EXPECT_EQ(ini.readInteger("O", "Word", 30), 30);
    EXPECT_EQ(ini.readInteger("O", "Absent", 30), 30);
    EXPECT_TRUE(ini.readBool("O", "Two", false));
    EXPECT_TRUE(ini.readBool("O", "Minus", false));
    EXPECT_TRUE(ini.readBool("O", "Hex", false));
    EXPECT_FALSE(ini.readBool("O", "Zero", true));
    EXPECT_TRUE(ini.readBool("O", "Yes", true));
    EXPECT_FALSE(ini.readBool("O", "Yes", false));
    EXPECT_TRUE(ini.readBool("O", "Absent", true));
}

// --- Writing ---------------------------------------------------------------------------------

const char* const kDocument = "; settings\r\n"
                              "[User]\r\n"
                              "Name=Ann\r\n"
                              "; the login\r\n"
                              "ID=ann\r\n"
                              "\r\n"
                              "[Options]\r\n"
                              "Browser=lynx\r\n"
                              "; trailing comment\r\n"
                              "\r\n"
                              "\r\n"
                              "[Custom]\r\n"
                              "keep=me\r\n";

TEST(IniFileWrite, AnExistingKeyIsReplacedInPlace)
{
    IniFile ini = parsed(kDocument);
    ini.writeString("user", "NAME", "Bea");
    ini.writeInteger("Options", "browser", -12);
    EXPECT_EQ(ini.serialize(), "; settings\r\n"
                               "[User]\r\n"
                               "NAME=Bea\r\n"
                               "; the login\r\n"
                               "ID=ann\r\n"
                               "\r\n"
                               "[Options]\r\n"
                               "browser=-12\r\n"
                               "; trailing comment\r\n"
                               "\r\n"
                               "\r\n"
                               "[Custom]\r\n"
                               "keep=me\r\n");
}

TEST(IniFileWrite, ANewKeyFollowsTheLastKeyLineOfItsSection)
{
    IniFile ini = parsed(kDocument);
    ini.writeString("User", "RetAddr", "ann@example.org");
    ini.writeBool("OPTIONS", "SaveSent", true);
    ini.writeBool("Options", "FullHeaders", false);
    EXPECT_EQ(ini.serialize(), "; settings\r\n"
                               "[User]\r\n"
                               "Name=Ann\r\n"
                               "; the login\r\n"
                               "ID=ann\r\n"
                               "RetAddr=ann@example.org\r\n"
                               "\r\n"
                               "[Options]\r\n"
                               "Browser=lynx\r\n"
                               "SaveSent=1\r\n"
                               "FullHeaders=0\r\n"
                               "; trailing comment\r\n"
                               "\r\n"
                               "\r\n"
                               "[Custom]\r\n"
                               "keep=me\r\n");
}

TEST(IniFileWrite, AKeyInASectionWithoutKeysGoesRightAfterItsHeader)
{
    IniFile ini = parsed("[Empty]\r\n"
                         "; nothing yet\r\n"
                         "[Next]\r\n");
    ini.writeString("empty", "k", "v");
    EXPECT_EQ(ini.serialize(), "[Empty]\r\n"
                               "k=v\r\n"
                               "; nothing yet\r\n"
                               "[Next]\r\n");
}

TEST(IniFileWrite, ANewSectionGoesAtTheEndOfTheFile)
{
    IniFile ini = parsed("top=1\n[A]\na=1");
    ini.writeString("B", "b", "2");
    ini.writeString("B", "c", "3");
    ini.writeString("A", "a2", "x");
    EXPECT_EQ(ini.serialize(), "top=1\r\n"
                               "[A]\r\n"
                               "a=1\r\n"
                               "a2=x\r\n"
                               "[B]\r\n"
                               "b=2\r\n"
                               "c=3\r\n");

    IniFile empty;
    empty.writeInteger("Mailbox", "LastMailbox", 4);
    EXPECT_EQ(empty.serialize(), "[Mailbox]\r\nLastMailbox=4\r\n");
}

TEST(IniFileWrite, WrittenLineBreaksCannotSplitTheLine)
{
    IniFile ini;
    ini.writeString("S", "k", "one\r\n[Injected]\nx=1");
    EXPECT_EQ(ini.serialize(), "[S]\r\nk=one  [Injected] x=1\r\n");
    EXPECT_FALSE(ini.hasSection("Injected"));
}

TEST(IniFileWrite, EraseSectionRemovesItsHeaderAndEveryLineUpToTheNextSection)
{
    IniFile ini = parsed("[A]\r\n"
                         "a=1\r\n"
                         "[Mailboxes]\r\n"
                         "m0=New Mail\r\n"
                         "; note\r\n"
                         "\r\n"
                         "[B]\r\n"
                         "b=2\r\n"
                         "[MAILBOXES]\r\n"
                         "m1=Old\r\n");
    ini.eraseSection("mailboxes");
    EXPECT_EQ(ini.serialize(), "[A]\r\n"
                               "a=1\r\n"
                               "[B]\r\n"
                               "b=2\r\n");
    EXPECT_FALSE(ini.hasSection("Mailboxes"));
    ini.eraseSection("Absent");
    EXPECT_EQ(ini.serialize(), "[A]\r\na=1\r\n[B]\r\nb=2\r\n");
}

TEST(IniFileWrite, EraseKeyRemovesOnlyTheFirstMatch)
{
    IniFile ini = parsed("[A]\r\nk=1\r\nK=2\r\nj=3\r\n[B]\r\nk=4\r\n");
    ini.eraseKey("a", "K");
    EXPECT_EQ(ini.serialize(), "[A]\r\nK=2\r\nj=3\r\n[B]\r\nk=4\r\n");
    ini.eraseKey("A", "absent");
    ini.eraseKey("Absent", "k");
    EXPECT_EQ(ini.serialize(), "[A]\r\nK=2\r\nj=3\r\n[B]\r\nk=4\r\n");
}

// --- Files -----------------------------------------------------------------------------------

TEST(IniFileFile, AMissingFileIsAnEmptyDocumentAndSaveCreatesItPrivate)
{
    TempDir dir;
    std::string path = dir.path() + "new.ini";
    IniFile ini(path);
    EXPECT_EQ(ini.serialize(), "");
    EXPECT_EQ(ini.path(), path);
    ini.writeString("Login", "default", "default");
    ini.save();
    EXPECT_EQ(fileBytes(path), "[Login]\r\ndefault=default\r\n");
    EXPECT_EQ(modeOf(path), 0600u);
}

TEST(IniFileFile, SaveRewritesTheLoadedFileKeepingWhatItDoesNotTouch)
{
    TempDir dir;
    std::string path = dir.path() + "keep.ini";
    writeBytes(path, "; hand edited\n[A]\nx = 1\n\n[B]\ny=\xE9\n");
    IniFile ini(path);
    ini.writeString("A", "z", "2");
    ini.save();
    EXPECT_EQ(fileBytes(path), "; hand edited\r\n[A]\r\nx = 1\r\nz=2\r\n\r\n[B]\r\ny=\xE9\r\n");
    EXPECT_EQ(modeOf(path), 0600u);
}

TEST(IniFileFile, SaveAsWritesTheNewPathAndRemembersIt)
{
    TempDir dir;
    IniFile ini;
    ini.writeString("S", "k", "v");
    ini.saveAs(dir.path() + "a.ini");
    EXPECT_EQ(ini.path(), dir.path() + "a.ini");
    ini.writeString("S", "k", "w");
    ini.save();
    EXPECT_EQ(fileBytes(dir.path() + "a.ini"), "[S]\r\nk=w\r\n");
}

TEST(IniFileFile, FailuresRaiseFileErrorNamingTheFile)
{
    TempDir dir;
    // A directory cannot be read as a file.
    EXPECT_THROW(IniFile{dir.path()}, FileError);

    IniFile ini(dir.path() + "no-such-dir/x.ini");
    ini.writeString("S", "k", "v");
    try {
        ini.save();
        FAIL() << "save into a missing directory succeeded";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("x.ini"), std::string::npos) << e.what();
    }
    EXPECT_THROW(IniFile().save(), FileError);
}

} // namespace
} // namespace tavik
