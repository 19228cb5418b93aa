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

RowWriter::RowWriter(News news) : news_(std::move(news)) {
    BoundHandle(&handle_);
    thread_ = std::thread([this] { run(); });
}

RowWriter::~RowWriter() {
    std::vector<HandedBack> left;
    if (!Stop(std::chrono::steady_clock::now() + std::chrono::seconds(5), &left))
        thread_.detach(); // in an attach that does not return: the process ends with it
    for (const HandedBack& back : left)
        for (const PendingRow& row : back.rows) {
            if (back.reason == Reason::Uncertain)
                base::DiagnosticLog::instance().WriteWhileClosing(
                    2, "Nie wiadomo, czy zapisano w bazie danych: %s", row.statement.c_str());
            else
                LogRowNotWritten(row.statement);
        }
}

bool RowWriter::Offer(std::vector<PendingRow> rows, Before before) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return false;
        // Rows on their way back are kept before these: these follow them.
        if (!handedBack_.empty()) {
            handedBack_.push_back({std::move(rows), Reason::Untried});
            return true;
        }
        const bool holds = !inHand_.empty() || !waiting_.empty();
        const bool taken = holds ? before != Before::KeptRows : before == Before::Nothing && !paused_;
        if (!taken || waiting_.size() >= WaitingLimit)
            return false;
        waiting_.push_back(std::move(rows));
    }
    changed_.notify_all();
    return true;
}

bool RowWriter::TakeKeptRows(std::vector<PendingRow> rows) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return false;
        if (!handedBack_.empty() || !inHand_.empty() || !waiting_.empty()) {
            tellWhenEmpty_ = true;
            return false;
        }
        paused_ = false;
        // Its news, once written, brings the next rows.
        tellWhenEmpty_ = true;
        waiting_.push_back(std::move(rows));
    }
    changed_.notify_all();
    return true;
}

std::vector<RowWriter::HandedBack> RowWriter::TakeHandedBack() {
    std::lock_guard lock(mutex_);
    std::vector<HandedBack> taken(std::make_move_iterator(handedBack_.begin()),
                                  std::make_move_iterator(handedBack_.end()));
    handedBack_.clear();
    return taken;
}

bool RowWriter::HoldsRows() {
    std::lock_guard lock(mutex_);
    const bool holds = !handedBack_.empty() || !inHand_.empty() || !waiting_.empty();
    if (holds)
        tellWhenEmpty_ = true;
    return holds;
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

bool RowWriter::Stop(std::chrono::steady_clock::time_point deadline, std::vector<HandedBack>* left) {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    stopDeadline_ = deadline;
    changed_.notify_all();
    // Its calls are cut at the deadline: one such call is let come back.
    const bool ended = changed_.wait_until(lock, deadline + StopGrace, [this] { return ended_; });
    for (HandedBack& back : handedBack_)
        left->push_back(std::move(back));
    handedBack_.clear();
    // What the thread holds when it did not end was not sent yet (it waits
    // for its attach) or is in a call that did not come back.
    std::vector<PendingRow> rest;
    if (!ended)
        rest = inHand_;
    for (const auto& rows : waiting_)
        rest.insert(rest.end(), rows.begin(), rows.end());
    waiting_.clear();
    if (!rest.empty())
        left->push_back({std::move(rest), Reason::Untried});
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
        std::vector<PendingRow> rows = inHand_;
        lock.unlock();
        std::vector<HandedBack> back = write(rows);
        lock.lock();
        inHand_.clear();
        bool news = !back.empty();
        if (news) {
            // Given back at once with the rows behind, in order, so that no
            // row offered meanwhile overtakes them.
            paused_ = true;
            std::vector<PendingRow> rest;
            for (const auto& waiting : waiting_)
                rest.insert(rest.end(), waiting.begin(), waiting.end());
            waiting_.clear();
            if (!rest.empty())
                back.push_back({std::move(rest), Reason::Untried});
            for (HandedBack& rowsBack : back)
                handedBack_.push_back(std::move(rowsBack));
        } else if (waiting_.empty() && tellWhenEmpty_) {
            tellWhenEmpty_ = false;
            news = true;
        }
        if (news) {
            lock.unlock();
            tellNews();
            lock.lock();
        }
    }
    const auto deadline = stopDeadline_;
    lock.unlock();
    // The connection is the writer's own: it goes with it, within the
    // stop's bound even when the server is silent.
    if (handle_ != 0) {
        BoundedCall bound(&handle_, deadline);
        SessionDB::DetachDatabase(&handle_);
    }
    lock.lock();
    ended_ = true;
    lock.unlock();
    changed_.notify_all();
}

