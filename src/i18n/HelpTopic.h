// Showing a topic of the localisation tools' help file, whose location the
// tools' installation keeps in the settings store.
#pragma once

#include <string>

namespace i18n {

// Where the help file's location is kept (user branch) and under which name.
inline constexpr const char* HelpKey = "\\Software\\Vorlin\\Localization";
inline constexpr const char* HelpFileValue = "HelpFile";

// Opens `topic` of the help file in the desktop's viewer; a help file that
// is named but missing is reported in a message box. Without the key: nothing.
void DisplayHelpTopic(const std::string& topic);

} // namespace i18n
