// Stand-ins until the dialog's own handlers are written.
#include "admin/SettingsDialog.h"

void TKonfiguracja::FormShow() {}
void TKonfiguracja::btnAcceptClick() {
    hide();
}
void TKonfiguracja::btnCancelClick() {
    hide();
}
void TKonfiguracja::TypCentraliChange() {}
void TKonfiguracja::NumPortChange() {}
void TKonfiguracja::CheckConnectClick() {}
void TKonfiguracja::btnCodeDefaultClick() {}
void TKonfiguracja::ZaawansowaneClick() {}
void TKonfiguracja::ComboBoxLangCloseUp() {}
void TKonfiguracja::CheckBoxSmsTrialsClick() {}
void TKonfiguracja::ButtonKasujKolejkiClick() {}
void TKonfiguracja::chbAutoBackupClick() {}
void TKonfiguracja::btnSetDatabasePathClick() {}
void TKonfiguracja::ZapiszKonfiguracjeKalendarza(const std::string&) {}
