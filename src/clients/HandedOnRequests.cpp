// Requests handed on whole: voice mail, voice boxes and groups to the
// exchange link, SMS to the gateway, contact-sync reports to the server's
// copy of the contact base.
#include "clients/ClientService.h"
#include "clients/ClientServiceParts.h"
#include "sms/SmsGateway.h"

#include <QPointer>

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
    // Its place among the answers is taken before it is handed on: the row's
    // outcome may come within the call.
    const std::uint64_t ticket = awaitAnswer(record);
    auto answered = [this, guard = QPointer<QObject>(&context_), connection, ticket] {
        if (guard)
            answerReady(connection, ticket);
    };
    if (!host_.Sms().HandleClientSmsRequest(std::string(request.substr(0, *end)), record.IDFB, answered))
        answerReady(connection, ticket);
    errorCode = ReplyAwaitsRow;
    return end;
}

} // namespace clients
