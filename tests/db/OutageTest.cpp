// The database outlives its server: a Firebird server of the test's own is
// killed and started again between writes, or left down, and no call-history
// or SMS row vanishes without trace. A database that the reconnect timer
// creates gets its tables.
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

#ifndef IP_LOCAL_PORT_RANGE
#define IP_LOCAL_PORT_RANGE 51
#endif

namespace {

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

using testing_support::SmallDisk;

// A change of one message's row, named by it as the program names its rows.
std::vector<db::RoadRow> messageChange(const std::string& statement, const std::string& key) {
    return ServiceSmsDB::RowChanges(::SmsRowId{key}, {statement});
}

} // namespace

TEST_F(Outage, HundredHistoryRowsWrittenOneByOneSurviveTwoServerRestarts) {
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    base::Switches().LogInfo = true;

    for (unsigned i = 0; i < 100; ++i) {
        if (i == 30 || i == 70) {
            server.kill();
            ASSERT_TRUE(server.start()) << server.error();
        }
        EXPECT_EQ(writeCall("600100" + std::to_string(1000 + i), i), 0) << "row " << i;
    }
    // The SMS write draws its key first, then inserts: both survive a restart.
    server.kill();
    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_EQ(writeSms("after the restart"), 0);

    EXPECT_NE(count("(SELECT DISTINCT sNumber FROM TalksIncoming)").find("COUNT=100"), std::string::npos);
    EXPECT_NE(count("Sms WHERE sBody = 'after the restart'").find("COUNT=1"), std::string::npos);
    EXPECT_NE(mainLogText().find("Utracono połączenie z bazą danych"), std::string::npos);
}

// The server is killed under a call: the row waits on the road, the loss is
// said and the reconnect timer attaches once the server is back; the row is
// written then, before the next one.
TEST_F(Outage, WithTheServerLeftDownTheRowWaitsAndTheReconnectTimerAttaches) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    writeCallRow("600100200");
    awaitStored("COUNT=1");
    mainLogText();

    server.kill();
    writeCallRow("600999777");
    ASSERT_TRUE(awaitLoss());
    const std::string log = mainLogText();
    EXPECT_NE(log.find("Utracono połączenie z bazą danych"), std::string::npos) << log;
    EXPECT_NE(log.find("zapis czeka na połączenie: INSERT INTO TalksIncoming"), std::string::npos) << log;
    EXPECT_NE(log.find("600999777"), std::string::npos) << log;
    EXPECT_EQ(form->Database().MainDbState, -1);
    EXPECT_EQ(form->Database().Road().Waiting(), 1u);
    ASSERT_TRUE(form->trmReconnect->Enabled());

    ASSERT_TRUE(server.start()) << server.error();
    form->trmReconnectTimer();
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(form->Database().MainDbState, 0);
    writeCallRow("600100201");
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), (std::vector<std::string>{"600100200", "600999777", "600100201"}));
}

// A write of the session attaches again before the reconnect timer does: the
// database counts as up from that attach on, and the timer leaves it so.
TEST_F(Outage, AnAttachMadeByAWriteMarksTheDatabaseUp) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    server.kill();
    EXPECT_NE(writeCall("600999777", 42), 0);
    ASSERT_EQ(form->Database().MainDbState, -1);

    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_EQ(writeCall("600100201", 2), 0);
    EXPECT_EQ(form->Database().MainDbState, 0);
    form->trmReconnectTimer();
    EXPECT_EQ(form->Database().MainDbState, 0);
}

// The server stays down until the program ends, and the run keeps no
// journal: the rows still waiting are named in the log (its pane here),
// which is already closing.
TEST_F(Outage, RowsStillWaitingAtShutdownAreNamedInTheLog) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    server.kill();
    writeCallRow("600999777");
    ASSERT_TRUE(awaitLoss());
    mainLogText();

    form->WMQuery();
    const std::string log = form->Info->Items().join('\n').toStdString();
    EXPECT_NE(log.find("Nie zapisano w bazie danych: INSERT INTO TalksIncoming"), std::string::npos) << log;
    EXPECT_NE(log.find("600999777"), std::string::npos) << log;
    EXPECT_EQ(form->Database().Road().Waiting(), 0u);
}

// The exchange's calls go on while the server is killed twice and started
// again: the rows of the calls ended meanwhile wait and reach the table as
// soon as it is attached again, each once, in the calls' order.
TEST_F(Outage, CallRowsOfTwoServerOutagesReachTheTableOnceInOrder) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());

    std::vector<std::string> callers;
    for (int i = 0; i < 200; ++i) {
        if (i == 40 || i == 120)
            server.kill();
        if (i == 80 || i == 160) {
            ASSERT_TRUE(server.start()) << server.error();
            form->trmReconnectTimer();
        }
        const std::string id = std::to_string(10 + i % 90);
        callers.push_back("600" + std::to_string(100000 + i));
        for (const std::string& record :
             {"C11 " + id + " 1 " + callers.back(), "C10 " + id + " 201", "C02 " + id + " 201"})
            form->Pbx().Shared().AppendReceivedLine(record);
        form->Pbx().DrainReceivedLines();
    }

    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), callers);
}

// Many rows kept through an outage are written back in slices: between two
// of them the event loop runs (a timer fires, a new row comes), and every
// row, the new one last, reaches the table in order.
TEST_F(Outage, KeptRowsAreWrittenBackInSlicesBetweenWhichTheEventLoopRuns) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    server.kill();
    std::vector<std::string> callers;
    const auto writeRow = [&callers](int i) {
        callers.push_back("600" + std::to_string(100000 + i));
        db::WriteMainRow(ServiceTalkInDB::InsertStatement(Extension("201"), OtherNumber(callers.back()),
                                                          CallDate("2026-12-07"), CallTime("10:00:00"), 1));
    };
    const int kept = int(db::RowRoad::RowsPerCommit) * 3 + 7;
    for (int i = 0; i < kept; ++i)
        writeRow(i);
    ASSERT_EQ(form->Database().Road().Waiting(), std::size_t(kept));
    ASSERT_TRUE(awaitLoss());
    mainLogText();

    ASSERT_TRUE(server.start()) << server.error();
    // Fires whenever the event loop runs; the attach itself waits in one.
    bool servedDuringTheReplay = false;
    QTimer probe;
    probe.setInterval(0);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const std::size_t waiting = form->Database().Road().Waiting();
        if (!servedDuringTheReplay && waiting > 0 && waiting < std::size_t(kept)) {
            servedDuringTheReplay = true;
            writeRow(kept);
        }
    });
    probe.start();
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    probe.stop();

    EXPECT_TRUE(servedDuringTheReplay) << "the replay held the event loop to its end";
    EXPECT_EQ(callNumbers(), callers);
}

// Rows kept through an outage go back in commits of many rows, in blocks
// that stay within what the server takes in one request (an update counts
// two of its 256 tables): none fails for its size. A row the server refuses
// among them is found by itself and named; every other row is written once,
// in order.
TEST_F(Outage, AWriteBackGoesInBlocksTheServerTakesAndARefusedRowAmongThemIsFoundAlone) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    server.kill();
    const int calls = 300;
    for (int i = 0; i < calls; ++i) {
        const std::string caller = "600" + std::to_string(100000 + i);
        writeCallRow(caller);
        db::WriteMainRow("UPDATE TalksIncoming SET nLength = nLength + 1 WHERE sNumber = '" + caller + "'");
        if (i == calls / 2)
            db::WriteMainRow("INSERT INTO NoSuchTable (nId) VALUES (1)");
    }
    ASSERT_TRUE(awaitLoss());
    mainLogText();

    ASSERT_TRUE(server.start()) << server.error();
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());

    const std::string log = mainLogText();
    EXPECT_EQ(log.find("Too many Contexts"), std::string::npos) << log.substr(0, 2000);
    EXPECT_NE(log.find("INSERT INTO NoSuchTable (nId) VALUES (1)"), std::string::npos);
    EXPECT_NE(count("TalksIncoming WHERE nLength = 2").find("COUNT=" + std::to_string(calls)),
              std::string::npos)
        << count("TalksIncoming WHERE nLength = 2");
    std::vector<std::string> callers;
    for (int i = 0; i < calls; ++i)
        callers.push_back("600" + std::to_string(100000 + i));
    EXPECT_EQ(callNumbers(), callers);
}

