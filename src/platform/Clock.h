// Monotonic milliseconds, read through an interface so that logic with long
// waits (link watchdogs, command time-outs, reconnects) can be driven by tests.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::int64_t nowMs() const = 0;
};

class SteadyClock : public Clock {
  public:
    std::int64_t nowMs() const override;
};

// A clock that moves only when told to.
class ManualClock : public Clock {
  public:
    explicit ManualClock(std::int64_t startMs = 1'000'000) : now_(startMs) {}
    std::int64_t nowMs() const override { return now_.load(); }
    void advance(std::int64_t ms) { now_ += ms; }

  private:
    std::atomic<std::int64_t> now_;
};

// The process's steady clock.
Clock& steadyClock();

} // namespace platform
