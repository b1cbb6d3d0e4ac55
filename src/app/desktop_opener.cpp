#include "app/desktop_opener.h"

#include <QDesktopServices>
#include <QUrl>

#include "window_common/text_conversion.h"

namespace tavik {

bool desktopMayOpenLink(const std::string& link)
{
    static const char* const kSchemes[] = {"http://", "https://", "ftp://", "mailto:"};
    bool allowed = false;
    for (const char* scheme : kSchemes) {
        const std::string prefix(scheme);
        if (link.size() <= prefix.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            char c = link[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            same = same && c == prefix[i];
        }
        allowed = allowed || same;
    }
    if (!allowed)
        return false;
    for (unsigned char c : link)
        if (c <= ' ' || c == 0x7F)
            return false;
    return true;
}

bool QtDesktopOpener::openFile(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(pathFromBytes(path)));
}

bool QtDesktopOpener::openLink(const std::string& link)
{
    if (!desktopMayOpenLink(link))
        return false;
    const QUrl url(fromStored(link), QUrl::TolerantMode);
    return url.isValid() && QDesktopServices::openUrl(url);
}

} // namespace tavik
