// What every benchmark shares: the percentiles it reports and a sandbox for
// the program's files.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QMetaObject>
#include <QTemporaryDir>
#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

// A size from the environment variable `name`; `fallback` unless positive.
inline int setting(const char* name, int fallback) {
    const int value = qEnvironmentVariableIntValue(name);
    return value > 0 ? value : fallback;
}

// The resident memory of this process, in MB (-1 where it cannot be read).
inline long rssMb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::atol(line.c_str() + 6) / 1024;
    return -1;
}

inline double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * double(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

// True once `condition` holds, looked at every `pollUs` microseconds; false
// after `capMs`.
inline bool waitUntil(const std::function<bool()>& condition, int capMs = 60000, int pollUs = 20) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(capMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(pollUs));
    }
    return true;
}

// A port on loopback that nothing holds just now.
inline int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The positive numbers of a comma-separated list, ascending.
inline std::vector<int> numbersOf(const char* list) {
    std::vector<int> numbers;
    for (const QByteArray& part : QByteArray(list).split(','))
        if (const int n = part.trimmed().toInt(); n > 0)
            numbers.push_back(n);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// Runs `measure` on a thread of its own while the GUI thread runs the real
// event loop, which ends when it is done; its result.
inline int measureWhileLooping(const std::function<int()>& measure) {
    std::atomic<int> result{1};
    std::thread driver([&] {
        result = measure();
        QMetaObject::invokeMethod(
            qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    driver.join();
    return result.load();
}

// Many clients on loopback hold both ends of each connection here: the soft
// limit of open descriptors is raised to at least `wanted`; false when the
// hard limit does not allow it.
inline bool RaiseDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= wanted)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted)
        return false;
    limit.rlim_cur = wanted;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// A thread repeating `step` every `everyMs` until stopped.
class Repeater {
  public:
    Repeater(int everyMs, std::function<void()> step)
        : thread_([this, everyMs, step = std::move(step)] {
              auto due = std::chrono::steady_clock::now();
              std::unique_lock lock(mutex_);
              while (!stop_) {
                  lock.unlock();
                  step();
                  lock.lock();
                  due += std::chrono::milliseconds(everyMs);
                  wake_.wait_until(lock, due, [&] { return stop_; });
              }
          }) {}
    ~Repeater() { stop(); }
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// Offscreen, with the settings and runtime files in a temporary folder; made
// before the application object.
class Sandbox {
  public:
    Sandbox() {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("HALVEX_REGISTRY_DIR", dir_.path().toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", dir_.path().toLocal8Bit());
    }
    QString path() const { return dir_.path(); }

  private:
    QTemporaryDir dir_;
};

} // namespace bench
