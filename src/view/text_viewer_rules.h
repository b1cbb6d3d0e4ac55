// What the read-only message text viewer shows and does, without painting it: which lines are
// quoted, where the web and e-mail links of a line lie, the table of links on the surface, the
// mouse selection and the text Copy takes, and the scroll positions. The viewer widget
// (TStringsViewer) draws what Paint answers and forwards mouse, key and size events here.
//
// Lines and columns of the selection are those the viewer has always used: lines 0-based,
// columns counted from the pointer position (x div CharWidth, the left margin included), where
// column c stands for the c-th character of the line and 0 for the margin before the first.
// Characters are not all CharWidth wide (CJK, emoji, glyphs of fallback fonts): each takes the
// width the widget measures for it, and the pointer's column is the character whose measured
// box, on that same grid, holds the pointer. Positions inside a line are byte offsets into its
// UTF-8 and always lie on a character boundary. Lines are stored text: a line that is not valid
// UTF-8 (written by the 8-bit program) is shown, searched and copied as Windows-1252.
//
// With WrapLongLines a line wider than the surface is shown on several rows, broken after blanks
// (and between CJK characters), a word wider than the surface between characters. Rows are only
// how a line is shown: the lines, their columns, the selection and Copy stay those of the whole
// line, and a column on a row counts from the line's first character. The vertical position is
// still the first visible line; TopRow says which of its rows is at the top.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavik {

// The sixteen colours a quoted line can take (RGB), indexed by the settings' QuotedColor.
constexpr int kQuotedColorCount = 16;
extern const std::uint32_t QuotedColorTable[kQuotedColorCount];
// The RGB of a QuotedColor setting; a value outside 0 to 15 shows as colour 0.
std::uint32_t quotedColorRgb(int quotedColor);
// The byte offset where the character beginning at `at` ends: one code point with the marks,
// variation selectors and joined code points that belong to it, so that a selection, a cut or a
// printed line never splits what shows as one character. A byte that begins no valid UTF-8
// sequence is a character of its own.
std::size_t nextCharacter(std::string_view text, std::size_t at);
// The byte offset of the first `count` characters of `text` (its size when it has fewer).
std::size_t characterOffset(std::string_view text, std::size_t count);

// A quoted line has its first ">" at character 1, 2 or 3.
bool isQuotedLine(const std::string& line);

// Colours of a link as drawn, and of a link while it is being clicked.
constexpr std::uint32_t kLinkRgb = 0x0000FF;
constexpr std::uint32_t kClickedLinkRgb = 0xFF0000;

// One link found on a line: where it begins (byte index) and its text.
struct TextLink {
    std::size_t start = 0;
    std::string text;
};
// Both kinds of link lose what ends them in running text: trailing ". , ; : ! ?", quotes, and a
// closing bracket the link itself does not open.
// Web links: from each "http://" or "https://" up to the next blank or tab (or the line end).
std::vector<TextLink> findWebLinks(const std::string& line);
// E-mail links: the run of letters, digits, "_", "-", "|" and "." on each side of each "@" (the
// "@" alone when there is none), never reaching back into the previous link.
std::vector<TextLink> findMailLinks(const std::string& line);
// The links of a line in the order they are recorded: its web links, then its e-mail links.
std::vector<TextLink> findLinks(const std::string& line);

// ---- What the message windows put into a text viewer ----

// A stored message's lines taken apart for the preview pane: the header lines (up to the first
// empty line, or every line when there is none), the body after that empty line, and the last
// header line of each kind the preview looks for. Names match with exact letter case.
struct PreviewMessage {
    std::vector<std::string> header;
    std::vector<std::string> body;
    std::string toLine;      // last header line beginning "To:"
    std::string fromLine;    // last other header line holding "From:" anywhere
    std::string encoderLine; // last other header line holding "X-Encoder:" anywhere
};
PreviewMessage splitPreviewMessage(const std::vector<std::string>& text);
// True when the message's encoder line says the internal RC4 encoder enciphered its body.
bool isEncipheredMessage(const PreviewMessage& message);
// Rooms of the From and To values in the preview, in characters.
constexpr std::size_t kPreviewValueRoom = 999;
// The preview pane's lines: "From:      " + the From line from its sixth character,
// "To:         " + the To line from its fifth, "Subject:    " + `subject`, a line of one blank,
// with `showAllHeaders` every header line and one more blank line, then the body. With a
// password each body line is first deciphered with it (a wrong one gives unreadable lines).
std::vector<std::string> previewLines(const PreviewMessage& message, const std::string& subject, bool showAllHeaders,
                                      const std::optional<std::string>& password = std::nullopt);
