// The records that travel between the SMS gateway's parts: one message, a
// line's send state, an expected delivery report, a reassembly slot, a
// routing rule and a GSM line; the message states, the engine's action codes
// and its parsers' results.
#pragma once

#include "db/QueryRows.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sms {

// An expected delivery report is kept, across restarts too, until its
// report comes or this long after the network took its message.
constexpr std::int64_t ExpectedReportLifetimeSeconds = 345600; // 4 days

// Identifiers the exchange gives messages.
constexpr std::int32_t MIN_MSG_ID = 0;
constexpr std::int32_t MAX_MSG_ID = 239;

// States of a message (the column nState of table Sms).
enum SmsState : std::int32_t {
    SMS_STATE_RECEIVED = 0,
    SMS_STATE_SENT = 1,
    SMS_STATE_FAILED = 2,
    SMS_STATE_DELIVERED = 3,
    SMS_STATE_IN_PROGRESS = 4,
};

// What an engine operation asks its caller to do next.
enum SmsAction : std::int32_t {
    SMS_ACTION_NONE = 0,
    SMS_ACTION_RCV = 1,
    SMS_ACTION_LIST_COMPLETE = 2,
    SMS_ACTION_FWD = 3,
    SMS_ACTION_SND = 4,
    SMS_ACTION_RAPORT = 5,
    SMS_ACTION_SND_ERR = 6,
    SMS_ACTION_SND_PENDING = 7,
    SMS_ACTION_SND_RETRY = 8,
    SMS_ACTION_SND_FAILED = 9,
    SMS_ACTION_SND_QUEUED = 10,
};

// Results of the record and request parsers.
enum SmsParseResult : std::uint8_t {
    SMS_RESULT_OK = 1,
    SMS_RESULT_NOT_MINE = 2,
    SMS_RESULT_TOKENS = 3,
    ERR_BAD_ARGS_VALUE = 4,
};

// One SMS as it travels through queues, parsers and the database code.
struct SMSMSG {
    std::int32_t nId = -1; // key of its row in table Sms; -1: no row yet
    std::uint8_t nDir = 0; // 0 received, 1 outgoing
    std::int32_t nUserId = 0;
    std::int32_t nForwardTo = 0;
    std::int32_t nForwardFrom = 0;
    std::string sDate; // yyyy.mm.dd
    std::string sTime; // hh:mm:ss
    std::string sNumber;
    std::string sLine; // GSM line name; empty on an outgoing message: any line
    std::int32_t nState = 0;
    std::string sPdu;  // SMS-SUBMIT octets; a forward request: the text
    std::string sBody; // the text (UTF-8)
    std::int32_t idWiad = 0;
    std::int32_t iNrLinii = -1;
    std::int32_t tNotBefore = 0; // seconds since 1970; 0: at once
    std::int32_t tCreated = 0;
    std::int32_t nTrials = 0;
    // Names its row on the road while the row's key is still to be drawn.
    std::string rowToken{};
    // Of a delivery report: the database its row is in (SMS_RAPORT).
    std::string database{};
};

// The send state of one GSM line.
struct SMSQUEUEDATA {
    std::int32_t iWaitingForAck = 0;
    std::int32_t iSentPart = 0;
    std::int32_t iLastPduByte = 0;
    std::int32_t iTempNotUsed = 0;
};

// One expected delivery report.
struct SMS_RAPORT {
    std::int32_t nId = 0;
    std::int32_t iIdPC = 0;
    std::int32_t iIdR = 0;     // TP-MR of the sent message
    std::int32_t iSrcId = -1;  // the sending user; -1 until acknowledged
    std::int64_t tCreated = 0; // seconds since 1970
    // The message's number, as its row holds it.
    std::string sNumber{};
    // Names the row while nId is no key of it (db::KeyOfRow).
    std::string rowToken{};
    // The database the row is in (db::DatabaseIdentity); "" when not known
    // (kept by an earlier version).
    std::string database{};
};

// One reassembly slot.
struct SSMSBUF {
    std::int32_t id = -1; // message being collected; -1: free
    std::int32_t lastpart = 0;
    std::int32_t total = 0;
    std::string data; // the decoded parts' octets, in order
};

// One rule for distributing received messages ('?' one character, '_' any
// run): the row the database reads is the rule the engine keeps.
using ROUTING_RULE = ::ROUTING_RULE;

// One GSM line the exchange reported: its index (0 to 15) and its own number
// in national form.
struct S_GSMLINE {
    std::int32_t iLoc = 0;
    std::string number;
};

} // namespace sms
