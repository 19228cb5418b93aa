#include "support/SlowTcpProxy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <deque>
#include <fcntl.h>
#include <list>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

// One direction of a relayed connection: what was read, each chunk with the
// moment it may be written on.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<std::pair<Clock::time_point, std::string>> chunks;
    bool ended = false; // `from` has no more to give
    bool shut = false;  // `to` was told so

    bool wantsWrite(Clock::time_point now) const { return !chunks.empty() && chunks.front().first <= now; }
};

struct Relay {
    Direction up, down;
    bool broken = false;
    // Parked: the client's requests are kept, the server's answers dropped;
    // released: the kept requests go on, the answers are still dropped.
    bool parked = false;
    bool released = false;
    bool finished() const { return !parked && (broken || (up.shut && down.shut)); }
};

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket listening on 127.0.0.1 at a port of the system's choice, and that
// port; -1 (and 0) when it could not listen.
int listenOnLoopback(int& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener >= 0)
            ::close(listener);
        port = 0;
        return -1;
    }
    port = ntohs(address.sin_port);
    return listener;
}

void readInto(Direction& direction, std::chrono::milliseconds delay, bool& broken) {
    char buffer[65536];
    const ssize_t got = ::read(direction.from, buffer, sizeof buffer);
    if (got > 0)
        direction.chunks.emplace_back(Clock::now() + delay, std::string(buffer, std::size_t(got)));
    else if (got == 0)
        direction.ended = true;
    else if (errno != EAGAIN && errno != EINTR)
        broken = true;
}

// True when a whole chunk went; false when the receiver takes no more now.
bool writeDue(Direction& direction, bool& broken) {
    auto& [due, bytes] = direction.chunks.front();
    const ssize_t put = ::send(direction.to, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (put < 0) {
        broken = errno != EAGAIN && errno != EINTR;
        return false;
    }
    bytes.erase(0, std::size_t(put));
    if (!bytes.empty())
        return false;
    direction.chunks.pop_front();
    return true;
}

void shutWhenDrained(Direction& direction) {
    if (direction.ended && direction.chunks.empty() && !direction.shut) {
        ::shutdown(direction.to, SHUT_WR);
        direction.shut = true;
    }
}

// A parked connection: its client's requests are read and kept (a client
// that went leaves them there), the server's answers read and dropped; once
// released, the kept requests go to the server.
void relayParked(Relay& relay) {
    bool clientFailed = false;
    if (!relay.up.ended && !relay.released)
        readInto(relay.up, std::chrono::milliseconds(0), clientFailed);
    if (clientFailed)
        relay.up.ended = true;
    bool serverFailed = false;
    if (!relay.down.ended) {
        readInto(relay.down, std::chrono::milliseconds(0), serverFailed);
        relay.down.chunks.clear();
    }
    if (relay.released) {
        while (!serverFailed && relay.up.wantsWrite(Clock::now()) && writeDue(relay.up, serverFailed)) {
        }
        shutWhenDrained(relay.up);
        relay.broken = serverFailed || relay.down.ended;
        if (relay.broken)
            relay.released = false;
    }
}

} // namespace

