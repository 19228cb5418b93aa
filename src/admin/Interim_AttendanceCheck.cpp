// Stand-in until the attendance database test is written.
#include "admin/SettingsDialog.h"

void TKonfiguracja::btnCheckRcpDBClick() {}
