#include "db/CallHistoryTables.h"

#include "base/TraceLabel.h"
#include "db/RowLookup.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

constexpr std::size_t NumberColumnLength = 32;
constexpr const char* IncomingTable = "TalksIncoming";
constexpr const char* OutgoingTable = "TalksOutgoing";

// A call-history table made just now gets the index of its rows' marks.
int withRowMarkIndex(ServiceTableDB& table, int created) {
    return created != 0 ? created : table.ExecuteDDL(db::RowMarkIndexStatement(table.TableName));
}

std::string numberValue(const std::string& number) {
    return db::CutText(number, NumberColumnLength);
}

// nLength is an INTEGER: a longer call (or a wrapped negative difference of
// clocks) would make the server refuse the whole row.
unsigned lengthValue(unsigned seconds) {
    return std::min<unsigned>(seconds, unsigned(std::numeric_limits<int32_t>::max()));
}

} // namespace

ServiceTalkInDB::ServiceTalkInDB(const std::string& host, const std::string& path, const std::string& user,
                                 const std::string& password)
    : ServiceTableDB(host, path, user, password, IncomingTable) {}

int ServiceTalkInDB::CreateTable() {
    return withRowMarkIndex(
        *this, createTable(db::SqlFormat(
                               "CREATE TABLE %s            (nID INTEGER not null PRIMARY KEY,  sUserPhone "
                               "Char(32) not null,            sDate DATE,        sTime TIME,        sNumber "
                               "Char(32),   sLinia  Char(32),  nLength INTEGER, %s )",
                               TableName.c_str(), db::RowMarkDefinition),
                           db::TriggerText(TableName, "NID", false)));
}

int ServiceTalkInDB::InsertData(const Extension& extension, const OtherNumber& number, const CallDate& date,
                                const CallTime& time, unsigned length) {
    return ExecuteSQL(InsertStatement(extension, number, date, time, length));
}

std::string ServiceTalkInDB::InsertStatement(const Extension& extension, const OtherNumber& number,
                                             const CallDate& date, const CallTime& time, unsigned length) {
    return db::SqlFormat("INSERT INTO %s (sUserPhone, sDate, sTime, sNumber, sLinia, nLength, %s) VALUES ( "
                         "'%s',  '%s',  '%s',  '%s',  '1',  %u,  '%s'  )",
                         IncomingTable, db::RowMarkColumn, numberValue(extension.value).c_str(),
                         Q(date.value).c_str(), Q(time.value).c_str(), numberValue(number.value).c_str(),
                         lengthValue(length), db::NewRowMark().c_str());
}

std::string ServiceTalkInDB::WithColumnsNamed(const std::string& statement) {
    const std::string earlier = db::SqlFormat("INSERT INTO %s VALUES", IncomingTable);
    if (statement.rfind(earlier, 0) != 0)
        return statement;
    return db::SqlFormat("INSERT INTO %s (nID, sUserPhone, sDate, sTime, sNumber, sLinia, nLength) VALUES",
                         IncomingTable) +
           statement.substr(earlier.size());
}

ServiceTalkOutDB::ServiceTalkOutDB(const std::string& host, const std::string& path, const std::string& user,
                                   const std::string& password)
    : ServiceTableDB(host, path, user, password, OutgoingTable) {}

int ServiceTalkOutDB::CreateTable() {
    return withRowMarkIndex(
        *this,
        createTable(db::SqlFormat("CREATE TABLE %s            (nID INTEGER not null PRIMARY KEY,  sUserPhone "
                                  "Char(32) not null,            sDate DATE,  sTime TIME,        sNumber "
                                  "Char(32),   sLinia  Char(32),   nLength  INTEGER,   nTaryfa  INTEGER,   "
                                  "nImpuls INTEGER,   nNetto FLOAT,  nVat  FLOAT, %s )",
                                  TableName.c_str(), db::RowMarkDefinition),
                    db::TriggerText(TableName, "NID", false)));
}

int ServiceTalkOutDB::CreateView() {
    return ExecuteSQL(
        "CREATE VIEW historyout (nid, sdate, stime, suserphone, snumber, nLength, nuserid) as SELECT "
        "TALKSOUTGOING.NID, TALKSOUTGOING.SDATE, TALKSOUTGOING.STIME, TALKSOUTGOING.SUSERPHONE, "
        "TALKSOUTGOING.SNUMBER, TALKSOUTGOING.nLength, USERPHONESANDNAME.NUSERID FROM TALKSOUTGOING, "
        "USERPHONESANDNAME WHERE TALKSOUTGOING.SUSERPHONE = USERPHONESANDNAME.SUSERPHONE;");
}

