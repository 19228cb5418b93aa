// The database outlives its server: a Firebird server of the test's own is
// killed and started again between writes, or left down, and no call-history
// or SMS row vanishes without trace. A database that the reconnect timer
// creates gets its tables.
#include "OutageFixture.h"

#ifndef IP_LOCAL_PORT_RANGE
#define IP_LOCAL_PORT_RANGE 51
#endif

using namespace outagetest;

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
