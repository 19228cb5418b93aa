// Settings that live outside the main window: the exchange's dialling macros,
// the SMS settings and the attendance database. Read once at start-up, written
// by the settings dialog; their defaults are the settings table's.
#pragma once

#include <string>

// Exchange codes of the PBX type in force (at most 9 characters each).
struct PabxMacrosSettings {
    std::string Redial;
    std::string Hold;
};
extern PabxMacrosSettings PabxMacros;

struct SmsSettingsValues {
    bool UseSms{};
    std::string CountryCode;
    int MinCountryNumberLength{};
    int MaxCountryNumberLength{};
    bool RemoveCountryCode{};
    bool ForceSynchronization{};
    bool OutTrialsNoLimit{}; // stored as "OutTrialsLimit"
    int OutTrials{};
    int CountryNumberLength{};
    bool DynamicRoutingEnabled{};
    int DynamicRoutingValidityPeriod{};
};
extern SmsSettingsValues SmsSettings;

// The time-and-attendance database.
struct RcpDatabaseSettings {
    std::string User;
    std::string NameFB;
    std::string IPFB;
    std::string PasswordFB;
};
extern RcpDatabaseSettings RcpDb;
extern bool UseRCP;
