#include "admin/DatabaseMaintenance.h"

#include "base/DiagnosticLog.h"
#include "db/CallWatchdog.h"
#include "db/DbErrorText.h"
#include "db/DrawnKeys.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "ui/Dialogs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QTimer>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <optional>
#include <utility>

namespace admin {

namespace {

using base::SettingsSection;

// Enough of gbak's output to tell why it failed.
constexpr std::size_t OutputTailLimit = 4096;
constexpr std::size_t ShownLineLimit = 200;
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

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

// gbak writes a backup under this name, which takes the final one only when
// gbak succeeded: a backup cut short never passes for a whole one.
constexpr const char* UnfinishedSuffix = ".part";
// How long gbak is given after SIGTERM, and again after SIGKILL.
constexpr std::chrono::milliseconds StopWait{500};
// What a stop keeps of its bound for its own steps after gbak (the rows, the
// log): a restore into the database itself is not given that time.
constexpr std::chrono::milliseconds StopReserve{2000};

std::string unfinishedName(const std::string& backupFile) {
    return backupFile + UnfinishedSuffix;
}

// gbak restores under this name beside the database's file; the file takes
// the database's name only once gbak succeeded.
constexpr const char* RestoringSuffix = ".restoring";

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

// The database's file when it lies on this machine under its path (not an
// alias): an embedded database, or a server's here. "" otherwise.
std::string localFile(const db::ConnectionSettings& c) {
    if ((!c.host.empty() && !isThisMachine(c.host)) || !QFileInfo(q(c.path)).isAbsolute())
        return {};
    return c.path;
}

// The database's file, when the program can put a restored file in its
// place: a local one in a folder the program may write. "" otherwise.
std::string replaceableFile(const db::ConnectionSettings& c) {
    const QFileInfo file(q(localFile(c)));
    if (!file.isFile() || !QFileInfo(file.absolutePath()).isWritable())
        return {};
    return c.path;
}

// Everyone else attached to the database, as "user (address, program)"
// joined; "" when nobody, or when it cannot be asked (the closing of the
// database before the rename decides then).
// Also reads the database's file as its server names it into `serverFile`.
std::string otherAttachments(const db::ConnectionSettings& c, std::string* serverFile = nullptr) {
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

// gbak's own replace refuses a database someone is attached to.
bool saidInUse(const std::string& gbakOutput) {
    return gbakOutput.find("might be in use") != std::string::npos;
}

// Rows held for a restore wait for the database it leaves attached:
// `settled` is told once none is on its way into the one it replaces.
void holdRows(bool held, std::function<void()> settled = {}) {
    if (auto* database = db::MainDatabase::Current())
        database->HoldRows(held, std::move(settled));
    else if (settled)
        settled();
}

std::string withCode(const std::string& text, int exitCode) {
    return text + std::to_string(exitCode);
}

} // namespace

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

// A backup can be made again and half of one is worth nothing, so it is
// not waited for; nor is a restore into a file of its own, which leaves the
// database as it was. A restore into the database itself cut short leaves no
// usable database, so it is given what the bound allows. SIGTERM first,
// SIGKILL for a gbak that hangs.
void DatabaseMaintenance::StopGbak(std::chrono::milliseconds bound) {
    shuttingDown_ = true;
    nameBackupAtStop();
    if (!gbak_ || gbak_->state() == QProcess::NotRunning)
        return;
    const std::string unfinished = run_.unfinishedFile();
    const bool intoDatabase = unfinished.empty();
    const auto givenToGbak = std::max(bound - StopReserve - 2 * StopWait, std::chrono::milliseconds(0));
    if (intoDatabase && gbak_->waitForFinished(int(givenToGbak.count())))
        return;
    const std::string freshBackup = run_.freshBackup;
    auto& log = base::DiagnosticLog::instance();
    if (intoDatabase)
        log.WriteWhileClosing(
            2, "Zamykanie programu: odtwarzanie bazy danych przerwane, baza może być niekompletna%s%s",
            freshBackup.empty() ? "" : "; kopia sprzed odtwarzania: ", freshBackup.c_str());
    else if (run_.step == Step::Restore)
        log.WriteWhileClosing(2,
                              "Zamykanie programu: odtwarzanie bazy danych przerwane, baza pozostała bez "
                              "zmian, plik %s usunięty",
                              unfinished.c_str());
    else
        log.WriteWhileClosing(2, "Zamykanie programu: backup bazy danych przerwany, plik %s usunięty",
                              unfinished.c_str());
    gbak_->terminate();
    if (!gbak_->waitForFinished(int(StopWait.count()))) {
        gbak_->kill();
        gbak_->waitForFinished(int(StopWait.count()));
    }
    if (gbak_->state() != QProcess::NotRunning) {
        log.WriteWhileClosing(2, "gbak (pid %lld) nie zakończył pracy",
                              static_cast<long long>(gbak_->processId()));
        // Its object must not wait for it either, nor tell this one of its end.
        QObject::disconnect(gbak_.get(), nullptr, &context_, nullptr);
        gbak_.release();
    }
    if (!unfinished.empty())
        QFile::remove(q(unfinished));
}

void DatabaseMaintenance::RemoveUnfinishedBackups() {
    const std::string folder = setting("BackupPath");
    if (folder.empty())
        return;
    const QDir dir(q(folder));
    const QStringList unfinished = dir.entryList(
        {QStringLiteral("backup_*.fbk") + QLatin1String(UnfinishedSuffix)}, QDir::Files | QDir::Hidden);
    for (const QString& name : unfinished) {
        const std::string path = dir.filePath(name).toStdString();
        if (QFile::remove(dir.filePath(name)))
            base::WriteLog(1, "Usunięto niedokończony plik backupu %s", path.c_str());
        else
            base::WriteLog(2, "Nie można usunąć niedokończonego pliku backupu %s", path.c_str());
    }
}

// A restore cut short (the program killed) left its file beside the
// database, and perhaps the database closed in the moment before the rename.
void DatabaseMaintenance::RemoveUnfinishedRestore() {
    const db::ConnectionSettings database = mainDatabase();
    const std::string file = localFile(database);
    if (file.empty())
        return;
    const QFileInfo restoring(q(file + RestoringSuffix));
    if (!restoring.exists() && !restoring.isSymLink())
        return;
    const std::string path = restoring.filePath().toStdString();
    if (QFile::remove(restoring.filePath())) {
        base::WriteLog(2, "Usunięto niedokończony plik odtwarzania bazy danych %s (odtwarzanie przerwane)",
                       path.c_str());
        std::fprintf(stderr, "Halvex: removed %s, left by a database restore cut short\n", path.c_str());
    } else {
        const std::string why = std::strerror(errno);
        base::WriteLog(2, "Nie można usunąć niedokończonego pliku odtwarzania bazy danych %s: %s",
                       path.c_str(), why.c_str());
        std::fprintf(stderr, "Halvex: cannot remove %s, left by a database restore cut short: %s\n",
                     path.c_str(), why.c_str());
    }
    if (QFileInfo(q(file)).isFile())
        SessionDB::OpenToAttachments(database);
}

void DatabaseMaintenance::releaseMain() {
    HoldMainAttach(suspectHoldsMain());
    holdRows(false);
}

void DatabaseMaintenance::StopRequested() {
    shuttingDown_ = true;
    nameBackupAtStop();
}

void DatabaseMaintenance::nameBackupAtStop() {
    if (!restoring_ || restoreBackup_.empty() || std::exchange(backupNamedAtStop_, true))
        return;
    base::DiagnosticLog::instance().WriteWhileClosing(
        2, "Zamykanie programu w trakcie odtwarzania bazy danych; kopia bazy sprzed odtwarzania: %s",
        restoreBackup_.c_str());
    std::fprintf(stderr, "Halvex: stopped during a database restore; the backup made before it: %s\n",
                 restoreBackup_.c_str());
    std::fflush(stderr);
}

// The exit would leave by a side door the restore holds shut.
bool DatabaseMaintenance::RefuseExitDuringRestore() {
    if (!restoring_)
        return false;
    base::WriteLog(1, "%s", "Zakończenie pracy odmówione: trwa odtwarzanie bazy danych");
    show(restoreTexts_, restoreTexts_("IDS_960"), ui::MB_ICONWARNING);
    return true;
}

void DatabaseMaintenance::giveUpWithoutFreshBackup() {
    holdRows(false);
    base::WriteLog(2, "%s",
                   "Odtwarzanie bazy danych nie zostało wykonane: brak kopii bazy sprzed odtwarzania");
    endRestore();
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

// A restore that left the database away keeps its waiting backup for the
// database's return.
void DatabaseMaintenance::DatabaseAttached() {
    if (!scheduledWaits_ || restoring_ || Busy() || shuttingDown_ || !MainDbHandleExists())
        return;
    scheduledWaits_ = false;
    if (std::get<bool>(host_.Setting(SettingsSection::Main, "AutoBackup")))
        runScheduledBackup(platform::processClock().dateTime());
}

void DatabaseMaintenance::show(const Texts& texts, const std::string& text, unsigned icon) {
    if (texts && !shuttingDown_)
        ui::dialogs().MessageBox(text, texts("IDS_21"), icon | ui::MB_OK, ui::IDOK, BoxOwner);
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

// The password travels in gbak's environment: a command line can be read by
// every user of the machine.
bool DatabaseMaintenance::startGbak(Run run, const QStringList& arguments, bool ownerOnly) {
    if (gbak_)
        gbak_.release()->deleteLater(); // it may be the one whose end called us
    gbak_ = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ISC_USER"), q(run.database.user));
    environment.insert(QStringLiteral("ISC_PASSWORD"), q(run.database.password));
    gbak_->setProcessEnvironment(environment);
    gbak_->setProcessChannelMode(QProcess::MergedChannels);
    // gbak ends with the program, however the program ends (SIGKILL too): a
    // restore left running alone would go on writing a file nobody renames.
    const pid_t program = ::getpid();
    gbak_->setChildProcessModifier([ownerOnly, program] {
        if (ownerOnly)
            ::umask(077);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != program)
            ::_exit(127);
    });
    QObject::connect(gbak_.get(), &QProcess::readyReadStandardOutput, &context_, [this] { gbakOutput(); });
    QObject::connect(gbak_.get(), &QProcess::finished, &context_,
                     [this](int exitCode, QProcess::ExitStatus status) {
                         gbakEnded(exitCode, status == QProcess::CrashExit);
                     });
    outputTail_.clear();
    lastOutputLine_.clear();
    run_ = std::move(run);
    gbak_->start(q(setting("GbakPath")), arguments);
    if (!gbak_->waitForStarted()) {
        startFailure(std::exchange(run_, Run{}), true);
        return false;
    }
    busy_ = true;
    // Both gbak runs of a restore show the progress window.
    if (run_.step != Step::Backup && !shuttingDown_)
        holdWindows(run_.texts("IDS_172"));
    return true;
}

void DatabaseMaintenance::gbakOutput() {
    const QByteArray bytes = gbak_->readAllStandardOutput();
    outputTail_.append(bytes.constData(), std::size_t(bytes.size()));
    if (outputTail_.size() > OutputTailLimit)
        outputTail_.erase(0, outputTail_.size() - OutputTailLimit);
    const QStringList lines = QString::fromLocal8Bit(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.isEmpty())
        return;
    lastOutputLine_ = lines.last().trimmed().left(ShownLineLimit).toStdString();
    if (run_.step != Step::Backup && !shuttingDown_)
        host_.ShowProgress(run_.texts("IDS_172") + "\n" + lastOutputLine_);
}

void DatabaseMaintenance::gbakEnded(int exitCode, bool crashed) {
    gbakOutput();
    if (crashed)
        exitCode = -1;
    if (exitCode != 0)
        base::WriteLog(1, "gbak zakończył pracę z kodem %d: %s", exitCode, outputTail_.c_str());
    else
        base::WriteLog(3, "gbak zakończył pracę poprawnie (%s)",
                       run_.backupFile.empty() ? run_.restoreFile.c_str() : run_.backupFile.c_str());
    const Run run = std::exchange(run_, Run{});
    busy_ = false;
    if (run.step == Step::Restore)
        restoreEnded(run, exitCode);
    else
        backupEnded(run, exitCode);
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

bool DatabaseMaintenance::putRestoredInPlace(const Run& run) {
    if (::rename(QFile::encodeName(q(run.ownFile)).constData(),
                 QFile::encodeName(q(run.database.path)).constData()) == 0)
        return true;
    base::WriteLog(2, "Nie można zastąpić pliku bazy danych %s odtworzonym plikiem %s: %s",
                   run.database.path.c_str(), run.ownFile.c_str(), std::strerror(errno));
    return false;
}

// The restored file takes the database's name only while the database is
// closed to every attachment, closed by a server that found nobody attached:
// anyone attached would go on in the old file, and lose what he writes. The
// restored file comes open; the old one, closed, goes.
bool DatabaseMaintenance::closeDatabaseForRename(const Run& run) {
    const int closed = SessionDB::CloseToAttachments(run.database);
    if (closed == 0)
        return true;
    QFile::remove(q(run.ownFile));
    const std::string others = otherAttachments(run.database);
    if (closed == dbcode::ShutFailed || !others.empty()) {
        refuseInUse(run, others);
        return false;
    }
    base::WriteLog(2,
                   "Odtwarzanie bazy danych odmówione, baza pozostała bez zmian: nie można jej zamknąć "
                   "dla nowych połączeń (kod %d)",
                   closed);
    restoreFinished(run, closed, GetDbErrorText(closed));
    return false;
}

void DatabaseMaintenance::refuseInUse(const Run& run, const std::string& others) {
    base::WriteLog(2, "Odtwarzanie bazy danych odmówione, baza pozostała bez zmian: baza jest w użyciu%s%s%s",
                   others.empty() ? "" : " (", others.c_str(), others.empty() ? "" : ")");
    restoreFinished(run, dbcode::GbakDbInUse, GetDbErrorText(dbcode::GbakDbInUse));
}

// A restore into a file of its own touched the database only if it
// succeeded. When its file cannot take the database's name, the database is
// opened again and the restore made again into the database itself.
// A failed gbak into the database itself may already have removed the old
// one: it is put back from the backup taken just before, and the user told
// where that is; unless gbak refused a database in use, which it left whole.
void DatabaseMaintenance::restoreEnded(const Run& run, int exitCode) {
    if (!run.ownFile.empty()) {
        if (exitCode == 0 && !closeDatabaseForRename(run))
            return;
        const bool inPlace = exitCode == 0 && putRestoredInPlace(run);
        if (exitCode == 0 && !inPlace)
            SessionDB::OpenToAttachments(run.database);
        if (!inPlace)
            QFile::remove(q(run.ownFile));
        if (exitCode == 0 && !inPlace && !shuttingDown_) {
            Run again = run;
            again.inPlace = true;
            restoreAfterFreshBackup(std::move(again));
            return;
        }
        restoreFinished(run, inPlace ? 0 : exitCode != 0 ? exitCode : -1);
        return;
    }
    const bool puttingBack = run.failedCode != 0;
    // Whole again (a stop may end the program before the restore's end is said).
    if (exitCode == 0) {
        if (!puttingBack)
            restoredWhole(run);
        restoreMarkEnded();
    }
    if (exitCode != 0 && !puttingBack && saidInUse(outputTail_)) {
        refuseInUse(run, {});
        return;
    }
    if (exitCode != 0 && !puttingBack && !run.freshBackup.empty() && !shuttingDown_) {
        base::WriteLog(1, "Przywracanie bazy danych z kopii %s", run.freshBackup.c_str());
        Run back = run;
        back.restoreFile = run.freshBackup;
        back.failedCode = exitCode;
        restoreAfterFreshBackup(std::move(back));
        return;
    }
    restoreFinished(run, puttingBack ? run.failedCode : exitCode);
}

// The restore's outcome, then the connection test of its end, which
// attaches the main connection again with its failures shown and the
// structure checked; then every list is read from the restored database. A
// refused restore shows why.
void DatabaseMaintenance::restoreFinished(const Run& run, int failed, const std::string& refusal) {
    // Before any row goes in: the restored generators stand where the
    // backup left them, behind keys given out since.
    if (refusal.empty() && !shuttingDown_) {
        if (const int moved = db::MoveGeneratorsPastDrawnKeys(run.database); moved != 0)
            base::WriteLog(
                2, "Nie można przesunąć generatorów odtworzonej bazy danych za wydane klucze (kod %d)",
                moved);
    }
    if (failed == 0 && refusal.empty())
        restoredWhole(run);
    // At a stop the rows stay held, in their journal for the next start, and
    // the main connection away: the database may be one gbak left unfinished.
    if (shuttingDown_)
        return;
    releaseMain();
    releaseWindows();
    logOutcome(run, failed, refusal);
    if (!refusal.empty()) {
        show(run.texts, refusal, ui::MB_ICONWARNING);
    } else if (failed == 0) {
        show(run.texts, run.texts("IDS_964"), ui::MB_ICONINFORMATION);
    } else {
        std::string text = withCode(run.texts("IDS_965"), failed);
        if (!run.freshBackup.empty())
            text += "\n" + run.texts("IDS_966") + run.freshBackup;
        show(run.texts, text, ui::MB_ICONWARNING);
    }
    bool attachTried = false;
    const Reattach reattach = [&](ConsoleHost::StructureCheck& structure) {
        attachTried = true;
        // A database still taken for incomplete stays away.
        return shuttingDown_ || MainAttachHeld()
                   ? -1
                   : host_.ReattachMainDatabase(run.database, structure, BoxOwner);
    };
    if (RestoreEnded && !shuttingDown_)
        RestoreEnded(reattach);
    // The test stopped before its attach (no database file named).
    auto structure = ConsoleHost::StructureCheck::NothingCreated;
    if (!attachTried)
        reattach(structure);
    if (shuttingDown_)
        return;
    host_.ReloadFromDatabase();
    endRestore();
}

void DatabaseMaintenance::logOutcome(const Run& run, int failed, const std::string& refusal) {
    const std::string backup = run.freshBackup.empty()
                                   ? std::string(" (bez kopii sprzed odtwarzania)")
                                   : "; kopia sprzed odtwarzania: " + run.freshBackup + " (" +
                                         std::to_string(QFileInfo(q(run.freshBackup)).size()) + " B)";
    if (!refusal.empty())
        base::WriteLog(2, "Odtwarzanie bazy danych z %s nie zostało wykonane%s", run.restoreFile.c_str(),
                       backup.c_str());
    else if (failed == 0)
        base::WriteLog(1, "Baza danych %s odtworzona z backupu %s%s", DatabaseName(run.database).c_str(),
                       run.restoreFile.c_str(), backup.c_str());
    else
        base::WriteLog(2, "Odtwarzanie bazy danych z %s nie powiodło się (kod %d)%s", run.restoreFile.c_str(),
                       failed, backup.c_str());
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
