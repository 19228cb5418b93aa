// Carries what the link thread reports to the GUI thread: calls are queued
// under a mutex on the link thread and run on the GUI thread. The queue's own
// lock (rather than only Qt's event queue) makes the hand-over visible to
// thread checkers.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

namespace pbx {

class LinkMailbox : public QObject {
    Q_OBJECT
  public:
    // Made on the GUI thread; its calls run there.
    LinkMailbox();
    // From any thread.
    void Post(std::function<void()> call);
    // The GUI thread: runs what waits now, before the mailbox goes.
    void DeliverWaiting() { deliver(); }

  signals:
    void arrived();

  private:
    void deliver();

    std::mutex mutex_;
    std::deque<std::function<void()>> calls_;
};

} // namespace pbx
