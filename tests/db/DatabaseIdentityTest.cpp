// A database is known by what it is: the settings may spell its server
// another way between two runs and it is still the one the kept rows were
// for; a copy of it under another file is another database; a restore of an
// older backup goes on as the database it was, and draws no key twice.
#include "db/ConnectThread.h"
#include "db/MainDatabase.h"
#include "db/RowJournal.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"
#include "support/PrivateFirebirdServer.h"
#include "support/SlowTcpProxy.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <memory>
#include <sstream>

namespace {

constexpr const char* Number = "+48600100200";

class DatabaseIdentity : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        testfb::UseEmbeddedEngine();
        testfb::DetachMain();
        ui::setDialogs(dialogs);
        ASSERT_TRUE(server.prepared()) << server.error();
        c = server.connection("RovaZAD.fdb");
        journal = state.filePath("halvex-rows.sqlite").toStdString();
    }
    void TearDown() override {
        MainFormFixture::TearDown();
        db::SetCallBound(db::DefaultCallBound);
        testfb::DetachMain();
    }

    // The server running with a database of the whole schema.
    void serverWithSchema() {
        ASSERT_TRUE(server.start()) << server.error();
        ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
        testfb::DetachMain();
    }

    // A run of the window on `c`, its rows kept in the test's journal.
    void startRun() {
        testfb::ConnectionInSettings(c);
        createForm("DEBUG");
        form->TimerUpdateInfo->SetEnabled(false);
        ASSERT_TRUE(form->Database().OpenRowJournal(journal));
        form->tmrStartupTimer();
    }

    void stopRun() {
        awaitJournaled();
        endApplicationLoop();
        form.reset();
        testfb::DetachMain();
    }

    // A desk's message written, its key given back.
    std::string writtenMessage(const std::string& body) {
        std::string token;
        auto key = std::make_shared<std::string>();
        testfb::HandDeskSms(body, Number, token, key);
        EXPECT_TRUE(testfb::AwaitRowRoad());
        return *key;
    }

    std::string messages(const testfb::Connection& of) {
        return testfb::Isql(of,
                            "SELECT 'ROWS=' || LIST(nId || ':' || sBody || ':' || nState, ',') FROM (SELECT "
                            "nId, sBody, nState FROM Sms ORDER BY nId);");
    }

    testfb::PrivateServer server;
    testfb::Connection c;
    QTemporaryDir state;
    std::string journal;
};

// The settings' other spelling of the same database: "localhost", or an
// alias of its file.
class AnotherSpelling : public DatabaseIdentity, public testing::WithParamInterface<bool> {};

