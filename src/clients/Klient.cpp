#include "clients/Klient.h"

#include "base/DiagnosticLog.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"

#include <QStringList>
#include <cstdio>
#include <set>
#include <unordered_map>

Klient* KlientList = nullptr;
Klient* ServerKlient = nullptr;
Klient* CurrentKlient = nullptr;
int IloscKlientow = 0;

namespace {

bool clientTrace() {
    return base::Switches().chbLogKlienci.load();
}

const char* orNull(const char* text) {
    return text ? text : "null";
}

// Thresholds of the capability flags, compared part by part.
constexpr std::uint32_t VoiceMailVersion[4] = {2, 0, 16, 0};
constexpr std::uint32_t Version2017[4] = {2, 0, 17, 0};
constexpr std::uint32_t SmsVersion[4] = {2, 0, 22, 0};
constexpr std::uint32_t Version24[4] = {2, 4, 0, 0};

bool atLeast(const std::uint32_t (&version)[4], const std::uint32_t (&threshold)[4]) {
    for (int i = 0; i < 4; ++i) {
        if (version[i] != threshold[i])
            return version[i] > threshold[i];
    }
    return true;
}

// The look-ups' indexes, kept in step with the list (under `event_bufor`,
// like the list): each key's records newest first, in the list's order, so a
// look-up finds what a walk of the list from its head would find.
struct NewestFirst {
    bool operator()(const Klient* a, const Klient* b) const { return a->Kolejnosc > b->Kolejnosc; }
};
using Records = std::set<Klient*, NewestFirst>;

template <typename Key> struct Index {
    std::unordered_map<Key, Records> records;

    void add(const Key& key, Klient* k) { records[key].insert(k); }
    void remove(const Key& key, Klient* k) {
        auto it = records.find(key);
        if (it == records.end())
            return;
        it->second.erase(k);
        if (it->second.empty())
            records.erase(it);
    }
    const Records& of(const Key& key) const {
        static const Records none;
        auto it = records.find(key);
        return it == records.end() ? none : it->second;
    }
};

Index<std::uint32_t> byConnection;
Index<std::string> byId;
Index<std::string> byAddress;
std::uint64_t lastOrder = 0;

void addToIndexes(Klient* k) {
    byConnection.add(k->Gniazdo, k);
    byId.add(k->IDFB, k);
    byAddress.add(k->IP, k);
}

void removeFromIndexes(Klient* k) {
    byConnection.remove(k->Gniazdo, k);
    byId.remove(k->IDFB, k);
    byAddress.remove(k->IP, k);
}

Klient* firstAt(const Records& records, const std::string& address) {
    for (Klient* k : records) {
        if (k->IP == address)
            return k;
    }
    return nullptr;
}

} // namespace

Klient::Klient(const std::string& address, const std::string& name, QTcpSocket* socket, std::uint32_t port,
               std::uint32_t socketHandle)
    : Port(port), IP(address), Gniazdo(socket ? socketHandle : 0), Socket(socket) {
    SetNazwa(name);
    CzasOdbioru = CzasWyslania = CzasPolaczenia =
        std::time_t(platform::processClock().dateTime().toSecsSinceEpoch());
    auto lock = LockChains();
    Kolejnosc = ++lastOrder;
    Nastepny = KlientList;
    if (KlientList)
        KlientList->Poprzedni = this;
    KlientList = this;
    addToIndexes(this);
    ++IloscKlientow;
}

Klient::~Klient() {
    auto lock = LockChains();
    if (Poprzedni)
        Poprzedni->Nastepny = Nastepny;
    if (Nastepny)
        Nastepny->Poprzedni = Poprzedni;
    if (KlientList == this)
        KlientList = Nastepny;
    removeFromIndexes(this);
    if (ServerKlient == this)
        ServerKlient = nullptr;
    if (CurrentKlient == this)
        CurrentKlient = nullptr;
    --IloscKlientow;
    // The pending commands go with the record, still under the lock.
    Komendy.clear();
}

void Klient::SetNazwa(const std::string& name) {
    Nazwa = platform::utf8Left(name, NazwaLimit);
}

void Klient::SetIDFB(const std::string& id) {
    auto lock = LockChains();
    byId.remove(IDFB, this);
    IDFB = platform::utf8Left(id, IdfbLimit);
    byId.add(IDFB, this);
}

void Klient::SetIP(const std::string& address) {
    auto lock = LockChains();
    byAddress.remove(IP, this);
    IP = address;
    byAddress.add(IP, this);
}

