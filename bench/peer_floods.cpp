// Run: build/bench/peer_floods [dials|slow|calendar] [seconds=60]
//
// Peers that flood or stall the server, the main window in-process on its real
// event loop:
//  dials:    one logged-in desk sends "!WN&202&<n>" requests as fast as it
//            can for the given time and reads (and drops) its answers; the
//            exchange link goes to the exchange simulator, which answers every
//            command at once and runs in a child process, so that its record of
//            what it got stays out of the figures. Reported: the process's
//            resident memory before, at its peak during and at the end of the
//            flood; the requests sent and the answers "OK" and "ERROR"; the
//            commands still waiting in the desk's chain when the flood ends; and
//            how many commands the exchange got in the ten seconds after it.
//  slow:     300 connections from 300 addresses each send half a "!KL" and then
//            "!PING" every 10 s; then a desk logs in. Reported: whether and how
//            fast it got in, and how many of the 300 are still open 50 s after
//            the last was opened.
//  calendar: 64 connections from one address drip one byte of "$GETCAL,CTI"
//            every 8 s while a proper request comes every second for 20 s.
//            Reported: the proper requests answered.
#include "BenchSupport.h"
#include "ClientServiceBench.h"
#include "base/DiagnosticLog.h"
#include "clients/Bufor.h"
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "ui/Application.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The child: the simulator until its parent closes the pipe. 'E' marks the
// end of the flood; at the close it writes the commands it got after it.
[[noreturn]] void runExchange(int commands, int answers) {
    sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
    int port = exchange.Start() ? exchange.Port() : 0;
    (void)!::write(answers, &port, sizeof port);
    if (port && exchange.WaitForLogin(1, 120000))
        exchange.SendRecord("X"); // passing data: the link's error count clears
    std::size_t atEnd = 0;
    char mark = 0;
    while (::read(commands, &mark, 1) == 1)
        if (mark == 'E')
            atEnd = exchange.Commands().size();
    const long after = long(exchange.Commands().size() - atEnd);
    (void)!::write(answers, &after, sizeof after);
    std::_Exit(0);
}

// Reads everything and counts the answers, across reads.
struct Answers {
    std::atomic<long> ok{0}, error{0};
    std::string tail;
    void take(const char* bytes, std::size_t size) {
        std::string text = tail + std::string(bytes, size);
        long e = 0, all = 0;
        for (std::size_t at = text.find("ERROR"); at != std::string::npos; at = text.find("ERROR", at + 5))
            ++e;
        for (std::size_t at = text.find("OK"); at != std::string::npos; at = text.find("OK", at + 2))
            ++all;
        // Whatever may be the start of a word is counted with the next read.
        const std::size_t keep = std::min<std::size_t>(text.size(), 4);
        tail = text.substr(text.size() - keep);
        for (std::size_t at = tail.find("ERROR"); at != std::string::npos; at = tail.find("ERROR", at + 5))
            --e;
        for (std::size_t at = tail.find("OK"); at != std::string::npos; at = tail.find("OK", at + 2))
            --all;
        error += e;
        ok += all;
    }
};

// The exchange simulator in a child process; `toChild` and `fromChild`
// are the pipes to it.
struct ExchangeChild {
    pid_t pid = -1;
    int toChild = -1, fromChild = -1;
    int port = 0;
    bool start() {
        int down[2], up[2];
        if (::pipe(down) != 0 || ::pipe(up) != 0)
            return false;
        pid = ::fork();
        if (pid == 0) {
            ::close(down[1]);
            ::close(up[0]);
            runExchange(down[0], up[1]);
        }
        ::close(down[0]);
        ::close(up[1]);
        toChild = down[1];
        fromChild = up[0];
        return ::read(fromChild, &port, sizeof port) == sizeof port && port != 0;
    }
};

