// The main window as the SMS gateway's host.
#pragma once

#include "sms/SmsGatewayHost.h"

class TForm1;

namespace shell {

class SmsGatewayHostOfForm : public sms::SmsGatewayHost {
  public:
    explicit SmsGatewayHostOfForm(TForm1& form) : form_(form) {}
    cCallbackLog& LogCallback() override;
    cCallbackGetUserName& UserNameCallback() override;
    void QueueExchangeLine(const std::string& line, int timeToLiveMs) override;
    void EnablePollingTimer(bool on) override;
    void SendGsmListToClients(const std::vector<sms::S_GSMLINE>& lines) override;

  private:
    TForm1& form_;
};

} // namespace shell
