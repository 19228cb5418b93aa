// The link thread against an exchange that misbehaves: one that hangs up at
// once, stops reading in the middle of a command, sends records in the same
// read as its log-in answer, floods the link, or keeps a serial line busy.
#include "pbx/ReceivedLines.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

using linktest::Queue;
using linktest::WaitFor;
using sim::ExchangeSimulator;
using sim::Family;
using sim::Fault;
using sim::Transport;

namespace {

class LinkMisbehaviourTest : public linktest::ThreadFixture {
  protected:
    // Logs in, then makes the exchange stop reading and queues a command too
    // big for the connection's buffers: the link has written only its start.
    void stallBigCommand(ExchangeSimulator& exchange, platform::ManualClock& clock, Klient& client) {
        ASSERT_TRUE(exchange.Start());
        auto settings = linktest::Settings(exchange, 2, 50, &clock);
        // A link probe sent once the command is through is answered only
        // after the exchange has read the megabytes ahead of it: the probe's
        // answer wait is the program's own, not a shortened one.
        settings.timings.tcpReadPoll = pbx::LinkTimings().tcpReadPoll;
        settings.timings.tcpLinkCheckPause = pbx::LinkTimings().tcpLinkCheckPause;
        startThread(settings);
        ASSERT_TRUE(exchange.WaitForLogin());
        ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
        exchange.PauseReading(true);
        receivedBefore_ = exchange.Received().size();
        const std::uint32_t sentBefore = shared.SentBytes.load();
        Queue(&client, bigCommand_ + "\r");
        ASSERT_TRUE(WaitFor([&] { return shared.SentBytes.load() > sentBefore; }));
    }

    // What the exchange received once it read again, up to `text`.
    std::vector<std::string> receivedAfterStall(const ExchangeSimulator& exchange) {
        std::vector<std::string> texts;
        const auto all = exchange.Received();
        for (std::size_t i = receivedBefore_; i < all.size(); ++i)
            texts.push_back(all[i].text);
        return texts;
    }

    const std::string bigCommand_ = "BIG" + std::string(8u << 20, 'x');
    std::size_t receivedBefore_ = 0;
};

TEST_F(LinkMisbehaviourTest, HangUpAtOnceIsNoLogInAndIsRetriedAfterThePause) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    auto settings = linktest::Settings(exchange, 2, 50, &clock);
    // The answer wait outlasts the simulator's accepting, so each connection
    // is counted before the link gives it up.
    settings.timings.tcpReadPoll = pbx::LinkTimings().tcpReadPoll;
    const int pause = settings.timings.retryPause;
    startThread(settings);
    ASSERT_TRUE(exchange.WaitForLogin());
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));

    exchange.SetFault(Fault::DropConnection);
    exchange.DropConnection();
    ASSERT_TRUE(WaitFor([&] { return thread_->RetryPauses() >= 1; }));
    Klient client("10.0.0.2", "client", nullptr, 0);
    Queue(&client, "KEEP\r");
    // The clock stands still between the steps: one connection per pause.
    for (int pauses = 1; pauses <= 4; ++pauses) {
        ASSERT_TRUE(WaitFor([&] { return thread_->RetryPauses() >= pauses; }));
        EXPECT_EQ(exchange.ConnectionCount(), 1 + pauses);
        clock.advance(pause);
    }
    EXPECT_FALSE(thread_->LoggedIn());
    auto lock = LockChains();
    ASSERT_EQ(client.Komendy.size(), 1u) << "a hang-up counted as a log-in emptied the queues";
    EXPECT_EQ(client.Komendy.front().data, "KEEP\r");
}

TEST_F(LinkMisbehaviourTest, RecordsInTheReadOfTheLogInAnswerAreKept) {
    for (Family family : {Family::Vantrel, Family::Morva}) {
        ExchangeSimulator exchange(family, Transport::Tcp);
        exchange.SetLoginTrailer("RING 7 100\r\nRING 7 101\r\n");
        ASSERT_TRUE(exchange.Start());
        records_.clear();
        startThread(linktest::Settings(exchange, family == Family::Morva ? 5 : 2));
        ASSERT_TRUE(exchange.WaitForLogin());
        ASSERT_TRUE(WaitFor([&] { return records().size() >= 2; }));
        EXPECT_EQ(records(), (std::vector<std::string>{"RING 7 100", "RING 7 101"}));
        thread_.reset();
    }
}

TEST_F(LinkMisbehaviourTest, PartlyWrittenCommandIsFinishedBeforeAnythingElse) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    Klient older("10.0.0.2", "older", nullptr, 0);
    Klient newer("10.0.0.3", "newer", nullptr, 0); // nearer the head of the list
    ASSERT_NO_FATAL_FAILURE(stallBigCommand(exchange, clock, older));

    Queue(&newer, "NEWER\r", 100000000);
    clock.advance(31000); // a link probe is due as well
    const int seen = host_.reports.load();
    ASSERT_TRUE(WaitFor([&] { return host_.reports.load() > seen + 1000; }));
    exchange.PauseReading(false);

    ASSERT_TRUE(exchange.WaitUntil([&] { return receivedAfterStall(exchange).size() >= 1; }, 60000));
    // The big command's answer is awaited 30 s from when the link noted it
    // went out, which may be just after the test saw it arrive: the clock
    // moves on until the next command follows.
    ASSERT_TRUE(exchange.WaitUntil([&] {
        clock.advance(1000);
        const auto commands = exchange.Commands();
        return std::find(commands.begin(), commands.end(), "NEWER") != commands.end();
    }));
    const auto texts = receivedAfterStall(exchange);
    EXPECT_TRUE(texts.front() == bigCommand_) << "first text after the stall: " << texts.front().size()
                                              << " bytes, starting " << texts.front().substr(0, 16);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "NEWER"), 1);
}