int dials(TForm1& window, ExchangeChild& exchange, int seconds) {
    // The desk logs in and acknowledges its reply.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(window.Settings.PortTCP));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return 1;
    const std::string logIn = "!KL&2.04.00.00&user1&pw1\r\n";
    (void)!::send(fd, logIn.data(), logIn.size(), MSG_NOSIGNAL);
    std::string got;
    char buffer[65536];
    while (got.find("!LP&") == std::string::npos || got.find("\r\n", got.find("!LP&")) == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return 1;
        got.append(buffer, std::size_t(n));
    }
    (void)!::send(fd, "OK", 2, MSG_NOSIGNAL);

    const long before = bench::rssMb();
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    Answers answers;
    std::thread reader([&] {
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            answers.take(buffer, std::size_t(n));
        }
    });
    std::thread writer([&] {
        long n = 0;
        while (!stop) {
            std::string batch;
            for (int i = 0; i < 256; ++i)
                batch += "!WN&202&" + std::to_string(600000000 + (n++ % 100000000)) + "\r";
            if (::send(fd, batch.data(), batch.size(), MSG_NOSIGNAL) != ssize_t(batch.size()))
                return;
            sent += 256;
        }
    });
    long peak = before;
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        peak = std::max(peak, bench::rssMb());
    }
    stop = true;
    writer.join();
    (void)!::write(exchange.toChild, "E", 1);
    const long atEnd = bench::rssMb();
    std::size_t waiting = 0;
    QMetaObject::invokeMethod(
        &window,
        [&] {
            auto lock = LockChains();
            if (Klient* desk = Klient::ZnajdzPoIDFB("1"))
                waiting = desk->Komendy.size();
        },
        Qt::BlockingQueuedConnection);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    ::close(exchange.toChild);
    exchange.toChild = -1;
    long afterEnd = -1;
    (void)!::read(exchange.fromChild, &afterEnd, sizeof afterEnd);
    ::shutdown(fd, SHUT_RDWR);
    reader.join();
    ::close(fd);
    std::printf("dial flood, %d s: %ld requests sent, answered OK %ld, ERROR %ld\n", seconds, sent.load(),
                answers.ok.load(), answers.error.load());
    std::printf("resident memory: %ld MB before, %ld MB at the peak, %ld MB at the end of the flood\n",
                before, peak, atEnd);
    std::printf("commands waiting in the desk's chain at the end: %zu; sent to the exchange in the 10 s "
                "after: %ld\n",
                waiting, afterEnd);
    return 0;
}

