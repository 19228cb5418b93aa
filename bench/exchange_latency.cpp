// How long an exchange record waits before the GUI thread's dispatcher takes
// it, with the main window running its real event loop and the exchange
// traffic logged ("CTI"):
//  1. a record sent 1 s after a burst of 10,000 records;
//  2. single records, one at a time: from the exchange simulator writing the
//     record to the idle drain logging it (median and 99th percentile).
// Usage: exchange_latency [records=1000] [burst=10000]
#include "BenchSupport.h"
#include "pbx/PbxLink.h"
#include "platform/RegistryStore.h"
#include "shell/MainForm.h"
#include "support/ExchangeSimulator.h"
#include "ui/Application.h"
#include "ui/Dialogs.h"

#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Waits (off the GUI thread) until `counter` reaches `bytes`.
bool waitBytes(const std::atomic<std::uint32_t>& counter, std::uint32_t bytes, int capMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(capMs);
    while (counter.load() < bytes) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

// Waits until the dispatcher has handled `bytes` in all.
bool waitHandled(const pbx::LinkShared& link, std::uint32_t bytes, int capMs) {
    return waitBytes(link.HandledBytes, bytes, capMs);
}

void writeSettings(int exchangePort) {
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    key.OpenKey("\\software\\Vorlin\\Halvex", true);
    key.WriteInteger("Port", 5);
    key.WriteInteger("Centrala", 2);
    key.WriteString("TCPCentr", "127.0.0.1");
    key.WriteInteger("PortTCPCent", exchangePort);
    key.WriteInteger("AutomPrzyw", 1);
}

// Runs off the GUI thread while the form's event loop runs; returns 0 on success.
int measure(sim::ExchangeSimulator& exchange, const pbx::LinkShared& link, int records, int burst) {
    if (!exchange.WaitForLogin(1, 60000)) {
        std::fprintf(stderr, "no log-in\n");
        return 1;
    }
    // Let the link settle into its transmission loop.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::uint32_t expected = link.HandledBytes.load();

    std::string burstBytes;
    for (int i = 0; i < burst; ++i) {
        const std::string record = "C12 01 burst record " + std::to_string(i);
        burstBytes += record + "\r\n";
        expected += static_cast<std::uint32_t>(record.size());
    }
    const auto burstStart = Clock::now();
    exchange.SendRaw(burstBytes);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::string marker = "C12 02 after the burst";
    const auto markerStart = Clock::now();
    exchange.SendRecord(marker);
    expected += static_cast<std::uint32_t>(marker.size());
    if (!waitHandled(link, expected, 600000)) {
        std::fprintf(stderr, "the record after the burst was not dispatched\n");
        return 1;
    }
    std::printf("burst of %d records + 1 record 1 s later: the record dispatched %.1f ms after it was sent "
                "(%.1f ms after the burst began)\n",
                burst, msSince(markerStart), msSince(burstStart));
    // Let the panes and the file catch up before the single records.
    std::this_thread::sleep_for(std::chrono::seconds(2));

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> gapMs(5, 40);
    std::vector<double> latencies, fromChain;
    latencies.reserve(std::size_t(records));
    fromChain.reserve(std::size_t(records));
    std::uint32_t received = link.ReceivedBytes.load();
    for (int i = 0; i < records; ++i) {
        const std::string record = "C12 03 single record " + std::to_string(i);
        expected += static_cast<std::uint32_t>(record.size());
        // CR and LF each end a line: the record and an empty line, each counted with its NUL.
        received += static_cast<std::uint32_t>(record.size() + 2);
        const auto start = Clock::now();
        exchange.SendRecord(record);
        if (!waitBytes(link.ReceivedBytes, received, 60000)) {
            std::fprintf(stderr, "record %d was not received\n", i);
            return 1;
        }
        const auto appended = Clock::now();
        if (!waitHandled(link, expected, 60000)) {
            std::fprintf(stderr, "record %d was not dispatched\n", i);
            return 1;
        }
        latencies.push_back(msSince(start));
        fromChain.push_back(msSince(appended));
        // Gaps that do not keep step with the form's timers.
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));
    }
    std::printf("single records (%d): median %.2f ms, 99th percentile %.2f ms, max %.2f ms\n", records,
                bench::percentile(latencies, 0.5), bench::percentile(latencies, 0.99),
                *std::max_element(latencies.begin(), latencies.end()));
    std::printf("  of which from the link thread appending it to the dispatcher taking it: median %.2f ms, "
                "99th percentile %.2f ms\n",
                bench::percentile(fromChain, 0.5), bench::percentile(fromChain, 0.99));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int burst = argc > 2 ? std::atoi(argv[2]) : 10000;
    bench::Sandbox dir;
    ui::TApplication app(argc, argv);
    ui::setDialogs(std::make_shared<ui::HeadlessDialogs>());

    sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
    if (!exchange.Start())
        return 1;
    writeSettings(exchange.Port());
    StoredCommandLine = "DEBUG CTI";
    auto form = std::make_unique<TForm1>();
    form->tmrStartup->SetEnabled(false); // no database here
    form->LogFilePath = (dir.path() + QStringLiteral("/halvex.log")).toStdString();

    const int result =
        bench::measureWhileLooping([&] { return measure(exchange, form->Pbx().Shared(), records, burst); });
    form.reset();
    return result;
}
