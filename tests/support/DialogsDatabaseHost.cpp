#include "support/DialogsDatabaseHost.h"

#include "shell/DatabaseHostOfForm.h"
#include "ui/Dialogs.h"

namespace testing_support {

bool DialogsDatabaseHost::HasDisplay() {
    return ui::dialogs().HasDisplay();
}

void DialogsDatabaseHost::ShowMessage(const std::string& text, const std::string& caption, MessageKind kind) {
    shell::ShowDatabaseMessage(text, caption, kind);
}

bool DialogsDatabaseHost::AskOkCancel(const std::string& text, const std::string& caption) {
    return shell::AskDatabaseOkCancel(text, caption);
}

void InstallDialogsDatabaseHost() {
    static DialogsDatabaseHost host;
    db::SetDefaultHost(&host);
}

} // namespace testing_support
