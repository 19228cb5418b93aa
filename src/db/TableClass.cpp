#include "db/TableClass.h"

#include "base/DiagnosticLog.h"
#include "db/DrawnKeys.h"
#include "platform/WireCodePage.h"

namespace {
thread_local DbHandle* tableConnection = &MainDbHandle;
} // namespace

db::TableConnectionScope::TableConnectionScope(DbHandle* handle) : previous_(tableConnection) {
    tableConnection = handle;
}

db::TableConnectionScope::~TableConnectionScope() {
    tableConnection = previous_;
}

ServiceTableDB::ServiceTableDB(const std::string& host, const std::string& path, const std::string& user,
                               const std::string& password, const char* tableName)
    : SessionDB(host, path, user, password, tableConnection, true), TableName(tableName) {}

int ServiceTableDB::createTable(const std::string& createText, const std::string& triggerText) {
    // The generator statements may fail unseen (a generator left by an
    // earlier attempt); a table that could not be made fails the step even
    // when its trigger could still be made (on a view of the same name).
    const int created = ExecuteDDL(createText);
    ExecuteSQL(db::SqlFormat("CREATE GENERATOR ID_%s; ", TableName.c_str()));
    ExecuteSQL(db::SqlFormat("SET GENERATOR ID_%s TO 0; ", TableName.c_str()));
    const int trigger = ExecuteSQL(triggerText);
    return created != 0 ? created : trigger;
}

int ServiceTableDB::insertWithNewKey(const std::string& generatorQuery, const char* keyColumn,
                                     std::string& keyField,
                                     const std::function<std::string(const std::string& key)>& buildInsert,
                                     const db::RowFollower& written, const std::function<void()>& waiting) {
    auto* database = db::MainDatabase::Current();
    if (written && database && Handle() == &MainDbHandle) {
        const bool atOnce = database->RowsWrittenAtOnce();
        db::RoadRow row = db::RoadRow::Keyed(generatorQuery, buildInsert(db::RowKeyMarker), written);
        row.token = RowToken;
        row.subject = db::RowOfKey(TableName, keyColumn, db::KeyOfRow(RowToken));
        if (atOnce)
            row.waiting = waiting;
        database->HandRows({std::move(row)});
        return atOnce ? db::RowWrittenLater : db::RowKeptForReturn;
    }
    TStringList keys;
    ResultStrings = &keys;
    const int drawn = ExecuteSQL(generatorQuery);
    ResultStrings = nullptr;
    if (drawn != 0)
        return drawn;
    if (keys.empty())
        return -1;
    db::NoteKeyDrawn(db::GeneratorOfQuery(generatorQuery), std::atoll(keys.front().c_str()));
    const int result = ExecuteSQL(buildInsert(keys.front()));
    if (result == 0)
        keyField = keys.front();
    return result;
}

namespace db {

std::string CutText(const std::string& value, std::size_t chars) {
    // Cut after trimming and before doubling quotes: the column counts the
    // value's characters, not those of the literal.
    return DoubleQuotes(platform::utf8Left(TrimSqlValue(value), chars));
}

std::string NumberOrZero(const std::string& value) {
    const std::string trimmed = TrimSqlValue(value);
    return trimmed.empty() ? "0" : DoubleQuotes(trimmed);
}

std::string NumberOrNull(const std::string& value) {
    const std::string trimmed = TrimSqlValue(value);
    return trimmed.empty() ? "NULL" : "'" + DoubleQuotes(trimmed) + "'";
}

std::string TriggerText(const std::string& table, const char* keyColumn, bool spaced) {
    const char* t = table.c_str();
    if (spaced)
        return SqlFormat("CREATE TRIGGER TRIGGER_%s FOR %s ACTIVE  BEFORE  INSERT  POSITION 0 AS BEGIN if "
                         "(new.%s is null) then new.%s = GEN_ID(ID_%s,1); END ",
                         t, t, keyColumn, keyColumn, t);
    return SqlFormat("CREATE TRIGGER TRIGGER_%s FOR %s ACTIVE  BEFORE  INSERT  POSITION 0 AS BEGIN if "
                     "(new.%s is null) then new.%s=GEN_ID(ID_%s,1); END ",
                     t, t, keyColumn, keyColumn, t);
}

std::string GeneratorQuery(const std::string& table) {
    return "SELECT GEN_ID(ID_" + table + ", 1) AS NEW_VALUE FROM RDB$DATABASE";
}

} // namespace db
