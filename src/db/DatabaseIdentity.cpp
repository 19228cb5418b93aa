// What a database is, read from the database itself: the settings may reach
// one database by many spellings ("127.0.0.1/3050:x", "localhost:x", an
// alias, the embedded path), and two databases by one.
#include "base/DiagnosticLog.h"
#include "db/DrawnKeys.h"
#include "db/SessionDB.h"
#include "db/SqlText.h"

#include <map>
#include <mutex>

namespace db {

namespace {

bool stamped(const std::string& identity);

// One row: the stamp of this database, and the file it was given for. A
// copy under another file name (a backup restored as a new database) is
// another database and gets a stamp of its own at its first attach.
constexpr const char* StampTable = "CREATE TABLE DatabaseStamp (nOne SMALLINT NOT NULL PRIMARY KEY CHECK "
                                   "(nOne = 1), sId VARCHAR(36) NOT NULL, sFile VARCHAR(255) CHARACTER SET "
                                   "UNICODE_FSS NOT NULL)";
constexpr const char* Restamp =
    "EXECUTE BLOCK AS BEGIN DELETE FROM DatabaseStamp WHERE sFile IS DISTINCT FROM (SELECT MON$DATABASE_NAME "
    "FROM MON$DATABASE); INSERT INTO DatabaseStamp (nOne, sId, sFile) SELECT 1, UUID_TO_CHAR(GEN_UUID()), "
    "MON$DATABASE_NAME FROM MON$DATABASE WHERE NOT EXISTS (SELECT 1 FROM DatabaseStamp); END";
// To the ten-thousandth of a second: a restore made within the second of
// the database's creation is another database all the same. Room for a time
// zone, where the server gives the stamp one.
constexpr const char* ReadIdentity =
    "SELECT d.MON$DATABASE_NAME || '|' || COALESCE(s.sId, '') || '@' || CAST(d.MON$CREATION_DATE AS "
    "VARCHAR(64)) FROM MON$DATABASE d LEFT JOIN DatabaseStamp s ON s.sFile = d.MON$DATABASE_NAME";

// Without the stamp's table (a user that may not make one): the file and
// its creation stamp alone.
constexpr const char* ReadUnstampedIdentity =
    "SELECT MON$DATABASE_NAME || '|@' || CAST(MON$CREATION_DATE AS VARCHAR(64)) FROM MON$DATABASE";

constexpr std::size_t StampLength = 36;

std::mutex stampsMutex;
// The stamp each database file was last seen with, in this run or by the
// keys the journal kept.
std::map<std::string, std::string>& knownStamps() {
    static std::map<std::string, std::string> stamps;
    return stamps;
}

std::string stampOf(const std::string& identity) {
    const std::string place = PlaceOfIdentity(identity);
    return place.substr(place.rfind('|') + 1);
}

// A database without any stamp (made, or backed up, before the program kept
// one) takes the one last seen at its file: it is that database, restored
// perhaps. A stamp given for another file means a copy: a new one.
std::string stampStatement(SessionDB& session, const std::string& file) {
    TStringList rows;
    session.SetResultStrings(&rows);
    const int counted = session.ExecuteSQL("SELECT COUNT(*) FROM DatabaseStamp");
    session.SetResultStrings(nullptr);
    std::string known;
    if (counted == 0 && !rows.empty() && rows.front() == "0") {
        std::lock_guard lock(stampsMutex);
        const auto found = knownStamps().find(file);
        if (found != knownStamps().end())
            known = found->second;
    }
    if (known.empty())
        return Restamp;
    return "INSERT INTO DatabaseStamp (nOne, sId, sFile) SELECT 1, '" + DoubleQuotes(known) +
           "', MON$DATABASE_NAME FROM MON$DATABASE WHERE NOT EXISTS (SELECT 1 FROM DatabaseStamp)";
}

std::string read(SessionDB& session, const char* query = ReadIdentity) {
    TStringList found;
    session.SetResultStrings(&found);
    const int result = session.ExecuteSQL(query);
    session.SetResultStrings(nullptr);
    return result != 0 || found.empty() ? std::string() : found.front();
}

// "host:path@created", or a bare "host:path" handed on before any attach.
bool stamped(const std::string& identity) {
    const std::size_t at = identity.rfind('@');
    const std::size_t bar = identity.rfind('|', at);
    return at != std::string::npos && bar != std::string::npos && at - bar - 1 <= StampLength;
}

std::string createdOf(const std::string& identity) {
    const std::size_t at = identity.rfind('@');
    return at == std::string::npos ? std::string() : identity.substr(at + 1);
}

} // namespace

std::string DatabaseIdentity(SessionDB& session, const ConnectionSettings&) {
    std::string identity = read(session);
    if (identity.empty() && session.Handle() != nullptr && *session.Handle() != 0) {
        // The table is made here too: the row writer may attach before the
        // structure check has run.
        if (session.ExecuteDDL(StampTable) != 0)
            base::WriteLog(2, "%s", "Tabela DatabaseStamp nie została utworzona (może już jest)");
        identity = read(session);
        if (identity.empty() && *session.Handle() != 0)
            identity = read(session, ReadUnstampedIdentity);
    }
    if (identity.empty() || identity.find("|@") == std::string::npos) {
        NoteDatabaseSeen(identity);
        return identity;
    }
    // Without a stamp of its own (new, or a copy): given one. A database
    // that cannot take it is known by its file and creation stamp alone.
    if (session.ExecuteSQL(stampStatement(session, NameOfIdentity(identity))) != 0)
        base::WriteLog(2, "%s", "Nie zapisano znacznika tożsamości bazy danych");
    const std::string again = read(session);
    if (again.empty())
        return identity;
    NoteDatabaseSeen(again);
    return again;
}

std::string ServerFileOf(SessionDB& session) {
    return read(session, "SELECT MON$DATABASE_NAME FROM MON$DATABASE");
}

void NoteDatabaseSeen(const std::string& identity) {
    if (!stamped(identity) || stampOf(identity).empty())
        return;
    std::lock_guard lock(stampsMutex);
    knownStamps()[NameOfIdentity(identity)] = stampOf(identity);
}

std::string PlaceOfDatabase(const ConnectionSettings& database) {
    return (database.host.empty() ? std::string() : database.host + ":") + database.path;
}

std::string PlaceOfIdentity(const std::string& identity) {
    return identity.substr(0, identity.rfind('@'));
}

std::string NameOfIdentity(const std::string& identity) {
    const std::string place = PlaceOfIdentity(identity);
    return stamped(identity) ? place.substr(0, place.rfind('|')) : place;
}

Kinship KinshipOf(const std::string& home, const std::string& here, const std::string& placeNow) {
    if (home.empty() || home == here)
        return Kinship::Same;
    if (stamped(home))
        return PlaceOfIdentity(home) == PlaceOfIdentity(here) ? Kinship::Restored : Kinship::Other;
    // Of an earlier version: the creation stamp tells the database however
    // its server was spelled; else the spelling decides, as it did then.
    const std::string created = createdOf(home);
    if (!created.empty() && created == createdOf(here))
        return Kinship::Same;
    if (placeNow.empty() || PlaceOfIdentity(home) != placeNow)
        return Kinship::Other;
    return home.find('@') == std::string::npos ? Kinship::Same : Kinship::Restored;
}

} // namespace db
