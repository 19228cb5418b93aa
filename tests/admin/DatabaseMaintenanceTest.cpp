// Backup, restore and cleaning of the main database with the real gbak, on
// the embedded engine and on the server, driven through the settings
// dialog's buttons; the backup schedule with a clock the test moves.
#include "admin/Console.h"
#include "admin/SettingsDialog.h"
#include "base/PasswordCodec.h"
#include "db/CallWatchdog.h"
#include "db/DbErrorText.h"
#include "db/InterfaceDB.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "i18n/LangComponent.h"
#include "platform/Clock.h"
#include "platform/RegistryStore.h"
#include "shell/FileLocations.h"
#include "shell/ProgressWindow.h"
#include "sms/SmsGateway.h"
#include "support/ClientSimulator.h"
#include "support/FileModesBind.h"
#include "support/FirebirdFixtures.h"
#include "support/HalvexProcess.h"
#include "support/MainFormFixture.h"
#include "support/Ports.h"
#include "support/PrivateFirebirdServer.h"
#include "support/SlowTcpProxy.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTabBar>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <utility>

namespace {

const char* const RealGbak = "/usr/bin/gbak";

// Scripted dialogs that tell `seen` each box's text as it is shown.
class WatchedDialogs : public ui::ScriptedDialogs {
  public:
    std::function<void(const std::string& text)> seen;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags, int headlessAnswer,
                   QWidget* owner = nullptr) override {
        if (seen)
            seen(text);
        return ScriptedDialogs::MessageBox(text, caption, flags, headlessAnswer, owner);
    }
};

