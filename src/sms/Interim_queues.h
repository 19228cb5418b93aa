// Stand-ins for operations of the engine, the codec, the number processor,
// the reply router and the status rows that the send queues and the GSM-line
// table call; replaced by the real ones when merged.
#pragma once

#include "sms/SmsRecords.h"

#include <cstdint>
#include <string>
#include <vector>

class SMS;

namespace sms {

class SmsNumberProcessor;
class SmsDynamicRouter;
class SmsGateway;

namespace interim {

// SMS::SmsLog: printf format and arguments, written only while a log
// callback is set and the engine's log switch is on.
void SmsLog(const SMS& engine, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Base64Encode(bytes, length): RFC 4648 text, '=' padding, no line breaks.
std::string Base64Encode(const unsigned char* bytes, std::size_t length);
// SmsNumberProcessor::ToNational: the national form, empty when the number
// is not all digits.
std::string ToNational(const SmsNumberProcessor& processor, const std::string& number);
// SmsDynamicRouter::Clear, SetValidity, IsExpired and its routes, in key order.
void ClearRoutes(SmsDynamicRouter& router);
void SetValidity(SmsDynamicRouter& router, std::int32_t seconds);
bool IsExpired(const SmsDynamicRouter& router, std::int32_t stamp);
struct Route {
    std::string number;
    std::string line;
    std::int32_t userId = 0;
    std::int32_t stamp = 0;
};
std::vector<Route> Routes(const SmsDynamicRouter& router);
// The status rows: InsertSmsStatus, ChgSmsStatus, HandleSmsSendError.
void InsertSmsStatus(SmsGateway& gateway, SMSMSG& message);
void ChgSmsStatus(SmsGateway& gateway, SMSMSG& message, std::int32_t state);
void HandleSmsSendError(SmsGateway& gateway, SMSMSG message);

} // namespace interim
} // namespace sms
