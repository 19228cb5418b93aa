// Building SQL texts: the quoting of values from outside and printf-style
// formatting of our own statement templates into a text of any length.
#pragma once

#include "base/DiagnosticLog.h"

#include <string>

// The value without blanks and control characters at both ends and with
// every single quote doubled, for use inside an SQL text literal.
std::string QuoteSql(const std::string& value);
// The value without blanks and control characters at both ends.
std::string TrimSqlValue(const std::string& value);
// Doubles every single quote. A NUL would be lost in the printf-style
// formatting of statements, so it is carried as QuotedNul, which the session
// refuses to send.
std::string DoubleQuotes(const std::string& text);
// A name as a quoted identifier: in double quotes, each double quote doubled.
std::string QuoteIdentifier(const std::string& name);
// The overlong two-byte form of NUL: never part of valid UTF-8 text.
inline constexpr char QuotedNul[] = "\xC0\x80";

namespace db {
// Formats one of the program's own statement templates; values from outside
// go in as arguments only, quoted first.
std::string SqlFormat(const char* format, ...) HALVEX_PRINTF(1, 2);
} // namespace db
