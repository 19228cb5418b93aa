// Every setting of the store in one table: where it lives, its type, how it is
// read and its default. The start-up read, the defaults in memory, the writes
// and the tests all work from it, so that a default is written once.
#pragma once

#include "base/SettingValue.h"

#include <string>
#include <vector>

class TForm1;

namespace shell {

struct ServerSettings;

// Defaults that code outside the table needs as well (scripts/firebird reads
// the password from this line).
inline constexpr char DefaultDbPassword[] = "plintaved";
inline constexpr int DefaultExchangePort = 5001;

using base::SettingsSection;

enum class SettingType { Bool, Integer, Text, EncipheredText };

// How a stored value is read: B and I take the default for a missing or
// unreadable value, S only for a missing one (an empty text stays), D also
// for an empty one; A is the setting's own accessor.
enum class SettingReader { B, I, S, D, A };

using base::SettingValue;

struct Setting {
    SettingsSection section;
    const char* name;
    SettingType type;
    SettingReader reader;
    SettingValue fixedDefault;
    // For defaults that depend on the machine or on settings read before.
    SettingValue (*computedDefault)(const ServerSettings&) = nullptr;
    // Puts a value into memory: conversions and the rules of each setting.
    void (*store)(TForm1&, const SettingValue&) = nullptr;
    // Takes the value from memory, for writing.
    SettingValue (*load)(const TForm1&) = nullptr;
    // What follows the read of this value (the language applied, ...).
    void (*afterRead)(TForm1&) = nullptr;
    // The accessor of an A setting.
    void (TForm1::*accessor)(bool write) = nullptr;

    SettingValue defaultFor(const ServerSettings& settings) const {
        return computedDefault ? computedDefault(settings) : fixedDefault;
    }
};

// In the order of the start-up read.
const std::vector<Setting>& SettingsTable();
// The setting of that name in that section; raises std::out_of_range when
// there is none.
const Setting& FindSetting(const std::string& name, SettingsSection section = SettingsSection::Main);
// Whether a value of that name (in any case) is stored enciphered: a
// password, never shown.
bool IsEncipheredSetting(const std::string& name);
// The key of a section ("\software\Vorlin\Halvex\SMS"); the macros' key
// depends on the PBX type.
std::string SettingsKeyPath(SettingsSection section, int pbxType);

// Puts the defaults of one section's settings into memory.
void ApplySettingDefaults(TForm1& form, SettingsSection section);
// Stores a setting from memory into its value (a password enciphered);
// a store error reaches the caller as platform::RegistryError.
void WriteSetting(TForm1& form, const Setting& setting);

} // namespace shell