class Maintenance : public testing_support::MainFormFixture {
  protected:
    // On the server, reached through `relay` when one is given.
    void open(bool server, const testing_support::SlowTcpProxy* relay = nullptr) {
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("maint.fdb")));
        if (server) {
            c.host = relay ? "127.0.0.1/" + std::to_string(relay->port()) : "127.0.0.1";
            c.password = testfb::ServerPassword();
            ASSERT_NO_FATAL_FAILURE(testfb::ConnectionInSettings(c));
        }
        ASSERT_NO_FATAL_FAILURE(openWindow(RealGbak));
    }
    // The window and its settings dialog on the database `c` names.
    void openWindow(const std::string& gbak) {
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
        dialog = std::make_unique<TKonfiguracja>();
        dialog->console = &form->Admin();
        maintenance().SetGbakPath(gbak);
        maintenance().SetBackupPath(backupDir());
    }
    void TearDown() override {
        if (form)
            maintenance().StopGbak(std::chrono::seconds(120));
        dialog.reset();
        platform::setProcessClock(nullptr);
        MainFormFixture::TearDown();
        testfb::DetachMain();
        // A mark's hold is the process's: the next test starts without one.
        HoldMainAttach(false);
        HoldMainAttachOf({});
    }

    admin::DatabaseMaintenance& maintenance() { return form->Admin().Maintenance(); }
    std::string backupDir() const { return scratch.path().toStdString() + "/backups"; }
    std::string text(const char* key) { return dialog->lgLangLinked1->GetTextOrDefault(key); }
    int timesShown(const std::string& part) {
        int times = 0;
        for (const auto& call : dialogs->Calls())
            times += call.text.find(part) != std::string::npos ? 1 : 0;
        return times;
    }
    bool shown(const std::string& part) { return timesShown(part) > 0; }
    void sql(const std::string& statement) {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        ASSERT_EQ(session.ExecuteSQL(statement), 0) << statement;
    }
    static constexpr const char* Messages = "SELECT idMessage, body FROM Msg ORDER BY idMessage";
    std::string rows(const std::string& select = Messages, DbHandle* handle = &MainDbHandle) {
        SessionDB session(c.host, c.path, c.user, c.password, handle, false);
        TStringList lines;
        session.SetResultStrings(&lines);
        EXPECT_EQ(session.ExecuteSQL(select), 0);
        std::string all;
        for (const auto& line : lines)
            all += line + "\n";
        return all;
    }
    // The same on a connection of the test's own, detached again.
    std::string rowsOnOwnConnection() {
        DbHandle own = 0;
        const std::string all = rows(Messages, &own);
        SessionDB::DetachDatabase(&own);
        return all;
    }
    void addMessage(const std::string& date, const std::string& body) {
        sql("INSERT INTO Msg (idUserA, idUserB, datesent, timesent, body) VALUES (1, 2, '" + date +
            "', '10:00:00', '" + body + "')");
    }
    // Serves events while gbak runs, or until `done` holds.
    void serveWhileGbakRuns(const std::function<bool()>& done = {}) {
        serveUntil([&] { return !maintenance().Busy() || (done && done()); });
    }
    // Serves events until `done` holds, within a generous bound.
    void serveUntil(const std::function<bool()>& done) {
        QDeadlineTimer deadline(120000);
        while (!done() && !deadline.hasExpired()) {
            if (OknoInfo && OknoInfo->isVisible())
                progressShown.push_back(OknoInfo->Label1->text().toStdString());
            QEventLoop loop;
            QTimer::singleShot(20, &loop, &QEventLoop::quit);
            loop.exec();
        }
    }
    void waitForGbak() {
        serveWhileGbakRuns();
        ASSERT_FALSE(maintenance().Busy()) << "gbak did not end";
    }
    // A gbak in front of the real one: records its arguments and password,
    // and fails at once when asked to back up and `backupFails`.
    std::string wrapper(bool backupFails) {
        const QString path = scratch.path() + (backupFails ? "/gbak-nobackup" : "/gbak-wrapper");
        QFile script(path);
        EXPECT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(
            QStringLiteral("#!/bin/sh\n"
                           "printf '%s\\n' \"$*\" >> '%1/args.txt'\n"
                           "printf '%s\\n' \"$ISC_PASSWORD\" >> '%1/env.txt'\n"
                           "%2"
                           "exec %3 \"$@\"\n")
                .arg(scratch.path(),
                     backupFails ? "case \" $* \" in *\" -b \"*) echo 'no space' >&2; exit 1;; esac\n" : "",
                     RealGbak)
                .toUtf8());
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        return path.toStdString();
    }
    // A gbak that waits at the step with that switch until the test lets it
    // go, then runs the real one, or fails when `fails`.
    std::string heldGbak(const char* step, bool fails = false) {
        const QString path = scratch.path() + "/gbak-held";
        const QString text = QStringLiteral("#!/bin/sh\ncase \" $* \" in *\" %1 \"*)\n  touch '%2/held'\n"
                                            "  while [ ! -e '%2/go' ]; do sleep 0.02; done%4;;\nesac\n"
                                            "exec %3 \"$@\"\n")
                                 .arg(QLatin1String(step), scratch.path(), RealGbak,
                                      fails ? "\n  echo 'no space' >&2; exit 1" : "");
        QFile script(path);
        EXPECT_TRUE(script.open(QIODevice::WriteOnly) && script.write(text.toUtf8()) > 0);
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        return path.toStdString();
    }
    bool heldStepReached() const { return QFile::exists(scratch.path() + "/held"); }
    void letHeldStepGo() {
        QFile go(scratch.path() + "/go");
        ASSERT_TRUE(go.open(QIODevice::WriteOnly));
    }
    QString restored() const { return scratch.path() + "/restored"; }
    // The real gbak, and after a restore it made, `then` (shell lines).
    std::string gbakRestoringThen(const char* name, const QString& then) {
        const QString path = scratch.path() + "/" + name;
        QFile script(path);
        EXPECT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\n"
                                    "case \" $* \" in *\" -c \"*)\n"
                                    "  %1 \"$@\" || exit $?\n"
                                    "%2;;\n"
                                    "esac\n"
                                    "exec %1 \"$@\"\n")
                         .arg(RealGbak, then)
                         .toUtf8());
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        return path.toStdString();
    }
    // An empty database on a server of the test's own, known there only by
    // `alias`: the program cannot put a file of its own in its place.
    void createAliasedDatabase(testfb::PrivateServer& server, const std::string& alias) {
        ASSERT_TRUE(server.prepared()) << server.error();
        ASSERT_TRUE(server.addAlias(alias, alias + ".fdb"));
        ASSERT_TRUE(server.start()) << server.error();
        c = {server.host(), alias, "SYSDBA", testfb::ServerPassword()};
        ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    }
    // The window on a database of `server`'s known by `alias`.
    void openAliased(testfb::PrivateServer& server, const std::string& alias, const std::string& gbak) {
        ASSERT_NO_FATAL_FAILURE(createAliasedDatabase(server, alias));
        ASSERT_NO_FATAL_FAILURE(testfb::ConnectionInSettings(c));
        ASSERT_NO_FATAL_FAILURE(openWindow(gbak));
    }
    // A backup of one message into `backup`, and a second message after it.
    void backUpThenAddAMessage(std::string& backup) {
        addMessage("2026-01-02", "w backupie");
        dialog->btnBackupClick();
        ASSERT_NO_FATAL_FAILURE(waitForGbak());
        backup = maintenance().LastBackupFile();
        addMessage("2026-01-03", "po backupie");
    }
    // The start's attach, and the reconnect timer's, while `calls` calls end,
    // their callers numbered from `first`.
    void attachTriesWithCalls(int calls, long first) {
        form->Database().AttachAtStartup();
        for (int i = 0; i < calls; ++i)
            form->Pbx().SaveIncomingCall(std::to_string(first + i), "201", 30, QDateTime::currentDateTime());
        form->trmReconnect->setInterval(1);
        for (int tick = 0; tick < 3; ++tick) {
            QSignalSpy ticked(form->trmReconnect, &QTimer::timeout);
            form->trmReconnect->SetEnabled(true);
            ticked.wait(1000);
        }
    }
    // Each of those callers is in TalksIncoming once.
    void expectEachCallOnce(int calls, long first) {
        DbHandle own = 0;
        const std::string stored = rows("SELECT sNumber FROM TalksIncoming", &own);
        SessionDB::DetachDatabase(&own);
        for (int i = 0; i < calls; ++i) {
            const std::string caller = std::to_string(first + i) + "\n";
            const auto at = stored.find(caller);
            EXPECT_TRUE(at != std::string::npos && stored.find(caller, at + 1) == std::string::npos)
                << caller << stored;
        }
    }
    std::string fileText(const char* name) {
        QFile file(scratch.path() + "/" + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }
    void startRestore(const std::string& file, std::optional<int> goOnWithoutBackup = {}) {
        dialogs->QueueAnswer(ui::IDOK);
        dialogs->QueueText(file);
        if (goOnWithoutBackup)
            dialogs->QueueAnswer(*goOnWithoutBackup);
        dialog->btnRestoreClick();
    }
    // As the administrator does: the button of the database page.
    void clickRestore(const std::string& file) {
        dialog->show();
        dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
        dialogs->QueueAnswer(ui::IDOK);
        dialogs->QueueText(file);
        QTest::mouseClick(dialog->btnRestore, Qt::LeftButton);
    }
    void restoreFrom(const std::string& file, std::optional<int> goOnWithoutBackup = {}) {
        startRestore(file, goOnWithoutBackup);
        waitForGbak();
    }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
    QTemporaryDir scratch;
    std::unique_ptr<TKonfiguracja> dialog;
    std::vector<std::string> progressShown;
    bool made = QDir().mkpath(scratch.path() + "/backups");
};

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

