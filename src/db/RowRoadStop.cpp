// The stop: both threads ended by a deadline, every row left in the journal counted, those outside it named.
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

// Under the lock, at the stop, the writer ended: the rows not written go
// into the journal behind the earlier rows it holds, in their order, as a
// journal write a stop may give up.
void RowRoad::Core::journalRowsAtStop(RowJournal& journal, std::unique_lock<std::mutex>& lock) {
    if (!writerEnded_ || journalGivenUp_)
        return;
    lock.unlock();
    std::size_t earlier = 0;
    std::int64_t lastSeq = 0;
    const bool counted = journal.Extent(earlier, lastSeq);
    lock.lock();
    const auto take = [&](Items& rows) {
        for (Item& row : rows)
            if (row.seq == 0)
                journalHand_.push_back(std::move(row));
        std::erase_if(rows, [](const Item& row) { return row.seq == 0; });
    };
    take(locked_);
    take(queue_);
    for (Stretch& stretch : beyond_)
        take(stretch.rows);
    journalPath_ = journal.Path();
    const bool journaled = putHandIntoJournal(journal, lock);
    if (journalGivenUp_) {
        journalHand_.clear();
        return;
    }
    saidJournalWrite(journaled, journal, "wiersze", journalFailed_);
    // Counted as kept: the earlier rows stay in it too.
    if (journaled && counted)
        inJournalAlone_ += earlier;
    for (Item& row : journalHand_) {
        if (journaled)
            leaveInJournal(row);
        else
            queue_.push_back(std::move(row));
    }
    journalHand_.clear();
}

// Under the lock: the journal thread's rows in hand go into the journal,
// the lock let go meanwhile; false when they are not in it.
bool RowRoad::Core::putHandIntoJournal(RowJournal& journal, std::unique_lock<std::mutex>& lock) {
    journalBusy_ = true;
    lock.unlock();
    const bool journaled = journalRows(journal, journalHand_);
    lock.lock();
    journalBusy_ = false;
    journalCommitting_ = false;
    return journaled;
}

bool RowRoad::Core::threadsEnded() const {
    return writerEnded_ && (journalEnded_ || !journalThread_.joinable());
}

bool RowRoad::Core::Stop(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (threadsEnded())
        return true;
    stopping_ = true;
    stopDeadline_ = deadline;
    changed_.notify_all();
    const bool ended = changed_.wait_until(lock, deadline + StopGrace, [this] { return threadsEnded(); });
    if (!std::exchange(stopSaid_, true))
        sayRowsLeft();
    const bool journalEnded = journalEnded_;
    lock.unlock();
    if (ended && writerThread_.joinable())
        writerThread_.join();
    if (journalEnded && journalThread_.joinable())
        journalThread_.join();
    return ended;
}

// Under the lock, at the first stop: the rows in the journal stay in it for
// the next start, counted; every other row not written is named, and
// counted. The rows of a journal write or a commit that did not end are
// named by what is known of them.
void RowRoad::Core::sayRowsLeft() {
    std::size_t kept = inJournalAlone_ + inHand_ - handOutsideJournal_.size();
    std::size_t lost = 0, unsure = handOutsideJournal_.size();
    // The writer's putting of rows waiting in memory into the journal is
    // given up, unless its commit goes already.
    outOfJournalGivenUp_ = !outOfJournalCommitting_;
    const auto account = [&](const Items& rows) {
        for (const Item& row : rows) {
            if (row.seq != 0) {
                ++kept;
            } else if (outOfJournalCommitting_ && outOfJournalHand_.contains(row.outOfJournal)) {
                base::DiagnosticLog::instance().WriteWhileClosing(
                    2,
                    "Zapis w drodze do dziennika zapisów przy zatrzymaniu, nie wiadomo, czy w nim jest: %s",
                    row.statement.c_str());
                ++unsure;
            } else {
                nameRow(row);
                ++lost;
            }
        }
    };
    account(inbox_);
    account(queue_);
    account(locked_);
    for (const Stretch& stretch : beyond_)
        account(stretch.rows);
    const std::size_t journaling = nameJournalHand();
    (journalCommitting_ ? unsure : lost) += journaling;
    for (const std::string& statement : handOutsideJournal_)
        base::DiagnosticLog::instance().WriteWhileClosing(
            2, "Zapis w drodze do bazy danych przy zatrzymaniu, nie wiadomo, czy zapisano: %s",
            statement.c_str());
    sayStopCounts(kept, lost, unsure);
    writeRowsLeft(kept);
    inbox_.clear();
    queue_.clear();
    locked_.clear();
    beyond_.clear();
    inJournalAlone_ = 0;
    outOfJournal_ = 0;
    callbacksInJournal_.clear();
}

// Under the lock, at the stop: the journal's write in hand is not committed
// from here on (not in the journal then), or its commit already goes (not
// known to be in it). Only their statements are read: the journal thread
// has them. How many.
std::size_t RowRoad::Core::nameJournalHand() {
    if (!journalBusy_)
        return 0;
    journalGivenUp_ = true;
    for (const Item& row : journalHand_) {
        if (journalCommitting_)
            base::DiagnosticLog::instance().WriteWhileClosing(
                2, "Zapis w drodze do dziennika zapisów przy zatrzymaniu, nie wiadomo, czy w nim jest: %s",
                row.statement.c_str());
        else
            LogRowNotWritten(row.statement);
    }
    return journalHand_.size();
}

void RowRoad::Core::sayStopCounts(std::size_t kept, std::size_t lost, std::size_t unsure) const {
    auto& log = base::DiagnosticLog::instance();
    if (kept > 0) {
        log.WriteWhileClosing(
            2, "Zapisy czekające na bazę danych: %zu, zostają w dzienniku %s do następnego startu", kept,
            journalPath_.c_str());
        std::fprintf(stderr, "Halvex: %zu rows waiting for the database are kept in %s for the next start\n",
                     kept, journalPath_.c_str());
    }
    if (lost + unsure > 0) {
        log.WriteWhileClosing(2,
                              "Zapisy poza dziennikiem zapisów przy zatrzymaniu: %zu niezapisanych, %zu w "
                              "drodze bez znanego skutku",
                              lost, unsure);
        std::fprintf(
            stderr,
            "Halvex: at the stop %zu rows are lost, neither written nor in the journal, and %zu were "
            "on their way with no known outcome; each is named in the log\n",
            lost, unsure);
    }
}

// Under the lock: the rows the writer takes into its call.
void RowRoad::Core::takeInHand(const std::vector<Item>& rows) {
    inHand_ = rows.size();
    for (const Item& row : rows)
        if (row.seq == 0)
            handOutsideJournal_.push_back(row.statement);
}

// Under the lock.
void RowRoad::Core::leaveHand() {
    inHand_ = 0;
    handOutsideJournal_.clear();
}

} // namespace db
