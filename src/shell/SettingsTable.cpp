#include "shell/SettingsTable.h"

#include "base/SettingsBranch.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"
#include "shell/FileLocations.h"
#include "shell/MainForm.h"
#include "sms/SmsGateway.h"

#include <QNetworkInterface>
#include <algorithm>
#include <stdexcept>

namespace shell {
namespace {

const char* const MainKey = base::SettingsMainKey;
const char* const DateTimeFormat = base::StoredDateTimeFormat;
constexpr std::size_t ShortTextLimit = base::ShortTextLimit;

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

// The memory of a setting that is a plain value: one of the shell's settings,
// or one of the SMS gateway's.
#define STORE(field) [](TForm1& f, const SettingValue& v) { assign(field, v); }
#define LOAD(field) [](const TForm1& f) -> SettingValue { return valueOf(field); }
#define VALUE(member) STORE(f.Settings.member), LOAD(f.Settings.member)
#define SMS_VALUE(member) STORE(f.Sms().SmsSettings.member), LOAD(f.Sms().SmsSettings.member)

// This computer's own address: the first IPv4 address that is not loopback,
// or a placeholder when it has none.
SettingValue ownHostAddress(const ServerSettings&) {
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
#define SHORT_TEXT(name, member)                                                                             \
    [](TForm1& f, const SettingValue& v) { f.Settings.member = shortText(f, name, v); },                     \
        LOAD(f.Settings.member)

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
         int& pbxType = f.Settings.PbxType;
         pbxType = std::get<int>(v);
         if (pbxType < 0 || pbxType > 5)
             pbxType = 2;
     },
     LOAD(f.Settings.PbxType)},
    {Main, "Port", Integer, I, 1, nullptr, VALUE(PbxPort)},
    {Main, "PortTCP", Integer, I, 1000, nullptr, VALUE(PortTCP)},
    {Main, "language", Integer, I, 0,
     [](const ServerSettings&) -> SettingValue { return TForm1::DefaultLanguageIndex(); }, VALUE(language),
     [](TForm1& f) { f.SetActiveLanguage(f.Settings.language); }},
    {Main, "PortTCPCalBrowse", Integer, I, 1005, nullptr, VALUE(PortTCPCalBrowse)},
    {Main, "PortTCPCalSend", Integer, I, 1006, nullptr, VALUE(PortTCPCalSend)},
    {Main, "CalendarServiceEnabled", Bool, B, true, nullptr, VALUE(CalendarServiceEnabled)},
    {Main, "PortTCP_CRM", Integer, I, 1010, nullptr, VALUE(PortTCP_CRM)},
    {Main, "MaxPolaczenCRM", Integer, I, 2, nullptr, VALUE(MaxPolaczenCRM)},
    {Main, "PortUDP", Integer, I, 1000, nullptr, VALUE(PortUDP)},
    {Main, "pytanieOwych", Bool, B, true, nullptr, VALUE(pytanieOwych)},
    {Main, "AutomPrzyw", Bool, B, true, nullptr, VALUE(AutomPrzyw)},
    {Main, "InsertIncomingFroRingGroup", Bool, B, false, nullptr, VALUE(InsertIncomingFroRingGroup)},
    {Main, "Miedzy", Text, S, text("0"), nullptr, SHORT_TEXT("Miedzy", Miedzy)},
    {Main, "PrefiksMiedzynarodowy", Text, S, text("000"), nullptr,
     SHORT_TEXT("PrefiksMiedzynarodowy", PrefiksMiedzynarodowy)},
    {Main, "TCPCentr", Text, D, text("192.168.1.250"), nullptr, VALUE(TCPCentr)},
    {Main, "PortTCPCent", Integer, I, DefaultExchangePort, nullptr, VALUE(PortTCPCent)},
    {Main, "PowiadORozlacz", Bool, B, true, nullptr, VALUE(PowiadORozlacz)},
    {Main, "CRMsocketActive", Bool, B, false, nullptr, VALUE(CRMsocketActive)},
    {Main, "StartMinimized", Bool, B, false, nullptr, VALUE(StartMinimized)},
    {Main, "GbakPath", Text, A, text("/usr/bin/gbak"), nullptr, VALUE(GbakPathText), nullptr,
     &TForm1::GbakPath},
    {Main, "BackupPath", Text, A, text(""),
     [](const ServerSettings&) -> SettingValue { return ProgramDirectory(); }, VALUE(BackupPathText), nullptr,
     &TForm1::BackupPath},
    {Main, "AutoBackupPeriod", Integer, I, 7, nullptr, VALUE(AutoBackupPeriod)},
    {Main, "AutoBackup", Bool, B, true, nullptr, VALUE(AutoBackup)},
    {Main, "CleanBeforeBackup", Bool, B, false, nullptr, VALUE(CleanBeforeBackup)},
    {Main, "UseVoiceMailPcti", Bool, B, false, nullptr, VALUE(UseVoiceMailPcti)},
    {Main, "UsePctiClip", Bool, B, false, nullptr, VALUE(UsePctiClip)},
    // A text that does not convert gives the fallback in memory only.
    {Main, "timeBackupHour", Text, D, text("03:00"), nullptr,
     [](TForm1& f, const SettingValue& v) {
         f.Settings.BackupTimeOfDay = timeOfDay(std::get<std::string>(v));
     },
     [](const TForm1& f) -> SettingValue {
         return f.Settings.BackupTimeOfDay.toString(QString::fromLatin1(base::StoredTimeOfDayFormat))
             .toStdString();
     }},
    {Main, "timeBackup", Text, D, text(""),
     [](const ServerSettings&) -> SettingValue {
         return platform::processClock()
             .dateTime()
             .toString(QString::fromLatin1(DateTimeFormat))
             .toStdString();
     },
     [](TForm1& f, const SettingValue& v) {
         f.Settings.LastBackupTime = dateAndTime(std::get<std::string>(v));
     },
     [](const TForm1& f) -> SettingValue {
         return f.Settings.LastBackupTime.toString(QString::fromLatin1(DateTimeFormat)).toStdString();
     }},
    {Main, "IPFBase", Text, A, text(""), ownHostAddress, VALUE(IPFBaseText), nullptr, &TForm1::IPFBase},
    {Main, "NameFB", Text, A, text(""),
     [](const ServerSettings&) -> SettingValue { return DefaultDatabasePath(); }, VALUE(NameFBText), nullptr,
     &TForm1::NameFB},
    {Main, "PasswordFB", EncipheredText, A, text(DefaultDbPassword), nullptr, VALUE(PasswordFB), nullptr,
     &TForm1::UstawPasswordFB},
    {Main, "UserFB", Text, D, text("SYSDBA"), nullptr, VALUE(UserFB),
     [](TForm1& f) { f.Clients().UstawKomunikatLP(); }},
    {Main, "Broadcast", Text, D, text(""),
     [](const ServerSettings& s) -> SettingValue { return broadcastFor(s.IPFBaseText); },
     VALUE(BroadcastAddress)},
    {Main, "UseRCP", Bool, B, false, nullptr, VALUE(UseRCP)},
    {Main, "RCP_User", Text, D, text("SYSDBA"), nullptr, VALUE(RcpDb.User)},
    {Main, "RCP_NameFB", Text, D, text("C:\\Program Files\\Selkod\\Baza\\Ikr.fbd"), nullptr,
     VALUE(RcpDb.NameFB)},
    {Main, "RCP_IPFB", Text, A, text(""), ownHostAddress, VALUE(RcpDb.IPFB), nullptr, &TForm1::RCP_IPFB},
    {Main, "RCP_PasswordFB", EncipheredText, A, text(DefaultDbPassword), nullptr, VALUE(RcpDb.PasswordFB),
     nullptr, &TForm1::UstawRcpPasswordFB},

