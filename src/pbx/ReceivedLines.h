// The chain of lines received from the exchange, filled by the link thread
// and drained by the dispatcher on the GUI thread: how much of it may wait.
// The chain itself and its byte counters belong to `pbx::LinkShared`.
#pragma once

#include "clients/Bufor.h"

#include <cstddef>
#include <cstdint>

// How much of what the exchange sent may wait for the dispatcher. While the
// chain holds this many lines or bytes the link thread reads no more: the
// exchange waits, nothing is dropped.
constexpr std::size_t ReceivedLinesLimit = 65536;
constexpr std::size_t ReceivedLinesByteLimit = 8u << 20;
// How much the dispatcher handles before the event loop gets its turn again,
// so that a stream of records never holds up the clients, timers and
// signals: batches of `Lines` lines (their broadcasts go to the sender
// together), at most `Batches` of them, fewer once `Ms` have passed.
struct DispatchSlice {
    static constexpr std::size_t Lines = 64;
    static constexpr std::size_t Batches = 4;
    static constexpr std::int64_t Ms = 5;
};
