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

// The query that counts the rows equal in every value given to those the
// insert writes (a generated key is not compared), or "" when the statement
// is no insert of values. `columns` gives a table's columns in order.
std::string RowLookupQuery(const std::string& insert,
                           const std::function<std::vector<std::string>(const std::string& table)>& columns);

// Whether the insert is there at least `times` times: 1 yes, 0 no (also
// for a statement that cannot be looked up, which is then written again),
// -1 when the connection went meanwhile.
int RowPresent(SessionDB& session, const std::string& insert, long times);

// Says in the log that a row statement was not written, with its values.
void LogRowNotWritten(const std::string& statement);

} // namespace db
