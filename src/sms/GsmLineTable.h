// The GSM-line table: the exchange's GSM lines, asked for one by one ("GSM
// GET"), with the own number of each in national form.
// Holds: PABX, Reset, GetGsmRequest, ParseGsmReply.
#pragma once

#include "base/Callbacks.h"
#include "sms/SmsNumberProcessor.h"
#include "sms/SmsRecords.h"

#include <cstdint>
#include <string>
#include <vector>

class SMS;

namespace sms {

// Out codes of ParseGsmReply.
enum PabxAction : int { PABX_ACTION_NONE = 0, PABX_ACTION_RESET = 1, PABX_ACTION_FINISH = 2 };

class PABX {
  public:
    static constexpr std::int32_t LineLimit = 16;

    PABX() = default;
    void SetLogCallback(cCallbackLog* callback) { LogCallback = callback; }
    // The engine whose send state each reported line resets.
    void SetEngine(SMS* engine) { engine_ = engine; }
    void Reset();
    // The next "GSM GET", or empty while an answer is awaited.
    std::string GetGsmRequest();
    // A "GSM" record: result 1 handled, 2 not mine, 3 wrong number of
    // tokens, 4 bad value; `code` one of PabxAction.
    int ParseGsmReply(const std::string& record, int& code);
    std::uint8_t Complete() const { return complete; }
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

    cCallbackLog* LogCallback = nullptr;
    std::vector<S_GSMLINE> lines;
    std::uint8_t complete = 0;
    std::uint32_t retryCounter = 0;
    std::uint8_t waiting = 0;
    std::int32_t currentLine = 0;
    SmsNumberProcessor NumberProcessor;

  private:
    SMS* engine_ = nullptr;
};

} // namespace sms
