// The journal's hand: the lock on the journal, its opening, rows put into it and taken from it, and the rows
// it did not take.
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

void nameRow(const RowJournal::Entry& row) {
    LogRowNotWritten(row.statement);
}

// A journal write's outcome, said: in the log each time it fails, on stderr
// at the first failure of a streak and when one passes again. `failing` is
// the streak of the thread that writes.
bool saidJournalWrite(bool written, RowJournal& journal, const char* what, bool& failing) {
    const char* path = journal.Path().c_str();
    if (written) {
        if (std::exchange(failing, false)) {
            std::fprintf(stderr, "Halvex: the row journal %s is written again\n", path);
            base::WriteLog(2, "Dziennik zapisów %s znów zapisywany", path);
        }
        return true;
    }
    base::WriteLog(2, "Nie można zapisać dziennika zapisów %s (%s): %s", path, what,
                   journal.LastError().c_str());
    if (!std::exchange(failing, true))
        std::fprintf(stderr, "Halvex: cannot write the row journal %s (%s): %s; its rows wait in memory\n",
                     path, what, journal.LastError().c_str());
    return false;
}

// One program at a time holds a journal: a lock beside it, which names the
// holder's pid. False when another holds it (said, with its pid).
bool RowRoad::Core::holdJournal(const std::string& path) {
    const std::string lockPath = path + ".lock";
    journalLock_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (journalLock_ < 0)
        return true; // the journal's own open says why
    if (::flock(journalLock_, LOCK_EX | LOCK_NB) != 0) {
        char holder[32] = {};
        const ssize_t got = ::pread(journalLock_, holder, sizeof holder - 1, 0);
        const std::string pid = got > 0 ? std::string(holder, std::size_t(got)) : std::string("unknown");
        std::fprintf(stderr,
                     "Halvex: the row journal %s is held by another program (pid %s): this one ends\n",
                     path.c_str(), pid.c_str());
        base::WriteLog(2, "Dziennik zapisów %s jest w rękach innego programu (pid %s): ten kończy pracę",
                       path.c_str(), pid.c_str());
        ::close(std::exchange(journalLock_, -1));
        journalHeldElsewhere_ = true;
        return false;
    }
    const std::string pid = std::to_string(::getpid());
    if (::ftruncate(journalLock_, 0) != 0 || ::pwrite(journalLock_, pid.data(), pid.size(), 0) < 0)
        base::WriteLog(2, "Nie można zapisać pliku blokady dziennika zapisów %s", lockPath.c_str());
    return true;
}

bool RowRoad::Core::JournalHeldElsewhere() const {
    return journalHeldElsewhere_;
}

bool RowRoad::Core::OpenJournal(const std::string& path) {
    if (path.empty() || journalThread_.joinable() || !holdJournal(path))
        return false;
    std::promise<bool> opened;
    std::future<bool> result = opened.get_future();
    journalThread_ = std::thread([this, core = shared_from_this(), path, &opened] {
        pthread_setname_np(pthread_self(), "RowJournal");
        RowJournal journal;
        const std::optional<std::size_t> left = takeRowsLeft(path);
        const bool existed = QFileInfo::exists(QString::fromStdString(path));
        bool open = openOrSetAsideSaid(journal, path, left);
        if (!open) {
            std::fprintf(stderr,
                         "Halvex: cannot open the row journal %s: %s; rows waiting for the database are "
                         "kept in memory only, and it is tried again\n",
                         path.c_str(), journal.LastError().c_str());
            base::WriteLog(2, "Nie można otworzyć dziennika zapisów %s: %s", path.c_str(),
                           journal.LastError().c_str());
        } else if (takeEarlierRows(journal) == 0 && journal.SetAside().empty() && left.value_or(0) > 0) {
            sayRowsMissing(journal, existed, *left);
        }
        opened.set_value(open);
        if (!open)
            open = openJournalLater(journal, path, left);
        if (open)
            journalLoop(journal);
        std::lock_guard lock(mutex_);
        journalEnded_ = true;
        changed_.notify_all();
    });
    // A journal not opened is tried again on its thread until the stop.
    return result.get();
}

