// The UDP sender of the client service: one datagram per notice to the
// broadcast address and port; never listens.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>
#include <string>

class TNMUDP : public QObject {
    Q_OBJECT
  public:
    explicit TNMUDP(QObject* owner);
    void SetRemoteHost(const std::string& host) { remoteHost_ = QHostAddress(QString::fromStdString(host)); }
    void SetRemotePort(int port) { remotePort_ = quint16(port); }
    // Sends the bytes as one datagram; false when the send failed.
    bool SendBuffer(const std::string& bytes);

  private:
    QUdpSocket socket_;
    QHostAddress remoteHost_;
    quint16 remotePort_ = 0;
};
