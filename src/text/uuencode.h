// Uuencoded blocks in received text: the "begin" line that opens one, the "end" line that closes
// it, and the body lines between. The parser finds a block among a text's lines and gives up on
// it (keeping the lines as text) as soon as one line is not plausible uuencode.
#pragma once

#include <string>
#include <string_view>

namespace tavik {

// True when `line` opens a block: "begin", blanks, a mode of three or four octal digits, blanks
// and a file name; `name` is then that name without blanks or CR around it (as the message
// gives it: the caller strips directory parts before it names a file). "begin-base64" and a
// begin line without a name are not uuencode.
bool uuBeginLine(std::string_view line, std::string& name);

// True when `line` closes a block: "end", optionally followed by blanks or CR.
bool uuEndLine(std::string_view line);

// Decodes the body lines of one block. Each line starts with its byte count as a character
// (code 32 + count; "`" stands for 0), followed by four characters per three bytes. Zero is
// written as a blank by our own sending side and by many others, as "`" by the rest; both are
// read. An empty line, " " and "`" hold no bytes.
class UuDecoder {
public:
    // Appends the bytes `line` holds to `out` and returns true; returns false, appending
    // nothing, when the line is not a plausible uuencoded line: a character outside " ".."`", or
    // a length that does not fit its count. Tolerated: CR, tabs and blanks after the data; a last
    // group written without padding; and up to one group's characters missing at the end of the
    // line (blanks that stand for zero, lost on the way), read as zero.
    bool decodeLine(std::string_view line, std::string& out);

    // Bytes decoded so far by this decoder.
    std::size_t decodedBytes() const { return decoded_; }

private:
    std::size_t decoded_ = 0;
};

} // namespace tavik
