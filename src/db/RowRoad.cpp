#include "db/RowRoad.h"

#include "base/DiagnosticLog.h"
#include "db/CallWatchdog.h"
#include "db/DrawnKeys.h"
#include "db/RowLookup.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <future>
#include <map>
#include <pthread.h>
#include <set>
#include <unistd.h>

namespace db {

// Not blank to the value trimming of the table classes, and in no text a
// program of ours makes.
const char* const RowKeyMarker = "\x7F"
                                 "ROWKEY\x7F";

namespace {

const char* const KeyOfRowOpening = "\x7F"
                                    "KEYOF ";

// The tokens whose keys a statement refers to, in order.
std::vector<std::string> tokensReferredBy(const std::string& statement) {
    std::vector<std::string> tokens;
    const std::size_t opening = std::string(KeyOfRowOpening).size();
    for (auto at = statement.find(KeyOfRowOpening); at != std::string::npos;
         at = statement.find(KeyOfRowOpening, at + 1)) {
        const auto end = statement.find('\x7F', at + opening);
        if (end == std::string::npos)
            break;
        tokens.push_back(statement.substr(at + opening, end - at - opening));
    }
    return tokens;
}

} // namespace

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

namespace {

std::string upperTrimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n;");
    text = first == std::string::npos || last < first ? std::string() : text.substr(first, last - first + 1);
    for (char& c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool sameDatabase(const ConnectionSettings& a, const ConnectionSettings& b) {
    return a.host == b.host && a.path == b.path && a.user == b.user && a.password == b.password;
}

// A statement as one of a block's: without the terminator it may end with.
std::string plainStatement(const std::string& statement) {
    const auto last = statement.find_last_not_of(" \t\r\n;");
    return last == std::string::npos ? std::string() : statement.substr(0, last + 1);
}

void nameRow(const RowJournal::Entry& row) {
    LogRowNotWritten(row.statement);
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

// An update or delete of one row named by its key: its condition begins
// with a key column ("...ID=").
bool namesRowByKey(const std::string& subject) {
    const std::size_t bar = subject.find('|');
    const std::size_t equals = subject.find('=', bar);
    if (bar == std::string::npos || equals == std::string::npos || equals < bar + 3)
        return false;
    return subject.compare(equals - 2, 2, "ID") == 0 && subject.find_first_of("<>!(", bar) > equals;
}

} // namespace

// "UPDATE t SET ... WHERE c" and "DELETE FROM t WHERE c" change the rows of
// t under c; quoted values are compared as written, letters in any case.
std::string RowSubject(const std::string& statement) {
    const std::string upper = upperTrimmed(statement);
    std::size_t tableAt = 0;
    if (upper.rfind("UPDATE ", 0) == 0)
        tableAt = 7;
    else if (upper.rfind("DELETE FROM ", 0) == 0)
        tableAt = 12;
    else
        return {};
    tableAt = upper.find_first_not_of(' ', tableAt);
    const std::size_t tableEnd = upper.find(' ', tableAt);
    const std::size_t where = upper.rfind(" WHERE ");
    if (tableAt == std::string::npos || tableEnd == std::string::npos || where == std::string::npos)
        return upper;
    std::string condition;
    for (char c : upper.substr(where + 7))
        if (c != ' ')
            condition += c;
    return upper.substr(tableAt, tableEnd - tableAt) + "|" + condition;
}

RowRoad::RowRoad(std::function<void(const std::string& reason)> lost) : lost_(std::move(lost)) {
    BoundHandle(&handle_);
    writerThread_ = std::thread([this] { writerLoop(); });
}

RowRoad::~RowRoad() {
    if (!Stop(std::chrono::steady_clock::now() + std::chrono::seconds(5))) {
        // In a call that never returns: the process ends with it.
        writerThread_.detach();
    }
    if (journalThread_.joinable())
        journalThread_.join();
}

bool RowRoad::OpenJournal(const std::string& path) {
    if (path.empty() || journalThread_.joinable())
        return false;
    std::promise<bool> opened;
    std::future<bool> result = opened.get_future();
    journalThread_ = std::thread([this, path, &opened] {
        pthread_setname_np(pthread_self(), "RowJournal");
        RowJournal journal;
        const bool open = journal.Open(path);
        if (!open) {
            std::fprintf(stderr,
                         "Halvex: cannot open the row journal %s: %s; rows waiting for the database are "
                         "kept in memory only\n",
                         path.c_str(), journal.LastError().c_str());
            base::WriteLog(2, "Nie można otworzyć dziennika zapisów %s: %s", path.c_str(),
                           journal.LastError().c_str());
        } else {
            takeEarlierRows(journal);
        }
        opened.set_value(open);
        if (open)
            journalLoop(journal);
        std::lock_guard lock(mutex_);
        journalEnded_ = true;
        changed_.notify_all();
    });
    const bool open = result.get();
    if (!open)
        journalThread_.join();
    return open;
}

// Before any row handed on: they go to the head of the queue, and the
// writer takes none until they are there.
void RowRoad::takeEarlierRows(RowJournal& journal) {
    std::vector<RowJournal::Entry> earlier = journal.Load();
    // Keys no row left refers to are forgotten.
    std::vector<std::string> referred;
    for (const RowJournal::Entry& row : earlier)
        for (std::string& token : tokensReferredBy(row.statement))
            referred.push_back(std::move(token));
    journal.ForgetKeysExcept(referred);
    std::lock_guard lock(mutex_);
    journalPath_ = journal.Path();
    Items items;
    for (RowJournal::Entry& row : earlier) {
        Item item;
        static_cast<RowJournal::Entry&>(item) = std::move(row);
        item.subject = RowSubject(item.statement);
        item.earlier = true;
        useTokens(item);
        items.push_back(std::move(item));
    }
    earlierLeft_ = items.size();
    if (!items.empty())
        base::WriteLog(2, "Dziennik zapisów %s: %zu zapisów z poprzedniej pracy czeka na bazę danych",
                       journalPath_.c_str(), items.size());
    queue_.insert(queue_.begin(), std::make_move_iterator(items.begin()),
                  std::make_move_iterator(items.end()));
    journalWanted_ = true;
    changed_.notify_all();
}

void RowRoad::WhenEarlierRowsWritten(std::function<void()> then) {
    {
        std::lock_guard lock(mutex_);
        if (earlierLeft_ > 0) {
            earlierWritten_ = std::move(then);
            return;
        }
    }
    then();
}

bool RowRoad::EarlierRowsWritten() const {
    std::lock_guard lock(mutex_);
    return earlierLeft_ == 0;
}

void RowRoad::Hand(std::vector<RoadRow> rows) {
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
        Items& into = journalWanted_ && !journalEnded_ ? inbox_ : queue_;
        for (RoadRow& row : rows) {
            Item item;
            item.statement = std::move(row.statement);
            item.generatorQuery = std::move(row.generatorQuery);
            item.token = std::move(row.token);
            item.heldThroughPause = paused_;
            item.home = identity_.empty() && connected_ ? PlaceOfDatabase(database_) : identity_;
            item.follower = std::move(row.follower);
            item.subject = RowSubject(item.statement);
            useTokens(item);
            if (!writing && row.waiting)
                waitingNow.push_back(std::move(row.waiting));
            else
                item.waiting = std::move(row.waiting);
            into.push_back(std::move(item));
        }
    }
    changed_.notify_all();
    for (auto& waiting : waitingNow)
        waiting();
}

void RowRoad::HandAfterEarlierRows(RoadRow row) {
    {
        std::lock_guard lock(mutex_);
        Item item;
        item.statement = std::move(row.statement);
        item.follower = std::move(row.follower);
        item.subject = RowSubject(item.statement);
        const auto firstOfThisRun =
            std::find_if(queue_.begin(), queue_.end(), [](const Item& queued) { return !queued.earlier; });
        queue_.insert(firstOfThisRun, std::move(item));
    }
    changed_.notify_all();
}

void RowRoad::journalLoop(RowJournal& journal) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !inbox_.empty(); });
        if (inbox_.empty())
            break;
        Items rows;
        rows.swap(inbox_);
        journalBusy_ = true;
        journalInHand_ = rows.size();
        lock.unlock();
        journalRows(journal, rows);
        lock.lock();
        journalBusy_ = false;
        journalInHand_ = 0;
        for (Item& row : rows)
            queue_.push_back(std::move(row));
        changed_.notify_all();
    }
}

