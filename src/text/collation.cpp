#include "text/collation.h"

#include "text/unicode_text.h"

#include <unicode/ucol.h>
#include <unicode/ustring.h>
#include <vector>

namespace tavik {

TextCollator::TextCollator()
{
    UErrorCode status = U_ZERO_ERROR;
    UCollator* c = ucol_open("", &status);
    if (U_FAILURE(status)) {
        if (c)
            ucol_close(c);
        return;
    }
    collator_ = c;
}

TextCollator::~TextCollator()
{
    if (collator_)
        ucol_close(static_cast<UCollator*>(collator_));
}

std::string TextCollator::sortKey(std::string_view text) const
{
    const std::string utf8 = storedText(text);
    if (!collator_ || utf8.size() > 1u << 20)
        return utf8;
    std::vector<UChar> utf16(utf8.size() + 1);
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(utf16.data(), static_cast<int32_t>(utf16.size()), &length, utf8.data(),
                  static_cast<int32_t>(utf8.size()), &status);
    if (U_FAILURE(status))
        return utf8;
    const auto* c = static_cast<const UCollator*>(collator_);
    std::string key(static_cast<std::size_t>(length) * 4 + 16, '\0');
    auto* out = reinterpret_cast<uint8_t*>(key.data());
    int32_t n = ucol_getSortKey(c, utf16.data(), length, out, static_cast<int32_t>(key.size()));
    if (n > static_cast<int32_t>(key.size())) {
        key.resize(static_cast<std::size_t>(n));
        n = ucol_getSortKey(c, utf16.data(), length, reinterpret_cast<uint8_t*>(key.data()), n);
    }
    // The key ends in a NUL, which std::string need not keep.
    key.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return key;
}

} // namespace tavik
