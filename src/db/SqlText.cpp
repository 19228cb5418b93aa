#include "db/SqlText.h"

#include <cstdarg>
#include <cstdio>

std::string TrimSqlValue(const std::string& value) {
    std::size_t begin = 0;
    std::size_t end = value.size();
    while (begin < end && static_cast<unsigned char>(value[begin]) <= ' ')
        ++begin;
    while (end > begin && static_cast<unsigned char>(value[end - 1]) <= ' ')
        --end;
    return value.substr(begin, end - begin);
}

std::string QuoteIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c == '\0' ? std::string(QuotedNul) : std::string(1, c);
        if (c == '"')
            quoted += '"';
    }
    return quoted + "\"";
}

std::string DoubleQuotes(const std::string& text) {
    std::string quoted;
    quoted.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '\0') {
            quoted += QuotedNul;
            continue;
        }
        quoted += c;
        if (c == '\'')
            quoted += '\'';
    }
    return quoted;
}

std::string QuoteSql(const std::string& value) {
    return DoubleQuotes(TrimSqlValue(value));
}

namespace db {

std::string SqlFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(std::size_t(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(std::size_t(length));
    }
    va_end(args);
    return text;
}

} // namespace db
