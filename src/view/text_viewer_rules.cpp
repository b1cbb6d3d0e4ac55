#include "view/text_viewer_rules.h"

#include <algorithm>
#include <limits>
#include <string_view>

#include "smtp/rc4.h"

namespace tavik {

const std::uint32_t QuotedColorTable[kQuotedColorCount] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0x808080,
    0xC0C0C0, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

namespace {

bool isAddressChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '|' || c == '.';
}

int clampInt(long long v, int low, int high)
{
    return static_cast<int>(std::max<long long>(low, std::min<long long>(high, v)));
}

int toInt(std::size_t v)
{
    return v > static_cast<std::size_t>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                         : static_cast<int>(v);
}

// Sentence punctuation, quotes and brackets around a link in running text are not part of it:
// "mail alice@example.com." or "<https://example.org/x>" must give the address and the page.
// A closing bracket stays when the link opens one of its own (a page ".../Foo_(bar)").
std::size_t linkEndWithoutTrailing(const std::string& line, std::size_t start, std::size_t end)
{
    static const std::string kPunctuation = ".,;:!?'\"";
    static const std::string kOpening = "([{<", kClosing = ")]}>";
    while (end > start) {
        const char c = line[end - 1];
        if (kPunctuation.find(c) != std::string::npos) {
            --end;
            continue;
        }
        const std::size_t bracket = kClosing.find(c);
        if (bracket == std::string::npos)
            break;
        const auto link = std::string_view(line).substr(start, end - start);
        if (std::count(link.begin(), link.end(), kOpening[bracket]) >= std::count(link.begin(), link.end(), c))
            break;
        --end;
    }
    return end;
}

// Byte index of a column: column 0 (the margin) and column 1 both stand for the first character.
std::size_t indexOfColumn(int column) { return column <= 1 ? 0 : static_cast<std::size_t>(column - 1); }

} // namespace

std::uint32_t quotedColorRgb(int quotedColor)
{
    if (quotedColor < 0 || quotedColor >= kQuotedColorCount)
        quotedColor = 0;
    return QuotedColorTable[quotedColor];
}

bool isQuotedLine(const std::string& line)
{
    std::size_t at = line.find('>');
    return at != std::string::npos && at < 3;
}

std::vector<TextLink> findWebLinks(const std::string& line)
{
    std::vector<TextLink> links;
    std::size_t from = 0;
    for (;;) {
        std::size_t plain = line.find("http://", from);
        std::size_t secure = line.find("https://", from);
        std::size_t start = std::min(plain, secure);
        if (start == std::string::npos)
            break;
        std::size_t end = line.find_first_of(" \t", start);
        if (end == std::string::npos)
            end = line.size();
        const std::size_t linkEnd = linkEndWithoutTrailing(line, start, end);
        links.push_back(TextLink{start, line.substr(start, linkEnd - start)});
        from = end;
    }
    return links;
}

std::vector<TextLink> findMailLinks(const std::string& line)
{
    std::vector<TextLink> links;
    // `from` is where the rest of the line begins once the previous link is cut away.
    std::size_t from = 0;
    for (;;) {
        std::size_t at = line.find('@', from);
        if (at == std::string::npos)
            break;
        std::size_t start = at;
        while (start > from && isAddressChar(line[start - 1]))
            --start;
        std::size_t end = at + 1;
        while (end < line.size() && isAddressChar(line[end]))
            ++end;
        // Never below the "@" itself: a lone "@" stays a link of its own.
        const std::size_t linkEnd = std::max(at + 1, linkEndWithoutTrailing(line, start, end));
        links.push_back(TextLink{start, line.substr(start, linkEnd - start)});
        from = end;
    }
    return links;
}

std::vector<TextLink> findLinks(const std::string& line)
{
    std::vector<TextLink> links = findWebLinks(line);
    std::vector<TextLink> mail = findMailLinks(line);
    links.insert(links.end(), std::make_move_iterator(mail.begin()), std::make_move_iterator(mail.end()));
    return links;
}

