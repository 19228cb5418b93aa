#include "db/RowWriter.h"

#include "base/DiagnosticLog.h"
#include "db/CallWatchdog.h"
#include "db/MainDatabase.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <pthread.h>

namespace db {

RowWriter::RowWriter(HandBack handBack) : handBack_(std::move(handBack)) {
    BoundHandle(&handle_);
    thread_ = std::thread([this] { run(); });
}

RowWriter::~RowWriter() {
    Left left;
    if (!Stop(std::chrono::steady_clock::now() + std::chrono::seconds(5), &left))
        thread_.detach(); // in an attach that does not return: the process ends with it
    for (const std::string& row : left.rows)
        LogRowNotWritten(row);
    for (const std::string& row : left.uncertain)
        base::DiagnosticLog::instance().WriteWhileClosing(2, "Nie wiadomo, czy zapisano w bazie danych: %s",
                                                          row.c_str());
}

bool RowWriter::Offer(std::vector<std::string> rows) {
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
            std::vector<std::string> rest;
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

bool RowWriter::write(const std::vector<std::string>& rows) {
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
        handBack(rows, Reason::Lost);
        return false;
    }
    SessionDB session(c.host, c.path, c.user, c.password, &handle_, false);
    session.KeepNoRows();
    if (session.LastCode != 0 || handle_ == 0) {
        handBack(rows, Reason::Lost);
        return false;
    }
    int result = 0;
    if (rows.size() == 1) {
        result = session.ExecuteSQL(rows.front());
    } else if ((result = session.BeginWork()) == 0) {
        for (const std::string& row : rows)
            if ((result = session.ExecuteSQL(row)) != 0)
                break;
        result = result == 0 ? session.CommitWork() : (session.RollbackWork(), result);
    }
    if (result == 0)
        return true;
    if (session.OutcomeUnknown()) {
        handBack(rows, Reason::Uncertain);
        return false;
    }
    if (session.FailureCanPass() || handle_ == 0) {
        handBack(rows, handle_ == 0 ? Reason::Lost : Reason::Passing);
        if (handle_ != 0) {
            BoundedCall bound(&handle_);
            SessionDB::DetachDatabase(&handle_);
        }
        return false;
    }
    // A row refused for what it is: the others go one at a time.
    if (rows.size() > 1)
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (!write({rows[i]})) {
                handBack(std::vector<std::string>(rows.begin() + std::ptrdiff_t(i) + 1, rows.end()),
                         Reason::Lost);
                return false;
            }
    if (rows.size() == 1)
        LogRowNotWritten(rows.front());
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

void RowWriter::handBack(std::vector<std::string> rows, Reason reason) {
    if (rows.empty())
        return;
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(
        app, [handBack = handBack_, rows = std::move(rows), reason] { handBack(rows, reason); },
        Qt::QueuedConnection);
}

} // namespace db