// A journal that cannot be written (a full disk) is said once a streak, and
// its rows are named: they go on in memory.
void RowRoad::journalRows(RowJournal& journal, Items& rows) {
    std::vector<RowJournal::Entry*> entries;
    for (Item& row : rows)
        entries.push_back(&row);
    if (journal.Append(entries)) {
        if (std::exchange(journalFailed_, false))
            base::WriteLog(2, "Dziennik zapisów %s znów zapisywany", journal.Path().c_str());
        return;
    }
    if (!std::exchange(journalFailed_, true)) {
        std::fprintf(stderr, "Halvex: cannot write the row journal %s: %s; rows are kept in memory only\n",
                     journal.Path().c_str(), journal.LastError().c_str());
        base::WriteLog(2, "Nie można zapisać dziennika zapisów %s: %s", journal.Path().c_str(),
                       journal.LastError().c_str());
    }
    for (const Item& row : rows)
        base::WriteLog(2, "Poza dziennikiem zapisów, czeka w pamięci: %s", row.statement.c_str());
}

void RowRoad::Connect(const ConnectionSettings& database) {
    {
        std::lock_guard lock(mutex_);
        database_ = database;
        connected_ = true;
        lostConnection_ = false;
    }
    changed_.notify_all();
}

bool RowRoad::ConnectedTo(const ConnectionSettings& database) const {
    std::lock_guard lock(mutex_);
    return connected_ && !lostConnection_ && sameDatabase(database, database_);
}

