// The mark of a restore into the database itself: what it keeps away, a mark
// that cannot be written or read, and the database's file as it names it.
#include "MaintenanceFixture.h"

namespace {

using namespace maintenancetest;

// The mark of a restore cut short keeps only its own database away: OK of
// the settings dialog naming another one attaches that one, and the mark
// stays for the database it names.
TEST_F(Maintenance, TheMarkOfACutRestoreKeepsAwayOnlyItsDatabase) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    testfb::DetachMain();
    nameDatabase(c);
    const std::string mark = sandbox.file("halvex-restore.mark");
    testing_support::writeFile(mark, c.name() + "\n" + backupDir() + "/backup_before.fbk\n");
    form->LogFilePath = sandbox.file("halvex.log");
    form->FormCreate();
    form->Database().AttachAtStartup();
    EXPECT_FALSE(MainDbHandleExists()) << mainLogText();

    const std::string other = folder.file("other.fdb");
    dialog->show();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    dialog->NameEdit->selectAll();
    QTest::keyClicks(dialog->NameEdit, QString::fromStdString(other));
    QTest::mouseClick(dialog->btnAccept, Qt::LeftButton);
    EXPECT_TRUE(MainDbHandleExists()) << mainLogText();
    EXPECT_EQ(MainDbAttachedWith().path, other);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(mark)));
}

// A folder nothing can be created in, whoever the program runs as: root
// passes every file mode, so for root it is made immutable (chattr +i), for
// another user read-only. Undone at the end.
class UnwritableFolder {
  public:
    explicit UnwritableFolder(const QString& path) : path_(path) {
        if (::geteuid() == 0)
            immutable_ = made_ = QProcess::execute(QStringLiteral("chattr"), {"+i", path}) == 0;
        else
            made_ = QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    ~UnwritableFolder() {
        if (immutable_)
            QProcess::execute(QStringLiteral("chattr"), {"-i", path_});
        else if (made_)
            QFile::setPermissions(path_,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;
    bool made() const { return made_; }

  private:
    QString path_;
    bool made_ = false;
    bool immutable_ = false;
};

// The mark cannot be written (its folder immutable, or read-only for an
// ordinary user) before a restore into the database itself (one its server
// knows by an alias): gbak does not start. The dialog's own box says why,
// and so do stderr and the log; the database stays as it was.
TEST_F(Maintenance, ARestoreWhoseMarkCannotBeWrittenIsNotMade) {
    HALVEX_REQUIRE_FB_SERVER();
    testfb::PrivateServer server;
    ASSERT_NO_FATAL_FAILURE(openAliased(server, "halvexmark", wrapper(false)));
    std::string backup;
    ASSERT_NO_FATAL_FAILURE(backUpThenAddAMessage(backup));
    const std::string before = rows();
    const QString state = scratch.path() + "/state";
    ASSERT_TRUE(QDir().mkpath(state));
    form->LogFilePath = (state + "/halvex.log").toStdString();
    form->FormCreate();
    const std::string mark = shell::RestoreMarkPathFor(form->LogFilePath);
    const UnwritableFolder unwritable(state);
    if (!unwritable.made())
        GTEST_SKIP() << "the folder " << state.toStdString() << " cannot be made unwritable here";

    const auto from = dialogs->Calls().size();
    testing::internal::CaptureStderr();
    clickRestore(backup);
    serveUntil([&] { return !maintenance().Restoring(); });
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("cannot write " + mark), std::string::npos) << said;
    EXPECT_NE(mainLogText().find("nie można zapisać znacznika odtwarzania " + mark), std::string::npos)
        << mainLogText();
    const auto calls = dialogs->Calls();
    EXPECT_TRUE(std::any_of(calls.begin() + std::ptrdiff_t(from), calls.end(), [&](const auto& call) {
        return call.text.rfind(text("IDS_969") + "\n\n" + mark + ": ", 0) == 0 && call.owner == dialog.get();
    }));
    EXPECT_EQ(fileText("args.txt").find(" -c "), std::string::npos) << fileText("args.txt");
    EXPECT_TRUE(MainDbHandleExists()) << mainLogText();
    EXPECT_EQ(rows(), before);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(mark)));
}

