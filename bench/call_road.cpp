// The road of an incoming call on loopback, the main window running its real
// event loop, the exchange simulator on the window's own link and simulated
// clients on the client port:
//  1. from the exchange writing the ringing records ("C10" and "DM") to the
//     client of the extension receiving the caller ("!DM") over TCP, and to a
//     UDP listener receiving the ringing notice ("!DZ"): median, 99th
//     percentile and maximum, at each number of logged-in clients given (the
//     desk's own client among them; the presence round of every 30 s falls
//     among the calls); and the share of it from the link thread having
//     appended the records to the caller reaching the client;
//  2. dispatcher throughput: call records per second, from the exchange
//     writing a burst to the dispatcher having handled its last record, with
//     the traffic log off.
// A caller or ringing not there within 5 s counts as lost: it is reported and
// the run ends with 1 once everything was measured.
// No database: the measured records write no history.
// Usage: call_road [calls=10000] [clients=1,100,500,1000] [burst calls=20000]
#include "BenchSupport.h"
#include "ClientServiceBench.h"
#include "pbx/PbxLink.h"
#include "shell/MainForm.h"
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "ui/Application.h"
#include "ui/Dialogs.h"

#include <QTcpServer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

namespace {

using bench::freePort;
using bench::logIn;
using bench::numbersOf;
using bench::waitUntil;

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// What the desk's client saw, stamped on its reading thread.
struct Arrivals {
    std::mutex mutex;
    std::string awaitedNotice;
    std::string awaitedRinging;
    Clock::time_point noticeAt{};
    Clock::time_point ringingAt{};
    std::atomic<bool> noticeSeen{false};
    std::atomic<bool> ringingSeen{false};
};

// How long a notice may take before it counts as lost.
constexpr int LostAfterMs = 5000;

class Road {
  public:
    Road(TForm1& form, sim::ExchangeSimulator& exchange, Arrivals& arrivals)
        : form_(form), exchange_(exchange), arrivals_(arrivals) {}

    // Sends the records and waits until the dispatcher took them.
    bool play(const std::string& records, std::uint32_t recordBytes) {
        const std::uint32_t expected = form_.Pbx().Shared().HandledBytes.load() + recordBytes;
        exchange_.SendRaw(records);
        return waitUntil([&] { return form_.Pbx().Shared().HandledBytes.load() >= expected; });
    }

    // False when a call was not taken or a notice was lost (the calls go on).
    bool calls(int count, const char* label) {
        std::mt19937 random(4711);
        std::uniform_int_distribution<int> gapMs(2, 10);
        std::vector<double> tcp, udp, fromLink;
        int lostCallers = 0, lostRingings = 0;
        for (int i = 0; i < count; ++i) {
            const std::string caller = "6001" + std::to_string(10000 + i);
            // Each call rings an extension of its own among a hundred, so a
            // ringing that comes late is not taken for the next call's.
            const std::string extension = std::to_string(300 + i % 100);
            const std::string arrives = "C11 05 3 " + caller;
            if (!play(arrives + "\r\n", std::uint32_t(arrives.size())))
                return fail("the call was not taken");
            {
                std::lock_guard lock(arrivals_.mutex);
                arrivals_.awaitedNotice = "!DM&3&" + caller + "&201&\r\n";
                arrivals_.awaitedRinging = "!DZ&" + extension + "&\r\n";
                arrivals_.noticeSeen = false;
                arrivals_.ringingSeen = false;
            }
            const std::string ringing = "C10 05 " + extension + "\r\nDM 3&" + caller + "&201&\r\n";
            // Each record and the empty line after its LF, each with its NUL.
            const std::uint32_t received =
                form_.Pbx().Shared().ReceivedBytes.load() + std::uint32_t(ringing.size());
            const auto start = Clock::now();
            exchange_.SendRaw(ringing);
            if (!waitUntil([&] { return form_.Pbx().Shared().ReceivedBytes.load() >= received; }))
                return fail("the ringing was not received");
            const auto appended = Clock::now();
            waitUntil([&] { return arrivals_.noticeSeen.load() && arrivals_.ringingSeen.load(); },
                      LostAfterMs);
            std::lock_guard lock(arrivals_.mutex);
            if (arrivals_.noticeSeen) {
                tcp.push_back(msBetween(start, arrivals_.noticeAt));
                fromLink.push_back(std::max(0.0, msBetween(appended, arrivals_.noticeAt)));
            } else {
                ++lostCallers;
            }
            if (arrivals_.ringingSeen)
                udp.push_back(msBetween(start, arrivals_.ringingAt));
            else
                ++lostRingings;
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));
        }
        report(label, "caller over TCP (!DM)", tcp);
        report(label, "ringing over UDP (!DZ)", udp);
        report(label, "caller, from the link's append", fromLink);
        if (lostCallers || lostRingings)
            std::printf("%-12s LOST (not within %d ms): %d callers, %d ringings of %d calls\n", label,
                        LostAfterMs, lostCallers, lostRingings, count);
        std::fflush(stdout);
        return lostCallers == 0 && lostRingings == 0;
    }

    bool throughput(int callCount) {
        // Call records of an extension without a client: ringing, off-hook
        // and answer, each broadcast or looked up as in a real call.
        std::string burst;
        std::uint32_t bytes = 0;
        int records = 0;
        for (int i = 0; i < callCount; ++i) {
            const std::string id = std::to_string(10 + i % 90);
            const std::string caller = "5001" + std::to_string(10000 + i);
            for (const std::string& r :
                 {"C11 " + id + " 2 " + caller, "C10 " + id + " 209", "DM 2&" + caller + "&209&",
                  "C01 " + id + " 209", "C15 " + id + " 209"}) {
                burst += r + "\r\n";
                bytes += std::uint32_t(r.size());
                ++records;
            }
        }
        const auto start = Clock::now();
        if (!play(burst, bytes))
            return fail("the burst was not dispatched");
        const double seconds = msBetween(start, Clock::now()) / 1000.0;
        std::printf("dispatcher throughput: %d records in %.3f s = %.0f records/s\n", records, seconds,
                    double(records) / seconds);
        return true;
    }

  private:
    static void report(const char* label, const char* what, const std::vector<double>& ms) {
        if (ms.empty())
            return;
        std::printf("%-12s %-32s n=%zu median %.3f ms  p99 %.3f ms  max %.3f ms\n", label, what, ms.size(),
                    bench::percentile(ms, 0.5), bench::percentile(ms, 0.99),
                    *std::max_element(ms.begin(), ms.end()));
    }
    static bool fail(const char* why) {
        std::fprintf(stderr, "%s\n", why);
        return false;
    }

    TForm1& form_;
    sim::ExchangeSimulator& exchange_;
    Arrivals& arrivals_;
};

