// Voice mail between the exchange and the clients: the polling timer's
// voice-mail step downloads the boxes, the dispatcher hands the exchange's reports to
// the mirror and tells the box's client, the clients' requests go to the
// exchange, and the console resynchronises and dumps the mirror.
#include "base/CommandParserGenerator.h"
#include "base/DiagnosticLog.h"
#include "clients/ClientService.h"
#include "pbx/PbxLink.h"
#include "platform/WireCodePage.h"
#include "sms/SmsGateway.h"
#include "ui/Components.h"
#include "ui/Dialogs.h"

#include <charconv>

namespace pbx {
namespace {

// The console's list of all user phones, found by place (the captions are translated).
constexpr int PhoneUserColumn = 0;
constexpr int PhoneNumberColumn = 2;
constexpr int PollTimeToLiveMs = 1000;

bool number(const std::string& text, std::int32_t& value) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && at == end && !text.empty();
}

void notify(clients::ClientService& service, const Klient& client, const std::string& text) {
    service.Powiadom(clients::Notice, platform::toWire(text), client.IDFB.c_str(), client.Gniazdo, client.IP);
}

std::string addNotice(const VMmessage& m, const std::string& box) {
    return "!VM&ADD&" +
           CommandParserGenerator::Generate({std::to_string(m.iId), m.date, m.time, box, m.number,
                                             std::to_string(m.atr), std::to_string(m.recording)});
}

} // namespace

void PbxLink::voiceMailRecord(std::string_view record) {
    int action = ::pbx::VoiceMail::NoAction;
    std::string box;
    VMmessage message;
    const int result = VoiceMailBoxes.ParsePbxLine(std::string(record), action, box, message);
    if (result != CommandParserGenerator::Handled)
        base::WriteLog(1, "Błąd przy obsłudze komendy VM z centrali: %s",
                       CommandParserGenerator::ErrorText(result).c_str());
    if (box.empty())
        return;
    const Klient* client = Klient::ZnajdzPoWew(box, host_.UserPhones());
    if (!client || !client->ObslugaPocztyGlosowej)
        return;
    switch (action) {
    case ::pbx::VoiceMail::ListComplete:
        WyslijListeVM(*client);
        break;
    case ::pbx::VoiceMail::MessageAdded:
        WyslijVMDodaj(message, box, *client);
        break;
    case ::pbx::VoiceMail::MessageUpdated:
        WyslijVMZmien(message, *client);
        break;
    case ::pbx::VoiceMail::MessageDeleted:
        WyslijVMUsun(message.iId, box, *client);
        break;
    default:
        break;
    }
}

PbxLink::RequestEnd PbxLink::VoiceMail(std::string_view text, int& errorCode) {
    // The request ends at its CR; an LF right after it is skipped.
    const std::size_t lineEnd = text.find('\r');
    if (lineEnd == std::string_view::npos) {
        base::WriteLog(2, "brak końca linii");
        errorCode = 7;
        return std::nullopt;
    }
    const RequestEnd end = lineEnd + (lineEnd + 1 < text.size() && text[lineEnd + 1] == '\n' ? 2 : 1);
    const std::string request(text.substr(0, lineEnd));
    const auto fields =
        CommandParserGenerator::Parse(std::string(text.substr(0, lineEnd + 1)), '\\', '&', "\r");
    // Told apart for the log only: the client is answered as for a success.
    auto failed = [&](int code) {
        base::WriteLog(2, "Błąd %d obsługi żądania VM <%s>", code, platform::fromWire(request).c_str());
        return end;
    };
    if (fields.empty())
        return failed(1);
    Klient* requester = CurrentKlient;
    if (!requester)
        return end;
    const std::string& keyword = fields[0];
    if (keyword == "CLR") {
        WyslijListeVM(*requester);
        return end;
    }
    const bool listen = keyword == "LIS";
    if (keyword != "DEL" && !listen)
        return failed(99);
    std::int32_t iId = 0;
    if (fields.size() != 3)
        return failed(listen ? 30 : 10);
    if (!number(fields[2], iId))
        return failed(listen ? 31 : 11);

    // Only a message of one of the requester's own boxes reaches the exchange.
    const std::string box = platform::fromWire(fields[1]);
    const Klient* owner = Klient::ZnajdzPoWew(box, host_.UserPhones());
    const auto found = VoiceMailBoxes.boxes.find(box);
    if (owner && owner->IDFB == requester->IDFB && found != VoiceMailBoxes.boxes.end()) {
        const auto& list = found->second;
        for (std::size_t position = 0; position < list.size(); ++position) {
            if (list[position].iId != iId)
                continue;
            const std::string command = listen
                                            ? "VM LIS " + found->first + " " + std::to_string(position) + "\r"
                                            : "VM DEL " + found->first + " " + std::to_string(position) +
                                                  " " + std::to_string(iId) + "\r";
            WyslijLinie(command, PollTimeToLiveMs);
            return end;
        }
    }
    WyslijListeVM(*requester);
    return end;
}

