// The MIME type registry: the record format against bytes written out here, loading of good,
// corrupt and hostile files, the lookups and edits, and the viewer suggestion and launch
// through a scripted launcher.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>

#include "profile/file_util.h"
#include "support/test_support.h"
#include "view/mime_manager.h"

using namespace tavik;
using tavik::test::fileBytes;
using tavik::test::TempDir;
using tavik::test::writeBytes;

namespace {

struct Row {
    const char* type;
    const char* extension;
    const char* description;
};

// The built-in table as it must read, copied out independently of the code's own table.
const Row kBuiltIn[23] = {
    {"application/octet-stream", "", "Unknown file format"},
    {"image/gif", "gif", "CIS Graphic Interchange Format"},
    {"image/jpeg", "jpg", "JPEG graphic format"},
    {"image/tiff", "tif", "Tagged Image File Format"},
    {"message/rfc822", "", "RFC 822 Format message"},
    {"message/partial", "", "Partial RFC 822 message"},
    {"message/news", "", "Usenet News message format"},
    {"video/mpeg", "mpg", "MPEG video format"},
    {"video/quicktime", "mov", "Apple QuickTime video"},
    {"audio/basic", "au", "Sun music format"},
    {"application/postscript", "ps", "Postscript document"},
    {"application/rtf", "rtf", "Rich Text Format"},
    {"application/wordperfect5.1", "wpd", "WordPerfect 5.1 Document"},
    {"application/pdf", "pdf", "Adobe Portable Document Format"},
    {"application/msword", "doc", "Microsoft Word Document"},
    {"application/zip", "zip", "ZIP compressed archive"},
    {"text/plain", "txt", "Plain text document"},
    {"text/enriched", "", "Enriched text format"},
    {"text/richtext", "", "Rich Text document"},
    {"text/html", "htm", "HTML document"},
    {"image/x-bitmap", "bmp", "Microsoft Bitmap Image"},
    {"video/x-msvideo", "avi", "Microsoft video format"},
    {"audio/x-wave", "wav", "Microsoft wave sound"},
};

// A length-prefixed field of `room` characters, zero beyond the text.
std::string field(const std::string& s, std::size_t room)
{
    std::string f(1, static_cast<char>(s.size()));
    f += s;
    f.append(room - s.size(), '\0');
    return f;
}

// One record laid out field by field: 41 + 1 + 31 + 256 + 4 bytes.
std::string record(const std::string& type, bool viewerSet, const std::string& description,
                   const std::string& application, const std::string& extension)
{
    return field(type, 40) + std::string(1, viewerSet ? '\1' : '\0') + field(description, 30) +
           field(application, 255) + field(extension, 3);
}

std::string builtInFileBytes()
{
    std::string bytes;
    for (const Row& r : kBuiltIn)
        bytes += record(r.type, false, r.description, "", r.extension);
    return bytes;
}

MimeTypeEntry entry(const std::string& type, const std::string& extension, const std::string& description = "",
                    const std::string& application = "", bool viewerSet = false)
{
    return MimeTypeEntry{type, viewerSet, description, application, extension};
}

std::vector<MimeTypeEntry> entriesOf(const TMimeManager& m)
{
    std::vector<MimeTypeEntry> v;
    for (int i = 1; i <= m.Count(); ++i)
        v.push_back(m.GetEntry(i));
    return v;
}

void expectOutOfRange(const std::function<void()>& f)
{
    try {
        f();
        ADD_FAILURE() << "no error raised";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Index out of range");
    }
}

// Sets environment variables for one test and puts the old values back.
class EnvGuard {
public:
    void set(const std::string& name, const std::string& value)
    {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    ~EnvGuard()
    {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// Answers queries as scripted (by the arguments joined with "|") and records every call.
struct ScriptedLauncher : ProgramLauncher {
    std::map<std::string, std::string> answers;
    std::vector<std::vector<std::string>> queries;
    std::vector<std::vector<std::string>> started; // program first, then its arguments
    bool startSucceeds = true;

    bool startProgram(const std::string& program, const std::vector<std::string>& arguments) override
    {
        std::vector<std::string> call{program};
        call.insert(call.end(), arguments.begin(), arguments.end());
        started.push_back(call);
        return startSucceeds;
    }
    std::optional<std::string> queryProgram(const std::string& program,
                                            const std::vector<std::string>& arguments) override
    {
        std::vector<std::string> call{program};
        call.insert(call.end(), arguments.begin(), arguments.end());
        queries.push_back(call);
        std::string key = program;
        for (const std::string& a : arguments)
            key += "|" + a;
        auto it = answers.find(key);
        if (it == answers.end())
            return std::nullopt;
        return it->second;
    }
};

struct RegistryFixture : ::testing::Test {
    TempDir dir;
    std::string path = dir.path() + "mime.def";
};

} // namespace

// ---- The record and file format ----

TEST(MimeRecordTest, EncodesFieldsAtTheirOffsets)
{
    std::string expected(333, '\0');
    expected[0] = 9;
    expected.replace(1, 9, "image/gif");
    expected[41] = 1;
    expected[42] = 5;
    expected.replace(43, 5, "Funny");
    expected[73] = 12;
    expected.replace(74, 12, "/usr/bin/eog");
    expected[329] = 3;
    expected.replace(330, 3, "gif");
    MimeTypeEntry e = entry("image/gif", "gif", "Funny", "/usr/bin/eog", true);
    EXPECT_EQ(encodeMimeRecord(e), expected);
    EXPECT_EQ(decodeMimeRecord(expected.data()), e);
    EXPECT_EQ(record("image/gif", true, "Funny", "/usr/bin/eog", "gif"), expected);
}

TEST(MimeRecordTest, BytesAfterAStringAndOddViewerBytesCarryNoMeaning)
{
    std::string r(333, 'x');
    r[0] = 4;
    r.replace(1, 4, "a/bc");
    r[41] = 2; // neither 0 nor 1: not a chosen viewer
    r[42] = 0;
    r[73] = 0;
    r[329] = 1;
    r[330] = 'q';
    EXPECT_EQ(decodeMimeRecord(r.data()), entry("a/bc", "q"));
}

TEST(MimeRecordTest, LengthBytesLargerThanTheirFieldReadTheFieldOnly)
{
    // Each field filled with its own letter; every length byte claims 255.
    std::string r;
    r += '\xff' + std::string(40, 'T');
    r += '\1';
    r += '\xff' + std::string(30, 'D');
    r += '\xff' + std::string(255, 'A');
    r += '\xff' + std::string(3, 'E');
    ASSERT_EQ(r.size(), 333u);
    MimeTypeEntry e = decodeMimeRecord(r.data());
    EXPECT_EQ(e.TypeName, std::string(40, 'T'));
    EXPECT_TRUE(e.ViewerSet);
    EXPECT_EQ(e.Description, std::string(30, 'D'));
    EXPECT_EQ(e.Application, std::string(255, 'A'));
    EXPECT_EQ(e.Extension, "EEE");

    // One past the room of the field is cut just the same.
    r[0] = 41;
    r[42] = 31;
    r[329] = 4;
    e = decodeMimeRecord(r.data());
    EXPECT_EQ(e.TypeName.size(), 40u);
    EXPECT_EQ(e.Description.size(), 30u);
    EXPECT_EQ(e.Extension.size(), 3u);
}

TEST(MimeRecordTest, EncodingCutsValuesToTheirFields)
{
    MimeTypeEntry e = entry(std::string(50, 't'), "abcdef", std::string(40, 'd'), std::string(300, 'a'));
    EXPECT_EQ(encodeMimeRecord(e), record(std::string(40, 't'), false, std::string(30, 'd'), std::string(255, 'a'), "abc"));
}

TEST(MimeRecordTest, BuiltInTableAndShippedTemplate)
{
    const auto& builtIns = builtInMimeEntries();
    ASSERT_EQ(builtIns.size(), 23u);
    for (std::size_t i = 0; i < 23; ++i)
        EXPECT_EQ(builtIns[i], entry(kBuiltIn[i].type, kBuiltIn[i].extension, kBuiltIn[i].description))
            << "entry " << i + 1;
    EXPECT_EQ(encodeMimeFile(builtIns), builtInFileBytes());

    // The template beside the executables was written at build time from the same table.
    std::string templ = tavik::test::binDir() + "mime.def";
    ASSERT_TRUE(fileExists(templ)) << templ;
    EXPECT_EQ(fileBytes(templ).size(), 23u * 333u);
    EXPECT_EQ(fileBytes(templ), builtInFileBytes());
}

// ---- Loading and writing back ----

TEST_F(RegistryFixture, LoadsRecordsInFileOrderAndWritesThemBackUnchanged)
{
    std::string bytes = record("image/gif", true, "GIF", "/usr/bin/eog", "gif") + record("text/x-c", false, "C", "", "c");
    writeBytes(path, bytes);
    {
        TMimeManager m(path);
        EXPECT_EQ(m.RegistryPath, path);
        ASSERT_EQ(m.Count(), 2);
        EXPECT_EQ(m.GetEntry(1), entry("image/gif", "gif", "GIF", "/usr/bin/eog", true));
        EXPECT_EQ(m.GetEntry(2), entry("text/x-c", "c", "C"));
    }
    EXPECT_EQ(fileBytes(path), bytes);
}

TEST_F(RegistryFixture, MissingFileGivesBuiltInsAndWritesThem)
{
    TMimeManager m(path);
    EXPECT_EQ(entriesOf(m), builtInMimeEntries());
    EXPECT_EQ(fileBytes(path), builtInFileBytes());
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistryFixture, CorruptOrForeignFilesGiveBuiltInsAndAreRewrittenAtOnce)
{
    std::string two = record("image/png", false, "PNG", "", "png") + record("text/x-c", false, "C", "", "c");
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"one byte too many", two + "x"},
        {"one byte short", two.substr(0, two.size() - 1)},
        {"empty", ""},
        {"more than 2000 records", std::string(2001 * 333, '\0')},
    };
    for (const auto& [what, bytes] : cases) {
        writeBytes(path, bytes);
        TMimeManager m(path);
        EXPECT_EQ(entriesOf(m), builtInMimeEntries()) << what;
        EXPECT_EQ(fileBytes(path), builtInFileBytes()) << what;
    }
}

TEST_F(RegistryFixture, TwoThousandRecordsAreARegistry)
{
    std::string bytes;
    for (int i = 0; i < 2000; ++i)
        bytes += record("x/t" + std::to_string(i), false, "", "", "");
    writeBytes(path, bytes);
    TMimeManager m(path);
    EXPECT_EQ(m.Count(), 2000);
    EXPECT_EQ(m.GetEntry(2000).TypeName, "x/t1999");
    // A registry that is full takes no new entry but still takes replacements.
    EXPECT_FALSE(m.StoreEntry(entry("x/new", "new")));
    EXPECT_TRUE(m.StoreEntry(entry("X/T5", "", "replaced")));
    EXPECT_EQ(m.Count(), 2000);
    EXPECT_EQ(m.GetEntry(6).Description, "replaced");
}

TEST_F(RegistryFixture, UnreadableFileGivesBuiltInsWithoutAnError)
{
    // A directory where the file should be: it can be neither read nor replaced.
    std::filesystem::create_directory(path);
    {
        TMimeManager m(path);
        EXPECT_EQ(entriesOf(m), builtInMimeEntries());
        EXPECT_THROW(m.Save(), FileError);
    } // the destructor swallows the same failure
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST_F(RegistryFixture, ChangesAreWrittenBackAtDestructionAsRecords)
{
    {
        TMimeManager m(path);
        EXPECT_TRUE(m.StoreEntry(entry("image/png", "png", "Portable Network Graphics")));
        EXPECT_TRUE(m.SetViewer("image/png", "/usr/bin/eog"));
        EXPECT_TRUE(m.SetViewer("text/plain", "/usr/bin/mousepad"));
        m.DeleteEntry(23);
        EXPECT_EQ(fileBytes(path), builtInFileBytes()) << "nothing is written before the registry closes";
    }
    std::string expected = builtInFileBytes().substr(0, 22 * 333) +
                           record("image/png", true, "Portable Network Graphics", "/usr/bin/eog", "png");
    expected.replace(16 * 333, 333, record("text/plain", true, "Plain text document", "/usr/bin/mousepad", "txt"));
    EXPECT_EQ(fileBytes(path), expected);
    TMimeManager again(path);
    EXPECT_EQ(again.Count(), 23);
    EXPECT_TRUE(again.HasViewer("image/png"));
}

// Caps the size of every file this process writes, for one scope.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old_);
        rlimit small = old_;
        small.rlim_cur = bytes;
        ok = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    bool ok = false;

private:
    rlimit old_{};
    void (*oldHandler_)(int) = nullptr;
};

TEST_F(RegistryFixture, AFailedWriteBackLeavesTheOldFileWhole)
{
    writeBytes(path, builtInFileBytes());
    {
        std::optional<TMimeManager> m(std::in_place, path);
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(m->StoreEntry(entry("x/t" + std::to_string(i), "")));
        // Files stop growing at 4000 bytes: a write in place would leave a cut registry behind.
        FileSizeLimit limit(4000);
        ASSERT_TRUE(limit.ok);
        EXPECT_THROW(m->Save(), FileError);
        m.reset(); // destruction meets the same failure, silently
    }
    EXPECT_EQ(fileBytes(path), builtInFileBytes());
    int files = 0;
    for ([[maybe_unused]] const auto& f : std::filesystem::directory_iterator(dir.path()))
        ++files;
    EXPECT_EQ(files, 1) << "no temporary file is left beside the registry";
}

// ---- Lookups and edits ----

TEST_F(RegistryFixture, TypeOfFile)
{
    TMimeManager m(path);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"notes.txt", "text/plain"},
        {"NOTES.TXT", "text/plain"},
        {"page.html", "text/html"},             // cut to "htm"
        {"photo.jpeg", "application/octet-stream"}, // cut to "jpe", which no entry has
        {"photo.JPG", "image/jpeg"},
        {"README", "application/octet-stream"},
        {"trailing.", "application/octet-stream"},
        {"film.xyz", "application/octet-stream"},
        {"/home/u/dir.d/file", "application/octet-stream"}, // the dot belongs to a directory
        {"/home/u/dir.d/sound.wav", "audio/x-wave"},
        {"archive.tar.zip", "application/zip"},
        {".txt", "text/plain"},
        {"", "application/octet-stream"},
    };
    for (const auto& [name, type] : cases)
        EXPECT_EQ(m.TypeOfFile(name), type) << name;

    // The first entry with the extension wins; stored entries take part.
    ASSERT_TRUE(m.StoreEntry(entry("text/x-other", "txt")));
    ASSERT_TRUE(m.StoreEntry(entry("image/png", "PNG")));
    EXPECT_EQ(m.TypeOfFile("a.txt"), "text/plain");
    EXPECT_EQ(m.TypeOfFile("a.png"), "image/png");
}

