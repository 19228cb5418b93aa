// The lock beside a settings file that every writer holds from its load to
// its save.
#include "platform/RegistryInternal.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::registry {

thread_local const std::chrono::steady_clock::time_point* laterWriteDeadline = nullptr;
std::atomic<std::chrono::steady_clock::rep> writerCutoff{
    std::chrono::steady_clock::time_point::max().time_since_epoch().count()};

namespace {

bool writerCutOff(std::chrono::steady_clock::time_point now) {
    return laterWriteDeadline && now.time_since_epoch().count() >= writerCutoff.load();
}

} // namespace

WriteLock::WriteLock(const std::string& file, Clock::time_point until) : path_(file + ".lock") {
    fd_ = open();
    if (fd_ < 0 && errno == ENOENT && QDir().mkpath(QFileInfo(QString::fromStdString(file)).absolutePath()))
        fd_ = open();
    if (fd_ < 0) {
        failure_ = whyNotOpened(errno);
        return;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        failure_ = "is not a regular file";
        return;
    }
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            failure_ = std::string("cannot be taken: ") + std::strerror(errno);
            return;
        }
        const auto now = Clock::now();
        if (now >= until || writerCutOff(now)) {
            busy_ = true;
            failure_ =
                now >= until
                    ? "is held by another writer for more than " + std::to_string(Wait.count() / 1000) + " s"
                    : "is held by another writer, and the program stopped before it was let go";
            return;
        }
        ::usleep(PauseMs * 1000);
    }
}

WriteLock::~WriteLock() {
    if (fd_ >= 0)
        ::close(fd_); // and the lock with it
}

int WriteLock::open() const {
    return ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
}

std::string WriteLock::whyNotOpened(int error) const {
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
        return "is a symbolic link, which is not followed";
    if (error == EISDIR)
        return "is a directory";
    return std::string("cannot be opened: ") + std::strerror(error);
}

bool mayWrite(const WriteLock& lock, const RegistryFile& file) {
    if (lock.held())
        return true;
    if (!file.canWrite())
        return false;
    throw RegistryLockError(lock.said());
}

} // namespace platform::registry
