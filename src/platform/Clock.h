// Time read through an interface, so that logic with long waits (link
// watchdogs, command time-outs, reconnects) and logic that depends on the date
// (backups, SMS expiry, the stale-call sweep) can be driven by tests.
#pragma once

#include <QDateTime>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace platform {

class Clock {
  public:
    virtual ~Clock() = default;
    // Monotonic milliseconds.
    virtual std::int64_t nowMs() const = 0;
    // The local date and time of day.
    virtual QDateTime dateTime() const = 0;
    // Moved by a test rather than by time: nothing can sleep until one of
    // its moments, only look again soon.
    virtual bool MovedByHand() const { return false; }
};

// The computer's own clocks.
class SteadyClock : public Clock {
  public:
    std::int64_t nowMs() const override;
    QDateTime dateTime() const override;
};

// A clock that moves only when told to; its date and time of day move with
// its milliseconds.
class ManualClock : public Clock {
  public:
    explicit ManualClock(std::int64_t startMs = 1'000'000,
                         QDateTime startDateTime = QDateTime(QDate(2026, 1, 5), QTime(9, 0)));
    std::int64_t nowMs() const override { return now_.load(); }
    QDateTime dateTime() const override;
    void advance(std::int64_t ms) { now_ += ms; }
    bool MovedByHand() const override { return true; }
    void setDateTime(const QDateTime& when);

  private:
    std::atomic<std::int64_t> now_;
    mutable std::mutex mutex_;
    std::int64_t dateTimeSetAtMs_;
    QDateTime dateTimeSet_;
};

// The process's clock: the computer's own unless a test put another in.
Clock& processClock();
// Puts `clock` in place of the process's clock (nullptr: the computer's own
// again); the clock must outlive its use.
void setProcessClock(Clock* clock);
// The process's clock's date and time in seconds since the epoch.
std::int64_t processEpochSeconds();

} // namespace platform
