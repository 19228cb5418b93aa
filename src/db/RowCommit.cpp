// The writer's commit: keys drawn, blocks of statements run in one transaction, and a commit whose answer
// never came settled.
#include "db/RowRoadCore.h"

#include "base/DiagnosticLog.h"
#include "db/CallHistoryTables.h"
#include "db/CallWatchdog.h"
#include "db/CommitKeys.h"
#include "db/DrawnKeys.h"
#include "db/RowLookup.h"
#include "db/SetAsideJournal.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <future>
#include <map>
#include <optional>
#include <pthread.h>
#include <set>
#include <sys/file.h>
#include <unistd.h>

namespace db {

namespace {

// A statement as one of a block's: without the terminator it may end with.
std::string plainStatement(const std::string& statement) {
    const auto last = statement.find_last_not_of(" \t\r\n;");
    return last == std::string::npos ? std::string() : statement.substr(0, last + 1);
}

// The contexts the server counts for a statement of a block: one for an
// insert, two for an update (the row found and the row changed) or any
// other, two more for each query within it.
std::size_t blockContexts(const std::string& statement) {
    const std::string upper = upperTrimmed(statement);
    std::size_t contexts = upper.starts_with("INSERT ") ? 1 : 2;
    for (auto at = upper.find("SELECT"); at != std::string::npos; at = upper.find("SELECT", at + 6))
        contexts += 2;
    return contexts;
}

} // namespace

RowRoad::Core::Outcome RowRoad::Core::writeGroup(std::vector<Item>& group, bool retryingLock) {
    const ConnectionSettings c = attachedWith_;
    SessionDB session(c.host, c.path, c.user, c.password, &handle_, false);
    session.KeepNoRows();
    session.LeaveReattachToCaller();
    session.WaitForLocksBriefly();
    session.QuietLocks();
    if (session.LastCode != 0 || handle_ == 0)
        return lostWith(session);
    Outcome outcome = settleUncertain(session, group);
    if (outcome == Outcome::Written) {
        rehome(group);
        outcome = drawKeys(session, group);
    }
    if (outcome == Outcome::Written)
        outcome = runGroup(session, group, retryingLock);
    forgetKeys(group);
    return outcome;
}

RowRoad::Core::Outcome RowRoad::Core::lostWith(const SessionDB& session) {
    lastLoss_ = session.Unanswered()          ? "the row writer got no answer"
                : session.LastMessage.empty() ? "the connection of the row writer was lost"
                                              : session.LastMessage;
    return Outcome::Lost;
}

// Where a statement failed: lost, passing, or refused for good (the row
// ends, named).
RowRoad::Core::Outcome RowRoad::Core::failedRow(const SessionDB& session, Item& row, int result) {
    if (handle_ == 0 || session.Unanswered())
        return lostWith(session);
    if (session.FailedOnLock()) {
        row.lockedNow = true;
        return Outcome::Back;
    }
    if (session.FailureCanPass()) {
        base::WriteLog(2, "Nie zapisano w bazie danych, zapis zostanie ponowiony: %s", row.statement.c_str());
        return Outcome::Passing;
    }
    nameRow(row);
    row.ended = true;
    row.result = result;
    return Outcome::Back;
}

// One call for each generator's keys of the group: a far server costs a
// round trip a call. The keys are kept before the commit goes: a row whose
// commit gets no answer is looked up under its key, and the later rows that
// refer to it find it after a restart.
RowRoad::Core::Outcome RowRoad::Core::drawKeys(SessionDB& session, std::vector<Item>& group) {
    const std::string here = [this] {
        std::lock_guard lock(mutex_);
        return identity_;
    }();
    // By generator; a query of another form stands for itself.
    std::map<std::string, std::vector<Item*>> byGenerator;
    std::vector<std::string> order;
    for (Item& row : group) {
        if (row.generatorQuery.empty() || row.ended)
            continue;
        std::string generator = GeneratorOfQuery(row.generatorQuery);
        auto& rows = byGenerator[generator.empty() ? row.generatorQuery : generator];
        if (rows.empty())
            order.push_back(generator.empty() ? row.generatorQuery : generator);
        rows.push_back(&row);
    }
    std::vector<const Item*> keyed;
    for (const std::string& name : order) {
        std::vector<Item*>& rows = byGenerator[name];
        const bool many = name != rows.front()->generatorQuery;
        while (!rows.empty()) {
            const std::size_t count = many ? rows.size() : 1;
            TStringList keys;
            session.SetResultStrings(&keys);
            int result = session.ExecuteSQL(many ? DrawKeysQuery(name, count) : name);
            session.SetResultStrings(nullptr);
            if (result == 0 && keys.empty())
                result = -1;
            if (result != 0) {
                for (Item* row : rows)
                    if (const Outcome outcome = failedRow(session, *row, result); outcome != Outcome::Back)
                        return outcome;
                break;
            }
            const std::int64_t last = std::atoll(keys.front().c_str());
            NoteKeyDrawnIn(here, many ? name : GeneratorOfQuery(name), last);
            for (std::size_t i = 0; i < count; ++i) {
                keyRow(*rows[i], many ? std::to_string(last - std::int64_t(count - 1 - i)) : keys.front());
                keyed.push_back(rows[i]);
            }
            rows.erase(rows.begin(), rows.begin() + std::ptrdiff_t(count));
        }
    }
    return keepKeys(keyed, true) ? Outcome::Written : Outcome::Passing;
}

// The rows of a commit whose answer never came, settled by the commit's key
// alone: found, every row of it is written; not found, its key is taken in
// a transaction of its own (refused: it was written after all, also when it
// was still finishing) and the rows go again. A lookup that fails is tried
// again, never taken for absent.
RowRoad::Core::Outcome RowRoad::Core::settleUncertain(SessionDB& session, std::vector<Item>& group) {
    const std::string here = [this] {
        std::lock_guard lock(mutex_);
        return identity_;
    }();
    std::map<CommitKey, std::vector<Item*>> byKey;
    for (Item& row : group)
        if (row.attempted && !row.ended && keyedElsewhere(row, here)) {
            // Its commit went to another database: a row of this one under
            // the same key is another's. It draws its key here.
            row.attempted = false;
        } else if (row.attempted && !row.ended && row.commitNumber == 0) {
            // Gone out before commits carried a key of their own.
            row.attempted = false;
            base::WriteLog(2, "Nie wiadomo, czy zapisano w bazie danych, zapis zostanie ponowiony: %s",
                           row.statement.c_str());
        } else if (row.attempted && !row.ended) {
            byKey[{row.commitJournal, row.commitNumber}].push_back(&row);
        }
    if (byKey.empty())
        return Outcome::Written;
    std::vector<CommitKey> keys, there;
    for (const auto& [key, rows] : byKey)
        keys.push_back(key);
    if (LookUpCommitKeys(session, keys, there) == KeyFound::Failed)
        return unsettled(session, byKey.begin()->second, "sprawdzenie zostanie ponowione");
    std::sort(there.begin(), there.end());
    for (auto& [key, rows] : byKey) {
        const KeyFound found = std::binary_search(there.begin(), there.end(), key)
                                   ? KeyFound::There
                                   : TakeCommitKey(session, key);
        if (found == KeyFound::Held || found == KeyFound::Failed)
            return unsettled(session, rows,
                             found == KeyFound::Held
                                 ? "wysyłka jest jeszcze kończona, sprawdzenie zostanie ponowione"
                                 : "sprawdzenie zostanie ponowione");
        if (const auto out = commitsOut_.find(key.number); out != commitsOut_.end())
            commitsOut_.erase(out);
        for (Item* row : rows) {
            row->attempted = false;
            row->ended = found == KeyFound::There;
            row->result = 0;
            base::WriteLog(2,
                           row->ended ? "Sprawdzono, jest w bazie danych: %s"
                                      : "Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: %s",
                           row->statement.c_str());
        }
    }
    return Outcome::Written;
}

// A commit's key could not be looked up or taken: its rows wait, said.
RowRoad::Core::Outcome RowRoad::Core::unsettled(const SessionDB& session, const std::vector<Item*>& rows,
                                                const char* then) {
    if (handle_ == 0 || session.Unanswered())
        return lostWith(session);
    for (const Item* row : rows)
        base::WriteLog(2, "Nie sprawdzono, czy zapisano w bazie danych, %s: %s", then,
                       row->statement.c_str());
    return Outcome::Passing;
}

RowRoad::Core::Outcome RowRoad::Core::runGroup(SessionDB& session, std::vector<Item>& group,
                                               bool retryingLock) {
    Statements work;
    for (Item& row : group) {
        if (row.ended || row.lockedNow)
            continue;
        std::string statement, elsewhere;
        if (!withKeys(row, statement, elsewhere)) {
            // It changes a row whose insert was refused: there is none.
            nameRow(row);
            row.ended = true;
            row.result = -1;
            continue;
        }
        if (!elsewhere.empty() && !keptHere(row, elsewhere))
            continue;
        work.rows.push_back(&row);
        work.texts.push_back(std::move(statement));
    }
    if (work.rows.empty())
        return Outcome::Written;
    work.alone.assign(work.rows.size(), false);
    // A locked row is said once; it is tried again without waiting.
    session.WaitForNoLock(retryingLock);
    // Together: one call for many rows, which counts where the server is
    // far. Should a block fail, its rows go again one by one to find the one
    // that failed, the rest still in blocks.
    Outcome outcome = Outcome::Split;
    while (outcome == Outcome::Split)
        outcome = runStatements(session, work, retryingLock);
    return outcome;
}

RowRoad::Core::Outcome RowRoad::Core::runStatements(SessionDB& session, Statements& work, bool retryingLock) {
    if (int result = session.BeginWork(); result != 0)
        return handle_ == 0 ? lostWith(session) : Outcome::Passing;
    // Counting the rows an update changed takes calls of its own: only those
    // that may find their row gone (held through a restore) are counted.
    const auto countedRow = [](const Item& row) {
        return row.heldThroughPause && row.token.empty() && namesRowByKey(row.subject);
    };
    std::size_t at = 0;
    while (at < work.rows.size()) {
        Item* row = work.rows[at];
        // An update of a row named by its key says whether it found it.
        const bool counted = countedRow(*row);
        std::size_t next = at + 1;
        std::string text = work.texts[at];
        if (!counted && !work.alone[at]) {
            std::string block = "EXECUTE BLOCK AS BEGIN\n" + plainStatement(text) + ";\n";
            std::size_t contexts = blockContexts(text);
            for (; next < work.rows.size() && !work.alone[next] && !countedRow(*work.rows[next]); ++next) {
                const std::size_t more = blockContexts(work.texts[next]);
                if (block.size() + work.texts[next].size() >= BlockTextLimit ||
                    contexts + more > BlockContextLimit)
                    break;
                block += plainStatement(work.texts[next]) + ";\n";
                contexts += more;
            }
            if (next > at + 1)
                text = block + "END";
        }
        session.CountChangedRows(counted);
        const int result = session.ExecuteSQL(text);
        row->unapplied = result == 0 && counted && session.ChangedRows() == 0;
        if (result != 0) {
            session.RollbackWork();
            if (next > at + 1 && handle_ != 0 && !session.Unanswered()) {
                std::fill(work.alone.begin() + std::ptrdiff_t(at), work.alone.begin() + std::ptrdiff_t(next),
                          true);
                return Outcome::Split;
            }
            const Outcome outcome = failedRow(session, *row, result);
            if (row->lockedNow && !retryingLock)
                base::WriteLog(2, "Zapis czeka, aż inny klient bazy danych zwolni wiersz: %s",
                               row->statement.c_str());
            return outcome;
        }
        at = next;
    }
    return commitRows(session, work.rows);
}

RowRoad::Core::Outcome RowRoad::Core::commitRows(SessionDB& session, const std::vector<Item*>& rows) {
    std::vector<std::int64_t> seqs;
    for (const Item* row : rows)
        seqs.push_back(row->seq);
    const bool journaled = journaling();
    const CommitKey key{journaled ? writerJournal_->Identity() : runIdentity_, nextCommit_++};
    // Without its key in the journal, a commit with no answer could not be
    // settled after a restart: it does not go.
    if (journaled && !writerJournalWrite(writerJournal_->MarkAttempted(seqs, key.number), "wysyłka",
                                         {rows.begin(), rows.end()})) {
        session.RollbackWork();
        return Outcome::Passing;
    }
    for (Item* row : rows) {
        row->commitJournal = key.journal;
        row->commitNumber = key.number;
    }
    const std::int64_t pruneBelow = keysNoLongerNeeded(key);
    const int keyResult = session.ExecuteSQL(CommitKeyStatement(key, pruneBelow));
    const int result = keyResult != 0 ? keyResult : session.CommitWork();
    if (result == 0) {
        prunedBelow_ = std::max(prunedBelow_, pruneBelow);
        for (Item* row : rows) {
            row->ended = true;
            row->result = 0;
            if (row->unapplied)
                base::WriteLog(2, "Nie zastosowano w bazie danych, nie ma w niej tego wiersza: %s",
                               row->statement.c_str());
        }
        return Outcome::Written;
    }
    if (keyResult == 0 && (session.OutcomeUnknown() || handle_ == 0 || session.Unanswered())) {
        commitsOut_.insert(key.number);
        for (Item* row : rows) {
            row->attempted = true;
            base::WriteLog(2, "Nie wiadomo, czy zapisano w bazie danych, zostanie sprawdzone: %s",
                           row->statement.c_str());
        }
        return lostWith(session);
    }
    if (keyResult != 0)
        session.RollbackWork();
    // Left marked, the rows are only settled by their key after a restart.
    if (journaled)
        writerJournalWrite(writerJournal_->MarkAttempted(seqs, 0), "wysyłka");
    if (handle_ == 0 || session.Unanswered())
        return lostWith(session);
    if (IsKeyRefusal(keyResult))
        renumberCommits(session, key);
    else if (keyResult != 0 && session.LastCode == UnknownTableSqlCode &&
             session.ExecuteDDL(CommitKeyTableStatement()) == 0) {
        base::WriteLog(2, "Utworzono tabelę kluczy zapisów %s w bazie danych", CommitKeyTable);
        return Outcome::Back;
    }
    // Refused (a full disk): written again after the pause.
    for (const Item* row : rows)
        base::WriteLog(2, "Nie zapisano w bazie danych, zapis zostanie ponowiony: %s",
                       row->statement.c_str());
    return Outcome::Passing;
}

// The commit keys below the oldest one still waiting to be settled (in the
// journal, or in memory for the rows outside it) are no longer needed; 0
// when none is to go, or that cannot be read.
std::int64_t RowRoad::Core::keysNoLongerNeeded(const CommitKey& key) {
    std::int64_t oldest = key.number;
    if (!commitsOut_.empty())
        oldest = std::min(oldest, *commitsOut_.begin());
    if (journaling() && key.journal == writerJournal_->Identity()) {
        std::int64_t inJournal = 0;
        if (!writerJournal_->OldestCommitOut(inJournal))
            return 0;
        if (inJournal > 0)
            oldest = std::min(oldest, inJournal);
    }
    return oldest > prunedBelow_ ? oldest : 0;
}

// A fresh commit key was refused: the journal's numbers were given out
// before (a journal put back from a copy). Numbering goes on past them.
void RowRoad::Core::renumberCommits(SessionDB& session, const CommitKey& key) {
    const std::int64_t last = LastCommitKeyNumber(session, key.journal);
    base::WriteLog(2, "Klucz zapisu %s/%lld jest już w bazie danych, numeracja zapisów idzie dalej od %lld",
                   key.journal.c_str(), static_cast<long long>(key.number), static_cast<long long>(last));
    if (last >= nextCommit_)
        nextCommit_ = last + 1;
}

} // namespace db