int ServiceTalkOutDB::InsertData(const Extension& extension, const OtherNumber& number, const CallDate& date,
                                 const CallTime& time, unsigned length) {
    return ExecuteSQL(InsertStatement(extension, number, date, time, length));
}

std::string ServiceTalkOutDB::InsertStatement(const Extension& extension, const OtherNumber& number,
                                              const CallDate& date, const CallTime& time, unsigned length) {
    return db::SqlFormat("INSERT INTO %s (sUserPhone, sDate, sTime, nLength, sNumber, %s) VALUES ( '%s',  "
                         "'%s',  '%s',  %u,  '%s',  '%s'  )",
                         OutgoingTable, db::RowMarkColumn, numberValue(extension.value).c_str(),
                         Q(date.value).c_str(), Q(time.value).c_str(), lengthValue(length),
                         numberValue(number.value).c_str(), db::NewRowMark().c_str());
}

ServiceHistoryInView::ServiceHistoryInView(const std::string& host, const std::string& path,
                                           const std::string& user, const std::string& password)
    : ServiceTableDB(host, path, user, password, "HistoryIn") {}

int ServiceHistoryInView::CreateView() {
    base::DebugTrace("ServiceHistoryInView::CreateView()");
    return ExecuteSQL(db::SqlFormat(
        "CREATE VIEW %s (nid, sdate, stime, suserphone, snumber, nLength, nuserid) as SELECT "
        "TALKSINCOMING.NID, "
        "TALKSINCOMING.SDATE, TALKSINCOMING.STIME, TALKSINCOMING.SUSERPHONE, TALKSINCOMING.SNUMBER, "
        "TALKSINCOMING.nLength, USERPHONESANDNAME.NUSERID FROM TALKSINCOMING, USERPHONESANDNAME WHERE "
        "TALKSINCOMING.SUSERPHONE = USERPHONESANDNAME.SUSERPHONE;",
        TableName.c_str()));
}

ServiceUserPhonesView::ServiceUserPhonesView(const std::string& host, const std::string& path,
                                             const std::string& user, const std::string& password)
    : ServiceTableDB(host, path, user, password, "UserPhonesAndName") {}

int ServiceUserPhonesView::CreateView() {
    return ExecuteSQL(db::SqlFormat(
        "CREATE VIEW %s  "
        "(NUSERID,SUSERPHONE,SUSERPHONENAME,SUSERNAME,SUSERLOGIN,SUSERPASSWORD,NGROUPID,SUSERIP,SSTATUS,"
        "LastSeenDate,"
        "LastSeenTime) AS SELECT DISTINCT "
        "USERPHONES.NUSERID,USERPHONES.SUSERPHONE,USERPHONES.SUSERPHONENAME, "
        "CTIusers.SUSERNAME, CTIusers.SUSERLOGIN, "
        "CTIusers.SUSERPASSWORD,CTIusers.NGROUPID,CTIusers.SUSERIP,CTIusers.SSTATUS,CTIusers.LastSeenDate, "
        "CTIusers.LastSeenTime FROM USERPHONES,CTIusers WHERE  USERPHONES.NUSERID=CTIusers.NUSERID",
        TableName.c_str()));
}

ServiceUserAndGroupView::ServiceUserAndGroupView(const std::string& host, const std::string& path,
                                                 const std::string& user, const std::string& password)
    : ServiceTableDB(host, path, user, password, "UserAndGroup") {}

int ServiceUserAndGroupView::CreateView() {
    return ExecuteSQL(db::SqlFormat(
        "CREATE VIEW %s   (NUSERID, SUSERNAME, SUSERLASTNAME, SUSERLOGIN, SUSERPASSWORD, SGROUPNAME, "
        "SUSERIP, "
        "sRCPcard, SSTATUS, LASTSEENDATE, LASTSEENTIME, NPRIVILEGES) AS SELECT CTIUSERS.NUSERID, "
        "CTIUSERS.SUSERNAME, CTIUSERS.SUSERLASTNAME, CTIUSERS.SUSERLOGIN, CTIUSERS.SUSERPASSWORD, "
        "usergroups.sGroupName, CTIUSERS.SUSERIP, CTIUSERS.sRCPcard, CTIUSERS.SSTATUS, "
        "CTIUSERS.LASTSEENDATE, "
        "CTIUSERS.LASTSEENTIME, CTIUSERS.NPRIVILEGES FROM CTIusers LEFT JOIN Usergroups ON  "
        "CTIUSERS.NGROUPID=UserGroups.idGroup;",
        TableName.c_str()));
}
