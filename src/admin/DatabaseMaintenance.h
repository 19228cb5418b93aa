// The upkeep of the main database: backup and restore with gbak, the
// deletion of old history, and the schedule of the main window's 15 s
// maintenance timer.
// Holds: the work of btnBackupClick, btnRestoreClick, CzyscBaze,
// btnTestDbPerformanceClick; MaintenanceTimerTick.
#pragma once

#include "admin/ConsoleHost.h"
#include "db/DatabaseHost.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class QProcess;

namespace admin {

class DatabaseMaintenance {
  public:
    // A text of the settings dialog in the active language. A run given
    // texts was asked for by a user, who is shown its failures; a run
    // without them only logs.
    using Texts = std::function<std::string(const char* key)>;
    // History older than this many days is deleted by the cleaning.
    static constexpr int KeptDays = 90;
    // A restore waits this long for the rows on their way into the database
    // it replaces, then gives up.
    static constexpr std::chrono::seconds RowsWaitLimit{30};

    explicit DatabaseMaintenance(ConsoleHost& host);
    // Ends a gbak still running.
    ~DatabaseMaintenance();
    DatabaseMaintenance(const DatabaseMaintenance&) = delete;
    DatabaseMaintenance& operator=(const DatabaseMaintenance&) = delete;

    // Starts one backup of the main database into a new file of BackupPath;
    // false when gbak could not be started.
    bool Backup(const Texts& texts);
    // Replaces the main database with the backup `file`: a backup of the
    // live database first (when that fails the user may go on; none of a
    // database a cut restore left, whose mark keeps naming the backup made
    // before that restore), then the main connection is detached and kept
    // so while gbak restores, then attached and checked again. Refused, the database left as it was,
    // while anyone else is attached to it. gbak restores into a file of its own,
    // which takes the database's place only when gbak succeeded, wherever
    // the program can rename the database's file (an embedded database, or
    // a server's on this machine in a folder it may write); elsewhere it
    // restores into the database itself. False when nothing was started.
    bool Restore(const std::string& file, const Texts& texts);
    // Deletes the history older than KeptDays through the main connection,
    // attached with `whenDetached` when it is not: 0, or the code of the
    // first statement that failed (no later one runs).
    int CzyscBaze(const db::ConnectionSettings& whenDetached);
    // The scheduled backup, due once per period at its hour (or two days
    // later at any hour when the hour was missed).
    void MaintenanceTimerTick();
    // The main database was attached: a scheduled backup that waited for a
    // restore's end is made now.
    void DatabaseAttached();
    // The gbak program and the backup folder, stored at once; false (logged)
    // when the store failed.
    bool SetGbakPath(const std::string& path);
    bool SetBackupPath(const std::string& folder);
    // Hands 100 rows of incoming-call history to the rows' road; `measured`
    // is told, on the GUI thread, the seconds until they were written. A
    // measure asked for while one runs is refused: false.
    bool MeasureHistoryInserts(std::function<void(double seconds)> measured);

    // The wait for the rows a restore begins with (RowsWaitLimit unless set).
    void SetRowsWait(std::chrono::milliseconds limit) { rowsWait_ = limit; }

