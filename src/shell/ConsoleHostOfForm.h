// The main window as the administration console's host.
#pragma once

#include "admin/ConsoleHost.h"

class TForm1;

namespace shell {

class ConsoleHostOfForm : public admin::ConsoleHost {
  public:
    explicit ConsoleHostOfForm(TForm1& form) : form_(form) {}

  private:
    [[maybe_unused]] TForm1& form_;
};

} // namespace shell
