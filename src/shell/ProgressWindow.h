// The progress window: shown modally while the database is attached, and by
// the restore and the contact import while they work.
#pragma once

#include "ui/Components.h"

class TlgLangLinked;

class TOknoInfo : public ui::TForm {
    Q_OBJECT
  public:
    explicit TOknoInfo(QWidget* owner = nullptr);

    ui::TLabel* Label1 = nullptr;
    ui::TProgressBar* progress = nullptr;
    ui::TTimer* OknoInfoTimer = nullptr;
    ui::TButton* AbortButton = nullptr;
    TlgLangLinked* lgLangLinked1 = nullptr;

    // Bar 0-44 counting a step a second, Abort shown, the connect-aborted flag cleared.
    void Start();
    // Bar back to 0 on 0-100, timer off, Abort hidden.
    void Stop();
    void OknoInfoTimerTimer();
    // While set (a restore shows the window), its close box does nothing:
    // the window stands until the work it shows has ended.
    bool HeldOpen = false;

  protected:
    void closeEvent(QCloseEvent* event) override;
};

extern TOknoInfo* OknoInfo;
