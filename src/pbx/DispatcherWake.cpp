#include "pbx/DispatcherWake.h"

#include <QMetaObject>
#include <QObject>

namespace pbx {

void DispatcherWake::runWake() {
    std::function<void()> drain;
    {
        std::lock_guard lock(mutex_);
        pending_ = false;
        drain = drain_;
    }
    if (drain)
        drain();
}

void DispatcherWake::SetDispatcherWake(QObject* target, std::function<void()> drain) {
    std::lock_guard lock(mutex_);
    target_ = target;
    drain_ = std::move(drain);
    pending_ = false;
}

void DispatcherWake::ClearDispatcherWake(QObject* target) {
    std::lock_guard lock(mutex_);
    if (target_ != target)
        return;
    target_ = nullptr;
    drain_ = nullptr;
    pending_ = false;
}

void DispatcherWake::WakeDispatcher() {
    if (pending_.exchange(true))
        return;
    // Held while posting, so the target cannot be cleared and destroyed meanwhile.
    std::lock_guard lock(mutex_);
    if (!target_) {
        pending_ = false;
        return;
    }
    QMetaObject::invokeMethod(
        target_, [this] { runWake(); }, Qt::QueuedConnection);
}

} // namespace pbx
