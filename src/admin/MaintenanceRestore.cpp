// The restore's start: the rows on their way into the database waited for,
// the backup of the live database first, the main connection detached and
// the database checked for others attached, and gbak started into the
// database itself or into a file of its own; and what every end of a
// restore releases, however it ends.
#include "admin/DatabaseMaintenance.h"

#include "admin/MaintenanceInternal.h"
#include "base/DiagnosticLog.h"
#include "db/CallWatchdog.h"
#include "db/DrawnKeys.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "ui/Dialogs.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTimer>

#include <memory>
#include <optional>
#include <utility>

namespace admin {

using namespace maintenance;

namespace {

// A Firebird host as the connection names it ("host", "host/port",
// "[::1]/port") is this machine.
bool isThisMachine(const std::string& hostText) {
    QString host = q(hostText);
    if (host.startsWith(QLatin1Char('[')) && host.contains(QLatin1Char(']')))
        host = host.mid(1, host.indexOf(QLatin1Char(']')) - 1);
    else if (host.contains(QLatin1Char('/')))
        host = host.left(host.indexOf(QLatin1Char('/')));
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
        host.compare(QHostInfo::localHostName(), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && (address.isLoopback() || QNetworkInterface::allAddresses().contains(address));
}

// The database's file, when the program can put a restored file in its
// place: a local one in a folder the program may write. "" otherwise.
std::string replaceableFile(const db::ConnectionSettings& c) {
    const QFileInfo file(q(localFile(c)));
    if (!file.isFile() || !QFileInfo(file.absolutePath()).isWritable())
        return {};
    return c.path;
}

// Rows held for a restore wait for the database it leaves attached:
// `settled` is told once none is on its way into the one it replaces.
void holdRows(bool held, std::function<void()> settled = {}) {
    if (auto* database = db::MainDatabase::Current())
        database->HoldRows(held, std::move(settled));
    else if (settled)
        settled();
}

} // namespace

namespace maintenance {

std::string localFile(const db::ConnectionSettings& c) {
    if ((!c.host.empty() && !isThisMachine(c.host)) || !QFileInfo(q(c.path)).isAbsolute())
        return {};
    return c.path;
}

std::string otherAttachments(const db::ConnectionSettings& c, std::string* serverFile) {
    // A handle of its own, its calls bounded as the main connection's are.
    static DbHandle handle = 0;
    static const bool bounded = (db::BoundHandle(&handle), true);
    static_cast<void>(bounded);
    DbHandle* own = &handle;
    std::vector<QueryRow> rows;
    {
        SessionDB session(c.host, c.path, c.user, c.password, own, false);
        if (session.LastCode != 0)
            return {};
        if (serverFile)
            *serverFile = db::ServerFileOf(session);
        session.SetSqlText("SELECT MON$USER, MON$REMOTE_ADDRESS, MON$REMOTE_PROCESS FROM MON$ATTACHMENTS "
                           "WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION AND "
                           "MON$SYSTEM_FLAG = 0");
        session.RunInReadTransaction([&] { return session.RunQueryToList(&rows); });
    }
    SessionDB::DetachOrAbandon(own);
    std::string all;
    for (QueryRow& row : rows) {
        const std::string& address = row["MON$REMOTE_ADDRESS"];
        const std::string& program = row["MON$REMOTE_PROCESS"];
        all += (all.empty() ? "" : ", ") + row["MON$USER"] + " (" + address +
               (address.empty() || program.empty() ? "" : ", ") + program + ")";
    }
    return all;
}

} // namespace maintenance

bool DatabaseMaintenance::Restore(const std::string& file, const Texts& texts) {
    if (Busy()) {
        show(texts, texts("IDS_960"), ui::MB_ICONWARNING);
        return false;
    }
    if (!gbakFound(texts))
        return false;
    if (!QFileInfo(q(file)).isFile()) {
        reportStartFailure(texts, false);
        return false;
    }
    Run run;
    run.texts = texts;
    run.database = mainDatabase();
    run.restoreFile = file;
    restoring_ = true;
    restoreTexts_ = texts;
    base::WriteLog(1, "Odtwarzanie bazy danych %s z backupu %s", DatabaseName(run.database).c_str(),
                   file.c_str());
    // A row written once the backup has begun would go into the file the
    // restore replaces, and be in neither: from here rows wait, and the
    // backup starts once those on their way are in. The windows are held
    // from the click: nothing the user does may reach the database meanwhile.
    busy_ = true;
    holdWindows(texts("IDS_967"));
    const int wait = ++rowsWaitCount_;
    waitingForRows_ = true;
    QTimer::singleShot(rowsWait_, &context_, [this, wait] {
        if (wait == rowsWaitCount_ && waitingForRows_)
            giveUpWaitingForRows();
    });
    auto started = std::make_shared<std::optional<bool>>();
    holdRows(true, [this, run, started, wait] {
        if (wait != rowsWaitCount_ || !std::exchange(waitingForRows_, false))
            return;
        *started = backUpThenRestore(run);
    });
    return started->value_or(true);
}

void DatabaseMaintenance::giveUpWaitingForRows() {
    waitingForRows_ = false;
    busy_ = false;
    const Texts texts = restoreTexts_;
    releaseWindows();
    holdRows(false);
    base::WriteLog(
        2,
        "Odtwarzanie bazy danych nie zostało wykonane: zapisy w drodze do bazy danych nie "
        "zakończyły się w ciągu %lld s",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(rowsWait_).count()));
    show(texts, texts("IDS_968"), ui::MB_ICONWARNING);
    endRestore();
}

bool DatabaseMaintenance::backUpThenRestore(Run run) {
    busy_ = false;
    if (shuttingDown_)
        return false;
    // A database a cut restore left may be incomplete: a backup of it would
    // take the place of the whole one in the mark, which keeps naming that.
    if (suspectIs(run.database)) {
        run.freshBackup = suspect_.backup;
        restoreBackup_ = suspect_.backup;
        base::WriteLog(
            1,
            "Bez kopii bazy danych %s przed odtwarzaniem: baza może być niekompletna; kopia sprzed "
            "przerwanego odtwarzania: %s",
            DatabaseName(run.database).c_str(), run.freshBackup.c_str());
        restoreAfterFreshBackup(std::move(run));
        return true;
    }
    if (startBackup(Step::FreshBackup, run))
        return true;
    // No backup of the live database could even be started.
    releaseWindows();
    showStartFailure(run.texts, gbakMissing_);
    if (shuttingDown_ || !goOnWithoutFreshBackup(run.texts)) {
        giveUpWithoutFreshBackup();
        return false;
    }
    restoreAfterFreshBackup(std::move(run));
    return true;
}

// The question stands alone above the dialog, its own modal box; a "yes"
// holds the windows again, a "no" ends the restore.
bool DatabaseMaintenance::goOnWithoutFreshBackup(const Texts& texts) {
    busy_ = true; // nothing else may start gbak while the user thinks
    releaseWindows();
    const bool goOn =
        ui::dialogs().MessageBox(texts("IDS_961"), texts("IDS_21"), ui::MB_YESNO | ui::MB_ICONWARNING,
                                 ui::IDNO, BoxOwner) == ui::IDYES;
    busy_ = false;
    if (goOn && !shuttingDown_)
        holdWindows(texts("IDS_172"));
    return goOn;
}

void DatabaseMaintenance::giveUpWithoutFreshBackup() {
    holdRows(false);
    base::WriteLog(2, "%s",
                   "Odtwarzanie bazy danych nie zostało wykonane: brak kopii bazy sprzed odtwarzania");
    endRestore();
}

// The main connection stays away while gbak replaces the file beneath it.
void DatabaseMaintenance::restoreAfterFreshBackup(Run run) {
    HoldMainAttach(true);
    if (MainDbHandleExists() && SessionDB::DetachDatabase(&MainDbHandle) != 0) {
        releaseMain();
        base::WriteLog(1, "%s", "Odtwarzanie bazy danych przerwane: nie udało się odłączyć bazy");
        releaseWindows();
        show(run.texts, run.texts("IDS_963"), ui::MB_ICONWARNING);
        endRestore();
        return;
    }
    // Whoever else is attached would go on working in the database the
    // restore replaces, and lose what he writes. (A put-back after a failed
    // restore into the database itself finds none to ask.)
    if (run.failedCode == 0)
        if (const std::string others = otherAttachments(run.database, &run.serverFile); !others.empty()) {
            refuseInUse(run, others);
            return;
        }
    const std::string from = run.restoreFile;
    const db::ConnectionSettings database = run.database;
    run.step = Step::Restore;
    run.backupFile.clear();
    // A put-back from the backup taken before goes where the failed restore
    // went: into the database itself.
    const std::string replaceable =
        run.failedCode != 0 || run.inPlace ? std::string() : replaceableFile(run.database);
    run.ownFile = replaceable.empty() ? std::string() : replaceable + RestoringSuffix;
    // A put-back after a failed restore finds the mark of that restore standing.
    if (run.ownFile.empty() && !markOfRestore_)
        if (const std::string why = writeRestoreMark(run); !why.empty()) {
            refuseWithoutMark(run, why);
            return;
        }
    db::ConnectionSettings into = run.database;
    if (run.ownFile.empty())
        base::WriteLog(1, "Odtwarzanie bezpośrednio do bazy danych %s", DatabaseName(into).c_str());
    else
        into.path = run.ownFile;
    // A file left by a restore cut short is replaced.
    const QStringList arguments = {QStringLiteral("-v"), QStringLiteral("-c"),
                                   QStringLiteral("-replace_database"), q(from), q(DatabaseName(into))};
    const Texts texts = run.texts;
    if (!startGbak(std::move(run), arguments, false))
        restoreNotStarted(database, [&] {
            base::WriteLog(2, "%s", "Odtwarzanie bazy danych nie zostało wykonane: nie można uruchomić gbak");
            showStartFailure(texts, true);
        });
}

void DatabaseMaintenance::restoreNotStarted(const db::ConnectionSettings& database,
                                            const std::function<void()>& sayWhy) {
    releaseMain();
    releaseWindows();
    sayWhy();
    auto structure = ConsoleHost::StructureCheck::NothingCreated;
    if (!shuttingDown_ && !MainAttachHeld())
        host_.ReattachMainDatabase(database, structure, BoxOwner);
    endRestore();
}

void DatabaseMaintenance::releaseMain() {
    HoldMainAttach(suspectHoldsMain());
    holdRows(false);
}

void DatabaseMaintenance::endRestore() {
    if (!std::exchange(restoring_, false))
        return;
    restoreTexts_ = {};
    restoreBackup_.clear();
    restoreMarkEnded();
    if (shuttingDown_)
        return;
    host_.RestoreOver();
    DatabaseAttached();
}

// The exit would leave by a side door the restore holds shut.
bool DatabaseMaintenance::RefuseExitDuringRestore() {
    if (!restoring_)
        return false;
    base::WriteLog(1, "%s", "Zakończenie pracy odmówione: trwa odtwarzanie bazy danych");
    show(restoreTexts_, restoreTexts_("IDS_960"), ui::MB_ICONWARNING);
    return true;
}

} // namespace admin
