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
    // Set when the exchange did not answer while messages were fetched from
    // a GSM line.
    bool NeedsResynchronization() const { return needsResynchronization_; }
    void SetNeedsResynchronization(bool needed) { needsResynchronization_ = needed; }
    // The next poll cycle starts at the first GSM line.
    void ResetSmsPoll() { pollCyclesStarted_++; }
    int PollCyclesStarted() const { return pollCyclesStarted_; }
    // The send queues and the dynamic reply routes, written to the log.
    void DumpSendQueues() const;
    void DumpDynamicRoutes() const;

  private:
    cCallbackLog* logCallback_ = nullptr;
    cCallbackGetUserName* userNameCallback_ = nullptr;
    bool errorLogging_ = true;
    bool needsResynchronization_ = false;
    int pollCyclesStarted_ = 0;
};
