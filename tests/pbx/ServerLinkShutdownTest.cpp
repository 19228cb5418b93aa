// The real program with its exchange link logged in to the simulator: a
// SIGTERM while the link thread waits in a read ends the process within the
// shutdown's bound, with exit code 0.
#include "platform/RegistryStore.h"
#include "support/ExchangeSimulator.h"
#include "support/HalvexProcess.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

void configureLink(const testing_support::Sandbox& sandbox, int port,
                   const sim::ExchangeSimulator& exchange) {
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteInteger("Centrala", 2);
    key.WriteInteger("Port", port);
    key.WriteString("TCPCentr", "127.0.0.1");
    key.WriteInteger("PortTCPCent", exchange.Port());
    // No database here: the attach fails at once and is retried later.
    key.WriteString("IPFBase", "127.0.0.1");
    key.WriteString("NameFB", sandbox.file("none/RovaZAD.fdb"));
}

void stopWhileTheLinkReads(sim::Transport transport, int port) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    testing_support::Sandbox sandbox;
    sim::ExchangeSimulator exchange(sim::Family::Vantrel, transport);
    ASSERT_TRUE(exchange.Start());
    if (transport == sim::Transport::Pty)
        sandbox.setEnv("HALVEX_COM1", exchange.SlavePath());
    configureLink(sandbox, port, exchange);

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
