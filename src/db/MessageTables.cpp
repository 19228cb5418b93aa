#include "db/MessageTables.h"

#include "base/DiagnosticLog.h"
#include "base/TraceLabel.h"

namespace {

constexpr char SmsTable[] = "Sms";
// The Sms columns' lengths in characters.
constexpr std::size_t SmsNumberLength = 32;
constexpr std::size_t SmsLineLength = 32;
constexpr std::size_t SmsBodyLength = 1000;

} // namespace

ServiceMsgDB::ServiceMsgDB(const std::string& host, const std::string& path, const std::string& user,
                           const std::string& password)
    : ServiceTableDB(host, path, user, password, "Msg") {}

int ServiceMsgDB::CreateTable() {
    // GLOBAL is a reserved word since Firebird 3: the column is written quoted
    // and keeps its stored name.
    return createTable(
        db::SqlFormat("CREATE TABLE %s  (idMessage  INTEGER not null PRIMARY KEY,idUserA INTEGER NOT "
                      "NULL,idUserB INTEGER NOT NULL,datesent DATE NOT NULL,timesent TIME NOT "
                      "NULL,body VARCHAR(1000) NOT NULL,deleted integer,\"GLOBAL\" integer);",
                      TableName.c_str()),
        db::TriggerText(TableName, "idMessage", true));
}

int ServiceMsgDB::CreateView() {
    const std::string text =
        "CREATE VIEW VIEW_MSG (IDMESSAGE, DATESENT, TIMESENT, BODY, DELETED, \"GLOBAL\", USERIDA, USERNAMEA, "
        "USERLASTNAMEA, USERIDB, USERNAMEB, USERLASTNAMEB) AS SELECT MSG.IDMESSAGE, MSG.DATESENT, "
        "MSG.TIMESENT, "
        "MSG.BODY, MSG.DELETED, MSG.\"GLOBAL\", u1.NUSERID, u1.SUSERNAME, u1.SUSERLASTNAME, u2.NUSERID, "
        "u2.SUSERNAME, u2.SUSERLASTNAME FROM MSG LEFT JOIN CTIusers u1 ON u1.NUSERID = MSG.IDUSERA LEFT JOIN "
        "CTIusers u2 ON u2.NUSERID = MSG.IDUSERB;";
    base::DebugTrace("ServiceMsgDB: CreateView");
    base::DebugTrace(text);
    return ExecuteSQL(text);
}

ServiceSmsDB::ServiceSmsDB(const std::string& host, const std::string& path, const std::string& user,
                           const std::string& password)
    : ServiceTableDB(host, path, user, password, SmsTable) {}

int ServiceSmsDB::CreateTable() {
    return createTable(
        db::SqlFormat("CREATE TABLE %s (nId INTEGER not null PRIMARY KEY,nDir INTEGER NOT NULL,sDate "
                      "DATE NOT NULL,sTime TIME NOT NULL,sNumber CHAR(32) NOT NULL,sLine CHAR(32) "
                      "NOT NULL,sBody VARCHAR(1000) NOT NULL,nState INTEGER NOT NULL,nForward "
                      "INTEGER,nUserId INTEGER NOT NULL);",
                      TableName.c_str()),
        db::TriggerText(TableName, "nId", true));
}

int ServiceSmsDB::InsertDataWithId(const db::RowFollower& written, const std::function<void()>& waiting) {
    // The insert is made from copies: a kept row outlives this table object.
    const auto insert = [table = TableName, nDir = nDir, sDate = sDate, sTime = sTime, sNumber = sNumber,
                         sLine = sLine, sBody = sBody, nState = nState, nForward = nForward,
                         nUserId = nUserId](const std::string& key) {
        base::WriteLog(1, "ServiceSmsDB::InsertDataWithId nId=%s", key.c_str());
        base::WriteLog(1, "                 sLine=%s", sLine.c_str());
        base::WriteLog(1, "                 sNumber=%s", sNumber.c_str());
        return db::SqlFormat(
            "INSERT INTO %s (nId, nDir, sDate, sTime, sNumber, sLine, sBody, nState, nForward, "
            "nUserId) VALUES ('%s', '%s', '%s', '%s', '%s', '%s', '%s', '%s', %s, '%s')",
            table.c_str(), Q(key).c_str(), db::NumberOrZero(nDir).c_str(), Q(sDate).c_str(), Q(sTime).c_str(),
            db::CutText(sNumber, SmsNumberLength).c_str(), db::CutText(sLine, SmsLineLength).c_str(),
            db::CutText(sBody, SmsBodyLength).c_str(), db::NumberOrZero(nState).c_str(),
            db::NumberOrNull(nForward).c_str(), db::NumberOrZero(nUserId).c_str());
    };
    const int result = insertWithNewKey(db::GeneratorQuery(TableName), "nId", nId, insert, written, waiting);
    if (result != 0 && result != db::RowKeptForReturn && result != db::RowWrittenLater)
        base::WriteLog(1, "ExecuteSQL error %d", result);
    return result;
}

