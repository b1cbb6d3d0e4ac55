#include "view/print_layout.h"

#include <algorithm>

#include "view/text_viewer_rules.h"

namespace tavik {

namespace {

bool isBlank(char c) { return c == ' '; }

// The longest prefix of text[from..] that fits, at least one character. Grows the probe by
// doubling, then halves the gap, so a very long line costs a few measurements per piece and
// never one of the whole rest of the line.
std::size_t fittingLength(const std::string& text, std::size_t from, const FitsPrintedLine& fits)
{
    const std::size_t rest = text.size() - from;
    std::size_t good = 1; // one character is taken whatever it measures
    if (!fits(text.substr(from, 1)))
        return 1;
    std::size_t bad = 0; // 0: no length known not to fit
    std::size_t probe = 2;
    while (probe <= rest) {
        if (!fits(text.substr(from, probe))) {
            bad = probe;
            break;
        }
        good = probe;
        probe *= 2;
    }
    if (bad == 0) {
        if (good == rest || fits(text.substr(from, rest)))
            return rest;
        bad = rest;
    }
    while (bad - good > 1) {
        const std::size_t mid = good + (bad - good) / 2;
        if (fits(text.substr(from, mid)))
            good = mid;
        else
            bad = mid;
    }
    return good;
}

} // namespace

std::vector<std::string> printedLines(const std::string& line, const FitsPrintedLine& fits)
{
    std::string text = expandTabs(line);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    // Blanks at the end print nothing and must not spill onto lines of their own.
    while (!text.empty() && isBlank(text.back()))
        text.pop_back();
    if (text.empty())
        return {std::string()};

    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t length = fittingLength(text, pos, fits);
        if (pos + length >= text.size()) {
            out.push_back(text.substr(pos));
            break;
        }
        // The cut: the last blank at or right after the fitting piece that leaves something
        // printed in front of it.
        std::size_t firstInk = pos;
        while (firstInk < pos + length && isBlank(text[firstInk]))
            ++firstInk;
        std::size_t cut = pos + length;
        while (cut > firstInk && !isBlank(text[cut]))
            --cut;
        if (cut > firstInk) {
            std::size_t end = cut;
            while (end > firstInk && isBlank(text[end - 1]))
                --end;
            out.push_back(text.substr(pos, end - pos));
            pos = cut;
            while (pos < text.size() && isBlank(text[pos]))
                ++pos;
        } else {
            out.push_back(text.substr(pos, length));
            pos += length;
        }
    }
    return out;
}

int linesPerPage(int pageHeight, int lineSpacing)
{
    if (lineSpacing <= 0)
        return 1;
    return std::max(1, pageHeight / lineSpacing);
}

PageFlow::PageFlow(int linesPerPage) : linesPerPage_(std::max(1, linesPerPage)) {}

bool PageFlow::place()
{
    if (row_ + 1 < linesPerPage_) {
        ++row_;
        return false;
    }
    row_ = 0;
    ++pages_;
    return true;
}

} // namespace tavik
