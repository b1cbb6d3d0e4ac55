// Finding text as people mean it: without regard to letter case or accents, so "resume" finds
// "Résumé", "STRASSE" finds "Straße" and "ΟΔΟΣ" finds "οδός". Both sides are brought to one
// folded form (compatibility decomposition, combining accents dropped, full case folding, from
// ICU's data) and the folded needle is looked for in the folded haystack.
#pragma once

#include <string>
#include <string_view>

namespace tavik {

// Appends the folded form of stored text `stored` to `out` (out keeps what it held). Stored
// text is valid UTF-8, or old 8-bit bytes read as Windows-1252 line by line, as readers take
// it; line ends and other ASCII controls pass through. Allocates only when `out` must grow, so
// a buffer reused from message to message costs nothing per character.
void appendSearchFolded(std::string_view stored, std::string& out);
// The folded form of `stored` alone.
std::string searchFolded(std::string_view stored);

// What the user looks for, folded once. Empty text finds everything.
class SearchText {
public:
    SearchText() = default;
    // `text` is UTF-8 (or stored text).
    explicit SearchText(std::string_view text);

    bool empty() const { return folded_.empty(); }
    const std::string& folded() const { return folded_; }
    // True when the needle occurs in a folded haystack (from appendSearchFolded).
    bool foundIn(std::string_view foldedHaystack) const;
    // True when it occurs in stored text; `scratch` is the caller's buffer for the folded text.
    bool foundInStored(std::string_view stored, std::string& scratch) const;

private:
    std::string folded_;
};

} // namespace tavik
