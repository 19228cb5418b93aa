// A restore held shut from its click to its end: the exits it refuses, a
// stop in any of its boxes, the connection test of its end, and the
// scheduled backup and the desks' log-ins that wait for it.
#include "MaintenanceFixture.h"

namespace {

using namespace maintenancetest;

// ---- a restore held shut from its click to its end ----

// The progress window's close box and the tray menu's exit do not leave a
// running restore: the window stays, modal, and the exit says that a
// restore runs and does nothing else.
TEST_F(HeldRestore, NeitherTheProgressWindowsCloseBoxNorTheTrayExitLeavesIt) {
    ASSERT_NO_FATAL_FAILURE(openWithBackup());
    maintenance().SetGbakPath(heldGbak("-c"));
    clickRestore(backup);
    serveWhileGbakRuns([&] { return heldStepReached(); });
    ASSERT_TRUE(heldStepReached()) << mainLogText();
    ASSERT_TRUE(progress->isVisible());

    progress->close();
    EXPECT_TRUE(progress->isVisible()) << "the close box hid the restore's window";
    EXPECT_TRUE(progress->isModal());
    const auto before = dialogs->Calls().size();
    dialogs->QueueAnswer(ui::IDYES); // were the exit confirmed, the user would say yes
    form->Zamknij1->trigger();
    EXPECT_FALSE(form->IsClosing());
    const auto calls = dialogs->Calls();
    ASSERT_EQ(calls.size(), before + 1);
    EXPECT_EQ(calls.back().text, text("IDS_960"));

    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_TRUE(shown(text("IDS_964"))) << mainLogText();
    EXPECT_FALSE(progress->isVisible());
    EXPECT_FALSE(form->IsClosing());
}

// The end of the session comes while a box of the restore waits for the
// user: the box is ended with its safe answer, the program stops (the stop
// is not put off until the box is answered), the log and stderr name the
// backup made before the restore, and the database is whole: the old one
// when the restore was cut before its end, the restored one after it.
struct BoxAtStop {
    const char* key;
    const char* name;
};

class StopInARestoresBox : public HeldRestore, public ::testing::WithParamInterface<BoxAtStop> {};

TEST_P(StopInARestoresBox, EndsTheBoxAndTheProgramAndLeavesAWholeDatabase) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    dialog->show();
    addMessage("2026-01-02", "w backupie");
    const std::string atBackup = rows();
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    addMessage("2026-01-03", "po backupie");
    const std::string before = rows();
    const std::string key = GetParam().key;
    if (key == "IDS_961")
        maintenance().SetGbakPath(wrapper(true));
    else if (key == "IDS_113")
        maintenance().SetGbakPath(heldGbak("-b"));
    watching->realText = text(key.c_str());

    // The signal's handler runs inside the box's loop, as the signal's
    // notifier is served there.
    bool boxSeen = false, endedByStop = false;
    QTimer watch;
    watch.setInterval(20);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(window);
            if (!box || !box->isVisible() || boxSeen)
                continue;
            boxSeen = true;
            watch.stop();
            form->WMQuery();
            endedByStop = !box->isVisible();
            // Left open, the stop's bound would end this process.
            if (!endedByStop)
                box->reject();
        }
    });
    watch.start();
    testing::internal::CaptureStderr();
    startRestore(backup);
    if (key == "IDS_113") {
        serveUntil([&] { return heldStepReached(); });
        maintenance().SetGbakPath(scratch.path().toStdString() + "/no-gbak");
        ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    }
    serveUntil([&] { return form->IsClosing(); });
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(boxSeen) << logAndPane();
    EXPECT_TRUE(endedByStop) << "the stop waited for the box";
    EXPECT_TRUE(form->IsClosing());
    const std::string log = logAndPane();
    if (key != "IDS_961") {
        const std::string fresh = maintenance().LastBackupFile();
        ASSERT_NE(fresh, backup);
        EXPECT_NE(log.find("kopia bazy sprzed odtwarzania: " + fresh), std::string::npos) << log;
        EXPECT_NE(said.find(fresh), std::string::npos) << said;
    }
    testfb::DetachMain();
    EXPECT_EQ(rowsOnOwnConnection(), key == "IDS_964" ? atBackup : before) << log;
    EXPECT_FALSE(QFile::exists(QString::fromStdString(c.path + ".restoring")));
}

