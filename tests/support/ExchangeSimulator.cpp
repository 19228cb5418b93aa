#include "support/ExchangeSimulator.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace sim {
namespace {

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool isControlKey(char c) {
    return c == 3 || c == 4 || c == 24 || c == 8 || c == 21;
}

} // namespace

ExchangeSimulator::ExchangeSimulator(Family family, Transport transport)
    : family_(family), transport_(transport) {}

ExchangeSimulator::~ExchangeSimulator() {
    Stop();
}

bool ExchangeSimulator::Start(int port) {
    if (::pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    if (transport_ == Transport::Tcp) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // A small window, so that an exchange that stops reading stalls the
        // link soon, as a real one would.
        int window = 65536;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listenFd_, 4) != 0)
            return false;
        socklen_t length = sizeof address;
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    } else {
        masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (masterFd_ < 0 || ::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0)
            return false;
        slavePath_ = ::ptsname(masterFd_);
        // Held open so that the pair never reads as hung up, and made raw so
        // that nothing is echoed before the program sets the port up.
        slaveHoldFd_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        ::tcgetattr(slaveHoldFd_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slaveHoldFd_, TCSANOW, &tio);
        setNonBlocking(masterFd_);
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void ExchangeSimulator::Stop() {
    if (thread_.joinable()) {
        stop_ = true;
        wake();
        thread_.join();
    }
    for (int* fd : {&listenFd_, &connFd_, &masterFd_, &slaveHoldFd_, &wakePipe_[0], &wakePipe_[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void ExchangeSimulator::wake() {
    if (wakePipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto n = ::write(wakePipe_[1], &byte, 1);
    }
}

int ExchangeSimulator::ioFd() const {
    return transport_ == Transport::Tcp ? connFd_ : masterFd_;
}

void ExchangeSimulator::SetFault(Fault fault) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
}

void ExchangeSimulator::SetAnswerRule(AnswerRule rule) {
    std::lock_guard lock(mutex_);
    rule_ = rule;
}

void ExchangeSimulator::SetLineEnd(std::string lineEnd) {
    std::lock_guard lock(mutex_);
    lineEnd_ = std::move(lineEnd);
}

void ExchangeSimulator::SendRaw(std::string bytes, std::size_t chunk) {
    {
        std::lock_guard lock(mutex_);
        pending_.push_back({std::chrono::steady_clock::now(), std::move(bytes), chunk});
    }
    wake();
}

void ExchangeSimulator::SendRecord(const std::string& record) {
    std::string end;
    {
        std::lock_guard lock(mutex_);
        end = lineEnd_;
    }
    SendRaw(record + end);
}

void ExchangeSimulator::SendOnCommand(std::string commandPrefix, std::string record) {
    std::lock_guard lock(mutex_);
    onCommand_.emplace_back(std::move(commandPrefix), std::move(record));
}

void ExchangeSimulator::SendStream(std::string pattern, std::size_t repeats, std::size_t bytesPerSecond) {
    if (pattern.empty() || repeats == 0)
        return;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(
            {std::chrono::steady_clock::now(), std::move(pattern), 0, repeats, bytesPerSecond, 0});
    }
    wake();
}

bool ExchangeSimulator::StreamDone() const {
    std::lock_guard lock(mutex_);
    for (const auto& p : pending_)
        if (p.repeats > 0)
            return false;
    return outbox_.empty();
}

void ExchangeSimulator::EndStreams() {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(pending_, [](const Pending& p) { return p.repeats > 0; });
    }
    wake();
}

void ExchangeSimulator::SetLoginTrailer(std::string bytes) {
    std::lock_guard lock(mutex_);
    loginTrailer_ = std::move(bytes);
}

void ExchangeSimulator::PauseReading(bool paused) {
    readingPaused_ = paused;
    wake();
}

// Makes the next piece of the stream at the head of `pending_`: no more than
// a little ahead of the link, and no faster than its pace.
void ExchangeSimulator::makeStream() {
    constexpr std::size_t Ahead = 65536;
    Pending& p = pending_.front();
    std::size_t queued = 0;
    for (const auto& piece : outbox_)
        queued += piece.size();
    std::size_t allowed = Ahead;
    if (p.bytesPerSecond) {
        const auto elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - p.due)
                .count();
        const std::size_t due = p.bytesPerSecond * static_cast<std::size_t>(elapsedMs) / 1000;
        allowed = due > p.made ? due - p.made : 0;
    }
    std::string piece;
    while (p.repeats > 0 && queued + piece.size() < Ahead && piece.size() + p.bytes.size() <= allowed) {
        piece += p.bytes;
        --p.repeats;
    }
    p.made += piece.size();
    if (!piece.empty())
        outbox_.push_back(std::move(piece));
    if (p.repeats == 0)
        pending_.pop_front();
}

void ExchangeSimulator::DropConnection() {
    {
        std::lock_guard lock(mutex_);
        dropRequested_ = true;
    }
    wake();
}

std::vector<ReceivedCommand> ExchangeSimulator::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ExchangeSimulator::Commands() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& r : received_) {
        if (r.command)
            texts.push_back(r.text);
    }
    return texts;
}

