#include "db/SessionDB.h"

#include "db/ConnectThread.h"
#include "db/DatabaseHooks.h"
#include "db/SqlText.h"
#include "platform/WireCodePage.h"
#include "shell/DiagnosticLog.h"
#include "shell/TraceLabel.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QThread>
#include <cctype>
#include <cerrno>
#include <ibase.h>

static_assert(sizeof(DbHandle) == sizeof(isc_db_handle), "handle size");
static_assert(sizeof(intptr_t) == sizeof(ISC_STATUS), "status word size");

DbHandle MainDbHandle = 0;

bool MainDbHandleExists() {
    return MainDbHandle != 0;
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

bool isLostConnection(intptr_t code) {
    switch (code) {
    case isc_network_error:
    case isc_unavailable:
    case isc_bad_db_handle:
    case isc_att_shutdown:
    case isc_shutdown:
    case isc_lost_db_connection:
        return true;
    default:
        return false;
    }
}

void appendDpbText(std::string& dpb, char item, const std::string& text) {
    const std::size_t length = std::min<std::size_t>(text.size(), 255);
    dpb += item;
    dpb += char(length);
    dpb.append(text, 0, length);
}

bool onGuiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool isLocalHost(const std::string& host) {
    if (host.empty() || host == "localhost")
        return true;
    const QHostAddress address(QString::fromStdString(host));
    return address.isLoopback() || QNetworkInterface::allAddresses().contains(address);
}

} // namespace

SessionDB::SessionDB(const std::string& host, const std::string& path, const std::string& user,
                     const std::string& password, DbHandle* handle, bool background)
    : DbHandle_(handle), host_(host), path_(path), userName_(user), password_(password) {
    if (!host.empty())
        databaseName_ = host + ":";
    databaseName_ += path;
    if (*DbHandle_ == 0) {
        LastCode = AttachDatabase(background);
        if (LastCode != 0)
            *DbHandle_ = 0;
    }
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
    buildDpb();
    if (background && onGuiThread()) {
        AttachStatus = attachInBackground();
    } else {
        AttachStatus = ConnectDatabase();
    }
    if (AttachStatus != 0)
        return ReportError(Status.data());
    static const char items[] = {isc_info_db_id};
    char answer[128];
    if (isc_database_info(vec(Status), dbh(DbHandle_), sizeof(items), items, sizeof(answer), answer)) {
        const int code = ReportError(Status.data());
        DetachDatabase(DbHandle_);
        return code;
    }
    return 0;
}

// The file name goes in UTF-8, marked so, both when attaching and when
// creating: a name with letters outside ASCII then means one and the same file.
void SessionDB::buildDpb() {
    dpb_.assign({char(isc_dpb_version1), char(isc_dpb_num_buffers), 1, 90});
    appendDpbText(dpb_, isc_dpb_user_name, platform::toWire(userName_));
    appendDpbText(dpb_, isc_dpb_password, platform::toWire(password_));
    appendDpbText(dpb_, isc_dpb_lc_ctype, platform::wireCharsetName());
    dpb_ += char(isc_dpb_utf8_filename);
    dpb_ += char(0);
}

int SessionDB::attachInBackground() {
    if (BackgroundAttachRunning()) {
        // Only one wait in the progress window at a time.
        shell::WriteLog(2, "%s", "Łączenie z bazą danych już trwa");
        Status = {1, dbcode::BadDbHandle, 0};
        return dbcode::BadDbHandle;
    }
    AttachStatus = 1;
    connectDB thread(false, this);
    return thread.Wait();
}

int SessionDB::ConnectDatabase() {
    return attachRaw(databaseName_, dpb_, DbHandle_, Status.data());
}

int SessionDB::StartTransaction(bool withTpb) {
    static char queryTpb[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_concurrency, isc_tpb_wait};
    rollback();
    if (!isc_start_transaction(vec(Status), trh(&Transaction), 1, dbh(DbHandle_),
                               withTpb ? short(sizeof(queryTpb)) : 0, withTpb ? queryTpb : nullptr))
        return 0;
    const intptr_t code = Status[1];
    const int reported = ReportError(Status.data());
    if (isLostConnection(code))
        connectionLost();
    return reported;
}

