// Backup and restore of the main database with the real gbak, on the
// embedded engine and on the server, driven through the settings dialog's
// buttons: round trips, a restore at a stop or while others are attached,
// failures, and what the program reads after a restore.
#include "MaintenanceFixture.h"

namespace {

using namespace maintenancetest;

class RoundTrip : public Maintenance, public ::testing::WithParamInterface<bool> {};

TEST_P(RoundTrip, BackupWhileOpenThenRestoreGivesTheRowsBack) {
    if (GetParam())
        HALVEX_REQUIRE_FB_SERVER();
    ASSERT_NO_FATAL_FAILURE(open(GetParam()));
    TOknoInfo progress;
    OknoInfo = &progress;
    struct Unset {
        ~Unset() { OknoInfo = nullptr; }
    } unset;
    maintenance().SetGbakPath(wrapper(false));
    addMessage("2026-01-02", "Zażółć gęślą jaźń");
    addMessage("2026-01-03", "Łódź, Gdańsk, Kraków");
    addMessage("2026-01-04", "third");
    const std::string before = rows();

    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    struct stat info {};
    ASSERT_EQ(::stat(backup.c_str(), &info), 0) << backup << "\n" << mainLogText();
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(QFileInfo(QString::fromStdString(backup)).fileName().startsWith("backup_"));

    sql("DELETE FROM Msg WHERE body = 'third'");
    sql("UPDATE Msg SET body = 'zmienione' WHERE body = 'Zażółć gęślą jaźń'");
    addMessage("2026-01-05", "nowy");
    ASSERT_NE(rows(), before);

    restoreFrom(backup);
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(rows(), before);
    EXPECT_TRUE(shown(text("IDS_964")));
    EXPECT_FALSE(progress.isVisible());
    EXPECT_TRUE(std::any_of(progressShown.begin(), progressShown.end(), [&](const std::string& shownText) {
        return shownText.rfind(text("IDS_172") + "\ngbak:", 0) == 0;
    })) << progressShown.size();
    EXPECT_EQ(dialog->bazaOdtworzona, 1);
    const std::string fresh = maintenance().LastBackupFile();
    EXPECT_NE(fresh, backup);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(fresh))) << fresh;

    const std::string arguments = fileText("args.txt");
    EXPECT_NE(arguments.find("-b -v -t " + c.name() + " " + backup), std::string::npos) << arguments;
    EXPECT_NE(arguments.find("-v -c -replace_database " + backup + " " + c.name() + ".restoring"),
              std::string::npos)
        << arguments;
    EXPECT_FALSE(QFile::exists(QString::fromStdString(c.path + ".restoring")));
    EXPECT_EQ(arguments.find(c.password), std::string::npos) << arguments;
    EXPECT_EQ(fileText("env.txt"), c.password + "\n" + c.password + "\n" + c.password + "\n");
}

INSTANTIATE_TEST_SUITE_P(EmbeddedAndServer, RoundTrip, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Server" : "Embedded"; });

class RestoreAtStop : public Maintenance, public ::testing::WithParamInterface<bool> {
  protected:
    // The real gbak restores, then the process hangs deaf to SIGTERM, as a
    // long restore still runs when the program is stopped.
    std::string hangingRestore() {
        return gbakRestoringThen(
            "gbak-restore-hangs",
            QStringLiteral("  : > '%1'\n  trap '' TERM\n  exec sleep 300").arg(restored()));
    }
};

// The program stops while gbak restores: gbak is ended, and the database
// opens with the rows it had before, with nothing of the restore beside it.
TEST_P(RestoreAtStop, LeavesTheDatabaseAsItWas) {
    if (GetParam())
        HALVEX_REQUIRE_FB_SERVER();
    ASSERT_NO_FATAL_FAILURE(open(GetParam()));
    std::string backup;
    ASSERT_NO_FATAL_FAILURE(backUpThenAddAMessage(backup));
    const std::string before = rows();
    maintenance().SetGbakPath(hangingRestore());

    startRestore(backup);
    serveWhileGbakRuns([this] { return QFile::exists(restored()); });
    ASSERT_TRUE(QFile::exists(restored())) << mainLogText();
    form->WMQuery();

    EXPECT_FALSE(maintenance().Busy());
    EXPECT_EQ(rowsOnOwnConnection(), before) << mainLogText();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(c.path + ".restoring")));
}

