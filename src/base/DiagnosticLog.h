// The diagnostic log: any thread formats a line and queues it; the GUI thread
// drains the two queues into the panes and the log file. The category
// switches decide what each subsystem writes.
#pragma once

#include "base/ThreadSafeQueue.h"

#include <atomic>
#include <cstdarg>
#include <ctime>
#include <string>

#define HALVEX_PRINTF(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))

namespace base {

// The switches of the diagnostics page, read by every thread without a lock.
struct LogSwitches {
    std::atomic<bool> LogInfo{false};     // master switch: nothing is written while off
    std::atomic<bool> LogDoPliku{true};   // main-pane lines also go to the log file
    std::atomic<bool> chbInfoPCTI{false}; // exchange traffic and dispatcher notes
    std::atomic<bool> CheckBoxInfoUART{false};
    std::atomic<bool> chbLogRS{false}; // link set-up, log-in, reconnects
    std::atomic<bool> chbLogKlienci{false};
    std::atomic<bool> chbLogBaza{false}; // SQL statements and database errors
    std::atomic<bool> chbLogDzwonienie{false};
    std::atomic<bool> chbPctiErrors{false};
    std::atomic<bool> chbKolejka{false}; // the notification queue's lines, in the second pane
};

class DiagnosticLog {
  public:
    static constexpr std::size_t MaxLineLength = 65585;
    // What each queue may hold while the GUI thread is too busy to drain it;
    // lines beyond it are lost, and their count is logged once the queue
    // takes lines again.
    static constexpr std::size_t QueuedBytesLimit = 64u << 20;

    static DiagnosticLog& instance();

    void Write(int level, const char* format, ...) HALVEX_PRINTF(3, 4);
    void WriteV(int level, const char* format, va_list args) HALVEX_PRINTF(3, 0);
    // The last words of shutdown: queued even once closing has begun.
    void WriteWhileClosing(int level, const char* format, ...) HALVEX_PRINTF(3, 4);

    LogSwitches switches;
    ThreadSafe::Queue<std::string> LogQueueMain;
    ThreadSafe::Queue<std::string> LogQueueSecond;

    // Set once shutdown has begun: from then on nothing is queued but the
    // lines written while closing.
    std::atomic<int> closing{0};

    // "Jun 30 21:49:08": month, day padded with a blank, time; English
    // month names whatever the locale.
    static std::string TimeText(std::time_t when);
    // A main-pane line: the time stamp, then the message.
    static std::string Stamped(const std::string& message);

  private:
    void queue(int level, const char* format, va_list args) HALVEX_PRINTF(3, 0);
    void push(ThreadSafe::Queue<std::string>& queue, std::string line);

    std::atomic<std::size_t> lostLines_{0};
};

// The log writer for code that has no form at hand.
void WriteLog(int level, const char* format, ...) HALVEX_PRINTF(2, 3);

inline LogSwitches& Switches() {
    return DiagnosticLog::instance().switches;
}

} // namespace base
