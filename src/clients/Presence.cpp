// Presence: the client check every 30 s that closes silent connections and
// re-broadcasts every user's presence, and the arrival, departure and
// exchange-link broadcasts.
#include "base/DiagnosticLog.h"
#include "base/EventLock.h"
#include "clients/ClientService.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"
#include "sms/SmsPdu.h"

#include <QPointer>
#include <QTcpSocket>
#include <cstdlib>
#include <string_view>
#include <sys/ioctl.h>
#include <unordered_map>
#include <vector>

namespace clients {
namespace {

// A logged-in client may be silent this long (seconds) before the check
// closes it.
constexpr std::time_t SilentAfterLogin = 65;

bool clientTrace() {
    return base::Switches().chbLogKlienci.load();
}

std::time_t nowSeconds() {
    return std::time_t(platform::processClock().dateTime().toSecsSinceEpoch());
}

// A logged-in user's identifier reads as a number above 0 ("0" is the
// server's own record; a refused log-in leaves a word).
bool isUserId(const std::string& idfb) {
    return std::strtol(idfb.c_str(), nullptr, 10) > 0;
}

std::string presenceNotice(const std::string& userId, const std::string& address, unsigned value) {
    return "!UP&" + userId + "&" + address + "&" + std::to_string(value) + "\r\n";
}

// The client has sent what is not handled yet: a sign of life, though a
// held GUI thread has not read it.
bool sentUnhandled(const Klient& k) {
    if (k.HeldRead || (k.Socket && k.Socket->bytesAvailable() > 0))
        return true;
    int waiting = 0;
    return k.Socket && ::ioctl(int(k.Socket->socketDescriptor()), FIONREAD, &waiting) == 0 && waiting > 0;
}

} // namespace

void ClientService::FillUserSlots(const std::vector<UserSlotUser>& users) {
    for (UserSlot& slot : UserSlots) {
        slot.UserId.clear();
        slot.CardKey.clear();
    }
    for (std::size_t i = 0; i < users.size() && i < UserSlots.size(); ++i) {
        UserSlots[i].UserId = users[i].userId;
        UserSlots[i].CardKey = users[i].cardKey;
        UserSlots[i].Connected = 0;
        UserSlots[i].AttendanceState = 0;
    }
}

void ClientService::InfoOKlientach() {
    if (clientTrace())
        base::WriteLog(1, "Podłączonych klientów: %u.", static_cast<unsigned>(IloscKlientow));
    // Connections to close: closed once the walk is over, because the
    // disconnect event that follows works on the same list.
    std::vector<QPointer<QTcpSocket>> silent;
    {
        base::EventLock lock(host_.ServiceLock());
        if (!lock.owns())
            return;
        if (!KlientList) {
            base::WriteLog(2, "Brak klientów lub funkcje serwerowe są wyłączone");
            return;
        }
        const std::time_t now = nowSeconds();
        // The slots of each user, found once per round (a user may have more
        // than one), so the round grows with the clients, not with their
        // product with the slots.
        std::unordered_map<std::string_view, std::vector<UserSlot*>> slotsOf;
        for (UserSlot& slot : UserSlots) {
            if (!slot.UserId.empty())
                slotsOf[slot.UserId].push_back(&slot);
        }
        for (Klient* k = KlientList; k; k = k->Nastepny) {
            // A connection without a log-in has a fixed time from its
            // accept, whatever it sends (the socket's own watch keeps it to
            // the millisecond).
            if (!k->Zalogowany && k->Socket && k->Stan != Klient::DISCONNECT) {
                if (now - k->CzasPolaczenia > ClientService::UnloggedLifetimeMs / 1000) {
                    logLateUnlogged(k, k->IP);
                    silent.emplace_back(k->Socket);
                }
                continue;
            }
            if (k->Stan == Klient::DISCONNECT || !isUserId(k->IDFB))
                continue;
            if (now - k->CzasOdbioru > SilentAfterLogin && !sentUnhandled(*k)) {
                base::WriteLog(2, "Brak pingów od klienta ID=%s, rozłączam połączenie (%d-%d=%d)",
                               k->IDFB.c_str(), int(now), int(k->CzasOdbioru), int(now - k->CzasOdbioru));
                silent.emplace_back(k->Socket);
                continue;
            }
            refreshRow(*k);
            if (clientTrace())
                base::WriteLog(1, "Powiadamianie klientów o IDFB=%s", k->IDFB.c_str());
            auto found = slotsOf.find(k->IDFB);
            if (found == slotsOf.end())
                continue;
            for (UserSlot* slot : found->second) {
                slot->Connected = 1;
                slot->Address = k->IP;
            }
        }
    }
    for (const QPointer<QTcpSocket>& socket : silent) {
        if (socket) {
            socket->close();
            base::WriteLog(2, "Brak pingów zamkniety socket");
        }
    }
    for (const UserSlot& slot : UserSlots) {
        if (!slot.UserId.empty())
            UdpSend(
                presenceNotice(slot.UserId, slot.Address, slot.Connected + 2 * slot.AttendanceState.load()));
    }
}

void ClientService::PowiadomKlientowPodlaczenieUzytkownika(const std::string& idfb,
                                                           const std::string& address) {
    if (idfb == "0")
        return;
    unsigned value = 2;
    for (const UserSlot& slot : UserSlots) {
        if (!slot.UserId.empty() && slot.UserId == idfb)
            value = 2 * slot.AttendanceState.load();
    }
    if (clientTrace())
        base::WriteLog(1, "powiadamianie podłączonych %s klientów o podł. IDFB=%s adres=%s",
                       std::to_string(IloscKlientow).c_str(), idfb.c_str(), address.c_str());
    UdpSend(presenceNotice(idfb, address, value));
}

void ClientService::PowiadomKlientowUzytkownikRozlaczony(const std::string& idfb) {
    if (clientTrace())
        base::WriteLog(1, "powiadamianie podł. klientów=%u o rozł. klienta %s",
                       static_cast<unsigned>(IloscKlientow), idfb.c_str());
    UdpSend("!UR&" + idfb + "\r\n");
    for (UserSlot& slot : UserSlots) {
        if (slot.UserId == idfb) {
            slot.Connected = 0;
            break;
        }
    }
}

void ClientService::PowiadomKlientowPolaczenieCentrali(const std::string& state) {
    if (clientTrace())
        base::WriteLog(1, "Powiadom. klientów - rozłączenie centrali");
    UdpSend("!SR&" + state + "\r\n");
}

void ClientService::SendSmsChg(const std::string& address, const std::string& idfb) {
    base::WriteLog(1, "SendSmsChg %s", idfb.c_str());
    base::WriteLog(1, "      NrIP %s", address.c_str());
    Powiadom(0, "!SMS&CHG\r\n", idfb.c_str(), 0, address);
}

void ClientService::WyslijSmsDodaj(const sms::SMSMSG& msg, const std::string& address,
                                   const std::string& idfb) {
    const std::string body = platform::toWire(msg.sBody);
    const std::string notice = CommandParserGenerator::Generate(
        {std::to_string(msg.nId), std::to_string(msg.nDir), msg.sDate, msg.sTime, msg.sNumber, msg.sLine,
         std::to_string(msg.nState), sms::Base64Encode(body.data(), body.size())});
    Powiadom(0, platform::toWire("!SMS&ADD&" + notice), idfb.c_str(), 0, address);
}

void ClientService::WyslijZajetosci(const std::string& address, const std::string& idfb) {
    for (const auto& [number, state] : host_.PhoneStates()) {
        if (state != 1 && state != 2)
            continue;
        const std::string row = "!ZJ&" + number + "&" + std::to_string(state) + "&&\r\n";
        Powiadom(Priority, platform::toWire(row), idfb.c_str(), 0, address);
    }
}

} // namespace clients
