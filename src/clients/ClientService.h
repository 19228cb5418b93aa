// The client service: the console's list of client records, the removal of
// records, and the switching of the service on and off.
//
// Holds: DodajKlienta, Zmien_stan, UsunZListy, UsunKlienta,
// RemoveDisconnectedClients, PowiadomKlientowUzytkownikRozlaczony,
// WlaczSerwerClick, WylaczSerwer, UstawKomunikatLP, LoginReplyPrefix,
// LoginReplyPrefix16, PendingLogins, ReceiveRemainder, ContactsLoaded,
// SmsRoutingLoaded, UdpSocket, RemovalKey, Parser, RejestracjaKlienta,
// UserSlots, InfoOKlientach, PowiadomKlientowPodlaczenieUzytkownika,
// PowiadomKlientowPolaczenieCentrali, AktualizujOpisUzytkownika,
// WiadomoscTxtOdKlienta, Blokada, SendSmsChg, Powiadom, UdpSend,
// RelayServerMessage.
#pragma once

#include "clients/ClientServiceHost.h"
#include "clients/CommandParserGenerator.h"
#include "clients/Klient.h"
#include "clients/UdpSender.h"
#include "clients/UserSlots.h"

#include <cstdint>
#include <string>
#include <vector>

class QObject;
class QTreeWidgetItem;

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

    // Request handlers. `text` is the request in the wire code page from
    // just after its keyword and "&", ended by a zero byte that is never read
    // past; each returns where the scan goes on, or null after an error
    // (`errorCode` then holds the request's code).
    const char* RejestracjaKlienta(const char* text, const std::string& address, bool kla, int& errorCode,
                                   std::uint32_t socketHandle);
    const char* WiadomoscTxtOdKlienta(const char* text, const std::string& address, int& errorCode);
    const char* AktualizujOpisUzytkownika(const char* text, int& errorCode);
    const char* Blokada(bool on, const char* text, int& errorCode);

    // Presence: the client check every 30 s, and the broadcasts.
    void InfoOKlientach();
    void PowiadomKlientowPodlaczenieUzytkownika(const std::string& idfb, const std::string& address);
    void PowiadomKlientowPolaczenieCentrali(const std::string& state);
    // The user list's loader rebuilds the presence table with this.
    void FillUserSlots(const std::vector<UserSlotUser>& users);
    void SendSmsChg(const std::string& address, const std::string& idfb);

    // Sends a notice (UTF-8; converted to the wire code page on the way out)
    // to the client record of `socketHandle` (0: the newest record of the
    // address), or queues it while the client is busy.
    void Powiadom(int mode, const std::string& text, const std::string& idfb, std::uint32_t socketHandle,
                  const std::string& address);
    // Makes the UDP sender with the port and broadcast address it keeps
    // using, also when a failed send makes it anew.
    void CreateUdpSender(QObject* owner, int port, const std::string& broadcast);
    // Sends one broadcast datagram; an empty text is not sent. A failed send
    // loses that datagram and makes the sender anew.
    void UdpSend(const std::string& text);
    // The administrator's message to every client, as the server's own text
    // message: its fields in UTF-8 and the 0xFF terminator.
    void RelayServerMessage(const std::string& message);

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
    UserSlotTable UserSlots;

  private:
    void showClientCount();
    void deleteClientRecord(Klient* record);
    // The console row of a record, or null.
    QTreeWidgetItem* rowOf(const Klient& record);
    // Shows a record's row afresh.
    void refreshRow(Klient* record);
    // Checks the password of a log-in against the user list and, where the
    // list's differs, the database; the matching row or null.
    QTreeWidgetItem* findUserRow(const std::string& login, const std::string& password, int& errorCode,
                                 const std::string& address);

    ClientServiceHost& host_;
    QObject* udpOwner_ = nullptr;
    int udpPort_ = 0;
    std::string udpBroadcast_;
};

} // namespace clients
