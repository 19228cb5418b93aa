// The shared contact base (contactpriv) and its groups (ContactGroups).
// Text fields hold plain text; each statement quotes them itself.
#pragma once

#include "db/QueryRows.h"
#include "db/TableClass.h"

class ServiceContactsDB : public ServiceTableDB {
  public:
    ServiceContactsDB(const std::string& host, const std::string& path, const std::string& user,
                      const std::string& password);
    int CreateTable();
    // The key comes from the trigger; the object does not learn it.
    int InsertData();
    // Draws the key from ID_CONTACTPRIV into idContactPriv first.
    int InsertDataWithId();
    int UpdateData();
    // -1 without a statement when idContactPriv is empty.
    int DeleteData();
    // Deletes every contact of one owner ("0": the shared base).
    int DeleteAllData(const std::string& ownerId);
    // Takes the group and the fields of a contact row (the note and the key
    // are not in it).
    void TakeRow(const ContactRow& row);

    std::string idContactPriv, nGroupId, JOBPOSITION, name, firstname, mobile, phone, home, mail, www,
        company, address, city, postcode, note;
};

class ServiceContactGroupsDB : public ServiceTableDB {
  public:
    ServiceContactGroupsDB(const std::string& host, const std::string& path, const std::string& user,
                           const std::string& password);
    int CreateTable();
    // Draws the key into idGroup and stores the group for user 0.
    int InsertData();
    int DeleteData(int groupId);

    std::string idGroup, sGroupName;
};
