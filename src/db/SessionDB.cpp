#include "db/SessionDB.h"

#include "base/DiagnosticLog.h"
#include "base/TraceLabel.h"
#include "db/ConnectThread.h"
#include "db/DrawnKeys.h"
#include "db/MainDatabase.h"
#include "db/ParameterBlocks.h"
#include "db/SqlText.h"
#include "platform/WireCodePage.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ibase.h>
#include <mutex>
#include <set>
#include <utility>

static_assert(sizeof(DbHandle) == sizeof(isc_db_handle), "handle size");
static_assert(sizeof(intptr_t) == sizeof(ISC_STATUS), "status word size");

DbHandle MainDbHandle = 0;

bool MainDbHandleExists() {
    return MainDbHandle != 0;
}

namespace {
std::atomic<bool> mainAttachHeld{false};
std::mutex mainAttachedWithMutex;
db::ConnectionSettings mainAttachedWith;
std::mutex heldFileMutex;
std::string heldFile;
// The spellings of the settings that reached it.
std::set<std::string> heldFileNames;
} // namespace

db::ConnectionSettings MainDbAttachedWith() {
    std::lock_guard lock(mainAttachedWithMutex);
    return mainAttachedWith;
}

void HoldMainAttach(bool held) {
    mainAttachHeld = held;
}

bool MainAttachHeld() {
    return mainAttachHeld;
}

void HoldMainAttachOf(const std::string& serverFile) {
    std::lock_guard lock(heldFileMutex);
    if (std::exchange(heldFile, serverFile) != serverFile)
        heldFileNames.clear();
}

bool MainAttachHeldFileAt(const std::string& databaseName) {
    std::lock_guard lock(heldFileMutex);
    return heldFileNames.count(databaseName) != 0;
}

std::string MainAttachHeldFile() {
    std::lock_guard lock(heldFileMutex);
    return heldFile;
}

namespace {
thread_local bool mainAttachLeftToReconnect = false;
} // namespace

MainAttachLeftToReconnect::MainAttachLeftToReconnect()
    : previous_(std::exchange(mainAttachLeftToReconnect, true)) {}

MainAttachLeftToReconnect::~MainAttachLeftToReconnect() {
    mainAttachLeftToReconnect = previous_;
}

