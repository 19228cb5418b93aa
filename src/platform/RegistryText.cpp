// The text format of a branch file, that of a registry export: keys in
// brackets, each followed by its values as "name"="text" or "name"=dword:hex.
#include "platform/RegistryInternal.h"

#include <QStringDecoder>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace platform {
using namespace registry;
namespace {

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Reads a quoted text starting at `pos` (at the opening quote); moves `pos`
// past the closing quote. False when the quote is not closed.
bool readQuoted(const std::string& line, std::size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"')
        return false;
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < line.size()) {
            const char n = line[++pos];
            out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out += c;
        }
    }
    return false;
}

bool onlyBlanksFrom(const std::string& line, std::size_t pos) {
    return line.find_first_not_of(" \t", pos) == std::string::npos;
}

// A dword holds 1 to 8 hexadecimal digits: anything longer would not fit
// and is refused rather than cut to another number.
bool parseDword(const std::string& digits, std::uint32_t& out) {
    std::size_t end = digits.find_first_not_of("0123456789abcdefABCDEF");
    if (end == std::string::npos)
        end = digits.size();
    if (end == 0 || end > 8 || !onlyBlanksFrom(digits, end))
        return false;
    out = std::uint32_t(std::stoul(digits.substr(0, end), nullptr, 16));
    return true;
}

// Parses one value line; on failure `why` says what is wrong with it.
bool parseValueLine(const std::string& line, RegistryValue& value, const char*& why) {
    why = "nieczytelny wiersz";
    std::size_t pos = 0;
    if (!readQuoted(line, pos, value.name) || pos >= line.size() || line[pos] != '=')
        return false;
    ++pos;
    if (line.compare(pos, 6, "dword:") == 0) {
        value.type = RegistryValue::Type::Dword;
        if (parseDword(line.substr(pos + 6), value.dword))
            return true;
        why = "liczba poza zakresem lub nieczytelna";
        return false;
    }
    if (pos < line.size() && line[pos] != '"') {
        why = "nieobsługiwany typ wartości";
        return false;
    }
    value.type = RegistryValue::Type::String;
    return readQuoted(line, pos, value.text) && onlyBlanksFrom(line, pos);
}

bool isUtf8(const std::string& text) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    // The decoding runs when its result is taken.
    const QString decoded = decoder(QByteArrayView(text.data(), qsizetype(text.size())));
    return !decoder.hasError();
}

// Lines a Windows export may hold that carry nothing to read.
bool isIgnorable(const std::string& line) {
    return onlyBlanksFrom(line, 0) || line.front() == ';' ||
           line.rfind("Windows Registry Editor Version", 0) == 0 || line == "REGEDIT4";
}

// A Windows export names the root in each key; the branch file is the root.
std::string withoutRoot(const std::string& path) {
    for (const char* root : {"HKEY_LOCAL_MACHINE\\", "HKEY_CURRENT_USER\\", "HKLM\\", "HKCU\\"}) {
        const std::size_t size = std::strlen(root);
        if (path.size() >= size && lowered(path.substr(0, size)) == lowered(root))
            return path.substr(size);
    }
    return path;
}

} // namespace

std::string RegistryFile::serialise(const std::map<std::string, Key>& keys) {
    std::ostringstream out;
    out << "Windows Registry Editor Version 5.00\r\n";
    for (const auto& [id, key] : keys) {
        out << "\r\n[" << key.path << "]\r\n";
        for (const auto& [name, value] : key.values) {
            out << '"' << escaped(value.name) << "\"=";
            if (value.type == RegistryValue::Type::Dword) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "dword:%08x", value.dword);
                out << hex;
            } else {
                out << '"' << escaped(value.text) << '"';
            }
            out << "\r\n";
        }
    }
    return out.str();
}

std::map<std::string, RegistryFile::Key> RegistryFile::parse(const std::string& text,
                                                             std::vector<std::string>* problems) {
    std::map<std::string, Key> keys;
    Key* current = nullptr;
    bool inBrokenKey = false;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    // A garbled file can have a problem on every line; the first few tell
    // the operator enough.
    constexpr std::size_t ProblemsShown = 5;
    std::size_t more = 0;
    const auto problem = [&](const char* why) {
        if (!problems)
            return;
        if (problems->size() < ProblemsShown)
            problems->push_back("wiersz " + std::to_string(number) + ": " + why);
        else
            ++more;
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!isUtf8(line)) {
            problem("znaki spoza UTF-8");
            continue;
        }
        if (isIgnorable(line))
            continue;
        if (line.front() == '[') {
            // The values under a broken header belong to no key we know:
            // they must not slip into the key above it.
            current = nullptr;
            inBrokenKey = true;
            const std::size_t close = line.rfind(']');
            if (close == std::string::npos || !onlyBlanksFrom(line, close + 1) || line.size() < 3 ||
                line[1] == '-') {
                problem("nieprawidłowy nagłówek klucza");
                continue;
            }
            const std::string path = normalisedPath(withoutRoot(line.substr(1, close - 1)));
            Key& key = keys[lowered(path)];
            key.path = path;
            current = &key;
            inBrokenKey = false;
            continue;
        }
        RegistryValue value;
        const char* why = nullptr;
        if (!parseValueLine(line, value, why)) {
            problem(why);
            continue;
        }
        if (!current) {
            problem(inBrokenKey ? "wartość pod nieprawidłowym nagłówkiem" : "wartość poza kluczem");
            continue;
        }
        current->values[lowered(value.name)] = value;
    }
    if (more)
        problems->push_back("i " + std::to_string(more) + " innych");
    return keys;
}

} // namespace platform
