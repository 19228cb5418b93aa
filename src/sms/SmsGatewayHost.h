// What the SMS gateway needs of the rest of the program, given to it at
// construction.
#pragma once

#include "base/Callbacks.h"

namespace sms {

class SmsGatewayHost {
  public:
    virtual ~SmsGatewayHost() = default;
    // Where the engine's log lines go (written at level 1).
    virtual cCallbackLog& LogCallback() = 0;
    // The user names the engine's dumps show.
    virtual cCallbackGetUserName& UserNameCallback() = 0;
};

} // namespace sms
