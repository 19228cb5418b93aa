// The road of an incoming call on loopback, the main window running its real
// event loop, the exchange simulator on the window's own link and simulated
// clients on the client port:
//  1. from the exchange writing the ringing records ("C10" and "DM") to the
//     client of the extension receiving the caller ("!DM") over TCP, and to a
//     UDP listener receiving the ringing notice ("!DZ"): median and 99th
//     percentile, with the server otherwise idle and with `others` more
//     clients logged in; and the share of it from the link thread having
//     appended the records to the caller reaching the client;
//  2. dispatcher throughput: call records per second, from the exchange
//     writing a burst to the dispatcher having handled its last record.
// No database: the measured records write no history.
// Usage: call_road [calls=1000] [others=500] [burst calls=20000]
#include "BenchSupport.h"
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

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

bool waitUntil(const std::function<bool()>& condition, int capMs = 60000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(capMs);
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}

// What the desk's client saw, stamped on its reading thread.
struct Arrivals {
    std::mutex mutex;
    std::string awaitedNotice;
    Clock::time_point noticeAt{};
    std::atomic<bool> noticeSeen{false};
    std::atomic<int> ringings{0};
    std::atomic<Clock::rep> lastRingingAt{0};
};

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

    bool calls(int count, const char* label) {
        std::mt19937 random(4711);
        std::uniform_int_distribution<int> gapMs(2, 20);
        std::vector<double> tcp, udp, fromLink;
        for (int i = 0; i < count; ++i) {
            const std::string caller = "6001" + std::to_string(10000 + i);
            const std::string arrives = "C11 05 3 " + caller;
            if (!play(arrives + "\r\n", std::uint32_t(arrives.size())))
                return fail("the call was not taken");
            {
                std::lock_guard lock(arrivals_.mutex);
                arrivals_.awaitedNotice = "!DM&3&" + caller + "&201&\r\n";
                arrivals_.noticeSeen = false;
            }
            const int ringings = arrivals_.ringings.load();
            const std::string ringing = "C10 05 201\r\nDM 3&" + caller + "&201&\r\n";
            // Each record and the empty line after its LF, each with its NUL.
            const std::uint32_t received =
                form_.Pbx().Shared().ReceivedBytes.load() + std::uint32_t(ringing.size());
            const auto start = Clock::now();
            exchange_.SendRaw(ringing);
            if (!waitUntil([&] { return form_.Pbx().Shared().ReceivedBytes.load() >= received; }))
                return fail("the ringing was not received");
            const auto appended = Clock::now();
            if (!waitUntil(
                    [&] { return arrivals_.noticeSeen.load() && arrivals_.ringings.load() > ringings; }))
                return fail("the caller or the ringing did not arrive");
            std::lock_guard lock(arrivals_.mutex);
            tcp.push_back(msBetween(start, arrivals_.noticeAt));
            fromLink.push_back(std::max(0.0, msBetween(appended, arrivals_.noticeAt)));
            udp.push_back(
                msBetween(start, Clock::time_point(Clock::duration(arrivals_.lastRingingAt.load()))));
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));
        }
        report(label, "caller over TCP (!DM)", tcp);
        report(label, "ringing over UDP (!DZ)", udp);
        report(label, "caller, from the link's append", fromLink);
        return true;
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
        std::printf("%-20s %-32s n=%zu median %.3f ms  p99 %.3f ms  max %.3f ms\n", label, what, ms.size(),
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

bool logIn(sim::ClientSimulator& client, int port, int user) {
    if (!client.Connect(port) || !client.LogIn("user" + std::to_string(user), "pw" + std::to_string(user)))
        return false;
    return waitUntil([&] {
        for (const std::string& reply : client.Replies())
            if (reply == "OK")
                return true;
        return false;
    });
}

int drive(TForm1& form, sim::ExchangeSimulator& exchange, int clientPort, int udpPort, int calls, int others,
          int burstCalls) {
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
        if (datagram == "!DZ&201&\r\n") {
            arrivals.lastRingingAt = Clock::now().time_since_epoch().count();
            ++arrivals.ringings;
        }
    };
    if (!desk.ListenUdp(udpPort) || !logIn(desk, clientPort, 1)) {
        std::fprintf(stderr, "the desk did not log in\n");
        return 1;
    }
    // Let the log-in's notices and the link settle.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    Road road(form, exchange, arrivals);
    if (!road.calls(calls, "idle server"))
        return 1;

    std::vector<std::unique_ptr<sim::ClientSimulator>> crowd;
    for (int i = 0; i < others; ++i) {
        crowd.push_back(std::make_unique<sim::ClientSimulator>());
        if (!logIn(*crowd.back(), clientPort, i + 2)) {
            std::fprintf(stderr, "client %d did not log in\n", i + 2);
            return 1;
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const std::string label = std::to_string(others) + " other clients";
    if (!road.calls(calls, label.c_str()))
        return 1;
    return road.throughput(burstCalls) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int others = argc > 2 ? std::atoi(argv[2]) : 500;
    const int burstCalls = argc > 3 ? std::atoi(argv[3]) : 20000;
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
    for (int i = 1; i <= others + 1; ++i) {
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
        [&] { return drive(*form, exchange, form->Settings.PortTCP, udpPort, calls, others, burstCalls); });
    form.reset();
    return result;
}
