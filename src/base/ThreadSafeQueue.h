// A first-in first-out queue with its own lock; carries log lines from any
// thread to the GUI thread, and knows how many bytes they hold.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>

namespace ThreadSafe {

template <class T> class Queue {
  public:
    void Push(T value) {
        std::lock_guard lock(mutex_);
        bytes_ += value.size();
        items_.push_back(std::move(value));
    }

    // Pushes unless the queue would then hold more than `byteLimit` bytes;
    // false (and nothing queued) then.
    bool PushWithin(T value, std::size_t byteLimit) {
        std::lock_guard lock(mutex_);
        if (bytes_ + value.size() > byteLimit)
            return false;
        bytes_ += value.size();
        items_.push_back(std::move(value));
        return true;
    }

    // Moves the oldest item out; false (and `out` untouched) when empty.
    bool TryPop(T& out) {
        std::lock_guard lock(mutex_);
        if (items_.empty())
            return false;
        out = std::move(items_.front());
        items_.pop_front();
        bytes_ -= out.size();
        return true;
    }

    // Swaps out everything queued so far, oldest first.
    std::deque<T> TakeAll() {
        std::deque<T> batch;
        std::lock_guard lock(mutex_);
        batch.swap(items_);
        bytes_ = 0;
        return batch;
    }

    std::size_t Size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

  private:
    mutable std::mutex mutex_;
    std::deque<T> items_;
    std::size_t bytes_ = 0;
};

} // namespace ThreadSafe
