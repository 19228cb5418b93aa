// What the SMS gateway needs of the rest of the program, given to it at
// construction.
#pragma once

#include "base/Callbacks.h"
#include "sms/SmsRecords.h"

#include <cstdint>
#include <string>

namespace sms {

class SmsGatewayHost {
  public:
    virtual ~SmsGatewayHost() = default;
    // Where the engine's log lines go (written at level 1).
    virtual cCallbackLog& LogCallback() = 0;
    // The user names the engine's dumps show.
    virtual cCallbackGetUserName& UserNameCallback() = 0;
    // A line for the exchange (UTF-8, with its own CR), queued as the
    // server's own with a time to live of 1000 ms.
    virtual void QueueExchangeLine(const std::string& line) = 0;
    // "!SMS&ADD&" with the message to the client of its nUserId, when one is
    // connected and handles SMS; false when none is.
    virtual bool WyslijSmsDodaj(const SMSMSG& msg) = 0;
    // "!SMS&CHG" to the client of the user, when one is connected and
    // handles SMS.
    virtual void SendSmsChg(std::int32_t userId) = 0;
    // A forward notice (UTF-8) to the client of the user, when one is
    // connected and handles SMS.
    virtual void SendSmsForward(std::int32_t userId, const std::string& notice) = 0;
};

} // namespace sms
