// Requests handed on whole: voice mail, voice boxes and groups to the
// exchange link, SMS to the gateway, contact-sync reports to the server's
// copy of the contact base.
#include "clients/ClientService.h"
#include "clients/ClientServiceParts.h"
#include "sms/SmsGateway.h"

#include "db/CallWatchdog.h"
#include "platform/Clock.h"

#include <QPointer>
#include <utility>
#include <vector>

namespace clients {
using detail::afterLineEnd;

namespace {

RequestEnd recordRequest(std::string_view text) {
    return afterLineEnd(text, "\r\n");
}

} // namespace

RequestEnd ClientService::ContactAdded(std::string_view text) {
    ContactRowChange change;
    const RequestEnd end = ContactSync.CzytajDbDodaj(host_.ContactRows(), text, &change);
    host_.ContactRowChanged(change);
    return end;
}

RequestEnd ClientService::ContactChanged(std::string_view text) {
    ContactRowChange change;
    const RequestEnd end = ContactSync.CzytajDbZmien(host_.ContactRows(), text, &change);
    host_.ContactRowChanged(change);
    return end;
}

RequestEnd ClientService::ContactDeleted(std::string_view text) {
    ContactRowChange change;
    const RequestEnd end = ContactSync.CzytajDbUsun(host_.ContactRows(), text, &change);
    host_.ContactRowChanged(change);
    return end;
}

RequestEnd ClientService::ContactGroupAdded(std::string_view text) {
    return ContactSync.CzytajDbgDodaj(host_.ContactGroupRows(), text);
}

RequestEnd ClientService::ContactGroupDeleted(std::string_view text) {
    return ContactSync.CzytajDbgUsun(host_.ContactGroupRows(), text);
}

RequestEnd ClientService::VoiceMailRequest(std::string_view text, int& errorCode) {
    return host_.RunVoiceMailRequest(text, errorCode);
}

RequestEnd ClientService::VoiceBoxRequest(std::string_view text, int& errorCode) {
    return host_.RunVoiceBoxRequest(text, errorCode);
}

RequestEnd ClientService::GroupLoginRequest(std::string_view text, int& errorCode) {
    return host_.RunGroupLoginRequest(text, errorCode);
}

RequestEnd ClientService::SmsRequest(std::string_view request, const Klient& record, int& errorCode) {
    if (host_.Sms().SmsEngine.ErrorLogging())
        base::WriteLog(1, "Odebrany komunikat SMS od klienta");
    const RequestEnd end = recordRequest(request);
    if (!end)
        return end;
    const std::uint32_t connection = record.Gniazdo;
    const std::uint64_t ticket = nextSmsTicket_++;
    // The row's outcome comes to the GUI thread, to a service still there.
    auto answered = [this, guard = QPointer<QObject>(&context_), connection, ticket] {
        if (guard)
            smsRowAnswered(connection, ticket);
    };
    if (host_.Sms().HandleClientSmsRequest(std::string(request.substr(0, *end)), record.IDFB, answered)) {
        smsRowWaits_[connection] =
            SmsRowWait{ticket, platform::processClock().nowMs() + db::CallBound().count(), record.IP};
        smsRowWatch_.startForEarliest(smsRowWaits_, [](const SmsRowWait& wait) { return wait.dueMs; });
        errorCode = ReplyAwaitsRow;
    }
    return end;
}

void ClientService::smsRowAnswered(std::uint32_t connection, std::uint64_t ticket) {
    const auto found = smsRowWaits_.find(connection);
    if (found == smsRowWaits_.end() || found->second.ticket != ticket)
        return; // the client has gone, or was answered at the bound
    const std::string address = found->second.address;
    smsRowWaits_.erase(found);
    smsRowWatch_.startForEarliest(smsRowWaits_, [](const SmsRowWait& wait) { return wait.dueMs; });
    Klient* record = Klient::Find(address, connection, nullptr);
    if (!record || record->Stan == Klient::DISCONNECT)
        return;
    if (detail::clientTrace())
        base::WriteLog(1, "Wysłanie potwierdzenia %s", "SMS");
    reply(*record, Priority, "OK");
    serwerClientRead(connection, address);
}

void ClientService::answerLateSmsRequests() {
    const std::int64_t now = platform::processClock().nowMs();
    std::vector<std::pair<std::uint32_t, std::uint64_t>> late;
    for (const auto& [connection, wait] : smsRowWaits_)
        if (wait.dueMs <= now)
            late.emplace_back(connection, wait.ticket);
    for (const auto& [connection, ticket] : late)
        smsRowAnswered(connection, ticket);
    smsRowWatch_.startForEarliest(smsRowWaits_, [](const SmsRowWait& wait) { return wait.dueMs; });
}

} // namespace clients
