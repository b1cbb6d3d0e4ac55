// The crossing between the core's 8-bit strings and Qt's Unicode strings. Text is Latin-1 at this
// boundary; paths are file-system bytes and go through QFile's name encoding instead.
#pragma once

#include <QFile>
#include <QFont>
#include <QString>
#include <string>

namespace tavik {

// 8-bit text from core, for a widget.
inline QString fromLatin1(const std::string& text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// A widget's text for core; characters beyond Latin-1 become "?".
inline std::string toLatin1(const QString& text)
{
    return text.toLatin1().toStdString();
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
    QString s = fromLatin1(text);
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