namespace {

ISC_STATUS* vec(std::array<intptr_t, 20>& status) {
    return reinterpret_cast<ISC_STATUS*>(status.data());
}
isc_db_handle* dbh(DbHandle* handle) {
    return reinterpret_cast<isc_db_handle*>(handle);
}
isc_tr_handle* trh(unsigned* handle) {
    return reinterpret_cast<isc_tr_handle*>(handle);
}

// The statuses that say the connection (or the server behind it) is gone:
// the network class and the ends of an attachment or a database.
bool isLostConnectionCode(intptr_t code) {
    switch (code) {
    case isc_network_error:
    case isc_net_lookup_err:
    case isc_net_init_error:
    case isc_net_connect_err:
    case isc_net_connect_listen_err:
    case isc_net_event_connect_err:
    case isc_net_event_listen_err:
    case isc_net_read_err:
    case isc_net_write_err:
    case isc_net_server_shutdown:
    case isc_net_event_connect_timeout:
    case isc_conn_lost:
    case isc_lost_db_connection:
    case isc_unavailable:
    case isc_bad_db_handle:
    case isc_att_shutdown:
    case isc_shutdown:
        return true;
    default:
        return false;
    }
}

// Failures that pass by themselves: the disk (full, or an I/O error), a
// lock held by another transaction, memory.
bool isPassingCode(intptr_t code) {
    switch (code) {
    case isc_io_error:
    case isc_io_create_err:
    case isc_io_open_err:
    case isc_io_close_err:
    case isc_io_read_err:
    case isc_io_write_err:
    case isc_io_access_err:
    case isc_deadlock:
    case isc_lock_conflict:
    case isc_update_conflict:
    case isc_lock_timeout:
    case isc_sys_request:
    case isc_virmemexh:
        return true;
    default:
        return false;
    }
}

bool isLockCode(intptr_t code) {
    return code == isc_deadlock || code == isc_lock_conflict || code == isc_update_conflict ||
           code == isc_lock_timeout;
}

// Any code of the vector counts: a network failure may come beneath another.
bool statusHolds(const std::array<intptr_t, 20>& status, bool (*wanted)(intptr_t)) {
    for (std::size_t i = 0; i + 1 < status.size() && status[i] != isc_arg_end;) {
        if (status[i] == isc_arg_gds && wanted(status[i + 1]))
            return true;
        i += status[i] == isc_arg_cstring ? 3 : 2;
    }
    return false;
}

bool isLostConnection(const std::array<intptr_t, 20>& status) {
    return statusHolds(status, isLostConnectionCode);
}

// A server that takes the connection and never answers would hold the attach
// until the system gives up on the connection (minutes), and no call bound
// reaches an attach that has no handle yet. Firebird's connect time-out
// covers the connection and the server's first answer: it ends such an
// attach a second after its waiter gave up on it (the waiter says so first).
void appendConnectTimeout(std::string& dpb) {
    const auto left = std::chrono::ceil<std::chrono::seconds>(db::CallDeadline() - db::StopClock::now());
    const auto seconds = std::uint32_t(std::max<long long>(0, left.count()) + 1);
    db::blocks::AppendNumberItem(dpb, isc_dpb_connect_timeout, seconds);
}

bool onGuiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

SessionDB::SessionDB(const std::string& host, const std::string& path, const std::string& user,
                     const std::string& password, DbHandle* handle, bool background)
    : DbHandle_(handle), host_(host), path_(path), userName_(user), password_(password) {
    if (!host.empty())
        databaseName_ = host + ":";
    databaseName_ += path;
    background_ = background;
    if (*DbHandle_ == 0) {
        LastCode = AttachDatabase(background);
        if (LastCode != 0)
            *DbHandle_ = 0;
        else
            afterMainAttach();
    }
}

// A new main connection gets the structure check before any other work.
bool SessionDB::afterMainAttach() {
    if (leftHeldFile())
        return false;
    rememberMainAttach();
    if (DbHandle_ == &MainDbHandle && *DbHandle_ != 0 && onGuiThread())
        if (auto* database = db::MainDatabase::Current())
            database->MainAttached(host_, path_, userName_, password_);
    return true;
}

// The settings may reach the file a cut restore left by another spelling
// than the one its mark was written with: what the server calls the file
// decides. A file that cannot be told is left too, and tried again later.
bool SessionDB::leftHeldFile() {
    const std::string held = MainAttachHeldFile();
    if (DbHandle_ != &MainDbHandle || *DbHandle_ == 0 || held.empty())
        return false;
    std::string file;
    {
        SessionDB probe(host_, path_, userName_, password_, DbHandle_, false);
        probe.LeaveReattachToCaller();
        file = db::ServerFileOf(probe);
    }
    if (!file.empty() && file != held)
        return false;
    if (file.empty()) {
        base::WriteLog(2, "Nie odczytano nazwy pliku bazy danych %s, połączenie odłożone",
                       databaseName_.c_str());
    } else {
        base::WriteLog(2, "Baza danych %s (%s) czeka na odtworzenie z backupu, połączenie odłożone",
                       databaseName_.c_str(), file.c_str());
        {
            std::lock_guard lock(heldFileMutex);
            if (heldFile == file)
                heldFileNames.insert(databaseName_);
        }
        HoldMainAttach(true);
    }
    bounded([&] { return DetachDatabase(DbHandle_); });
    *DbHandle_ = 0;
    Status = {1, dbcode::Unavailable, 0};
    LastCode = dbcode::Unavailable;
    return true;
}

SessionDB::~SessionDB() {
    // A session never leaves a transaction behind, or the handle could not be
    // detached later.
    rollback();
}

int SessionDB::attachRaw(const std::string& name, const std::string& dpb, DbHandle* handle,
                         intptr_t* status) {
    return int(isc_attach_database(reinterpret_cast<ISC_STATUS*>(status), 0, name.c_str(), dbh(handle),
                                   short(dpb.size()), dpb.data()));
}

int SessionDB::AttachDatabase(bool background) {
    LastCode = 0;
    if (DbHandle_ == &MainDbHandle && MainAttachHeld()) {
        base::WriteLog(2, "%s", "Baza danych czeka na odtworzenie z backupu, połączenie odłożone");
        Status = {1, dbcode::Unavailable, 0};
        AttachStatus = dbcode::Unavailable;
        return dbcode::Unavailable;
    }
    if (DbHandle_ == &MainDbHandle && mainAttachLeftToReconnect) {
        base::WriteLog(1, "%s", "Brak połączenia z bazą danych, zapis czeka na ponowne połączenie");
        Status = {1, dbcode::Unavailable, 0};
        AttachStatus = dbcode::Unavailable;
        return dbcode::Unavailable;
    }
    buildDpb();
    // The main connection is attached off the GUI thread, within the call
    // bound, and checked there too: the event loop never waits for the
    // server; only a background attach shows the progress window.
    const bool offGuiThread = onGuiThread() && (background || DbHandle_ == &MainDbHandle);
    AttachStatus = offGuiThread ? attachInBackground(background) : ConnectDatabase();
    if (AttachStatus != 0)
        return ReportError(Status.data(), AttachFoundNoFile());
    if (offGuiThread)
        return 0; // checked by the attach thread
    if (bounded([&] { return checkAttached(DbHandle_, Status.data()); })) {
        const int code = ReportError(Status.data());
        bounded([&] { return DetachDatabase(DbHandle_); });
        *DbHandle_ = 0;
        return code;
    }
    return 0;
}

int SessionDB::checkAttached(DbHandle* handle, intptr_t* status) {
    static const char items[] = {isc_info_db_id};
    char answer[128];
    return int(isc_database_info(reinterpret_cast<ISC_STATUS*>(status), dbh(handle), sizeof(items), items,
                                 sizeof(answer), answer));
}

// The file name goes in UTF-8, marked so, both when attaching and when
// creating: a name with letters outside ASCII then means one and the same
// file. Every attach has a connect time-out.
void SessionDB::buildDpb() {
    dpb_.assign({char(isc_dpb_version1), char(isc_dpb_num_buffers), 1, 90});
    db::blocks::AppendText(dpb_, isc_dpb_user_name, platform::toWire(userName_));
    db::blocks::AppendText(dpb_, isc_dpb_password, platform::toWire(password_));
    db::blocks::AppendText(dpb_, isc_dpb_lc_ctype, platform::wireCharsetName());
    dpb_ += char(isc_dpb_utf8_filename);
    dpb_ += char(0);
    appendConnectTimeout(dpb_);
}

int SessionDB::attachInBackground(bool showProgress) {
    if (BackgroundAttachRunning()) {
        // Only one wait in the progress window at a time.
        base::WriteLog(2, "%s", "Łączenie z bazą danych już trwa");
        Status = {1, dbcode::BadDbHandle, 0};
        return dbcode::BadDbHandle;
    }
    AttachStatus = 1;
    connectDB thread(false, this);
    return thread.Wait(showProgress);
}

int SessionDB::ConnectDatabase() {
    return attachRaw(databaseName_, dpb_, DbHandle_, Status.data());
}

int SessionDB::StartTransaction(bool withTpb) {
    static char queryTpb[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_concurrency, isc_tpb_wait};
    // A second of waiting for a lock; under a shorter bound, none.
    static char briefLockTpb[] = {
        isc_tpb_version3, isc_tpb_write, isc_tpb_concurrency, isc_tpb_wait, isc_tpb_lock_timeout, 1, 1};
    static char noLockWaitTpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_concurrency, isc_tpb_nowait};
    char* tpb = withTpb ? queryTpb : nullptr;
    short tpbLength = withTpb ? short(sizeof(queryTpb)) : 0;
    // The main connection's writes too: a row another client holds is a
    // lock conflict, said as such, never a silent server.
    if (!withTpb && (waitsForLocksBriefly_ || noLockWait_ || DbHandle_ == &MainDbHandle)) {
        const bool wait = !noLockWait_ && db::ThisCallBound() >= std::chrono::seconds(3);
        tpb = wait ? briefLockTpb : noLockWaitTpb;
        tpbLength = wait ? short(sizeof(briefLockTpb)) : short(sizeof(noLockWaitTpb));
    }
    rollback();
    if (!bounded([&] {
            return isc_start_transaction(vec(Status), trh(&Transaction), 1, dbh(DbHandle_), tpbLength, tpb);
        }))
        return 0;
    return reportFailedCall(false);
}

