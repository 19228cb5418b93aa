// The translation data blocks of the forms, built from translations/ at build
// time and embedded in the program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace i18n {
// The block of a form class ("TForm1"); empty when the form has none.
std::string_view EmbeddedTranslationData(std::string_view formClassName);
// The form classes that have a block.
std::vector<std::string> EmbeddedTranslationForms();
} // namespace i18n
