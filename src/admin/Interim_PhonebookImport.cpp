// Stand-in until the phone-book import is written.
#include "admin/SettingsDialog.h"

void TKonfiguracja::btnImportPhonebookClick() {}