// The server is away at start and the database file does not exist yet: the
// reconnect timer creates it, and the structure check runs before anything
// else, so the lists load and the client service opens on a whole database.
TEST_F(Outage, ADatabaseCreatedByTheReconnectTimerGetsItsTables) {
    ASSERT_NO_FATAL_FAILURE(createFormOnServer());
    form->tmrStartupTimer();
    EXPECT_EQ(form->Database().MainDbState, -1);
    ASSERT_TRUE(form->trmReconnect->Enabled());
    // The fixture's window keeps its client port shut; arm the timer as a
    // normal start does.
    form->tmrServerEnableStartup->SetEnabled(true);
    form->tmrServerEnableStartupTimer();
    EXPECT_TRUE(form->tmrServerEnableStartup->Enabled()) << "no client service without a database";

    ASSERT_TRUE(server.start()) << server.error();
    form->trmReconnectTimer();
    ASSERT_TRUE(MainDbHandleExists());
    EXPECT_EQ(form->Database().MainDbState, 0);
    EXPECT_NE(tableCount().find("COUNT=11"), std::string::npos);
    EXPECT_NE(
        count("RDB$RELATIONS WHERE RDB$SYSTEM_FLAG = 0 AND RDB$VIEW_SOURCE IS NOT NULL").find("COUNT=5"),
        std::string::npos);

    form->tmrStartupTimer();
    EXPECT_FALSE(form->tmrStartup->Enabled()) << "the lists load once the database is ready";
    form->tmrServerEnableStartupTimer();
    EXPECT_FALSE(form->tmrServerEnableStartup->Enabled());
}

// The server's port is held for it from the moment it is chosen: no other
// process's port-0 bind gets it, and a listener that took it by its number is
// never mistaken for the server: the start fails at once, saying why.
TEST_F(Outage, TheServersPortIsHeldAndAnotherListenerOnItIsNeverTakenForTheServer) {
    const auto port = quint16(std::stoi(c.host.substr(c.host.find('/') + 1)));
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const uint32_t onlyThePort = port | uint32_t(port) << 16;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (::setsockopt(probe, IPPROTO_IP, IP_LOCAL_PORT_RANGE, &onlyThePort, sizeof onlyThePort) == 0) {
        EXPECT_NE(::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any), 0)
            << "a port-0 bind got " << port;
    }
    ::close(probe);

    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    server.kill();
    {
        QTcpServer squatter;
        ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, port));
        EXPECT_FALSE(server.start()) << "another listener passed for the server";
        EXPECT_NE(server.error().find("taken"), std::string::npos) << server.error();
    }
    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_NE(count("RDB$DATABASE").find("COUNT=1"), std::string::npos);
}

// The server stops answering without closing anything (a partition, a hung
// server): the event loop hands rows on and goes on; the writer's statement
// is abandoned at its bound, the connection counts as lost, and the rows
// wait in their order, a row handed while the first one's call hung behind
// it; an attach meanwhile is given up at the bound too. Once the relay
// passes again, the reconnect timer attaches and the rows are written.
TEST_F(Outage, AStatementThatGetsNoAnswerIsAbandonedAndItsRowKept) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    writeCallRow("600100200");
    awaitStored("COUNT=1");
    mainLogText();
    {
        relay->hold(true);
        testing_support::ReleaseLater release(*relay);
        writeCallRow("600999777");
        writeCallRow("600999778");
        EXPECT_EQ(form->Database().Road().Waiting(), 2u);
        ASSERT_TRUE(awaitLoss());
        EXPECT_EQ(form->Database().MainDbState, -1);
        EXPECT_EQ(form->Database().Road().Waiting(), 2u);
        form->trmReconnectTimer();
        EXPECT_FALSE(MainDbHandleExists()) << "an attach to the held server was not given up";
        const std::string log = mainLogText();
        EXPECT_NE(log.find("nie odpowiedziała w ciągu 10 s, połączenie porzucone"), std::string::npos) << log;
        EXPECT_NE(log.find("nie odpowiedziała w ciągu 10 s, łączenie porzucone"), std::string::npos) << log;
        EXPECT_NE(log.find("zapis czeka na połączenie: INSERT INTO TalksIncoming"), std::string::npos) << log;
        EXPECT_FALSE(release.released()) << "the event loop waited for the server";
    }
    relay->hold(false);
    // The attach given up may still be in its call: none starts before it ends.
    ASSERT_TRUE(WaitForAttachThreads(std::chrono::steady_clock::now() + std::chrono::seconds(60)));
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), (std::vector<std::string>{"600100200", "600999777", "600999778"}));
}

// The server's address takes the connection and never answers (a network
// hole that resets nothing): the attach given up at its bound ends by itself
// soon after, not when the system gives up on the connection, so that the
// next attach, once the server is reachable again, is not refused as a
// second one while the first is still under way.
TEST_F(Outage, AnAttachThatGetsNoAnswerEndsByItself) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    testing_support::SilentServer silent;
    ASSERT_NE(silent.port(), 0);
    testfb::DetachMain();
    db::SetCallBound(std::chrono::milliseconds(2000));
    const std::string reachable = form->Settings.IPFBaseText;
    form->Settings.IPFBaseText = "127.0.0.1/" + std::to_string(silent.port());
    form->trmReconnectTimer();
    EXPECT_FALSE(MainDbHandleExists());
    EXPECT_TRUE(WaitForAttachThreads(std::chrono::steady_clock::now() + std::chrono::seconds(30)))
        << "the attach is still waiting for an answer";

    form->Settings.IPFBaseText = reachable;
    form->trmReconnectTimer();
    EXPECT_TRUE(MainDbHandleExists()) << mainLogText();
    db::SetCallBound(db::DefaultCallBound);
}

// The database's disk is full under calls: the row that cannot be written
// waits, those after it wait behind it, the first named in the log, and
// once there is room again they are all written, in order, without a new
// call.
TEST_F(Outage, RowsThatMeetAFullDiskWaitAndAreWrittenOnceThereIsRoom) {
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk.error();
    ASSERT_TRUE(server.start()) << server.error();
    c.path = disk.file("RovaZAD.fdb");
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(createFormOnServer());
    form->tmrStartupTimer();
    ASSERT_EQ(form->Database().MainDbState, 0);
    ASSERT_TRUE(testfb::AwaitRowRoad());
    mainLogText();

    disk.fill();
    std::vector<std::string> callers;
    const auto writeRow = [&callers] {
        callers.push_back("600" + std::to_string(100000 + callers.size()));
        writeCallRow(callers.back());
    };
    while (form->Database().Road().Waiting() == 0 && callers.size() < 100000) {
        writeRow();
        testfb::AwaitRowRoad();
    }
    ASSERT_EQ(form->Database().Road().Waiting(), 1u) << "the row that met the full disk was not kept";
    for (int i = 0; i < 5; ++i)
        writeRow();
    EXPECT_EQ(form->Database().Road().Waiting(), 6u);
    const std::string log = mainLogText();
    EXPECT_NE(log.find("zapis zostanie ponowiony: INSERT INTO TalksIncoming"), std::string::npos) << log;
    EXPECT_NE(log.find(callers[callers.size() - 6]), std::string::npos) << log;
    EXPECT_TRUE(MainDbHandleExists());

    disk.free();
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), callers);
}

// The connection goes while a commit waits for its answer, so its rows may
// be in the database or not. After the next attach the commit is settled by
// its key: a commit that never reached the server (a slice's two rows, one
// commit) is written then, one that reached it is not written twice, and so
// for an update.
TEST_F(Outage, RowsOfAnUnansweredCommitAreSettledByTheirCommitsKeyAndWrittenOnlyWhenAbsent) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    db::SetCallBound(std::chrono::milliseconds(1000));
    std::vector<std::string> callers;
    const auto writeRow = [&callers] {
        callers.push_back("600" + std::to_string(100000 + callers.size()));
        db::WriteMainRow(ServiceTalkInDB::InsertStatement(Extension("201"), OtherNumber(callers.back()),
                                                          CallDate("2026-12-07"), CallTime("10:00:00"), 1));
    };
    const auto reconnect = [this] {
        relay->dropConnections();
        relay->hold(false);
        form->trmReconnectTimer();
        EXPECT_TRUE(replayed());
    };
    writeRow();
    awaitStored("COUNT=1");
    ASSERT_EQ(writeSms("its state is updated"), 0);
    mainLogText();
    // The transaction's start, the block of both inserts and the commit's
    // key pass, and their answers; the commit does not.
    relay->holdAfterChunksToServer(3, true);
    {
        db::MainRowBatch slice;
        writeRow();
        writeRow();
    }
    ASSERT_TRUE(awaitLoss());
    EXPECT_EQ(form->Database().Road().Waiting(), 2u);
    reconnect();
    // The start, the insert, its key and the commit pass; the commit's
    // answer does not.
    relay->holdAfterChunksToServer(4);
    writeRow();
    ASSERT_TRUE(awaitLoss());
    EXPECT_EQ(form->Database().Road().Waiting(), 1u);
    reconnect();
    // An update whose commit never reached the server is written again
    // and only then told.
    const std::string id = std::to_string(
        std::atoi(testfb::MainQuery(c, "SELECT nId FROM Sms WHERE sBody = 'its state is updated'").c_str()));
    bool told = false;
    relay->holdAfterChunksToServer(3, true);
    db::WriteMainRowsThen({"UPDATE Sms SET nState = 3 WHERE sBody = 'its state is updated'"},
                          [&] { told = true; });
    ASSERT_TRUE(awaitLoss());
    EXPECT_FALSE(told);
    reconnect();
    EXPECT_TRUE(told);
    db::SetCallBound(db::DefaultCallBound);

    EXPECT_EQ(callNumbers(), callers);
    EXPECT_NE(count("Sms WHERE nId = " + id + " AND nState = 3").find("COUNT=1"), std::string::npos);
    const std::string log = mainLogText();
    EXPECT_NE(
        log.find("Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: INSERT INTO TalksIncoming"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("Sprawdzono, jest w bazie danych: INSERT INTO TalksIncoming"), std::string::npos)
        << log;
    EXPECT_NE(log.find("Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: UPDATE Sms"),
              std::string::npos)
        << log;
}