bool RowRoad::canWrite() const {
    return connected_ && !lostConnection_ && !paused_ && !stopping_;
}

bool RowRoad::WritingNow() const {
    std::lock_guard lock(mutex_);
    return canWrite() && std::chrono::steady_clock::now() >= passingUntil_;
}

void RowRoad::Pause(std::function<void()> settled) {
    {
        std::lock_guard lock(mutex_);
        paused_ = true;
        settled_ = settled ? std::move(settled) : [] {};
        sayWaiting(queue_);
        for (Items* rows : {&inbox_, &queue_, &locked_})
            for (Item& row : *rows)
                row.heldThroughPause = true;
    }
    changed_.notify_all();
}

void RowRoad::Resume() {
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
        settled_ = nullptr;
    }
    changed_.notify_all();
}

bool RowRoad::Paused() const {
    std::lock_guard lock(mutex_);
    return paused_;
}

bool RowRoad::Empty() const {
    std::lock_guard lock(mutex_);
    return inbox_.empty() && queue_.empty() && locked_.empty() && inHand_ == 0 && !journalBusy_ &&
           finishing_ == 0;
}

bool RowRoad::Idle() const {
    std::lock_guard lock(mutex_);
    return inbox_.empty() && queue_.empty() && inHand_ == 0 && !journalBusy_ && finishing_ == 0;
}

std::size_t RowRoad::Waiting() const {
    std::lock_guard lock(mutex_);
    return inbox_.size() + journalInHand_ + queue_.size() + locked_.size() + inHand_ + finishing_;
}

std::size_t RowRoad::KeysKept() const {
    std::lock_guard keys(keysMutex_);
    return keysOfTokens_.size();
}

void RowRoad::WhenEmpty(std::function<void()> then) {
    {
        std::lock_guard lock(mutex_);
        whenEmpty_ = std::move(then);
    }
    changed_.notify_all();
}

// Under the lock.
void RowRoad::tellIfEmpty() {
    if (whenEmpty_ && inbox_.empty() && queue_.empty() && locked_.empty() && inHand_ == 0 && !journalBusy_ &&
        finishing_ == 0)
        post(std::exchange(whenEmpty_, nullptr));
}

