#include "text/uuencode.h"

namespace tavik {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view withoutTrailing(std::string_view s, std::string_view chars)
{
    const std::size_t last = s.find_last_not_of(chars);
    return last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1);
}

unsigned sixBits(char c)
{
    return static_cast<unsigned>(static_cast<unsigned char>(c) - 32) & 63;
}

} // namespace

bool uuBeginLine(std::string_view line, std::string& name)
{
    constexpr std::string_view kBegin = "begin";
    if (!line.starts_with(kBegin))
        return false;
    std::size_t at = kBegin.size();
    const std::size_t modeAt = line.find_first_not_of(" \t", at);
    if (modeAt == at || modeAt == std::string_view::npos)
        return false;
    at = modeAt;
    while (at < line.size() && line[at] >= '0' && line[at] <= '7')
        ++at;
    const std::size_t digits = at - modeAt;
    if (digits < 3 || digits > 4 || at == line.size() || !isBlank(line[at]))
        return false;
    const std::string_view rest = withoutTrailing(line.substr(at), " \t\r");
    const std::size_t nameAt = rest.find_first_not_of(" \t");
    if (nameAt == std::string_view::npos)
        return false;
    name.assign(rest.substr(nameAt));
    return true;
}

bool uuEndLine(std::string_view line)
{
    return line.starts_with("end") && line.find_first_not_of(" \t\r", 3) == std::string_view::npos;
}

bool UuDecoder::decodeLine(std::string_view line, std::string& out)
{
    // A blank stands for zero, so only the line ends and tabs after the data can be dropped.
    line = withoutTrailing(line, "\r\n\t");
    if (line.empty())
        return true;
    for (char c : line)
        if (c < ' ' || c > '`')
            return false;
    const std::size_t count = sixBits(line.front());
    std::string_view data = line.substr(1);
    const std::size_t groups = (count + 2) / 3;
    const std::size_t needed = (count * 4 + 2) / 3; // the last group without its padding
    if (data.size() + 4 < needed)
        return false;
    // Beyond the full groups only blanks, zeros and one check character some encoders add.
    if (data.size() > groups * 4 && withoutTrailing(data.substr(groups * 4), " `").size() > 1)
        return false;

    auto at = [&](std::size_t i) { return i < data.size() ? sixBits(data[i]) : 0u; };
    const std::size_t old = out.size();
    out.resize(old + groups * 3);
    char* o = out.data() + old;
    for (std::size_t g = 0; g < groups; ++g) {
        const unsigned v = at(4 * g) << 18 | at(4 * g + 1) << 12 | at(4 * g + 2) << 6 | at(4 * g + 3);
        *o++ = static_cast<char>(v >> 16);
        *o++ = static_cast<char>(v >> 8 & 0xFF);
        *o++ = static_cast<char>(v & 0xFF);
    }
    out.resize(old + count);
    decoded_ += count;
    return true;
}

} // namespace tavik
