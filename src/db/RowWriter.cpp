// The writer's loop: the attach, the pause, rounds of rows, rows locked by other clients, and how each row
// ends.
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

bool sameDatabase(const ConnectionSettings& a, const ConnectionSettings& b) {
    return a.host == b.host && a.path == b.path && a.user == b.user && a.password == b.password;
}

// In a thread of its own, within the call bound: an attach that gets no
// answer is left to its call, which detaches a late success itself.
bool attachWithinBound(const ConnectionSettings& c, DbHandle* into) {
    struct Attempt {
        std::mutex mutex;
        std::condition_variable returned;
        bool done = false;
        bool abandoned = false;
        DbHandle handle = 0;
    };
    auto attempt = std::make_shared<Attempt>();
    std::thread([attempt, c] {
        pthread_setname_np(pthread_self(), "RowWriterAttach");
        DbHandle handle = 0;
        SessionDB session(c.host, c.path, c.user, c.password, &handle, false);
        std::lock_guard lock(attempt->mutex);
        attempt->done = true;
        if (attempt->abandoned)
            SessionDB::DetachDatabase(&handle);
        attempt->handle = handle;
        attempt->returned.notify_all();
    }).detach();
    std::unique_lock lock(attempt->mutex);
    if (!attempt->returned.wait_until(lock, CallDeadline(), [&] { return attempt->done; })) {
        attempt->abandoned = true;
        base::WriteLog(2, "Baza danych nie odpowiedziała w ciągu %lld s, łączenie zapisów porzucone",
                       static_cast<long long>(CallBound().count() / 1000));
        return false;
    }
    *into = attempt->handle;
    return *into != 0;
}

} // namespace

void RowRoad::Core::Connect(const ConnectionSettings& database) {
    {
        std::lock_guard lock(mutex_);
        database_ = database;
        connected_ = true;
        lostConnection_ = false;
    }
    changed_.notify_all();
}

bool RowRoad::Core::ConnectedTo(const ConnectionSettings& database) const {
    std::lock_guard lock(mutex_);
    return connected_ && !lostConnection_ && sameDatabase(database, database_);
}

bool RowRoad::Core::canWrite() const {
    return connected_ && !lostConnection_ && !paused_ && !stopping_ && !writerJournalDown_;
}

bool RowRoad::Core::WritingNow() const {
    std::lock_guard lock(mutex_);
    return canWrite() && std::chrono::steady_clock::now() >= passingUntil_;
}

void RowRoad::Core::Pause(std::function<void()> settled) {
    {
        std::lock_guard lock(mutex_);
        paused_ = true;
        settled_ = settled ? std::move(settled) : [] {};
        sayWaiting(queue_);
        sayWaitingBeyond();
        for (Items* rows : {&inbox_, &queue_, &locked_})
            for (Item& row : *rows)
                row.heldThroughPause = true;
        for (Stretch& stretch : beyond_) {
            stretch.heldThroughPause = true;
            for (Item& row : stretch.rows)
                row.heldThroughPause = true;
        }
    }
    changed_.notify_all();
}

void RowRoad::Core::Resume() {
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
        settled_ = nullptr;
    }
    changed_.notify_all();
}

bool RowRoad::Core::Paused() const {
    std::lock_guard lock(mutex_);
    return paused_;
}

