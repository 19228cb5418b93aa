#include "shell/SmsGatewayHostOfForm.h"

#include "clients/ClientService.h"
#include "pbx/PbxLink.h"
#include "shell/MainForm.h"

namespace shell {

cCallbackLog& SmsGatewayHostOfForm::LogCallback() {
    return form_.LogCallback;
}

cCallbackGetUserName& SmsGatewayHostOfForm::UserNameCallback() {
    return form_.UserNameCallback;
}

void SmsGatewayHostOfForm::QueueExchangeLine(const std::string& line, int timeToLiveMs) {
    form_.Pbx().WyslijLinie(line, timeToLiveMs);
}

void SmsGatewayHostOfForm::EnablePollingTimer(bool on) {
    form_.tmrPabxSynchronize->SetEnabled(on);
}

void SmsGatewayHostOfForm::SendGsmListToClients(const std::vector<sms::S_GSMLINE>& lines) {
    form_.Clients().WyslijListeGSMKlientom(lines);
}

} // namespace shell
