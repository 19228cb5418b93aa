// The start-up tick of the main window against a real database on the
// server: it attaches, checks the structure and sets the SMS rows a previous
// run left in progress to failed, once.
#include "base/PasswordCodec.h"
#include "db/InterfaceDB.h"
#include "db/MessageTables.h"
#include "platform/RegistryStore.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"

class StartupTick : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        HALVEX_REQUIRE_FB_SERVER();
        testfb::UseEmbeddedEngine();
        testfb::DetachMain();
        c = {"127.0.0.1", folder.file("RovaZAD.fdb"), "SYSDBA", testfb::ServerPassword()};
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("IPFBase", c.host);
        key.WriteString("NameFB", c.path);
        key.WriteString("PasswordFB", AesEncryptToHexWire(c.password, FixedKeyText));
    }
    void TearDown() override {
        MainFormFixture::TearDown();
        testfb::DetachMain();
    }
    std::string state(const std::string& id) {
        return testfb::Isql(c, "SELECT 'STATE=' || nState FROM Sms WHERE nId = " + id + ";");
    }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
};

TEST_F(StartupTick, SmsLeftInProgressFailOnceAtTheFirstAttach) {
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    const std::string columns =
        "INSERT INTO Sms (nId, nDir, sDate, sTime, sNumber, sLine, sBody, nState, nUserId) ";
    bool inserted = false;
    const std::string output =
        testfb::Isql(c,
                     columns + "VALUES (1, 1, '2026-12-07', '10:00:00', '600', '1', 'a', 4, 1);" + columns +
                         "VALUES (2, 1, '2026-12-07', '10:00:00', '600', '1', 'b', 1, 1);" + "COMMIT;",
                     &inserted);
    ASSERT_TRUE(inserted) << output;
    testfb::DetachMain();

    createForm("DEBUG");
    form->tmrStartupTimer();
    ASSERT_EQ(form->Database().MainDbState, 0);
    EXPECT_FALSE(form->tmrStartup->Enabled());
    EXPECT_NE(state("1").find("STATE=2"), std::string::npos);
    EXPECT_NE(state("2").find("STATE=1"), std::string::npos);

    testfb::Isql(c, "UPDATE Sms SET nState = 4 WHERE nId = 1; COMMIT;");
    form->trmReconnectTimer();
    EXPECT_NE(state("1").find("STATE=4"), std::string::npos) << "only once per process";
}

// The server drops the main connection (an administrator ends it): the next
// database work notices, logs the loss, attaches again at once and runs its
// statement on the new connection; a failing statement is logged whole.
TEST_F(StartupTick, ALostMainConnectionIsLoggedAndAttachedAgain) {
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    createForm("DEBUG");
    // The test reads the log queue itself.
    form->TimerUpdateInfo->SetEnabled(false);
    form->tmrStartupTimer();
    ASSERT_EQ(form->Database().MainDbState, 0);
    ASSERT_TRUE(MainDbHandleExists());

    auto currentConnection = [this] {
        TStringList connection;
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        session.SetResultStrings(&connection);
        EXPECT_EQ(session.ExecuteSQL("SELECT CURRENT_CONNECTION FROM RDB$DATABASE"), 0);
        return connection.size() == 1 ? connection[0] : std::string();
    };
    const std::string first = currentConnection();
    ASSERT_FALSE(first.empty());
    testfb::Isql(c, "DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + first + "; COMMIT;");
    mainLogText();

    ServiceSmsDB sms(c.host, c.path, c.user, c.password);
    EXPECT_EQ(sms.CheckBadStatus(), 0);
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(form->Database().MainDbState, 0);
    EXPECT_FALSE(form->trmReconnect->Enabled());
    EXPECT_NE(mainLogText().find("Utracono połączenie z bazą danych"), std::string::npos) << mainLogText();
    const std::string second = currentConnection();
    EXPECT_FALSE(second.empty());
    EXPECT_NE(second, first);

    // With only DEBUG on (not the database switch) a failing statement still
    // leaves every message of its status in the log.
    mainLogText();
    SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
    EXPECT_NE(session.ExecuteSQL("SELEKT 1 FROM RDB$DATABASE"), 0);
    const std::string log = mainLogText();
    EXPECT_NE(log.find("Dynamic SQL Error; SQL error code = -104; Token unknown"), std::string::npos) << log;
}
