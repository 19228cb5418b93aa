// The program, started as a user starts it, against an empty folder on the
// real Firebird server: it creates its database and the whole schema.
#include "platform/RegistryStore.h"
#include "support/FirebirdFixtures.h"
#include "support/HalvexProcess.h"

#include <csignal>

namespace {

std::string userRelationCount(const testfb::Connection& c) {
    return testfb::Isql(c, "SELECT 'COUNT=' || COUNT(*) FROM RDB$RELATIONS WHERE RDB$SYSTEM_FLAG = 0;");
}

} // namespace

TEST(ServerStartup, AnEmptyFolderEndsWithADatabaseAndItsSchema) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    HALVEX_REQUIRE_FB_SERVER();
    testing_support::Sandbox sandbox;
    testfb::DatabaseFolder folder;
    testfb::Connection c{"127.0.0.1", folder.file("RovaZAD.fdb"), "SYSDBA", testfb::ServerPassword()};
    {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("IPFBase", c.host);
        key.WriteString("NameFB", c.path);
        key.WriteInteger("language", 1);
    }
    testing_support::HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG", "FIREBIRD"});

    // The last start-up step on the database: the SMS rows left in progress.
    ASSERT_TRUE(halvex.waitForLog("SMS pozostawione w trakcie wysyłania", std::chrono::seconds(90)))
        << halvex.logText();
    EXPECT_NE(userRelationCount(c).find("COUNT=16"), std::string::npos) << halvex.logText();

    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit(std::chrono::seconds(90))) << halvex.logText();
    EXPECT_EQ(halvex.exitCode(), 0) << halvex.standardError();
    EXPECT_NE(halvex.logText().find("CREATE GENERATOR ID_Msg"), std::string::npos) << halvex.logText();

    // Without a display nobody answers a question: stderr says what happens,
    // and a caption's two blanks are one in a line.
    const std::string errors = halvex.standardError();
    EXPECT_NE(errors.find("Halvex: the database file " + c.path +
                          " on the Firebird server 127.0.0.1 port 3050 is missing: creating it"),
              std::string::npos)
        << errors;
    EXPECT_EQ(errors.find("Create the database file?"), std::string::npos) << errors;
    EXPECT_NE(errors.find(": The database structure has been reconstructed by Halvex"), std::string::npos)
        << errors;
    EXPECT_EQ(errors.find("Halvex  "), std::string::npos) << errors;
}