void PbxLink::WyslijListeVM(const Klient& client) {
    if (!client.ObslugaPocztyGlosowej)
        return;
    clients::ClientService& service = host_.Clients();
    notify(service, client, "!VM&CLR\r\n");
    const ui::TListView& phones = host_.UserPhones();
    if (phones.columnCount() <= PhoneNumberColumn)
        return;
    const QString user = QString::fromStdString(client.IDFB);
    for (int i = 0; i < phones.topLevelItemCount(); ++i) {
        if (phones.topLevelItem(i)->text(PhoneUserColumn) != user)
            continue;
        const std::string box = phones.topLevelItem(i)->text(PhoneNumberColumn).toStdString();
        const auto found = VoiceMailBoxes.boxes.find(box);
        if (found == VoiceMailBoxes.boxes.end() || box == VoiceMailBoxes.currentBox)
            continue;
        for (const VMmessage& message : found->second)
            notify(service, client, addNotice(message, box));
    }
}

void PbxLink::WyslijVMDodaj(const VMmessage& message, const std::string& box, const Klient& client) {
    notify(host_.Clients(), client, addNotice(message, box));
}

void PbxLink::WyslijVMZmien(const VMmessage& message, const Klient& client) {
    notify(host_.Clients(), client,
           CommandParserGenerator::Generate(
               {"!VM", "UPD", std::to_string(message.iId), std::to_string(message.atr)}));
}

void PbxLink::WyslijVMUsun(std::int32_t iId, const std::string& box, const Klient& client) {
    notify(host_.Clients(), client,
           "!VM&DEL&" + CommandParserGenerator::Generate({box, std::to_string(iId)}));
}

void PbxLink::WyslijSkrzynkiVMWszystkim() {
    VoiceMailBoxes.Clear();
    const ui::TListView& phones = host_.UserPhones();
    if (phones.columnCount() > PhoneNumberColumn)
        for (int i = 0; i < phones.topLevelItemCount(); ++i)
            VoiceMailBoxes.EnqueueBox(phones.topLevelItem(i)->text(PhoneNumberColumn).toStdString());
    clients::ClientService& service = host_.Clients();
    for (Klient* k = KlientList; k; k = k->Nastepny)
        if (k != ServerKlient && !k->IDFB.empty() && k->IDFB != "0" && k->ObslugaPocztyGlosowej)
            notify(service, *k, "!VM&CLR\r\n");
}

void PbxLink::RequeueVoiceMailBoxes() {
    const ui::TListView& phones = host_.UserPhones();
    if (phones.columnCount() <= PhoneNumberColumn)
        return;
    for (int i = 0; i < phones.topLevelItemCount(); ++i) {
        const std::string box = phones.topLevelItem(i)->text(PhoneNumberColumn).toStdString();
        if (VoiceMailBoxes.boxes.contains(box))
            VoiceMailBoxes.EnqueueBox(box);
    }
}

void PbxLink::miSynchronizeVboxexClick() {
    if (!host_.Settings().useVoiceMailPcti) {
        ui::dialogs().MessageBox(host_.Text("IDS_860"), host_.Text("IDS_21"),
                                 ui::MB_ICONINFORMATION | ui::MB_OK, ui::IDOK);
        return;
    }
    if (ui::dialogs().MessageBox(host_.Text("IDS_870") + host_.Text("IDS_871"), host_.Text("IDS_21"),
                                 ui::MB_ICONQUESTION | ui::MB_YESNO, ui::IDNO) == ui::IDYES)
        WyslijSkrzynkiVMWszystkim();
}

void PbxLink::miVoiceMailDumpClick() {
    if (!host_.Settings().useVoiceMailPcti) {
        ui::dialogs().MessageBox(host_.Text("IDS_860"), host_.Text("IDS_21"),
                                 ui::MB_ICONINFORMATION | ui::MB_OK, ui::IDOK);
        return;
    }
    for (const auto& [box, list] : VoiceMailBoxes.boxes) {
        base::WriteLog(1, "Skrzynka numeru %s:", box.c_str());
        for (const VMmessage& m : list)
            base::WriteLog(1, "   wiadomosc: iId %d, data: %s, %s, numer: %s, atr: %d, nagranie: %d",
                           int(m.iId), m.date.c_str(), m.time.c_str(), m.number.c_str(), int(m.atr),
                           int(m.recording));
    }
}

} // namespace pbx
