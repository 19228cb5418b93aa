// The main window's front of the locks it shares with the exchange link
// thread and with its own re-entrant handlers.
#include "shell/MainForm.h"

#include "base/EventLock.h"

bool TForm1::CzekajNaEvent(platform::Event* event) {
    return base::TakeEvent(event);
}

void TForm1::ZwolnijEvent(platform::Event* event) {
    base::ReleaseEvent(event);
}
