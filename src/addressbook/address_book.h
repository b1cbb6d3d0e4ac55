// The address book of a profile: the main book "address.csv" and the mailing lists in the
// profile's "address/" directory, the two line files naming the lists, adding a message's sender,
// and the state and commands of the address book window (TMyAddressForm paints AddressBookModel
// and forwards its buttons to it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

// Columns of every address file; the grid always has all nine.
constexpr std::size_t kAddressColumns = 9;
constexpr std::size_t kColumnName = 0;
constexpr std::size_t kColumnEmail = 1;
constexpr std::size_t kColumnWorkEmail = 3;
constexpr std::size_t kColumnPhoto = 8;

// One line of an address file: name, e-mail, organization, work e-mail, phone, address, city,
// comments, photo path.
using AddressRow = std::array<std::string, kAddressColumns>;

// Header line of a main book started by AddSender, and of a list file created with "Add".
extern const char* const kMainBookHeader;
extern const char* const kListHeader;

// The main book's entry, always the first of the list of lists.
extern const char* const kMainBookName;     // "Address Book"
extern const char* const kMainBookFileName; // "address.csv"

// Prefixes of the send-list entries the "To", "cc" and "Bcc" buttons make.
extern const char* const kSendListTo;
extern const char* const kSendListCc;
extern const char* const kSendListBcc;

// Limits on the files read back. Reaching one raises FileError naming the file.
constexpr std::uint64_t kMaxAddressFileBytes = 16 * 1024 * 1024;
constexpr std::uint64_t kMaxListCatalogBytes = 1024 * 1024;
constexpr std::size_t kMaxListEntries = 4096;
constexpr std::size_t kMaxListLineBytes = 1024;
constexpr std::size_t kMaxListFileNameBytes = 255;

// profileDirectory + "address/".
std::string addressDirectory(const std::string& profileDirectory);

// `s` without the blanks and tabs at its ends, as address fields and list lines are read.
std::string trimmedField(std::string_view s);

// Splits a sender text such as a "From" value ("Name <address>", the name possibly in double
// quotes) into name and address, blanks around each dropped; either may come out empty.
void splitSender(std::string_view text, std::string& name, std::string& address);

// The rows of an address file's bytes (row 0 is the header row), each cut or padded to nine
// fields. Pure; throws CsvError on bytes beyond the reader's limits.
std::vector<AddressRow> parseAddressRows(std::string_view bytes);

// The bytes the grid saves: one CR LF line per row; the header row without its trailing empty
// fields, rows below it with nine fields; rows below the header that are wholly empty are left out.
std::string formatAddressRows(const std::vector<AddressRow>& rows);

// Reads an address file; a missing file gives no rows. FileError on any failure.
std::vector<AddressRow> readAddressRows(const std::string& path);

// Replaces an address file with formatAddressRows(rows), atomically. FileError.
void writeAddressRows(const std::string& path, const std::vector<AddressRow>& rows);

// True when a row below the header of the main book has the sender's name as its name and the
// sender's address among the addresses of its e-mail or work e-mail column (letter case aside).
// False when the book does not exist or the sender has no name. FileError on a corrupt book.
bool IsKnownSender(const std::string& profileDirectory, std::string_view sender);

// Appends the sender's name and address to the main book (creating it with kMainBookHeader)
// unless it is known or lacks a name or an address. Returns true when a row was added. FileError.
bool AddSender(const std::string& profileDirectory, std::string_view sender);

// Send-list entries of one row: prefix + name + " <" + address + ">" for each address of the
// e-mail column, then of the work e-mail column, in order (blanks around an address dropped,
// empty pieces skipped).
std::vector<std::string> sendListEntries(std::string_view prefix, const AddressRow& row);

// The file name "Add" makes of the typed one: lower case, ".csv" appended unless it holds ".csv".
std::string listFileNameFor(std::string_view typed);

// True when a file name may name a list file: not empty, not ".", no "/", no "..", no control
// characters, at most kMaxListFileNameBytes bytes. Keeps every list inside "address/".
bool isSafeListFileName(std::string_view fileName);

