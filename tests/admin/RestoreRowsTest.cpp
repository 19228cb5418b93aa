// The rows on their way into the database when a restore begins: calls and
// messages that wait for the restore and land in the database it leaves.
#include "MaintenanceFixture.h"

namespace {

using namespace maintenancetest;

// Calls end while the live database is backed up before a restore, their
// rows on their way through the row writer as the program writes them: the
// rows wait and go into the restored database, each once, or, when the user
// gives up the restore for want of that backup, into the database that stays.
struct CallsDuringTheBackup {
    bool server;
    bool backupFails;
};

class CallRowsDuringRestore : public Maintenance, public ::testing::WithParamInterface<CallsDuringTheBackup> {
  protected:
    static constexpr int Calls = 40;
    static std::string caller(int i) { return std::to_string(600100200 + i); }
    void endCalls(int from, int to) {
        for (int i = from; i < to; ++i)
            form->Pbx().SaveIncomingCall(caller(i), "201", 30, QDateTime::currentDateTime());
    }
    // How often each of this test's callers is in the database, on a
    // connection of the test's own.
    std::map<std::string, int> stored() {
        DbHandle own = 0;
        std::map<std::string, int> times;
        std::string all = rows("SELECT sNumber FROM TalksIncoming", &own);
        SessionDB::DetachDatabase(&own);
        for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1)
            ++times[all.substr(at, end - at)];
        return times;
    }
    int storedOf(int from, int to) {
        const auto times = stored();
        int found = 0;
        for (int i = from; i < to; ++i)
            found += times.contains(caller(i)) ? 1 : 0;
        return found;
    }
};

TEST_P(CallRowsDuringRestore, GoIntoTheDatabaseThatIsLeftEachOnce) {
    if (GetParam().server)
        HALVEX_REQUIRE_FB_SERVER();
    ASSERT_NO_FATAL_FAILURE(open(GetParam().server));
    endCalls(0, Calls);
    serveUntil([&] { return storedOf(0, Calls) == Calls; });
    ASSERT_EQ(storedOf(0, Calls), Calls);
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();

    // The backup of the live database has begun when the calls end.
    maintenance().SetGbakPath(heldGbak("-b", GetParam().backupFails));
    startRestore(backup, GetParam().backupFails ? std::optional<int>(ui::IDNO) : std::nullopt);
    serveWhileGbakRuns([&] { return heldStepReached(); });
    ASSERT_TRUE(heldStepReached()) << mainLogText();
    endCalls(Calls, 2 * Calls);
    // Either they are in the database being backed up, or they wait.
    serveUntil([&] {
        return form->Database().Road().Waiting() == std::size_t(Calls) || storedOf(Calls, 2 * Calls) == Calls;
    });
    const std::size_t keptDuringBackup = form->Database().Road().Waiting();
    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_EQ(dialog->bazaOdtworzona, 1);
    EXPECT_TRUE(shown(text(GetParam().backupFails ? "IDS_961" : "IDS_964"))) << mainLogText();
    serveUntil([&] { return form->Database().Road().Waiting() == 0; });

    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(form->Database().Road().Waiting(), 0u);
    const auto times = stored();
    int during = 0;
    for (int i = 0; i < 2 * Calls; ++i) {
        const auto found = times.find(caller(i));
        EXPECT_TRUE(found != times.end() && found->second == 1)
            << caller(i) << " stored " << (found == times.end() ? 0 : found->second) << " times";
        during += i >= Calls && found != times.end() ? 1 : 0;
    }
    EXPECT_EQ(mainLogText().find("Nie zapisano w bazie danych: "), std::string::npos) << mainLogText();
    std::printf("[ figures  ] %s%s: %d call rows ended during the backup before the restore, %zu of them "
                "waited, %d found afterwards\n",
                GetParam().server ? "server" : "embedded", GetParam().backupFails ? ", backup failed" : "",
                Calls, keptDuringBackup, during);
}

INSTANTIATE_TEST_SUITE_P(RestoredOrGivenUp, CallRowsDuringRestore,
                         ::testing::Values(CallsDuringTheBackup{false, false},
                                           CallsDuringTheBackup{true, false},
                                           CallsDuringTheBackup{false, true}),
                         [](const auto& info) {
                             return std::string(info.param.server ? "Server" : "Embedded") +
                                    (info.param.backupFails ? "RestoreGivenUp" : "Restored");
                         });

// ---- the rows on their way when a restore begins ----

