#include "profile/ini_file.h"

#include "profile/file_util.h"

#include <cerrno>
#include <charconv>
#include <string_view>
#include <sys/stat.h>

namespace tavik {

// Rules the class comment leaves open, decided here:
// - There is no comment syntax: a line is a section line ("[name]", name up to the first "]"),
//   a key line (a non-empty name before its first "="), or something else, which is kept as it
//   is and never read. So "; note" survives, and so does a key that happens to start with ";".
// - Letter case is ignored for ASCII letters only; other bytes must match exactly.
// - A duplicate section is invisible to readers and writers (the first one wins), but
//   eraseSection removes all of them, so that a section rewritten whole really is whole.
// - CR and LF inside written names and values would split the line; they are written as blanks.

namespace {

// Ini files are small; anything this large is not one of ours.
constexpr std::uint64_t kMaxIniFileBytes = 16u * 1024u * 1024u;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

bool parseSectionLine(std::string_view line, std::string_view& name)
{
    line = trim(line);
    if (line.empty() || line.front() != '[')
        return false;
    line.remove_prefix(1);
    name = trim(line.substr(0, line.find(']')));
    return true;
}

bool parseKeyLine(std::string_view line, std::string_view& key, std::string_view& value)
{
    std::string_view ignored;
    if (parseSectionLine(line, ignored))
        return false;
    auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = trim(line.substr(0, eq));
    if (key.empty())
        return false;
    value = trim(line.substr(eq + 1));
    return true;
}

// A CR or LF written into a line would end it; a CR inside a value survives as long as no LF
// follows it and it is not at an end, where readers trim it.
std::string oneLine(std::string text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        char& c = text[i];
        if (c == '\n' || (c == '\r' && (i == 0 || i + 1 == text.size() || text[i + 1] == '\n')))
            c = ' ';
    }
    return text;
}

std::string cutValue(std::string_view value)
{
    return std::string(value.substr(0, IniFile::kMaxValueLength));
}

constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Index of the first header line of `section`, or npos.
std::size_t findSection(const std::vector<std::string>& lines, std::string_view section)
{
    std::string_view name;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (parseSectionLine(lines[i], name) && sameName(name, section))
            return i;
    return npos;
}

// One past the last line of the section whose header is at `header`.
std::size_t sectionEnd(const std::vector<std::string>& lines, std::size_t header)
{
    std::string_view name;
    std::size_t i = header + 1;
    while (i < lines.size() && !parseSectionLine(lines[i], name))
        ++i;
    return i;
}

// Index of the first line of `key` in the first `section`, or npos.
std::size_t findKey(const std::vector<std::string>& lines, std::string_view section, std::string_view key)
{
    std::size_t header = findSection(lines, section);
    if (header == npos)
        return npos;
    std::size_t end = sectionEnd(lines, header);
    std::string_view k, v;
    for (std::size_t i = header + 1; i < end; ++i)
        if (parseKeyLine(lines[i], k, v) && sameName(k, key))
            return i;
    return npos;
}

} // namespace

IniFile::IniFile(const std::string& path) : path_(path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return;
    parse(readWholeFile(path, kMaxIniFileBytes));
}

void IniFile::parse(const std::string& bytes)
{
    lines_.clear();
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        std::size_t stop = lf == std::string::npos ? bytes.size() : lf;
        std::size_t len = stop - start;
        if (lf != std::string::npos && len > 0 && bytes[stop - 1] == '\r')
            --len;
        lines_.emplace_back(bytes, start, len);
        start = lf == std::string::npos ? bytes.size() : lf + 1;
    }
}

std::string IniFile::serialize() const
{
    std::string out;
    for (const auto& line : lines_) {
        out += line;
        out += "\r\n";
    }
    return out;
}

void IniFile::save() const
{
    if (path_.empty())
        throw FileError(path_, "ini document has no file name");
    writeFileAtomically(path_, serialize(), kPrivateFileMode);
}

void IniFile::saveAs(const std::string& path)
{
    if (path.empty())
        throw FileError(path, "ini document has no file name");
    writeFileAtomically(path, serialize(), kPrivateFileMode);
    path_ = path;
}

