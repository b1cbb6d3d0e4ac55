// The desktop's defaults: its web browser, asked of xdg-settings; this program as its mail program.
#pragma once

#include <optional>
#include <string>

namespace tavik {

// The browser command of the desktop's default web browser: `xdg-settings get
// default-web-browser` names its desktop entry, whose Exec line is cut before the document
// placeholder (browserOfDesktopEntry). nullopt when xdg-settings is missing, fails, takes longer
// than a few seconds or names no usable entry. Blocks while xdg-settings runs.
std::optional<std::string> registeredWebBrowser();

// Makes the installed program the desktop's handler of mailto: links (xdg-mime, and xdg-settings
// where the desktop keeps its own choice). False when xdg-mime is missing or refuses.
bool setDefaultMailProgram();

} // namespace tavik
