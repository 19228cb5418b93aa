// Replaced by the real ones when merged.
#include "sms/Interim_queues.h"

#include "base/DiagnosticLog.h"
#include "sms/Sms.h"

#include <cstdarg>

namespace sms::interim {

void SmsLog(const SMS& engine, const char* format, ...) {
    if (!engine.LogCallback() || !engine.bLogEnabled)
        return;
    va_list args;
    va_start(args, format);
    const std::string text = FormatCallbackLogLine(format, args);
    va_end(args);
    (*engine.LogCallback())(text);
}

std::string Base64Encode(const unsigned char* bytes, std::size_t length) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < length; i += 3) {
        const unsigned a = bytes[i];
        const unsigned b = i + 1 < length ? bytes[i + 1] : 0;
        const unsigned c = i + 2 < length ? bytes[i + 2] : 0;
        out += alphabet[a >> 2];
        out += alphabet[((a & 3) << 4) | (b >> 4)];
        out += i + 1 < length ? alphabet[((b & 15) << 2) | (c >> 6)] : '=';
        out += i + 2 < length ? alphabet[c & 63] : '=';
    }
    return out;
}

std::string ToNational(const SmsNumberProcessor&, const std::string& number) {
    for (const char c : number)
        if (c < '0' || c > '9')
            return {};
    return number;
}

void ClearRoutes(SmsDynamicRouter&) {}

void SetValidity(SmsDynamicRouter&, std::int32_t) {}

bool IsExpired(const SmsDynamicRouter&, std::int32_t) {
    return true;
}

std::vector<Route> Routes(const SmsDynamicRouter&) {
    return {};
}

void InsertSmsStatus(SmsGateway&, SMSMSG& message) {
    base::WriteLog(1, "InsertSmsStatus msg->nState=%d", message.nState);
}

void ChgSmsStatus(SmsGateway&, SMSMSG& message, std::int32_t state) {
    message.nState = state;
    base::WriteLog(1, "ChgSmsStatus");
    base::WriteLog(1, "            nState=%d", state);
}

void HandleSmsSendError(SmsGateway&, SMSMSG message) {
    base::WriteLog(1, "HandleSmsSendError 1");
    message.nState = SMS_STATE_FAILED;
}

} // namespace sms::interim
