// The maintenance's common ground: the database gbak works on, the settings
// it reads, the boxes and the progress window, and the failures of a start.
#include "admin/DatabaseMaintenance.h"

#include "admin/MaintenanceInternal.h"
#include "base/DiagnosticLog.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "platform/Clock.h"
#include "ui/Dialogs.h"

#include <QFileInfo>
#include <QProcess>

namespace admin {

using namespace maintenance;

using base::SettingsSection;

DatabaseMaintenance::DatabaseMaintenance(ConsoleHost& host) : host_(host) {}

std::string DatabaseMaintenance::DatabaseName(const db::ConnectionSettings& c) {
    return c.host.empty() ? c.path : c.host + ":" + c.path;
}

// The database gbak works on: the one attached, else the one of the settings.
db::ConnectionSettings DatabaseMaintenance::mainDatabase() {
    return MainDbHandleExists() ? MainDbAttachedWith() : db::MainConnection();
}

std::string DatabaseMaintenance::Run::unfinishedFile() const {
    return step == Step::Restore ? ownFile : unfinishedName(backupFile);
}

DatabaseMaintenance::~DatabaseMaintenance() {
    StopGbak(std::chrono::milliseconds(0));
}

std::string DatabaseMaintenance::setting(const char* name) const {
    return std::get<std::string>(host_.Setting(SettingsSection::Main, name));
}

bool DatabaseMaintenance::Busy() const {
    return busy_;
}

void DatabaseMaintenance::show(const Texts& texts, const std::string& text, unsigned icon) {
    if (texts && !shuttingDown_)
        ui::dialogs().MessageBox(text, texts("IDS_21"), icon | ui::MB_OK, ui::IDOK, BoxOwner);
}

void DatabaseMaintenance::holdWindows(const std::string& text) {
    host_.ShowProgress(text);
    if (RestoreRunning)
        RestoreRunning(true);
}

void DatabaseMaintenance::releaseWindows() {
    host_.HideProgress();
    if (RestoreRunning)
        RestoreRunning(false);
}

void DatabaseMaintenance::reportStartFailure(const Texts& texts, bool gbakMissing) {
    logStartFailure(gbakMissing);
    showStartFailure(texts, gbakMissing);
}

// A restore's is shown by the restore once its windows and its hold are
// released.
void DatabaseMaintenance::startFailure(const Run& run, bool gbakMissing) {
    gbakMissing_ = gbakMissing;
    if (run.step == Step::Backup)
        reportStartFailure(run.texts, gbakMissing);
    else
        logStartFailure(gbakMissing);
}

void DatabaseMaintenance::logStartFailure(bool gbakMissing) {
    base::WriteLog(1, "%s",
                   gbakMissing ? "Nie znaleziono pliku gbak.exe" : "Nie znaleziono ścieżki przy backupie");
}

void DatabaseMaintenance::showStartFailure(const Texts& texts, bool gbakMissing) {
    show(texts, texts ? texts(gbakMissing ? "IDS_113" : "IDS_117") : "", ui::MB_ICONWARNING);
}

bool DatabaseMaintenance::gbakFound(const Texts& texts) {
    const QFileInfo gbak(q(setting("GbakPath")));
    if (gbak.isFile() && gbak.isExecutable())
        return true;
    reportStartFailure(texts, true);
    return false;
}

bool DatabaseMaintenance::SetGbakPath(const std::string& path) {
    return host_.StoreSetting(SettingsSection::Main, "GbakPath", path);
}

bool DatabaseMaintenance::SetBackupPath(const std::string& folder) {
    return host_.StoreSetting(SettingsSection::Main, "BackupPath", folder);
}

// Timed to the rows' end on the road, not their hand-off: the road is
// empty once every row handed before it has gone.
bool DatabaseMaintenance::MeasureHistoryInserts(std::function<void(double seconds)> measured) {
    if (measuring_)
        return false;
    const std::int64_t start = platform::processClock().nowMs();
    for (int i = 0; i < 100; ++i)
        host_.SaveIncomingCall(std::to_string(500600700 + i), "199", 0, platform::processClock().dateTime());
    auto written = [alive = QPointer<QObject>(&context_), this, start, measured = std::move(measured)] {
        if (!alive)
            return;
        measuring_ = false;
        measured(double(platform::processClock().nowMs() - start) / 1000.0);
    };
    db::MainDatabase* database = db::MainDatabase::Current();
    if (!database) {
        written();
        return true;
    }
    measuring_ = true;
    database->Road().WhenEmpty(std::move(written));
    return true;
}

} // namespace admin
