// The client service opens once the database is attached. Until it is built,
// opening and closing it only keep the console's client list in step.
#include "shell/MainForm.h"

void TForm1::DodajKlienta() {
    if (CurrentKlient)
        lvKlienci->AddRow({QString::fromStdString(CurrentKlient->Adres), QString::number(CurrentKlient->Port),
                           QString::fromStdString(CurrentKlient->IDFB),
                           QString::fromStdString(CurrentKlient->Nazwa)});
    CurrentKlient = nullptr;
}

void TForm1::WlaczSerwerClick() {}

void TForm1::WylaczSerwer() {
    {
        shell::EventLock lock(this, event_obslugi.get());
        if (lock.owns())
            UsunWszystkichKlientow();
    }
    lvKlienci->clear();
}

void TForm1::UstawKomunikatLP() {}
