#include "platform/Clock.h"

#include <chrono>

namespace platform {

std::int64_t SteadyClock::nowMs() const {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The local time costs a look at the time-zone file: a burst of exchange
// records read within one millisecond shares one reading.
QDateTime SteadyClock::dateTime() const {
    using namespace std::chrono;
    const std::int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    thread_local std::int64_t readAtMs = -1;
    thread_local QDateTime reading;
    if (ms != readAtMs) {
        reading = QDateTime::currentDateTime();
        readAtMs = ms;
    }
    return reading;
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

std::int64_t processEpochSeconds() {
    return processClock().dateTime().toSecsSinceEpoch();
}

void setProcessClock(Clock* clock) {
    current.store(clock ? clock : &computerClock);
}

} // namespace platform
