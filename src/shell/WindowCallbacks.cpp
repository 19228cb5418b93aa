#include "shell/WindowCallbacks.h"

#include "shell/MainForm.h"

namespace shell {

void WindowLogCallback::operator()(const std::string& text) {
    form_.ForwardLogText(text);
}

std::string WindowUserNameCallback::operator()(const std::string& userId) {
    return form_.GetUserNameById(userId);
}

} // namespace shell
