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

} // namespace base
