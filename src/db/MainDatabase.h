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
#include "db/RowWriter.h"
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

    // Rows that met a lost (or no) main connection wait, in order, for its
    // return; past this many the oldest goes.
    static constexpr std::size_t KeptRowLimit = 10000;
    // Kept rows are written back this many at a time (a row takes some
    // milliseconds); the event loop runs between two slices, so that nobody
    // waits for the whole replay.
    static constexpr std::size_t KeptRowsPerSlice = 25;
    // The replay says how far it got after this many rows.
    static constexpr std::size_t KeptRowsPerProgressLine = 1000;
    // Keeps a row statement that could not be written for want of the
    // connection; false for a statement that writes no row (the structure
    // check makes its own statements again at the next attach).
    bool KeepRow(const std::string& statement);
    // Keeps an insert whose key could not be drawn for want of the
    // connection: the key is drawn with `generatorQuery` when the row is
    // written back, and `written` is told the outcome.
    bool KeepRowWithNewKey(const std::string& generatorQuery, InsertForKey insert, KeptRowWritten written,
                           bool waitsForConnection = true);
    // Rows whose commit got no answer (the connection went in it): they may
    // be in the database or not. They wait like kept rows; when their turn
    // comes on a connection, they are looked up, as one commit (a slice's
    // batch is one), and written only when absent. True when kept.
    bool KeepUncertainRows(const std::vector<std::string>& statements);
    bool KeepUncertainRows(std::vector<PendingRow> rows);
    // The row last kept is `statement` (under `key`): `written` follows it.
    bool FollowLastKeptRow(const std::string& statement, const std::string& key, KeptRowWritten written);
    // Starts writing the kept rows back, in order, while the connection
    // holds: slice by slice, each one commit of the row writer (without
    // one, on the main connection, the event loop running between two
    // slices). A row stays kept until its slice is written. Rows kept
    // meanwhile join the end of the queue.
    void WriteKeptRows();
    bool KeptRowReplayRunning() const { return replayRunning_; }
    // True while a kept row is being written back.
    bool WritingKeptRows() const { return writingKeptRows_; }
    // A write-back stopped by a failure that passes (a full disk) with the
    // connection still there is tried again after this long, unless a new
    // row comes first.
    static constexpr int KeptRowRetryMs = 5000;
    std::size_t KeptRowCount() const { return keptRows_.size(); }
    // Rows go to a writer of their own (a connection and a thread), so that
    // a slow database does not hold the event loop; off, they are written
    // on the main connection.
    void UseRowWriter(bool used);
    // While held (a restore replaces the file), the writer and its
    // connection are gone; it comes back when the hold ends.
    void HoldRowWriter(bool held);
    // While rows are held (a restore is about to replace the database),
    // rows wait as they do for a lost connection, though the connection
    // stays for reads. `settled` is told, on the GUI thread, once no row is
    // on its way into the database any more: at once when none is. Let go,
    // the kept rows go to whatever database is attached.
    void HoldRows(bool held, std::function<void()> settled = {});
    bool RowsHeld() const { return rowsHeld_; }
    // Hands the rows of one commit to the writer: behind the rows it still
    // holds, else when nothing must be written before them; false when the
    // caller is to write or keep them itself.
    bool OfferToRowWriter(const std::vector<std::string>& rows);
    bool OfferToRowWriter(std::vector<PendingRow> rows);
    // Rows offered now must wait behind others: the connection is away, or
    // rows are kept or still in the writer.
    bool RowsMustWait();
    // True while the writer takes no rows of its own (it gave rows back).
    bool RowWriterPaused() const { return writer_ && writer_->Paused(); }
    // At shutdown: the writer ends by the stop's bound and every row it
    // holds (given back, or not written) joins the kept rows, in order;
    // false when its thread did not end.
    bool StopRowWriter(StopClock::time_point deadline = CallDeadline());
    // At shutdown, before the rows still kept are given up: one attempt,
    // bounded by a few seconds (and by the stop's own bound), to attach
    // when the connection is away and to write them.
    void WriteKeptRowsBeforeStop();
    static constexpr std::chrono::milliseconds KeptRowsAtStopBound{3000};
    // At shutdown: each row still kept is given up, said in the log and
    // counted on stderr.
    void GiveUpKeptRows();

  private:
    struct KeptRow : PendingRow {
        KeptRow(PendingRow row, int commit = 0) : PendingRow(std::move(row)), uncertainCommit(commit) {}
        // Not 0: the commit that may have written it; rows of one commit
        // share the number.
        int uncertainCommit = 0;
    };
    // Looks up the uncertain commit at the head: 1 when its rows are all
    // there (and gone from the queue), 0 when they are to be written, -1
    // when the connection went again.
    int lookUpHeadCommit(SessionDB& session);
    void keep(KeptRow row);
    void writeKeptRowSlice();
    // The rows the writer writes back now, and how each ended so far (set
    // on its thread).
    struct KeptSlice {
        std::mutex mutex;
        std::vector<std::pair<int, std::string>> ended;
        std::size_t taken = 0;
        std::size_t rows = 0;
    };
    std::shared_ptr<KeptSlice> slice_;
    void offerKeptSlice();
    void takeKeptSliceResults();
    // Rows of the slice came back unwritten: they keep their place.
    void keptSliceBack(const std::vector<PendingRow>& rows, RowWriter::Reason reason);
    void sayReplayProgress(std::size_t doneBefore);
    bool writeHeadRow();
    void finishHeadRow(int result, bool named = false);
    void endReplay();

    DatabaseHost& host_;
    std::deque<KeptRow> keptRows_;
    bool writingKeptRows_ = false;
    bool keptAgain_ = false; // the head row met a lost connection once more
    bool replayRunning_ = false;
    std::size_t replayWritten_ = 0;
    std::size_t replayFailed_ = 0;
    QTimer nextSlice_;
    QTimer retry_;
    std::unique_ptr<RowWriter> writer_;
    bool writerHeld_ = false;
    bool rowsHeld_ = false;
    std::function<void()> rowsSettled_;
    void tellRowsSettled();
    bool destroying_ = false;
    void rowWriterNews();
    void rowsHandedBack(const std::vector<PendingRow>& rows, RowWriter::Reason reason);
    void keepOrFail(PendingRow row);
    void resumeRowWriter();
    int lastUncertainCommit_ = 0;
};

