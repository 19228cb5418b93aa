// A listening port that cannot be opened (another program holds it, or it
// needs a right the program lacks) is tried again on a timer until it opens
// or is switched off: the server recovers without a restart, which a
// service manager would not make, as the process does not fail.
#pragma once

#include "clients/SocketTexts.h"

#include <QTimer>
#include <functional>

namespace clients {

class ListenRetry {
  public:
    static constexpr int RetryMs = 10000;

    // `opened` runs once a retry has opened the port.
    ListenRetry(QTcpServer& server, ListenedPort which, std::function<void()> opened = {});
    ListenRetry(const ListenRetry&) = delete;
    ListenRetry& operator=(const ListenRetry&) = delete;

    // After the first failure on `port` (said by the caller): tries again
    // every RetryMs, saying nothing until the port opens, and then that it
    // did, on stderr and in the log.
    void Arm(int port);
    // No more tries: the port is switched off.
    void Stop() { timer_.stop(); }
    bool Waiting() const { return timer_.isActive(); }
    QTimer& Timer() { return timer_; }

  private:
    void tryAgain();

    QTcpServer& server_;
    ListenedPort which_;
    std::function<void()> opened_;
    int port_ = 0;
    QTimer timer_;
};

} // namespace clients
