// The common shape of the table and view classes: a session on the main
// connection, the table's name, and the way a table is created and a row is
// inserted under a key drawn from the table's generator.
#pragma once

#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "db/SqlText.h"

#include <functional>

namespace db {
// While one lives, the table classes made on this thread work on the given
// connection instead of the main one (a structure check of a database that
// is not the main one).
class TableConnectionScope {
  public:
    explicit TableConnectionScope(DbHandle* handle);
    ~TableConnectionScope();
    TableConnectionScope(const TableConnectionScope&) = delete;
    TableConnectionScope& operator=(const TableConnectionScope&) = delete;

  private:
    DbHandle* previous_;
};
} // namespace db

class ServiceTableDB : public SessionDB {
  public:
    ServiceTableDB(const std::string& host, const std::string& path, const std::string& user,
                   const std::string& password, const char* tableName);

    std::string TableName;
    // Names the key of a row handed to the road, for later rows to refer to
    // (db::KeyOfRow) before it is drawn.
    std::string RowToken;

  protected:
    // CREATE TABLE (committed only on success), the generator, its start at
    // 0 and the trigger; the result is the CREATE TABLE's failure, else the
    // trigger's result.
    int createTable(const std::string& createText, const std::string& triggerText);
    // Draws a key with `generatorQuery`; runs the insert that `buildInsert`
    // makes for that key; the key reaches `keyField` only when the insert
    // succeeded. -1 when the generator gives no row. With `written`, a row
    // of the main connection goes to the road, which draws its key in its
    // turn (RowWrittenLater; RowKeptForReturn when the road cannot write
    // it at once): `written` is told how it ended, `waiting` when it had to
    // wait after all.
    int insertWithNewKey(const std::string& generatorQuery, const char* keyColumn, std::string& keyField,
                         const std::function<std::string(const std::string& key)>& buildInsert,
                         const db::RowFollower& written = {}, const std::function<void()>& waiting = {});
};

// Reads a text field for a statement: quoted on a copy, never in place.
inline std::string Q(const std::string& value) {
    return QuoteSql(value);
}

namespace db {
// The insert is on the road, which cannot write it at once: it waits there.
constexpr int RowKeptForReturn = -2;
// The insert is on the road, which writes it on its own thread.
constexpr int RowWrittenLater = -3;

// Values as their columns take them, for the program's own statement
// templates: a value the column would refuse would lose the whole row.
// A text for a quoted literal, cut to the column's `chars` characters.
std::string CutText(const std::string& value, std::size_t chars);
// A number for a quoted literal of a NOT NULL column: an empty text is 0.
std::string NumberOrZero(const std::string& value);
// A number of a nullable column, with its quotes: an empty text is NULL.
std::string NumberOrNull(const std::string& value);

// The trigger that fills the key column from the table's generator; the
// older tables write the assignment without blanks around "=".
std::string TriggerText(const std::string& table, const char* keyColumn, bool spaced);
// "SELECT GEN_ID(ID_<table>, 1) AS NEW_VALUE FROM RDB$DATABASE"
std::string GeneratorQuery(const std::string& table);
} // namespace db
