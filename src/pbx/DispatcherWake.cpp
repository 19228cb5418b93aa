#include "pbx/DispatcherWake.h"

#include <QMetaObject>
#include <QObject>
#include <atomic>
#include <mutex>

namespace pbx {
namespace {

struct Wake {
    std::mutex mutex;
    QObject* target = nullptr;
    std::function<void()> drain;
    // Set by the thread that posts, cleared on the GUI thread just before the
    // drain, so a line appended during the drain posts again.
    std::atomic<bool> pending{false};
};

Wake& wake() {
    static Wake instance;
    return instance;
}

void runWake() {
    Wake& w = wake();
    std::function<void()> drain;
    {
        std::lock_guard lock(w.mutex);
        w.pending = false;
        drain = w.drain;
    }
    if (drain)
        drain();
}

} // namespace

void SetDispatcherWake(QObject* target, std::function<void()> drain) {
    Wake& w = wake();
    std::lock_guard lock(w.mutex);
    w.target = target;
    w.drain = std::move(drain);
    w.pending = false;
}

void ClearDispatcherWake(QObject* target) {
    Wake& w = wake();
    std::lock_guard lock(w.mutex);
    if (w.target != target)
        return;
    w.target = nullptr;
    w.drain = nullptr;
    w.pending = false;
}

void WakeDispatcher() {
    Wake& w = wake();
    if (w.pending.exchange(true))
        return;
    // Held while posting, so the target cannot be cleared and destroyed meanwhile.
    std::lock_guard lock(w.mutex);
    if (!w.target) {
        w.pending = false;
        return;
    }
    QMetaObject::invokeMethod(w.target, &runWake, Qt::QueuedConnection);
}

} // namespace pbx
