// A restore cut short: the program killed or stopped while gbak restores,
// and what the next start finds and does.
#include "MaintenanceFixture.h"

namespace {

using namespace maintenancetest;

// Waits for a process that is not our child to end; false when it still
// runs after `ms`.
bool endedWithin(int pidFd, int ms) {
    pollfd ended{pidFd, POLLIN, 0};
    return ::poll(&ended, 1, ms) == 1;
}

// The program, killed (SIGKILL) while gbak restores, takes gbak with it;
// the next start removes the unfinished file, says so in the log and on
// stderr, and opens the database again. The program runs as a child: this test again, its part told by
// HALVEX_RESTORE_CHILD.
TEST_F(Maintenance, KilledInARestoreLeavesNoGbakAndTheNextStartRemovesItsFile) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    HALVEX_REQUIRE_FB_SERVER();
    const QString part = qEnvironmentVariable("HALVEX_RESTORE_CHILD");
    c = {"127.0.0.1", qEnvironmentVariable("HALVEX_RESTORE_DB").toStdString(), "SYSDBA",
         testfb::ServerPassword()};
    if (!part.isEmpty()) {
        ASSERT_NO_FATAL_FAILURE(testfb::ConnectionInSettings(c));
        createForm("DEBUG");
        if (part == "start") {
            EXPECT_NE(mainLogText().find("Usunięto niedokończony plik odtwarzania bazy danych " + c.path +
                                         ".restoring"),
                      std::string::npos)
                << mainLogText();
            return;
        }
        SessionDB main(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        ASSERT_EQ(main.LastCode, 0);
        dialog = std::make_unique<TKonfiguracja>();
        dialog->console = &form->Admin();
        maintenance().SetGbakPath(qEnvironmentVariable("HALVEX_RESTORE_GBAK").toStdString());
        maintenance().SetBackupPath(backupDir());
        clickRestore(qEnvironmentVariable("HALVEX_RESTORE_FROM").toStdString());
        serveWhileGbakRuns();
        ADD_FAILURE() << "the restore ended before the program was killed\n" << mainLogText();
        return;
    }

    c.path = folder.file("killed.fdb");
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    addMessage("2026-01-02", "w bazie");
    testfb::DetachMain();
    const QString backup = scratch.path() + "/killed.fbk";
    QProcess gbak;
    gbak.start(RealGbak, {"-b", "-user", QString::fromStdString(c.user), "-password",
                          QString::fromStdString(c.password), QString::fromStdString(c.name()), backup});
    ASSERT_TRUE(gbak.waitForFinished(60000));
    ASSERT_EQ(gbak.exitCode(), 0) << gbak.readAllStandardError().toStdString();
    // gbak restores from a pipe the test feeds half the backup and then
    // holds: it stays in the middle of the restore.
    const QString feed = scratch.path() + "/feed";
    const QString pidFile = scratch.path() + "/gbak.pid";
    ASSERT_EQ(::mkfifo(QFile::encodeName(feed).constData(), 0600), 0);
    const int fed = ::open(QFile::encodeName(feed).constData(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fed, 0);
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } closeFeed{fed};
    QFile backupFile(backup);
    ASSERT_TRUE(backupFile.open(QIODevice::ReadOnly));
    const QByteArray half = backupFile.readAll().left(int(backupFile.size() / 2));
    ASSERT_EQ(::write(fed, half.constData(), std::size_t(half.size())), half.size());
    const QString wrapperPath = scratch.path() + "/gbak-from-feed";
    testing_support::writeFile(wrapperPath.toStdString(),
                               QStringLiteral("#!/bin/sh\n"
                                              "case \" $* \" in *\" -c \"*)\n"
                                              "  echo $$ > '%1'\n"
                                              "  for last; do :; done\n"
                                              "  exec %2 -c -replace_database stdin \"$last\" < '%3';;\n"
                                              "esac\n"
                                              "exec %2 \"$@\"\n")
                                   .arg(pidFile, RealGbak, feed)
                                   .toStdString());
    QFile::setPermissions(wrapperPath, QFileDevice::ReadOwner | QFileDevice::ExeOwner);

    auto runChild = [&](const char* childPart, QProcess& child) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"GTEST_TOTAL_SHARDS", "GTEST_SHARD_INDEX", "GTEST_OUTPUT"})
            environment.remove(QString::fromLatin1(name));
        environment.insert("HALVEX_RESTORE_CHILD", childPart);
        environment.insert("HALVEX_RESTORE_DB", QString::fromStdString(c.path));
        environment.insert("HALVEX_RESTORE_GBAK", wrapperPath);
        environment.insert("HALVEX_RESTORE_FROM", backup);
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=Maintenance.KilledInARestoreLeavesNoGbakAndTheNextStartRemovesItsFile"});
        return child.waitForStarted();
    };
    const QString restoring = QString::fromStdString(c.path + ".restoring");
    {
        QProcess program;
        ASSERT_TRUE(runChild("restore", program));
        QDeadlineTimer deadline(90000);
        while (!(QFile::exists(restoring) && QFileInfo(pidFile).size() > 0) && !deadline.hasExpired() &&
               program.state() == QProcess::Running)
            program.waitForFinished(100);
        ASSERT_TRUE(QFile::exists(restoring)) << program.readAll().toStdString();
        const pid_t gbakPid = pid_t(testing_support::readFile(pidFile.toStdString()).empty()
                                        ? 0
                                        : std::stol(testing_support::readFile(pidFile.toStdString())));
        ASSERT_GT(gbakPid, 0);
        const int gbakFd = int(::syscall(SYS_pidfd_open, gbakPid, 0));
        ASSERT_GE(gbakFd, 0) << std::strerror(errno);
        const Close closeGbakFd{gbakFd};
        ASSERT_FALSE(endedWithin(gbakFd, 0));
        ::kill(pid_t(program.processId()), SIGKILL);
        ASSERT_TRUE(program.waitForFinished(30000));
        EXPECT_TRUE(endedWithin(gbakFd, 30000)) << "gbak runs on without the program";
    }
    ASSERT_TRUE(QFile::exists(restoring));
    // Killed in the moment before the rename, it left the database closed to
    // attachments too.
    const db::ConnectionSettings database{c.host, c.path, c.user, c.password};
    ASSERT_EQ(SessionDB::CloseToAttachments(database), 0);

    QProcess next;
    ASSERT_TRUE(runChild("start", next));
    ASSERT_TRUE(next.waitForFinished(120000));
    const std::string said = next.readAllStandardError().toStdString();
    const std::string output = next.readAllStandardOutput().toStdString();
    EXPECT_EQ(next.exitCode(), 0) << output << said;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_NE(said.find("Halvex: removed " + restoring.toStdString()), std::string::npos) << said;
    EXPECT_FALSE(QFile::exists(restoring));
    DbHandle own = 0;
    EXPECT_EQ(SessionDB(c.host, c.path, c.user, c.password, &own, false).LastCode, 0);
    SessionDB::DetachDatabase(&own);
}

