// SIGTERM, SIGINT and SIGHUP (the end of the session) reach the GUI thread
// through a self-pipe, as one Qt signal.
#pragma once

#include <QObject>
#include <QSocketNotifier>

namespace platform {

class ShutdownSignals : public QObject {
    Q_OBJECT
  public:
    explicit ShutdownSignals(QObject* parent = nullptr);
    ~ShutdownSignals() override;

    // Catches the signals from the first moment of the process on; what comes
    // before an object exists waits for it.
    static void CatchEarly();

  signals:
    void shutdownRequested(int signalNumber);

  private:
    void readPipe();
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace platform