PreviewMessage splitPreviewMessage(const std::vector<std::string>& text)
{
    PreviewMessage m;
    std::size_t i = 0;
    for (; i < text.size() && !text[i].empty(); ++i) {
        const std::string& line = text[i];
        m.header.push_back(line);
        if (line.rfind("To:", 0) == 0)
            m.toLine = line;
        else if (line.find("From:") != std::string::npos)
            m.fromLine = line;
        else if (line.find("X-Encoder:") != std::string::npos)
            m.encoderLine = line;
    }
    if (i < text.size())
        m.body.assign(text.begin() + static_cast<std::ptrdiff_t>(i) + 1, text.end());
    return m;
}

bool isEncipheredMessage(const PreviewMessage& message)
{
    return message.encoderLine.find("RC4 internal") != std::string::npos;
}

std::vector<std::string> previewLines(const PreviewMessage& message, const std::string& subject, bool showAllHeaders,
                                      const std::optional<std::string>& password)
{
    auto from = [](const std::string& line, std::size_t index) {
        return index < line.size() ? line.substr(index, kPreviewValueRoom) : std::string();
    };
    std::vector<std::string> out;
    out.reserve(message.body.size() + (showAllHeaders ? message.header.size() + 5 : 4));
    // The label widths put every value in column 13: "From: x" keeps its blank after the colon.
    out.push_back("From:      " + from(message.fromLine, 5));
    out.push_back("To:         " + from(message.toLine, 4));
    out.push_back("Subject:    " + subject);
    out.push_back(" ");
    if (showAllHeaders) {
        out.insert(out.end(), message.header.begin(), message.header.end());
        out.push_back(" ");
    }
    for (const auto& line : message.body)
        out.push_back(password ? EncipherLine(line, *password) : line);
    return out;
}

std::vector<std::string> viewerBodyLines(const std::vector<std::string>& text, bool fullHeaders)
{
    if (fullHeaders)
        return text;
    auto empty = std::find_if(text.begin(), text.end(), [](const std::string& l) { return l.empty(); });
    if (empty == text.end())
        return {};
    return std::vector<std::string>(empty + 1, text.end());
}

std::vector<int> attachmentNumbers(int start, int end)
{
    std::vector<int> numbers;
    if (start <= 0 || end < start)
        return numbers;
    for (long long n = start; n <= end && numbers.size() < static_cast<std::size_t>(kMaxListedAttachments); ++n)
        numbers.push_back(static_cast<int>(n));
    return numbers;
}

std::string savedTextBytes(const std::vector<std::string>& lines)
{
    std::size_t size = 0;
    for (const auto& l : lines)
        size += l.size() + 2;
    std::string out;
    out.reserve(size);
    for (const auto& l : lines) {
        out += l;
        out += "\r\n";
    }
    return out;
}

std::size_t displayColumn(const std::string& line, std::size_t index)
{
    std::size_t column = 0;
    for (std::size_t i = 0; i < index && i < line.size(); ++i)
        column = line[i] == '\t' ? (column / kTabColumns + 1) * kTabColumns : column + 1;
    if (index > line.size())
        column += index - line.size();
    return column;
}

std::string expandTabs(const std::string& line)
{
    if (line.find('\t') == std::string::npos)
        return line;
    std::string out;
    out.reserve(line.size() + kTabColumns);
    for (char c : line) {
        if (c == '\t')
            out.append(kTabColumns - out.size() % kTabColumns, ' ');
        else
            out.push_back(c);
    }
    return out;
}

void TextViewerModel::SetMetrics(int charWidth, int lineHeight)
{
    charWidth_ = std::max(1, charWidth);
    lineHeight_ = std::max(1, lineHeight);
    clampPositions();
}

void TextViewerModel::SetSurfaceSize(int width, int height)
{
    width_ = std::max(0, width);
    height_ = std::max(0, height);
    clampPositions();
}

void TextViewerModel::SetLines(std::vector<std::string> lines)
{
    lines_ = std::move(lines);
    vertical_ = 0;
    horizontal_ = 0;
    horizontalRange_ = 0;
    links_.clear();
    // A selection belongs to the text it was made in.
    selecting_ = false;
    hasSelection_ = false;
    anchor_ = end_ = TextPoint{};
    if (OnChange)
        OnChange();
}

void TextViewerModel::AddLine(std::string line)
{
    lines_.push_back(std::move(line));
    if (OnChange)
        OnChange();
}

