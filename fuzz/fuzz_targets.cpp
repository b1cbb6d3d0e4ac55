#include "fuzz_targets.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <sstream>
#include <unistd.h>

#include "addressbook/address_book.h"
#include "addressbook/csv_fields.h"
#include "pop3/attachment_store.h"
#include "pop3/message_parser.h"
#include "pop3/mime_decoders.h"
#include "profile/file_util.h"
#include "profile/ini_file.h"
#include "profile/settings.h"
#include "profile/user_registry.h"
#include "smtp/mailto_link.h"
#include "smtp/mime_encoders.h"
#include "smtp/rc4.h"
#include "store/folder_tree.h"
#include "store/mailbox_store.h"
#include "text/html_text.h"
#include "text/unicode_text.h"
#include "view/answer_rules.h"
#include "view/mime_manager.h"
#include "view/program_launcher.h"

namespace tavik {

namespace {

// --- shared helpers ----------------------------------------------------------------------------

// Bytes in a finding's message: control and 8-bit bytes escaped, long texts cut, so that the
// report stays one readable line.
std::string shown(std::string_view s)
{
    static const char* const hex = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size() && i < 160; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else
            out += static_cast<char>(c);
    }
    if (s.size() > 160)
        out += "...(" + std::to_string(s.size()) + " bytes)";
    return out + "\"";
}

// The message is built only when the check fails: the checks run millions of times.
#define FUZZ_REQUIRE(ok, target, what)                                                                 \
    do {                                                                                               \
        if (!(ok))                                                                                     \
            throw FuzzFinding(std::string(target) + ": " + (what));                                    \
    } while (false)

// A step that must not fail on what the program itself just wrote: its FileError is a finding.
template <class Step>
auto mustSucceed(const char* target, const char* step, Step&& run) -> decltype(run())
{
    try {
        return run();
    } catch (const FileError& e) {
        throw FuzzFinding(std::string(target) + ": " + step + " failed: " + e.what());
    }
}

std::string asString(const std::uint8_t* data, std::size_t size)
{
    return size ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
}

// The scratch area: $TAVIK_FUZZ_TMPDIR (scripts/fuzz points it at /dev/shm, where the flushes
// of every replaced file cost nothing), else $TMPDIR, else /tmp.
std::string scratchBase()
{
    for (const char* name : {"TAVIK_FUZZ_TMPDIR", "TMPDIR"})
        if (const char* v = std::getenv(name); v && *v)
            return v;
    return "/tmp";
}

// A fresh directory per input, removed with everything in it: no input sees another's files.
class ScratchDir {
public:
    ScratchDir()
    {
        std::string pattern = scratchBase() + "/tavik-fuzz-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data()))
            throw std::runtime_error("cannot create a scratch directory from " + pattern + ": " + std::strerror(errno));
        path_ = std::string(buf.data()) + "/";
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // A subdirectory, created; ends in "/".
    std::string sub(const std::string& name) const
    {
        makePrivateDirectories(path_ + name);
        return path_ + name + "/";
    }

private:
    std::string path_;
};

// Test setup writes plainly: the code under test does its own atomic replacement.
void putFile(const std::string& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::optional<std::string> fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Lines ended by LF, a CR before the LF dropped; a last line without LF kept as it is.
std::vector<std::string> lfLines(std::string_view bytes)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        if (lf == std::string_view::npos) {
            lines.emplace_back(bytes.substr(start));
            break;
        }
        std::size_t end = lf > start && bytes[lf - 1] == '\r' ? lf - 1 : lf;
        lines.emplace_back(bytes.substr(start, end - start));
        start = lf + 1;
    }
    return lines;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

// --- ini files -----------------------------------------------------------------------------------

constexpr const char* kIni = "fuzz_ini";

std::string crLfDocument(const std::vector<std::string>& lines)
{
    std::string out;
    for (const auto& l : lines)
        out += l + "\r\n";
    return out;
}

struct KeyValue {
    std::string section, key, value;
};

// The value every first key of the first sections reads as; what writes elsewhere must keep.
std::vector<KeyValue> iniSnapshot(const IniFile& ini, std::size_t maxSections)
{
    std::vector<KeyValue> out;
    std::vector<std::string> sections = ini.sectionNames();
    for (std::size_t s = 0; s < sections.size() && s < maxSections; ++s) {
        std::vector<std::string> keys = ini.sectionKeys(sections[s]);
        for (std::size_t k = 0; k < keys.size() && k < 16; ++k) {
            bool first = std::none_of(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(k),
                                      [&](const std::string& other) { return sameIgnoringCase(other, keys[k]); });
            if (first)
                out.push_back({sections[s], keys[k], ini.readString(sections[s], keys[k])});
        }
    }
    return out;
}

void checkIniReaders(const IniFile& ini)
{
    std::vector<std::string> sections = ini.sectionNames();
    for (std::size_t s = 0; s < sections.size() && s < 64; ++s) {
        const std::string& sec = sections[s];
        for (std::size_t t = 0; t < s; ++t)
            FUZZ_REQUIRE(!sameIgnoringCase(sections[t], sec), kIni, "sectionNames lists " + shown(sec) + " twice");
        FUZZ_REQUIRE(ini.hasSection(sec), kIni, "hasSection misses the listed section " + shown(sec));
        std::vector<std::string> keys = ini.sectionKeys(sec);
        std::vector<std::string> lines = ini.sectionLines(sec);
        FUZZ_REQUIRE(keys.size() == lines.size(), kIni, "sectionKeys and sectionLines differ in length in " + shown(sec));
        for (std::size_t k = 0; k < keys.size() && k < 64; ++k) {
            FUZZ_REQUIRE(!keys[k].empty() && lines[k].compare(0, keys[k].size() + 1, keys[k] + "=") == 0, kIni,
                    "sectionLines " + shown(lines[k]) + " does not start with its key " + shown(keys[k]));
            std::string value = lines[k].substr(keys[k].size() + 1);
            FUZZ_REQUIRE(value.size() <= IniFile::kMaxValueLength, kIni, "a value longer than the read limit");
            FUZZ_REQUIRE(ini.hasKey(sec, keys[k]), kIni, "hasKey misses " + shown(keys[k]) + " of " + shown(sec));
            bool first = std::none_of(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(k),
                                      [&](const std::string& other) { return sameIgnoringCase(other, keys[k]); });
            if (!first)
                continue;
            FUZZ_REQUIRE(ini.readString(sec, keys[k], "\x01") == value, kIni,
                    "readString of " + shown(keys[k]) + " is not its sectionLines value " + shown(value));
            long long number = 0;
            bool converts = parseIniInteger(value, number);
            FUZZ_REQUIRE(ini.readInteger(sec, keys[k], -7) == (converts ? number : -7), kIni,
                    "readInteger disagrees with parseIniInteger on " + shown(value));
            FUZZ_REQUIRE(ini.readBool(sec, keys[k], true) == (converts ? number != 0 : true), kIni,
                    "readBool disagrees with parseIniInteger on " + shown(value));
        }
    }
}

void checkIniDocument(const std::string& bytes)
{
    IniFile ini;
    ini.parse(bytes);
    const std::string saved = ini.serialize();
    FUZZ_REQUIRE(saved == crLfDocument(lfLines(bytes)), kIni, "serialize is not the input's lines ended by CR LF");
    IniFile again;
    again.parse(saved);
    FUZZ_REQUIRE(again.serialize() == saved, kIni, "a saved document does not read back as saved");
    checkIniReaders(ini);

    // Writes replace or add exactly their key; every other value stays as it read.
    const std::string value = "fuzz" + std::to_string(bytes.size()) + "value";
    std::vector<std::pair<std::string, std::string>> written;
    std::vector<std::string> sections = ini.sectionNames();
    for (std::size_t s = 0; s < sections.size() && s < 3; ++s) {
        // Writers turn CR and LF in names into blanks (a line cannot hold them): such keys are
        // another key when written.
        std::vector<std::string> keys = ini.sectionKeys(sections[s]);
        if (!keys.empty() && keys.front().find('\r') == std::string::npos)
            written.emplace_back(sections[s], keys.front());
        written.emplace_back(sections[s], "TavikFuzzKey");
    }
    written.emplace_back("TavikFuzzSection", "Key");
    const std::vector<KeyValue> before = iniSnapshot(ini, 4);
    IniFile w;
    w.parse(bytes);
    for (const auto& [sec, key] : written) {
        w.writeString(sec, key, value);
        FUZZ_REQUIRE(w.readString(sec, key) == value, kIni, "a value written to " + shown(sec) + "/" + shown(key) +
                                                           " does not read back");
    }
    IniFile reread;
    reread.parse(w.serialize());
    for (const auto& [sec, key] : written)
        FUZZ_REQUIRE(reread.readString(sec, key) == value, kIni,
                "a value written to " + shown(sec) + "/" + shown(key) + " is lost by a save");
    for (const KeyValue& kv : before) {
        bool touched = std::any_of(written.begin(), written.end(), [&](const auto& sk) {
            return sameIgnoringCase(sk.first, kv.section) && sameIgnoringCase(sk.second, kv.key);
        });
        if (!touched)
            FUZZ_REQUIRE(reread.readString(kv.section, kv.key, "\x01") == kv.value, kIni,
                    "writing other keys changed " + shown(kv.section) + "/" + shown(kv.key));
    }

    // Erasing: the first key line goes; a whole section goes with every duplicate of it.
    if (!sections.empty()) {
        IniFile e;
        e.parse(bytes);
        const std::string& sec = sections.front();
        std::vector<std::string> keys = e.sectionKeys(sec);
        if (!keys.empty()) {
            e.eraseKey(sec, keys.front());
            FUZZ_REQUIRE(e.sectionKeys(sec).size() + 1 == keys.size(), kIni, "eraseKey did not remove one key line");
        }
        e.eraseSection(sec);
        FUZZ_REQUIRE(!e.hasSection(sec), kIni, "eraseSection left " + shown(sec) + " readable");
        for (const KeyValue& kv : before)
            if (!sameIgnoringCase(kv.section, sec))
                FUZZ_REQUIRE(e.readString(kv.section, kv.key, "\x01") == kv.value, kIni,
                        "erasing " + shown(sec) + " changed " + shown(kv.section) + "/" + shown(kv.key));
    }
}

void checkIniOnDisk(const ScratchDir& dir, const std::string& bytes)
{
    const std::string path = dir.path() + "file.ini";
    putFile(path, bytes);
    IniFile memory;
    memory.parse(bytes);
    IniFile loaded(path);
    FUZZ_REQUIRE(loaded.serialize() == memory.serialize(), kIni, "a file loads otherwise than its bytes parse");
    loaded.saveAs(dir.path() + "copy.ini");
    FUZZ_REQUIRE(fileBytes(dir.path() + "copy.ini") == memory.serialize(), kIni, "saveAs wrote other bytes than serialize");
    IniFile copy(dir.path() + "copy.ini");
    FUZZ_REQUIRE(copy.serialize() == memory.serialize(), kIni, "a saved file does not load back as saved");
}

void checkSettingsFile(const ScratchDir& dir, const std::string& bytes)
{
    const std::string program = dir.sub("program"), profile = dir.sub("profile");
    putFile(profile + "tavik32.ini", bytes);
    ProfileSettings first;
    MailboxList firstBoxes;
    try {
        LoadSettings(program, profile, first, firstBoxes);
    } catch (const FileError&) {
        return;
    }
    ProfileSettings second;
    MailboxList secondBoxes;
    mustSucceed(kIni, "saving and reloading the settings", [&] {
        SaveSettings(profile, first, firstBoxes);
        LoadSettings(program, profile, second, secondBoxes);
    });
    for (const SettingsField& f : settingsFields()) {
        bool same = f.text ? first.*f.text == second.*f.text
                    : f.integer ? first.*f.integer == second.*f.integer
                                : first.*f.boolean == second.*f.boolean;
        std::string was = f.text ? shown(first.*f.text)
                          : f.integer ? std::to_string(first.*f.integer)
                                      : std::to_string(first.*f.boolean);
        std::string is = f.text ? shown(second.*f.text)
                         : f.integer ? std::to_string(second.*f.integer)
                                     : std::to_string(second.*f.boolean);
        FUZZ_REQUIRE(same, kIni, std::string("settings field ") + f.name + " read " + was + ", saved, then read " + is);
    }
    if (firstBoxes != secondBoxes) {
        std::size_t i = 0;
        while (i < firstBoxes.size() && i < secondBoxes.size() && firstBoxes[i] == secondBoxes[i])
            ++i;
        throw FuzzFinding(std::string(kIni) + ": mailbox entry " + std::to_string(i + 1) + " read " +
                          (i < firstBoxes.size() ? shown(firstBoxes[i]) : "nothing") + ", saved, then read " +
                          (i < secondBoxes.size() ? shown(secondBoxes[i]) : "nothing"));
    }
}

void checkLoginFile(const ScratchDir& dir, const std::string& bytes)
{
    const std::string program = dir.sub("users");
    putFile(program + kLoginFileName, bytes);
    UserRegistry users;
    try {
        LoadUsers(program, users);
    } catch (const FileError&) {
        return;
    }
    const int n = users.size();
    FUZZ_REQUIRE(n >= 1 && users.userDirectories.size() == users.userNames.size() &&
                users.userPasswords.size() == users.userNames.size() && users.currentUser == 0,
            kIni, "LoadUsers gave lists out of step or no user");
    for (int i = 0; i < n && i < 64; ++i) {
        // Whatever the file says, a user's profile lies in the program directory or one level below "users/".
        try {
            std::string p = profileDirectoryOfUser(program, users, i);
            bool inside = p == program;
            if (!inside && p.compare(0, program.size() + 6, program + "users/") == 0 && p.back() == '/') {
                std::string name = p.substr(program.size() + 6, p.size() - program.size() - 7);
                inside = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
            }
            FUZZ_REQUIRE(inside, kIni, "the profile of user " + std::to_string(i) + " lies outside: " + shown(p));
        } catch (const FileError&) {
        }
        int found = findUserByLogin(users, users.userNames[static_cast<std::size_t>(i)]);
        FUZZ_REQUIRE(found >= 0 && users.userNames[static_cast<std::size_t>(found)] == users.userNames[static_cast<std::size_t>(i)],
                kIni, "findUserByLogin misses the login " + shown(users.userNames[static_cast<std::size_t>(i)]));
    }
    UserRegistry again;
    mustSucceed(kIni, "reloading the Login.ini LoadUsers wrote", [&] { LoadUsers(program, again); });
    FUZZ_REQUIRE(again.userNames == users.userNames && again.userDirectories == users.userDirectories &&
                again.userPasswords == users.userPasswords,
            kIni, "Login.ini written back by LoadUsers reads back otherwise");
}

// --- CSV and the address book ------------------------------------------------------------------

constexpr const char* kCsv = "fuzz_csv";

using Records = std::vector<std::vector<std::string>>;

// What formatCsvField promises to make of a field: each CR LF becomes LF.
std::string crLfToLf(std::string s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            out += s[i];
    return out;
}

std::optional<Records> parsed(std::string_view bytes, const CsvLimits& limits = {})
{
    try {
        return parseCsv(bytes, limits);
    } catch (const CsvError& e) {
        FUZZ_REQUIRE(e.line >= 1 && e.line <= static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1, kCsv,
                "CsvError names line " + std::to_string(e.line) + ", beyond the data");
        return std::nullopt;
    }
}

// The grid as formatAddressRows and parseAddressRows give it back.
std::vector<AddressRow> savedRows(const std::vector<AddressRow>& rows)
{
    std::vector<AddressRow> out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        AddressRow r = rows[i];
        for (auto& f : r)
            f = crLfToLf(f);
        bool empty = std::all_of(rows[i].begin(), rows[i].end(), [](const std::string& f) { return f.empty(); });
        if (i == 0 || !empty)
            out.push_back(r);
    }
    return out;
}

void checkCsvRecords(std::string_view bytes)
{
    std::optional<Records> records = parsed(bytes);
    // Limits only refuse: bytes within small limits parse as they do within the large ones.
    std::optional<Records> small = parsed(bytes, CsvLimits{200, 5, 10});
    if (!records) {
        FUZZ_REQUIRE(!small, kCsv, "bytes refused by the default limits pass smaller ones");
        return;
    }
    if (small)
        FUZZ_REQUIRE(*small == *records, kCsv, "smaller limits changed what was read");
    for (const auto& r : *records)
        FUZZ_REQUIRE(!r.empty() && r.size() <= CsvLimits{}.maxFields, kCsv, "a record with no fields or too many");

    std::string saved;
    Records expected;
    for (const auto& r : *records) {
        saved += formatCsvRecord(r) + "\r\n";
        std::vector<std::string> e;
        for (const auto& f : r)
            e.push_back(crLfToLf(f));
        expected.push_back(std::move(e));
    }
    std::optional<Records> back = parsed(saved);
    FUZZ_REQUIRE(back.has_value(), kCsv, "saved records are refused when read back");
    FUZZ_REQUIRE(*back == expected, kCsv, "saved records read back otherwise");

    std::vector<AddressRow> rows = parseAddressRows(bytes);
    FUZZ_REQUIRE(rows.size() == records->size(), kCsv, "parseAddressRows gives another number of rows than parseCsv");
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t c = 0; c < kAddressColumns; ++c)
            FUZZ_REQUIRE(rows[i][c] == (c < (*records)[i].size() ? (*records)[i][c] : std::string()), kCsv,
                    "row " + std::to_string(i) + " column " + std::to_string(c) + " is not its field");
    FUZZ_REQUIRE(parseAddressRows(formatAddressRows(rows)) == savedRows(rows), kCsv, "a saved grid reads back otherwise");
}

