// A setting's value as the store keeps it, and the keys the settings live in.
#pragma once

#include <QString>
#include <QTime>
#include <string>
#include <variant>

namespace base {

enum class SettingsSection { Main, PabxMacros, Sms, DynamicRouting };

using SettingValue = std::variant<bool, int, std::string>;

// The fixed-size texts of the original (the dialling prefixes, the function
// codes) hold at most this many characters.
inline constexpr int ShortTextLimit = 9;
// A host as a setting names it: a name or address, with "/port" when the
// port is not the default one.
inline constexpr int HostTextLimit = 255;

// How a date-time setting is written in the store.
inline constexpr char StoredDateTimeFormat[] = "yyyy-MM-dd HH:mm:ss";
// How a time-of-day setting is written: the long time format, seconds kept.
inline constexpr char StoredTimeOfDayFormat[] = "HH:mm:ss";

// A stored time of day, written with or without its seconds ("17:08:13",
// "03:00", "3:00"); invalid when it is neither.
inline QTime TimeOfDayFromText(const std::string& stored) {
    for (const char* format : {StoredTimeOfDayFormat, "H:mm:ss", "HH:mm", "H:mm"}) {
        const QTime time = QTime::fromString(QString::fromStdString(stored), QString::fromLatin1(format));
        if (time.isValid())
            return time;
    }
    return {};
}

} // namespace base