// From the backup of the live database to the restore's end the progress
// window stands modal over the windows and nothing the user does reaches the
// database: OK (with database fields changed before), Cancel, the database
// fields and the main window's pages do nothing, so the rules in force still
// route a received message and the lists keep their rows. The event loop
// goes on meanwhile. The restore's end attaches the database the settings
// name, says what the connection test finds and reads the lists from it.
struct ButtonDuringStep {
    const char* step; // gbak's switch
    const char* button;
};

class RestoreWindows : public Maintenance {
  protected:
    void addRows(const std::string& name) {
        sql("INSERT INTO ContactPriv (name, CTIusers_nuserid) VALUES ('" + name + "', 0)");
        sql("INSERT INTO SmsRouting (nPriority, sSender, sLine, sRecipients) VALUES (1, '" + name +
            "', '_', '5')");
        sql("INSERT INTO CTIusers (sUserName, sUserLastName, sUserLogin, sUserPassword, nGroupID, sUserIP, "
            "sRCPcard, sStatus, nPrivileges) VALUES ('" +
            name + "', '', '" + name + "', '', 0, '', '', '', 0)");
    }
    void removeRows() {
        sql("DELETE FROM ContactPriv");
        sql("DELETE FROM SmsRouting");
        sql("DELETE FROM CTIusers");
    }
    // The contacts, routing rules and users the window holds.
    std::vector<std::string> lists() {
        std::vector<std::string> all;
        for (const ContactRow& row : form->Admin().ContactRows)
            all.push_back("contact " + row.Name);
        for (const ROUTING_RULE& rule : form->Sms().SmsEngine.RoutingRules)
            all.push_back("rule " + rule.sSender);
        for (int i = 0; i < form->UserLV->topLevelItemCount(); ++i)
            all.push_back("user " + form->UserLV->topLevelItem(i)->text(3).toStdString());
        return all;
    }
    // Whom the rules in force give a message received from `sender`.
    std::vector<std::int32_t> routed(const std::string& sender) {
        return form->Sms().SmsEngine.SelectRecipients(sender, "1");
    }
    // A click on a page's tab of the main window.
    void clickPage(QWidget* page) {
        QTabBar* bar = form->Zakladki->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(form->Zakladki->indexOf(page)).center());
    }
    // After clicks on `pages` the page `shown` is shown, a message from
    // `name` is routed by its rule, and the lists hold the rows of `name`.
    void expectPagesKeep(std::initializer_list<QWidget*> pages, QWidget* shown, const std::string& name) {
        for (QWidget* page : pages)
            clickPage(page);
        EXPECT_EQ(form->Zakladki->currentWidget(), shown);
        EXPECT_EQ(routed(name), std::vector<std::int32_t>{5});
        EXPECT_EQ(lists(), (std::vector<std::string>{"contact " + name, "rule " + name, "user " + name}));
        EXPECT_EQ(form->lvKontakty->ItemCount(), 1);
    }
    // The window with the lists of "pozniejszy" read, and a backup holding
    // those of "zbackupu".
    void openWithLists() {
        ASSERT_NO_FATAL_FAILURE(open(false));
        progress = std::make_unique<TOknoInfo>();
        OknoInfo = progress.get();
        addRows("zbackupu");
        dialog->btnBackupClick();
        ASSERT_NO_FATAL_FAILURE(waitForGbak());
        backup = maintenance().LastBackupFile();
        removeRows();
        addRows("pozniejszy");
        form->resize(1000, 700);
        form->show();
        for (QWidget* page : {form->TabSms, form->TabSheet8, form->TabSheet1, form->TabSms})
            clickPage(page);
        ASSERT_EQ(form->Zakladki->currentWidget(), form->TabSms);
        ASSERT_EQ(lists(), later);
        ASSERT_EQ(routed("pozniejszy"), std::vector<std::int32_t>{5});
        dialog->show();
        dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    }
    void TearDown() override {
        OknoInfo = nullptr;
        Maintenance::TearDown();
    }
    std::unique_ptr<TOknoInfo> progress;
    std::string backup;
    const std::vector<std::string> later = {"contact pozniejszy", "rule pozniejszy", "user pozniejszy"};
};

