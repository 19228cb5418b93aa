// A lock in the manner of a manual-reset event: free or held, with the holder
// recorded so that a nested take on the holder's own thread fails at once
// instead of dead-locking.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

class Event {
  public:
    enum class TakeResult { Taken, NestedOnOwnerThread };

    explicit Event(std::string name);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Waits until the lock is free and takes it in the same step. Each time
    // `patience` passes while another thread still holds it, `onLongWait` runs
    // and the wait goes on: a waiter never enters while the lock is held.
    TakeResult take(const std::function<void()>& onLongWait = {},
                    std::chrono::milliseconds patience = std::chrono::milliseconds(6000));
    // Frees the lock; freeing a free lock leaves it free.
    void release();

    bool isHeld() const;
    bool heldByCurrentThread() const;
    const std::string& name() const { return name_; }

  private:
    std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    bool held_ = false;
    std::thread::id owner_;
};

} // namespace platform