void RowRoad::post(std::function<void()> call) {
    if (!QCoreApplication::instance())
        return;
    QMetaObject::invokeMethod(&context_, std::move(call), Qt::QueuedConnection);
}

// Under the lock: the rows that wait hear of it, once.
void RowRoad::sayWaiting(Items& rows) {
    for (Item& row : rows)
        if (row.waiting)
            post(std::exchange(row.waiting, nullptr));
}

void RowRoad::writerLoop() {
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
        if (journalWanted_ && !writerJournal_) {
            writerJournal_ = std::make_unique<RowJournal>();
            const std::string path = journalPath_;
            lock.unlock();
            if (writerJournal_->Open(path)) {
                std::lock_guard keys(keysMutex_);
                for (RowJournal::Key& key : writerJournal_->Keys())
                    keysOfTokens_[key.token] = {std::move(key.key), std::move(key.home)};
            }
            lock.lock();
        }
        forgetUnusedKeys(lock);
        const auto now = std::chrono::steady_clock::now();
        const bool lockRetryDue = !locked_.empty() && now >= nextLockRetry_;
        if (canWrite() && now >= passingUntil_ && (!queue_.empty() || lockRetryDue)) {
            writeRound(lock);
            continue;
        }
        tellIfEmpty();
        auto wake = std::chrono::steady_clock::time_point::max();
        if (passingUntil_ > now)
            wake = passingUntil_;
        if (!locked_.empty())
            wake = std::min(wake, nextLockRetry_);
        changed_.wait_until(lock, wake);
    }
    const auto deadline = stopDeadline_;
    lock.unlock();
    if (handle_ != 0) {
        BoundedCall bound(&handle_, deadline);
        SessionDB::DetachDatabase(&handle_);
    }
    writerJournal_.reset();
    lock.lock();
    writerEnded_ = true;
    changed_.notify_all();
}

bool RowRoad::ensureAttached(std::unique_lock<std::mutex>& lock) {
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
        identity = DatabaseIdentity(session, wanted);
        attached = !identity.empty() && handle_ != 0;
    }
    lock.lock();
    attachedWith_ = wanted;
    if (!attached) {
        lose("the connection of the row writer could not be attached");
        return false;
    }
    if (!identity_.empty() && identity != identity_ &&
        PlaceOfIdentity(identity) == PlaceOfIdentity(identity_))
        for (const auto& [generator, key] : KeysDrawn())
            keysBeforeRestore_[upperTrimmed(generator)] = key;
    identity_ = identity;
    if (!std::exchange(earlierHomesSaid_, true))
        sayEarlierRowsElsewhere();
    return true;
}