TEST_F(LinkMisbehaviourTest, StalledWriteLeavesTheChainsFree) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    Klient client("10.0.0.2", "client", nullptr, 0);
    ASSERT_NO_FATAL_FAILURE(stallBigCommand(exchange, clock, client));
    // The link goes on trying to write; whoever queues a command meanwhile
    // finds the lock free.
    int samples = 0, held = 0;
    WaitFor([&] {
        held += event_bufor->isHeld() ? 1 : 0;
        return ++samples >= 200;
    });
    EXPECT_LT(held, samples / 4) << held << " of " << samples << " looks found the lock held";
    exchange.PauseReading(false);
}

// Peak resident memory of this process since the last reset, in KiB.
// A "Vm...:" figure of this process, in KiB.
long memoryKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field))
            return std::stol(line.substr(field.size()));
    return -1;
}

long peakResidentKiB() {
    return memoryKiB("VmHWM:");
}

void resetPeakResident() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

TEST_F(LinkMisbehaviourTest, FloodsLeaveMemoryBoundedAndLoseNothing) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, 2));
    ASSERT_TRUE(exchange.WaitForLogin());
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
    resetPeakResident();
    // What earlier tests of the same process left resident is no part of it.
    const long residentBefore = memoryKiB("VmRSS:");

    // 300 MB without a line end: dropped as one over-long line.
    exchange.SendStream(std::string(65536, 'x'), 4800);
    exchange.SendRaw("\r\nEND OF STREAM\r\n");
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto r = records();
            return std::find(r.begin(), r.end(), "END OF STREAM") != r.end();
        },
        600000));
    EXPECT_EQ(records(), std::vector<std::string>{"END OF STREAM"});

    // A million records while nobody takes the lines: the link stops reading
    // when the chain is full, and the exchange waits.
    constexpr std::size_t Count = 1000000;
    const std::string record = "CALL 100000 203 4711";
    exchange.SendStream(record + "\r\n", Count);
    exchange.SendRecord("END OF BURST");
    ASSERT_TRUE(WaitFor([&] {
        auto lock = LockChains();
        return shared.ReceivedLines.size() >= ReceivedLinesLimit;
    }));
    EXPECT_FALSE(exchange.StreamDone());
    std::size_t calls = 0, others = 0, most = 0;
    bool ended = false;
    ASSERT_TRUE(WaitFor(
        [&] {
            {
                auto lock = LockChains();
                most = std::max(most, shared.ReceivedLines.size());
            }
            for (const auto& line : linktest::TakeReceivedLines(shared)) {
                if (line == record)
                    ++calls;
                else if (line == "END OF BURST")
                    ended = true;
                else if (!line.empty())
                    ++others;
            }
            return ended;
        },
        600000));
    EXPECT_EQ(calls, Count);
    EXPECT_EQ(others, 0u);
    // A full chain takes at most one more read pass.
    EXPECT_LE(most, ReceivedLinesLimit + 65536);
    const long peak = peakResidentKiB();
    ASSERT_GT(peak, 0);
    RecordProperty("peakResidentKiB", std::to_string(peak));
    RecordProperty("residentBeforeKiB", std::to_string(residentBefore));
#ifndef __SANITIZE_ADDRESS__
    // The address checker's shadow memory and quarantine say nothing of ours.
    EXPECT_LT(peak - residentBefore, 64 * 1024)
        << "peak resident memory " << peak << " KiB, " << residentBefore << " KiB before the floods";
#endif
}

TEST_F(LinkMisbehaviourTest, SerialBurstAtLineRateIsReadInStepAndCommandsGetTheirTurn) {
    ExchangeSimulator exchange(Family::Morva, Transport::Pty);
    ASSERT_TRUE(exchange.Start());
    auto settings = linktest::Settings(exchange, 5);
    // The serial loop's own rhythm, as in service.
    settings.timings.serialLoopSleep = pbx::LinkTimings().serialLoopSleep;
    settings.timings.serialLoopReadTimeout = pbx::LinkTimings().serialLoopReadTimeout;
    startThread(settings);
    ASSERT_TRUE(exchange.WaitForLogin());
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
    Klient client("10.0.0.2", "client", nullptr, 0);

    // Short records at 115200 baud (8N1: 11520 bytes a second), about two seconds of them.
    constexpr std::size_t Count = 6000;
    exchange.SendStream("R1\r\n", Count, 11520);
    const auto countRecords = [&] { return std::count(records_.begin(), records_.end(), "R1"); };
    ASSERT_TRUE(WaitFor([&] {
        records();
        return countRecords() >= static_cast<long>(Count / 2);
    }));
    Queue(&client, "MID\r", 1000);
    ASSERT_TRUE(exchange.WaitForCommand("MID"));
    ASSERT_TRUE(WaitFor([&] {
        records();
        return countRecords() >= static_cast<long>(Count);
    }));
    EXPECT_EQ(countRecords(), static_cast<long>(Count));
    for (const auto& r : exchange.Received()) {
        if (r.text == "MID") {
            EXPECT_GT(r.streamLeft, 0u) << "the command reached the exchange only after its burst";
        }
    }
}

} // namespace
