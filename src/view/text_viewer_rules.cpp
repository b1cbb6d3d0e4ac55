#include "view/text_viewer_rules.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "smtp/rc4.h"
#include "text/unicode_text.h"

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

// Character number (0-based) of a column: column 0 (the margin) and column 1 both stand for the
// first character.
std::size_t indexOfColumn(int column) { return column <= 1 ? 0 : static_cast<std::size_t>(column - 1); }

// The code point of the well-formed UTF-8 sequence at `at` and its length; length 0 when none
// begins there.
std::size_t decodeUtf8(std::string_view text, std::size_t at, char32_t& cp)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    std::size_t length = 0;
    char32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(at + i) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

// Code points that never stand alone on screen: combining marks, variation selectors, emoji
// skin tones and tag characters belong to the character before them.
bool extendsCharacter(char32_t cp)
{
    return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x0483 && cp <= 0x0489) || (cp >= 0x0591 && cp <= 0x05BD) ||
           (cp >= 0x0610 && cp <= 0x061A) || (cp >= 0x064B && cp <= 0x065F) || (cp >= 0x1AB0 && cp <= 0x1AFF) ||
           (cp >= 0x1DC0 && cp <= 0x1DFF) || (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0x3099 && cp <= 0x309A) ||
           (cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0xFE20 && cp <= 0xFE2F) || (cp >= 0x1F3FB && cp <= 0x1F3FF) ||
           (cp >= 0xE0020 && cp <= 0xE007F) || (cp >= 0xE0100 && cp <= 0xE01EF);
}

bool isRegionalIndicator(char32_t cp) { return cp >= 0x1F1E6 && cp <= 0x1F1FF; }

// Scripts written without blanks between words (Han, kana, Hangul, their punctuation and full
// width forms): a wrapped line may break between any two of their characters.
bool isCjk(char32_t cp)
{
    return (cp >= 0x1100 && cp <= 0x11FF) || (cp >= 0x2E80 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
           (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7AF) ||
           (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFFEF) ||
           (cp >= 0x20000 && cp <= 0x3FFFF);
}

bool startsCjk(std::string_view character)
{
    char32_t cp = 0;
    return !character.empty() && decodeUtf8(character, 0, cp) != 0 && isCjk(cp);
}

bool isBlank(std::string_view character) { return character == " " || character == "\t"; }

constexpr char32_t kZeroWidthJoiner = 0x200D;

std::size_t countCharacters(std::string_view text)
{
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size(); at = nextCharacter(text, at))
        ++count;
    return count;
}

// The characters `count` from character `from` of `text` (to its end for npos).
std::string characters(std::string_view text, std::size_t from, std::size_t count)
{
    const std::size_t begin = characterOffset(text, from);
    const std::string_view rest = text.substr(begin);
    return std::string(rest.substr(0, count == std::string::npos ? rest.size() : characterOffset(rest, count)));
}

long long pixel(double x) { return std::llround(x); }

// Measured lines kept at once: far more than a screen holds, few enough for any message.
constexpr std::size_t kLayoutRoom = 2048;

} // namespace

std::size_t nextCharacter(std::string_view text, std::size_t at)
{
    if (at >= text.size())
        return text.size();
    char32_t cp = 0;
    std::size_t length = decodeUtf8(text, at, cp);
    if (length == 0)
        return at + 1;
    std::size_t end = at + length;
    const bool flag = isRegionalIndicator(cp);
    bool joined = false;
    while (end < text.size()) {
        char32_t next = 0;
        const std::size_t n = decodeUtf8(text, end, next);
        if (n == 0)
            break;
        // Two regional indicators make one flag; a joiner takes the code point after it along.
        const bool pairsFlag = flag && !joined && isRegionalIndicator(next) && end == at + length;
        if (!extendsCharacter(next) && next != kZeroWidthJoiner && !pairsFlag && !joined)
            break;
        joined = next == kZeroWidthJoiner;
        end += n;
    }
    return end;
}

std::size_t characterOffset(std::string_view text, std::size_t count)
{
    std::size_t at = 0;
    for (; count > 0 && at < text.size(); --count)
        at = nextCharacter(text, at);
    return at;
}

