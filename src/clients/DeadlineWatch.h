// A single-shot timer for a moment of the process clock, which tests move by
// hand: such a clock cannot be slept on, so it is looked at again soon.
#pragma once

#include "platform/Clock.h"

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>

namespace clients {

class DeadlineWatch {
  public:
    DeadlineWatch(QObject& context, std::function<void()> due) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, &context, std::move(due));
    }
    // `due` runs at `dueMs` of the process clock (at once when it passed).
    void startFor(std::int64_t dueMs) {
        const platform::Clock& clock = platform::processClock();
        std::int64_t wait =
            std::clamp<std::int64_t>(dueMs - clock.nowMs(), 0, std::numeric_limits<int>::max());
        if (clock.MovedByHand())
            wait = std::min<std::int64_t>(wait, PollMs);
        timer_.start(int(wait));
    }
    // For the earliest of `dueOf(entry)` over a map's entries; stopped when
    // there are none.
    template <typename Entries, typename DueOf> void startForEarliest(const Entries& entries, DueOf dueOf) {
        if (entries.empty()) {
            stop();
            return;
        }
        std::int64_t first = std::numeric_limits<std::int64_t>::max();
        for (const auto& entry : entries)
            first = std::min(first, dueOf(entry.second));
        startFor(first);
    }
    void startIn(int ms) { timer_.start(ms); }
    void stop() { timer_.stop(); }
    bool isActive() const { return timer_.isActive(); }

    static constexpr int PollMs = 200;

  private:
    QTimer timer_;
};

} // namespace clients
