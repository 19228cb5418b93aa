// Helpers for tests of the exchange link: a host that records what the link
// thread reports, the lock and the server's record the thread expects, the
// received chain read back, and the log read back.
#pragma once

#include "clients/Klient.h"
#include "pbx/LinkThread.h"
#include "platform/Event.h"
#include "support/ExchangeSimulator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace linktest {

class RecordingHost : public pbx::LinkThreadHost {
  public:
    void ShowState(const pbx::LinkStatus& status) override;
    void EnableLinkMenu() override {}
    void ShowTcpSetupError() override { ++setupErrors; }
    void ThreadEnded() override { ended = true; }

    std::atomic<int> reports{0};
    std::atomic<int> setupErrors{0};
    std::atomic<bool> ended{false};
};

// Waits for `condition`, at most `ms`, processing Qt events meanwhile.
bool WaitFor(const std::function<bool()>& condition, int ms = 30000);

// Takes every received line out of the chain, in order.
std::vector<std::string> TakeReceivedLines(pbx::LinkShared& shared);

// Turns the log on (with the link switches) and collects its lines.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    // True once a line containing `text` has been logged (waits up to `ms`).
    bool WaitForLine(const std::string& text, int ms = 30000);
    std::vector<std::string> Lines();

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A link thread of its own against a simulated exchange, with the lock and
// the server's record it expects.
class ThreadFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    void startThread(pbx::LinkSettings settings);
    // Lines received so far, empty ones (the LF of CR LF) and answers left out.
    std::vector<std::string> records();

    RecordingHost host_;
    // The thread reads these until TearDown stops the thread, after the test body.
    platform::ManualClock clock;
    pbx::LinkShared shared;
    std::unique_ptr<pbx::TWatek> thread_;
    std::vector<std::string> records_;
    bool ownLock_ = false;
};

// Queues a command in a client's chain as the queue operations do.
void Queue(Klient* client, const std::string& command, int timeToLiveMs = 0);

// The set-up a link thread of the tests runs with.
pbx::LinkSettings Settings(const sim::ExchangeSimulator& exchange, int pbxType, int divisor = 50,
                           platform::Clock* clock = nullptr);

} // namespace linktest