int SessionDB::reportFailedCall(bool atCommit) {
    const int code = ReportError(Status.data());
    if (isLostConnection(Status) || abandoned_) {
        failureCanPass_ = true;
        connectionLost(atCommit);
    } else if (statusHolds(Status, isPassingCode)) {
        failureCanPass_ = true;
        failedOnLock_ = statusHolds(Status, isLockCode);
    }
    return code;
}

// The dead handle is detached and one attach is tried at once, so that a
// server restart between two statements costs nothing; when the server is
// still away, the reconnect timer takes over.
void SessionDB::connectionLost(bool atCommit) {
    if (atCommit || lossFound_ == LossFound::None)
        lossFound_ = atCommit ? LossFound::AtCommit : LossFound::BeforeCommit;
    rollback();
    Transaction = 0;
    const bool main = DbHandle_ == &MainDbHandle;
    const bool wasAttached = *DbHandle_ != 0;
    if (wasAttached) {
        if (abandoned_)
            base::WriteLog(2, "Baza danych %s nie odpowiedziała w ciągu %lld s, połączenie porzucone",
                           databaseName_.c_str(), static_cast<long long>(db::ThisCallBound().count() / 1000));
        base::WriteLog(2, "Utracono połączenie z bazą danych %s", databaseName_.c_str());
        std::array<intptr_t, 20> ignored{};
        bounded([&] { return isc_detach_database(vec(ignored), dbh(DbHandle_)); });
        *DbHandle_ = 0;
    }
    // A server that did not answer is not asked again at once: the
    // reconnect timer, a log-in or the next row's attach tries later.
    if (wasAttached && reattaches_ && !reattachTried_ && !abandoned_) {
        reattachTried_ = true;
        // The failed call's report stays what the caller reads.
        const auto failedStatus = Status;
        const int failedCode = LastCode;
        const bool attached = AttachDatabase(background_) == 0 && *DbHandle_ != 0;
        Status = failedStatus;
        LastCode = failedCode;
        if (attached && afterMainAttach()) {
            reattached_ = true;
            return;
        }
        *DbHandle_ = 0;
    }
    if (main) {
        if (auto* database = db::MainDatabase::Current())
            database->MainConnectionLost(
                abandoned_ ? "no answer within " + std::to_string(db::ThisCallBound().count() / 1000) + " s"
                           : LastMessage);
        db::host().EnsureReconnectTimer();
    }
}

