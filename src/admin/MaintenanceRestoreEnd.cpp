// The restore's end: a restored file of its own put in the database's
// place while nobody is attached, a failed restore into the database itself
// put back from the backup made first, the outcome said, and the connection
// test that attaches the restored database again.
#include "admin/DatabaseMaintenance.h"

#include "admin/MaintenanceInternal.h"
#include "base/DiagnosticLog.h"
#include "db/DbErrorText.h"
#include "db/DrawnKeys.h"
#include "db/SessionDB.h"
#include "ui/Dialogs.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace admin {

using namespace maintenance;

namespace {

// gbak's own replace refuses a database someone is attached to.
bool saidInUse(const std::string& gbakOutput) {
    return gbakOutput.find("might be in use") != std::string::npos;
}

} // namespace

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

} // namespace admin
