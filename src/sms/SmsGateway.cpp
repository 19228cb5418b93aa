#include "sms/SmsGateway.h"

#include "base/DiagnosticLog.h"

namespace sms {

SmsGateway::SmsGateway(SmsGatewayHost& host) : host_(host) {
    SmsEngine.SetLogCallback(&host_.LogCallback());
    SmsEngine.SetUserNameCallback(&host_.UserNameCallback());
}

void SmsGateway::AutomaticResynchronizationTick(int intervalMs, bool gsmListComplete) {
    if (!SmsSettings.UseSms || !SmsSettings.ForceSynchronization) {
        ResynchronizationTicks = 0;
        return;
    }
    if (gsmListComplete && SmsEngine.NeedsResynchronization())
        ++ResynchronizationTicks;
    else
        ResynchronizationTicks = 0;
    if ((intervalMs / 1000) * ResynchronizationTicks >= 3600) {
        base::WriteLog(1, "Automatyczna resynchronizacja listy wiadomości SMS.");
        SmsEngine.ResetSmsPoll();
        ResynchronizationTicks = 0;
    }
}

void SmsGateway::ManualResynchronization(bool gsmListComplete) {
    if (!SmsSettings.UseSms || !gsmListComplete || !SmsEngine.NeedsResynchronization())
        return;
    base::WriteLog(1, "Ręczna resynchronizacja listy wiadomości SMS.");
    SmsEngine.ResetSmsPoll();
}

} // namespace sms
