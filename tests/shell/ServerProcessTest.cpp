// The real program, started as a user would start it on a machine without a
// display.
#include "support/HalvexProcess.h"

#include <csignal>
#include <gtest/gtest.h>

using testing_support::HalvexProcess;
using testing_support::Sandbox;

TEST(ServerProcess, StartsHeadlessAndStopsCleanlyOnSigterm) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    ASSERT_TRUE(halvex.waitForLog("Odczyt wartości ValidityPeriod")) << halvex.standardError();
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit());
    EXPECT_EQ(halvex.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvex.exitCode(), 0);
}

TEST(ServerProcess, ASecondCopyWarnsAndEndsWithoutCreatingAnything) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    HalvexProcess first(sandbox);
    first.start({"DEBUG"});
    ASSERT_TRUE(first.waitForLog("Odczyt wartości ValidityPeriod"));
    const std::string settings = testing_support::readFile(sandbox.machineRegistryFile());

    HalvexProcess second(sandbox, "halvex-second");
    second.start({"DEBUG"});
    ASSERT_TRUE(second.waitForExit());
    EXPECT_EQ(second.exitCode(), 0);
    const std::string warning = second.standardError();
    EXPECT_TRUE(warning.find("Aplikacja serwera jest już uruchomiona na tym komputerze") !=
                    std::string::npos ||
                warning.find("Server is already running on this computer") != std::string::npos)
        << warning;
    EXPECT_EQ(testing_support::readFile(sandbox.machineRegistryFile()), settings);

    first.signal(SIGTERM);
    ASSERT_TRUE(first.waitForExit());
    EXPECT_EQ(first.exitCode(), 0);
}

TEST(ServerProcess, ACopyLeftByACrashDoesNotBlockTheNextStart) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    {
        HalvexProcess crashed(sandbox);
        crashed.start();
        ASSERT_TRUE(crashed.process().waitForStarted());
        crashed.signal(SIGKILL);
        crashed.waitForExit();
    }
    HalvexProcess next(sandbox, "halvex-next");
    next.start({"DEBUG"});
    EXPECT_TRUE(next.waitForLog("Odczyt wartości ValidityPeriod"));
    next.signal(SIGTERM);
    EXPECT_TRUE(next.waitForExit());
}
