#include "addressbook/address_book.h"

#include "addressbook/csv_fields.h"
#include "profile/file_util.h"

#include "text/unicode_text.h"

#include <algorithm>

namespace tavik {

const char* const kMainBookHeader = "Name,e-m@il,Organization,e-m@il at work,Phone,Address,City,Comments,Photo";
const char* const kListHeader = "Name,e-m@il,Organization,e-m@il at work,Phone,Address,City,Comments";
const char* const kMainBookName = "Address Book";
const char* const kMainBookFileName = "address.csv";
const char* const kSendListTo = "To: ";
const char* const kSendListCc = "cc: ";
const char* const kSendListBcc = "Bcc: ";

namespace {

constexpr const char* kListItemsFile = "listitems.ini";
constexpr const char* kListValuesFile = "listvalues.ini";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(std::string_view s) { return trimmedField(s); }

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

bool hasControlCharacter(std::string_view s)
{
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Each address of a field holding several separated by ",", blanks dropped, empty pieces skipped.
std::vector<std::string> addressesOf(std::string_view field)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= field.size()) {
        std::size_t comma = field.find(',', start);
        if (comma == std::string_view::npos)
            comma = field.size();
        std::string piece = trimmed(field.substr(start, comma - start));
        if (!piece.empty())
            out.push_back(std::move(piece));
        start = comma + 1;
    }
    return out;
}

std::vector<std::vector<std::string>> parseFile(const std::string& path, std::string_view bytes)
{
    try {
        return parseCsv(bytes);
    } catch (const CsvError& e) {
        throw FileError(path, e.what());
    }
}

// The raw records of an address file (every field as read); a missing file gives none.
std::vector<std::vector<std::string>> readRecords(const std::string& path)
{
    if (!fileExists(path))
        return {};
    return parseFile(path, readWholeFile(path, kMaxAddressFileBytes));
}

// Rewriting from the parsed records rather than appending to the old bytes keeps the file well
// formed even when its last line left a quote open, and reads back exactly what was read.
void writeRecords(const std::string& path, const std::vector<std::vector<std::string>>& records)
{
    std::string bytes;
    for (const auto& r : records)
        bytes += formatCsvRecord(r) + "\r\n";
    writeFileAtomically(path, bytes);
}

AddressRow rowFromFields(const std::vector<std::string>& fields)
{
    AddressRow row;
    for (std::size_t i = 0; i < kAddressColumns && i < fields.size(); ++i)
        row[i] = fields[i];
    return row;
}

std::vector<std::string> fieldsOf(const AddressRow& row) { return std::vector<std::string>(row.begin(), row.end()); }

bool isEmptyRow(const AddressRow& row)
{
    return std::all_of(row.begin(), row.end(), [](const std::string& f) { return f.empty(); });
}

AddressRow headerCaptions()
{
    std::vector<std::string> fields = parseCsv(kMainBookHeader).front();
    return rowFromFields(fields);
}

bool rowHasSender(const AddressRow& row, std::string_view name, std::string_view address)
{
    // A name the 8-bit program wrote is the same name as its UTF-8 form.
    if (row[kColumnName] != name && storedText(row[kColumnName]) != storedText(name))
        return false;
    for (std::size_t column : {kColumnEmail, kColumnWorkEmail})
        for (const std::string& a : addressesOf(row[column]))
            if (equalIgnoringCase(a, address))
                return true;
    return false;
}

bool knownIn(const std::vector<std::vector<std::string>>& records, std::string_view name, std::string_view address)
{
    if (name.empty() || address.empty())
        return false;
    for (std::size_t i = 1; i < records.size(); ++i)
        if (rowHasSender(rowFromFields(records[i]), name, address))
            return true;
    return false;
}

// Hostile bytes must not reach a message box as control characters.
std::string printable(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

// The lines of a line file: LF or CR LF ends; a last line end makes no empty entry.
std::vector<std::string> readLineFile(const std::string& path)
{
    std::string bytes = readWholeFile(path, kMaxListCatalogBytes);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        std::size_t end = lf == std::string::npos ? bytes.size() : lf;
        std::size_t stop = end > start && bytes[end - 1] == '\r' && lf != std::string::npos ? end - 1 : end;
        if (stop - start > kMaxListLineBytes)
            throw FileError(path, "line " + std::to_string(lines.size() + 1) + " is longer than " +
                                      std::to_string(kMaxListLineBytes) + " bytes");
        if (lines.size() >= kMaxListEntries)
            throw FileError(path, "more than " + std::to_string(kMaxListEntries) + " lines");
        lines.push_back(bytes.substr(start, stop - start));
        start = end + 1;
    }
    return lines;
}

void writeLineFile(const std::string& path, const std::vector<std::string>& lines)
{
    std::string bytes;
    for (const auto& l : lines)
        bytes += l + "\r\n";
    writeFileAtomically(path, bytes);
}

ListCatalog mainBookOnly() { return ListCatalog{{kMainBookName}, {kMainBookFileName}}; }

UserNotice information(std::string text) { return UserNotice{UserNotice::Kind::Information, std::move(text)}; }

} // namespace

