// Rows behind another client's lock: they wait on the writer while the
// event loop runs and the connection stays, and the changes of one row keep
// their order.
#include "OutageFixture.h"

using namespace outagetest;

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