void RowRoad::Core::writerLoop() {
    pthread_setname_np(pthread_self(), "RowWriter");
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (paused_ && settled_) {
            lock.unlock();
            detach();
            lock.lock();
            // A Resume during the detach took the pause back.
            if (auto settled = std::exchange(settled_, nullptr))
                post(std::move(settled));
            continue;
        }
        if (journalWanted_ && !writerJournalOpen_ &&
            std::chrono::steady_clock::now() >= writerJournalRetry_) {
            openWriterJournal(lock);
            // With the lock let go, whatever changed meanwhile (a token left,
            // a row handed on, a pause) is looked at again before any wait.
            continue;
        }
        if (!unremoved_.empty() && std::chrono::steady_clock::now() >= removalRetry_) {
            lock.unlock();
            removeFromJournal({});
            lock.lock();
            continue;
        }
        if (forgetUnusedKeys(lock))
            continue;
        const auto now = std::chrono::steady_clock::now();
        if (outOfJournal_ > 0 && writerJournalOpen_ && now >= outOfJournalRetry_) {
            journalRowsInMemory(lock);
            continue;
        }
        const bool lockRetryDue = !locked_.empty() && now >= nextLockRetry_;
        if (canWrite() && now >= passingUntil_ && (rowsToTake() || lockRetryDue)) {
            writeRound(lock);
            continue;
        }
        tellIfEmpty();
        auto wake = std::chrono::steady_clock::time_point::max();
        if (passingUntil_ > now)
            wake = passingUntil_;
        if (!locked_.empty())
            wake = std::min(wake, nextLockRetry_);
        if (!unremoved_.empty())
            wake = std::min(wake, removalRetry_);
        if (writerJournalDown_)
            wake = std::min(wake, writerJournalRetry_);
        if (outOfJournal_ > 0 && writerJournalOpen_)
            wake = std::min(wake, outOfJournalRetry_);
        // Every branch that lets the lock go comes round again first: what
        // was told meanwhile is not slept through.
        if (!stopping_)
            changed_.wait_until(lock, wake);
    }
    const auto deadline = stopDeadline_;
    // The rows waiting in memory are kept for the next start, behind the
    // last ones the journal thread put in.
    changed_.wait_until(lock, deadline, [this] { return journalEnded_ || !journalWanted_; });
    if (writerJournalDown_ && (outOfJournal_ > 0 || !unremoved_.empty()))
        openWriterJournal(lock);
    if (outOfJournal_ > 0 && writerJournalOpen_)
        journalRowsInMemory(lock);
    lock.unlock();
    if (handle_ != 0) {
        BoundedCall bound(&handle_, deadline);
        SessionDB::DetachDatabase(&handle_);
    }
    // The written rows leave the journal, or the next start writes them again.
    removeFromJournal({});
    writerJournal_.reset();
    lock.lock();
    writerJournalOpen_ = false;
    writerEnded_ = true;
    changed_.notify_all();
}

bool RowRoad::Core::ensureAttached(std::unique_lock<std::mutex>& lock) {
    const ConnectionSettings wanted = database_;
    if (handle_ != 0 && sameDatabase(wanted, attachedWith_))
        return true;
    lock.unlock();
    detach();
    bool attached = attachWithinBound(wanted, &handle_);
    std::string identity;
    if (attached) {
        SessionDB session(wanted.host, wanted.path, wanted.user, wanted.password, &handle_, false);
        session.LeaveReattachToCaller();
        identity = IdentityWithGeneratorsMoved(session, wanted);
        attached = !identity.empty() && handle_ != 0;
    }
    lock.lock();
    const ConnectionSettings before = std::exchange(attachedWith_, wanted);
    if (!attached) {
        lose("the connection of the row writer could not be attached");
        return false;
    }
    const Kinship kin = KinshipOf(identity_, identity, PlaceOfDatabase(before));
    if (kin == Kinship::Other)
        keysBeforeRestore_.clear();
    if (!identity_.empty() && kin == Kinship::Restored)
        for (const auto& [generator, key] : KeysDrawn())
            keysBeforeRestore_[upperTrimmed(generator)] = key;
    for (const auto& [generator, key] : KeysDrawnBeforeRestore(identity))
        keysBeforeRestore_[generator] = std::max(keysBeforeRestore_[generator], key);
    identity_ = identity;
    if (!std::exchange(earlierHomesSaid_, true))
        sayEarlierRowsElsewhere();
    return true;
}

void RowRoad::Core::detach() {
    if (handle_ == 0)
        return;
    BoundedCall bound(&handle_);
    SessionDB::DetachDatabase(&handle_);
    handle_ = 0;
}

// Under the lock.
void RowRoad::Core::lose(const std::string& reason) {
    lostConnection_ = true;
    sayWaiting(queue_);
    sayWaiting(locked_);
    sayWaitingBeyond();
    post([this, reason] {
        if (lost_)
            lost_(reason);
    });
}

void RowRoad::Core::takeGroup(std::vector<Item>& group) {
    std::set<std::string> lockedSubjects;
    for (const Item& row : locked_)
        lockedSubjects.insert(currentSubject(row));
    while (group.size() < RowsPerCommit && !queue_.empty()) {
        Item row = std::move(queue_.front());
        queue_.pop_front();
        if (!row.subject.empty() && lockedSubjects.contains(currentSubject(row)))
            locked_.push_back(std::move(row));
        else
            group.push_back(std::move(row));
    }
}

