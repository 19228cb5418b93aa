// Holds: AttachMainDatabase, CheckAndCreateTables (run through InterfaceDB by
// EnsureDatabaseStructure), ServiceSmsDB::CheckBadStatus (run by
// FailSmsLeftInProgress), the main database state of the start-up and
// reconnect timers (tmrStartupTimer, trmReconnectTimer).
//
// The process's one main database as the program sees it: its state, the
// attach of the start-up and reconnect timers, the structure check of each
// newly attached database and the once-per-process SMS clean-up.
#pragma once

#include "db/DatabaseHost.h"
#include "db/RowLookup.h"
#include "db/RowRoad.h"
#include "db/SessionDB.h"

#include <QTimer>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace db {

class MainDatabase {
  public:
    // Becomes the main database of the process, reached by the sessions
    // through db::host() and Current(), until destroyed.
    explicit MainDatabase(DatabaseHost& host);
    ~MainDatabase();
    MainDatabase(const MainDatabase&) = delete;
    MainDatabase& operator=(const MainDatabase&) = delete;

    // The main database of the process, if one exists.
    static MainDatabase* Current();
    DatabaseHost& Host() const { return host_; }

    // 0 attached, -1 after a failed, cancelled or lost attach.
    int MainDbState = 0;
    // Attaches the main database the way the start-up and reconnect timers do
    // (re-arming the reconnect timer on failure): 0 on success, non-zero on
    // failure. `showErrors` shows every failure, not only from the fourth on.
    int AttachMainDatabase(bool showErrors = false);
    // The same with the connection given, not the one of the settings.
    int AttachMainDatabase(const ConnectionSettings& settings, bool showErrors = false);
    // The start-up timer's first tick: attach (a cancelled attach counts as
    // failed), then fail the SMS left in progress.
    void AttachAtStartup();
    // The reconnect timer's tick: attach when the handle is gone (and no
    // restore holds it), then fail the SMS left in progress.
    void Reconnect();
    // Creates what is missing of the structure of the attached main database
    // and says so, unless that database went through it in this process.
    void EnsureDatabaseStructure(const std::string& host, const std::string& path, const std::string& user,
                                 const std::string& password);
    // Set on the GUI thread once the attached database went through the
    // structure check: from then on the lists load and the client service
    // may open.
    bool MainDbReady = false;
    // The database (host:path) that last went through the structure check.
    std::string StructureCheckedDatabase;
    bool StructureCheckRunning = false;
    // When set, a check that created something tells it here (the code of
    // its failure, 0 when all went well) instead of showing its message.
    std::function<void(int error)> StructureReport;
    int StructureChecksRun = 0;
    // Sets the SMS rows left in progress to failed.
    void FailSmsLeftInProgress();
    // Set once the SMS left in progress by an earlier run were failed.
    bool SmsLeftInProgressFailed = false;

    // A session attached the main connection; called on the GUI thread
    // before the session does anything else.
    void MainAttached(const std::string& host, const std::string& path, const std::string& user,
                      const std::string& password);
    // A session found the main connection lost; `reason` gives the server's
    // words, or what else ended it. Said on stderr at once, not only when
    // the reconnect timer fails to attach it again.
    void MainConnectionLost(const std::string& reason = {});

    // The road of the rows the server writes by itself.
    RowRoad& Road() { return *road_; }
    // Opens the road's journal (before any row is handed on): the rows an
    // earlier run left in it go first. False when it could not be opened.
    bool OpenRowJournal(const std::string& path);
    // Hands rows to the road, in order.
    void HandRows(std::vector<RoadRow> rows);
    // True when a row handed on now would be written at once (the road
    // takes an attached connection first).
    bool RowsWrittenAtOnce();
    // While held (a restore is about to replace the database) the road is
    // paused: rows wait, though the connection stays for reads. `settled`
    // is told, on the GUI thread, once no row is on its way into the
    // database any more. Let go, the rows go to whatever database is
    // attached.
    void HoldRows(bool held, std::function<void()> settled = {});
    bool RowsHeld() const { return rowsHeld_; }
    // At shutdown: the road ends by the stop's bound, its rows left in the
    // journal for the next start; false when its writer did not end.
    bool StopRowRoad(StopClock::time_point deadline = CallDeadline());

  private:
    void roadLost(const std::string& reason);
    void connectRoadToAttached();
    // The road writes into `database`, attached and checked.
    void connectRoad(const ConnectionSettings& database);
    void moveGeneratorsPastKeysDrawn(const ConnectionSettings& database);

    DatabaseHost& host_;
    std::unique_ptr<RowRoad> road_;
    bool rowsHeld_ = false;
};

// The connection settings of the main database (empty while there is none).
ConnectionSettings MainConnection();

// Hands one row statement to the road of the main database.
void WriteMainRow(const std::string& statement);

// Hands the row statements to the road; `then` runs on the GUI thread once
// the last of them is written (or refused for good).
void WriteMainRowsThen(std::vector<RoadRow> rows, std::function<void()> then);
void WriteMainRowsThen(const std::vector<std::string>& statements, std::function<void()> then);

// The rows written while a batch is open (a slice of exchange records) are
// handed to the road together when the outermost batch ends.
class MainRowBatch {
  public:
    MainRowBatch();
    ~MainRowBatch();
    MainRowBatch(const MainRowBatch&) = delete;
    MainRowBatch& operator=(const MainRowBatch&) = delete;
};

// A table class for one operation on the main database.
template <class Table> Table MainTable() {
    const ConnectionSettings c = MainConnection();
    return Table(c.host, c.path, c.user, c.password);
}

} // namespace db
