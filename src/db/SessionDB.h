// One short-lived working session over a Firebird connection handle: it
// attaches when the handle is not attached yet, runs each statement in a
// transaction of its own and never detaches. This class is the only caller of
// the Firebird client's C API; text crosses its boundary in UTF-8 and goes to
// the database in the wire code page.
#pragma once

#include "db/CallWatchdog.h"
#include "db/DatabaseHost.h"
#include "db/QueryRows.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace db {
class TransactionScope;
}

// A Firebird database handle (the client's isc_db_handle); 0 = not attached.
using DbHandle = unsigned int;
// The program's one main connection, shared by every session on it.
extern DbHandle MainDbHandle;
// True while the main database handle exists.
bool MainDbHandleExists();
// While held, nothing attaches the main connection: a restore is replacing
// the database file beneath it.
void HoldMainAttach(bool held);
bool MainAttachHeld();
// The file (as its server names it) a restore cut short may have left
// incomplete: a main attach that lands on it, however the settings spell
// the database, leaves it at once and holds the main attach. "" = none.
void HoldMainAttachOf(const std::string& serverFile);
std::string MainAttachHeldFile();
// A main attach through `databaseName` ("host:path", or the path) landed on
// that file since it was held.
bool MainAttachHeldFileAt(const std::string& databaseName);
// While one lives on this thread, a session on the main connection that finds
// it missing does not attach it on the spot (which would hold the caller for
// up to the call bound): its rows go to the writer or wait, and the
// reconnect brings the connection back.
class MainAttachLeftToReconnect {
  public:
    MainAttachLeftToReconnect();
    ~MainAttachLeftToReconnect();
    MainAttachLeftToReconnect(const MainAttachLeftToReconnect&) = delete;
    MainAttachLeftToReconnect& operator=(const MainAttachLeftToReconnect&) = delete;

  private:
    bool previous_;
};
// The connection the main handle was last attached (or created) with.
db::ConnectionSettings MainDbAttachedWith();

using TStringList = std::vector<std::string>;

// Status codes the session itself gives.
namespace dbcode {
constexpr int BadDbHandle = 335544324;  // isc_bad_db_handle
constexpr int IoError = 335544344;      // isc_io_error
constexpr int Unavailable = 335544375;  // isc_unavailable
constexpr int Login = 335544472;        // isc_login
constexpr int NetworkError = 335544721; // isc_network_error
constexpr int Cancelled = 335544794;    // isc_cancelled
constexpr int ShutFailed = 335544557;   // isc_shutfail
constexpr int GbakDbInUse = 336330985;  // isc_gbak_db_in_use
} // namespace dbcode

class SessionDB {
  public:
    SessionDB(const std::string& host, const std::string& path, const std::string& user,
              const std::string& password, DbHandle* handle, bool background);
    virtual ~SessionDB();
    SessionDB(const SessionDB&) = delete;
    SessionDB& operator=(const SessionDB&) = delete;

    int AttachDatabase(bool background);
    // The raw attach into the session's handle (0 = attached).
    int ConnectDatabase();
    int StartTransaction(bool withTpb);
    int CommitTransaction();
    void SetSqlText(const std::string& text);
    const std::string& SqlText() const { return sqlText_; }
    int ExecuteImmediate(const std::string& text);
    // Runs one statement, or a query when the text begins "SELE" in any case.
    int ExecuteSQL(const std::string& text);
    int ExecuteDDL(std::string text);
    // Several statements as one unit: after BeginWork, the statements and
    // queries of ExecuteSQL join one write transaction instead of each
    // committing alone; CommitWork commits only when every one of them
    // succeeded (else it rolls all back and gives the first failure);
    // RollbackWork undoes them.
    int BeginWork();
    int CommitWork();
    void RollbackWork();
    // A query of SqlText() in a read transaction whose rows `deliver` takes
    // (one of the RunQueryTo... operations), committed afterwards.
    int RunInReadTransaction(const std::function<int()>& deliver);
    int CreateDatabase();
    // Detaches a handle of the caller's own (or the main one) and clears it.
    static int DetachDatabase(DbHandle* handle);
    // Closes a connection at once, without asking its server, and clears
    // the handle.
    static void AbandonConnection(DbHandle* handle);
    // Detaches a handle of the caller's own within the call bound; a server
    // that does not answer in time gets its connection abandoned.
    static void DetachOrAbandon(DbHandle* handle);
    // Through the server's service manager: closes the database to every new
    // attachment, in one step of the server with the check that nobody is
    // attached (else dbcode::ShutFailed, and it stays open); 0 on success,
    // else the status code, logged.
    static int CloseToAttachments(const db::ConnectionSettings& database);
    // Opens it to attachments again; 0, or the status code (also when it
    // was open).
    static int OpenToAttachments(const db::ConnectionSettings& database);

