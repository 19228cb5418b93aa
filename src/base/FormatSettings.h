// The process's locale settings: what numbers, dates and times are written
// with. They start as the user's locale says; a translation component's
// locale lines may change them, and every text formatted through them
// follows.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace base {

struct TFormatSettings {
    // "Currency String", "Thousand Separator", "Decimal Separator", "Date Separator",
    // "Short Date Format", "Long Date Format", "Time Separator", "Time AM String",
    // "Time PM String", "Short Time Format", "Long Time Format"
    std::array<std::string, 11> values;
    std::vector<std::string> shortMonthNames, longMonthNames, shortDayNames, longDayNames;
    const std::string& DecimalSeparator() const { return values[2]; }
};

// Set on the GUI thread only, at start-up; read from any thread.
TFormatSettings& FormatSettings();

} // namespace base