void TextViewerModel::AddLines(const std::vector<std::string>& lines)
{
    lines_.insert(lines_.end(), lines.begin(), lines.end());
    if (OnChange)
        OnChange();
}

void TextViewerModel::Clear()
{
    lines_.clear();
    links_.clear();
    horizontalRange_ = 0;
    selecting_ = false;
    hasSelection_ = false;
    anchor_ = end_ = TextPoint{};
    clampPositions();
    if (OnChange)
        OnChange();
}

int TextViewerModel::MaxVerticalPosition() const { return std::max(0, VerticalRange() - 1); }

int TextViewerModel::MaxHorizontalPosition() const { return std::max(0, horizontalRange_ - 1); }

int TextViewerModel::VerticalPage() const { return std::max(1, height_ / lineHeight_); }

int TextViewerModel::HorizontalPage() const { return std::max(1, width_ / charWidth_); }

void TextViewerModel::SetVerticalPosition(int position) { vertical_ = clampInt(position, 0, MaxVerticalPosition()); }

void TextViewerModel::SetHorizontalPosition(int position)
{
    horizontal_ = clampInt(position, 0, MaxHorizontalPosition());
}

void TextViewerModel::clampPositions()
{
    vertical_ = clampInt(vertical_, 0, MaxVerticalPosition());
    horizontal_ = clampInt(horizontal_, 0, MaxHorizontalPosition());
}

void TextViewerModel::Scroll(ScrollKey key)
{
    long long v = vertical_;
    switch (key) {
    case ScrollKey::LineUp:
        v -= 1;
        break;
    case ScrollKey::LineDown:
        v += 1;
        break;
    case ScrollKey::PageUp:
        v -= VerticalPage();
        break;
    case ScrollKey::PageDown:
        v += VerticalPage();
        break;
    case ScrollKey::Home:
        v = 0;
        break;
    case ScrollKey::End:
        v = MaxVerticalPosition();
        break;
    }
    vertical_ = clampInt(v, 0, MaxVerticalPosition());
}

void TextViewerModel::orderedSelection(TextPoint& b, TextPoint& e) const
{
    b = anchor_;
    e = end_;
    if (e.line < b.line || (e.line == b.line && e.column < b.column))
        std::swap(b, e);
}

bool TextViewerModel::highlightOf(int line, std::size_t& from, std::size_t& to) const
{
    if (!selecting_ && !hasSelection_)
        return false;
    TextPoint b, e;
    orderedSelection(b, e);
    if (line < b.line || line > e.line)
        return false;
    const std::string& text = lines_[static_cast<std::size_t>(line)];
    // The characters highlighted are exactly those Copy takes.
    if (b.line == e.line) {
        from = indexOfColumn(b.column);
        to = from + static_cast<std::size_t>(std::max(0, e.column - b.column));
    } else if (line == b.line) {
        from = indexOfColumn(b.column);
        to = text.size();
    } else if (line == e.line) {
        from = 0;
        to = static_cast<std::size_t>(std::max(0, e.column));
    } else {
        from = 0;
        to = text.size();
    }
    to = std::min(to, text.size());
    from = std::min(from, to);
    return from < to;
}

