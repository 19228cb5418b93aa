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

TEST_F(Outage, WithTheServerLeftDownTheRowWaitsAndTheReconnectTimerAttaches) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    ASSERT_EQ(writeCall("600100200", 1), 0);
    mainLogText();

    server.kill();
    EXPECT_NE(writeCall("600999777", 42), 0);
    const std::string log = mainLogText();
    EXPECT_NE(log.find("Utracono połączenie z bazą danych"), std::string::npos) << log;
    EXPECT_NE(log.find("zapis czeka na połączenie: INSERT INTO TalksIncoming"), std::string::npos) << log;
    EXPECT_NE(log.find("600999777"), std::string::npos) << log;
    EXPECT_FALSE(MainDbHandleExists());
    EXPECT_EQ(form->Database().MainDbState, -1);
    ASSERT_TRUE(form->trmReconnect->Enabled());

    ASSERT_TRUE(server.start()) << server.error();
    form->trmReconnectTimer();
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(form->Database().MainDbState, 0);
    EXPECT_EQ(writeCall("600100201", 2), 0);
    EXPECT_NE(count("TalksIncoming").find("COUNT=3"), std::string::npos) << "the kept row too";
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

// The server stays down until the program ends: the rows still waiting are
// named in the log (its pane here), which is already closing.
TEST_F(Outage, RowsStillWaitingAtShutdownAreNamedInTheLog) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    server.kill();
    EXPECT_NE(writeCall("600999777", 42), 0);
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
    const std::string log = mainLogText();
    EXPECT_NE(log.find("Zapisywanie odłożonych zapisów w bazie danych: " + std::to_string(kept)),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Zapisano w bazie danych " + std::to_string(kept + 1) + " odłożonych zapisów"),
              std::string::npos)
        << log;
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
// server): the row's statement is abandoned at its bound, the connection
// counts as lost and the row waits for its return like any row of a lost
// connection; an attach meanwhile is given up at the bound too. Once the
// relay passes again, the reconnect timer attaches and the row is written.
TEST_F(Outage, AStatementThatGetsNoAnswerIsAbandonedAndItsRowKept) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    ASSERT_EQ(writeCall("600100200", 1), 0);
    mainLogText();
    {
        relay->hold(true);
        testing_support::ReleaseLater release(*relay);
        EXPECT_NE(writeCall("600999777", 42), 0);
        EXPECT_FALSE(MainDbHandleExists());
        EXPECT_EQ(form->Database().MainDbState, -1);
        EXPECT_EQ(form->Database().Road().Waiting(), 1u);
        form->trmReconnectTimer();
        EXPECT_FALSE(MainDbHandleExists()) << "an attach to the held server was not given up";
        const std::string log = mainLogText();
        EXPECT_NE(log.find("nie odpowiedziała w ciągu 10 s, połączenie porzucone"), std::string::npos) << log;
        EXPECT_NE(log.find("nie odpowiedziała w ciągu 10 s, łączenie porzucone"), std::string::npos) << log;
        EXPECT_NE(log.find("zapis czeka na połączenie: INSERT INTO TalksIncoming"), std::string::npos) << log;
    }
    relay->hold(false);
    // The attach given up may still be in its call: none starts before it ends.
    ASSERT_TRUE(WaitForAttachThreads(std::chrono::steady_clock::now() + std::chrono::seconds(60)));
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    EXPECT_NE(count("TalksIncoming").find("COUNT=2"), std::string::npos) << "the kept row too";
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
// waits, those after it wait behind it, each named in the log, and once
// there is room again they are all written, in order, without a new call.
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
    mainLogText();

    disk.fill();
    std::vector<std::string> callers;
    const auto writeRow = [&callers] {
        callers.push_back("600" + std::to_string(100000 + callers.size()));
        db::WriteMainRow(ServiceTalkInDB::InsertStatement(Extension("201"), OtherNumber(callers.back()),
                                                          CallDate("2026-12-07"), CallTime("10:00:00"), 1));
    };
    while (form->Database().Road().Waiting() == 0 && callers.size() < 100000)
        writeRow();
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
// be in the database or not. After the next attach they are looked up on all
// their values: a commit that never reached the server (a slice's two rows,
// one commit) is written then, one that reached it is not written twice.
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
    mainLogText();
    // The transaction's start and the two inserts pass, and their answers;
    // the commit does not.
    relay->holdAfterChunksToServer(3, true);
    {
        db::MainRowBatch slice;
        writeRow();
        writeRow();
    }
    EXPECT_EQ(form->Database().Road().Waiting(), 2u);
    reconnect();
    // The start, the insert and the commit pass; the commit's answer does not.
    relay->holdAfterChunksToServer(3);
    writeRow();
    EXPECT_EQ(form->Database().Road().Waiting(), 1u);
    reconnect();
    db::SetCallBound(db::DefaultCallBound);

    EXPECT_EQ(callNumbers(), callers);
    const std::string log = mainLogText();
    EXPECT_NE(
        log.find("Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: INSERT INTO TalksIncoming"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("Sprawdzono, jest w bazie danych: INSERT INTO TalksIncoming"), std::string::npos)
        << log;
}

