#include "sms/SmsRoutingRuleForm.h"

TfrmSmsRoutingRule* frmSmsRoutingRule = nullptr;

TfrmSmsRoutingRule::TfrmSmsRoutingRule(QWidget* owner) : TForm(QStringLiteral("frmSmsRoutingRule"), owner) {}
