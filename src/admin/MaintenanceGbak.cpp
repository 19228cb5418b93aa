// The gbak process: its start with the password in its environment, its
// output, its end, its stop at shutdown, and the unfinished files a program
// ended in the middle of a run left behind.
#include "admin/DatabaseMaintenance.h"

#include "admin/MaintenanceInternal.h"
#include "base/DiagnosticLog.h"
#include "db/SessionDB.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <utility>

namespace admin {

using namespace maintenance;

namespace {

// Enough of gbak's output to tell why it failed.
constexpr std::size_t OutputTailLimit = 4096;
constexpr std::size_t ShownLineLimit = 200;
// How long gbak is given after SIGTERM, and again after SIGKILL.
constexpr std::chrono::milliseconds StopWait{500};
// What a stop keeps of its bound for its own steps after gbak (the rows, the
// log): a restore into the database itself is not given that time.
constexpr std::chrono::milliseconds StopReserve{2000};

} // namespace

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

} // namespace admin
