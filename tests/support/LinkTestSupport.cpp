#include "support/LinkTestSupport.h"

#include "base/DiagnosticLog.h"

#include <QCoreApplication>
#include <chrono>
#include <thread>

namespace linktest {

void ThreadFixture::SetUp() {
    if (!event_bufor) {
        event_bufor = std::make_unique<platform::Event>("event_bufor");
        ownLock_ = true;
    }
    ServerKlient = new Klient("0.0.0.0", "serwer", nullptr, 1000);
    ServerKlient->Stan = Klient::OK;
}

void ThreadFixture::TearDown() {
    thread_.reset();
    UsunWszystkichKlientow();
    if (ownLock_)
        event_bufor.reset();
}

void ThreadFixture::startThread(pbx::LinkSettings settings) {
    thread_ = std::make_unique<pbx::TWatek>(shared, std::move(settings), &host_);
    thread_->Start();
}

std::vector<std::string> ThreadFixture::records() {
    for (const auto& line : TakeReceivedLines(shared))
        if (!line.empty() && line != "OK")
            records_.push_back(line);
    return records_;
}

void Queue(Klient* client, const std::string& command, int timeToLiveMs) {
    auto lock = LockChains();
    client->Komendy.emplace_back(command.c_str(), command.size() + 1, timeToLiveMs);
}

void RecordingHost::ShowState(const pbx::LinkStatus&) {
    ++reports;
}

bool WaitFor(const std::function<bool()>& condition, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<std::string> TakeReceivedLines(pbx::LinkShared& shared) {
    std::vector<std::string> lines;
    auto lock = LockChains();
    for (const Bufor& node : shared.ReceivedLines)
        lines.push_back(node.data);
    shared.ReceivedLines.clear();
    return lines;
}

LogCapture::LogCapture() {
    auto& s = base::Switches();
    s.LogInfo = true;
    s.chbLogRS = true;
    s.chbInfoPCTI = true;
    base::DiagnosticLog::instance().closing = 0;
    // What an earlier test left in the log (a window of its own logs while it
    // lives) is not this test's.
    base::DiagnosticLog::instance().LogQueueMain.TakeAll();
}

LogCapture::~LogCapture() {
    auto& s = base::Switches();
    s.chbLogRS = false;
    s.chbInfoPCTI = false;
    s.LogInfo = false;
}

std::vector<std::string> LogCapture::Lines() {
    std::lock_guard lock(mutex_);
    std::string line;
    while (base::DiagnosticLog::instance().LogQueueMain.TryPop(line))
        lines_.push_back(line);
    return lines_;
}

bool LogCapture::WaitForLine(const std::string& text, int ms) {
    return WaitFor(
        [&] {
            for (const auto& line : Lines())
                if (line.find(text) != std::string::npos)
                    return true;
            return false;
        },
        ms);
}

pbx::LinkSettings Settings(const sim::ExchangeSimulator& exchange, int pbxType, int divisor,
                           platform::Clock* clock) {
    pbx::LinkSettings settings;
    settings.PbxType = pbxType;
    if (exchange.SlavePath().empty()) {
        settings.PbxPort = 5;
        settings.TCPCentr = "127.0.0.1";
        settings.PortTCPCent = exchange.Port();
    } else {
        settings.PbxPort = 1;
        settings.serialDevice = exchange.SlavePath();
    }
    settings.timings = pbx::LinkTimings::Scaled(divisor);
    if (clock)
        settings.clock = clock;
    return settings;
}

} // namespace linktest