// The viewer window's body: the stored lines, without the header and its empty line unless
// `fullHeaders`. A message without an empty line is all header and has no body.
std::vector<std::string> viewerBodyLines(const std::vector<std::string>& text, bool fullHeaders);
// The attachments a message lists, `start` to `end` inclusive; none when `start` is 0 or the range
// is reversed, and never more than kMaxListedAttachments (a corrupt index may hold any numbers).
constexpr int kMaxListedAttachments = 1000;
std::vector<int> attachmentNumbers(int start, int end);
// A text viewer's lines as a text file: each line ended by CR LF.
std::string savedTextBytes(const std::vector<std::string>& lines);

// Tab stops, in characters, of the painted text.
constexpr int kTabColumns = 8;
// The painted column (in characters) of the byte at `index` once tabs are expanded; bytes past
// the end count one column each.
std::size_t displayColumn(const std::string& line, std::size_t index);
// The line as painted: every tab replaced by blanks up to the next stop (characters counted).
std::string expandTabs(const std::string& line);
// True for the UTF-8 of a control character (C0, DEL, C1). Painted and printed as a blank: it
// would draw as a box or not at all. Tabs are expanded before.
bool isControlCharacter(std::string_view character);

// Pixels left of the first character.
constexpr int kTextLeftMargin = 10;
// Links one painting is expected to hold; more are recorded all the same.
constexpr std::size_t kLinkTableRoom = 100;
// The end column Select all sets.
constexpr int kSelectAllEndColumn = 999;
// The longest text Copy gives the clipboard.
constexpr std::size_t kCopyLimit = 30999;

// A place in the text: line (0-based) and column (see the file comment).
struct TextPoint {
    int line = 0;
    int column = 0;
};

// A link on the surface: its text and rectangle in surface pixels, bounds included. A link
// wrapped over rows has one entry per row, each with the whole link's text; `shown` is the part
// drawn in the rectangle (as painted).
struct LinkEntry {
    std::string text;
    int left = 0, right = 0, top = 0, bottom = 0;
    std::string shown;
};

// One row to draw: the tab-expanded text at (x, y) as UTF-8 (control characters as blanks), the
// part of it on the surface (bytes [shownFrom, shownTo) of `text`, beginning at shownX), its
// colour rule, its highlighted characters (byte indexes [highlightFrom, highlightTo) of the
// line's UTF-8, and their pixels) and its links (indexes into the link table, each drawn blue and underlined
// at its rectangle). An unwrapped line is one row, `text` the whole line; row r of a wrapped line
// holds only that row's text and begins at the left margin.
struct PaintedLine {
    int line = 0;
    int row = 0;
    int x = 0, y = 0;
    std::string text;
    std::size_t shownFrom = 0, shownTo = 0;
    int shownX = 0;
    bool quoted = false;
    bool highlighted = false;
    std::size_t highlightFrom = 0, highlightTo = 0;
    int highlightLeft = 0, highlightRight = 0;
    std::vector<std::size_t> links;
};

// May a wrapped line begin a new row between these two characters (as nextCharacter cuts them)?
// After a blank or tab (not before one: blanks stay at the end of their row), and before or
// after a CJK character.
bool isRowBreak(std::string_view before, std::string_view character);

// Keys that scroll. Up and Left arrows are LineUp, Down and Right are LineDown.
enum class ScrollKey { LineUp, LineDown, PageUp, PageDown, Home, End };

// The text viewer's model. The widget sets the font metrics and the surface size, fills the
// lines, calls Paint on every painting and forwards the mouse; Ctrl+A is SelectAll, Ctrl+C and
// Ctrl+X are Copy (nothing is removed), Esc is ClearSelection.
class TextViewerModel {
public:
    // CharWidth: width of "M" in the font; LineHeight: height of "M" plus 1. Setting them (the
    // font changed) forgets every measured line.
    void SetMetrics(int charWidth, int lineHeight);
    // The width in pixels of one character (its UTF-8, see nextCharacter) in the painted font;
    // without it every character is CharWidth wide. Asked only for the lines being painted or
    // pointed at, and remembered per line until the lines or the metrics change.
    void SetCharacterWidths(std::function<double(std::string_view character)> width);
    int CharWidth() const { return charWidth_; }
    int LineHeight() const { return lineHeight_; }
    // The painting surface's size in pixels.
    void SetSurfaceSize(int width, int height);

    // Replaces the text: both scroll positions go to 0 and the selection is cleared.
    void SetLines(std::vector<std::string> lines);
    // Adds to the text; the selection stays.
    void AddLine(std::string line);
    void AddLines(const std::vector<std::string>& lines);
    // Empties the text and clears the selection.
    void Clear();
    const std::vector<std::string>& Lines() const { return lines_; }
    // Called after every SetLines, AddLine, AddLines and Clear.
    std::function<void()> OnChange;

