// The mark of a restore into the database itself: written before its gbak
// starts, gone at its end, it outlives a program stopped or killed while
// gbak runs. The next start that finds it keeps that database away.
#include "admin/DatabaseMaintenance.h"

#include "base/DiagnosticLog.h"
#include "db/SessionDB.h"
#include "platform/WholeFile.h"
#include "ui/Dialogs.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <optional>
#include <utility>

namespace admin {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

struct MarkText {
    std::string database;
    std::string backup;
    // The database's file as its server names it; "" in a mark of an
    // earlier version, or when it could not be read.
    std::string file;
};

// The mark's lines: the database as the settings spell it, the backup made
// before the restore, and the file as the server names it.
// "" when written, else why not (logged).
std::string writeMark(const std::string& path, const MarkText& mark) {
    std::string text;
    for (const std::string* line : {&mark.database, &mark.backup, &mark.file})
        text += QFile::encodeName(q(*line)).toStdString() + '\n';
    std::string refused, why;
    if (platform::ReplaceFileWhole(q(path), text, refused, &why))
        return {};
    base::WriteLog(2, "Nie można zapisać znacznika odtwarzania bazy danych %s: %s", path.c_str(),
                   why.c_str());
    return why;
}

void removeMark(const std::string& path) {
    QFile mark(q(path));
    if (mark.exists() && !mark.remove())
        base::WriteLog(2, "Nie można usunąć znacznika odtwarzania bazy danych %s: %s", path.c_str(),
                       mark.errorString().toStdString().c_str());
}

std::string backupNamed(const std::string& backup) {
    return backup.empty() ? std::string("(brak)") : backup;
}

// The mark as it is written: its three lines (two in an earlier version),
// the first naming a database.
// Nothing, and `why`, when it cannot be read or is not whole. A FIFO or a
// device in its place is not opened: the open could wait for ever.
std::optional<MarkText> readMark(const std::string& path, std::string& why) {
    if (!QFileInfo(q(path)).isFile()) {
        why = "not a regular file";
        return std::nullopt;
    }
    QFile mark(q(path));
    QByteArray text;
    if (mark.open(QIODevice::ReadOnly))
        text = mark.readAll();
    if (!mark.isOpen() || mark.error() != QFileDevice::NoError) {
        why = mark.errorString().toStdString();
        return std::nullopt;
    }
    const QList<QByteArray> lines = text.split('\n');
    if ((lines.size() != 3 && lines.size() != 4) || lines[0].isEmpty() || !lines.back().isEmpty()) {
        why = "not the lines a mark is written with";
        return std::nullopt;
    }
    return MarkText{QFile::decodeName(lines[0]).toStdString(), QFile::decodeName(lines[1]).toStdString(),
                    lines.size() == 4 ? QFile::decodeName(lines[2]).toStdString() : std::string()};
}

} // namespace

// The mark stays while gbak runs: a program stopped or killed meanwhile
// leaves it for the next start, which takes the database for incomplete.
std::string DatabaseMaintenance::writeRestoreMark(const Run& run) {
    if (markPath_.empty())
        return {};
    // A database the mark already names may not open: its file is known.
    const std::string file =
        run.serverFile.empty() && suspectIs(run.database) ? suspect_.file : run.serverFile;
    std::string why = writeMark(markPath_, {DatabaseName(run.database), run.freshBackup, file});
    markOfRestore_ = why.empty();
    return why;
}

// Without its mark a restore cut short would leave a database the next
// start takes for whole: gbak is not started.
void DatabaseMaintenance::refuseWithoutMark(const Run& run, const std::string& why) {
    base::WriteLog(
        2,
        "Odtwarzanie bazy danych nie zostało wykonane, baza pozostała bez zmian: nie można zapisać "
        "znacznika odtwarzania %s (%s)",
        markPath_.c_str(), why.c_str());
    std::fprintf(stderr,
                 "Halvex: the restore of the database %s was not made, the database is as it was: cannot "
                 "write %s, the mark that keeps a restore cut short from passing for a whole one: %s\n",
                 DatabaseName(run.database).c_str(), markPath_.c_str(), why.c_str());
    std::fflush(stderr);
    restoreNotStarted(run.database, [&] {
        show(run.texts, run.texts("IDS_969") + "\n\n" + markPath_ + ": " + why, ui::MB_ICONWARNING);
    });
}

void DatabaseMaintenance::restoreMarkEnded() {
    const bool ofRestore = std::exchange(markOfRestore_, false);
    // The mark of a database a cut restore left stays as it was.
    if (markPath_.empty() || (!ofRestore && DatabaseSuspect()))
        return;
    if (DatabaseSuspect())
        writeMark(markPath_, {suspect_.database, suspect_.backup, suspect_.file});
    else
        removeMark(markPath_);
}

// Spelled as the mark spells it, or found to be its file by an attach.
bool DatabaseMaintenance::suspectIs(const db::ConnectionSettings& database) const {
    const std::string name = DatabaseName(database);
    return DatabaseSuspect() &&
           (suspect_.database == name || (!suspect_.file.empty() && MainAttachHeldFileAt(name)));
}