    // Result targets (none owned). The list view target is the sink that the
    // widget layer puts in front of its list view.
    void SetResultListView(db::RowSink* view) { ResultListView = view; }
    void SetResultStrings(TStringList* strings) { ResultStrings = strings; }
    void SetResultOption(int) {}
    // Receives the result's column names (as the server describes them) of
    // every query run, even when it has no rows.
    void SetResultColumnNames(TStringList* names) { ResultColumnNames = names; }

    int RunQuery();
    int RunQueryToContactRows();
    int RunQueryToRoutingRules(std::vector<ROUTING_RULE>* rules);
    int RunQueryToIdTextMap();
    int RunQueryToList(std::vector<QueryRow>* rows);

    static std::string ColumnToText(const ColumnData& column);
    static void SplitIscTime(uint32_t t, int* hours, int* minutes, int* seconds, int* fraction);

    int GetTableNames(TStringList* names);
    int GetViewNames(TStringList* names);

    // Logs a failed call's status vector; stores its SQL code in LastCode,
    // its messages in LastMessage, and returns its status code. An
    // `expected` failure (a missing file on attach, which the caller offers
    // to create) is not logged as an error.
    int ReportError(const intptr_t* status, bool expected = false);
    // True when the server says the database file is not there (the I/O
    // error with the operating system's "no such file" beneath it).
    bool AttachFoundNoFile() const;

    // The caller names the rows this session fails to write.
    void KeepNoRows() { callerKeepsRows_ = true; }
    // A lost connection is not attached again within the statement: the
    // caller does it, within a bound of its own (off the GUI thread an
    // attach here would wait for the server without one).
    void LeaveReattachToCaller() { reattaches_ = false; }
    // Write transactions wait for a row another client holds only briefly,
    // well within the call bound, and fail on the lock then: a lock is no
    // silent server, and the caller waits for it as it sees fit.
    void WaitForLocksBriefly() { waitsForLocksBriefly_ = true; }
    // Write transactions do not wait for a lock at all (`on`).
    void WaitForNoLock(bool on) { noLockWait_ = on; }
    // A failure on a lock is not logged: the caller says it once.
    void QuietLocks() { quietLocks_ = true; }
    // ExecuteSQL's statements tell how many rows they changed.
    void CountChangedRows(bool counting = true) { countsRows_ = counting; }
    // The rows the last statement changed; -1 when not counted.
    long ChangedRows() const { return changedRows_; }
    // The last statement failed on a lock another transaction holds.
    bool FailedOnLock() const { return failedOnLock_; }
    // The last call got no answer within its bound.
    bool Unanswered() const { return abandoned_; }
    // The last statement failed for a reason that passes: a lost
    // connection, a full disk or an I/O error, a lock.
    bool FailureCanPass() const { return failureCanPass_; }
    // The connection went during the last commit: whether it was made is
    // not known.
    bool OutcomeUnknown() const { return lossFound_ == LossFound::AtCommit; }

    const std::string& DatabaseName() const { return databaseName_; }
    DbHandle* Handle() const { return DbHandle_; }

    int AttachStatus = 0;
    int LastCode = 0;
    // The server's own words for the last failure, every message of it.
    std::string LastMessage;
    std::vector<ContactRow>* ContactRowsTarget = nullptr;
    std::map<int, std::string>* IdTextMapTarget = nullptr;

