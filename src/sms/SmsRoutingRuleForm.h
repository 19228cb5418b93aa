// The editor of one routing rule for received SMS.
#pragma once

#include "ui/Components.h"

class TfrmSmsRoutingRule : public ui::TForm {
    Q_OBJECT
  public:
    explicit TfrmSmsRoutingRule(QWidget* owner = nullptr);
};

extern TfrmSmsRoutingRule* frmSmsRoutingRule;
