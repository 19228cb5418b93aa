// Broadcast notices: one datagram each to the broadcast address and port.
#include "base/DiagnosticLog.h"
#include "clients/ClientService.h"
#include "platform/WireCodePage.h"

namespace clients {

void ClientService::CreateUdpSender(QObject* owner, int port, const std::string& broadcast) {
    delete UdpSocket;
    UdpSocket = new TNMUDP(owner);
    UdpSocket->SetRemotePort(port);
    UdpSocket->SetRemoteHost(broadcast);
}

void ClientService::UdpSend(const std::string& text, TNMUDP::Turn turn) {
    if (!UdpSocket || text.empty()) {
        if (base::Switches().chbLogKlienci.load())
            base::WriteLog(1, "ODL01 wyjdz05 UdpSend UDP error");
        return;
    }
    // The sender logs what it loses, to a full backlog or to the system.
    UdpSocket->SendBuffer(platform::toWire(text), turn);
}

} // namespace clients
