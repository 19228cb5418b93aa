// The SMS engine: routing rules, send queues per GSM line, the poll of the
// lines' stored messages, reassembly, expected delivery reports, dynamic
// reply routes and number processing. GUI thread only.
//
// Holds: SMS, RoutingRules, SortedRoutingRules, LineQueues, MainQueue,
// ExpectedReports, the poll state, SmsBufPut, SmsBufAdd, SmsBufReport, Codec,
// DynamicRouter, SmsQueueData, NumberProcessor, SetErrorLogging,
// NeedsResynchronization, SetRoutingRules, SetSrcId, SmsLog.
// Also: ParseSMS, BuildSmsAck, HandleClientSms, BuildSmsForward.
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

// Keeps the expected delivery reports beyond the process: told each time a
// line's list changed, with the list as it is now.
class cCallbackExpectedReports {
  public:
    virtual ~cCallbackExpectedReports() = default;
    virtual void ReportsChanged(std::int32_t lineNumber, const std::list<SMS_RAPORT>& reports) = 0;
    // The database a report expected now belongs to (its message's row is
    // written there).
    virtual std::string DatabaseOfNewReports() = 0;
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

    void SetLogCallback(cCallbackLog* callback) {
        LogCallback_ = callback;
        Codec.SetLogCallback(callback);
    }
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
    // The queued copies of a message and its expected reports take its new
    // row key.
    void ReplaceRowKey(std::int32_t from, std::int32_t to);
    void SetDynamicRouting(std::uint8_t on, std::int32_t validitySeconds);
    int LineQueueCount() const { return static_cast<int>(LineQueues.size()); }
    bool IsLogEnabled() const { return bLogEnabled; }
    // The send queues and the dynamic reply routes, written to the log.
    void DumpSendQueues();
    void DumpDynamicRoutes();
    // Who writes the rows of messages the queues drop.
    void SetStatusCallback(sms::cCallbackSmsStatus* callback) { StatusCallback_ = callback; }
    // Who keeps the expected reports.
    void SetExpectedReportsCallback(sms::cCallbackExpectedReports* callback) { ReportsCallback_ = callback; }
    // Trials before a message fails, unless retried until it expires.
    std::int32_t OutTrials = 5;
    bool OutTrialsNoLimit = false;

    // ---- routing rules, recipients and number processing ----
    // SortedRoutingRules becomes a copy of RoutingRules sorted by ascending
    // priority (stable); matching reads only the copy.
    void SetRoutingRules();
    const std::vector<ROUTING_RULE>& GetRoutingRules() const { return SortedRoutingRules; }
    // Element `index` of RoutingRules (the displayed order), or null.
    const ROUTING_RULE* RoutingRuleAt(std::size_t index) const;
    // Text against pattern, byte by byte: '?' one character, '_' any run;
    // once the text is used up only "" or "_" are left to match.
    static bool MatchPattern(const std::string& text, const std::string& pattern);
    // The recipients of the first rule by priority whose patterns accept the
    // sender and the line; `recipients` stays as it was when none does.
    void SelectRouteLine(const std::string& sender, const std::string& line,
                         std::vector<std::int32_t>& recipients) const;
    // Who receives a message from `sender` on `line`: the user of a live
    // reply route while dynamic routing is on, else the first matching rule's
    // users; empty when neither gives anyone.
    std::vector<std::int32_t> SelectRecipients(const std::string& sender, const std::string& line) const;
    // Hands the settings to NumberProcessor; false (and the defaults in
    // force) when they make no sense.
    bool SetNumberProcessing(const std::string& countryCode, std::int32_t minLength, std::int32_t maxLength,
                             std::uint8_t removeCountryCode);

    // ---- the engine's own operations, the exchange's SMS records and the
    // clients' SMS requests ----
    // The expected report of row `nId` on line `lineNumber` learns its sender
    // and moves to the end of the line's list.
    void SetSrcId(std::int32_t lineNumber, std::int32_t nId, std::int32_t userId);
    // Forgets the expected reports whose lifetime ran out, on every line.
    void DropExpiredReports();
    // The engine's log: written only with a log callback and logging on.
    void SmsLog(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    // One "SMS ..." record of the exchange; the result of SmsParseResult,
    // the out values as the dispatcher needs them.
    std::uint8_t ParseSMS(const std::string& record, std::int32_t& action, SMSMSG& msg,
                          std::vector<std::int32_t>& recipients, std::int32_t& reportRowId,
                          std::int32_t& ackLineNumber, std::int32_t& ackMessageId);
    // "SMS ACK <line> <id>" and CR.
    static std::string BuildSmsAck(std::int32_t messageId, std::int32_t lineNumber);
    // One "!SMS&..." request of a client logged in as `idfb`; returns the
    // position of its first CR (npos when none).
    std::size_t HandleClientSms(const std::string& request, const std::string& idfb, std::uint8_t& result,
                                std::int32_t& action, SMSMSG& msg);
    // The forward notice "!SMS&FWD&..." of a message record.
    static std::string BuildSmsForward(const SMSMSG& msg);
    // The polled line is done with (its list ended, or its message could not
    // be read or stored): the next poll asks the next line, or the cycle ends.
    // True when the cycle ended.
    bool PollNextLine();

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
    sms::cCallbackExpectedReports* ReportsCallback_ = nullptr;
    // A dropped message: its row fails, or a failed row is written for it.
    void failMessage(SMSMSG& message);
    // The expected reports of the line changed: their keeper hears of it.
    void reportsChanged(std::int32_t lineNumber);
};
