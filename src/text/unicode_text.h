// Character sets of stored and received text. Stored text is UTF-8; profiles written before
// that hold 8-bit Latin-1, which readers take as Windows-1252 wherever the bytes are not valid
// UTF-8 (field by field, line by line), so nothing is ever rewritten just to convert it.
// Received text is turned into UTF-8 from the charset its message declares, through glibc's
// iconv; only the Windows-1252 fallback is a table of our own, so it works without iconv.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavik {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no sequence cut short. The empty string and pure ASCII are valid.
bool isValidUtf8(std::string_view bytes);

// Reads every byte as Windows-1252 and returns its UTF-8. The five bytes Windows-1252 leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1 controls of the same number.
std::string windows1252ToUtf8(std::string_view bytes);

// The reverse of windows1252ToUtf8: the bytes whose Windows-1252 reading `text` is. False when
// `text` is not valid UTF-8 or holds a character Windows-1252 lacks. Cipher text that arrived
// labelled as 8-bit was turned into UTF-8 like any text; this gives its bytes back.
bool utf8ToWindows1252(std::string_view text, std::string& bytes);

// How readers take stored bytes: the bytes as they are when valid UTF-8, else read as
// Windows-1252. The caller applies it to one field or one line at a time.
std::string storedText(std::string_view bytes);

// Converts `bytes` in the MIME charset `label` to UTF-8. The label is matched without regard
// to case, blanks and quotes around it, and a "*language" suffix (RFC 2231); the names mailers
// really send are known, "gb2312" read as GBK and "ks_c_5601-1987" as CP949, their supersets,
// and ISO-8859-1 as Windows-1252. An unknown or empty label, or bytes the charset cannot
// convert anywhere in them, give storedText of the whole input: text is never lost and never
// turned into "?".
std::string charsetToUtf8(std::string_view bytes, std::string_view label);

// charsetToUtf8 for text that arrives in pieces (lines, decoded chunks). feed() returns the
// UTF-8 of every character complete so far; a multi-byte sequence cut at the end of a piece,
// and the shift state of ISO-2022-JP or UTF-7, wait for the next piece. Fed any split of a
// text that converts, the pieces join to exactly what charsetToUtf8 gives for the whole.
// When a piece does not convert, what was returned before stays, and everything from the
// failing byte on is read by the storedText rule, one piece at a time (a UTF-8 sequence cut at
// a piece's end still waits for the next). finish() ends the text; the decoder then starts
// afresh. UTF-8 and ASCII labels never reach iconv. Feed lines with their line ends: the last
// byte of an old 8-bit line ("René") may begin a UTF-8 sequence and would otherwise wait for
// the next piece.
class CharsetDecoder {
public:
    explicit CharsetDecoder(std::string_view label);
    ~CharsetDecoder();
    CharsetDecoder(CharsetDecoder&& other) noexcept;
    CharsetDecoder& operator=(CharsetDecoder&& other) noexcept;
    CharsetDecoder(const CharsetDecoder&) = delete;
    CharsetDecoder& operator=(const CharsetDecoder&) = delete;

    // True when the label leaves the bytes to the storedText rule (UTF-8, ASCII, unknown or
    // none): a caller holding whole lines may then apply storedText line by line instead.
    bool readsAsStored() const { return initial_ == Mode::Stored; }
    // True while each byte is a character of its own (Windows-1252, and the single-byte
    // charsets iconv reads): every piece then converts whole, so lines need no line ends.
    bool convertsByteByByte() const { return mode_ == Mode::Windows1252 || mode_ == Mode::Table; }
    // The UTF-8 of the characters `bytes` completes.
    std::string feed(std::string_view bytes);
    // The UTF-8 of what is still held: a character the converter kept back, and a cut-off
    // sequence at the very end, read by the storedText rule.
    std::string finish();

private:
    friend std::string charsetToUtf8(std::string_view bytes, std::string_view label);

    enum class Mode { Stored, Windows1252, Table, Utf16, Converter };

    void open(Mode mode);
    void close();
    std::string storedPiece(std::string_view bytes);

    Mode initial_ = Mode::Stored;
    const char* converterName_ = nullptr;
    const void* table_ = nullptr; // a single-byte charset's table, for Mode::Table
    Mode mode_ = Mode::Stored;
    void* converter_ = nullptr; // an iconv_t, open while mode_ is Converter
    std::string carry_;
    bool failed_ = false; // some piece did not convert since construction
};

// The length of the longest prefix of `text` of at most `maxBytes` bytes that does not cut a
// UTF-8 sequence, for fixed-size fields and length-prefixed strings. Text that is not valid
// UTF-8 (old 8-bit data) is cut at `maxBytes` exactly.
std::size_t utf8CutPoint(std::string_view text, std::size_t maxBytes);

// That prefix of `text`.
std::string cutUtf8(std::string_view text, std::size_t maxBytes);

} // namespace tavik
