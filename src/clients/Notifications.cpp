// The notification sender and its queue. The protocol is stop-and-wait: after
// anything but a bare "OK" or "ERROR" a client owes an acknowledgement, and
// what else is meant for it meanwhile waits in the queue, which the idle
// handler drains. A message is meant for one record (its connection number,
// checked against the log-in identifier), never for whoever has its address.
#include "clients/ClientService.h"
#include "clients/ClientServiceParts.h"

#include "base/EventLock.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <set>

namespace clients {
using detail::clientTrace;
using detail::logText;
using detail::nowSeconds;
using detail::queueTrace;

namespace {

constexpr std::int32_t QueuePerClientLimit = 250;
// A client that has not acknowledged for this long loses its queued messages.
constexpr std::time_t AcknowledgementPatience = 40;
// Messages of a record that went away wait this long for its user to return.
constexpr std::time_t ReturnPatience = 300;

bool freeState(std::uint32_t state) {
    return state == Klient::OK || state == Klient::PING;
}

} // namespace

void ClientService::showQueueCount() {
    host_.ShowStatusPanel(5, QString::number(qulonglong(Queue.size())));
}

void ClientService::Powiadom(int mode, const std::string& text, const char* idfb, std::uint32_t connection,
                             const std::string& address) {
    if (QThread::currentThread() != context_.thread()) {
        if (!idfb)
            return;
        QMetaObject::invokeMethod(
            &context_,
            [this, mode, text, id = std::string(idfb), connection, address] {
                Powiadom(mode, text, id.c_str(), connection, address);
            },
            Qt::QueuedConnection);
        return;
    }
    if (!idfb) {
        base::WriteLog(1, "Koniec Powiadom, brak par. IDFB");
        return;
    }
    if (clientTrace())
        base::WriteLog(1, "Powiadom: IDFB=%s IP=%s linia=%s", idfb, address.c_str(), logText(text).c_str());
    if (std::string_view(idfb) == "0") {
        base::WriteLog(1, "Wiadomość dla serwera <%s>", logText(text).c_str());
        return;
    }
    if (clientTrace())
        base::WriteLog(1, "Powiadom: znajdz klienta");
    // Not the server's own record: its connection number is 0 and its
    // identifier "0" is turned away above.
    Klient* k = Klient::Find(address, connection, connection != 0 ? nullptr : idfb);
    if (!k) {
        base::WriteLog(1, "komputer %s nie podłączony do serwera", address.c_str());
        return;
    }
    if (k->IDFB != idfb) {
        base::WriteLog(2, "Powiadom: połączenie %u z %s nie należy już do IDFB=%s, pomijam %s", connection,
                       address.c_str(), idfb, logText(text).c_str());
        return;
    }
    if (clientTrace())
        base::WriteLog(1, "Powiadom: mam klienta");
    if (k->Stan == Klient::DISCONNECT) {
        base::WriteLog(1, "klient %s rozłączył się podczas obsługi", address.c_str());
        return;
    }
    if (clientTrace())
        base::WriteLog(1, "Powiadom: wysylaj=%d", mode);
    const bool busy = mode != Forced && !freeState(k->Stan);
    if (busy || (mode == Notice && k->WKolejce != 0)) {
        if (clientTrace())
            base::WriteLog(1, "klient ma stan %s", Klient::StateName(k->Stan));
        if (k->WKolejce < QueuePerClientLimit && !text.starts_with("!ZJ")) {
            ++k->WKolejce;
            if (!busy)
                base::WriteLog(1, "nie obsłużone poprzednie wiadomości ile=%d klient ma stan %s", k->WKolejce,
                               Klient::StateName(k->Stan));
            DoKolejki(mode, text, k->Gniazdo, idfb, address);
        } else if (busy) {
            base::WriteLog(1, "Pomijam1 %s", logText(text).c_str());
        } else {
            base::WriteLog(1, "Pomijam2 %s %s", logText(text).c_str(), address.c_str());
        }
        refreshRow(*k);
        if (clientTrace())
            base::WriteLog(1, "Koniec Powiadom ");
        return;
    }
    sendNow(*k, mode, text);
}

bool ClientService::sendNow(Klient& k, int, const std::string& text) {
    QTcpSocket* socket = k.Socket;
    if (!socket) {
        base::WriteLog(2, "Brak socketu dla komputera %s, zakończenie f. Powiadom", k.IP.c_str());
        return false;
    }
    if (clientTrace())
        base::WriteLog(1, "Powiadom: socket");
    if (clientTrace())
        base::WriteLog(1, "Wysłanie danych");
    // A peer that does not read gets nothing more once Qt holds its limit for
    // it. Waiting here would hold the GUI thread, and everyone with it: such
    // a peer is not read meanwhile, so it cannot ask for more. One attempt.
    if (socket->bytesToWrite() + qint64(text.size()) > UnsentLimit ||
        socket->write(text.data(), qint64(text.size())) != qint64(text.size())) {
        base::WriteLog(2, "Pełny bufor do komputera %s cnt=%d", k.IP.c_str(), 1);
        return false;
    }
    if (clientTrace())
        base::WriteLog(1, "Wysłane dane cnt=%d %s", int(text.size()), logText(text).c_str());
    if (text == "OK" || text == "ERROR") {
        k.Stan = Klient::OK;
    } else {
        k.Stan = Klient::SEND;
        ++k.Wyslane;
        k.OstatniaWyslana = text;
        k.HasOstatniaWyslana = true;
        k.CzasWyslania = nowSeconds();
    }
    refreshRow(k);
    if (clientTrace())
        base::WriteLog(1, "Koniec Powiadom");
    return true;
}

void ClientService::DoKolejki(int mode, const std::string& text, std::uint32_t key, const std::string& idfb,
                              const std::string& address) {
    // The drain re-queues from inside its own hold of the lock.
    base::EventLock lock(host_.QueueLock(), base::EventLock::Nested::Covered);
    MKolejka entry{key, idfb, address, text, nowSeconds()};
    if (mode != Notice)
        Queue.push_front(std::move(entry));
    else
        Queue.push_back(std::move(entry));
    showQueueCount();
    if (clientTrace())
        base::WriteLog(1, "Powiadom: DoKolejki %s %s", logText(text).c_str(), address.c_str());
    host_.WakeIdleHandler();
}

// The record an entry is for. When that record has gone, the same user back
// from the same address takes it over; a newer record there logged in as
// someone else means the entry is dropped (null with the entry's key 0).
Klient* ClientService::recordOfEntry(MKolejka& entry) {
    // Found by key: the connection's record, else the newest at the address.
    if (entry.Klucz != 0) {
        Klient* k = Klient::Find(entry.IP, entry.Klucz, nullptr);
        if (k && k != ServerKlient)
            return k;
    }
    Klient* newest = Klient::NewestAt(entry.IP, ServerKlient);
    // Bare replies and the log-in reply belong to the connection that went.
    const bool forTheUser = entry.Tekst.starts_with("!") && !entry.Tekst.starts_with("!LP&");
    if (!entry.IDFB.empty() && forTheUser) {
        if (Klient* k = Klient::NewestLoggedInAt(entry.IP, entry.IDFB, ServerKlient)) {
            entry.Klucz = k->Gniazdo;
            ++k->WKolejce;
            return k;
        }
    }
    const bool takenByAnother = newest && newest->Gniazdo > entry.Klucz && newest->Zalogowany;
    if (entry.IDFB.empty() || !forTheUser || takenByAnother || nowSeconds() - entry.Queued > ReturnPatience)
        entry.Klucz = 0;
    return nullptr;
}

void ClientService::ObslugaKolejki() {
    if (!IsOpen() || Queue.empty())
        return;
    if (queueTrace())
        base::WriteLog(3, "obsluga_kolejki[%u]", unsigned(Queue.size()));
    base::EventLock service(host_.ServiceLock());
    if (!service.owns())
        return;
    base::EventLock queue(host_.QueueLock());
    if (!queue.owns())
        return;
    std::set<std::uint32_t> skipped;
    for (auto it = Queue.begin(); it != Queue.end();) {
        if (skipped.count(it->Klucz)) {
            ++it;
            continue;
        }
        const std::uint32_t key = it->Klucz;
        Klient* k = recordOfEntry(*it);
        if (!k) {
            if (it->Klucz == 0) {
                base::WriteLog(2, "Kolejka: wiadomość dla IDFB=%s z %s bez odbiorcy, pomijam %s",
                               it->IDFB.c_str(), it->IP.c_str(), logText(it->Tekst).c_str());
                it = Queue.erase(it);
                showQueueCount();
            } else {
                skipped.insert(key);
                ++it;
            }
            continue;
        }
        if (k->Stan == Klient::DISCONNECT) {
            base::WriteLog(1, "klient IDFB=%s rozłączył się podczas obsługi kolejki", it->IDFB.c_str());
            skipped.insert(it->Klucz);
            ++it;
            continue;
        }
        const std::time_t now = nowSeconds();
        if (!freeState(k->Stan)) {
            if (queueTrace())
                base::WriteLog(3, "klient IDFB=%s ma stan %s czas=%u aktualny=%u różnica=%u",
                               it->IDFB.c_str(), Klient::StateName(k->Stan), unsigned(k->CzasWyslania),
                               unsigned(now), unsigned(now - k->CzasWyslania));
            if (now - k->CzasWyslania >= AcknowledgementPatience || k->Stan == Klient::ERROR) {
                it = Queue.erase(it);
                ++k->Pominiete;
                if (--k->WKolejce < 0) {
                    base::WriteLog(2, "Błąd1 kolejki %d %d %s %s %s", k->WKolejce, int(Queue.size()),
                                   k->IDFB.c_str(), k->IP.c_str(), Klient::StateName(k->Stan));
                    k->WKolejce = 0;
                }
                showQueueCount();
                refreshRow(*k);
                // One dropped per client and pass.
                skipped.insert(k->Gniazdo);
            } else {
                skipped.insert(k->Gniazdo);
                ++it;
            }
            continue;
        }
        if (queueTrace())
            base::WriteLog(3, "Obsługuję kolejkę[%u]: IDFB=%s IP=%s linia=%s", unsigned(Queue.size()),
                           it->IDFB.c_str(), it->IP.c_str(), logText(it->Tekst).c_str());
        MKolejka entry = std::move(*it);
        it = Queue.erase(it);
        if (--k->WKolejce < 0) {
            base::WriteLog(2, "Błąd2 kolejki %d %d %s %s %s", k->WKolejce, int(Queue.size()), k->IDFB.c_str(),
                           k->IP.c_str(), Klient::StateName(k->Stan));
            k->WKolejce = 0;
        }
        showQueueCount();
        Powiadom(Priority, entry.Tekst, entry.IDFB.c_str(), k->Gniazdo, entry.IP);
    }
    if (queueTrace())
        base::WriteLog(3, "koniec obslugi_kolejki");
}

} // namespace clients