// A mark the program cannot read (its user may not read it: root gives up
// its override of file modes while the start reads it) holds the database
// the settings name, as a readable one holds the one it names: nothing is
// written into it, and stderr and the log say so with the mark's name. A
// restore of that database through the dialog clears it, and the rows kept
// meanwhile go in, each once.
TEST_F(Maintenance, AMarkThatCannotBeReadHoldsTheDatabaseSetUntilItIsRestored) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    testfb::DetachMain();
    nameDatabase(c);
    const std::string mark = sandbox.file("halvex-restore.mark");
    testing_support::writeFile(mark, c.name() + "\n" + backup + "\n");
    ASSERT_TRUE(QFile::setPermissions(QString::fromStdString(mark), {}));
    form->LogFilePath = sandbox.file("halvex.log");
    testing::internal::CaptureStderr();
    {
        const testing_support::FileModesBind modesBind;
        if (!modesBind.bound()) {
            testing::internal::GetCapturedStderr();
            GTEST_SKIP() << "root's override of file modes cannot be given up here";
        }
        form->FormCreate();
    }
    constexpr int Calls = 5;
    constexpr long FirstCaller = 600300400;
    attachTriesWithCalls(Calls, FirstCaller);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("cannot read " + mark), std::string::npos) << said;
    EXPECT_NE(said.find("The database " + c.name() + " is taken for"), std::string::npos) << said;
    // Kept away on purpose: no attach failed.
    EXPECT_EQ(said.find("trying again until it attaches"), std::string::npos) << said;
    EXPECT_NE(mainLogText().find("Nie można odczytać znacznika odtwarzania bazy danych " + mark),
              std::string::npos)
        << mainLogText();
    EXPECT_FALSE(MainDbHandleExists()) << mainLogText();
    EXPECT_GE(form->Database().Road().Waiting(), std::size_t(Calls));

    clickRestore(backup);
    serveUntil([&] { return !maintenance().Restoring(); });
    serveUntil([&] { return MainDbHandleExists() && form->Database().Road().Waiting() == 0; });
    EXPECT_TRUE(MainDbHandleExists()) << mainLogText();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(mark)));
    expectEachCallOnce(Calls, FirstCaller);
}

// The start keeps the database a mark names away without saying that it
// cannot attach it. The connection test on that database does not open it
// (its structure check would build into it): nothing is created there, and
// the administrator is told that a restore into it was cut short, and which
// backup holds it as it was.
TEST_F(Maintenance, TheConnectionTestOfADatabaseACutRestoreLeftCreatesNothingInIt) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    sql("DROP TABLE ContactGroups");
    testfb::DetachMain();
    nameDatabase(c);
    const std::string before = backupDir() + "/backup_before.fbk";
    testing_support::writeFile(sandbox.file("halvex-restore.mark"), c.name() + "\n" + before + "\n");
    form->LogFilePath = sandbox.file("halvex.log");
    testing::internal::CaptureStderr();
    form->FormCreate();
    attachTriesWithCalls(0, 0);
    const std::string said = testing::internal::GetCapturedStderr();
    // Kept away on purpose: no attach failed.
    EXPECT_EQ(said.find("trying again until it attaches"), std::string::npos) << said;

    dialog->show();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    const auto from = dialogs->Calls().size();
    QTest::mouseClick(dialog->CheckConnect, Qt::LeftButton);
    const auto calls = dialogs->Calls();
    const std::string told = form->Text("IDS_RESTORE_CUT") + "\n\n" + c.name() + "\n" +
                             form->Text("IDS_RESTORE_CUT_BACKUP") + before;
    EXPECT_TRUE(std::any_of(calls.begin() + std::ptrdiff_t(from), calls.end(), [&](const auto& call) {
        return call.text.rfind(told, 0) == 0;
    })) << (calls.size() > from ? calls.back().text : std::string("no box"));
    EXPECT_FALSE(shown(text("IDS_99")));
    DbHandle own = 0;
    EXPECT_EQ(rows("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'CONTACTGROUPS'", &own),
              "0\n");
    SessionDB::DetachDatabase(&own);
    EXPECT_FALSE(MainDbHandleExists());
}

