// The fields of the exchange's call records: the call identifier is the
// first two characters after the keyword, the rest starts at the fourth
// (whatever the third is). Limits count characters, not bytes.
#pragma once

#include "pbx/LinkThread.h"
#include "platform/WireCodePage.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace pbx {

inline std::string_view CallIdOf(std::string_view text) {
    return text.substr(0, 2);
}

inline std::string_view RestOf(std::string_view text) {
    return text.size() > 3 ? text.substr(3) : std::string_view();
}

// Characters of a UTF-8 text.
inline std::size_t Characters(std::string_view text) {
    std::size_t count = 0;
    for (char c : text)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// The first character of a UTF-8 text (empty for an empty text).
inline std::string_view FirstCharacter(std::string_view text) {
    std::size_t end = text.empty() ? 0 : 1;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        ++end;
    return text.substr(0, end);
}

// A text of a record for the log: control bytes made visible, long ones cut.
inline std::string ShownInLog(std::string_view utf8) {
    return LogCopy(platform::toWire(std::string(utf8)));
}

} // namespace pbx
