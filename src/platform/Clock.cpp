#include "platform/Clock.h"

#include <chrono>

namespace platform {

std::int64_t SteadyClock::nowMs() const {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QDateTime SteadyClock::dateTime() const {
    return QDateTime::currentDateTime();
}

ManualClock::ManualClock(std::int64_t startMs, QDateTime startDateTime)
    : now_(startMs), dateTimeSetAtMs_(startMs), dateTimeSet_(std::move(startDateTime)) {}

QDateTime ManualClock::dateTime() const {
    std::lock_guard lock(mutex_);
    return dateTimeSet_.addMSecs(now_.load() - dateTimeSetAtMs_);
}

void ManualClock::setDateTime(const QDateTime& when) {
    std::lock_guard lock(mutex_);
    dateTimeSetAtMs_ = now_.load();
    dateTimeSet_ = when;
}

namespace {

SteadyClock computerClock;
std::atomic<Clock*> current{&computerClock};

} // namespace

Clock& processClock() {
    return *current.load();
}

void setProcessClock(Clock* clock) {
    current.store(clock ? clock : &computerClock);
}

} // namespace platform
