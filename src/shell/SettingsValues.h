// Settings that live outside the main window: the exchange's dialling macros
// and the attendance database (the SMS settings are the SMS gateway's). Read
// once at start-up, written by the settings dialog; their defaults are the
// settings table's.
#pragma once

#include <string>

// Exchange codes of the PBX type in force (at most 9 characters each).
struct PabxMacrosSettings {
    std::string Redial;
    std::string Hold;
};
extern PabxMacrosSettings PabxMacros;

// The time-and-attendance database.
struct RcpDatabaseSettings {
    std::string User;
    std::string NameFB;
    std::string IPFB;
    std::string PasswordFB;
};
extern RcpDatabaseSettings RcpDb;
extern bool UseRCP;
