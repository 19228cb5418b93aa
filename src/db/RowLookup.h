// What a row statement is, and the mark of a call-history row.
#pragma once

#include "db/SessionDB.h"

#include <string>
#include <vector>

namespace db {

// A statement that writes rows, by its first word.
bool IsRowStatement(const std::string& statement);
bool IsInsertStatement(const std::string& statement);
// The table a row statement writes, in upper case ("" when none is named).
std::string TableOfStatement(const std::string& statement);

// A table's rows that have no key before the server draws one (the call
// history) carry a mark made for each row the program writes, in this
// column under an index: a row equal in every value to an earlier one is
// still told apart from it. (A commit that got no answer is settled by its
// own key, CommitKeys.h.)
extern const char* const RowMarkColumn;
// The column's definition, for CREATE TABLE and ALTER TABLE ... ADD.
extern const char* const RowMarkDefinition;
// A mark no other row has: 128 random bits in hexadecimal digits.
std::string NewRowMark();
std::string RowMarkIndexName(const std::string& table);
std::string RowMarkIndexStatement(const std::string& table);

// Says in the log that a row statement was not written, with its values.
void LogRowNotWritten(const std::string& statement);

} // namespace db