void checkAddressBookFiles(const std::vector<std::string>& parts)
{
    ScratchDir dir;
    const std::string profile = dir.path();
    const std::string book = dir.sub("address");
    putFile(book + kMainBookFileName, parts[0]);
    if (parts.size() > 2) {
        putFile(book + "listitems.ini", parts[1]);
        putFile(book + "listvalues.ini", parts[2]);
    }
    if (parts.size() > 3)
        putFile(book + "list.csv", parts[3]);

    std::optional<std::vector<AddressRow>> rows;
    try {
        rows = readAddressRows(book + kMainBookFileName);
    } catch (const FileError&) {
    }
    FUZZ_REQUIRE(rows.has_value() == parsed(parts[0]).has_value(), kCsv, "readAddressRows refuses otherwise than parseCsv");

    AddressBookModel model(profile);
    try {
        model.open();
    } catch (const FileError&) {
        return;
    }
    const ListCatalog& lists = model.lists();
    // The first list's display name is the file's to keep; its file must be the main book.
    FUZZ_REQUIRE(!lists.names.empty() && lists.names.size() == lists.files.size() &&
                lists.files[0] == kMainBookFileName,
            kCsv, "the list of lists does not start with the main book, or its two lists differ in length");
    FUZZ_REQUIRE(rows.has_value() && model.currentList() == 0 && !model.grid.empty(), kCsv,
            "open showed something else than the main book");
    if (!rows->empty())
        FUZZ_REQUIRE(model.grid == *rows, kCsv, "the grid is not the main book's rows");

    for (std::size_t i = 1; i < lists.files.size() && i < 6; ++i) {
        try {
            model.showList(static_cast<int>(i));
            FUZZ_REQUIRE(model.currentList() == static_cast<int>(i) && !model.grid.empty(), kCsv, "showList showed another list");
        } catch (const FileError&) {
        }
    }
    try {
        model.showList(0);
    } catch (const FileError&) {
        // The shown list's file name cannot be written (too long, or naming a directory): the
        // switch is refused with the error, which the window shows.
        return;
    }
    model.addToSendList(kSendListTo, 1);
    model.copyAllEntries = true;
    model.addToSendList(kSendListCc, 0);
    for (const auto& entry : model.sendList)
        FUZZ_REQUIRE(entry.rfind(kSendListTo, 0) == 0 || entry.rfind(kSendListCc, 0) == 0, kCsv,
                "a send list entry without its prefix: " + shown(entry));
    model.insertRow(1);
    model.deleteRow(1);
    const std::vector<AddressRow> grid = model.grid;
    mustSucceed(kCsv, "closing the address book", [&] { model.close(); });

    ListCatalog again = mustSucceed(kCsv, "reading the list files written at close", [&] { return readListCatalog(profile); });
    FUZZ_REQUIRE(again.names == model.lists().names && again.files == model.lists().files, kCsv,
            "the list files written at close read back otherwise");
    const std::vector<AddressRow> savedGrid =
        mustSucceed(kCsv, "reading the grid saved at close", [&] { return readAddressRows(model.currentListPath()); });
    FUZZ_REQUIRE(savedGrid == savedRows(grid), kCsv, "the grid saved at close reads back otherwise");

    const std::string sender = parts.size() > 4 ? parts[4] : std::string("Fuzz Sender <fuzz@example.org>");
    std::string name, address;
    splitSender(sender, name, address);
    try {
        bool added = AddSender(profile, sender);
        if (!name.empty() && !address.empty())
            FUZZ_REQUIRE(IsKnownSender(profile, sender), kCsv,
                    std::string(added ? "a sender just added" : "a sender AddSender called known") + " is not known: " +
                        shown(sender));
    } catch (const FileError&) {
    }
}

// --- folder tree files -----------------------------------------------------------------------

constexpr const char* kTree = "fuzz_tree";

bool sameNodes(const FolderTree& a, const FolderTree& b)
{
    if (a.count() != b.count())
        return false;
    for (int i = 0; i < a.count(); ++i) {
        const TreeNode &x = a.node(i), &y = b.node(i);
        if (x.text != y.text || x.image != y.image || x.selectedImage != y.selectedImage || x.depth != y.depth)
            return false;
    }
    return true;
}

std::string firstDifference(const FolderTree& a, const FolderTree& b)
{
    for (int i = 0; i < std::min(a.count(), b.count()); ++i) {
        const TreeNode &x = a.node(i), &y = b.node(i);
        if (x.text != y.text || x.image != y.image || x.selectedImage != y.selectedImage || x.depth != y.depth)
            return "node " + std::to_string(i) + " " + shown(x.text) + " depth " + std::to_string(x.depth) + " image " +
                   std::to_string(x.image) + "," + std::to_string(x.selectedImage) + " came back as " + shown(y.text) +
                   " depth " + std::to_string(y.depth) + " image " + std::to_string(y.image) + "," +
                   std::to_string(y.selectedImage);
    }
    return std::to_string(a.count()) + " nodes came back as " + std::to_string(b.count());
}

void checkTreeShape(const FolderTree& t, const char* when)
{
    const std::string at = std::string(" (") + when + ")";
    FUZZ_REQUIRE(t.count() <= kMaxTreeNodes, kTree, "more nodes than the limit" + at);
    for (int i = 0; i < t.count(); ++i) {
        const TreeNode& n = t.node(i);
        int previous = i == 0 ? -1 : t.node(i - 1).depth;
        FUZZ_REQUIRE(n.depth >= 0 && n.depth <= kMaxTreeDepth && n.depth <= previous + 1, kTree,
                "node " + std::to_string(i) + " has depth " + std::to_string(n.depth) + " after " +
                    std::to_string(previous) + at);
        FUZZ_REQUIRE(n.image >= 0 && n.image <= kMaxImageIndex && n.selectedImage >= 0 && n.selectedImage <= kMaxImageIndex,
                kTree, "node " + std::to_string(i) + " has an image beyond the picture list" + at);
        if (i >= 200)
            continue; // the walks below are linear per node
        int p = t.parent(i);
        FUZZ_REQUIRE(n.depth == 0 ? p == -1 : (p >= 0 && p < i && t.node(p).depth == n.depth - 1), kTree,
                "parent of node " + std::to_string(i) + " is " + std::to_string(p) + at);
        std::vector<int> kids = t.children(i);
        FUZZ_REQUIRE(t.hasChildren(i) == !kids.empty(), kTree, "hasChildren disagrees with children" + at);
        for (int k : kids)
            FUZZ_REQUIRE(t.parent(k) == i, kTree, "a child's parent is not its parent" + at);
        FUZZ_REQUIRE(t.isBold(i) == hasUnreadCount(n.text), kTree, "isBold disagrees with hasUnreadCount" + at);
    }
}