// A call equal to one in the history (the same extension, number, moment and
// length) is a call of its own: lost with a commit that never reached the
// server, it is not taken for the earlier one but found missing and written.
// Its lookup goes through an index: the writer reads fewer rows than the
// history holds.
TEST_F(Outage, ALostCallIsNotTakenForAnEqualEarlierOneAndIsLookedUpThroughAnIndex) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    const long history = 5000;
    bool ok = false;
    testfb::Isql(c,
                 "SET TERM ^;\nEXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < " +
                     std::to_string(history) +
                     ") DO BEGIN INSERT INTO TalksIncoming (sUserPhone, sNumber) VALUES ('202', :i); "
                     "i = i + 1; END END^\nSET TERM ;^\nCOMMIT;\n",
                 &ok);
    ASSERT_TRUE(ok);
    db::SetCallBound(std::chrono::milliseconds(1000));
    writeCallRow("600100000");
    awaitStored("COUNT=" + std::to_string(history + 1));
    mainLogText();
    relay->holdAfterChunksToServer(3, true);
    writeCallRow("600100000");
    ASSERT_TRUE(awaitLoss());
    relay->dropConnections();
    relay->hold(false);
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    db::SetCallBound(db::DefaultCallBound);

    EXPECT_NE(count("TalksIncoming WHERE sNumber = '600100000'").find("COUNT=2"), std::string::npos);
    EXPECT_NE(mainLogText().find(
                  "Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: INSERT INTO TalksIncoming"),
              std::string::npos);
    // The program's connections since their return, the writer's lookup among them.
    const std::string reads = testfb::Isql(
        c, "SELECT 'READ=' || SUM(s.MON$RECORD_SEQ_READS) FROM MON$ATTACHMENTS a JOIN MON$RECORD_STATS s "
           "ON s.MON$STAT_ID = a.MON$STAT_ID WHERE a.MON$ATTACHMENT_ID <> CURRENT_CONNECTION;");
    ASSERT_NE(reads.find("READ="), std::string::npos) << reads;
    EXPECT_LT(std::atol(reads.c_str() + reads.find("READ=") + 5), history) << reads;
}

// A commit still on its way when its connection is given up: the server
// gets it only after the writer, attached again, has looked for it. Found
// absent then, it still must not be written twice: the commit's own key,
// taken anew, waits for the commit still finishing, and the server's
// refusal of it says the commit was written.
TEST_F(Outage, ACommitTheServerFinishesOnlyAfterTheLookupIsWrittenOnce) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    db::SetCallBound(std::chrono::milliseconds(1000));
    std::vector<std::string> callers;
    chunksOfOneCallsCommit(callers);
    const std::size_t chunks = chunksOfOneCallsCommit(callers);
    ASSERT_GT(chunks, 1u);
    mainLogText();
    relay->parkAfterChunksToServer(chunks - 1);
    writeCallRows(callers, 1);
    ASSERT_TRUE(awaitLoss());
    form->trmReconnectTimer();
    // Settling: found absent (looked up, it would be written again) or still finishing.
    ASSERT_TRUE(awaitLog({"Sprawdzono, nie ma w bazie danych", "wysyłka jest jeszcze kończona"}))
        << mainLogText();
    relay->releaseParked();
    EXPECT_TRUE(replayed());
    db::SetCallBound(db::DefaultCallBound);

    EXPECT_EQ(callNumbers(), callers);
    EXPECT_NE(mainLogText().find("Sprawdzono, jest w bazie danych: INSERT INTO TalksIncoming"),
              std::string::npos)
        << mainLogText();
}

// The lookup that settles a commit whose answer never came fails, the
// connection there (for a while the program's user may not read the
// tables): it is tried again, never taken for absent, and the call is
// written once.
TEST_F(Outage, ALookupThatFailsIsTriedAgainAndNeverTakenForAbsent) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    endApplicationLoop();
    form.reset();
    testfb::DetachMain();
    const testfb::Connection admin = c;
    bool ok = false;
    testfb::Isql(
        admin,
        "CREATE USER HALVEXW PASSWORD 'halvexw';\nCOMMIT;\nSET TERM ^;\nEXECUTE BLOCK AS DECLARE n "
        "VARCHAR(64); BEGIN FOR SELECT TRIM(RDB$RELATION_NAME) FROM RDB$RELATIONS WHERE "
        "RDB$SYSTEM_FLAG = 0 INTO :n DO EXECUTE STATEMENT 'GRANT ALL ON ' || n || ' TO HALVEXW'; FOR "
        "SELECT TRIM(RDB$GENERATOR_NAME) FROM RDB$GENERATORS WHERE RDB$SYSTEM_FLAG = 0 INTO :n DO "
        "EXECUTE STATEMENT 'GRANT USAGE ON SEQUENCE ' || n || ' TO HALVEXW'; END^\nSET TERM ;^\n"
        "COMMIT;\n",
        &ok);
    ASSERT_TRUE(ok);
    c.user = "HALVEXW";
    c.password = "halvexw";
    ASSERT_NO_FATAL_FAILURE(createFormOnServer());
    form->tmrStartupTimer();
    ASSERT_EQ(form->Database().MainDbState, 0);
    ASSERT_TRUE(testfb::AwaitRowRoad());
    db::SetCallBound(std::chrono::milliseconds(1000));
    std::vector<std::string> callers;
    chunksOfOneCallsCommit(callers);
    // Every chunk of the commit passes; no answer comes back.
    relay->holdAfterChunksToServer(chunksOfOneCallsCommit(callers));
    writeCallRows(callers, 1);
    ASSERT_TRUE(awaitLoss());
    // The rows a lookup reads: the commits' keys, and the calls themselves.
    const auto reads = [&](const char* change) {
        for (const char* table : {"RowCommits", "TalksIncoming"})
            testfb::Isql(admin, std::string(change) + table + (change[0] == 'R' ? " FROM" : " TO") +
                                    " HALVEXW;\nCOMMIT;\n");
    };
    relay->dropConnections();
    relay->hold(false);
    reads("REVOKE SELECT ON ");
    mainLogText();
    form->trmReconnectTimer();
    // Looked up: failed, or (failed and) taken for absent.
    ASSERT_TRUE(
        awaitLog({"Nie sprawdzono, czy zapisano w bazie danych", "Sprawdzono, nie ma w bazie danych"}))
        << mainLogText();
    // The grant reaches the writer's next connection.
    reads("GRANT SELECT ON ");
    relay->dropConnections();
    if (form->Database().Road().Waiting() > 0) {
        ASSERT_TRUE(awaitLoss());
    }
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    db::SetCallBound(db::DefaultCallBound);

    c = admin;
    EXPECT_EQ(callNumbers(), callers);
    EXPECT_NE(mainLogText().find("Sprawdzono, jest w bazie danych: INSERT INTO TalksIncoming"),
              std::string::npos)
        << mainLogText();
}

// The server is away at the stop: the rows on the road stay in the journal
// and the next run writes them first, in order, before its own, once.
TEST_F(Outage, RowsWaitingAtAStopStayInTheJournalAndGoFirstAtTheNextStart) {
    QTemporaryDir state;
    const std::string journal = state.filePath("halvex-rows.sqlite").toStdString();
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    std::vector<std::string> callers{"600100000"};
    writeCallRow(callers.back());
    awaitStored("COUNT=1");

    server.kill();
    for (int i = 1; i <= 3; ++i) {
        callers.push_back("600" + std::to_string(100000 + i));
        writeCallRow(callers.back());
    }
    form->WMQuery();
    const std::string log = form->Info->Items().join('\n').toStdString();
    EXPECT_NE(log.find("Zapisy czekające na bazę danych: 3, zostają w dzienniku"), std::string::npos) << log;
    EXPECT_EQ(log.find("Nie zapisano w bazie danych: INSERT"), std::string::npos) << log;
    endApplicationLoop();
    form.reset();

    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    callers.push_back("600200000");
    writeCallRow(callers.back());
    EXPECT_TRUE(replayed());
    EXPECT_TRUE(form->Database().Road().EarlierRowsWritten());
    EXPECT_EQ(callNumbers(), callers);
}

