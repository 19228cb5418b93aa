#include "platform/Event.h"

namespace platform {

Event::Event(std::string name) : name_(std::move(name)) {}

Event::TakeResult Event::take(const std::function<void()>& onLongWait, std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    if (held_ && owner_ == std::this_thread::get_id())
        return TakeResult::NestedOnOwnerThread;
    while (held_) {
        if (!freed_.wait_for(lock, patience, [this] { return !held_; }) && onLongWait) {
            lock.unlock();
            onLongWait();
            lock.lock();
        }
    }
    held_ = true;
    owner_ = std::this_thread::get_id();
    return TakeResult::Taken;
}

void Event::release() {
    {
        std::lock_guard lock(mutex_);
        held_ = false;
        owner_ = std::thread::id();
    }
    freed_.notify_one();
}

bool Event::isHeld() const {
    std::lock_guard lock(mutex_);
    return held_;
}

bool Event::heldByCurrentThread() const {
    std::lock_guard lock(mutex_);
    return held_ && owner_ == std::this_thread::get_id();
}

} // namespace platform