// What the program saves, it reads back node for node.
void checkSavesBack(const FolderTree& t, const ScratchDir& dir, const std::string& name)
{
    const std::string out = dir.sub(name);
    mustSucceed(kTree, "saving a tree", [&] { t.SaveTreeToDisk(out); });
    FolderTree back;
    try {
        FUZZ_REQUIRE(back.LoadTreeFromDisk(out), kTree, "saved tree files are missing (" + name + ")");
    } catch (const TreeFileError& e) {
        throw FuzzFinding(std::string(kTree) + ": a saved tree is refused when read back (" + name + "): " + e.what());
    }
    FUZZ_REQUIRE(sameNodes(t, back), kTree, "a saved tree reads back otherwise (" + name + "): " + firstDifference(t, back));
}

class ScriptedFolderQuestions : public FolderQuestions {
public:
    ScriptedFolderQuestions(std::string name, bool yes) : name_(std::move(name)), yes_(yes) {}
    bool askItemName(std::string& name) override
    {
        name = name_;
        return true;
    }
    bool askYesNo(const std::string&, const std::string&) override { return yes_; }

private:
    std::string name_;
    bool yes_;
};

void checkFolderCommands(FolderTree& t, const ScratchDir& dir, const std::string& profile, MailboxList& mailboxes,
                         const std::string& name)
{
    // No: a mailbox folder's deletion stops before it reaches the store.
    ScriptedFolderQuestions ask(name, false);
    ProfileSettings settings;
    TNMailBox store;
    FolderProfile fp{profile, settings, mailboxes, store};
    int round = 0;
    for (int selected : {-1, 0, kFirstUserNode, t.count() - 1}) {
        for (bool child : {false, true}) {
            int before = t.count();
            FolderCommandResult r = child ? t.newSubgroupFolder(selected, mailboxes, ask)
                                          : t.newGroupFolder(selected, mailboxes, ask);
            if (r.outcome != FolderOutcome::Done) {
                FUZZ_REQUIRE(t.count() == before, kTree, "a folder command that did nothing changed the tree");
                continue;
            }
            FUZZ_REQUIRE(t.count() == before + 1 && r.node >= 0 && r.node < t.count() && t.node(r.node).text == name, kTree,
                    "a new folder is not where the command says, named " + shown(name));
            checkTreeShape(t, "after a new folder");
            checkSavesBack(t, dir, "command" + std::to_string(round++));
        }
    }
    for (int selected : {t.count() - 1, kFirstUserNode}) {
        int before = t.count();
        FolderCommandResult r = t.deleteItem(selected, fp, ask);
        FUZZ_REQUIRE(r.outcome == FolderOutcome::Done ? t.count() == before - 1 : t.count() == before, kTree,
                "Delete Item removed another number of nodes than it says");
        checkTreeShape(t, "after Delete Item");
    }
    checkSavesBack(t, dir, "after-delete");
}

// The commands that change mailboxes, answered Yes, on a real store in the profile. Whatever keys
// the list holds, the files beside the profile stay untouched.
void checkMailboxFolderCommands(FolderTree& t, const ScratchDir& dir, const std::string& profile, MailboxList mailboxes,
                                const std::string& name)
{
    if (mailboxes.size() > 40)
        mailboxes.resize(40); // every entry gets a pair of files
    const std::string outside = dir.path() + "outside";
    for (const char* ext : {".idx", ".mbx"})
        putFile(outside + ext, "not a mailbox");
    TNMailBox store;
    store.MailBoxes = mailboxes;
    try {
        store.SetMailBoxDirectory(profile + "mailboxe/");
    } catch (const FileError&) {
        return; // a key the store refuses
    }
    ProfileSettings settings;
    settings.LastMailbox = 4; // an initialised profile: a reload keeps its list
    FolderProfile fp{profile, settings, mailboxes, store};
    ScriptedFolderQuestions yes(name, true);

    const MailboxList before = mailboxes;
    FolderCommandResult added;
    try {
        added = t.newMailboxFolder(t.count() - 1, fp, yes);
    } catch (const FileError&) {
        FUZZ_REQUIRE(mailboxes == before && store.MailBoxes == before, kTree, "a failed New Mailbox folder changed the list");
    }
    if (added.outcome == FolderOutcome::Done) {
        FUZZ_REQUIRE(added.addedMailbox > kStandardMailboxCount, kTree,
                     "New Mailbox folder gave the number of a standard mailbox: " + std::to_string(added.addedMailbox));
        FUZZ_REQUIRE(mailboxes.size() == before.size() + 1 && added.addedMailbox == static_cast<int>(mailboxes.size()) &&
                         store.MailBoxes == mailboxes && mailboxDisplayName(mailboxes.back()) == name,
                     kTree, "New Mailbox folder did not add its entry " + shown(name));
        const std::string key = mailboxes.back().substr(0, mailboxes.back().find('='));
        FUZZ_REQUIRE(fileExists(profile + "mailboxe/" + key + ".idx") && fileExists(profile + "mailboxe/" + key + ".mbx"),
                     kTree, "a new mailbox folder has no file pair, key " + shown(key));
        FUZZ_REQUIRE(t.mailboxOfNode(added.node, mailboxes) == added.addedMailbox, kTree,
                     "a new mailbox folder is not tied to its mailbox " + std::to_string(added.addedMailbox) + " of " +
                         std::to_string(mailboxes.size()));
        checkTreeShape(t, "after New Mailbox folder");
        checkSavesBack(t, dir, "new-mailbox");
        ProfileSettings reread;
        MailboxList rereadBoxes;
        mustSucceed(kTree, "reading the settings New Mailbox folder saved",
                    [&] { LoadSettings(dir.sub("program"), profile, reread, rereadBoxes); });
        FUZZ_REQUIRE(!rereadBoxes.empty() && rereadBoxes.back() == mailboxes.back(), kTree,
                     "the settings lack the new mailbox entry " + shown(mailboxes.back()));
    }

    const MailboxList beforeDelete = mailboxes;
    const int selected = added.outcome == FolderOutcome::Done ? added.node : t.count() - 1;
    FolderCommandResult removed;
    try {
        removed = t.deleteItem(selected, fp, yes);
    } catch (const FileError&) {
        FUZZ_REQUIRE(mailboxes == beforeDelete, kTree, "a failed Delete Item changed the list");
    }
    if (removed.outcome == FolderOutcome::Done && removed.removedMailbox != 0) {
        MailboxList expected = beforeDelete;
        expected.erase(expected.begin() + (removed.removedMailbox - 1));
        FUZZ_REQUIRE(mailboxes == expected && store.MailBoxes == expected, kTree,
                     "Delete Item removed another entry than mailbox " + std::to_string(removed.removedMailbox));
        checkTreeShape(t, "after deleting a mailbox folder");
        checkSavesBack(t, dir, "deleted-mailbox");
    }
    for (const char* ext : {".idx", ".mbx"})
        FUZZ_REQUIRE(fileBytes(outside + ext) == std::string("not a mailbox"), kTree,
                     "a folder command touched a file beside the profile");
}

// --- mime.def --------------------------------------------------------------------------------

constexpr const char* kMime = "fuzz_mime_def";

// The desktop's tools as the fuzz input scripts them; nothing is ever started.
class ScriptedLauncher : public ProgramLauncher {
public:
    std::string fileTypeAnswer, defaultAnswer;
    std::vector<std::pair<std::string, std::vector<std::string>>> started;

    bool startProgram(const std::string& program, const std::vector<std::string>& arguments) override
    {
        started.emplace_back(program, arguments);
        return true;
    }
    std::optional<std::string> queryProgram(const std::string&, const std::vector<std::string>& arguments) override
    {
        if (arguments.size() >= 2 && arguments[1] == "filetype")
            return fileTypeAnswer;
        if (arguments.size() >= 2 && arguments[1] == "default")
            return defaultAnswer;
        return std::nullopt;
    }
};

// The desktop's data directories of this process: one directory, chosen once, so that the
// environment is set once (setenv per input would leak and make every run a leak check).
// Each input writes its desktop file into it afresh.
class DesktopDataDir {
public:
    static const std::string& applications()
    {
        static DesktopDataDir dir;
        return dir.applications_;
    }

private:
    DesktopDataDir()
    {
        std::string pattern = scratchBase() + "/tavik-fuzz-xdg-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data()))
            throw std::runtime_error("cannot create a scratch directory from " + pattern + ": " + std::strerror(errno));
        root_ = std::string(buf.data()) + "/";
        applications_ = root_ + "applications/";
        makePrivateDirectories(applications_);
        ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
        ::setenv("XDG_DATA_DIRS", (root_ + "none").c_str(), 1);
    }
    ~DesktopDataDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    std::string root_, applications_;
};

std::vector<MimeTypeEntry> entriesOf(const TMimeManager& m)
{
    std::vector<MimeTypeEntry> out;
    for (int i = 1; i <= m.Count(); ++i)
        out.push_back(m.GetEntry(i));
    return out;
}

void checkExecLines(const std::string& desktopFile)
{
    // Splitting what joining made gives the arguments back, whatever bytes they hold.
    std::vector<std::vector<std::string>> argumentLists;
    if (auto args = parseDesktopExec(desktopEntryExec(desktopFile)))
        argumentLists.push_back(*args);
    if (auto args = parseDesktopExec(desktopFile))
        argumentLists.push_back(*args);
    argumentLists.push_back(lfLines(desktopFile));
    for (const auto& args : argumentLists) {
        std::string line = joinDesktopExec(args);
        auto back = parseDesktopExec(line);
        FUZZ_REQUIRE(back.has_value() && *back == args, kMime,
                "joinDesktopExec made " + shown(line) + ", which does not split back into its " +
                    std::to_string(args.size()) + " arguments");
    }
}

