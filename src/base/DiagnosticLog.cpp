#include "base/DiagnosticLog.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace base {

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

namespace {

// Formats into a small buffer first; only a long message takes the heap,
// and no message grows past the line limit.
std::string formatMessage(const char* format, va_list args) HALVEX_PRINTF(1, 0);
std::string formatMessage(const char* format, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    if (length < int(sizeof small)) {
        va_end(again);
        return length < 0 ? std::string() : std::string(small, std::size_t(length));
    }
    std::vector<char> large(std::min<std::size_t>(std::size_t(length), DiagnosticLog::MaxLineLength) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    return std::string(large.data());
}

// One message is one line of the log: trailing line ends go, inner ones are
// shown as "\n" (and "\r"), so a reader of the file can still tell where each
// stamped line starts.
std::string oneLine(std::string message) {
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    if (message.find_first_of("\r\n") == std::string::npos)
        return message;
    std::string line;
    line.reserve(message.size() + 16);
    for (char c : message) {
        if (c == '\n')
            line += "\\n";
        else if (c == '\r')
            line += "\\r";
        else
            line += c;
    }
    return line;
}

} // namespace

void DiagnosticLog::Write(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(level, format, args);
    va_end(args);
}

void DiagnosticLog::WriteV(int level, const char* format, va_list args) {
    if (!closing.load())
        queue(level, format, args);
}

void DiagnosticLog::WriteWhileClosing(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    queue(level, format, args);
    va_end(args);
}

void DiagnosticLog::queue(int level, const char* format, va_list args) {
    if (!switches.LogInfo.load())
        return;
    if (level < 1 || level > 3)
        return;

    std::string message = oneLine(formatMessage(format, args));
    if (message.size() > MaxLineLength)
        message.resize(MaxLineLength);

    if (level == 3)
        push(LogQueueSecond, std::move(message));
    else
        push(LogQueueMain, Stamped(message));
}

std::string DiagnosticLog::Stamped(const std::string& message) {
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
    return line;
}

void DiagnosticLog::push(ThreadSafe::Queue<std::string>& queue, std::string line) {
    if (!queue.PushWithin(std::move(line), QueuedBytesLimit)) {
        lostLines_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (const std::size_t lost = lostLines_.exchange(0, std::memory_order_relaxed))
        LogQueueMain.Push(Stamped("Dziennik: kolejka pełna, pominięto wierszy: " + std::to_string(lost)));
}

void WriteLog(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    DiagnosticLog::instance().WriteV(level, format, args);
    va_end(args);
}

} // namespace base
