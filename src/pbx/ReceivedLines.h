// The chain of lines received from the exchange, filled by the link thread
// and drained by the dispatcher on the GUI thread, with the byte counters of
// the link status panel.
#pragma once

#include "clients/Bufor.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Lines from the exchange waiting for the dispatcher; guarded by `event_bufor`.
extern BuforChain ReceivedLines;

// Counters of the link status panel, unlocked.
extern std::atomic<std::uint32_t> ReceivedBytes;
extern std::atomic<std::uint32_t> HandledBytes;
extern std::atomic<std::uint32_t> QueuedBytes;
extern std::atomic<std::uint32_t> SentBytes;

// Appends one received line to `ReceivedLines` under the lock.
void AppendReceivedLine(std::string_view line);

// How much of what the exchange sent may wait for the dispatcher. While the
// chain holds this many lines or bytes the link thread reads no more: the
// exchange waits, nothing is dropped.
constexpr std::size_t ReceivedLinesLimit = 65536;
constexpr std::size_t ReceivedLinesByteLimit = 8u << 20;
bool ReceivedLinesFull();