int SessionDB::CommitTransaction() {
    if (bounded([&] { return isc_commit_transaction(vec(Status), trh(&Transaction)); })) {
        const int code = reportFailedCall(true);
        rollback();
        return code;
    }
    return 0;
}

void SessionDB::rollback() {
    if (Transaction == 0)
        return;
    std::array<intptr_t, 20> status{};
    if (bounded([&] { return isc_rollback_transaction(vec(status), trh(&Transaction)); }))
        Transaction = 0; // the connection is gone with it
}

void SessionDB::SetSqlText(const std::string& text) {
    sqlText_ = text;
}

// A character the wire code page cannot hold would reach the database as a
// substitute byte, and a NUL would end the statement early: such a statement
// is not sent at all, so no row is written half-wrong.
int SessionDB::statementToWire(const std::string& text, std::string* wire) {
    if (text.find('\0') != std::string::npos || text.find(QuotedNul) != std::string::npos) {
        std::string shown;
        for (std::size_t at = 0; at < text.size(); ++at) {
            if (text.compare(at, 2, QuotedNul) == 0) {
                shown += "\\0";
                ++at;
            } else {
                shown += text[at] == '\0' ? std::string("\\0") : std::string(1, text[at]);
            }
        }
        base::WriteLog(2, "Znak NUL w poleceniu SQL, polecenia nie wysłano: %s", shown.c_str());
        Status = {isc_arg_gds, isc_malformed_string, isc_arg_end};
        return ReportError(Status.data());
    }
    if (!platform::toWireExact(text, wire)) {
        base::WriteLog(2, "Znaki spoza strony kodowej %s w poleceniu SQL, polecenia nie wysłano: %s",
                       platform::wireCodePageName(), text.c_str());
        Status = {isc_arg_gds, isc_transliteration_failed, isc_arg_end};
        return ReportError(Status.data());
    }
    return 0;
}

