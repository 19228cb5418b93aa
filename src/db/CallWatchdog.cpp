#include "db/CallWatchdog.h"

#include "db/ConnectThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <ibase.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

namespace db {
namespace {

struct Armed {
    isc_db_handle handle;
    StopClock::time_point deadline;
    bool fired = false;
};

// Lives as long as the process: the thread may still wait on it at the end.
struct Watchdog {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::uint64_t, Armed> armed;
    std::uint64_t nextTicket = 1;
    std::vector<const DbHandle*> bound; // besides the main connection
    bool running = false;

    StopClock::time_point due(const Armed& call) const;
    void run();
};

std::atomic<long long> boundMs{DefaultCallBound.count()};
std::atomic<long long> latestNs{StopClock::time_point::max().time_since_epoch().count()};

// The event loop level of this thread's maintenance, -1 when none runs.
thread_local int maintenanceLoopLevel = -1;

int loopLevel() {
    return QThread::currentThread()->loopLevel();
}

StopClock::time_point latest() {
    return StopClock::time_point(StopClock::duration(latestNs.load()));
}

Watchdog& watchdog() {
    static auto* instance = new Watchdog;
    return *instance;
}

StopClock::time_point Watchdog::due(const Armed& call) const {
    return std::min(call.deadline, latest());
}

// Asleep while nothing is armed.
void Watchdog::run() {
    pthread_setname_np(pthread_self(), "DbCallWatchdog");
    std::unique_lock lock(mutex);
    for (;;) {
        auto next = StopClock::time_point::max();
        for (auto& [ticket, call] : armed) {
            if (call.fired)
                continue;
            if (due(call) <= StopClock::now()) {
                // Under the lock: the caller cannot disarm and start its next
                // call meanwhile, so only the call that overran is hit.
                call.fired = true;
                ISC_STATUS_ARRAY status{};
                fb_cancel_operation(status, &call.handle, fb_cancel_abort);
                continue;
            }
            next = std::min(next, due(call));
        }
        if (next == StopClock::time_point::max())
            changed.wait(lock);
        else
            changed.wait_until(lock, next);
    }
}

} // namespace

std::chrono::milliseconds CallBound() {
    return std::chrono::milliseconds(boundMs.load());
}

void SetCallBound(std::chrono::milliseconds bound) {
    boundMs = bound.count();
}

MaintenanceCalls::MaintenanceCalls() : previousLoopLevel_(maintenanceLoopLevel) {
    maintenanceLoopLevel = loopLevel();
}

MaintenanceCalls::~MaintenanceCalls() {
    maintenanceLoopLevel = previousLoopLevel_;
}

std::chrono::milliseconds ThisCallBound() {
    return maintenanceLoopLevel >= 0 && maintenanceLoopLevel == loopLevel() ? MaintenanceCallBound
                                                                            : CallBound();
}

StopClock::time_point CallDeadline() {
    return std::min(StopClock::now() + CallBound(), latest());
}

void LimitCallsUntil(StopClock::time_point deadline) {
    if (deadline >= latest())
        return;
    latestNs = deadline.time_since_epoch().count();
    Watchdog& dog = watchdog();
    { std::lock_guard lock(dog.mutex); }
    dog.changed.notify_all();
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { GiveUpAttachWaitPastDeadline(); }, Qt::QueuedConnection);
}

void ResetCallLimit() {
    latestNs = StopClock::time_point::max().time_since_epoch().count();
}

void LimitCallsForStop(StopClock::time_point stopDeadline) {
    LimitCallsUntil(stopDeadline - StopReserve);
}

void BoundHandle(const DbHandle* handle) {
    Watchdog& dog = watchdog();
    std::lock_guard lock(dog.mutex);
    dog.bound.push_back(handle);
}

BoundedCall::BoundedCall(const DbHandle* handle) : BoundedCall(handle, StopClock::now() + ThisCallBound()) {}

BoundedCall::BoundedCall(const DbHandle* handle, StopClock::time_point deadline) {
    if (*handle == 0)
        return;
    Watchdog& dog = watchdog();
    {
        std::lock_guard lock(dog.mutex);
        if (handle != &MainDbHandle &&
            std::find(dog.bound.begin(), dog.bound.end(), handle) == dog.bound.end())
            return;
        ticket_ = dog.nextTicket++;
        dog.armed.emplace(ticket_, Armed{*handle, deadline});
        if (!dog.running) {
            dog.running = true;
            std::thread([&dog] { dog.run(); }).detach();
        }
    }
    dog.changed.notify_all();
}

BoundedCall::~BoundedCall() {
    end();
}

bool BoundedCall::end() {
    if (ticket_ == 0)
        return abandoned_;
    Watchdog& dog = watchdog();
    std::lock_guard lock(dog.mutex);
    const auto found = dog.armed.find(ticket_);
    abandoned_ = found->second.fired;
    dog.armed.erase(found);
    ticket_ = 0;
    return abandoned_;
}

} // namespace db