// Open, or set aside as damaged and its readable rows taken: said.
bool RowRoad::Core::openOrSetAsideSaid(RowJournal& journal, const std::string& path,
                                       std::optional<std::size_t> left) {
    const bool open = journal.OpenOrSetAside(path);
    if (!journal.SetAside().empty())
        saySetAside(journal, left);
    // Its rows that can be read are this start's earlier rows.
    if (open && !journal.SetAside().empty())
        SaySetAsideRows(journal, TakeSetAsideRows(journal.SetAside(), journal), left);
    return open;
}

// A journal that could not be opened (a full disk, an I/O error) is tried
// again every few seconds; once open, it takes the rows that waited in
// memory meanwhile, and its earlier rows are written. At the stop it is
// tried once more, and takes the rows not written.
bool RowRoad::Core::openJournalLater(RowJournal& journal, const std::string& path,
                                     std::optional<std::size_t> left) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait_for(lock, PassingRetryPause, [this] { return stopping_; });
        const bool atStop = stopping_;
        // Rows the writer still has in hand are not taken at the stop.
        if (atStop)
            changed_.wait_until(lock, stopDeadline_, [this] { return writerEnded_; });
        lock.unlock();
        const bool open = openOrSetAsideSaid(journal, path, left);
        if (open) {
            std::fprintf(stderr, "Halvex: the row journal %s is open\n", path.c_str());
            base::WriteLog(2, "Dziennik zapisów %s otwarty", path.c_str());
        }
        if (open && !atStop) {
            lock.lock();
            journalOpenedLate_ = true;
            lock.unlock();
            takeEarlierRows(journal);
            return true;
        }
        lock.lock();
        if (open)
            journalRowsAtStop(journal, lock);
        if (atStop)
            return false;
    }
}

// Under the lock: the journal opened late; the rows handed on without it
// go into it as those a full journal left in memory.
void RowRoad::Core::adoptRowsInMemory() {
    if (!std::exchange(journalOpenedLate_, false))
        return;
    const auto adopt = [&](Items& rows) {
        for (Item& row : rows)
            if (row.seq == 0 && row.outOfJournal == 0) {
                row.outOfJournal = ++lastOutOfJournal_;
                ++outOfJournal_;
            }
    };
    adopt(locked_);
    adopt(queue_);
    for (Stretch& stretch : beyond_)
        adopt(stretch.rows);
}

namespace {

// The line a stop leaves beside the journal: how many rows it left in it.
std::string rowsLeftPath(const std::string& journalPath) {
    return journalPath + ".left";
}

} // namespace

// What the last run's stop said it left in the journal, if it said; the
// line goes, so that a run that ends without a stop leaves none.
std::optional<std::size_t> RowRoad::Core::takeRowsLeft(const std::string& path) {
    std::FILE* file = std::fopen(rowsLeftPath(path).c_str(), "re");
    if (!file)
        return std::nullopt;
    unsigned long long rows = 0;
    const bool read = std::fscanf(file, "%llu", &rows) == 1;
    std::fclose(file);
    std::remove(rowsLeftPath(path).c_str());
    return read ? std::optional<std::size_t>(rows) : std::nullopt;
}

void RowRoad::Core::writeRowsLeft(std::size_t rows) {
    if (journalPath_.empty())
        return;
    std::FILE* file = std::fopen(rowsLeftPath(journalPath_).c_str(), "we");
    const bool written = file && std::fprintf(file, "%zu\n", rows) > 0 && std::fflush(file) == 0 &&
                         ::fsync(::fileno(file)) == 0;
    if (file)
        std::fclose(file);
    if (!written)
        base::DiagnosticLog::instance().WriteWhileClosing(2, "Nie można zapisać pliku %s",
                                                          rowsLeftPath(journalPath_).c_str());
}

