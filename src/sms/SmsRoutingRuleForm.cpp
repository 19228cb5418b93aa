#include "sms/SmsRoutingRuleForm.h"

#include "i18n/FormTranslation.h"

TfrmSmsRoutingRule* frmSmsRoutingRule = nullptr;

TfrmSmsRoutingRule::TfrmSmsRoutingRule(QWidget* owner) : TForm(QStringLiteral("frmSmsRoutingRule"), owner) {
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}
