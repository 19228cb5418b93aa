#include "db/DrawnKeys.h"

#include "base/DiagnosticLog.h"
#include "db/SessionDB.h"

#include <mutex>

namespace db {

namespace {

std::mutex drawnMutex;
std::map<std::string, std::int64_t>& highestDrawn() {
    static std::map<std::string, std::int64_t> drawn;
    return drawn;
}

} // namespace

std::string GeneratorOfQuery(const std::string& query) {
    const auto open = query.find("GEN_ID(");
    if (open == std::string::npos)
        return {};
    const auto from = open + 7;
    const auto comma = query.find(',', from);
    return comma == std::string::npos ? std::string() : query.substr(from, comma - from);
}

std::string DrawKeysQuery(const std::string& generator, std::size_t count) {
    return "SELECT GEN_ID(" + generator + ", " + std::to_string(count) + ") AS NEW_VALUE FROM RDB$DATABASE";
}

void NoteKeyDrawn(const std::string& generator, std::int64_t key) {
    if (generator.empty())
        return;
    std::lock_guard lock(drawnMutex);
    auto& highest = highestDrawn()[generator];
    highest = std::max(highest, key);
}

std::map<std::string, std::int64_t> KeysDrawn() {
    std::lock_guard lock(drawnMutex);
    return highestDrawn();
}

int MoveGeneratorsPastDrawnKeys(const ConnectionSettings& database) {
    const std::map<std::string, std::int64_t> drawn = KeysDrawn();
    if (drawn.empty())
        return 0;
    DbHandle handle = 0;
    int result = 0;
    {
        SessionDB session(database.host, database.path, database.user, database.password, &handle, false);
        if (handle == 0)
            return session.LastCode != 0 ? session.LastCode : -1;
        for (const auto& [generator, highest] : drawn) {
            const std::string past = std::to_string(highest);
            const int moved = session.ExecuteSQL(
                "EXECUTE BLOCK AS DECLARE now BIGINT; BEGIN now = GEN_ID(" + generator + ", 0); IF (now < " +
                past + ") THEN now = GEN_ID(" + generator + ", " + past + " - now); END");
            if (moved == 0)
                base::WriteLog(2, "Generator %s odtworzonej bazy danych przesunięty za klucz %s",
                               generator.c_str(), past.c_str());
            else if (result == 0)
                result = moved;
        }
    }
    SessionDB::DetachOrAbandon(&handle);
    return result;
}

std::string DatabaseIdentity(SessionDB& session, const ConnectionSettings& database) {
    TStringList created;
    session.SetResultStrings(&created);
    // To the ten-thousandth of a second: a restore made within the second
    // of the database's creation is another database all the same. Room
    // for a time zone, where the server gives the stamp one.
    const int result = session.ExecuteSQL("SELECT CAST(MON$CREATION_DATE AS VARCHAR(64)) FROM MON$DATABASE");
    session.SetResultStrings(nullptr);
    if (result != 0 || created.empty())
        return {};
    return PlaceOfDatabase(database) + "@" + created.front();
}

std::string PlaceOfDatabase(const ConnectionSettings& database) {
    return (database.host.empty() ? std::string() : database.host + ":") + database.path;
}

std::string PlaceOfIdentity(const std::string& identity) {
    return identity.substr(0, identity.rfind('@'));
}

} // namespace db
