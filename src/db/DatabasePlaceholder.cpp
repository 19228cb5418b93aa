// Until the database access is built, every attach fails and the server
// waits for its database, retrying every minute.
#include "shell/MainForm.h"

bool MainDbHandleExists() {
    return false;
}

int TForm1::AttachMainDatabase() {
    trmReconnect->SetEnabled(true);
    return -1;
}

int TForm1::CheckAndCreateTables(int& error) {
    error = 0;
    return 0;
}

void TForm1::FailSmsLeftInProgress() {}