// The server was away when the rows were made and is back before the
// reconnect timer fires: the stop attaches once and writes them, rather than
// giving them up.
TEST_F(Outage, RowsKeptAtAStopAreWrittenWhenTheDatabaseIsBack) {
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    server.kill();
    EXPECT_NE(writeCall("600999777", 42), 0);
    EXPECT_NE(writeCall("600999778", 43), 0);
    ASSERT_EQ(form->Database().Road().Waiting(), 2u);
    ASSERT_TRUE(server.start()) << server.error();

    form->WMQuery();
    EXPECT_EQ(form->Database().Road().Waiting(), 0u);
    EXPECT_NE(count("TalksIncoming WHERE sNumber IN ('600999777', '600999778')").find("COUNT=2"),
              std::string::npos);
    const std::string log = form->Info->Items().join('\n').toStdString();
    EXPECT_NE(log.find("Przed zakończeniem pracy zapisano w bazie danych 2 z 2 odłożonych zapisów"),
              std::string::npos)
        << log;
}

// Rows go to a writer of their own: one that meets a database that does not
// answer holds nothing (the row is not even kept yet when the write returns).
// The writer gives it back once its call is abandoned, it waits with the kept
// rows and is written after the relay passes again; the writer then takes
// rows again.
TEST_F(Outage, RowsLeaveTheEventLoopAndComeBackWhenTheirWriterCannotWriteThem) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    db::SetCallBound(std::chrono::milliseconds(1000));
    writeCallRow("600100000");
    awaitStored("COUNT=1");
    {
        relay->hold(true);
        testing_support::ReleaseLater release(*relay);
        writeCallRow("600100001");
        EXPECT_EQ(form->Database().Road().Waiting(), 0u) << "the write waited for the database";
        QDeadlineTimer deadline(60000);
        while (form->Database().Road().Waiting() == 0 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        EXPECT_EQ(form->Database().Road().Waiting(), 1u);
    }
    relay->hold(false);
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    db::SetCallBound(db::DefaultCallBound);
    writeCallRow("600100002");
    awaitStored("COUNT=3");
    EXPECT_EQ(callNumbers(), (std::vector<std::string>{"600100000", "600100001", "600100002"}));
}

// The writer gives a row back while the event loop is busy: the row offered
// next, before the one given back is kept, is still written after it.
TEST_F(Outage, ARowOfferedWhileAnotherIsGivenBackGoesBehindIt) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    db::SetCallBound(std::chrono::milliseconds(1000));
    {
        relay->hold(true);
        testing_support::ReleaseLater release(*relay);
        writeCallRow("600100001");
        QDeadlineTimer deadline(60000);
        while (!form->Database().Road().Paused() && !deadline.hasExpired())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(form->Database().Road().Paused());
        db::SetCallBound(db::DefaultCallBound);
    }
    relay->hold(false);
    writeCallRow("600100002");
    QDeadlineTimer deadline(60000);
    while (form->Database().Road().Waiting() == 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), (std::vector<std::string>{"600100001", "600100002"}));
}