// A call row that an earlier version left in the journal, in the form it
// wrote then (every column of that time, in order), is written once the
// next start has given the table its mark column.
TEST_F(Outage, AnEarlierVersionsCallRowLeftInTheJournalIsWrittenIntoTheUpgradedTable) {
    QTemporaryDir state;
    const std::string journal = state.filePath("halvex-rows.sqlite").toStdString();
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    endApplicationLoop();
    form.reset();
    testfb::DetachMain();
    bool ok = false;
    testfb::Isql(
        c, "DROP INDEX IDX_TALKSINCOMING_ROWMARK;\nALTER TABLE TalksIncoming DROP sRowMark;\nCOMMIT;\n", &ok);
    ASSERT_TRUE(ok);
    {
        db::RowJournal kept;
        ASSERT_TRUE(kept.Open(journal));
        db::RowJournal::Entry row;
        row.statement = "INSERT INTO TalksIncoming VALUES ( NULL ,  '201',  '2026-12-07',  '10:00:00',  "
                        "'600100300',  '1',  1  )";
        std::vector<db::RowJournal::Entry*> rows{&row};
        ASSERT_TRUE(kept.Append(rows));
    }
    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), std::vector<std::string>{"600100300"});
}

// What a kill during a commit leaves: journal rows marked as sent in
// commits whose answer never came. The next start settles each commit by its
// key alone: the one the database holds is not written again; the one it
// does not hold is written, though a call equal to its row in every other
// value is stored. A row an earlier version marked as sent, without a key,
// is written again. The keys no row waits for any more go with a later commit.
TEST_F(Outage, AnEarlierRunsRowsOfACommitWithoutAnswerAreSettledByTheCommitsKey) {
    QTemporaryDir state;
    const std::string journal = state.filePath("halvex-rows.sqlite").toStdString();
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    const auto call = [](const char* caller) {
        return ServiceTalkInDB::InsertStatement(Extension("201"), OtherNumber(caller), CallDate("2026-12-07"),
                                                CallTime("10:00:00"), 1);
    };
    std::vector<db::RowJournal::Entry> rows(3);
    rows[0].statement = call("600100400");
    rows[1].statement = call("600100401");
    rows[2].statement = call("600100402");
    endApplicationLoop();
    form.reset();
    testfb::DetachMain();
    std::string identity;
    {
        db::RowJournal kept;
        ASSERT_TRUE(kept.Open(journal));
        identity = kept.Identity();
        std::vector<db::RowJournal::Entry*> entries{&rows[0], &rows[1], &rows[2]};
        ASSERT_TRUE(kept.Append(entries));
        ASSERT_TRUE(kept.MarkAttempted({rows[0].seq}, 7));
        ASSERT_TRUE(kept.MarkAttempted({rows[1].seq}, 8));
    }
    bool ok = false;
    testfb::Isql(c,
                 rows[0].statement + ";\n" + call("600100401") + ";\nINSERT INTO RowCommits VALUES ('" +
                     identity + "', 7);\nCOMMIT;\n",
                 &ok);
    ASSERT_TRUE(ok);
    markSentWithoutKey(journal, rows[2].seq);
    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), (std::vector<std::string>{"600100400", "600100401", "600100401", "600100402"}));
    const std::string log = mainLogText();
    EXPECT_NE(log.find("Sprawdzono, jest w bazie danych: " + rows[0].statement), std::string::npos) << log;
    EXPECT_NE(log.find("Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: " + rows[1].statement),
              std::string::npos)
        << log;
    EXPECT_NE(
        log.find("Nie wiadomo, czy zapisano w bazie danych, zapis zostanie ponowiony: " + rows[2].statement),
        std::string::npos)
        << log;
    writeCallRow("600100403");
    awaitStored("COUNT=5");
    EXPECT_TRUE(replayed());
    EXPECT_NE(count("RowCommits").find("COUNT=1"), std::string::npos) << count("RowCommits");
}

// The settings name another database than the run before: the rows that run
// kept in its journal for the first database are this exchange's history and
// go into the one set now. A message whose commit got no answer in the first
// database, where its key was drawn, draws its key in the second; so does
// one handed while the first was away, and the changes naming them by their
// inserts' tokens follow the keys drawn there. A change naming by its key a
// message the first database holds is named in the log and not applied to
// the second one's row under that key. The start says once, with their
// count and both databases, where the kept rows go.
TEST_F(Outage, RowsKeptForTheDatabaseSetBeforeGoIntoTheOneSetNow) {
    QTemporaryDir state;
    const std::string journal = state.filePath("halvex-rows.sqlite").toStdString();
    const std::string number = "+48600100200";
    ASSERT_TRUE(server.start()) << server.error();
    // The second database holds messages of its own to the same number,
    // under the keys the first gives out.
    const testfb::Connection first = c, second = server.connection("second.fdb");
    ASSERT_TRUE(testfb::CreateEmptyDatabase(second));
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(second));
    testfb::DetachMain();
    std::string own;
    for (const char* body : {"own 1", "own 2", "own 3"})
        own += "INSERT INTO Sms (nId, nDir, sDate, sTime, sNumber, sLine, sBody, nState, nUserId) VALUES "
               "(GEN_ID(ID_Sms, 1), 1, '2026-12-06', '09:00:00', '" +
               number + "', '1', '" + body + "', 0, 1);\n";
    bool ok = false;
    testfb::Isql(second, own + "COMMIT;\n", &ok);
    ASSERT_TRUE(ok);

    ASSERT_TRUE(testfb::CreateEmptyDatabase(first));
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(first));
    testfb::DetachMain();
    // The commit of the message "held" never ends: the writer's call is cut
    // at its bound, and whether the row is in is not known.
    testfb::Isql(first,
                 "SET TERM ^;\nCREATE TRIGGER SMS_HOLD FOR Sms ACTIVE AFTER INSERT POSITION 1 AS DECLARE r "
                 "INTEGER; BEGIN IF (NEW.sBody = 'held') THEN r = RDB$SET_CONTEXT('USER_TRANSACTION', "
                 "'HOLD', '1'); END^\nCREATE TRIGGER COMMIT_HOLD ACTIVE ON TRANSACTION COMMIT AS BEGIN "
                 "WHILE (RDB$GET_CONTEXT('USER_TRANSACTION', 'HOLD') = '1') DO BEGIN END END^\nSET TERM "
                 ";^\nCOMMIT;\n",
                 &ok);
    ASSERT_TRUE(ok);
    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    ASSERT_TRUE(testfb::AwaitRowRoad());
    std::string written, held, away;
    auto writtenKey = std::make_shared<std::string>();
    testfb::HandDeskSms("written in the first", number, written, writtenKey);
    ASSERT_TRUE(testfb::AwaitRowRoad());
    ASSERT_EQ(*writtenKey, "1");
    db::SetCallBound(std::chrono::milliseconds(2000));
    testfb::HandDeskSms("held", number, held);
    const bool lost = awaitLoss();
    db::SetCallBound(db::DefaultCallBound);
    server.kill();
    ASSERT_TRUE(lost) << mainLogText();
    testfb::HandDeskSms("handed while away", number, away);
    testfb::HandSmsState(db::KeyOfRow(held), number, "3");
    testfb::HandSmsState(db::KeyOfRow(away), number, "5");
    testfb::HandSmsState(*writtenKey, number, "2");
    awaitJournaled();
    endApplicationLoop();
    form.reset();
    testfb::DetachMain();
    {
        db::RowJournal kept;
        ASSERT_TRUE(kept.Open(journal));
        const auto keys = kept.Keys();
        const auto heldKey = std::find_if(keys.begin(), keys.end(),
                                          [&](const db::RowJournal::Key& key) { return key.token == held; });
        ASSERT_NE(heldKey, keys.end());
        EXPECT_EQ(heldKey->key, "2");
        EXPECT_EQ(heldKey->home.rfind(first.path + "|", 0), 0u) << heldKey->home;
    }

    ASSERT_TRUE(server.start()) << server.error();
    c = second;
    testing::internal::CaptureStderr();
    formWithJournal(journal);
    const bool all = !HasFatalFailure() && replayed();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(all);
    const std::string log = mainLogText();
    EXPECT_EQ(testfb::MainQuery(second, "SELECT nId || ':' || sBody || ':' || nState FROM Sms ORDER BY nId"),
              "1:own 1:0\n2:own 2:0\n3:own 3:0\n4:held:3\n5:handed while away:5\n")
        << log;
    // Nothing went into the first database, which holds its one message.
    const std::string inFirst =
        testfb::Isql(first, "SELECT 'ROWS=' || LIST(nId || ':' || sBody || ':' || nState, ',') FROM Sms;");
    EXPECT_NE(inFirst.find("ROWS=1:written in the first:0\n"), std::string::npos) << inFirst;
    const auto times = [](const std::string& text, const std::string& part) {
        std::size_t found = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++found;
        return found;
    };
    EXPECT_EQ(times(log, "Dziennik zapisów " + journal + ": 5 zapisów z poprzedniej pracy dla bazy danych " +
                             first.path + " trafia do bazy danych " + second.path + ", ustawionej teraz"),
              1u)
        << log;
    EXPECT_EQ(times(err, "Halvex: 5 rows kept in the journal " + journal + " for the database " + first.path +
                             " go into " + second.path + ", the database now set\n"),
              1u)
        << err;
    EXPECT_EQ(times(log, "zapisów z poprzedniej pracy dla bazy danych"), 1u) << log;
    EXPECT_EQ(times(err, "rows kept in the journal"), 1u) << err;
    EXPECT_NE(log.find("Nie zastosowano w bazie danych " + second.path + ", wiersz jest z bazy danych " +
                       first.path + ": UPDATE Sms SET nState='2' WHERE nId='1'"),
              std::string::npos)
        << log;
}

