// The comma-separated field syntax of the address book files ("address.csv" and the list files):
// how one record is split into fields and how fields are written back. Pure functions of bytes,
// so the reader can be fed anything (the files may be hostile or corrupt).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

// Bounds the reader enforces; reaching one is a CsvError, never an allocation without end.
struct CsvLimits {
    std::size_t maxRecordBytes = 64 * 1024; // one record, including line breaks inside quotes
    std::size_t maxFields = 64;             // fields of one record
    std::size_t maxRecords = 100000;        // records of one file
};

// Bytes that break a limit of CsvLimits. `line` is the 1-based line where the record began.
class CsvError : public std::runtime_error {
public:
    CsvError(std::size_t line, const std::string& what);
    std::size_t line;
};

// Splits `bytes` into records of fields. Records end at LF or CR LF outside quotes; empty lines
// are skipped. A field that starts with a double quote runs to its closing quote: inside it two
// double quotes stand for one, and a quote not followed by ",", a line end or the end of the
// data is kept as a character (files written before quotes were doubled read as they look).
// Other fields end at the next ",". Throws CsvError when a limit is reached.
std::vector<std::vector<std::string>> parseCsv(std::string_view bytes, const CsvLimits& limits = {});

// One field as written: "" when empty; enclosed in double quotes (each double quote doubled,
// each CR LF turned into LF) when it holds ",", a double quote, CR or LF; bare otherwise.
std::string formatCsvField(std::string_view value);

// The fields joined by "," with formatCsvField, without a line end.
std::string formatCsvRecord(const std::vector<std::string>& fields);

} // namespace tavik
