#include "ui/Application.h"

#include "platform/ProcessLocale.h"

#include <QLibraryInfo>
#include <QTranslator>
#include <memory>

namespace ui {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // QApplication has just taken the locale from the environment; database
    // file names must not depend on it.
    platform::UseUtf8CharacterType();
}

TApplication* TApplication::instance() {
    return qobject_cast<TApplication*>(QCoreApplication::instance());
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        if (!OnException)
            throw;
        OnException(error);
    }
    return false;
}

bool IsHeadless() {
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

bool UseQtTranslations(const QString& language) {
    static std::unique_ptr<QTranslator> installed;
    installed.reset();
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral("qtbase_") + language,
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    QCoreApplication::installTranslator(translator.get());
    installed = std::move(translator);
    return true;
}

} // namespace ui
