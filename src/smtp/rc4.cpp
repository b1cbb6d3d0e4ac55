#include "smtp/rc4.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace tavik {

void RC4Init(RC4State& state, const std::uint8_t* key, std::size_t keyLength)
{
    if (keyLength < 1 || keyLength > 256)
        throw std::invalid_argument("RC4: Invalid key length");
    std::uint8_t* s = state.bytes.data();
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<std::uint8_t>(i);
    std::uint8_t j = 0;
    for (std::size_t i = 0; i < 256; ++i) {
        j = static_cast<std::uint8_t>(j + s[i] + key[i % keyLength]);
        std::swap(s[i], s[j]);
    }
    std::copy(s, s + 256, s + 256);
}

void RC4Crypt(RC4State& state, const std::uint8_t* input, std::uint8_t* output, std::size_t count)
{
    std::uint8_t* s = state.bytes.data();
    std::uint8_t i = 0;
    std::uint8_t j = 0;
    for (std::size_t k = 0; k < count; ++k) {
        i = static_cast<std::uint8_t>(i + 1);
        j = static_cast<std::uint8_t>(j + s[i]);
        std::swap(s[i], s[j]);
        output[k] = static_cast<std::uint8_t>(input[k] ^ s[static_cast<std::uint8_t>(s[i] + s[j])]);
    }
}

void RC4Reset(RC4State& state)
{
    std::copy(state.bytes.begin() + 256, state.bytes.end(), state.bytes.begin());
}

void RC4Burn(RC4State& state)
{
    state.bytes.fill(255);
}

bool RC4SelfTest()
{
    // RFC 6229, 40-bit key 0x0102030405: the first keystream bytes, i.e. the cipher of zeros.
    const std::uint8_t key[5] = {0x01, 0x02, 0x03, 0x04, 0x05};
    const std::uint8_t plain[5] = {0x00, 0x00, 0x00, 0x00, 0x00};
    const std::uint8_t cipher[5] = {0xb2, 0x39, 0x63, 0x05, 0xf0};
    RC4State state;
    RC4Init(state, key, sizeof key);
    std::uint8_t out[5];
    RC4Crypt(state, plain, out, sizeof out);
    const bool enciphered = std::equal(out, out + 5, cipher);
    RC4Reset(state);
    RC4Crypt(state, out, out, sizeof out);
    const bool deciphered = std::equal(out, out + 5, plain);
    RC4Burn(state);
    return enciphered && deciphered;
}

std::array<std::uint8_t, kMessageKeyLength> messageKey(std::string_view password)
{
    std::array<std::uint8_t, kMessageKeyLength> key;
    key.fill(' ');
    const std::size_t n = password.size() < kMessageKeyLength ? password.size() : kMessageKeyLength;
    for (std::size_t i = 0; i < n; ++i)
        key[i] = static_cast<std::uint8_t>(password[i]);
    if (n < kMessageKeyLength)
        key[n] = 0;
    return key;
}

std::string EncipherLine(std::string_view text, std::string_view password)
{
    if (text.empty())
        return {};
    std::string buffer;
    buffer.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\1' && i + 1 < text.size() && text[i + 1] == '\1') {
            buffer += '\0';
            ++i;
        } else {
            buffer += text[i];
        }
    }
    const auto key = messageKey(password);
    RC4State state;
    RC4Init(state, key.data(), key.size());
    auto* bytes = reinterpret_cast<std::uint8_t*>(buffer.data());
    RC4Crypt(state, bytes, bytes, buffer.size());
    RC4Reset(state);
    RC4Burn(state);
    std::string out;
    out.reserve(buffer.size() + buffer.size() / 64 + 4);
    for (char c : buffer) {
        if (c == '\0')
            out += "\1\1";
        else
            out += c;
    }
    return out;
}

CipherLineRisk cipherLineRisk(std::string_view text, std::string_view password)
{
    const std::string cipher = EncipherLine(text, password);
    if (EncipherLine(cipher, password) != text)
        return CipherLineRisk::LostInEscape;
    if (cipher.find("\r\n") != std::string::npos)
        return CipherLineRisk::SplitByStore;
    if (cipher.find_first_of("\r\n") != std::string::npos)
        return CipherLineRisk::LoneLineBreak;
    return CipherLineRisk::None;
}

} // namespace tavik
