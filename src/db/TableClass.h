// The common shape of the table and view classes: a session on the main
// connection, the table's name, and the way a table is created and a row is
// inserted under a key drawn from the table's generator.
#pragma once

#include "db/SessionDB.h"
#include "db/SqlText.h"

#include <functional>

class ServiceTableDB : public SessionDB {
  public:
    ServiceTableDB(const std::string& host, const std::string& path, const std::string& user,
                   const std::string& password, const char* tableName);

    std::string TableName;

  protected:
    // CREATE TABLE (committed only on success), the generator, its start at
    // 0 and the trigger; the trigger's result is the operation's.
    int createTable(const std::string& createText, const std::string& triggerText);
    // Draws a key with `generatorQuery`; runs the insert that `buildInsert`
    // makes for that key; the key reaches `keyField` only when the insert
    // succeeded. -1 when the generator gives no row.
    int insertWithNewKey(const std::string& generatorQuery, std::string& keyField,
                         const std::function<std::string(const std::string& key)>& buildInsert);
};

// Reads a text field for a statement: quoted on a copy, never in place.
inline std::string Q(const std::string& value) {
    return QuoteSql(value);
}

namespace db {
// The trigger that fills the key column from the table's generator; the
// older tables write the assignment without blanks around "=".
std::string TriggerText(const std::string& table, const char* keyColumn, bool spaced);
// "SELECT GEN_ID(ID_<table>, 1) AS NEW_VALUE FROM RDB$DATABASE"
std::string GeneratorQuery(const std::string& table);
} // namespace db
