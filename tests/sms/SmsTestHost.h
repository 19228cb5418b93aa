// A gateway host that is no window: it records what the gateway logs, shows
// and redraws, and answers the rule editor from a script.
#pragma once

#include "sms/SmsGatewayHost.h"

#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

class SmsTestHost : public sms::SmsGatewayHost {
  public:
    struct Log : cCallbackLog {
        void operator()(const std::string& text) override { lines.push_back(text); }
        std::vector<std::string> lines;
    } log;
    struct Names : cCallbackGetUserName {
        std::string operator()(const std::string& userId) override { return "user " + userId; }
    } names;
    cCallbackLog& LogCallback() override { return log; }
    cCallbackGetUserName& UserNameCallback() override { return names; }

    db::ConnectionSettings MainConnection() override { return connection; }
    bool MainDatabaseOpen() override { return databaseOpen; }
    void StartReconnectTimer() override { ++reconnectStarts; }
    void RoutingRulesChanged() override { ++redraws; }
    void RoutingRuleRemoved(int) override { ++redraws; }
    bool IsKnownUser(std::int32_t userId) override { return knownUsers.count(userId) != 0; }
    std::string Text(const char* key) override { return std::string("[") + key + "]"; }
    // Each run of the editor takes the next scripted answer: the modal
    // result and what the user left in the fields (cancel when none is left).
    int RunRoutingRuleDialog(sms::RoutingRuleDialogData& data, bool) override {
        shown.push_back(data);
        if (answers.empty())
            return 2;
        const auto [result, left] = answers.front();
        answers.pop_front();
        data = left;
        return result;
    }
    void ShowNotice(const std::string& text) override { notices.push_back(text); }
    void ShowError(const std::string& text) override { errors.push_back(text); }
    void QueueExchangeLine(const std::string& line, int) override { exchangeLines.push_back(line); }
    void EnablePollingTimer(bool) override {}
    void SendGsmListToClients(const std::vector<sms::S_GSMLINE>&) override {}
    bool WyslijSmsDodaj(const sms::SMSMSG&) override { return false; }
    void SendSmsChg(std::int32_t) override {}
    void SendSmsForward(std::int32_t, const std::string&) override {}

    db::ConnectionSettings connection;
    bool databaseOpen = true;
    int reconnectStarts = 0;
    int redraws = 0;
    std::set<std::int32_t> knownUsers;
    std::deque<std::pair<int, sms::RoutingRuleDialogData>> answers;
    std::vector<sms::RoutingRuleDialogData> shown;
    std::vector<std::string> notices;
    std::vector<std::string> errors;
    std::vector<std::string> exchangeLines;
};