// The mark of a restore into the database itself names, after the database
// as the settings spell it and the backup made first, the database's file
// as its server names it.
TEST_F(Maintenance, ARestoresMarkNamesTheFileAsItsServerDoes) {
    HALVEX_REQUIRE_FB_SERVER();
    testfb::PrivateServer server;
    ASSERT_NO_FATAL_FAILURE(openAliased(server, "halvexcut", RealGbak));
    std::string backup;
    ASSERT_NO_FATAL_FAILURE(backUpThenAddAMessage(backup));
    const std::string mark = sandbox.file("halvex-restore.mark");
    maintenance().KeepRestoreMark(mark);
    maintenance().SetGbakPath(heldGbak("-c"));
    clickRestore(backup);
    serveUntil([&] { return heldStepReached(); });
    ASSERT_TRUE(heldStepReached()) << mainLogText();
    QFile written(QString::fromStdString(mark));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().split('\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0].toStdString(), c.name());
    EXPECT_EQ(lines[1].toStdString().rfind(backupDir() + "/backup_", 0), 0u) << lines[1].toStdString();
    EXPECT_EQ(lines[2].toStdString(), server.file("halvexcut.fdb"));
    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    serveUntil([&] { return !maintenance().Restoring(); });
    EXPECT_FALSE(QFile::exists(QString::fromStdString(mark)));
}

// A start after a restore cut short keeps the database its mark names away
// however the settings spell it then (another host name, the file's path in
// place of its alias): the rows wait, the connection test builds nothing
// into it, and a restore from the backup the mark names, made without a
// backup of the incomplete database first, lets it go, each row once.
TEST_F(Maintenance, ACutRestoresMarkKeepsItsDatabaseAwayHoweverTheSettingsSpellIt) {
    HALVEX_REQUIRE_FB_SERVER();
    testfb::PrivateServer server;
    // As an earlier run left it: a backup, then a restore cut short.
    ASSERT_NO_FATAL_FAILURE(createAliasedDatabase(server, "halvexcut"));
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    testfb::DetachMain();
    const std::string before = backupDir() + "/backup_before.fbk";
    ASSERT_EQ(testfb::GbakBackup(c, before), 0);
    {
        DbHandle own = 0;
        SessionDB session(c.host, c.path, c.user, c.password, &own, false);
        ASSERT_EQ(session.ExecuteSQL("DROP TABLE ContactGroups"), 0);
        SessionDB::DetachDatabase(&own);
    }
    const std::string markedAs = c.name();
    const std::string port = server.host().substr(server.host().find('/'));
    c.host = "localhost" + port;
    c.path = server.file("halvexcut.fdb");
    const std::string mark = sandbox.file("halvex-restore.mark");
    testing_support::writeFile(mark, markedAs + "\n" + before + "\n" + c.path + "\n");

    ASSERT_NO_FATAL_FAILURE(testfb::ConnectionInSettings(c));
    createForm("DEBUG");
    nameDatabase(c);
    dialog = std::make_unique<TKonfiguracja>();
    dialog->console = &form->Admin();
    maintenance().SetGbakPath(RealGbak);
    maintenance().SetBackupPath(backupDir());
    form->LogFilePath = sandbox.file("halvex.log");
    testing::internal::CaptureStderr();
    form->FormCreate();
    constexpr int Calls = 4;
    constexpr long FirstCaller = 600500400;
    attachTriesWithCalls(Calls, FirstCaller);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(MainDbHandleExists()) << mainLogText();
    EXPECT_GE(form->Database().Road().Waiting(), std::size_t(Calls));
    EXPECT_EQ(said.find("trying again until it attaches"), std::string::npos) << said;

    dialog->show();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    dialog->DIPBEdit->setText(QString::fromStdString(c.host));
    dialog->NameEdit->setText(QString::fromStdString(c.path));
    const auto from = dialogs->Calls().size();
    QTest::mouseClick(dialog->CheckConnect, Qt::LeftButton);
    const auto calls = dialogs->Calls();
    const std::string told = form->Text("IDS_RESTORE_CUT") + "\n\n" + markedAs + "\n" +
                             form->Text("IDS_RESTORE_CUT_BACKUP") + before;
    EXPECT_TRUE(std::any_of(calls.begin() + std::ptrdiff_t(from), calls.end(), [&](const auto& call) {
        return call.text.rfind(told, 0) == 0;
    })) << (calls.size() > from ? calls[from].text : std::string("no box"));
    DbHandle own = 0;
    EXPECT_EQ(rows("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'CONTACTGROUPS'", &own),
              "0\n");
    SessionDB::DetachDatabase(&own);

    const auto backups = QDir(QString::fromStdString(backupDir())).entryList(QDir::Files).size();
    clickRestore(before);
    serveUntil([&] { return !maintenance().Restoring(); });
    serveUntil([&] { return MainDbHandleExists() && form->Database().Road().Waiting() == 0; });
    EXPECT_TRUE(MainDbHandleExists()) << mainLogText();
    EXPECT_EQ(QDir(QString::fromStdString(backupDir())).entryList(QDir::Files).size(), backups);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(mark)));
    expectEachCallOnce(Calls, FirstCaller);
}

} // namespace