// The connection settings of the main database (empty while there is none).
ConnectionSettings MainConnection();

// A statement that writes rows, by its first word.
bool IsRowStatement(const std::string& statement);

// The query that counts the rows equal in every value given to those the
// insert writes (a generated key is not compared), or "" when the statement
// is no insert of values. `columns` gives a table's columns in order.
std::string RowLookupQuery(const std::string& insert,
                           const std::function<std::vector<std::string>(const std::string& table)>& columns);

// Looks up, on `session`, whether every insert of a commit that went
// unanswered is there (as often as it was in the commit), and says so in the
// log: 1 when it is, 0 when the rows are to be written, -1 when `connected`
// says the connection went meanwhile.
int LookUpRows(SessionDB& session, const std::vector<std::string>& statements,
               const std::function<bool()>& connected);

// Says in the log that a row statement was not written, with its values.
void LogRowNotWritten(const std::string& statement);

// Writes one row statement on the main connection; while the connection is
// away the row waits for it.
void WriteMainRow(const std::string& statement);

// Writes the row statements of one commit, then calls `then` on the GUI
// thread: on the row writer's thread when it takes them (`then` once they
// are written or given up), else here and now as WriteMainRow does.
void WriteMainRowsThen(const std::vector<std::string>& statements, std::function<void()> then);

// The rows written while a batch is open (a slice of exchange records) go to
// the database together when the outermost batch ends, in one transaction:
// a storm of call ends costs one commit a slice, not one a row.
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