// The names of the lists in step with their file names ("listitems.ini" / "listvalues.ini").
struct ListCatalog {
    std::vector<std::string> names; // display names; names[0] is "Address Book"
    std::vector<std::string> files; // file names relative to "address/"; files[0] is "address.csv"
};

// Reads the two line files of the profile. When either is missing both are written anew with the
// main book entry alone. Lines are paired up to the shorter file; a first entry that is not the
// main book gets the main book put before it. FileError on a failure or a limit.
ListCatalog readListCatalog(const std::string& profileDirectory);

// Writes both line files (CR LF lines), each atomically. FileError.
void writeListCatalog(const std::string& profileDirectory, const ListCatalog& catalog);

// Full path of a list's file. Throws FileError naming "listvalues.ini" when the name is not safe.
std::string listFilePath(const std::string& profileDirectory, const std::string& fileName);

// What a command asks the window to show; the text is shown as it is.
struct UserNotice {
    enum class Kind { None, Information, Warning, Question };
    Kind kind = Kind::None;
    std::string text;
};

// State and commands of the address book window. Every opening reads the files again; nothing is
// cached between openings. The widget edits `grid` in place and calls the commands; failures raise
// FileError and leave the model as it was before the command.
class AddressBookModel {
public:
    // Touches no file until open().
    explicit AddressBookModel(std::string profileDirectory);

    // Reads (or creates) the list of lists and shows the main book. When the main book cannot
    // be read, no list is shown (so nothing overwrites it) and the FileError is passed on.
    void open();

    // The grid of the shown list; row 0 is the header row.
    std::vector<AddressRow> grid;
    // The send list the composition form hands in and reads back.
    std::vector<std::string> sendList;
    // The "Copy all entries" tick.
    bool copyAllEntries = false;

    const ListCatalog& lists() const { return catalog_; }
    // Index of the shown list, -1 when none is shown.
    int currentList() const { return current_; }
    // Full path of the shown list's file (empty when none is shown).
    const std::string& currentListPath() const { return currentPath_; }

    // Shows list `index`: the shown grid is saved first, then the other list is read (a missing
    // file gives the header row alone). Nothing changes when the other list cannot be read.
    void showList(int index);

    // Writes the grid to the shown list's file; nothing when no list is shown.
    void saveGrid() const;

    // Inserts an empty row before `row` (at the end when row is past it); never before the header.
    void insertRow(std::size_t row);
    // Removes a row below the header and saves the grid at once. False for the header or a row
    // that does not exist.
    bool deleteRow(std::size_t row);

    // The "To", "cc", "Bcc" buttons: adds the entries of the selected row, or of every row below
    // the header with "Copy all entries". Returns the index of the last entry added, -1 if none.
    int addToSendList(std::string_view prefix, std::size_t selectedRow);

    // "Copy to selected list": appends the selected row (or every row with "Copy all entries") to
    // list `target`. Copying to the shown list adds the rows to the grid too, so saving the grid
    // keeps them. Returns the number of rows copied.
    std::size_t copyToList(std::size_t target, std::size_t selectedRow);

    // "Add" on the "Group List" page. Kind None: the list was added, its file created with
    // kListHeader, the list files and the grid written. Otherwise an Information notice says why
    // nothing was done.
    UserNotice addList(std::string_view displayName, std::string_view typedFileName);

    // "Delete List", first step: a Warning for the main book (nothing more to do), otherwise the
    // Question to ask; on Yes call deleteList.
    UserNotice askDeleteList(std::size_t index) const;
    // Removes entry `index` (not the main book) and writes the list files; the list's file stays
    // on disk. When it was the shown list, its grid is saved and the main book is shown.
    bool deleteList(std::size_t index);

    // Closing the window, however it is closed: writes the list files and the grid.
    void close();

private:
    std::vector<AddressRow> rowsToUse(std::size_t selectedRow) const;
    void showRows(int index, std::string path, std::vector<AddressRow> rows);

    std::string profileDirectory_;
    ListCatalog catalog_;
    int current_ = -1;
    std::string currentPath_;
};

} // namespace tavik
