// Line chains: every text that crosses the link to the exchange travels as a
// `Bufor` node. Received lines wait in `ReceivedLines` for the dispatcher;
// commands wait in the chain of the client record that asked for them. One
// lock, `event_bufor`, guards every chain. Chains hold the bytes of the
// wire code page: the queue operations convert commands on the way in, the
// dispatcher converts received lines when it takes them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

// One line node: the bytes to send (or the line received) and, for a
// command, its time to live.
struct Bufor {
    // `count` bytes are copied; when the last of them is NUL it is not part
    // of the line.
    Bufor(const char* text, std::size_t count, std::int32_t timeToLiveMs = 0);
    explicit Bufor(std::string_view line, std::int32_t timeToLiveMs = 0);

    std::string data;
    std::int32_t TTL = 0;
    std::uint32_t length() const { return static_cast<std::uint32_t>(data.size()); }
};

// Appended at the tail, taken at the head.
using BuforChain = std::deque<Bufor>;

// Lines from the exchange waiting for the dispatcher; guarded by `event_bufor`.
extern BuforChain ReceivedLines;

// Counters of the link status panel, unlocked.
extern std::atomic<std::uint32_t> ReceivedBytes;
extern std::atomic<std::uint32_t> HandledBytes;
extern std::atomic<std::uint32_t> QueuedBytes;
extern std::atomic<std::uint32_t> SentBytes;

// Holds `event_bufor` for a scope unless this thread already holds it (then
// the caller's own hold covers the scope). Does nothing while the lock does
// not exist (before the main window made it, or in a test without one).
class BuforLock {
  public:
    BuforLock();
    ~BuforLock();
    BuforLock(const BuforLock&) = delete;
    BuforLock& operator=(const BuforLock&) = delete;

  private:
    bool taken_ = false;
};

// Appends one received line to `ReceivedLines` under the lock.
void AppendReceivedLine(std::string_view line);

// How much of what the exchange sent may wait for the dispatcher. While the
// chain holds this many lines or bytes the link thread reads no more: the
// exchange waits, nothing is dropped.
constexpr std::size_t ReceivedLinesLimit = 65536;
constexpr std::size_t ReceivedLinesByteLimit = 8u << 20;
bool ReceivedLinesFull();
