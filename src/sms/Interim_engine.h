// Stand-ins for what the engine's record parser, client requests and status
// rows call in the send queues: the signatures those parts give, with
// minimal definitions. Replaced by the real ones when merged.
#pragma once

#include "sms/SmsRecords.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class SMS;

namespace sms::interim {

// SMS::GetLineId(line number): index in v_gsmlines, -1 when none.
int GetLineId(const SMS& engine, int lineNumber);
// SMS::GetLineId(own number): iLoc of that line, -1 when none.
int GetLineId(const SMS& engine, const std::string& ownNumber);
// SMS::StampSmsDateTime.
void StampSmsDateTime(SMSMSG& msg);
// SMS::DistributeMainQueue: does nothing here.
void DistributeMainQueue(SMS& engine);
// SMS::PushMainQueue: the copy replaces the last message of MainQueue.
void PushMainQueue(SMS& engine, const SMSMSG& msg);

} // namespace sms::interim