void SessionDB::connectionLost() {
    const bool main = DbHandle_ == &MainDbHandle;
    if (*DbHandle_ != 0) {
        shell::WriteLog(2, "Utracono połączenie z bazą danych %s", databaseName_.c_str());
        std::array<intptr_t, 20> ignored{};
        isc_detach_database(vec(ignored), dbh(DbHandle_));
        *DbHandle_ = 0;
    }
    Transaction = 0;
    if (main) {
        if (db::hooks().mainConnectionLost)
            db::hooks().mainConnectionLost();
        if (db::hooks().ensureReconnectTimer)
            db::hooks().ensureReconnectTimer();
    }
}

int SessionDB::CommitTransaction() {
    if (isc_commit_transaction(vec(Status), trh(&Transaction))) {
        const int code = ReportError(Status.data());
        rollback();
        return code;
    }
    return 0;
}

void SessionDB::rollback() {
    if (Transaction == 0)
        return;
    std::array<intptr_t, 20> status{};
    if (isc_rollback_transaction(vec(status), trh(&Transaction)))
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
        shell::WriteLog(2, "Znak NUL w poleceniu SQL, polecenia nie wysłano: %s", shown.c_str());
        Status = {isc_arg_gds, isc_malformed_string, isc_arg_end};
        return ReportError(Status.data());
    }
    if (!platform::toWireExact(text, wire)) {
        shell::WriteLog(2, "Znaki spoza strony kodowej %s w poleceniu SQL, polecenia nie wysłano: %s",
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
    if (isc_dsql_execute_immediate(vec(Status), dbh(DbHandle_), trh(&Transaction), 0, wire.c_str(),
                                   SQL_DIALECT_V6, nullptr)) {
        shell::DebugTrace(text);
        shell::DebugTrace("ERROR: isc_dsql_execute_immediate failed");
        return ReportError(Status.data());
    }
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
    if (shell::Switches().chbLogBaza)
        shell::WriteLog(1, "%s", text.c_str());
    if (isQueryText(text)) {
        SetSqlText(text);
        db::TransactionScope transaction(*this, true);
        int result = transaction.started();
        if (result == 0)
            result = RunQuery();
        return transaction.end(result);
    }
    return executeInOwnTransaction(text);
}

int SessionDB::ExecuteDDL(std::string text) {
    LastCode = 0;
    if (text.empty())
        text = "CREATE TABLE dbinfo4 (ID INTEGER not null PRIMARY KEY, NAME CHAR(50),when_created DATE )";
    return executeInOwnTransaction(text);
}

int SessionDB::executeInOwnTransaction(const std::string& text) {
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
    return 0;
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

int SessionDB::ReportError(const intptr_t* statusWords) {
    const auto* status = reinterpret_cast<const ISC_STATUS*>(statusWords);
    const int code = int(isc_print_status(status));
    const ISC_LONG sqlCode = isc_sqlcode(status);
    isc_print_sqlerror(short(sqlCode), status);
    char message[512] = {};
    const ISC_STATUS* cursor = status;
    fb_interpret(message, sizeof(message), &cursor);
    char sqlText[512] = {};
    isc_sql_interprete(short(sqlCode), sqlText, sizeof(sqlText));
    const std::string messageText = platform::fromWire(message);
    const std::string sqlMessage = platform::fromWire(sqlText);
    shell::DebugTrace("Blad (" + std::to_string(sqlCode) + ") - " + sqlMessage + "\n");
    const bool log = shell::Switches().chbLogBaza;
    if (log)
        shell::WriteLog(2, "Blad %d: %s\n", int(sqlCode), sqlMessage.c_str());
    shell::DebugTrace(messageText);
    if (log)
        shell::WriteLog(2, "%s", messageText.c_str());
    LastCode = int(sqlCode);
    return code;
}

bool SessionDB::AttachFoundNoFile() const {
    // The operating system's "no such file" travels in the vector after the
    // I/O error, as an isc_arg_unix word - but not through the remote
    // protocol: for a server on this computer the file is looked at here.
    bool osCodeGiven = false;
    for (std::size_t i = 0; i + 1 < Status.size() && Status[i] != isc_arg_end;) {
        osCodeGiven = osCodeGiven || Status[i] == isc_arg_unix;
        i += Status[i] == isc_arg_cstring ? 3 : 2;
    }
    if (!osCodeGiven && Status[1] == isc_io_error)
        return !isLocalHost(host_) || !QFileInfo::exists(QString::fromStdString(path_));
    for (std::size_t i = 0; i + 1 < Status.size() && Status[i] != isc_arg_end;) {
        if (Status[i] == isc_arg_unix && Status[i + 1] == ENOENT)
            return true;
        i += Status[i] == isc_arg_cstring ? 3 : 2;
    }
    return false;
}
