// The SMS gateway: the one SMS engine, the SMS settings and the routing
// rules behind the main window's SMS page.
// Holds: ApplySmsSettings, LoadSmsRouting, SmsEngine, SmsSettings, the
// resynchronisation of tmrFixPctiTimer and miSmsSynchronizeClick.
#pragma once

#include "sms/Sms.h"
#include "sms/SmsGatewayHost.h"

#include <string>

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

    SMS SmsEngine;
    // Consecutive ticks on which the engine asked for a resynchronisation.
    int ResynchronizationTicks = 0;
    SmsSettingsValues SmsSettings;

  private:
    SmsGatewayHost& host_;
};

} // namespace sms
