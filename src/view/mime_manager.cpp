#include "view/mime_manager.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "profile/file_util.h"

namespace tavik {

namespace {

// Field offsets of a record; each string field is a length byte followed by its characters.
constexpr std::size_t kTypeNameOffset = 0;
constexpr std::size_t kViewerSetOffset = 41;
constexpr std::size_t kDescriptionOffset = 42;
constexpr std::size_t kApplicationOffset = 73;
constexpr std::size_t kExtensionOffset = 329;

// A .desktop file is a few kilobytes; anything far larger is not one.
constexpr std::uint64_t kMaxDesktopFileBytes = 1 << 20;

// The desktop's association tool.
constexpr const char* kXdgMime = "xdg-mime";

struct BuiltIn {
    const char* type;
    const char* extension;
    const char* description;
};

constexpr BuiltIn kBuiltIns[] = {
    {"application/octet-stream", "", "Unknown file format"},
    {"image/gif", "gif", "CIS Graphic Interchange Format"},
    {"image/jpeg", "jpg", "JPEG graphic format"},
    {"image/tiff", "tif", "Tagged Image File Format"},
    {"message/rfc822", "", "RFC 822 Format message"},
    {"message/partial", "", "Partial RFC 822 message"},
    {"message/news", "", "Usenet News message format"},
    {"video/mpeg", "mpg", "MPEG video format"},
    {"video/quicktime", "mov", "Apple QuickTime video"},
    {"audio/basic", "au", "Sun music format"},
    {"application/postscript", "ps", "Postscript document"},
    {"application/rtf", "rtf", "Rich Text Format"},
    {"application/wordperfect5.1", "wpd", "WordPerfect 5.1 Document"},
    {"application/pdf", "pdf", "Adobe Portable Document Format"},
    {"application/msword", "doc", "Microsoft Word Document"},
    {"application/zip", "zip", "ZIP compressed archive"},
    {"text/plain", "txt", "Plain text document"},
    {"text/enriched", "", "Enriched text format"},
    {"text/richtext", "", "Rich Text document"},
    {"text/html", "htm", "HTML document"},
    {"image/x-bitmap", "bmp", "Microsoft Bitmap Image"},
    {"video/x-msvideo", "avi", "Microsoft video format"},
    {"audio/x-wave", "wav", "Microsoft wave sound"},
};

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerAscii(std::string s)
{
    for (char& c : s)
        c = lowerAscii(c);
    return s;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

void putField(std::string& record, std::size_t offset, const std::string& value, std::size_t width)
{
    std::size_t n = std::min(value.size(), width);
    record[offset] = static_cast<char>(n);
    std::memcpy(&record[offset + 1], value.data(), n);
}

std::string getField(const char* record, std::size_t offset, std::size_t width)
{
    std::size_t n = std::min<std::size_t>(static_cast<unsigned char>(record[offset]), width);
    return std::string(record + offset + 1, n);
}

// Cuts every string to its field so that memory holds what the file will hold.
MimeTypeEntry fitted(MimeTypeEntry e)
{
    if (e.TypeName.size() > kMimeTypeNameMax)
        e.TypeName.resize(kMimeTypeNameMax);
    if (e.Description.size() > kMimeDescriptionMax)
        e.Description.resize(kMimeDescriptionMax);
    if (e.Extension.size() > kMimeExtensionMax)
        e.Extension.resize(kMimeExtensionMax);
    return e;
}

// Reads the registry file; false when it is missing, unreadable or not a file we write.
bool loadRecords(const std::string& path, std::vector<MimeTypeEntry>& entries)
{
    std::string bytes;
    try {
        bytes = readWholeFile(path, static_cast<std::uint64_t>(kMaxMimeEntries) * kMimeRecordSize);
    } catch (const FileError&) {
        return false;
    }
    // An empty file would leave a registry without even its catch-all entry, for good.
    if (bytes.empty() || bytes.size() % kMimeRecordSize != 0)
        return false;
    entries.clear();
    entries.reserve(bytes.size() / kMimeRecordSize);
    for (std::size_t at = 0; at < bytes.size(); at += kMimeRecordSize)
        entries.push_back(decodeMimeRecord(bytes.data() + at));
    return true;
}

// A file argument that starts with "-" would be read as an option by the program it is given to.
std::string fileArgument(const std::string& fileName)
{
    if (!fileName.empty() && fileName[0] == '-')
        return "./" + fileName;
    return fileName;
}

// The first line of a tool's answer, up to any ";", without surrounding white space.
std::string firstWord(const std::string& answer)
{
    std::string s = answer.substr(0, answer.find_first_of("\n;"));
    const char* ws = " \t\r\n";
    std::size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

bool isPlainToken(const std::string& s, std::size_t maxSize)
{
    if (s.empty() || s.size() > maxSize)
        return false;
    for (unsigned char c : s)
        if (c <= ' ' || c == 0x7f)
            return false;
    return true;
}

bool plausibleMimeType(const std::string& type)
{
    if (!isPlainToken(type, 255) || type.find('/') == std::string::npos)
        return false;
    char c = lowerAscii(type[0]);
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// A desktop file id names a file inside an applications directory, never a path out of it.
bool plausibleDesktopId(const std::string& id)
{
    const std::string suffix = ".desktop";
    return isPlainToken(id, 255) && id.size() > suffix.size() && id[0] != '.' &&
           id.find('/') == std::string::npos &&
           id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isRegularFile(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isExecutableFile(const std::string& path) { return isRegularFile(path) && ::access(path.c_str(), X_OK) == 0; }

std::string withSlash(std::string dir)
{
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

// Absolute directories of a colon-separated list; relative ones are ignored, as the base
// directory rules ask.
void appendAbsoluteDirs(const std::string& list, std::vector<std::string>& dirs)
{
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        std::string dir = list.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/')
            dirs.push_back(withSlash(dir));
        start = end + 1;
    }
}

std::vector<std::string> dataDirectories()
{
    std::vector<std::string> dirs;
    const char* home = std::getenv("XDG_DATA_HOME");
    const char* userHome = std::getenv("HOME");
    if (home && home[0] == '/')
        dirs.push_back(withSlash(home));
    else if (userHome && userHome[0] == '/')
        dirs.push_back(withSlash(userHome) + ".local/share/");
    const char* system = std::getenv("XDG_DATA_DIRS");
    appendAbsoluteDirs(system && *system ? system : "/usr/local/share/:/usr/share/", dirs);
    return dirs;
}

// The .desktop file of an id. An id stands for a path below "applications/" with "/" turned
// into "-", so leading dashes are tried as subdirectories too ("kde4-foo" is "kde4/foo").
std::string findDesktopFile(const std::string& id)
{
    std::vector<std::string> candidates{id};
    std::string c = id;
    for (std::size_t dash = c.find('-'); dash != std::string::npos; dash = c.find('-', dash + 1)) {
        c[dash] = '/';
        candidates.push_back(c);
    }
    for (const std::string& dir : dataDirectories())
        for (const std::string& name : candidates) {
            std::string path = dir + "applications/" + name;
            if (isRegularFile(path))
                return path;
        }
    return {};
}

// A program name as the launcher would find it: names without "/" are looked up in the
// absolute directories of PATH. Empty when there is no such executable.
std::string findProgram(const std::string& name)
{
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return isExecutableFile(name) ? name : std::string();
    const char* path = std::getenv("PATH");
    std::vector<std::string> dirs;
    appendAbsoluteDirs(path ? path : "/usr/local/bin:/usr/bin:/bin", dirs);
    for (const std::string& dir : dirs)
        if (isExecutableFile(dir + name))
            return dir + name;
    return {};
}

} // namespace

std::string encodeMimeRecord(const MimeTypeEntry& e)
{
    std::string r(kMimeRecordSize, '\0');
    putField(r, kTypeNameOffset, e.TypeName, kMimeTypeNameMax);
    r[kViewerSetOffset] = e.ViewerSet ? 1 : 0;
    putField(r, kDescriptionOffset, e.Description, kMimeDescriptionMax);
    putField(r, kApplicationOffset, e.Application, kMimeApplicationMax);
    putField(r, kExtensionOffset, e.Extension, kMimeExtensionMax);
    return r;
}

MimeTypeEntry decodeMimeRecord(const char* bytes)
{
    MimeTypeEntry e;
    e.TypeName = getField(bytes, kTypeNameOffset, kMimeTypeNameMax);
    e.ViewerSet = bytes[kViewerSetOffset] == 1;
    e.Description = getField(bytes, kDescriptionOffset, kMimeDescriptionMax);
    e.Application = getField(bytes, kApplicationOffset, kMimeApplicationMax);
    e.Extension = getField(bytes, kExtensionOffset, kMimeExtensionMax);
    return e;
}

std::string encodeMimeFile(const std::vector<MimeTypeEntry>& entries)
{
    std::string bytes;
    bytes.reserve(entries.size() * kMimeRecordSize);
    for (const MimeTypeEntry& e : entries)
        bytes += encodeMimeRecord(e);
    return bytes;
}

const std::vector<MimeTypeEntry>& builtInMimeEntries()
{
    static const std::vector<MimeTypeEntry> entries = [] {
        std::vector<MimeTypeEntry> v;
        for (const BuiltIn& b : kBuiltIns)
            v.push_back(MimeTypeEntry{b.type, false, b.description, "", b.extension});
        return v;
    }();
    return entries;
}

std::string mimeIconName(const std::string& type)
{
    std::string major = lowerAscii(type.substr(0, type.find('/')));
    for (const char* name : {"application", "audio", "image", "message", "text", "video"})
        if (major == name) {
            std::string icon = "MIME_" + major;
            for (char& c : icon)
                c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            return icon;
        }
    return {};
}

std::optional<std::vector<std::string>> parseDesktopExec(const std::string& line)
{
    static constexpr std::string_view kFieldCodes = "fFuUdDnNickvm";
    static constexpr std::string_view kQuotedEscapes = "\"`$\\";
    std::vector<std::string> args;
    std::string current;
    bool started = false;   // the current argument exists, even if it is empty ("")
    bool hadCode = false;   // it held a field code; one that held nothing else is dropped
    bool quoted = false;
    auto finish = [&] {
        if (started && !(current.empty() && hadCode))
            args.push_back(current);
        current.clear();
        started = hadCode = false;
    };
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '%' && i + 1 < line.size()) {
            char code = line[i + 1];
            if (code == '%') {
                current += '%';
                started = true;
                ++i;
                continue;
            }
            if (kFieldCodes.find(code) != std::string_view::npos) {
                ++i; // the file goes last, added by the launch
                hadCode = true;
                continue;
            }
        }
        if (quoted) {
            if (c == '"')
                quoted = false;
            else if (c == '\\' && i + 1 < line.size() && kQuotedEscapes.find(line[i + 1]) != std::string_view::npos)
                current += line[++i];
            else
                current += c;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            finish();
        } else if (c == '"') {
            quoted = true;
            started = true;
        } else {
            current += c;
            started = true;
        }
    }
    if (quoted)
        return std::nullopt;
    finish();
    return args;
}

std::string joinDesktopExec(const std::vector<std::string>& arguments)
{
    static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string line;
    for (const std::string& arg : arguments) {
        if (!line.empty())
            line += ' ';
        bool quote = arg.empty() || arg.find_first_of(kReserved) != std::string::npos;
        if (quote)
            line += '"';
        for (char c : arg) {
            if (c == '%')
                line += '%';
            else if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
                line += '\\';
            line += c;
        }
        if (quote)
            line += '"';
    }
    return line;
}

std::string desktopEntryExec(const std::string& bytes)
{
    bool inEntry = false;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos || line[b] == '#')
            continue;
        if (line[b] == '[') {
            std::size_t e = line.find_last_not_of(" \t");
            inEntry = line.compare(b, e - b + 1, "[Desktop Entry]") == 0;
            continue;
        }
        if (!inEntry)
            continue;
        std::size_t eq = line.find('=', b);
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(b, eq - b);
        key.erase(key.find_last_not_of(" \t") + 1);
        if (key != "Exec")
            continue;
        std::size_t v = line.find_first_not_of(" \t", eq + 1);
        std::string raw = v == std::string::npos ? std::string() : line.substr(v);
        std::string value;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size()) {
                char n = raw[i + 1];
                const char* to = n == 's' ? " " : n == 'n' ? "\n" : n == 't' ? "\t" : n == 'r' ? "\r" : n == '\\' ? "\\" : nullptr;
                if (to) {
                    value += to;
                    ++i;
                    continue;
                }
            }
            value += raw[i];
        }
        return value;
    }
    return {};
}