INSTANTIATE_TEST_SUITE_P(EmbeddedAndServer, RestoreAtStop, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Server" : "Embedded"; });

class RestoreInUse : public Maintenance, public ::testing::WithParamInterface<bool> {
  protected:
    // The real gbak restores, then waits for the test's word, as a long
    // restore gives others time to attach.
    std::string restoreThatWaits() {
        EXPECT_EQ(::mkfifo(QFile::encodeName(word()).constData(), 0600), 0);
        return gbakRestoringThen(
            "gbak-restore-waits",
            QStringLiteral("  : > '%1'\n  read word < '%2'\n  exit 0").arg(restored(), word()));
    }
    QString word() const { return scratch.path() + "/word"; }
    void giveWord() {
        QFile fifo(word());
        ASSERT_TRUE(fifo.open(QIODevice::WriteOnly));
        fifo.write("go\n");
    }
    // A connection of someone else's: a desk program, an administrator's tool.
    void attachOther() {
        SessionDB other(c.host, c.path, c.user, c.password, &otherHandle, false);
        ASSERT_EQ(other.LastCode, 0);
    }
    void commitOnOther(const std::string& body) {
        SessionDB other(c.host, c.path, c.user, c.password, &otherHandle, false);
        ASSERT_EQ(
            other.ExecuteSQL("INSERT INTO Msg (idUserA, idUserB, datesent, timesent, body) VALUES (1, 2, "
                             "'2026-01-04', '10:00:00', '" +
                             body + "')"),
            0);
        ASSERT_EQ(SessionDB::DetachDatabase(&otherHandle), 0);
    }
    DbHandle otherHandle = 0;
};

// Anyone else attached would go on in the database the restore replaces and
// lose what he writes: the restore is refused while anyone is, both when he
// is there at the start and when he comes while gbak runs, and what he
// commits afterwards stays. With nobody else, a new connection sees the
// restored rows.
TEST_P(RestoreInUse, IsRefusedAndWhatTheOtherCommitsStays) {
    if (GetParam())
        HALVEX_REQUIRE_FB_SERVER();
    ASSERT_NO_FATAL_FAILURE(open(GetParam()));
    addMessage("2026-01-02", "w backupie");
    const std::string restoredRows = rows();
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    addMessage("2026-01-03", "po backupie");
    const std::string inUse = GetDbErrorText(dbcode::GbakDbInUse);
    ASSERT_FALSE(inUse.empty());

    ASSERT_NO_FATAL_FAILURE(attachOther());
    QElapsedTimer refusal;
    refusal.start();
    clickRestore(backup);
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const qint64 refusedMs = refusal.elapsed();
    EXPECT_EQ(timesShown(inUse), 1) << mainLogText();
    EXPECT_NE(mainLogText().find(
                  "Odtwarzanie bazy danych odmówione, baza pozostała bez zmian: baza jest w użyciu ("),
              std::string::npos);
    EXPECT_TRUE(MainDbHandleExists());
    ASSERT_NO_FATAL_FAILURE(commitOnOther("od drugiego"));

    // Someone attaches while gbak restores: the database, closed to new
    // attachments for the rename, cannot be closed while he is there.
    maintenance().SetGbakPath(restoreThatWaits());
    clickRestore(backup);
    serveWhileGbakRuns([this] { return QFile::exists(restored()); });
    ASSERT_TRUE(QFile::exists(restored())) << mainLogText();
    ASSERT_NO_FATAL_FAILURE(attachOther());
    ASSERT_NO_FATAL_FAILURE(giveWord());
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_EQ(timesShown(inUse), 2) << mainLogText();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(c.path + ".restoring")));
    ASSERT_NO_FATAL_FAILURE(commitOnOther("od trzeciego"));

    // After everyone has left, the rows are there.
    testfb::DetachMain();
    const std::string kept = rowsOnOwnConnection();
    for (const char* body : {"po backupie", "od drugiego", "od trzeciego"})
        EXPECT_NE(kept.find(body), std::string::npos) << body << "\n" << kept;

    // With nobody else attached the restore is made.
    rows();
    ASSERT_TRUE(MainDbHandleExists());
    maintenance().SetGbakPath(RealGbak);
    QElapsedTimer restore;
    restore.start();
    clickRestore(backup);
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const qint64 restoredMs = restore.elapsed();
    EXPECT_TRUE(shown(text("IDS_964"))) << mainLogText();
    testfb::DetachMain();
    EXPECT_EQ(rowsOnOwnConnection(), restoredRows);
    std::printf(
        "[ figures  ] %s: restore refused (another attachment) after %lld ms, made (none) in %lld ms, "
        "each with its backup first\n",
        GetParam() ? "server" : "embedded", static_cast<long long>(refusedMs),
        static_cast<long long>(restoredMs));
}

