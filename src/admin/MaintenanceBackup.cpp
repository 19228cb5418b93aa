// The backup: one asked for, the one a restore makes first, and the
// scheduled one with the cleaning of old history before it.
#include "admin/DatabaseMaintenance.h"

#include "admin/MaintenanceInternal.h"
#include "base/DiagnosticLog.h"
#include "db/CallWatchdog.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "ui/Dialogs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <utility>

namespace admin {

using namespace maintenance;

namespace {

using base::SettingsSection;

constexpr qint64 MsPerDay = 24LL * 3600 * 1000;

const struct {
    const char* table;
    const char* column;
} CleanedTables[] = {
    {"Msg", "DateSent"},
    {"TalksIncoming", "sDate"},
    {"TalksOutgoing", "sDate"},
    {"Sms", "sDate"},
};

} // namespace

bool DatabaseMaintenance::Backup(const Texts& texts) {
    if (Busy()) {
        base::WriteLog(1, "%s", "Backup nie został wykonany: gbak już pracuje");
        show(texts, texts ? texts("IDS_960") : "", ui::MB_ICONWARNING);
        return false;
    }
    Run run;
    run.texts = texts;
    run.database = mainDatabase();
    return gbakFound(texts) && startBackup(Step::Backup, std::move(run));
}

// The file is named after the local time it was started at.
bool DatabaseMaintenance::startBackup(Step step, Run run) {
    run.step = step;
    const QDir folder(q(setting("BackupPath")));
    if (setting("BackupPath").empty() || !folder.exists()) {
        startFailure(run, false);
        return false;
    }
    const QDateTime now = platform::processClock().dateTime();
    const QString stamp = now.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('_') +
                          now.toString(QStringLiteral("HHmmss"));
    // A second backup in the same second must not overwrite the first (it
    // may be the very file about to be restored).
    QString name = QStringLiteral("backup_%1.fbk").arg(stamp);
    for (int n = 2; folder.exists(name); ++n)
        name = QStringLiteral("backup_%1_%2.fbk").arg(stamp).arg(n);
    run.backupFile = folder.filePath(name).toStdString();
    lastBackupFile_ = run.backupFile;
    const QStringList arguments = {QStringLiteral("-b"), QStringLiteral("-v"), QStringLiteral("-t"),
                                   q(DatabaseName(run.database)), q(unfinishedName(run.backupFile))};
    return startGbak(std::move(run), arguments, true);
}

void DatabaseMaintenance::backupEnded(const Run& run, int exitCode) {
    const QString unfinished = q(unfinishedName(run.backupFile));
    if (exitCode == 0) {
        QFile::setPermissions(unfinished, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (::rename(unfinished.toLocal8Bit().constData(), run.backupFile.c_str()) != 0) {
            base::WriteLog(2, "Nie można zmienić nazwy pliku backupu %s na %s: %s",
                           unfinished.toStdString().c_str(), run.backupFile.c_str(), std::strerror(errno));
            exitCode = -1;
        }
    }
    // Half a backup must never be taken for a whole one.
    if (exitCode != 0)
        QFile::remove(unfinished);
    if (run.step == Step::FreshBackup) {
        Run next = run;
        next.freshBackup = exitCode == 0 ? run.backupFile : std::string();
        if (exitCode == 0) {
            restoreBackup_ = run.backupFile;
            base::WriteLog(1, "Kopia bazy danych sprzed odtwarzania: %s (%lld B)", run.backupFile.c_str(),
                           static_cast<long long>(QFileInfo(q(run.backupFile)).size()));
        }
        if (shuttingDown_)
            return;
        if (exitCode != 0 && !goOnWithoutFreshBackup(run.texts)) {
            giveUpWithoutFreshBackup();
            return;
        }
        restoreAfterFreshBackup(std::move(next));
        return;
    }
    if (exitCode != 0)
        show(run.texts, run.texts ? withCode(run.texts("IDS_962"), exitCode) : "", ui::MB_ICONWARNING);
}

// A restore that left the database away keeps its waiting backup for the
// database's return.
void DatabaseMaintenance::DatabaseAttached() {
    if (!scheduledWaits_ || restoring_ || Busy() || shuttingDown_ || !MainDbHandleExists())
        return;
    scheduledWaits_ = false;
    if (std::get<bool>(host_.Setting(SettingsSection::Main, "AutoBackup")))
        runScheduledBackup(platform::processClock().dateTime());
}

int DatabaseMaintenance::CzyscBaze(const db::ConnectionSettings& whenDetached) {
    const QDateTime cutOff = platform::processClock().dateTime().addDays(-KeptDays);
    const std::string date = QuoteSql(cutOff.toString(QStringLiteral("yyyy-MM-dd")).toStdString());
    SessionDB session(whenDetached.host, whenDetached.path, whenDetached.user, whenDetached.password,
                      &MainDbHandle, false);
    if (session.LastCode != 0)
        return session.LastCode;
    // The tables have no index on their dates: a long history takes long.
    const db::MaintenanceCalls longStatements;
    for (const auto& [table, column] : CleanedTables) {
        const std::string statement =
            std::string("DELETE FROM ") + table + " WHERE " + table + "." + column + " < '" + date + "'";
        if (const int code = session.ExecuteSQL(statement); code != 0)
            return code;
    }
    return 0;
}

// A backup due while a restore runs (its own backup and its questions
// included) or while gbak is busy waits: it would back up, or clean, the
// database about to be replaced, or be refused. It is made after the
// restore's end, and the time of the last run moves only with a backup made.
void DatabaseMaintenance::MaintenanceTimerTick() {
    if (!std::get<bool>(host_.Setting(SettingsSection::Main, "AutoBackup")))
        return;
    const QDateTime now = platform::processClock().dateTime();
    const QTime hour = base::TimeOfDayFromText(setting("timeBackupHour"));
    const int sinceHour = hour.isValid() ? hour.msecsTo(now.time()) : -1;
    const bool inBackupHour = sinceHour > 0 && sinceHour < 3600 * 1000;
    QDateTime last =
        QDateTime::fromString(q(setting("timeBackup")), QString::fromLatin1(base::StoredDateTimeFormat));
    if (!last.isValid())
        last = now;
    const double age = double(last.msecsTo(now)) / double(MsPerDay) + 0.01;
    const int period =
        std::clamp(std::get<int>(host_.Setting(SettingsSection::Main, "AutoBackupPeriod")), 1, 14);
    if (!scheduledWaits_ && age < (inBackupHour ? period : period + 2))
        return;
    if (restoring_ || Busy()) {
        scheduledWaits_ = true;
        return;
    }
    if (!MainDbHandleExists())
        return;
    scheduledWaits_ = false;
    runScheduledBackup(now);
}

void DatabaseMaintenance::runScheduledBackup(const QDateTime& now) {
    if (std::get<bool>(host_.Setting(SettingsSection::Main, "CleanBeforeBackup")))
        if (const int code = CzyscBaze(db::MainConnection()); code != 0)
            base::WriteLog(2, "Błąd %d przy czyszczeniu bazy danych", code);
    if (!Backup({}) && Busy())
        return;
    host_.StoreSetting(SettingsSection::Main, "timeBackup",
                       now.toString(QString::fromLatin1(base::StoredDateTimeFormat)).toStdString());
}

} // namespace admin