    {PabxMacros, "Redial", Text, D, text(""),
     [](const ServerSettings& s) -> SettingValue { return text(s.PbxType == 5 ? "*880" : "*90"); },
     SHORT_TEXT("Redial", PabxMacros.Redial)},
    {PabxMacros, "Hold", Text, D, text(""),
     [](const ServerSettings& s) -> SettingValue { return text(s.PbxType == 5 ? "*6" : " "); },
     SHORT_TEXT("Hold", PabxMacros.Hold)},

    {Sms, "UseSms", Bool, B, false, nullptr, SMS_VALUE(UseSms)},
    {Sms, "CountryCode", Text, D, text("48"), nullptr, SMS_VALUE(CountryCode)},
    {Sms, "MinCountryNumberLength", Integer, I, 9, nullptr, SMS_VALUE(MinCountryNumberLength)},
    {Sms, "MaxCountryNumberLength", Integer, I, 9, nullptr, SMS_VALUE(MaxCountryNumberLength)},
    {Sms, "RemoveCountryCode", Bool, B, true, nullptr, SMS_VALUE(RemoveCountryCode)},
    {Sms, "ForceSynchronization", Bool, B, true, nullptr, SMS_VALUE(ForceSynchronization)},
    {Sms, "OutTrialsLimit", Bool, B, false, nullptr, SMS_VALUE(OutTrialsNoLimit)},
    {Sms, "OutTrials", Integer, I, 5, nullptr, SMS_VALUE(OutTrials)},
    {Sms, "CountryNumberLength", Integer, I, 9, nullptr, SMS_VALUE(CountryNumberLength)},

    {DynamicRouting, "Enabled", Bool, B, false, nullptr, SMS_VALUE(DynamicRoutingEnabled)},
    {DynamicRouting, "ValidityPeriod", Integer, I, 86400, nullptr, SMS_VALUE(DynamicRoutingValidityPeriod)},
};

#undef STORE
#undef LOAD
#undef VALUE
#undef SMS_VALUE
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

bool IsEncipheredSetting(const std::string& name) {
    return std::any_of(Table.begin(), Table.end(), [&](const Setting& setting) {
        return setting.type == EncipheredText &&
               QString::fromStdString(name).compare(QLatin1String(setting.name), Qt::CaseInsensitive) == 0;
    });
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
            setting.store(form, setting.defaultFor(form.Settings));
}

} // namespace shell
