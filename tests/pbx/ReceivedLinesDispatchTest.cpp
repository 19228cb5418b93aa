// The dispatcher on the GUI thread and the lines the link thread hands it:
// a line is taken as soon as it arrives, not at the next timer tick, while
// the idle handler's link-state pace still follows the timers; exchange
// traffic is logged with its control bytes made visible.
#include "pbx/PbxLink.h"
#include "support/MainFormFixture.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace {

constexpr int GenerousMs = 30000;

class ReceivedLinesDispatch : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        pbx::linkEnvironment().clock = &clock;
    }
    void TearDown() override {
        MainFormFixture::TearDown();
        pbx::linkEnvironment() = pbx::LinkEnvironment();
    }

    // A window with every timer stopped: nothing but a wake makes the event
    // loop run the dispatcher.
    TForm1& quietForm(const std::string& commandLine = "DEBUG") {
        TForm1& f = createForm(commandLine);
        for (ui::TTimer* timer : f.findChildren<ui::TTimer*>())
            timer->SetEnabled(false);
        return f;
    }

    // Runs the event loop, each time it is about to wait calling `step`,
    // until `step` says done or the deadline passes; false on the deadline.
    static bool runLoop(const std::function<bool()>& step, int ms = GenerousMs) {
        QEventLoop loop;
        bool deadline = false;
        QTimer::singleShot(ms, &loop, [&] {
            deadline = true;
            loop.quit();
        });
        const auto connection = QObject::connect(QAbstractEventDispatcher::instance(),
                                                 &QAbstractEventDispatcher::aboutToBlock, &loop, [&] {
                                                     if (step())
                                                         loop.quit();
                                                 });
        loop.exec();
        QObject::disconnect(connection);
        return !deadline;
    }

    platform::ManualClock clock;
};

TEST_F(ReceivedLinesDispatch, ALineFromTheLinkThreadIsDispatchedWithoutATimerTick) {
    pbx::LinkShared& shared = quietForm().Pbx().Shared();
    const std::string line = "C12 01 from the link thread";
    std::promise<void> loopWaits;
    std::thread link([&, waits = loopWaits.get_future()]() mutable {
        waits.wait();
        shared.AppendReceivedLine(line);
    });
    bool released = false;
    const bool dispatched = runLoop([&] {
        if (!released) {
            released = true;
            loopWaits.set_value();
        }
        return shared.HandledBytes.load() >= line.size();
    });
    link.join();
    EXPECT_TRUE(dispatched) << "the line waited for something else to wake the GUI thread";
    EXPECT_EQ(shared.HandledBytes.load(), line.size());
}

TEST_F(ReceivedLinesDispatch, WakeUpsLeaveTheLinkStatePaceToTheTimers) {
    TForm1& f = quietForm();
    pbx::LinkShared& shared = f.Pbx().Shared();
    f.Pbx().PbxLinkErrorCount = 999; // the link is down
    f.Pbx().Calls.ActiveCalls[0].CallId = "7";
    f.Pbx().Calls.ActiveCallCount = 1;

    // Many lines, each one woken on its own: every one is dispatched, and none
    // of those wake-ups counts as an idle call.
    constexpr int Lines = 250;
    std::atomic<bool> stop{false};
    std::uint32_t total = 0;
    std::thread link([&] {
        for (int i = 0; i < Lines && !stop; ++i) {
            const std::string line = "C12 01 line " + std::to_string(i);
            const std::uint32_t before = shared.HandledBytes.load();
            shared.AppendReceivedLine(line);
            while (!stop && shared.HandledBytes.load() < before + line.size())
                std::this_thread::yield();
        }
    });
    for (int i = 0; i < Lines; ++i)
        total += static_cast<std::uint32_t>(("C12 01 line " + std::to_string(i)).size());
    const bool allDispatched = runLoop([&] { return shared.HandledBytes.load() >= total; });
    stop = true;
    link.join();
    ASSERT_TRUE(allDispatched);
    EXPECT_EQ(f.Pbx().IdleCalls, 0u);
    EXPECT_EQ(f.Pbx().LinkDownSinceMs, 0);

    // The idle timer's ticks are counted: the 100th notes the link down, and
    // a later 100th, more than 30 s on, clears the call table.
    f.tmrZamowienia->setInterval(1);
    f.tmrZamowienia->SetEnabled(true);
    ASSERT_TRUE(runLoop([&] { return f.Pbx().IdleCalls >= 100; }));
    EXPECT_NE(f.Pbx().LinkDownSinceMs, 0);
    EXPECT_EQ(f.Pbx().Calls.ActiveCallCount, 1);
    clock.advance(31000);
    ASSERT_TRUE(runLoop([&] { return f.Pbx().IdleCalls >= 200; }));
    EXPECT_EQ(f.Pbx().Calls.ActiveCallCount, 0);
    EXPECT_FALSE(f.Pbx().Calls.ActiveCalls[0].inUse());

    // Back up: the next 100th ends the period without a link.
    f.Pbx().PbxLinkErrorCount = 0;
    ASSERT_TRUE(runLoop([&] { return f.Pbx().IdleCalls >= 300; }));
    EXPECT_EQ(f.Pbx().LinkDownSinceMs, 0);
}

TEST_F(ReceivedLinesDispatch, ControlBytesOfReceivedLinesAreLoggedVisibly) {
    TForm1& f = quietForm("DEBUG CTI");
    mainLogText();
    logSoFar.clear();
    f.Pbx().Shared().AppendReceivedLine(std::string("C12 01\x01\tX\x1b", 10));
    f.Pbx().ObslugaCentrali();
    const std::string log = mainLogText();
    EXPECT_NE(log.find("CEN->PC <C12 01\\x01\\x09X\\x1B>"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
}

} // namespace