void RowRoad::Core::saySetAside(const RowJournal& journal, std::optional<std::size_t> left) {
    const std::string held = left ? "the last run left " + std::to_string(*left) + " rows in it"
                                  : std::string("how many rows it held is not known");
    std::fprintf(
        stderr, "Halvex: the row journal %s cannot be read (%s): kept as %s, a new one is started; %s\n",
        journal.Path().c_str(), journal.LastError().c_str(), journal.SetAside().c_str(), held.c_str());
    const std::string heldPl = left ? "poprzednia praca zostawiła w nim " + std::to_string(*left) + " zapisów"
                                    : std::string("nie wiadomo, ile zapisów w nim było");
    base::WriteLog(2, "Nie można odczytać dziennika zapisów %s (%s): zachowany jako %s, założono nowy; %s",
                   journal.Path().c_str(), journal.LastError().c_str(), journal.SetAside().c_str(),
                   heldPl.c_str());
}

void RowRoad::Core::sayRowsMissing(const RowJournal& journal, bool existed, std::size_t left) {
    const char* path = journal.Path().c_str();
    if (existed) {
        std::fprintf(stderr, "Halvex: the row journal %s holds no rows, but the last run left %zu in it\n",
                     path, left);
        base::WriteLog(2, "Dziennik zapisów %s: nie ma zapisów, a poprzednia praca zostawiła w nim %zu", path,
                       left);
    } else {
        std::fprintf(stderr, "Halvex: the row journal %s is missing, but the last run left %zu rows in it\n",
                     path, left);
        base::WriteLog(2, "Brak dziennika zapisów %s, a poprzednia praca zostawiła w nim %zu zapisów", path,
                       left);
    }
}

RowRoad::Core::Item RowRoad::Core::itemOf(RowJournal::Entry& entry, bool earlier) {
    Item item;
    static_cast<RowJournal::Entry&>(item) = std::move(entry);
    // A call row an earlier version journaled names no columns.
    item.statement = ServiceTalkInDB::WithColumnsNamed(item.statement);
    item.earlier = earlier;
    // An insert keyed before the last run ended: the rows handed on at this
    // start (the failing of a message left sending) name it by its token.
    if (earlier && !item.token.empty() && !item.key.empty() && item.generatorQuery.empty()) {
        std::lock_guard keys(keysMutex_);
        keysOfTokens_.try_emplace(item.token, DrawnKey{item.key, item.home});
    }
    return item;
}

// Under the lock: journaled rows go behind the rest; past the window they
// stay in the journal alone, their callbacks kept by their place.
void RowRoad::Core::place(Items& rows) {
    for (Item& row : rows) {
        if (row.seq != 0 && (inJournalAlone_ > 0 || held() >= RowsInMemory))
            leaveInJournal(row);
        else if (beyond_.empty())
            queue_.push_back(std::move(row));
        else
            lastStretch(true, false, false).rows.push_back(std::move(row));
    }
    noteHeld();
}

// Under the lock.
void RowRoad::Core::leaveInJournal(Item& row) {
    if (row.follower || row.waiting)
        callbacksInJournal_[row.seq] = {std::move(row.follower), std::move(row.waiting)};
    Stretch& stretch = lastStretch(false, row.earlier, row.heldThroughPause);
    if (stretch.count++ == 0)
        stretch.after = row.seq - 1;
    stretch.upTo = row.seq;
    ++inJournalAlone_;
}

// Under the lock: the last stretch, if it takes such rows, else a new one.
RowRoad::Core::Stretch& RowRoad::Core::lastStretch(bool inMemory, bool earlier, bool heldThroughPause) {
    const bool fits =
        !beyond_.empty() && (inMemory ? beyond_.back().count == 0
                                      : beyond_.back().count > 0 && beyond_.back().earlier == earlier &&
                                            beyond_.back().heldThroughPause == heldThroughPause);
    if (!fits) {
        Stretch& added = beyond_.emplace_back();
        added.earlier = earlier;
        added.heldThroughPause = heldThroughPause;
    }
    return beyond_.back();
}