// A restore into the database itself (one its server knows by an alias: the
// program cannot put a file of its own in its place), cut by SIGTERM while
// the real gbak restores a backup too big to end within the stop's bound;
// calls end meanwhile, and their rows stay held to the stop. The next start
// says which database may be incomplete and which backup holds it as it
// was; a restore of it from there, made without a backup of the incomplete
// database, is cut again, by SIGKILL. The start after it still names the
// backup made before the first restore, writes none of its rows into the
// database (they wait in the journal), and writes every one once a restore
// of it ends. The program runs as a child, as main() builds it: this test
// again, its part told by HALVEX_CUT_CHILD, its own state in the folder
// HALVEX_CUT_STATE.
TEST_F(Maintenance, ARestoreIntoTheDatabaseCutByAStopIsFoundAtTheNextStart) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    HALVEX_REQUIRE_FB_SERVER();
    constexpr int Calls = 30;
    constexpr long FirstCaller = 600200300;
    const QString part = qEnvironmentVariable("HALVEX_CUT_CHILD");
    const std::string childState = qEnvironmentVariable("HALVEX_CUT_STATE").toStdString();
    if (!part.isEmpty()) {
        c = {qEnvironmentVariable("HALVEX_CUT_HOST").toStdString(), "halvexcut", "SYSDBA",
             testfb::ServerPassword()};
        ASSERT_NO_FATAL_FAILURE(testfb::ConnectionInSettings(c));
        createForm("DEBUG");
        // As main() does, with the program's own state in the test's folder.
        form->LogFilePath = childState + "/halvex.log";
        ASSERT_TRUE(form->Database().OpenRowJournal(shell::RowJournalPathFor(form->LogFilePath)));
        testing::internal::CaptureStderr();
        form->FormCreate();
        dialog = std::make_unique<TKonfiguracja>();
        dialog->console = &form->Admin();
        maintenance().SetGbakPath(RealGbak);
        maintenance().SetBackupPath(childState + "/backups");
        if (part == "restore") {
            testing::internal::GetCapturedStderr();
            SessionDB main(c.host, c.path, c.user, c.password, &MainDbHandle, false);
            ASSERT_EQ(main.LastCode, 0);
            clickRestore(qEnvironmentVariable("HALVEX_CUT_FROM").toStdString());
            // The parent stops the program once gbak restores into the database.
            bool told = false;
            serveUntil([&] {
                if (!told &&
                    mainLogText().find("Odtwarzanie bezpośrednio do bazy danych") != std::string::npos) {
                    for (int i = 0; i < Calls; ++i)
                        form->Pbx().SaveIncomingCall(std::to_string(FirstCaller + Calls + i), "201", 30,
                                                     QDateTime::currentDateTime());
                    told =
                        QFile(QString::fromStdString(childState + "/restoring")).open(QIODevice::WriteOnly);
                }
                return form->IsClosing() || !maintenance().Restoring();
            });
            ASSERT_TRUE(form->IsClosing()) << mainLogText();
            // gbak's end, cut by the stop, let nothing into the database it left.
            EXPECT_TRUE(form->Database().Road().Paused());
            EXPECT_TRUE(MainAttachHeld());
            std::string log = mainLogText();
            for (int i = 0; i < form->Info->count(); ++i)
                log += form->Info->item(i)->text().toStdString() + "\n";
            EXPECT_NE(log.find("odtwarzanie bazy danych przerwane, baza może być niekompletna"),
                      std::string::npos)
                << "gbak ended within the stop's bound\n"
                << log;
            return;
        }
        if (part == "again") {
            testing::internal::GetCapturedStderr();
            serveUntil([&] { return shown(form->Text("IDS_RESTORE_CUT")); });
            clickRestore(qEnvironmentVariable("HALVEX_CUT_FROM").toStdString());
            // The parent kills the program once gbak restores into the database.
            bool told = false;
            serveUntil([&] {
                if (!told &&
                    mainLogText().find("Odtwarzanie bezpośrednio do bazy danych") != std::string::npos)
                    told = QFile(QString::fromStdString(childState + "/restoring-again"))
                               .open(QIODevice::WriteOnly);
                return !maintenance().Restoring();
            });
            ADD_FAILURE() << "the restore ended before the program was killed\n" << mainLogText();
            return;
        }
        const std::string said = testing::internal::GetCapturedStderr();
        const std::string before = qEnvironmentVariable("HALVEX_CUT_BEFORE").toStdString();
        EXPECT_NE(said.find(c.name()), std::string::npos) << said;
        EXPECT_NE(said.find("may be incomplete"), std::string::npos) << said;
        EXPECT_NE(said.find(before), std::string::npos) << said;
        EXPECT_NE(mainLogText().find("baza może być niekompletna; kopia sprzed odtwarzania: " + before),
                  std::string::npos)
            << logSoFar;
        attachTriesWithCalls(Calls, FirstCaller);
        EXPECT_FALSE(MainDbHandleExists());
        EXPECT_GE(form->Database().Road().Waiting(), std::size_t(Calls));
        // On a display the box asks too; its safe answer keeps the database away.
        EXPECT_TRUE(shown(form->Text("IDS_RESTORE_CUT") + "\n\n" + c.name())) << mainLogText();

        dialogs->QueueAnswer(ui::IDOK);
        dialogs->QueueText(qEnvironmentVariable("HALVEX_CUT_GOOD").toStdString());
        dialogs->QueueAnswer(ui::IDYES); // when no backup of it can be made first
        dialog->show();
        dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
        QTest::mouseClick(dialog->btnRestore, Qt::LeftButton);
        serveUntil([&] { return !maintenance().Restoring(); });
        serveUntil([&] { return MainDbHandleExists() && form->Database().Road().Waiting() == 0; });
        EXPECT_TRUE(MainDbHandleExists()) << mainLogText();
        EXPECT_EQ(form->Database().Road().Waiting(), 0u);
        expectEachCallOnce(2 * Calls, FirstCaller);
        EXPECT_FALSE(QFile::exists(QString::fromStdString(childState + "/halvex-restore.mark")));
        return;
    }

    testfb::PrivateServer server;
    ASSERT_NO_FATAL_FAILURE(createAliasedDatabase(server, "halvexcut"));
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    testfb::DetachMain();
    const QString state = scratch.path() + "/state";
    ASSERT_TRUE(QDir().mkpath(state + "/backups"));
    auto backUp = [&](const QString& into) {
        std::string output;
        ASSERT_EQ(testfb::GbakBackup(c, into.toStdString(), &output), 0) << output;
    };
    const QString good = scratch.path() + "/good.fbk";
    ASSERT_NO_FATAL_FAILURE(backUp(good));
    // Enough rows, and an index over them, that gbak restores for longer
    // than the stop gives it.
    bool filled = false;
    const std::string said =
        testfb::Isql(c,
                     "CREATE TABLE Filler (id INTEGER NOT NULL PRIMARY KEY, body VARCHAR(200), n INTEGER);\n"
                     "CREATE INDEX FillerN ON Filler (n);\nCOMMIT;\nSET TERM ^;\n"
                     "EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < 600000) DO BEGIN "
                     "INSERT INTO Filler VALUES (:i, LPAD(:i, 180, 'x'), MOD(:i * 7919, 100003)); "
                     "i = i + 1; END END^\nSET TERM ;^\nCOMMIT;\n",
                     &filled);
    ASSERT_TRUE(filled) << said;
    const QString big = scratch.path() + "/big.fbk";
    ASSERT_NO_FATAL_FAILURE(backUp(big));

    auto runChild = [&](const char* childPart, QProcess& child, const std::string& before = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"GTEST_TOTAL_SHARDS", "GTEST_SHARD_INDEX", "GTEST_OUTPUT"})
            environment.remove(QString::fromLatin1(name));
        environment.insert("HALVEX_CUT_CHILD", childPart);
        environment.insert("HALVEX_CUT_STATE", state);
        environment.insert("HALVEX_CUT_HOST", QString::fromStdString(c.host));
        environment.insert("HALVEX_CUT_FROM", big);
        environment.insert("HALVEX_CUT_GOOD", good);
        environment.insert("HALVEX_CUT_BEFORE", QString::fromStdString(before));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=Maintenance.ARestoreIntoTheDatabaseCutByAStopIsFoundAtTheNextStart"});
        return child.waitForStarted();
    };
    auto expectPassed = [](QProcess& child) {
        ASSERT_TRUE(child.waitForFinished(300000));
        const std::string output = child.readAllStandardOutput().toStdString();
        EXPECT_EQ(child.exitCode(), 0) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos)
            << output << child.readAllStandardError().toStdString();
    };
    // The child says so by the file `told` once gbak restores into the database.
    auto signalOnceRestoring = [&](QProcess& child, const QString& told, int number) {
        QDeadlineTimer deadline(180000);
        while (!QFile::exists(state + told) && !deadline.hasExpired() && child.state() == QProcess::Running)
            child.waitForFinished(50);
        ASSERT_TRUE(QFile::exists(state + told)) << child.readAll().toStdString();
        ::kill(pid_t(child.processId()), number);
    };
    {
        QProcess program;
        ASSERT_TRUE(runChild("restore", program));
        ASSERT_NO_FATAL_FAILURE(signalOnceRestoring(program, "/restoring", SIGTERM));
        ASSERT_NO_FATAL_FAILURE(expectPassed(program));
    }
    const QStringList made = QDir(state + "/backups").entryList({"backup_*.fbk"}, QDir::Files);
    ASSERT_EQ(made.size(), 1);
    const std::string before = (state + "/backups/" + made.front()).toStdString();
    {
        QProcess program;
        ASSERT_TRUE(runChild("again", program, before));
        ASSERT_NO_FATAL_FAILURE(signalOnceRestoring(program, "/restoring-again", SIGKILL));
        ASSERT_TRUE(program.waitForFinished(30000));
    }
    EXPECT_EQ(QDir(state + "/backups").entryList({"backup_*.fbk"}, QDir::Files), made);
    QProcess next;
    ASSERT_TRUE(runChild("next", next, before));
    ASSERT_NO_FATAL_FAILURE(expectPassed(next));
}

} // namespace