TEST_F(RegistryFixture, FindTypeAndExtensionOfIgnoreLetterCase)
{
    TMimeManager m(path);
    EXPECT_EQ(m.FindType("application/octet-stream"), 1);
    EXPECT_EQ(m.FindType("IMAGE/Jpeg"), 3);
    EXPECT_EQ(m.FindType("audio/x-wave"), 23);
    EXPECT_EQ(m.FindType("image/png"), 0);
    EXPECT_EQ(m.FindType(""), 0);
    EXPECT_EQ(m.ExtensionOf("Text/HTML"), "htm");
    EXPECT_EQ(m.ExtensionOf("message/rfc822"), "");
    EXPECT_EQ(m.ExtensionOf("image/png"), "");
}

TEST_F(RegistryFixture, OctetStreamNeverHasAViewerButKeepsItsApplication)
{
    TMimeManager m(path);
    EXPECT_FALSE(m.HasViewer("application/octet-stream"));
    EXPECT_TRUE(m.SetViewer("Application/Octet-Stream", "/usr/bin/hexdump"));
    EXPECT_FALSE(m.HasViewer("application/octet-stream"));
    EXPECT_EQ(m.GetEntry(1), entry("application/octet-stream", "", "Unknown file format", "/usr/bin/hexdump", false));

    // A stored file that claims a chosen viewer for entry 1 does not count either.
    ScriptedLauncher launcher;
    writeBytes(path, record("application/octet-stream", true, "", "/usr/bin/hexdump", ""));
    TMimeManager loaded(path, &launcher);
    EXPECT_FALSE(loaded.HasViewer("application/octet-stream"));
    // The launch still uses the stored application.
    EXPECT_TRUE(loaded.LaunchViewer("/tmp/blob", "application/octet-stream"));
    ASSERT_EQ(launcher.started.size(), 1u);
    EXPECT_EQ(launcher.started[0], (std::vector<std::string>{"/usr/bin/hexdump", "/tmp/blob"}));
}

