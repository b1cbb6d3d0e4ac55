// Viewer launches and desktop queries with real processes: every file name, however hostile,
// reaches the program as exactly one argument, and nothing runs through a shell.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"
#include "view/mime_manager.h"
#include "view/viewer_launcher.h"

using namespace tavik;
using tavik::test::fileBytes;
using tavik::test::TempDir;
using tavik::test::writeBytes;

namespace {

using Args = std::vector<std::string>;

constexpr int kExitTimeoutMs = 10000;

// Waits until process `pid` (not necessarily our child) has ended; false on time-out.
bool waitForExit(qint64 pid, int timeoutMs)
{
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0)
        return errno == ESRCH; // already gone
    pollfd p{fd, POLLIN, 0};
    int r;
    do
        r = ::poll(&p, 1, timeoutMs);
    while (r < 0 && errno == EINTR);
    ::close(fd);
    return r == 1;
}

void writeScript(const std::string& path, const std::string& body)
{
    writeBytes(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0700);
}

// The calls a recorder logged: per call, NUL-terminated fields of the argument count and then
// each argument. Empty optional when the log is not made of whole calls.
std::optional<std::vector<Args>> recordedCalls(const std::string& bytes)
{
    Args fields;
    for (std::size_t start = 0; start < bytes.size();) {
        std::size_t end = bytes.find('\0', start);
        if (end == std::string::npos)
            return std::nullopt;
        fields.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    std::vector<Args> calls;
    for (std::size_t i = 0; i < fields.size();) {
        std::size_t n = std::strtoul(fields[i].c_str(), nullptr, 10);
        if (fields[i] != std::to_string(n) || n > fields.size() - i - 1)
            return std::nullopt;
        calls.emplace_back(fields.begin() + static_cast<std::ptrdiff_t>(i + 1),
                           fields.begin() + static_cast<std::ptrdiff_t>(i + 1 + n));
        i += n + 1;
    }
    return calls;
}

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

// Runs the test inside the temporary directory, where a shell would have created its files.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& dir) : old_(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir);
    }
    ~WorkingDirectory() { std::filesystem::current_path(old_); }

private:
    std::filesystem::path old_;
};

struct LaunchFixture : ::testing::Test {
    TempDir dir;
    std::string bin = dir.path() + "bin/";
    std::string recorder = bin + "recorder";
    std::string output = dir.path() + "args.out";
    ViewerLauncher launcher;
    EnvGuard env;

    void SetUp() override
    {
        std::filesystem::create_directories(bin);
        // Writes its arguments, then moves the file into place: once it has exited, the record
        // is whole.
        writeScript(recorder, "printf '%s\\0' \"$#\" \"$@\" > '" + output + ".tmp' && mv '" + output + ".tmp' '" +
                                  output + "'\n");
    }

    // Arguments the recorder received from the last launch.
    std::optional<Args> lastArguments()
    {
        if (!waitForExit(launcher.lastProcessId(), kExitTimeoutMs))
            return std::nullopt;
        auto calls = recordedCalls(fileBytes(output));
        std::filesystem::remove(output);
        if (!calls || calls->size() != 1)
            return std::nullopt;
        return calls->front();
    }

    bool exists(const std::string& name) const { return std::filesystem::exists(dir.path() + name); }
};

} // namespace

TEST_F(LaunchFixture, HostileFileNamesReachTheViewerAsExactlyOneArgument)
{
    WorkingDirectory here(dir.path());
    TMimeManager m(dir.path() + "mime.def", &launcher);
    ASSERT_TRUE(m.SetViewer("text/plain", recorder));
    const std::vector<std::pair<std::string, std::string>> names = {
        {"a; touch x", "a; touch x"},
        {"$(touch y)", "$(touch y)"},
        {"`touch z`", "`touch z`"},
        {"it's \"quoted\" & echo w > w | cat", "it's \"quoted\" & echo w > w | cat"},
        {"two\nlines; touch v", "two\nlines; touch v"},
        {"*", "*"},
        {"-rf", "./-rf"}, // never read as an option
        {dir.path() + "with space.txt", dir.path() + "with space.txt"},
    };
    for (const auto& [name, received] : names) {
        ASSERT_TRUE(m.LaunchViewer(name, "text/plain")) << name;
        EXPECT_EQ(lastArguments(), Args{received}) << name;
    }
    for (const char* made : {"x", "y", "z", "w", "v"})
        EXPECT_FALSE(exists(made)) << "a shell ran and created " << made;
}