void checkRegistry(const std::vector<std::string>& parts)
{
    ScratchDir dir;
    const std::string path = dir.path() + "mime.def";
    const std::string& bytes = parts[0];
    putFile(path, bytes);
    const std::string fileName = parts.size() > 1 ? parts[1] : std::string("picture.gif");
    ScriptedLauncher launcher;
    launcher.fileTypeAnswer = parts.size() > 2 ? parts[2] : std::string("image/gif\n");
    launcher.defaultAnswer = parts.size() > 3 ? parts[3] : std::string("viewer.desktop\n");
    putFile(DesktopDataDir::applications() + "viewer.desktop",
            parts.size() > 4 ? parts[4] : std::string("[Desktop Entry]\nExec=sh -c \"exit 0\" %f\n"));

    std::vector<MimeTypeEntry> kept;
    {
        TMimeManager m(path, &launcher);
        const bool valid = !bytes.empty() && bytes.size() % kMimeRecordSize == 0 &&
                           bytes.size() / kMimeRecordSize <= static_cast<std::size_t>(kMaxMimeEntries);
        std::vector<MimeTypeEntry> expected;
        if (valid)
            for (std::size_t at = 0; at < bytes.size(); at += kMimeRecordSize)
                expected.push_back(decodeMimeRecord(bytes.data() + at));
        else
            expected = builtInMimeEntries();
        FUZZ_REQUIRE(entriesOf(m) == expected, kMime,
                valid ? "the entries are not the file's records" : "a corrupt file did not give the built-in entries");
        if (!valid)
            FUZZ_REQUIRE(fileBytes(path) == encodeMimeFile(builtInMimeEntries()), kMime,
                    "a corrupt file was not rewritten with the built-in entries");
        for (int bad : {0, m.Count() + 1}) {
            try {
                m.GetEntry(bad);
                throw FuzzFinding(std::string(kMime) + ": GetEntry(" + std::to_string(bad) + ") did not refuse");
            } catch (const std::out_of_range&) {
            }
        }
        for (int i = 1; i <= m.Count() && i <= 64; ++i) {
            MimeTypeEntry e = m.GetEntry(i);
            FUZZ_REQUIRE(decodeMimeRecord(encodeMimeRecord(e).data()) == e, kMime, "an entry does not survive its record");
            int found = m.FindType(e.TypeName);
            FUZZ_REQUIRE(found >= 1 && found <= i && sameIgnoringCase(m.GetEntry(found).TypeName, e.TypeName), kMime,
                    "FindType misses the type of entry " + std::to_string(i) + ", " + shown(e.TypeName));
            FUZZ_REQUIRE(m.ExtensionOf(e.TypeName) == m.GetEntry(found).Extension, kMime, "ExtensionOf is not the entry's");
            FUZZ_REQUIRE(m.HasViewer(e.TypeName) == (found >= 2 && m.GetEntry(found).ViewerSet), kMime,
                    "HasViewer disagrees with the entry");
        }

        const std::string type = m.TypeOfFile(fileName);
        FUZZ_REQUIRE(type == kOctetStreamType || m.FindType(type) != 0, kMime,
                "TypeOfFile answered a type no entry has: " + shown(type));
        const bool launched = m.LaunchViewer(fileName, type);
        FUZZ_REQUIRE(launched == !launcher.started.empty(), kMime, "LaunchViewer's answer disagrees with what it started");
        for (const auto& [program, arguments] : launcher.started) {
            // The file is one argument, the last, never mistaken for an option.
            const std::string expectedFile = !fileName.empty() && fileName[0] == '-' ? "./" + fileName : fileName;
            FUZZ_REQUIRE(!program.empty() && !arguments.empty() && arguments.back() == expectedFile, kMime,
                    "the viewer was started without the file as its last argument: " + shown(program));
        }
        std::string suggestion = m.SuggestViewer(fileName);
        (void)suggestion;

        const std::string application = parts.size() > 4 ? parts[4].substr(0, kMimeApplicationMax) : "viewer";
        if (m.SetViewer(type, application)) {
            int i = m.FindType(type);
            FUZZ_REQUIRE(i != 0 && m.GetEntry(i).Application == application, kMime, "SetViewer did not store the viewer");
        } else
            FUZZ_REQUIRE(m.FindType(type) == 0, kMime, "SetViewer refused a present type and a short application");

        MimeTypeEntry added{"x-fuzz/" + std::to_string(bytes.size()), true, "fuzz", application, "fz"};
        if (m.StoreEntry(added))
            FUZZ_REQUIRE(m.FindType(added.TypeName) != 0, kMime, "a stored entry is not found");
        else
            FUZZ_REQUIRE(m.Count() >= kMaxMimeEntries, kMime, "StoreEntry refused an entry below the limit");
        const int count = m.Count();
        m.DeleteEntry(count);
        FUZZ_REQUIRE(m.Count() == (count > kUndeletableMimeEntries ? count - 1 : count), kMime,
                "DeleteEntry removed another number of entries");
        mustSucceed(kMime, "saving the registry", [&] { m.Save(); });
        kept = entriesOf(m);
        FUZZ_REQUIRE(fileBytes(path) == encodeMimeFile(kept), kMime, "Save wrote other bytes than the entries' records");
    }
    FUZZ_REQUIRE(fileBytes(path) == encodeMimeFile(kept), kMime, "the registry's close wrote other entries");
    TMimeManager again(path, nullptr);
    FUZZ_REQUIRE(entriesOf(again) == kept, kMime, "a saved registry reads back otherwise");
}

// --- mailbox pairs ---------------------------------------------------------------------------

constexpr const char* kMailbox = "fuzz_mailbox_pair";

// A pair as its bytes say, read here independently of the store.
struct PairView {
    std::string idx, mbx;
    bool hasHeader = false;
    MailboxRecord header;
    std::vector<MailboxRecord> records;         // records[0] is message 1
    std::vector<std::optional<std::string>> texts; // the raw text bytes when they lie in the file
};

PairView readPair(const std::string& directory, const std::string& key)
{
    PairView v;
    v.idx = fileBytes(directory + key + ".idx").value_or("");
    std::optional<std::string> mbx = fileBytes(directory + key + ".mbx");
    v.mbx = mbx.value_or("");
    if (v.idx.size() < kIndexRecordSize)
        return v;
    v.hasHeader = true;
    v.header = decodeMailboxRecord(v.idx.data());
    for (int n = 1; n <= v.header.Part && (static_cast<std::size_t>(n) + 1) * kIndexRecordSize <= v.idx.size(); ++n) {
        MailboxRecord r = decodeMailboxRecord(v.idx.data() + static_cast<std::size_t>(n) * kIndexRecordSize);
        // A readable text lies inside the file, holds at least its NUL and no other NUL before its
        // last byte (one that runs into the next text is a damaged record).
        bool fits = mbx && r.Offset >= 0 && r.Size >= 1 &&
                    static_cast<std::uint64_t>(r.Offset) + static_cast<std::uint64_t>(r.Size) <= v.mbx.size();
        std::optional<std::string> text;
        if (fits) {
            text = v.mbx.substr(static_cast<std::size_t>(r.Offset), static_cast<std::size_t>(r.Size));
            if (text->find('\0') < text->size() - 1)
                text.reset();
        }
        v.texts.push_back(std::move(text));
        v.records.push_back(std::move(r));
    }
    return v;
}

// The lines LoadMessageText gives for a text: each ended by CR LF; bytes after the last go.
std::vector<std::string> textLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t crlf; (crlf = text.find("\r\n", start)) != std::string::npos; start = crlf + 2)
        lines.push_back(text.substr(start, crlf - start));
    return lines;
}

bool sameRecord(const MailboxRecord& a, const MailboxRecord& b)
{
    return encodeMailboxRecord(a) == encodeMailboxRecord(b);
}

struct Notice {
    int action, number;
};

class RecordingViewer : public TMailboxViewerControl {
public:
    std::vector<Notice> notices;
    void MailboxChanged(int action, int messageNumber) override { notices.push_back({action, messageNumber}); }
    bool lastIs(int action, int number) const
    {
        return !notices.empty() && notices.back().action == action && notices.back().number == number;
    }
};

const char* const kKeys[2] = {"m0", "m1"};

// Every message of the current mailbox as the store reads it, against the bytes.
void checkReads(TNMailBox& store, const std::string& directory)
{
    const std::string key = store.CurrentMailBoxName();
    PairView v = readPair(directory, key);
    FUZZ_REQUIRE(v.hasHeader && store.CurrentMailBoxMessages() == v.header.Part &&
                store.CurrentNMailBoxTrash() == v.header.Lines,
            kMailbox, "the store's count or trash is not its header's");
    FUZZ_REQUIRE(store.CurrentMailBoxMessages() >= 0 && store.CurrentMailBoxMessages() <= kMaxMailboxMessages, kMailbox,
            "a message count beyond the limit");
    const int count = std::min(store.CurrentMailBoxMessages(), 64);
    for (int n = 1; n <= count; ++n) {
        store.SetMsg_Number(n);
        FUZZ_REQUIRE(store.Msg_Number() == n && static_cast<std::size_t>(n) <= v.records.size(), kMailbox,
                "SetMsg_Number did not make message " + std::to_string(n) + " current");
        const MailboxRecord& r = v.records[static_cast<std::size_t>(n - 1)];
        FUZZ_REQUIRE(store.Msg_From == r.From && store.Msg_Subject == r.Subject && store.Msg_Size() == r.Size &&
                    store.Msg_Flag == r.Flag && store.Msg_From.size() <= 80 && store.Msg_Subject.size() <= 40,
                kMailbox, "the fields of message " + std::to_string(n) + " are not its record's");
        bool loaded = true;
        try {
            store.LoadMessageText();
        } catch (const FileError&) {
            loaded = false;
        }
        const auto& text = v.texts[static_cast<std::size_t>(n - 1)];
        FUZZ_REQUIRE(loaded == text.has_value(), kMailbox,
                "message " + std::to_string(n) + (loaded ? " loaded though its text lies outside the file"
                                                         : " was refused though its text lies inside the file"));
        if (loaded)
            FUZZ_REQUIRE(store.Msg_Text == textLines(*text), kMailbox,
                    "the text of message " + std::to_string(n) + " is not the lines of its bytes");
    }
}

// A reader that opens the directory afresh sees what the store says it wrote.
void checkReopens(const TNMailBox& store, const std::string& directory)
{
    TNMailBox fresh;
    fresh.MailBoxes = store.MailBoxes;
    fresh.setMailBoxDirectoryWithoutChanges(directory);
    try {
        fresh.SetCurrentMailBoxNumber(store.CurrentMailBoxNumber());
    } catch (const FileError& e) {
        throw FuzzFinding(std::string(kMailbox) + ": a pair is unreadable after a successful operation: " + e.what());
    }
    FUZZ_REQUIRE(fresh.CurrentMailBoxMessages() == store.CurrentMailBoxMessages() &&
                fresh.CurrentNMailBoxTrash() == store.CurrentNMailBoxTrash(),
            kMailbox, "the store's count or trash differs from its files after an operation");
}

