#include "db/DrawnKeys.h"

#include "base/DiagnosticLog.h"
#include "db/SessionDB.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>

namespace db {

namespace {

std::mutex drawnMutex;
std::map<std::string, std::int64_t>& highestDrawn() {
    static std::map<std::string, std::int64_t> drawn;
    return drawn;
}

DrawnKeyTable& keptDrawn() {
    static DrawnKeyTable kept;
    return kept;
}

// Generators are named without regard to case.
std::string generatorName(const std::string& generator) {
    std::string name;
    for (const char c : generator)
        if (c != ' ')
            name += char(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

// The highest keys drawn in `identity`'s database under any creation stamp
// (`itself`), or under every other one.
std::map<std::string, std::int64_t> keysOfKin(const std::string& identity, bool itself) {
    std::map<std::string, std::int64_t> keys;
    std::lock_guard lock(drawnMutex);
    for (const auto& [kept, generators] : keptDrawn()) {
        const Kinship kin = KinshipOf(kept, identity, {});
        if (kin == Kinship::Other || (!itself && kin == Kinship::Same))
            continue;
        for (const auto& [generator, key] : generators)
            keys[generator] = std::max(keys[generator], key);
    }
    return keys;
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
    DbHandle handle = 0;
    int result = 0;
    {
        SessionDB session(database.host, database.path, database.user, database.password, &handle, false);
        if (handle == 0)
            return session.LastCode != 0 ? session.LastCode : -1;
        // This run's keys, and those the earlier runs drew in this database.
        std::map<std::string, std::int64_t> drawn = KeysDrawn();
        const std::string identity = DatabaseIdentity(session, database);
        if (!identity.empty())
            for (const auto& [generator, highest] : KeysDrawnIn(identity))
                drawn[generator] = std::max(drawn[generator], highest);
        result = MoveGeneratorsPast(session, drawn);
    }
    SessionDB::DetachOrAbandon(&handle);
    return result;
}

std::string IdentityWithGeneratorsMoved(SessionDB& session, const ConnectionSettings& database) {
    const std::string identity = DatabaseIdentity(session, database);
    if (!identity.empty() && session.Handle() != nullptr && *session.Handle() != 0)
        MoveGeneratorsPast(session, KeysDrawnIn(identity));
    return identity;
}

int MoveGeneratorsPast(SessionDB& session, const std::map<std::string, std::int64_t>& keys) {
    int result = 0;
    for (const auto& [generator, highest] : keys) {
        TStringList now;
        session.SetResultStrings(&now);
        int moved = session.ExecuteSQL("SELECT GEN_ID(" + generator + ", 0) FROM RDB$DATABASE");
        session.SetResultStrings(nullptr);
        if (moved == 0 && (now.empty() || std::atoll(now.front().c_str()) >= highest))
            continue;
        const std::string past = std::to_string(highest);
        // Another client may draw meanwhile: the generator moves only by
        // what it still lacks.
        if (moved == 0)
            moved = session.ExecuteSQL("EXECUTE BLOCK AS DECLARE now BIGINT; BEGIN now = GEN_ID(" +
                                       generator + ", 0); IF (now < " + past + ") THEN now = GEN_ID(" +
                                       generator + ", " + past + " - now); END");
        if (moved == 0)
            base::WriteLog(2, "Generator %s odtworzonej bazy danych przesunięty za klucz %s",
                           generator.c_str(), past.c_str());
        else {
            base::WriteLog(2, "Nie przesunięto generatora %s bazy danych za klucz %s (kod %d)",
                           generator.c_str(), past.c_str(), moved);
            if (result == 0)
                result = moved;
        }
    }
    return result;
}

void NoteKeyDrawnIn(const std::string& identity, const std::string& generator, std::int64_t key) {
    NoteKeyDrawn(generator, key);
    if (identity.empty() || generator.empty())
        return;
    std::lock_guard lock(drawnMutex);
    auto& highest = keptDrawn()[identity][generatorName(generator)];
    highest = std::max(highest, key);
}

void RememberKeysDrawn(const DrawnKeyTable& kept) {
    for (const auto& [identity, generators] : kept)
        NoteDatabaseSeen(identity);
    std::lock_guard lock(drawnMutex);
    for (const auto& [identity, generators] : kept)
        for (const auto& [generator, key] : generators) {
            auto& highest = keptDrawn()[identity][generatorName(generator)];
            highest = std::max(highest, key);
        }
}

std::map<std::string, std::int64_t> KeysDrawnIn(const std::string& identity) {
    return keysOfKin(identity, true);
}

std::map<std::string, std::int64_t> KeysDrawnBeforeRestore(const std::string& identity) {
    return keysOfKin(identity, false);
}

} // namespace db
