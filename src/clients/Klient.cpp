#include "clients/Klient.h"

Klient* KlientList = nullptr;
Klient* ServerKlient = nullptr;
Klient* CurrentKlient = nullptr;
int IloscKlientow = 0;

Klient::Klient(const std::string& address, const std::string& name, void*, int port)
    : Adres(address), Nazwa(name), Port(port) {
    next = KlientList;
    if (KlientList)
        KlientList->prev = this;
    KlientList = this;
    ++IloscKlientow;
}

Klient::~Klient() {
    if (prev)
        prev->next = next;
    if (next)
        next->prev = prev;
    if (KlientList == this)
        KlientList = next;
    --IloscKlientow;
}

void Klient::UstawWersje(const std::string&) {}

void UsunWszystkichKlientow() {
    while (KlientList)
        delete KlientList;
    ServerKlient = CurrentKlient = nullptr;
}