    // Wrapping of long lines at the surface's width (off until set). Turning it on or off scrolls
    // to the left and to the first row of the top line.
    void SetWrapLongLines(bool wrap);
    bool WrapLongLines() const { return wrap_; }
    // Rows line `line` takes: 1 unless wrapping. Measured on demand and remembered until the
    // width, the metrics or the lines change.
    int RowCount(int line) const;

    // Scroll positions: first visible line and first visible column, kept within their ranges.
    // Setting the vertical position shows that line's first row at the top.
    void SetVerticalPosition(int position);
    int VerticalPosition() const { return vertical_; }
    void SetHorizontalPosition(int position);
    int HorizontalPosition() const { return horizontal_; }
    // The vertical range is the line count; the horizontal range the longest line painted so far
    // (its measured width in CharWidth columns, rounded up). The largest position shows the last
    // line or column.
    int VerticalRange() const { return static_cast<int>(lines_.size()); }
    int HorizontalRange() const { return horizontalRange_; }
    int MaxVerticalPosition() const;
    int MaxHorizontalPosition() const;
    // Page steps: whole lines and columns that fit on the surface (at least 1).
    int VerticalPage() const;
    int HorizontalPage() const;
    // The row of the top line at the top of the surface (0 unless wrapping). A change of width
    // keeps the character that began the top row at the top.
    int TopRow() const { return topRow_; }
    // Scrolls the vertical position as the key does; while wrapping, lines and pages are rows.
    void Scroll(ScrollKey key);
    // Scrolls by `rows` rows (negative: up), never past the first row or the last line's last row.
    void ScrollRows(int rows);

    // One painting: the lines to draw from the top of the surface. Rebuilds the link table from
    // nothing and grows the horizontal range.
    std::vector<PaintedLine> Paint();
    // The links of the last painting, in the order recorded.
    const std::vector<LinkEntry>& LinkTable() const { return links_; }
    // True when the point lies on a recorded link (the hand pointer).
    bool IsOverLink(int x, int y) const;

    // Raised by a press on a link, once per link under the pointer, in the table's order.
    std::function<void(const std::string& link)> OnLinkClicked;
    // A button press at (x, y): reports the links under it (when OnLinkClicked is set; the
    // answer lists their table indexes for the widget to redraw in red), then starts a selection.
    std::vector<std::size_t> MousePress(int x, int y);
    // Pointer moved: extends a selection in progress.
    void MouseMove(int x, int y);
    // Button released: a selection in progress becomes the selection.
    void MouseRelease();
    // The text point under a surface position (never a negative line or column).
    TextPoint PointAt(int x, int y) const;

    // Selects from (0, 0) to column 999 of the last line; nothing on an empty text.
    void SelectAll();
    // Forgets the selection (Esc).
    void ClearSelection();
    bool Selecting() const { return selecting_; }
    bool HasSelection() const { return hasSelection_; }
    TextPoint Anchor() const { return anchor_; }
    TextPoint End() const { return end_; }
    // The selected text for the clipboard as UTF-8, lines joined with CR LF and cut to 30999
    // characters; no value when there is no selection or no text (the clipboard is then left
    // alone).
    std::optional<std::string> Copy() const;

private:
    // Where the characters of a shown line lie once painted: for each character, its byte offset
    // in the line and in the painted text and its x from the line's start; one more entry each
    // for the end (the line's width).
    struct LineLayout {
        std::string painted;
        std::vector<std::size_t> start;
        std::vector<std::size_t> paintedStart;
        std::vector<double> x;
        // The characters that begin its rows, for the wrap width they were broken at.
        mutable int rowsWidth = -1;
        mutable std::vector<std::size_t> rowStart;
    };
    const std::vector<std::size_t>& rowsOf(std::size_t line) const;
    int wrapWidth() const;
    void paintRows(std::size_t line, int& y, std::vector<PaintedLine>& painted);
    const std::string& shownLine(std::size_t line) const;
    void noteLines(std::size_t from);
    void forgetLayouts();
    const LineLayout& layoutOf(std::size_t line) const;
    double characterWidth(std::string_view character) const;
    void clampPositions();
    bool highlightOf(int line, std::size_t& from, std::size_t& to) const;
    void orderedSelection(TextPoint& b, TextPoint& e) const;

    int charWidth_ = 8;
    int lineHeight_ = 14;
    int width_ = 100;
    int height_ = 50;
    std::vector<std::string> lines_;
    // The UTF-8 of the lines that are not valid UTF-8, by line number.
    std::unordered_map<std::size_t, std::string> converted_;
    std::function<double(std::string_view)> characterWidth_;
    mutable std::unordered_map<std::size_t, LineLayout> layouts_;
    int vertical_ = 0;
    int horizontal_ = 0;
    int horizontalRange_ = 0;
    bool wrap_ = false;
    int topRow_ = 0;
    std::vector<LinkEntry> links_;
    bool selecting_ = false;
    bool hasSelection_ = false;
    TextPoint anchor_, end_;
};

} // namespace tavik