// Messages whose rows the earlier run left in its journal at the stop (their
// inserts waited for another client's lock): the start fails the one still
// sending once its row is in, and leaves the one whose change to sent
// followed its row.
TEST_F(Outage, AMessageLeftSendingInTheJournalIsFailedAtTheNextStart) {
    QTemporaryDir state;
    const std::string journal = state.filePath("halvex-rows.sqlite").toStdString();
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    ASSERT_TRUE(testfb::AwaitRowRoad());
    db::SetCallBound(std::chrono::milliseconds(3000));
    DbHandle other = 0;
    SessionDB holder(c.host, c.path, c.user, c.password, &other, false);
    ASSERT_NO_FATAL_FAILURE(gateSmsInserts(holder));
    std::string sentToken;
    for (const char* body : {"left sending", "sent"}) {
        ServiceSmsDB sms(c.host, c.path, c.user, c.password);
        fillSms(sms, body, "600100200", "4");
        sms.RowToken = sentToken = db::NewRowToken();
        sms.InsertDataWithId([](int, const std::string&) {});
    }
    db::WriteMainRowsThen(
        messageChange(ServiceSmsDB::StatusUpdate(::SmsState{"1"}, ::SmsRowId{db::KeyOfRow(sentToken)}),
                      db::KeyOfRow(sentToken)),
        [] {});
    auto& road = form->Database().Road();
    QDeadlineTimer deadline(60000);
    while (!road.Idle() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    endApplicationLoop();
    form.reset();
    testfb::DetachMain();
    holder.RollbackWork();
    SessionDB::DetachDatabase(&other);

    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    EXPECT_TRUE(replayed());
    const std::string states =
        testfb::Isql(c, "SELECT CAST(TRIM(sBody) || '=' || nState AS VARCHAR(20)) FROM Sms ORDER BY nId;");
    EXPECT_NE(states.find("left sending=2"), std::string::npos) << states;
    EXPECT_NE(states.find("sent=1"), std::string::npos) << states;
    db::SetCallBound(db::DefaultCallBound);
}

// One outage keeps more rows than memory holds: those past the window wait
// in the journal alone, and all are written after the server's return, in
// order, once; the followers of rows among them run once, in their order.
TEST_F(Outage, RowsBeyondTheWindowOfOneOutageAreAllWrittenAfterItsReturn) {
    QTemporaryDir state;
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(formWithJournal(state.filePath("halvex-rows.sqlite").toStdString()));
    ASSERT_TRUE(testfb::AwaitRowRoad());
    server.kill();
    const db::RowRoad& road = form->Database().Road();
    std::vector<std::string> callers, followed, told;
    for (int i = 0; i < int(db::RowRoad::RowsInMemory) + 2000; ++i) {
        callers.push_back("60" + std::to_string(1000000 + i));
        if (i % 1000 == 999) {
            followed.push_back(callers.back());
            db::WriteMainRowsThen({callRow(callers.back())},
                                  [&told, caller = callers.back()] { told.push_back(caller); });
        } else {
            writeCallRow(callers.back());
        }
        // Handed on as calls end: a few at a time, each journaled soon.
        if (i % 500 == 499)
            awaitJournaled();
    }
    ASSERT_TRUE(awaitLoss());
    EXPECT_EQ(road.Waiting(), callers.size());

    ASSERT_TRUE(server.start()) << server.error();
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), callers);
    EXPECT_EQ(told, followed);
    EXPECT_LE(road.MostRowsHeld(), db::RowRoad::RowsInMemory);
}

// An earlier run left more rows in the journal than memory holds: the next
// start writes them all first, in order, then the row put behind them, then
// its own.
TEST_F(Outage, AStartWithMoreRowsInTheJournalThanTheWindowWritesThemAllInOrder) {
    QTemporaryDir state;
    const std::string path = state.filePath("halvex-rows.sqlite").toStdString();
    std::vector<std::string> callers;
    {
        db::RowJournal journal;
        ASSERT_TRUE(journal.Open(path)) << journal.LastError();
        std::vector<db::RowJournal::Entry> rows(db::RowRoad::RowsInMemory + 1500);
        std::vector<db::RowJournal::Entry*> entries;
        for (auto& row : rows) {
            callers.push_back("60" + std::to_string(1000000 + callers.size()));
            row.statement = callRow(callers.back());
            entries.push_back(&row);
        }
        ASSERT_TRUE(journal.Append(entries)) << journal.LastError();
    }
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(formWithJournal(path));
    db::RowRoad& road = form->Database().Road();
    callers.push_back("600200000");
    road.HandAfterEarlierRows(db::RoadRow(callRow(callers.back())));
    callers.push_back("600300000");
    writeCallRow(callers.back());
    EXPECT_TRUE(replayed());
    EXPECT_TRUE(road.EarlierRowsWritten());
    EXPECT_EQ(callNumbers(), callers);
    // The window, and the rows put behind the earlier ones (the start puts
    // one), which the journal does not take.
    EXPECT_LE(road.MostRowsHeld(), db::RowRoad::RowsInMemory + 2);
}

// Without a journal the rows wait in memory up to their cap: a row handed on
// past it is dropped, named in the log, and said on stderr at the first.
TEST_F(Outage, WithoutAJournalARowPastTheCapIsNamedInTheLog) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    server.kill();
    writeCallRow("600100000");
    ASSERT_TRUE(awaitLoss());
    mainLogText();
    testing::internal::CaptureStderr();
    for (std::size_t i = 1; i <= db::RowRoad::RowsInMemory + 1; ++i)
        writeCallRow("60" + std::to_string(1000000 + i));
    const std::string said = testing::internal::GetCapturedStderr();
    const std::string log = mainLogText();
    EXPECT_EQ(form->Database().Road().Waiting(), db::RowRoad::RowsInMemory);
    const std::string last = "60" + std::to_string(1000000 + db::RowRoad::RowsInMemory + 1);
    const std::string dropped =
        "Kolejka zapisów do bazy danych pełna (10000), bez dziennika zapisów; porzucono: ";
    EXPECT_NE(log.find(dropped + "INSERT INTO TalksIncoming"), std::string::npos) << said;
    EXPECT_NE(log.find(last), std::string::npos);
    EXPECT_NE(said.find("Halvex: the rows waiting for the database fill memory (10000 rows)"),
              std::string::npos)
        << said;
}

// The server goes silent and every connection to it is reset: the writer's
// new attach is cut at the bound, and the row waits meanwhile.
TEST_F(Outage, TheWritersReattachIsCutAtItsBound) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    writeCallRow("600100001");
    awaitStored("COUNT=1");
    {
        relay->hold(true);
        relay->dropConnections();
        testing_support::ReleaseLater release(*relay);
        db::SetCallBound(std::chrono::milliseconds(1000));
        writeCallRow("600100002");
        ASSERT_TRUE(awaitLoss());
        EXPECT_EQ(form->Database().Road().Waiting(), 1u);
        db::SetCallBound(db::DefaultCallBound);
        EXPECT_FALSE(release.released()) << "the writer's new attach waited for the server";
    }
    relay->hold(false);
    ASSERT_TRUE(WaitForAttachThreads(std::chrono::steady_clock::now() + std::chrono::seconds(60)));
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), (std::vector<std::string>{"600100001", "600100002"}));
}