int SessionDB::ExecuteImmediate(const std::string& text) {
    std::string wire;
    if (const int refused = statementToWire(text, &wire))
        return refused;
    changedRows_ = -1;
    if (countsRows_)
        return executeCounting(wire);
    if (bounded([&] {
            return isc_dsql_execute_immediate(vec(Status), dbh(DbHandle_), trh(&Transaction), 0, wire.c_str(),
                                              SQL_DIALECT_V6, nullptr);
        })) {
        base::DebugTrace(text);
        base::DebugTrace("ERROR: isc_dsql_execute_immediate failed");
        return reportFailedCall(false);
    }
    return 0;
}

// The counts come as isc_info_sql_records: per kind of change an item with
// its length and a 4-byte number.
int SessionDB::executeCounting(const std::string& wire) {
    const auto statement = reinterpret_cast<isc_stmt_handle*>(&Statement);
    const auto drop = [&] {
        std::array<intptr_t, 20> ignored{};
        bounded([&] { return isc_dsql_free_statement(vec(ignored), statement, DSQL_drop); });
        Statement = 0;
    };
    if (bounded([&] { return isc_dsql_allocate_statement(vec(Status), dbh(DbHandle_), statement); }))
        return reportFailedCall(false);
    if (bounded([&] {
            return isc_dsql_prepare(vec(Status), trh(&Transaction), statement, 0, wire.c_str(),
                                    SQL_DIALECT_V6, nullptr);
        }) ||
        bounded([&] {
            return isc_dsql_execute(vec(Status), trh(&Transaction), statement, SQL_DIALECT_V6, nullptr);
        })) {
        drop();
        return reportFailedCall(false);
    }
    const char items[] = {isc_info_sql_records};
    char answer[64] = {};
    std::array<intptr_t, 20> infoStatus{};
    if (!bounded([&] {
            return isc_dsql_sql_info(vec(infoStatus), statement, sizeof(items), items, sizeof(answer),
                                     answer);
        }) &&
        answer[0] == isc_info_sql_records) {
        long changed = 0;
        for (const char* at = answer + 3; at < answer + sizeof(answer) && *at != isc_info_end;) {
            const char item = *at;
            const short length = short(isc_vax_integer(at + 1, 2));
            if (at + 3 + length > answer + sizeof(answer))
                break;
            if (item == isc_info_req_update_count || item == isc_info_req_delete_count ||
                item == isc_info_req_insert_count)
                changed += long(isc_vax_integer(at + 3, length));
            at += 3 + length;
        }
        changedRows_ = changed;
    }
    drop();
    return 0;
}

namespace {

bool isQueryText(const std::string& text) {
    static const char select[] = "SELE";
    if (text.size() < 4)
        return false;
    for (int i = 0; i < 4; ++i)
        if (std::toupper(static_cast<unsigned char>(text[std::size_t(i)])) != select[i])
            return false;
    return true;
}

} // namespace

int SessionDB::ExecuteSQL(const std::string& text) {
    if (base::Switches().chbLogBaza)
        base::WriteLog(1, "%s", text.c_str());
    if (isQueryText(text)) {
        return runStatement(text, true, [&] {
            SetSqlText(text);
            if (workOpen_)
                return joinWork([&] { return RunQuery(); });
            db::TransactionScope transaction(*this, true);
            int result = transaction.started();
            if (result == 0)
                result = RunQuery();
            return transaction.end(result);
        });
    }
    return runStatement(text, false, [&] { return executeInOwnTransaction(text); });
}

