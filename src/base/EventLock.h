// Scope holds of the locks that the GUI thread shares with the exchange link
// thread and with its own re-entrant handlers. A nested take on the holder's
// own thread fails at once instead of dead-locking; a wait that goes on past
// the lock's patience leaves "<name> timeout" in the trace.
#pragma once

#include "platform/Event.h"

namespace base {

// Takes `event`; false when there is none or this thread already holds it
// (logged as an error), and then the caller must skip or defer its work.
bool TakeEvent(platform::Event* event);
void ReleaseEvent(platform::Event* event);

class EventLock {
  public:
    enum class Nested {
        Refused, // a nested take is an error of the caller: logged
        Covered, // the caller's own hold covers the scope: quiet
    };

    explicit EventLock(platform::Event* event, Nested nested = Nested::Refused);
    ~EventLock();
    EventLock(const EventLock&) = delete;
    EventLock& operator=(const EventLock&) = delete;
    // False when the lock was not taken here (none, or already held by this thread).
    bool owns() const { return owns_; }

  private:
    platform::Event* event_;
    bool owns_ = false;
};

} // namespace base