INSTANTIATE_TEST_SUITE_P(EveryBox, StopInARestoresBox,
                         ::testing::Values(BoxAtStop{"IDS_961", "NoBackupGoOn"},
                                           BoxAtStop{"IDS_113", "GbakCannotStart"},
                                           BoxAtStop{"IDS_964", "Restored"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The restore's end tests the connection in its order: the outcome, the
// loopback warning and the check of an empty file field before any attach;
// the boxes of the final attach belong to the dialog; and gbak that cannot
// start for the restore is said once the progress window is gone and the
// connection is attached again.
TEST_F(HeldRestore, ItsEndTestsTheConnectionInOrderWithEveryBoxOwned) {
    ASSERT_NO_FATAL_FAILURE(openWithBackup());
    dialog->show();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    dialog->DIPBEdit->clear();
    QTest::keyClicks(dialog->DIPBEdit, "127.0.0.1");
    dialog->NameEdit->clear();

    clickRestore(backup);
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_TRUE(MainDbHandleExists()) << mainLogText();
    const WatchingDialogs::Seen* outcome = watching->find(text("IDS_964"));
    const WatchingDialogs::Seen* loopback = watching->find("Adres IP serwera bazy");
    const WatchingDialogs::Seen* noFile = watching->find(text("IDS_20"));
    ASSERT_TRUE(outcome && loopback && noFile) << mainLogText();
    EXPECT_TRUE(outcome < loopback && loopback < noFile);
    for (const auto* box : {outcome, loopback, noFile}) {
        EXPECT_FALSE(box->attached) << box->text;
        EXPECT_FALSE(box->progressShown) << box->text;
    }
    EXPECT_NE(mainLogText().find("odtworzona z backupu " + backup), std::string::npos);

    // The database's file is gone when the restore ends: the attach asks
    // whether to create it, and says why it failed, from the dialog.
    QTest::keyClicks(dialog->NameEdit, QString::fromStdString(c.path));
    const QString gone = scratch.path() + "/gbak-removes";
    testing_support::writeFile(
        gone.toStdString(),
        QStringLiteral("#!/bin/sh\ncase \" $* \" in *\" -c \"*)\n  rm -f '%1'\n  exit 0;;\n"
                       "esac\nexec %2 \"$@\"\n")
            .arg(QString::fromStdString(c.path), RealGbak)
            .toStdString());
    QFile::setPermissions(gone, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    maintenance().SetGbakPath(gone.toStdString());
    const auto from = dialogs->Calls().size();
    dialogs->QueueAnswer(ui::IDOK);
    dialogs->QueueText(backup);
    QTest::mouseClick(dialog->btnRestore, Qt::LeftButton);
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const auto calls = dialogs->Calls();
    bool askedToCreate = false;
    for (auto call = calls.begin() + std::ptrdiff_t(from); call != calls.end(); ++call)
        if (call->kind == "MessageBox") {
            askedToCreate = askedToCreate || call->text == form->Text("IDS_DB_FILE_MISSING");
            EXPECT_EQ(call->owner, dialog.get()) << call->text;
        }
    EXPECT_TRUE(askedToCreate) << mainLogText();

    // gbak found for the backup, gone for the restore.
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    maintenance().SetGbakPath(heldGbak("-b"));
    watching->seen.clear();
    startRestore(maintenance().LastBackupFile());
    serveUntil([&] { return heldStepReached(); });
    maintenance().SetGbakPath(scratch.path().toStdString() + "/no-gbak");
    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const WatchingDialogs::Seen* cannotStart = watching->find(text("IDS_113"));
    ASSERT_TRUE(cannotStart) << mainLogText();
    EXPECT_FALSE(cannotStart->progressShown);
    EXPECT_TRUE(MainDbHandleExists());
}

// SIGTERM comes while the restore's end waits in its box for the user: the
// program stops within its bound, with the box ended, the backup made
// before the restore named on stderr and in the log. The program runs as a child (this test again, its part
// told by HALVEX_STOP_CHILD), its box open for real; the test signals it.
TEST_F(HeldRestore, SigtermWhileItsEndsBoxIsOpenStopsTheProgram) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    const QString marker = qEnvironmentVariable("HALVEX_STOP_MARKER");
    if (!marker.isEmpty()) {
        ASSERT_NO_FATAL_FAILURE(open(false));
        dialog->show();
        dialog->btnBackupClick();
        ASSERT_NO_FATAL_FAILURE(waitForGbak());
        const std::string backup = maintenance().LastBackupFile();
        watching->realText = text("IDS_964");
        QTimer watch;
        watch.setInterval(20);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            for (QWidget* window : QApplication::topLevelWidgets())
                if (qobject_cast<QMessageBox*>(window) && window->isVisible()) {
                    watch.stop();
                    QFile open(marker);
                    ASSERT_TRUE(open.open(QIODevice::WriteOnly));
                }
        });
        watch.start();
        startRestore(backup);
        serveUntil([&] { return form->IsClosing(); });
        ASSERT_TRUE(form->IsClosing());
        const std::string fresh = maintenance().LastBackupFile();
        EXPECT_NE(logAndPane().find("kopia bazy sprzed odtwarzania: " + fresh), std::string::npos);
        return;
    }
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"GTEST_TOTAL_SHARDS", "GTEST_SHARD_INDEX", "GTEST_OUTPUT"})
        environment.remove(QString::fromLatin1(name));
    const QString boxOpen = scratch.path() + "/box-open";
    environment.insert("HALVEX_STOP_MARKER", boxOpen);
    program.setProcessEnvironment(environment);
    program.start(QCoreApplication::applicationFilePath(),
                  {"--gtest_filter=HeldRestore.SigtermWhileItsEndsBoxIsOpenStopsTheProgram"});
    ASSERT_TRUE(program.waitForStarted());
    QDeadlineTimer deadline(120000);
    while (!QFile::exists(boxOpen) && !deadline.hasExpired() && program.state() == QProcess::Running)
        program.waitForFinished(50);
    ASSERT_TRUE(QFile::exists(boxOpen)) << program.readAll().toStdString();
    ::kill(pid_t(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(60000));
    const std::string output = program.readAllStandardOutput().toStdString();
    const std::string said = program.readAllStandardError().toStdString();
    EXPECT_EQ(program.exitCode(), 0) << said;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output << said;
    EXPECT_NE(said.find("the backup made before it: "), std::string::npos) << said;
    EXPECT_EQ(said.find("did not end in time"), std::string::npos) << said;
}