bool ExchangeSimulator::WaitUntil(const std::function<bool()>& condition, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(mutex_);
    while (true) {
        lock.unlock();
        const bool done = condition();
        lock.lock();
        if (done)
            return true;
        if (changed_.wait_until(
                lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            return condition();
        }
    }
}

bool ExchangeSimulator::WaitForCommand(const std::string& text, int ms) {
    return WaitUntil(
        [&] {
            for (const auto& c : Commands())
                if (c == text)
                    return true;
            return false;
        },
        ms);
}

bool ExchangeSimulator::WaitForLogin(int count, int ms) {
    return WaitUntil([&] { return loginCount_.load() >= count; }, ms);
}

void ExchangeSimulator::run() {
    while (!stop_) {
        std::vector<pollfd> fds;
        fds.push_back({wakePipe_[0], POLLIN, 0});
        const bool reading = !readingPaused_ || (transport_ == Transport::Tcp && connFd_ < 0);
        if (transport_ == Transport::Tcp)
            fds.push_back({connFd_ >= 0 ? connFd_ : listenFd_, static_cast<short>(reading ? POLLIN : 0), 0});
        else
            fds.push_back({masterFd_, static_cast<short>(reading ? POLLIN : 0), 0});
        if (ioFd() >= 0 && !outbox_.empty())
            fds[1].events |= POLLOUT;
        int timeout = 10;
        {
            // A stream waiting to be made must not wait for the next tick.
            std::lock_guard lock(mutex_);
            if (outbox_.empty() && !pending_.empty() && pending_.front().repeats > 0)
                timeout = pending_.front().bytesPerSecond ? 1 : 0;
        }
        ::poll(fds.data(), fds.size(), timeout);
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
            }
        }
        bool drop = false;
        {
            std::lock_guard lock(mutex_);
            drop = std::exchange(dropRequested_, false);
            const auto now = std::chrono::steady_clock::now();
            while (!pending_.empty() && pending_.front().due <= now) {
                if (pending_.front().repeats > 0) {
                    makeStream();
                    if (!pending_.empty() && pending_.front().repeats > 0)
                        break;
                    continue;
                }
                Pending p = std::move(pending_.front());
                pending_.pop_front();
                const std::size_t chunk = p.chunk ? p.chunk : p.bytes.size();
                for (std::size_t at = 0; at < p.bytes.size(); at += chunk)
                    outbox_.push_back(p.bytes.substr(at, chunk));
            }
        }
        if (drop)
            closeConnection();
        if (transport_ == Transport::Tcp && connFd_ < 0) {
            if (fds[1].revents & POLLIN)
                acceptConnection();
            continue;
        }
        if (reading && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            readInput();
        flushOutbox();
    }
}

