#include "platform/Clock.h"

#include <chrono>

namespace platform {

std::int64_t SteadyClock::nowMs() const {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Clock& steadyClock() {
    static SteadyClock clock;
    return clock;
}

} // namespace platform
