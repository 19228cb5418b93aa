// The settings store: every setting is read once at start-up, and every
// missing value is created with its default so that after the first start
// the store holds a complete, editable configuration. What each setting is
// (key, type, reader, default) is the settings table's; this file reads and
// writes by it.
#include "shell/MainForm.h"

#include "admin/Console.h"

#include "base/DiagnosticLog.h"
#include "base/PasswordCodec.h"
#include "base/SettingsBranch.h"
#include "base/TraceLabel.h"
#include "shell/SettingsTable.h"
#include "sms/SmsGateway.h"
#include "ui/Dialogs.h"

#include <QMetaObject>
#include <QThread>
#include <cstdio>

namespace {

using shell::Setting;
using shell::SettingValue;
const std::string MainKey = shell::SettingsKeyPath(shell::SettingsSection::Main, 0);

std::string shown(bool value) {
    return value ? "true" : "false";
}
std::string shown(int value) {
    return std::to_string(unsigned(value));
}

// The settings file's lock could not be had (another writer keeps it, or it
// cannot be taken at all), or the disk refused the write (full, an I/O
// error; the file stays as it was). That is no missing right to write: the program
// stays on the file it reads, and only leaves the defaults of this start in
// memory, so that it does not wait again for every missing value.
// Said once, from any thread, also while the program stops.
void cannotWriteSettings(TForm1& form, const std::string& reason) {
    if (form.SettingsReadOnly.exchange(true))
        return;
    const std::string file = platform::registryFilePath(
        form.RegistryInHklm ? platform::RegistryBranch::Machine : platform::RegistryBranch::User);
    std::fprintf(
        stderr,
        "Halvex: the settings file %s cannot be written: %s; its settings are read and used, and the "
        "defaults of missing ones are not written\n",
        file.c_str(), reason.c_str());
    base::DiagnosticLog::instance().WriteWhileClosing(
        2,
        "Nie można zapisać pliku ustawień %s: %s; ustawienia są z niego odczytane, wartości domyślne "
        "brakujących nie zostaną zapisane",
        file.c_str(), reason.c_str());
}

// The refused writes as the log and stderr name them: each value with what
// it was to be ("***" for a password), a key to create alone.
std::string refusedValues(const std::vector<platform::RegistryRefusedWrite>& writes) {
    std::string text;
    for (const platform::RegistryRefusedWrite& write : writes) {
        std::string item = write.named();
        if (write.value && shell::IsEncipheredSetting(write.value->name))
            item += " = ***";
        else if (write.value && write.value->type == platform::RegistryValue::Type::Dword)
            item += " = " + std::to_string(write.value->dword);
        else if (write.value)
            item += " = \"" + write.value->text + "\"";
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

// Writes of the start (the defaults of missing values) refused: said as a
// refused write at start is, each value named.
void startWritesNotWritten(TForm1& form, const std::string& file, const std::string& reason,
                           const std::string& values) {
    cannotWriteSettings(form, reason);
    std::fprintf(stderr, "Halvex: not written to the settings file %s: %s\n", file.c_str(), values.c_str());
    base::DiagnosticLog::instance().WriteWhileClosing(2, "Nie zapisano w pliku ustawień %s: %s", file.c_str(),
                                                      values.c_str());
}

// Writes the administrator asked for (the settings dialog, its buttons, the
// scheduled backup's time) refused: they stay in force until the program
// stops, and its next start reads what the file holds. Said on stderr and in
// the log, and by the settings dialog in a box where there is a display.
void storedWritesNotWritten(TForm1& form, const std::string& file, const std::string& reason,
                            const std::string& values) {
    std::fprintf(stderr,
                 "Halvex: the settings file %s was not written (%s): %s; these values are in force until the "
                 "program stops, and its next start reads the ones stored before\n",
                 file.c_str(), reason.c_str(), values.c_str());
    base::DiagnosticLog::instance().WriteWhileClosing(
        2,
        "Nie zapisano w pliku ustawień %s (%s): %s; wartości obowiązują do zatrzymania programu, przy "
        "następnym uruchomieniu wrócą zapisane wcześniej",
        file.c_str(), reason.c_str(), values.c_str());
    QMetaObject::invokeMethod(
        &form,
        [&form, file, reason, values] {
            admin::Console& console = form.Admin();
            if (ui::dialogs().HasDisplay() && console.SettingsNotWritten)
                console.SettingsNotWritten(file, reason, values);
        },
        Qt::QueuedConnection);
}

// Writes that waited for the lock off the event loop and were refused
// there, in the words of whoever asked for them.
void settingsNotWritten(TForm1& form, const platform::RegistryLateFailure& failure) {
    std::vector<platform::RegistryRefusedWrite> atStart, later;
    const auto readEnd = form.SettingsReadEnd.load();
    for (const platform::RegistryRefusedWrite& write : failure.writes)
        (write.asked <= readEnd ? atStart : later).push_back(write);
    if (!atStart.empty())
        startWritesNotWritten(form, failure.file, failure.reason, refusedValues(atStart));
    if (!later.empty())
        storedWritesNotWritten(form, failure.file, failure.reason, refusedValues(later));
}

// Writes the default a start found missing, unless defaults stay in memory.
template <class Write> void writeDefault(TForm1& form, Write write) {
    if (form.SettingsReadOnly)
        return;
    try {
        write(*form.SettingsRegistry);
    } catch (const platform::RegistryLockError& error) {
        cannotWriteSettings(form, error.what());
    } catch (const platform::RegistryDiskError& error) {
        cannotWriteSettings(form, error.what());
    }
}

// RegReadBool and RegReadInteger: a value that is missing or not a number
// takes the default, written back.
template <class T> T readNumber(TForm1& form, const std::string& name, T defaultValue) {
    try {
        const T value = T(form.SettingsRegistry->ReadInteger(name));
        form.WriteLog(1, "Odczyt wartości %s = %s z rejestru", name.c_str(), shown(value).c_str());
        return value;
    } catch (const platform::RegistryError&) {
        writeDefault(form,
                     [&](platform::RegistryKey& key) { key.WriteDefaultInteger(name, int(defaultValue)); });
        form.WriteLog(1, "Odczyt wartości %s z rejestru, przyjęta domyślna = %s", name.c_str(),
                      shown(defaultValue).c_str());
        SettingsDefaulted = true;
        return defaultValue;
    }
}

std::string takeTextDefault(TForm1& form, const std::string& name, const std::string& defaultValue) {
    writeDefault(form, [&](platform::RegistryKey& key) { key.WriteDefaultString(name, defaultValue); });
    return defaultValue;
}

// The key the single writes go to; a store that could not be opened at
// start raises the error the writers pass on.
platform::RegistryKey& openSettings(TForm1& form) {
    if (!form.SettingsRegistry)
        throw platform::RegistryError("The settings store could not be opened");
    return *form.SettingsRegistry;
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
    return readNumber(*this, name, defaultValue);
}

int TForm1::RegReadInteger(const std::string& name, int defaultValue) {
    return readNumber(*this, name, defaultValue);
}

std::string TForm1::RegReadString(const std::string& name, const std::string& defaultValue) {
    if (!SettingsRegistry->ValueExists(name)) {
        WriteLog(1, "Odczyt wartości %s z rejestru, brak klucza, przyjęta domyślna = %s", name.c_str(),
                 defaultValue.c_str());
        return takeTextDefault(*this, name, defaultValue);
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
        return takeTextDefault(*this, name, defaultValue);
    }
    WriteLog(1, "Odczyt wartości %s = %s z rejestru", name.c_str(), value.c_str());
    return value;
}

void TForm1::RegWriteBool(const std::string& name, bool value) {
    openSettings(*this).WriteBool(name, value);
}

void TForm1::RegWriteInteger(const std::string& name, int value) {
    openSettings(*this).WriteInteger(name, value);
}

void TForm1::RegWriteString(const std::string& name, const char* value) {
    openSettings(*this).WriteString(name, value ? value : "");
}

void TForm1::RegWriteString(const std::string& name, const std::string& value) {
    openSettings(*this).WriteString(name, value);
}

namespace shell {

void WriteSetting(TForm1& form, const Setting& setting) {
    const SettingValue value = setting.load(form);
    platform::RegistryKey* key = &openSettings(form);
    std::unique_ptr<platform::RegistryKey> sectionKey;
    if (setting.section != SettingsSection::Main) {
        const std::string path = SettingsKeyPath(setting.section, form.Settings.PbxType);
        sectionKey = std::make_unique<platform::RegistryKey>(key->branch());
        if (!sectionKey->OpenKey(path, true))
            throw platform::RegistryError("Failed to open " + path);
        key = sectionKey.get();
    }
    switch (setting.type) {
    case SettingType::Bool:
        return key->WriteBool(setting.name, std::get<bool>(value));
    case SettingType::Integer:
        return key->WriteInteger(setting.name, std::get<int>(value));
    case SettingType::Text:
        return key->WriteString(setting.name, std::get<std::string>(value));
    case SettingType::EncipheredText:
        return key->WriteString(setting.name,
                                AesEncryptToHexWire(std::get<std::string>(value), FixedKeyText));
    }
}

} // namespace shell

// ---- settings with their own accessors ----

namespace {

std::string defaultText(const TForm1& form, const Setting& setting) {
    return std::get<std::string>(setting.defaultFor(form.Settings));
}

// A text that must not stay empty: an empty or missing value gets the
// default, written back.
void readNonEmptyText(TForm1& form, const char* name) {
    const Setting& setting = shell::FindSetting(name);
    std::string value = form.SettingsRegistry->ReadString(name);
    if (value.empty())
        value = takeTextDefault(form, name, defaultText(form, setting));
    setting.store(form, value);
}

// The host of a database: a missing or empty value becomes this computer's
// own address.
void readHostSetting(TForm1& form, const char* name, bool attendance) {
    const Setting& setting = shell::FindSetting(name);
    std::string value = form.SettingsRegistry->ReadString(name);
    if (!value.empty()) {
        if (attendance)
            form.WriteLog(1, "Ustawiam adres serwera firebird RCP na %s", value.c_str());
        else
            form.WriteLog(1, "Ustawiam adres serwera firebird na %s", value.c_str());
    } else {
        form.WriteLog(1, attendance ? "Tworzę klucz dla  numeru IP serwera RCP FB"
                                    : "Tworzę klucz dla  numeru IP serwera FB");
        value = takeTextDefault(form, name, defaultText(form, setting));
    }
    setting.store(form, value);
}

// Loads an enciphered password; a missing one is created with the default.
// A stored text that is not a cipher text is refused, kept as it is, and the
// default is used for this run.
void readPasswordSetting(TForm1& form, const char* name) {
    base::TraceScope trace("UstawPasswordFB");
    const Setting& setting = shell::FindSetting(name);
    const std::string defaultPassword = defaultText(form, setting);
    const std::string stored = form.SettingsRegistry->ReadString(name);
    if (stored.empty()) {
        form.WriteLog(1, "Tworzę klucz dla hasła uzytkownika FB");
        takeTextDefault(form, name, AesEncryptToHexWire(defaultPassword, FixedKeyText));
        return setting.store(form, defaultPassword);
    }
    form.WriteLog(1, "Ustawiam hasło uzytkownika FB %s", "***");
    if (!isCipherText(stored)) {
        form.WriteLog(2, "Wartość %s nie jest zaszyfrowanym hasłem, przyjęte hasło domyślne", name);
        return setting.store(form, defaultPassword);
    }
    setting.store(form, AesDecryptFromHexWire(stored, FixedKeyText));
}

void readDatabaseHost(TForm1& form, const char* name) {
    readHostSetting(form, name, false);
}

void readAttendanceHost(TForm1& form, const char* name) {
    readHostSetting(form, name, true);
}

// The accessors: write = true stores the setting from memory, false loads it.
void access(TForm1& form, const char* name, bool write, void (*read)(TForm1&, const char*)) {
    if (write)
        shell::WriteSetting(form, shell::FindSetting(name));
    else
        read(form, name);
}

} // namespace

void TForm1::GbakPath(bool write) {
    access(*this, "GbakPath", write, readNonEmptyText);
}

void TForm1::BackupPath(bool write) {
    access(*this, "BackupPath", write, readNonEmptyText);
}

void TForm1::NameFB(bool write) {
    access(*this, "NameFB", write, readNonEmptyText);
}

void TForm1::IPFBase(bool write) {
    access(*this, "IPFBase", write, readDatabaseHost);
}

void TForm1::RCP_IPFB(bool write) {
    access(*this, "RCP_IPFB", write, readAttendanceHost);
}

void TForm1::UstawPasswordFB(bool write) {
    access(*this, "PasswordFB", write, readPasswordSetting);
}

void TForm1::UstawRcpPasswordFB(bool write) {
    access(*this, "RCP_PasswordFB", write, readPasswordSetting);
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
        // The settings writer's thread copies too; the box is the window's.
        const auto show = [this, notice] {
            ui::dialogs().MessageBox("Plik ustawień " + notice.file +
                                         " zawiera dane, których nie można odczytać (" + notice.reason +
                                         ").\nPrzed zapisem skopiowano go w całości do " + notice.copy + ".",
                                     Text("IDS_21"), ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK);
        };
        if (QThread::currentThread() == thread())
            show();
        else
            QMetaObject::invokeMethod(this, show, Qt::QueuedConnection);
    });
    // A FIFO, a device or a link to one in a settings file's place is not
    // read, nor is a file its user may not read: the defaults stand, the
    // file is left as it is, and the operator is told where and why.
    platform::SetRegistryRefusedHandler([this](const platform::RegistryRefused& notice) {
        if (notice.error != 0) {
            std::fprintf(stderr,
                         "Halvex: the settings file %s cannot be read: %s; the defaults are used and it is "
                         "not written\n",
                         notice.file.c_str(), notice.reason.c_str());
            WriteLog(2,
                     "Plik ustawień %s nie może zostać odczytany: %s; przyjęto wartości domyślne, plik nie "
                     "zostanie zapisany",
                     notice.file.c_str(), notice.reason.c_str());
            return;
        }
        std::fprintf(
            stderr,
            "Halvex: the settings file %s is not a regular file; it is not read, the defaults are used\n",
            notice.file.c_str());
        WriteLog(2, "Plik ustawień %s odrzucony (%s): nie został odczytany, przyjęto wartości domyślne",
                 notice.file.c_str(), notice.reason.c_str());
    });
    // A write that finds the file's lock held waits for it on a thread of
    // its own: no desk waits for another writer of the settings.
    platform::WriteLockedRegistryInBackground(true);
    platform::SetRegistryLateFailureHandler(
        [this](const platform::RegistryLateFailure& failure) { settingsNotWritten(*this, failure); });
    SettingsReadOnly = false;
    platform::RegistryKey machine(platform::RegistryBranch::Machine);
    std::string lockFailure;
    switch (base::ProbeMachineBranch(machine, &lockFailure)) {
    case base::MachineBranchAccess::Writable:
        WriteLog(1, "Ustawienia przechowywane w gałęzi HKLM rejestru");
        return;
    case base::MachineBranchAccess::Locked:
        return cannotWriteSettings(*this, lockFailure);
    case base::MachineBranchAccess::NoAccess:
        WriteLog(1, "Brak dostępu do gałęzi HKLM rejestru. Ustawienia przechowywane będą w gałęzi HKCU.");
        break;
    case base::MachineBranchAccess::NoWrite:
        WriteLog(1, "Brak uprawnień do zapisu do HKLM rejestru. Ustawienia przechowywane będą w "
                    "gałęzi HKCU.");
        break;
    }
    RegistryInHklm = false;
    if (platform::RegistryKey(platform::RegistryBranch::User).CanWrite())
        return;
    // Neither branch takes writes: the settings are still read from the one
    // that holds them, and defaults stay in memory only.
    SettingsReadOnly = true;
    RegistryInHklm = machine.HasOpenKey() || machine.OpenKey(MainKey, false);
    const auto branch = RegistryInHklm ? platform::RegistryBranch::Machine : platform::RegistryBranch::User;
    const std::string file = platform::registryFilePath(branch);
    if (!platform::RegistryKey(branch).CanRead())
        WriteLog(2,
                 "Nie można zapisać ustawień w żadnej gałęzi rejestru ani odczytać pliku %s; przyjęto "
                 "wartości domyślne, które nie zostaną zapisane",
                 file.c_str());
    else
        WriteLog(2,
                 "Nie można zapisać ustawień w żadnej gałęzi rejestru; ustawienia odczytane z %s, wartości "
                 "domyślne nie zostaną zapisane",
                 file.c_str());
}

namespace {

// A key that is missing, where the lock to create it cannot be had, is
// skipped like one that cannot be created.
std::unique_ptr<platform::RegistryKey> openSettingsKey(TForm1& form, const std::string& path) {
    auto key = std::make_unique<platform::RegistryKey>(form.RegistryInHklm ? platform::RegistryBranch::Machine
                                                                           : platform::RegistryBranch::User);
    try {
        if (!key->OpenKey(path, !form.SettingsReadOnly))
            return nullptr;
    } catch (const platform::RegistryLockError& error) {
        cannotWriteSettings(form, error.what());
        return nullptr;
    } catch (const platform::RegistryDiskError& error) {
        cannotWriteSettings(form, error.what());
        return nullptr;
    }
    return key;
}

// Reads one section's settings in the table's order, each through its reader.
void readSection(TForm1& form, shell::SettingsSection section) {
    using enum shell::SettingReader;
    for (const Setting& setting : shell::SettingsTable()) {
        if (setting.section != section)
            continue;
        const SettingValue fallback = setting.defaultFor(form.Settings);
        switch (setting.reader) {
        case B:
            setting.store(form, form.RegReadBool(setting.name, std::get<bool>(fallback)));
            break;
        case I:
            setting.store(form, form.RegReadInteger(setting.name, std::get<int>(fallback)));
            break;
        case S:
            setting.store(form, form.RegReadString(setting.name, std::get<std::string>(fallback)));
            break;
        case D:
            setting.store(form, form.RegReadStringOrDefault(setting.name, std::get<std::string>(fallback)));
            break;
        case A:
            (form.*setting.accessor)(false);
            break;
        }
        if (setting.afterRead)
            setting.afterRead(form);
    }
}

// One section from its own key: a key that cannot be opened skips it, and an
// error ends it (shown and logged) while the next section is still read. The
// SMS engine takes the SMS settings once the last section is read.
void readSettingsSection(TForm1& form, shell::SettingsSection section) {
    const std::string path = shell::SettingsKeyPath(section, form.Settings.PbxType);
    form.SettingsRegistry = openSettingsKey(form, path);
    if (!form.SettingsRegistry)
        return;
    form.WriteLog(1, "Otworzenie klucza %s", path.c_str());
    try {
        readSection(form, section);
        if (section == shell::SettingsSection::DynamicRouting)
            form.Sms().ApplySmsSettings();
    } catch (const platform::RegistryError& error) {
        ui::dialogs().MessageBox(error.what(), form.Text("IDS_21"), ui::MB_ICONERROR | ui::MB_OK, ui::IDOK);
        form.WriteLog(1, "Błąd tworzenia klucza %s", path.c_str());
    }
    form.SettingsRegistry.reset();
}

} // namespace

void TForm1::OdczytRejestruWindows() {
    using enum shell::SettingsSection;
    base::TraceScope trace("OdczytRejestruWindows");
    // A section that is skipped must not leave a setting empty: the
    // database would be created with an empty name.
    for (const auto section : {Main, Sms, DynamicRouting})
        shell::ApplySettingDefaults(*this, section);
    readSettingsSection(*this, Main);
    // The macros' defaults follow the PBX type just read.
    shell::ApplySettingDefaults(*this, PabxMacros);
    for (const auto section : {PabxMacros, Sms, DynamicRouting})
        readSettingsSection(*this, section);
    SettingsRegistry = openSettingsKey(*this, MainKey);
    SettingsReadEnd = std::chrono::steady_clock::now();
}