TEST_F(RegistryFixture, SetViewerMarksOtherTypesAndRefusesWhatItCannotStore)
{
    TMimeManager m(path);
    EXPECT_FALSE(m.HasViewer("image/gif"));
    EXPECT_TRUE(m.SetViewer("IMAGE/GIF", "/usr/bin/eog"));
    EXPECT_TRUE(m.HasViewer("image/gif"));
    EXPECT_EQ(m.GetEntry(2).Application, "/usr/bin/eog");

    auto before = entriesOf(m);
    EXPECT_FALSE(m.SetViewer("image/png", "/usr/bin/eog"));
    EXPECT_FALSE(m.HasViewer("image/png"));
    // A path longer than the field is refused, not cut into another path.
    EXPECT_TRUE(m.SetViewer("text/plain", "/" + std::string(254, 'p')));
    before[16].Application = "/" + std::string(254, 'p');
    before[16].ViewerSet = true;
    EXPECT_FALSE(m.SetViewer("text/html", "/" + std::string(255, 'p')));
    EXPECT_EQ(entriesOf(m), before);
}

TEST_F(RegistryFixture, DeleteEntryKeepsTheFixedEntries)
{
    TMimeManager m(path);
    m.DeleteEntry(1);
    m.DeleteEntry(22);
    EXPECT_EQ(m.Count(), 23);
    EXPECT_EQ(m.FindType("video/x-msvideo"), 22);

    ASSERT_TRUE(m.StoreEntry(entry("image/png", "png")));
    ASSERT_TRUE(m.StoreEntry(entry("image/webp", "web")));
    m.DeleteEntry(23);
    EXPECT_EQ(m.FindType("audio/x-wave"), 0);
    EXPECT_EQ(m.Count(), 24);
    EXPECT_EQ(m.GetEntry(23).TypeName, "image/png");
    EXPECT_EQ(m.GetEntry(24).TypeName, "image/webp");
    m.DeleteEntry(23);
    EXPECT_EQ(m.GetEntry(23).TypeName, "image/webp");

    for (int bad : {0, -1, 24})
        expectOutOfRange([&] { m.DeleteEntry(bad); });
    for (int bad : {0, -5, 24, 1000000})
        expectOutOfRange([&] { m.GetEntry(bad); });
    EXPECT_EQ(m.Count(), 23);
}

