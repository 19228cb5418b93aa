#include "clients/ListenRetry.h"

#include <QHostAddress>
#include <QTcpServer>

namespace clients {

ListenRetry::ListenRetry(QTcpServer& server, ListenedPort which, std::function<void()> opened)
    : server_(server), which_(which), opened_(std::move(opened)) {
    timer_.setInterval(RetryMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { tryAgain(); });
}

void ListenRetry::Arm(int port) {
    port_ = port;
    timer_.start();
}

void ListenRetry::tryAgain() {
    if (server_.isListening()) {
        timer_.stop();
        return;
    }
    if (!server_.listen(QHostAddress::AnyIPv4, quint16(port_)))
        return;
    timer_.stop();
    ReportListenRecovered(which_, port_);
    if (opened_)
        opened_();
}

} // namespace clients