bool DatabaseMaintenance::suspectHoldsMain() const {
    return suspectIs(mainDatabase());
}

std::string DatabaseMaintenance::RestoreCutShortOfFile(const std::string& serverFile) const {
    return DatabaseSuspect() && !suspect_.file.empty() && suspect_.file == serverFile ? cutShortText()
                                                                                      : std::string();
}

void DatabaseMaintenance::holdSuspect(const Suspect& suspect) {
    suspect_ = suspect;
    HoldMainAttachOf(suspect.file);
    HoldMainAttach(suspectHoldsMain());
}

void DatabaseMaintenance::DatabaseSettingsChanged() {
    if (DatabaseSuspect() && !restoring_)
        HoldMainAttach(suspectHoldsMain());
}

// A restore into the database itself cut short (the program stopped or
// killed while gbak ran) leaves a database that opens as if it were whole.
// Until it is restored, or the administrator takes it as it is, the main
// connection stays away from it: the rows wait in their journal, as for a
// database that is away. A mark that cannot be read may be of the database
// set: that one is kept away.
void DatabaseMaintenance::KeepRestoreMark(const std::string& path) {
    markPath_ = path;
    if (!QFileInfo::exists(q(path)))
        return;
    std::string why;
    const std::optional<MarkText> mark = readMark(path, why);
    holdSuspect(mark ? Suspect{mark->database, mark->backup, mark->file}
                     : Suspect{DatabaseName(mainDatabase()), {}, {}});
    const bool held = suspectHoldsMain();
    if (!mark) {
        base::WriteLog(
            2,
            "Nie można odczytać znacznika odtwarzania bazy danych %s: %s. Baza danych %s traktowana "
            "jak po przerwanym odtwarzaniu: nic nie zostanie w niej zapisane do czasu odtworzenia "
            "jej z backupu.",
            path.c_str(), why.c_str(), suspect_.database.c_str());
        std::fprintf(
            stderr,
            "Halvex: cannot read %s, the mark of a database restore: %s. The database %s is taken for "
            "one a restore cut short may have left incomplete: nothing is written into it until it is "
            "restored from a backup. (Remove %s to use it as it is.)\n",
            path.c_str(), why.c_str(), suspect_.database.c_str(), path.c_str());
    } else {
        base::WriteLog(
            2,
            "Odtwarzanie bazy danych %s zostało przerwane, baza może być niekompletna; kopia sprzed "
            "odtwarzania: %s.%s",
            suspect_.database.c_str(), backupNamed(suspect_.backup).c_str(),
            held ? " Nic nie zostanie w niej zapisane do czasu odtworzenia jej z backupu." : "");
        std::fprintf(stderr,
                     "Halvex: a restore into the database %s was cut short; it may be incomplete. The backup "
                     "made before it: %s.%s (Remove %s to use it as it is.)\n",
                     suspect_.database.c_str(), suspect_.backup.empty() ? "none" : suspect_.backup.c_str(),
                     held ? " Nothing is written into it until it is restored from a backup." : "",
                     path.c_str());
    }
    std::fflush(stderr);
    if (ui::dialogs().HasDisplay())
        QTimer::singleShot(0, &context_, [this] { askAboutSuspectDatabase(); });
}

std::string DatabaseMaintenance::RestoreCutShort(const db::ConnectionSettings& database) const {
    return suspectIs(database) ? cutShortText() : std::string();
}

std::string DatabaseMaintenance::cutShortText() const {
    return host_.Text("IDS_RESTORE_CUT") + "\n\n" + suspect_.database + "\n" +
           host_.Text("IDS_RESTORE_CUT_BACKUP") + backupNamed(suspect_.backup);
}

void DatabaseMaintenance::askAboutSuspectDatabase() {
    if (!DatabaseSuspect() || shuttingDown_)
        return;
    const std::string text = cutShortText() + "\n\n" + host_.Text("IDS_RESTORE_CUT_ASK");
    if (ui::dialogs().MessageBox(text, host_.Text("IDS_21"), ui::MB_YESNO | ui::MB_ICONWARNING, ui::IDNO,
                                 BoxOwner) == ui::IDYES &&
        !shuttingDown_ && !restoring_)
        trustDatabase();
}

void DatabaseMaintenance::trustDatabase() {
    base::WriteLog(1, "Baza danych %s używana w obecnym stanie na polecenie administratora",
                   suspect_.database.c_str());
    // Held by its spelling, or by its file under another one.
    const bool held = MainAttachHeld();
    holdSuspect({});
    removeMark(markPath_);
    if (held)
        host_.StartReconnectTimer();
}

void DatabaseMaintenance::restoredWhole(const Run& run) {
    if (suspectIs(run.database)) {
        base::WriteLog(1, "Baza danych %s odtworzona, zapisy do niej wznowione", suspect_.database.c_str());
        suspect_ = {};
        HoldMainAttachOf({});
    }
}

} // namespace admin