void Klient::UstawWersje(const std::string& version) {
    const QStringList parts = QString::fromStdString(version).split(QLatin1Char('.'));
    std::uint32_t numbers[4] = {0, 0, 0, 0};
    if (parts.size() < 4) {
        std::copy(numbers, numbers + 4, Wersja);
        return;
    }
    for (int i = 0; i < 4; ++i)
        numbers[i] = parts[i].trimmed().toUInt();
    std::copy(numbers, numbers + 4, Wersja);
    ObslugaPocztyGlosowej = atLeast(Wersja, VoiceMailVersion);
    Wersja2017 = atLeast(Wersja, Version2017);
    ObslugaSms = atLeast(Wersja, SmsVersion);
    Wersja24a = atLeast(Wersja, Version24);
    Wersja24b = atLeast(Wersja, Version24);
}

std::string Klient::WersjaTekst() const {
    char text[64];
    std::snprintf(text, sizeof text, "%u.%02u.%02u.%02u", Wersja[0], Wersja[1], Wersja[2], Wersja[3]);
    return text;
}

const char* Klient::StateName(std::uint32_t state) {
    static const char* const names[] = {"INIT",  "OK",    "RECEIVE", "SEND",
                                        "RETRY", "ERROR", "PING",    "DISCONNECT"};
    return state < 8 ? names[state] : "?";
}

Klient* Klient::Znajdz(const std::string& address, std::uint32_t socketHandle, const char* idfb) {
    if (clientTrace()) {
        if (socketHandle == 0 && !idfb)
            base::WriteLog(1, "Znajdz(_%s,%u,%s)", address.c_str(), socketHandle, orNull(idfb));
        else if (socketHandle != 0)
            base::WriteLog(1, "Znajdz(%s,_%u,%s)", address.c_str(), socketHandle, orNull(idfb));
        else
            base::WriteLog(1, "Znajdz(%s,%u,_%s)", address.c_str(), socketHandle, orNull(idfb));
    }
    if (Klient* found = Find(address, socketHandle, idfb))
        return found;
    base::WriteLog(2, "brak klienta (%s,%u,%s)", address.c_str(), socketHandle, orNull(idfb));
    return nullptr;
}

Klient* Klient::Find(const std::string& address, std::uint32_t socketHandle, const char* idfb) {
    return socketHandle != 0 ? firstAt(byConnection.of(socketHandle), address)
           : idfb            ? firstAt(byId.of(idfb), address)
                             : firstAt(byAddress.of(address), address);
}

Klient* Klient::FindByConnection(std::uint32_t socketHandle) {
    const Records& records = byConnection.of(socketHandle);
    return records.empty() ? nullptr : *records.begin();
}

Klient* Klient::NewestAt(const std::string& address, const Klient* except) {
    for (Klient* k : byAddress.of(address)) {
        if (k != except)
            return k;
    }
    return nullptr;
}

Klient* Klient::NewestLoggedInAt(const std::string& address, const std::string& idfb, const Klient* except) {
    for (Klient* k : byId.of(idfb)) {
        if (k->IP == address && k != except && k->Zalogowany)
            return k;
    }
    return nullptr;
}

Klient* Klient::ZnajdzPoIDFB(const std::string& idfb) {
    if (clientTrace())
        base::WriteLog(1, "Szukam info o kliencie ID=%s", idfb.c_str());
    const Records& records = byId.of(idfb);
    if (records.empty())
        return nullptr;
    Klient* k = *records.begin();
    if (clientTrace())
        base::WriteLog(1, "Znalazłem klienta IP=%s IDFB=%s", k->IP.c_str(), k->IDFB.c_str());
    return k;
}

Klient* Klient::ZnajdzID(const char* idfb) {
    if (idfb) {
        for (Klient* k : byId.of(idfb)) {
            if (!k->IP.empty()) {
                if (clientTrace())
                    base::WriteLog(1, "znalazłem klienta IDFB=%s", k->IDFB.c_str());
                return k;
            }
        }
    }
    base::WriteLog(2, "brak klienta ID %s", orNull(idfb));
    return nullptr;
}

std::string Klient::DajIP(const std::string& idfb) {
    if (clientTrace())
        base::WriteLog(1, "Szukam IP klienta wew=%s", idfb.c_str());
    Klient* k = ZnajdzPoIDFB(idfb);
    if (!k)
        return {};
    if (clientTrace())
        base::WriteLog(1, "Znalazłem IP klienta %s", k->IP.c_str());
    return k->IP;
}

std::vector<std::string> Klient::DajIPy(const std::string& idfb) {
    std::vector<std::string> addresses;
    for (Klient* k : byId.of(idfb))
        addresses.push_back(k->IP);
    return addresses;
}

void UsunWszystkichKlientow() {
    while (KlientList)
        delete KlientList;
    ServerKlient = CurrentKlient = nullptr;
}