class ButtonDuringRestore : public RestoreWindows, public ::testing::WithParamInterface<ButtonDuringStep> {};

TEST_P(ButtonDuringRestore, DoesNothingAndTheRestoresEndReadsTheRestoredLists) {
    ASSERT_NO_FATAL_FAILURE(openWithLists());
    const std::string database = c.path;
    const std::string elsewhere = folder.file("elsewhere.fdb");
    dialog->NameEdit->selectAll();
    QTest::keyClicks(dialog->NameEdit, QString::fromStdString(elsewhere));
    ASSERT_EQ(dialog->NameEdit->text().toStdString(), elsewhere);

    maintenance().SetGbakPath(heldGbak(GetParam().step));
    dialogs->QueueAnswer(ui::IDOK);
    dialogs->QueueText(backup);
    QTest::mouseClick(dialog->btnRestore, Qt::LeftButton);
    const QString held = scratch.path() + "/held";
    serveWhileGbakRuns([&] { return QFile::exists(held); });
    ASSERT_TRUE(QFile::exists(held)) << mainLogText();
    EXPECT_TRUE(progress->isVisible());
    EXPECT_TRUE(progress->isModal());
    EXPECT_EQ(progress->Label1->text().toStdString().rfind(text("IDS_172"), 0), 0u)
        << progress->Label1->text().toStdString();

    const auto beforeEnd = dialogs->Calls().size();
    QTest::keyClicks(dialog->NameEdit, "x");
    QTest::mouseClick(dialog->findChild<QWidget*>(GetParam().button), Qt::LeftButton);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->NameEdit->text().toStdString(), elsewhere);
    EXPECT_EQ(form->Settings.NameFBText, database);
    expectPagesKeep({form->TabSheet1, form->TabSheet8, form->TabSms}, form->TabSms, "pozniejszy");
    EXPECT_EQ(dialogs->Calls().size(), beforeEnd); // nothing said of a database away

    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_FALSE(progress->isVisible());
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(MainDbAttachedWith().path, database);
    EXPECT_EQ(form->Settings.NameFBText, database);
    EXPECT_EQ(lists(), (std::vector<std::string>{"contact zbackupu", "rule zbackupu", "user zbackupu"}))
        << mainLogText();
    EXPECT_EQ(routed("zbackupu"), std::vector<std::int32_t>{5});
    EXPECT_EQ(form->lvKontakty->ItemCount(), 1);
    const auto calls = dialogs->Calls();
    ASSERT_GT(calls.size(), beforeEnd);
    EXPECT_EQ(calls.back().text, text("IDS_99"));
    EXPECT_EQ(calls.back().caption, text("IDS_21"));
    // At the end the window is the user's again.
    EXPECT_TRUE(dialog->isVisible());
    clickPage(form->TabSheet1);
    EXPECT_EQ(form->Zakladki->currentWidget(), form->TabSheet1);
    QTest::mouseClick(dialog->btnCancel, Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
}

