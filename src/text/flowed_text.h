#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>
namespace tavik {
class FlowedText {
public:
    explicit FlowedText(bool delSp, std::size_t maxLineBytes = 64 * 1024) : delSp_(delSp), max_(maxLineBytes) {}
    void feed(std::string_view line, std::vector<std::string>& out) { out.emplace_back(line); }
    void finish(std::vector<std::string>&) {}
private:
    bool delSp_; std::size_t max_;
};
}
