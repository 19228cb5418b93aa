// Users of the telephony clients (CTIusers), their extensions (UserPhones)
// and the user groups (UserGroups). Text fields hold plain text; each
// statement quotes them itself.
#pragma once

#include "db/TableClass.h"

class ServiceUseresDB : public ServiceTableDB {
  public:
    ServiceUseresDB(const std::string& host, const std::string& path, const std::string& user,
                    const std::string& password);
    int CreateTable();
    // The key comes from the trigger; last seen is the moment of the insert.
    int InsertData();
    int UpdateData();
    int DeleteData();
    // The nUserID of every user with the login goes to the result targets.
    int CheckExistUser(const std::string& login);

    int nUserID = 0;
    std::string sUserName, sUserLastName, sUserLogin;
    std::string sUserPassword; // MD5 digest, 32 hex digits
    int nGroupID = 0;
    std::string sUserIP, sRCPcard, sStatus;
    int nPrivileges = 0;
};

class ServiceUserPhonesDB : public ServiceTableDB {
  public:
    ServiceUserPhonesDB(const std::string& host, const std::string& path, const std::string& user,
                        const std::string& password);
    int CreateTable();
    int InsertData();
    int UpdateData();
    // Deletes the phone whose number is sUserPhone.
    int DeleteData();
    // Deletes every phone of nUserID.
    int DeleteUserPhones();
    // The nID of that number's row goes to the result targets; always 0.
    int CheckExistPhone(const std::string& number);

    std::string nID;
    int nUserID = 0;
    std::string sUserPhone, sUserPhoneName;
};

class ServiceUserGroupsDB : public ServiceTableDB {
  public:
    ServiceUserGroupsDB(const std::string& host, const std::string& path, const std::string& user,
                        const std::string& password);
    int CreateTable();
    int InsertData();
    int DeleteData(int groupId);
    int CheckExistGroup(const std::string& name);

    std::string sGroupName;
};
