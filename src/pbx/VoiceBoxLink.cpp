// The voice-box and group translators on the link: client requests come in
// from the framing, exchange records from the dispatcher; commands go on the
// server's chain and notices through the client service.
#include "base/CommandParserGenerator.h"
#include "base/DiagnosticLog.h"
#include "clients/ClientService.h"
#include "pbx/PbxLink.h"
#include "platform/WireCodePage.h"

namespace pbx {
namespace {

// Voice-box and group commands live this long in the server's chain.
constexpr int VoiceServiceTimeToLiveMs = 1000;
constexpr int NoLineEndCode = 7;

class LinkRoutes final : public VoiceServiceLink {
  public:
    LinkRoutes(PbxLink& link, PbxLinkHost& host) : link_(link), host_(host) {}
    Klient* ClientOf(const std::string& number) override {
        return Klient::ZnajdzPoWew(number, host_.UserPhones());
    }
    void SendToPbx(const std::string& command) override {
        link_.WyslijLinie(platform::toWire(command), VoiceServiceTimeToLiveMs);
    }
    void SendToClient(Klient& client, const std::string& text) override {
        host_.Clients().Powiadom(clients::Notice, platform::toWire(text), client.IDFB.c_str(), client.Gniazdo,
                                 client.IP);
    }

  private:
    PbxLink& link_;
    PbxLinkHost& host_;
};

// Runs a request up to its CR; its failures are only logged, as the client
// is answered "OK" whatever they are.
template <typename Run>
PbxLink::RequestEnd runRequest(const char* keyword, std::string_view text, int& errorCode, Run run) {
    const std::size_t lineEnd = text.find('\r');
    if (lineEnd == std::string_view::npos) {
        errorCode = NoLineEndCode;
        return std::nullopt;
    }
    const std::string request = platform::fromWire(std::string(text.substr(0, lineEnd)));
    const int code = run(request);
    if (code != VoiceRequestDone)
        base::WriteLog(2, "ReceiveClient2ServerCmd: błąd %d żądania %s&%s", code, keyword, request.c_str());
    std::size_t end = lineEnd + 1;
    if (end < text.size() && text[end] == '\n')
        ++end;
    return end;
}

std::string recordError(int result) {
    return CommandParserGenerator::ErrorText(result);
}

} // namespace

PbxLink::RequestEnd PbxLink::VoiceBoxRequest(std::string_view text, int& errorCode) {
    LinkRoutes routes(*this, host_);
    return runRequest("VB", text, errorCode, [&](const std::string& request) {
        return VoiceBoxUnit.ExecuteClient2ServerCmd(routes, CurrentKlient, request);
    });
}

PbxLink::RequestEnd PbxLink::GroupLoginRequest(std::string_view text, int& errorCode) {
    LinkRoutes routes(*this, host_);
    return runRequest("GWW", text, errorCode, [&](const std::string& request) {
        return GroupLogIn.ExecuteClient2ServerCmd(routes, CurrentKlient, request);
    });
}

void PbxLink::voiceBoxRecord(std::string_view record) {
    LinkRoutes routes(*this, host_);
    const int result = VoiceBoxUnit.ReceivePbx2ServerCmd(routes, record);
    if (result != CommandParserGenerator::Handled)
        base::WriteLog(1, "Błąd przy obsłudze komendy VB z centrali: %s", recordError(result).c_str());
}

void PbxLink::groupRecord(std::string_view record) {
    LinkRoutes routes(*this, host_);
    const int result = GroupLogIn.ReceivePbx2ServerCmd(routes, record);
    if (result != CommandParserGenerator::Handled)
        base::WriteLog(1, "Błąd przy obsłudze komendy GWW z centrali: %s", recordError(result).c_str());
}

} // namespace pbx
