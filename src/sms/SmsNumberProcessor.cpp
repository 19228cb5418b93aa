#include "sms/SmsNumberProcessor.h"

#include <algorithm>

namespace sms {

namespace {

bool allDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool SmsNumberProcessor::Set(const SmsProcessingSettings& settings) {
    const bool sound = !settings.sCountryCode.empty() && settings.sCountryCode.size() <= 4 &&
                       allDigits(settings.sCountryCode) && settings.iMinCountryLen >= 1 &&
                       settings.iMaxCountryLen >= 1 && settings.iMinCountryLen <= settings.iMaxCountryLen;
    settings_ = sound ? settings : SmsProcessingSettings{};
    return sound;
}

bool SmsNumberProcessor::hasNationalLength(std::size_t length) const {
    return length >= std::size_t(settings_.iMinCountryLen) && length <= std::size_t(settings_.iMaxCountryLen);
}

bool SmsNumberProcessor::hasInternationalLength(std::size_t length) const {
    const std::size_t prefix = settings_.sCountryCode.size();
    return length >= prefix + std::size_t(settings_.iMinCountryLen) &&
           length <= prefix + std::size_t(settings_.iMaxCountryLen);
}

std::string SmsNumberProcessor::StripLeading(const std::string& number) {
    const std::size_t first = number.find_first_not_of("0+");
    return first == std::string::npos ? std::string() : number.substr(first);
}

int SmsNumberProcessor::StartsWithPrefix(const std::string& text, std::size_t position, std::size_t length,
                                         const std::string& other) {
    if (position > text.size())
        return other.empty() ? 0 : -1;
    return text.compare(position, length, other);
}

std::string SmsNumberProcessor::ToNational(const std::string& number) const {
    std::string s = StripLeading(number);
    if (!allDigits(s))
        return {};
    const std::string& prefix = settings_.sCountryCode;
    if (settings_.bRemoveCountryCode && hasInternationalLength(s.size()) &&
        StartsWithPrefix(s, 0, prefix.size(), prefix) == 0)
        s.erase(0, prefix.size());
    return s;
}

std::string SmsNumberProcessor::ToInternational(const std::string& number,
                                                std::uint8_t& notInternational) const {
    std::string s = StripLeading(number);
    // A number that already carries the prefix at an international length
    // keeps it, even where the two length ranges overlap.
    const bool prefixed = hasInternationalLength(s.size()) &&
                          StartsWithPrefix(s, 0, settings_.sCountryCode.size(), settings_.sCountryCode) == 0;
    if (!prefixed && hasNationalLength(s.size()))
        s = settings_.sCountryCode + s;
    notInternational = hasInternationalLength(s.size()) ? 0 : 1;
    return s;
}

} // namespace sms