// Under the lock, at the first attach: the earlier run's rows kept for
// another database go into this one, the exchange's history that they are.
void RowRoad::sayEarlierRowsElsewhere() {
    std::map<std::string, std::size_t> elsewhere;
    for (const Items* rows : {&queue_, &locked_})
        for (const Item& row : *rows)
            if (row.earlier && !row.home.empty() && PlaceOfIdentity(row.home) != PlaceOfIdentity(identity_))
                ++elsewhere[PlaceOfIdentity(row.home)];
    const std::string here = PlaceOfIdentity(identity_);
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

void RowRoad::detach() {
    if (handle_ == 0)
        return;
    BoundedCall bound(&handle_);
    SessionDB::DetachDatabase(&handle_);
    handle_ = 0;
}

// Under the lock.
void RowRoad::lose(const std::string& reason) {
    lostConnection_ = true;
    sayWaiting(queue_);
    sayWaiting(locked_);
    post([this, reason] {
        if (lost_)
            lost_(reason);
    });
}

void RowRoad::takeGroup(std::vector<Item>& group) {
    std::set<std::string> lockedSubjects;
    for (const Item& row : locked_)
        lockedSubjects.insert(row.subject);
    while (group.size() < RowsPerCommit && !queue_.empty()) {
        Item row = std::move(queue_.front());
        queue_.pop_front();
        if (!row.subject.empty() && lockedSubjects.contains(row.subject))
            locked_.push_back(std::move(row));
        else
            group.push_back(std::move(row));
    }
}

bool RowRoad::writeRound(std::unique_lock<std::mutex>& lock) {
    if (!ensureAttached(lock))
        return false;
    if (!locked_.empty() && std::chrono::steady_clock::now() >= nextLockRetry_) {
        retryLocked(lock);
        if (!canWrite())
            return false;
    }
    std::vector<Item> group;
    takeGroup(group);
    if (group.empty())
        return true;
    inHand_ = group.size();
    lock.unlock();
    const Outcome outcome = writeGroup(group);
    lock.lock();
    inHand_ = 0;
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
void RowRoad::markHeldThroughPause(std::vector<Item>& rows) {
    if (!paused_)
        return;
    for (Item& row : rows)
        if (!row.ended)
            row.heldThroughPause = true;
}

void RowRoad::putBack(std::vector<Item>& rows) {
    queue_.insert(queue_.begin(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
}

// Each locked database row's first waiting row is tried alone, without
// waiting for the lock; once it goes, the rows behind it go back in turn.
void RowRoad::retryLocked(std::unique_lock<std::mutex>& lock) {
    std::vector<std::string> subjects;
    for (const Item& row : locked_)
        if (std::find(subjects.begin(), subjects.end(), row.subject) == subjects.end())
            subjects.push_back(row.subject);
    for (const std::string& subject : subjects) {
        const auto at = std::find_if(locked_.begin(), locked_.end(),
                                     [&](const Item& row) { return row.subject == subject; });
        const auto place = at - locked_.begin();
        std::vector<Item> one;
        one.push_back(std::move(*at));
        locked_.erase(at);
        one.front().lockedNow = false;
        inHand_ = 1;
        lock.unlock();
        const Outcome outcome = writeGroup(one, true);
        lock.lock();
        inHand_ = 0;
        markHeldThroughPause(one);
        if (!one.front().ended) {
            locked_.insert(locked_.begin() + place, std::move(one.front()));
            if (outcome == Outcome::Lost) {
                lose(lastLoss_);
                return;
            }
            continue;
        }
        base::WriteLog(2, "Inny klient bazy danych zwolnił wiersz, zapisano: %s",
                       one.front().statement.c_str());
        std::vector<Item> behind;
        for (auto row = locked_.begin(); row != locked_.end();)
            if (row->subject == subject) {
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

// Under the lock: the tokens a row refers to, and its own, are in use.
void RowRoad::useTokens(const Item& row) {
    for (const std::string& token : tokensReferredBy(row.statement))
        ++tokenUsers_[token];
    if (!row.token.empty())
        ++tokenUsers_[row.token];
}

// Under the lock.
void RowRoad::leaveToken(const std::string& token) {
    const auto users = tokenUsers_.find(token);
    if (users == tokenUsers_.end() || --users->second > 0)
        return;
    tokenUsers_.erase(users);
    unusedTokens_.push_back(token);
    changed_.notify_all();
}

// Under the lock, for a row that ended. A named insert's own token is left
// once its follower has run: until then a row handed on may still name it.
void RowRoad::leaveTokens(const Item& row) {
    for (const std::string& token : tokensReferredBy(row.statement))
        leaveToken(token);
    if (row.token.empty())
        return;
    if (!QCoreApplication::instance()) {
        leaveToken(row.token);
        return;
    }
    post([this, token = row.token] {
        std::lock_guard lock(mutex_);
        leaveToken(token);
    });
}

// On the writer thread: the keys no row uses any more go, from memory and
// from the journal.
void RowRoad::forgetUnusedKeys(std::unique_lock<std::mutex>& lock) {
    if (unusedTokens_.empty())
        return;
    std::vector<std::string> tokens = std::exchange(unusedTokens_, {});
    std::erase_if(tokens, [this](const std::string& token) { return tokenUsers_.contains(token); });
    lock.unlock();
    {
        std::lock_guard keys(keysMutex_);
        for (const std::string& token : tokens)
            keysOfTokens_.erase(token);
    }
    if (writerJournal_ && writerJournal_->IsOpen())
        writerJournal_->ForgetKeys(tokens);
    lock.lock();
}

// The rows leave the journal, then their followers hear of it, in order.
void RowRoad::finishAll(std::vector<Item>& rows, std::unique_lock<std::mutex>& lock) {
    if (rows.empty())
        return;
    std::vector<std::int64_t> seqs;
    for (const Item& row : rows)
        seqs.push_back(row.seq);
    // Counted as waiting until their followers are on their way.
    finishing_ += rows.size();
    lock.unlock();
    if (writerJournal_ && writerJournal_->IsOpen() && !writerJournal_->Remove(seqs))
        base::WriteLog(2, "Nie można usunąć zapisanych wierszy z dziennika zapisów: %s",
                       writerJournal_->LastError().c_str());
    lock.lock();
    finishing_ -= rows.size();
    std::size_t earlier = 0;
    for (Item& row : rows) {
        if (row.earlier)
            ++earlier;
        if (row.follower)
            post([follower = std::move(row.follower), result = row.result,
                  key = row.result == 0 ? row.key : std::string()] { follower(result, key); });
        leaveTokens(row);
    }
    if (earlier > 0 && earlierLeft_ > 0) {
        earlierLeft_ -= std::min(earlier, earlierLeft_);
        if (earlierLeft_ == 0) {
            base::WriteLog(2, "%s", "Zapisy z poprzedniej pracy zapisane w bazie danych");
            if (earlierWritten_)
                post(std::exchange(earlierWritten_, nullptr));
        }
    }
}

RowRoad::Outcome RowRoad::writeGroup(std::vector<Item>& group, bool retryingLock) {
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

// A key drawn for a commit that did not go is drawn again for the row's
// next: by then the database may be another (a restore, a new connection),
// whose generator knows nothing of it.
void RowRoad::forgetKeys(std::vector<Item>& group) {
    for (Item& row : group)
        if (!row.ended && !row.attempted && !row.keyGenerator.empty())
            forgetKey(row);
}

void RowRoad::forgetKey(Item& row) {
    row.statement = std::exchange(row.unkeyed, {});
    row.generatorQuery = std::exchange(row.keyGenerator, {});
    row.key.clear();
    {
        std::lock_guard keys(keysMutex_);
        keysOfTokens_.erase(row.token);
    }
    if (writerJournal_ && writerJournal_->IsOpen())
        writerJournal_->SetKey(row);
}

void RowRoad::rehome(std::vector<Item>& group) {
    const std::string here = [this] {
        std::lock_guard lock(mutex_);
        return identity_;
    }();
    for (Item& row : group) {
        if (row.ended)
            continue;
        if (namesKeyDrawnBeforeRestore(row.subject))
            row.heldThroughPause = true;
        if (row.home.empty() || row.home == here)
            continue;
        if (!row.key.empty() && !row.keyGenerator.empty()) {
            forgetKey(row);
            continue;
        }
        if (namesRowByKey(row.subject) && tokensReferredBy(row.statement).empty())
            keptHere(row, row.home);
    }
}

// "TABLE|NID='5'AND...": the key of a table whose generator is ID_TABLE.
bool RowRoad::namesKeyDrawnBeforeRestore(const std::string& subject) const {
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

bool RowRoad::keptHere(Item& row, const std::string& home) {
    const std::string here = [this] {
        std::lock_guard lock(mutex_);
        return identity_;
    }();
    // Restored, the database keeps the rows of its backup under their keys:
    // the update is counted, and said when it finds none.
    if (PlaceOfIdentity(home) == PlaceOfIdentity(here)) {
        row.heldThroughPause = true;
        return true;
    }
    base::WriteLog(2, "Nie zastosowano w bazie danych %s, wiersz jest z bazy danych %s: %s",
                   PlaceOfIdentity(here).c_str(), PlaceOfIdentity(home).c_str(), row.statement.c_str());
    row.ended = true;
    row.result = 0;
    return false;
}

RowRoad::Outcome RowRoad::lostWith(const SessionDB& session) {
    lastLoss_ = session.Unanswered()          ? "the row writer got no answer"
                : session.LastMessage.empty() ? "the connection of the row writer was lost"
                                              : session.LastMessage;
    return Outcome::Lost;
}

// Where a statement failed: lost, passing, or refused for good (the row
// ends, named).
RowRoad::Outcome RowRoad::failedRow(const SessionDB& session, Item& row, int result) {
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
// round trip a call.
RowRoad::Outcome RowRoad::drawKeys(SessionDB& session, std::vector<Item>& group) {
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
            NoteKeyDrawn(many ? name : GeneratorOfQuery(name), last);
            for (std::size_t i = 0; i < count; ++i)
                keyRow(*rows[i], many ? std::to_string(last - std::int64_t(count - 1 - i)) : keys.front());
            rows.erase(rows.begin(), rows.begin() + std::ptrdiff_t(count));
        }
    }
    return Outcome::Written;
}

void RowRoad::keyRow(Item& row, const std::string& key) {
    row.key = key;
    row.unkeyed = row.statement;
    row.keyGenerator = row.generatorQuery;
    {
        std::lock_guard lock(mutex_);
        row.home = identity_;
    }
    const std::size_t at = row.statement.find(RowKeyMarker);
    if (at != std::string::npos)
        row.statement.replace(at, std::string(RowKeyMarker).size(), row.key);
    row.generatorQuery.clear();
    // Its key is kept before its commit goes: a row whose commit gets no
    // answer is looked up under that key, and the later rows that refer to
    // it find it after a restart.
    if (!row.token.empty()) {
        std::lock_guard keys(keysMutex_);
        keysOfTokens_[row.token] = {row.key, row.home};
    }
    if (writerJournal_ && writerJournal_->IsOpen()) {
        writerJournal_->SetKey(row);
        writerJournal_->RememberKey(row.token, row.key, row.home);
    }
}

bool RowRoad::withKeys(const Item& row, std::string& statement, std::string& elsewhere) const {
    const std::string here = [this] {
        std::lock_guard lock(mutex_);
        return identity_;
    }();
    std::lock_guard keys(keysMutex_);
    statement = row.statement;
    for (const std::string& token : tokensReferredBy(row.statement)) {
        const auto key = keysOfTokens_.find(token);
        if (key == keysOfTokens_.end())
            return false;
        if (!key->second.home.empty() && key->second.home != here)
            elsewhere = key->second.home;
        const std::string named = KeyOfRow(token);
        statement.replace(statement.find(named), named.size(), key->second.key);
    }
    // A name left unended is no name a program of ours makes.
    return statement.find(KeyOfRowOpening) == std::string::npos;
}

// The rows of a commit whose answer never came: an insert is looked up (as
// often as it came in that commit), an update or delete written again.
RowRoad::Outcome RowRoad::settleUncertain(SessionDB& session, std::vector<Item>& group) {
    std::map<std::string, long> expected;
    for (Item& row : group) {
        if (!row.attempted || row.ended)
            continue;
        const int present = RowPresent(session, row.statement, ++expected[row.statement]);
        if (present < 0 || handle_ == 0)
            return lostWith(session);
        row.attempted = false;
        if (present > 0) {
            base::WriteLog(2, "Sprawdzono, jest w bazie danych: %s", row.statement.c_str());
            row.ended = true;
            row.result = 0;
        } else if (IsInsertStatement(row.statement)) {
            base::WriteLog(2, "Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: %s",
                           row.statement.c_str());
        } else {
            base::WriteLog(2, "Nie wiadomo, czy zapisano w bazie danych, zapis zostanie ponowiony: %s",
                           row.statement.c_str());
        }
    }
    return Outcome::Written;
}

RowRoad::Outcome RowRoad::runGroup(SessionDB& session, std::vector<Item>& group, bool retryingLock) {
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
    // A locked row is said once; it is tried again without waiting.
    session.WaitForNoLock(retryingLock);
    // Together first: one call for many rows, which counts where the server
    // is far. Should one of them fail, they go one by one to find it.
    if (work.rows.size() > 1) {
        const Outcome together = runStatements(session, work, retryingLock, true);
        if (together != Outcome::Split)
            return together;
    }
    return runStatements(session, work, retryingLock, false);
}

RowRoad::Outcome RowRoad::runStatements(SessionDB& session, Statements& work, bool retryingLock,
                                        bool together) {
    if (int result = session.BeginWork(); result != 0)
        return handle_ == 0 ? lostWith(session) : Outcome::Passing;
    // Counting the rows an update changed takes calls of its own: only those
    // that may find their row gone (held through a restore) are counted.
    const auto countedRow = [](const Item& row) {
        return row.heldThroughPause && namesRowByKey(row.subject);
    };
    std::size_t at = 0;
    while (at < work.rows.size()) {
        Item* row = work.rows[at];
        // An update of a row named by its key says whether it found it.
        const bool counted = countedRow(*row);
        std::size_t next = at + 1;
        std::string text = work.texts[at];
        if (together && !counted) {
            std::string block = "EXECUTE BLOCK AS BEGIN\n" + plainStatement(text) + ";\n";
            for (; next < work.rows.size() && !countedRow(*work.rows[next]) &&
                   block.size() + work.texts[next].size() < BlockTextLimit;
                 ++next)
                block += plainStatement(work.texts[next]) + ";\n";
            if (next > at + 1)
                text = block + "END";
        }
        session.CountChangedRows(counted);
        const int result = session.ExecuteSQL(text);
        row->unapplied = result == 0 && counted && session.ChangedRows() == 0;
        if (result != 0) {
            session.RollbackWork();
            if (next > at + 1 && handle_ != 0 && !session.Unanswered())
                return Outcome::Split;
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

RowRoad::Outcome RowRoad::commitRows(SessionDB& session, const std::vector<Item*>& rows) {
    std::vector<std::int64_t> seqs;
    for (const Item* row : rows)
        seqs.push_back(row->seq);
    const bool journaled = writerJournal_ && writerJournal_->IsOpen();
    if (journaled)
        writerJournal_->MarkAttempted(seqs, true);
    if (session.CommitWork() == 0) {
        for (Item* row : rows) {
            row->ended = true;
            row->result = 0;
            if (row->unapplied)
                base::WriteLog(2, "Nie zastosowano w bazie danych, nie ma w niej tego wiersza: %s",
                               row->statement.c_str());
        }
        return Outcome::Written;
    }
    if (session.OutcomeUnknown() || handle_ == 0 || session.Unanswered()) {
        for (Item* row : rows) {
            row->attempted = true;
            base::WriteLog(2, "Nie wiadomo, czy zapisano w bazie danych, zostanie sprawdzone: %s",
                           row->statement.c_str());
        }
        return lostWith(session);
    }
    if (journaled)
        writerJournal_->MarkAttempted(seqs, false);
    return Outcome::Passing;
}

bool RowRoad::Stop(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (writerEnded_ && (journalEnded_ || !journalThread_.joinable()))
        return true;
    stopping_ = true;
    stopDeadline_ = deadline;
    changed_.notify_all();
    const bool ended = changed_.wait_until(lock, deadline + StopGrace, [this] {
        return writerEnded_ && (journalEnded_ || !journalThread_.joinable());
    });
    std::size_t kept = 0;
    const auto account = [&](const Items& rows) {
        for (const Item& row : rows) {
            if (row.seq != 0)
                ++kept;
            else
                nameRow(row);
        }
    };
    account(inbox_);
    account(queue_);
    account(locked_);
    auto& log = base::DiagnosticLog::instance();
    if (kept > 0) {
        log.WriteWhileClosing(
            2, "Zapisy czekające na bazę danych: %zu, zostają w dzienniku %s do następnego startu", kept,
            journalPath_.c_str());
        std::fprintf(stderr, "Halvex: %zu rows waiting for the database are kept in %s for the next start\n",
                     kept, journalPath_.c_str());
    }
    inbox_.clear();
    queue_.clear();
    locked_.clear();
    lock.unlock();
    if (ended && writerThread_.joinable())
        writerThread_.join();
    if (journalEnded_ && journalThread_.joinable())
        journalThread_.join();
    return ended;
}

} // namespace db