TEST_F(RegistryFixture, StoreEntryReplacesSameTypeAndExtensionElseAppends)
{
    TMimeManager m(path);
    ASSERT_TRUE(m.StoreEntry(entry("TEXT/PLAIN", "TXT", "Text", "/usr/bin/less", true)));
    EXPECT_EQ(m.Count(), 23);
    EXPECT_EQ(m.GetEntry(17), entry("TEXT/PLAIN", "TXT", "Text", "/usr/bin/less", true));

    ASSERT_TRUE(m.StoreEntry(entry("text/plain", "asc", "Armoured text")));
    EXPECT_EQ(m.Count(), 24);
    EXPECT_EQ(m.GetEntry(24).Extension, "asc");
    EXPECT_EQ(m.FindType("text/plain"), 17);

    // Values are cut to their fields before they are compared and stored.
    ASSERT_TRUE(m.StoreEntry(entry("x/" + std::string(45, 'n'), "long", std::string(35, 'd'))));
    MimeTypeEntry stored = m.GetEntry(25);
    EXPECT_EQ(stored.TypeName, "x/" + std::string(38, 'n'));
    EXPECT_EQ(stored.Extension, "lon");
    EXPECT_EQ(stored.Description, std::string(30, 'd'));
    ASSERT_TRUE(m.StoreEntry(entry("x/" + std::string(50, 'n'), "lonely", "again")));
    EXPECT_EQ(m.Count(), 25);
    EXPECT_EQ(m.GetEntry(25).Description, "again");

    EXPECT_FALSE(m.StoreEntry(entry("x/app", "app", "", "/" + std::string(255, 'a'))));
    EXPECT_EQ(m.Count(), 25);
}

