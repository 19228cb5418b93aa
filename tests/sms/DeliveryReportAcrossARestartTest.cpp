// The real program sends a desk's message, the exchange acknowledges it, and
// the program is killed before the delivery report comes. Started again, it
// takes the report, and the message's row becomes delivered: also when the
// row was still waiting for the database at the kill.
#include "platform/RegistryStore.h"
#include "shell/FileLocations.h"
#include "support/JournalPeek.h"
#include "support/PrivateFirebirdServer.h"
#include "support/ProgramWithDesks.h"

#include <QByteArray>
#include <csignal>
#include <sstream>
#include <sys/stat.h>

using testing_support::AwaitWhileRunning;
using testing_support::HalvexProcess;

namespace {

const std::string LineNumber = "600100200";
constexpr int Line = 1;

class DeliveryReportAcrossARestart : public testing::Test {
  protected:
    void SetUp() override {
        HALVEX_SKIP_UNDER_THREAD_SANITIZER();
        ASSERT_NO_FATAL_FAILURE(testing_support::StartDatabaseWithDesks(server, c, {"201"}));
        exchange.SetGsmLine(Line, LineNumber);
        // Acknowledged, with the network's reference first; no report yet.
        exchange.SetSmsSendScript({true, sim::SmsSendScript::Outcome::Ack, -5, -1, 0});
        ASSERT_TRUE(exchange.Start());
        ASSERT_TRUE(testing_support::WriteProgramSettings(c, exchange.Port()));
        platform::RegistryKey sms(platform::RegistryBranch::Machine);
        ASSERT_TRUE(sms.OpenKey("\\software\\Vorlin\\Halvex\\SMS", true));
        sms.WriteBool("UseSms", true);
    }
    void TearDown() override { testfb::DetachMain(); }

    // The state of the one outgoing message's row, "" while there is none.
    std::string state() {
        std::istringstream rows(testfb::MainQuery(c, "SELECT nState FROM Sms WHERE nDir = 1"));
        std::string value;
        rows >> value;
        testfb::DetachMain();
        return value;
    }

    // Started, its GSM lines read (the log goes on from the earlier run's).
    void startAndReadLines(const std::function<void()>& started) {
        started();
        ASSERT_TRUE(halvex.waitForLogTimes("PABX_ACTION_FINISH", ++starts, std::chrono::seconds(60)))
            << halvex.logText();
    }
    void startWithDesk() {
        int clientPort = 0;
        ASSERT_NO_FATAL_FAILURE(startAndReadLines([&] {
            ASSERT_NO_FATAL_FAILURE(
                testing_support::StartWithDesks(halvex, exchange, {"u201"}, desks, clientPort));
        }));
    }

    // The desk's message leaves and the exchange acknowledges it.
    void sendAcknowledged() {
        const std::size_t replies = desks[0]->Replies().size();
        ASSERT_TRUE(desks[0]->Send("!SMS&SEND&&600123456&" +
                                   QByteArray("Raport po restarcie").toBase64().toStdString() + "\r\n"));
        ASSERT_TRUE(AwaitWhileRunning(halvex, [&] { return desks[0]->Replies().size() > replies; }))
            << halvex.logText();
        ASSERT_TRUE(exchange.WaitForSentMessages(1)) << halvex.logText();
        ASSERT_TRUE(halvex.waitForLog("SMS_ACTION_SND msg.nState=")) << halvex.logText();
    }

    // Killed, started again: the report comes, and the row is delivered.
    // `serverBack`: the database server comes back before the start, and
    // the report only once the rows the kill left are written.
    void killThenReport(const std::function<void()>& serverBack = {}) {
        halvex.signal(SIGKILL);
        ASSERT_TRUE(halvex.waitForExit());
        if (serverBack)
            serverBack();
        ASSERT_NO_FATAL_FAILURE(startAndReadLines([&] {
            const int logins = exchange.LoginCount();
            halvex.start({"DEBUG", "CTI"});
            ASSERT_TRUE(exchange.WaitForLogin(logins + 1)) << halvex.logText();
        }));
        if (serverBack) {
            ASSERT_TRUE(halvex.waitForLog("Zapisy z poprzedniej pracy zapisane w bazie danych",
                                          std::chrono::seconds(90)))
                << halvex.logText();
        }
        exchange.SendStatusReport(Line, exchange.SentMessages().front().messageReference, 0);
        EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return state() == "3"; })) << "state " << state() << "\n"
                                                                               << halvex.logText();
        ASSERT_NO_FATAL_FAILURE(testing_support::StopAndExpectCleanEnd(halvex, "after the report"));
    }

    testfb::PrivateServer server;
    testfb::Connection c;
    testing_support::Sandbox sandbox;
    sim::ExchangeSimulator exchange{sim::Family::Vantrel, sim::Transport::Tcp};
    HalvexProcess halvex{sandbox};
    std::vector<std::unique_ptr<sim::ClientSimulator>> desks;
    int starts = 0;
};

} // namespace

