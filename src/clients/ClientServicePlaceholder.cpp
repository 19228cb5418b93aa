// The client service opens once the database is attached. Until it is built,
// opening and closing it only keep the console's client list in step.
#include "shell/MainForm.h"

void TForm1::WlaczSerwerClick() {}

void TForm1::WylaczSerwer() {
    {
        shell::EventLock lock(this, event_obslugi.get());
        if (lock.owns()) {
            shell::EventLock chains(this, event_bufor.get());
            UsunWszystkichKlientow();
        }
    }
    lvKlienci->clear();
}

void TForm1::UstawKomunikatLP() {}

// The "!UR" notice comes with the presence notices.
void TForm1::PowiadomKlientowUzytkownikRozlaczony(const std::string&) {}
