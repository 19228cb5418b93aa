#include "support/ClientSimulator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace sim {

namespace {

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

const char* ackWord(ClientSimulator::Ack ack) {
    switch (ack) {
    case ClientSimulator::Ack::Ok:
        return "OK";
    case ClientSimulator::Ack::Receive:
        return "RECEIVE";
    case ClientSimulator::Ack::Error:
        return "ERROR";
    default:
        return nullptr;
    }
}

} // namespace

ClientSimulator::ClientSimulator() {
    if (::pipe(wake_) == 0) {
        ::fcntl(wake_[0], F_SETFL, O_NONBLOCK);
        ::fcntl(wake_[1], F_SETFL, O_NONBLOCK);
    }
    reader_ = std::thread([this] { run(); });
}

ClientSimulator::~ClientSimulator() {
    stop_ = true;
    if (wake_[1] >= 0)
        (void)!::write(wake_[1], "x", 1);
    reader_.join();
    Disconnect();
    if (udp_ >= 0)
        ::close(udp_);
    for (int fd : wake_)
        if (fd >= 0)
            ::close(fd);
}

bool ClientSimulator::Connect(int port, const std::string& host) {
    Disconnect();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(port));
    ::inet_pton(AF_INET, host.c_str(), &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
        std::lock_guard lock(mutex_);
        tcp_ = fd;
        stream_.clear();
    }
    connected_ = true;
    (void)!::write(wake_[1], "x", 1);
    return true;
}

bool ClientSimulator::ListenUdp(int port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(std::uint16_t(port));
    at.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        ::close(fd);
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        udp_ = fd;
    }
    (void)!::write(wake_[1], "x", 1);
    return true;
}

void ClientSimulator::Disconnect() {
    std::lock_guard lock(mutex_);
    if (tcp_ >= 0) {
        ::shutdown(tcp_, SHUT_RDWR);
        ::close(tcp_);
        tcp_ = -1;
    }
    connected_ = false;
}

int ClientSimulator::Descriptor() const {
    std::lock_guard lock(mutex_);
    return tcp_;
}

bool ClientSimulator::Send(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    return tcp_ >= 0 && writeAll(tcp_, bytes);
}

bool ClientSimulator::SendRequest(const std::string& request) {
    return Send("!" + request + "\r");
}

bool ClientSimulator::LogIn(const std::string& login, const std::string& password, bool kla,
                            const std::string& version) {
    return Send(std::string(kla ? "!KLA&" : "!KL&") + version + "&" + login + "&" + password + "\r\n");
}

void ClientSimulator::SetAck(Ack ack) {
    std::lock_guard lock(mutex_);
    ack_ = ack;
}

void ClientSimulator::AckNextWith(Ack ack) {
    std::lock_guard lock(mutex_);
    nextAcks_.push_back(ack);
}

std::vector<std::string> ClientSimulator::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<std::string> ClientSimulator::Notices() const {
    std::vector<std::string> notices;
    for (const std::string& m : Messages())
        if (!m.empty() && m.front() == '!')
            notices.push_back(m);
    return notices;
}

std::vector<std::string> ClientSimulator::Replies() const {
    std::vector<std::string> replies;
    for (const std::string& m : Messages())
        if (m.empty() || m.front() != '!')
            replies.push_back(m);
    return replies;
}

std::vector<std::string> ClientSimulator::Datagrams() const {
    std::lock_guard lock(mutex_);
    return datagrams_;
}

void ClientSimulator::ClearReceived() {
    std::lock_guard lock(mutex_);
    messages_.clear();
    datagrams_.clear();
}

bool ClientSimulator::Quiet() const {
    if (reading_)
        return false;
    std::lock_guard lock(mutex_);
    int unread = 0;
    return tcp_ < 0 || (::ioctl(tcp_, FIONREAD, &unread) == 0 && unread == 0 && !reading_);
}

std::string ClientSimulator::Pending() const {
    std::lock_guard lock(mutex_);
    return stream_;
}

// Splits the stream: notices end with CR LF or the character 255; replies
// are "OK", "ERROR" and "ERROR n" CR. Unknown bytes are taken one at a time
// as messages of their own so that nothing is silently lost.
void ClientSimulator::takeMessages() {
    for (;;) {
        std::string message;
        bool notice = false;
        {
            std::lock_guard lock(mutex_);
            if (stream_.empty())
                return;
            std::size_t used = 0;
            if (stream_.front() == '!') {
                const std::size_t crlf = stream_.find("\r\n");
                const std::size_t ff = stream_.find('\xff');
                const std::size_t end = std::min(crlf == std::string::npos ? crlf : crlf + 2,
                                                 ff == std::string::npos ? ff : ff + 1);
                if (end == std::string::npos)
                    return;
                used = end;
                notice = true;
            } else if (stream_.starts_with("OK")) {
                used = 2;
            } else if (stream_.starts_with("ERROR ")) {
                const std::size_t cr = stream_.find('\r');
                if (cr == std::string::npos)
                    return;
                used = cr + 1;
            } else if (stream_.starts_with("ERROR")) {
                used = 5;
            } else if (std::string("ERROR").starts_with(stream_) || stream_ == "O") {
                return;
            } else {
                used = 1;
            }
            message = stream_.substr(0, used);
            stream_.erase(0, used);
            messages_.push_back(message);
        }
        if (OnMessage)
            OnMessage(message);
        if (notice)
            acknowledge();
    }
}

