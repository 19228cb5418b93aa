// Whole-file reads and atomic writes of translation files. A text
// translation file is our own UTF-8 data: the program and the build's data
// generator read it through the same function, so a file the program would
// refuse also fails the build.
#pragma once

#include <string>
#include <string_view>

namespace i18n {

bool FileExists(const std::string& fileName);
// The bytes of a file; ELanguageError naming the file and the reason when it
// cannot be read or is larger than any translation file can be.
std::string ReadFileBytes(const std::string& fileName);
// The text of a translation text file; ELanguageError naming the file and the
// reason also when it is not valid UTF-8 or holds a NUL byte.
std::string ReadTranslationText(const std::string& fileName);
// Replaces the file's content as a whole; ELanguageError naming the file when
// it cannot be written (the old content then stays as it was).
void WriteFileAtomically(const std::string& fileName, std::string_view bytes);

} // namespace i18n
