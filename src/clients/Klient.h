// One connected client; the server's own record is one too.
#pragma once

#include <string>

class Klient {
  public:
    Klient(const std::string& address, const std::string& name, void* socket, int port);
    ~Klient();
    void UstawWersje(const std::string& version);

    std::string Adres;
    std::string Nazwa;
    std::string IDFB;
    int Port = 0;
    int Stan = 0;
    Klient* next = nullptr;
    Klient* prev = nullptr;
};

extern Klient* KlientList;
extern Klient* ServerKlient;
extern Klient* CurrentKlient;
extern int IloscKlientow;

// Frees every record of the list.
void UsunWszystkichKlientow();
