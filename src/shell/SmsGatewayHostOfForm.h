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
    db::ConnectionSettings MainConnection() override;
    bool MainDatabaseOpen() override;
    void StartReconnectTimer() override;
    void RoutingRulesChanged() override;
    void RoutingRuleRemoved(int row) override;
    bool IsKnownUser(std::int32_t userId) override;
    std::string Text(const char* key) override;
    int RunRoutingRuleDialog(sms::RoutingRuleDialogData& data, bool keepPriority) override;
    void ShowNotice(const std::string& text) override;
    void ShowError(const std::string& text) override;

    bool WyslijSmsDodaj(const sms::SMSMSG& msg) override;
    void SendSmsChg(std::int32_t userId) override;
    void SendSmsForward(std::int32_t userId, const std::string& notice) override;

    void QueueExchangeLine(const std::string& line, int timeToLiveMs) override;
    void EnablePollingTimer(bool on) override;
    void SendGsmListToClients(const std::vector<sms::S_GSMLINE>& lines) override;

  private:
    TForm1& form_;
};

} // namespace shell
