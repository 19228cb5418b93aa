// What the SMS gateway needs of the rest of the program, given to it at
// construction.
#pragma once

#include "base/Callbacks.h"
#include "db/DatabaseHost.h"

#include "sms/SmsRecords.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace sms {

// What the rule editor shows and gives back: the priority as typed, the two
// patterns and the chosen users in their order.
struct RoutingRuleDialogData {
    std::string priority;
    std::string sender;
    std::string line;
    std::vector<std::int32_t> recipients;
};

class SmsGatewayHost {
  public:
    virtual ~SmsGatewayHost() = default;
    // Where the engine's log lines go (written at level 1).
    virtual cCallbackLog& LogCallback() = 0;
    // The user names the engine's dumps show.
    virtual cCallbackGetUserName& UserNameCallback() = 0;

    // ---- routing rules ----
    // The main database's parameters, and whether its connection is open.
    virtual db::ConnectionSettings MainConnection() = 0;
    virtual bool MainDatabaseOpen() = 0;
    // Arms the 60 s database reconnect timer.
    virtual void StartReconnectTimer() = 0;
    // The rule list shows the engine's RoutingRules afresh, none selected.
    virtual void RoutingRulesChanged() = 0;
    // The rule of that row was deleted: the list drops the row and leaves
    // none selected, so that the next rule is not taken for it.
    virtual void RoutingRuleRemoved(int row) = 0;
    // True when the users list has a row of that user id.
    virtual bool IsKnownUser(std::int32_t userId) = 0;
    // A text of the main window in the active language.
    virtual std::string Text(const char* key) = 0;
    // Runs the rule editor on `data` (the priority field keeps its last text
    // when `keepPriority`); the modal result (1 accepted, 2 cancelled).
    virtual int RunRoutingRuleDialog(RoutingRuleDialogData& data, bool keepPriority) = 0;
    // A notice (information) or an error box (warning) of the main window.
    virtual void ShowNotice(const std::string& text) = 0;
    virtual void ShowError(const std::string& text) = 0;

    // "!SMS&ADD&" with the message to the client of its nUserId, when one is
    // connected and handles SMS; false when none is.
    virtual bool WyslijSmsDodaj(const SMSMSG& msg) = 0;
    // "!SMS&CHG" to the client of the user, when one is connected and
    // handles SMS.
    virtual void SendSmsChg(std::int32_t userId) = 0;
    // A forward notice (UTF-8) to the client of the user, when one is
    // connected and handles SMS.
    virtual void SendSmsForward(std::int32_t userId, const std::string& notice) = 0;

    // Appends a line of the server's own (UTF-8, with its own CR) to the
    // exchange's command chain; with `NeverStale` it is never dropped for
    // having waited too long.
    virtual void QueueExchangeLine(const std::string& line, int timeToLiveMs) = 0;
    static constexpr int NeverStale = std::numeric_limits<std::int32_t>::max();
    // Switches the polling timer off around a step and on again after it.
    virtual void EnablePollingTimer(bool on) = 0;
    // The GSM-line list to every connected client.
    virtual void SendGsmListToClients(const std::vector<S_GSMLINE>& lines) = 0;
};

} // namespace sms