// Under the lock: rows the writer can take now.
bool RowRoad::Core::rowsToTake() const {
    return !queue_.empty() || (!beyond_.empty() && (beyond_.front().count == 0 || held() < RowsInMemory));
}

// Under the lock: the rows behind the queue come into it as it runs low,
// those in the journal alone as many as the window has room for.
void RowRoad::Core::takeFromBeyond(std::unique_lock<std::mutex>& lock) {
    while (queue_.size() < RowsPerCommit && !beyond_.empty()) {
        Stretch& front = beyond_.front();
        if (front.count == 0) {
            queue_.insert(queue_.end(), std::make_move_iterator(front.rows.begin()),
                          std::make_move_iterator(front.rows.end()));
            beyond_.pop_front();
        } else if (held() >= RowsInMemory || !readFromJournal(lock)) {
            return;
        }
    }
}

// On the writer thread, under the lock: the next rows of the first stretch,
// read with the lock let go; false when none came.
bool RowRoad::Core::readFromJournal(std::unique_lock<std::mutex>& lock) {
    const std::int64_t after = beyond_.front().after;
    const bool earlier = beyond_.front().earlier;
    const std::size_t room = RowsInMemory - held();
    std::vector<RowJournal::Entry> read;
    lock.unlock();
    const bool readable = writerJournal_ && writerJournal_->LoadAfter(after, room, read);
    Items items;
    for (RowJournal::Entry& row : read)
        items.push_back(itemOf(row, earlier));
    lock.lock();
    if (!readable) {
        base::WriteLog(2, "Nie można odczytać dziennika zapisów %s: %s", journalPath_.c_str(),
                       writerJournal_ ? writerJournal_->LastError().c_str() : "");
        passingUntil_ = std::chrono::steady_clock::now() + PassingRetryPause;
        return false;
    }
    // A stop may have let the rows go meanwhile.
    if (beyond_.empty() || beyond_.front().count == 0 || beyond_.front().after != after)
        return false;
    Stretch& stretch = beyond_.front();
    std::size_t taken = 0;
    for (Item& row : items) {
        if (row.seq > stretch.upTo)
            break;
        row.heldThroughPause = stretch.heldThroughPause;
        if (const auto kept = callbacksInJournal_.find(row.seq); kept != callbacksInJournal_.end()) {
            row.follower = std::move(kept->second.follower);
            row.waiting = std::move(kept->second.waiting);
            callbacksInJournal_.erase(kept);
        }
        stretch.after = row.seq;
        queue_.push_back(std::move(row));
        ++taken;
    }
    stretch.count -= taken;
    inJournalAlone_ -= taken;
    if (stretch.count > 0 && (taken == 0 || stretch.after >= stretch.upTo)) {
        // Taken from the journal by another hand: nothing is left to name.
        base::WriteLog(2, "Brak w dzienniku zapisów %s %zu zapisów czekających na bazę danych",
                       journalPath_.c_str(), stretch.count);
        inJournalAlone_ -= stretch.count;
        if (stretch.earlier)
            earlierEnded(stretch.count);
        stretch.count = 0;
    }
    if (stretch.count == 0)
        beyond_.pop_front();
    noteHeld();
    return taken > 0;
}

void RowRoad::Core::journalLoop(RowJournal& journal) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !inbox_.empty(); });
        if (inbox_.empty())
            break;
        journalHand_.swap(inbox_);
        // Rows wait in memory for the writer to put them into the journal:
        // these go into it behind them.
        if (outOfJournal_ > 0 && writerJournalOpen_) {
            leaveOutOfJournal(journalHand_);
            place(journalHand_);
            journalHand_.clear();
            changed_.notify_all();
            continue;
        }
        const bool journaled = putHandIntoJournal(journal, lock);
        // A stop that did not wait for them named them.
        if (journalGivenUp_) {
            journalHand_.clear();
            break;
        }
        // Rows a journal cannot take (a full disk) go on in memory, named.
        if (!saidJournalWrite(journaled, journal, "wiersze", journalFailed_)) {
            outOfJournalRetry_ = std::chrono::steady_clock::now() + PassingRetryPause;
            leaveOutOfJournal(journalHand_);
        }
        place(journalHand_);
        journalHand_.clear();
        changed_.notify_all();
    }
}

