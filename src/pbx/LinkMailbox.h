// Carries what the link thread reports to the main window: calls are queued
// under a mutex on the link thread and run on the GUI thread. The queue's own
// lock (rather than only Qt's event queue) makes the hand-over visible to
// thread checkers.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

class TForm1;

namespace pbx {

class LinkMailbox : public QObject {
    Q_OBJECT
  public:
    // Made on the GUI thread; its calls run there.
    explicit LinkMailbox(TForm1* form);
    // From any thread.
    void Post(std::function<void(TForm1*)> call);

  signals:
    void arrived();

  private:
    void deliver();

    TForm1* form_;
    std::mutex mutex_;
    std::deque<std::function<void(TForm1*)>> calls_;
};

} // namespace pbx
