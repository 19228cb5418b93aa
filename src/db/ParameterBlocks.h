#pragma once
// The byte blocks the Firebird client takes (attach and service parameters)
// and the words of its status vectors: for the session's own calls only.
#include "platform/WireCodePage.h"

#include <algorithm>
#include <cstdint>
#include <ibase.h>
#include <string>

namespace db::blocks {

// An item with a text of at most 255 bytes.
inline void AppendText(std::string& block, char item, const std::string& text) {
    const std::size_t length = std::min<std::size_t>(text.size(), 255);
    block += item;
    block += char(length);
    block.append(text, 0, length);
}

// A four-byte number, low byte first.
inline void AppendNumber(std::string& block, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        block += char((value >> shift) & 0xFF);
}

// An item with a four-byte number.
inline void AppendNumberItem(std::string& block, char item, std::uint32_t value) {
    block += item;
    block += char(4);
    AppendNumber(block, value);
}

// Every message of a status vector, joined: the cause (the operating
// system's, a conversion's) often stands beneath the first.
inline std::string StatusWords(const ISC_STATUS* status) {
    std::string text;
    char message[512] = {};
    const ISC_STATUS* cursor = status;
    while (fb_interpret(message, sizeof(message), &cursor) > 0)
        text += (text.empty() ? "" : "; ") + platform::fromWire(message);
    return text;
}

} // namespace db::blocks