// A backup the schedule makes due while a restore runs waits: the database
// about to be replaced is neither cleaned nor backed up, and the time of
// the last run stays; once the restore has ended it is made, and only then
// does that time move.
TEST_F(HeldRestore, TheScheduledBackupWaitsForItsEnd) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    const std::string old = QDate::currentDate().addDays(-120).toString(Qt::ISODate).toStdString();
    addMessage(old, "stara");
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    form->Settings.AutoBackup = true;
    form->Settings.AutoBackupPeriod = 7;
    form->Settings.CleanBeforeBackup = true;
    const QDateTime longAgo = QDateTime::currentDateTime().addDays(-30);
    form->Settings.LastBackupTime = longAgo;

    maintenance().SetGbakPath(heldGbak("-b"));
    startRestore(backup);
    serveUntil([&] { return heldStepReached(); });
    ASSERT_TRUE(heldStepReached());
    form->MaintenanceTimerTimer();
    EXPECT_EQ(form->Settings.LastBackupTime, longAgo);
    EXPECT_NE(rows().find("stara"), std::string::npos) << "cleaned under the restore";
    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    serveUntil([&] { return shown(text("IDS_964")); });
    ASSERT_TRUE(shown(text("IDS_964"))) << mainLogText();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_NE(form->Settings.LastBackupTime, longAgo) << mainLogText();
    EXPECT_EQ(rows().find("stara"), std::string::npos) << "not cleaned after the restore";
    EXPECT_EQ(QDir(QString::fromStdString(backupDir())).entryList({"backup_*.fbk"}).size(), 3);
}