  protected:
    db::RowSink* ResultListView = nullptr;
    TStringList* ResultStrings = nullptr;
    TStringList* ResultColumnNames = nullptr;

  private:
    struct Query;
    // What a failed query run writes: to the log and the debug output, to
    // the debug output only, or nothing.
    enum class Trace { LogAndDebug, Debug, Quiet };
    // Every query run reads its result through this one path: the columns
    // and then every row go to `sink`; without a sink no row is fetched.
    int runQuery(db::RowSink* sink, Trace trace);
    int attachInBackground(bool showProgress);
    // Runs one Firebird call on the session's handle within the call bound;
    // a call the watchdog abandoned leaves the connection lost.
    template <class Call> auto bounded(Call call) {
        db::BoundedCall bound(DbHandle_);
        const auto result = call();
        if (bound.end())
            abandoned_ = true;
        return result;
    }
    void buildDpb();
    // Where the statement running now found its connection lost.
    enum class LossFound { None, BeforeCommit, AtCommit };
    // Reports a failed call; a lost connection is then handled at once.
    int reportFailedCall(bool atCommit);
    void connectionLost(bool atCommit);
    // Runs a statement (or query) once more when its connection was lost
    // before its commit and could be attached again; a row that still could
    // not be written waits for the connection's return, or is logged with
    // its values.
    int runStatement(const std::string& text, bool query, const std::function<int()>& run);
    // False when the attach was left again (see HoldMainAttachOf).
    bool afterMainAttach();
    bool leftHeldFile();
    void rememberMainAttach() const;
    void rollback();
    int executeInOwnTransaction(const std::string& text);
    // Runs a statement prepared, to read the rows it changed.
    int executeCounting(const std::string& wire);
    // Runs one step of the open unit of work; after a failed step the rest
    // are not run.
    int joinWork(const std::function<int()>& step);
    // The statement in the wire code page, or the refusal's status when it
    // cannot travel as written (0 = `wire` holds it).
    int statementToWire(const std::string& text, std::string* wire);
    // The attach call itself, for this session and for the attach thread.
    static int attachRaw(const std::string& name, const std::string& dpb, DbHandle* handle, intptr_t* status);
    // Asks the server of a connection just attached for the database's
    // identity: an attach it cannot answer for is no attach.
    static int checkAttached(DbHandle* handle, intptr_t* status);

    DbHandle* DbHandle_;
    std::array<intptr_t, 20> Status{};
    unsigned Transaction = 0;
    unsigned Statement = 0;
    std::string sqlText_;
    std::string host_;
    std::string path_;
    std::string userName_;
    std::string password_;
    std::string databaseName_;
    std::string dpb_;
    bool background_ = true;
    LossFound lossFound_ = LossFound::None;
    bool reattachTried_ = false;
    bool reattached_ = false;
    bool abandoned_ = false; // a call got no answer within its bound
    bool failureCanPass_ = false;
    bool failedOnLock_ = false;
    bool waitsForLocksBriefly_ = false;
    bool noLockWait_ = false;
    bool quietLocks_ = false;
    bool reattaches_ = true;
    bool callerKeepsRows_ = false;
    bool countsRows_ = false;
    long changedRows_ = -1;
    bool rowsShown_ = false; // rows reached a list view in this statement
    bool workOpen_ = false;
    int workError_ = 0; // the first failure in the open unit of work

    friend class connectDB;
    friend class db::TransactionScope;
};

namespace db {

// Starts a transaction on a session and ends it however the work in it went:
// committed after success (a failed commit becomes the result), rolled back
// after a failure or when left early, so that no transaction outlives its
// statement and the handle can always be detached.
class TransactionScope {
  public:
    TransactionScope(SessionDB& session, bool withTpb);
    ~TransactionScope();
    TransactionScope(const TransactionScope&) = delete;
    TransactionScope& operator=(const TransactionScope&) = delete;

    // The status of the transaction start.
    int started() const { return started_; }
    // Commits when `result` is 0, else rolls back; returns the outcome.
    int end(int result);

  private:
    SessionDB& session_;
    int started_;
};

} // namespace db
