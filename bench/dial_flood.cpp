// Run: build/bench/dial_flood [seconds=60]
//
// One logged-in desk sends "!WN&202&<n>" requests as fast as it can and reads
// (and drops) its answers, the main window in-process on its real event loop
// and its exchange link to the exchange simulator, which answers every
// command at once. The simulator runs in a child process, so that its record
// of what it got stays out of the figures. Reported: the process's resident
// memory before, at its peak during and at the end of the flood; the requests
// sent and the answers "OK" and "ERROR"; the commands still waiting in the
// desk's chain when the flood ends; and how many commands the exchange got
// in the ten seconds after it.
#include "BenchSupport.h"
#include "ClientServiceBench.h"
#include "clients/Bufor.h"
#include "support/ExchangeSimulator.h"
#include "ui/Application.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long rssMb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::atol(line.c_str() + 6) / 1024;
    return -1;
}

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

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    int toChild[2], fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        runExchange(toChild[0], fromChild[1]);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    int exchangePort = 0;
    if (::read(fromChild[0], &exchangePort, sizeof exchangePort) != sizeof exchangePort || exchangePort == 0)
        return 1;

    bench::Sandbox sandbox;
    ui::TApplication app(argc, argv);
    QUdpSocket broadcasts;
    auto form = bench::quietForm(broadcasts);
    bench::addListedUsers(*form, 1);
    form->Settings.PortTCP = bench::freePort();
    form->WlaczSerwerClick();
    bench::connectExchange(*form, exchangePort);
    TForm1* window = form.get();

    const int result = bench::measureWhileLooping([&] {
        if (!bench::waitUntil(
                [&] { return window->Pbx().Watek && window->Pbx().PbxLinkErrorCount.load() == 0; }, 60000,
                1000)) {
            std::printf("FAILED: the exchange link did not come up\n");
            return 1;
        }
        // The desk logs in and acknowledges its reply.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(std::uint16_t(window->Settings.PortTCP));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            return 1;
        const std::string logIn = "!KL&2.04.00.00&user1&pw1\r\n";
        (void)!::send(fd, logIn.data(), logIn.size(), MSG_NOSIGNAL);
        std::string got;
        char buffer[65536];
        while (got.find("!LP&") == std::string::npos ||
               got.find("\r\n", got.find("!LP&")) == std::string::npos) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return 1;
            got.append(buffer, std::size_t(n));
        }
        (void)!::send(fd, "OK", 2, MSG_NOSIGNAL);

        const long before = rssMb();
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
            peak = std::max(peak, rssMb());
        }
        stop = true;
        writer.join();
        (void)!::write(toChild[1], "E", 1);
        const long atEnd = rssMb();
        std::size_t waiting = 0;
        QMetaObject::invokeMethod(
            window,
            [&] {
                auto lock = LockChains();
                if (Klient* desk = Klient::ZnajdzPoIDFB("1"))
                    waiting = desk->Komendy.size();
            },
            Qt::BlockingQueuedConnection);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        ::close(toChild[1]);
        long afterEnd = -1;
        (void)!::read(fromChild[0], &afterEnd, sizeof afterEnd);
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
    });
    form.reset();
    ::waitpid(child, nullptr, 0);
    return result;
}