void runMailboxOperations(TNMailBox& store, const std::string& directory, std::string_view script,
                          RecordingViewer (&viewers)[2])
{
    const char* const names[] = {"select", "flag",   "delete", "move",  "move-several", "compress",
                                 "append", "switch", "empty",  "compress-all", "select-by-name"};
    for (std::size_t pc = 0, ops = 0; pc < script.size() && ops < 12; ++ops) {
        const int op = static_cast<unsigned char>(script[pc++]) % 11;
        const unsigned char arg = pc < script.size() ? static_cast<unsigned char>(script[pc++]) : 0;
        const int current = store.CurrentMailBoxNumber() == 2 ? 1 : 0;
        const std::string key = kKeys[current], other = kKeys[1 - current];
        const PairView before[2] = {readPair(directory, kKeys[0]), readPair(directory, kKeys[1])};
        const PairView& mine = before[current];
        const PairView& theirs = before[1 - current];
        const int count = store.CurrentMailBoxMessages();
        const int number = store.Msg_Number();
        std::vector<std::string> appended;
        const std::string op_name = names[op];
        try {
            switch (op) {
            case 0:
                store.SetMsg_Number(arg % (count + 2));
                break;
            case 1:
                store.SetMessageFlag(static_cast<char>(arg));
                break;
            case 2:
                store.DeleteMessage();
                break;
            case 3:
                store.MoveMessage(other);
                break;
            case 4:
                store.MoveMessages({arg % (count + 1), 1, arg % (count + 1), count}, other);
                break;
            case 5:
                store.CompressMailbox();
                break;
            case 6:
                appended = {"From: fuzz", std::string(arg % 3, '\r') + "x", "", std::string(arg, 'b')};
                store.Msg_Text = appended;
                store.Msg_From = std::string(arg, 'f');
                store.Msg_Subject = "append " + std::to_string(arg);
                store.AppendMessage();
                break;
            case 7:
                store.SetCurrentMailBoxNumber(arg % 2 + 1);
                break;
            case 8:
                store.EmptyMailbox(arg % 2 + 1);
                break;
            case 9:
                store.CompressMailboxes(arg * 4);
                break;
            case 10:
                store.SetCurrentMailBoxName(arg % 2 ? "M1" : "m0");
                break;
            }
        } catch (const FileError& e) {
            // Compressing every mailbox is one step per mailbox: an earlier one may have finished.
            const PairView after[2] = {readPair(directory, kKeys[0]), readPair(directory, kKeys[1])};
            for (int k = 0; k < 2 && op != 9; ++k)
                FUZZ_REQUIRE(after[k].idx == before[k].idx && after[k].mbx == before[k].mbx, kMailbox,
                        "a failed " + op_name + " changed " + kKeys[k] + ": " + e.what());
            if (op == 7 || op == 9 || op == 10)
                return; // what is selected is not known any more
            continue;
        }
        if (op == 0 || op == 7 || op == 10)
            continue;
        checkReopens(store, directory);
        const PairView now = readPair(directory, key), there = readPair(directory, other);
        RecordingViewer& mineViewer = viewers[current];
        RecordingViewer& theirViewer = viewers[1 - current];
        switch (op) {
        case 1:
            if (number >= 1 && number <= count) {
                MailboxRecord flagged = mine.records[static_cast<std::size_t>(number - 1)];
                flagged.Flag = static_cast<char>(arg);
                FUZZ_REQUIRE(now.records.size() == mine.records.size() &&
                            sameRecord(now.records[static_cast<std::size_t>(number - 1)], flagged) && now.mbx == mine.mbx,
                        kMailbox, "SetMessageFlag changed more than the flag");
                FUZZ_REQUIRE(mineViewer.lastIs(kMailboxFlagChanged, number), kMailbox, "no flag notice");
            }
            break;
        case 2:
            if (number >= 1 && number <= count) {
                std::vector<MailboxRecord> expected = mine.records;
                std::int64_t size = expected[static_cast<std::size_t>(number - 1)].Size;
                expected.erase(expected.begin() + (number - 1));
                bool same = now.records.size() == expected.size() && now.header.Part == count - 1 && now.mbx == mine.mbx;
                for (std::size_t i = 0; same && i < expected.size(); ++i)
                    same = sameRecord(now.records[i], expected[i]);
                FUZZ_REQUIRE(same, kMailbox, "DeleteMessage did not remove exactly message " + std::to_string(number));
                std::int64_t trash = std::min<std::int64_t>(std::int64_t(mine.header.Lines) + std::max<std::int64_t>(size, 0),
                                                            std::numeric_limits<std::int32_t>::max());
                FUZZ_REQUIRE(now.header.Lines == trash, kMailbox, "DeleteMessage counted the trash wrongly");
                FUZZ_REQUIRE(mineViewer.lastIs(kMailboxRemoved, number), kMailbox, "no removal notice");
            }
            break;
        case 3:
        case 4:
            if (now.header.Part != count) {
                // One message at least went over; the last moved is the target's last message, byte for byte.
                FUZZ_REQUIRE(now.header.Part < count && there.header.Part == theirs.header.Part + (count - now.header.Part) &&
                            !there.texts.empty() && there.texts.back().has_value(),
                        kMailbox, "a move lost or made messages");
                bool found = std::any_of(mine.texts.begin(), mine.texts.end(),
                                         [&](const auto& t) { return t && *t == *there.texts.back(); });
                FUZZ_REQUIRE(found, kMailbox, "the moved text is not a text of the source");
                FUZZ_REQUIRE(theirViewer.lastIs(kMailboxAppended, there.header.Part), kMailbox, "no notice to the target");
            }
            break;
        case 5: {
            std::int64_t total = 0;
            bool same = now.header.Part == count && now.header.Lines == 0 && now.texts.size() == mine.texts.size();
            for (std::size_t i = 0; same && i < now.texts.size(); ++i) {
                same = mine.texts[i] && now.texts[i] && *mine.texts[i] == *now.texts[i];
                total += now.records[i].Size;
            }
            FUZZ_REQUIRE(same, kMailbox, "CompressMailbox changed a message's text or the count, or kept trash");
            FUZZ_REQUIRE(now.header.Size == total && now.mbx.size() == static_cast<std::size_t>(total), kMailbox,
                    "a compressed text file holds more than its messages");
            FUZZ_REQUIRE(mineViewer.lastIs(kMailboxReloaded, 0), kMailbox, "no reload notice");
            break;
        }
        case 8: {
            const PairView emptied = readPair(directory, kKeys[arg % 2]);
            FUZZ_REQUIRE(emptied.header.Part == 0 && emptied.header.Lines == 0 && emptied.mbx.empty(), kMailbox,
                         "EmptyMailbox left messages, trash or text");
            FUZZ_REQUIRE(viewers[arg % 2].lastIs(kMailboxEmptied, 0), kMailbox, "no emptied notice");
            break;
        }
        case 9:
            for (int k = 0; k < 2; ++k) {
                const PairView after = readPair(directory, kKeys[k]);
                FUZZ_REQUIRE(after.header.Part == before[k].header.Part && after.header.Lines <= arg * 4, kMailbox,
                             std::string("CompressMailboxes left ") + kKeys[k] + " with trash above the limit, or changed its count");
            }
            break;
        case 6: {
            FUZZ_REQUIRE(now.header.Part == count + 1 && !now.texts.empty() && now.texts.back().has_value() &&
                        textLines(*now.texts.back()) == appended,
                    kMailbox, "an appended message does not read back as appended");
            const MailboxRecord& r = now.records.back();
            FUZZ_REQUIRE(r.From == std::string(arg, 'f').substr(0, 80) && r.Subject == "append " + std::to_string(arg), kMailbox,
                    "an appended message's fields are not as appended");
            FUZZ_REQUIRE(mineViewer.lastIs(kMailboxAppended, count + 1), kMailbox, "no append notice");
            break;
        }
        }
        // The reads walk every message; the next operation acts on the message this one left current.
        const int keep = store.Msg_Number();
        checkReads(store, directory);
        store.SetMsg_Number(keep);
    }
}


// --- received messages -----------------------------------------------------------------------

constexpr const char* kParser = "fuzz_parser";

struct StoredPart {
    std::string fileName, contentType;
    std::int32_t size = 0;
    std::optional<std::string> bytes; // the file, when one was written
    bool operator==(const StoredPart&) const = default;
};

struct ParsedMessage {
    bool loaded = false;
    std::vector<std::string> text;
    std::string from, to, subject, date;
    std::int64_t size = 0;
    bool truncated = false;
    std::vector<StoredPart> parts;
    bool operator==(const ParsedMessage&) const = default;
};

bool holdsLineBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

// Runs one answer through `parser` as the POP3 session does: the lines up to the "." line,
// unstuffed. Part files go to `dir` under names starting with `tag`.
ParsedMessage parseAnswer(MessageParser& parser, const std::string& dir, const std::string& tag, std::string_view bytes,
                          bool preview)
{
    ParsedMessage m;
    int counter = 0;
    parser.OnAttachmentGetLocation = [&](TMIMEAttachmentPtr a) { a->Location = dir + tag + std::to_string(++counter); };
    parser.OnAttachmentStored = [&](TMIMEAttachmentPtr a) {
        StoredPart part{a->FileName, a->ContentType, a->Size, std::nullopt};
        if (!a->Location.empty())
            part.bytes = fileBytes(a->Location);
        // Names from messages lose every directory part and every control character.
        FUZZ_REQUIRE(a->FileName.find_first_of("/\\") == std::string::npos && a->FileName != "." && a->FileName != ".." &&
                         std::none_of(a->FileName.begin(), a->FileName.end(),
                                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
                     kParser, "an attachment keeps an unsafe file name " + shown(a->FileName));
        FUZZ_REQUIRE(a->FileName.size() <= kFileNameRoom && a->ContentType.size() <= 4096, kParser,
                     "an attachment field beyond its room");
        if (part.bytes)
            FUZZ_REQUIRE(part.bytes->size() == static_cast<std::size_t>(a->Size), kParser,
                         "an attachment's Size " + std::to_string(a->Size) + " is not its file's " +
                             std::to_string(part.bytes->size()) + " bytes");
        m.parts.push_back(std::move(part));
    };
    auto capture = [&] {
        m.loaded = true;
        m.text = parser.MessageText;
        m.from = parser.From;
        m.to = parser.To;
        m.subject = parser.Subject;
        m.date = parser.Date;
        m.size = parser.MessageSize;
        m.truncated = parser.MessageTextTruncated;
    };
    parser.OnMessageLoaded = capture;
    parser.OnHeadersLoaded = capture;
    const bool started = preview ? parser.beginPreview("+OK 120 octets") : parser.beginMessage("+OK 120 octets");
    FUZZ_REQUIRE(started, kParser, "a \"+OK\" answer was refused");
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
        std::string_view raw = bytes.substr(start, (end > start && bytes[end - 1] == '\r' ? end - 1 : end) - start);
        start = lf == std::string_view::npos ? bytes.size() : lf + 1;
        if (isEndOfAnswer(raw))
            break;
        if (preview)
            parser.feedPreviewLine(unstuffAnswerLine(raw));
        else
            parser.feedLine(unstuffAnswerLine(raw));
    }
    if (preview)
        parser.endPreview();
    else
        parser.endMessage();
    FUZZ_REQUIRE(m.loaded, kParser, preview ? "no OnHeadersLoaded at the end of a preview" : "no OnMessageLoaded at the end");
    FUZZ_REQUIRE(parser.MessageText.empty() && parser.From.empty(), kParser, "the values were not cleared after the event");
    for (const std::string* field : {&m.from, &m.to, &m.subject, &m.date}) {
        FUZZ_REQUIRE(!holdsLineBreakOrNul(*field), kParser, "a summary field holds CR, LF or NUL: " + shown(*field));
        FUZZ_REQUIRE(isValidUtf8(*field), kParser, "a summary field is not UTF-8: " + shown(*field));
    }
    for (const auto& line : m.text)
        FUZZ_REQUIRE(isValidUtf8(line), kParser, "a kept line is not UTF-8: " + shown(line));
    const ParserLimits& limits = parser.Limits();
    std::size_t textBytes = 0;
    for (const auto& line : m.text) {
        FUZZ_REQUIRE(line.size() <= limits.maxTextLineBytes, kParser,
                     "a kept line of " + std::to_string(line.size()) + " bytes passes maxTextLineBytes");
        textBytes += line.size() + sizeof(std::string);
    }
    FUZZ_REQUIRE(textBytes <= limits.maxTextBytes, kParser, "the kept text passes maxTextBytes");
    if (!preview)
        FUZZ_REQUIRE(m.parts.size() <= static_cast<std::size_t>(limits.maxParts) + 1, kParser,
                     std::to_string(m.parts.size()) + " part files for maxParts " + std::to_string(limits.maxParts));
    return m;
}

std::string partHeaderFreeName(const std::string& bytes) { return "x" + std::to_string(bytes.size()) + ".bin"; }

// A message the program's own encoders could have written: the attachment comes back byte for
// byte through the parser's decoders, as base64 and as quoted-printable.
void checkEncodedAttachment(const ScratchDir& dir, const std::string& data)
{
    std::string body;
    base64EncodeLines(reinterpret_cast<const unsigned char*>(data.data()), data.size(), body);
    const std::string qp = encodeQuotedPrintable(data);
    const std::string b = std::string(kBoundary);
    std::string message = "From: fuzz <fuzz@example.org>\r\nSubject: attachment\r\nMIME-Version: 1.0\r\n"
                          "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n"
                          "--" + b + "\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
                          "--" + b + "\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
                          "Content-Disposition: attachment; filename=\"" + partHeaderFreeName(data) + "\"\r\n\r\n" + body +
                          "--" + b + "\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: quoted-printable\r\n"
                          "Content-Disposition: attachment; filename=\"q.bin\"\r\n\r\n" + qp + "\r\n"
                          "--" + b + "--\r\n";
    // The session stuffs nothing here: a line that starts with "." gets its dot doubled.
    std::string stuffed;
    for (const std::string& line : lfLines(message))
        stuffed += (line.rfind('.', 0) == 0 ? "." : "") + line + "\r\n";
    MessageParser parser;
    ParsedMessage m = parseAnswer(parser, dir.path(), "encoded", stuffed, false);
    FUZZ_REQUIRE(m.parts.size() == 2 && m.parts[0].bytes && m.parts[1].bytes, kParser,
                 "a message with two attachments gave " + std::to_string(m.parts.size()) + " part files");
    FUZZ_REQUIRE(*m.parts[0].bytes == data, kParser, "a base64 attachment does not decode to its bytes");
    FUZZ_REQUIRE(*m.parts[1].bytes == data, kParser, "a quoted-printable attachment does not decode to its bytes");
    FUZZ_REQUIRE(m.parts[0].fileName == partHeaderFreeName(data), kParser, "the attachment lost its file name");
}

