// The SMS gateway: the one SMS engine, the SMS settings and the routing
// rules behind the main window's SMS page.
// Holds: ApplySmsSettings, LoadSmsRouting, lvRoutingRulesData,
// AddSmsRoutingRule, EditSmsRoutingRule, DeleteSmsRoutingRule, SmsRoutingLoaded, SmsEngine, SmsSettings, the
// resynchronisation of tmrFixPctiTimer and miSmsSynchronizeClick.
#pragma once

#include "sms/Sms.h"
#include "sms/SmsGatewayHost.h"

#include <cstddef>
#include <string>
#include <vector>

namespace sms {

// The values of the "SMS" and "SMS\DynamicRouting" settings; read at start-up
// and written by the settings dialog through the settings table.
struct SmsSettingsValues {
    bool UseSms{};
    std::string CountryCode;
    int MinCountryNumberLength{};
    int MaxCountryNumberLength{};
    bool RemoveCountryCode{};
    bool ForceSynchronization{};
    bool OutTrialsNoLimit{}; // stored as "OutTrialsLimit"
    int OutTrials{};
    int CountryNumberLength{};
    bool DynamicRoutingEnabled{};
    int DynamicRoutingValidityPeriod{};
};

class SmsGateway {
  public:
    // Hands the host's log and user-name callbacks to the engine.
    explicit SmsGateway(SmsGatewayHost& host);
    SmsGateway(const SmsGateway&) = delete;
    SmsGateway& operator=(const SmsGateway&) = delete;

    // Copies the SMS settings into the engine.
    void ApplySmsSettings();
    // Reloads the routing rules from the main database.
    void LoadSmsRouting();

    // One tick of the maintenance timer: after an hour of ticks on which
    // the engine asked for it, the received list is fetched again.
    void AutomaticResynchronizationTick(int intervalMs, bool gsmListComplete);
    // The menu command: resynchronises now when the engine asks for it.
    void ManualResynchronization(bool gsmListComplete);

    // ---- routing rules of received messages and their editor ----
    // The texts of row `index` of the rule list: priority, sender, line,
    // recipients.
    std::vector<std::string> RoutingRuleCells(std::size_t index);
    // The editor's commands; `selectedRow` is the selected row of the rule
    // list, -1 for none. Each change goes to the database as one unit and
    // reaches the rules in memory only once committed.
    void AddSmsRoutingRule();
    void EditSmsRoutingRule(int selectedRow);
    void DeleteSmsRoutingRule(int selectedRow);
    // The rules in memory are the table's contents.
    bool SmsRoutingLoaded = false;

    SMS SmsEngine;
    // Consecutive ticks on which the engine asked for a resynchronisation.
    int ResynchronizationTicks = 0;
    SmsSettingsValues SmsSettings;

  private:
    // Makes room for the rule's priority, writes the rule (a new row, or
    // its own row when `editing`) and hands the rules over.
    void saveRoutingRule(ROUTING_RULE rule, bool editing);

    SmsGatewayHost& host_;
};

} // namespace sms