// Kept rows go back through the writer: the attach that brings the database
// back writes none of them on the event loop. A row that may not wait for the
// connection (a received message's) still takes its turn behind them rather
// than being written at once, and a row written meanwhile goes last.
TEST_F(Outage, KeptRowsGoBackThroughTheWriterAndARowThatMayNotWaitTakesItsTurn) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    server.kill();
    std::vector<std::string> callers;
    const int kept = int(db::RowRoad::RowsPerCommit) * 3 + 7;
    for (int i = 0; i < kept; ++i) {
        callers.push_back("600" + std::to_string(100000 + i));
        writeCallRow(callers.back());
    }
    QDeadlineTimer deadline(60000);
    while (form->Database().Road().Waiting() < std::size_t(kept) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    ASSERT_EQ(form->Database().Road().Waiting(), std::size_t(kept));
    ASSERT_TRUE(awaitLoss());

    ASSERT_TRUE(server.start()) << server.error();
    form->trmReconnectTimer();
    ASSERT_TRUE(MainDbHandleExists());

    auto sms = db::MainTable<ServiceSmsDB>();
    sms.nDir = "0";
    sms.sDate = "2026-12-07";
    sms.sTime = "10:00:00";
    sms.sNumber = "+48600100200";
    sms.sLine = "1";
    sms.sBody = "received while rows wait";
    sms.nState = "0";
    sms.nUserId = "0";
    int smsResult = -1;
    std::size_t keptWhenStored = 0;
    const int handedOn = sms.InsertDataWithId([&](int result, const std::string&) {
        smsResult = result;
        keptWhenStored = form->Database().Road().Waiting();
    });
    EXPECT_TRUE(handedOn == db::RowKeptForReturn || handedOn == db::RowWrittenLater) << handedOn;
    callers.push_back("600999999");
    writeCallRow(callers.back());

    EXPECT_TRUE(replayed());
    EXPECT_EQ(smsResult, 0);
    EXPECT_LE(keptWhenStored, 1u) << "only the call row written after it may wait behind it";
    EXPECT_EQ(callNumbers(), callers);
    EXPECT_NE(count("Sms WHERE sBody = 'received while rows wait'").find("COUNT=1"), std::string::npos);
}

// Another client of the database holds an uncommitted update of an SMS row
// past the call bound while the program changes that row's state twice:
// the changes wait for the lock on the writer, said once; the call rows
// handed meanwhile go past them and are written during the hold; the event
// loop runs, the main connection is not given up, and once the lock goes
// the row takes both changes in their order.
TEST_F(Outage, ARowLockedByAnotherClientWaitsOnTheWriterAndTheConnectionStays) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    db::SetCallBound(std::chrono::milliseconds(3000));
    ASSERT_EQ(writeSms("locked by another client"), 0);
    const std::string id = std::to_string(std::atoi(
        testfb::MainQuery(c, "SELECT nId FROM Sms WHERE sBody = 'locked by another client'").c_str()));

    DbHandle other = 0;
    SessionDB holder(c.host, c.path, c.user, c.password, &other, false);
    ASSERT_EQ(holder.BeginWork(), 0);
    ASSERT_EQ(holder.ExecuteSQL("UPDATE Sms SET nForward = 7 WHERE nId = " + id), 0);
    mainLogText();

    std::vector<std::string> told;
    db::WriteMainRowsThen(messageChange(ServiceSmsDB::StatusUpdate(::SmsState{"3"}, ::SmsRowId{id}), id),
                          [&] { told.push_back("3"); });
    db::WriteMainRowsThen(messageChange(ServiceSmsDB::StatusUpdate(::SmsState{"4"}, ::SmsRowId{id}), id),
                          [&] { told.push_back("4"); });
    std::string log;
    QDeadlineTimer deadline(60000);
    while (log.find("zwolni wiersz") == std::string::npos && MainDbHandleExists() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        log = mainLogText();
    }
    EXPECT_NE(log.find("zwolni wiersz: UPDATE Sms SET nState='3'"), std::string::npos) << log;
    for (int i = 0; i < 3; ++i)
        writeCallRow("60010000" + std::to_string(i));
    awaitStored("COUNT=3");
    EXPECT_NE(count("TalksIncoming").find("COUNT=3"), std::string::npos) << "the calls waited for the lock";
    EXPECT_TRUE(told.empty());

    // Released only once the bound has passed: a wait counted as a silent
    // server would have given the connection up by then.
    bool released = false, lost = false;
    QTimer::singleShot(db::CallBound() + std::chrono::milliseconds(1000),
                       [&] { released = holder.CommitWork() == 0; });
    while (told.size() < 2 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        lost = lost || !MainDbHandleExists();
    }
    log = mainLogText();
    EXPECT_TRUE(released);
    EXPECT_EQ(told, (std::vector<std::string>{"3", "4"}));
    EXPECT_FALSE(lost) << log;
    EXPECT_EQ(form->Database().MainDbState, 0);
    EXPECT_NE(count("Sms WHERE nId = " + id + " AND nState = 4 AND nForward = 7").find("COUNT=1"),
              std::string::npos);
    const auto times = [&log](const std::string& text) {
        std::size_t n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(times("zwolni wiersz:"), 1u) << log;
    EXPECT_LE(times("deadlock"), 1u) << log;
    SessionDB::DetachDatabase(&other);
    db::SetCallBound(db::DefaultCallBound);
}