// The backup a restore makes first cannot start (gbak that cannot run, a
// backup folder that cannot be written): its box comes once the progress
// window has gone and the dialog is free again, the dialog's own, above it,
// and before the question whether to go on without that backup.
TEST_F(HeldRestore, ABoxOfItsBackupComesAboveTheDialogOnceTheProgressWindowIsGone) {
    ASSERT_NO_FATAL_FAILURE(openWithBackup());
    dialog->show();
    const std::string cannotRun = scratch.path().toStdString() + "/gbak-cannot-run";
    testing_support::writeFile(cannotRun, "#!/nonexistent/interpreter\n");
    QFile::setPermissions(QString::fromStdString(cannotRun), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const std::string notAFolder = scratch.path().toStdString() + "/not-a-folder";
    testing_support::writeFile(notAFolder, "");
    struct Case {
        std::string gbak, folder;
        const char* key;
    };
    for (const Case& run :
         {Case{cannotRun, backupDir(), "IDS_113"}, Case{RealGbak, notAFolder + "/backups", "IDS_117"}}) {
        SCOPED_TRACE(run.key);
        maintenance().SetGbakPath(run.gbak);
        maintenance().SetBackupPath(run.folder);
        watching->realText = text(run.key);
        watching->seen.clear();
        struct {
            bool seen = false, progressShown = true, dialogHeld = true, onTop = false;
            QWidget* owner = nullptr;
        } box;
        QTimer watch;
        watch.setInterval(20);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                auto* shownBox = qobject_cast<QMessageBox*>(window);
                if (!shownBox || !shownBox->isVisible())
                    continue;
                watch.stop();
                box.seen = true;
                box.progressShown = progress->isVisible();
                box.dialogHeld = !dialog->tabBaza->isEnabled() || !dialog->btnCancel->isEnabled();
                box.owner = shownBox->parentWidget();
                box.onTop = QApplication::activeModalWidget() == shownBox;
                shownBox->accept();
            }
        });
        watch.start();
        clickRestore(backup);
        serveUntil([&] { return !maintenance().Restoring(); });
        EXPECT_TRUE(box.seen) << mainLogText();
        EXPECT_FALSE(box.progressShown);
        EXPECT_FALSE(box.dialogHeld);
        EXPECT_EQ(box.owner, dialog.get());
        EXPECT_TRUE(box.onTop);
        const WatchingDialogs::Seen* failure = watching->find(text(run.key));
        const WatchingDialogs::Seen* question = watching->find(text("IDS_961"));
        ASSERT_TRUE(failure && question) << mainLogText();
        EXPECT_LT(failure, question);
        EXPECT_FALSE(question->progressShown);
        EXPECT_TRUE(dialog->tabBaza->isEnabled());
    }
}

// The schedule's hour passes while a restore runs whose end leaves the
// database away (its file gone meanwhile, and not created again): the
// backup waits for the database, and is made when it comes back, though
// its hour has passed by then.
TEST_F(HeldRestore, ABackupDueDuringItRunsWhenTheDatabaseComesBack) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    platform::ManualClock clock;
    platform::setProcessClock(&clock);
    const QDate day(2026, 3, 1);
    const QDateTime last(day, QTime(3, 0, 5));
    form->Settings.AutoBackup = true;
    form->Settings.AutoBackupPeriod = 7;
    form->Settings.BackupTimeOfDay = QTime(3, 0);
    form->Settings.LastBackupTime = last;
    clock.setDateTime({day.addDays(7), QTime(2, 50)});

    maintenance().SetGbakPath(heldGbak("-c", true));
    clickRestore(backup);
    serveWhileGbakRuns([&] { return heldStepReached(); });
    ASSERT_TRUE(heldStepReached()) << mainLogText();
    clock.setDateTime({day.addDays(7), QTime(3, 0, 15)});
    form->MaintenanceTimerTimer();
    EXPECT_EQ(form->Settings.LastBackupTime, last);
    ASSERT_TRUE(QFile::remove(QString::fromStdString(c.path)));
    watching->cancelText = form->Text("IDS_DB_FILE_MISSING");
    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    serveUntil([&] { return !maintenance().Restoring(); });
    ASSERT_FALSE(maintenance().Restoring());
    ASSERT_FALSE(MainDbHandleExists()) << mainLogText();
    clock.setDateTime({day.addDays(7), QTime(5, 0)});
    form->MaintenanceTimerTimer();
    EXPECT_EQ(form->Settings.LastBackupTime, last);

    QProcess gbak;
    gbak.start(QString::fromLatin1(RealGbak),
               {"-c", QString::fromStdString(backup), QString::fromStdString(c.path)});
    ASSERT_TRUE(gbak.waitForFinished(60000));
    ASSERT_EQ(gbak.exitCode(), 0) << gbak.readAll().toStdString();
    const QDateTime back = clock.dateTime();
    nameDatabase(c);
    form->Database().Reconnect();
    ASSERT_TRUE(MainDbHandleExists()) << mainLogText();
    serveUntil([&] {
        return form->Settings.LastBackupTime != last || form->Database().Road().EarlierRowsWritten();
    });
    form->MaintenanceTimerTimer(); // at the latest, the first tick after the attach
    EXPECT_EQ(form->Settings.LastBackupTime, back) << mainLogText();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_EQ(QDir(QString::fromStdString(backupDir())).entryList({"backup_*.fbk"}).size(), 3);
}