bool IniFile::hasSection(const std::string& section) const { return findSection(lines_, section) != npos; }

bool IniFile::hasKey(const std::string& section, const std::string& key) const
{
    return findKey(lines_, section, key) != npos;
}

std::string IniFile::readString(const std::string& section, const std::string& key, const std::string& fallback) const
{
    std::size_t i = findKey(lines_, section, key);
    if (i == npos)
        return fallback;
    std::string_view k, v;
    parseKeyLine(lines_[i], k, v);
    return cutValue(v);
}

long long IniFile::readInteger(const std::string& section, const std::string& key, long long fallback) const
{
    long long value = fallback;
    if (!parseIniInteger(readString(section, key), value))
        return fallback;
    return value;
}

bool IniFile::readBool(const std::string& section, const std::string& key, bool fallback) const
{
    long long value = 0;
    if (!parseIniInteger(readString(section, key), value))
        return fallback;
    return value != 0;
}

void IniFile::writeString(const std::string& section, const std::string& key, const std::string& value)
{
    std::string line = oneLine(key) + "=" + oneLine(value);
    std::size_t header = findSection(lines_, section);
    if (header == npos) {
        lines_.push_back("[" + oneLine(section) + "]");
        lines_.push_back(std::move(line));
        return;
    }
    std::size_t end = sectionEnd(lines_, header);
    std::size_t insertAt = header + 1;
    std::string_view k, v;
    for (std::size_t i = header + 1; i < end; ++i) {
        if (!parseKeyLine(lines_[i], k, v))
            continue;
        if (sameName(k, key)) {
            lines_[i] = std::move(line);
            return;
        }
        insertAt = i + 1;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(line));
}

void IniFile::writeInteger(const std::string& section, const std::string& key, long long value)
{
    writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(const std::string& section, const std::string& key, bool value)
{
    writeString(section, key, value ? "1" : "0");
}

void IniFile::eraseKey(const std::string& section, const std::string& key)
{
    std::size_t i = findKey(lines_, section, key);
    if (i != npos)
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
}

void IniFile::eraseSection(const std::string& section)
{
    for (std::size_t header = findSection(lines_, section); header != npos; header = findSection(lines_, section))
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
                     lines_.begin() + static_cast<std::ptrdiff_t>(sectionEnd(lines_, header)));
}

std::vector<std::string> IniFile::sectionNames() const
{
    std::vector<std::string> names;
    std::string_view name;
    for (const auto& line : lines_) {
        if (!parseSectionLine(line, name))
            continue;
        bool seen = false;
        for (const auto& n : names)
            seen = seen || sameName(n, name);
        if (!seen)
            names.emplace_back(name);
    }
    return names;
}

std::vector<std::string> IniFile::sectionLines(const std::string& section) const
{
    std::vector<std::string> out;
    std::size_t header = findSection(lines_, section);
    if (header == npos)
        return out;
    std::size_t end = sectionEnd(lines_, header);
    std::string_view k, v;
    for (std::size_t i = header + 1; i < end; ++i)
        if (parseKeyLine(lines_[i], k, v))
            out.push_back(std::string(k) + "=" + cutValue(v));
    return out;
}

std::vector<std::string> IniFile::sectionKeys(const std::string& section) const
{
    std::vector<std::string> out;
    std::size_t header = findSection(lines_, section);
    if (header == npos)
        return out;
    std::size_t end = sectionEnd(lines_, header);
    std::string_view k, v;
    for (std::size_t i = header + 1; i < end; ++i)
        if (parseKeyLine(lines_[i], k, v))
            out.emplace_back(k);
    return out;
}

bool parseIniInteger(const std::string& text, long long& out)
{
    const char* first = text.data();
    const char* last = first + text.size();
    int base = 10;
    if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        first += 2;
    } else if (first != last && *first == '+') {
        ++first;
    }
    // from_chars takes a minus sign itself; a second sign or one after "0x" is not a number.
    if (first == last || (base == 16 && *first == '-') || (text[0] == '+' && *first == '-'))
        return false;
    long long value = 0;
    auto [end, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc() || end != last)
        return false;
    out = value;
    return true;
}

} // namespace tavik
