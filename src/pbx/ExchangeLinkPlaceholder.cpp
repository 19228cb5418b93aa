// The exchange link: until the link thread is built, connecting only ticks
// the menu item and the dispatcher has nothing to drain.
#include "shell/MainForm.h"

void TForm1::Podlacz_centraleClick() {
    ClearCallTable();
    if (PodlaczCentrale->isChecked()) {
        PodlaczCentrale->setChecked(false);
        RozlaczCentrale();
        PbxLinkErrorCount = 999;
        return;
    }
    PodlaczCentrale->setChecked(true);
}

void TForm1::RozlaczCentrale() {
    if (shell::Switches().chbLogRS)
        WriteLog(1, "RozlaczCentrale");
}

bool TForm1::WaitForLinkEnd(int) {
    return true;
}

void TForm1::ObslugaCentrali() {}

void TForm1::WyslijNumer(const std::string&) {}

void TForm1::WyslijLinie(const char*, int, int) {}

void TForm1::FreeReceivedLines() {}

void TForm1::ClearCallTable() {
    for (auto& call : ActiveCalls)
        call = ActiveCall();
    ActiveCallCount = 0;
}

void TForm1::CrmSocketSetActive(bool) {}