// Under the lock.
void RowRoad::Core::leaveOutOfJournal(Items& rows) {
    for (Item& row : rows) {
        base::WriteLog(2, "Poza dziennikiem zapisów, czeka w pamięci: %s", row.statement.c_str());
        row.outOfJournal = ++lastOutOfJournal_;
        ++outOfJournal_;
    }
}

// The rows go in the order their database rows take them: those waiting
// for a lock, the queue, then the rows behind it. No row is in the writer's
// hand meanwhile, and no later row goes into the journal before them.
void RowRoad::Core::journalRowsInMemory(std::unique_lock<std::mutex>& lock) {
    std::vector<RowJournal::Entry> entries;
    std::vector<std::uint64_t> numbers;
    const auto collect = [&](const Items& rows) {
        for (const Item& row : rows)
            if (row.outOfJournal != 0) {
                entries.push_back(row);
                numbers.push_back(row.outOfJournal);
            }
    };
    collect(locked_);
    collect(queue_);
    for (const Stretch& stretch : beyond_)
        collect(stretch.rows);
    // Every such row ended meanwhile.
    if (entries.empty()) {
        outOfJournal_ = 0;
        return;
    }
    outOfJournalHand_.insert(numbers.begin(), numbers.end());
    lock.unlock();
    std::vector<RowJournal::Entry*> placed;
    for (RowJournal::Entry& entry : entries)
        placed.push_back(&entry);
    const auto mayCommit = [this] {
        std::lock_guard guard(mutex_);
        outOfJournalCommitting_ = !outOfJournalGivenUp_;
        return outOfJournalCommitting_;
    };
    const bool journaled = writerJournal_->Append(placed, mayCommit);
    lock.lock();
    outOfJournalHand_.clear();
    outOfJournalCommitting_ = false;
    if (outOfJournalGivenUp_)
        return;
    if (!writerJournalWrite(journaled, "wiersze z pamięci")) {
        outOfJournalRetry_ = std::chrono::steady_clock::now() + PassingRetryPause;
        return;
    }
    rowsInMemoryJournaled(entries, numbers);
    changed_.notify_all();
}

// Under the lock: the rows put into the journal have their places now.
void RowRoad::Core::rowsInMemoryJournaled(const std::vector<RowJournal::Entry>& entries,
                                          const std::vector<std::uint64_t>& numbers) {
    std::map<std::uint64_t, std::int64_t> places;
    for (std::size_t i = 0; i < entries.size(); ++i)
        places[numbers[i]] = entries[i].seq;
    const auto give = [&](Items& rows) {
        for (Item& row : rows)
            if (const auto place = places.find(row.outOfJournal); place != places.end()) {
                row.seq = place->second;
                row.outOfJournal = 0;
                --outOfJournal_;
            }
    };
    give(locked_);
    give(queue_);
    for (Stretch& stretch : beyond_)
        give(stretch.rows);
    base::WriteLog(2, "Zapisy czekające w pamięci przyjęte do dziennika zapisów %s: %zu",
                   journalPath_.c_str(), entries.size());
}

// The commit goes only while no stop has named the rows as not journaled.
bool RowRoad::Core::journalRows(RowJournal& journal, Items& rows) {
    std::vector<RowJournal::Entry*> entries;
    for (Item& row : rows)
        entries.push_back(&row);
    const auto mayCommit = [this] {
        std::lock_guard lock(mutex_);
        journalCommitting_ = !journalGivenUp_;
        return journalCommitting_;
    };
    return journal.Append(entries, mayCommit);
}

