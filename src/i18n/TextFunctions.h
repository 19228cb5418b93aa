// Text helpers of the localisation engine: translation lines (key, then per
// language a delimiter and a text), the C-escape expansion of message texts,
// ASCII case folding for keys, and the small word and replacement functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace i18n {

using TStrings = std::vector<std::string>;

// Keys compare by ASCII case folding, whatever the user's locale.
int CompareIgnoreCase(std::string_view a, std::string_view b);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);
std::string AsciiUpper(std::string_view text);
// Upper case of a UTF-8 text in any script (for the test-mode marking).
std::string UnicodeUpper(const std::string& text);

// 1-based position of the first occurrence of `sub` in `s`, 0 when none, 1
// when `sub` is empty (Boyer-Moore-Horspool, byte-exact).
int SearchBM(std::string_view sub, std::string_view s);

// Field `n` of one translation entry: 0 the key, k >= 1 the text of language
// k. The field ends at the next delimiter or at the entry's end; a missing
// field is empty. (Look-ups pass one entry, never the rest of a list.)
std::string ExtractTranslation(std::string_view line, char delim, int n);
// The language-1 text of a line in upper case (empty stays empty).
std::string ExtractDefaultUpper(std::string_view line, char delim);

// Expands the C escapes of a stored message text ("\n", "\x41", "\101", ...).
std::string ExpandEscapes(std::string_view text);

// The printf conversions of a text, in order ("%-5d" gives "d", "%lu" "lu");
// "%%" is no conversion.
std::vector<std::string> FormatConversions(std::string_view text);

// Delimiter bytes of `s` that are in `delims`.
int CountDelims(std::string_view s, std::string_view delims);
// 1-based position of word `n` (words separated by single delimiter bytes);
// the length of `s` when there is no such word.
int WordPosition(int n, std::string_view s, std::string_view delims);
std::string ExtractWord(int n, std::string_view s, std::string_view delims);
// Text k (1-based) of a language-file value: the text between file
// delimiters k-1 and k; empty past the last.
std::string FilePiece(std::string_view value, std::string_view fileDelim, int k);
std::string ReplaceStr(std::string_view s, std::string_view search, std::string_view replacement, bool all);
std::string XorString(std::string_view key, std::string_view text);

// The section names of a language text file, in the order of the kinds of text.
const TStrings& IniSectionNames();
// Empties `out` and fills it with the section names, in order.
void GetIniNames(TStrings* out);
bool IsValidIniSection(std::string_view name);

// Comma text of a string list: each line in double quotes, separated by commas.
std::string ToCommaText(const TStrings& lines);
TStrings FromCommaText(std::string_view text);

// Lines of a text ending at CR LF, a lone CR or a lone LF.
TStrings SplitLines(std::string_view text);

} // namespace i18n
