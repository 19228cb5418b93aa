// The editor of one routing rule for received SMS.
#pragma once

#include "ui/Components.h"

class TlgLangLinked;

class TfrmSmsRoutingRule : public ui::TForm {
    Q_OBJECT
  public:
    explicit TfrmSmsRoutingRule(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
};

extern TfrmSmsRoutingRule* frmSmsRoutingRule;
