// The real program takes a desk's message; the row writer draws the key of
// its row, and the insert is held on the server (a trigger of the test's
// waits for the test) when the program is killed. At the next start the
// insert the journal kept is written under its key, then failed as a message
// the earlier run left sending, and its desk hears of the change.
#include "platform/RegistryStore.h"
#include "shell/FileLocations.h"
#include "support/JournalPeek.h"
#include "support/PrivateFirebirdServer.h"
#include "support/ProgramWithDesks.h"

#include <QByteArray>
#include <QFile>
#include <algorithm>
#include <csignal>
#include <sstream>
#include <thread>

using testing_support::AwaitWhileRunning;
using testing_support::HalvexProcess;

namespace {

const std::string Text = "Zostawiona w drodze";

// While HOLDSMS has a row, an insert into Sms waits in its trigger; each
// look at the table is a transaction of its own, which sees the test's
// commits.
const char* const HoldInserts = R"(CREATE TABLE HOLDSMS (N INTEGER);
COMMIT;
INSERT INTO HOLDSMS (N) VALUES (1);
COMMIT;
SET TERM ^;
CREATE TRIGGER HOLDSMSINSERT FOR Sms BEFORE INSERT POSITION 10 AS
DECLARE held INTEGER = 1;
BEGIN
  WHILE (held > 0) DO
  BEGIN
    IN AUTONOMOUS TRANSACTION DO
      SELECT COUNT(*) FROM HOLDSMS INTO :held;
  END
END^
SET TERM ;^
COMMIT;
)";

class MessageLeftSendingAcrossAKill : public testing::Test {
  protected:
    void SetUp() override {
        HALVEX_SKIP_UNDER_THREAD_SANITIZER();
        ASSERT_NO_FATAL_FAILURE(testing_support::StartDatabaseWithDesks(server, c, {"201"}));
        bool held = false;
        const std::string said = testfb::Isql(c, HoldInserts, &held);
        ASSERT_TRUE(held) << said;
        exchange.SetGsmLine(1, "600100200");
        // The exchange never answers, nor gives a reference: the message
        // stays sending, no report expected.
        exchange.SetSmsSendScript({false, sim::SmsSendScript::Outcome::Silent, -5, -1, 0});
        ASSERT_TRUE(exchange.Start());
        ASSERT_TRUE(testing_support::WriteProgramSettings(c, exchange.Port()));
        platform::RegistryKey sms(platform::RegistryBranch::Machine);
        ASSERT_TRUE(sms.OpenKey("\\software\\Vorlin\\Halvex\\SMS", true));
        sms.WriteBool("UseSms", true);
    }
    void TearDown() override { testfb::DetachMain(); }

    // "<rows>|<state of the first>" of the message's text.
    std::string rows() {
        std::istringstream said(testfb::MainQuery(c, "SELECT COUNT(*) || '|' || COALESCE(CAST(MIN(nState) AS "
                                                     "VARCHAR(4)), '') FROM Sms WHERE sBody = '" +
                                                         Text + "'"));
        std::string value;
        said >> value;
        testfb::DetachMain();
        return value;
    }

    void startWithDesk() {
        desks.clear();
        int clientPort = 0;
        ASSERT_NO_FATAL_FAILURE(
            testing_support::StartWithDesks(halvex, exchange, {"u201"}, desks, clientPort));
    }

    // Inserts into Sms wait (`on`) or go.
    void hold(bool on) {
        bool done = false;
        const std::string said = testfb::Isql(
            c, on ? "INSERT INTO HOLDSMS (N) VALUES (1);\nCOMMIT;\n" : "DELETE FROM HOLDSMS;\nCOMMIT;\n",
            &done);
        ASSERT_TRUE(done) << said;
    }

    // How many connections of clients other than the asking one the server has.
    std::string otherAttachments() {
        const std::string said =
            testfb::Isql(c, "SELECT 'OTHERS=' || COUNT(*) FROM MON$ATTACHMENTS WHERE "
                            "MON$ATTACHMENT_ID <> CURRENT_CONNECTION AND MON$SYSTEM_FLAG = 0;");
        const auto at = said.find("OTHERS=");
        return at == std::string::npos ? said : said.substr(at + 7, said.find_first_of(" \r\n", at) - at - 7);
    }

    bool deskTold(const std::string& notice) const {
        const auto notices = desks.front()->Notices();
        return std::find(notices.begin(), notices.end(), notice) != notices.end();
    }

    testfb::PrivateServer server;
    testfb::Connection c;
    testing_support::Sandbox sandbox;
    sim::ExchangeSimulator exchange{sim::Family::Vantrel, sim::Transport::Tcp};
    HalvexProcess halvex{sandbox};
    std::vector<std::unique_ptr<sim::ClientSimulator>> desks;
};

} // namespace

TEST_F(MessageLeftSendingAcrossAKill, AMessageKeyedButNotCommittedIsWrittenThenFailedAndItsDeskTold) {
    ASSERT_NO_FATAL_FAILURE(startWithDesk());
    const std::string journal = shell::RowJournalPathFor(halvex.logPath());
    ASSERT_TRUE(desks[0]->Send("!SMS&SEND&&600123456&" +
                               QByteArray::fromStdString(Text).toBase64().toStdString() + "\r\n"));
    // Its key is drawn and kept; its insert waits on the server.
    ASSERT_TRUE(AwaitWhileRunning(halvex, [&] {
        return testing_support::JournalRowsWhere(journal, "instr(statement, ?) > 0 AND rowkey <> ''", Text) ==
               1;
    })) << halvex.logText();
    halvex.signal(SIGKILL);
    ASSERT_TRUE(halvex.waitForExit());
    // The killed run's connections end once its insert goes on; then the
    // hold is armed again for the next run.
    ASSERT_NO_FATAL_FAILURE(hold(false));
    for (int look = 0; look < 600 && otherAttachments() != "0"; ++look)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(otherAttachments(), "0");
    EXPECT_EQ(rows(), "0|");
    ASSERT_NO_FATAL_FAILURE(hold(true));
    const std::string firstRun = halvex.logText();
    // The next run's log of its own, so that its client port is read there.
    ASSERT_TRUE(QFile::rename(QString::fromStdString(halvex.logPath()),
                              QString::fromStdString(halvex.logPath() + ".first")));

    // The desk is in before the earlier run's insert can go.
    ASSERT_NO_FATAL_FAILURE(startWithDesk());
    ASSERT_NO_FATAL_FAILURE(hold(false));
    EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return rows() == "1|2"; })) << rows() << "\n"
                                                                            << halvex.logText();
    EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return deskTold("!SMS&CHG\r\n"); })) << halvex.logText();
    ASSERT_NO_FATAL_FAILURE(testing_support::StopAndExpectCleanEnd(halvex, "after the message failed"));
    const std::string log = halvex.logText();
    EXPECT_EQ(log.find("Nie zapisano w bazie danych: UPDATE"), std::string::npos) << log;
    EXPECT_EQ(rows(), "1|2");
}
