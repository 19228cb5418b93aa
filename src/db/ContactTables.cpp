#include "db/ContactTables.h"

#include "base/TraceLabel.h"

ServiceContactsDB::ServiceContactsDB(const std::string& host, const std::string& path,
                                     const std::string& user, const std::string& password)
    : ServiceTableDB(host, path, user, password, "contactpriv") {}

int ServiceContactsDB::CreateTable() {
    return createTable(
        db::SqlFormat(
            "CREATE TABLE %s  (idContactPriv  INTEGER not null PRIMARY KEY,JOBPOSITION VARCHAR(45),name "
            "VARCHAR(45) NOT NULL,firstname VARCHAR(45),mobile VARCHAR(45),phone VARCHAR(45),home "
            "VARCHAR(45),mail VARCHAR(50),www VARCHAR(80),company VARCHAR(60),address VARCHAR(160),city "
            "VARCHAR(50),postcode VARCHAR(10),note VARCHAR(1000),CTIusers_nuserid  INTEGER not "
            "null,nGroupId INTEGER);",
            TableName.c_str()),
        db::TriggerText(TableName, "idContactPriv", false));
}

void ServiceContactsDB::TakeRow(const ContactRow& row) {
    nGroupId = std::to_string(row.nGroupId);
    JOBPOSITION = row.JobPosition;
    name = row.Name;
    firstname = row.FirstName;
    mobile = row.Mobile;
    phone = row.Phone;
    home = row.Home;
    mail = row.Mail;
    www = row.www;
    company = row.Company;
    address = row.Address;
    city = row.City;
    postcode = row.PostCode;
}

int ServiceContactsDB::InsertData() {
    return ExecuteSQL(db::SqlFormat(
        "INSERT INTO %s (JOBPOSITION, NAME, FIRSTNAME, MOBILE, PHONE, HOME, MAIL, WWW, COMPANY, ADDRESS, "
        "CITY, "
        "POSTCODE, NOTE, ctiusers_nuserid, nGroupId) VALUES ('%s', '%s', '%s', '%s', '%s', '%s', '%s', '%s', "
        "'%s', "
        "'%s', '%s', '%s', '%s', '%s', %s)",
        TableName.c_str(), Q(JOBPOSITION).c_str(), Q(name).c_str(), Q(firstname).c_str(), Q(mobile).c_str(),
        Q(phone).c_str(), Q(home).c_str(), Q(mail).c_str(), Q(www).c_str(), Q(company).c_str(),
        Q(address).c_str(), Q(city).c_str(), Q(postcode).c_str(), Q(note).c_str(), "0",
        db::NumberOrNull(nGroupId).c_str()));
}

int ServiceContactsDB::InsertDataWithId() {
    return insertWithNewKey(
        "SELECT GEN_ID(ID_CONTACTPRIV, 1) AS NEW_VALUE FROM RDB$DATABASE", "IDCONTACTPRIV", idContactPriv,
        [this](const std::string& key) {
            return db::SqlFormat(
                "INSERT INTO %s (IDCONTACTPRIV, JOBPOSITION, NAME, FIRSTNAME, MOBILE, PHONE,HOME, MAIL, WWW, "
                "COMPANY, ADDRESS, CITY, POSTCODE, NOTE, ctiusers_nuserid, nGroupId) VALUES (  '%s',   '%s', "
                "  "
                "'%s',   '%s',   '%s',   '%s',   '%s',   '%s',   '%s',   '%s',   '%s',   '%s',   '%s',   "
                "'%s',   "
                "'%s',   %s  )",
                TableName.c_str(), Q(key).c_str(), Q(JOBPOSITION).c_str(), Q(name).c_str(),
                Q(firstname).c_str(), Q(mobile).c_str(), Q(phone).c_str(), Q(home).c_str(), Q(mail).c_str(),
                Q(www).c_str(), Q(company).c_str(), Q(address).c_str(), Q(city).c_str(), Q(postcode).c_str(),
                Q(note).c_str(), "0", db::NumberOrNull(nGroupId).c_str());
        });
}

int ServiceContactsDB::UpdateData() {
    base::DebugTrace("ServiceContactsDB: UpdateData");
    return ExecuteSQL(db::SqlFormat(
        "UPDATE %s SET  JOBPOSITION='%s',  NAME='%s',  FIRSTNAME='%s',  MOBILE='%s',  PHONE='%s',  "
        "HOME='%s',  "
        "MAIL='%s',  WWW='%s',  COMPANY='%s',  ADDRESS='%s',  CITY='%s',  POSTCODE='%s',  NOTE='%s',  "
        "NGROUPID=%s  WHERE  IDCONTACTPRIV='%s'; ",
        TableName.c_str(), Q(JOBPOSITION).c_str(), Q(name).c_str(), Q(firstname).c_str(), Q(mobile).c_str(),
        Q(phone).c_str(), Q(home).c_str(), Q(mail).c_str(), Q(www).c_str(), Q(company).c_str(),
        Q(address).c_str(), Q(city).c_str(), Q(postcode).c_str(), Q(note).c_str(),
        db::NumberOrNull(nGroupId).c_str(), Q(idContactPriv).c_str()));
}

int ServiceContactsDB::DeleteData() {
    base::DebugTrace("ServiceContactsDB: DeleteData");
    if (idContactPriv.empty() || TableName.empty())
        return -1;
    return ExecuteSQL(db::SqlFormat("DELETE FROM %s  WHERE  IDCONTACTPRIV='%s'; ", TableName.c_str(),
                                    Q(idContactPriv).c_str()));
}

int ServiceContactsDB::DeleteAllData(const std::string& ownerId) {
    base::DebugTrace("ServiceContactsDB: DeleteAllData");
    if (ownerId.empty() || TableName.empty())
        return -1;
    return ExecuteSQL(db::SqlFormat("DELETE FROM %s  WHERE ctiusers_nuserid='%s'; ", TableName.c_str(),
                                    Q(ownerId).c_str()));
}

ServiceContactGroupsDB::ServiceContactGroupsDB(const std::string& host, const std::string& path,
                                               const std::string& user, const std::string& password)
    : ServiceTableDB(host, path, user, password, "ContactGroups") {}

int ServiceContactGroupsDB::CreateTable() {
    return createTable(
        "CREATE TABLE ContactGroups  (IDGROUP INTEGER not null PRIMARY KEY,  nUserId  INTEGER not "
        "null,  sGroupName Char(64) NOT NULL )",
        db::TriggerText(TableName, "idGroup", false));
}

int ServiceContactGroupsDB::InsertData() {
    return insertWithNewKey(
        db::GeneratorQuery(TableName), "idGroup", idGroup, [this](const std::string& key) {
            return db::SqlFormat("INSERT INTO %s (idGroup, nUserId, sGroupName) VALUES (  '%s' , 0,  '%s')",
                                 TableName.c_str(), Q(key).c_str(), Q(sGroupName).c_str());
        });
}

int ServiceContactGroupsDB::DeleteData(int groupId) {
    base::DebugTrace("ServiceContactGroupsDB: DeleteData");
    return ExecuteSQL(db::SqlFormat("DELETE FROM %s  WHERE  idGroup='%d'; ", TableName.c_str(), groupId));
}
