#include "pbx/DialNumbers.h"

#include <algorithm>

namespace pbx {

namespace {

// An empty prefix is never "removed".
bool beginsWith(const std::string& number, const std::string& prefix) {
    return !prefix.empty() && number.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

std::string WithoutDialPrefix(const std::string& number, const CallSettings& settings, bool* removed) {
    const std::string& international = settings.prefiksMiedzynarodowy;
    const std::string& trunk = settings.miedzy;
    std::size_t cut = 0;
    if (number.size() >= international.size() + 11) {
        if (beginsWith(number, international))
            cut = international.size();
    } else if (number.size() >= trunk.size() + 9 && beginsWith(number, trunk)) {
        cut = trunk.size();
    }
    if (removed)
        *removed = cut != 0;
    return number.substr(cut);
}

std::string PrepareDialNumber(std::string number, const CallSettings& settings) {
    number.erase(0, std::min(number.find_first_not_of('0'), number.size()));
    const std::size_t length = number.size();
    if (length == std::size_t(std::max(settings.countryNumberLength, 0)) || length == 10)
        return settings.miedzy + number;
    if (length >= 11)
        return settings.prefiksMiedzynarodowy + number;
    return number;
}

std::string PrepareOrderNumber(const std::string& number, const CallSettings& settings) {
    bool removed = false;
    std::string prepared = WithoutDialPrefix(number, settings, &removed);
    for (int i = 0; !removed && i < 3 && prepared.size() > 9 && prepared.front() == '0'; ++i)
        prepared.erase(0, 1);
    if (prepared.size() == 9 || prepared.size() == 10)
        prepared = settings.miedzy + prepared;
    else if (prepared.size() >= 11)
        prepared = settings.prefiksMiedzynarodowy + prepared;
    if (settings.pbxType != 5 && !prepared.empty() && prepared.front() == '0')
        prepared.erase(0, 1);
    return prepared;
}

} // namespace pbx
