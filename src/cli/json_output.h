// JSON Lines for tavikctl's scripting output: one object a line, keys in the order the command
// writes them, strings always valid UTF-8 whatever bytes they came from.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

// `text` as a JSON string with its quotes (RFC 8259): quote and backslash escaped, control
// characters (C0, DEL and C1) as \u00XX so the output cannot drive a terminal, other UTF-8
// passed through, and every byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string jsonString(std::string_view text);

// One JSON object, built member by member in the order they are added.
class JsonObject {
public:
    JsonObject& text(std::string_view key, std::string_view value);
    JsonObject& number(std::string_view key, std::int64_t value);
    // A member whose value is already JSON (an array, an object, null).
    JsonObject& json(std::string_view key, std::string_view value);
    // The object, "{...}", without a line end.
    std::string str() const { return body_ + "}"; }

private:
    JsonObject& key(std::string_view key);
    std::string body_ = "{";
};

// A JSON array of values that are already JSON.
std::string jsonArray(const std::vector<std::string>& values);

// The ISO 8601 form of a mail date ("Wed, 9 Dec 2026 10:00:00", optionally with a zone such as
// "+0100" or "GMT"): "2026-12-09T10:00:00", with "+01:00" or "Z" when the date names a zone.
// Empty when the text is not such a date.
std::string isoDate(std::string_view date);

} // namespace tavik