std::string trimmedField(std::string_view s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return std::string(s.substr(b, e - b));
}

std::string addressDirectory(const std::string& profileDirectory) { return profileDirectory + "address/"; }

void splitSender(std::string_view raw, std::string& name, std::string& address)
{
    // Line breaks have no place in a sender: kept, a CSV field would hold them and the sender
    // would never be recognised again, so he would be added at every check.
    std::string cleaned(raw);
    for (char& c : cleaned)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    std::string_view text = cleaned;
    struct DropCommaAddress {
        std::string& address;
        // A comma separates addresses in the book's e-mail fields: such an address could never
        // be recognised again, so it is not taken at all.
        ~DropCommaAddress()
        {
            if (address.find(',') != std::string::npos)
                address.clear();
        }
    } dropCommaAddress{address};
    // A quoted name may itself hold " <"; the separator is looked for after its closing quote.
    std::size_t from = 0;
    std::size_t lead = 0;
    while (lead < text.size() && isBlank(text[lead]))
        ++lead;
    if (lead < text.size() && text[lead] == '"') {
        for (std::size_t i = lead + 1; i < text.size(); ++i) {
            if (text[i] == '\\')
                ++i;
            else if (text[i] == '"') {
                from = i + 1;
                break;
            }
        }
    }
    std::size_t sep = text.find(" <", from);
    if (sep == std::string_view::npos) {
        name.clear();
        std::size_t lt = text.find('<');
        std::string_view rest = lt == std::string_view::npos ? text : text.substr(lt + 1);
        address = trimmed(rest.substr(0, rest.find('>')));
        return;
    }
    std::string rawName = trimmed(text.substr(0, sep));
    std::string_view rest = text.substr(sep + 2);
    address = trimmed(rest.substr(0, rest.find('>')));

    // Only a name enclosed in quotes loses them (with its backslash escapes); a quote inside a
    // name is part of it.
    if (rawName.size() >= 2 && rawName.front() == '"' && rawName.back() == '"') {
        name.clear();
        for (std::size_t i = 1; i + 1 < rawName.size(); ++i) {
            if (rawName[i] == '\\' && i + 2 < rawName.size())
                ++i;
            name += rawName[i];
        }
        name = trimmed(name);
    } else
        name = rawName;
}

std::vector<AddressRow> parseAddressRows(std::string_view bytes)
{
    std::vector<AddressRow> rows;
    for (const auto& r : parseCsv(bytes))
        rows.push_back(rowFromFields(r));
    return rows;
}

std::string formatAddressRows(const std::vector<AddressRow>& rows)
{
    std::string bytes;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::vector<std::string> fields = fieldsOf(rows[i]);
        if (i == 0) {
            // A list's header has no Photo caption; saving must not grow it an empty field.
            while (fields.size() > 1 && fields.back().empty())
                fields.pop_back();
        } else if (isEmptyRow(rows[i]))
            continue;
        bytes += formatCsvRecord(fields) + "\r\n";
    }
    return bytes;
}

