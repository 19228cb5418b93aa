// The about box.
#pragma once

#include "ui/Components.h"

class TlgLangLinked;

class TPomoc : public ui::TForm {
    Q_OBJECT
  public:
    explicit TPomoc(QWidget* owner = nullptr);
    ui::TLabel* ProductName = nullptr;
    ui::TLabel* VersionCaption = nullptr;
    ui::TLabel* Version = nullptr;
    ui::TButton* OKButton = nullptr;
    QLabel* Image1 = nullptr;
    static constexpr int LogoSize = 96;
    TlgLangLinked* lgLangLinked1 = nullptr;

  protected:
    // Every show refreshes the version from the main window.
    void showEvent(QShowEvent* event) override;
};

extern TPomoc* Pomoc;
