#include "db/CommitKeys.h"

#include "db/SqlText.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace db {

const char* const CommitKeyTable = "RowCommits";

namespace {

// So many keys go in one query's IN list (the server takes 1500).
constexpr std::size_t KeysPerQuery = 250;

std::string journalLiteral(const std::string& journal) {
    return "'" + QuoteSql(journal) + "'";
}

std::string keyInsert(const CommitKey& key) {
    return std::string("INSERT INTO ") + CommitKeyTable + " (sJournal, nCommit) VALUES (" +
           journalLiteral(key.journal) + ", " + std::to_string(key.number) + ")";
}

std::string keysOf(const std::string& journal) {
    return std::string(" FROM ") + CommitKeyTable + " WHERE sJournal = " + journalLiteral(journal);
}

// The first column of the query's rows; false when it failed.
bool readColumn(SessionDB& session, const std::string& query, std::vector<std::string>& values) {
    std::vector<QueryRow> rows;
    session.SetSqlText(query);
    if (session.RunInReadTransaction([&] { return session.RunQueryToList(&rows); }) != 0)
        return false;
    for (const QueryRow& row : rows)
        values.push_back(row.empty() ? std::string() : row.begin()->second);
    return true;
}

} // namespace

std::string CommitKeyStatement(const CommitKey& key, std::int64_t pruneBelow) {
    if (pruneBelow <= 0)
        return keyInsert(key);
    // A key still held by a transaction the server has not ended (one whose
    // connection was given up) stays for a later commit: the commit goes on.
    return "EXECUTE BLOCK AS BEGIN\n" + keyInsert(key) + ";\nBEGIN\nDELETE" + keysOf(key.journal) +
           " AND nCommit < " + std::to_string(pruneBelow) + ";\nWHEN ANY DO BEGIN END\nEND\nEND";
}

std::string CommitKeyTableStatement() {
    return std::string("CREATE TABLE ") + CommitKeyTable +
           " (sJournal VARCHAR(36) NOT NULL, nCommit BIGINT NOT NULL, CONSTRAINT PK_ROWCOMMITS PRIMARY KEY "
           "(sJournal, nCommit))";
}

bool IsKeyRefusal(int code) {
    constexpr int uniqueKeyViolation = 335544665;     // isc_unique_key_violation
    constexpr int duplicateInUniqueIndex = 335544349; // isc_no_dup
    return code == uniqueKeyViolation || code == duplicateInUniqueIndex;
}

KeyFound LookUpCommitKeys(SessionDB& session, const std::vector<CommitKey>& keys,
                          std::vector<CommitKey>& there) {
    std::map<std::string, std::vector<std::int64_t>> byJournal;
    for (const CommitKey& key : keys)
        byJournal[key.journal].push_back(key.number);
    for (const auto& [journal, numbers] : byJournal) {
        for (std::size_t first = 0; first < numbers.size(); first += KeysPerQuery) {
            const std::size_t end = std::min(numbers.size(), first + KeysPerQuery);
            std::string list;
            for (std::size_t i = first; i < end; ++i)
                list += (list.empty() ? "" : ", ") + std::to_string(numbers[i]);
            std::vector<std::string> found;
            if (!readColumn(session, "SELECT nCommit" + keysOf(journal) + " AND nCommit IN (" + list + ")",
                            found))
                return KeyFound::Failed;
            for (const std::string& number : found)
                there.push_back({journal, std::atoll(number.c_str())});
        }
    }
    return there.empty() ? KeyFound::Absent : KeyFound::There;
}

KeyFound TakeCommitKey(SessionDB& session, const CommitKey& key) {
    if (session.BeginWork() != 0)
        return KeyFound::Failed;
    // Taken and let go at once: a later commit's rows of the same key,
    // should there be any, are not taken for written by it.
    const int result =
        session.ExecuteSQL("EXECUTE BLOCK AS BEGIN\n" + keyInsert(key) + ";\nDELETE" + keysOf(key.journal) +
                           " AND nCommit = " + std::to_string(key.number) + ";\nEND");
    if (result == 0)
        return session.CommitWork() == 0 ? KeyFound::Absent : KeyFound::Failed;
    session.RollbackWork();
    if (!IsKeyRefusal(result) && !session.FailedOnLock())
        return KeyFound::Failed;
    // The server refuses a key that a transaction not yet ended holds as
    // well: only a key it has committed counts.
    std::vector<CommitKey> there;
    switch (LookUpCommitKeys(session, {key}, there)) {
    case KeyFound::There:
        return KeyFound::There;
    case KeyFound::Absent:
        return KeyFound::Held;
    default:
        return KeyFound::Failed;
    }
}

std::int64_t LastCommitKeyNumber(SessionDB& session, const std::string& journal) {
    std::vector<std::string> found;
    if (!readColumn(session, "SELECT MAX(nCommit)" + keysOf(journal), found))
        return -1;
    return found.empty() ? 0 : std::atoll(found.front().c_str());
}

} // namespace db

ServiceCommitKeysDB::ServiceCommitKeysDB(const std::string& host, const std::string& path,
                                         const std::string& user, const std::string& password)
    : ServiceTableDB(host, path, user, password, db::CommitKeyTable) {}

int ServiceCommitKeysDB::CreateTable() {
    return ExecuteDDL(db::CommitKeyTableStatement());
}
