// The settings store: every setting is read once at start-up, and every
// missing value is created with its default so that after the first start
// the store holds a complete, editable configuration.
#include "shell/MainForm.h"

#include "platform/WireCodePage.h"
#include "shell/FileLocations.h"
#include "shell/PasswordCodec.h"
#include "shell/TraceLabel.h"
#include "ui/Dialogs.h"

#include <QNetworkInterface>

namespace {

const char* const MainKey = "\\software\\Vorlin\\Halvex";
const char* const DefaultDbPassword = "plintaved";
const char* const DateTimeFormat = "yyyy-MM-dd HH:mm:ss";
constexpr std::size_t ShortTextLimit = 9;
const char* const DefaultGbakPath = "/usr/bin/gbak";

const char* yesNo(bool value) {
    return value ? "true" : "false";
}

// This computer's own address: the first IPv4 address that is not loopback.
std::string OwnIpv4Address() {
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString().toStdString();
    return {};
}

// The default host of a database: this computer's own address, or a
// placeholder when it has none.
std::string DefaultHostAddress() {
    std::string address = OwnIpv4Address();
    if (address.size() < 7)
        address = "192.168.1.1";
    return address;
}

PabxMacrosSettings DefaultPabxMacros(int pbxType) {
    return pbxType == 5 ? PabxMacrosSettings{"*880", "*6"} : PabxMacrosSettings{"*90", " "};
}

bool isCipherText(const std::string& text) {
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

} // namespace

// ---- single values ----

bool TForm1::RegReadBool(const std::string& name, bool defaultValue) {
    try {
        const bool value = SettingsRegistry->ReadBool(name);
        WriteLog(1, "Odczyt wartości %s = %s z rejestru", name.c_str(), yesNo(value));
        return value;
    } catch (const platform::RegistryError&) {
        if (!SettingsReadOnly)
            SettingsRegistry->WriteBool(name, defaultValue);
        WriteLog(1, "Odczyt wartości %s z rejestru, przyjęta domyślna = %s", name.c_str(),
                 yesNo(defaultValue));
        SettingsDefaulted = true;
        return defaultValue;
    }
}

int TForm1::RegReadInteger(const std::string& name, int defaultValue) {
    try {
        const int value = SettingsRegistry->ReadInteger(name);
        WriteLog(1, "Odczyt wartości %s = %u z rejestru", name.c_str(), unsigned(value));
        return value;
    } catch (const platform::RegistryError&) {
        if (!SettingsReadOnly)
            SettingsRegistry->WriteInteger(name, defaultValue);
        WriteLog(1, "Odczyt wartości %s z rejestru, przyjęta domyślna = %u", name.c_str(),
                 unsigned(defaultValue));
        SettingsDefaulted = true;
        return defaultValue;
    }
}

std::string TForm1::RegReadString(const std::string& name, const std::string& defaultValue) {
    if (!SettingsRegistry->ValueExists(name)) {
        WriteLog(1, "Odczyt wartości %s z rejestru, brak klucza, przyjęta domyślna = %s", name.c_str(),
                 defaultValue.c_str());
        if (!SettingsReadOnly)
            SettingsRegistry->WriteString(name, defaultValue);
        return defaultValue;
    }
    const std::string value = SettingsRegistry->ReadString(name);
    WriteLog(1, "Odczyt wartości %s = %s z rejestru", name.c_str(), value.c_str());
    return value;
}

std::string TForm1::RegReadStringOrDefault(const std::string& name, const std::string& defaultValue) {
    const std::string value = SettingsRegistry->ReadString(name);
    if (value.empty()) {
        WriteLog(1, "Odczyt wartości %s z rejestru, wartość jest pusta lub przyjęta domyślna = %s",
                 name.c_str(), defaultValue.c_str());
        if (!SettingsReadOnly)
            SettingsRegistry->WriteString(name, defaultValue);
        return defaultValue;
    }
    WriteLog(1, "Odczyt wartości %s = %s z rejestru", name.c_str(), value.c_str());
    return value;
}

// The key the single writes go to; a store that could not be opened at
// start raises the error the writers pass on.
platform::RegistryKey& TForm1::openSettings() {
    if (!SettingsRegistry)
        throw platform::RegistryError("The settings store could not be opened");
    return *SettingsRegistry;
}

void TForm1::RegWriteBool(const std::string& name, bool value) {
    openSettings().WriteBool(name, value);
}

void TForm1::RegWriteInteger(const std::string& name, int value) {
    openSettings().WriteInteger(name, value);
}

void TForm1::RegWriteString(const std::string& name, const char* value) {
    openSettings().WriteString(name, value ? value : "");
}

void TForm1::RegWriteString(const std::string& name, const std::string& value) {
    openSettings().WriteString(name, value);
}

// ---- settings with their own accessors ----

namespace {

// Reads a text that must not stay empty: an empty or missing value gets
// `fallback`, written back.
std::string textOrWrite(platform::RegistryKey& key, bool writable, const char* name,
                        const std::string& fallback) {
    std::string value = key.ReadString(name);
    if (value.empty()) {
        value = fallback;
        if (writable)
            key.WriteString(name, value);
    }
    return value;
}

} // namespace

void TForm1::GbakPath(bool write) {
    if (write)
        return openSettings().WriteString("GbakPath", GbakPathText);
    GbakPathText = textOrWrite(*SettingsRegistry, !SettingsReadOnly, "GbakPath", DefaultGbakPath);
}

void TForm1::BackupPath(bool write) {
    if (write)
        return openSettings().WriteString("BackupPath", BackupPathText);
    BackupPathText =
        textOrWrite(*SettingsRegistry, !SettingsReadOnly, "BackupPath", shell::ProgramDirectory());
}

void TForm1::NameFB(bool write) {
    if (write)
        return openSettings().WriteString("NameFB", NameFBText);
    NameFBText = textOrWrite(*SettingsRegistry, !SettingsReadOnly, "NameFB", shell::DefaultDatabasePath());
}

namespace {

// The host of a database: a missing or empty value becomes this computer's
// own address.
std::string readHostSetting(TForm1& form, platform::RegistryKey& key, const char* name, bool attendance) {
    const bool writable = !form.SettingsReadOnly;
    std::string value = key.ReadString(name);
    if (!value.empty()) {
        if (attendance)
            form.WriteLog(1, "Ustawiam adres serwera firebird RCP na %s", value.c_str());
        else
            form.WriteLog(1, "Ustawiam adres serwera firebird na %s", value.c_str());
        return value;
    }
    form.WriteLog(1, attendance ? "Tworzę klucz dla  numeru IP serwera RCP FB"
                                : "Tworzę klucz dla  numeru IP serwera FB");
    value = DefaultHostAddress();
    if (writable)
        key.WriteString(name, value);
    return value;
}

} // namespace

void TForm1::IPFBase(bool write) {
    if (write)
        return openSettings().WriteString("IPFBase", IPFBaseText);
    IPFBaseText = readHostSetting(*this, *SettingsRegistry, "IPFBase", false);
}

void TForm1::RCP_IPFB(bool write) {
    if (write)
        return openSettings().WriteString("RCP_IPFB", RcpDb.IPFB);
    RcpDb.IPFB = readHostSetting(*this, *SettingsRegistry, "RCP_IPFB", true);
}

namespace {

// Loads an enciphered password; a missing one is created with the default.
// A stored text that is not a cipher text is refused, kept as it is, and the
// default is used for this run.
std::string readPasswordSetting(TForm1& form, platform::RegistryKey& key, const char* name) {
    shell::TraceScope trace("UstawPasswordFB");
    const std::string stored = key.ReadString(name);
    if (stored.empty()) {
        form.WriteLog(1, "Tworzę klucz dla hasła uzytkownika FB");
        if (!form.SettingsReadOnly)
            key.WriteString(name, AesEncryptToHexWire(DefaultDbPassword, FixedKeyText));
        return DefaultDbPassword;
    }
    form.WriteLog(1, "Ustawiam hasło uzytkownika FB %s", "***");
    if (!isCipherText(stored)) {
        form.WriteLog(2, "Wartość %s nie jest zaszyfrowanym hasłem, przyjęte hasło domyślne", name);
        return DefaultDbPassword;
    }
    return AesDecryptFromHexWire(stored, FixedKeyText);
}

} // namespace

void TForm1::UstawPasswordFB(bool write) {
    if (write)
        return openSettings().WriteString("PasswordFB", AesEncryptToHexWire(PasswordFB, FixedKeyText));
    PasswordFB = readPasswordSetting(*this, *SettingsRegistry, "PasswordFB");
}

void TForm1::UstawRcpPasswordFB(bool write) {
    if (write)
        return openSettings().WriteString("RCP_PasswordFB",
                                          AesEncryptToHexWire(RcpDb.PasswordFB, FixedKeyText));
    RcpDb.PasswordFB = readPasswordSetting(*this, *SettingsRegistry, "RCP_PasswordFB");
}

// ---- the start-up read ----

// Settings live in the machine branch when it can be written, else in the
// user's branch, for the whole run.
void TForm1::probeRegistryBranch() {
    // A settings file with anything unreadable is copied aside before it is
    // first rewritten; the operator learns of it once, with the copy's name.
    platform::SetRegistrySetAsideHandler([this](const platform::RegistrySetAside& notice) {
        WriteLog(2,
                 "Plik ustawień %s zawiera dane, których nie można odczytać (%s); przed zapisem "
                 "skopiowano go w całości do %s",
                 notice.file.c_str(), notice.reason.c_str(), notice.copy.c_str());
        ui::dialogs().MessageBox("Plik ustawień " + notice.file +
                                     " zawiera dane, których nie można odczytać (" + notice.reason +
                                     ").\nPrzed zapisem skopiowano go w całości do " + notice.copy + ".",
                                 Text("IDS_21"), ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK);
    });
    SettingsReadOnly = false;
    platform::RegistryKey machine(platform::RegistryBranch::Machine);
    if (!machine.OpenKey(MainKey, true)) {
        WriteLog(1, "Brak dostępu do gałęzi HKLM rejestru. Ustawienia przechowywane będą w gałęzi HKCU.");
        RegistryInHklm = false;
    } else {
        try {
            machine.WriteString("testHKLM", "testHKLM");
            WriteLog(1, "Ustawienia przechowywane w gałęzi HKLM rejestru");
            return;
        } catch (const platform::RegistryError&) {
            WriteLog(1, "Brak uprawnień do zapisu do HKLM rejestru. Ustawienia przechowywane będą w "
                        "gałęzi HKCU.");
            RegistryInHklm = false;
        }
    }
    if (platform::RegistryKey(platform::RegistryBranch::User).CanWrite())
        return;
    // Neither branch takes writes: the settings are still read from the one
    // that holds them, and defaults stay in memory only.
    SettingsReadOnly = true;
    RegistryInHklm = machine.HasOpenKey() || machine.OpenKey(MainKey, false);
    const std::string file = platform::registryFilePath(RegistryInHklm ? platform::RegistryBranch::Machine
                                                                       : platform::RegistryBranch::User);
    WriteLog(2,
             "Nie można zapisać ustawień w żadnej gałęzi rejestru; ustawienia odczytane z %s, wartości "
             "domyślne nie zostaną zapisane",
             file.c_str());
}

std::unique_ptr<platform::RegistryKey> TForm1::openSettingsKey(const std::string& path) {
    auto key = std::make_unique<platform::RegistryKey>(RegistryInHklm ? platform::RegistryBranch::Machine
                                                                      : platform::RegistryBranch::User);
    if (!key->OpenKey(path, !SettingsReadOnly))
        return nullptr;
    return key;
}

void TForm1::readSettingsSection(const char* path, void (TForm1::*reader)()) {
    SettingsRegistry = openSettingsKey(path);
    if (!SettingsRegistry)
        return;
    WriteLog(1, "Otworzenie klucza %s", path);
    try {
        (this->*reader)();
    } catch (const platform::RegistryError& error) {
        ui::dialogs().MessageBox(error.what(), Text("IDS_21"), ui::MB_ICONERROR | ui::MB_OK, ui::IDOK);
        WriteLog(1, "Błąd tworzenia klucza %s", path);
    }
    SettingsRegistry.reset();
}

void TForm1::OdczytRejestruWindows() {
    shell::TraceScope trace("OdczytRejestruWindows");
    // A section that is skipped must not leave a setting empty: the
    // database would be created with an empty name.
    GbakPathText = DefaultGbakPath;
    BackupPathText = shell::ProgramDirectory();
    IPFBaseText = DefaultHostAddress();
    NameFBText = shell::DefaultDatabasePath();
    RcpDb = RcpDatabaseSettings();
    RcpDb.IPFB = IPFBaseText;
    readSettingsSection(MainKey, &TForm1::readMainKeySettings);
    PabxMacros = DefaultPabxMacros(PbxType);
    const std::string macros = std::string(MainKey) + "\\PABX_MACROS\\" + std::to_string(PbxType);
    readSettingsSection(macros.c_str(), &TForm1::readPabxMacros);
    const std::string sms = std::string(MainKey) + "\\SMS";
    readSettingsSection(sms.c_str(), &TForm1::readSmsSettings);
    const std::string routing = sms + "\\DynamicRouting";
    readSettingsSection(routing.c_str(), &TForm1::readDynamicRoutingSettings);
    SettingsRegistry = openSettingsKey(MainKey);
}

namespace {

// Fixed-size texts of the original hold at most 9 characters; a longer
// stored text is cut, and the cut is logged.
std::string shortText(TForm1& form, const char* name, const std::string& value) {
    if (platform::utf8Length(value) <= ShortTextLimit)
        return value;
    form.WriteLog(2, "Wartość %s jest dłuższa niż %u znaków i została obcięta", name,
                  unsigned(ShortTextLimit));
    return platform::utf8Left(value, ShortTextLimit);
}

QTime timeOfDay(const std::string& text) {
    for (const char* format : {"HH:mm", "H:mm", "HH:mm:ss"}) {
        const QTime time = QTime::fromString(QString::fromStdString(text), QString::fromLatin1(format));
        if (time.isValid())
            return time;
    }
    return QTime(3, 0);
}

QDateTime dateAndTime(const std::string& text) {
    const QDateTime when =
        QDateTime::fromString(QString::fromStdString(text), QString::fromLatin1(DateTimeFormat));
    return when.isValid() ? when : QDateTime::currentDateTime();
}

std::string broadcastFor(const std::string& host) {
    const auto dot = host.rfind('.');
    return dot == std::string::npos ? std::string("192.168.1.255") : host.substr(0, dot) + ".255";
}

} // namespace

void TForm1::readMainKeySettings() {
    PbxType = RegReadInteger("Centrala", 2);
    if (PbxType < 0 || PbxType > 5)
        PbxType = 2;
    PbxPort = RegReadInteger("Port", 1);
    PortTCP = RegReadInteger("PortTCP", 1000);
    language = RegReadInteger("language", DefaultLanguageIndex());
    SetActiveLanguage(language);
    PortTCPCalBrowse = RegReadInteger("PortTCPCalBrowse", 1005);
    PortTCPCalSend = RegReadInteger("PortTCPCalSend", 1006);
    CalendarServiceEnabled = RegReadBool("CalendarServiceEnabled", true);
    PortTCP_CRM = RegReadInteger("PortTCP_CRM", 1010);
    MaxPolaczenCRM = RegReadInteger("MaxPolaczenCRM", 2);
    PortUDP = RegReadInteger("PortUDP", 1000);
    pytanieOwych = RegReadBool("pytanieOwych", true);
    AutomPrzyw = RegReadBool("AutomPrzyw", true);
    InsertIncomingFroRingGroup = RegReadBool("InsertIncomingFroRingGroup", false);
    Miedzy = shortText(*this, "Miedzy", RegReadString("Miedzy", "0"));
    PrefiksMiedzynarodowy =
        shortText(*this, "PrefiksMiedzynarodowy", RegReadString("PrefiksMiedzynarodowy", "000"));
    TCPCentr = RegReadStringOrDefault("TCPCentr", "192.168.1.250");
    PortTCPCent = RegReadInteger("PortTCPCent", 5001);
    PowiadORozlacz = RegReadBool("PowiadORozlacz", true);
    CRMsocketActive = RegReadBool("CRMsocketActive", false);
    StartMinimized = RegReadBool("StartMinimized", false);
    GbakPath(false);
    BackupPath(false);
    AutoBackupPeriod = RegReadInteger("AutoBackupPeriod", 7);
    AutoBackup = RegReadBool("AutoBackup", true);
    CleanBeforeBackup = RegReadBool("CleanBeforeBackup", false);
    UseVoiceMailPcti = RegReadBool("UseVoiceMailPcti", false);
    UsePctiClip = RegReadBool("UsePctiClip", false);
    BackupTimeOfDay = timeOfDay(RegReadStringOrDefault("timeBackupHour", "03:00"));
    const std::string now =
        QDateTime::currentDateTime().toString(QString::fromLatin1(DateTimeFormat)).toStdString();
    LastBackupTime = dateAndTime(RegReadStringOrDefault("timeBackup", now));
    IPFBase(false);
    NameFB(false);
    UstawPasswordFB(false);
    UserFB = RegReadStringOrDefault("UserFB", "SYSDBA");
    UstawKomunikatLP();
    BroadcastAddress = RegReadStringOrDefault("Broadcast", broadcastFor(IPFBaseText));
    UseRCP = RegReadBool("UseRCP", false);
    RcpDb.User = RegReadStringOrDefault("RCP_User", "SYSDBA");
    RcpDb.NameFB = RegReadStringOrDefault("RCP_NameFB", "C:\\Program Files\\Selkod\\Baza\\Ikr.fbd");
    RCP_IPFB(false);
    UstawRcpPasswordFB(false);
}

void TForm1::readPabxMacros() {
    const PabxMacrosSettings defaults = DefaultPabxMacros(PbxType);
    PabxMacros.Redial = shortText(*this, "Redial", RegReadStringOrDefault("Redial", defaults.Redial));
    PabxMacros.Hold = shortText(*this, "Hold", RegReadStringOrDefault("Hold", defaults.Hold));
}

void TForm1::readSmsSettings() {
    SmsSettings.UseSms = RegReadBool("UseSms", false);
    SmsSettings.CountryCode = RegReadStringOrDefault("CountryCode", "48");
    SmsSettings.MinCountryNumberLength = RegReadInteger("MinCountryNumberLength", 9);
    SmsSettings.MaxCountryNumberLength = RegReadInteger("MaxCountryNumberLength", 9);
    SmsSettings.RemoveCountryCode = RegReadBool("RemoveCountryCode", true);
    SmsSettings.ForceSynchronization = RegReadBool("ForceSynchronization", true);
    SmsSettings.OutTrialsNoLimit = RegReadBool("OutTrialsLimit", false);
    SmsSettings.OutTrials = RegReadInteger("OutTrials", 5);
    SmsSettings.CountryNumberLength = RegReadInteger("CountryNumberLength", 9);
}

void TForm1::readDynamicRoutingSettings() {
    SmsSettings.DynamicRoutingEnabled = RegReadBool("Enabled", false);
    SmsSettings.DynamicRoutingValidityPeriod = RegReadInteger("ValidityPeriod", 86400);
    ApplySmsSettings();
}
