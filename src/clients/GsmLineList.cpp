#include "clients/ClientService.h"
#include "sms/GsmLineTable.h"

namespace clients {

void ClientService::WyslijListeGSM(const Klient& record, const std::vector<sms::S_GSMLINE>& lines) {
    if (!record.ObslugaSms)
        return;
    Powiadom(0, "!GSM&CLR\r\n", record.IDFB.c_str(), record.Gniazdo, record.IP);
    for (const auto& line : lines)
        Powiadom(0, "!GSM&ADD&" + CommandParserGenerator::Generate({line.number}), record.IDFB.c_str(),
                 record.Gniazdo, record.IP);
    Powiadom(0, "!GSM&" + CommandParserGenerator::Generate({"FIN"}), record.IDFB.c_str(), record.Gniazdo,
             record.IP);
}

void ClientService::WyslijListeGSMKlientom(const std::vector<sms::S_GSMLINE>& lines) {
    for (Klient* k = KlientList; k; k = k->Nastepny)
        if (k != ServerKlient && !k->IP.empty())
            WyslijListeGSM(*k, lines);
}

void ClientService::WyslijListeGSMWszystkim(sms::PABX& table) {
    table.Reset();
    // The new list follows once the table is read again (at the next log-in
    // or when the table is complete).
    for (const std::string& id : listedClientIds()) {
        if (id.empty() || id == "0")
            continue;
        if (const Klient* record = Klient::ZnajdzPoIDFB(id); record && record->ObslugaSms)
            Powiadom(0, "!GSM&CLR\r\n", record->IDFB.c_str(), record->Gniazdo, record->IP);
    }
}

} // namespace clients
