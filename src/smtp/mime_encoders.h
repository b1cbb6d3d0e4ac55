// Encoders of outgoing mail: base64, quoted-printable, uuencode, RFC 2047 encoded words and the
// header lines built from them. Text is 8-bit bytes; encoded words always name ISO-8859-1.
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

// `text` unchanged when every byte is below 127; otherwise one ISO-8859-1 Q-encoded word
// ("=?ISO-8859-1?Q?" ... "?="): a space becomes "_", 33 to 126 except "=", "?" and "_" stay,
// every other byte becomes "=XX". The word is not split.
std::string EncodeWord(std::string_view text);

// `text` with every line break (CR LF, a lone CR, a lone LF) replaced by one blank, so that no
// value can end a header line and start another.
std::string withoutLineBreaks(std::string_view text);

// A header line ready for the wire, as text whose physical lines are joined by CR LF (no final
// CR LF). The line loses its line breaks first. Without ": " it is returned as it is (folded at
// blanks when longer than kMaxCommandLine). Otherwise: the part up to and including the first
// ": ", EncodeWord of the rest, then two blanks. A result longer than kMaxCommandLine is folded
// at blanks when the value is ASCII, else (or when a word is too long to fold) written as several
// encoded words of at most 75 characters, each on its own folded line.
std::string EncodeHeaderLine(std::string_view line);

// An unstructured header field: `prefix` (e.g. "Content-Description: "), EncodeWord(value) and
// `trailer`, folded as EncodeHeaderLine folds.
std::string EncodeUnstructuredLine(std::string_view prefix, std::string_view value, std::string_view trailer);

// A display name as it goes into From, To and cc: unchanged when plain; a quoted string when it
// holds one of , ; : < > @ ( ) [ ] \ or a double quote; an encoded word when it holds bytes of
// 127 or more (those specials then hex-encoded inside the word, as a phrase requires).
std::string EncodeDisplayName(std::string_view name);

// An address header line: prefix + EncodeDisplayName(name) + " <" + address + ">", with line
// breaks removed and folded when longer than kMaxCommandLine (a long encoded name becomes several
// words, the address goes on its own folded line).
std::string EncodeAddressLine(std::string_view prefix, std::string_view name, std::string_view address);

// The text between the double quotes of a name= or filename= parameter: the value itself, or,
// when it holds bytes of 127 or more, a double quote or a backslash, an encoded word in which
// those two are hex-encoded too.
std::string EncodeParameterValue(std::string_view value);

// A part header line with one quoted parameter: head + "; " + parameter + "=" DQ value DQ, the
// value through EncodeParameterValue. A line longer than kMaxCommandLine puts the parameter on a
// folded line and, when that is still too long, splits the value into encoded words of at most
// 75 characters, one per folded line inside the quotes.
std::string EncodeParameterLine(std::string_view head, std::string_view parameter, std::string_view value);

// `name` as UTF-8: itself when it is valid UTF-8 (a name from the file system), else its bytes
// read as ISO-8859-1 (a name typed into a field of the 8-bit windows).
std::string utf8Name(std::string_view name);
// Splits UTF-8 text into UTF-8 Q-encoded words ("=?UTF-8?Q?" ... "?=") of at most
// kMaxEncodedWord characters, each holding whole characters; double quote and backslash encoded.
std::vector<std::string> splitUtf8EncodedWords(std::string_view text);
// The Content-Type line of an attachment with its name= parameter: as EncodeParameterLine for an
// ASCII name; otherwise the UTF-8 name as encoded words inside the quotes (folded when long).
std::string EncodeNameParameterLine(std::string_view head, std::string_view utf8Value);
// The Content-Disposition line with its file name: filename="..." for an ASCII name; otherwise
// RFC 2231's filename*=UTF-8''%XX..., in numbered sections on folded lines when too long.
std::string EncodeFileNameParameterLine(std::string_view head, std::string_view utf8Value);

// Splits `text` into ISO-8859-1 Q-encoded words of at most kMaxEncodedWord characters, never
// inside an "=XX". `phrase` also hex-encodes the specials of display names; `parameter` the
// double quote and backslash of quoted parameter values.
enum class WordContext { Text, Phrase, Parameter };
std::vector<std::string> splitEncodedWords(std::string_view text, WordContext context);

} // namespace tavik
