// Numbers in the tokens of exchange records and the fields of client
// requests: an optional sign, then digits up to the first other character.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace sms::detail {

struct NumberToken {
    std::int32_t value = 0;
    // False when it reads as 0 without being exactly "0" (no digits, "-0").
    bool valid = false;
};

inline NumberToken readNumber(const std::string& token) {
    std::size_t i = 0;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-'))
        negative = token[i++] == '-';
    std::int64_t value = 0;
    for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i)
        value = std::min<std::int64_t>(value * 10 + (token[i] - '0'), INT32_MAX);
    NumberToken number;
    number.value = static_cast<std::int32_t>(negative ? -value : value);
    number.valid = number.value != 0 || token == "0";
    return number;
}

} // namespace sms::detail
