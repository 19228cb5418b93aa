// The start-up tick of the main window against a real database on the
// server: it attaches, checks the structure and sets the SMS rows a previous
// run left in progress to failed, once.
#include "base/PasswordCodec.h"
#include "db/InterfaceDB.h"
#include "db/MessageTables.h"
#include "platform/RegistryStore.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"

#include <QDir>
#include <QFileInfo>
#include <sys/stat.h>

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

// A server that refuses the password: nothing of the server's raw status
// reaches stderr; stderr says the failure at once, with the server, its port
// and the database, and not again while it stays the same. With a display
// the first three failures are in the log only, and the fourth and every
// later one show their box, the same failure again included.
TEST_F(StartupTick, ARefusedPasswordIsSaidAtOnceOnStderrAndBoxedFromTheFourthFailureOn) {
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    testfb::DetachMain();
    {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("PasswordFB", AesEncryptToHexWire("not-the-password", FixedKeyText));
    }
    createForm("DEBUG");
    OpenFailureCount = 0;
    testing::internal::CaptureStderr();
    form->tmrStartupTimer();
    const std::string first = testing::internal::GetCapturedStderr();
    const std::string line =
        "Halvex: cannot attach the database " + c.path + " on the Firebird server 127.0.0.1 port 3050: ";
    EXPECT_NE(first.find(line), std::string::npos) << "said at the first failure: " << first;
    EXPECT_TRUE(dialogs->Calls().empty());

    testing::internal::CaptureStderr();
    for (int i = 0; i < 4; ++i)
        form->trmReconnectTimer();
    const std::string later = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(MainDbHandleExists());
    EXPECT_EQ(later.find(line), std::string::npos) << "the same failure is not said again: " << later;
    for (const std::string& said : {first, later}) {
        EXPECT_EQ(said.find("ISC STATUS"), std::string::npos) << said;
        EXPECT_EQ(said.find("SQLCODE"), std::string::npos) << said;
    }
    const auto calls = dialogs->Calls();
    ASSERT_EQ(calls.size(), 2u) << "the fourth and the fifth failure";
    EXPECT_NE(calls[0].text.find("password"), std::string::npos) << calls[0].text;
    EXPECT_EQ(calls[1].text, calls[0].text);
    EXPECT_TRUE(form->trmReconnect->Enabled());
}

// The database file's folder is not there yet at start: the creation fails,
// and the reconnect timer tries again until the folder exists. The question
// and the failure are put to the administrator once, not at every try; the
// failure comes with the server's own words.
class StartupTickWithoutFolder : public testing_support::MainFormFixture {
  protected:
    void TearDown() override {
        MainFormFixture::TearDown();
        testfb::DetachMain();
    }
};

TEST_F(StartupTickWithoutFolder, ADatabaseThatCannotBeCreatedIsTriedAgainUntilItIs) {
    HALVEX_REQUIRE_FB_SERVER();
    testfb::UseEmbeddedEngine();
    testfb::DetachMain();
    testfb::DatabaseFolder folder;
    const std::string missing = folder.file("later");
    {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("IPFBase", "127.0.0.1");
        key.WriteString("NameFB", missing + "/RovaZAD.fdb");
        key.WriteString("PasswordFB", AesEncryptToHexWire(testfb::ServerPassword(), FixedKeyText));
    }
    createForm("DEBUG");
    form->tmrStartupTimer();
    EXPECT_EQ(form->Database().MainDbState, -1);
    ASSERT_TRUE(form->trmReconnect->Enabled()) << "the failed creation is tried again";
    for (int i = 0; i < 3; ++i) {
        form->trmReconnectTimer();
        EXPECT_TRUE(form->trmReconnect->Enabled());
    }
    EXPECT_FALSE(MainDbHandleExists());
    const auto calls = dialogs->Calls();
    ASSERT_EQ(calls.size(), 2u) << "asked and failed once, however often it is tried";
    EXPECT_NE(calls[1].text.find("No such file or directory"), std::string::npos) << calls[1].text;

    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(missing)));
    // The server (user firebird) creates the file there.
    ASSERT_EQ(::chmod(missing.c_str(), 0777), 0);
    form->trmReconnectTimer();
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(form->Database().MainDbState, 0);
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(missing + "/RovaZAD.fdb")));
}
