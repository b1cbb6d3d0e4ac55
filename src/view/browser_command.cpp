#include "view/browser_command.h"

#include <cstdlib>

#include "profile/file_util.h"
#include "view/mime_manager.h"

namespace tavik {

namespace {

// A desktop entry is a few kilobytes; a huge file there is no entry worth reading.
constexpr std::uint64_t kMaxDesktopEntryBytes = 1024 * 1024;

std::string trimmed(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

std::string withoutTrailingBlanks(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    return s;
}

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string withSlash(std::string dir)
{
    if (!dir.empty() && dir.back() != '/')
        dir.push_back('/');
    return dir;
}

} // namespace

std::optional<std::string> browserFromOpenCommand(const std::string& command)
{
    static const char* const kAssociationPlaceholder = " \"%1\"";
    static const char* const kDesktopPlaceholders[] = {" %u", " %U", " %f", " %F"};
    std::size_t at = command.find(kAssociationPlaceholder);
    for (const char* placeholder : kDesktopPlaceholders) {
        const std::size_t p = command.find(placeholder);
        if (p != std::string::npos && (at == std::string::npos || p < at))
            at = p;
    }
    if (at == std::string::npos)
        return std::nullopt;
    const std::string kept = withoutTrailingBlanks(command.substr(0, at));
    if (trimmed(kept).empty())
        return std::nullopt;
    return kept;
}

bool isDesktopEntryName(const std::string& name)
{
    static const std::string kSuffix = ".desktop";
    if (name.size() <= kSuffix.size() || name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
        return false;
    if (name[0] == '.' || name[0] == '-')
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\')
            return false;
    return true;
}

std::vector<std::string> applicationDirectories()
{
    std::vector<std::string> dirs;
    std::string home = environment("XDG_DATA_HOME");
    if (home.empty() || home[0] != '/') {
        const std::string user = environment("HOME");
        home = user.empty() ? std::string() : withSlash(user) + ".local/share";
    }
    if (!home.empty())
        dirs.push_back(withSlash(home) + "applications/");
    std::string list = environment("XDG_DATA_DIRS");
    if (list.empty())
        list = "/usr/local/share/:/usr/share/";
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t colon = list.find(':', start);
        if (colon == std::string::npos)
            colon = list.size();
        const std::string dir = list.substr(start, colon - start);
        if (!dir.empty() && dir[0] == '/')
            dirs.push_back(withSlash(dir) + "applications/");
        start = colon + 1;
    }
    return dirs;
}

std::vector<std::string> desktopEntryPaths(const std::string& directory, const std::string& name)
{
    std::vector<std::string> paths{directory + name};
    std::string nested = name;
    for (std::size_t dash = nested.find('-'); dash != std::string::npos; dash = nested.find('-', dash + 1)) {
        nested[dash] = '/';
        paths.push_back(directory + nested);
    }
    return paths;
}

std::optional<std::string> browserOfDesktopEntry(const std::string& name)
{
    if (!isDesktopEntryName(name))
        return std::nullopt;
    for (const std::string& dir : applicationDirectories()) {
        for (const std::string& path : desktopEntryPaths(dir, name)) {
            if (!fileExists(path))
                continue;
            std::string bytes;
            try {
                bytes = readWholeFile(path, kMaxDesktopEntryBytes);
            } catch (const FileError&) {
                continue;
            }
            // The first entry found is the one the desktop uses, with or without a usable line.
            return browserFromOpenCommand(desktopEntryExec(bytes));
        }
    }
    return std::nullopt;
}

} // namespace tavik
