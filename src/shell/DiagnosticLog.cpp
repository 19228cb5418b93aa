#include "shell/DiagnosticLog.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace shell {

DiagnosticLog& DiagnosticLog::instance() {
    static DiagnosticLog log;
    return log;
}

std::string DiagnosticLog::TimeText(std::time_t when) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%s %2d %02d:%02d:%02d", months[local.tm_mon % 12], local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

void DiagnosticLog::Write(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(level, format, args);
    va_end(args);
}

void DiagnosticLog::WriteV(int level, const char* format, va_list args) {
    if (closing.load() || !switches.LogInfo.load())
        return;
    if (level < 1 || level > 3)
        return;

    std::vector<char> buffer(MaxLineLength + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    const std::string message(buffer.data());

    if (level == 3) {
        LogQueueSecond.Push(message);
        return;
    }
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto millis = unsigned(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::string line = TimeText(system_clock::to_time_t(now));
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, ".%03u: ", millis);
    line.insert(0, 14 > line.size() ? 14 - line.size() : 0, ' ');
    line += stamp;
    line += message;
    if (line.size() > MaxLineLength)
        line.resize(MaxLineLength);
    LogQueueMain.Push(std::move(line));
}

void WriteLog(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    DiagnosticLog::instance().WriteV(level, format, args);
    va_end(args);
}

} // namespace shell
