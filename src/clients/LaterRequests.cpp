// Requests whose work comes with call control, voice mail, voice boxes,
// groups, contact sync and SMS: until then each is taken whole (to its line
// end) and answered, so that the requests after it in the same read are
// handled and nothing is done twice.
#include "clients/ClientService.h"
#include "clients/ClientServiceParts.h"

namespace clients {
using detail::afterLineEnd;

namespace {

RequestEnd lineRequest(std::string_view text, int& errorCode, int noLineEndCode) {
    RequestEnd end = afterLineEnd(text, "\r");
    if (!end) {
        base::WriteLog(2, "brak końca linii");
        errorCode = noLineEndCode;
    }
    return end;
}

RequestEnd recordRequest(std::string_view text) {
    return afterLineEnd(text, "\r\n");
}

} // namespace

RequestEnd ClientService::WybierzNumer(std::string_view text, int& errorCode) {
    return lineRequest(text, errorCode, 3);
}

RequestEnd ClientService::ZamowRozmowe(std::string_view text, int& errorCode) {
    return lineRequest(text, errorCode, 3);
}

RequestEnd ClientService::TransferDzwonka(std::string_view text, int& errorCode) {
    return lineRequest(text, errorCode, 7);
}

RequestEnd ClientService::Redial(std::string_view text, int& errorCode) {
    return lineRequest(text, errorCode, 4);
}

RequestEnd ClientService::Hold(std::string_view text, int& errorCode) {
    return lineRequest(text, errorCode, 3);
}

RequestEnd ClientService::Unhold(std::string_view text, int& errorCode) {
    return lineRequest(text, errorCode, 4);
}

RequestEnd ClientService::SpeakerPhone(std::string_view text, int& errorCode) {
    return lineRequest(text, errorCode, 7);
}

RequestEnd ClientService::ContactAdded(std::string_view text) {
    return recordRequest(text);
}

RequestEnd ClientService::ContactChanged(std::string_view text) {
    return recordRequest(text);
}

RequestEnd ClientService::ContactDeleted(std::string_view text) {
    return recordRequest(text);
}

RequestEnd ClientService::ContactGroupAdded(std::string_view text) {
    return recordRequest(text);
}

RequestEnd ClientService::ContactGroupDeleted(std::string_view text) {
    return recordRequest(text);
}

RequestEnd ClientService::VoiceMailRequest(std::string_view text, int&) {
    return recordRequest(text);
}

RequestEnd ClientService::VoiceBoxRequest(std::string_view text, int&) {
    return recordRequest(text);
}

RequestEnd ClientService::GroupLoginRequest(std::string_view text, int&) {
    return recordRequest(text);
}

RequestEnd ClientService::SmsRequest(std::string_view request, const std::string&) {
    if (detail::clientTrace())
        base::WriteLog(1, "Odebrany komunikat SMS od klienta");
    return recordRequest(request);
}

} // namespace clients
