// The client port under abuse while 100 clients are logged in, the main
// window built in-process with its client service open on 127.0.0.1:
//  0. no abuse;
//  1. one logged-in client sends its log-in 100 times in one write and
//     never acknowledges;
//  2. 1000 connections send "!PING" and then nothing (and, 46 s of the
//     program's clock later, the client check runs);
//  3. connections past the process's descriptor limit (lowered by the bench).
// For each: the logged-in clients' PING round trip (p50, p99), the GUI
// thread's CPU share over a second without round trips, and whether a new
// client then logs in within 5 s.
// Between phases the bench clears the count of unacknowledged log-ins, so
// each phase sees its own abuse only.
// Usage: client_port_abuse [clients=100] [rounds=20]
#include "BenchSupport.h"
#include "ClientServiceBench.h"
#include "platform/Clock.h"
#include "support/ClientSimulator.h"
#include "ui/Application.h"

#include <QTcpServer>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Runs `work` on the GUI thread and waits for it.
template <typename Work> auto onGui(Work work) {
    decltype(work()) result{};
    QMetaObject::invokeMethod(
        qApp, [&] { result = work(); }, Qt::BlockingQueuedConnection);
    return result;
}

struct Replies {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<int> oks;
};

class GuiCpu {
  public:
    explicit GuiCpu(pthread_t gui) { pthread_getcpuclockid(gui, &clock_); }
    double seconds() const {
        timespec t{};
        clock_gettime(clock_, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    }

  private:
    clockid_t clock_{};
};

struct Bench {
    int port = 0;
    int clients = 100;
    int rounds = 20;
    Replies replies;
    std::vector<std::unique_ptr<sim::ClientSimulator>> logged;
    GuiCpu cpu;
    platform::ManualClock* clock = nullptr;

    explicit Bench(pthread_t gui) : cpu(gui) {}

    bool waitOks(int who, int count, int timeoutMs) {
        std::unique_lock lock(replies.mutex);
        return replies.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                        [&] { return replies.oks[who] >= count; });
    }

    std::unique_ptr<sim::ClientSimulator> logIn(int who, int user, int timeoutMs) {
        auto client = std::make_unique<sim::ClientSimulator>();
        {
            std::lock_guard lock(replies.mutex);
            if (int(replies.oks.size()) <= who)
                replies.oks.resize(who + 1, 0);
            replies.oks[who] = 0;
        }
        client->OnMessage = [this, who](const std::string& m) {
            if (m != "OK")
                return;
            std::lock_guard lock(replies.mutex);
            ++replies.oks[who];
            replies.arrived.notify_all();
        };
        if (!client->Connect(port) || !client->LogIn(std::to_string(user), "secret") ||
            !waitOks(who, 1, timeoutMs))
            return nullptr;
        return client;
    }

    // One PING round trip per logged-in client, `rounds` times.
    std::vector<double> roundTrips() {
        std::vector<double> rtt;
        for (int r = 0; r < rounds; ++r) {
            for (int i = 0; i < clients; ++i) {
                int before;
                {
                    std::lock_guard lock(replies.mutex);
                    before = replies.oks[i];
                }
                const auto start = Clock::now();
                logged[i]->SendRequest("PING");
                if (waitOks(i, before + 1, 5000))
                    rtt.push_back(ms(Clock::now() - start));
            }
        }
        return rtt;
    }

    // The GUI thread's CPU share over one second with no round trips.
    double quietShare() {
        const auto start = Clock::now();
        const double cpuStart = cpu.seconds();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        return (cpu.seconds() - cpuStart) / (ms(Clock::now() - start) / 1e3);
    }

    void report(const char* phase, const std::function<void()>& abuse) {
        abuse();
        const double share = quietShare();
        const std::vector<double> rtt = roundTrips();
        std::printf(
            "%-34s rtt n=%zu/%d p50 %.3f ms p99 %.3f ms  GUI thread CPU (1 s, no round trips) %.0f %%\n",
            phase, rtt.size(), rounds * clients, rtt.empty() ? 0.0 : bench::percentile(rtt, 0.5),
            rtt.empty() ? 0.0 : bench::percentile(rtt, 0.99), share * 100);
    }