void ClientSimulator::acknowledge() {
    std::lock_guard lock(mutex_);
    Ack ack = ack_;
    if (!nextAcks_.empty()) {
        ack = nextAcks_.front();
        nextAcks_.pop_front();
    }
    if (const char* word = ackWord(ack); word && tcp_ >= 0)
        writeAll(tcp_, word);
}

void ClientSimulator::run() {
    char buffer[65536];
    while (!stop_) {
        pollfd fds[3];
        int count = 0;
        fds[count++] = {wake_[0], POLLIN, 0};
        int tcp, udp;
        {
            std::lock_guard lock(mutex_);
            tcp = tcp_;
            udp = udp_;
        }
        const int tcpAt = tcp >= 0 ? count : -1;
        if (tcp >= 0)
            fds[count++] = {tcp, POLLIN, 0};
        const int udpAt = udp >= 0 ? count : -1;
        if (udp >= 0)
            fds[count++] = {udp, POLLIN, 0};
        if (::poll(fds, nfds_t(count), 200) <= 0)
            continue;
        reading_ = true;
        struct ReadEnd {
            std::atomic<bool>& reading;
            ~ReadEnd() { reading = false; }
        } readEnd{reading_};
        if (fds[0].revents & POLLIN)
            while (::read(wake_[0], buffer, sizeof buffer) > 0) {
            }
        if (tcpAt >= 0 && fds[tcpAt].revents) {
            const ssize_t n = ::recv(tcp, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                {
                    std::lock_guard lock(mutex_);
                    if (tcp_ == tcp)
                        stream_.append(buffer, std::size_t(n));
                }
                takeMessages();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                std::lock_guard lock(mutex_);
                if (tcp_ == tcp) {
                    ::close(tcp_);
                    tcp_ = -1;
                    connected_ = false;
                }
            }
        }
        if (udpAt >= 0 && fds[udpAt].revents & POLLIN) {
            const ssize_t n = ::recv(udp, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                std::string datagram(buffer, std::size_t(n));
                {
                    std::lock_guard lock(mutex_);
                    datagrams_.push_back(datagram);
                }
                if (OnDatagram)
                    OnDatagram(datagram);
            }
        }
    }
}

FloodingPeer::~FloodingPeer() {
    Close();
}

void FloodingPeer::StopSending() {
    stop_ = true;
    if (flooder_.joinable())
        flooder_.join();
}

void FloodingPeer::Close() {
    StopSending();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool FloodingPeer::Start(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0)
        return false;
    const int tiny = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        return false;
    flooder_ = std::thread([this] { run(); });
    return true;
}

void FloodingPeer::run() {
    // Whole requests, so that a send cut short goes on where it stopped.
    std::string burst;
    while (burst.size() < 16 * 1024)
        burst += request_;
    std::size_t offset = 0;
    while (!stop_) {
        // Woken now and then to see whether it is told to stop.
        pollfd room{fd_, POLLOUT, 0};
        if (::poll(&room, 1, 50) < 0 && errno != EINTR)
            break;
        if (room.revents & (POLLERR | POLLHUP)) {
            closed_ = true;
            return;
        }
        if (!(room.revents & POLLOUT))
            continue;
        const ssize_t sent =
            ::send(fd_, burst.data() + offset, burst.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            sentBytes_ += sent;
            offset = (offset + std::size_t(sent)) % burst.size();
        } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            closed_ = true;
            return;
        }
    }
}

std::vector<int> OpenConnections(int port, int count, const std::string& first) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> connections;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (fd < 0)
            break;
        connections.push_back(fd);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)
            continue;
        if (first.empty())
            continue;
        pollfd connected{fd, POLLOUT, 0};
        if (::poll(&connected, 1, 10000) == 1)
            (void)::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
    }
    return connections;
}

void CloseConnections(std::vector<int>& connections) {
    for (int fd : connections)
        ::close(fd);
    connections.clear();
}

std::string LoopbackAddress(int n) {
    return "127.1." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1);
}

int ConnectFrom(const std::string& source, int port) {
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    pollfd connected{fd, POLLOUT, 0};
    if (::inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) ||
        ::poll(&connected, 1, 10000) != 1 || (connected.revents & (POLLERR | POLLHUP)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ClosedByPeer(int fd) {
    for (;;) {
        char byte = 0;
        const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return true;
        if (got < 0 && errno != EINTR)
            return false;
    }
}

int HighestOpenDescriptor() {
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    return highest;
}

} // namespace sim
