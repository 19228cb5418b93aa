// Until the SMS gateway is built, its settings have nowhere further to go.
#include "shell/MainForm.h"

void TForm1::ApplySmsSettings() {}

void TForm1::LoadSmsRouting() {}
