#include "shell/SmsGatewayHostOfForm.h"

#include "shell/MainForm.h"

namespace shell {

cCallbackLog& SmsGatewayHostOfForm::LogCallback() {
    return form_.LogCallback;
}

cCallbackGetUserName& SmsGatewayHostOfForm::UserNameCallback() {
    return form_.UserNameCallback;
}

} // namespace shell