void ExchangeSimulator::acceptConnection() {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    ++connections_;
    Fault fault;
    {
        std::lock_guard lock(mutex_);
        fault = fault_;
        outbox_.clear();
    }
    if (fault == Fault::DropConnection) {
        ::close(fd);
        changed_.notify_all();
        return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    connFd_ = fd;
    input_.clear();
    inputScanned_ = 0;
    morva_ = MorvaState::Start;
    loggedIn_ = false;
    if (family_ == Family::Morva && fault != Fault::Silent)
        sendNow(fault == Fault::WrongPrompt ? "Login: " : "Morva login: ");
    changed_.notify_all();
}

void ExchangeSimulator::closeConnection() {
    if (transport_ != Transport::Tcp || connFd_ < 0)
        return;
    ::close(connFd_);
    connFd_ = -1;
    loggedIn_ = false;
    std::lock_guard lock(mutex_);
    outbox_.clear();
}

void ExchangeSimulator::readInput() {
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(ioFd(), chunk, sizeof chunk);
        if (n > 0) {
            input_.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0 && transport_ == Transport::Tcp) {
            closeConnection();
            changed_.notify_all();
            return;
        }
        break;
    }
    handleInput();
}

void ExchangeSimulator::handleInput() {
    while (!input_.empty()) {
        if (input_[0] == '\n' || isControlKey(input_[0])) {
            input_.erase(0, 1);
            inputScanned_ = inputScanned_ > 0 ? inputScanned_ - 1 : 0;
            continue;
        }
        if (input_.starts_with("logout")) {
            input_.erase(0, 6);
            inputScanned_ = inputScanned_ > 6 ? inputScanned_ - 6 : 0;
            record("logout");
            shellOpenUsed_ = true;
            morva_ = MorvaState::Start;
            continue;
        }
        // A long line arrives in many reads: only the new bytes are searched.
        const auto cr = input_.find('\r', inputScanned_);
        if (cr == std::string::npos) {
            inputScanned_ = input_.size();
            return;
        }
        const std::string line = input_.substr(0, cr);
        input_.erase(0, cr + 1);
        inputScanned_ = 0;
        handleLine(line);
    }
}

void ExchangeSimulator::record(const std::string& text) {
    const bool command =
        loggedIn_ && text != "AT" && !text.empty() && text != "cti on" && text != "C03" && text != "CTI ON";
    {
        std::lock_guard lock(mutex_);
        std::size_t streamLeft = 0;
        for (const auto& p : pending_)
            streamLeft += p.repeats * p.bytes.size();
        received_.push_back({steadyMs(), text, command, streamLeft});
    }
    if (OnReceived)
        OnReceived(text);
    changed_.notify_all();
}

void ExchangeSimulator::handleLine(const std::string& line) {
    record(line);
    if (family_ == Family::Vantrel)
        handleVantrel(line);
    else
        handleMorva(line);
}

void ExchangeSimulator::handleVantrel(const std::string& line) {
    Fault fault;
    std::string end;
    {
        std::lock_guard lock(mutex_);
        fault = fault_;
        end = lineEnd_;
    }
    if (fault == Fault::Silent || line.empty())
        return;
    if (line == "AT" || line == "CRC OFF" || line == "ECHO OFF" || line == "cti on") {
        sendNow("OK" + end);
        return;
    }
    if (line == "CTI ON") {
        sendNow("OK" + end + (loggedIn_ ? std::string() : loginTrailer()));
        if (!loggedIn_) {
            loggedIn_ = true;
            ++loginCount_;
            changed_.notify_all();
        }
        return;
    }
    if (loggedIn_)
        handleCommand(line);
}