// The decoders against the encoders, and streamed against whole.
void checkCodecs(const std::string& data)
{
    FUZZ_REQUIRE(decodeBase64(base64Encode(data)) == data, kParser, "decodeBase64 of base64Encode is not the bytes");
    const std::string whole = decodeBase64(data);
    Base64Decoder streamed;
    std::string pieces;
    for (std::size_t at = 0, step = 1; at < data.size(); at += step, step = step % 7 + 1) {
        std::size_t n = std::min(step, data.size() - at);
        std::string out(Base64Decoder::maxOutput(n), '\0');
        out.resize(streamed.decode(data.data() + at, n, out.data()));
        pieces += out;
    }
    char tail[2];
    pieces.append(tail, streamed.finish(tail));
    FUZZ_REQUIRE(pieces == whole, kParser, "base64 decoded in pieces differs from decoded at once");

    std::string decoded;
    std::vector<std::string> lines = textLines(encodeQuotedPrintable(data) + "\r\n");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        bool soft = decodeQuotedPrintableLine(lines[i], decoded);
        FUZZ_REQUIRE(soft == (i + 1 < lines.size()), kParser, "the encoder's soft breaks are not where the decoder sees them");
    }
    FUZZ_REQUIRE(decoded == data, kParser, "quoted-printable does not decode to the bytes it encoded");

    const std::string words = DecodeWords(data);
    FUZZ_REQUIRE(!holdsLineBreakOrNul(words), kParser, "DecodeWords left CR, LF or NUL");
    // Encoded words are read back here by their own rules (RFC 2047), apart from the parser's
    // charset handling: each word whole UTF-8 characters, together the text read as stored.
    for (WordContext context : {WordContext::Text, WordContext::Phrase, WordContext::Parameter}) {
        std::string joined, wire;
        for (const std::string& w : splitEncodedWords(data, context)) {
            wire += (wire.empty() ? "" : " ") + w;
            FUZZ_REQUIRE(w.size() <= kMaxEncodedWord, kParser, "an encoded word longer than 75: " + shown(w));
            FUZZ_REQUIRE(w.size() > 12 && w.compare(0, 8, "=?UTF-8?") == 0 && (w[8] == 'B' || w[8] == 'Q') &&
                             w[9] == '?' && w.compare(w.size() - 2, 2, "?=") == 0,
                         kParser, "not a UTF-8 encoded word: " + shown(w));
            const std::string payload = w.substr(10, w.size() - 12);
            std::string bytes;
            if (w[8] == 'B') {
                bytes = decodeBase64(payload);
            } else {
                for (std::size_t i = 0; i < payload.size(); ++i) {
                    if (payload[i] == '_') {
                        bytes += ' ';
                    } else if (payload[i] == '=' && i + 2 < payload.size()) {
                        bytes += static_cast<char>(std::stoi(payload.substr(i + 1, 2), nullptr, 16));
                        i += 2;
                    } else {
                        FUZZ_REQUIRE(payload[i] != '=' && payload[i] != '?', kParser, "a broken Q word: " + shown(w));
                        bytes += payload[i];
                    }
                }
            }
            FUZZ_REQUIRE(isValidUtf8(bytes), kParser, "an encoded word cuts a character: " + shown(w));
            joined += bytes;
        }
        FUZZ_REQUIRE(joined == storedText(data), kParser, "encoded words do not decode to their text " + shown(data));
        // And the parser reads the words back to the same text.
        std::string expected = joined;
        for (char& c : expected)
            if (c == '\r' || c == '\n' || c == '\0')
                c = ' ';
        if (!wire.empty())
            FUZZ_REQUIRE(DecodeWords(wire) == expected, kParser, "the parser does not read the words back " + shown(data));
    }
    std::string value;
    ParamValue(data, "filename", value);
    std::string_view name, fieldValue;
    splitHeaderField(data, name, fieldValue);
    HeaderValue(data, "Subject: ", value);
    FUZZ_REQUIRE(answerSizeText(data).size() <= 99, kParser, "answerSizeText passes 99 digits");
    FUZZ_REQUIRE(isValidUtf8(words), kParser, "DecodeWords gave text that is not UTF-8");
}

// --- attach.idx -----------------------------------------------------------------------------

constexpr const char* kAttach = "fuzz_attach_idx";

bool sameAttachment(const TMIMEAttachment& a, const TMIMEAttachment& b)
{
    return a.FileName == b.FileName && a.ContentType == b.ContentType && a.Disposition == b.Disposition &&
           a.Description == b.Description && a.Size == b.Size && a.ContentID == b.ContentID && a.Location == b.Location &&
           a.ManagedFile == b.ManagedFile;
}

TMIMEAttachment fittedAttachment(TMIMEAttachment a)
{
    return decodeAttachmentRecord(encodeAttachmentRecord(a).data());
}

bool regularFile(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Runs in another working directory for one scope: records naming files by relative paths
// ("a1") then find the files the input provides beside the index.
class WorkingDirectoryAt {
public:
    explicit WorkingDirectoryAt(const std::string& dir) : saved_(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir);
    }
    ~WorkingDirectoryAt()
    {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
    }
    WorkingDirectoryAt(const WorkingDirectoryAt&) = delete;
    WorkingDirectoryAt& operator=(const WorkingDirectoryAt&) = delete;

private:
    std::filesystem::path saved_;
};

// The index as bytes, refusing to read one that a bug made huge (it would exhaust memory here).
std::optional<std::string> indexBytes(const std::string& path)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    FUZZ_REQUIRE(ec || size <= (1u << 24), kAttach, "attach.idx grew to " + std::to_string(size) + " bytes");
    return fileBytes(path);
}

void checkAttachmentStore(const std::vector<std::string>& parts)
{
    ScratchDir dir;
    const std::string attach = dir.sub("attach");
    WorkingDirectoryAt here(attach);
    const std::string idx = attach + kAttachmentIndexName;
    putFile(idx, parts[0]);
    if (parts.size() > 1)
        putFile(attach + "a1", parts[1]);
    TAttachmentManager store;
    store.TempDirectory = dir.path() + "temp/";
    try {
        store.SetAttachmentDirectory(attach);
    } catch (const FileError&) {
        FUZZ_REQUIRE(parts[0].size() < kAttachmentRecordSize, kAttach, "an index with a header was refused");
        return;
    }
    FUZZ_REQUIRE(parts[0].size() >= kAttachmentRecordSize, kAttach, "an index shorter than its header was taken");
    const std::string& bytes = parts[0];
    const std::int64_t records = static_cast<std::int64_t>(bytes.size() / kAttachmentRecordSize) - 1;
    FUZZ_REQUIRE(store.LastNumber() >= records && store.LastNumber() >= 0, kAttach,
                 "LastNumber " + std::to_string(store.LastNumber()) + " is below the " + std::to_string(records) +
                     " records: numbers would be issued twice");
    for (std::int32_t n = 0; n <= records + 1 && n <= 16; ++n) {
        bool present = n >= 1 && n <= records;
        try {
            TMIMEAttachment a = store.GetAttachment(n);
            FUZZ_REQUIRE(present && sameAttachment(fittedAttachment(a), a) &&
                             encodeAttachmentRecord(a) == encodeAttachmentRecord(decodeAttachmentRecord(
                                                              bytes.data() + static_cast<std::size_t>(n) * kAttachmentRecordSize)),
                         kAttach, "GetAttachment(" + std::to_string(n) + ") is not the record in the file");
        } catch (const FileError&) {
            FUZZ_REQUIRE(!present, kAttach, "GetAttachment(" + std::to_string(n) + ") refused a record in the file");
        }
    }

    // The files of the records as the input has them, before the writes below replace records.
    const std::int32_t last = std::min<std::int32_t>(store.LastNumber(), 8);
    for (std::int32_t n = 1; n <= last; ++n) {
        TMIMEAttachment a;
        try {
            a = store.GetAttachment(n);
        } catch (const FileError&) {
            continue;
        }
        // A Location naming a device or a pipe would be copied without end or wait forever
        // (reported to the store's owner); only plain, small files are copied here.
        std::error_code ec;
        if (a.Location.empty() || !regularFile(a.Location) || std::filesystem::file_size(a.Location, ec) > (1u << 20) || ec)
            continue;
        const std::string destination = dir.path() + "copy" + std::to_string(n);
        try {
            store.CopyAttachmentFile(n, destination);
            FUZZ_REQUIRE(fileBytes(destination) == fileBytes(a.Location), kAttach, "a copied attachment differs from its file");
        } catch (const FileError&) {
        }
        try {
            const std::string temp = store.AttachmentTempFile(n, parts.size() > 3 ? parts[3] : std::string("txt"));
            if (a.ManagedFile == 1) {
                const std::string inside = store.TempDirectory;
                FUZZ_REQUIRE(temp.compare(0, inside.size(), inside) == 0 &&
                                 temp.find('/', inside.size()) == std::string::npos && temp.size() > inside.size(),
                             kAttach, "a temporary copy lies outside the scratch directory: " + shown(temp));
                FUZZ_REQUIRE(fileBytes(temp) == fileBytes(a.Location), kAttach, "a temporary copy differs from its file");
            } else
                FUZZ_REQUIRE(temp == a.Location, kAttach, "a user's own file was not handed out as it is");
        } catch (const FileError&) {
        }
    }
    // A failed step leaves the index as it was.
    auto unchangedOnFailure = [&](const char* step, auto&& run) {
        const std::optional<std::string> before = indexBytes(idx);
        try {
            run();
            return true;
        } catch (const FileError& e) {
            FUZZ_REQUIRE(indexBytes(idx) == before, kAttach, std::string("a failed ") + step + " changed attach.idx: " + e.what());
            return false;
        }
    };

    TMIMEAttachment fresh;
    fresh.FileName = parts.size() > 2 ? parts[2] : std::string("fresh.txt");
    fresh.ContentType = "text/plain";
    fresh.Description = fresh.FileName + fresh.FileName;
    fresh.Size = static_cast<std::int32_t>(bytes.size());
    const std::optional<std::string> beforeRegister = indexBytes(idx);
    const std::int32_t lastBefore = store.LastNumber();
    std::int32_t issued = 0;
    TMIMEAttachment registered = fresh;
    if (unchangedOnFailure("RegisterAttachment", [&] { issued = store.RegisterAttachment(registered); })) {
        FUZZ_REQUIRE(issued == lastBefore + 1 && issued > records && store.LastNumber() == issued, kAttach,
                     "RegisterAttachment issued " + std::to_string(issued) + " after " + std::to_string(lastBefore));
        // Sizes read from a file are checked against the file: a header number far beyond the
        // records must not make the index grow by gigabytes of holes.
        std::error_code ec;
        const auto grown = std::filesystem::file_size(idx, ec);
        FUZZ_REQUIRE(!ec && grown <= beforeRegister->size() + 2 * kAttachmentRecordSize, kAttach,
                     "a header number of " + std::to_string(lastBefore) + " with " + std::to_string(records) +
                         " records made attach.idx grow to " + std::to_string(grown) + " bytes");
        FUZZ_REQUIRE(registered.ManagedFile == 1 && registered.Location == attach + "a" + std::to_string(issued), kAttach,
                     "a record without Location did not get the store's file");
        TMIMEAttachment back = store.GetAttachment(issued);
        FUZZ_REQUIRE(sameAttachment(back, fittedAttachment(registered)), kAttach, "a registered record reads back otherwise");
        const std::string after = indexBytes(idx).value_or("");
        const std::size_t keep = std::min<std::size_t>(beforeRegister->size(), static_cast<std::size_t>(issued) * kAttachmentRecordSize);
        FUZZ_REQUIRE(after.compare(kAttachmentRecordSize, keep - kAttachmentRecordSize, *beforeRegister, kAttachmentRecordSize,
                                   keep - kAttachmentRecordSize) == 0,
                     kAttach, "registering changed earlier records");
        // The next store to open the index goes on from the number just issued.
        TAttachmentManager reopened;
        reopened.SetAttachmentDirectory(attach);
        FUZZ_REQUIRE(reopened.LastNumber() == issued, kAttach, "a reopened index forgot the number just issued");
    }
    TMIMEAttachment tooLong = fresh;
    tooLong.Location = attach + std::string(300, 'l');
    unchangedOnFailure("RegisterAttachment of a long Location", [&] { store.RegisterAttachment(tooLong); });
    // One past the last number, unless the last is the largest a record number can be.
    const std::int32_t lastIssued = store.LastNumber();
    const std::int32_t beyond =
        lastIssued < std::numeric_limits<std::int32_t>::max() ? lastIssued + 1 : lastIssued;
    for (std::int32_t n : {0, 1, lastIssued, beyond})
        if (unchangedOnFailure("UpdateAttachment", [&] { store.UpdateAttachment(n, fresh); }))
            FUZZ_REQUIRE(n >= 1 && n <= store.LastNumber() && sameAttachment(store.GetAttachment(n), fittedAttachment(fresh)), kAttach,
                         "UpdateAttachment(" + std::to_string(n) + ") did not store the record");

    const std::vector<std::string> temps = store.TempFiles;
    store.RemoveTempFiles();
    for (const auto& t : temps)
        FUZZ_REQUIRE(!fileExists(t), kAttach, "RemoveTempFiles left " + shown(t));
}

