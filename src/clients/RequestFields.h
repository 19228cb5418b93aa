// Reading the fields of a client request out of the read buffer: each field
// runs to its end mark and has its own longest length, in characters of the
// wire code page (one byte each). Nothing is read past the buffer's zero.
#pragma once

#include <cstddef>
#include <string>

namespace clients {

enum class FieldResult { Ok, NoEnd, TooLong };

// The field from `at` up to (not including) `endMark`; on Ok `at` moves past
// the mark. A field longer than `longest` is refused, never cut.
inline FieldResult TakeField(const char*& at, char endMark, std::size_t longest, std::string& field) {
    const char* p = at;
    while (*p != '\0' && *p != endMark)
        ++p;
    if (*p == '\0')
        return FieldResult::NoEnd;
    if (std::size_t(p - at) > longest)
        return FieldResult::TooLong;
    field.assign(at, p);
    at = p + 1;
    return FieldResult::Ok;
}

// Past an LF that directly follows the request's end.
inline const char* SkipLineFeed(const char* at) {
    return *at == '\n' ? at + 1 : at;
}

} // namespace clients