TEST_F(DeliveryReportAcrossARestart, FindsItsMessageWhoseRowWasWritten) {
    ASSERT_NO_FATAL_FAILURE(startWithDesk());
    ASSERT_NO_FATAL_FAILURE(sendAcknowledged());
    ASSERT_TRUE(AwaitWhileRunning(halvex, [&] { return state() == "1"; })) << halvex.logText();
    // Beside the log, its owner's alone.
    struct stat kept {};
    ASSERT_EQ(::stat(shell::ExpectedReportsPathFor(halvex.logPath()).c_str(), &kept), 0);
    EXPECT_EQ(kept.st_mode & 0777, 0600u);
    ASSERT_NO_FATAL_FAILURE(killThenReport());
}

// The message leaves without the database: its row, and the row's key, are
// drawn only after the restart.
TEST_F(DeliveryReportAcrossARestart, FindsItsMessageWhoseRowWaitedForTheDatabase) {
    ASSERT_NO_FATAL_FAILURE(startWithDesk());
    server.kill();
    ASSERT_NO_FATAL_FAILURE(sendAcknowledged());
    const std::string journal = shell::RowJournalPathFor(halvex.logPath());
    ASSERT_TRUE(AwaitWhileRunning(halvex, [&] {
        return testing_support::JournalRowsWhere(journal, "instr(statement, ?) > 0", "nState='1'") > 0;
    })) << halvex.logText();
    ASSERT_NO_FATAL_FAILURE(killThenReport([&] { ASSERT_TRUE(server.start()) << server.error(); }));
}

// The settings moved to a restored copy of the database, which has a message
// of its own under the same key to the same number: the report the first
// database expected changes no row of the copy, and is named.
TEST_F(DeliveryReportAcrossARestart, ChangesNoRowOfAnotherDatabase) {
    const std::string backup = sandbox.file("first.fbk");
    std::string said;
    ASSERT_EQ(testfb::GbakBackup(c, backup, &said), 0) << said;
    testfb::Connection copy = server.connection("Copy.fdb");
    ASSERT_EQ(testfb::GbakRestore(copy, backup, &said), 0) << said;
    ASSERT_NO_FATAL_FAILURE(startWithDesk());
    ASSERT_NO_FATAL_FAILURE(sendAcknowledged());
    ASSERT_TRUE(AwaitWhileRunning(halvex, [&] { return state() == "1"; })) << halvex.logText();
    ASSERT_NO_FATAL_FAILURE(testing_support::StopAndExpectCleanEnd(halvex, "before the move"));
    std::istringstream row(testfb::MainQuery(c, "SELECT nId, sNumber FROM Sms WHERE nDir = 1"));
    testfb::DetachMain();
    std::string key, number;
    row >> key >> number;
    ASSERT_FALSE(number.empty());
    ASSERT_EQ(testfb::MainSql(
                  copy, "INSERT INTO Sms (nId, nDir, sDate, sTime, sNumber, sLine, sBody, nState, "
                        "nUserId) VALUES (" +
                            key + ", 1, '2026.01.02', '10:00:00', '" + number + "', 'L1', 'w kopii', 1, 0)"),
              0);
    testfb::DetachMain();
    ASSERT_TRUE(testing_support::WriteProgramSettings(copy, exchange.Port()));

    ASSERT_NO_FATAL_FAILURE(startAndReadLines([&] {
        const int logins = exchange.LoginCount();
        halvex.start({"DEBUG", "CTI"});
        ASSERT_TRUE(exchange.WaitForLogin(logins + 1)) << halvex.logText();
    }));
    exchange.SendStatusReport(Line, exchange.SentMessages().front().messageReference, 0);
    EXPECT_TRUE(halvex.waitForLog("Nie zastosowano w bazie danych ")) << halvex.logText();
    ASSERT_NO_FATAL_FAILURE(testing_support::StopAndExpectCleanEnd(halvex, "after the report"));
    EXPECT_EQ(testfb::MainQuery(copy, "SELECT nState FROM Sms WHERE nId = " + key), "1\n");
    testfb::DetachMain();
}
