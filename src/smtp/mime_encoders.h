// Encoders of outgoing mail: base64, quoted-printable, uuencode, RFC 2047 encoded words and the
// header lines built from them. Text is UTF-8; text that is not (an old 8-bit stored copy) is
// read by the storedText rule first, so encoded words always carry, and name, UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

// The multipart boundary of every message the program writes.
inline constexpr std::string_view kBoundary = "==============ghyurgtfy573======___";
// Longest line the session's SendLine carries; it would cut a longer one.
inline constexpr std::size_t kMaxCommandLine = 253;
// Longest encoded word RFC 2047 allows.
inline constexpr std::size_t kMaxEncodedWord = 75;
// Length folded header lines aim at (RFC 5322's recommendation); a longer word may exceed it.
inline constexpr std::size_t kFoldTarget = 78;
// Input bytes of one 76-character base64 line.
inline constexpr std::size_t kBase64LineBytes = 57;
// Input bytes of one full uuencoded line ("M" and 60 characters).
inline constexpr std::size_t kUuLineBytes = 45;

// Characters base64 gives for `n` input bytes, padding included.
constexpr std::size_t base64EncodedSize(std::size_t n) { return (n + 2) / 3 * 4; }
// Encodes `n` bytes into `out` (room for base64EncodedSize(n)); "=" pads the last group.
// Returns the characters written.
std::size_t base64Encode(const unsigned char* in, std::size_t n, char* out);
// The base64 form of `bytes` as one run of characters, no line breaks.
std::string base64Encode(std::string_view bytes);
// Appends the base64 form of `n` bytes to `out` in lines of 76 characters, each ended by CR LF;
// the last line may be shorter. Gives what a part's data lines are, block by block, when every
// block but the last is a multiple of 57 bytes.
void base64EncodeLines(const unsigned char* in, std::size_t n, std::string& out);

// The quoted-printable encoder of bodies and attachments. Bytes 33 to 126 except "=" pass;
// every other byte (line breaks included) becomes "=XX"; a soft break "=" CR LF follows once the
// column passes 70. The column carries over from one call to the next, so a text encoded in
// chunks gives the same output as in one piece.
class QuotedPrintableEncoder {
public:
    // Starts a new text at column 0.
    void reset() { column_ = 0; }
    // Appends the encoding of `n` bytes to `out`.
    void encode(const char* in, std::size_t n, std::string& out);
    // Characters written since the last soft break.
    unsigned column() const { return column_; }

private:
    unsigned column_ = 0;
};

// The quoted-printable form of `bytes`, starting at column 0.
std::string encodeQuotedPrintable(std::string_view bytes);

// Appends the uuencoded lines of one block to `out`: a line "M" + 60 characters per 45 bytes,
// then one line for the remaining 1 to 44 bytes (length character, 4 characters per 3 bytes,
// the last group filled up with spaces). Each line ends with CR LF; value 0 is a space.
void uuencodeBlock(const unsigned char* in, std::size_t n, std::string& out);

// The name a uuencoded part is announced under: `name` without everything from its last ".",
// followed by ".uue" ("photo.jpg" gives "photo.uue").
std::string UueName(std::string_view name);

// How a value is encoded, by where it stands: unstructured text, a display name (a phrase, whose
// specials , ; : < > @ ( ) [ ] \ and the double quote are hex-encoded in Q words), or the value
// of a quoted parameter (double quote and backslash hex-encoded; Q words only).
enum class WordContext { Text, Phrase, Parameter };

// Longest line that holds encoded words (RFC 2047); the first line of a field also holds its name.
inline constexpr std::size_t kMaxEncodedLine = 76;

// `text` read by the storedText rule and split into UTF-8 encoded words ("=?UTF-8?B?" or
// "=?UTF-8?Q?" ... "?="), each holding whole characters, so no word ends inside a UTF-8 sequence
// or an "=XX". B or Q, whichever gives the shorter words for the whole text (Q when equal;
// always Q for a parameter). Every word has at most kMaxEncodedWord characters, the first at
// most `firstWord` (at least room for one character is assumed). Q: a space becomes "_", 33 to
// 126 except "=", "?", "_" and the context's specials stay, every other byte is "=XX".
std::vector<std::string> splitEncodedWords(std::string_view text, WordContext context,
                                           std::size_t firstWord = kMaxEncodedWord);

// `text` (read by the storedText rule) unchanged when every byte is below 127; otherwise its
// encoded words (splitEncodedWords) joined by blanks.
std::string EncodeWord(std::string_view text);

// `text` with every line break (CR LF, a lone CR, a lone LF) replaced by one blank, so that no
// value can end a header line and start another.
std::string withoutLineBreaks(std::string_view text);

// A header line ready for the wire, as text whose physical lines are joined by CR LF (no final
// CR LF). The line loses its line breaks first. Without ": " it is returned as it is (folded at
// blanks when longer than kMaxCommandLine). Otherwise: the part up to and including the first
// ": ", then the rest, then two blanks. A rest with a byte of 127 or more goes as encoded words,
// one per folded line, each line at most kMaxEncodedLine before the two blanks; an ASCII rest
// as it is, folded at blanks when the line is longer than kMaxCommandLine, or as encoded words
// when a word is too long to fold.
std::string EncodeHeaderLine(std::string_view line);

// An unstructured header field: `prefix` (e.g. "Content-Description: "), the value and
// `trailer`, encoded and folded as EncodeHeaderLine does.
std::string EncodeUnstructuredLine(std::string_view prefix, std::string_view value, std::string_view trailer);

// A display name as it goes into From, To and cc on one line: unchanged when plain; a quoted
// string when it holds one of , ; : < > @ ( ) [ ] \ or a double quote; encoded words (Phrase)
// joined by blanks when it holds bytes of 127 or more.
std::string EncodeDisplayName(std::string_view name);

// An address header line: prefix + the display name + " <" + address + ">", with line breaks
// removed. A name with bytes of 127 or more goes as encoded words, one per folded line, the
// address after the last one (or on a folded line of its own when that line would pass
// kFoldTarget); a plain name is folded at blanks when the line is longer than kMaxCommandLine.
std::string EncodeAddressLine(std::string_view prefix, std::string_view name, std::string_view address);

// The text between the double quotes of a name= or filename= parameter: the value itself, or,
// when it holds bytes of 127 or more, a double quote or a backslash, one UTF-8 Q word in which
// those two are hex-encoded too.
std::string EncodeParameterValue(std::string_view value);

// A part header line with one quoted parameter: head + "; " + parameter + "=" DQ value DQ, the
// value through EncodeParameterValue. A line longer than kMaxCommandLine puts the parameter on a
// folded line and, when that is still too long, splits the value into encoded words of at most
// 75 characters, one per folded line inside the quotes.
std::string EncodeParameterLine(std::string_view head, std::string_view parameter, std::string_view value);

// The Content-Type line of an attachment with its name= parameter: as EncodeParameterLine for an
// ASCII name; otherwise the name (read by the storedText rule: a name typed or found as UTF-8 is
// taken as UTF-8) as UTF-8 Q words inside the quotes, folded when long.
std::string EncodeNameParameterLine(std::string_view head, std::string_view name);
// The Content-Disposition line with its file name: filename="..." for an ASCII name; otherwise
// RFC 2231's filename*=UTF-8''%XX... of the name read by the storedText rule, in numbered
// sections on folded lines when too long.
std::string EncodeFileNameParameterLine(std::string_view head, std::string_view name);

} // namespace tavik
