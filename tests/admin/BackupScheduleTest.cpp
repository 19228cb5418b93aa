// The backup schedule with a clock the test moves, the cleaning of old
// history and the speed test of its rows.
#include "MaintenanceFixture.h"

namespace {

using namespace maintenancetest;

TEST_F(Maintenance, ScheduleRunsOncePerPeriodInItsHourOrTwoDaysLate) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    platform::ManualClock clock;
    platform::setProcessClock(&clock);
    // gbak missing: each run shows in the log at once.
    maintenance().SetGbakPath(scratch.path().toStdString() + "/no-gbak");
    form->Settings.AutoBackup = true;
    form->Settings.AutoBackupPeriod = 7;
    form->Settings.BackupTimeOfDay = QTime(3, 0);
    auto ranAt = [&](const QDateTime& last, const QDateTime& now) {
        form->Settings.LastBackupTime = last;
        clock.setDateTime(now);
        mainLogText();
        logSoFar.clear();
        form->MaintenanceTimerTimer();
        const bool ran = mainLogText().find("Nie znaleziono pliku gbak.exe") != std::string::npos;
        EXPECT_EQ(ran, form->Settings.LastBackupTime == now);
        return ran;
    };
    const QDate day(2026, 3, 1);
    EXPECT_TRUE(ranAt({day, QTime(3, 0, 5)}, {day.addDays(7), QTime(3, 0, 15)}));
    EXPECT_FALSE(ranAt({day.addDays(7), QTime(3, 0, 15)}, {day.addDays(7), QTime(3, 0, 30)}));
    EXPECT_TRUE(ranAt({day, QTime(3, 0)}, {day.addDays(7), QTime(3, 59, 59)}));
    EXPECT_FALSE(ranAt({day, QTime(3, 0)}, {day.addDays(7), QTime(2, 59, 59)}));
    EXPECT_FALSE(ranAt({day, QTime(3, 0)}, {day.addDays(8), QTime(12, 0)}));
    EXPECT_TRUE(ranAt({day, QTime(3, 0)}, {day.addDays(9), QTime(2, 59)}));
    // The set time keeps its seconds: strictly after it, not within its minute.
    form->Settings.BackupTimeOfDay = QTime(17, 8, 13);
    EXPECT_FALSE(ranAt({day, QTime(3, 0)}, {day.addDays(7), QTime(17, 8, 5)}));
    form->Settings.BackupTimeOfDay = QTime(3, 0);
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", false));
    EXPECT_EQ(key.ReadString("timeBackup"), "2026-03-10 02:59:00");

    // Nothing while the database is away.
    testfb::DetachMain();
    EXPECT_FALSE(ranAt({day, QTime(3, 0)}, {day.addDays(30), QTime(3, 30)}));
}

TEST_F(Maintenance, CleaningStopsAtTheFirstFailingTableAndTheSpeedTestWritesHistory) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    const std::string old = QDate::currentDate().addDays(-120).toString(Qt::ISODate).toStdString();
    const std::string recent = QDate::currentDate().addDays(-10).toString(Qt::ISODate).toStdString();
    for (const std::string& date : {old, recent}) {
        addMessage(date, "msg " + date);
        for (const char* table : {"TalksIncoming", "TalksOutgoing"})
            sql(std::string("INSERT INTO ") + table +
                " (sUserPhone, sDate, sTime, sNumber) VALUES ('100', '" + date + "', '10:00:00', '200')");
    }
    SessionDB ddl(c.host, c.path, c.user, c.password, &MainDbHandle, false);
    ASSERT_EQ(ddl.ExecuteDDL("CREATE EXCEPTION KEEP_CALLS 'kept'"), 0);
    ASSERT_EQ(ddl.ExecuteDDL("CREATE TRIGGER KEEP_CALLS FOR TalksIncoming BEFORE DELETE AS BEGIN EXCEPTION "
                             "KEEP_CALLS; END"),
              0);
    auto count = [&](const char* table) { return rows(std::string("SELECT COUNT(*) FROM ") + table); };

    dialogs->QueueAnswer(ui::IDYES);
    dialog->btnCleanDatabaseClick();
    EXPECT_TRUE(shown(text("IDS_175")));
    EXPECT_EQ(count("Msg"), "1\n");
    EXPECT_EQ(count("TalksIncoming"), "2\n");
    EXPECT_EQ(count("TalksOutgoing"), "2\n");

    ASSERT_EQ(ddl.ExecuteDDL("DROP TRIGGER KEEP_CALLS"), 0);
    dialogs->QueueAnswer(ui::IDYES);
    dialog->btnCleanDatabaseClick();
    EXPECT_TRUE(shown(text("IDS_177")));
    EXPECT_EQ(count("TalksIncoming"), "1\n");
    EXPECT_EQ(count("TalksOutgoing"), "1\n");
    EXPECT_NE(rows().find("msg " + recent), std::string::npos);

    // The hidden speed test times a hundred real history rows until they
    // are written: when its time is shown, they are all in the table.
    auto watched = std::make_shared<WatchedDialogs>();
    std::string writtenWhenShown;
    watched->seen = [&](const std::string& said) {
        if (said.starts_with(text("IDS_195")))
            writtenWhenShown = rows("SELECT COUNT(*) FROM TalksIncoming WHERE sUserPhone = '199'");
    };
    dialogs = watched;
    ui::setDialogs(watched);
    dialog->btnTestDbPerformanceClick();
    serveUntil([&] { return shown(text("IDS_195")); });
    ASSERT_TRUE(shown(text("IDS_195")));
    EXPECT_EQ(writtenWhenShown, "100\n");
    EXPECT_TRUE(dialogs->Calls().back().text.ends_with("s"));
}

