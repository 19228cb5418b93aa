#include "clients/UdpSender.h"

#include "base/DiagnosticLog.h"

#include <QUdpSocket>
#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

// Lives on the sender's thread with the socket it writes through.
class TNMUDP::Writer : public QObject {
  public:
    bool write(const Datagram& datagram) {
        if (!socket_)
            renew();
        if (socket_->writeDatagram(datagram.bytes.data(), qint64(datagram.bytes.size()), datagram.host,
                                   datagram.port) == qint64(datagram.bytes.size()))
            return true;
        // The datagram is lost; the next one goes through a fresh socket.
        renew();
        return false;
    }

  private:
    void renew() {
        socket_ = std::make_unique<QUdpSocket>();
        socket_->bind(QHostAddress::AnyIPv4, 0, QUdpSocket::ShareAddress);
    }

    std::unique_ptr<QUdpSocket> socket_;
};

TNMUDP::TNMUDP(QObject* owner) : QObject(owner) {
    setObjectName(QStringLiteral("UdpSocket"));
    thread_.setObjectName(QStringLiteral("UdpSender"));
    writer_ = new Writer;
    writer_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, writer_, &QObject::deleteLater);
    thread_.start();
}

TNMUDP::~TNMUDP() {
    // What was given before the sender goes is still sent.
    Flush();
    thread_.quit();
    thread_.wait();
}

void TNMUDP::SetRemoteHost(const std::string& host) {
    std::lock_guard lock(mutex_);
    remoteHost_ = QHostAddress(QString::fromStdString(host));
}

void TNMUDP::SetRemotePort(int port) {
    std::lock_guard lock(mutex_);
    remotePort_ = quint16(port);
}

bool TNMUDP::SendBuffer(const std::string& bytes, Turn turn) {
    std::unique_lock lock(mutex_);
    const bool full = queued() >= WaitingLimit;
    if (full && lost_++ == 0)
        base::WriteLog(2, "UDP: kolejka pełna (limit %zu), kolejne komunikaty są pomijane", WaitingLimit);
    if (full && !makeRoom(turn))
        return false;
    if (!full && lost_ > 0)
        base::WriteLog(2, "UDP: kolejka znów przyjmuje, pominięto komunikatów: %zu", std::exchange(lost_, 0));
    (turn == Turn::Ahead ? ahead_ : inOrder_).push_back({bytes, remoteHost_, remotePort_});
    passOn(lock);
    return true;
}

bool TNMUDP::makeRoom(Turn turn) {
    if (turn != Turn::Ahead || inOrder_.empty())
        return false;
    inOrder_.pop_back();
    return true;
}

std::size_t TNMUDP::Waiting() {
    std::lock_guard lock(mutex_);
    return queued();
}

void TNMUDP::Hold() {
    std::lock_guard lock(mutex_);
    ++held_;
}

void TNMUDP::Release() {
    std::unique_lock lock(mutex_);
    if (held_ > 0)
        --held_;
    if (!ahead_.empty() || !inOrder_.empty())
        passOn(lock);
}

void TNMUDP::passOn(std::unique_lock<std::mutex>& lock) {
    if (held_ > 0)
        return;
    if (passPosted_) {
        // A pass that paces the ordinary queue takes new ones at once.
        changed_.notify_all();
        return;
    }
    passPosted_ = true;
    lock.unlock();
    QMetaObject::invokeMethod(
        writer_, [this] { writeWaiting(); }, Qt::QueuedConnection);
}

void TNMUDP::writeWaiting() {
    std::unique_lock lock(mutex_);
    std::size_t lost = 0;
    std::size_t tried = 0;
    for (;;) {
        std::vector<Datagram> batch;
        const bool paced = ahead_.empty();
        if (!paced) {
            batch.assign(std::make_move_iterator(ahead_.begin()), std::make_move_iterator(ahead_.end()));
            ahead_.clear();
        } else {
            const std::size_t n = std::min(inOrder_.size(), PaceBurst);
            batch.assign(std::make_move_iterator(inOrder_.begin()),
                         std::make_move_iterator(inOrder_.begin() + std::ptrdiff_t(n)));
            inOrder_.erase(inOrder_.begin(), inOrder_.begin() + std::ptrdiff_t(n));
        }
        if (batch.empty())
            break;
        writing_ = true;
        lock.unlock();
        for (const Datagram& datagram : batch)
            lost += writer_->write(datagram) ? 0 : 1;
        tried += batch.size();
        lock.lock();
        writing_ = false;
        changed_.notify_all();
        if (paced && !inOrder_.empty())
            changed_.wait_for(lock, std::chrono::milliseconds(PacePauseMs),
                              [this] { return !ahead_.empty(); });
    }
    passPosted_ = false;
    changed_.notify_all();
    lock.unlock();
    if (lost)
        base::WriteLog(2, "UDP: nie wysłano %zu z %zu komunikatów", lost, tried);
}

bool TNMUDP::Flush(int boundMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(boundMs), [this] { return allWritten(); });
}
