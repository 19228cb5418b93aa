// A translation list line as the tests write them: the key, then each text
// followed by the delimiter byte 1.
#pragma once

#include <initializer_list>
#include <string>

namespace testing_lines {

inline constexpr char D = 1;

inline std::string line(const std::string& key, std::initializer_list<std::string> texts) {
    std::string out = key;
    for (const auto& t : texts)
        out += D + t;
    return out + D;
}

} // namespace testing_lines
