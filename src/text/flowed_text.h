// Received format=flowed text (RFC 3676) made into the lines a reader shows: the soft-broken
// lines of a paragraph joined again, quoted paragraphs kept at their depth.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

// Longest logical line FlowedText builds before it gives the paragraph out in pieces.
inline constexpr std::size_t kMaxFlowedLineBytes = 64 * 1024;

// Decodes one text part, fed a line at a time as the parser reads it. A line that ends in a
// blank is soft-broken and joins the next line of the same quote depth; a change of depth, a
// line without the blank, the signature separator "-- " and finish() end a paragraph. The
// depth's quote marks and one stuffed blank after them (or at the start of an unquoted line)
// are removed; a paragraph is written back as ">" per level, one blank and its text, or as the
// bare text at depth 0. A paragraph whose text passes `maxLineBytes` comes out in pieces of at
// most that many bytes (after the quote marks), cut between UTF-8 characters, so hostile mail
// never makes one line grow without bound. One decoder per text part; after finish() it starts
// afresh.
class FlowedText {
public:
    // `delSp`: the part said DelSp=yes, so the blank that marks a soft break is not part of the
    // text. `maxLineBytes` is taken as at least 4, room for any one character.
    explicit FlowedText(bool delSp, std::size_t maxLineBytes = kMaxFlowedLineBytes);

    // Takes one UTF-8 line without its line end and appends to `out` every line it completes.
    void feed(std::string_view line, std::vector<std::string>& out);
    // Appends the paragraph still open, if any.
    void finish(std::vector<std::string>& out);

private:
    void flush(std::vector<std::string>& out);
    void emitPieces(std::vector<std::string>& out);
    std::string quoted(std::string_view text) const;

    bool delSp_;
    std::size_t maxLineBytes_;
    std::string paragraph_; // text joined so far, without quote marks
    std::size_t depth_ = 0; // quote depth of paragraph_
    bool open_ = false;     // a soft-broken line waits for its continuation
};

} // namespace tavik