// Written through "127.0.0.1/port" and kept for the database, one insert
// whose commit got no answer; the next run reaches the same database
// another way: every kept change lands on its own message, and the insert
// keeps the key its changes name.
TEST_P(AnotherSpelling, OfTheSameDatabaseTakesItsKeptRows) {
    const bool alias = GetParam();
    ASSERT_NO_FATAL_FAILURE(serverWithSchema());
    // The commit of the message "unanswered" never ends: the writer gives
    // up waiting for its answer, and its row is looked up under its key.
    bool ok = false;
    testfb::Isql(
        c,
        "SET TERM ^;\nCREATE TRIGGER SMS_HOLD FOR Sms ACTIVE AFTER INSERT "
        "POSITION 1 AS DECLARE r INTEGER; BEGIN IF (NEW.sBody = 'unanswered') THEN r = "
        "RDB$SET_CONTEXT('USER_TRANSACTION', 'HOLD', '1'); END^\nCREATE TRIGGER COMMIT_HOLD ACTIVE ON "
        "TRANSACTION COMMIT AS BEGIN IF (RDB$GET_CONTEXT('USER_TRANSACTION', 'HOLD') = '1') THEN WHILE "
        "(1 = 1) DO BEGIN END END^\nSET TERM ;^\nCOMMIT;\n",
        &ok);
    ASSERT_TRUE(ok);
    const std::string port = c.host.substr(c.host.find('/') + 1);
    c.host = "127.0.0.1/" + port;
    ASSERT_NO_FATAL_FAILURE(startRun());
    ASSERT_TRUE(testfb::AwaitRowRoad());
    const std::string first = writtenMessage("first");
    const std::string second = writtenMessage("second");
    db::SetCallBound(std::chrono::milliseconds(1000));
    std::string unanswered;
    testfb::HandDeskSms("unanswered", Number, unanswered);
    ASSERT_TRUE(awaitLoss());
    testfb::HandSmsState(first, Number, "5");
    testfb::HandSmsState(second, Number, "3");
    testfb::HandSmsState(db::KeyOfRow(unanswered), Number, "5");
    server.kill();
    ASSERT_NO_FATAL_FAILURE(stopRun());

    ASSERT_TRUE(!alias || server.addAlias("halvexmain", "RovaZAD.fdb"));
    ASSERT_TRUE(server.start()) << server.error();
    testfb::Isql(c, "DROP TRIGGER COMMIT_HOLD;\nCOMMIT;\n", &ok);
    ASSERT_TRUE(ok);
    c.host = (alias ? "127.0.0.1/" : "localhost/") + port;
    if (alias)
        c.path = "halvexmain";
    ASSERT_NO_FATAL_FAILURE(startRun());
    EXPECT_TRUE(replayed());
    const std::string log = mainLogText();
    EXPECT_NE(messages(c).find("ROWS=1:first:5,2:second:3,3:unanswered:5\n"), std::string::npos)
        << messages(c) << log;
    EXPECT_EQ(log.find("Nie zastosowano"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(DatabaseIdentity, AnotherSpelling, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "AnAlias" : "Localhost";
                         });

// An insert whose commit the server applied but whose answer never came,
// written through a relay ("127.0.0.1/<relay>"); the next run reaches the
// server as "localhost/<port>": the commit is found by its key there, and
// the message is in the table once.
TEST_F(DatabaseIdentity, ACommitAppliedButUnansweredIsFoundUnderAnotherSpellingOfItsServer) {
    ASSERT_NO_FATAL_FAILURE(serverWithSchema());
    const std::string port = c.host.substr(c.host.find('/') + 1);
    const testfb::Connection direct = c;
    testing_support::SlowTcpProxy relay(std::stoi(port), std::chrono::milliseconds(0));
    ASSERT_NE(relay.port(), 0);
    c.host = "127.0.0.1/" + std::to_string(relay.port());
    ASSERT_NO_FATAL_FAILURE(startRun());
    ASSERT_TRUE(testfb::AwaitRowRoad());
    // The chunks of one message's commit, counted on messages of their own
    // after the first (which does more). The client sends some requests
    // late, with a later one, so the count of the next message may differ:
    // a hold that comes before a commit has the message written again after
    // the reconnect, one that comes later falls in the next message.
    std::vector<std::string> bodies{"first", "second", "third"};
    std::size_t chunks = 0;
    for (const std::string& body : bodies) {
        const std::size_t before = relay.chunksToServer();
        writtenMessage(body);
        const std::size_t counted = relay.chunksToServer() - before;
        if (body != bodies.front())
            chunks = chunks == 0 ? counted : std::min(chunks, counted);
    }
    db::SetCallBound(std::chrono::milliseconds(1000));
    // Every chunk of the commit passes; no answer comes back.
    relay.holdAfterChunksToServer(chunks);
    bool applied = false;
    for (int message = 0; message < 12 && !applied; ++message) {
        bodies.push_back("unanswered " + std::to_string(message));
        std::string token;
        testfb::HandDeskSms(bodies.back(), Number, token);
        ASSERT_TRUE(testfb::AwaitRowRoad());
        if (form->Database().Road().Idle())
            continue;
        ASSERT_TRUE(awaitLoss());
        relay.dropConnections();
        relay.hold(false);
        applied = messages(direct).find(":" + bodies.back() + ":") != std::string::npos;
        if (!applied) {
            form->trmReconnectTimer();
            ASSERT_TRUE(replayed());
            relay.holdAfterChunksToServer(chunks);
        }
    }
    ASSERT_TRUE(applied) << "no commit was applied unanswered\n" << messages(direct);
    db::SetCallBound(db::DefaultCallBound);
    ASSERT_NO_FATAL_FAILURE(stopRun());

    c.host = "localhost/" + port;
    ASSERT_NO_FATAL_FAILURE(startRun());
    EXPECT_TRUE(replayed());
    const std::string log = mainLogText();
    // Each message once, in order, whatever keys the messages written again drew.
    std::string expected, stored;
    for (const std::string& body : bodies)
        expected += body + ":0,";
    const std::string listed = messages(c);
    const std::size_t at = listed.find("ROWS=");
    std::istringstream rows(at == std::string::npos ? ""
                                                    : listed.substr(at + 5, listed.find('\n', at) - at - 5));
    for (std::string row; std::getline(rows, row, ',');)
        stored += row.substr(row.find(':') + 1) + ",";
    EXPECT_EQ(stored, expected) << listed << log;
    EXPECT_NE(log.find("Sprawdzono, jest w bazie danych: INSERT INTO Sms"), std::string::npos) << log;
}

// A backup of the database restored as another file is another database:
// the first one's kept changes change none of its rows, said in the log.
TEST_F(DatabaseIdentity, ABackupRestoredAsAnotherFileTakesNoKeptChangeOfTheFirst) {
    ASSERT_NO_FATAL_FAILURE(serverWithSchema());
    ASSERT_NO_FATAL_FAILURE(startRun());
    ASSERT_TRUE(testfb::AwaitRowRoad());
    const std::string key = writtenMessage("in the first");
    const std::string backup = state.filePath("first.fbk").toStdString();
    std::string output;
    ASSERT_EQ(testfb::GbakBackup(c, backup, &output), 0) << output;
    server.kill();
    testfb::HandSmsState(key, Number, "5");
    ASSERT_NO_FATAL_FAILURE(stopRun());

    ASSERT_TRUE(server.start()) << server.error();
    const testfb::Connection copy = server.connection("copy.fdb");
    ASSERT_EQ(testfb::GbakRestore(copy, backup, &output), 0) << output;
    c = copy;
    ASSERT_NO_FATAL_FAILURE(startRun());
    EXPECT_TRUE(replayed());
    const std::string log = mainLogText();
    EXPECT_NE(messages(copy).find("ROWS=1:in the first:0\n"), std::string::npos) << messages(copy);
    EXPECT_NE(log.find("Nie zastosowano w bazie danych " + copy.path + ", wiersz jest z bazy danych " +
                       server.connection("RovaZAD.fdb").path + ": UPDATE Sms"),
              std::string::npos)
        << log;
}

// Keys drawn, their changes kept at the stop, an older backup restored
// meanwhile: the next run draws each key past every one given before, the
// kept changes find no row (said), and late ones change no new message.
TEST_F(DatabaseIdentity, ARestoreOfAnOlderBackupDrawsNoKeyTwiceAndLateChangesFindNoNewMessage) {
    ASSERT_NO_FATAL_FAILURE(serverWithSchema());
    ASSERT_NO_FATAL_FAILURE(startRun());
    ASSERT_TRUE(testfb::AwaitRowRoad());
    ASSERT_EQ(writtenMessage("kept by the backup"), "1");
    const std::string backup = state.filePath("older.fbk").toStdString();
    std::string output;
    ASSERT_EQ(testfb::GbakBackup(c, backup, &output), 0) << output;
    std::vector<std::string> lost;
    for (const char* body : {"lost 1", "lost 2", "lost 3"})
        lost.push_back(writtenMessage(body));
    ASSERT_EQ(lost, (std::vector<std::string>{"2", "3", "4"}));
    server.kill();
    testfb::HandSmsState(lost[0], Number, "5");
    ASSERT_NO_FATAL_FAILURE(stopRun());

    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_EQ(testfb::GbakReplace(c, backup, &output), 0) << output;
    ASSERT_NO_FATAL_FAILURE(startRun());
    EXPECT_TRUE(replayed());
    std::vector<std::string> fresh;
    for (const char* body : {"new 1", "new 2", "new 3"})
        fresh.push_back(writtenMessage(body));
    EXPECT_EQ(fresh, (std::vector<std::string>{"5", "6", "7"}));
    for (const std::string& key : lost)
        testfb::HandSmsState(key, Number, "5");
    EXPECT_TRUE(testfb::AwaitRowRoad());
    const std::string log = mainLogText();
    EXPECT_NE(messages(c).find("ROWS=1:kept by the backup:0,5:new 1:0,6:new 2:0,7:new 3:0\n"),
              std::string::npos)
        << messages(c) << log;
    EXPECT_NE(log.find("Nie zastosowano w bazie danych, nie ma w niej tego wiersza: UPDATE Sms"),
              std::string::npos)
        << log;
}

// The main connection, attached to a database restored from an older
// backup between two runs, moves its generators past the keys drawn in it
// before it draws one of its own (its tables' triggers draw them): the row
// writer, held here, is not the only one to draw.
TEST_F(DatabaseIdentity, TheMainConnectionMovesARestoredDatabasesGeneratorsPastTheKeysDrawnInIt) {
    ASSERT_NO_FATAL_FAILURE(serverWithSchema());
    ASSERT_NO_FATAL_FAILURE(startRun());
    ASSERT_TRUE(testfb::AwaitRowRoad());
    writtenMessage("kept by the backup");
    const std::string backup = state.filePath("older.fbk").toStdString();
    std::string output;
    ASSERT_EQ(testfb::GbakBackup(c, backup, &output), 0) << output;
    EXPECT_EQ(writtenMessage("lost"), "2");
    ASSERT_NO_FATAL_FAILURE(stopRun());

    ASSERT_EQ(testfb::GbakReplace(c, backup, &output), 0) << output;
    testfb::ConnectionInSettings(c);
    createForm("DEBUG");
    form->TimerUpdateInfo->SetEnabled(false);
    ASSERT_TRUE(form->Database().OpenRowJournal(journal));
    form->Database().HoldRows(true);
    form->tmrStartupTimer();
    ASSERT_TRUE(MainDbHandleExists());
    EXPECT_NE(testfb::Isql(c, "SELECT 'AT=' || GEN_ID(ID_SMS, 0) FROM RDB$DATABASE;").find("AT=2"),
              std::string::npos)
        << mainLogText();
    form->Database().HoldRows(false);
    ASSERT_NO_FATAL_FAILURE(stopRun());
}

} // namespace
