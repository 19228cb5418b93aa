// The SMS gateway: the one SMS engine, the SMS settings and the routing
// rules behind the main window's SMS page.
// Holds: ApplySmsSettings, LoadSmsRouting, SmsEngine, SmsSettings, the
// resynchronisation of tmrFixPctiTimer and miSmsSynchronizeClick, GsmLines,
// the SMS and GSM work of tmrPabxSynchronizeTimer and the GSM-line records.
#pragma once

#include "sms/GsmLineTable.h"
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

    // ---- the polling timer and the GSM-line table ----
    // The polling timer's tick once the link is up: the GSM-line list, the
    // poll of stored messages, then one send step of every line.
    void PabxSynchronizeTick();
    // A "GSM" record from the exchange.
    void GsmRecord(const std::string& record);

    SMS SmsEngine;
    PABX GsmLines;
    // Consecutive ticks on which the engine asked for a resynchronisation.
    int ResynchronizationTicks = 0;
    SmsSettingsValues SmsSettings;

  private:
    // The rows of messages the send queues drop.
    class StatusRows : public cCallbackSmsStatus {
      public:
        explicit StatusRows(SmsGateway& gateway) : gateway_(gateway) {}
        void ChgSmsStatus(SMSMSG& message, std::int32_t state) override;
        void HandleSmsSendError(SMSMSG message) override;

      private:
        SmsGateway& gateway_;
    };

    void sendStepOfEveryLine();

    SmsGatewayHost& host_;
    StatusRows statusRows_{*this};
};

} // namespace sms
