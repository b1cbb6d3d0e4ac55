// Decoders for received mail: base64 and quoted-printable bodies, RFC 2047 encoded words,
// header fields and their parameters. Decoded text comes out as UTF-8: encoded words and
// RFC 2231 values from their charset, raw 8-bit header bytes kept when they are UTF-8 and read
// as Windows-1252 when not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavik {

// Base64 with its state carried from one call to the next, so a group of four characters may
// be split across lines (RFC 2045). Characters outside the alphabet are skipped; a padding mark
// ends the group it stands in, and decoding goes on after it.
class Base64Decoder {
public:
    // Room the output of decode() needs for `n` input characters.
    static constexpr std::size_t maxOutput(std::size_t n) { return n / 4 * 3 + 3; }
    // Decodes `n` characters into `out` (room: maxOutput(n)); returns the bytes produced.
    std::size_t decode(const char* in, std::size_t n, char* out);
    // Ends the data: an unfinished group of two or three characters still gives its one or two
    // whole bytes. Returns the bytes written to `out` (room: 2) and resets the decoder.
    std::size_t finish(char* out);
    // Forgets any unfinished group.
    void reset() { bits_ = 0; count_ = 0; }

private:
    std::uint32_t bits_ = 0;
    int count_ = 0;
};

// Decodes a whole base64 text at once (the same rules as Base64Decoder).
std::string decodeBase64(std::string_view text);

// Decodes one quoted-printable line and appends its bytes to `out`. Returns true when the line
// ends in a soft line break ("=" with nothing but blanks after it), so it joins the next one.
// "=" followed by anything but two hexadecimal digits (either case) stays as it is.
bool decodeQuotedPrintableLine(std::string_view line, std::string& out);

// Quoted-printable for text kept as lines: holds the decoded text of soft-broken lines back
// until the line that ends them arrives.
class QuotedPrintableDecoder {
public:
    // Decodes `line`. Returns true and moves the whole decoded line (carry included) into
    // `out` when the line ends hard; returns false when it was held back (soft break).
    bool decodeLine(std::string_view line, std::string& out);
    // Bytes held back so far.
    std::size_t carrySize() const { return carry_.size(); }
    // Hands out what is held back and empties the carry.
    std::string takeCarry();
    void reset() { carry_.clear(); }

private:
    std::string carry_;
};

// RFC 2047 encoded words ("=?charset?Q?...?=" and "=?charset?B?...?=", either case) decoded
// one by one, each from its charset into UTF-8; white space between two adjacent encoded words
// is dropped, other text is kept by the stored-text rule (UTF-8 as it is, else Windows-1252). The result never holds CR, LF or NUL: each becomes a
// blank.
std::string DecodeWords(std::string_view text);

// Splits a header field "Name: value" (name up to the colon, blanks before the colon allowed)
// into its name and its value without the blanks that follow the colon. False when the line
// is no field (no colon, or an empty name, or a name holding blanks inside).
bool splitHeaderField(std::string_view field, std::string_view& name, std::string_view& value);

// True when `line` is the header field that `prefix` names ("Subject: ": the name and colon,
// the blank optional), letter case ignored; then `value` := the field's value with encoded
// words decoded. When false, `value` is left unchanged.
bool HeaderValue(std::string_view line, std::string_view prefix, std::string& value);

// The value of parameter `name` (letter case ignored) in a structured field value such as
// "attachment; filename=\"a.txt\"": quoted strings lose their quotes and the backslash of
// \" and \\ (other backslashes stay, as in the Windows paths mailers send), tokens
// are taken as they are, RFC 2231 forms (name*=charset'lang'%xx, name*0, name*1*, ...) are
// joined and decoded into UTF-8 from their charset. Plain values are the bytes as sent, not
// converted (a boundary is bytes). Encoded words are not decoded (a boundary may look like one). Returns
// true when the parameter is present; otherwise `value` := empty.
bool ParamValue(std::string_view text, std::string_view name, std::string& value);

// Lower-cases ASCII letters only (8-bit text keeps its other bytes).
std::string asciiLower(std::string_view text);

} // namespace tavik
