// A setting's value as the store keeps it, and the keys the settings live in.
#pragma once

#include <string>
#include <variant>

namespace base {

enum class SettingsSection { Main, PabxMacros, Sms, DynamicRouting };

using SettingValue = std::variant<bool, int, std::string>;

// How a date-time setting is written in the store.
inline constexpr char StoredDateTimeFormat[] = "yyyy-MM-dd HH:mm:ss";

} // namespace base
