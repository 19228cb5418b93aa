// The chain of lines received from the exchange, filled by the link thread
// and drained by the dispatcher on the GUI thread: how much of it may wait.
// The chain itself and its byte counters belong to `pbx::LinkShared`.
#pragma once

#include "clients/Bufor.h"

#include <cstddef>

// How much of what the exchange sent may wait for the dispatcher. While the
// chain holds this many lines or bytes the link thread reads no more: the
// exchange waits, nothing is dropped.
constexpr std::size_t ReceivedLinesLimit = 65536;
constexpr std::size_t ReceivedLinesByteLimit = 8u << 20;
// Lines the dispatcher handles before the event loop gets its turn again, so
// that a stream of records never holds up the clients, timers and signals.
// Their broadcasts go to the sender in one batch.
constexpr std::size_t DispatchSliceLines = 64;