    // True while gbak runs (one at a time).
    bool Busy() const;
    // True from a restore's click to its end (its own backup, its questions
    // and the connection test at its end included).
    bool Restoring() const { return restoring_; }
    // The exit asked for while a restore runs is refused, and the user told
    // so: true then.
    bool RefuseExitDuringRestore();
    // A stop was asked for: what a restore runs next is left undone, and the
    // backup it made first is named.
    void StopRequested();
    // At shutdown, within `bound`: a backup, and a restore into a file of
    // its own, are ended at once and their unfinished file removed (the
    // database stays as it was); a restore into the database itself is
    // given the bound to finish before gbak is ended.
    void StopGbak(std::chrono::milliseconds bound);
    // Removes the unfinished backup files that a program ended in the middle
    // of a backup left in BackupPath; at start.
    void RemoveUnfinishedBackups();
    // Removes (or names, in the log and on stderr) the file a restore cut
    // short left beside the database, and opens the database to attachments
    // again in case it was cut short while closed; at start.
    void RemoveUnfinishedRestore();
    // Where a restore into the database itself keeps its mark while gbak
    // runs, beside the program's own state; at start. A mark found there was
    // left by a restore cut short: the database it names may be incomplete.
    // That is said (in the log, on stderr, and in a box on a display), and
    // nothing is written into that database until a restore of it succeeds
    // or the administrator, asked in the box, takes it as it is. A mark that
    // cannot be read, or is not whole, holds the database the settings name.
    void KeepRestoreMark(const std::string& path);
    // True while a database a cut restore left may be incomplete.
    bool DatabaseSuspect() const { return !suspect_.database.empty(); }
    // When `database` is the one a cut restore may have left incomplete:
    // that said, with the backup that holds it as it was; else "".
    std::string RestoreCutShort(const db::ConnectionSettings& database) const;
    // The same for the database whose file its server names `serverFile`,
    // however the settings spell it.
    std::string RestoreCutShortOfFile(const std::string& serverFile) const;
    // A database as gbak and the mark name it: "host:path", or the path.
    static std::string DatabaseName(const db::ConnectionSettings& c);
    // The settings name another database (OK of the settings dialog, before
    // its attach): only the suspect one is kept away.
    void DatabaseSettingsChanged();
    // The file of the last backup started (the restore's own backup too).
    const std::string& LastBackupFile() const { return lastBackupFile_; }
    // Attaches the main connection again and checks its structure: 0, else
    // the attach's failure.
    using Reattach = std::function<int(ConsoleHost::StructureCheck& structure)>;
    // Told at the end of a restore, after its outcome was said: the
    // connection test, which attaches the main connection through `reattach`
    // (when it does not, the restore attaches it itself).
    std::function<void(const Reattach& reattach)> RestoreEnded;
    // The window the user asks from: the boxes of the runs he asked for
    // belong to it, so that they stand above it when it is kept on top.
    QPointer<QWidget> BoxOwner;
    // Told true when a restore begins, with its backup of the live database,
    // and false at its end, however it ends: meanwhile nothing the user does
    // may reach the database, while the event loop goes on serving.
    std::function<void(bool running)> RestoreRunning;

  private:
    enum class Step { Backup, FreshBackup, Restore };
    // The database a restore cut short may have left incomplete, the
    // backup that holds it as it was before, and its file as its server
    // names it ("" when not known).
    struct Suspect {
        std::string database;
        std::string backup;
        std::string file;
    };
    struct Run {
        Step step = Step::Backup;
        Texts texts;
        // The main database as attached when the run began.
        db::ConnectionSettings database;
        std::string backupFile;
        std::string restoreFile;
        std::string freshBackup;
        // gbak's code when the restore failed and the database is being put
        // back from freshBackup.
        int failedCode = 0;
        // The local file gbak restores into, to be renamed onto the
        // database's file; "" when it restores into the database itself.
        std::string ownFile;
        // The restore goes into the database itself, wherever it lies.
        bool inPlace = false;
        // The database's file as its server names it, for the restore's
        // mark ("" when it could not be read).
        std::string serverFile;
        // The file gbak leaves unfinished when it is cut short ("" when that
        // is the database itself).
        std::string unfinishedFile() const;
    };

