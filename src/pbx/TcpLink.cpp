#include "pbx/TcpLink.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pbx {
namespace {

constexpr int SendSliceMs = 20;

bool resolve(const std::string& host, int port, sockaddr_in& address) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

} // namespace

int SocketErrorCode(int e) {
    switch (e) {
    case EADDRINUSE:
        return 10048;
    case ECONNABORTED:
    case EPIPE:
        return 10053;
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
        return 10055;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case EHOSTUNREACH:
    case ENETUNREACH:
        return 10065;
    default:
        return e;
    }
}

TcpLink::~TcpLink() {
    Close();
}

void TcpLink::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    active_ = false;
}

TcpLink::ConnectResult TcpLink::Connect(const std::string& host, int port, int stepMs, int steps,
                                        const std::atomic<bool>& abort) {
    Close();
    error_ = 0;
    sockaddr_in address{};
    if (!resolve(host, port, address)) {
        error_ = EHOSTUNREACH;
        return ConnectResult::OpenFailed;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error_ = errno;
        return ConnectResult::OpenFailed;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        active_ = true;
        return ConnectResult::Connected;
    }
    if (errno != EINPROGRESS) {
        error_ = errno;
        Close();
        return ConnectResult::Failed;
    }
    for (int step = 0; step <= steps; ++step) {
        if (abort.load()) {
            Close();
            return ConnectResult::Aborted;
        }
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, stepMs) > 0) {
            int result = 0;
            socklen_t length = sizeof result;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &result, &length);
            if (result != 0) {
                error_ = result;
                Close();
                return ConnectResult::Failed;
            }
            active_ = true;
            return ConnectResult::Connected;
        }
    }
    Close();
    return ConnectResult::TimedOut;
}

std::size_t TcpLink::Waiting() {
    if (!Active())
        return 0;
    int count = 0;
    if (::ioctl(fd_, FIONREAD, &count) != 0 || count < 0)
        return 0;
    if (count == 0) {
        // A closed peer shows as readable with nothing to read.
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            char probe;
            const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                error_ = n == 0 ? 0 : errno;
                active_ = false;
            }
        }
    }
    return static_cast<std::size_t>(count);
}

bool TcpLink::ReadWaiting(std::string& out, std::size_t limit) {
    if (!Active())
        return false;
    char chunk[16384];
    // A peer that sends faster than we read must not make one read endless.
    while (limit > 0) {
        const ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, limit), 0);
        if (n > 0) {
            out.append(chunk, static_cast<std::size_t>(n));
            limit -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            active_ = false;
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        error_ = errno;
        active_ = false;
        return false;
    }
    return true;
}

long TcpLink::Send(const char* data, std::size_t count, const std::atomic<bool>& abort, int stallMs) {
    if (!Active())
        return -1;
    std::size_t sent = 0;
    int waited = 0;
    while (sent < count && !abort.load()) {
        const ssize_t n = ::send(fd_, data + sent, count - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error_ = errno;
            active_ = false;
            return -1;
        }
        if (waited >= stallMs)
            break;
        const int slice = std::min(SendSliceMs, stallMs - waited);
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, slice);
        waited += slice;
    }
    return static_cast<long>(sent);
}

bool TcpLink::WaitReadable(int ms, int wakeFd) {
    if (!Active())
        return false;
    pollfd p[2] = {{fd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(p, wakeFd >= 0 ? 2 : 1, std::max(0, ms)) <= 0)
        return false;
    return (p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

} // namespace pbx
