// The SMS engine: routing rules, send queues per GSM line and the poll state.
#pragma once

#include "base/Callbacks.h"

class SMS {
  public:
    void SetLogCallback(cCallbackLog* callback) { logCallback_ = callback; }
    void SetUserNameCallback(cCallbackGetUserName* callback) { userNameCallback_ = callback; }
    cCallbackLog* LogCallback() const { return logCallback_; }
    cCallbackGetUserName* UserNameCallback() const { return userNameCallback_; }
    void SetErrorLogging(int on) { errorLogging_ = on != 0; }
    bool ErrorLogging() const { return errorLogging_; }

  private:
    cCallbackLog* logCallback_ = nullptr;
    cCallbackGetUserName* userNameCallback_ = nullptr;
    bool errorLogging_ = true;
};
