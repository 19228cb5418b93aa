// The key each commit of the row writer carries: one row in a table of the
// program's own, written in the commit's own transaction, whose primary key
// is the journal's identity (or the run's, without a journal) and the
// commit's number. A commit whose answer never came is settled by that row
// alone: there, every row of the commit is written; not there, its key is
// taken in a transaction of its own, which the server refuses when the
// commit was written after all (also one still finishing when looked up).
#pragma once

#include "db/SessionDB.h"
#include "db/TableClass.h"

#include <cstdint>
#include <string>
#include <vector>

namespace db {

struct CommitKey {
    std::string journal;
    std::int64_t number = 0;
    bool operator<(const CommitKey& other) const {
        return journal != other.journal ? journal < other.journal : number < other.number;
    }
};

extern const char* const CommitKeyTable;
// The table's creation: by the structure check, or by the writer itself in
// a database that lacks it (one no structure check has seen).
std::string CommitKeyTableStatement();
// The SQL code of a statement naming a table the database lacks.
constexpr int UnknownTableSqlCode = -204;

// The statement that writes the commit's key; with `pruneBelow` above 0
// the same journal's keys below it, no longer needed, go too.
std::string CommitKeyStatement(const CommitKey& key, std::int64_t pruneBelow);

// The primary key refused a row: the key is there (isc_unique_key_violation,
// isc_no_dup).
bool IsKeyRefusal(int code);

// Held: a transaction the server has not ended yet holds the key (the
// commit still finishes, or is yet to be undone).
enum class KeyFound { There, Absent, Held, Failed };
// Looks the keys up (one journal's, many to a query): `there` gets those
// found. Failed when the lookup failed, whatever the reason: nothing is
// taken for absent then.
KeyFound LookUpCommitKeys(SessionDB& session, const std::vector<CommitKey>& keys,
                          std::vector<CommitKey>& there);

// Taking the key of a commit found absent, in a transaction of its own
// that leaves no key behind: Absent, the commit is not and will not be in
// the database; There, the server refused it and holds it committed (the
// commit was written); Held; Failed with the session telling why.
KeyFound TakeCommitKey(SessionDB& session, const CommitKey& key);

// The largest number of `journal`'s keys in the database (0: none), for a
// journal whose numbers were found taken; -1 when it cannot be read.
std::int64_t LastCommitKeyNumber(SessionDB& session, const std::string& journal);

} // namespace db

// The table of the commits' keys, made by the structure check.
class ServiceCommitKeysDB : public ServiceTableDB {
  public:
    ServiceCommitKeysDB(const std::string& host, const std::string& path, const std::string& user,
                        const std::string& password);
    int CreateTable();
};
