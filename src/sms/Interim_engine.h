// Stand-ins for what the engine's record parser, client requests and status
// rows call in the PDU codec, the number processor, the reply router, the
// rule match and the send queues: the signatures those parts give, with
// minimal definitions. Replaced by the real ones when merged.
#pragma once

#include "sms/SmsRecords.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class SMS;

namespace sms::interim {

// Replaced by the real one when merged.
std::string Base64Encode(const char* bytes, std::size_t length);
// Replaced by the real one when merged.
std::string Base64Decode(const std::string& text);

// A service-centre time stamp taken apart; replaced by the real one when merged.
struct SmsTimeStamp {
    int second = 0, minute = 0, hour = 0, day = 1, month = 1, year = 1970;
};

// The PDU codec: replaced by the real one when merged. Understands only what
// the engine's tests feed it: the GSM 7-bit default alphabet's ASCII part,
// with or without a user-data header.
class SmsPdu {
  public:
    bool SetDestination(const std::string& number, int plan);
    bool SetText(const std::string& text);
    std::string encodePdu() const;
    static std::string Serialize(const std::string& hex);
    static std::string ToHex(const std::string& bytes);
    int parsePDU(const std::string& hex);
    int parseRaportPDU(const std::string& hex);
    std::string GetSender() const;
    SmsTimeStamp GetTimeStamp() const;
    std::string GetText() const;
    int GetStatus() const { return status; }

    int messageReference = 0;

  private:
    int firstOctet = 0, addressType = 0, dataCoding = 0, userDataLength = 0, status = 0;
    std::string address, timeStamp, userData, text;
};

// The number processor with its defaults (prefix "48", national length 9):
// replaced by the real one when merged.
class SmsNumberProcessor {
  public:
    std::string ToNational(const std::string& number) const;
    std::string ToInternational(const std::string& number, std::uint8_t& flag) const;
};

// The reply router: replaced by the real one when merged.
class SmsDynamicRouter {
  public:
    void Store(const std::string& number, const std::string& line, std::int32_t userId);
    std::int32_t Find(const std::string& number, const std::string& line) const;

  private:
    struct Route {
        std::string number, line;
        std::int32_t userId = 0;
        std::int64_t stamp = 0;
    };
    std::vector<Route> routes_;
};

// The engine's own codec, number processor and router while the engine's
// members are placeholders; replaced by the members when merged.
SmsPdu& Codec(const SMS& engine);
SmsNumberProcessor& NumberProcessor(const SMS& engine);
SmsDynamicRouter& DynamicRouter(const SMS& engine);

// SMS::SelectRouteLine: the recipients of the first rule of
// SortedRoutingRules matching both texts. Replaced by the real one when merged.
void SelectRouteLine(const SMS& engine, const std::string& sender, const std::string& line,
                     std::vector<std::int32_t>& recipients);
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