// --- RC4 and the line cipher -------------------------------------------------------------------

constexpr const char* kRc4 = "fuzz_rc4";

// Textbook RC4, written out here so the cipher is checked against something it did not write.
std::string referenceRc4(std::string_view key, std::string_view data)
{
    unsigned char s[256];
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<unsigned char>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + static_cast<unsigned char>(key[static_cast<std::size_t>(i) % key.size()])) & 255;
        std::swap(s[i], s[j]);
    }
    std::string out(data);
    for (std::size_t k = 0, i = 0, j = 0; k < out.size(); ++k) {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        std::swap(s[i], s[j]);
        out[k] = static_cast<char>(static_cast<unsigned char>(out[k]) ^ s[(s[i] + s[j]) & 255]);
    }
    return out;
}

void checkCipher(const std::string& text, const std::string& password)
{
    // The key: the password's first 8 bytes; a shorter one, one NUL and blanks up to 8.
    std::string key = password.substr(0, kMessageKeyLength);
    if (key.size() < kMessageKeyLength) {
        key += '\0';
        key.resize(kMessageKeyLength, ' ');
    }
    const auto made = messageKey(password);
    FUZZ_REQUIRE(std::string(made.begin(), made.end()) == key, kRc4, "messageKey is not the documented key of " + shown(password));

    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\1' && i + 1 < text.size() && text[i + 1] == '\1') {
            plain += '\0';
            ++i;
        } else
            plain += text[i];
    }
    std::string expected;
    for (char c : referenceRc4(key, plain))
        expected += c == '\0' ? std::string("\1\1") : std::string(1, c);
    const std::string cipher = EncipherLine(text, password);
    FUZZ_REQUIRE(cipher == expected, kRc4, "EncipherLine is not RC4 under the escape rule for " + shown(text));

    const CipherLineRisk risk = cipherLineRisk(text, password);
    const bool back = EncipherLine(cipher, password) == text;
    FUZZ_REQUIRE(back == (risk != CipherLineRisk::LostInEscape), kRc4, "cipherLineRisk disagrees with the round trip");
    if (risk == CipherLineRisk::None)
        FUZZ_REQUIRE(cipher.find_first_of("\r\n") == std::string::npos, kRc4, "a line without risk enciphers to a line break");
    if (text.find('\0') == std::string::npos && text.find("\1\1") == std::string::npos &&
        plain.find('\1') == std::string::npos && referenceRc4(key, plain).find('\1') == std::string::npos)
        FUZZ_REQUIRE(back, kRc4, "a line the escape can carry does not decipher: " + shown(text));

    // The primitives: any key length from 1 to 256, the saved state, the burn.
    const std::size_t keyLength = text.empty() ? 1 : static_cast<unsigned char>(text[0]) + 1;
    const std::string rawKey = (password + text + std::string(256, 'k')).substr(0, keyLength);
    RC4State state;
    RC4Init(state, reinterpret_cast<const std::uint8_t*>(rawKey.data()), rawKey.size());
    std::string data = text;
    RC4Crypt(state, reinterpret_cast<const std::uint8_t*>(data.data()), reinterpret_cast<std::uint8_t*>(data.data()), data.size());
    FUZZ_REQUIRE(data == referenceRc4(rawKey, text), kRc4, "RC4Crypt is not RC4 for a key of " + std::to_string(keyLength));
    RC4Reset(state);
    RC4Crypt(state, reinterpret_cast<const std::uint8_t*>(data.data()), reinterpret_cast<std::uint8_t*>(data.data()), data.size());
    FUZZ_REQUIRE(data == text, kRc4, "RC4Reset did not restore the state after key setup");
    RC4Burn(state);
    FUZZ_REQUIRE(std::all_of(state.bytes.begin(), state.bytes.end(), [](std::uint8_t b) { return b == 255; }), kRc4,
                 "RC4Burn left key material");
    for (std::size_t bad : {std::size_t(0), std::size_t(257)}) {
        try {
            RC4Init(state, reinterpret_cast<const std::uint8_t*>(rawKey.data()), bad);
            throw FuzzFinding(std::string(kRc4) + ": RC4Init took a key of " + std::to_string(bad) + " bytes");
        } catch (const std::invalid_argument&) {
        }
    }
}

// --- character sets ----------------------------------------------------------------------------

constexpr const char* kUnicode = "fuzz_unicode_text";

// Labels tried when the input names none: the stateful and multi-byte charsets first.
constexpr const char* kFuzzCharsets[] = {"iso-2022-jp", "shift_jis", "euc-jp", "euc-kr", "gb18030", "big5",
                                         "utf-7", "utf-16", "utf-16le", "utf-8", "windows-1251", "iso-8859-1",
                                         "big5-hkscs", "windows-1258", "x-unknown"};

// UTF-8 validity the textbook way, code point by code point, to check isValidUtf8 against.
bool referenceValidUtf8(std::string_view s)
{
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > s.size())
            return false;
        std::uint32_t cp = length == 1 ? c : c & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (cc & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

void checkCharsetText(const std::string& bytes, const std::string& label)
{
    FUZZ_REQUIRE(isValidUtf8(bytes) == referenceValidUtf8(bytes), kUnicode, "isValidUtf8 misjudges " + shown(bytes));
    const std::string stored = storedText(bytes);
    FUZZ_REQUIRE(isValidUtf8(stored), kUnicode, "storedText gave bytes that are not UTF-8");
    FUZZ_REQUIRE(!isValidUtf8(bytes) || stored == bytes, kUnicode, "storedText changed valid UTF-8");
    const std::string whole = charsetToUtf8(bytes, label);
    FUZZ_REQUIRE(isValidUtf8(whole), kUnicode, "charsetToUtf8 (" + label + ") gave bytes that are not UTF-8");
    // Pieces of any size: each one's UTF-8 is whole, and a text that converts (it did not fall
    // back to storedText) converts to the same in pieces.
    for (const std::size_t step : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(7), std::size_t(64)}) {
        CharsetDecoder decoder(label);
        std::string out;
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            const std::string piece = decoder.feed(std::string_view(bytes).substr(at, step));
            FUZZ_REQUIRE(isValidUtf8(piece), kUnicode, "a piece of " + std::to_string(step) + " gave bytes that are not UTF-8");
            out += piece;
        }
        const std::string rest = decoder.finish();
        FUZZ_REQUIRE(isValidUtf8(rest), kUnicode, "finish() gave bytes that are not UTF-8");
        out += rest;
        FUZZ_REQUIRE(out == whole || whole == stored, kUnicode,
                     "in pieces of " + std::to_string(step) + " (" + label + ") " + shown(bytes) + " reads " +
                         shown(out) + ", whole " + shown(whole));
    }
    for (const std::size_t max : {0, 1, 2, 3, 5, 40, 80}) {
        const std::size_t cut = utf8CutPoint(whole, max);
        FUZZ_REQUIRE(cut <= max || cut == whole.size(), kUnicode, "a cut longer than its field");
        FUZZ_REQUIRE(isValidUtf8(whole.substr(0, cut)) && (cut == whole.size() || max - cut < 4), kUnicode,
                     "a cut at " + std::to_string(max) + " split a character or left room: " + shown(whole));
    }
}

} // namespace

std::vector<std::string> splitFuzzInput(const std::uint8_t* data, std::size_t size, std::size_t maxParts)
{
    const std::string bytes = asString(data, size);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (parts.size() + 1 < maxParts) {
        std::size_t at = bytes.find(kFuzzPartSeparator, start);
        if (at == std::string::npos)
            break;
        parts.push_back(bytes.substr(start, at - start));
        start = at + kFuzzPartSeparator.size();
    }
    parts.push_back(bytes.substr(start));
    return parts;
}

int fuzzIni(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes = asString(data, size);
    checkIniDocument(bytes);
    ScratchDir dir;
    checkIniOnDisk(dir, bytes);
    checkSettingsFile(dir, bytes);
    checkLoginFile(dir, bytes);
    return 0;
}

// Parts: address.csv | listitems.ini | listvalues.ini | list.csv | a sender.
int fuzzCsv(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> parts = splitFuzzInput(data, size, 5);
    checkCsvRecords(parts[0]);
    checkAddressBookFiles(parts);
    return 0;
}

// Parts: treedata1.dat | treedata2.dat (absent: the texts alone) | the lines of the settings'
// "Mailboxes" section | a folder name.
int fuzzTree(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> parts = splitFuzzInput(data, size, 4);
    const bool withImages = parts.size() > 1;
    ScratchDir dir;

    const std::string loadDir = dir.sub("load");
    putFile(loadDir + kTreeTextsFile, parts[0]);
    if (withImages)
        putFile(loadDir + kTreeImagesFile, parts[1]);
    FolderTree loaded;
    try {
        FUZZ_REQUIRE(loaded.LoadTreeFromDisk(loadDir) == withImages, kTree, "LoadTreeFromDisk's answer is not whether both files exist");
    } catch (const TreeFileError&) {
        // The nodes before the faulty line stay, and they are a tree too.
    } catch (const FileError&) {
        FUZZ_REQUIRE(loaded.count() == 0, kTree, "an unreadable file changed the tree");
    }
    checkTreeShape(loaded, "loaded");
    checkSavesBack(loaded, dir, "loaded");

    // The list as LoadSettings reads it: the key lines of a "Mailboxes" section.
    MailboxList mailboxes = standardMailboxEntries();
    if (parts.size() > 2) {
        IniFile settings;
        settings.parse("[Mailboxes]\r\n" + parts[2]);
        mailboxes = settings.sectionLines("Mailboxes");
    }
    const std::string profile = dir.sub("profile");
    putFile(profile + kTreeTextsFile, parts[0]);
    if (withImages)
        putFile(profile + kTreeImagesFile, parts[1]);
    FolderTree opened;
    TreeOpening opening;
    try {
        opening = opened.openProfileTree(profile, mailboxes);
    } catch (const FileError&) {
        // Raised after the tree was made whole.
    }
    FUZZ_REQUIRE(opened.hasStandardTop(), kTree, "an opened tree lacks the standard top");
    FUZZ_REQUIRE(mailboxes.size() >= static_cast<std::size_t>(kStandardMailboxCount), kTree,
                 "an opened tree left the mailbox list without its standard mailboxes");
    checkTreeShape(opened, "opened");
    for (int n : opening.adoptedMailboxes) {
        bool tied = false;
        for (int i = kFirstUserNode; i < opened.count() && !tied; ++i)
            tied = opened.mailboxOfNode(i, mailboxes) == n;
        FUZZ_REQUIRE(tied, kTree, "adopted mailbox " + std::to_string(n) + " has no node tied to it");
    }
    checkSavesBack(opened, dir, "opened");
    const std::string name = parts.size() > 3 ? parts[3] : std::string("Fuzz folder");
    checkFolderCommands(opened, dir, profile, mailboxes, name);
    checkMailboxFolderCommands(opened, dir, profile, mailboxes, name);
    return 0;
}

// Parts: mime.def | a file name | xdg-mime's file type answer | its default answer | viewer.desktop.
int fuzzMimeDef(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> parts = splitFuzzInput(data, size, 5);
    checkRegistry(parts);
    checkExecLines(parts.size() > 4 ? parts[4] : parts.back());
    return 0;
}

