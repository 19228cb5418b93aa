#include "db/RowRoad.h"

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

// A row the code that handed it on named (RowOfKey): one row, by its key.
bool namesRowByKey(const std::string& subject) {
    return subject.find('|') != std::string::npos && subject.find('=') != std::string::npos;
}

} // namespace

std::string RowOfKey(const std::string& table, const std::string& keyColumn, const std::string& key) {
    return upperTrimmed(table) + "|" + upperTrimmed(keyColumn) + "=" + key;
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

std::string RowRoad::Core::HomeOfNewRows() const {
    std::lock_guard lock(mutex_);
    return homeOfNewRows();
}

// Under the lock.
std::string RowRoad::Core::homeOfNewRows() const {
    return identity_.empty() && connected_ ? PlaceOfDatabase(database_) : identity_;
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
        identity = DatabaseIdentity(session, wanted);
        // Before any key is drawn: a restore, whenever it ran, set the
        // generators back behind keys given out in this database.
        if (!identity.empty() && handle_ != 0)
            MoveGeneratorsPast(session, KeysDrawnIn(identity));
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

// A row named by its insert's token and one named by its key are one: the
// subject is compared with the key known by now in place of the token.
std::string RowRoad::Core::currentSubject(const Item& row) const {
    const std::size_t opening = std::string(KeyOfRowOpening).size();
    const auto at = row.subject.find(KeyOfRowOpening);
    const auto end = at == std::string::npos ? at : row.subject.find('\x7F', at + opening);
    if (end == std::string::npos)
        return row.subject;
    std::lock_guard keys(keysMutex_);
    const auto key = keysOfTokens_.find(row.subject.substr(at + opening, end - at - opening));
    if (key == keysOfTokens_.end())
        return row.subject;
    return row.subject.substr(0, at) + key->second.key + row.subject.substr(end + 1);
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

void RowRoad::Core::HoldKeys(const std::vector<std::string>& tokens) {
    std::lock_guard lock(mutex_);
    for (const std::string& token : tokens)
        if (heldTokens_.insert(token).second)
            ++tokenUsers_[token];
}

void RowRoad::Core::ReleaseKeys(const std::vector<std::string>& tokens) {
    std::lock_guard lock(mutex_);
    for (const std::string& token : tokens)
        if (heldTokens_.erase(token) > 0)
            leaveToken(token);
}

// Under the lock: the tokens a row refers to, and its own, are in use.
void RowRoad::Core::useTokens(const RowJournal::Entry& row) {
    for (const std::string& token : tokensReferredBy(row.statement))
        ++tokenUsers_[token];
    if (!row.token.empty())
        ++tokenUsers_[row.token];
}

// Under the lock.
void RowRoad::Core::leaveToken(const std::string& token) {
    const auto users = tokenUsers_.find(token);
    if (users == tokenUsers_.end() || --users->second > 0)
        return;
    tokenUsers_.erase(users);
    unusedTokens_.push_back(token);
    changed_.notify_all();
}

// Under the lock, for a row that ended. A named insert's own token is left
// once its follower has run: until then a row handed on may still name it.
void RowRoad::Core::leaveTokens(const Item& row) {
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
bool RowRoad::Core::forgetUnusedKeys(std::unique_lock<std::mutex>& lock) {
    // A row still in the journal may refer to them; without the writer's
    // connection to it, the journal would keep them.
    if (unusedTokens_.empty() || !unremoved_.empty() || writerJournalDown_)
        return false;
    std::vector<std::string> tokens = std::exchange(unusedTokens_, {});
    std::erase_if(tokens, [this](const std::string& token) { return tokenUsers_.contains(token); });
    lock.unlock();
    {
        std::lock_guard keys(keysMutex_);
        for (const std::string& token : tokens)
            keysOfTokens_.erase(token);
    }
    if (journaling())
        writerJournalWrite(writerJournal_->ForgetKeys(tokens), "zapomnienie kluczy");
    lock.lock();
    return true;
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

// A key drawn for a commit that did not go is drawn again for the row's
// next: by then the database may be another (a restore, a new connection),
// whose generator knows nothing of it.
void RowRoad::Core::forgetKeys(std::vector<Item>& group) {
    std::vector<const Item*> forgotten;
    for (Item& row : group)
        if (!row.ended && !row.attempted && !row.keyGenerator.empty()) {
            forgetKey(row);
            forgotten.push_back(&row);
        }
    keepKeys(forgotten, false);
}

// The journal is told by the caller (keepKeys).
void RowRoad::Core::forgetKey(Item& row) {
    row.statement = std::exchange(row.unkeyed, {});
    row.generatorQuery = std::exchange(row.keyGenerator, {});
    row.key.clear();
    std::lock_guard keys(keysMutex_);
    keysOfTokens_.erase(row.token);
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

void RowRoad::Core::keyRow(Item& row, const std::string& key) {
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
    if (!row.token.empty()) {
        std::lock_guard keys(keysMutex_);
        keysOfTokens_[row.token] = {row.key, row.home};
    }
}

bool RowRoad::Core::withKeys(const Item& row, std::string& statement, std::string& elsewhere) const {
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
        if (kinship(key->second.home, here) != Kinship::Same)
            elsewhere = key->second.home;
        const std::string named = KeyOfRow(token);
        statement.replace(statement.find(named), named.size(), key->second.key);
    }
    // A name left unended is no name a program of ours makes.
    return statement.find(KeyOfRowOpening) == std::string::npos;
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
