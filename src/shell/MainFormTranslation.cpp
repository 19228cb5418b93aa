// The main window's translation components.
#include "i18n/FormTranslation.h"
#include "i18n/Warnings.h"
#include "shell/MainForm.h"

void TForm1::CreateTranslationComponents() {
    i18n::SetWarningSink([](const std::string& text) { base::WriteLog(2, "%s", text.c_str()); });
    lgLang = i18n::CreateMainTranslation(this, lgLangDispatcher);
}
