// Wakes the GUI thread when received exchange lines wait for the dispatcher,
// so that they are handled at once rather than at the next timer tick. At
// most one wake is in flight: a burst of lines costs one posted call.
#pragma once

#include <functional>

class QObject;

namespace pbx {

// GUI thread: `drain` runs on `target`'s thread after each wake.
void SetDispatcherWake(QObject* target, std::function<void()> drain);
// GUI thread: no more wakes for `target` (before it is destroyed).
void ClearDispatcherWake(QObject* target);
// Any thread, after a line was appended to the received chain.
void WakeDispatcher();

} // namespace pbx
