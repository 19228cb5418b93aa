// The main window's log and user-name callbacks: what the SMS engine and the
// GSM-line table are given so that they can log and name users without
// knowing the window.
#pragma once

#include "base/Callbacks.h"

class TForm1;

namespace shell {

// Writes a text to the log at level 1, unchanged.
class WindowLogCallback : public cCallbackLog {
  public:
    explicit WindowLogCallback(TForm1& form) : form_(form) {}
    void operator()(const std::string& text) override;

  private:
    TForm1& form_;
};

// The name of a user id in the user list; "" when the id is unknown.
class WindowUserNameCallback : public cCallbackGetUserName {
  public:
    explicit WindowUserNameCallback(TForm1& form) : form_(form) {}
    std::string operator()(const std::string& userId) override;

  private:
    TForm1& form_;
};

} // namespace shell
