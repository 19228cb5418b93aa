// A translation component written as one block in the object format of the
// form descriptions: the signature "TPF0", the class name and the component
// name, then the published properties in published order, each a name and a
// typed value, and the translation data as a binary value. Components are
// read back through a registry of the translation classes, without owner, so
// a component read registers nowhere and translates no form.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

class TlgCustomLang;

namespace i18n {

using TranslationClassFactory = std::function<std::unique_ptr<TlgCustomLang>()>;
// TlgLang and TlgLangLinked are known from the start.
void RegisterTranslationClass(const std::string& className, TranslationClassFactory factory);
// A new ownerless component of a registered class; null for an unknown class.
std::unique_ptr<TlgCustomLang> CreateTranslationComponent(const std::string& className);

std::string WriteComponentBlock(TlgCustomLang& component);
// Reads a whole block into a new ownerless component. Anything that does not
// check out raises ELanguageError "Unrecognized stream format!".
std::unique_ptr<TlgCustomLang> ReadComponentBlock(std::string_view block);

// The text of that error.
extern const char* const UnrecognizedStreamFormat;

} // namespace i18n
