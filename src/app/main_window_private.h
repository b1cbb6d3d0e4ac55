// What the files of the main window share: its texts, file names and small helpers. Included
// by src/app/main_window*.cpp only.
#pragma once

#include <QIcon>
#include <QString>
#include <string>

#include "window_common/text_conversion.h"
#include "window_common/wait_cursor.h"

namespace tavik::main_window_detail {

inline const char* const kTitle = "Tavik mail";
inline const char* const kLayoutFile = "treedata.ini";
inline const char* const kLayoutSection = "Layout";
inline const char* const kTreeSection = "TreeView";
inline const char* const kWindowSection = "Window";
inline constexpr int kDefaultSideBarWidth = 112;
inline constexpr int kDefaultTreeWidth = 190;

inline QIcon picture(const char* name)
{
    if (!name)
        return {};
    return QIcon(QStringLiteral(":/pictures/") + QString::fromLatin1(name) + QStringLiteral(".png"));
}

// A menu caption shows "&" itself only when doubled.
inline QString menuCaption(const std::string& text)
{
    return fromStored(text).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

} // namespace tavik::main_window_detail
