// The fixture of the outage tests: the main window on a database of a
// Firebird server of the test's own, which the tests kill, start again or
// reach through a relay that goes silent.
#pragma once

#include "base/DiagnosticLog.h"
#include "base/PasswordCodec.h"
#include "db/CallHistoryTables.h"
#include "db/ConnectThread.h"
#include "db/MainDatabase.h"
#include "db/MessageTables.h"
#include "db/RowJournal.h"
#include "db/SqlText.h"
#include "pbx/PbxLink.h"
#include "platform/RegistryStore.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"
#include "support/PrivateFirebirdServer.h"
#include "support/SlowTcpProxy.h"
#include "support/SmallDisk.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace outagetest {

using testing_support::SmallDisk;

class Outage : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        testfb::UseEmbeddedEngine();
        testfb::DetachMain();
        ui::setDialogs(dialogs);
        ASSERT_TRUE(server.prepared()) << server.error();
        c = server.connection("RovaZAD.fdb");
    }
    void TearDown() override {
        MainFormFixture::TearDown();
        testfb::DetachMain();
        base::Switches().LogInfo = false;
    }

    // The main window, with its settings pointing at the test's server; the
    // test reads the log queue itself.
    void createFormOnServer() {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("IPFBase", c.host);
        key.WriteString("NameFB", c.path);
        key.WriteString("UserFB", c.user);
        key.WriteString("PasswordFB", AesEncryptToHexWire(c.password, FixedKeyText));
        createForm("DEBUG");
        form->TimerUpdateInfo->SetEnabled(false);
    }

    // The server running with an empty database, and the window attached to it.
    void formAttachedToRunningServer() {
        ASSERT_TRUE(server.start()) << server.error();
        ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
        ASSERT_NO_FATAL_FAILURE(createFormOnServer());
        form->tmrStartupTimer();
        ASSERT_EQ(form->Database().MainDbState, 0);
        ASSERT_TRUE(testfb::AwaitRowRoad());
    }

    // The same, with the server reached through a relay that can be held.
    void formAttachedThroughRelay() {
        ASSERT_TRUE(server.start()) << server.error();
        ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
        relay = std::make_unique<testing_support::SlowTcpProxy>(
            std::stoi(c.host.substr(c.host.find('/') + 1)), std::chrono::milliseconds(0));
        ASSERT_NE(relay->port(), 0);
        c.host = "127.0.0.1/" + std::to_string(relay->port());
        ASSERT_NO_FATAL_FAILURE(createFormOnServer());
        form->tmrStartupTimer();
        ASSERT_EQ(form->Database().MainDbState, 0);
        ASSERT_TRUE(testfb::AwaitRowRoad());
    }

    // A window of a run that keeps its rows in the journal at `path`.
    void formWithJournal(const std::string& path) {
        ASSERT_NO_FATAL_FAILURE(createFormOnServer());
        ASSERT_TRUE(form->Database().OpenRowJournal(path));
        form->tmrStartupTimer();
    }

    // The server running with an empty database, and the window of a run
    // that keeps its rows in the journal at `path`.
    void serverAndFormWithJournal(const std::string& path) {
        ASSERT_TRUE(server.start()) << server.error();
        ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
        ASSERT_NO_FATAL_FAILURE(formWithJournal(path));
    }

    int writeCall(const std::string& number, unsigned length) {
        ServiceTalkInDB talk(c.host, c.path, c.user, c.password);
        return talk.InsertData(Extension("201"), OtherNumber(number), CallDate("2026-12-07"),
                               CallTime("10:00:00"), length);
    }

    // A desk's message of user 1 on line 1.
    static void fillSms(ServiceSmsDB& sms, const std::string& body, const std::string& number,
                        const std::string& state) {
        sms.nDir = "1";
        sms.sDate = "2026-12-07";
        sms.sTime = "10:00:00";
        sms.sNumber = number;
        sms.sLine = "1";
        sms.sBody = body;
        sms.nState = state;
        sms.nUserId = "1";
    }

    int writeSms(const std::string& body) {
        ServiceSmsDB sms(c.host, c.path, c.user, c.password);
        fillSms(sms, body, "+48600100200", "1");
        return sms.InsertDataWithId();
    }

    // Every insert into Sms changes SMS_GATE's row first (a trigger), which
    // `holder`, another client, then keeps locked.
    void gateSmsInserts(SessionDB& holder) {
        {
            SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
            for (const char* ddl :
                 {"CREATE TABLE SMS_GATE (PASSED INTEGER)", "INSERT INTO SMS_GATE VALUES (0)",
                  "CREATE TRIGGER SMS_GATE_PASS FOR SMS ACTIVE BEFORE INSERT POSITION 1 AS BEGIN UPDATE "
                  "SMS_GATE SET PASSED = PASSED + 1; END"})
                ASSERT_EQ(session.ExecuteDDL(ddl), 0) << ddl;
        }
        ASSERT_EQ(holder.BeginWork(), 0);
        ASSERT_EQ(holder.ExecuteSQL("UPDATE SMS_GATE SET PASSED = 0"), 0);
    }

    std::string count(const std::string& from) {
        return testfb::Isql(c, "SELECT 'COUNT=' || COUNT(*) FROM " + from + ";");
    }

    // A call row, written as the exchange's records write it.
    static std::string callRow(const std::string& caller) {
        return ServiceTalkInDB::InsertStatement(Extension("201"), OtherNumber(caller), CallDate("2026-12-07"),
                                                CallTime("10:00:00"), 1);
    }

    static void writeCallRow(const std::string& caller) { db::WriteMainRow(callRow(caller)); }
    // `rows` calls more, from callers noted in order.
    static void writeCallRows(std::vector<std::string>& callers, int rows) {
        for (int i = 0; i < rows; ++i) {
            callers.push_back("600" + std::to_string(100000 + callers.size()));
            writeCallRow(callers.back());
        }
    }

    // The chunks the writer sends through the relay for the commit of one
    // call, counted on a call of its own: the commit is the last of them.
    std::size_t chunksOfOneCallsCommit(std::vector<std::string>& callers) {
        const std::size_t before = relay->chunksToServer();
        writeCallRows(callers, 1);
        EXPECT_TRUE(replayed()) << mainLogText();
        return relay->chunksToServer() - before;
    }

    // The event loop runs until the log says one of `texts`.
    bool awaitLog(std::initializer_list<const char*> texts) {
        QDeadlineTimer deadline(60000);
        const auto said = [&] {
            const std::string log = mainLogText();
            return std::any_of(texts.begin(), texts.end(),
                               [&](const char* text) { return log.find(text) != std::string::npos; });
        };
        while (!said() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        return said();
    }

    // The event loop runs until the table holds `counted` rows.
    void awaitStored(const std::string& counted) {
        QDeadlineTimer deadline(60000);
        while (count("TalksIncoming").find(counted) == std::string::npos && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }

    // The numbers of the calls in TalksIncoming, in the order written.
    std::vector<std::string> callNumbers() {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        std::vector<QueryRow> rows;
        session.SetSqlText("SELECT SNUMBER FROM TALKSINCOMING ORDER BY NID");
        EXPECT_EQ(session.RunInReadTransaction([&] { return session.RunQueryToList(&rows); }), 0);
        std::vector<std::string> numbers;
        for (const QueryRow& row : rows)
            numbers.push_back(row.at("SNUMBER").substr(0, row.at("SNUMBER").find(' ')));
        return numbers;
    }

    // The rows in the journal at `path`, read as another process reads it.
    static int journalRows(const std::string& path) {
        int rows = -1;
        {
            QSqlDatabase journal =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
            journal.setDatabaseName(QString::fromStdString(path));
            journal.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            QSqlQuery query(journal);
            if (journal.open() && query.exec(QStringLiteral("SELECT COUNT(*) FROM rows")) && query.next())
                rows = query.value(0).toInt();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("peek"));
        return rows;
    }

    // The row at `seq` marked as sent the way an earlier version marked it:
    // without a commit key.
    static void markSentWithoutKey(const std::string& path, std::int64_t seq) {
        {
            QSqlDatabase journal =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("mark"));
            journal.setDatabaseName(QString::fromStdString(path));
            QSqlQuery query(journal);
            ASSERT_TRUE(journal.open());
            ASSERT_TRUE(query.exec(QStringLiteral("UPDATE rows SET attempted = 1 WHERE seq = %1").arg(seq)));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("mark"));
    }

    std::string tableCount() {
        return count("RDB$RELATIONS WHERE RDB$SYSTEM_FLAG = 0 AND RDB$VIEW_SOURCE IS NULL");
    }

    testfb::PrivateServer server;
    testfb::Connection c;
    std::unique_ptr<testing_support::SlowTcpProxy> relay;
};

// A change of one message's row, named by it as the program names its rows.
inline std::vector<db::RoadRow> messageChange(const std::string& statement, const std::string& key) {
    return ServiceSmsDB::RowChanges(::SmsRowId{key}, {statement});
}

} // namespace outagetest