std::vector<AddressRow> readAddressRows(const std::string& path)
{
    std::vector<AddressRow> rows;
    for (const auto& r : readRecords(path))
        rows.push_back(rowFromFields(r));
    return rows;
}

void writeAddressRows(const std::string& path, const std::vector<AddressRow>& rows)
{
    writeFileAtomically(path, formatAddressRows(rows));
}

bool IsKnownSender(const std::string& profileDirectory, std::string_view sender)
{
    std::string name, address;
    splitSender(storedText(sender), name, address); // as AddSender reads it
    if (name.empty() || address.empty())
        return false;
    return knownIn(readRecords(addressDirectory(profileDirectory) + kMainBookFileName), name, address);
}

bool AddSender(const std::string& profileDirectory, std::string_view sender)
{
    std::string name, address;
    // A sender from an index record the 8-bit program wrote goes into the book as UTF-8.
    splitSender(storedText(sender), name, address);
    if (name.empty() || address.empty())
        return false;
    const std::string dir = addressDirectory(profileDirectory);
    const std::string path = dir + kMainBookFileName;
    std::vector<std::vector<std::string>> records = readRecords(path);
    if (knownIn(records, name, address))
        return false;
    if (records.empty())
        records.push_back(parseCsv(kMainBookHeader).front());
    AddressRow row;
    row[kColumnName] = name;
    row[kColumnEmail] = address;
    records.push_back(fieldsOf(row));
    makePrivateDirectories(dir);
    writeRecords(path, records);
    return true;
}

std::vector<std::string> sendListEntries(std::string_view prefix, const AddressRow& row)
{
    std::vector<std::string> entries;
    for (std::size_t column : {kColumnEmail, kColumnWorkEmail})
        for (const std::string& a : addressesOf(row[column]))
            entries.push_back(std::string(prefix) + row[kColumnName] + " <" + a + ">");
    return entries;
}

std::string listFileNameFor(std::string_view typed)
{
    std::string name(typed);
    for (char& c : name)
        c = lowerAscii(c);
    if (name.find(".csv") == std::string::npos)
        name += ".csv";
    return name;
}

bool isSafeListFileName(std::string_view fileName)
{
    return !fileName.empty() && fileName != "." && fileName.size() <= kMaxListFileNameBytes &&
           fileName.find('/') == std::string_view::npos && fileName.find("..") == std::string_view::npos &&
           !hasControlCharacter(fileName);
}

ListCatalog readListCatalog(const std::string& profileDirectory)
{
    const std::string dir = addressDirectory(profileDirectory);
    const std::string items = dir + kListItemsFile;
    const std::string values = dir + kListValuesFile;
    if (!fileExists(items) || !fileExists(values)) {
        ListCatalog fresh = mainBookOnly();
        writeListCatalog(profileDirectory, fresh);
        return fresh;
    }
    ListCatalog catalog{readLineFile(items), readLineFile(values)};
    // Two files cannot be replaced in one step; after a crash between them the surplus lines of
    // the longer one belong to no entry.
    std::size_t n = std::min(catalog.names.size(), catalog.files.size());
    catalog.names.resize(n);
    catalog.files.resize(n);
    if (catalog.files.empty() || catalog.files.front() != kMainBookFileName) {
        catalog.names.insert(catalog.names.begin(), kMainBookName);
        catalog.files.insert(catalog.files.begin(), kMainBookFileName);
        // The main book in front must not push a full catalog past what its reader accepts.
        if (catalog.files.size() > kMaxListEntries) {
            catalog.names.resize(kMaxListEntries);
            catalog.files.resize(kMaxListEntries);
        }
    }
    return catalog;
}

void writeListCatalog(const std::string& profileDirectory, const ListCatalog& catalog)
{
    const std::string dir = addressDirectory(profileDirectory);
    makePrivateDirectories(dir);
    const std::string values = dir + kListValuesFile;
    // The names pair with the files by line: when the names cannot follow, the files go back to
    // what they were, or a deletion would give every later list the name of the one before it.
    const bool hadValues = fileExists(values);
    const std::string oldValues = hadValues ? readWholeFile(values, kMaxListCatalogBytes) : std::string();
    writeLineFile(values, catalog.files);
    try {
        writeLineFile(dir + kListItemsFile, catalog.names);
    } catch (const FileError&) {
        try {
            if (hadValues)
                writeFileAtomically(values, oldValues);
            else
                removeFileIfPresent(values);
        } catch (const FileError&) {
        }
        throw;
    }
}

