// For tests that use the database classes without a main window: the
// database's messages and questions go to the dialogs in force (the scripted
// ones of the test), as the window's host sends them; texts are their keys and
// there is no timer or progress window.
#pragma once

#include "db/DatabaseHost.h"

namespace testing_support {

class DialogsDatabaseHost : public db::PlainDatabaseHost {
  public:
    bool HasDisplay() override;
    void ShowMessage(const std::string& text, const std::string& caption, MessageKind kind) override;
    bool AskOkCancel(const std::string& text, const std::string& caption) override;
};

// Makes it the database's host for the whole test process (where no main
// window's database exists).
void InstallDialogsDatabaseHost();

} // namespace testing_support
