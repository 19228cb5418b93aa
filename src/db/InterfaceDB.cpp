#include "db/InterfaceDB.h"

#include "base/TraceLabel.h"
#include "db/AttachReport.h"
#include "db/CallWatchdog.h"
#include "db/DatabaseHost.h"
#include "db/DbErrorText.h"
#include "db/SqlText.h"
#include "db/UserTables.h"

int OpenFailureCount = 0;

InterfaceDB::InterfaceDB() = default;
InterfaceDB::~InterfaceDB() = default;

int InterfaceDB::SetConnection(const std::string& host, const std::string& path, const std::string& user,
                               const std::string& password) {
    host_ = host;
    path_ = path;
    user_ = user;
    password_ = password;
    return 0;
}

int InterfaceDB::SetResultList(db::RowSink* view) {
    resultList_ = view;
    return 0;
}

int InterfaceDB::SetResultStrings(TStringList* strings) {
    resultStrings_ = strings;
    return 0;
}

void InterfaceDB::UseConnection(DbHandle* handle) {
    handle_ = handle;
}

std::unique_ptr<SessionDB> InterfaceDB::openSession() {
    return std::make_unique<SessionDB>(host_, path_, user_, password_, handle_, true);
}

namespace {

// What the creation of a missing file last put to the administrator, until
// an attach succeeds: the same failure again goes to the log only.
std::string failureSaid;
// The creation of a missing file was agreed to and failed: the next
// attempts create it without asking again.
bool creationAgreed = false;

// The server's own words beneath the program's text: the text alone cannot
// tell a folder that is missing from a password that is refused.
std::string withReason(const std::string& text, const std::string& reason) {
    return reason.empty() ? text : text + "\n(" + reason + ")";
}

std::string reasonOf(const SessionDB& session, int code) {
    return session.LastMessage.empty() ? IscStatusName(code) : session.LastMessage;
}

void showFailure(const SessionDB& session, int code) {
    db::host().ShowMessage(withReason(GetDbErrorText(code), session.LastMessage), db::Text("IDS_DB_CAPTION"),
                           db::DatabaseHost::MessageKind::Warning);
}

void logFailure(const SessionDB& session, int code) {
    base::WriteLog(2, "Brak połączenia z bazą danych %s: %s", session.DatabaseName().c_str(),
                   IscStatusName(code).c_str());
}

// Shows a failed creation unless the tries of the timers said the same one
// last, or nobody would see the box.
void sayCreationFailure(const SessionDB& session, int code, bool showErrors) {
    const std::string text = withReason(GetDbErrorText(code), session.LastMessage);
    if (!showErrors && (text == failureSaid || !db::host().HasDisplay())) {
        logFailure(session, code);
        return;
    }
    failureSaid = text;
    showFailure(session, code);
}

} // namespace

bool InterfaceDB::onMainConnection() const {
    return handle_ == &MainDbHandle;
}

int InterfaceDB::OpenDatabase(bool showErrors) {
    auto session = openSession();
    const int code = session->LastCode;
    if (code == 0) {
        attached();
        return 0;
    }
    if (code == dbcode::IoError && session->AttachFoundNoFile())
        return createMissingFile(*session, showErrors);
    // A connection of the caller's own (the connection test's) leaves the
    // main one's count and countdown alone.
    const bool main = onMainConnection();
    // Kept away on purpose (a database a cut restore left): what keeps it
    // away said so, and no attach failed.
    const bool keptAway = main && MainAttachHeld();
    if (main) {
        ++OpenFailureCount;
        if (!keptAway)
            db::SayAttachFailure(host_, path_, reasonOf(*session, code));
    }
    // Without a display the line above stands for the box: stderr does not
    // repeat a failure every minute.
    if (showErrors || (main && !keptAway && OpenFailureCount >= 4 && db::host().HasDisplay()))
        showFailure(*session, code);
    else
        logFailure(*session, code);
    if (main)
        db::host().RestartReconnectTimer();
    return -1;
}

void InterfaceDB::attached() {
    if (!onMainConnection())
        return;
    failureSaid.clear();
    creationAgreed = false;
    db::SayAttached(host_, path_);
}