std::string listFilePath(const std::string& profileDirectory, const std::string& fileName)
{
    const std::string dir = addressDirectory(profileDirectory);
    if (!isSafeListFileName(fileName))
        throw FileError(dir + kListValuesFile,
                        "the list file name \"" + printable(fileName) + "\" is refused: lists stay in " + dir);
    return dir + fileName;
}

// --- AddressBookModel ----------------------------------------------------------------------

AddressBookModel::AddressBookModel(std::string profileDirectory) : profileDirectory_(std::move(profileDirectory)) {}

void AddressBookModel::open()
{
    current_ = -1;
    currentPath_.clear();
    catalog_ = {};
    grid = {headerCaptions()};
    catalog_ = readListCatalog(profileDirectory_);
    std::string path = listFilePath(profileDirectory_, catalog_.files.front());
    showRows(0, path, readAddressRows(path));
}

void AddressBookModel::showRows(int index, std::string path, std::vector<AddressRow> rows)
{
    if (rows.empty()) {
        AddressRow header = grid.empty() ? headerCaptions() : grid.front();
        grid = {header};
    } else
        grid = std::move(rows);
    current_ = index;
    currentPath_ = std::move(path);
}

void AddressBookModel::showList(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= catalog_.files.size())
        return;
    std::string path = listFilePath(profileDirectory_, catalog_.files[static_cast<std::size_t>(index)]);
    if (current_ >= 0 && path == currentPath_) {
        // The grid already is this list; re-reading it would drop the edits just saved.
        saveGrid();
        current_ = index;
        return;
    }
    std::vector<AddressRow> rows = readAddressRows(path);
    saveGrid();
    showRows(index, std::move(path), std::move(rows));
}

void AddressBookModel::saveGrid() const
{
    if (current_ < 0)
        return;
    makePrivateDirectories(addressDirectory(profileDirectory_));
    writeAddressRows(currentPath_, grid);
}

void AddressBookModel::insertRow(std::size_t row)
{
    if (grid.empty())
        grid.push_back(headerCaptions());
    row = std::clamp<std::size_t>(row, 1, grid.size());
    grid.insert(grid.begin() + static_cast<std::ptrdiff_t>(row), AddressRow{});
}

bool AddressBookModel::deleteRow(std::size_t row)
{
    if (row == 0 || row >= grid.size())
        return false;
    AddressRow removed = grid[row];
    grid.erase(grid.begin() + static_cast<std::ptrdiff_t>(row));
    try {
        saveGrid();
    } catch (...) {
        grid.insert(grid.begin() + static_cast<std::ptrdiff_t>(row), removed);
        throw;
    }
    return true;
}

std::vector<AddressRow> AddressBookModel::rowsToUse(std::size_t selectedRow) const
{
    std::vector<AddressRow> rows;
    if (copyAllEntries) {
        for (std::size_t i = 1; i < grid.size(); ++i)
            if (!isEmptyRow(grid[i]))
                rows.push_back(grid[i]);
    } else if (selectedRow >= 1 && selectedRow < grid.size() && !isEmptyRow(grid[selectedRow]))
        rows.push_back(grid[selectedRow]);
    return rows;
}

int AddressBookModel::addToSendList(std::string_view prefix, std::size_t selectedRow)
{
    int last = -1;
    for (const AddressRow& row : rowsToUse(selectedRow))
        for (std::string& entry : sendListEntries(prefix, row)) {
            sendList.push_back(std::move(entry));
            last = static_cast<int>(sendList.size()) - 1;
        }
    return last;
}

