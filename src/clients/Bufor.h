// Line chains: every text that crosses the link to the exchange travels as a
// `Bufor` node. Commands wait in the chain of the client record that asked
// for them; received lines wait in the exchange link's chain for the
// dispatcher. One lock, `event_bufor`, guards every chain. Chains hold the
// bytes of the wire code page: the queue operations convert commands on the
// way in, the dispatcher converts received lines when it takes them.
#pragma once

#include "base/EventLock.h"
#include "platform/Event.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

// One line node: the bytes to send (or the line received) and, for a
// command, its time to live.
struct Bufor {
    // `count` bytes are copied; when the last of them is NUL it is not part
    // of the line.
    Bufor(const char* text, std::size_t count, std::int32_t timeToLiveMs = 0);
    explicit Bufor(std::string_view line, std::int32_t timeToLiveMs = 0);

    // A time to live that never runs out: the command waits however long the
    // commands ahead of it take (an acknowledgement the exchange must get).
    static constexpr std::int32_t NeverStale = std::numeric_limits<std::int32_t>::max();

    std::string data;
    std::int32_t TTL = 0;
    // When a command was queued, on the link's clock; -1: not known, and
    // then only its TTL counts.
    std::int64_t QueuedMs = -1;
    std::uint32_t length() const { return static_cast<std::uint32_t>(data.size()); }
};

// Appended at the tail, taken at the head.
using BuforChain = std::deque<Bufor>;

// Guards the received exchange-line chain and every chain of exchange
// commands. Made by the main window (or a test); absent before.
extern std::unique_ptr<platform::Event> event_bufor;

// Holds `event_bufor` for a scope unless this thread already holds it (then
// the caller's own hold covers the scope). Holds nothing while the lock does
// not exist.
[[nodiscard]] inline base::EventLock LockChains() {
    return base::EventLock(event_bufor.get(), base::EventLock::Nested::Covered);
}
