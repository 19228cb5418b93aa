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

// Not blank to the value trimming of the table classes, and in no text a
// program of ours makes.
const char* const RowKeyMarker = "\x7F"
                                 "ROWKEY\x7F";

const char* const KeyOfRowOpening = "\x7F"
                                    "KEYOF ";

std::string NewRowToken() {
    static std::atomic<unsigned long> made{0};
    static const long long run = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    return std::to_string(run) + "." + std::to_string(::getpid()) + "." + std::to_string(++made);
}

std::string KeyOfRow(const std::string& token) {
    return KeyOfRowOpening + token + "\x7F";
}

RoadRow RoadRow::Keyed(std::string generatorQuery, std::string insertWithMarker, RowFollower then) {
    RoadRow row(std::move(insertWithMarker), std::move(then));
    row.generatorQuery = std::move(generatorQuery);
    return row;
}

std::vector<RoadRow> PlainRoadRows(const std::vector<std::string>& statements) {
    std::vector<RoadRow> rows;
    rows.reserve(statements.size());
    for (const std::string& statement : statements)
        rows.emplace_back(statement);
    return rows;
}

RowRoad::Core::Core(std::function<void(const std::string& reason)> lost)
    : lost_(std::move(lost)), context_(std::make_unique<QObject>()), runIdentity_(NewRowMark()) {
    BoundHandle(&handle_);
}

// The journal stays held while a thread of the road may still write it.
RowRoad::Core::~Core() {
    if (journalLock_ >= 0)
        ::close(journalLock_);
}

void RowRoad::Core::StartWriter() {
    writerThread_ = std::thread([core = shared_from_this()] { core->writerLoop(); });
}

namespace {

// A thread that ended is joined; one still in a call goes on with the core.
void endThread(std::thread& thread, bool ended) {
    if (!thread.joinable())
        return;
    if (ended)
        thread.join();
    else
        thread.detach();
}

} // namespace