// A desk's log-in during a restore waits for its end, then is answered as
// usual, whether its password is in the list already or must be read;
// a desk logged in before is served meanwhile.
TEST_F(HeldRestore, ADesksLogInWaitsForItsEnd) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    const char* insert =
        "INSERT INTO CTIusers (sUserName, sUserLastName, sUserLogin, sUserPassword, nGroupID, "
        "sUserIP, sRCPcard, sStatus, nPrivileges) VALUES ";
    for (const char* login : {"anna", "jan", "ewa"})
        sql(std::string(insert) + "('" + login + "', 'Nowak', '" + login + "', '" + Md5HexWire("alfa") +
            "', 0, ' ', '', ' ', 0)");
    form->Admin().LoadUsers();
    // ewa's password changed after the list was read: her log-in reads it.
    sql("UPDATE CTIusers SET sUserPassword = '" + Md5HexWire("beta") + "' WHERE sUserLogin = 'ewa'");
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    form->Clients().ReadPasswordsOffLoop(true);
    form->Clients().UstawKomunikatLP();
    ASSERT_NO_FATAL_FAILURE(testing_support::OpenClientServiceOnChosenPort(*form));
    const int port = form->Settings.PortTCP;
    auto repliedWith = [](const sim::ClientSimulator& desk, const std::string& start) {
        for (const std::string& message : desk.Messages())
            if (message.rfind(start, 0) == 0)
                return true;
        return false;
    };
    sim::ClientSimulator anna, jan, ewa;
    ASSERT_TRUE(anna.Connect(port));
    ASSERT_TRUE(anna.LogIn("anna", Md5HexWire("alfa")));
    serveUntil([&] { return repliedWith(anna, "!LP&"); });
    ASSERT_TRUE(repliedWith(anna, "!LP&"));

    maintenance().SetGbakPath(heldGbak("-c"));
    startRestore(backup);
    serveUntil([&] { return heldStepReached(); });
    ASSERT_TRUE(heldStepReached());
    ASSERT_TRUE(jan.Connect(port));
    ASSERT_TRUE(jan.LogIn("jan", Md5HexWire("alfa")));
    ASSERT_TRUE(ewa.Connect(port));
    ASSERT_TRUE(ewa.LogIn("ewa", Md5HexWire("beta")));
    const std::size_t annasReplies = anna.Replies().size();
    ASSERT_TRUE(anna.Send("!PING\r"));
    serveUntil([&] { return anna.Replies().size() > annasReplies; });
    EXPECT_GT(anna.Replies().size(), annasReplies) << "a desk logged in was not served";
    EXPECT_TRUE(jan.Messages().empty()) << jan.Messages().front();
    EXPECT_TRUE(ewa.Messages().empty()) << ewa.Messages().front();

    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_TRUE(shown(text("IDS_964"))) << mainLogText();
    serveUntil([&] { return repliedWith(jan, "!LP&") && repliedWith(ewa, "!LP&"); });
    EXPECT_TRUE(repliedWith(jan, "!LP&")) << mainLogText();
    EXPECT_TRUE(repliedWith(ewa, "!LP&")) << mainLogText();
    form->Clients().WylaczSerwer();
}

} // namespace