int drive(TForm1& form, sim::ExchangeSimulator& exchange, int clientPort, int udpPort, int calls,
          const std::vector<int>& levels, int burstCalls) {
    if (!exchange.WaitForLogin(1, 60000)) {
        std::fprintf(stderr, "no exchange log-in\n");
        return 1;
    }
    Arrivals arrivals;
    sim::ClientSimulator desk;
    desk.OnMessage = [&](const std::string& message) {
        std::lock_guard lock(arrivals.mutex);
        if (message == arrivals.awaitedNotice) {
            arrivals.noticeAt = Clock::now();
            arrivals.noticeSeen = true;
        }
    };
    desk.OnDatagram = [&](const std::string& datagram) {
        std::lock_guard lock(arrivals.mutex);
        if (datagram == arrivals.awaitedRinging) {
            arrivals.ringingAt = Clock::now();
            arrivals.ringingSeen = true;
        }
    };
    if (!desk.ListenUdp(udpPort) || !logIn(desk, clientPort, 1)) {
        std::fprintf(stderr, "the desk did not log in\n");
        return 1;
    }
    Road road(form, exchange, arrivals);
    bool allArrived = true;
    std::vector<std::unique_ptr<sim::ClientSimulator>> crowd;
    for (const int level : levels) {
        while (int(crowd.size()) + 1 < level) {
            crowd.push_back(std::make_unique<sim::ClientSimulator>());
            if (!logIn(*crowd.back(), clientPort, int(crowd.size()) + 1)) {
                std::fprintf(stderr, "client %zu did not log in\n", crowd.size() + 1);
                return 1;
            }
        }
        // Let the log-ins' notices and the link settle.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const std::string label = std::to_string(level) + " clients";
        allArrived = road.calls(calls, label.c_str()) && allArrived;
    }
    return road.throughput(burstCalls) && allArrived ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 10000;
    const std::vector<int> levels = numbersOf(argc > 2 ? argv[2] : "1,100,500,1000");
    const int burstCalls = argc > 3 ? std::atoi(argv[3]) : 20000;
    if (levels.empty())
        return 2;
    const int clients = *std::max_element(levels.begin(), levels.end());
    // Both ends of every connection live in this process.
    if (!bench::RaiseDescriptorLimit(rlim_t(clients) * 2 + 256)) {
        std::fprintf(stderr, "too few descriptors for %d clients\n", clients);
        return 1;
    }
    bench::Sandbox dir;
    ui::TApplication app(argc, argv);
    ui::setDialogs(std::make_shared<ui::HeadlessDialogs>());
    StoredCommandLine = "";

    sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
    if (!exchange.Start())
        return 1;
    StartupOptions nothingOutside;
    nothingOutside.connectExchange = false;
    nothingOutside.attachDatabase = false;
    nothingOutside.openClientService = false;
    auto form = std::make_unique<TForm1>(nullptr, nothingOutside);
    form->LogFilePath = (dir.path() + QStringLiteral("/halvex.log")).toStdString();

    // Users whose passwords match the list, so no log-in asks the database;
    // user 1 has the phone 201.
    std::vector<clients::UserSlotUser> users;
    for (int i = 1; i <= clients; ++i) {
        const QString id = QString::number(i);
        form->UserLV->AddRow({id, "Nazwisko" + id, "Imie", "user" + id, "pw" + id, "", "", "", ""});
        users.push_back({id.toStdString(), ""});
    }
    form->UserLV->SetTag(2);
    form->Clients().FillUserSlots(users);
    form->lvAllUserPhones->AddRow({"1", "1", "201", "tel"});
    form->lvAllUserPhones->SetTag(1);

    const int udpPort = freePort();
    form->Settings.BroadcastAddress = "127.0.0.1";
    form->Settings.PortUDP = udpPort;
    form->Clients().UdpSocket->SetRemoteHost("127.0.0.1");
    form->Clients().UdpSocket->SetRemotePort(udpPort);
    form->Clients().UstawKomunikatLP();
    form->Settings.PortTCP = freePort();
    form->WlaczSerwerClick();

    form->Settings.PbxType = 2;
    form->Settings.PbxPort = 5;
    form->Settings.TCPCentr = "127.0.0.1";
    form->Settings.PortTCPCent = exchange.Port();
    form->Pbx().ConnectPbx();

    const int result = bench::measureWhileLooping(
        [&] { return drive(*form, exchange, form->Settings.PortTCP, udpPort, calls, levels, burstCalls); });
    form.reset();
    return result;
}
