// Telephone numbers of SMS: the national form for rows, rules and route keys,
// the international form and its address type for PDUs.
#pragma once

#include <cstdint>
#include <string>

namespace sms {

class SmsNumberProcessor {
  public:
    struct SmsProcessingSettings {
        std::string sCountryCode = "48";
        std::int32_t iMinCountryLen = 9;
        std::int32_t iMaxCountryLen = 9;
        std::uint8_t bRemoveCountryCode = 1;
    };

    SmsNumberProcessor() = default;

    // Replaces all four settings. Settings that make no sense (a prefix that
    // is not 1 to 4 digits, a length below 1, minimum above maximum) leave
    // the defaults in force; the result is false then.
    bool Set(const SmsProcessingSettings& settings);
    const SmsProcessingSettings& Settings() const { return settings_; }

    // Digits without the country prefix; empty when the number is not all
    // digits once its leading "0"/"+" run is gone.
    std::string ToNational(const std::string& number) const;
    // Digits with the country prefix; `notInternational` becomes 0 when the
    // result has an international length, else 1.
    std::string ToInternational(const std::string& number, std::uint8_t& notInternational) const;
    // The number without its leading run of "0" and "+".
    static std::string StripLeading(const std::string& number);
    // Compares text[position, position + length) with `other`: negative, 0
    // (equal) or positive.
    static int StartsWithPrefix(const std::string& text, std::size_t position, std::size_t length,
                                const std::string& other);

  private:
    bool hasNationalLength(std::size_t length) const;
    bool hasInternationalLength(std::size_t length) const;

    SmsProcessingSettings settings_;
};

} // namespace sms
