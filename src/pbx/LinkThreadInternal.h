// What the pieces of the link thread share: the limits of the command
// exchange, of the link check and of a read pass, and the log switches.
// For the link thread's own pbx/Link*.cpp only.
#pragma once

#include "base/DiagnosticLog.h"

#include <cstddef>
#include <cstdint>

namespace pbx::linkthread {

inline constexpr std::int64_t CommandAnswerTimeoutMs = 30000;
inline constexpr std::int64_t SerialCheckPeriodS = 15;
inline constexpr std::int64_t TcpCheckPeriodS = 30;
inline constexpr std::uint32_t TcpQuietPolls = 120;
// Idle polls stop counting here (where they start).
inline constexpr std::uint32_t IdlePollsCap = 99999;
inline constexpr std::size_t LogCopyLimit = 1024;
// Lines, and bytes, read in one pass of the serial loop before the queued
// commands get their turn (4 KiB is about a third of a second at 115200 baud).
inline constexpr int MaxLinesPerReadPass = 32;
inline constexpr int MaxBytesPerSerialPass = 4096;
// The most one pass of the TCP loop takes from the socket.
inline constexpr std::size_t TcpReadPassLimit = 65536;
// The serial dialogue of types 0 to 4 may take a little longer than its
// pauses and read time-outs add up to.
inline constexpr std::int64_t LoginWatchMarginMs = 3000;
inline constexpr std::int64_t UsualLoginWatchLimitMs = 20000;

inline bool details() {
    return base::Switches().chbLogRS.load();
}
inline bool traffic() {
    return base::Switches().chbInfoPCTI.load();
}

} // namespace pbx::linkthread
