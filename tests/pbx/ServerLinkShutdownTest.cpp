// The real program with its exchange link logged in to the simulator: a
// SIGTERM while the link thread waits in a read, or while a burst of records
// is logged, ends the process within the shutdown's bound, with exit code 0.
#include "platform/RegistryStore.h"
#include "support/ExchangeSimulator.h"
#include "support/HalvexProcess.h"

#include <QTcpSocket>

#include <csignal>
#include <gtest/gtest.h>

namespace {

void configureLink(int port, const sim::ExchangeSimulator& exchange) {
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteInteger("Centrala", 2);
    key.WriteInteger("Port", port);
    key.WriteString("TCPCentr", "127.0.0.1");
    key.WriteInteger("PortTCPCent", exchange.Port());
    // No database here (HalvexProcess names none): the attach fails at once
    // and is retried later.
}

void stopWhileTheLinkReads(sim::Transport transport, int port) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    testing_support::Sandbox sandbox;
    sim::ExchangeSimulator exchange(sim::Family::Vantrel, transport);
    ASSERT_TRUE(exchange.Start());
    if (transport == sim::Transport::Pty)
        sandbox.setEnv("HALVEX_COM1", exchange.SlavePath());
    configureLink(port, exchange);

    testing_support::HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG", "COM"});
    ASSERT_TRUE(exchange.WaitForLogin()) << halvex.logText();
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit());
    EXPECT_EQ(halvex.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvex.exitCode(), 0) << halvex.standardError();
    const std::string errors = halvex.standardError();
    EXPECT_EQ(errors.find("did not end in time"), std::string::npos) << "the link thread was joined";
    EXPECT_EQ(errors.find("AddressSanitizer"), std::string::npos) << errors;
}

} // namespace

TEST(ServerLinkShutdown, SigtermWhileTheSerialLinkReadsEndsCleanly) {
    stopWhileTheLinkReads(sim::Transport::Pty, 1);
}

TEST(ServerLinkShutdown, SigtermWhileTheTcpLinkReadsEndsCleanly) {
    stopWhileTheLinkReads(sim::Transport::Tcp, 5);
}

namespace {

std::string burstOf(int records, const std::string& tag) {
    std::string bytes;
    for (int i = 0; i < records; ++i)
        bytes += "C12 01 " + tag + " " + std::to_string(i) + "\r\n";
    return bytes;
}

} // namespace

// With the traffic logged, a burst must not hold the dispatcher up: the record
// after it is dispatched, and the process still stops on SIGTERM mid-burst.
TEST(ServerLinkShutdown, UnderABurstWithTrafficLoggedRecordsAreDispatchedAndSigtermEndsCleanly) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    testing_support::Sandbox sandbox;
    sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    configureLink(5, exchange);

    testing_support::HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG", "CTI"});
    ASSERT_TRUE(exchange.WaitForLogin()) << halvex.logText();
    exchange.SendRaw(burstOf(10000, "burst"));
    exchange.SendRecord("C12 02 after the burst");
    EXPECT_TRUE(halvex.waitForLog("CEN->PC <C12 02 after the burst>", std::chrono::seconds(120)));

    exchange.SendRaw(burstOf(10000, "second"));
    ASSERT_TRUE(halvex.waitForLog("CEN->PC <C12 01 second", std::chrono::seconds(120)));
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit(std::chrono::seconds(120)));
    EXPECT_EQ(halvex.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvex.exitCode(), 0) << halvex.standardError();
    EXPECT_EQ(halvex.standardError().find("did not end in time"), std::string::npos);
}

// An exchange that refuses the TCP link is tried again and again; stderr,
// all that a server without a window has, hears of it once.
TEST(ServerLink, ARefusedTcpLinkIsSaidOnceOnStderr) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    testing_support::Sandbox sandbox;
    // Bound but not listening: every connection to it is refused.
    QTcpSocket refusing;
    ASSERT_TRUE(refusing.bind(QHostAddress::LocalHost, 0));
    {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteInteger("Port", 5);
        key.WriteString("TCPCentr", "127.0.0.1");
        key.WriteInteger("PortTCPCent", refusing.localPort());
    }
    testing_support::HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG", "TCP"});
    ASSERT_TRUE(halvex.waitForLogTimes("Podłączanie centrali", 3, std::chrono::seconds(120)))
        << halvex.logText();
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit());
    const std::string errors = halvex.standardError();
    const std::string said =
        "Halvex: cannot connect to the exchange at 127.0.0.1:" + std::to_string(refusing.localPort()) +
        ": Connection refused\n";
    const auto first = errors.find(said);
    EXPECT_NE(first, std::string::npos) << errors;
    EXPECT_EQ(errors.find(said, first + 1), std::string::npos) << errors;
}
