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

// Tells a database apart from another one, and from itself restored (its
// creation stamp changes): "host:path@created". "" when it cannot be read.
std::string DatabaseIdentity(SessionDB& session, const ConnectionSettings& database);
// "host:path", or the path alone for the embedded engine.
std::string PlaceOfDatabase(const ConnectionSettings& database);
// The place part of an identity: a restore keeps it.
std::string PlaceOfIdentity(const std::string& identity);

} // namespace db
