#include "db/RowWriter.h"

#include "base/DiagnosticLog.h"
#include "db/CallWatchdog.h"
#include "db/MainDatabase.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <pthread.h>

namespace db {

PendingRow PendingRow::Keyed(std::string generatorQuery, InsertForKey insert, KeptRowWritten written,
                             bool waitsForConnection) {
    PendingRow row(insert(std::string()));
    row.generatorQuery = std::move(generatorQuery);
    row.insert = std::move(insert);
    row.written = std::move(written);
    row.waitsForConnection = waitsForConnection;
    return row;
}

std::vector<PendingRow> PlainRows(const std::vector<std::string>& statements) {
    std::vector<PendingRow> rows;
    rows.reserve(statements.size());
    for (const std::string& statement : statements)
        rows.push_back(PendingRow(statement));
    return rows;
}

RowWriter::RowWriter(HandBack handBack) : handBack_(std::move(handBack)) {
    BoundHandle(&handle_);
    thread_ = std::thread([this] { run(); });
}

RowWriter::~RowWriter() {
    Left left;
    if (!Stop(std::chrono::steady_clock::now() + std::chrono::seconds(5), &left))
        thread_.detach(); // in an attach that does not return: the process ends with it
    for (const PendingRow& row : left.rows)
        LogRowNotWritten(row.statement);
    for (const PendingRow& row : left.uncertain)
        base::DiagnosticLog::instance().WriteWhileClosing(2, "Nie wiadomo, czy zapisano w bazie danych: %s",
                                                          row.statement.c_str());
}

bool RowWriter::Offer(std::vector<PendingRow> rows) {
    {
        std::lock_guard lock(mutex_);
        if (paused_ || stopping_ || waiting_.size() >= WaitingLimit)
            return false;
        waiting_.push_back(std::move(rows));
    }
    changed_.notify_all();
    return true;
}

void RowWriter::Resume() {
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
    }
    changed_.notify_all();
}

bool RowWriter::Paused() const {
    std::lock_guard lock(mutex_);
    return paused_;
}

bool RowWriter::Stop(std::chrono::steady_clock::time_point deadline, Left* left) {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
    const bool ended = changed_.wait_until(lock, deadline, [this] { return ended_; });
    // What the thread holds when it did not end was not sent yet (it waits
    // for its attach) or is in a call the watchdog ends.
    if (!ended && !inHand_.empty())
        left->rows.insert(left->rows.end(), inHand_.begin(), inHand_.end());
    for (const auto& rows : waiting_)
        left->rows.insert(left->rows.end(), rows.begin(), rows.end());
    waiting_.clear();
    lock.unlock();
    if (ended && thread_.joinable())
        thread_.join();
    return ended;
}

void RowWriter::run() {
    pthread_setname_np(pthread_self(), "RowWriter");
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || (!paused_ && !waiting_.empty()); });
        if (stopping_)
            break;
        inHand_ = std::move(waiting_.front());
        waiting_.pop_front();
        lock.unlock();
        const bool goOn = write(inHand_);
        lock.lock();
        inHand_.clear();
        if (!goOn) {
            // The rows behind go back too, in order: the kept rows come first.
            paused_ = true;
            std::vector<PendingRow> rest;
            for (const auto& rows : waiting_)
                rest.insert(rest.end(), rows.begin(), rows.end());
            waiting_.clear();
            if (!rest.empty()) {
                lock.unlock();
                handBack(std::move(rest), Reason::Lost);
                lock.lock();
            }
        }
    }
    ended_ = true;
    lock.unlock();
    // The connection is the writer's own: it goes with it.
    SessionDB::DetachDatabase(&handle_);
    changed_.notify_all();
}

bool RowWriter::write(std::vector<PendingRow> rows) {
    // The database the main connection was last attached to; a connection
    // to another one (the settings changed) goes first.
    const ConnectionSettings c = MainDbAttachedWith();
    if (handle_ != 0 && (c.host != attachedWith_.host || c.path != attachedWith_.path ||
                         c.user != attachedWith_.user || c.password != attachedWith_.password)) {
        BoundedCall bound(&handle_);
        SessionDB::DetachDatabase(&handle_);
        handle_ = 0;
    }
    attachedWith_ = c;
    if (handle_ == 0 && !attach(c)) {
        handBack(std::move(rows), Reason::Lost);
        return false;
    }
    SessionDB session(c.host, c.path, c.user, c.password, &handle_, false);
    session.KeepNoRows();
    if (session.LastCode != 0 || handle_ == 0) {
        handBack(std::move(rows), Reason::Lost);
        return false;
    }
    int result = 0;
    for (PendingRow& row : rows)
        if (!row.generatorQuery.empty() && (result = drawKey(session, row)) != 0)
            return failed(session, rows, result);
    if (rows.size() == 1) {
        result = session.ExecuteSQL(rows.front().statement);
    } else if ((result = session.BeginWork()) == 0) {
        for (const PendingRow& row : rows)
            if ((result = session.ExecuteSQL(row.statement)) != 0)
                break;
        result = result == 0 ? session.CommitWork() : (session.RollbackWork(), result);
    }
    if (result != 0)
        return failed(session, rows, result);
    tellWritten(rows, 0);
    return true;
}

int RowWriter::drawKey(SessionDB& session, PendingRow& row) {
    TStringList keys;
    session.SetResultStrings(&keys);
    const int drawn = session.ExecuteSQL(row.generatorQuery);
    session.SetResultStrings(nullptr);
    if (drawn != 0 || keys.empty())
        return drawn != 0 ? drawn : -1;
    row.key = keys.front();
    row.statement = row.insert(row.key);
    row.generatorQuery.clear();
    return 0;
}

bool RowWriter::failed(SessionDB& session, std::vector<PendingRow>& rows, int result) {
    if (session.OutcomeUnknown()) {
        handBack(std::move(rows), Reason::Uncertain);
        return false;
    }
    if (session.FailureCanPass() || handle_ == 0) {
        handBack(std::move(rows), handle_ == 0 ? Reason::Lost : Reason::Passing);
        if (handle_ != 0) {
            BoundedCall bound(&handle_);
            SessionDB::DetachDatabase(&handle_);
        }
        return false;
    }
    // A row refused for what it is: the others go one at a time.
    if (rows.size() > 1) {
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (!write({rows[i]})) {
                handBack(std::vector<PendingRow>(rows.begin() + std::ptrdiff_t(i) + 1, rows.end()),
                         Reason::Lost);
                return false;
            }
        return true;
    }
    LogRowNotWritten(rows.front().statement);
    tellWritten(rows, result);
    return true;
}

// In a thread of its own, within the call bound: an attach that gets no
// answer is left to its call, which detaches a late success itself.
bool RowWriter::attach(const ConnectionSettings& c) {
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
    handle_ = attempt->handle;
    return handle_ != 0;
}

void RowWriter::handBack(std::vector<PendingRow> rows, Reason reason) {
    if (rows.empty())
        return;
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(
        app, [handBack = handBack_, rows = std::move(rows), reason] { handBack(rows, reason); },
        Qt::QueuedConnection);
}

void RowWriter::tellWritten(const std::vector<PendingRow>& rows, int result) {
    auto* app = QCoreApplication::instance();
    for (const PendingRow& row : rows)
        if (row.written && app)
            QMetaObject::invokeMethod(
                app,
                [written = row.written, result, key = result == 0 ? row.key : std::string()] {
                    written(result, key);
                },
                Qt::QueuedConnection);
}

} // namespace db
