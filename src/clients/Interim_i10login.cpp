// Stand-ins for the notification sender and the UDP broadcast until the
// real ones arrive: replaced by the real one when merged.
#include "clients/ClientService.h"
#include "platform/WireCodePage.h"

namespace clients {

// Writes the notice straight to the record's socket: no queue, no waiting
// for the acknowledgement.
void ClientService::Powiadom(int, const std::string& text, const std::string& idfb,
                             std::uint32_t socketHandle, const std::string& address) {
    if (idfb == "0")
        return;
    Klient* k = Klient::Znajdz(address, socketHandle, nullptr);
    if (!k || k->Stan == Klient::DISCONNECT || !k->Socket)
        return;
    k->Socket->write(QByteArray::fromStdString(platform::toWire(text)));
    if (text == "OK" || text == "ERROR") {
        k->Stan = Klient::OK;
        return;
    }
    k->Stan = Klient::SEND;
    ++k->Wyslane;
    k->HasOstatniaWyslana = true;
    k->OstatniaWyslana = text;
}

} // namespace clients