bool ServiceSmsDB::IsInsert(const std::string& statement) {
    return statement.starts_with(db::SqlFormat("INSERT INTO %s (nId, nDir,", SmsTable));
}

// The received row's direction (0) follows its key, the first value.
bool ServiceSmsDB::IsReceivedRowInsert(const std::string& statement) {
    const std::size_t values = statement.find(") VALUES ('");
    if (!IsInsert(statement) || values == std::string::npos)
        return false;
    const std::size_t keyEnd = statement.find('\'', values + 11);
    return keyEnd != std::string::npos && statement.compare(keyEnd, 7, "', '0',") == 0;
}

// nUserId is the last value of the insert (InsertDataWithId), a number
// in quotes.
std::string ServiceSmsDB::UserOfInsert(const std::string& statement) {
    if (!IsInsert(statement) || !statement.ends_with("')"))
        return {};
    const std::size_t open = statement.rfind('\'', statement.size() - 3);
    const std::string user = statement.substr(open + 1, statement.size() - 3 - open);
    return !user.empty() && user.find_first_not_of("-0123456789") == std::string::npos ? user : std::string();
}

namespace {

// The row of key `id`, and of that message when it is named.
std::string rowOf(const SmsRowId& id, const SmsIdentity& identity) {
    std::string condition = db::SqlFormat("nId='%s'", Q(id.value).c_str());
    if (!identity.sNumber.empty())
        condition +=
            db::SqlFormat(" AND sNumber='%s'", db::CutText(identity.sNumber, SmsNumberLength).c_str());
    return condition;
}

} // namespace

std::string ServiceSmsDB::StatusUpdate(const SmsState& state, const SmsRowId& id,
                                       const SmsIdentity& identity) {
    base::WriteLog(1, "%s", "ServiceSmsDB::UpdateStatus");
    base::WriteLog(1, "                 _state=%s", state.value.c_str());
    base::WriteLog(1, "                 _nId=%s", id.value.c_str());
    return db::SqlFormat("UPDATE %s SET nState='%s' WHERE %s; ", SmsTable,
                         db::NumberOrZero(state.value).c_str(), rowOf(id, identity).c_str());
}

int ServiceSmsDB::UpdateStatus(const SmsState& state, const SmsRowId& id) {
    const int result = ExecuteSQL(StatusUpdate(state, id));
    if (result != 0)
        base::WriteLog(1, "ExecuteSQL error %d", result);
    return result;
}

std::string ServiceSmsDB::BadStatusUpdate() {
    base::WriteLog(1, "%s", "ServiceSmsDB::CheckBadStatus()");
    return db::SqlFormat("UPDATE %s SET nState='%s' WHERE nState='%s'; ", SmsTable, "2", "4");
}

std::string ServiceSmsDB::BadStatusUpdate(const SmsRowId& id) {
    return db::SqlFormat("UPDATE %s SET nState='%s' WHERE nId='%s' AND nState='%s'; ", SmsTable, "2",
                         Q(id.value).c_str(), "4");
}

std::vector<db::RoadRow> ServiceSmsDB::RowChanges(const SmsRowId& id,
                                                  const std::vector<std::string>& statements) {
    std::vector<db::RoadRow> rows = db::PlainRoadRows(statements);
    for (db::RoadRow& row : rows)
        row.subject = db::RowOfKey(SmsTable, "nId", id.value);
    return rows;
}

