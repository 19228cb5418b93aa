// The text codec shared by the client protocol ("&" between fields, "\"
// escapes, CR LF at the end) and the exchange's line protocol (blank between
// fields, "\" escapes, CR at the end of a command). It holds no state.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class CommandParserGenerator {
  public:
    using Fields = std::vector<std::string>;

    // Result codes of the record and request handlers.
    enum Result { Handled = 1, NotMine = 2, WrongFieldCount = 3, BadValue = 4 };

    static std::string Escape(const std::string& text, char escape = '\\', char separator = '&');
    // Reads exactly `count` characters of `text`.
    static std::string Unescape(const char* text, std::size_t count, char escape = '\\',
                                char separator = '&');
    static Fields Parse(const std::string& text, char escape = '\\', char separator = '&',
                        const std::string& terminator = "\r\n");
    static std::string Generate(const Fields& fields, char escape = '\\', char separator = '&',
                                const std::string& terminator = "\r\n");
    static std::string ErrorText(int code);

    // The built-in self-check: empty when every check holds, otherwise the
    // text of the first check that failed.
    static std::string TestCommandParserGenerator();
};
