// Sorting text as people read it: ICU's collation of the root locale, so a subject starting
// with "É" sorts with "E" and "ß" with "ss", whatever locale the program runs in.
#pragma once

#include <string>
#include <string_view>

namespace tavik {

// One collator, opened when made and closed when destroyed; not for several threads at once.
class TextCollator {
public:
    TextCollator();
    ~TextCollator();
    TextCollator(const TextCollator&) = delete;
    TextCollator& operator=(const TextCollator&) = delete;

    // A key whose byte order (std::string's <) is the collation order of `text`. The text is
    // stored text: valid UTF-8, or old 8-bit bytes read as Windows-1252. Without ICU's data
    // the key is the UTF-8 itself (code point order).
    std::string sortKey(std::string_view text) const;

private:
    void* collator_ = nullptr; // a UCollator
};

} // namespace tavik