TEST(MimeIconTest, IconFollowsTheMajorTypeInAnyCase)
{
    EXPECT_EQ(mimeIconName("application/pdf"), "MIME_APPLICATION");
    EXPECT_EQ(mimeIconName("audio/basic"), "MIME_AUDIO");
    EXPECT_EQ(mimeIconName("Image/GIF"), "MIME_IMAGE");
    EXPECT_EQ(mimeIconName("message/rfc822"), "MIME_MESSAGE");
    EXPECT_EQ(mimeIconName("TEXT/plain"), "MIME_TEXT");
    EXPECT_EQ(mimeIconName("video/mpeg"), "MIME_VIDEO");
    EXPECT_EQ(mimeIconName("text"), "MIME_TEXT");
    EXPECT_EQ(mimeIconName("model/vrml"), "");
    EXPECT_EQ(mimeIconName("applications/x"), "");
    EXPECT_EQ(mimeIconName("au/x"), "");
    EXPECT_EQ(mimeIconName(""), "");
}

// ---- Desktop command lines ----

TEST(DesktopExecTest, SplitsQuotedArgumentsAndDropsFieldCodes)
{
    using Args = std::vector<std::string>;
    EXPECT_EQ(parseDesktopExec("evince %U"), (Args{"evince"}));
    EXPECT_EQ(parseDesktopExec("  gimp-2.10   %f  "), (Args{"gimp-2.10"}));
    EXPECT_EQ(parseDesktopExec(R"("/opt/My App/view" --title "a \"b\" \$c \`d\` e\\f" %F)"),
              (Args{"/opt/My App/view", "--title", "a \"b\" $c `d` e\\f"}));
    EXPECT_EQ(parseDesktopExec("prog --width=100%% %i %c %k \"%u\""), (Args{"prog", "--width=100%"}));
    EXPECT_EQ(parseDesktopExec("prog \"\" x\"y z\"w"), (Args{"prog", "", "xy zw"}));
    EXPECT_EQ(parseDesktopExec("prog 50%"), (Args{"prog", "50%"}));
    EXPECT_EQ(parseDesktopExec(""), (Args{}));
    EXPECT_EQ(parseDesktopExec("prog \"unclosed"), std::nullopt);
}

