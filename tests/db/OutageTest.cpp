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
#include "pbx/PbxLink.h"
#include "platform/RegistryStore.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"
#include "support/PrivateFirebirdServer.h"
#include "support/SlowTcpProxy.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#ifndef IP_LOCAL_PORT_RANGE
#define IP_LOCAL_PORT_RANGE 51
#endif

namespace {

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

    // The event loop runs until the road finds the connection lost.
    bool awaitLoss() {
        QDeadlineTimer deadline(60000);
        while (MainDbHandleExists() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        return !MainDbHandleExists();
    }

    int writeCall(const std::string& number, unsigned length) {
        ServiceTalkInDB talk(c.host, c.path, c.user, c.password);
        return talk.InsertData(Extension("201"), OtherNumber(number), CallDate("2026-12-07"),
                               CallTime("10:00:00"), length);
    }

    int writeSms(const std::string& body) {
        ServiceSmsDB sms(c.host, c.path, c.user, c.password);
        sms.nDir = "1";
        sms.sDate = "2026-12-07";
        sms.sTime = "10:00:00";
        sms.sNumber = "+48600100200";
        sms.sLine = "1";
        sms.sBody = body;
        sms.nState = "1";
        sms.nUserId = "1";
        return sms.InsertDataWithId();
    }

    std::string count(const std::string& from) {
        return testfb::Isql(c, "SELECT 'COUNT=' || COUNT(*) FROM " + from + ";");
    }

    // A call row, written as the exchange's records write it.
    static void writeCallRow(const std::string& caller) {
        db::WriteMainRow(ServiceTalkInDB::InsertStatement(Extension("201"), OtherNumber(caller),
                                                          CallDate("2026-12-07"), CallTime("10:00:00"), 1));
    }

    // The event loop runs until the table holds `counted` rows.
    void awaitStored(const std::string& counted) {
        QDeadlineTimer deadline(60000);
        while (count("TalksIncoming").find(counted) == std::string::npos && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }

    // The event loop runs until the kept rows are written back.
    bool replayed() {
        QDeadlineTimer deadline(60000);
        while (form->Database().Road().Waiting() > 0 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        // The followers of the last rows.
        QCoreApplication::processEvents();
        return form->Database().Road().Waiting() == 0;
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

    std::string tableCount() {
        return count("RDB$RELATIONS WHERE RDB$SYSTEM_FLAG = 0 AND RDB$VIEW_SOURCE IS NULL");
    }

    testfb::PrivateServer server;
    testfb::Connection c;
    std::unique_ptr<testing_support::SlowTcpProxy> relay;
};

// A small filesystem of the test's own (a tmpfs: mounting needs root), which
// a filler file makes full and leaves again.
class SmallDisk {
  public:
    SmallDisk() {
        if (!folder_.isValid())
            return;
        const std::string options = "size=32m,mode=0777";
        mounted_ =
            ::mount("tmpfs", folder_.path().toLocal8Bit().constData(), "tmpfs", 0, options.c_str()) == 0;
        if (!mounted_)
            error_ = std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted_)
            ::umount2(folder_.path().toLocal8Bit().constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    std::string file(const std::string& name) const {
        return folder_.filePath(QString::fromStdString(name)).toStdString();
    }

    // Writes the filler until the disk takes no more.
    void fill() {
        const int fd = ::open(file("filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const std::string block(65536, 'x');
        std::size_t size = block.size();
        while (size > 0)
            if (::write(fd, block.data(), size) < 0)
                size /= 2;
        ::close(fd);
    }
    void free() { ::unlink(file("filler").c_str()); }

  private:
    QTemporaryDir folder_;
    bool mounted_ = false;
    std::string error_;
};

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
    EXPECT_NE(tableCount().find("COUNT=10"), std::string::npos);
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
// be in the database or not. After the next attach each insert is looked up
// on all its values: a commit that never reached the server (a slice's two
// rows, one commit) is written then, one that reached it is not written
// twice. An update is written again, whatever the lookup would say.
TEST_F(Outage, RowsOfAnUnansweredCommitAreLookedUpAndWrittenOnlyWhenAbsent) {
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
    // The transaction's start and the block of both inserts pass, and their
    // answers; the commit does not.
    relay->holdAfterChunksToServer(2, true);
    {
        db::MainRowBatch slice;
        writeRow();
        writeRow();
    }
    ASSERT_TRUE(awaitLoss());
    EXPECT_EQ(form->Database().Road().Waiting(), 2u);
    reconnect();
    // The start, the insert and the commit pass; the commit's answer does not.
    relay->holdAfterChunksToServer(3);
    writeRow();
    ASSERT_TRUE(awaitLoss());
    EXPECT_EQ(form->Database().Road().Waiting(), 1u);
    reconnect();
    // An update whose commit never reached the server is written again
    // (looked up, it would be found: its row is there) and only then told.
    const std::string id = std::to_string(
        std::atoi(testfb::MainQuery(c, "SELECT nId FROM Sms WHERE sBody = 'its state is updated'").c_str()));
    bool told = false;
    relay->holdAfterChunksToServer(2, true);
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
    EXPECT_NE(log.find("Nie wiadomo, czy zapisano w bazie danych, zapis zostanie ponowiony: UPDATE Sms"),
              std::string::npos)
        << log;
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

// A desk's message whose commit got no answer keeps the key it drew in one
// database; the next run's settings name another, whose generator is
// behind that key and which has a row of its own under it. The kept insert
// draws its key there and its state follows it; the state of a message
// written into the first database is not applied to the other's row of the
// same key. The log says once where the kept rows go.
TEST_F(Outage, KeptRowsOfAnotherDatabaseDrawTheirKeysInTheOneSetAndLeaveItsRowsAlone) {
    QTemporaryDir state;
    const std::string journal = state.filePath("halvex-rows.sqlite").toStdString();
    ASSERT_TRUE(server.start()) << server.error();
    testfb::Connection other = server.connection("RovaB.fdb");
    ASSERT_TRUE(testfb::CreateEmptyDatabase(other));
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(other));
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(testfb::MainSql(other,
                                  "INSERT INTO Sms (nDir, sDate, sTime, sNumber, sLine, sBody, nState, "
                                  "nUserId) VALUES (1, '2026-12-06', '09:00:00', '+48600100200', '1', "
                                  "'earlier', 1, 1)"),
                  0);
    testfb::DetachMain();

    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    relay = std::make_unique<testing_support::SlowTcpProxy>(std::stoi(c.host.substr(c.host.find('/') + 1)),
                                                            std::chrono::milliseconds(0));
    c.host = "127.0.0.1/" + std::to_string(relay->port());
    const std::string keptFor = c.name();
    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    ASSERT_TRUE(testfb::AwaitRowRoad());
    const std::string number = "+48600100200";
    std::string first, probe, kept;
    auto firstKey = std::make_shared<std::string>();
    testfb::HandDeskSms("first", number, first, firstKey);
    ASSERT_TRUE(testfb::AwaitRowRoad());
    ASSERT_EQ(*firstKey, "1");
    // The same rows in one commit twice, each time on a new connection of
    // the writer: the first counts its requests, the second's last (its
    // commit) passes and its answer does not come.
    const auto handTogether = [&](const std::string& body, std::string& token) {
        bool settled = false;
        form->Database().Road().Pause([&settled] { settled = true; });
        QDeadlineTimer deadline(60000);
        while (!settled && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        EXPECT_TRUE(settled);
        testfb::HandSmsState(*firstKey, number, "2");
        testfb::HandDeskSms(body, number, token);
        testfb::HandSmsState(db::KeyOfRow(token), number, "2");
    };
    handTogether("probe", probe);
    form->Database().Road().Resume();
    ASSERT_TRUE(testfb::AwaitRowRoad());
    const std::size_t requests = relay->chunksToServerOnNewest();
    db::SetCallBound(std::chrono::milliseconds(1000));
    handTogether("kept", kept);
    relay->holdAfterChunksOnNext(requests);
    form->Database().Road().Resume();
    ASSERT_TRUE(awaitLoss());
    db::SetCallBound(db::DefaultCallBound);
    std::string log = mainLogText();
    ASSERT_NE(log.find("Nie wiadomo, czy zapisano w bazie danych, zostanie sprawdzone: INSERT INTO Sms"),
              std::string::npos)
        << log;
    endApplicationLoop();
    form.reset();
    relay->hold(false);

    c = other;
    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    EXPECT_TRUE(replayed());
    const auto rowsOf = [&](const std::string& where) {
        return testfb::MainQuery(c, "SELECT nId || ':' || nState FROM Sms WHERE " + where + " ORDER BY nId");
    };
    EXPECT_EQ(rowsOf("sBody = 'kept'"), "13:2\n");
    EXPECT_EQ(rowsOf("sBody = 'earlier' AND nState <> 1"), "");
    EXPECT_EQ(testfb::MainQuery(c, "SELECT GEN_ID(ID_SMS, 0) FROM RDB$DATABASE"), "13\n");
    log = mainLogText();
    const std::string said = "3 zapisów z poprzedniej pracy dla bazy danych " + keptFor;
    EXPECT_NE(log.find(said), std::string::npos) << log;
    EXPECT_NE(log.find("trafia do bazy danych " + other.name() + ", ustawionej teraz"), std::string::npos)
        << log;
    EXPECT_NE(log.find("wiersz jest z bazy danych"), std::string::npos) << log;
}

// One outage keeps more rows than the road ever dropped at (10,000): none
// is dropped, and all are written after the server's return, in order.
TEST_F(Outage, TwelveThousandRowsOfOneOutageAreAllWrittenAfterItsReturn) {
    QTemporaryDir state;
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(formWithJournal(state.filePath("halvex-rows.sqlite").toStdString()));
    ASSERT_TRUE(testfb::AwaitRowRoad());
    server.kill();
    std::vector<std::string> callers;
    for (int i = 0; i < 12000; ++i) {
        callers.push_back("60" + std::to_string(1000000 + i));
        writeCallRow(callers.back());
    }
    ASSERT_TRUE(awaitLoss());
    EXPECT_EQ(form->Database().Road().Waiting(), callers.size());

    ASSERT_TRUE(server.start()) << server.error();
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), callers);
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
    db::WriteMainRowsThen({ServiceSmsDB::StatusUpdate(::SmsState{"3"}, ::SmsRowId{id})},
                          [&] { told.push_back("3"); });
    db::WriteMainRowsThen({ServiceSmsDB::StatusUpdate(::SmsState{"4"}, ::SmsRowId{id})},
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
