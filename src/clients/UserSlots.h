// The presence table: one slot per user of the user list (the first 512),
// in list order. The user list's loader fills it, the client check marks
// the users it sees connected, and the attendance link writes the
// attendance state from its own thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace clients {

struct UserSlot {
    std::string UserId; // empty: the slot is free
    std::string Address;
    std::string CardKey;
    std::uint32_t Connected = 0;
    // 0 none, 1 out, 2 in, 3 out on business; written by the attendance
    // thread without the client lock, so a reader may see an older value.
    std::atomic<std::uint32_t> AttendanceState{0};
};

constexpr std::size_t UserSlotCount = 512;
using UserSlotTable = std::array<UserSlot, UserSlotCount>;

// One user as the loader hands it to the table.
struct UserSlotUser {
    std::string userId;
    std::string cardKey;
};

} // namespace clients
