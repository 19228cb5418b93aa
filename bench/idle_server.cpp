// The idle server: the link to the exchange simulator up, `clients`
// simulated clients logged in, and then nothing happening for `seconds`.
// Reported per thread of the server process: its share of a core (utime +
// stime from /proc/self/task/<tid>/stat, and the run time from schedstat) and
// its wake-ups per second (voluntary + non-voluntary context switches).
// The simulators run in a child process, so that every thread measured is
// the server's own. Each client says "PING" every 40 s, as real clients keep
// their connection alive.
// Usage: idle_server [seconds=60] [clients=100]
#include "BenchSupport.h"
#include "ClientServiceBench.h"
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "ui/Application.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using bench::freePort;
using bench::logIn;

using Clock = std::chrono::steady_clock;
constexpr int PingEverySeconds = 40;
constexpr int SettleSeconds = 5;

bool writeInt(int fd, int value) {
    return ::write(fd, &value, sizeof value) == sizeof value;
}

bool readInt(int fd, int& value) {
    return ::read(fd, &value, sizeof value) == sizeof value;
}

// ---- the child: the exchange and the clients ----

// Tells the parent the exchange's port, takes the client port, logs the
// clients in, says "ready" (1) or failed (0), then keeps them until the
// parent closes its end.
int runSimulators(int toParent, int fromParent, int clients) {
    sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
    if (!exchange.Start() || !writeInt(toParent, exchange.Port()))
        return 1;
    int clientPort = 0;
    if (!readInt(fromParent, clientPort))
        return 1;
    if (!exchange.WaitForLogin(1, 60000)) {
        std::fprintf(stderr, "no exchange log-in\n");
        writeInt(toParent, 0);
        return 1;
    }
    std::vector<std::unique_ptr<sim::ClientSimulator>> crowd;
    for (int i = 0; i < clients; ++i) {
        crowd.push_back(std::make_unique<sim::ClientSimulator>());
        if (!logIn(*crowd.back(), clientPort, i + 1)) {
            std::fprintf(stderr, "client %d did not log in\n", i + 1);
            writeInt(toParent, 0);
            return 1;
        }
    }
    writeInt(toParent, 1);
    // Until the parent's end closes: a ping from every client now and then.
    for (;;) {
        pollfd p{fromParent, POLLIN, 0};
        if (::poll(&p, 1, PingEverySeconds * 1000) != 0)
            break;
        for (auto& client : crowd)
            client->SendRequest("PING");
    }
    return 0;
}

// ---- the parent: the server's threads ----

struct ThreadSample {
    std::string name;
    unsigned long long ticks = 0;    // utime + stime
    unsigned long long runNs = 0;    // schedstat
    unsigned long long switches = 0; // voluntary + non-voluntary
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::map<int, ThreadSample> sampleThreads() {
    std::map<int, ThreadSample> threads;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return threads;
    while (dirent* entry = ::readdir(dir)) {
        const int tid = std::atoi(entry->d_name);
        if (tid <= 0)
            continue;
        const std::string base = "/proc/self/task/" + std::to_string(tid) + "/";
        ThreadSample sample;
        const std::string stat = readFile(base + "stat");
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        sample.name = stat.substr(open + 1, close - open - 1);
        // After the name: state (field 3) ... utime (14), stime (15).
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14 || i == 15)
                sample.ticks += std::stoull(field);
        }
        std::istringstream(readFile(base + "schedstat")) >> sample.runNs;
        std::istringstream status(readFile(base + "status"));
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("voluntary_ctxt_switches:") ||
                line.starts_with("nonvoluntary_ctxt_switches:"))
                sample.switches += std::stoull(line.substr(line.find(':') + 1));
        }
        threads[tid] = sample;
    }
    ::closedir(dir);
    return threads;
}

void report(const std::map<int, ThreadSample>& before, const std::map<int, ThreadSample>& after,
            double seconds) {
    const double tick = 1.0 / double(::sysconf(_SC_CLK_TCK));
    std::printf("%-16s %8s %12s %14s %12s\n", "thread", "tid", "cpu% (stat)", "cpu% (sched)", "wake-ups/s");
    double totalStat = 0, totalSched = 0, totalWakes = 0;
    for (const auto& [tid, end] : after) {
        auto start = before.find(tid);
        const ThreadSample zero;
        const ThreadSample& from = start == before.end() ? zero : start->second;
        const double stat = 100.0 * double(end.ticks - from.ticks) * tick / seconds;
        const double sched = 100.0 * double(end.runNs - from.runNs) / 1e9 / seconds;
        const double wakes = double(end.switches - from.switches) / seconds;
        std::printf("%-16s %8d %12.3f %14.4f %12.2f\n", end.name.c_str(), tid, stat, sched, wakes);
        if (end.name != "bench-driver") {
            totalStat += stat;
            totalSched += sched;
            totalWakes += wakes;
        }
    }
    std::printf("%-16s %8s %12.3f %14.4f %12.2f\n", "server total", "", totalStat, totalSched, totalWakes);
}

// Every thread but the driver is the server's; the GUI thread is named here,
// once the others are made, so that they keep the program's own name unless
// they name themselves.
int measure(pthread_t gui, int toChild, int fromChild, int seconds) {
    ::pthread_setname_np(::pthread_self(), "bench-driver");
    ::pthread_setname_np(gui, "halvex-gui");
    int ready = 0;
    if (!readInt(fromChild, ready) || ready != 1) {
        std::fprintf(stderr, "the simulators did not get ready\n");
        return 1;
    }
    // The log-ins' notices and the first link check settle.
    std::this_thread::sleep_for(std::chrono::seconds(SettleSeconds));
    const auto startAt = Clock::now();
    const auto before = sampleThreads();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto after = sampleThreads();
    const double elapsed = std::chrono::duration<double>(Clock::now() - startAt).count();
    std::printf("idle server: %d s, link up, clients logged in, nothing happening\n", seconds);
    report(before, after, elapsed);
    ::close(toChild);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int clients = argc > 2 ? std::atoi(argv[2]) : 100;
    int up[2], down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        ::close(up[0]);
        ::close(down[1]);
        std::_Exit(runSimulators(up[1], down[0], clients));
    }
    ::close(up[1]);
    ::close(down[0]);
    int exchangePort = 0;
    if (!readInt(up[0], exchangePort))
        return 1;

    bench::Sandbox dir;
    ui::TApplication app(argc, argv);
    QUdpSocket broadcasts;
    auto form = bench::quietForm(broadcasts);
    form->LogFilePath = (dir.path() + QStringLiteral("/halvex.log")).toStdString();
    bench::addListedUsers(*form, clients);
    form->Settings.PortTCP = freePort();
    form->WlaczSerwerClick();
    bench::connectExchange(*form, exchangePort);
    if (!writeInt(down[1], form->Settings.PortTCP))
        return 1;

    const pthread_t gui = ::pthread_self();
    const int result = bench::measureWhileLooping([&] { return measure(gui, down[1], up[0], seconds); });
    form.reset();
    int status = 0;
    ::waitpid(child, &status, 0);
    return result;
}
