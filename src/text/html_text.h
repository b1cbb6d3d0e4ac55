// HTML mail made readable: the text an HTML-only message shows, as plain lines, the way a mail
// reader without a browser engine presents it. The markup is read by a real HTML5 parser
// (libgumbo), so broken markup is read as a browser reads it; nothing is ever fetched.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

// Readable text is cut at this many bytes, counting one line end per line (at a line end, or at
// a character boundary inside an overlong line): hostile mail may be huge, and so may what its markup expands to.
inline constexpr std::size_t kMaxReadableHtmlBytes = 16 * 1024 * 1024;

// The lines (UTF-8, no line ends) of an HTML document or fragment given as UTF-8 (bytes that are
// not valid UTF-8 become U+FFFD):
// - <head>, <title>, <style>, <script>, <template>, <noscript>, comments, and elements hidden
//   with the hidden attribute or an inline "display:none" give no text;
// - blocks end lines; paragraphs, headings, top-level lists, quotes, <pre> and tables stand
//   apart with one blank line; <br> ends a line; runs of blank lines become one;
// - white space outside <pre> collapses to one blank as a browser does (NBSP too); <pre> keeps
//   its lines and blanks;
// - list items start with "- " or "1. ", "2. ", ... (start= and value= honoured); nested lists
//   and an item's further lines are indented under the item's text;
// - links read "text <url>", or just the url when the text is empty or is the url; a mailto:
//   link whose text is its address keeps just the text; javascript:, vbscript:, data:, file:
//   and relative links keep their text only; images give their alt text;
// - each table row is one line, its non-empty cells joined by " | "; a cell holding blocks
//   (nested tables, paragraphs) spreads over lines of its own, so layout tables read as text;
// - each line inside <blockquote> starts with "> " per level;
// - no blank line first or last, no blanks at line ends.
// Quoting and indentation stop growing after 16 levels. Markup nested deeper than any mail is
// (512 elements that need end tags) or that would make the parser hold far more than its own
// size is read in pieces: its text is kept, the structure across a cut is not, and the time and
// memory stay in proportion to the input.
std::vector<std::string> readableHtmlLines(std::string_view utf8Html);

// The charset an HTML document names for itself near its start (the first kHtmlCharsetScanBytes):
// <meta charset=...> or <meta http-equiv="Content-Type" content="...; charset=...">, as written;
// empty when it names none.
inline constexpr std::size_t kHtmlCharsetScanBytes = 4096;
std::string htmlDeclaredCharset(std::string_view html);
// An HTML document's bytes as UTF-8: read in `charset` (the one its MIME part names), else in the
// one the document declares, else as UTF-8 when valid and as Windows-1252 when not. A
// declared UTF-16 is read as UTF-8: a document that could be searched for its <meta> as ASCII is
// not UTF-16.
std::string htmlBytesToUtf8(std::string_view bytes, std::string_view charset = {});

} // namespace tavik
