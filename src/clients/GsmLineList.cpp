#include "clients/ClientService.h"

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

} // namespace clients