INSTANTIATE_TEST_SUITE_P(BackupAndRestoreSteps, ButtonDuringRestore,
                         ::testing::Values(ButtonDuringStep{"-b", "btnCancel"},
                                           ButtonDuringStep{"-b", "btnAccept"},
                                           ButtonDuringStep{"-c", "btnCancel"},
                                           ButtonDuringStep{"-c", "btnAccept"}),
                         [](const auto& info) {
                             return std::string(info.param.button) + (std::string(info.param.step) == "-b"
                                                                          ? "WhileTheLiveDatabaseIsBackedUp"
                                                                          : "WhileGbakRestores");
                         });

// While gbak restores, the main connection is held away, not lost: the
// reconnect timer's ticks count no failed open, say nothing on stderr and
// show no box, even past the third failure of the run, and leave neither
// the count raised nor the timer armed. The restore's end attaches it.
TEST_F(Maintenance, ReconnectTicksDuringARestoreAreNoFailures) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    maintenance().SetGbakPath(heldGbak("-c"));
    struct Count {
        int before = std::exchange(OpenFailureCount, 3); // the next failure would show its box
        ~Count() { OpenFailureCount = before; }
    } count;

    clickRestore(backup);
    const QString held = scratch.path() + "/held";
    serveWhileGbakRuns([&] { return QFile::exists(held); });
    ASSERT_TRUE(QFile::exists(held)) << mainLogText();
    ASSERT_FALSE(MainDbHandleExists());
    const auto beforeTicks = dialogs->Calls().size();
    form->trmReconnect->setInterval(1);
    testing::internal::CaptureStderr();
    int ticks = 0;
    for (; ticks < 3; ++ticks) {
        QSignalSpy ticked(form->trmReconnect, &QTimer::timeout);
        form->trmReconnect->SetEnabled(true);
        if (!ticked.wait())
            break;
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(said.find("cannot attach"), std::string::npos) << said;
    EXPECT_EQ(OpenFailureCount, 3);
    EXPECT_EQ(dialogs->Calls().size(), beforeTicks);
    EXPECT_FALSE(form->trmReconnect->Enabled());

    QFile go(scratch.path() + "/go");
    ASSERT_TRUE(go.open(QIODevice::WriteOnly));
    go.close();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(OpenFailureCount, 3);
    EXPECT_FALSE(form->trmReconnect->Enabled());
    const auto calls = dialogs->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().text, text("IDS_99"));
}

