// The journal's own troubles: a journal that cannot be opened or whose disk
// fills, rows kept in memory meanwhile, and a stop whose deadline passes
// while rows are on their way.
#include "OutageFixture.h"

using namespace outagetest;

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
