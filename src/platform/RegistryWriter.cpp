// The writer thread: writes whose file's lock another writer holds wait for
// it there, in the order asked, while the program goes on.
#include "platform/RegistryInternal.h"

#include <cstdio>

namespace platform {
using namespace registry;
namespace {

std::string namesOf(const std::vector<RegistryRefusedWrite>& writes) {
    std::vector<std::string> names;
    for (const RegistryRefusedWrite& write : writes)
        names.push_back(write.named());
    return joined(names);
}

} // namespace

namespace registry {

// Writes are made in the order asked; at the end every one left is made or
// refused before the thread ends.
void BackgroundWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        running_ = std::move(queue_.front());
        queue_.pop_front();
        const LaterWrite& next = *running_;
        lock.unlock();
        bool lockRefused = false;
        const std::optional<std::string> error = make(next, lockRefused);
        lock.lock();
        RegistryLateFailure failure{next.file, error.value_or(""), {next.refused()}};
        // Those asked while it waited share its verdict.
        for (auto it = queue_.begin(); error && lockRefused && it != queue_.end();) {
            if (it->file != next.file) {
                ++it;
                continue;
            }
            failure.writes.push_back(it->refused());
            it = queue_.erase(it);
        }
        const RegistryLateFailureHandler handler = handler_;
        lock.unlock();
        // Said before the write counts as done: whoever waits for the
        // writes to end finds their refusals said.
        if (error && handler)
            handler(failure);
        else if (error)
            std::fprintf(stderr, "%s: %s; not written: %s\n", failure.file.c_str(), failure.reason.c_str(),
                         namesOf(failure.writes).c_str());
        lock.lock();
        running_.reset();
        changed_.notify_all();
    }
}

std::optional<std::string> BackgroundWriter::make(const LaterWrite& write, bool& lockRefused) {
    laterWriteDeadline = &write.deadline;
    std::optional<std::string> error;
    try {
        RegistryKey key(write.branch, write.file);
        if (!key.OpenKey(write.keyPath, true))
            error = "the key " + write.keyPath + " cannot be opened or created";
        else if (write.value && write.value->type == RegistryValue::Type::Dword)
            write.onlyAsDefault ? (void)key.WriteDefaultInteger(write.value->name, int(write.value->dword))
                                : key.WriteInteger(write.value->name, int(write.value->dword));
        else if (write.value)
            write.onlyAsDefault ? (void)key.WriteDefaultString(write.value->name, write.value->text)
                                : key.WriteString(write.value->name, write.value->text);
    } catch (const RegistryLockError& e) {
        lockRefused = true;
        error = e.what();
    } catch (const RegistryError& e) {
        error = e.what();
    }
    laterWriteDeadline = nullptr;
    return error;
}

void BackgroundWriter::applyWaiting(const std::string& file, const std::string& keyPath,
                                    const std::string& name, std::optional<RegistryValue>& value) {
    const std::string key = lowered(normalisedPath(keyPath));
    const std::string id = lowered(name);
    const auto apply = [&](const LaterWrite& write) {
        if (write.file != file || !write.value || lowered(write.keyPath) != key ||
            lowered(write.value->name) != id)
            return;
        if (!write.onlyAsDefault || !value || !isStored(*value, write.value->type))
            value = write.value;
    };
    std::lock_guard lock(mutex_);
    if (running_)
        apply(*running_);
    for (const LaterWrite& write : queue_)
        apply(write);
}

bool BackgroundWriter::finish(LockClock::time_point deadline) {
    // Long enough for the writes still waiting at the deadline to try their
    // lock once more and be said.
    constexpr std::chrono::milliseconds VerdictTime{200};
    const auto idle = [&] { return queue_.empty() && !running_; };
    std::unique_lock lock(mutex_);
    const auto cutoff = deadline.time_since_epoch().count();
    if (cutoff < writerCutoff.load())
        writerCutoff = cutoff;
    const bool ended =
        changed_.wait_until(lock, deadline, idle) || changed_.wait_for(lock, VerdictTime, idle);
    // A later wait (the next window of a test) has no cutoff of its own.
    if (writerCutoff.load() == cutoff)
        writerCutoff = LockClock::time_point::max().time_since_epoch().count();
    return ended;
}

// How long a writer here waits for a lock another holds: on the writer
// thread until the write's deadline; where writes are handed on, not at all
// (a busy lock hands the write on); else the usual wait.
LockClock::time_point lockDeadline() {
    if (laterWriteDeadline)
        return *laterWriteDeadline;
    if (BackgroundWriter::instance().on)
        return LockClock::now();
    return LockClock::now() + WriteLock::Wait;
}

} // namespace registry

void WriteLockedRegistryInBackground(bool on) {
    BackgroundWriter::instance().on = on;
}

void SetRegistryLateFailureHandler(RegistryLateFailureHandler handler) {
    BackgroundWriter::instance().setHandler(std::move(handler));
}

bool FinishBackgroundRegistryWrites(std::chrono::steady_clock::time_point deadline) {
    return BackgroundWriter::instance().finish(deadline);
}

std::string RegistryRefusedWrite::named() const {
    return value ? keyPath + "\\" + value->name : keyPath;
}

} // namespace platform