    // The database gbak works on: the one attached, else the one of the settings.
    static db::ConnectionSettings mainDatabase();
    std::string setting(const char* name) const;
    bool gbakFound(const Texts& texts);
    // Logs and, for a user, shows one of the two failures of the start.
    void reportStartFailure(const Texts& texts, bool gbakMissing);
    static void logStartFailure(bool gbakMissing);
    // `run` could not start: its failure is logged, and shown for a backup
    // a user asked for.
    void startFailure(const Run& run, bool gbakMissing);
    void showStartFailure(const Texts& texts, bool gbakMissing);
    void show(const Texts& texts, const std::string& text, unsigned icon);
    // The progress window modal over the program's windows, and the window
    // that asked told, from a restore's start to its end.
    void holdWindows(const std::string& text);
    void releaseWindows();
    // Asked when no backup of the live database could be made first.
    bool goOnWithoutFreshBackup(const Texts& texts);
    bool startBackup(Step step, Run run);
    // The backup of the live database, then the restore; false when neither
    // was started.
    bool backUpThenRestore(Run run);
    bool startGbak(Run run, const QStringList& arguments, bool ownerOnly);
    void restoreAfterFreshBackup(Run run);
    void gbakOutput();
    void gbakEnded(int exitCode, bool crashed);
    void backupEnded(const Run& run, int exitCode);
    void restoreEnded(const Run& run, int exitCode);
    // The database closed to new attachments, nobody else attached; false
    // when refused, and the restore ended.
    bool closeDatabaseForRename(const Run& run);
    // Ends a restore not made, the database as it was, while others are
    // attached: said in the log and shown.
    void refuseInUse(const Run& run, const std::string& others);
    // The restored file takes the database's name; false (logged) when the
    // rename was refused.
    bool putRestoredInPlace(const Run& run);
    // `refusal`, when given, is shown in place of the outcome: the restore
    // was not made.
    void restoreFinished(const Run& run, int failed, const std::string& refusal = {});
    void logOutcome(const Run& run, int failed, const std::string& refusal);
    // The rows on their way did not settle in time: the restore is not made.
    void giveUpWaitingForRows();
    // The user gave the restore up for want of a backup of the live database.
    void giveUpWithoutFreshBackup();
    // The restore is over, however it ended: the log-ins held meanwhile are
    // answered, and a scheduled backup that waited is made once the
    // database is attached.
    void endRestore();
    // The main connection may attach again, unless the database is suspect,
    // and the rows kept since the restore began go to whichever database it
    // attaches.
    void releaseMain();
    // The mark of a restore into `run`'s database itself, written before its
    // gbak starts: "", else why it could not be written (logged).
    std::string writeRestoreMark(const Run& run);
    // The mark could not be written: the restore is not made, and the user
    // told why.
    void refuseWithoutMark(const Run& run, const std::string& why);
    // A restore whose gbak did not start: the user is told why by `sayWhy`
    // once the windows are free, and the database, as it was, attached again.
    void restoreNotStarted(const db::ConnectionSettings& database, const std::function<void()>& sayWhy);
    // The restore into the database itself is over: its mark goes, or, while
    // the database is still suspect, says that again.
    void restoreMarkEnded();
    // The administrator was told of a database a cut restore left, on a
    // display: he may take it as it is.
    void askAboutSuspectDatabase();
    // The administrator takes the suspect database as it is.
    void trustDatabase();
    // `suspect_` holds the main attach, by the settings' spelling and by
    // the file as the server names it; or nothing does.
    void holdSuspect(const Suspect& suspect);
    // The database the settings name is the suspect one.
    bool suspectHoldsMain() const;
    bool suspectIs(const db::ConnectionSettings& database) const;
    // The database a cut restore left and the backup that holds it as it was.
    std::string cutShortText() const;
    // `run`'s database was restored whole: no longer suspect.
    void restoredWhole(const Run& run);
    // Names the backup made before the restore, in the log and on stderr,
    // once per stop.
    void nameBackupAtStop();
    // The scheduled backup's cleaning, backup and new time of the last run.
    void runScheduledBackup(const QDateTime& now);

    ConsoleHost& host_;
    std::unique_ptr<QProcess> gbak_;
    Run run_;
    // The end of gbak's output, for the log and the progress window.
    std::string outputTail_;
    std::string lastOutputLine_;
    std::string lastBackupFile_;
    bool shuttingDown_ = false;
    // From the start of a backup or restore to its end, questions included.
    bool busy_ = false;
    bool restoring_ = false;
    // The texts of the running restore's user, for what he is told of it.
    Texts restoreTexts_;
    // The backup the running restore made of the live database first.
    std::string restoreBackup_;
    bool backupNamedAtStop_ = false;
    // A scheduled backup fell due while a restore ran: made at the first
    // attach after its end.
    bool scheduledWaits_ = false;
    // Why the last run could not start: gbak itself, or the backup folder.
    bool gbakMissing_ = false;
    // The file of the mark of a restore into the database itself ("": none).
    std::string markPath_;
    Suspect suspect_;
    // The mark names the running restore's database.
    bool markOfRestore_ = false;
    std::chrono::milliseconds rowsWait_ = RowsWaitLimit;
    // Counts the restores' waits for their rows: a wait given up ignores
    // its late end.
    int rowsWaitCount_ = 0;
    bool waitingForRows_ = false;
    bool measuring_ = false;
    // Ends the process's signals to this object when it goes.
    QObject context_;
};

} // namespace admin
