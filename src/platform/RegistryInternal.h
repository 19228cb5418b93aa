// What the pieces of the settings store share: the folding of key paths
// and names, the lock every writer holds, and the writer thread that makes
// the writes which find their lock held. For platform/Registry*.cpp only.
#pragma once

#include "platform/RegistryStore.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform::registry {

inline std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return c < 0x80 ? char(std::tolower(c)) : char(c); });
    return text;
}

inline std::string normalisedPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    while (!path.empty() && path.front() == '\\')
        path.erase(path.begin());
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return path;
}

// A value another writer stored, which a default must not replace.
inline bool isStored(const RegistryValue& value, RegistryValue::Type type) {
    return value.type == type && (type == RegistryValue::Type::Dword || !value.text.empty());
}

inline std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& part : parts)
        out += (out.empty() ? "" : "; ") + part;
    return out;
}

// Set on the writer thread while it makes one write: its locks wait until
// the write's own deadline, and nothing there is handed on again.
extern thread_local const std::chrono::steady_clock::time_point* laterWriteDeadline;
// The deadline of a wait for the writes to end (a stop's), after which the
// writer thread waits for no lock: nanoseconds of the steady clock, the
// largest while nobody waits.
extern std::atomic<std::chrono::steady_clock::rep> writerCutoff;

// Every writer of a settings file (the program's key objects, another copy
// of it, the password tool) holds this lock, a file beside it, from the load
// to the save: none puts back what another has just replaced. No writer goes
// on without it.
class WriteLock {
  public:
    // A writer holds the lock for one save: a holder that keeps it longer
    // has stopped, and the write is refused rather than made without it.
    static constexpr std::chrono::milliseconds Wait = RegistryLockWait;
    static constexpr int PauseMs = 2;
    using Clock = std::chrono::steady_clock;

    // Waits for a lock another writer holds until `until`.
    WriteLock(const std::string& file, Clock::time_point until);
    ~WriteLock();
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    bool held() const { return failure_.empty(); }
    // Another writer held it until the wait ran out.
    bool busy() const { return busy_; }
    // The lock and why it could not be had.
    std::string said() const { return "the lock " + path_ + " " + failure_; }

  private:
    // Never through a link: what it points at is not ours to create or lock.
    int open() const;
    std::string whyNotOpened(int error) const;

    std::string path_;
    int fd_ = -1;
    std::string failure_;
    bool busy_ = false;
};

// Whether a writer may go on. A lock that cannot be had raises
// RegistryLockError; but where the file could not be written anyway (a
// folder this user may not write takes no lock either), that is the plain
// failure of a write: false.
bool mayWrite(const WriteLock& lock, const RegistryFile& file);

using LockClock = WriteLock::Clock;

// A write asked of the writer thread.
struct LaterWrite {
    RegistryBranch branch;
    std::string file;
    std::string keyPath;
    std::optional<RegistryValue> value; // none: the key is created
    bool onlyAsDefault = false;
    LockClock::time_point deadline;
    RegistryRefusedWrite refused() const { return {keyPath, value, deadline - RegistryLockWait}; }
};

class BackgroundWriter {
  public:
    static BackgroundWriter& instance() {
        static BackgroundWriter writer;
        return writer;
    }
    ~BackgroundWriter() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    std::atomic<bool> on{false};

    // Writes of `file` wait here (queued, or being made).
    bool waiting(const std::string& file) {
        std::lock_guard lock(mutex_);
        return (running_ && running_->file == file) ||
               std::any_of(queue_.begin(), queue_.end(), [&](const LaterWrite& w) { return w.file == file; });
    }
    // The value `name` of that key will have once the writes waiting here
    // are made, from what the file holds now (`value`).
    void applyWaiting(const std::string& file, const std::string& keyPath, const std::string& name,
                      std::optional<RegistryValue>& value);
    void add(LaterWrite write) {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        queue_.push_back(std::move(write));
        changed_.notify_all();
    }
    bool finish(LockClock::time_point deadline);
    void setHandler(RegistryLateFailureHandler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

  private:
    void run();
    // The write's error, or nothing when it was made; `lockRefused` when its
    // lock could not be had.
    static std::optional<std::string> make(const LaterWrite& write, bool& lockRefused);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<LaterWrite> queue_;
    // Being made, until its verdict is said.
    std::optional<LaterWrite> running_;
    bool stop_ = false;
    RegistryLateFailureHandler handler_;
    std::thread thread_;
};

// How long a writer here waits for a lock another holds: on the writer
// thread until the write's deadline; where writes are handed on, not at all
// (a busy lock hands the write on); else the usual wait.
LockClock::time_point lockDeadline();

} // namespace platform::registry
