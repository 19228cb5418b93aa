// The code page of everything that crosses a byte boundary (client protocol,
// exchange link, database, CSV): Windows-1250, or Windows-1251 when the
// system locale's language is Russian. Inside the program texts are UTF-8.
#pragma once

#include <string>

namespace platform {

enum class WireCodePage { Cp1250, Cp1251 };

WireCodePage wireCodePage();
// For tests and for a settings change: forces the code page.
void setWireCodePage(WireCodePage page);
// "windows-1250" or "windows-1251".
const char* wireCodePageName();
// The Firebird character-set name: "WIN1250" or "WIN1251".
const char* wireCharsetName();

std::string toWire(const std::string& utf8);
// As toWire, but false when a character has no place in the code page (toWire
// would write it as a substitute byte); `wire` is then not to be used.
bool toWireExact(const std::string& utf8, std::string* wire);
std::string fromWire(const std::string& bytes);

// Number of characters (not bytes) of a UTF-8 text.
std::size_t utf8Length(const std::string& utf8);
// The first `maxChars` characters of a UTF-8 text.
std::string utf8Left(const std::string& utf8, std::size_t maxChars);

} // namespace platform