// The restore's end runs the whole connection test on the dialog's fields:
// after the restore's outcome, the warning of a loopback address, the
// verdict and the warning of the default password, as the button shows them.
TEST_F(Maintenance, RestoresEndWarnsOfALoopbackAddressAndTheDefaultPassword) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    dialog->show();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    for (auto [edit, typed] :
         {std::pair{dialog->DIPBEdit, "127.0.0.1"}, std::pair{dialog->PassEdit, "plintaved"}}) {
        edit->clear();
        QTest::keyClicks(edit, QString::fromLatin1(typed));
    }

    clickRestore(backup);
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_TRUE(MainDbHandleExists());
    const auto calls = dialogs->Calls();
    ASSERT_GE(calls.size(), 4u);
    const std::size_t end = calls.size() - 4;
    EXPECT_EQ(calls[end].text, text("IDS_964"));
    EXPECT_NE(calls[end + 1].text.find("loopback"), std::string::npos) << calls[end + 1].text;
    EXPECT_EQ(calls[end + 1].caption, "Halvex");
    EXPECT_EQ(calls[end + 2].text, text("IDS_99"));
    EXPECT_EQ(calls[end + 3].text, text("IDS_106"));
    EXPECT_EQ(calls[end + 3].caption, text("IDS_78"));
    EXPECT_EQ(calls[end + 3].flags, ui::MB_OK | ui::MB_ICONWARNING);
}

// A database that goes away after a restore (an outage, found as a lost
// connection) empties neither the rules in force nor the lists: Cancel asks
// for them anew, and the pages shown meanwhile keep what was read.
TEST_F(RestoreWindows, ADatabaseAwayEmptiesNeitherTheRulesNorTheLists) {
    ASSERT_NO_FATAL_FAILURE(openWithLists());
    dialogs->QueueAnswer(ui::IDOK);
    dialogs->QueueText(backup);
    QTest::mouseClick(dialog->btnRestore, Qt::LeftButton);
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::vector<std::string> fromBackup = {"contact zbackupu", "rule zbackupu", "user zbackupu"};
    ASSERT_EQ(lists(), fromBackup) << mainLogText();

    ASSERT_EQ(SessionDB::DetachDatabase(&MainDbHandle), 0);
    QTest::mouseClick(dialog->btnCancel, Qt::LeftButton);
    ASSERT_FALSE(dialog->isVisible());
    expectPagesKeep({form->TabSheet1, form->TabSms, form->TabSheet8}, form->TabSheet8, "zbackupu");
}

