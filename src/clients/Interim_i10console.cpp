// Minimal stand-ins for the notice sender, the text-message relay and the
// presence slots, replaced by the real ones when merged.
#include "clients/ClientService.h"

#include "base/DiagnosticLog.h"
#include "platform/WireCodePage.h"

namespace clients {

// Replaced by the real one when merged: writes the text to the record's socket.
void ClientService::Powiadom(int, const std::string& text, const std::string& idfb, std::uint32_t,
                             const std::string&) {
    Klient* record = Klient::ZnajdzPoIDFB(idfb);
    if (record && record->Socket) {
        const std::string bytes = platform::toWire(text);
        record->Socket->write(bytes.data(), qint64(bytes.size()));
    }
}

// Replaced by the real one when merged: logs the message it was given.
void ClientService::WiadomoscTxtOdKlienta(const std::string& message, const std::string& address) {
    base::WriteLog(1, "WI od %s: %s", address.c_str(), message.c_str());
}

// Replaced by the real one when merged.
void ClientService::FillUserSlots(const std::vector<std::pair<std::string, std::string>>&) {}

} // namespace clients
