// The fixture of the database maintenance's tests: the main window and its
// settings dialog on a database of the test's own, with the real gbak or a
// script in front of it, and a restore held shut from its click to its end.
#pragma once

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

namespace maintenancetest {

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

} // namespace maintenancetest
