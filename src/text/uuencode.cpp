#include "text/uuencode.h"
namespace tavik {
bool uuBeginLine(std::string_view line, std::string& name)
{
    if (line.substr(0, 6) != "begin ") return false;
    std::size_t i = 6, d = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '7') ++i;
    if (i - d < 3 || i - d > 4 || i >= line.size() || line[i] != ' ') return false;
    while (i < line.size() && line[i] == ' ') ++i;
    name = std::string(line.substr(i));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\r')) name.pop_back();
    return !name.empty();
}
bool uuEndLine(std::string_view line)
{
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
    return line == "end";
}
bool UuDecoder::decodeLine(std::string_view line, std::string& out)
{
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return false;
    for (char c : line) if (c < ' ' || c > '`') return false;
    auto v = [](char c) { return (c - ' ') & 63; };
    int n = v(line[0]);
    std::size_t need = (n + 2) / 3 * 4;
    if (line.size() - 1 + 4 < need) return false;
    std::string_view d = line.substr(1);
    for (std::size_t g = 0; n > 0; g += 4) {
        auto at = [&](std::size_t k) { return g + k < d.size() ? v(d[g + k]) : 0; };
        unsigned bits = (at(0) << 18) | (at(1) << 12) | (at(2) << 6) | at(3);
        for (int k = 0; k < 3 && n > 0; ++k, --n) out.push_back(static_cast<char>((bits >> (16 - 8 * k)) & 255));
    }
    return true;
}
}
