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
    // A datagram the system refuses is lost and the sender makes its socket
    // anew by itself; here only the sender's backlog can refuse it.
    if (!UdpSocket->SendBuffer(platform::toWire(text), turn))
        base::WriteLog(2, "UDP: kolejka pełna, komunikat pominięty <%s>", text.c_str());
}

} // namespace clients
