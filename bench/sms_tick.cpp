// CPU time of one polling tick of the SMS gateway over 16 GSM lines with
// 10,000 messages queued: each tick is one send step of every line (parts,
// acknowledgement waits, time-outs putting messages back, the distribution
// of the main queue), reported as median and 99th percentile.
// Usage: sms_tick [ticks=3000] [messages=10000]
#include "BenchSupport.h"
#include "sms/SmsGateway.h"
#include "sms/SmsTestHost.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

// The test host, counting what would go to the exchange.
class QuietHost : public SmsTestHost {
  public:
    void QueueExchangeLine(const std::string& line, int) override { bytes += line.size(); }
    std::size_t bytes = 0;
};

double cpuMicroseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

} // namespace

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::atoi(argv[1]) : 3000;
    const int messages = argc > 2 ? std::atoi(argv[2]) : 10000;
    QuietHost host;
    sms::SmsGateway gateway(host);
    gateway.SmsSettings.UseSms = true;
    gateway.SmsSettings.OutTrials = 5;
    gateway.SmsSettings.OutTrialsNoLimit = true; // nothing leaves: the queue stays full
    for (int line = 0; line < 16; ++line) {
        std::int32_t code = 0;
        gateway.GsmLines.GetGsmRequest();
        gateway.GsmLines.ParseGsmReply(
            "GSM PUT " + std::to_string(line) + " 6001002" + std::to_string(10 + line), code);
    }
    gateway.SmsEngine.ResetSmsPoll(&gateway.GsmLines.lines);
    gateway.SmsEngine.SyncLineQueues(gateway.GsmLines.lines);
    gateway.SmsEngine.bSmsListComplete = 1;
    const auto now = static_cast<std::int32_t>(std::time(nullptr));
    for (int i = 0; i < messages; ++i) {
        sms::SMSMSG m;
        m.nId = i;
        m.nUserId = 7;
        m.nState = sms::SMS_STATE_IN_PROGRESS;
        m.sNumber = "501502503";
        m.sPdu.assign(40 + std::size_t(i % 120), char(i));
        m.tCreated = now;
        gateway.SmsEngine.MainQueue.push_back(m);
    }
    gateway.SmsEngine.DistributeMainQueue();

    std::vector<double> costs;
    costs.reserve(std::size_t(ticks));
    for (int t = 0; t < ticks; ++t) {
        const double start = cpuMicroseconds();
        // The polling timer's SMS share of a tick, voice mail idle.
        if (!gateway.PollStep())
            gateway.SendStep();
        costs.push_back(cpuMicroseconds() - start);
    }
    std::printf("sms_tick: %d ticks, 16 lines, %d messages queued (%d still in the main queue)\n", ticks,
                messages, gateway.SmsEngine.MainQueueSize());
    std::printf("  CPU time per tick: median %.1f us, p99 %.1f us, max %.1f us; %zu bytes sent\n",
                bench::percentile(costs, 0.5), bench::percentile(costs, 0.99), bench::percentile(costs, 1.0),
                host.bytes);
    return 0;
}