// Parts: m0.idx | m0.mbx | operations (a byte each, some with an argument byte) | a compression
// marker naming the pair to finish.
int fuzzMailboxPair(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> parts = splitFuzzInput(data, size, 4);
    ScratchDir dir;
    const std::string directory = dir.sub("mailboxe");
    putFile(directory + "m0.idx", parts[0]);
    if (parts.size() > 1)
        putFile(directory + "m0.mbx", parts[1]);
    if (parts.size() > 3) {
        // A compression cut short after its marker: the scratch pair (here a copy of m0) is complete.
        const std::string scratch = directory + kCompressScratchKey;
        putFile(scratch + ".job", parts[3]);
        putFile(scratch + ".idx", parts[0]);
        putFile(scratch + ".mbx", parts.size() > 1 ? parts[1] : std::string());
    }

    RecordingViewer viewers[2];
    TNMailBox store;
    store.MailBoxes = {"m0=New Mail", "m1=Sent"};
    store.RegisterViewer(&viewers[0], kKeys[0]);
    store.RegisterViewer(&viewers[1], kKeys[1]);
    try {
        store.SetMailBoxDirectory(directory);
        store.SetCurrentMailBoxNumber(1);
    } catch (const FileError&) {
        return 0;
    }
    checkReads(store, directory);
    store.SetMsg_Number(1);
    runMailboxOperations(store, directory, parts.size() > 2 ? std::string_view(parts[2]) : std::string_view("\x03\x00\x05"),
                         viewers);
    store.UnregisterViewer(&viewers[0]);
    store.UnregisterViewer(&viewers[1]);
    return 0;
}

// Parts: a message as the server sends it | another message, parsed first by the same parser |
// bytes for the codecs and an attachment. Every parse also runs with small limits.
int fuzzParser(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> parts = splitFuzzInput(data, size, 3);
    ScratchDir dir;
    MessageParser fresh;
    const ParsedMessage once = parseAnswer(fresh, dir.path(), "fresh", parts[0], false);
    // One parser serves a whole session: what a message leaves behind never reaches the next.
    MessageParser reused;
    parseAnswer(reused, dir.path(), "before", parts.size() > 1 ? parts[1] : parts[0], false);
    const ParsedMessage again = parseAnswer(reused, dir.path(), "again", parts[0], false);
    FUZZ_REQUIRE(again == once, kParser, "a reused parser reads a message otherwise than a fresh one");
    parseAnswer(reused, dir.path(), "preview", parts[0], true);

    ParserLimits small;
    small.maxTextLineBytes = 64;
    small.maxTextBytes = 8192;
    small.maxHeaderBytes = 512;
    small.maxHeaderFieldBytes = 128;
    small.maxBoundaryDepth = 3;
    small.maxParts = 4;
    small.maxBoundaryBytes = 24;
    MessageParser bounded(small);
    parseAnswer(bounded, dir.path(), "small", parts[0], false);
    parseAnswer(bounded, dir.path(), "smallpreview", parts[0], true);

    int errors = 0;
    fresh.OnMailError = [&](int code, const std::string&) { errors += code == 13; };
    FUZZ_REQUIRE(!fresh.beginMessage("-ERR no such message") && errors == 1, kParser, "a \"-\" answer was not refused");

    const std::string& bytes = parts.size() > 2 ? parts[2] : parts[0];
    checkCodecs(bytes);
    checkEncodedAttachment(dir, bytes);
    return 0;
}

// Parts: attach.idx | the file "a1" | a file name for a new record | the extension of a temporary copy.
int fuzzAttachIdx(const std::uint8_t* data, std::size_t size)
{
    checkAttachmentStore(splitFuzzInput(data, size, 4));
    return 0;
}

// Parts: a line | the password.
int fuzzRc4(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> parts = splitFuzzInput(data, size, 2);
    checkCipher(parts[0], parts.size() > 1 ? parts[1] : std::string("secret"));
    return 0;
}

// Parts: bytes | their charset label (without one, a label chosen by the input's length).
int fuzzUnicodeText(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> parts = splitFuzzInput(data, size, 2);
    const std::size_t count = sizeof kFuzzCharsets / sizeof kFuzzCharsets[0];
    checkCharsetText(parts[0], parts.size() > 1 ? parts[1] : std::string(kFuzzCharsets[size % count]));
    return 0;
}

constexpr const char* kHtmlText = "fuzz_html_text";

// Any bytes as the HTML of a message: valid UTF-8 lines without line ends, no blanks at their
// ends, no blank line first or last, within the bound.
int fuzzHtmlText(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> lines = readableHtmlLines(asString(data, size));
    std::size_t bytes = 0;
    for (const std::string& line : lines) {
        FUZZ_REQUIRE(isValidUtf8(line), kHtmlText, "a line is not UTF-8: " + shown(line));
        FUZZ_REQUIRE(line.find_first_of("\r\n") == std::string::npos, kHtmlText, "a line holds a line end: " + shown(line));
        FUZZ_REQUIRE(line.empty() || (line.back() != ' ' && line.back() != '\t'), kHtmlText,
                     "a line ends in a blank: " + shown(line));
        bytes += line.size() + 1;
    }
    FUZZ_REQUIRE(bytes <= kMaxReadableHtmlBytes, kHtmlText, "the text passes its bound");
    FUZZ_REQUIRE(lines.empty() || (!lines.front().empty() && !lines.back().empty()), kHtmlText,
                 "a blank line first or last");
    return 0;
}

constexpr const char* kAnswer = "fuzz_answer";

int fuzzAnswer(const std::uint8_t* data, std::size_t size)
{
    // A received message as the store holds it, and the index fields, from the input.
    const std::vector<std::string> parts = splitFuzzInput(data, size, 3);
    AnswerSource source;
    source.text = textFileLines(parts[0]);
    source.subject = parts.size() > 1 ? parts[1] : std::string("subject");
    source.from = parts.size() > 2 ? parts[2] : std::string();
    for (const bool viewer : {false, true})
        for (const bool full : {false, true}) {
            source.viewerWindow = viewer;
            source.fullHeaders = full;
            const AnswerText reply = AnswerMessage(AnswerMode::Reply, source);
            const AnswerText forward = AnswerMessage(AnswerMode::Forward, source);
            // The subject is the stored header's whole one (the index's only without it), on one line.
            const std::string subject = answerSubject(source.text, source.subject);
            FUZZ_REQUIRE(reply.SubjectEdt == replySubject(subject) && forward.SubjectEdt == forwardSubject(subject),
                         kAnswer, "the subject is not the message's with its prefix");
            FUZZ_REQUIRE(subject.find_first_of(std::string("\r\n\0", 3)) == std::string::npos, kAnswer,
                         "the subject holds a line break: " + shown(subject));
            FUZZ_REQUIRE(forward.recipient.empty() && forward.ToEdt.empty(), kAnswer, "a forward has a recipient");
            FUZZ_REQUIRE(!forward.Memo1.empty() && forward.Memo1[0] == kForwardedMessageLine, kAnswer,
                         "a forward does not open with its line");
            // A reply quotes under its attribution line what a forward carries at its end.
            const std::size_t quoted = reply.Memo1.empty() ? 0 : reply.Memo1.size() - 1;
            FUZZ_REQUIRE(reply.Memo1.empty() || (reply.Memo1[0].ends_with(" wrote:") &&
                                                 reply.Memo1[0].find_first_of("\r\n") == std::string::npos),
                         kAnswer, "a quote without its one attribution line");
            FUZZ_REQUIRE(forward.Memo1.size() >= quoted + 1, kAnswer, "reply and forward carry different texts");
            const std::size_t offset = forward.Memo1.size() - quoted;
            for (std::size_t i = 0; i < quoted; ++i)
                FUZZ_REQUIRE(reply.Memo1[i + 1] == "> " + forward.Memo1[offset + i], kAnswer,
                             "reply line " + std::to_string(i) + " is not the forwarded line behind \"> \"");
            // A recipient line is one line: a line break in it would add a recipient.
            const AnswerText all = AnswerMessage(AnswerMode::ReplyAll, source);
            std::vector<std::string> lines = {reply.ToEdt, all.ToEdt};
            lines.insert(lines.end(), all.moreTo.begin(), all.moreTo.end());
            lines.insert(lines.end(), all.cc.begin(), all.cc.end());
            for (const std::string& line : lines)
                FUZZ_REQUIRE(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos, kAnswer,
                             "a recipient line holds a line break: " + shown(line));
            // The viewer window carries the header lines as they stand, except the password.
            if (viewer)
                for (std::size_t i = 0; i < source.text.size() && !source.text[i].empty(); ++i) {
                    const std::string& carried = forward.Memo1[i + 1];
                    const std::size_t at = carried.find("RC4 internal");
                    if (carried.rfind("X-Encoder:", 0) == 0 && at != std::string::npos)
                        FUZZ_REQUIRE(carried.size() == at + 12, kAnswer, "a stored password was carried: " + shown(carried));
                }
        }
    for (const auto& line : source.text) {
        const std::string stripped = StripTags(line);
        FUZZ_REQUIRE(stripped.find('<') == std::string::npos, kAnswer, "StripTags left a \"<\": " + shown(stripped));
        const std::string name = attachmentFileNamePart(line);
        FUZZ_REQUIRE(!name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
                         name.find('\\') == std::string::npos && name.find('\0') == std::string::npos,
                     kAnswer, "an unsafe file name part: " + shown(name));
    }
    return 0;
}

constexpr const char* kMailto = "fuzz_mailto";

// A mailto: link from a web page or another program: what it fills a composition with is valid
// UTF-8, every address and the subject one line without controls (no header of its own), the body
// lines without CR or NUL, and all of it bounded.
int fuzzMailto(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (const std::string& link : {input, "mailto:" + input}) {
        const std::optional<MailtoLink> parsed = parseMailtoLink(link);
        const bool isLink = link.size() >= 7 && (link[0] | 0x20) == 'm' && (link[1] | 0x20) == 'a' &&
                            (link[2] | 0x20) == 'i' && (link[3] | 0x20) == 'l' && (link[4] | 0x20) == 't' &&
                            (link[5] | 0x20) == 'o' && link[6] == ':';
        FUZZ_REQUIRE(parsed.has_value() == isLink, kMailto, "a link taken or refused by its scheme wrongly");
        if (!parsed)
            continue;
        auto oneLine = [](const std::string& text) {
            for (const char c : text)
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                    return false;
            return isValidUtf8(text);
        };
        std::size_t addresses = 0;
        for (const auto* field : {&parsed->to, &parsed->cc, &parsed->bcc})
            for (const std::string& address : *field) {
                ++addresses;
                FUZZ_REQUIRE(!address.empty() && address.size() <= 16 * 1024 && oneLine(address), kMailto,
                             "an address that is empty, too long or not one line: " + shown(address));
            }
        FUZZ_REQUIRE(addresses <= 3 * 500, kMailto, "addresses without bound");
        FUZZ_REQUIRE(parsed->subject.size() <= 16 * 1024 && oneLine(parsed->subject), kMailto,
                     "a subject that is not one line: " + shown(parsed->subject));
        const std::string& body = parsed->body;
        FUZZ_REQUIRE(body.size() <= 1024 * 1024 + 1 && isValidUtf8(body) &&
                         body.find_first_of(std::string("\r\0", 2)) == std::string::npos &&
                         (body.empty() || body.back() == '\n'),
                     kMailto, "a body with CR, NUL or no last line end: " + shown(body));
    }
    return 0;
}

const std::vector<FuzzTarget>& fuzzTargets()
{
    static const std::vector<FuzzTarget> targets = {
        {"fuzz_ini", fuzzIni},
        {"fuzz_csv", fuzzCsv},
        {"fuzz_tree", fuzzTree},
        {"fuzz_mime_def", fuzzMimeDef},
        {"fuzz_mailbox_pair", fuzzMailboxPair},
        {"fuzz_parser", fuzzParser},
        {"fuzz_attach_idx", fuzzAttachIdx},
        {"fuzz_rc4", fuzzRc4},
        {"fuzz_answer", fuzzAnswer},
        {"fuzz_unicode_text", fuzzUnicodeText},
        {"fuzz_html_text", fuzzHtmlText},
        {"fuzz_mailto", fuzzMailto},
    };
    return targets;
}

} // namespace tavik
