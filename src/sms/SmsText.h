// Character helpers the PDU codec shares between its encoder and decoders:
// UTF-8 in and out, the GSM alphabets read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sms::text {

// What a byte that starts no valid UTF-8 sequence reads as.
constexpr char32_t InvalidCodePoint = 0xFFFD;

// The character at `at` (which must be inside the text), moving `at` past it;
// a byte that starts no valid sequence is one invalid character.
char32_t NextCodePoint(std::string_view utf8, std::size_t& at);
void AppendUtf8(std::string& out, char32_t code);
// The character, or '?' when the wire code page lacks it.
void AppendWireChar(std::string& out, char32_t code);
// A septet read back through the default alphabet, and through the extension
// table after an escape.
char32_t Gsm7Default(std::uint8_t septet);
char32_t Gsm7Extension(std::uint8_t septet);

} // namespace sms::text