int ServiceSmsDB::ReadKeysInProgress(std::vector<std::string>& keys, std::vector<std::string>& users) {
    SetSqlText(db::SqlFormat("SELECT nId, nUserId FROM %s WHERE nState = 4 ORDER BY nId", TableName.c_str()));
    std::vector<QueryRow> rows;
    const int result = RunInReadTransaction([&] { return RunQueryToList(&rows); });
    for (QueryRow& row : rows) {
        keys.push_back(TrimSqlValue(row["NID"]));
        users.push_back(TrimSqlValue(row["NUSERID"]));
    }
    return result;
}

int ServiceSmsDB::CheckBadStatus() {
    return ExecuteSQL(BadStatusUpdate());
}

std::string ServiceSmsDB::LineUpdate(const SmsLine& line, const SmsRowId& id, const SmsIdentity& identity) {
    return db::SqlFormat("UPDATE %s SET sLine='%s' WHERE %s; ", SmsTable,
                         db::CutText(line.value, SmsLineLength).c_str(), rowOf(id, identity).c_str());
}

int ServiceSmsDB::UpdateLine(const SmsLine& line, const SmsRowId& id) {
    return ExecuteSQL(LineUpdate(line, id));
}

int ServiceSmsDB::ReadLastReceivedRows(std::size_t count, std::vector<QueryRow>& rows) {
    SetSqlText(
        db::SqlFormat("SELECT FIRST %zu sDate, sTime, sNumber, sLine, sBody, nUserId FROM %s WHERE nDir = 0 "
                      "ORDER BY nId DESC",
                      count, TableName.c_str()));
    return RunInReadTransaction([&] { return RunQueryToList(&rows); });
}

ServiceSmsRoutingDB::ServiceSmsRoutingDB(const std::string& host, const std::string& path,
                                         const std::string& user, const std::string& password)
    : ServiceTableDB(host, path, user, password, "SmsRouting") {}

int ServiceSmsRoutingDB::CreateTable() {
    return createTable(
        db::SqlFormat("CREATE TABLE %s (nId INTEGER not null PRIMARY KEY,nPriority INTEGER NOT NULL "
                      "UNIQUE,sSender Char(30) NOT NULL,sLine Char(30) NOT NULL,sRecipients "
                      "VARCHAR(500) NOT NULL);",
                      TableName.c_str()),
        db::TriggerText(TableName, "nId", true));
}

std::string ServiceSmsRoutingDB::insertText(const std::string& key) const {
    return db::SqlFormat(
        "INSERT INTO %s (nId, nPriority, sSender, sLine, sRecipients) VALUES ('%s', '%s', '%s', "
        "'%s', '%s')",
        TableName.c_str(), Q(key).c_str(), db::NumberOrZero(nPriority).c_str(), Q(sSender).c_str(),
        Q(sLine).c_str(), Q(sRecipients).c_str());
}

int ServiceSmsRoutingDB::InsertDataWithId() {
    return insertWithNewKey(db::GeneratorQuery(TableName), "nId", nId,
                            [this](const std::string& key) { return insertText(key); });
}

int ServiceSmsRoutingDB::InsertDataGivenId() {
    return ExecuteSQL(insertText(nId));
}

int ServiceSmsRoutingDB::UpdateData() {
    return ExecuteSQL(
        db::SqlFormat("UPDATE %s SET nPriority='%s', sSender='%s', sLine='%s', sRecipients='%s' WHERE "
                      "nId='%s'; ",
                      TableName.c_str(), db::NumberOrZero(nPriority).c_str(), Q(sSender).c_str(),
                      Q(sLine).c_str(), Q(sRecipients).c_str(), Q(nId).c_str()));
}

int ServiceSmsRoutingDB::UpdatePriority() {
    return ExecuteSQL(db::SqlFormat("UPDATE %s SET nPriority='%s' WHERE nId='%s'; ", TableName.c_str(),
                                    db::NumberOrZero(nPriority).c_str(), Q(nId).c_str()));
}

int ServiceSmsRoutingDB::DeleteData() {
    return ExecuteSQL(db::SqlFormat("DELETE FROM %s  WHERE nId='%s'; ", TableName.c_str(), Q(nId).c_str()));
}
