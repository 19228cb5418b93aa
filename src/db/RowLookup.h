// What a row statement is, and whether a row whose commit got no answer is
// in the database after all.
#pragma once

#include "db/SessionDB.h"

#include <functional>
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
// column under an index: a commit that got no answer is settled by looking
// its rows' marks up, and a row equal in every value to an earlier one is
// still told apart from it.
extern const char* const RowMarkColumn;
// The column's definition, for CREATE TABLE and ALTER TABLE ... ADD.
extern const char* const RowMarkDefinition;
// A mark no other row has: 128 random bits in hexadecimal digits.
std::string NewRowMark();
std::string RowMarkIndexName(const std::string& table);
std::string RowMarkIndexStatement(const std::string& table);

using TableColumns = std::function<std::vector<std::string>(const std::string& table)>;

// The query that counts the rows equal in every value given to those the
// insert writes (a generated key is not compared), or "" when the statement
// is no insert of values. `columns` gives a table's columns in order.
std::string RowLookupQuery(const std::string& insert, const TableColumns& columns);

// Whether each insert is there: true or false (false also for a statement
// that cannot be looked up, which is then written again). An insert that
// gives its row a mark, or its primary key, is looked up by it through the
// index, many in one query; any other by its values, counted as often as it
// comes. False when the connection went meanwhile.
bool RowsPresent(SessionDB& session, const std::vector<std::string>& inserts, std::vector<bool>& present);

// Says in the log that a row statement was not written, with its values.
void LogRowNotWritten(const std::string& statement);

} // namespace db
