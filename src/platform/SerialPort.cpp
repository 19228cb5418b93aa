#include "platform/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr int SliceMs = 20;

speed_t speedFor(int baud) {
    switch (baud) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    default:
        return B115200;
    }
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool aborted(const std::atomic<bool>* abort) {
    return abort && abort->load();
}

} // namespace

SerialPort::~SerialPort() {
    Close();
}

bool SerialPort::Open(const std::string& devicePath) {
    if (fd_ >= 0)
        return true;
    fd_ = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        lastError_ = errno;
        return false;
    }
    // Not shared: a second open of the device by anyone else fails.
    ::ioctl(fd_, TIOCEXCL);
    return true;
}

bool SerialPort::Close() {
    if (fd_ < 0)
        return true;
    ::ioctl(fd_, TIOCNXCL);
    // The descriptor is released even when close() reports an error.
    const bool closed = ::close(fd_) == 0 || errno == EINTR;
    if (!closed)
        lastError_ = errno;
    fd_ = -1;
    return closed;
}

SerialPort::ConfigureResult SerialPort::Configure(int baud) {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) {
        lastError_ = errno;
        return ConfigureResult::SettingsUnreadable;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio.c_cc[VSTART] = 17;
    tio.c_cc[VSTOP] = 19;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speedFor(baud));
    ::cfsetospeed(&tio, speedFor(baud));
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
        lastError_ = errno;
        return ConfigureResult::SettingsRefused;
    }
    return ConfigureResult::Done;
}

bool SerialPort::SetDtr(bool on) {
    int bit = TIOCM_DTR;
    return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

bool SerialPort::SetRts(bool on) {
    int bit = TIOCM_RTS;
    return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

bool SerialPort::Purge() {
    if (::tcflush(fd_, TCIOFLUSH) != 0) {
        lastError_ = errno;
        return false;
    }
    return true;
}

long SerialPort::Read(char* buffer, std::size_t count, const std::atomic<bool>* abort) {
    if (fd_ < 0)
        return -1;
    std::size_t got = 0;
    const std::int64_t deadline = nowMs() + readTimeoutMs_;
    while (got < count && !aborted(abort)) {
        const ssize_t n = ::read(fd_, buffer + got, count - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            lastError_ = errno;
            return got > 0 ? static_cast<long>(got) : -1;
        }
        const std::int64_t left = deadline - nowMs();
        if (left <= 0)
            break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, SliceMs))) > 0 &&
            (p.revents & POLLHUP)) {
            // The far end hung up: wait out the slice rather than spin.
            ::poll(nullptr, 0, SliceMs);
        }
    }
    return static_cast<long>(got);
}

bool SerialPort::WaitReadable(int ms, int wakeFd) {
    if (fd_ < 0)
        return false;
    pollfd p[2] = {{fd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(p, wakeFd >= 0 ? 2 : 1, std::max(0, ms)) <= 0)
        return false;
    if (p[0].revents & POLLIN)
        return true;
    // The far end hung up, which reads ready for ever: a slice, not a spin.
    if (p[0].revents & POLLHUP)
        ::poll(nullptr, 0, std::min(std::max(0, ms), SliceMs));
    return false;
}

long SerialPort::Write(const char* data, std::size_t count, const std::atomic<bool>* abort, int timeoutMs) {
    if (fd_ < 0)
        return -1;
    std::size_t sent = 0;
    const std::int64_t deadline = nowMs() + timeoutMs;
    while (sent < count && !aborted(abort)) {
        const ssize_t n = ::write(fd_, data + sent, count - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            lastError_ = errno;
            return -1;
        }
        const std::int64_t left = deadline - nowMs();
        if (left <= 0)
            break;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, SliceMs)));
    }
    return static_cast<long>(sent);
}

} // namespace platform