// Every box of a restore, whatever its end, belongs to the settings dialog,
// which is kept on top: the box stands above it.
TEST_F(Maintenance, EveryBoxOfARestoreBelongsToTheDialog) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    dialog->show();
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string good = maintenance().LastBackupFile();
    QFile junk(scratch.path() + "/junk.fbk");
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a backup");
    junk.close();
    const auto from = dialogs->Calls().size();

    clickRestore(good); // made
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    clickRestore(junk.fileName().toStdString()); // fails, the database put back
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    DbHandle other = 0;
    {
        SessionDB session(c.host, c.path, c.user, c.password, &other, false);
        ASSERT_EQ(session.LastCode, 0);
    }
    clickRestore(good); // refused: someone else is attached
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    ASSERT_EQ(SessionDB::DetachDatabase(&other), 0);
    maintenance().SetGbakPath(wrapper(true));
    dialogs->QueueAnswer(ui::IDOK);
    dialogs->QueueText(good);
    dialogs->QueueAnswer(ui::IDNO);
    QTest::mouseClick(dialog->btnRestore, Qt::LeftButton); // its own backup fails: asked, and not made
    ASSERT_NO_FATAL_FAILURE(waitForGbak());

    std::vector<std::string> boxes;
    const auto calls = dialogs->Calls();
    for (auto call = calls.begin() + std::ptrdiff_t(from); call != calls.end(); ++call)
        if (call->kind == "MessageBox") {
            boxes.push_back(call->text);
            EXPECT_EQ(call->owner, dialog.get()) << call->text;
        }
    for (const std::string& expected : {text("IDS_964"), text("IDS_965"), text("IDS_961"),
                                        GetDbErrorText(dbcode::GbakDbInUse), text("IDS_99")})
        EXPECT_TRUE(std::any_of(boxes.begin(), boxes.end(), [&](const std::string& box) {
            return box.find(expected) != std::string::npos;
        })) << expected;
}

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

// ---- a restore held shut from its click to its end ----

// Notes, at each box, whether the main connection is attached and the
// progress window shown; the box whose text starts with `realText` opens
// for real (the others answer as scripted).
class WatchingDialogs : public ui::ScriptedDialogs {
  public:
    struct Seen {
        std::string text;
        bool attached = false;
        bool progressShown = false;
    };
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags, int headlessAnswer,
                   QWidget* owner) override {
        seen.push_back({text, MainDbHandleExists(), OknoInfo && OknoInfo->isVisible()});
        const int scripted = ScriptedDialogs::MessageBox(text, caption, flags, headlessAnswer, owner);
        if (!cancelText.empty() && text.rfind(cancelText, 0) == 0)
            return ui::IDCANCEL;
        if (realText.empty() || text.rfind(realText, 0) != 0)
            return scripted;
        return ui::InteractiveDialogs().MessageBox(text, caption, flags, headlessAnswer, owner);
    }
    const Seen* find(const std::string& text) const {
        for (const Seen& box : seen)
            if (box.text.rfind(text, 0) == 0)
                return &box;
        return nullptr;
    }
    std::vector<Seen> seen;
    std::string realText;
    // The box whose text starts with this is answered Cancel.
    std::string cancelText;
};

class HeldRestore : public Maintenance {
  protected:
    void SetUp() override {
        Maintenance::SetUp();
        dialogs = watching;
    }
    void TearDown() override {
        OknoInfo = nullptr;
        Maintenance::TearDown();
    }
    // The window with its progress window, and a backup of the database.
    void openWithBackup() {
        ASSERT_NO_FATAL_FAILURE(open(false));
        progress = std::make_unique<TOknoInfo>();
        OknoInfo = progress.get();
        dialog->btnBackupClick();
        ASSERT_NO_FATAL_FAILURE(waitForGbak());
        backup = maintenance().LastBackupFile();
    }
    // What the log said, whether still queued or already in the window's pane.
    std::string logAndPane() {
        std::string all = mainLogText();
        for (int i = 0; i < form->Info->count(); ++i)
            all += form->Info->item(i)->text().toStdString() + "\n";
        return all;
    }
    std::shared_ptr<WatchingDialogs> watching = std::make_shared<WatchingDialogs>();
    std::unique_ptr<TOknoInfo> progress;
    std::string backup;
};

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