bool RowRoad::Core::writeRound(std::unique_lock<std::mutex>& lock) {
    if (!ensureAttached(lock))
        return false;
    if (!locked_.empty() && std::chrono::steady_clock::now() >= nextLockRetry_) {
        retryLocked(lock);
        if (!canWrite())
            return false;
    }
    takeFromBeyond(lock);
    std::vector<Item> group;
    takeGroup(group);
    if (group.empty())
        return true;
    takeInHand(group);
    lock.unlock();
    const Outcome outcome = writeGroup(group);
    lock.lock();
    leaveHand();
    markHeldThroughPause(group);
    std::vector<Item> ended, back;
    for (Item& row : group) {
        if (row.ended)
            ended.push_back(std::move(row));
        else if (row.lockedNow)
            locked_.push_back(std::move(row));
        else
            back.push_back(std::move(row));
    }
    if (outcome == Outcome::Lost)
        for (const Item& row : back)
            base::WriteLog(2, "Nie zapisano w bazie danych, zapis czeka na połączenie: %s",
                           row.statement.c_str());
    putBack(back);
    if (outcome == Outcome::Lost)
        lose(lastLoss_);
    else if (outcome == Outcome::Passing)
        passingUntil_ = std::chrono::steady_clock::now() + PassingRetryPause;
    if (!locked_.empty() && nextLockRetry_ < std::chrono::steady_clock::now())
        nextLockRetry_ = std::chrono::steady_clock::now() + LockRetryPause;
    finishAll(ended, lock);
    return true;
}

// Under the lock: rows that were in hand when a pause came and are not
// written go after it, maybe into another database, as the waiting ones do.
void RowRoad::Core::markHeldThroughPause(std::vector<Item>& rows) {
    if (!paused_)
        return;
    for (Item& row : rows)
        if (!row.ended)
            row.heldThroughPause = true;
}

void RowRoad::Core::putBack(std::vector<Item>& rows) {
    queue_.insert(queue_.begin(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
}

// Each locked database row's first waiting row is tried alone, without
// waiting for the lock; once it goes, the rows behind it go back in turn.
void RowRoad::Core::retryLocked(std::unique_lock<std::mutex>& lock) {
    std::vector<std::string> subjects;
    for (const Item& row : locked_)
        if (std::find(subjects.begin(), subjects.end(), currentSubject(row)) == subjects.end())
            subjects.push_back(currentSubject(row));
    for (const std::string& subject : subjects) {
        const auto at = std::find_if(locked_.begin(), locked_.end(),
                                     [&](const Item& row) { return currentSubject(row) == subject; });
        if (at == locked_.end())
            continue;
        const auto place = at - locked_.begin();
        std::vector<Item> one;
        one.push_back(std::move(*at));
        locked_.erase(at);
        one.front().lockedNow = false;
        takeInHand(one);
        lock.unlock();
        const Outcome outcome = writeGroup(one, true);
        lock.lock();
        leaveHand();
        markHeldThroughPause(one);
        if (!one.front().ended) {
            locked_.insert(locked_.begin() + place, std::move(one.front()));
            if (outcome == Outcome::Lost) {
                lose(lastLoss_);
                return;
            }
            continue;
        }
        // Ended: written, or refused for good (named as not written then).
        base::WriteLog(2,
                       one.front().result == 0
                           ? "Inny klient bazy danych zwolnił wiersz, zapisano: %s"
                           : "Inny klient bazy danych zwolnił wiersz, zapisu odmówiono: %s",
                       one.front().statement.c_str());
        // An insert just written has its key now: the rows behind it name
        // that key or its token.
        const std::string written = currentSubject(one.front());
        std::vector<Item> behind;
        for (auto row = locked_.begin(); row != locked_.end();)
            if (currentSubject(*row) == written) {
                behind.push_back(std::move(*row));
                row = locked_.erase(row);
            } else {
                ++row;
            }
        putBack(behind);
        finishAll(one, lock);
    }
    nextLockRetry_ = std::chrono::steady_clock::now() + LockRetryPause;
}

// The rows leave the journal, then their followers hear of it, in order.
void RowRoad::Core::finishAll(std::vector<Item>& rows, std::unique_lock<std::mutex>& lock) {
    if (rows.empty())
        return;
    std::vector<std::int64_t> seqs;
    for (const Item& row : rows)
        seqs.push_back(row.seq);
    // Counted as waiting until their followers are on their way.
    finishing_ += rows.size();
    lock.unlock();
    removeFromJournal(seqs);
    lock.lock();
    finishing_ -= rows.size();
    earlierRowsEnded(rows);
    std::size_t earlier = 0;
    for (Item& row : rows) {
        if (row.earlier)
            ++earlier;
        if (row.outOfJournal != 0)
            --outOfJournal_;
        if (row.follower)
            post([follower = std::move(row.follower), result = row.result,
                  key = row.result == 0 ? row.key : std::string()] { follower(result, key); });
        leaveTokens(row);
    }
    earlierEnded(earlier);
}

} // namespace db
