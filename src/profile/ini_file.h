// Initialisation files ("tavik32.ini", "Login.ini", "treedata.ini", ...) with the semantics of the
// classic Windows profile functions. Every ini file of the system goes through this class.
#pragma once

#include <string>
#include <vector>

namespace tavik {

// An ini document held in memory as its lines, so that everything a writer does not touch
// (comments, unknown keys, order) survives a save.
//
// - Section and key names match without regard to letter case; the first match wins.
// - Writing a key replaces its line in place; a new key goes after the last key line of its
//   section, a new section at the end of the file.
// - Values are read up to kMaxValueLength characters; blanks around names and values are dropped.
// - Load accepts CR LF and LF line ends; save writes CR LF and replaces the file atomically.
class IniFile {
public:
    static constexpr std::size_t kMaxValueLength = 1023;

    IniFile() = default;
    // Loads `path`; a missing file gives an empty document. Other read failures raise FileError.
    explicit IniFile(const std::string& path);

    // Replaces the document with the parsed `bytes`.
    void parse(const std::string& bytes);
    // The document as it would be saved (lines ended by CR LF).
    std::string serialize() const;
    // Writes the document to the path it was loaded from (or `path`), atomically; FileError.
    void save() const;
    void saveAs(const std::string& path);

    const std::string& path() const { return path_; }

    bool hasSection(const std::string& section) const;
    bool hasKey(const std::string& section, const std::string& key) const;
    // The value of the first matching key, cut to kMaxValueLength; `fallback` when absent.
    std::string readString(const std::string& section, const std::string& key, const std::string& fallback = {}) const;
    // Decimal, or hexadecimal with "0x"/"0X" when the value has three or more characters;
    // `fallback` when the key is absent or the value does not convert.
    long long readInteger(const std::string& section, const std::string& key, long long fallback) const;
    // Non-zero integer means true; a value that does not convert gives `fallback`.
    bool readBool(const std::string& section, const std::string& key, bool fallback) const;

    void writeString(const std::string& section, const std::string& key, const std::string& value);
    void writeInteger(const std::string& section, const std::string& key, long long value);
    void writeBool(const std::string& section, const std::string& key, bool value);
    // Removes a key line (first match); nothing when absent.
    void eraseKey(const std::string& section, const std::string& key);
    // Removes the section line and every line up to the next section.
    void eraseSection(const std::string& section);

    // Names of the sections in file order.
    std::vector<std::string> sectionNames() const;
    // The key lines of a section as "key=value", in file order (values cut as readString cuts).
    std::vector<std::string> sectionLines(const std::string& section) const;
    // The keys of a section in file order.
    std::vector<std::string> sectionKeys(const std::string& section) const;

private:
    std::string path_;
    std::vector<std::string> lines_;
};

// Converts an ini value to an integer with the rules of IniFile::readInteger; false when the
// text does not convert (then `out` is unchanged).
bool parseIniInteger(const std::string& text, long long& out);

} // namespace tavik