TEST_F(LaunchFixture, CommandLineApplicationsKeepTheirArgumentsAndAddTheFileLast)
{
    TMimeManager m(dir.path() + "mime.def", &launcher);
    ASSERT_TRUE(m.SetViewer("text/html", joinDesktopExec({recorder, "--title", "two words; touch x"})));
    ASSERT_TRUE(m.LaunchViewer("$(id).htm", "text/html"));
    EXPECT_EQ(lastArguments(), (Args{"--title", "two words; touch x", "$(id).htm"}));

    // A program whose path holds a space is one program, not a command line.
    std::string spaced = bin + "my recorder";
    std::filesystem::copy_file(recorder, spaced);
    ASSERT_TRUE(m.SetViewer("image/gif", spaced));
    ASSERT_TRUE(m.LaunchViewer("p.gif", "image/gif"));
    EXPECT_EQ(lastArguments(), Args{"p.gif"});
}

TEST_F(LaunchFixture, BytesThatCannotPassUnchangedAreRefused)
{
    TMimeManager m(dir.path() + "mime.def", &launcher);
    ASSERT_TRUE(m.SetViewer("text/plain", recorder));
    // Latin-1 bytes are no UTF-8: the viewer gets them exactly, or no launch happens at all.
    std::string latin1 = "caf\xe9.txt";
    if (m.LaunchViewer(latin1, "text/plain")) {
        EXPECT_EQ(lastArguments(), Args{latin1});
    }
    EXPECT_FALSE(launcher.startProgram(recorder, {std::string("a\0b", 3)}));
    EXPECT_FALSE(launcher.startProgram(bin + "not-there", {"x"}));
    EXPECT_FALSE(launcher.startProgram("", {}));
}

TEST_F(LaunchFixture, QueriesReturnStandardOutputOfASuccessfulRun)
{
    std::string echo = bin + "echo-args";
    writeScript(echo, "printf '[%s]' \"$@\"; echo noise >&2\n");
    EXPECT_EQ(launcher.queryProgram(echo, {"a b", "$(id)"}), std::string("[a b][$(id)]"));

    std::string failing = bin + "failing";
    writeScript(failing, "echo partial; exit 3\n");
    EXPECT_EQ(launcher.queryProgram(failing, {}), std::nullopt);
    EXPECT_EQ(launcher.queryProgram(bin + "not-there", {}), std::nullopt);
    EXPECT_EQ(launcher.queryProgram(echo, {std::string("a\0b", 3)}), std::nullopt);

    // Endless output is cut off at the limit.
    std::string endless = bin + "endless";
    writeScript(endless, "exec yes\n");
    EXPECT_EQ(launcher.queryProgram(endless, {}), std::nullopt);
}

TEST_F(LaunchFixture, AHangingQueryIsKilledAtItsTimeOut)
{
    std::string hanging = bin + "hanging";
    writeScript(hanging, "exec sleep 600\n");
    ViewerLauncher quick(300);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(quick.queryProgram(hanging, {}), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(LaunchFixture, SuggestionFromTheDesktopAssociationIsLaunched)
{
    WorkingDirectory here(dir.path());
    std::string log = dir.path() + "xdg.log";
    // Stands in for xdg-mime: logs each call's arguments and answers for one type.
    writeScript(bin + "xdg-mime", "printf '%s\\0' \"$#\" \"$@\" >> '" + log + "'\n"
                                  "if [ \"$1 $2\" = 'query filetype' ]; then echo 'text/x-tavik'; exit 0; fi\n"
                                  "if [ \"$1 $2 $3\" = 'query default text/x-tavik' ]; then\n"
                                  "  echo 'tavik-recorder.desktop'; exit 0\n"
                                  "fi\n"
                                  "exit 1\n");
    std::filesystem::create_directories(dir.path() + "share/applications");
    writeBytes(dir.path() + "share/applications/tavik-recorder.desktop",
               "[Desktop Entry]\nType=Application\nExec=recorder --from-desktop %f\n");
    const char* path = std::getenv("PATH");
    env.set("PATH", bin + ":" + (path ? path : "/usr/bin:/bin"));
    env.set("XDG_DATA_HOME", dir.path() + "share");
    env.set("XDG_DATA_DIRS", dir.path() + "none");

    TMimeManager m(dir.path() + "mime.def", &launcher);
    ASSERT_TRUE(m.StoreEntry(MimeTypeEntry{"text/x-tavik", false, "Test", "", "tvk"}));
    EXPECT_EQ(m.SuggestViewer("a; touch x"), recorder + " --from-desktop");
    EXPECT_EQ(recordedCalls(fileBytes(log)),
              (std::vector<Args>{{"query", "filetype", "a; touch x"}, {"query", "default", "text/x-tavik"}}));

    ASSERT_TRUE(m.LaunchViewer("a; touch x", "text/x-tavik"));
    EXPECT_EQ(lastArguments(), (Args{"--from-desktop", "a; touch x"}));
    EXPECT_FALSE(exists("x"));

    // Without xdg-mime there is no suggestion and so no launch.
    env.set("PATH", dir.path() + "none");
    EXPECT_EQ(m.SuggestViewer("a; touch x"), "");
    EXPECT_FALSE(m.LaunchViewer("a; touch x", "text/x-tavik"));
}