bool isControlCharacter(std::string_view character)
{
    if (character.size() == 1)
        return static_cast<unsigned char>(character[0]) < 0x20 || character[0] == 0x7F;
    // C1 controls: what the bytes Windows-1252 leaves undefined read as.
    return character.size() == 2 && static_cast<unsigned char>(character[0]) == 0xC2 &&
           static_cast<unsigned char>(character[1]) < 0xA0;
}

bool isRowBreak(std::string_view before, std::string_view character)
{
    if (before.empty() || character.empty() || isBlank(character))
        return false;
    return isBlank(before) || startsCjk(before) || startsCjk(character);
}

std::uint32_t quotedColorRgb(int quotedColor)
{
    if (quotedColor < 0 || quotedColor >= kQuotedColorCount)
        quotedColor = 0;
    return QuotedColorTable[quotedColor];
}

bool isQuotedLine(const std::string& line)
{
    std::size_t at = line.find('>');
    return at != std::string::npos && at < characterOffset(line, 3);
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
    std::string* folded = nullptr; // the From or To line a continuation line belongs to
    for (; i < text.size() && !text[i].empty(); ++i) {
        const std::string& line = text[i];
        m.header.push_back(line);
        // A long name (an encoded one above all) is often folded onto the next line.
        if (folded && (line[0] == ' ' || line[0] == '\t')) {
            *folded += line;
            continue;
        }
        folded = nullptr;
        if (line.rfind("To:", 0) == 0)
            m.toLine = line, folded = &m.toLine;
        else if (line.find("From:") != std::string::npos)
            m.fromLine = line, folded = &m.fromLine;
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

namespace {

// The bytes of a cipher line. One that came labelled as 8-bit text was turned into UTF-8 by
// the parser like any text; its Windows-1252 reading gives the bytes back. Lines that are not
// UTF-8 were stored as their bytes.
std::string cipherBytes(const std::string& line)
{
    std::string bytes;
    return utf8ToWindows1252(line, bytes) ? bytes : line;
}

} // namespace

std::vector<std::string> previewLines(const PreviewMessage& message, const std::string& subject, bool showAllHeaders,
                                      const std::optional<std::string>& password)
{
    // A value cut inside a UTF-8 sequence would turn the whole line into Windows-1252.
    auto from = [](const std::string& line, std::size_t index) { return characters(line, index, kPreviewValueRoom); };
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
        out.push_back(password ? EncipherLine(cipherBytes(line), *password) : line);
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
    std::size_t i = 0;
    for (; i < index && i < line.size(); i = nextCharacter(line, i))
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
    std::size_t column = 0;
    for (std::size_t i = 0; i < line.size();) {
        const std::size_t next = nextCharacter(line, i);
        if (line[i] == '\t') {
            const std::size_t blanks = kTabColumns - column % kTabColumns;
            out.append(blanks, ' ');
            column += blanks;
        } else {
            out.append(line, i, next - i);
            ++column;
        }
        i = next;
    }
    return out;
}

void TextViewerModel::SetMetrics(int charWidth, int lineHeight)
{
    charWidth_ = std::max(1, charWidth);
    lineHeight_ = std::max(1, lineHeight);
    forgetLayouts();
    clampPositions();
}

void TextViewerModel::SetCharacterWidths(std::function<double(std::string_view character)> width)
{
    characterWidth_ = std::move(width);
    forgetLayouts();
}

void TextViewerModel::SetSurfaceSize(int width, int height)
{
    width = std::max(0, width);
    // The text that began the top row stays at the top when the lines are broken anew.
    std::size_t topCharacter = 0;
    const bool rewrap = wrap_ && width != width_ && static_cast<std::size_t>(vertical_) < lines_.size();
    if (rewrap)
        topCharacter = rowsOf(static_cast<std::size_t>(vertical_))[static_cast<std::size_t>(topRow_)];
    width_ = width;
    height_ = std::max(0, height);
    if (rewrap) {
        const std::vector<std::size_t>& rows = rowsOf(static_cast<std::size_t>(vertical_));
        topRow_ = static_cast<int>(std::upper_bound(rows.begin(), rows.end(), topCharacter) - rows.begin()) - 1;
    }
    clampPositions();
}

void TextViewerModel::SetWrapLongLines(bool wrap)
{
    if (wrap == wrap_)
        return;
    wrap_ = wrap;
    horizontal_ = 0;
    horizontalRange_ = 0;
    topRow_ = 0;
    links_.clear();
}

int TextViewerModel::wrapWidth() const { return std::max(charWidth_, width_ - kTextLeftMargin); }

const std::vector<std::size_t>& TextViewerModel::rowsOf(std::size_t line) const
{
    static const std::vector<std::size_t> kOneRow{0};
    if (!wrap_)
        return kOneRow;
    const LineLayout& l = layoutOf(line);
    const int width = wrapWidth();
    if (l.rowsWidth == width)
        return l.rowStart;
    l.rowsWidth = width;
    l.rowStart.assign(1, 0);
    // Most lines fit: no need to look for breaks.
    if (l.x.back() <= width)
        return l.rowStart;
    const std::string& text = shownLine(line);
    const std::size_t count = l.start.size() - 1;
    auto character = [&](std::size_t c) {
        return std::string_view(text).substr(l.start[c], l.start[c + 1] - l.start[c]);
    };
    std::size_t rowStart = 0;
    std::size_t lastBreak = 0; // the latest character after rowStart a row may begin with; 0: none
    for (std::size_t c = 1; c < count; ++c) {
        const std::string_view here = character(c);
        if (isRowBreak(character(c - 1), here))
            lastBreak = c;
        // Blanks may hang past the edge: a row never begins with the blank that ended a word.
        while (c > rowStart && !isBlank(here) && l.x[c + 1] - l.x[rowStart] > width) {
            rowStart = lastBreak > rowStart ? lastBreak : c;
            lastBreak = 0;
            l.rowStart.push_back(rowStart);
        }
    }
    return l.rowStart;
}

int TextViewerModel::RowCount(int line) const
{
    if (!wrap_ || line < 0 || static_cast<std::size_t>(line) >= lines_.size())
        return 1;
    return static_cast<int>(rowsOf(static_cast<std::size_t>(line)).size());
}

void TextViewerModel::noteLines(std::size_t from)
{
    for (std::size_t i = from; i < lines_.size(); ++i)
        if (!isValidUtf8(lines_[i]))
            converted_[i] = storedText(lines_[i]);
}

void TextViewerModel::forgetLayouts() { layouts_.clear(); }

const std::string& TextViewerModel::shownLine(std::size_t line) const
{
    if (!converted_.empty()) {
        auto it = converted_.find(line);
        if (it != converted_.end())
            return it->second;
    }
    return lines_[line];
}

double TextViewerModel::characterWidth(std::string_view character) const
{
    if (!characterWidth_)
        return charWidth_;
    const double width = characterWidth_(character);
    return std::isfinite(width) && width > 0 ? width : 0;
}

const TextViewerModel::LineLayout& TextViewerModel::layoutOf(std::size_t line) const
{
    auto found = layouts_.find(line);
    if (found != layouts_.end())
        return found->second;
    if (layouts_.size() >= kLayoutRoom)
        layouts_.clear();
    const std::string& text = shownLine(line);
    LineLayout l;
    l.painted.reserve(text.size());
    std::size_t column = 0;
    double x = 0;
    const double blank = characterWidth(" ");
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t next = nextCharacter(text, at);
        const std::string_view c = std::string_view(text).substr(at, next - at);
        l.start.push_back(at);
        l.paintedStart.push_back(l.painted.size());
        l.x.push_back(x);
        if (c == "\t") {
            const std::size_t blanks = kTabColumns - column % kTabColumns;
            l.painted.append(blanks, ' ');
            x += blank * static_cast<double>(blanks);
            column += blanks;
        } else if (isControlCharacter(c)) {
            l.painted.push_back(' ');
            x += blank;
            ++column;
        } else {
            l.painted.append(c);
            x += characterWidth(c);
            ++column;
        }
        at = next;
    }
    l.start.push_back(text.size());
    l.paintedStart.push_back(l.painted.size());
    l.x.push_back(x);
    return layouts_.emplace(line, std::move(l)).first->second;
}

void TextViewerModel::SetLines(std::vector<std::string> lines)
{
    lines_ = std::move(lines);
    converted_.clear();
    noteLines(0);
    forgetLayouts();
    vertical_ = 0;
    topRow_ = 0;
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
    noteLines(lines_.size() - 1);
    if (OnChange)
        OnChange();
}

void TextViewerModel::AddLines(const std::vector<std::string>& lines)
{
    const std::size_t from = lines_.size();
    lines_.insert(lines_.end(), lines.begin(), lines.end());
    noteLines(from);
    if (OnChange)
        OnChange();
}

void TextViewerModel::Clear()
{
    lines_.clear();
    converted_.clear();
    forgetLayouts();
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

void TextViewerModel::SetVerticalPosition(int position)
{
    vertical_ = clampInt(position, 0, MaxVerticalPosition());
    topRow_ = 0;
}

void TextViewerModel::SetHorizontalPosition(int position)
{
    horizontal_ = clampInt(position, 0, MaxHorizontalPosition());
}

void TextViewerModel::clampPositions()
{
    vertical_ = clampInt(vertical_, 0, MaxVerticalPosition());
    horizontal_ = clampInt(horizontal_, 0, MaxHorizontalPosition());
    topRow_ = clampInt(topRow_, 0, RowCount(vertical_) - 1);
}

void TextViewerModel::ScrollRows(int rows)
{
    if (!wrap_) {
        SetVerticalPosition(clampInt(static_cast<long long>(vertical_) + rows, 0, MaxVerticalPosition()));
        return;
    }
    for (; rows > 0; --rows) {
        if (topRow_ + 1 < RowCount(vertical_))
            ++topRow_;
        else if (vertical_ < MaxVerticalPosition())
            ++vertical_, topRow_ = 0;
        else
            break;
    }
    for (; rows < 0; ++rows) {
        if (topRow_ > 0)
            --topRow_;
        else if (vertical_ > 0)
            --vertical_, topRow_ = RowCount(vertical_) - 1;
        else
            break;
    }
}

void TextViewerModel::Scroll(ScrollKey key)
{
    if (wrap_ && key != ScrollKey::Home && key != ScrollKey::End) {
        const int page = VerticalPage();
        ScrollRows(key == ScrollKey::LineUp     ? -1
                   : key == ScrollKey::LineDown ? 1
                   : key == ScrollKey::PageUp   ? -page
                                                : page);
        return;
    }
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
    topRow_ = 0;
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
    const std::string& text = shownLine(static_cast<std::size_t>(line));
    // The characters highlighted are exactly those Copy takes.
    if (b.line == e.line) {
        from = characterOffset(text, indexOfColumn(b.column));
        to = from + characterOffset(std::string_view(text).substr(from),
                                    static_cast<std::size_t>(std::max(0, e.column - b.column)));
    } else if (line == b.line) {
        from = characterOffset(text, indexOfColumn(b.column));
        to = text.size();
    } else if (line == e.line) {
        from = 0;
        to = characterOffset(text, static_cast<std::size_t>(std::max(0, e.column)));
    } else {
        from = 0;
        to = text.size();
    }
    return from < to;
}

std::vector<PaintedLine> TextViewerModel::Paint()
{
    links_.clear();
    links_.reserve(kLinkTableRoom);
    std::vector<PaintedLine> painted;
    int y = 0;
    for (std::size_t i = static_cast<std::size_t>(vertical_); i < lines_.size() && y < height_; ++i)
        paintRows(i, y, painted);
    return painted;
}

void TextViewerModel::paintRows(std::size_t i, int& y, std::vector<PaintedLine>& painted)
{
    constexpr int kMin = std::numeric_limits<int>::min(), kMax = std::numeric_limits<int>::max();
    const std::string& line = shownLine(i);
    const LineLayout& layout = layoutOf(i);
    const std::vector<std::size_t>& rows = rowsOf(i);
    const std::size_t count = layout.start.size() - 1;
    // The character at byte `offset` of the line (a boundary).
    auto characterAt = [&](std::size_t offset) {
        return static_cast<std::size_t>(std::lower_bound(layout.start.begin(), layout.start.end(), offset) -
                                        layout.start.begin());
    };
    const bool quoted = isQuotedLine(line);
    std::size_t selectedFrom = 0, selectedTo = 0;
    const bool selected = highlightOf(static_cast<int>(i), selectedFrom, selectedTo);
    const std::size_t firstSelected = selected ? characterAt(selectedFrom) : 0;
    const std::size_t lastSelected = selected ? characterAt(selectedTo) : 0;
    // Found in the whole line, so a link wrapped over rows stays one link.
    struct Span {
        std::string text;
        std::size_t from, to;
    };
    std::vector<Span> spans;
    for (auto& link : findLinks(line))
        spans.push_back(Span{std::move(link.text), characterAt(link.start), 0});
    for (auto& span : spans)
        span.to = characterAt(layout.start[span.from] + span.text.size());

    const std::size_t firstRow = i == static_cast<std::size_t>(vertical_) ? static_cast<std::size_t>(topRow_) : 0;
    for (std::size_t r = firstRow; r < rows.size() && y < height_; ++r) {
        const std::size_t rowFrom = rows[r], rowTo = r + 1 < rows.size() ? rows[r + 1] : count;
        // Where character 0 of the line would stand: a row of a wrapped line begins at the margin.
        const long long x0 = wrap_ ? kTextLeftMargin - pixel(layout.x[rowFrom])
                                   : kTextLeftMargin - static_cast<long long>(horizontal_) * charWidth_;
        auto xOf = [&](std::size_t character) { return x0 + pixel(layout.x[character]); };
        PaintedLine p;
        p.line = static_cast<int>(i);
        p.row = static_cast<int>(r);
        p.x = clampInt(x0, kMin, kMax);
        p.y = y;
        p.quoted = quoted;
        if (wrap_) {
            p.text = layout.painted.substr(layout.paintedStart[rowFrom],
                                           layout.paintedStart[rowTo] - layout.paintedStart[rowFrom]);
            p.shownFrom = 0;
            p.shownTo = p.text.size();
            p.shownX = clampInt(xOf(rowFrom), kMin, kMax);
        } else {
            p.text = layout.painted;
            // Only what is on the surface is drawn: a line may be far longer than the window.
            const double left = static_cast<double>(-x0), right = static_cast<double>(width_ - x0);
            const std::size_t first = static_cast<std::size_t>(
                std::upper_bound(layout.x.begin() + 1, layout.x.end(), left) - (layout.x.begin() + 1));
            const std::size_t last = std::max(
                first, static_cast<std::size_t>(std::lower_bound(layout.x.begin(), layout.x.begin() + count, right) -
                                                layout.x.begin()));
            p.shownFrom = layout.paintedStart[std::min(first, count)];
            p.shownTo = layout.paintedStart[std::min(last, count)];
            p.shownX = clampInt(xOf(std::min(first, count)), kMin, kMax);
        }
        const std::size_t highlightFrom = std::max(firstSelected, rowFrom);
        const std::size_t highlightTo = std::min(lastSelected, rowTo);
        if (selected && highlightFrom < highlightTo) {
            p.highlighted = true;
            p.highlightFrom = layout.start[highlightFrom];
            p.highlightTo = layout.start[highlightTo];
            p.highlightLeft = clampInt(xOf(highlightFrom), kMin, kMax);
            p.highlightRight = clampInt(xOf(highlightTo), kMin, kMax);
        }
        for (const Span& span : spans) {
            const std::size_t from = std::max(span.from, rowFrom);
            const std::size_t to = std::min(span.to, rowTo);
            if (from >= to) // on another row of the line
                continue;
            const long long linkLeft = xOf(from), linkRight = xOf(to);
            // Only what is on the surface can be pointed at; the rest is not recorded.
            if (linkRight < 0 || linkLeft >= width_)
                continue;
            p.links.push_back(links_.size());
            links_.push_back(LinkEntry{span.text, clampInt(linkLeft, kMin, width_), clampInt(linkRight, 0, kMax), y,
                                       y + lineHeight_,
                                       layout.painted.substr(layout.paintedStart[from],
                                                             layout.paintedStart[to] - layout.paintedStart[from])});
        }
        if (!wrap_) {
            const double columns = std::ceil(layout.x.back() / charWidth_ - 1e-9);
            horizontalRange_ = std::max(horizontalRange_, clampInt(static_cast<long long>(columns), 0, kMax));
        }
        painted.push_back(std::move(p));
        y += lineHeight_;
    }
}

bool TextViewerModel::IsOverLink(int x, int y) const
{
    return std::any_of(links_.begin(), links_.end(), [x, y](const LinkEntry& l) {
        return x >= l.left && x <= l.right && y >= l.top && y <= l.bottom;
    });
}

TextPoint TextViewerModel::PointAt(int x, int y) const
{
    constexpr int kMax = std::numeric_limits<int>::max();
    TextPoint p;
    long long rowsDown = y / lineHeight_;
    std::size_t row = 0;
    if (!wrap_) {
        p.line = clampInt(rowsDown + vertical_, 0, kMax);
    } else {
        long long line = vertical_, r = topRow_;
        for (; rowsDown < 0; ++rowsDown) {
            if (r > 0)
                --r;
            else if (line > 0)
                --line, r = RowCount(static_cast<int>(line)) - 1;
        }
        while (static_cast<std::size_t>(line) < lines_.size()) {
            const long long rows = RowCount(static_cast<int>(line));
            if (r + rowsDown < rows) {
                r += rowsDown;
                rowsDown = 0;
                break;
            }
            rowsDown -= rows - r;
            ++line;
            r = 0;
        }
        p.line = clampInt(line + rowsDown, 0, kMax);
        row = static_cast<std::size_t>(r);
    }
    // x div CharWidth counts the margin as column 0 and puts column 1 at CharWidth: the
    // characters' measured boxes are laid on that same grid, the first beginning at CharWidth.
    // A row of a wrapped line lies on the same grid from its first character.
    const long long t = static_cast<long long>(x) + static_cast<long long>(horizontal_) * charWidth_ - charWidth_;
    if (static_cast<std::size_t>(p.line) < lines_.size()) {
        const LineLayout& layout = layoutOf(static_cast<std::size_t>(p.line));
        const std::vector<std::size_t>& rows = rowsOf(static_cast<std::size_t>(p.line));
        const std::size_t count = layout.x.size() - 1;
        const bool lastRow = row + 1 >= rows.size();
        const std::size_t rowFrom = rows[std::min(row, rows.size() - 1)];
        const std::size_t rowTo = lastRow ? count : rows[row + 1];
        const double at = static_cast<double>(t) + layout.x[rowFrom];
        if (t < 0) {
            // Left of a continuation row: the end of the row before, as a drag's end.
            p.column = clampInt(static_cast<long long>(rowFrom), 0, kMax);
        } else if (lastRow && at >= layout.x.back()) {
            // Past the end the grid goes on, so a drag beyond the text still counts columns.
            const double beyond = std::floor((at - layout.x.back()) / charWidth_);
            p.column = clampInt(static_cast<long long>(count) + 1 + static_cast<long long>(beyond), 0, kMax);
        } else {
            const auto after = std::upper_bound(layout.x.begin() + static_cast<std::ptrdiff_t>(rowFrom),
                                                layout.x.begin() + static_cast<std::ptrdiff_t>(rowTo), at);
            p.column = clampInt(after - layout.x.begin(), 0, kMax);
        }
    } else {
        p.column = t < 0 ? 0 : clampInt(t / charWidth_ + 1, 0, kMax);
    }
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
    auto line = [this](int l) -> const std::string& { return shownLine(static_cast<std::size_t>(l)); };
    std::string out;
    if (b.line == e.line) {
        int count = e.column - b.column;
        if (count > 0)
            out = characters(line(b.line), indexOfColumn(b.column), static_cast<std::size_t>(count));
    } else {
        out = characters(line(b.line), indexOfColumn(b.column), std::string::npos);
        std::size_t taken = countCharacters(out);
        for (int l = b.line + 1; l < e.line && taken <= kCopyLimit; ++l) {
            out += "\r\n";
            out += line(l);
            taken += 2 + countCharacters(line(l));
        }
        out += "\r\n";
        out += characters(line(e.line), 0, static_cast<std::size_t>(std::max(0, e.column)));
    }
    out.resize(characterOffset(out, kCopyLimit));
    return out;
}

} // namespace tavik