// A file that cannot be created (its folder is not there yet, or may not be
// written) is tried again by the reconnect timer like any failed attach.
int InterfaceDB::createMissingFile(SessionDB& session, bool showErrors) {
    // A server without a display creates the file: it cannot run without
    // it, and nobody is there to answer.
    if (!showErrors && !db::host().HasDisplay()) {
        if (!creationAgreed) {
            base::WriteLog(1, "Brak pliku bazy danych %s, tworzenie", session.DatabaseName().c_str());
            if (onMainConnection())
                db::SayCreatingMissingFile(host_, path_);
        }
    } else if ((showErrors || !creationAgreed) &&
               !db::host().AskOkCancel(db::Text("IDS_DB_FILE_MISSING"), db::Text("IDS_DB_CAPTION"))) {
        return -1;
    }
    const int created = session.CreateDatabase();
    if (created == 0) {
        attached();
        db::host().ShowMessage(db::Text("IDS_DB_CREATED"), db::Text("IDS_DB_CAPTION"),
                               db::DatabaseHost::MessageKind::Plain);
        return 0;
    }
    // What the main connection's tries remember is theirs alone: a missing
    // main file is still asked about.
    if (!onMainConnection()) {
        if (showErrors)
            showFailure(session, created);
        else
            logFailure(session, created);
        return -1;
    }
    creationAgreed = true;
    db::SayAttachFailure(host_, path_, reasonOf(session, created), true);
    sayCreationFailure(session, created, showErrors);
    db::host().RestartReconnectTimer();
    return -1;
}

int InterfaceDB::RefreshTableList() {
    auto session = openSession();
    session->SetResultListView(resultList_);
    TStringList ignored;
    session->GetTableNames(&ignored);
    return 0;
}

int InterfaceDB::CreateUsersTable() {
    ServiceUseresDB users(host_, path_, user_, password_);
    return users.CreateTable();
}

std::string InterfaceDB::BrowseSql(const std::string& table, const std::string& columns,
                                   const std::string& whereColumn, const std::string& whereValue) {
    if (table.empty())
        return {};
    std::string sql = columns == "0" ? db::SqlFormat("Select * from %s", table.c_str())
                                     : db::SqlFormat("Select %s from %s", columns.c_str(), table.c_str());
    if (whereColumn != "0" && !whereValue.empty())
        sql = db::SqlFormat("%s WHERE  %s = '%s'   ", sql.c_str(), whereColumn.c_str(),
                            QuoteSql(whereValue).c_str());
    return sql;
}

template <class Run> int InterfaceDB::browse(const std::string& sql, Run run) {
    if (sql.empty()) {
        base::DebugTrace("ERROR: table name is empty\n");
        return 1;
    }
    session_ = openSession();
    int result = session_->LastCode;
    if (result == 0)
        result = run(*session_);
    session_.reset();
    if (result != 0)
        base::DebugTrace("ERROR: WyswietlBazeDB failed");
    return result;
}

int InterfaceDB::WyswietlBazeDB(const std::string& table, const std::string& columns,
                                const std::string& whereColumn, const std::string& whereValue) {
    return browse(BrowseSql(table, columns, whereColumn, whereValue), [&](SessionDB& session) {
        session.SetResultListView(resultList_);
        session.SetResultStrings(resultStrings_);
        return session.ExecuteSQL(BrowseSql(table, columns, whereColumn, whereValue));
    });
}

namespace {

// A typed query: the text, a read transaction, the rows, the commit.
template <class Deliver> int typedQuery(SessionDB& session, const std::string& sql, Deliver deliver) {
    session.SetSqlText(sql);
    return session.RunInReadTransaction(deliver);
}

} // namespace

int InterfaceDB::WyswietlBazeDB(const std::string& table, const std::string& columns,
                                const std::string& whereColumn, const std::string& whereValue,
                                std::map<int, std::string>* idTextMap) {
    const std::string sql = BrowseSql(table, columns, whereColumn, whereValue);
    return browse(sql, [&](SessionDB& session) {
        session.IdTextMapTarget = idTextMap;
        return typedQuery(session, sql, [&] { return session.RunQueryToIdTextMap(); });
    });
}

int InterfaceDB::WyswietlBazeDB(const std::string& table, const std::string& columns,
                                const std::string& whereColumn, const std::string& whereValue,
                                std::vector<ContactRow>* contactRows) {
    const std::string sql = BrowseSql(table, columns, whereColumn, whereValue);
    return browse(sql, [&](SessionDB& session) {
        session.ContactRowsTarget = contactRows;
        return typedQuery(session, sql, [&] { return session.RunQueryToContactRows(); });
    });
}

int InterfaceDB::WyswietlBazeDB(const std::string& table, const std::string& columns,
                                const std::string& whereColumn, const std::string& whereValue,
                                std::vector<ROUTING_RULE>* routingRules) {
    const std::string sql = BrowseSql(table, columns, whereColumn, whereValue);
    return browse(sql, [&](SessionDB& session) {
        return typedQuery(session, sql, [&] { return session.RunQueryToRoutingRules(routingRules); });
    });
}