TMimeManager::TMimeManager(const std::string& registryPath, ProgramLauncher* launcher)
    : RegistryPath(registryPath), launcher_(launcher)
{
    if (loadRecords(RegistryPath, entries_))
        return;
    entries_ = builtInMimeEntries();
    try {
        Save();
    } catch (const FileError&) {
        // Reported nowhere: the registry works from memory and is written again at close.
    }
}

TMimeManager::~TMimeManager()
{
    try {
        Save();
    } catch (...) {
        // A destructor cannot report; the atomic write left the previous file in place.
    }
}

int TMimeManager::Count() const { return static_cast<int>(entries_.size()); }

MimeTypeEntry TMimeManager::GetEntry(int index) const
{
    if (index < 1 || index > Count())
        throw std::out_of_range("Index out of range");
    return entries_[static_cast<std::size_t>(index - 1)];
}

int TMimeManager::FindType(const std::string& type) const
{
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (equalsIgnoringCase(entries_[i].TypeName, type))
            return static_cast<int>(i + 1);
    return 0;
}

std::string TMimeManager::TypeOfFile(const std::string& fileName) const
{
    std::size_t slash = fileName.find_last_of('/');
    std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = fileName.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart)
        return kOctetStreamType;
    std::string extension = fileName.substr(dot + 1, kMimeExtensionMax);
    if (extension.empty())
        return kOctetStreamType;
    for (const MimeTypeEntry& e : entries_)
        if (!e.TypeName.empty() && equalsIgnoringCase(e.Extension, extension))
            return e.TypeName;
    return kOctetStreamType;
}