void RowRoad::Core::Close() {
    Stop(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    std::unique_ptr<QObject> context;
    std::vector<std::function<void()>> callbacks;
    bool writerEnded = false, journalEnded = false;
    {
        std::lock_guard lock(mutex_);
        context = std::move(context_);
        // Nothing of the GUI thread's outlives the road on another thread.
        for (auto* callback : {&earlierWritten_, &pickedWritten_, &settled_, &whenEmpty_})
            callbacks.push_back(std::exchange(*callback, nullptr));
        lost_ = nullptr;
        writerEnded = writerEnded_;
        journalEnded = journalEnded_ || !journalThread_.joinable();
    }
    // With what was posted to it and not run.
    context.reset();
    endThread(writerThread_, writerEnded);
    endThread(journalThread_, journalEnded);
}

RowRoad::RowRoad(std::function<void(const std::string& reason)> lost)
    : core_(std::make_shared<Core>(std::move(lost))) {
    core_->StartWriter();
}

RowRoad::~RowRoad() {
    core_->Close();
}

bool RowRoad::OpenJournal(const std::string& path) {
    return core_->OpenJournal(path);
}

bool RowRoad::JournalHeldElsewhere() const {
    return core_->JournalHeldElsewhere();
}

void RowRoad::WhenEarlierRowsWritten(std::function<void()> then) {
    core_->WhenEarlierRowsWritten(std::move(then));
}

bool RowRoad::EarlierRowsWritten() const {
    return core_->EarlierRowsWritten();
}

void RowRoad::KeepEarlierRows(RowPick which) {
    core_->KeepEarlierRows(std::move(which));
}

void RowRoad::WhenEarlierRowsWritten(const RowPick& which, std::function<void()> then) {
    core_->WhenEarlierRowsWritten(which, std::move(then));
}

std::vector<std::string> RowRoad::EarlierRowsLeft(const RowPick& which) const {
    return core_->EarlierRowsLeft(which);
}

std::vector<std::string> RowRoad::EarlierInsertTokens(const RowPick& which,
                                                      std::vector<std::string>* statements) const {
    return core_->EarlierInsertTokens(which, statements);
}

void RowRoad::Hand(std::vector<RoadRow> rows) {
    core_->Hand(std::move(rows));
}

void RowRoad::HandAfterEarlierRows(RoadRow row) {
    core_->HandAfterEarlierRows(std::move(row));
}

void RowRoad::Connect(const ConnectionSettings& database) {
    core_->Connect(database);
}

bool RowRoad::ConnectedTo(const ConnectionSettings& database) const {
    return core_->ConnectedTo(database);
}

std::string RowRoad::HomeOfNewRows() const {
    return core_->HomeOfNewRows();
}

bool RowRoad::WritingNow() const {
    return core_->WritingNow();
}

void RowRoad::Pause(std::function<void()> settled) {
    core_->Pause(std::move(settled));
}

void RowRoad::Resume() {
    core_->Resume();
}

bool RowRoad::Paused() const {
    return core_->Paused();
}

void RowRoad::HoldKeys(const std::vector<std::string>& tokens) {
    core_->HoldKeys(tokens);
}

void RowRoad::ReleaseKeys(const std::vector<std::string>& tokens) {
    core_->ReleaseKeys(tokens);
}

bool RowRoad::Empty() const {
    return core_->Empty();
}

bool RowRoad::Idle() const {
    return core_->Idle();
}

std::size_t RowRoad::Waiting() const {
    return core_->Waiting();
}

std::size_t RowRoad::Journaling() const {
    return core_->Journaling();
}

std::size_t RowRoad::RowsHeld() const {
    return core_->RowsHeld();
}

std::size_t RowRoad::MostRowsHeld() const {
    return core_->MostRowsHeld();
}

std::size_t RowRoad::KeysKept() const {
    return core_->KeysKept();
}

void RowRoad::WhenEmpty(std::function<void()> then) {
    core_->WhenEmpty(std::move(then));
}

bool RowRoad::Stop(std::chrono::steady_clock::time_point deadline) {
    return core_->Stop(deadline);
}

void RowRoad::Core::Hand(std::vector<RoadRow> rows) {
    std::vector<std::function<void()>> waitingNow;
    {
        std::lock_guard lock(mutex_);
        // Past the stop nothing takes it: it is named.
        if (stopping_) {
            for (const RoadRow& row : rows)
                LogRowNotWritten(row.statement);
            return;
        }
        const bool writing = canWrite();
        const bool journaled = journalWanted_ && !journalEnded_;
        Items& into = journaled ? inbox_ : queue_;
        for (RoadRow& row : rows) {
            if (!journaled && overCap(row))
                continue;
            Item item;
            item.statement = std::move(row.statement);
            item.generatorQuery = std::move(row.generatorQuery);
            item.token = std::move(row.token);
            item.subject = std::move(row.subject);
            item.heldThroughPause = paused_;
            item.home = !row.home.empty() ? std::move(row.home) : homeOfNewRows();
            item.follower = std::move(row.follower);
            useTokens(item);
            if (!writing && row.waiting)
                waitingNow.push_back(std::move(row.waiting));
            else
                item.waiting = std::move(row.waiting);
            into.push_back(std::move(item));
        }
        noteHeld();
    }
    changed_.notify_all();
    for (auto& waiting : waitingNow)
        waiting();
}

void RowRoad::Core::HandAfterEarlierRows(RoadRow row) {
    {
        std::lock_guard lock(mutex_);
        Item item;
        item.statement = std::move(row.statement);
        item.follower = std::move(row.follower);
        item.subject = std::move(row.subject);
        useTokens(item);
        const auto lastEarlier = std::find_if(beyond_.rbegin(), beyond_.rend(),
                                              [](const Stretch& stretch) { return stretch.earlier; });
        if (lastEarlier != beyond_.rend()) {
            beyond_.insert(lastEarlier.base(), Stretch())->rows.push_back(std::move(item));
        } else {
            const auto firstOfThisRun = std::find_if(queue_.begin(), queue_.end(),
                                                     [](const Item& queued) { return !queued.earlier; });
            queue_.insert(firstOfThisRun, std::move(item));
        }
    }
    changed_.notify_all();
}

bool RowRoad::Core::Empty() const {
    std::lock_guard lock(mutex_);
    return empty();
}

// Under the lock.
bool RowRoad::Core::empty() const {
    return inbox_.empty() && !journalBusy_ && held() == 0 && inJournalAlone_ == 0;
}

bool RowRoad::Core::Idle() const {
    std::lock_guard lock(mutex_);
    return inbox_.empty() && queue_.empty() && beyond_.empty() && inHand_ == 0 && !journalBusy_ &&
           finishing_ == 0;
}

std::size_t RowRoad::Core::Waiting() const {
    std::lock_guard lock(mutex_);
    return inbox_.size() + journalHandRows() + held() + inJournalAlone_;
}

std::size_t RowRoad::Core::Journaling() const {
    std::lock_guard lock(mutex_);
    return inbox_.size() + journalHandRows();
}

// Under the lock: a stop named them, if it came.
std::size_t RowRoad::Core::journalHandRows() const {
    return journalGivenUp_ ? 0 : journalHand_.size();
}

std::size_t RowRoad::Core::RowsHeld() const {
    std::lock_guard lock(mutex_);
    return held();
}

std::size_t RowRoad::Core::MostRowsHeld() const {
    std::lock_guard lock(mutex_);
    return mostHeld_;
}

std::size_t RowRoad::Core::held() const {
    std::size_t rows = queue_.size() + locked_.size() + inHand_ + finishing_;
    for (const Stretch& stretch : beyond_)
        rows += stretch.rows.size();
    return rows;
}

// Under the lock, without a journal: a row past the cap is dropped, named,
// and its follower told it was refused.
bool RowRoad::Core::overCap(RoadRow& row) {
    if (held() < RowsInMemory)
        return false;
    base::WriteLog(2, "Kolejka zapisów do bazy danych pełna (%zu), bez dziennika zapisów; porzucono: %s",
                   RowsInMemory, row.statement.c_str());
    if (!std::exchange(capSaid_, true))
        std::fprintf(stderr,
                     "Halvex: the rows waiting for the database fill memory (%zu rows) and no row journal is "
                     "open; the rows past them are dropped and named in the log\n",
                     RowsInMemory);
    if (row.follower)
        post([follower = std::move(row.follower)] { follower(-1, std::string()); });
    return true;
}

void RowRoad::Core::noteHeld() {
    mostHeld_ = std::max(mostHeld_, held());
}

std::size_t RowRoad::Core::KeysKept() const {
    std::lock_guard keys(keysMutex_);
    return keysOfTokens_.size();
}

void RowRoad::Core::WhenEmpty(std::function<void()> then) {
    {
        std::lock_guard lock(mutex_);
        whenEmpty_ = std::move(then);
    }
    changed_.notify_all();
}

// Under the lock.
void RowRoad::Core::tellIfEmpty() {
    if (whenEmpty_ && empty())
        post(std::exchange(whenEmpty_, nullptr));
}

// Under the lock.
void RowRoad::Core::post(std::function<void()> call) {
    if (!QCoreApplication::instance() || !context_)
        return;
    QMetaObject::invokeMethod(context_.get(), std::move(call), Qt::QueuedConnection);
}

// Under the lock: the rows that wait hear of it, once.
void RowRoad::Core::sayWaiting(Items& rows) {
    for (Item& row : rows)
        if (row.waiting)
            post(std::exchange(row.waiting, nullptr));
}

// Under the lock.
void RowRoad::Core::sayWaitingBeyond() {
    for (Stretch& stretch : beyond_)
        sayWaiting(stretch.rows);
    for (auto& [seq, callbacks] : callbacksInJournal_)
        if (callbacks.waiting)
            post(std::exchange(callbacks.waiting, nullptr));
}

} // namespace db
