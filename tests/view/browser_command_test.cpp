// The registered browser: the open command cut before its document placeholder, and where the
// desktop entry is looked up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

#include "support/test_support.h"
#include "view/browser_command.h"

namespace tavik {
namespace {

using std::nullopt;

TEST(BrowserFromOpenCommand, CutsBeforeTheFirstDocumentPlaceholder)
{
    // The file association's form.
    EXPECT_EQ(browserFromOpenCommand("C:\\Program Files\\Web\\browser.exe \"%1\""), "C:\\Program Files\\Web\\browser.exe");
    EXPECT_EQ(browserFromOpenCommand("\"C:\\Web\\b.exe\" -nohome \"%1\""), "\"C:\\Web\\b.exe\" -nohome");
    // The desktop's forms, with what follows the placeholder dropped.
    EXPECT_EQ(browserFromOpenCommand("firefox-esr %u"), "firefox-esr");
    EXPECT_EQ(browserFromOpenCommand("/usr/bin/chromium %U --incognito"), "/usr/bin/chromium");
    EXPECT_EQ(browserFromOpenCommand("viewer --open %f"), "viewer --open");
    EXPECT_EQ(browserFromOpenCommand("viewer %F"), "viewer");
    EXPECT_EQ(browserFromOpenCommand("\"/opt/My Browser/browser\" --new-window %u"),
              "\"/opt/My Browser/browser\" --new-window");
    // The earliest placeholder of either kind wins.
    EXPECT_EQ(browserFromOpenCommand("b --a %U --b \"%1\""), "b --a");
    EXPECT_EQ(browserFromOpenCommand("b --a \"%1\" --b %U"), "b --a");
}

TEST(BrowserFromOpenCommand, KeepsTheDesktopsCommandLineForm)
{
    // Quoting, "%%" and the other field codes stay for the launcher, which splits the line.
    EXPECT_EQ(browserFromOpenCommand("browser %i --title=100%% %u"), "browser %i --title=100%%");
    EXPECT_EQ(browserFromOpenCommand("\"/opt/a  b/browser\"   %u"), "\"/opt/a  b/browser\"");
}

TEST(BrowserFromOpenCommand, LeavesTheFieldAloneWithoutAPlaceholder)
{
    EXPECT_EQ(browserFromOpenCommand(""), nullopt);
    EXPECT_EQ(browserFromOpenCommand("/usr/bin/browser -nohome"), nullopt);
    EXPECT_EQ(browserFromOpenCommand("browser \"%2\""), nullopt);
    // A placeholder glued to an option is no document argument the link could follow.
    EXPECT_EQ(browserFromOpenCommand("browser --url=%u"), nullopt);
    // Nothing in front of the placeholder is no program.
    EXPECT_EQ(browserFromOpenCommand(" %u"), nullopt);
    EXPECT_EQ(browserFromOpenCommand("   \"%1\""), nullopt);
}

TEST(DesktopEntryNames, AreFileNamesOfDesktopEntries)
{
    EXPECT_TRUE(isDesktopEntryName("firefox-esr.desktop"));
    EXPECT_TRUE(isDesktopEntryName("org.gnome.Epiphany.desktop"));
    EXPECT_FALSE(isDesktopEntryName(".desktop"));
    EXPECT_FALSE(isDesktopEntryName("../../etc/x.desktop"));
    EXPECT_FALSE(isDesktopEntryName("dir/x.desktop"));
    EXPECT_FALSE(isDesktopEntryName("browser.txt"));
    EXPECT_FALSE(isDesktopEntryName("a\nb.desktop"));

    EXPECT_EQ(desktopEntryPaths("/d/", "kde4-konq-browser.desktop"),
              (std::vector<std::string>{"/d/kde4-konq-browser.desktop", "/d/kde4/konq-browser.desktop",
                                        "/d/kde4/konq/browser.desktop"}));
}

// Points the XDG directories at a temporary tree for one test.
class DesktopEntryLookup : public ::testing::Test {
protected:
    DesktopEntryLookup()
    {
        save("XDG_DATA_HOME");
        save("XDG_DATA_DIRS");
        setenv("XDG_DATA_HOME", (dir_.path() + "home").c_str(), 1);
        setenv("XDG_DATA_DIRS", (dir_.path() + "one:" + dir_.path() + "two/").c_str(), 1);
    }
    ~DesktopEntryLookup() override
    {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    void entry(const std::string& relative, const std::string& exec)
    {
        const std::string path = dir_.path() + relative;
        for (std::size_t slash = path.find('/', dir_.path().size()); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0700);
        test::writeBytes(path, "[Desktop Entry]\nType=Application\nExec=" + exec + "\n");
    }
    const std::string& root() const { return dir_.path(); }

private:
    void save(const char* name)
    {
        const char* v = std::getenv(name);
        saved_.emplace_back(name, v ? std::optional<std::string>(v) : nullopt);
    }
    test::TempDir dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(DesktopEntryLookup, TheFirstEntryFoundDecides)
{
    EXPECT_EQ(applicationDirectories(),
              (std::vector<std::string>{root() + "home/applications/", root() + "one/applications/",
                                        root() + "two/applications/"}));
    entry("two/applications/web.desktop", "/usr/bin/system-web %u");
    EXPECT_EQ(browserOfDesktopEntry("web.desktop"), "/usr/bin/system-web");
    // The user's own entry hides the system's.
    entry("home/applications/web.desktop", "/home/me/bin/web --profile me %U");
    EXPECT_EQ(browserOfDesktopEntry("web.desktop"), "/home/me/bin/web --profile me");
    // An entry whose line has no placeholder decides too: the field stays as it was.
    entry("one/applications/plain.desktop", "/usr/bin/plain");
    entry("two/applications/plain.desktop", "/usr/bin/plain %u");
    EXPECT_EQ(browserOfDesktopEntry("plain.desktop"), nullopt);
    // Dashes may stand for sub-directories.
    entry("one/applications/vendor/browser.desktop", "vendor-browser %u");
    EXPECT_EQ(browserOfDesktopEntry("vendor-browser.desktop"), "vendor-browser");
    EXPECT_EQ(browserOfDesktopEntry("missing.desktop"), nullopt);
    EXPECT_EQ(browserOfDesktopEntry("../two/applications/web.desktop"), nullopt);
}

} // namespace
} // namespace tavik
