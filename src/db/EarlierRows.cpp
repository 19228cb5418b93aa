// The earlier run's rows at the start, and the rows of another database than the one attached.
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

// Before any row handed on: they go to the head of the road, and the writer
// takes none until they are there. They are read as the writer goes, as
// many at a time as the window has room for. How many there are.
std::size_t RowRoad::Core::takeEarlierRows(RowJournal& journal) {
    rememberKeysDrawn(journal);
    std::size_t count = 0;
    std::int64_t lastSeq = 0;
    std::vector<RowJournal::Entry> naming;
    std::map<std::string, std::size_t> homes;
    if (!journal.Extent(count, lastSeq) || !journal.LoadNamingKeys(KeyOfRowOpening, naming) ||
        !journal.CountByHome(homes)) {
        // Its keys stay: rows that may refer to them are still in it.
        std::fprintf(stderr, "Halvex: cannot read the rows of the row journal %s: %s\n",
                     journal.Path().c_str(), journal.LastError().c_str());
        base::WriteLog(2, "Nie można odczytać zapisów z dziennika zapisów %s: %s", journal.Path().c_str(),
                       journal.LastError().c_str());
        std::lock_guard lock(mutex_);
        journalPath_ = journal.Path();
        adoptRowsInMemory();
        journalWanted_ = true;
        return 0;
    }
    // Keys no row left refers to, and nothing holds, are forgotten; the rest
    // stay in use until their rows end, read now or not.
    std::vector<std::string> referred;
    {
        std::lock_guard lock(mutex_);
        referred.assign(heldTokens_.begin(), heldTokens_.end());
    }
    for (const RowJournal::Entry& row : naming)
        for (std::string& token : tokensReferredBy(row.statement))
            referred.push_back(std::move(token));
    journal.ForgetKeysExcept(referred);
    // The rows the program may wait for by their kind are known from the
    // start, the rest read only in their turn.
    std::map<std::int64_t, std::pair<std::string, std::string>> kept;
    std::vector<RowJournal::Entry> batch;
    for (std::int64_t after = 0;
         keepEarlier_ && journal.LoadAfter(after, RowsPerCommit, batch) && !batch.empty();
         after = batch.back().seq, batch.clear())
        for (RowJournal::Entry& row : batch)
            if (keepEarlier_(row.statement))
                kept.emplace(row.seq, std::pair(std::move(row.statement), std::move(row.token)));
    std::lock_guard lock(mutex_);
    journalPath_ = journal.Path();
    earlierHomes_ = std::move(homes);
    for (const RowJournal::Entry& row : naming)
        useTokens(row);
    for (auto& [seq, row] : kept)
        earlierUnwritten_.emplace(seq, std::move(row));
    earlierLeft_ = count;
    if (count > 0) {
        base::WriteLog(2, "Dziennik zapisów %s: %zu zapisów z poprzedniej pracy czeka na bazę danych",
                       journalPath_.c_str(), count);
        // The rows handed on before the journal opened go behind them.
        if (!queue_.empty())
            beyond_.emplace_front().rows.swap(queue_);
        Stretch& earlier = beyond_.emplace_front();
        earlier.upTo = lastSeq;
        earlier.count = count;
        earlier.earlier = true;
        inJournalAlone_ += count;
    }
    adoptRowsInMemory();
    journalWanted_ = true;
    changed_.notify_all();
    return earlierLeft_;
}

void RowRoad::Core::WhenEarlierRowsWritten(std::function<void()> then) {
    {
        std::lock_guard lock(mutex_);
        if (earlierLeft_ > 0) {
            earlierWritten_ = std::move(then);
            return;
        }
    }
    then();
}

bool RowRoad::Core::EarlierRowsWritten() const {
    std::lock_guard lock(mutex_);
    return earlierLeft_ == 0;
}

void RowRoad::Core::WhenEarlierRowsWritten(const RowPick& which, std::function<void()> then) {
    {
        std::lock_guard lock(mutex_);
        pickedLeft_.clear();
        for (const auto& [seq, row] : earlierUnwritten_)
            if (which(row.first))
                pickedLeft_.insert(seq);
        if (!pickedLeft_.empty()) {
            pickedWritten_ = std::move(then);
            return;
        }
        pickedWritten_ = nullptr;
    }
    then();
}

std::vector<std::string> RowRoad::Core::EarlierRowsLeft(const RowPick& which) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> left;
    for (const auto& [seq, row] : earlierUnwritten_)
        if (which(row.first))
            left.push_back(row.first);
    return left;
}

std::vector<std::string> RowRoad::Core::EarlierInsertTokens(const RowPick& which,
                                                            std::vector<std::string>* statements) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> tokens;
    for (const auto& [seq, row] : earlierUnwritten_)
        if (!row.second.empty() && which(row.first)) {
            tokens.push_back(row.second);
            if (statements)
                statements->push_back(row.first);
        }
    return tokens;
}

// Under the lock.
void RowRoad::Core::earlierRowsEnded(const std::vector<Item>& rows) {
    for (const Item& row : rows) {
        if (!row.earlier)
            continue;
        earlierUnwritten_.erase(row.seq);
        if (pickedLeft_.erase(row.seq) > 0 && pickedLeft_.empty() && pickedWritten_)
            post(std::exchange(pickedWritten_, nullptr));
    }
}

