// The server's settings in force: every value of the settings store that the
// shell keeps (the SMS settings are the SMS gateway's). The settings table
// fills it with its defaults and the stored values at start-up, and the
// settings dialog changes it through the same table; the window and the
// hosts of the services read it.
#pragma once

#include <QDateTime>
#include <QTime>
#include <atomic>
#include <string>

namespace shell {

// Exchange codes of the PBX type in force (at most 9 characters each).
struct PabxMacrosSettings {
    std::string Redial;
    std::string Hold;
};

// The time-and-attendance database.
struct RcpDatabaseSettings {
    std::string User;
    std::string NameFB;
    std::string IPFB;
    std::string PasswordFB;
};

// The values start out empty: their defaults are the settings table's, put
// in place before the read.
struct ServerSettings {
    int PbxType{};
    int PbxPort{};
    int PortTCP{};
    int language{};
    int PortTCPCalBrowse{};
    int PortTCPCalSend{};
    bool CalendarServiceEnabled{};
    int PortTCP_CRM{};
    int MaxPolaczenCRM{};
    int PortUDP{};
    bool pytanieOwych{};
    // Read by the exchange link thread.
    std::atomic<bool> AutomPrzyw{};
    bool InsertIncomingFroRingGroup{};
    std::string Miedzy;
    std::string PrefiksMiedzynarodowy;
    std::string TCPCentr;
    int PortTCPCent{};
    bool PowiadORozlacz{};
    bool CRMsocketActive{};
    bool StartMinimized{};
    std::string GbakPathText;
    std::string BackupPathText;
    int AutoBackupPeriod{};
    bool AutoBackup{};
    bool CleanBeforeBackup{};
    bool UseVoiceMailPcti{};
    bool UsePctiClip{};
    QTime BackupTimeOfDay;
    QDateTime LastBackupTime;
    std::string IPFBaseText;
    std::string NameFBText;
    std::string PasswordFB;
    std::string UserFB;
    std::string BroadcastAddress;
    bool UseRCP{};
    RcpDatabaseSettings RcpDb;
    PabxMacrosSettings PabxMacros;
};

} // namespace shell
