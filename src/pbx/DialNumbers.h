// The numbers a client dials and the exchange reports, with the trunk and
// international prefixes put in front or taken off as the settings say.
#pragma once

#include "pbx/PbxLinkHost.h"

#include <string>

namespace pbx {

// The number without the international prefix (when it is at least 11
// characters longer than that prefix) or else without the trunk prefix (when
// at least 9 characters longer than it); `removed` tells whether one went.
std::string WithoutDialPrefix(const std::string& number, const CallSettings& settings,
                              bool* removed = nullptr);
// A number to dial: leading zeros off, then the prefix its length calls for.
std::string PrepareDialNumber(std::string number, const CallSettings& settings);
// A number of a call order, as the exchange takes it.
std::string PrepareOrderNumber(const std::string& number, const CallSettings& settings);

} // namespace pbx
