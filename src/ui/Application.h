// The application object: routes exceptions that escape an event handler to
// one handler, and knows how deep in event handlers the GUI thread is, so
// that a step which frees what handlers use can wait until none runs.
#pragma once

#include <QApplication>
#include <QPointer>
#include <functional>
#include <stdexcept>
#include <vector>

namespace ui {

class TApplication : public QApplication {
    Q_OBJECT
  public:
    TApplication(int& argc, char** argv);

    std::function<void(const std::exception&)> OnException;
    bool notify(QObject* receiver, QEvent* event) override;

    // Event handlers running on the GUI thread: 1 inside a handler called
    // from the top-level loop, more inside a loop nested in a handler.
    int HandlerDepth() const { return handlerDepth_; }
    // Runs `step` now when no other handler runs beneath the caller; else
    // once the outermost one has returned, from the top-level loop. Dropped
    // with `context`.
    void RunAtTopLevel(QObject* context, std::function<void()> step);

    static TApplication* instance();

    // How long a control's hint stays up, in milliseconds.
    int HintHidePause() const { return hintHidePause_; }
    void SetHintHidePause(int ms) { hintHidePause_ = ms; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool deliver(QObject* receiver, QEvent* event);
    void postWaitingSteps();

    struct WaitingStep {
        QPointer<QObject> context;
        std::function<void()> step;
    };
    int handlerDepth_ = 0;
    int hintHidePause_ = 2500;
    std::vector<WaitingStep> waiting_;
};

// True when the program runs without a display (Qt's offscreen platform):
// nothing is shown, and dialogs write to the log instead.
bool IsHeadless();

// Qt's own texts (the standard buttons of message boxes, ...) in the given
// language ("pl", "en", "ru"), replacing an earlier choice; false when Qt's
// translations for it are not installed, and Qt then speaks English.
bool UseQtTranslations(const QString& language);

} // namespace ui