SlowTcpProxy::SlowTcpProxy(int targetPort, std::chrono::milliseconds delay)
    : targetPort_(targetPort), delayMs_(delay.count()) {
    int port = 0;
    listener_ = listenOnLoopback(port);
    if (listener_ < 0 || ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    port_ = port;
    thread_ = std::thread([this] { run(); });
}

void SlowTcpProxy::hold(bool held) {
    // Held or let go now: a hold still waiting for its chunk count is over.
    holdAtToServer_ = 0;
    held_ = held;
    toServerHeld_ = held;
    [[maybe_unused]] const ssize_t written = ::write(wake_[1], "h", 1);
}

void SlowTcpProxy::holdAfterChunksToServer(std::size_t chunks, bool answersPass) {
    holdOnlyToServer_ = answersPass;
    holdAtToServer_ = toServer_ + chunks;
}

void SlowTcpProxy::parkAfterChunksToServer(std::size_t chunks) {
    parkAtToServer_ = toServer_ + chunks + 1;
}

void SlowTcpProxy::releaseParked() {
    release_ = true;
    [[maybe_unused]] const ssize_t written = ::write(wake_[1], "r", 1);
}

void SlowTcpProxy::dropConnections() {
    drop_ = true;
    [[maybe_unused]] const ssize_t written = ::write(wake_[1], "d", 1);
}

// The system completes the connections in the listening queue; nobody ever
// takes them from it.
SilentServer::SilentServer() {
    listener_ = listenOnLoopback(port_);
}

SilentServer::~SilentServer() {
    if (listener_ >= 0)
        ::close(listener_);
}

SlowTcpProxy::~SlowTcpProxy() {
    if (thread_.joinable()) {
        stopping_ = true;
        [[maybe_unused]] const ssize_t written = ::write(wake_[1], "x", 1);
        thread_.join();
    }
    for (int fd : {listener_, wake_[0], wake_[1]})
        if (fd >= 0)
            ::close(fd);
}

void SlowTcpProxy::run() {
    std::list<Relay> relays;
    for (;;) {
        if (held_) {
            pollfd wake{wake_[0], POLLIN, 0};
            ::poll(&wake, 1, -1);
        }
        char woken[16];
        while (::read(wake_[0], woken, sizeof woken) > 0) {
        }
        if (stopping_)
            break;
        if (drop_.exchange(false)) {
            for (Relay& relay : relays)
                for (int fd : {relay.up.from, relay.down.from}) {
                    const linger reset{1, 0};
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                    ::close(fd);
                }
            relays.clear();
        }
        if (release_.exchange(false))
            for (Relay& relay : relays)
                if (relay.parked) {
                    relay.parked = false;
                    relay.released = true;
                    // Its client is gone: the server side ends once the kept requests went.
                    relay.up.ended = true;
                }
        if (held_)
            continue;
        const auto now = Clock::now();
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        auto timeout = std::chrono::milliseconds(1000);
        for (Relay& relay : relays)
            for (Direction* d : {&relay.up, &relay.down}) {
                if (relay.parked) {
                    if (!d->ended)
                        fds.push_back({d->from, POLLIN, 0});
                    continue;
                }
                const bool readHeld = d == &relay.up && toServerHeld_;
                short events = d->ended || readHeld ? 0 : POLLIN;
                fds.push_back({d->from, events, 0});
                if (d->wantsWrite(now))
                    fds.push_back({d->to, POLLOUT, 0});
                else if (!d->chunks.empty())
                    timeout = std::min(
                        timeout, std::chrono::ceil<std::chrono::milliseconds>(d->chunks.front().first - now));
            }
        if (::poll(fds.data(), fds.size(), int(timeout.count())) < 0 && errno != EINTR)
            return;
        if (fds[0].revents)
            continue;
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in target = loopback(targetPort_);
            if (client >= 0 && server >= 0 &&
                ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
                ::fcntl(server, F_SETFL, O_NONBLOCK);
                Relay& relay = relays.emplace_back();
                relay.up.from = relay.down.to = client;
                relay.up.to = relay.down.from = server;
            } else {
                for (int fd : {client, server})
                    if (fd >= 0)
                        ::close(fd);
            }
        }
        // Whatever poll said, each side is tried: reads and writes are non-blocking.
        for (Relay& relay : relays) {
            if (relay.parked || relay.released) {
                relayParked(relay);
                continue;
            }
            for (Direction* d : {&relay.up, &relay.down}) {
                if (!d->ended && !held_ && !(d == &relay.up && toServerHeld_))
                    readInto(*d, std::chrono::milliseconds(delayMs_.load()), relay.broken);
                const bool dHeld = held_ || (d == &relay.up && toServerHeld_);
                while (!dHeld && !relay.broken && d->wantsWrite(Clock::now())) {
                    if (d == &relay.up && parkAtToServer_ != 0 && toServer_ + 1 == parkAtToServer_) {
                        parkAtToServer_ = 0;
                        relay.parked = true;
                        break;
                    }
                    if (!writeDue(*d, relay.broken))
                        break;
                    if (d == &relay.down) {
                        ++toClients_;
                        continue;
                    }
                    if (++toServer_ == holdAtToServer_) {
                        holdAtToServer_ = 0;
                        (holdOnlyToServer_ ? toServerHeld_ : held_) = true;
                    }
                }
                if (relay.parked)
                    break;
                shutWhenDrained(*d);
            }
        }
        relays.remove_if([](Relay& relay) {
            if (!relay.finished())
                return false;
            ::close(relay.up.from);
            ::close(relay.down.from);
            return true;
        });
    }
    for (Relay& relay : relays) {
        ::close(relay.up.from);
        ::close(relay.down.from);
    }
}

} // namespace testing_support
