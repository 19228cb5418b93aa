#include "i18n/TextFunctions.h"

#include <QString>
#include <array>
#include <cctype>

namespace i18n {

namespace {
char fold(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}
bool isOctal(char c) {
    return c >= '0' && c <= '7';
}
int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

int CompareIgnoreCase(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(fold(a[i]));
        const auto y = static_cast<unsigned char>(fold(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareIgnoreCase(a, b) == 0;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = fold(c);
    return out;
}

std::string UnicodeUpper(const std::string& text) {
    return QString::fromStdString(text).toUpper().toStdString();
}

int SearchBM(std::string_view sub, std::string_view s) {
    const std::size_t m = sub.size();
    if (m == 0)
        return 1;
    std::array<std::size_t, 256> skip;
    skip.fill(m);
    for (std::size_t k = 0; k + 1 < m; ++k)
        skip[static_cast<unsigned char>(sub[k])] = m - 1 - k;
    std::size_t i = m - 1; // 0-based index under the window's last byte
    while (i < s.size()) {
        std::size_t j = 0;
        while (j < m && sub[m - 1 - j] == s[i - j])
            ++j;
        if (j == m)
            return int(i - m + 2);
        i += skip[static_cast<unsigned char>(s[i])];
    }
    return 0;
}

std::string ExtractTranslation(std::string_view line, char delim, int n) {
    if (line.empty() || n < 0)
        return {};
    if (n == 0)
        return std::string(line.substr(0, line.find(delim, 1)));
    std::size_t start = 0;
    int count = 0;
    for (; start < line.size() && count < n; ++start)
        if (line[start] == delim)
            ++count;
    if (count < n)
        return {};
    std::size_t end = start;
    while (end < line.size() && line[end] != delim)
        ++end;
    return std::string(line.substr(start, end - start));
}

std::string ExtractDefaultUpper(std::string_view line, char delim) {
    const std::string text = ExtractTranslation(line, delim, 1);
    return text.empty() ? text : UnicodeUpper(text);
}

std::string ExpandEscapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const char e = text[++i];
        switch (e) {
        case 'a':
            out += '\a';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'v':
            out += '\v';
            break;
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case '\'':
            out += '\'';
            break;
        case '?':
            out += '?';
            break;
        case 'x': {
            const int h1 = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
            if (h1 < 0) {
                out += "\\x";
                break;
            }
            int value = h1;
            ++i;
            if (i + 1 < text.size() && hexValue(text[i + 1]) >= 0)
                value = value * 16 + hexValue(text[++i]);
            out += char(value);
            break;
        }
        default:
            if (isOctal(e)) {
                int value = e - '0';
                for (int k = 0; k < 2 && i + 1 < text.size() && isOctal(text[i + 1]); ++k)
                    value = value * 8 + (text[++i] - '0');
                out += char(value & 0xFF);
            } else {
                out += '\\';
                out += e;
            }
        }
    }
    return out;
}

std::vector<std::string> FormatConversions(std::string_view text) {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%')
            continue;
        if (i + 1 < text.size() && text[i + 1] == '%') {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < text.size() &&
               std::string_view("-+ #0123456789.*").find(text[j]) != std::string_view::npos)
            ++j;
        std::string conversion;
        while (j < text.size() && std::string_view("hlLqjzt").find(text[j]) != std::string_view::npos)
            conversion += text[j++];
        if (j < text.size())
            conversion += text[j];
        result.push_back(conversion);
        i = j;
    }
    return result;
}

int CountDelims(std::string_view s, std::string_view delims) {
    int count = 0;
    for (char c : s)
        if (delims.find(c) != std::string_view::npos)
            ++count;
    return count;
}

namespace {
// 1-based start of word `n`, 0 when there is none.
std::size_t findWord(int n, std::string_view s, std::string_view delims) {
    auto isDelim = [&](std::size_t p) { return delims.find(s[p - 1]) != std::string_view::npos; };
    const std::size_t len = s.size();
    std::size_t pos = 1;
    int count = 0;
    while (pos <= len && count != n) {
        if (isDelim(pos))
            ++pos; // one delimiter only: two adjacent ones enclose an empty word
        if (pos <= len)
            ++count;
        if (count == n)
            return pos;
        while (pos <= len && !isDelim(pos))
            ++pos;
    }
    return 0;
}
} // namespace

int WordPosition(int n, std::string_view s, std::string_view delims) {
    const std::size_t p = findWord(n, s, delims);
    return p ? int(p) : int(s.size());
}

std::string ExtractWord(int n, std::string_view s, std::string_view delims) {
    // A word found at the very last byte is still a word ("a,b", word 2, is "b").
    const std::size_t p = findWord(n, s, delims);
    if (p == 0)
        return {};
    std::string word;
    for (std::size_t i = p - 1; i < s.size() && delims.find(s[i]) == std::string_view::npos; ++i)
        word += s[i];
    return word;
}

std::string FilePiece(std::string_view value, std::string_view fileDelim, int k) {
    if (k < 1 || fileDelim.empty())
        return {};
    std::size_t start = 0;
    for (int piece = 1; piece < k; ++piece) {
        const std::size_t at = value.find(fileDelim, start);
        if (at == std::string_view::npos)
            return {};
        start = at + fileDelim.size();
    }
    return std::string(value.substr(start, value.find(fileDelim, start) - start));
}

std::string ReplaceStr(std::string_view s, std::string_view search, std::string_view replacement, bool all) {
    if (search.empty())
        return std::string(s);
    std::string out;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = s.find(search, from);
        if (at == std::string_view::npos)
            break;
        out.append(s.substr(from, at - from)).append(replacement);
        from = at + search.size();
        if (!all)
            break;
    }
    out.append(s.substr(from));
    return out;
}

std::string XorString(std::string_view key, std::string_view text) {
    std::string out(text);
    if (key.empty())
        return out;
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = char(out[i] ^ key[i % key.size()]);
    return out;
}

const TStrings& IniSectionNames() {
    static const TStrings names{"Captions",   "Hints",       "DisplayLabels", "Fonts",
                                "Multilines", "Dialogs",     "Strings",       "Other",
                                "Locales",    "Collections", "CharSets",      "ListView_TreeView_Items"};
    return names;
}

void GetIniNames(TStrings* out) {
    *out = IniSectionNames();
}

bool IsValidIniSection(std::string_view name) {
    for (const auto& section : IniSectionNames())
        if (EqualsIgnoreCase(section, name))
            return true;
    return false;
}

std::string ToCommaText(const TStrings& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i)
            out += ',';
        if (lines[i].empty())
            continue;
        out += '"';
        for (char c : lines[i]) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    }
    return out;
}

TStrings FromCommaText(std::string_view text) {
    TStrings lines;
    if (text.empty())
        return lines;
    std::size_t i = 0;
    while (true) {
        std::string item;
        if (i < text.size() && text[i] == '"') {
            ++i;
            while (i < text.size()) {
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        item += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += text[i++];
            }
            while (i < text.size() && text[i] != ',')
                ++i;
        } else {
            while (i < text.size() && text[i] != ',')
                item += text[i++];
        }
        lines.push_back(item);
        if (i >= text.size())
            break;
        ++i; // the comma
    }
    return lines;
}

TStrings SplitLines(std::string_view text) {
    TStrings lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.emplace_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    return lines;
}

} // namespace i18n
