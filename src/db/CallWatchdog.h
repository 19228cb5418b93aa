// No call on the main connection waits without a bound: a watchdog thread
// abandons one that gets no answer in time (the Firebird client's abort of
// the connection), and the caller then counts the connection as lost. A hung
// server or a network partition would otherwise hold the GUI thread until TCP
// gives up, minutes to hours.
#pragma once

#include <chrono>
#include <cstdint>

using DbHandle = unsigned int;

namespace db {

using StopClock = std::chrono::steady_clock;

// How long one call on the main connection may wait for its answer; an
// attach gets as long, also one that the GUI thread waits for without
// serving events (a log-in's, a table's first use): the embedded engine
// alone can take seconds to attach, and an attach given up at a shorter
// bound would leave the next ones refused while it still runs.
constexpr std::chrono::milliseconds DefaultCallBound{10000};
std::chrono::milliseconds CallBound();
void SetCallBound(std::chrono::milliseconds bound);

// What the administrator starts and waits for (the cleaning of old history,
// the rebuild of the structure) runs single statements that rightly take
// minutes on a long history: a desk's bound would cut every run of them off
// the same way, and the history would never be cleaned. While a
// MaintenanceCalls lives, the calls of its thread get this bound instead
// (a stop's deadline still ends them). An event loop nested meanwhile (a
// message box, an attach's wait) serves desks: their calls keep CallBound.
constexpr std::chrono::milliseconds MaintenanceCallBound{std::chrono::minutes(30)};
class MaintenanceCalls {
  public:
    MaintenanceCalls();
    ~MaintenanceCalls();
    MaintenanceCalls(const MaintenanceCalls&) = delete;
    MaintenanceCalls& operator=(const MaintenanceCalls&) = delete;

  private:
    int previousLoopLevel_;
};
// The bound of a call starting now on this thread.
std::chrono::milliseconds ThisCallBound();

// From now on no call and no attach of the main connection waits past
// `deadline` (the stop's bound); callable from any thread. An attach
// waiting now is given up at once when the deadline has passed.
void LimitCallsUntil(StopClock::time_point deadline);
// What a stop keeps for itself after its last database call: naming the
// rows given up, the log.
constexpr std::chrono::milliseconds StopReserve{1500};
// Calls and attaches end by the stop's deadline less its reserve.
void LimitCallsForStop(StopClock::time_point stopDeadline);
// Lifts that limit: a new main database (a test's next window).
void ResetCallLimit();
// The moment by which a call or attach starting now must have its answer.
StopClock::time_point CallDeadline();

// Calls on `handle` are bounded as those of the main connection are.
void BoundHandle(const DbHandle* handle);

// Bounds one call on `handle` (the main connection's, or one bound so):
// armed while it lives.
class BoundedCall {
  public:
    explicit BoundedCall(const DbHandle* handle);
    // The same, cut at `deadline` (and at the stop's limit) instead.
    BoundedCall(const DbHandle* handle, StopClock::time_point deadline);
    ~BoundedCall();
    BoundedCall(const BoundedCall&) = delete;
    BoundedCall& operator=(const BoundedCall&) = delete;

    // Ends the bound; true when the watchdog abandoned the call.
    bool end();

  private:
    std::uint64_t ticket_ = 0;
    bool abandoned_ = false;
};

} // namespace db