INSTANTIATE_TEST_SUITE_P(EmbeddedAndServer, RestoreInUse, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Server" : "Embedded"; });

TEST_F(Maintenance, FailuresLeaveTheDatabaseAsItWasAndSaySo) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    addMessage("2026-01-02", "Zażółć");
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string good = maintenance().LastBackupFile();
    addMessage("2026-01-03", "po backupie");
    const std::string before = rows();

    // No gbak: the button says so, the schedule's run only logs.
    maintenance().SetGbakPath(scratch.path().toStdString() + "/no-gbak");
    dialog->btnBackupClick();
    EXPECT_TRUE(shown(text("IDS_113")));
    const auto asked = dialogs->Calls().size();
    dialog->btnBackupClick(nullptr);
    EXPECT_EQ(dialogs->Calls().size(), asked);
    EXPECT_NE(mainLogText().find("Nie znaleziono pliku gbak.exe"), std::string::npos);
    restoreFrom(good);
    EXPECT_EQ(dialog->bazaOdtworzona, 0);

    // No backup folder.
    maintenance().SetGbakPath(RealGbak);
    maintenance().SetBackupPath(scratch.path().toStdString() + "/gone");
    dialog->btnBackupClick();
    EXPECT_TRUE(shown(text("IDS_117")));
    EXPECT_NE(mainLogText().find("Nie znaleziono ścieżki przy backupie"), std::string::npos);
    maintenance().SetBackupPath(backupDir());

    // gbak fails on a damaged backup after removing the database: the one
    // taken just before is put back, and named.
    QFile junk(scratch.path() + "/junk.fbk");
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a backup");
    junk.close();
    restoreFrom(junk.fileName().toStdString());
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(rows(), before);
    EXPECT_TRUE(shown(text("IDS_965")));
    EXPECT_TRUE(shown(text("IDS_966") + maintenance().LastBackupFile()));

    // A backup gbak fails leaves no file; a restore whose own backup fails
    // asks before going on.
    maintenance().SetGbakPath(wrapper(true));
    const auto filesBefore = QDir(QString::fromStdString(backupDir())).entryList(QDir::Files);
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_TRUE(shown(text("IDS_962") + "1"));
    EXPECT_EQ(QDir(QString::fromStdString(backupDir())).entryList(QDir::Files), filesBefore);
    restoreFrom(good, ui::IDNO);
    EXPECT_TRUE(shown(text("IDS_961")));
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(rows(), before);
    restoreFrom(good, ui::IDYES);
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_NE(rows(), before);
    EXPECT_EQ(rows().find("po backupie"), std::string::npos);
}

// A restore replaces the contacts under the window's copy: OK and Cancel of
// the dialog read them again, so the page, the export and the edits see the
// restored ones.
// A desk's message is written after the backup; the restore takes its row
// away and leaves the generator where the backup had it. The next message
// does not get the key again, and the first one's late delivery report
// finds no row under its key and is named, not applied to the new one.
TEST_F(Maintenance, AfterARestoreNoKeyIsDrawnTwiceAndALateReportMissesTheNewMessage) {
    HALVEX_REQUIRE_FB_SERVER();
    ASSERT_NO_FATAL_FAILURE(open(true));
    ASSERT_TRUE(testfb::AwaitRowRoad());
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    const std::string number = "+48600100200";
    std::string token;
    auto oldKey = std::make_shared<std::string>(), newKey = std::make_shared<std::string>();
    testfb::HandDeskSms("old", number, token, oldKey);
    ASSERT_TRUE(testfb::AwaitRowRoad());
    ASSERT_EQ(*oldKey, "1");

    restoreFrom(backup);
    ASSERT_TRUE(MainDbHandleExists());
    ASSERT_TRUE(testfb::AwaitRowRoad());
    testfb::HandDeskSms("new", number, token, newKey);
    ASSERT_TRUE(testfb::AwaitRowRoad());
    testfb::HandSmsState(*oldKey, number, "2");
    ASSERT_TRUE(testfb::AwaitRowRoad());

    EXPECT_EQ(*newKey, "2");
    EXPECT_EQ(rows("SELECT nId || ':' || sBody || ':' || nState FROM Sms ORDER BY nId"), "2:new:0\n");
    const std::string log = mainLogText();
    EXPECT_NE(
        log.find("Nie zastosowano w bazie danych, nie ma w niej tego wiersza: UPDATE Sms SET nState='2' "
                 "WHERE nId='1'"),
        std::string::npos)
        << log;
}

TEST_F(Maintenance, OkAndCancelAfterARestoreReadTheRestoredContacts) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    sql("INSERT INTO ContactPriv (name, CTIusers_nuserid) VALUES ('Zbackupu', 0)");
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    auto names = [&] {
        std::vector<std::string> all;
        for (const ContactRow& row : form->Admin().ContactRows)
            all.push_back(row.Name);
        return all;
    };
    for (ui::TButton* button : {dialog->btnCancel, dialog->btnAccept}) {
        const std::string name = button->objectName().toStdString();
        sql("DELETE FROM ContactPriv");
        sql("INSERT INTO ContactPriv (name, CTIusers_nuserid) VALUES ('Pozniejszy', 0)");
        form->Admin().ContactsLoaded = false;
        form->Admin().LoadContacts();
        ASSERT_EQ(names(), std::vector<std::string>{"Pozniejszy"}) << name;

        dialog->show();
        dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
        dialogs->QueueAnswer(ui::IDOK);
        dialogs->QueueText(backup);
        QTest::mouseClick(dialog->btnRestore, Qt::LeftButton);
        ASSERT_NO_FATAL_FAILURE(waitForGbak());
        ASSERT_EQ(dialog->bazaOdtworzona, 1) << mainLogText();
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_FALSE(dialog->isVisible()) << name;
        EXPECT_EQ(names(), std::vector<std::string>{"Zbackupu"}) << name;
        EXPECT_EQ(form->lvKontakty->ItemCount(), 1) << name;
    }
}

} // namespace
