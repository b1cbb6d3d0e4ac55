#pragma once
#include <string>
#include <string_view>
namespace tavik {
bool uuBeginLine(std::string_view line, std::string& name);
bool uuEndLine(std::string_view line);
class UuDecoder {
public:
    bool decodeLine(std::string_view line, std::string& out);
};
}
