// Creating the translation components of the forms: the main form's lgLang
// and the one language dispatcher, and each other form's lgLangLinked1, each
// filled from its form's embedded data.
#pragma once

#include "i18n/LangComponent.h"
#include "i18n/LangDispatcher.h"

namespace i18n {

// The languages of every form, in order; German (3) has no texts.
const TStrings& ProgramLangNames();

// Creates `lgLang` and `lgLangDispatcher` on the main form and links every
// linked component created before it (the progress window).
TlgLang* CreateMainTranslation(QObject* mainForm, TlgLangDispatcher*& dispatcher);

// Creates a form's `lgLangLinked1` after its controls exist; it joins the
// main form's dispatcher now, or as soon as the main form exists. Without
// `withContainer` it does not share the main form's dialog captions.
TlgLangLinked* CreateLinkedTranslation(QObject* form, bool withContainer = true);

// Forgets the main form's components (the main form is going away).
void ForgetMainTranslation();

} // namespace i18n
