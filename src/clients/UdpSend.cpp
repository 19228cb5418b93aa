// Broadcast notices: one datagram each to the broadcast address and port.
#include "base/DiagnosticLog.h"
#include "clients/ClientService.h"
#include "platform/WireCodePage.h"

namespace clients {

void ClientService::CreateUdpSender(QObject* owner, int port, const std::string& broadcast) {
    udpOwner_ = owner;
    udpPort_ = port;
    udpBroadcast_ = broadcast;
    delete UdpSocket;
    UdpSocket = new TNMUDP(owner);
    UdpSocket->SetRemotePort(port);
    UdpSocket->SetRemoteHost(broadcast);
}

void ClientService::UdpSend(const std::string& text) {
    if (!UdpSocket || text.empty()) {
        if (base::Switches().chbLogKlienci.load())
            base::WriteLog(1, "ODL01 wyjdz05 UdpSend UDP error");
        return;
    }
    if (UdpSocket->SendBuffer(platform::toWire(text)))
        return;
    // The datagram is lost; the next one goes through a fresh sender.
    CreateUdpSender(udpOwner_, udpPort_, udpBroadcast_);
}

} // namespace clients
