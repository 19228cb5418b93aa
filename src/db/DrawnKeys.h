// The keys this run drew from the database's generators, and where a
// database came from: a restored database's generators stand where its
// backup left them, so they are moved past every key drawn before, and no
// key is given to two rows.
#pragma once

#include "db/DatabaseHost.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class SessionDB;

namespace db {

// The generator a query of GeneratorQuery's form draws from ("ID_SMS"), ""
// when it names none.
std::string GeneratorOfQuery(const std::string& query);
// Draws `count` keys at once: the query's value is the last of them.
std::string DrawKeysQuery(const std::string& generator, std::size_t count);
void NoteKeyDrawn(const std::string& generator, std::int64_t key);
// The highest key this run drew from each generator.
std::map<std::string, std::int64_t> KeysDrawn();
// Moves every generator this run drew from past the highest key it gave;
// 0, or the first failure's status.
int MoveGeneratorsPastDrawnKeys(const ConnectionSettings& database);

// Tells a database apart from another one, and from itself restored,
// whatever the settings call its server: "file|stamp@created", the file as
// its server names it (MON$DATABASE_NAME), the stamp the program keeps in
// the database's own table (a restore carries it; a copy under another file
// name gets a new one) and its creation stamp (a restore makes a new one).
// "" when it cannot be read.
std::string DatabaseIdentity(SessionDB& session, const ConnectionSettings& database);
// DatabaseIdentity; before the connection draws a key (its tables' triggers
// draw them too), the generators move past every key drawn in that
// database: a restore, whenever it ran, set them back.
std::string IdentityWithGeneratorsMoved(SessionDB& session, const ConnectionSettings& database);
// The database's file as its server names it (MON$DATABASE_NAME); "" when
// it cannot be read. What a restore cut short leaves keeps this name.
std::string ServerFileOf(SessionDB& session);
// The database's file was last seen with this identity's stamp.
void NoteDatabaseSeen(const std::string& identity);
// "host:path", or the path alone for the embedded engine.
std::string PlaceOfDatabase(const ConnectionSettings& database);
// The part of an identity a restore keeps.
std::string PlaceOfIdentity(const std::string& identity);
// The database as a reader of the log knows it: the file as its server
// names it (or, in an identity of an earlier version, as the settings did).
std::string NameOfIdentity(const std::string& identity);

enum class Kinship { Same, Restored, Other };
// How the database `home` stands to `here`, attached through the settings'
// `placeNow`. An identity of an earlier version ("host:path@created") is
// this database when its creation stamp is this one's, and otherwise
// compared as it was then: by the settings' spelling of the place.
Kinship KinshipOf(const std::string& home, const std::string& here, const std::string& placeNow);

// The highest keys drawn in each database (by identity), kept across runs.
using DrawnKeyTable = std::map<std::string, std::map<std::string, std::int64_t>>;
void NoteKeyDrawnIn(const std::string& identity, const std::string& generator, std::int64_t key);
void RememberKeysDrawn(const DrawnKeyTable& kept);
// The highest keys drawn in `identity`'s database, restored or not.
std::map<std::string, std::int64_t> KeysDrawnIn(const std::string& identity);
// Those drawn in it before a restore made it what it is now: their rows
// may be gone.
std::map<std::string, std::int64_t> KeysDrawnBeforeRestore(const std::string& identity);
// Moves each of the session's database's generators that stands below the
// highest key drawn in it past that key; 0, or the first failure's status.
int MoveGeneratorsPast(SessionDB& session, const std::map<std::string, std::int64_t>& keys);

} // namespace db
