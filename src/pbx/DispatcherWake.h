// Wakes the GUI thread when received exchange lines wait for the dispatcher,
// so that they are handled at once rather than at the next timer tick. At
// most one wake is in flight: a burst of lines costs one posted call, and
// one more for each slice the dispatcher leaves for the next pass.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

class QObject;

namespace pbx {

class DispatcherWake {
  public:
    // GUI thread: `drain` runs on `target`'s thread after each wake. The
    // target must not outlive this object: a wake posted to it calls back here.
    void SetDispatcherWake(QObject* target, std::function<void()> drain);
    // GUI thread: no more wakes for `target` (before it is destroyed).
    void ClearDispatcherWake(QObject* target);
    // Any thread, after a line was appended to the received chain.
    void WakeDispatcher();

  private:
    void runWake();

    std::mutex mutex_;
    QObject* target_ = nullptr;
    std::function<void()> drain_;
    // Set by the thread that posts, cleared on the GUI thread just before the
    // drain, so a line appended during the drain posts again.
    std::atomic<bool> pending_{false};
};

} // namespace pbx
