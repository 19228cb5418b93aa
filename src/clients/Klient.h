// One connected telephony client; the server's own record is one too. All
// records are held in one doubly linked list, newest at the head. The
// exchange link thread walks the list for pending commands under
// `event_bufor`, so a record is linked and unlinked only while that lock is
// held (the constructor and the destructor take it unless this thread
// already holds it).
#pragma once

#include "clients/Bufor.h"

#include <QPointer>
#include <QTcpSocket>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace ui {
class TListView;
}

// What the database holds of a log-in's password, against what the client
// sent.
enum class PasswordAnswer { Matches, Differs, Unreachable };

class Klient {
  public:
    // Field limits, in characters.
    static constexpr std::size_t NazwaLimit = 64;
    static constexpr std::size_t IdfbLimit = 19;

    enum State : std::uint32_t {
        INIT = 0,
        OK = 1,
        RECEIVE = 2,
        SEND = 3,
        RETRY = 4,
        ERROR = 5,
        PING = 6,
        DISCONNECT = 7,
    };

    Klient(const std::string& address, const std::string& name, QTcpSocket* socket, std::uint32_t port,
           std::uint32_t socketHandle = 0);
    ~Klient();
    Klient(const Klient&) = delete;
    Klient& operator=(const Klient&) = delete;

    void UstawWersje(const std::string& version);
    std::string WersjaTekst() const;
    static const char* StateName(std::uint32_t state);

    // Setters that keep the stated limits. The address and the log-in
    // identifier are keys of the look-ups: they change only through these.
    void SetNazwa(const std::string& name);
    void SetIDFB(const std::string& id);
    void SetIP(const std::string& address);

    static Klient* Znajdz(const std::string& address, std::uint32_t socketHandle, const char* idfb);
    // What `Znajdz` finds, without its trace and without logging a miss.
    static Klient* Find(const std::string& address, std::uint32_t socketHandle, const char* idfb);
    // The newest record of a connection number, or null.
    static Klient* FindByConnection(std::uint32_t socketHandle);
    static Klient* ZnajdzPoIDFB(const std::string& idfb);
    // The newest record at `address` other than `except`, or null.
    static Klient* NewestAt(const std::string& address, const Klient* except);
    // The newest record at `address` logged in as `idfb`, other than `except`, or null.
    static Klient* NewestLoggedInAt(const std::string& address, const std::string& idfb,
                                    const Klient* except);
    static Klient* ZnajdzID(const char* idfb);
    // Looks the extension up in the console's list of user phones.
    static Klient* ZnajdzPoWew(const std::string& extension, const ui::TListView& userPhones);
    static std::string DajIP(const std::string& idfb);
    static std::vector<std::string> DajIPy(const std::string& idfb);

    std::uint32_t Port = 0;
    std::string IP;
    std::string Nazwa;
    std::string IDFB;
    std::uint32_t Stan = INIT;
    std::time_t CzasOdbioru = 0;
    // When the record was made: the connection's accept.
    std::time_t CzasPolaczenia = 0;
    std::int32_t WKolejce = 0;
    bool HasOstatniaWyslana = false;
    std::string OstatniaWyslana;
    std::uint32_t Pominiete = 0;
    std::time_t CzasWyslania = 0;
    std::uint8_t Zalogowany = 0;
    std::uint32_t Wyslane = 0;
    std::uint32_t OdebraneRECEIVE = 0;
    std::uint32_t OdebraneOK = 0;
    std::uint32_t BledyObslugi = 0;
    std::uint32_t Gniazdo = 0;
    std::uint32_t OdebraneERROR = 0;
    std::uint8_t ObslugaPocztyGlosowej = 0;
    std::uint8_t Wersja2017 = 0;
    std::uint8_t ObslugaSms = 0;
    std::uint8_t Wersja24a = 0;
    std::uint8_t Wersja24b = 0;
    // Cleared by Qt when the socket object goes first.
    QPointer<QTcpSocket> Socket;
    Klient* Nastepny = nullptr;
    Klient* Poprzedni = nullptr;
    // Pending exchange commands; guarded by `event_bufor`.
    BuforChain Komendy;
    // Commands refused since the chain was last full.
    std::uint32_t RefusedCommands = 0;
    std::uint32_t Wersja[4] = {0, 0, 0, 0};
    // The start of a request whose end has not arrived yet (wire bytes); put
    // in front of this client's next read.
    std::string ReceiveRemainder;
    // An over-long request was dropped: its rest is skipped up to its line end.
    bool SkipToLineEnd = false;
    // `ReceiveRemainder` holds the unhandled rest of a read, put aside while
    // the connection owes too much to be read, or while its log-in waits for
    // the database to confirm its password.
    bool HeldRead = false;
    // The database's answer on a log-in's password, read off the event loop
    // while the client's input from that log-in on was held: the log-in,
    // handled again, takes it instead of asking (once).
    struct PasswordRead {
        std::string login;
        std::string password;
        PasswordAnswer answer = PasswordAnswer::Unreachable;
    };
    std::optional<PasswordRead> PasswordChecked;
    // Its log-in reply awaits an answer and holds one count of `PendingLogins`.
    bool HoldsPendingLogin = false;
    // Place in the list: a newer record has a greater one.
    std::uint64_t Kolejnosc = 0;
};

extern Klient* KlientList;
extern Klient* ServerKlient;
extern Klient* CurrentKlient;
// Records in the list, the server's own included.
extern int IloscKlientow;

// Frees every record of the list (the link thread must not be running, or
// `event_bufor` is taken around each removal).
void UsunWszystkichKlientow();
