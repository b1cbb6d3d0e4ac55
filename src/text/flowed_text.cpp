#include "text/flowed_text.h"

#include <algorithm>

namespace tavik {

namespace {

bool isContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Where to cut `text` to at most `max` bytes without splitting a character. Bytes that are not
// UTF-8 are cut at `max` after at most three steps back, so the search stays local.
std::size_t cutPoint(std::string_view text, std::size_t max)
{
    std::size_t cut = max;
    for (int step = 0; step < 3 && cut > 1 && isContinuationByte(text[cut]); ++step)
        --cut;
    return isContinuationByte(text[cut]) ? max : cut;
}

} // namespace

FlowedText::FlowedText(bool delSp, std::size_t maxLineBytes)
    : delSp_(delSp), maxLineBytes_(std::max<std::size_t>(maxLineBytes, 4))
{
}

std::string FlowedText::quoted(std::string_view text) const
{
    if (depth_ == 0)
        return std::string(text);
    std::string line(depth_, '>');
    line += ' ';
    line += text;
    return line;
}

void FlowedText::emitPieces(std::vector<std::string>& out)
{
    std::size_t from = 0;
    while (paragraph_.size() - from > maxLineBytes_) {
        const std::string_view rest = std::string_view(paragraph_).substr(from);
        const std::size_t cut = cutPoint(rest, maxLineBytes_);
        out.push_back(quoted(rest.substr(0, cut)));
        from += cut;
    }
    paragraph_.erase(0, from);
}

void FlowedText::flush(std::vector<std::string>& out)
{
    if (open_)
        out.push_back(quoted(paragraph_));
    paragraph_.clear();
    open_ = false;
}

void FlowedText::feed(std::string_view line, std::vector<std::string>& out)
{
    const std::size_t depth = std::min(line.find_first_not_of('>'), line.size());
    std::string_view text = line.substr(depth);
    if (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);

    if (open_ && depth != depth_)
        flush(out);
    // The signature separator ends what came before it and never joins what follows.
    const bool signature = text == "-- ";
    if (signature)
        flush(out);
    const bool flowed = !signature && !text.empty() && text.back() == ' ';
    if (flowed && delSp_)
        text.remove_suffix(1);

    depth_ = depth;
    paragraph_ += text;
    open_ = true;
    emitPieces(out);
    if (!flowed)
        flush(out);
}

void FlowedText::finish(std::vector<std::string>& out)
{
    flush(out);
}

} // namespace tavik