// A long history takes its time to delete, more than a desk's call may wait
// (here every answer of the server comes later than that bound): the
// cleaning's statements are not cut off at it, while a statement after
// them still is.
TEST_F(Maintenance, CleaningOutlastsTheBoundOfADesksCall) {
    HALVEX_REQUIRE_FB_SERVER();
    testing_support::SlowTcpProxy relay(3050, std::chrono::milliseconds(0));
    ASSERT_NE(relay.port(), 0);
    ASSERT_NO_FATAL_FAILURE(open(true, &relay));
    const std::string old = QDate::currentDate().addDays(-120).toString(Qt::ISODate).toStdString();
    const std::string recent = QDate::currentDate().addDays(-10).toString(Qt::ISODate).toStdString();
    sql("EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < 20000) DO BEGIN "
        "INSERT INTO TalksIncoming (sUserPhone, sDate, sTime, sNumber) VALUES ('100', '" +
        old + "', '10:00:00', '200'); i = i + 1; END END");
    sql("INSERT INTO TalksIncoming (sUserPhone, sDate, sTime, sNumber) VALUES ('100', '" + recent +
        "', '10:00:00', '201')");
    // Every answer of the server later than a desk's call may wait.
    const auto slow = [&relay](bool slowed) {
        relay.setDelay(std::chrono::milliseconds(slowed ? 100 : 0));
        db::SetCallBound(slowed ? std::chrono::milliseconds(50) : db::DefaultCallBound);
    };
    struct Restore {
        std::function<void(bool)> slow;
        ~Restore() { slow(false); }
    } restore{slow};
    slow(true);

    dialogs->QueueAnswer(ui::IDYES);
    QTest::mouseClick(dialog->btnCleanDatabase, Qt::LeftButton);
    EXPECT_TRUE(shown(text("IDS_177"))) << mainLogText();
    EXPECT_FALSE(shown(text("IDS_175")));
    // A desk's call after it still has its own bound.
    const auto deskStatement = [this] {
        SessionDB desk(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        return desk.ExecuteSQL("SELECT COUNT(*) FROM Msg");
    };
    EXPECT_NE(deskStatement(), 0);
    EXPECT_NE(mainLogText().find("nie odpowiedziała w ciągu"), std::string::npos);
    slow(false);
    EXPECT_EQ(rows("SELECT sNumber FROM TalksIncoming"), "201\n");

    // Nor does a desk served meanwhile by an event loop nested in
    // maintenance (an attach's wait, a message box).
    slow(true);
    {
        const db::MaintenanceCalls maintenance;
        QEventLoop nested;
        QTimer::singleShot(0, &nested, [&] {
            EXPECT_NE(deskStatement(), 0);
            nested.quit();
        });
        nested.exec();
    }
}

} // namespace
