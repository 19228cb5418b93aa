// The client service: the console's list of client records, the removal of
// records, and the switching of the service on and off.
//
// Holds: DodajKlienta, Zmien_stan, UsunZListy, UsunKlienta,
// RemoveDisconnectedClients, PowiadomKlientowUzytkownikRozlaczony,
// WlaczSerwerClick, WylaczSerwer, UstawKomunikatLP, LoginReplyPrefix,
// LoginReplyPrefix16, PendingLogins, ReceiveRemainder, ContactsLoaded,
// SmsRoutingLoaded, UdpSocket, RemovalKey, Parser, UdpSend, Powiadom,
// WiadomoscTxtOdKlienta, FillUserSlots.
#pragma once

#include "clients/ClientServiceHost.h"
#include "clients/CommandParserGenerator.h"
#include "clients/Klient.h"
#include "clients/UdpSender.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

    // Makes the UDP sender with the port and broadcast address it keeps
    // using, also when a failed send makes it anew.
    void CreateUdpSender(QObject* owner, int port, const std::string& broadcast);
    // Sends one broadcast datagram; an empty text is not sent. A failed send
    // loses that datagram and makes the sender anew.
    void UdpSend(const std::string& text);
    // Sends or queues one notice for a client.
    void Powiadom(int mode, const std::string& text, const std::string& idfb, std::uint32_t socket,
                  const std::string& address);
    // Relays a text message ("sender&recipient&date&text" and the byte 255).
    void WiadomoscTxtOdKlienta(const std::string& message, const std::string& address);
    // Rebuilds the presence entries from the users: id and card key per slot.
    void FillUserSlots(const std::vector<std::pair<std::string, std::string>>& entries);

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
    QObject* udpOwner_ = nullptr;
    int udpPort_ = 0;
    std::string udpBroadcast_;
};

} // namespace clients