    // Whether one more client logs in within 5 s.
    void newcomer(const char* when) {
        const auto start = Clock::now();
        auto client = logIn(clients + 1, clients + 12, 5000);
        std::printf("   %s: a new client logs in: %s", when, client ? "yes" : "no (5 s)");
        if (client)
            std::printf(" in %.1f ms", ms(Clock::now() - start));
        std::printf("\n");
    }
};

int unloggedConnections() {
    int count = 0;
    for (Klient* k = KlientList; k; k = k->Nastepny)
        count += k->Socket && !k->Zalogowany && k->Stan != Klient::DISCONNECT;
    return count;
}

int run(Bench& b, clients::ClientService& service) {
    for (int i = 0; i < b.clients; ++i) {
        auto client = b.logIn(i, i + 1, 10000);
        if (!client) {
            std::fprintf(stderr, "client %d could not log in\n", i);
            return 1;
        }
        b.logged.push_back(std::move(client));
    }
    auto clearHold = [&] { onGui([&] { return service.PendingLogins = 0; }); };

    b.report("0 no abuse", [] {});

    std::unique_ptr<sim::ClientSimulator> greedy;
    b.report("1 log-in x100, never acknowledged", [&] {
        greedy = b.logIn(b.clients, b.clients + 11, 10000);
        if (!greedy)
            return;
        greedy->SetAck(sim::ClientSimulator::Ack::None);
        std::string hundred;
        for (int i = 0; i < 100; ++i)
            hundred += "!KL&2.04.00.00&" + std::to_string(b.clients + 11) + "&secret\r";
        greedy->Send(hundred);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    });
    b.newcomer("while it is connected");
    greedy.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    b.newcomer("after it has gone");
    clearHold();

    std::vector<int> idle;
    b.report("2 1000 x !PING, then silence", [&] { idle = sim::OpenConnections(b.port, 1000, "!PING\r"); });
    std::printf("   connections without log-in: %d open;", onGui([] { return unloggedConnections(); }));
    b.clock->advance(46'000);
    onGui([&] {
        service.InfoOKlientach();
        return 0;
    });
    const auto closing = Clock::now();
    while (onGui([] { return unloggedConnections(); }) > 0 &&
           Clock::now() - closing < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::printf(" 46 s later: %d open\n", onGui([] { return unloggedConnections(); }));
    b.newcomer("then");
    sim::CloseConnections(idle);
    clearHold();

    std::vector<int> flood;
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    b.report("3 descriptors run out", [&] {
        rlimit lowered = saved;
        lowered.rlim_cur = rlim_t(sim::HighestOpenDescriptor()) + 48;
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        // The server takes what it can meanwhile; then no descriptor is left.
        flood = sim::OpenConnections(b.port, 4096, {});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<int> more = sim::OpenConnections(b.port, 4096, {});
        flood.insert(flood.end(), more.begin(), more.end());
    });
    sim::CloseConnections(flood);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    b.newcomer("once the flood has closed");
    b.logged.clear();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int clients = argc > 1 ? std::atoi(argv[1]) : 100;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
    bench::Sandbox dir;
    platform::ManualClock clock;
    platform::setProcessClock(&clock);
    ui::TApplication app(argc, argv);
    QUdpSocket broadcasts;
    auto form = bench::quietForm(broadcasts);
    clients::ClientService& service = form->Clients();
    // Users 1 to clients + 20, each with its number as log-in and "secret"
    // as password; the list counts as loaded, so no log-in asks the database.
    form->UserLV->clear();
    for (int id = 1; id <= clients + 20; ++id) {
        const QString number = QString::number(id);
        form->UserLV->AddRow({number, "Nazwisko" + number, "Imie", number, "secret", "", "", "", "", ""});
    }
    form->UserLV->SetTag(2);
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    form->Settings.PortTCP = probe.serverPort();
    probe.close();
    form->WlaczSerwerClick();
    if (!service.IsOpen())
        return 1;

    Bench b(pthread_self());
    b.port = form->Settings.PortTCP;
    b.clients = clients;
    b.rounds = rounds;
    b.clock = &clock;
    const int result = bench::measureWhileLooping([&] { return run(b, service); });
    form.reset();
    platform::setProcessClock(nullptr);
    return result;
}
