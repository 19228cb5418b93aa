// The client service: the console's list of client records, the removal of
// records, and the switching of the service on and off.
//
// Holds: DodajKlienta, Zmien_stan, UsunZListy, UsunKlienta,
// RemoveDisconnectedClients, PowiadomKlientowUzytkownikRozlaczony,
// WlaczSerwerClick, WylaczSerwer, UstawKomunikatLP, LoginReplyPrefix,
// LoginReplyPrefix16, PendingLogins, ReceiveRemainder, ContactsLoaded,
// SmsRoutingLoaded, UdpSocket, RemovalKey, Parser.
#pragma once

#include "clients/ClientServiceHost.h"
#include "clients/CommandParserGenerator.h"
#include "clients/Klient.h"
#include "clients/UdpSender.h"

#include <cstdint>
#include <string>

namespace clients {

class ClientService {
  public:
    explicit ClientService(ClientServiceHost& host);
    ClientService(const ClientService&) = delete;
    ClientService& operator=(const ClientService&) = delete;

    // Shows `CurrentKlient` on the console's list (a new row unless its
    // socket already has one) and lets go of it.
    void DodajKlienta();
    // Shows the state of `CurrentKlient` and lets go of it.
    void Zmien_stan();
    // Removes the row of the record being removed (`RemovalKey`).
    void UsunZListy(const std::string& extension, const std::string& address);
    void UsunKlienta(Klient* record);
    void RemoveDisconnectedClients();
    void PowiadomKlientowUzytkownikRozlaczony(const std::string& idfb);
    // Opens the service once the database is attached.
    void WlaczSerwerClick();
    void WylaczSerwer();
    void UstawKomunikatLP();

    std::string LoginReplyPrefix;
    std::string LoginReplyPrefix16;
    int PendingLogins = 0;
    std::string ReceiveRemainder;
    bool ContactsLoaded = false;
    bool SmsRoutingLoaded = false;
    TNMUDP* UdpSocket = nullptr;
    // Socket number of the record being removed: the key of its row.
    std::uint32_t RemovalKey = 0;
    CommandParserGenerator Parser;

  private:
    void showClientCount();
    void deleteClientRecord(Klient* record);

    ClientServiceHost& host_;
};

} // namespace clients