class RowsAtRestore : public HeldRestore {
  protected:
    // An SMS the program sent, and its key.
    sms::SMSMSG addSms(const std::string& number, const std::string& date) {
        sql("INSERT INTO Sms (nDir, sDate, sTime, sNumber, sLine, sBody, nState, nUserId) VALUES (1, '" +
            date + "', '10:00:00', '" + number + "', 'L1', 'tresc', 0, 0)");
        sms::SMSMSG msg;
        msg.nId = std::atoi(rows("SELECT MAX(nId) FROM Sms").c_str());
        msg.sDate = date;
        msg.sTime = "10:00:00";
        msg.sNumber = number;
        msg.sLine = "L2";
        return msg;
    }
    // Serves until the log has said `part`; all it said meanwhile.
    std::string logUntil(const std::string& part) {
        std::string log;
        serveUntil([&] {
            log += logAndPane();
            return log.find(part) != std::string::npos;
        });
        return log;
    }
};

// The windows are held from the click, while the rows on their way still go
// into the database the restore replaces (here one waits for a row another
// client holds): the progress window says what it waits for, then gbak's
// output; OK with changed database fields, the main window's pages and a
// backup do nothing meanwhile. The row held aside names a message the
// restored database does not hold: it is not applied there, and said.
TEST_F(RowsAtRestore, HoldTheWindowsFromTheClickWhileARowWaitsForAnotherClientsLock) {
    ASSERT_NO_FATAL_FAILURE(openWithBackup());
    form->resize(1000, 700);
    form->show();
    form->Zakladki->setCurrentWidget(form->TabSms);
    dialog->show();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    sms::SMSMSG sent = addSms("600100200", "2026-01-02");
    const std::string id = std::to_string(sent.nId);
    DbHandle other = 0;
    auto holder = std::make_unique<SessionDB>(c.host, c.path, c.user, c.password, &other, false);
    ASSERT_EQ(holder->BeginWork(), 0);
    ASSERT_EQ(holder->ExecuteSQL("UPDATE Sms SET nForward = 7 WHERE nId = " + id), 0);
    form->Sms().ChgSmsStatus(sent, sms::SMS_STATE_SENT);
    // The click comes while the writer's update waits on the lock: the row
    // is in its hand, not among those waiting.
    const std::string waitingUpdates = "SELECT COUNT(*) FROM MON$STATEMENTS WHERE MON$STATE = 1 AND "
                                       "MON$SQL_TEXT STARTING WITH 'UPDATE Sms SET nState'";
    serveUntil([&] { return rows(waitingUpdates) == "1\n"; });
    ASSERT_EQ(rows(waitingUpdates), "1\n");
    const std::string database = c.path;
    dialog->NameEdit->selectAll();
    QTest::keyClicks(dialog->NameEdit, QString::fromStdString(folder.file("elsewhere.fdb")));

    maintenance().SetGbakPath(heldGbak("-b"));
    dialogs->QueueAnswer(ui::IDOK);
    dialogs->QueueText(backup);
    QTest::mouseClick(dialog->btnRestore, Qt::LeftButton);
    EXPECT_TRUE(progress->isVisible());
    EXPECT_EQ(progress->Label1->text().toStdString(), text("IDS_967"));
    QTest::mouseClick(dialog->btnAccept, Qt::LeftButton);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(form->Settings.NameFBText, database);
    QTabBar* bar = form->Zakladki->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {},
                      bar->tabRect(form->Zakladki->indexOf(form->TabSheet1)).center());
    EXPECT_EQ(form->Zakladki->currentWidget(), form->TabSms);
    const auto before = dialogs->Calls().size();
    dialog->btnBackupClick();
    ASSERT_EQ(dialogs->Calls().size(), before + 1);
    EXPECT_EQ(dialogs->Calls().back().text, text("IDS_960"));

    serveWhileGbakRuns([&] { return heldStepReached(); });
    ASSERT_TRUE(heldStepReached()) << logAndPane();
    EXPECT_EQ(progress->Label1->text().toStdString().rfind(text("IDS_172"), 0), 0u);
    // The other client lets go before the restore asks who is attached.
    ASSERT_EQ(holder->CommitWork(), 0);
    holder.reset();
    ASSERT_EQ(SessionDB::DetachDatabase(&other), 0);
    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_TRUE(shown(text("IDS_964"))) << logAndPane();
    EXPECT_EQ(MainDbAttachedWith().path, database);
    EXPECT_EQ(form->Settings.NameFBText, database);
    const std::string log =
        logUntil("nie ma w niej tego wiersza: UPDATE Sms SET nState='1' WHERE nId='" + id);
    EXPECT_NE(log.find("nie ma w niej tego wiersza: UPDATE Sms SET nState='1' WHERE nId='" + id),
              std::string::npos)
        << log;
    EXPECT_EQ(rows("SELECT COUNT(*) FROM Sms"), "0\n");
}

