// How a message text goes onto paper: each line with its tabs expanded, wrapped at the page
// width, and the page breaks between the printed lines. What fits on a line is measured by the
// caller, since only the printer's font knows; everything else is decided here.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tavik {

// True when `text` fits on one printed line. Expected to hold for every prefix of a text it
// holds for (wider texts never fit better).
using FitsPrintedLine = std::function<bool(const std::string& text)>;

// The printed lines (UTF-8) one stored text line becomes; a line that is not valid UTF-8 is read
// as Windows-1252. Tabs go to the next multiple of 8 columns and other control characters print
// as blanks; then the text is cut into pieces that fit: after the last blank that fits (the
// blanks at the cut are dropped), or, in a word longer than the line (or a run of CJK), at the
// last character that fits, never inside one. A piece holds at least one character even when that alone does
// not fit, so every text ends. Blanks at the end are dropped; an empty line (or one of blanks
// only) is one empty printed line.
std::vector<std::string> printedLines(const std::string& line, const FitsPrintedLine& fits);

// The fields printed in a block above a message's text.
struct PrintedHeader {
    std::string from, to, date, subject;
};
// The block's lines: "From:", "To:", "Date:" and "Subject:", the values in one column.
std::vector<std::string> printedHeaderBlock(const PrintedHeader& header);
// The line below the text of page `page` of `pages`.
std::string pageNumberLine(int page, int pages);
// A mailbox window's preview split for printing: its own From, To and Subject lines become the
// header (with `date`, which the preview does not show) and are left out of `body`, with the
// blank line after them. A text that does not begin with them is all body.
struct PrintedPreview {
    PrintedHeader header;
    std::vector<std::string> body;
};
PrintedPreview printedPreview(const std::vector<std::string>& preview, const std::string& date);

// The lines a page holds for a printable height and a line spacing, both in device pixels;
// at least 1, so a page too small for one line still makes progress.
int linesPerPage(int pageHeight, int lineSpacing);

// Places printed lines one after another onto pages of a fixed number of rows. The first page
// is open from the start (the print job opens it); place() tells when the next line needs a
// new one.
class PageFlow {
public:
    explicit PageFlow(int linesPerPage);
    // Places the next line: true when a new page must begin before it is drawn.
    bool place();
    // Row of the last placed line on its page, counted from 0.
    int row() const { return row_; }
    // Pages begun so far, the first included.
    int pages() const { return pages_; }

private:
    int linesPerPage_;
    int row_ = -1;
    int pages_ = 1;
};

} // namespace tavik
