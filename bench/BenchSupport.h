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
#include <functional>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace bench {

inline double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * double(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
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
