#include "i18n/ResourceStrings.h"

#include "i18n/LangComponent.h"

#include <QCoreApplication>

#include <atomic>

namespace i18n {

ResourceStringTranslator::ResourceStringTranslator(TlgCustomLang* component)
    : QTranslator(QCoreApplication::instance()), component_(component) {}

QString ResourceStringTranslator::translate(const char* /*context*/, const char* sourceText,
                                            const char* /*disambiguation*/, int /*n*/) const {
    if (!component_ || !sourceText)
        return {};
    const std::string text = component_->TranslateResourceString(sourceText);
    return text.empty() ? QString() : QString::fromStdString(text);
}

bool InstallResourceStringTranslator(TlgCustomLang* component) {
    static std::atomic<bool> installed{false};
    if (!QCoreApplication::instance() || installed.exchange(true))
        return false;
    QCoreApplication::installTranslator(new ResourceStringTranslator(component));
    return true;
}

} // namespace i18n
