// The application object: routes exceptions that escape an event handler to
// one handler, and calls an idle handler whenever the event loop is about to
// wait (with a guard against re-entry from nested event processing).
#pragma once

#include <QApplication>
#include <functional>
#include <stdexcept>

namespace ui {

class TApplication : public QApplication {
    Q_OBJECT
  public:
    TApplication(int& argc, char** argv);

    std::function<void(const std::exception&)> OnException;
    // An empty handler removes the one set before (its owner is going away).
    void SetOnIdle(std::function<void()> handler);
    bool notify(QObject* receiver, QEvent* event) override;

    static TApplication* instance();

  private:
    void runIdle();
    std::function<void()> onIdle_;
    QMetaObject::Connection idleConnection_;
    bool inIdle_ = false;
};

// Qt's own texts (the standard buttons of message boxes, ...) in the given
// language ("pl", "en", "ru"), replacing an earlier choice; false when Qt's
// translations for it are not installed, and Qt then speaks English.
bool UseQtTranslations(const QString& language);

} // namespace ui
