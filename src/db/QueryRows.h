// Rows that typed queries fill: the shared contact list and the SMS routing
// rules.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One shared contact as the contact list holds it.
struct ContactRow {
    std::string idContactPriv;
    int32_t nGroupId = 0;
    std::string Name;
    std::string JobPosition;
    std::string FirstName;
    std::string Phone;
    std::string Home;
    std::string Mobile;
    std::string Mail;
    std::string www;
    std::string Company;
    std::string Address;
    std::string City;
    std::string PostCode;
};

// One rule that routes received SMS to users.
struct ROUTING_RULE {
    int32_t nId = 0;
    int32_t nPriority = 0;
    std::string sSender;
    std::string sLine;
    std::vector<int32_t> sRecipients;
};

// A query's rows as column name to value.
using QueryRow = std::map<std::string, std::string>;
