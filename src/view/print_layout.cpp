#include "view/print_layout.h"

#include <algorithm>

#include "text/unicode_text.h"
#include "view/text_viewer_rules.h"

namespace tavik {

namespace {

// The byte length of the longest run of characters from character `from` that fits, at least
// one character; `starts` holds the byte offset of every character of `text` and its end. Grows
// the probe by doubling, then halves the gap, so a very long line costs a few measurements per
// piece and never one of the whole rest of the line.
std::size_t fittingLength(const std::string& text, const std::vector<std::size_t>& starts, std::size_t from,
                          const FitsPrintedLine& fits)
{
    const std::size_t rest = starts.size() - 1 - from;
    auto piece = [&](std::size_t count) {
        return text.substr(starts[from], starts[from + count] - starts[from]);
    };
    auto bytes = [&](std::size_t count) { return starts[from + count] - starts[from]; };
    std::size_t good = 1; // one character is taken whatever it measures
    if (!fits(piece(1)))
        return bytes(1);
    std::size_t bad = 0; // 0: no length known not to fit
    std::size_t probe = 2;
    while (probe <= rest) {
        if (!fits(piece(probe))) {
            bad = probe;
            break;
        }
        good = probe;
        probe *= 2;
    }
    if (bad == 0) {
        if (good == rest || fits(piece(rest)))
            return bytes(rest);
        bad = rest;
    }
    while (bad - good > 1) {
        const std::size_t mid = good + (bad - good) / 2;
        if (fits(piece(mid)))
            good = mid;
        else
            bad = mid;
    }
    return bytes(good);
}

} // namespace

std::vector<std::string> printedLines(const std::string& line, const FitsPrintedLine& fits)
{
    // Old 8-bit lines print as Windows-1252; every cut below lies between characters.
    const std::string expanded = expandTabs(storedText(line));
    std::string text;
    text.reserve(expanded.size());
    for (std::size_t at = 0; at < expanded.size();) {
        const std::size_t next = nextCharacter(expanded, at);
        const std::string_view c = std::string_view(expanded).substr(at, next - at);
        if (isControlCharacter(c))
            text.push_back(' ');
        else
            text.append(c);
        at = next;
    }
    // Blanks at the end print nothing and must not spill onto lines of their own.
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    if (text.empty())
        return {std::string()};

    std::vector<std::size_t> starts; // every character's byte offset, then the end
    for (std::size_t at = 0; at < text.size(); at = nextCharacter(text, at))
        starts.push_back(at);
    starts.push_back(text.size());
    auto characterAt = [&](std::size_t offset) {
        return static_cast<std::size_t>(std::lower_bound(starts.begin(), starts.end(), offset) - starts.begin());
    };

    // A blank that carries a combining mark is part of a character, not a place to cut.
    auto isBlank = [&](std::size_t at) { return text[at] == ' ' && nextCharacter(text, at) == at + 1; };

    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t length = fittingLength(text, starts, characterAt(pos), fits);
        if (pos + length >= text.size()) {
            out.push_back(text.substr(pos));
            break;
        }
        // The cut: the last blank at or right after the fitting piece that leaves something
        // printed in front of it.
        std::size_t firstInk = pos;
        while (firstInk < pos + length && isBlank(firstInk))
            ++firstInk;
        std::size_t cut = pos + length;
        while (cut > firstInk && !isBlank(cut))
            --cut;
        if (cut > firstInk) {
            std::size_t end = cut;
            while (end > firstInk && isBlank(end - 1))
                --end;
            out.push_back(text.substr(pos, end - pos));
            pos = cut;
            while (pos < text.size() && isBlank(pos))
                ++pos;
        } else {
            out.push_back(text.substr(pos, length));
            pos += length;
        }
    }
    return out;
}

std::vector<std::string> printedHeaderBlock(const PrintedHeader& header)
{
    return {"From:    " + header.from, "To:      " + header.to, "Date:    " + header.date,
            "Subject: " + header.subject};
}

std::string pageNumberLine(int page, int pages)
{
    return "Page " + std::to_string(page) + " of " + std::to_string(pages);
}

PrintedPreview printedPreview(const std::vector<std::string>& preview, const std::string& date)
{
    PrintedPreview out;
    const char* const labels[] = {"From:", "To:", "Subject:"};
    bool ownLines = preview.size() >= 4;
    for (std::size_t i = 0; ownLines && i < 3; ++i)
        ownLines = preview[i].rfind(labels[i], 0) == 0;
    if (!ownLines) {
        out.body = preview;
        return out;
    }
    // The preview puts every value in column 12 behind blanks.
    auto value = [](const std::string& line) {
        const std::size_t start = std::min(line.find_first_not_of(' ', line.find(':') + 1), line.size());
        return line.substr(start);
    };
    out.header = {value(preview[0]), value(preview[1]), date, value(preview[2])};
    out.body.assign(preview.begin() + 4, preview.end());
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