std::string TMimeManager::ExtensionOf(const std::string& type) const
{
    int i = FindType(type);
    return i ? entries_[static_cast<std::size_t>(i - 1)].Extension : std::string();
}

bool TMimeManager::HasViewer(const std::string& type) const
{
    int i = FindType(type);
    return i >= 2 && entries_[static_cast<std::size_t>(i - 1)].ViewerSet;
}

bool TMimeManager::SetViewer(const std::string& type, const std::string& application)
{
    if (application.size() > kMimeApplicationMax)
        return false; // a cut path would name another program
    int i = FindType(type);
    if (i == 0)
        return false;
    MimeTypeEntry& e = entries_[static_cast<std::size_t>(i - 1)];
    e.Application = application;
    if (i >= 2)
        e.ViewerSet = true;
    return true;
}

std::string TMimeManager::SuggestViewer(const std::string& fileName)
{
    if (!launcher_ || fileName.empty())
        return {};
    auto typeAnswer = launcher_->queryProgram(kXdgMime, {"query", "filetype", fileArgument(fileName)});
    if (!typeAnswer)
        return {};
    std::string type = firstWord(*typeAnswer);
    if (!plausibleMimeType(type))
        return {};
    auto idAnswer = launcher_->queryProgram(kXdgMime, {"query", "default", type});
    if (!idAnswer)
        return {};
    std::string id = firstWord(*idAnswer);
    if (!plausibleDesktopId(id))
        return {};
    std::string desktopFile = findDesktopFile(id);
    if (desktopFile.empty())
        return {};
    std::string bytes;
    try {
        bytes = readWholeFile(desktopFile, kMaxDesktopFileBytes);
    } catch (const FileError&) {
        return {};
    }
    auto args = parseDesktopExec(desktopEntryExec(bytes));
    if (!args || args->empty())
        return {};
    std::string program = findProgram((*args)[0]);
    if (program.empty())
        return {};
    if (args->size() == 1)
        return program;
    (*args)[0] = program;
    return joinDesktopExec(*args);
}

