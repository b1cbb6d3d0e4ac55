// The MIME type registry of a profile ("mime.def"): which type a file has, which extension a
// type has, which viewer opens it, and the launch of that viewer. Also the record format of the
// file, the built-in table it starts from, the type-to-icon rule and desktop command lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "view/program_launcher.h"

namespace tavik {

// Size of one "mime.def" record; the file is these records back to back, nothing else.
constexpr std::size_t kMimeRecordSize = 333;
// Characters each string field holds (its length byte comes before them).
constexpr std::size_t kMimeTypeNameMax = 40;
constexpr std::size_t kMimeDescriptionMax = 30;
constexpr std::size_t kMimeApplicationMax = 255;
constexpr std::size_t kMimeExtensionMax = 3;
// The most entries a registry holds; a file with more is not one this program wrote.
constexpr int kMaxMimeEntries = 2000;
// Entries 1 to this number are the fixed part of the built-in table and cannot be deleted.
constexpr int kUndeletableMimeEntries = 22;
// The catch-all type, entry 1, and the answer for files of unknown type.
constexpr const char* kOctetStreamType = "application/octet-stream";

// One registry entry, also the on-disk record. Strings are bytes; encoding cuts them to their
// field's width.
struct MimeTypeEntry {
    std::string TypeName;    // e.g. "image/gif", up to 40 bytes
    bool ViewerSet = false;  // the user chose a viewer for this type
    std::string Description; // up to 30 bytes
    std::string Application; // viewer program or command line; empty = none; up to 255 bytes
    std::string Extension;   // default extension without the dot, up to 3 bytes; may be empty

    // Field by field, letter case included.
    bool operator==(const MimeTypeEntry&) const = default;
};

// Encodes an entry as its 333 bytes; bytes after each string's last character are zero.
std::string encodeMimeRecord(const MimeTypeEntry& entry);
// Decodes 333 bytes. A length byte larger than its field reads as the field's full width;
// a ViewerSet byte other than 1 reads as false.
MimeTypeEntry decodeMimeRecord(const char* bytes);
// The records of `entries` back to back: the whole "mime.def".
std::string encodeMimeFile(const std::vector<MimeTypeEntry>& entries);

// The 23 entries a new or unreadable registry starts with; also the shipped template.
const std::vector<MimeTypeEntry>& builtInMimeEntries();

// Name of the picture resource for a type ("MIME_IMAGE", ...), chosen by the major type (the
// part before the first "/", any letter case); empty for any other major type.
std::string mimeIconName(const std::string& type);

// Splits a command line written with desktop-entry Exec quoting into its arguments, dropping
// field codes (%f, %U, ...) and turning "%%" into "%". Empty optional when a quote is unclosed.
std::optional<std::vector<std::string>> parseDesktopExec(const std::string& commandLine);
// Joins arguments into a command line that parseDesktopExec splits back into the same arguments.
std::string joinDesktopExec(const std::vector<std::string>& arguments);
// The value of the "Exec" key of the "[Desktop Entry]" group of a .desktop file's bytes, with the
// key-file escapes (\s, \n, \t, \r, \\) resolved. Empty when there is none.
std::string desktopEntryExec(const std::string& desktopFileBytes);

// The registry: entries numbered from 1 in file order. Created when a profile opens and
// destroyed when it closes; every change stays in memory until then (or until Save), when the
// file is replaced whole and atomically. Types and extensions compare without regard to ASCII
// letter case. Not copyable: one registry owns its file.
class TMimeManager {
public:
    // Loads `registryPath`. A missing, unreadable, empty or corrupt file (size not a multiple of
    // 333, more than 2000 records) gives the 23 built-in entries and is rewritten with them;
    // nothing is reported. `launcher` (not owned, may be null: no suggestions, no launches) must
    // outlive the registry.
    explicit TMimeManager(const std::string& registryPath, ProgramLauncher* launcher = nullptr);
    // Writes the entries back (Save); a failure is swallowed and leaves the old file intact.
    ~TMimeManager();
    TMimeManager(const TMimeManager&) = delete;
    TMimeManager& operator=(const TMimeManager&) = delete;

    // Path of the registry file, written back by Save and the destructor.
    std::string RegistryPath;

    // Number of entries.
    int Count() const;
    // Copy of entry `index`; outside 1..Count throws std::out_of_range "Index out of range".
    MimeTypeEntry GetEntry(int index) const;
    // Number of the first entry whose TypeName equals `type`; 0 when none.
    int FindType(const std::string& type) const;
    // Type of a file from its extension (first three characters after the last "." of the last
    // path component); "application/octet-stream" when it has none or no entry matches.
    std::string TypeOfFile(const std::string& fileName) const;
    // Extension of the type's entry; empty when the type is absent.
    std::string ExtensionOf(const std::string& type) const;
    // True when the type is entry 2 or later and a viewer was chosen for it; the catch-all
    // entry 1 never counts, so its files always go through the viewer choice.
    bool HasViewer(const std::string& type) const;
    // Stores `application` as the type's viewer (and marks it chosen unless it is entry 1).
    // False and nothing changed when the type is absent or the application exceeds 255 bytes.
    bool SetViewer(const std::string& type, const std::string& application);
    // The desktop's default application for the file (xdg-mime, then the .desktop file's Exec):
    // a program path, or a command line when the Exec line carries arguments. Empty = none.
    std::string SuggestViewer(const std::string& fileName);
    // Starts the type's viewer (its Application, else the suggestion) with the file as one
    // argument. False when the type is absent, there is no viewer or it could not be started.
    bool LaunchViewer(const std::string& fileName, const std::string& type);
    // Replaces the first entry with the same TypeName and Extension, else appends. Over-long
    // type, description and extension are cut. False and nothing stored when the application
    // exceeds 255 bytes or a new entry would pass 2000.
    bool StoreEntry(const MimeTypeEntry& entry);
    // Removes entry `index` (later ones move up); entries 1 to 22 are left alone. Outside
    // 1..Count throws std::out_of_range "Index out of range".
    void DeleteEntry(int index);
    // Replaces the registry file with every entry in order; throws FileError.
    void Save() const;

private:
    std::vector<MimeTypeEntry> entries_;
    ProgramLauncher* launcher_;
};

} // namespace tavik
