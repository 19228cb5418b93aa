// What the SMS gateway needs of the rest of the program, given to it at
// construction.
#pragma once

#include "base/Callbacks.h"
#include "sms/SmsRecords.h"

#include <string>
#include <vector>

namespace sms {

class SmsGatewayHost {
  public:
    virtual ~SmsGatewayHost() = default;
    // Where the engine's log lines go (written at level 1).
    virtual cCallbackLog& LogCallback() = 0;
    // The user names the engine's dumps show.
    virtual cCallbackGetUserName& UserNameCallback() = 0;
    // Appends a line of the server's own to the exchange's command chain.
    virtual void QueueExchangeLine(const std::string& line, int timeToLiveMs) = 0;
    // Switches the polling timer off around a step and on again after it.
    virtual void EnablePollingTimer(bool on) = 0;
    // The GSM-line list to every connected client.
    virtual void SendGsmListToClients(const std::vector<S_GSMLINE>& lines) = 0;
};

} // namespace sms
