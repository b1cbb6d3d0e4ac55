// RC4 and the line cipher of message bodies: every line is enciphered on its own under an 8-byte
// key formed from a password, NUL bytes of the cipher text escaped as the two bytes 1, 1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavik {

// The permutation S (bytes 0-255) followed by the copy of S saved right after key setup.
struct RC4State {
    std::array<std::uint8_t, 512> bytes{};
};

// Length of the key formed from a password.
inline constexpr std::size_t kMessageKeyLength = 8;

// Standard RC4 key setup over S, then saves S. Throws std::invalid_argument
// "RC4: Invalid key length" unless 1 <= keyLength <= 256.
void RC4Init(RC4State& state, const std::uint8_t* key, std::size_t keyLength);
// XORs the RC4 keystream over `count` bytes; `input` and `output` may be the same buffer. The
// indices start at 0 on every call while S goes on from its contents, so a call right after
// RC4Init or RC4Reset is plain RC4 from its first byte.
void RC4Crypt(RC4State& state, const std::uint8_t* input, std::uint8_t* output, std::size_t count);
// Copies the saved S back over S.
void RC4Reset(RC4State& state);
// Overwrites the whole state with 255 so no key material stays in memory.
void RC4Burn(RC4State& state);
// True when the published 5-byte-key vector enciphers and deciphers correctly.
bool RC4SelfTest();

// The key of a password: its first 8 bytes; a shorter password is followed by one NUL and then
// blanks up to 8 bytes.
std::array<std::uint8_t, kMessageKeyLength> messageKey(std::string_view password);

// Enciphers one line (the same call deciphers): pairs 1, 1 of the text are read as NUL, the
// result's NUL bytes are written as 1, 1. Lines of any length go in one pass.
std::string EncipherLine(std::string_view text, std::string_view password);

// What keeps an enciphered line from coming back as it was, for the composition window's warning.
enum class CipherLineRisk {
    None,             // stored and read back, the line deciphers to the text
    LostInEscape,     // the escape cannot carry the cipher text (a 1 before a 0 or a 1, or a NUL
                      // in the text): it deciphers to something else
    SplitByStore,     // the cipher text holds CR LF, where the stored message splits the line
    LoneLineBreak,    // the cipher text holds a lone CR or LF: kept by the store, but split by
                      // readers that also end lines at LF alone
};
// The first risk that enciphering `text` under `password` runs into.
CipherLineRisk cipherLineRisk(std::string_view text, std::string_view password);

} // namespace tavik
