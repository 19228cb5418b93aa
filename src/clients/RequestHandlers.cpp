// The request table's entry points of the log-in, text-message, description
// and lock requests: the work reads a zero-ended text, and the read a request
// is cut from always ends in a zero byte. The call-control requests are the
// exchange link's work.
#include "clients/ClientService.h"

namespace clients {

namespace {

RequestEnd endAt(std::string_view text, const char* next) {
    if (!next)
        return std::nullopt;
    return std::size_t(next - text.data());
}

} // namespace

RequestEnd ClientService::RejestracjaKlienta(std::string_view text, const std::string& address, bool kla,
                                             int& errorCode, std::uint32_t connection) {
    return endAt(text, registerClient(text.data(), address, kla, errorCode, connection));
}

RequestEnd ClientService::WiadomoscTxtOdKlienta(std::string_view text, const std::string& address,
                                                int& errorCode) {
    return endAt(text, relayTextMessage(text.data(), address, errorCode));
}

RequestEnd ClientService::AktualizujOpisUzytkownika(std::string_view text, int& errorCode) {
    return endAt(text, updateDescription(text.data(), errorCode));
}

RequestEnd ClientService::Blokada(bool on, std::string_view text, int& errorCode) {
    return endAt(text, setLock(on, text.data(), errorCode));
}

RequestEnd ClientService::WybierzNumer(std::string_view text, int& errorCode) {
    return host_.RunCallControl(CallControlRequest::Dial, text, errorCode);
}

RequestEnd ClientService::ZamowRozmowe(std::string_view text, int& errorCode) {
    return host_.RunCallControl(CallControlRequest::CallOrder, text, errorCode);
}

RequestEnd ClientService::TransferDzwonka(std::string_view text, int& errorCode) {
    return host_.RunCallControl(CallControlRequest::Transfer, text, errorCode);
}

RequestEnd ClientService::Redial(std::string_view text, int& errorCode) {
    return host_.RunCallControl(CallControlRequest::Redial, text, errorCode);
}

RequestEnd ClientService::Hold(std::string_view text, int& errorCode) {
    return host_.RunCallControl(CallControlRequest::Hold, text, errorCode);
}

RequestEnd ClientService::Unhold(std::string_view text, int& errorCode) {
    return host_.RunCallControl(CallControlRequest::Unhold, text, errorCode);
}

RequestEnd ClientService::SpeakerPhone(std::string_view text, int& errorCode) {
    return host_.RunCallControl(CallControlRequest::SpeakerPhone, text, errorCode);
}

} // namespace clients
