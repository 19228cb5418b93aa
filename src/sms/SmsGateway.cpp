#include "sms/SmsGateway.h"

namespace sms {

SmsGateway::SmsGateway(SmsGatewayHost& host) : host_(host) {
    SmsEngine.SetLogCallback(&host_.LogCallback());
    SmsEngine.SetUserNameCallback(&host_.UserNameCallback());
}

// Until the engine's number processing and reply routing are built, the
// settings have nowhere further to go.
void SmsGateway::ApplySmsSettings() {}

// Until the routing rules are built, there is nothing to reload.
void SmsGateway::LoadSmsRouting() {}

} // namespace sms
