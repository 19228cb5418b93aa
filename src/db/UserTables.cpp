#include "db/UserTables.h"

#include "base/TraceLabel.h"

ServiceUseresDB::ServiceUseresDB(const std::string& host, const std::string& path, const std::string& user,
                                 const std::string& password)
    : ServiceTableDB(host, path, user, password, "CTIusers") {}

int ServiceUseresDB::CreateTable() {
    return createTable(
        db::SqlFormat(
            "CREATE TABLE %s  ( nUserID INTEGER not null PRIMARY KEY,  sUserName  Char(64),  "
            "sUserLastName  Char(32),  sUserLogin Char(32) not null,  sUserPassword Char(32) not null,  "
            "nGroupID  INTEGER,  sUserIP Char(16) ,  sRCPcard Char(16) ,  sStatus Char(255) ,  "
            "lastSeenDate DATE,  lastSeenTime TIME,  NPRIVILEGES Integer)",
            TableName.c_str()),
        db::TriggerText(TableName, "nUserID", false));
}

int ServiceUseresDB::InsertData() {
    base::DebugTrace("ServiceUseresDB: InsertData");
    return ExecuteSQL(
        db::SqlFormat("INSERT INTO %s VALUES (  NULL ,   '%s',   '%s',   '%s',   '%s',   '%d',   '%s',   "
                      "'%s',   '%s',   'NOW',   'NOW',   '%d'  )",
                      TableName.c_str(), Q(sUserName).c_str(), Q(sUserLastName).c_str(),
                      Q(sUserLogin).c_str(), Q(sUserPassword).c_str(), nGroupID, Q(sUserIP).c_str(),
                      Q(sRCPcard).c_str(), Q(sStatus).c_str(), nPrivileges));
}

int ServiceUseresDB::UpdateData() {
    base::DebugTrace("ServiceUseresDB: UpdateData");
    return ExecuteSQL(db::SqlFormat("UPDATE %s SET  sUserName='%s',  sUserLastName='%s',  sUserLogin='%s',   "
                                    "     sUserPassword='%s',     "
                                    "sUserIP='%s',           sRCPcard='%s',           nPrivileges='%d',      "
                                    "     nGroupID='%d',           "
                                    "sStatus='%s'            WHERE  nUserID='%d'; ",
                                    TableName.c_str(), Q(sUserName).c_str(), Q(sUserLastName).c_str(),
                                    Q(sUserLogin).c_str(), Q(sUserPassword).c_str(), Q(sUserIP).c_str(),
                                    Q(sRCPcard).c_str(), nPrivileges, nGroupID, Q(sStatus).c_str(), nUserID));
}

int ServiceUseresDB::DeleteData() {
    return ExecuteSQL(db::SqlFormat("DELETE FROM %s  WHERE  nUserID='%d'; ", TableName.c_str(), nUserID));
}

int ServiceUseresDB::CheckExistUser(const std::string& login) {
    return ExecuteSQL(db::SqlFormat("Select nUserID FROM %s  WHERE  sUserLogin='%s'; ", TableName.c_str(),
                                    Q(login).c_str()));
}

ServiceUserPhonesDB::ServiceUserPhonesDB(const std::string& host, const std::string& path,
                                         const std::string& user, const std::string& password)
    : ServiceTableDB(host, path, user, password, "UserPhones") {}

int ServiceUserPhonesDB::CreateTable() {
    return createTable(
        db::SqlFormat("CREATE TABLE %s             (nID INTEGER not null PRIMARY KEY,  nUserID "
                      "INTEGER not null,            sUserPhone Char(32) not null UNIQUE,        "
                      "sUserPhoneName Char(32) )",
                      TableName.c_str()),
        db::TriggerText(TableName, "NID", false));
}

int ServiceUserPhonesDB::InsertData() {
    base::DebugTrace("ServiceUserPhonesDB: InsertData");
    return ExecuteSQL(db::SqlFormat("INSERT INTO %s VALUES (  NULL ,   '%d',   '%s',   '%s'  )",
                                    TableName.c_str(), nUserID, Q(sUserPhone).c_str(),
                                    Q(sUserPhoneName).c_str()));
}

int ServiceUserPhonesDB::UpdateData() {
    base::DebugTrace("ServiceUserPhonesDB: UpdateData");
    return ExecuteSQL(
        db::SqlFormat("UPDATE %s SET  sUserPhoneName='%s', sUserPhone='%s'       WHERE  nID='%s'; ",
                      TableName.c_str(), Q(sUserPhoneName).c_str(), Q(sUserPhone).c_str(), Q(nID).c_str()));
}

int ServiceUserPhonesDB::DeleteData() {
    base::DebugTrace("ServiceUserPhonesDB: DeleteData");
    return ExecuteSQL(
        db::SqlFormat("DELETE FROM %s  WHERE  SUSERPHONE='%s'; ", TableName.c_str(), Q(sUserPhone).c_str()));
}

int ServiceUserPhonesDB::DeleteUserPhones() {
    base::DebugTrace("ServiceUserPhonesDB: DeleteData");
    return ExecuteSQL(db::SqlFormat("DELETE FROM %s  WHERE  nUserID='%d'; ", TableName.c_str(), nUserID));
}

int ServiceUserPhonesDB::CheckExistPhone(const std::string& number) {
    base::DebugTrace("ServiceUserPhonesDB: CheckExistPhone");
    ExecuteSQL(
        db::SqlFormat("Select nID FROM %s  WHERE  sUserPhone='%s'; ", TableName.c_str(), Q(number).c_str()));
    return 0;
}

ServiceUserGroupsDB::ServiceUserGroupsDB(const std::string& host, const std::string& path,
                                         const std::string& user, const std::string& password)
    : ServiceTableDB(host, path, user, password, "UserGroups") {}

int ServiceUserGroupsDB::CreateTable() {
    return createTable(
        "CREATE TABLE UserGroups  (IDGROUP INTEGER not null PRIMARY KEY,  sGroupName Char(64) UNIQUE )",
        db::TriggerText(TableName, "idGroup", false));
}

int ServiceUserGroupsDB::InsertData() {
    base::DebugTrace("ServiceUserGroupsDB: InsertData");
    return ExecuteSQL(db::SqlFormat("INSERT INTO %s (idGroup, sGroupName) VALUES (  NULL,   '%s'  )",
                                    TableName.c_str(), Q(sGroupName).c_str()));
}

int ServiceUserGroupsDB::DeleteData(int groupId) {
    base::DebugTrace("ServiceUserGroupsDB: DeleteData");
    return ExecuteSQL(db::SqlFormat("DELETE FROM %s  WHERE  idGroup='%d'; ", TableName.c_str(), groupId));
}

int ServiceUserGroupsDB::CheckExistGroup(const std::string& groupName) {
    base::DebugTrace("ServiceUserGroupsDB: CheckExistGroup");
    return ExecuteSQL(db::SqlFormat("Select idGroup FROM %s  WHERE  sGroupName='%s'; ", TableName.c_str(),
                                    Q(groupName).c_str()));
}
