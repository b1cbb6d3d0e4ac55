#include "addressbook/csv_fields.h"

namespace tavik {

CsvError::CsvError(std::size_t l, const std::string& what)
    : std::runtime_error("line " + std::to_string(l) + ": " + what), line(l)
{
}

std::vector<std::vector<std::string>> parseCsv(std::string_view bytes, const CsvLimits& limits)
{
    enum class State { FieldStart, Bare, Quoted };

    std::vector<std::vector<std::string>> records;
    std::vector<std::string> fields;
    std::string field;
    State state = State::FieldStart;
    std::size_t line = 1;        // line of the byte in hand
    std::size_t recordLine = 1;  // line where the record in hand began
    std::size_t recordStart = 0; // offset where the record in hand began
    bool recordHasContent = false;

    auto pushField = [&] {
        if (fields.size() >= limits.maxFields)
            throw CsvError(recordLine, "more than " + std::to_string(limits.maxFields) + " fields");
        fields.push_back(std::move(field));
        field.clear();
    };
    auto endRecord = [&](std::size_t next) {
        if (recordHasContent) {
            pushField();
            if (records.size() >= limits.maxRecords)
                throw CsvError(recordLine, "more than " + std::to_string(limits.maxRecords) + " records");
            records.push_back(std::move(fields));
        }
        fields.clear();
        field.clear();
        state = State::FieldStart;
        recordHasContent = false;
        recordStart = next;
        recordLine = line;
    };
    // A line end outside quotes: LF, or CR directly before LF. Returns its length (0 when none).
    auto lineEndAt = [&](std::size_t i) -> std::size_t {
        if (bytes[i] == '\n')
            return 1;
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            return 2;
        return 0;
    };

    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i - recordStart >= limits.maxRecordBytes)
            throw CsvError(recordLine, "record longer than " + std::to_string(limits.maxRecordBytes) + " bytes");
        char c = bytes[i];
        if (state != State::Quoted) {
            if (std::size_t n = lineEndAt(i)) {
                i += n - 1;
                ++line;
                endRecord(i + 1);
                continue;
            }
        }
        recordHasContent = true;
        switch (state) {
        case State::FieldStart:
            if (c == '"')
                state = State::Quoted;
            else if (c == ',')
                pushField();
            else {
                field += c;
                state = State::Bare;
            }
            break;
        case State::Bare:
            if (c == ',') {
                pushField();
                state = State::FieldStart;
            } else
                field += c;
            break;
        case State::Quoted:
            if (c == '"') {
                if (i + 1 < bytes.size() && bytes[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else if (i + 1 == bytes.size() || bytes[i + 1] == ',' || lineEndAt(i + 1)) {
                    // Closing quote: what follows is a separator, handled as outside quotes.
                    state = State::Bare;
                } else
                    field += c;
            } else {
                if (c == '\n')
                    ++line;
                field += c;
            }
            break;
        }
    }
    endRecord(bytes.size());
    return records;
}

std::string formatCsvField(std::string_view value)
{
    if (value.empty())
        return "\"\"";
    if (value.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(value);
    std::string out;
    out.reserve(value.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '"')
            out += "\"\"";
        else if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n')
            continue; // the LF that follows is written alone
        else
            out += c;
    }
    out += '"';
    return out;
}

std::string formatCsvRecord(const std::vector<std::string>& fields)
{
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i)
            out += ',';
        out += formatCsvField(fields[i]);
    }
    return out;
}

} // namespace tavik
