// Settings that live outside the main window: the exchange's dialling macros,
// the SMS settings and the attendance database. Read once at start-up, written
// by the settings dialog.
#pragma once

#include <string>

// Exchange codes of the PBX type in force (at most 9 characters each).
struct PabxMacrosSettings {
    std::string Redial;
    std::string Hold;
};
extern PabxMacrosSettings PabxMacros;

struct SmsSettingsValues {
    bool UseSms = false;
    std::string CountryCode = "48";
    int MinCountryNumberLength = 9;
    int MaxCountryNumberLength = 9;
    bool RemoveCountryCode = true;
    bool ForceSynchronization = true;
    bool OutTrialsNoLimit = false; // stored as "OutTrialsLimit"
    int OutTrials = 5;
    int CountryNumberLength = 9;
    bool DynamicRoutingEnabled = false;
    int DynamicRoutingValidityPeriod = 86400;
};
extern SmsSettingsValues SmsSettings;

// The time-and-attendance database.
struct RcpDatabaseSettings {
    std::string User = "SYSDBA";
    std::string NameFB = "C:\\Program Files\\Selkod\\Baza\\Ikr.fbd";
    std::string IPFB;
    std::string PasswordFB = "plintaved";
};
extern RcpDatabaseSettings RcpDb;
extern bool UseRCP;
