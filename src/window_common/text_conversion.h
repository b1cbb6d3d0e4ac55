// The crossing between the core's strings and Qt's Unicode strings. Core text is UTF-8; bytes
// that are not (profiles written by the 8-bit program) read as Windows-1252. Paths are
// file-system bytes and go through QFile's name encoding instead.
#pragma once

#include <QFile>
#include <QFont>
#include <QString>
#include <string>

#include "text/unicode_text.h"

namespace tavik {

// Stored text from core, for a widget.
inline QString fromStored(std::string_view text)
{
    if (isValidUtf8(text))
        return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    const std::string utf8 = windows1252ToUtf8(text);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// A widget's text for core, as UTF-8.
inline std::string toStored(const QString& text)
{
    return text.toUtf8().toStdString();
}

// A path from core, for a widget or a Qt file call.
inline QString pathFromBytes(const std::string& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// A path from a widget or Qt, as core's bytes.
inline std::string pathToBytes(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// A core message with CR LF line ends, for a message box (Qt breaks lines at LF alone).
inline QString messageText(const std::string& text)
{
    QString s = fromStored(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return s;
}

// A font as the layout files keep it, and back; false (the font untouched) for an empty or
// unreadable text.
inline std::string fontText(const QFont& font) { return font.toString().toUtf8().toStdString(); }
inline bool fontFromText(const std::string& text, QFont& font)
{
    if (text.empty())
        return false;
    QFont stored;
    if (!stored.fromString(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))))
        return false;
    font = stored;
    return true;
}

} // namespace tavik
