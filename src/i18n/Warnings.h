// Where the localisation engine reports data it had to mend (the log once the
// shell has set the sink; stderr before that).
#pragma once

#include <functional>
#include <string>

namespace i18n {
void SetWarningSink(std::function<void(const std::string&)> sink);
void Warn(const std::string& text);
} // namespace i18n
