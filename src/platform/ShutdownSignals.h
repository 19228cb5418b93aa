// SIGTERM, SIGINT and SIGHUP (the end of the session) reach the GUI thread
// through a self-pipe, as one Qt signal.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <chrono>
#include <functional>

namespace platform {

class ShutdownSignals : public QObject {
    Q_OBJECT
  public:
    explicit ShutdownSignals(QObject* parent = nullptr);
    ~ShutdownSignals() override;

    // Catches the signals from the first moment of the process on; what comes
    // before an object exists waits for it.
    static void CatchEarly();

    using Deadline = std::chrono::steady_clock::time_point;
    // Makes the stop's bound hold whatever the GUI thread is doing: from the
    // first signal (or BeginStop) on, a thread of its own runs `onStop` with
    // the stop's deadline, and if the process still runs `lastWordsTime`
    // before that deadline, runs `lastWords` and ends it (exit code 0, said
    // on stderr).
    static void WatchStop(std::chrono::milliseconds bound, std::function<void(Deadline)> onStop,
                          std::chrono::milliseconds lastWordsTime, std::function<void()> lastWords);
    // Fixes the stop's deadline, once, and returns it (from the first
    // signal's moment when one came first).
    static Deadline BeginStop();

  signals:
    void shutdownRequested(int signalNumber);

  private:
    void readPipe();
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace platform