TEST(DesktopExecTest, JoinedArgumentsSplitBackUnchanged)
{
    std::vector<std::string> args = {"/opt/My App/view", "", "a; touch x", "$(id)", "`id`", "it's", "50%",
                                     "back\\slash", "\"q\"", "line\nbreak", "%f", "plain"};
    EXPECT_EQ(parseDesktopExec(joinDesktopExec(args)), args);
    EXPECT_EQ(joinDesktopExec({"/usr/bin/prog", "--x"}), "/usr/bin/prog --x");
}

TEST(DesktopExecTest, ReadsExecOfTheDesktopEntryGroupOnly)
{
    std::string file = "# comment\r\n"
                       "[Desktop Entry]\r\n"
                       "Name=Viewer\r\n"
                       "Exec[de]=falsch\r\n"
                       "TryExec=viewer\r\n"
                       "Exec = viewer\\s--title \"A\\\\\\\\B\" %U\r\n"
                       "Exec=second\r\n"
                       "[Desktop Action New]\r\n"
                       "Exec=viewer --new\r\n";
    EXPECT_EQ(desktopEntryExec(file), "viewer --title \"A\\\\B\" %U");
    EXPECT_EQ(parseDesktopExec(desktopEntryExec(file)), (std::vector<std::string>{"viewer", "--title", "A\\B"}));
    EXPECT_EQ(desktopEntryExec("[Desktop Action New]\nExec=viewer --new\n[Desktop Entry]\nName=x\n"), "");
    EXPECT_EQ(desktopEntryExec(""), "");
    EXPECT_EQ(desktopEntryExec(std::string("[Desktop Entry]\nExec=a\0b\n", 24)), std::string("a\0b", 3));
}

