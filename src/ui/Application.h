// The application object: routes exceptions that escape an event handler to
// one handler.
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
    bool notify(QObject* receiver, QEvent* event) override;

    static TApplication* instance();
};

// True when the program runs without a display (Qt's offscreen platform):
// nothing is shown, and dialogs write to the log instead.
bool IsHeadless();

// Qt's own texts (the standard buttons of message boxes, ...) in the given
// language ("pl", "en", "ru"), replacing an earlier choice; false when Qt's
// translations for it are not installed, and Qt then speaks English.
bool UseQtTranslations(const QString& language);

} // namespace ui