// A message's row is written and another client locks it at once. A change
// handed before the program heard of the row's key names it by its insert's
// token, waits for the lock and is said; a later change names it by its key.
// The two are of one row: the later waits behind the earlier, and once the
// lock goes the row takes both in order, each told after it is written.
TEST_F(Outage, ChangesOfAMessageNamedByTokenAndByKeyKeepTheirOrderBehindAnotherClientsLock) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    // A wait for a lock is brief then, not none.
    db::SetCallBound(std::chrono::milliseconds(3000));
    DbHandle other = 0;
    SessionDB holder(c.host, c.path, c.user, c.password, &other, false);
    ServiceSmsDB sms(c.host, c.path, c.user, c.password);
    fillSms(sms, "named two ways", "600100200", "4");
    sms.RowToken = db::NewRowToken();
    std::string key;
    const int handedOn = sms.InsertDataWithId([&](int, const std::string& drawn) { key = drawn; });
    ASSERT_EQ(handedOn, db::RowWrittenLater);
    // The event loop waits: the program does not know the key yet.
    QDeadlineTimer deadline(60000);
    TStringList written;
    while (written.empty() && !deadline.hasExpired()) {
        holder.SetResultStrings(&written);
        ASSERT_EQ(holder.ExecuteSQL("SELECT nId FROM Sms WHERE sBody = 'named two ways'"), 0);
        holder.SetResultStrings(nullptr);
    }
    ASSERT_EQ(written.size(), 1u);
    const std::string id = TrimSqlValue(written.front());
    ASSERT_EQ(holder.BeginWork(), 0);
    ASSERT_EQ(holder.ExecuteSQL("UPDATE Sms SET nForward = 7 WHERE nId = " + id), 0);
    std::vector<std::string> told;
    const ::SmsIdentity message{"600100200"};
    db::WriteMainRowsThen(messageChange(ServiceSmsDB::StatusUpdate(
                                            ::SmsState{"1"}, ::SmsRowId{db::KeyOfRow(sms.RowToken)}, message),
                                        db::KeyOfRow(sms.RowToken)),
                          [&] { told.push_back("1"); });
    auto& road = form->Database().Road();
    while (!(road.Idle() && road.Waiting() == 1) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_EQ(key, id);

    db::WriteMainRowsThen(
        messageChange(ServiceSmsDB::StatusUpdate(::SmsState{"3"}, ::SmsRowId{key}, message), key),
        [&] { told.push_back("3"); });
    holder.RollbackWork();
    while (told.size() < 2 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_EQ(told, (std::vector<std::string>{"1", "3"}));
    EXPECT_NE(count("Sms WHERE nId = " + id + " AND nState = 3").find("COUNT=1"), std::string::npos);
    SessionDB::DetachDatabase(&other);
    db::SetCallBound(db::DefaultCallBound);
}

// A message's insert waits for a lock another client holds (on a row its
// trigger changes). The change handed behind it, which names the row by the
// insert's token, waits with it rather than finding no row; once the lock
// goes both are written, and told, in order.
TEST_F(Outage, AChangeNamingAWaitingInsertByItsTokenWaitsWithIt) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    db::SetCallBound(std::chrono::milliseconds(3000));
    DbHandle other = 0;
    SessionDB holder(c.host, c.path, c.user, c.password, &other, false);
    ASSERT_NO_FATAL_FAILURE(gateSmsInserts(holder));

    ServiceSmsDB sms(c.host, c.path, c.user, c.password);
    fillSms(sms, "behind the gate", "600100200", "4");
    sms.RowToken = db::NewRowToken();
    std::vector<std::string> told;
    std::string key;
    sms.InsertDataWithId([&](int result, const std::string& drawn) {
        told.push_back("insert " + std::to_string(result));
        key = drawn;
    });
    db::WriteMainRowsThen(
        messageChange(ServiceSmsDB::StatusUpdate(::SmsState{"3"}, ::SmsRowId{db::KeyOfRow(sms.RowToken)}),
                      db::KeyOfRow(sms.RowToken)),
        [&] { told.push_back("3"); });
    auto& road = form->Database().Road();
    QDeadlineTimer deadline(60000);
    while (!road.Idle() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::processEvents();
    EXPECT_EQ(road.Waiting(), 2u);
    EXPECT_TRUE(told.empty()) << testing::PrintToString(told);

    holder.RollbackWork();
    while (told.size() < 2 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_EQ(told, (std::vector<std::string>{"insert 0", "3"}));
    EXPECT_NE(count("Sms WHERE nId = " + key + " AND nState = 3").find("COUNT=1"), std::string::npos);
    SessionDB::DetachDatabase(&other);
    db::SetCallBound(db::DefaultCallBound);
}

// Messages earlier runs left sending, one of them locked by another client:
// the start fails them, and only them. A message of this run, sending while
// the lock holds, keeps its state; the other old message is failed at once.
TEST_F(Outage, TheStartFailsOnlyTheMessagesEarlierRunsLeftSendingWhateverAnotherClientLocks) {
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    const std::string columns =
        "INSERT INTO Sms (nId, nDir, sDate, sTime, sNumber, sLine, sBody, nState, nUserId) VALUES ";
    bool inserted = false;
    const std::string output = testfb::Isql(
        c,
        columns + "(1, 1, '2026-12-07', '10:00:00', '600', '1', 'locked', 4, 1);" + columns +
            "(2, 1, '2026-12-07', '10:00:00', '600', '1', 'free', 4, 1);SET GENERATOR ID_Sms TO 10;COMMIT;",
        &inserted);
    ASSERT_TRUE(inserted) << output;
    testfb::DetachMain();
    DbHandle other = 0;
    SessionDB holder(c.host, c.path, c.user, c.password, &other, false);
    ASSERT_EQ(holder.BeginWork(), 0);
    ASSERT_EQ(holder.ExecuteSQL("UPDATE Sms SET nForward = 7 WHERE nId = 1"), 0);

    db::SetCallBound(std::chrono::milliseconds(3000));
    ASSERT_NO_FATAL_FAILURE(createFormOnServer());
    form->tmrStartupTimer();
    ASSERT_EQ(form->Database().MainDbState, 0);
    ServiceSmsDB sms(c.host, c.path, c.user, c.password);
    fillSms(sms, "this run", "600", "4");
    bool stored = false;
    sms.InsertDataWithId([&](int result, const std::string&) { stored = result == 0; });
    auto& road = form->Database().Road();
    QDeadlineTimer deadline(60000);
    while (!(stored && road.Idle()) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(stored);
    const auto states = [&] {
        return testfb::Isql(
            c, "SELECT CAST(TRIM(sBody) || '=' || nState AS VARCHAR(20)) FROM Sms ORDER BY nId;");
    };
    EXPECT_NE(states().find("free=2"), std::string::npos) << states();

    ASSERT_EQ(holder.CommitWork(), 0);
    while (road.Waiting() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const std::string after = states();
    EXPECT_NE(after.find("locked=2"), std::string::npos) << after;
    EXPECT_NE(after.find("free=2"), std::string::npos) << after;
    EXPECT_NE(after.find("this run=4"), std::string::npos) << after;
    SessionDB::DetachDatabase(&other);
    db::SetCallBound(db::DefaultCallBound);
}

// The journal is its owner's alone. One that cannot be opened, or that its
// full disk no longer takes, is said in the log, and its rows go on in
// memory: written all the same, named where they wait outside it.
TEST_F(Outage, AJournalThatCannotBeOpenedOrWrittenIsSaidAndItsRowsGoOnInMemory) {
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk.error();
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(createFormOnServer());
    EXPECT_FALSE(form->Database().OpenRowJournal(disk.file("no such folder/halvex-rows.sqlite")));
    EXPECT_NE(mainLogText().find("Nie można otworzyć dziennika zapisów"), std::string::npos) << mainLogText();
    form->tmrStartupTimer();
    writeCallRow("600100000");
    awaitStored("COUNT=1");
    form.reset();

    const std::string journal = disk.file("halvex-rows.sqlite");
    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    EXPECT_EQ(QFile::permissions(QString::fromStdString(journal)),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                  QFileDevice::WriteUser);
    disk.fill();
    for (int i = 1; i <= 200; ++i)
        writeCallRow("600" + std::to_string(100000 + i));
    EXPECT_TRUE(replayed());
    EXPECT_NE(count("TalksIncoming").find("COUNT=201"), std::string::npos);
    const std::string log = mainLogText();
    EXPECT_NE(log.find("Nie można zapisać dziennika zapisów"), std::string::npos) << log;
    EXPECT_NE(log.find("Poza dziennikiem zapisów, czeka w pamięci: INSERT INTO TalksIncoming"),
              std::string::npos)
        << log;
    disk.free();
}

// The journal's disk fills while the server is away; the server comes back
// with the disk still full, the rows are written, the disk is freed and the
// program stops: the next start finds no row it would write a second time.
TEST_F(Outage, RowsWrittenWhileTheJournalsDiskIsFullAreNotWrittenAgainAfterAStop) {
    SmallDisk disk("4m");
    if (!disk.mounted())
        GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk.error();
    const std::string journal = disk.file("halvex-rows.sqlite");
    ASSERT_NO_FATAL_FAILURE(serverAndFormWithJournal(journal));
    std::vector<std::string> callers;
    const auto writeRows = [&](int rows) { writeCallRows(callers, rows); };
    writeRows(20);
    awaitStored("COUNT=20");

    server.kill();
    writeRows(40);
    ASSERT_TRUE(awaitLoss());
    QDeadlineTimer deadline(120000);
    while (journalRows(journal) < 40 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    disk.fill();
    writeRows(10);
    // The journal has met the full disk with them: they wait in memory.
    const auto waitsInMemory = [&](const std::string& caller) {
        const std::string log = mainLogText();
        const std::size_t named = log.find("czeka w pamięci: INSERT INTO TalksIncoming");
        return named != std::string::npos && log.find("'" + caller + "'", named) != std::string::npos;
    };
    while (!waitsInMemory(callers.back()) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(waitsInMemory(callers.back())) << mainLogText();
    ASSERT_TRUE(server.start()) << server.error();
    const std::size_t since = mainLogText().size();
    form->trmReconnectTimer();
    // Written with the disk still full, or held back by it.
    while (form->Database().Road().Waiting() > 0 &&
           mainLogText().find("Nie można zapisać dziennika zapisów", since) == std::string::npos &&
           !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    disk.free();
    EXPECT_TRUE(replayed());
    form->WMQuery();
    endApplicationLoop();
    form.reset();

    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    writeRows(1);
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), callers) << mainLogText();
}

// Rows the journal's full disk left in memory, a desk's message and its
// change among them, go into the journal before any later row once the disk
// is freed: kept whether the program is killed after that or stopped at
// once. The next start writes every one of them once, in order.
class RowsInMemory : public Outage, public testing::WithParamInterface<bool> {
  protected:
    void keptAfterTheDiskIsFreed(bool stopAtOnce) {
        SmallDisk disk("4m");
        if (!disk.mounted())
            GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk.error();
        const std::string journal = disk.file("halvex-rows.sqlite");
        ASSERT_NO_FATAL_FAILURE(serverAndFormWithJournal(journal));
        std::vector<std::string> callers;
        const auto writeRows = [&](int rows) { writeCallRows(callers, rows); };
        server.kill();
        writeRows(20);
        ASSERT_TRUE(awaitLoss());
        QDeadlineTimer deadline(120000);
        while (journalRows(journal) < 20 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        disk.fill();
        auto sms = db::MainTable<ServiceSmsDB>();
        fillSms(sms, "kept in memory", "600100200", "4");
        sms.RowToken = db::NewRowToken();
        EXPECT_EQ(sms.InsertDataWithId([](int, const std::string&) {}), db::RowKeptForReturn);
        db::WriteMainRow(ServiceSmsDB::StatusUpdate(::SmsState{"3"}, ::SmsRowId{db::KeyOfRow(sms.RowToken)}));
        writeRows(10);
        const auto waitsInMemory = [&] {
            const std::string log = mainLogText();
            const std::size_t named = log.rfind("czeka w pamięci: INSERT INTO TalksIncoming");
            return named != std::string::npos &&
                   log.find("'" + callers.back() + "'", named) != std::string::npos;
        };
        while (!waitsInMemory() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        ASSERT_EQ(journalRows(journal), 20) << mainLogText();
        disk.free();
        if (!stopAtOnce) {
            writeRows(3);
            // What a kill leaves from here on.
            while (journalRows(journal) < 35 && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            EXPECT_EQ(journalRows(journal), 35) << mainLogText();
        }
        form->WMQuery();
        endApplicationLoop();
        form.reset();
        // The next start, as a new process.
        resetLog();

        ASSERT_TRUE(server.start()) << server.error();
        ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
        EXPECT_TRUE(replayed());
        EXPECT_EQ(callNumbers(), callers) << mainLogText();
        EXPECT_NE(count("Sms WHERE sBody = 'kept in memory' AND nState = 3").find("COUNT=1"),
                  std::string::npos)
            << count("Sms");
        EXPECT_EQ(journalRows(journal), 0);
    }
};

TEST_P(RowsInMemory, AreJournaledOnceTheDiskIsFreed) {
    keptAfterTheDiskIsFreed(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Outage, RowsInMemory, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "StoppedAtOnce" : "KeptForAKill";
                         });

// A row that waited for another client's lock and is then refused for good
// (its new key is another row's) is named as not written, and never said
// written.
TEST_F(Outage, ALockedRowRefusedOnItsRetryIsNamedAndNeverSaidWritten) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    ASSERT_EQ(writeSms("locked, then refused"), 0);
    ASSERT_EQ(writeSms("holds the key asked for"), 0);
    const auto idOf = [&](const std::string& body) {
        return std::to_string(
            std::atoi(testfb::MainQuery(c, "SELECT nId FROM Sms WHERE sBody = '" + body + "'").c_str()));
    };
    const std::string id = idOf("locked, then refused");
    const std::string taken = idOf("holds the key asked for");

    DbHandle other = 0;
    SessionDB holder(c.host, c.path, c.user, c.password, &other, false);
    ASSERT_EQ(holder.BeginWork(), 0);
    ASSERT_EQ(holder.ExecuteSQL("UPDATE Sms SET nForward = 7 WHERE nId = " + id), 0);
    mainLogText();
    bool told = false;
    const std::string update = "UPDATE Sms SET nId = " + taken + " WHERE nId = " + id;
    db::WriteMainRowsThen({update}, [&] { told = true; });
    QDeadlineTimer deadline(60000);
    while (mainLogText().find("zwolni wiersz: " + update) == std::string::npos && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    ASSERT_EQ(holder.CommitWork(), 0);
    while (!told && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const std::string log = mainLogText();
    EXPECT_TRUE(told);
    EXPECT_NE(log.find("Nie zapisano w bazie danych: " + update), std::string::npos) << log;
    EXPECT_EQ(log.find("zapisano: " + update), std::string::npos) << log;
    SessionDB::DetachDatabase(&other);
}

// Another program holds the journal's file when the stop comes: the rows the
// journal thread had taken in are not in it by the stop's deadline. They are
// named and counted as not written, and stay out of the journal once its
// file is let go; the row already in it is counted as kept, not named. The
// program's end stops the road once more without waiting: nothing is said
// again, and the next start, the journal gone, knows what the stop left.
TEST_F(Outage, RowsNotInTheJournalByAStopsDeadlineAreNamedAndStayOutOfIt) {
    QTemporaryDir state;
    const std::string journal = state.filePath("halvex-rows.sqlite").toStdString();
    const std::vector<std::string> rows{callRow("600100001"), callRow("600100002"), callRow("600100003")};
    base::Switches().LogInfo = true;
    mainLogText();
    std::string log;
    {
        db::RowRoad road([](const std::string&) {});
        ASSERT_TRUE(road.OpenJournal(journal));
        road.Hand(db::PlainRoadRows({rows[0]}));
        QDeadlineTimer deadline(60000);
        while (road.Journaling() > 0 && !deadline.hasExpired())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        {
            QSqlDatabase holder =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
            holder.setDatabaseName(QString::fromStdString(journal));
            ASSERT_TRUE(holder.open());
            QSqlQuery hold(holder);
            ASSERT_TRUE(hold.exec(QStringLiteral("BEGIN IMMEDIATE")));
            road.Hand(db::PlainRoadRows({rows[1], rows[2]}));
            EXPECT_FALSE(road.Stop(std::chrono::steady_clock::now()));
            EXPECT_FALSE(road.Stop(std::chrono::steady_clock::now()));
            log = mainLogText();
            EXPECT_TRUE(hold.exec(QStringLiteral("ROLLBACK")));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("holder"));
    }
    EXPECT_NE(log.find("Zapisy czekające na bazę danych: 1, zostają w dzienniku"), std::string::npos) << log;
    EXPECT_EQ(log.find("Nie zapisano w bazie danych: " + rows[0]), std::string::npos) << log;
    EXPECT_NE(log.find("Nie zapisano w bazie danych: " + rows[1]), std::string::npos) << log;
    EXPECT_NE(log.find("Nie zapisano w bazie danych: " + rows[2]), std::string::npos) << log;
    EXPECT_NE(log.find("przy zatrzymaniu: 2 niezapisanych, 0 w drodze"), std::string::npos) << log;
    EXPECT_EQ(log.find("przy zatrzymaniu", log.find("przy zatrzymaniu: 2") + 1), std::string::npos) << log;
    EXPECT_EQ(journalRows(journal), 1);

    for (const char* file : {"", "-wal", "-shm"})
        QFile::remove(QString::fromStdString(journal + file));
    {
        db::RowRoad next([](const std::string&) {});
        ASSERT_TRUE(next.OpenJournal(journal));
    }
    log = mainLogText();
    EXPECT_NE(
        log.find("Brak dziennika zapisów " + journal + ", a poprzednia praca zostawiła w nim 1 zapisów"),
        std::string::npos)
        << log;
}

// The server's answer is held while the road's writer is in its call, and
// the road goes (its stop's bound passes): the row on its way is named as
// such, and the writer, once the answer comes, ends without touching what
// went with the road.
TEST_F(Outage, AWriterLeftInItsCallWhenTheRoadGoesEndsOnceTheAnswerComes) {
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    bool created = false;
    testfb::Isql(c, "CREATE TABLE ROADROWS (N INTEGER);\nCOMMIT;\n", &created);
    ASSERT_TRUE(created);
    relay = std::make_unique<testing_support::SlowTcpProxy>(std::stoi(c.host.substr(c.host.find('/') + 1)),
                                                            std::chrono::milliseconds(0));
    ASSERT_NE(relay->port(), 0);
    base::Switches().LogInfo = true;
    db::SetCallBound(std::chrono::seconds(60));
    auto road = std::make_unique<db::RowRoad>([](const std::string&) {});
    road->Connect({"127.0.0.1/" + std::to_string(relay->port()), c.path, c.user, c.password});
    road->Hand(db::PlainRoadRows({"INSERT INTO ROADROWS (N) VALUES (1)"}));
    QDeadlineTimer deadline(60000);
    while (!road->Empty() && !deadline.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(road->Empty());

    // The next request reaches the server; its answer does not come back.
    const std::size_t sent = relay->chunksToServer();
    relay->holdAfterChunksToServer(1);
    road->Hand(db::PlainRoadRows({"INSERT INTO ROADROWS (N) VALUES (2)"}));
    while (relay->chunksToServer() == sent && !deadline.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(relay->chunksToServer(), sent);
    mainLogText();
    road.reset();
    const std::string log = mainLogText();
    EXPECT_NE(
        log.find("Zapis w drodze do bazy danych przy zatrzymaniu, nie wiadomo, czy zapisano: INSERT INTO "
                 "ROADROWS (N) VALUES (2)"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("przy zatrzymaniu: 0 niezapisanych, 1 w drodze"), std::string::npos) << log;

    relay->hold(false);
    const auto writerAttached = [&] {
        return testfb::Isql(c, "SELECT 'ATTACHED=' || COUNT(*) FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID "
                               "<> CURRENT_CONNECTION AND MON$SYSTEM_FLAG = 0;")
                   .find("ATTACHED=0") == std::string::npos;
    };
    while (writerAttached() && !deadline.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(writerAttached()) << "the writer did not end once its answer came";
    db::SetCallBound(db::DefaultCallBound);
}

// A stop right after the journal opens, while the writer opens its own
// connection to it: the writer still ends by the stop's deadline.
TEST_F(Outage, ARoadStoppedAsItsJournalOpensEndsInTime) {
    QTemporaryDir state;
    for (int start = 0; start < 20; ++start) {
        db::RowRoad road([](const std::string&) {});
        ASSERT_TRUE(road.OpenJournal(state.filePath("halvex-rows.sqlite").toStdString()));
        ASSERT_TRUE(road.Stop(std::chrono::steady_clock::now())) << "start " << start;
    }
}
