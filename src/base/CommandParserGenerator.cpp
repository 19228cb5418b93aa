#include "base/CommandParserGenerator.h"

#include <random>

std::string CommandParserGenerator::Escape(const std::string& text, char escape, char separator) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == escape || c == separator)
            out += escape;
        out += c;
    }
    return out;
}

std::string CommandParserGenerator::Unescape(const char* text, std::size_t count, char escape,
                                             char separator) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[i];
        if (c != escape) {
            out += c;
            continue;
        }
        if (i + 1 == count)
            break; // a trailing escape is dropped
        const char next = text[++i];
        if (next == escape || next == separator)
            out += next;
    }
    return out;
}

CommandParserGenerator::Fields CommandParserGenerator::Parse(const std::string& text, char escape,
                                                             char separator, const std::string& terminator) {
    Fields fields;
    if (!terminator.empty() && text.find(terminator) == std::string::npos)
        return fields;
    const std::size_t size = text.size();
    std::size_t fieldStart = 0;
    bool escaped = false;
    for (std::size_t i = 0; i < size; ++i) {
        if (escaped) {
            escaped = false;
            continue;
        }
        const char c = text[i];
        if (c == escape) {
            escaped = true;
            continue;
        }
        if (c == separator) {
            fields.push_back(Unescape(text.data() + fieldStart, i - fieldStart, escape, separator));
            fieldStart = i + 1;
            continue;
        }
        if (!terminator.empty()) {
            if (size - i >= terminator.size() && text.compare(i, terminator.size(), terminator) == 0) {
                fields.push_back(Unescape(text.data() + fieldStart, i - fieldStart, escape, separator));
                return fields;
            }
        } else if (i + 1 == size) {
            fields.push_back(Unescape(text.data() + fieldStart, size - fieldStart, escape, separator));
        }
    }
    // Without a terminator a trailing separator yields the fields before it
    // and nothing more; a field still open at the end is not appended.
    return fields;
}

std::string CommandParserGenerator::Generate(const Fields& fields, char escape, char separator,
                                             const std::string& terminator) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i + 1 < fields.size()) {
            out += Escape(fields[i], escape, separator);
            out += separator;
        } else {
            out += Escape(fields[i], '\\', '&');
        }
    }
    out += terminator;
    return out;
}

std::string CommandParserGenerator::ErrorText(int code) {
    switch (code) {
    case 1:
        return "Brak błędu";
    case 2:
        return "Komenda nie znaleziona";
    case 3:
        return "Zła liczba argumentów";
    case 4:
        return "Zła wartość argumentu";
    default:
        return std::to_string(code);
    }
}

namespace {

using CPG = CommandParserGenerator;

std::string unescapeAll(const std::string& s, char escape = '\\', char separator = '&') {
    return CPG::Unescape(s.data(), s.size(), escape, separator);
}

} // namespace

#define HALVEX_SELF_CHECK(condition)                                                                         \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            return #condition;                                                                               \
    } while (0)

std::string CommandParserGenerator::TestCommandParserGenerator() {
    HALVEX_SELF_CHECK(unescapeAll("") == "");
    HALVEX_SELF_CHECK(unescapeAll("abc") == "abc");
    HALVEX_SELF_CHECK(unescapeAll("2\\&3") == "2&3");
    HALVEX_SELF_CHECK(unescapeAll("2\\&3\\\\") == "2&3\\");
    HALVEX_SELF_CHECK(unescapeAll("2\\&3\\\\32\\\\\\\\") == "2&3\\32\\\\");
    HALVEX_SELF_CHECK(unescapeAll("2\\&3\\\\32\\\\\\\\\\&") == "2&3\\32\\\\&");
    HALVEX_SELF_CHECK(unescapeAll("2\\ 3\\\\32\\\\\\\\\\ ", '\\', ' ') == "2 3\\32\\\\ ");
    HALVEX_SELF_CHECK(unescapeAll("2k 3kk32kkkkk ", 'k', ' ') == "2 3k32kk ");
    HALVEX_SELF_CHECK(Escape("2 ", 'k', ' ') == "2k ");
    Fields sOut = Parse("2\\&3&24\r\n");
    HALVEX_SELF_CHECK(sOut.size() == 2);
    HALVEX_SELF_CHECK(sOut[0] == "2&3" && sOut[1] == "24");
    HALVEX_SELF_CHECK(Parse("").empty());
    HALVEX_SELF_CHECK(Parse("123456").empty());
    sOut = Parse("123456\r\n");
    HALVEX_SELF_CHECK(sOut.size() == 1 && sOut[0] == "123456");
    sOut = Parse("&\r\n");
    HALVEX_SELF_CHECK(sOut.size() == 2 && sOut[0].empty() && sOut[1].empty());
    sOut = Parse("2k  3kk32kkkkk  aa", 'k', ' ', "aa");
    HALVEX_SELF_CHECK(sOut.size() == 3);
    HALVEX_SELF_CHECK(sOut[0] == "2 " && sOut[1] == "3k32kk " && sOut[2].empty());
    const Fields fields{"a&b", "c\\d", "", "last"};
    HALVEX_SELF_CHECK(Parse(Generate(fields)) == fields);
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> length(0, 63), character(32, 127);
    for (int i = 0; i < 20000; ++i) {
        std::string text(static_cast<std::size_t>(length(random)), ' ');
        for (char& c : text)
            c = static_cast<char>(character(random));
        HALVEX_SELF_CHECK(unescapeAll(Escape(text)) == text);
    }
    return {};
}
