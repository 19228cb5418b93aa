#include "clients/UdpSender.h"

TNMUDP::TNMUDP(QObject* owner) : QObject(owner) {
    setObjectName(QStringLiteral("UdpSocket"));
    socket_.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::ShareAddress);
}

bool TNMUDP::SendBuffer(const std::string& bytes) {
    return socket_.writeDatagram(bytes.data(), qint64(bytes.size()), remoteHost_, remotePort_) ==
           qint64(bytes.size());
}