std::string RowRoad::Core::HomeOfNewRows() const {
    std::lock_guard lock(mutex_);
    return homeOfNewRows();
}

// Under the lock.
std::string RowRoad::Core::homeOfNewRows() const {
    return identity_.empty() && connected_ ? PlaceOfDatabase(database_) : identity_;
}

// Under the lock, at the first attach: the earlier run's rows kept for
// another database go into this one, the exchange's history that they are.
void RowRoad::Core::sayEarlierRowsElsewhere() {
    // Counted when the journal opened: most of them wait in it alone.
    std::map<std::string, std::size_t> elsewhere;
    for (const auto& [home, rows] : earlierHomes_)
        if (kinship(home, identity_) == Kinship::Other)
            elsewhere[NameOfIdentity(home)] += rows;
    const std::string here = NameOfIdentity(identity_);
    for (const auto& [place, count] : elsewhere) {
        base::WriteLog(
            2,
            "Dziennik zapisów %s: %zu zapisów z poprzedniej pracy dla bazy danych %s trafia do bazy "
            "danych %s, ustawionej teraz",
            journalPath_.c_str(), count, place.c_str(), here.c_str());
        std::fprintf(stderr,
                     "Halvex: %zu rows kept in the journal %s for the database %s go into %s, the database "
                     "now set\n",
                     count, journalPath_.c_str(), place.c_str(), here.c_str());
    }
}

// Under the lock: so many of the earlier run's rows ended.
void RowRoad::Core::earlierEnded(std::size_t rows) {
    if (rows == 0 || earlierLeft_ == 0)
        return;
    earlierLeft_ -= std::min(rows, earlierLeft_);
    if (earlierLeft_ == 0) {
        base::WriteLog(2, "%s", "Zapisy z poprzedniej pracy zapisane w bazie danych");
        if (earlierWritten_)
            post(std::exchange(earlierWritten_, nullptr));
    }
}

bool RowRoad::Core::keyedElsewhere(const Item& row, const std::string& here) const {
    return kinship(row.home, here) != Kinship::Same && !row.key.empty() && !row.keyGenerator.empty();
}

// On the writer thread.
Kinship RowRoad::Core::kinship(const std::string& home, const std::string& here) const {
    return KinshipOf(home, here, PlaceOfDatabase(attachedWith_));
}

// At the journal's opening: the keys drawn in each database by every run.
void RowRoad::Core::rememberKeysDrawn(RowJournal& journal) {
    DrawnKeyTable kept;
    if (journal.KeysDrawn(kept)) {
        RememberKeysDrawn(kept);
        return;
    }
    std::fprintf(stderr,
                 "Halvex: cannot read the keys drawn by earlier runs from the row journal %s: %s; a restored "
                 "database may give them again\n",
                 journal.Path().c_str(), journal.LastError().c_str());
    base::WriteLog(2, "Nie można odczytać kluczy wydanych przez poprzednie prace z dziennika zapisów %s: %s",
                   journal.Path().c_str(), journal.LastError().c_str());
}

void RowRoad::Core::rehome(std::vector<Item>& group) {
    const std::string here = [this] {
        std::lock_guard lock(mutex_);
        return identity_;
    }();
    std::vector<const Item*> forgotten;
    for (Item& row : group) {
        if (row.ended)
            continue;
        if (namesKeyDrawnBeforeRestore(row.subject))
            row.heldThroughPause = true;
        if (kinship(row.home, here) == Kinship::Same)
            continue;
        if (keyedElsewhere(row, here)) {
            forgetKey(row);
            forgotten.push_back(&row);
            continue;
        }
        // An insert makes its row here, keyed or not yet.
        if (!IsInsertStatement(row.statement) && namesRowByKey(row.subject) &&
            tokensReferredBy(row.statement).empty())
            keptHere(row, row.home);
    }
    keepKeys(forgotten, false);
}

// "TABLE|NID='5'AND...": the key of a table whose generator is ID_TABLE.
bool RowRoad::Core::namesKeyDrawnBeforeRestore(const std::string& subject) const {
    if (keysBeforeRestore_.empty() || !namesRowByKey(subject))
        return false;
    const std::size_t bar = subject.find('|');
    const auto drawn = keysBeforeRestore_.find("ID_" + subject.substr(0, bar));
    if (drawn == keysBeforeRestore_.end())
        return false;
    std::size_t at = subject.find('=', bar) + 1;
    if (at < subject.size() && subject[at] == '\'')
        ++at;
    const long long key = std::atoll(subject.c_str() + at);
    return key > 0 && key <= drawn->second;
}

bool RowRoad::Core::keptHere(Item& row, const std::string& home) {
    const std::string here = [this] {
        std::lock_guard lock(mutex_);
        return identity_;
    }();
    // Restored, the database keeps the rows of its backup under their keys:
    // the update is counted, and said when it finds none.
    if (kinship(home, here) != Kinship::Other) {
        row.heldThroughPause = true;
        return true;
    }
    base::WriteLog(2, "Nie zastosowano w bazie danych %s, wiersz jest z bazy danych %s: %s",
                   NameOfIdentity(here).c_str(), NameOfIdentity(home).c_str(), row.statement.c_str());
    row.ended = true;
    row.result = 0;
    return false;
}

} // namespace db
