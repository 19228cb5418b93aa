// Stand-ins until the database tools are written.
#include "admin/SettingsDialog.h"

void TKonfiguracja::btnUstawGbakPathClick() {}
void TKonfiguracja::btnUstawBackupDirClick() {}
void TKonfiguracja::btnBackupClick() {}
void TKonfiguracja::btnRestoreClick() {}
void TKonfiguracja::btnCleanDatabaseClick() {}
void TKonfiguracja::btnTestDbPerformanceClick() {}