std::vector<RowWriter::HandedBack> RowWriter::write(std::vector<PendingRow>& rows, bool attachedAgain) {
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
    if (handle_ == 0 && !attach(c))
        return {{std::move(rows), Reason::Lost}};
    SessionDB session(c.host, c.path, c.user, c.password, &handle_, false);
    session.KeepNoRows();
    session.LeaveReattachToCaller();
    if (session.LastCode != 0 || handle_ == 0)
        return {{std::move(rows), Reason::Lost}};
    session.WaitForLocksBriefly();
    int result = 0;
    for (PendingRow& row : rows)
        if (!row.generatorQuery.empty() && (result = drawKey(session, row)) != 0)
            return failed(session, rows, result, attachedAgain);
    if (rows.front().lookedUpFirst) {
        std::vector<std::string> statements;
        for (const PendingRow& row : rows)
            statements.push_back(row.statement);
        const int found = LookUpRows(session, statements, [this] { return handle_ != 0; });
        if (found < 0)
            return {{std::move(rows), Reason::Uncertain}};
        for (PendingRow& row : rows)
            row.lookedUpFirst = false;
        if (found > 0) {
            tellWritten(rows, 0);
            return {};
        }
    }
    if ((result = runRows(session, rows)) != 0)
        return failed(session, rows, result, attachedAgain);
    tellWritten(rows, 0);
    return {};
}

int RowWriter::runRows(SessionDB& session, const std::vector<PendingRow>& rows) {
    for (bool said = false;; said = true) {
        int result = 0;
        if (rows.size() == 1) {
            result = session.ExecuteSQL(rows.front().statement);
        } else if ((result = session.BeginWork()) == 0) {
            for (const PendingRow& row : rows)
                if ((result = session.ExecuteSQL(row.statement)) != 0)
                    break;
            result = result == 0 ? session.CommitWork() : (session.RollbackWork(), result);
        }
        if (result == 0 || !session.FailedOnLock() || handle_ == 0 ||
            !pauseForLock(rows.front().statement, said))
            return result;
    }
}

bool RowWriter::pauseForLock(const std::string& statement, bool said) {
    if (!said)
        base::WriteLog(2, "Zapis czeka, aż inny klient bazy danych zwolni wiersz: %s", statement.c_str());
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, LockRetryPause, [this] { return stopping_; });
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

std::vector<RowWriter::HandedBack> RowWriter::failed(SessionDB& session, std::vector<PendingRow>& rows,
                                                     int result, bool attachedAgain) {
    if (session.OutcomeUnknown())
        return {{std::move(rows), Reason::Uncertain}};
    // The connection went before the commit: nothing was written, and a
    // server that answers (restarted, say) takes the rows on a new one,
    // attached within the call bound.
    if (handle_ == 0 && !attachedAgain && !session.Unanswered() && attach(attachedWith_))
        return write(rows, true);
    if (session.FailureCanPass() || handle_ == 0) {
        const Reason reason = handle_ == 0 ? Reason::Lost : Reason::Passing;
        if (handle_ != 0) {
            BoundedCall bound(&handle_);
            SessionDB::DetachDatabase(&handle_);
        }
        return {{std::move(rows), reason}};
    }
    // A row refused for what it is: the others go one at a time.
    if (rows.size() > 1) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            std::vector<PendingRow> one{rows[i]};
            std::vector<HandedBack> back = write(one);
            if (!back.empty()) {
                std::vector<PendingRow> rest(rows.begin() + std::ptrdiff_t(i) + 1, rows.end());
                if (!rest.empty())
                    back.push_back({std::move(rest), Reason::Untried});
                return back;
            }
        }
        return {};
    }
    LogRowNotWritten(rows.front().statement);
    tellWritten(rows, result);
    return {};
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

void RowWriter::tellNews() {
    if (news_)
        news_();
}

void RowWriter::tellWritten(const std::vector<PendingRow>& rows, int result) {
    auto* app = QCoreApplication::instance();
    for (const PendingRow& row : rows)
        if (row.settled)
            row.settled(result, result == 0 ? row.key : std::string());
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
