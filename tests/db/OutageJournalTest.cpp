// The rows' journal across stops and starts: rows left in it go first at the
// next start, those of an earlier version or of another database too, and
// more rows than memory holds are all written in order.
#include "OutageFixture.h"

using namespace outagetest;

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
