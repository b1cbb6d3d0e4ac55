// The registered web browser as the options dialog takes it: the desktop names its default
// browser by a desktop entry ("firefox-esr.desktop"), whose Exec line is the command that opens
// a document; the browser setting is that command cut before its document placeholder, and the
// link is later appended to it after a blank.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavik {

// The browser command in front of the first document placeholder of an open command: the file
// association's blank + "\"%1\"", or a desktop entry's blank + "%u", "%U", "%f" or "%F". What is
// kept stays a command line in the desktop's Exec form (quoting, "%%" and other field codes as
// they were), which the launcher splits; blanks at its end are dropped. nullopt when the command
// is empty, holds no placeholder or nothing in front of it: the setting then stays as it was.
std::optional<std::string> browserFromOpenCommand(const std::string& command);

// True for a desktop entry name xdg-settings may answer: a plain file name ending in ".desktop",
// no directory part, no control characters.
bool isDesktopEntryName(const std::string& name);

// The "applications/" directories desktop entries are looked up in, in order: $XDG_DATA_HOME
// (else ~/.local/share), then each of $XDG_DATA_DIRS (else /usr/local/share and /usr/share).
// Each ends in "/".
std::vector<std::string> applicationDirectories();

// Where the entry `name` may lie in `directory`, in lookup order: the name itself, then the name
// with its leading dashes taken one by one as sub-directories ("kde4-konq.desktop" may be
// "kde4/konq.desktop").
std::vector<std::string> desktopEntryPaths(const std::string& directory, const std::string& name);

// The browser command for the desktop entry `name`: the Exec line (desktopEntryExec) of the
// first entry file found in applicationDirectories(), through browserFromOpenCommand. nullopt when no file is found or
// readable, it has no Exec line, or the line has no placeholder.
std::optional<std::string> browserOfDesktopEntry(const std::string& name);

} // namespace tavik
