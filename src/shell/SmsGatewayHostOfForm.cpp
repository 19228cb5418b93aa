#include "shell/SmsGatewayHostOfForm.h"

#include "clients/ClientService.h"
#include "clients/Klient.h"
#include "pbx/PbxLink.h"
#include "platform/WireCodePage.h"
#include "shell/MainForm.h"

namespace shell {

cCallbackLog& SmsGatewayHostOfForm::LogCallback() {
    return form_.LogCallback;
}

cCallbackGetUserName& SmsGatewayHostOfForm::UserNameCallback() {
    return form_.UserNameCallback;
}

void SmsGatewayHostOfForm::QueueExchangeLine(const std::string& line) {
    form_.Pbx().WyslijLinie(platform::toWire(line), 1000);
}

namespace {

// The connected client of the user when it handles SMS.
Klient* smsClientOf(std::int32_t userId) {
    Klient* client = Klient::ZnajdzID(std::to_string(userId).c_str());
    return client && client->ObslugaSms ? client : nullptr;
}

} // namespace

bool SmsGatewayHostOfForm::WyslijSmsDodaj(const sms::SMSMSG& msg) {
    Klient* client = smsClientOf(msg.nUserId);
    if (client)
        form_.Clients().WyslijSmsDodaj(msg, client->IP, client->IDFB);
    return client != nullptr;
}

void SmsGatewayHostOfForm::SendSmsChg(std::int32_t userId) {
    if (Klient* client = smsClientOf(userId))
        form_.Clients().SendSmsChg(client->IP, client->IDFB);
}

void SmsGatewayHostOfForm::SendSmsForward(std::int32_t userId, const std::string& notice) {
    if (Klient* client = smsClientOf(userId))
        form_.Clients().Powiadom(0, platform::toWire(notice), client->IDFB.c_str(), 0, client->IP);
}

} // namespace shell