int slow(TForm1& window) {
    const int port = window.Settings.PortTCP;
    std::vector<int> peers;
    const auto start = Clock::now();
    for (int i = 0; i < 300; ++i) {
        const int fd = sim::ConnectFrom(sim::LoopbackAddress(i), port);
        if (fd < 0)
            continue;
        (void)!::send(fd, "!KL&2.04.00.00&", 15, MSG_NOSIGNAL);
        peers.push_back(fd);
    }
    const auto opened = Clock::now();
    const double connecting = std::chrono::duration<double>(opened - start).count();
    std::atomic<bool> stop{false};
    std::thread pinger([&] {
        while (!stop) {
            for (int fd : peers)
                (void)!::send(fd, "!PING\r", 6, MSG_NOSIGNAL);
            for (int i = 0; i < 100 && !stop; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    sim::ClientSimulator desk;
    const auto asked = Clock::now();
    const bool in = bench::logIn(desk, port, 1);
    const double took = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
    auto open = [&] {
        int n = 0;
        for (int fd : peers)
            n += !sim::ClosedByPeer(fd);
        return n;
    };
    const int openAtLogIn = open();
    std::this_thread::sleep_for(std::chrono::seconds(50) - (Clock::now() - opened));
    const int openLater = open();
    stop = true;
    pinger.join();
    std::printf("slow: %zu connections from as many addresses (opened in %.1f s), half a log-in and a ping "
                "every 10 s\n",
                peers.size(), connecting);
    std::printf("a desk's log-in behind them: %s (%.0f ms); slow connections open then %d, 50 s after the "
                "last was opened %d\n",
                in ? "answered" : "NOT answered", took, openAtLogIn, openLater);
    sim::CloseConnections(peers);
    return 0;
}

int calendar(TForm1& window) {
    auto& calendars = window.Clients().Calendars;
    bool opened = false;
    QMetaObject::invokeMethod(
        &window,
        [&] {
            // On a port of its own, not the one the service opened.
            calendars.SetActive(false);
            calendars.SetPort(bench::freePort());
            calendars.SetActive(true);
            opened = calendars.IsOpen();
        },
        Qt::BlockingQueuedConnection);
    if (!opened)
        return 1;
    std::vector<int> drips;
    for (int i = 0; i < 64; ++i) {
        const int fd = sim::ConnectFrom("127.0.0.2", calendars.Port());
        if (fd >= 0)
            drips.push_back(fd);
    }
    const std::string request = "$GETCAL,CTI";
    std::atomic<bool> stop{false};
    std::thread dripper([&] {
        for (std::size_t at = 0; !stop; at = (at + 1) % request.size()) {
            for (int fd : drips)
                (void)!::send(fd, &request[at], 1, MSG_NOSIGNAL);
            for (int i = 0; i < 80 && !stop; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    int answered = 0;
    const int asked = 20;
    for (int i = 0; i < asked; ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const int fd = sim::ConnectFrom("127.0.0.1", calendars.Port());
        std::string reply;
        if (fd >= 0 && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
            timeval wait{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            char buffer[4096];
            for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                reply.append(buffer, std::size_t(n));
        }
        answered += reply.starts_with("[");
        if (fd >= 0)
            ::close(fd);
    }
    stop = true;
    dripper.join();
    int held = 0;
    for (int fd : drips)
        held += !sim::ClosedByPeer(fd);
    sim::CloseConnections(drips);
    std::printf("calendar: 64 connections from one address dripping a byte every 8 s; proper requests "
                "answered %d of %d; dripping connections still open at the end %d\n",
                answered, asked, held);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string scenario = argc > 1 ? argv[1] : "dials";
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 60;
    ExchangeChild exchange;
    if (!exchange.start())
        return 1;

    bench::Sandbox sandbox;
    ui::TApplication app(argc, argv);
    QUdpSocket broadcasts;
    auto form = bench::quietForm(broadcasts);
    bench::addListedUsers(*form, 1);
    form->Settings.PortTCP = bench::freePort();
    form->WlaczSerwerClick();
    bench::connectExchange(*form, exchange.port);
    TForm1& window = *form;
    form->LogFilePath = sandbox.path().toStdString() + "/halvex.log";
    base::Switches().LogInfo = true;
    base::Switches().LogDoPliku = true;

    const int result = bench::measureWhileLooping([&] {
        if (!bench::waitUntil(
                [&] { return window.Pbx().Watek && window.Pbx().PbxLinkErrorCount.load() == 0; }, 60000,
                1000)) {
            std::printf("FAILED: the exchange link did not come up\n");
            return 1;
        }
        const int r = scenario == "slow"       ? slow(window)
                      : scenario == "calendar" ? calendar(window)
                                               : dials(window, exchange, seconds);
        // The log file is written by the GUI thread's timer.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        return r;
    });
    // What the log says of the peers: the first line of each kind.
    std::ifstream log(window.LogFilePath);
    std::vector<std::string> kinds{"komend czeka na centralę",
                                   "odrzucono",
                                   "Komenda do centrali pominięta",
                                   "za dużo połączeń bez zalogowania",
                                   "nie zalogował się",
                                   "Brak pingów od niezalogowanego",
                                   "CalSocket"};
    for (std::string line; std::getline(log, line);) {
        const auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const std::string& k) {
            return line.find(k) != std::string::npos;
        });
        if (kind == kinds.end())
            continue;
        std::printf("log: %s\n", line.c_str());
        kinds.erase(kind);
    }
    form.reset();
    if (exchange.toChild >= 0)
        ::close(exchange.toChild);
    ::waitpid(exchange.pid, nullptr, 0);
    return result;
}
