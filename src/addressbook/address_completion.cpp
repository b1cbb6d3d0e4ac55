#include "addressbook/address_completion.h"

#include "profile/file_util.h"
#include "text/search_text.h"
#include "text/unicode_text.h"

#include <algorithm>
#include <unordered_set>

namespace tavik {

const char* const kRecentAddressesFile = "recent_addresses.txt";

namespace {

// A recent file is a few kilobytes; anything far beyond is not ours to load.
constexpr std::uint64_t kMaxRecentFileBytes = 256 * 1024;
constexpr std::size_t kMaxRecentLineBytes = 1024;

std::string trimmed(std::string_view s) { return trimmedField(s); }

// The address of a recipient line, in lower case, as duplicates are told apart.
std::string addressKey(std::string_view line)
{
    std::string name, address;
    splitSender(line, name, address);
    for (char& c : address)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return address;
}

// A letter or digit of folded text; bytes of other scripts count as letters.
bool isWordByte(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || u >= 0x80;
}

// True when `needle` occurs in `folded` where a word begins ("smith" in "ann smith <...>",
// "example" after its "@"). A needle that itself begins with a sign may occur anywhere.
bool foundAtWordStart(const std::string& folded, const std::string& needle)
{
    const bool anywhere = !isWordByte(needle.front());
    for (std::size_t at = folded.find(needle); at != std::string::npos; at = folded.find(needle, at + 1))
        if (anywhere || at == 0 || !isWordByte(folded[at - 1]))
            return true;
    return false;
}

// A field value as one line: a line break in a book's cell would split a recipient in two.
std::string oneLine(std::string_view text)
{
    std::string s(text);
    for (char& c : s)
        if (c == '\r' || c == '\n')
            c = ' ';
    return trimmed(s);
}

// The recipient lines of a row: "Name <address>" as the address book's send list has them, or
// the address alone for a row without a name.
std::vector<std::string> recipientLinesOf(const AddressRow& row)
{
    AddressRow clean = row;
    clean[kColumnName] = oneLine(row[kColumnName]);
    std::vector<std::string> lines;
    for (std::string& entry : sendListEntries("", clean)) {
        std::string line = oneLine(entry);
        if (clean[kColumnName].empty())
            line = line.substr(1, line.size() - 2); // "<address>"
        lines.push_back(std::move(line));
    }
    return lines;
}

} // namespace

void AddressCompletion::addPerson(std::string line)
{
    const std::string key = addressKey(line);
    if (key.empty() || !addresses_.insert(key).second)
        return;
    std::string folded = searchFolded(line);
    candidates_.push_back({{line, {line}}, std::move(folded)});
}

void AddressCompletion::addBookRows(const std::vector<AddressRow>& rows)
{
    for (const AddressRow& row : rows)
        for (std::string& line : recipientLinesOf(row))
            addPerson(std::move(line));
}

void AddressCompletion::addList(const std::string& name, const std::vector<AddressRow>& rows)
{
    AddressProposal proposal;
    for (const AddressRow& row : rows)
        for (std::string& line : recipientLinesOf(row))
            proposal.lines.push_back(std::move(line));
    const std::string shownName = oneLine(name);
    if (proposal.lines.empty() || shownName.empty())
        return;
    proposal.shown = shownName + " (list of " + std::to_string(proposal.lines.size()) +
                     (proposal.lines.size() == 1 ? " address)" : " addresses)");
    candidates_.push_back({std::move(proposal), searchFolded(shownName)});
}

void AddressCompletion::addRecent(const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
        addPerson(oneLine(line));
}

std::vector<AddressProposal> AddressCompletion::proposals(std::string_view typed, std::size_t limit) const
{
    std::vector<AddressProposal> out;
    const std::string needle = searchFolded(trimmed(typed));
    if (needle.empty())
        return out;
    for (const Candidate& c : candidates_) {
        if (out.size() >= limit)
            break;
        if (foundAtWordStart(c.folded, needle))
            out.push_back(c.proposal);
    }
    return out;
}

AddressCompletion loadAddressCompletion(const std::string& profileDirectory)
{
    AddressCompletion completion;
    const auto rowsOf = [&](const std::string& fileName) {
        std::vector<AddressRow> rows = readAddressRows(listFilePath(profileDirectory, fileName));
        if (!rows.empty())
            rows.erase(rows.begin()); // the header row
        return rows;
    };
    try {
        completion.addBookRows(rowsOf(kMainBookFileName));
    } catch (const std::exception&) {
    }
    // Reading the catalogue writes it when one of its files is missing; typing must not.
    const std::string dir = addressDirectory(profileDirectory);
    if (fileExists(dir + "listitems.ini") && fileExists(dir + "listvalues.ini")) {
        try {
            const ListCatalog catalog = readListCatalog(profileDirectory);
            for (std::size_t i = 1; i < catalog.names.size() && i < catalog.files.size(); ++i) {
                try {
                    completion.addList(catalog.names[i], rowsOf(catalog.files[i]));
                } catch (const std::exception&) {
                }
            }
        } catch (const std::exception&) {
        }
    }
    try {
        completion.addRecent(readRecentAddresses(profileDirectory));
    } catch (const std::exception&) {
    }
    return completion;
}

std::vector<std::string> readRecentAddresses(const std::string& profileDirectory)
{
    const std::string path = profileDirectory + kRecentAddressesFile;
    std::vector<std::string> lines;
    if (!fileExists(path))
        return lines;
    const std::string bytes = readWholeFile(path, kMaxRecentFileBytes);
    std::size_t start = 0;
    while (start < bytes.size() && lines.size() < kMaxRecentAddresses) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string_view raw(bytes.data() + start, end - start);
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        std::string line = trimmed(storedText(raw));
        if (!line.empty() && line.size() <= kMaxRecentLineBytes)
            lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

void recordRecentAddresses(const std::string& profileDirectory, const std::vector<std::string>& used)
{
    std::vector<std::string> lines;
    std::unordered_set<std::string> taken;
    const auto take = [&](const std::string& raw) {
        std::string line = oneLine(raw);
        const std::string key = addressKey(line);
        if (line.empty() || line.size() > kMaxRecentLineBytes || lines.size() >= kMaxRecentAddresses ||
            !taken.insert(key.empty() ? line : key).second)
            return;
        lines.push_back(std::move(line));
    };
    for (const std::string& line : used)
        take(line);
    for (const std::string& line : readRecentAddresses(profileDirectory))
        take(line);
    std::string bytes;
    for (const std::string& line : lines)
        bytes += line + "\r\n";
    writeFileAtomically(profileDirectory + kRecentAddressesFile, bytes);
}

} // namespace tavik