// On the writer thread: a failed write is said, and the rows named.
bool RowRoad::Core::writerJournalWrite(bool written, const char* what, const std::vector<const Item*>& rows) {
    if (saidJournalWrite(written, *writerJournal_, what, writerJournalFailed_))
        return true;
    for (const Item* row : rows)
        base::WriteLog(2, "Zapis czeka w pamięci, aż dziennik zapisów go przyjmie: %s",
                       row->statement.c_str());
    return false;
}

bool RowRoad::Core::journaling() const {
    return writerJournal_ && writerJournal_->IsOpen();
}

// On the writer thread: the rows' keys are in the journal before their
// commit goes (each row's own statement, and the key that later rows refer
// to), all in one transaction.
bool RowRoad::Core::keepKeys(const std::vector<const Item*>& rows, bool drawn) {
    if (!journaling() || rows.empty())
        return true;
    const std::vector<const RowJournal::Entry*> entries(rows.begin(), rows.end());
    return writerJournalWrite(writerJournal_->SetKeys(entries, drawn), "klucz", rows);
}

// On the writer thread: the rows written leave the journal in its order,
// behind those whose removal failed before (kept and tried again), all in
// one transaction: a later row never leaves before an earlier one.
void RowRoad::Core::removeFromJournal(const std::vector<std::int64_t>& seqs) {
    std::copy_if(seqs.begin(), seqs.end(), std::back_inserter(unremoved_),
                 [](std::int64_t seq) { return seq != 0; });
    if (unremoved_.empty())
        return;
    // Without the writer's connection they wait for it to open again.
    if (journaling() && writerJournalWrite(writerJournal_->Remove(unremoved_), "usunięcie zapisanych"))
        unremoved_.clear();
    else
        removalRetry_ = std::chrono::steady_clock::now() + PassingRetryPause;
}

void RowRoad::Core::openWriterJournal(std::unique_lock<std::mutex>& lock) {
    const std::string path = journalPath_;
    lock.unlock();
    // A connection of its own each time: one that failed is not used again.
    auto journal = std::make_unique<RowJournal>();
    const bool open = journal->Open(path);
    if (open) {
        std::lock_guard keys(keysMutex_);
        for (RowJournal::Key& key : journal->Keys())
            keysOfTokens_[key.token] = {std::move(key.key), std::move(key.home)};
    }
    // Commit numbers go on from the journal's: a key is never given twice.
    std::int64_t lastCommit = 0;
    if (open && journal->LastCommit(lastCommit))
        nextCommit_ = std::max(nextCommit_, lastCommit + 1);
    sayWriterJournalOpen(*journal, open);
    lock.lock();
    writerJournal_ = std::move(journal);
    writerJournalOpen_ = open;
    writerJournalDown_ = !open;
    if (!open)
        writerJournalRetry_ = std::chrono::steady_clock::now() + PassingRetryPause;
}

// In the log each time it fails, on stderr at the first failure of a streak
// and when it opens again.
void RowRoad::Core::sayWriterJournalOpen(const RowJournal& journal, bool open) {
    const char* path = journal.Path().c_str();
    if (open) {
        if (std::exchange(writerJournalFailed_, false)) {
            std::fprintf(stderr, "Halvex: the row writer has opened the row journal %s again\n", path);
            base::WriteLog(2, "Zapis do bazy danych znów ma otwarty dziennik zapisów %s", path);
        }
        return;
    }
    const long long pause = static_cast<long long>(PassingRetryPause.count() / 1000);
    base::WriteLog(
        2, "Zapis do bazy danych nie może otworzyć dziennika zapisów %s (%s), ponowna próba za %lld s", path,
        journal.LastError().c_str(), pause);
    if (!std::exchange(writerJournalFailed_, true))
        std::fprintf(stderr,
                     "Halvex: the row writer cannot open the row journal %s: %s; rows wait for the database "
                     "until it opens, tried again every %lld s\n",
                     path, journal.LastError().c_str(), pause);
}

} // namespace db
