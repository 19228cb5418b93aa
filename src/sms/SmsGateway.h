// The SMS gateway: the one SMS engine, the SMS settings and the routing
// rules behind the main window's SMS page.
// Holds: ApplySmsSettings, LoadSmsRouting, SmsEngine, SmsSettings, the
// resynchronisation of tmrFixPctiTimer and miSmsSynchronizeClick.
// Also: the dispatcher's SMS work (HandleSmsRecord), the client request hook
// (HandleClientSmsRequest), InsertSmsStatus, ChgSmsStatus, HandleSmsSendError.
#pragma once

#include "sms/Sms.h"
#include "sms/SmsGatewayHost.h"

#include <cstdint>
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

    // ---- the exchange's SMS records, the clients' SMS requests and the
    // rows of table Sms ----
    // One "SMS ..." record of the exchange: rows, notices and the
    // acknowledgement that the engine's action asks for.
    void HandleSmsRecord(const std::string& record);
    // One complete "!SMS&" request (wire bytes) of the client logged in as
    // `idfb`.
    void HandleClientSmsRequest(const std::string& request, const std::string& idfb);
    // Stores a new outgoing message's row (nId gets its key) and announces it.
    void InsertSmsStatus(SMSMSG& msg);
    // The message's state becomes `state`; its row, if any, follows.
    void ChgSmsStatus(SMSMSG& msg, std::int32_t state);
    // A message failed: its row, or a new one, says so.
    void HandleSmsSendError(SMSMSG msg);

    SMS SmsEngine;
    // Consecutive ticks on which the engine asked for a resynchronisation.
    int ResynchronizationTicks = 0;
    SmsSettingsValues SmsSettings;

  private:
    // Inserts a row for the message in `state` for user `userId`; its key
    // goes into nId. False when the row could not be stored.
    bool insertSmsRow(SMSMSG& msg, std::int32_t state, std::int32_t userId);
    void storeReceivedSms(SMSMSG& msg, const std::vector<std::int32_t>& recipients, bool polled);

    SmsGatewayHost& host_;
};

} // namespace sms