// ---- Suggestion and launch through a scripted launcher ----

struct SuggestFixture : RegistryFixture {
    EnvGuard env;
    ScriptedLauncher launcher;
    std::string bin = dir.path() + "bin/";
    std::string apps = dir.path() + "home/applications/";

    void SetUp() override
    {
        std::filesystem::create_directories(bin);
        std::filesystem::create_directories(apps);
        std::filesystem::create_directories(dir.path() + "sys/applications/kde4");
        env.set("XDG_DATA_HOME", dir.path() + "home");
        env.set("XDG_DATA_DIRS", dir.path() + "sys");
        env.set("PATH", bin);
        program("viewer");
    }
    std::string program(const std::string& name)
    {
        writeBytes(bin + name, "#!/bin/sh\n");
        ::chmod((bin + name).c_str(), 0700);
        return bin + name;
    }
    void associate(const std::string& file, const std::string& type, const std::string& id)
    {
        launcher.answers["xdg-mime|query|filetype|" + file] = type + "\n";
        launcher.answers["xdg-mime|query|default|" + type] = id + "\n";
    }
};

TEST_F(SuggestFixture, FollowsTypeDefaultApplicationAndExec)
{
    TMimeManager m(path, &launcher);
    associate("/tmp/doc.pdf", "application/pdf", "org.example.Viewer.desktop");
    writeBytes(apps + "org.example.Viewer.desktop", "[Desktop Entry]\nType=Application\nExec=viewer %U\n");
    EXPECT_EQ(m.SuggestViewer("/tmp/doc.pdf"), bin + "viewer");
    ASSERT_EQ(launcher.queries.size(), 2u);
    EXPECT_EQ(launcher.queries[0], (std::vector<std::string>{"xdg-mime", "query", "filetype", "/tmp/doc.pdf"}));
    EXPECT_EQ(launcher.queries[1], (std::vector<std::string>{"xdg-mime", "query", "default", "application/pdf"}));

    // Arguments of the Exec line make the suggestion a command line.
    writeBytes(apps + "org.example.Viewer.desktop", "[Desktop Entry]\nExec=viewer --mode \"two words\" %f\n");
    EXPECT_EQ(m.SuggestViewer("/tmp/doc.pdf"), bin + "viewer --mode \"two words\"");

    // Ids with dashes may live in subdirectories of the system's data directories.
    associate("/tmp/a.odt", "application/vnd.oasis.opendocument.text", "kde4-writer.desktop");
    writeBytes(dir.path() + "sys/applications/kde4/writer.desktop", "[Desktop Entry]\nExec=" + bin + "viewer\n");
    EXPECT_EQ(m.SuggestViewer("/tmp/a.odt"), bin + "viewer");

    // A file name that looks like an option is made a path before it reaches xdg-mime.
    associate("./-rf.pdf", "application/pdf", "org.example.Viewer.desktop");
    EXPECT_NE(m.SuggestViewer("-rf.pdf"), "");
    EXPECT_EQ(launcher.queries.back(), (std::vector<std::string>{"xdg-mime", "query", "default", "application/pdf"}));
    EXPECT_EQ(launcher.queries[launcher.queries.size() - 2][3], "./-rf.pdf");
}

