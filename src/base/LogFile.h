// The log file on disk: appended one batch at a time, readable by its owner
// only (it holds what clients send), and moved aside at a size so that a
// flood of lines cannot fill the disk.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace base {

// The size at which "halvex.log" is moved aside to "halvex.log.1".
inline constexpr std::int64_t LogFileSizeLimit = 64LL << 20;
// Files moved aside that are kept ("halvex.log.1" to "halvex.log.4"): with
// the current one, the log never takes more than five times its size limit.
inline constexpr int LogFilesKept = 4;

struct LogFileLimits {
    std::int64_t sizeLimit = LogFileSizeLimit;
    int keptFiles = LogFilesKept;
};

struct LogFileAppend {
    // False when the file could not be opened or written; `error` says why.
    bool written = true;
    int error = 0;
    // The lines that tell of each move aside, each also the first line of
    // the file that was started.
    std::vector<std::string> rotations;
};

// Appends each line followed by CR LF. Before a line would take the file past
// its limit, the file becomes "<path>.1" (the older ones moving up a number,
// the oldest dropped) and a new one is begun with a line that says so.
LogFileAppend AppendToLogFile(const std::string& path, const std::deque<std::string>& lines,
                              const LogFileLimits& limits = {});

// The main log queue drained: its lines, and what the file said when they
// went there too.
struct MainLogDrain {
    std::deque<std::string> lines;
    bool toFile = false;
    LogFileAppend appended;
};
// Takes the main queue's lines and, with `toFile`, appends them to `path`:
// one drain at a time, whatever the thread, so that lines keep their order.
// The file is kept for FlushMainLog.
MainLogDrain DrainMainLog(const std::string& path, bool toFile);
// The log file the main queue goes to (where the drains have not named one).
void SetMainLogFile(const std::string& path);
// The stop's last drain, from any thread, before the process ends: what the
// main queue holds goes into the log file, unless another drain keeps the
// file longer than a stop can wait.
void FlushMainLog();

} // namespace base
