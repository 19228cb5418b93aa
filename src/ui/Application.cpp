#include "ui/Application.h"

#include <QAbstractEventDispatcher>

namespace ui {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

TApplication* TApplication::instance() {
    return qobject_cast<TApplication*>(QCoreApplication::instance());
}

void TApplication::SetOnIdle(std::function<void()> handler) {
    const bool first = !onIdle_;
    onIdle_ = std::move(handler);
    if (first)
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
                &TApplication::runIdle);
}

void TApplication::runIdle() {
    if (inIdle_ || !onIdle_)
        return;
    inIdle_ = true;
    try {
        onIdle_();
    } catch (const std::exception& error) {
        if (OnException)
            OnException(error);
    }
    inIdle_ = false;
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

} // namespace ui
