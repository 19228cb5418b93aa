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

  private:
    TForm1& form_;
};

} // namespace shell
