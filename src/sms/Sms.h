// The SMS engine: routing rules, send queues per GSM line, the poll of the
// lines' stored messages, reassembly, expected delivery reports, dynamic
// reply routes and number processing. GUI thread only.
//
// Holds: SMS, RoutingRules, SortedRoutingRules, LineQueues, MainQueue,
// ExpectedReports, the poll state, SmsBufPut, SmsBufAdd, SmsBufReport, Codec,
// DynamicRouter, SmsQueueData, NumberProcessor, SetErrorLogging,
// NeedsResynchronization, SetRoutingRules, SetSrcId, SmsLog.
#pragma once

#include "base/Callbacks.h"
#include "sms/SmsDynamicRouter.h"
#include "sms/SmsNumberProcessor.h"
#include "sms/SmsPdu.h"
#include "sms/SmsRecords.h"

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace sms {

// The rows of messages the send queues drop: a changed state for a message
// that has a row, a failed row for one that has none.
class cCallbackSmsStatus {
  public:
    virtual ~cCallbackSmsStatus() = default;
    virtual void ChgSmsStatus(SMSMSG& message, std::int32_t state) = 0;
    virtual void HandleSmsSendError(SMSMSG message) = 0;
};

} // namespace sms

class SMS {
  public:
    using SMSMSG = sms::SMSMSG;
    using SMSQUEUEDATA = sms::SMSQUEUEDATA;
    using SMS_RAPORT = sms::SMS_RAPORT;
    using SSMSBUF = sms::SSMSBUF;
    using ROUTING_RULE = sms::ROUTING_RULE;
    using S_GSMLINE = sms::S_GSMLINE;

    void SetLogCallback(cCallbackLog* callback) { LogCallback_ = callback; }
    void SetUserNameCallback(cCallbackGetUserName* callback) { UserNameCallback_ = callback; }
    cCallbackLog* LogCallback() const { return LogCallback_; }
    cCallbackGetUserName* UserNameCallback() const { return UserNameCallback_; }
    void SetErrorLogging(int on) { bLogEnabled = on != 0; }
    bool ErrorLogging() const { return bLogEnabled; }
    // Non-zero once the poll cycle has passed the last GSM line.
    std::uint8_t NeedsResynchronization() const { return bSmsListComplete; }

    // ---- send queues, the poll of stored messages and the send step ----
    // The next "SMS GET" or empty; `action` 2 once the cycle has passed the
    // last line.
    void GetSmsRequest(std::string& text, std::int32_t& action);
    // A new poll cycle over `lines` starts at the first line.
    void ResetSmsPoll(const std::vector<S_GSMLINE>* lines);
    // One step of one line: the next "SMS SND" frame or empty.
    std::string SendStep(std::string line, SMSQUEUEDATA& data, SMSMSG& message, std::int32_t& action);
    void DistributeMainQueue();
    void PushMainQueue(SMSMSG message);
    void ReplaceLineQueueHead(std::string line, SMSMSG message);
    int MainQueueSize() const { return static_cast<int>(MainQueue.size()); }
    void InitSmsQueueData(const std::string& line);
    void SyncLineQueues(const std::vector<S_GSMLINE>& lines);
    void ClearQueues();
    // `iLoc` of the line named so, or the index in `v_gsmlines` of the line
    // numbered so; -1 when none.
    std::int32_t GetLineId(const std::string& line) const;
    std::int32_t GetLineId(std::int32_t iLoc) const;
    static void StampSmsDateTime(SMSMSG& message);
    std::int32_t Generate_nId(const std::string& line);
    bool IsIdUsed(const std::string& line, std::int32_t id) const;
    void SetDynamicRouting(std::uint8_t on, std::int32_t validitySeconds);
    int LineQueueCount() const { return static_cast<int>(LineQueues.size()); }
    bool IsLogEnabled() const { return bLogEnabled; }
    // The send queues and the dynamic reply routes, written to the log.
    void DumpSendQueues();
    void DumpDynamicRoutes();
    // Who writes the rows of messages the queues drop.
    void SetStatusCallback(sms::cCallbackSmsStatus* callback) { StatusCallback_ = callback; }
    // Trials before a message fails, unless retried until it expires.
    std::int32_t OutTrials = 5;
    bool OutTrialsNoLimit = false;

    // ---- state (members in the order the engine's records describe) ----
    std::vector<ROUTING_RULE> RoutingRules;
    std::int32_t iLastMsgId = 0;
    std::vector<ROUTING_RULE> SortedRoutingRules;
    std::map<std::string, std::deque<SMSMSG>> LineQueues;
    std::deque<SMSMSG> MainQueue;
    std::map<std::int32_t, std::list<SMS_RAPORT>> ExpectedReports;
    std::uint8_t bSmsRequestSent = 0;
    std::int32_t iSmsRequestTicks = 0;
    std::uint8_t bSmsListComplete = 0;
    std::int32_t iSmsRequestIdx = 0;
    const std::vector<S_GSMLINE>* v_gsmlines = nullptr;
    SSMSBUF SmsBufPut;
    SSMSBUF SmsBufAdd;
    SSMSBUF SmsBufReport;
    sms::SmsPdu Codec;
    std::uint8_t bDynamicRouting = 0;
    sms::SmsDynamicRouter DynamicRouter;
    std::map<std::string, SMSQUEUEDATA> SmsQueueData;
    std::int32_t iRoundRobinIdx = 0;
    sms::SmsNumberProcessor NumberProcessor;
    bool bLogEnabled = false;

  private:
    cCallbackLog* LogCallback_ = nullptr;
    cCallbackGetUserName* UserNameCallback_ = nullptr;
    sms::cCallbackSmsStatus* StatusCallback_ = nullptr;
    // A dropped message: its row fails, or a failed row is written for it.
    void failMessage(SMSMSG& message);
};
