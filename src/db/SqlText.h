// Building SQL texts: the quoting of values from outside and printf-style
// formatting of our own statement templates into a text of any length.
#pragma once

#include "shell/DiagnosticLog.h"

#include <string>

// The value without blanks and control characters at both ends and with
// every single quote doubled, for use inside an SQL text literal.
std::string QuoteSql(const std::string& value);
// The value without blanks and control characters at both ends.
std::string TrimSqlValue(const std::string& value);

namespace db {
// Formats one of the program's own statement templates; values from outside
// go in as arguments only, quoted first.
std::string SqlFormat(const char* format, ...) HALVEX_PRINTF(1, 2);
} // namespace db