void ExchangeSimulator::handleMorva(const std::string& line) {
    Fault fault;
    std::string end;
    {
        std::lock_guard lock(mutex_);
        fault = fault_;
        end = lineEnd_;
    }
    if (fault == Fault::Silent)
        return;
    const bool serial = transport_ == Transport::Pty;
    switch (morva_) {
    case MorvaState::Start:
        if (line.empty() && serial) {
            if (fault == Fault::ShellOpen && !shellOpenUsed_)
                sendNow("\r\nmorva $");
            else
                sendNow(fault == Fault::WrongPrompt ? "\r\nMorva log1n: " : "\r\nMorva login: ");
        } else if (line == "cti") {
            if (fault == Fault::WrongPrompt && !serial) {
                sendNow("Login: ");
                return;
            }
            sendNow(fault == Fault::BadEcho ? "ctx\r\nPassword: " : "cti\r\nPassword: ");
            morva_ = MorvaState::Password;
        }
        return;
    case MorvaState::Password:
        if (line == "Quabrils" && fault != Fault::WrongPassword) {
            sendNow("\r\r\nCTI: ");
            morva_ = MorvaState::CtiWait;
        } else {
            sendNow("\r\r\nLogin incorrect\r\n");
            morva_ = MorvaState::Start;
        }
        return;
    case MorvaState::CtiWait:
        if (line != "cti 4")
            return;
        if (fault == Fault::RefuseCti) {
            sendNow("ERROR 1\r\nCTI:");
            return;
        }
        sendNow("cti 4\r\nCTI:" + loginTrailer());
        morva_ = MorvaState::Cti;
        loggedIn_ = true;
        ++loginCount_;
        changed_.notify_all();
        return;
    case MorvaState::Cti:
        if (line == "C03")
            sendNow("OK" + end);
        else if (!line.empty())
            handleCommand(line);
        return;
    }
}

std::string ExchangeSimulator::loginTrailer() const {
    std::lock_guard lock(mutex_);
    return loginTrailer_;
}

void ExchangeSimulator::handleCommand(const std::string& line) {
    AnswerRule rule;
    std::string end, injected;
    std::vector<std::pair<std::string, int>> gsm;
    {
        std::lock_guard lock(mutex_);
        rule = rule_;
        end = lineEnd_;
        for (auto it = onCommand_.begin(); it != onCommand_.end(); ++it) {
            if (line.starts_with(it->first)) {
                injected = it->second + end;
                onCommand_.erase(it);
                break;
            }
        }
        if (rule.kind == AnswerRule::Kind::Ok) {
            gsm = gsmAnswers(line);
            for (std::string& record : voiceBoxAnswers(line))
                gsm.emplace_back(std::move(record), 0);
            addVoiceMailAnswers(line, gsm);
        }
    }
    std::string answer;
    if (rule.kind == AnswerRule::Kind::Ok)
        answer = "OK" + end;
    else if (rule.kind == AnswerRule::Kind::Error)
        answer = "ERROR " + std::to_string(rule.errorCode) + end;
    if (!answer.empty())
        sendLater(answer, rule.delayMs);
    if (!injected.empty())
        sendLater(injected, rule.delayMs);
    for (const auto& [record, delayMs] : gsm)
        sendLater(record + end, rule.delayMs + delayMs);
    if (!gsm.empty())
        changed_.notify_all();
}

void ExchangeSimulator::sendNow(const std::string& bytes, std::size_t chunk) {
    std::lock_guard lock(mutex_);
    const std::size_t size = chunk ? chunk : bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += size)
        outbox_.push_back(bytes.substr(at, size));
}

void ExchangeSimulator::sendLater(const std::string& bytes, int delayMs) {
    std::lock_guard lock(mutex_);
    // In order of time due, so that a late answer holds up none due before it.
    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    auto at = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.due > due; });
    pending_.insert(at, {due, bytes, 0});
}

void ExchangeSimulator::flushOutbox() {
    const int fd = ioFd();
    if (fd < 0)
        return;
    std::lock_guard lock(mutex_);
    while (!outbox_.empty()) {
        std::string& head = outbox_.front();
        const ssize_t n = transport_ == Transport::Tcp ? ::send(fd, head.data(), head.size(), MSG_NOSIGNAL)
                                                       : ::write(fd, head.data(), head.size());
        if (n <= 0)
            return;
        if (static_cast<std::size_t>(n) < head.size()) {
            head.erase(0, static_cast<std::size_t>(n));
            return;
        }
        outbox_.pop_front();
    }
}

} // namespace sim
