#include "shell/SettingsTable.h"

#include "platform/Clock.h"
#include "platform/WireCodePage.h"
#include "shell/FileLocations.h"
#include "shell/MainForm.h"
#include "sms/SmsGateway.h"

#include <QNetworkInterface>
#include <stdexcept>

namespace shell {
namespace {

const char* const MainKey = "\\software\\Vorlin\\Halvex";
const char* const DateTimeFormat = base::StoredDateTimeFormat;
constexpr std::size_t ShortTextLimit = 9;

using enum SettingsSection;
using enum SettingType;
using enum SettingReader;

SettingValue text(const char* value) {
    return std::string(value);
}

void assign(bool& field, const SettingValue& value) {
    field = std::get<bool>(value);
}
void assign(std::atomic<bool>& field, const SettingValue& value) {
    field = std::get<bool>(value);
}
void assign(int& field, const SettingValue& value) {
    field = std::get<int>(value);
}
void assign(std::string& field, const SettingValue& value) {
    field = std::get<std::string>(value);
}
SettingValue valueOf(bool field) {
    return field;
}
SettingValue valueOf(const std::atomic<bool>& field) {
    return field.load();
}
SettingValue valueOf(int field) {
    return field;
}
SettingValue valueOf(const std::string& field) {
    return field;
}

// The memory of a setting that is a plain field.
#define STORE(field) [](TForm1& f, const SettingValue& v) { (void)f, assign(field, v); }
#define LOAD(field) [](const TForm1& f) -> SettingValue { return (void)f, valueOf(field); }

// This computer's own address: the first IPv4 address that is not loopback,
// or a placeholder when it has none.
SettingValue ownHostAddress(const TForm1&) {
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback() &&
            address.toString().size() >= 7)
            return address.toString().toStdString();
    return text("192.168.1.1");
}

// Fixed-size texts of the original hold at most 9 characters; a longer
// stored text is cut, and the cut is logged.
std::string shortText(TForm1& form, const char* name, const SettingValue& value) {
    const std::string& stored = std::get<std::string>(value);
    if (platform::utf8Length(stored) <= ShortTextLimit)
        return stored;
    form.WriteLog(2, "Wartość %s jest dłuższa niż %u znaków i została obcięta", name,
                  unsigned(ShortTextLimit));
    return platform::utf8Left(stored, ShortTextLimit);
}
#define SHORT_TEXT(name, field)                                                                              \
    [](TForm1& f, const SettingValue& v) { (void)f, field = shortText(f, name, v); }, LOAD(field)

QTime timeOfDay(const std::string& stored) {
    const QTime time = base::TimeOfDayFromText(stored);
    return time.isValid() ? time : QTime(3, 0);
}

QDateTime dateAndTime(const std::string& stored) {
    const QDateTime when =
        QDateTime::fromString(QString::fromStdString(stored), QString::fromLatin1(DateTimeFormat));
    return when.isValid() ? when : platform::processClock().dateTime();
}

std::string broadcastFor(const std::string& host) {
    const auto dot = host.rfind('.');
    return dot == std::string::npos ? std::string("192.168.1.255") : host.substr(0, dot) + ".255";
}

const std::vector<Setting> Table = {
    {Main, "Centrala", Integer, I, 2, nullptr,
     [](TForm1& f, const SettingValue& v) {
         f.PbxType = std::get<int>(v);
         if (f.PbxType < 0 || f.PbxType > 5)
             f.PbxType = 2;
     },
     LOAD(f.PbxType)},
    {Main, "Port", Integer, I, 1, nullptr, STORE(f.PbxPort), LOAD(f.PbxPort)},
    {Main, "PortTCP", Integer, I, 1000, nullptr, STORE(f.PortTCP), LOAD(f.PortTCP)},
    {Main, "language", Integer, I, 0,
     [](const TForm1&) -> SettingValue { return TForm1::DefaultLanguageIndex(); }, STORE(f.language),
     LOAD(f.language), [](TForm1& f) { f.SetActiveLanguage(f.language); }},
    {Main, "PortTCPCalBrowse", Integer, I, 1005, nullptr, STORE(f.PortTCPCalBrowse),
     LOAD(f.PortTCPCalBrowse)},
    {Main, "PortTCPCalSend", Integer, I, 1006, nullptr, STORE(f.PortTCPCalSend), LOAD(f.PortTCPCalSend)},
    {Main, "CalendarServiceEnabled", Bool, B, true, nullptr, STORE(f.CalendarServiceEnabled),
     LOAD(f.CalendarServiceEnabled)},
    {Main, "PortTCP_CRM", Integer, I, 1010, nullptr, STORE(f.PortTCP_CRM), LOAD(f.PortTCP_CRM)},
    {Main, "MaxPolaczenCRM", Integer, I, 2, nullptr, STORE(f.MaxPolaczenCRM), LOAD(f.MaxPolaczenCRM)},
    {Main, "PortUDP", Integer, I, 1000, nullptr, STORE(f.PortUDP), LOAD(f.PortUDP)},
    {Main, "pytanieOwych", Bool, B, true, nullptr, STORE(f.pytanieOwych), LOAD(f.pytanieOwych)},
    {Main, "AutomPrzyw", Bool, B, true, nullptr, STORE(f.AutomPrzyw), LOAD(f.AutomPrzyw)},
    {Main, "InsertIncomingFroRingGroup", Bool, B, false, nullptr, STORE(f.InsertIncomingFroRingGroup),
     LOAD(f.InsertIncomingFroRingGroup)},
    {Main, "Miedzy", Text, S, text("0"), nullptr, SHORT_TEXT("Miedzy", f.Miedzy)},
    {Main, "PrefiksMiedzynarodowy", Text, S, text("000"), nullptr,
     SHORT_TEXT("PrefiksMiedzynarodowy", f.PrefiksMiedzynarodowy)},
    {Main, "TCPCentr", Text, D, text("192.168.1.250"), nullptr, STORE(f.TCPCentr), LOAD(f.TCPCentr)},
    {Main, "PortTCPCent", Integer, I, DefaultExchangePort, nullptr, STORE(f.PortTCPCent),
     LOAD(f.PortTCPCent)},
    {Main, "PowiadORozlacz", Bool, B, true, nullptr, STORE(f.PowiadORozlacz), LOAD(f.PowiadORozlacz)},
    {Main, "CRMsocketActive", Bool, B, false, nullptr, STORE(f.CRMsocketActive), LOAD(f.CRMsocketActive)},
    {Main, "StartMinimized", Bool, B, false, nullptr, STORE(f.StartMinimized), LOAD(f.StartMinimized)},
    {Main, "GbakPath", Text, A, text("/usr/bin/gbak"), nullptr, STORE(f.GbakPathText), LOAD(f.GbakPathText),
     nullptr, &TForm1::GbakPath},
    {Main, "BackupPath", Text, A, text(""), [](const TForm1&) -> SettingValue { return ProgramDirectory(); },
     STORE(f.BackupPathText), LOAD(f.BackupPathText), nullptr, &TForm1::BackupPath},
    {Main, "AutoBackupPeriod", Integer, I, 7, nullptr, STORE(f.AutoBackupPeriod), LOAD(f.AutoBackupPeriod)},
    {Main, "AutoBackup", Bool, B, true, nullptr, STORE(f.AutoBackup), LOAD(f.AutoBackup)},
    {Main, "CleanBeforeBackup", Bool, B, false, nullptr, STORE(f.CleanBeforeBackup),
     LOAD(f.CleanBeforeBackup)},
    {Main, "UseVoiceMailPcti", Bool, B, false, nullptr, STORE(f.UseVoiceMailPcti), LOAD(f.UseVoiceMailPcti)},
    {Main, "UsePctiClip", Bool, B, false, nullptr, STORE(f.UsePctiClip), LOAD(f.UsePctiClip)},
    // A text that does not convert gives the fallback in memory only.
    {Main, "timeBackupHour", Text, D, text("03:00"), nullptr,
     [](TForm1& f, const SettingValue& v) { f.BackupTimeOfDay = timeOfDay(std::get<std::string>(v)); },
     [](const TForm1& f) -> SettingValue {
         return f.BackupTimeOfDay.toString(QString::fromLatin1(base::StoredTimeOfDayFormat)).toStdString();
     }},
    {Main, "timeBackup", Text, D, text(""),
     [](const TForm1&) -> SettingValue {
         return platform::processClock()
             .dateTime()
             .toString(QString::fromLatin1(DateTimeFormat))
             .toStdString();
     },
     [](TForm1& f, const SettingValue& v) { f.LastBackupTime = dateAndTime(std::get<std::string>(v)); },
     [](const TForm1& f) -> SettingValue {
         return f.LastBackupTime.toString(QString::fromLatin1(DateTimeFormat)).toStdString();
     }},
    {Main, "IPFBase", Text, A, text(""), ownHostAddress, STORE(f.IPFBaseText), LOAD(f.IPFBaseText), nullptr,
     &TForm1::IPFBase},
    {Main, "NameFB", Text, A, text(""), [](const TForm1&) -> SettingValue { return DefaultDatabasePath(); },
     STORE(f.NameFBText), LOAD(f.NameFBText), nullptr, &TForm1::NameFB},
    {Main, "PasswordFB", EncipheredText, A, text(DefaultDbPassword), nullptr, STORE(f.PasswordFB),
     LOAD(f.PasswordFB), nullptr, &TForm1::UstawPasswordFB},
    {Main, "UserFB", Text, D, text("SYSDBA"), nullptr, STORE(f.UserFB), LOAD(f.UserFB),
     [](TForm1& f) { f.Clients().UstawKomunikatLP(); }},
    {Main, "Broadcast", Text, D, text(""),
     [](const TForm1& f) -> SettingValue { return broadcastFor(f.IPFBaseText); }, STORE(f.BroadcastAddress),
     LOAD(f.BroadcastAddress)},
    {Main, "UseRCP", Bool, B, false, nullptr, STORE(UseRCP), LOAD(UseRCP)},
    {Main, "RCP_User", Text, D, text("SYSDBA"), nullptr, STORE(RcpDb.User), LOAD(RcpDb.User)},
    {Main, "RCP_NameFB", Text, D, text("C:\\Program Files\\Selkod\\Baza\\Ikr.fbd"), nullptr,
     STORE(RcpDb.NameFB), LOAD(RcpDb.NameFB)},
    {Main, "RCP_IPFB", Text, A, text(""), ownHostAddress, STORE(RcpDb.IPFB), LOAD(RcpDb.IPFB), nullptr,
     &TForm1::RCP_IPFB},
    {Main, "RCP_PasswordFB", EncipheredText, A, text(DefaultDbPassword), nullptr, STORE(RcpDb.PasswordFB),
     LOAD(RcpDb.PasswordFB), nullptr, &TForm1::UstawRcpPasswordFB},

    {PabxMacros, "Redial", Text, D, text(""),
     [](const TForm1& f) -> SettingValue { return text(f.PbxType == 5 ? "*880" : "*90"); },
     SHORT_TEXT("Redial", ::PabxMacros.Redial)},
    {PabxMacros, "Hold", Text, D, text(""),
     [](const TForm1& f) -> SettingValue { return text(f.PbxType == 5 ? "*6" : " "); },
     SHORT_TEXT("Hold", ::PabxMacros.Hold)},

    {Sms, "UseSms", Bool, B, false, nullptr, STORE(f.Sms().SmsSettings.UseSms),
     LOAD(f.Sms().SmsSettings.UseSms)},
    {Sms, "CountryCode", Text, D, text("48"), nullptr, STORE(f.Sms().SmsSettings.CountryCode),
     LOAD(f.Sms().SmsSettings.CountryCode)},
    {Sms, "MinCountryNumberLength", Integer, I, 9, nullptr, STORE(f.Sms().SmsSettings.MinCountryNumberLength),
     LOAD(f.Sms().SmsSettings.MinCountryNumberLength)},
    {Sms, "MaxCountryNumberLength", Integer, I, 9, nullptr, STORE(f.Sms().SmsSettings.MaxCountryNumberLength),
     LOAD(f.Sms().SmsSettings.MaxCountryNumberLength)},
    {Sms, "RemoveCountryCode", Bool, B, true, nullptr, STORE(f.Sms().SmsSettings.RemoveCountryCode),
     LOAD(f.Sms().SmsSettings.RemoveCountryCode)},
    {Sms, "ForceSynchronization", Bool, B, true, nullptr, STORE(f.Sms().SmsSettings.ForceSynchronization),
     LOAD(f.Sms().SmsSettings.ForceSynchronization)},
    {Sms, "OutTrialsLimit", Bool, B, false, nullptr, STORE(f.Sms().SmsSettings.OutTrialsNoLimit),
     LOAD(f.Sms().SmsSettings.OutTrialsNoLimit)},
    {Sms, "OutTrials", Integer, I, 5, nullptr, STORE(f.Sms().SmsSettings.OutTrials),
     LOAD(f.Sms().SmsSettings.OutTrials)},
    {Sms, "CountryNumberLength", Integer, I, 9, nullptr, STORE(f.Sms().SmsSettings.CountryNumberLength),
     LOAD(f.Sms().SmsSettings.CountryNumberLength)},

    {DynamicRouting, "Enabled", Bool, B, false, nullptr, STORE(f.Sms().SmsSettings.DynamicRoutingEnabled),
     LOAD(f.Sms().SmsSettings.DynamicRoutingEnabled)},
    {DynamicRouting, "ValidityPeriod", Integer, I, 86400, nullptr,
     STORE(f.Sms().SmsSettings.DynamicRoutingValidityPeriod),
     LOAD(f.Sms().SmsSettings.DynamicRoutingValidityPeriod)},
};

#undef STORE
#undef LOAD
#undef SHORT_TEXT

} // namespace

const std::vector<Setting>& SettingsTable() {
    return Table;
}

const Setting& FindSetting(const std::string& name, SettingsSection section) {
    for (const Setting& setting : Table)
        if (setting.section == section && name == setting.name)
            return setting;
    throw std::out_of_range("No setting " + name);
}

std::string SettingsKeyPath(SettingsSection section, int pbxType) {
    switch (section) {
    case Main:
        return MainKey;
    case PabxMacros:
        return std::string(MainKey) + "\\PABX_MACROS\\" + std::to_string(pbxType);
    case Sms:
        return std::string(MainKey) + "\\SMS";
    case DynamicRouting:
        return std::string(MainKey) + "\\SMS\\DynamicRouting";
    }
    return MainKey;
}

void ApplySettingDefaults(TForm1& form, SettingsSection section) {
    for (const Setting& setting : Table)
        if (setting.section == section)
            setting.store(form, setting.defaultFor(form));
}

} // namespace shell