std::vector<PaintedLine> TextViewerModel::Paint()
{
    links_.clear();
    links_.reserve(kLinkTableRoom);
    std::vector<PaintedLine> painted;
    const long long x0 = kTextLeftMargin - static_cast<long long>(horizontal_) * charWidth_;
    int y = 0;
    for (std::size_t i = static_cast<std::size_t>(vertical_); i < lines_.size() && y < height_; ++i) {
        const std::string& line = lines_[i];
        PaintedLine p;
        p.line = static_cast<int>(i);
        p.x = clampInt(x0, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
        p.y = y;
        p.text = expandTabs(line);
        p.quoted = isQuotedLine(line);
        std::size_t from = 0, to = 0;
        if (highlightOf(p.line, from, to)) {
            p.highlighted = true;
            p.highlightFrom = from;
            p.highlightTo = to;
            p.highlightLeft = clampInt(x0 + static_cast<long long>(displayColumn(line, from)) * charWidth_,
                                       std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
            p.highlightRight = clampInt(x0 + static_cast<long long>(displayColumn(line, to)) * charWidth_,
                                        std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
        }
        for (auto& link : findLinks(line)) {
            long long left = x0 + static_cast<long long>(displayColumn(line, link.start)) * charWidth_;
            long long right = left + static_cast<long long>(link.text.size()) * charWidth_;
            // Only what is on the surface can be pointed at; the rest is not recorded.
            if (right < 0 || left >= width_)
                continue;
            p.links.push_back(links_.size());
            links_.push_back(LinkEntry{std::move(link.text),
                                       clampInt(left, std::numeric_limits<int>::min(), width_),
                                       clampInt(right, 0, std::numeric_limits<int>::max()), y, y + lineHeight_});
        }
        horizontalRange_ = std::max(horizontalRange_, toInt(p.text.size()));
        painted.push_back(std::move(p));
        y += lineHeight_;
    }
    return painted;
}

bool TextViewerModel::IsOverLink(int x, int y) const
{
    return std::any_of(links_.begin(), links_.end(), [x, y](const LinkEntry& l) {
        return x >= l.left && x <= l.right && y >= l.top && y <= l.bottom;
    });
}

TextPoint TextViewerModel::PointAt(int x, int y) const
{
    TextPoint p;
    p.line = clampInt(static_cast<long long>(y / lineHeight_) + vertical_, 0, std::numeric_limits<int>::max());
    p.column = clampInt(static_cast<long long>(x / charWidth_) + horizontal_, 0, std::numeric_limits<int>::max());
    return p;
}

std::vector<std::size_t> TextViewerModel::MousePress(int x, int y)
{
    std::vector<std::size_t> hits;
    if (OnLinkClicked) {
        std::vector<std::string> texts;
        for (std::size_t i = 0; i < links_.size(); ++i) {
            const LinkEntry& l = links_[i];
            if (x >= l.left && x <= l.right && y >= l.top && y <= l.bottom) {
                hits.push_back(i);
                texts.push_back(l.text);
            }
        }
        // The handler may replace the text (and with it the table): report from copies.
        for (const auto& text : texts)
            OnLinkClicked(text);
    }
    selecting_ = true;
    hasSelection_ = false;
    anchor_ = end_ = PointAt(x, y);
    return hits;
}

void TextViewerModel::MouseMove(int x, int y)
{
    if (selecting_)
        end_ = PointAt(x, y);
}

void TextViewerModel::MouseRelease()
{
    if (selecting_)
        hasSelection_ = true;
    selecting_ = false;
}

void TextViewerModel::SelectAll()
{
    if (lines_.empty())
        return;
    selecting_ = false;
    anchor_ = TextPoint{0, 0};
    end_ = TextPoint{static_cast<int>(lines_.size()) - 1, kSelectAllEndColumn};
    hasSelection_ = true;
}

void TextViewerModel::ClearSelection()
{
    hasSelection_ = false;
    selecting_ = false;
}

std::optional<std::string> TextViewerModel::Copy() const
{
    if (!hasSelection_ || lines_.empty())
        return std::nullopt;
    const int last = static_cast<int>(lines_.size()) - 1;
    TextPoint b, e;
    orderedSelection(b, e);
    b.line = std::min(b.line, last);
    e.line = std::min(e.line, last);
    std::string out;
    auto part = [](const std::string& s, std::size_t from, std::size_t count) {
        return from >= s.size() ? std::string() : s.substr(from, count);
    };
    if (b.line == e.line) {
        int count = e.column - b.column;
        if (count > 0)
            out = part(lines_[static_cast<std::size_t>(b.line)], indexOfColumn(b.column),
                       static_cast<std::size_t>(count));
    } else {
        out = part(lines_[static_cast<std::size_t>(b.line)], indexOfColumn(b.column), std::string::npos);
        for (int l = b.line + 1; l < e.line; ++l) {
            out += "\r\n";
            out += lines_[static_cast<std::size_t>(l)];
            if (out.size() > kCopyLimit)
                break;
        }
        out += "\r\n";
        out += part(lines_[static_cast<std::size_t>(e.line)], 0, static_cast<std::size_t>(std::max(0, e.column)));
    }
    if (out.size() > kCopyLimit)
        out.resize(kCopyLimit);
    return out;
}

} // namespace tavik