std::size_t AddressBookModel::copyToList(std::size_t target, std::size_t selectedRow)
{
    if (target >= catalog_.files.size())
        return 0;
    std::vector<AddressRow> rows = rowsToUse(selectedRow);
    if (rows.empty())
        return 0;
    std::string path = listFilePath(profileDirectory_, catalog_.files[target]);
    if (current_ >= 0 && path == currentPath_) {
        // The grid is written over this file later; the copies must be in it.
        std::size_t before = grid.size();
        grid.insert(grid.end(), rows.begin(), rows.end());
        try {
            saveGrid();
        } catch (...) {
            grid.resize(before);
            throw;
        }
        return rows.size();
    }
    std::vector<std::vector<std::string>> records = readRecords(path);
    if (records.empty())
        records.push_back(parseCsv(kListHeader).front());
    for (const AddressRow& row : rows)
        records.push_back(fieldsOf(row));
    makePrivateDirectories(addressDirectory(profileDirectory_));
    writeRecords(path, records);
    return rows.size();
}

UserNotice AddressBookModel::addList(std::string_view displayName, std::string_view typedFileName)
{
    const std::string name = trimmed(displayName);
    const std::string typed = trimmed(typedFileName);
    if (name.empty())
        return information("Please enter the name of the new mailing list.");
    if (name.size() > kMaxListLineBytes || name.find_first_of("\r\n") != std::string::npos)
        return information("This name cannot be used for a mailing list.");
    if (typed.empty())
        return information("Please enter the file name of the mailing list.");
    const std::string file = listFileNameFor(typed);
    if (file.find('/') != std::string::npos || file.find("..") != std::string::npos)
        return information("The file name of a mailing list cannot contain \"/\" or \"..\".");
    if (!isSafeListFileName(file))
        return information("This file name cannot be used for a mailing list.");
    const std::string dir = addressDirectory(profileDirectory_);
    if (std::find(catalog_.files.begin(), catalog_.files.end(), file) != catalog_.files.end() || fileExists(dir + file))
        return information("A mailing list file named " + file + " already exists.");
    if (catalog_.files.size() >= kMaxListEntries)
        return information("No more mailing lists can be added.");

    makePrivateDirectories(dir);
    writeFileAtomically(dir + file, std::string(kListHeader) + "\r\n");
    ListCatalog next = catalog_;
    next.names.push_back(name);
    next.files.push_back(file);
    try {
        writeListCatalog(profileDirectory_, next);
    } catch (...) {
        removeFileIfPresent(dir + file);
        throw;
    }
    catalog_ = std::move(next);
    saveGrid();
    return {};
}

UserNotice AddressBookModel::askDeleteList(std::size_t index) const
{
    if (index == 0)
        return UserNotice{UserNotice::Kind::Warning, "You cannot delete the main address book."};
    if (index >= catalog_.names.size())
        return {};
    return UserNotice{UserNotice::Kind::Question,
                      "Are you sure you want to delete the list " + catalog_.names[index] + " ?"};
}

bool AddressBookModel::deleteList(std::size_t index)
{
    if (index == 0 || index >= catalog_.files.size())
        return false;
    const bool wasShown = current_ >= 0 && static_cast<std::size_t>(current_) == index;
    if (wasShown)
        saveGrid(); // its file stays on disk, with the edits made to it
    ListCatalog next = catalog_;
    next.names.erase(next.names.begin() + static_cast<std::ptrdiff_t>(index));
    next.files.erase(next.files.begin() + static_cast<std::ptrdiff_t>(index));
    writeListCatalog(profileDirectory_, next);
    catalog_ = std::move(next);
    if (!wasShown) {
        if (current_ > static_cast<int>(index))
            --current_;
        return true;
    }
    // The main book is shown instead; if it cannot be read nothing is shown, so nothing is lost.
    current_ = -1;
    currentPath_.clear();
    std::string path = listFilePath(profileDirectory_, catalog_.files.front());
    showRows(0, path, readAddressRows(path));
    return true;
}

void AddressBookModel::close()
{
    if (!catalog_.files.empty())
        writeListCatalog(profileDirectory_, catalog_);
    saveGrid();
}

} // namespace tavik
