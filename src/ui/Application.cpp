#include "ui/Application.h"

#include "platform/ProcessLocale.h"

#include <QHelpEvent>
#include <QLibraryInfo>
#include <QThread>
#include <QToolTip>
#include <QTranslator>
#include <memory>

namespace ui {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // QApplication has just taken the locale from the environment; database
    // file names must not depend on it.
    platform::UseUtf8CharacterType();
    installEventFilter(this);
}

// A control's own hint is shown for the application's hint pause; lists
// showing a hint of their own rows keep Qt's.
bool TApplication::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (!widget->toolTip().isEmpty() && widget->toolTipDuration() < 0) {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), widget->toolTip(), widget, {},
                               hintHidePause_);
            event->accept();
            return true;
        }
    }
    return QApplication::eventFilter(watched, event);
}

TApplication* TApplication::instance() {
    return qobject_cast<TApplication*>(QCoreApplication::instance());
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    if (QThread::currentThread() != thread())
        return deliver(receiver, event);
    struct Depth {
        TApplication& app;
        explicit Depth(TApplication& a) : app(a) { ++app.handlerDepth_; }
        ~Depth() {
            if (--app.handlerDepth_ == 0 && !app.waiting_.empty())
                app.postWaitingSteps();
        }
    } depth(*this);
    return deliver(receiver, event);
}

void TApplication::RunAtTopLevel(QObject* context, std::function<void()> step) {
    if (handlerDepth_ <= 1) {
        step();
        return;
    }
    waiting_.push_back({context, std::move(step)});
}

// Posted rather than run here: the top-level loop delivers them as its own
// events, and one that finds itself nested again waits once more.
void TApplication::postWaitingSteps() {
    std::vector<WaitingStep> steps;
    steps.swap(waiting_);
    for (WaitingStep& waiting : steps) {
        QObject* context = waiting.context.data();
        if (!context)
            continue;
        QMetaObject::invokeMethod(
            context, [this, context, step = std::move(waiting.step)] { RunAtTopLevel(context, step); },
            Qt::QueuedConnection);
    }
}

bool TApplication::deliver(QObject* receiver, QEvent* event) {
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