int SessionDB::ExecuteDDL(std::string text) {
    LastCode = 0;
    if (text.empty())
        text = "CREATE TABLE dbinfo4 (ID INTEGER not null PRIMARY KEY, NAME CHAR(50),when_created DATE )";
    return runStatement(text, false, [&] { return executeInOwnTransaction(text); });
}

int SessionDB::RunInReadTransaction(const std::function<int()>& deliver) {
    return runStatement(sqlText_, true, [&] {
        if (workOpen_)
            return joinWork(deliver);
        db::TransactionScope transaction(*this, true);
        int result = transaction.started();
        if (result == 0)
            result = deliver();
        return transaction.end(result);
    });
}

int SessionDB::runStatement(const std::string& text, bool query, const std::function<int()>& run) {
    lossFound_ = LossFound::None;
    abandoned_ = false;
    failureCanPass_ = false;
    failedOnLock_ = false;
    reattachTried_ = false;
    reattached_ = false;
    rowsShown_ = false;
    const std::size_t stringsBefore = ResultStrings ? ResultStrings->size() : 0;
    int result = run();
    // A statement whose loss showed before its commit was not written: it
    // runs again on the new connection. One that failed at its commit may
    // have been written, so it is not repeated.
    // Inside a unit of work the earlier statements went with the lost
    // transaction: the unit fails as a whole instead.
    if (lossFound_ == LossFound::BeforeCommit && reattached_ && !rowsShown_ && !workOpen_) {
        if (ResultStrings && ResultStrings->size() > stringsBefore)
            ResultStrings->resize(stringsBefore);
        lossFound_ = LossFound::None;
        result = run();
    }
    if (failedOnLock_ && !quietLocks_)
        base::WriteLog(2, "Wiersz tabeli %s jest zablokowany przez innego klienta bazy danych",
                       db::TableOfStatement(text).c_str());
    if (query || result == 0 || callerKeepsRows_ || workOpen_ || !db::IsRowStatement(text))
        return result;
    if (lossFound_ == LossFound::AtCommit)
        base::WriteLog(2, "Nie wiadomo, czy zapisano w bazie danych: %s", text.c_str());
    else
        db::LogRowNotWritten(text);
    return result;
}

int SessionDB::BeginWork() {
    workError_ = 0;
    const int result = StartTransaction(false);
    workOpen_ = result == 0;
    return result;
}

int SessionDB::CommitWork() {
    workOpen_ = false;
    if (workError_ != 0) {
        rollback();
        return workError_;
    }
    return CommitTransaction();
}

void SessionDB::RollbackWork() {
    workOpen_ = false;
    workError_ = 0;
    rollback();
}

int SessionDB::joinWork(const std::function<int()>& step) {
    if (workError_ != 0)
        return workError_;
    // A transaction lost with its connection takes the earlier steps along.
    const int result = Transaction == 0 ? dbcode::BadDbHandle : step();
    if (result != 0)
        workError_ = result;
    return result;
}

int SessionDB::executeInOwnTransaction(const std::string& text) {
    if (workOpen_)
        return joinWork([&] { return ExecuteImmediate(text); });
    db::TransactionScope transaction(*this, false);
    int result = transaction.started();
    if (result == 0)
        result = ExecuteImmediate(text);
    return transaction.end(result);
}

namespace db {

TransactionScope::TransactionScope(SessionDB& session, bool withTpb)
    : session_(session), started_(session.StartTransaction(withTpb)) {}

TransactionScope::~TransactionScope() {
    session_.rollback();
}

int TransactionScope::end(int result) {
    if (result == 0)
        return session_.CommitTransaction();
    session_.rollback();
    return result;
}

} // namespace db

int SessionDB::CreateDatabase() {
    // Created with the attach's own name and parameter block (plus dialect 3),
    // so the file is the one every later attach finds, and the new connection
    // already speaks the wire character set.
    buildDpb();
    std::string dpb = dpb_;
    dpb += char(isc_dpb_sql_dialect);
    dpb += char(1);
    dpb += char(SQL_DIALECT_V6);
    rollback();
    *DbHandle_ = 0;
    if (isc_create_database(vec(Status), 0, databaseName_.c_str(), dbh(DbHandle_), short(dpb.size()),
                            dpb.data(), 0)) {
        *DbHandle_ = 0;
        return ReportError(Status.data());
    }
    rememberMainAttach();
    return 0;
}

