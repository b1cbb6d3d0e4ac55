// The desktop's own handler for files and links, for what neither the MIME type registry nor the
// browser setting provides. The program uses QtDesktopOpener; tests record what would be opened.
#pragma once

#include <string>

namespace tavik {

// Hands a file or a link to the desktop's default application.
class DesktopOpener {
public:
    virtual ~DesktopOpener() = default;
    // Opens the file at `path` (file-system bytes, absolute). True when the desktop took it.
    virtual bool openFile(const std::string& path) = 0;
    // Opens `link`, one that desktopMayOpenLink allows. True when the desktop took it.
    virtual bool openLink(const std::string& link) = 0;
};

// True for the links the desktop may be handed: "http://", "https://", "ftp://" and "mailto:"
// (any letter case) followed by text without blanks or control characters. Never "file:" or any
// other scheme: a link in a message must not open local files or programs.
bool desktopMayOpenLink(const std::string& link);

// Through QDesktopServices (xdg-open or the desktop portal; no shell is involved).
class QtDesktopOpener : public DesktopOpener {
public:
    bool openFile(const std::string& path) override;
    bool openLink(const std::string& link) override;
};

} // namespace tavik
