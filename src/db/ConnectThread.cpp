#include "db/ConnectThread.h"

#include "base/DiagnosticLog.h"
#include "db/CallWatchdog.h"
#include "db/DatabaseHost.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <thread>

struct connectDB::Job {
    std::mutex mutex;
    bool done = false;
    bool abandoned = false;
    bool timedOut = false;
    std::condition_variable returned;
    int result = 1;
    DbHandle handle = 0;
    std::array<intptr_t, 20> status{};
    std::string name;
    std::string dpb;
};

namespace {

std::shared_ptr<connectDB::Job> waitingJob;
QEventLoop* fallbackLoop = nullptr;

// Attach threads that have not returned yet, waited for at the end.
std::mutex runningMutex;
std::condition_variable runningEnded;
int runningThreads = 0;

// Runs on the GUI thread once the attach call returned.
void finishWait(const std::shared_ptr<connectDB::Job>& job) {
    if (waitingJob != job)
        return; // that wait was given up already
    if (fallbackLoop)
        fallbackLoop->quit();
    else
        db::host().CloseAttachProgress();
}

// The wait in progress ends without its attach once the bound has passed.
void giveUpWaitAtBound(const std::shared_ptr<connectDB::Job>& job) {
    if (waitingJob != job)
        return;
    {
        std::lock_guard lock(job->mutex);
        if (job->done)
            return;
        job->timedOut = true;
    }
    finishWait(job);
}

QTimer* stopTimer = nullptr;

} // namespace

namespace db {

void GiveUpAttachWaitPastDeadline() {
    if (!waitingJob)
        return;
    if (!stopTimer) {
        stopTimer = new QTimer(QCoreApplication::instance());
        stopTimer->setSingleShot(true);
    }
    stopTimer->disconnect();
    QObject::connect(stopTimer, &QTimer::timeout, [job = waitingJob] { giveUpWaitAtBound(job); });
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(CallDeadline() - StopClock::now());
    stopTimer->start(int(std::max<long long>(0, left.count())));
}

} // namespace db

bool BackgroundAttachRunning() {
    if (waitingJob != nullptr)
        return true;
    std::lock_guard lock(runningMutex);
    return runningThreads > 0;
}

bool WaitForAttachThreads(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(runningMutex);
    return runningEnded.wait_until(lock, deadline, [] { return runningThreads == 0; });
}

connectDB::connectDB(bool, SessionDB* owner) : Owner(owner), job_(std::make_shared<Job>()) {
    job_->name = owner->databaseName_;
    job_->dpb = owner->dpb_;
    waitingJob = job_;
    {
        std::lock_guard lock(runningMutex);
        ++runningThreads;
    }
    std::thread([job = job_] { Execute(job); }).detach();
}

connectDB::~connectDB() {
    if (waitingJob == job_)
        waitingJob.reset();
}

void connectDB::Execute(std::shared_ptr<Job> job) {
    pthread_setname_np(pthread_self(), "ConnectDBThread");
    DbHandle handle = 0;
    std::array<intptr_t, 20> status{};
    int result = SessionDB::attachRaw(job->name, job->dpb, &handle, status.data());
    if (result == 0) {
        result = SessionDB::checkAttached(&handle, status.data());
        if (result != 0) {
            SessionDB::DetachDatabase(&handle);
            handle = 0;
        }
    }
    {
        std::lock_guard lock(job->mutex);
        job->done = true;
        job->result = result;
        job->status = status;
        job->handle = handle;
        if (job->abandoned && handle != 0) {
            SessionDB::DetachDatabase(&handle);
            job->handle = 0;
        }
        if (auto* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [job] { finishWait(job); }, Qt::QueuedConnection);
        // Counted off before the waiter can see the result: an attach made
        // right after this one returned is not refused as a second one.
        std::lock_guard running(runningMutex);
        --runningThreads;
        runningEnded.notify_all();
    }
    job->returned.notify_all();
}

int connectDB::Wait(bool showProgress) {
    const auto deadline = db::CallDeadline();
    int modalResult = -1;
    QTimer bound; // ends the wait in the progress window or the loop below
    if (!showProgress) {
        // Waits on the spot: the caller's handler is not entered again.
        modalResult = 1;
        std::unique_lock lock(job_->mutex);
        if (!job_->returned.wait_until(lock, deadline, [this] { return job_->done; }))
            job_->timedOut = true;
    } else {
        bound.setSingleShot(true);
        QObject::connect(&bound, &QTimer::timeout, [job = job_] { giveUpWaitAtBound(job); });
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - db::StopClock::now());
        bound.start(int(std::max<long long>(0, left.count())));
        modalResult = db::host().ShowAttachProgress();
    }
    if (modalResult == -1) {
        modalResult = 1;
        QEventLoop loop;
        fallbackLoop = &loop;
        bool done;
        {
            std::lock_guard lock(job_->mutex);
            done = job_->done;
        }
        if (!done)
            loop.exec();
        fallbackLoop = nullptr;
    }
    waitingJob.reset();
    std::lock_guard lock(job_->mutex);
    if (job_->timedOut && !job_->done) {
        // No answer within the bound: the thread is left to its call, which
        // detaches a late success itself.
        job_->abandoned = true;
        base::WriteLog(2, "Baza danych nie odpowiedziała w ciągu %lld s, łączenie porzucone",
                       static_cast<long long>(db::CallBound().count() / 1000));
        Owner->Status = {1, dbcode::Unavailable, 0};
        Result = dbcode::Unavailable;
        return Result;
    }
    if (modalResult != 1 || !job_->done) {
        // Given up: a late success is detached by the thread (or here, when
        // it has already returned), never left in the caller's handle.
        job_->abandoned = true;
        if (job_->done && job_->handle != 0) {
            SessionDB::DetachDatabase(&job_->handle);
            job_->handle = 0;
        }
        db::host().SetConnectAborted(true);
        base::WriteLog(2, "%s", "Przerwano łączenie z bazą danych");
        Owner->Status = {1, dbcode::Cancelled, 0};
        Result = dbcode::Cancelled;
        return Result;
    }
    Owner->Status = job_->status;
    Result = job_->result;
    if (Result == 0)
        *Owner->DbHandle_ = job_->handle;
    job_->handle = 0;
    return Result;
}