void SessionDB::rememberMainAttach() const {
    if (DbHandle_ != &MainDbHandle || *DbHandle_ == 0)
        return;
    std::lock_guard lock(mainAttachedWithMutex);
    mainAttachedWith = {host_, path_, userName_, password_};
}

void SessionDB::AbandonConnection(DbHandle* handle) {
    if (*handle == 0)
        return;
    std::array<intptr_t, 20> status{};
    fb_cancel_operation(vec(status), dbh(handle), fb_cancel_abort);
    isc_detach_database(vec(status), dbh(handle));
    *handle = 0;
}

void SessionDB::DetachOrAbandon(DbHandle* handle) {
    if (*handle == 0)
        return;
    db::BoundedCall bound(handle);
    if (DetachDatabase(handle) != 0)
        AbandonConnection(handle);
}

int SessionDB::DetachDatabase(DbHandle* handle) {
    if (*handle == 0)
        return 0;
    std::array<intptr_t, 20> status{};
    if (isc_detach_database(vec(status), dbh(handle)))
        return int(status[1]);
    *handle = 0;
    return 0;
}

int SessionDB::ReportError(const intptr_t* statusWords, bool expected) {
    const auto* status = reinterpret_cast<const ISC_STATUS*>(statusWords);
    // Nothing of the raw vector goes to stderr: the log has its words, and
    // what the administrator must know is said once, by the caller.
    const int code = int(status[1]);
    const ISC_LONG sqlCode = isc_sqlcode(status);
    const std::string messageText = db::blocks::StatusWords(status);
    char sqlText[512] = {};
    isc_sql_interprete(short(sqlCode), sqlText, sizeof(sqlText));
    const std::string sqlMessage = platform::fromWire(sqlText);
    base::DebugTrace("Blad (" + std::to_string(sqlCode) + ") - " + sqlMessage + "\n");
    // An expected failure (a missing file before the offer to create it) is
    // information; anything else is an error.
    const int level = expected ? 1 : 2;
    if (base::Switches().chbLogBaza)
        base::WriteLog(level, "Blad %d: %s\n", int(sqlCode), sqlMessage.c_str());
    base::DebugTrace(messageText);
    // The log always has the failure's own words, whatever the message box
    // can make of its code.
    // A lock the caller waits out is said once, by the caller.
    const bool quiet = quietLocks_ && statusHolds(Status, isLockCode);
    if ((!expected || base::Switches().chbLogBaza) && !quiet)
        base::WriteLog(level, "%s", messageText.c_str());
    LastCode = int(sqlCode);
    LastMessage = messageText;
    return code;
}

namespace {

// The operating system's text for a missing file, as a server sends it: the
// remote protocol carries the text, not the number.
bool isNoSuchFileText(const char* text) {
    if (!text)
        return false;
    const std::string message = text;
    return message == std::strerror(ENOENT) || message == "No such file or directory" ||
           message == "The system cannot find the file specified." ||
           message == "The system cannot find the path specified.";
}

} // namespace

bool SessionDB::AttachFoundNoFile() const {
    if (Status[0] != isc_arg_gds || Status[1] != isc_io_error)
        return false;
    constexpr intptr_t windowsFileNotFound = 2;
    constexpr intptr_t windowsPathNotFound = 3;
    for (std::size_t i = 2; i + 1 < Status.size() && Status[i] != isc_arg_end;) {
        const intptr_t kind = Status[i];
        const intptr_t value = Status[i + 1];
        if (kind == isc_arg_unix && value == ENOENT)
            return true;
        if (kind == isc_arg_win32 && (value == windowsFileNotFound || value == windowsPathNotFound))
            return true;
        if (kind == isc_arg_interpreted && isNoSuchFileText(reinterpret_cast<const char*>(value)))
            return true;
        i += kind == isc_arg_cstring ? 3 : 2;
    }
    return false;
}
