// A setting's value as the store keeps it, and the keys the settings live in.
#pragma once

#include <string>
#include <variant>

namespace base {

enum class SettingsSection { Main, PabxMacros, Sms, DynamicRouting };

using SettingValue = std::variant<bool, int, std::string>;

} // namespace base
