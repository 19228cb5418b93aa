// A first-in first-out queue with its own lock; carries log lines from any
// thread to the GUI thread.
#pragma once

#include <deque>
#include <mutex>

namespace ThreadSafe {

template <class T> class Queue {
  public:
    void Push(T value) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(value));
    }

    // Moves the oldest item out; false (and `out` untouched) when empty.
    bool TryPop(T& out) {
        std::lock_guard lock(mutex_);
        if (items_.empty())
            return false;
        out = std::move(items_.front());
        items_.pop_front();
        return true;
    }

    // Swaps out everything queued so far, oldest first.
    std::deque<T> TakeAll() {
        std::deque<T> batch;
        std::lock_guard lock(mutex_);
        batch.swap(items_);
        return batch;
    }

    std::size_t Size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

  private:
    mutable std::mutex mutex_;
    std::deque<T> items_;
};

} // namespace ThreadSafe