bool TMimeManager::LaunchViewer(const std::string& fileName, const std::string& type)
{
    int i = FindType(type);
    if (i == 0 || !launcher_)
        return false;
    std::string application = entries_[static_cast<std::size_t>(i - 1)].Application;
    if (application.empty())
        application = SuggestViewer(fileName);
    if (application.empty())
        return false;
    // A path of an existing program is the program, spaces and all; anything else is a command
    // line split by the desktop's rules. Neither ever passes through a shell.
    std::vector<std::string> command;
    if (application.find('/') != std::string::npos && isRegularFile(application)) {
        command.push_back(application);
    } else {
        auto parsed = parseDesktopExec(application);
        if (!parsed || parsed->empty() || (*parsed)[0].empty())
            return false;
        command = std::move(*parsed);
    }
    command.push_back(fileArgument(fileName));
    return launcher_->startProgram(command[0], std::vector<std::string>(command.begin() + 1, command.end()));
}

bool TMimeManager::StoreEntry(const MimeTypeEntry& entry)
{
    if (entry.Application.size() > kMimeApplicationMax)
        return false;
    MimeTypeEntry e = fitted(entry);
    for (MimeTypeEntry& old : entries_)
        if (equalsIgnoringCase(old.TypeName, e.TypeName) && equalsIgnoringCase(old.Extension, e.Extension)) {
            old = e;
            return true;
        }
    if (Count() >= kMaxMimeEntries)
        return false;
    entries_.push_back(e);
    return true;
}

void TMimeManager::DeleteEntry(int index)
{
    if (index < 1 || index > Count())
        throw std::out_of_range("Index out of range");
    if (index <= kUndeletableMimeEntries)
        return;
    entries_.erase(entries_.begin() + (index - 1));
}

void TMimeManager::Save() const { writeFileAtomically(RegistryPath, encodeMimeFile(entries_)); }

} // namespace tavik
