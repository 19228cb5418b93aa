#include "db/ConnectThread.h"

#include "base/DiagnosticLog.h"
#include "db/DatabaseHost.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <thread>

struct connectDB::Job {
    std::mutex mutex;
    bool done = false;
    bool abandoned = false;
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

} // namespace

bool BackgroundAttachRunning() {
    return waitingJob != nullptr;
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
    const int result = SessionDB::attachRaw(job->name, job->dpb, &handle, status.data());
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
    }
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [job] { finishWait(job); }, Qt::QueuedConnection);
    std::lock_guard lock(runningMutex);
    --runningThreads;
    runningEnded.notify_all();
}

int connectDB::Wait() {
    int modalResult = db::host().ShowAttachProgress();
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