// The server goes silent while the writer's connection is idle: stopping the
// writer cuts its last detach at the bound instead of waiting for the server.
// Its connection reset while the server stays silent: its new attach is cut
// at the bound too, and the row waits with the kept rows meanwhile.
TEST_F(Outage, TheWritersDetachAndReattachAreCutAtTheirBound) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    writeCallRow("600100001");
    awaitStored("COUNT=1");
    {
        relay->hold(true);
        testing_support::ReleaseLater release(*relay);
        db::SetCallBound(std::chrono::milliseconds(1000));
        db::SetCallBound(db::DefaultCallBound);
        EXPECT_FALSE(release.released()) << "the writer's detach waited for the server";
    }
    relay->hold(false);
    writeCallRow("600100002");
    awaitStored("COUNT=2");
    {
        relay->hold(true);
        relay->dropConnections();
        testing_support::ReleaseLater release(*relay);
        db::SetCallBound(std::chrono::milliseconds(1000));
        writeCallRow("600100003");
        while (form->Database().Road().Waiting() == 0 && !release.released())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        EXPECT_EQ(form->Database().Road().Waiting(), 1u);
        db::SetCallBound(db::DefaultCallBound);
        EXPECT_FALSE(release.released()) << "the writer's new attach waited for the server";
    }
    relay->hold(false);
    ASSERT_TRUE(WaitForAttachThreads(std::chrono::steady_clock::now() + std::chrono::seconds(60)));
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), (std::vector<std::string>{"600100001", "600100002", "600100003"}));
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

    ASSERT_TRUE(server.start()) << server.error();
    form->trmReconnectTimer();
    ASSERT_TRUE(MainDbHandleExists());
    EXPECT_EQ(form->Database().Road().Waiting(), std::size_t(kept))
        << "kept rows were written on the event loop";

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
    const int handedOn = sms.InsertDataWithId(
        [&](int result, const std::string&) {
            smsResult = result;
            keptWhenStored = form->Database().Road().Waiting();
        });
    EXPECT_EQ(handedOn, db::RowKeptForReturn) << "the received row overtook the kept rows";
    callers.push_back("600999999");
    writeCallRow(callers.back());

    EXPECT_TRUE(replayed());
    EXPECT_EQ(smsResult, 0);
    EXPECT_EQ(keptWhenStored, 1u) << "only the call row written after it may wait behind it";
    EXPECT_EQ(callNumbers(), callers);
    EXPECT_NE(count("Sms WHERE sBody = 'received while rows wait'").find("COUNT=1"), std::string::npos);
}

// Another client of the database holds an uncommitted update of an SMS row
// past the call bound while the program changes that row's state: the change
// waits for the lock on the writer, the event loop runs meanwhile, the main
// connection is not given up, and once the lock goes the row has its state.
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

    bool told = false;
    db::WriteMainRowsThen({ServiceSmsDB::StatusUpdate(::SmsState{"3"}, ::SmsRowId{id})},
                          [&] { told = true; });
    std::string log;
    QDeadlineTimer deadline(60000);
    while (log.find("zwolni wiersz") == std::string::npos && MainDbHandleExists() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        log += mainLogText();
    }
    EXPECT_NE(log.find("zwolni wiersz: UPDATE Sms SET nState"), std::string::npos) << log;
    EXPECT_FALSE(told);

    // Released only once the bound has passed: a wait counted as a silent
    // server would have given the connection up by then.
    bool released = false, lost = false;
    QTimer::singleShot(db::CallBound() + std::chrono::milliseconds(1000),
                       [&] { released = holder.CommitWork() == 0; });
    while (!told && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        lost = lost || !MainDbHandleExists();
    }
    EXPECT_TRUE(released);
    EXPECT_TRUE(told);
    EXPECT_FALSE(lost) << mainLogText();
    EXPECT_EQ(form->Database().MainDbState, 0);
    EXPECT_NE(count("Sms WHERE nId = " + id + " AND nState = 3 AND nForward = 7").find("COUNT=1"),
              std::string::npos);
    SessionDB::DetachDatabase(&other);
    db::SetCallBound(db::DefaultCallBound);
}
