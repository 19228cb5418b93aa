#include "base/LogFile.h"

#include "base/DiagnosticLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace base {
namespace {

// Lines are gathered and written in pieces of about this size.
constexpr std::size_t WriteChunk = 256 * 1024;

class OpenLog {
  public:
    explicit OpenLog(const std::string& path) : path_(path) {}
    ~OpenLog() { close(); }
    OpenLog(const OpenLog&) = delete;
    OpenLog& operator=(const OpenLog&) = delete;

    // Not blocking: a FIFO in the file's place must not hold the GUI thread.
    // Nor is a link followed: it could lead the log, and its owner-only
    // mode, onto any file the program may write (ELOOP).
    bool open(bool truncate) {
        close();
        regular_ = false;
        size_ = 0;
        const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW |
                          (truncate ? O_TRUNC : 0);
        fd_ = ::open(path_.c_str(), flags, 0600);
        if (fd_ < 0)
            return false;
        struct stat info {};
        if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) {
            regular_ = true;
            size_ = info.st_size;
            // A file left by an older version may be readable by all.
            if ((info.st_mode & 077) != 0 && info.st_uid == ::geteuid())
                ::fchmod(fd_, 0600);
        }
        return true;
    }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error_ = n < 0 ? errno : ENOSPC;
                return false;
            }
            done += std::size_t(n);
        }
        return true;
    }
    bool regular() const { return regular_; }
    std::int64_t size() const { return size_; }
    void grow(std::size_t bytes) { size_ += std::int64_t(bytes); }
    int error() const { return error_; }

  private:
    std::string path_;
    int fd_ = -1;
    bool regular_ = false;
    std::int64_t size_ = 0;
    int error_ = 0;
};

std::string numbered(const std::string& path, int n) {
    return path + "." + std::to_string(n);
}

// Moves the files up one number, the oldest dropped, and the current one to
// ".1"; a folder that takes no renames leaves only emptying the file.
bool moveAside(const std::string& path, int kept) {
    ::unlink(numbered(path, kept).c_str());
    for (int n = kept - 1; n >= 1; --n)
        ::rename(numbered(path, n).c_str(), numbered(path, n + 1).c_str());
    return ::rename(path.c_str(), numbered(path, 1).c_str()) == 0;
}

} // namespace

namespace {

std::timed_mutex drainMutex;
std::string mainLogFile; // under drainMutex

MainLogDrain drainLocked(const std::string& path, bool toFile) {
    MainLogDrain drain;
    mainLogFile = path;
    drain.lines = DiagnosticLog::instance().LogQueueMain.TakeAll();
    drain.toFile = toFile && !drain.lines.empty();
    if (drain.toFile)
        drain.appended = AppendToLogFile(path, drain.lines);
    return drain;
}

} // namespace

MainLogDrain DrainMainLog(const std::string& path, bool toFile) {
    std::lock_guard lock(drainMutex);
    return drainLocked(path, toFile);
}

void SetMainLogFile(const std::string& path) {
    std::lock_guard lock(drainMutex);
    mainLogFile = path;
}

void FlushMainLog() {
    std::unique_lock lock(drainMutex, std::chrono::milliseconds(200));
    if (lock.owns_lock() && !mainLogFile.empty())
        drainLocked(mainLogFile, Switches().LogDoPliku.load());
}

LogFileAppend AppendToLogFile(const std::string& path, const std::deque<std::string>& lines,
                              const LogFileLimits& limits) {
    LogFileAppend result;
    OpenLog log(path);
    const auto fail = [&result](int error) {
        result.written = false;
        result.error = error;
        return result;
    };
    if (!log.open(false))
        return fail(errno);
    std::string chunk;
    for (const std::string& line : lines) {
        const std::size_t bytes = line.size() + 2;
        if (log.regular() && log.size() > 0 && log.size() + std::int64_t(bytes) > limits.sizeLimit) {
            if (!log.write(chunk))
                return fail(log.error());
            chunk.clear();
            const std::int64_t size = log.size();
            log.close();
            const bool moved = moveAside(path, std::max(limits.keptFiles, 1));
            const int why = errno;
            if (!log.open(!moved))
                return fail(errno);
            char note[512];
            if (moved)
                std::snprintf(note, sizeof note, "Dziennik: plik osiągnął %lld bajtów, przeniesiono go do %s",
                              static_cast<long long>(size), numbered(path, 1).c_str());
            else
                std::snprintf(
                    note, sizeof note,
                    "Dziennik: plik osiągnął %lld bajtów i nie można go przenieść (%s), wyczyszczono go",
                    static_cast<long long>(size), std::strerror(why));
            std::string stamped = DiagnosticLog::Stamped(note);
            chunk += stamped + "\r\n";
            log.grow(stamped.size() + 2);
            result.rotations.push_back(std::move(stamped));
        }
        chunk += line;
        chunk += "\r\n";
        log.grow(bytes);
        if (chunk.size() >= WriteChunk) {
            if (!log.write(chunk))
                return fail(log.error());
            chunk.clear();
        }
    }
    if (!log.write(chunk))
        return fail(log.error());
    return result;
}

} // namespace base
