// The UDP sender of the client service: one datagram per notice to the
// broadcast address and port; never listens. The datagrams are written by a
// thread of the sender's own, so a burst of broadcasts (a presence round, a
// busy exchange) never holds up the GUI thread's handling of the next
// exchange record. Call-state notices go out ahead of the others, which keep
// their order and leave at a pace the clients' receive buffers can take: a
// ringing is not lost behind, nor held by, a presence round.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QThread>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

class TNMUDP : public QObject {
    Q_OBJECT
  public:
    // The most datagrams that may wait for the sender's thread; more are lost.
    static constexpr std::size_t WaitingLimit = 65536;
    // Datagrams of the ordinary queue written in one go; the next go follows
    // after `PacePauseMs`, or at once while call-state notices wait.
    static constexpr std::size_t PaceBurst = 32;
    static constexpr int PacePauseMs = 1;

    enum class Turn { InOrder, Ahead };

    explicit TNMUDP(QObject* owner);
    ~TNMUDP() override;
    void SetRemoteHost(const std::string& host);
    void SetRemotePort(int port);
    // Queues the bytes as one datagram to the address and port set now;
    // false when too many wait already and the datagram is lost. A call-state
    // notice takes the place of the newest ordinary datagram then, which is
    // lost instead. Losses are logged: the first of a run at once, the count
    // when the queue takes datagrams again. A datagram the system refuses is
    // lost too, and the socket is made anew for the next.
    bool SendBuffer(const std::string& bytes, Turn turn = Turn::InOrder);
    // Datagrams waiting for the sender's thread.
    std::size_t Waiting();
    // While held (GUI thread, nestable), datagrams only queue; the last
    // release hands them to the sender's thread in one go. A burst of
    // exchange records wakes the thread once per batch, not per datagram.
    void Hold();
    void Release();
    class HeldBatch {
      public:
        explicit HeldBatch(TNMUDP* sender) : sender_(sender) {
            if (sender_)
                sender_->Hold();
        }
        ~HeldBatch() {
            if (sender_)
                sender_->Release();
        }
        // Hands over what is queued so far and goes on holding.
        void Pass() {
            if (sender_) {
                sender_->Release();
                sender_->Hold();
            }
        }
        HeldBatch(const HeldBatch&) = delete;
        HeldBatch& operator=(const HeldBatch&) = delete;

      private:
        TNMUDP* sender_;
    };
    // Waits (at most `boundMs`) until every datagram queued so far has been
    // written or lost; true when none waits.
    bool Flush(int boundMs = 1000);

  private:
    struct Datagram {
        std::string bytes;
        QHostAddress host;
        quint16 port = 0;
    };
    class Writer;
    // On the sender's thread: writes what waits, then returns.
    void writeWaiting();
    // Posts a write pass unless one is posted or the queue is held.
    void passOn(std::unique_lock<std::mutex>& lock);
    bool allWritten() const { return ahead_.empty() && inOrder_.empty() && !writing_; }
    std::size_t queued() const { return ahead_.size() + inOrder_.size(); }
    // Under the lock: makes room for a datagram of `turn` in a full queue.
    bool makeRoom(Turn turn);

    QThread thread_;
    Writer* writer_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Datagram> ahead_;
    std::deque<Datagram> inOrder_;
    // A write pass runs or is posted to the thread.
    bool passPosted_ = false;
    int held_ = 0;
    // The thread holds datagrams taken from the queues and not yet written.
    bool writing_ = false;
    // Datagrams lost to a full queue since the queue last took one freely.
    std::size_t lost_ = 0;
    QHostAddress remoteHost_;
    quint16 remotePort_ = 0;
};