TEST_F(SuggestFixture, AnyMissingLinkMeansNoSuggestion)
{
    TMimeManager m(path, &launcher);
    writeBytes(apps + "good.desktop", "[Desktop Entry]\nExec=viewer %f\n");
    EXPECT_EQ(m.SuggestViewer("/tmp/none.pdf"), "") << "xdg-mime missing or failing";

    associate("/tmp/a", "", "good.desktop");
    EXPECT_EQ(m.SuggestViewer("/tmp/a"), "") << "no type";
    associate("/tmp/b", "text/plain", "");
    EXPECT_EQ(m.SuggestViewer("/tmp/b"), "") << "no default application";
    associate("/tmp/c", "text/plain", "gone.desktop");
    EXPECT_EQ(m.SuggestViewer("/tmp/c"), "") << "no such .desktop file";
    associate("/tmp/d", "text/plain", "../../home/applications/good.desktop");
    EXPECT_EQ(m.SuggestViewer("/tmp/d"), "") << "an id is no path";
    writeBytes(apps + "noexec.desktop", "[Desktop Entry]\nName=x\n");
    associate("/tmp/e", "text/plain", "noexec.desktop");
    EXPECT_EQ(m.SuggestViewer("/tmp/e"), "") << "no Exec line";
    writeBytes(apps + "missing.desktop", "[Desktop Entry]\nExec=not-installed %f\n");
    associate("/tmp/f", "text/plain", "missing.desktop");
    EXPECT_EQ(m.SuggestViewer("/tmp/f"), "") << "program not installed";
    writeBytes(apps + "broken.desktop", "[Desktop Entry]\nExec=\"viewer %f\n");
    associate("/tmp/g", "text/plain", "broken.desktop");
    EXPECT_EQ(m.SuggestViewer("/tmp/g"), "") << "unclosed quote";
    writeBytes(apps + "huge.desktop", "[Desktop Entry]\nExec=viewer\n" + std::string(2 << 20, '#'));
    associate("/tmp/h", "text/plain", "huge.desktop");
    EXPECT_EQ(m.SuggestViewer("/tmp/h"), "") << "not a .desktop file";

    TMimeManager noPlatform(dir.path() + "other.def");
    EXPECT_EQ(noPlatform.SuggestViewer("/tmp/a"), "");
}

TEST_F(SuggestFixture, LaunchViewerPassesTheFileAsOneLastArgument)
{
    TMimeManager m(path, &launcher);
    using Call = std::vector<std::string>;
    std::string spaced = program("my viewer");

    ASSERT_TRUE(m.SetViewer("image/gif", bin + "viewer"));
    EXPECT_TRUE(m.LaunchViewer("a; touch x.gif", "image/gif"));
    ASSERT_TRUE(m.SetViewer("image/jpeg", spaced));
    EXPECT_TRUE(m.LaunchViewer("$(id).jpg", "IMAGE/JPEG"));
    ASSERT_TRUE(m.SetViewer("text/html", "viewer --new-window \"two words\""));
    EXPECT_TRUE(m.LaunchViewer("-page.htm", "text/html"));
    ASSERT_EQ(launcher.started.size(), 3u);
    EXPECT_EQ(launcher.started[0], (Call{bin + "viewer", "a; touch x.gif"}));
    EXPECT_EQ(launcher.started[1], (Call{spaced, "$(id).jpg"}));
    EXPECT_EQ(launcher.started[2], (Call{"viewer", "--new-window", "two words", "./-page.htm"}));

    // Without a stored application the suggestion is used.
    associate("/tmp/doc.pdf", "application/pdf", "v.desktop");
    writeBytes(apps + "v.desktop", "[Desktop Entry]\nExec=viewer --single %U\n");
    EXPECT_TRUE(m.LaunchViewer("/tmp/doc.pdf", "application/pdf"));
    EXPECT_EQ(launcher.started.back(), (Call{bin + "viewer", "--single", "/tmp/doc.pdf"}));
    EXPECT_EQ(m.GetEntry(14).Application, "") << "a suggestion is not stored";
}

TEST_F(SuggestFixture, LaunchViewerFailures)
{
    TMimeManager m(path, &launcher);
    EXPECT_FALSE(m.LaunchViewer("/tmp/a.png", "image/png")) << "unknown type";
    EXPECT_FALSE(m.LaunchViewer("/tmp/a.txt", "text/plain")) << "no application, no suggestion";
    ASSERT_TRUE(m.SetViewer("text/html", "viewer \"unclosed"));
    EXPECT_FALSE(m.LaunchViewer("/tmp/a.htm", "text/html")) << "unreadable command line";
    EXPECT_TRUE(launcher.started.empty());

    ASSERT_TRUE(m.SetViewer("text/plain", bin + "viewer"));
    launcher.startSucceeds = false;
    EXPECT_FALSE(m.LaunchViewer("/tmp/a.txt", "text/plain")) << "launch refused";

    TMimeManager noPlatform(dir.path() + "other.def");
    ASSERT_TRUE(noPlatform.SetViewer("text/plain", bin + "viewer"));
    EXPECT_FALSE(noPlatform.LaunchViewer("/tmp/a.txt", "text/plain"));
}