// A restore whose rows on their way do not settle in time (the server does
// not answer the row writer) is not made: it says so in a box of the dialog
// and lets everything go, the progress window, the held controls and the
// pause of the rows, which then go on.
TEST_F(RowsAtRestore, ThatDoNotSettleInTimeGiveTheRestoreUpAndGoOn) {
    HALVEX_REQUIRE_FB_SERVER();
    testing_support::SlowTcpProxy relay(3050, std::chrono::milliseconds(0));
    ASSERT_NE(relay.port(), 0);
    ASSERT_NO_FATAL_FAILURE(open(true, &relay));
    progress = std::make_unique<TOknoInfo>();
    OknoInfo = progress.get();
    dialog->show();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    testfb::AwaitRowRoad();
    const auto backups = QDir(QString::fromStdString(backupDir())).entryList({"backup_*"}).size();
    maintenance().SetRowsWait(std::chrono::milliseconds(300));

    relay.hold(true);
    testing_support::ReleaseLater release(relay);
    form->Pbx().SaveIncomingCall("600100299", "201", 30, QDateTime::currentDateTime());
    const std::string file = scratch.path().toStdString() + "/any.fbk";
    testing_support::writeFile(file, "never read");
    clickRestore(file);
    serveUntil([&] { return shown(text("IDS_968")); });
    ASSERT_TRUE(shown(text("IDS_968"))) << logAndPane();
    EXPECT_EQ(dialogs->Calls().back().owner, dialog.get());
    EXPECT_FALSE(progress->isVisible());
    EXPECT_TRUE(dialog->btnAccept->isEnabled());
    EXPECT_TRUE(dialog->tabBaza->isEnabled());
    EXPECT_TRUE(form->Zakladki->isEnabled());
    EXPECT_FALSE(maintenance().Restoring());
    EXPECT_FALSE(maintenance().Busy());
    EXPECT_FALSE(form->Database().Road().Paused());

    relay.hold(false);
    serveUntil([&] { return form->Database().Road().Empty(); });
    EXPECT_TRUE(form->Database().Road().Empty()) << logAndPane();
    EXPECT_EQ(rows("SELECT COUNT(*) FROM TalksIncoming WHERE sNumber = '600100299'"), "1\n") << logAndPane();
    EXPECT_EQ(QDir(QString::fromStdString(backupDir())).entryList({"backup_*"}).size(), backups);
}

// The updates of SMS rows held during a restore land only on their own
// messages: where the restored database gives their keys to other messages
// they are not applied, and said; the message it holds as sent is updated.
TEST_F(RowsAtRestore, SmsUpdatesLandOnlyOnTheirOwnMessages) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    progress = std::make_unique<TOknoInfo>();
    OknoInfo = progress.get();
    std::vector<sms::SMSMSG> inBackup;
    for (const char* number : {"600000001", "600000002", "600000003"})
        inBackup.push_back(addSms(number, "2026-01-02"));
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    // After the backup the first two keys name other messages.
    sql("UPDATE Sms SET sNumber = '700000000' || nId, sDate = '2026-02-03' WHERE nId IN (" +
        std::to_string(inBackup[0].nId) + ", " + std::to_string(inBackup[1].nId) + ")");
    std::vector<sms::SMSMSG> sent = inBackup;
    for (int i = 0; i < 2; ++i) {
        sent[std::size_t(i)].sNumber = "700000000" + std::to_string(sent[std::size_t(i)].nId);
        sent[std::size_t(i)].sDate = "2026-02-03";
    }

    maintenance().SetGbakPath(heldGbak("-b"));
    startRestore(backup);
    serveWhileGbakRuns([&] { return heldStepReached(); });
    ASSERT_TRUE(heldStepReached()) << logAndPane();
    for (sms::SMSMSG& msg : sent)
        form->Sms().ChgSmsStatus(msg, sms::SMS_STATE_SENT);
    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    ASSERT_TRUE(shown(text("IDS_964"))) << logAndPane();
    std::string log;
    serveUntil([&] {
        log += logAndPane();
        return form->Database().Road().Empty();
    });
    EXPECT_EQ(rows("SELECT nId, sNumber, nState, sLine FROM Sms ORDER BY nId"),
              std::to_string(inBackup[0].nId) + "\n600000001\n0\nL1\n" + std::to_string(inBackup[1].nId) +
                  "\n600000002\n0\nL1\n" + std::to_string(inBackup[2].nId) + "\n600000003\n1\nL2\n")
        << log;
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(log.find("nie ma w niej tego wiersza: UPDATE Sms SET nState='1' WHERE nId='" +
                           std::to_string(inBackup[std::size_t(i)].nId) + "'"),
                  std::string::npos)
            << log;
    EXPECT_EQ(log.find("nie ma w niej tego wiersza: UPDATE Sms SET nState='1' WHERE nId='" +
                       std::to_string(inBackup[2].nId) + "'"),
              std::string::npos)
        << log;
}

} // namespace
