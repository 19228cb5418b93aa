// The framing of client requests: acknowledgement words, the request table
// in its fixed order, the replies, and the unfinished request a client's next
// read completes. Everything works on the received wire bytes.
#include "clients/ClientService.h"
#include "clients/ClientServiceParts.h"

#include "base/EventLock.h"

#include <array>
#include <utility>

namespace clients {
using detail::clientTrace;
using detail::logText;
using detail::nowSeconds;

namespace {

enum class Handler {
    Wi,
    Kla,
    Kl,
    Bt,
    Bn,
    Wn,
    Zp,
    Ping,
    Op,
    Td,
    Re,
    Ho,
    Uh,
    Sp,
    DbAdd,
    DbUpd,
    DbDel,
    Vm,
    DbgAdd,
    DbgDel,
    Sms,
    Vb,
    Gww
};

struct RequestKind {
    std::string_view keyword;
    std::size_t after; // where the handler's text starts, counted from the "!"
    const char* description;
    Handler handler;
    std::string_view end; // what completes the request
};

// Tested in this order: a keyword is compared for its own length, so KLA
// must come before KL.
constexpr std::string_view Cr = "\r";
constexpr std::string_view CrLf = "\r\n";
constexpr std::array<RequestKind, 23> Requests{{
    {"WI", 4, "wiad. tekstowa", Handler::Wi, "\xff"},
    {"KLA", 5, "", Handler::Kla, Cr},
    {"KL", 4, "rejestracji klienta", Handler::Kl, Cr},
    {"BT", 4, "włączenia blokady", Handler::Bt, Cr},
    {"BN", 4, "wyłączenia blokady", Handler::Bn, Cr},
    {"WN", 4, "wybierania numeru", Handler::Wn, Cr},
    {"ZP", 4, "zamawiania rozmowy", Handler::Zp, Cr},
    {"PING", 5, "ping", Handler::Ping, Cr},
    {"OP", 4, "opis", Handler::Op, Cr},
    {"TD", 4, "transferu dzwonka", Handler::Td, Cr},
    {"RE", 4, "redial", Handler::Re, Cr},
    {"HO", 4, "HOLD", Handler::Ho, Cr},
    {"UH", 4, "UNHOLD", Handler::Uh, Cr},
    {"SP", 4, "SPEAKERPHONE", Handler::Sp, Cr},
    {"DB_ADD&", 8, "DB_ADD", Handler::DbAdd, CrLf},
    {"DB_UPD&", 8, "DB_UPD", Handler::DbUpd, CrLf},
    {"DB_DEL&", 8, "DB_DEL", Handler::DbDel, CrLf},
    {"VM&", 4, "VM (obsł. wiadomości poczty głosowej)", Handler::Vm, Cr},
    {"DBG_ADD&", 9, "DBG_ADD", Handler::DbgAdd, CrLf},
    {"DBG_DEL&", 9, "DBG_DEL", Handler::DbgDel, CrLf},
    {"SMS&", 0, "SMS", Handler::Sms, CrLf},
    {"VB&", 4, "VB (obsł. skrzynki poczty głosowej)", Handler::Vb, Cr},
    {"GWW&", 5, "GWW (obsł. GWW)", Handler::Gww, Cr},
}};

constexpr std::size_t ShortestRequest = 6;
constexpr std::array<std::string_view, 4> Words{"OK", "ERROR", "RECEIVE", "\r\n"};

const RequestKind* requestAt(std::string_view afterBang) {
    for (const RequestKind& kind : Requests)
        if (afterBang.starts_with(kind.keyword))
            return &kind;
    return nullptr;
}

bool isProperPrefixOf(std::string_view part, std::string_view whole) {
    return part.size() < whole.size() && whole.starts_with(part);
}

// The read ends inside something that its next read may complete.
bool unfinishedWord(std::string_view rest) {
    for (std::string_view word : Words)
        if (isProperPrefixOf(rest, word))
            return true;
    return false;
}

bool unfinishedKeyword(std::string_view afterBang) {
    for (const RequestKind& kind : Requests)
        if (isProperPrefixOf(afterBang, kind.keyword))
            return true;
    return false;
}

// Allowed before the connection has logged in.
bool allowedBeforeLogin(Handler handler) {
    return handler == Handler::Kl || handler == Handler::Kla || handler == Handler::Ping;
}

// Where a request that is refused unexecuted ends: after its line end, and an
// LF that follows within the read.
std::size_t endOfRefused(std::string_view rest, const RequestKind& kind) {
    std::size_t at = rest.find(kind.end);
    at = at == std::string_view::npos ? rest.size() : at + kind.end.size();
    if (at < rest.size() && rest[at] == '\n')
        ++at;
    return at;
}

} // namespace

void ClientService::reply(Klient& record, int mode, const std::string& text) {
    Powiadom(mode, text, record.IDFB.c_str(), record.Gniazdo, record.IP);
}

void ClientService::releasePendingLogin(Klient& record) {
    if (!record.HoldsPendingLogin)
        return;
    record.HoldsPendingLogin = false;
    // The timer may have taken this count off already.
    if (PendingLogins > 0)
        --PendingLogins;
}

void ClientService::keepRemainder(Klient& record, std::string_view rest) {
    if (rest.size() > ReceiveRemainderLimit) {
        base::WriteLog(2, "Za długa niepełna ramka dlugość=%zu z komputera %s, odrzucona", rest.size(),
                       record.IP.c_str());
        ++record.BledyObslugi;
        record.ReceiveRemainder.clear();
        record.SkipToLineEnd = true;
        return;
    }
    record.ReceiveRemainder.assign(rest);
}

void ClientService::handleRead(Klient* record, std::string fresh) {
    const bool resumed = std::exchange(record->HeldRead, false);
    if (record->SkipToLineEnd) {
        const std::size_t end = fresh.find_first_of("\r\xff");
        if (end == std::string::npos)
            return;
        fresh.erase(0, end + 1);
        record->SkipToLineEnd = false;
        if (fresh.empty())
            return;
    }
    const std::size_t carried = record->ReceiveRemainder.size();
    std::string data = std::move(record->ReceiveRemainder);
    record->ReceiveRemainder.clear();
    data += fresh;
    if (data.empty()) {
        base::WriteLog(2, "Brak danych");
        return;
    }
    if (!resumed)
        base::WriteLog(1, "Odebrane: <%s> z komputera %s dlug=%u rcvBuffLen=%d", logText(data).c_str(),
                       record->IP.c_str(), unsigned(data.size()), int(carried));
    record->CzasOdbioru = nowSeconds();
    refreshRow(*record);

    const std::string address = record->IP;
    const std::uint32_t connection = record->Gniazdo;
    const std::string_view text(data);
    std::size_t at = 0;
    while (at < text.size()) {
        // A handler may have removed the record (a refused log-in).
        record = Klient::Znajdz(address, connection, nullptr);
        if (!record)
            return;
        Klient& k = *record;
        if (k.Stan == Klient::DISCONNECT) {
            if (clientTrace())
                base::WriteLog(1, "klient %s rozłączył się podczas obsługi jego danych", address.c_str());
            return;
        }
        const std::string_view rest = text.substr(at);
        if (owesTooMuch(k)) {
            // The rest is handled once the client has taken its replies.
            k.ReceiveRemainder.assign(rest);
            k.HeldRead = true;
            pauseReading(k);
            return;
        }
        if (rest.starts_with("ERROR")) {
            base::WriteLog(2, "Błąd przy wykonaniu komendy %s przez klienta %s",
                           k.HasOstatniaWyslana ? logText(k.OstatniaWyslana).c_str() : "", address.c_str());
            k.Stan = Klient::ERROR;
            releasePendingLogin(k);
            ++k.OdebraneERROR;
            k.Pominiete = 0;
            k.HasOstatniaWyslana = false;
            k.OstatniaWyslana.clear();
            refreshRow(k);
            at += 5;
            continue;
        }
        if (rest.starts_with("OK")) {
            base::WriteLog(1, "Odebrane potwierdzenia wykonania komendy");
            ++k.OdebraneOK;
            k.Stan = Klient::OK;
            if (k.HoldsPendingLogin) {
                host_.RestartAllowNewConnection();
                releasePendingLogin(k);
            }
            k.HasOstatniaWyslana = false;
            k.OstatniaWyslana.clear();
            k.CzasWyslania = nowSeconds();
            refreshRow(k);
            at += 2;
            continue;
        }
        if (rest.starts_with("RECEIVE")) {
            base::WriteLog(1, "Odebrane potwierdzenia odbioru");
            ++k.OdebraneRECEIVE;
            k.Stan = Klient::RECEIVE;
            releasePendingLogin(k);
            refreshRow(k);
            at += 7;
            continue;
        }
        if (rest.starts_with("\r\n")) {
            at += 2;
            continue;
        }
        // An LF whose CR ended the previous read.
        if (rest.front() == '\n') {
            ++at;
            continue;
        }
        const bool request = rest.front() == '!';
        const RequestKind* kind = request ? requestAt(rest.substr(1)) : nullptr;
        if (request &&
            (kind ? rest.find(kind->end) == std::string_view::npos : unfinishedKeyword(rest.substr(1)))) {
            keepRemainder(k, rest);
            return;
        }
        if (rest.size() < ShortestRequest) {
            if (!request && unfinishedWord(rest)) {
                keepRemainder(k, rest);
                return;
            }
            base::WriteLog(2, "Za krótka ramka dlugość=%u dane=%s z komputera %s", unsigned(rest.size()),
                           logText(rest).c_str(), address.c_str());
            ++k.BledyObslugi;
            answer(k, Notice, "ERROR");
            return;
        }
        if (!request) {
            ++at;
            continue;
        }
        if (!kind) {
            base::WriteLog(2, "Nieznana komenda %s z komputera %s", logText(rest.substr(1, 64)).c_str(),
                           address.c_str());
            ++k.BledyObslugi;
            answer(k, Notice, "ERROR");
            ++at;
            continue;
        }
        if (!k.Zalogowany && !allowedBeforeLogin(kind->handler)) {
            base::WriteLog(2, "Komenda %s od niezalogowanego klienta %s odrzucona", kind->description,
                           address.c_str());
            ++k.BledyObslugi;
            answer(k, Forced, "ERROR");
            at += endOfRefused(rest, *kind);
            continue;
        }

        CurrentKlient = &k;
        int code = 0;
        const std::string_view body = rest.substr(std::min(kind->after, rest.size()));
        RequestEnd end;
        switch (kind->handler) {
        case Handler::Wi:
            end = WiadomoscTxtOdKlienta(body, address, code);
            break;
        case Handler::Kla:
        case Handler::Kl:
            end = RejestracjaKlienta(body, address, kind->handler == Handler::Kla, code, connection);
            break;
        case Handler::Bt:
        case Handler::Bn:
            end = Blokada(kind->handler == Handler::Bt, body, code);
            break;
        case Handler::Wn:
            end = WybierzNumer(body, code);
            break;
        case Handler::Zp:
            end = ZamowRozmowe(body, code);
            break;
        case Handler::Ping: {
            base::WriteLog(1, "Odebrany ping");
            k.Stan = Klient::PING;
            refreshRow(k);
            // The line end within this read only.
            std::size_t used = 0;
            if (used < body.size() && body[used] == '\r')
                ++used;
            if (used < body.size() && body[used] == '\n')
                ++used;
            end = used;
            break;
        }
        case Handler::Op:
            end = AktualizujOpisUzytkownika(body, code);
            break;
        case Handler::Td:
            end = TransferDzwonka(body, code);
            break;
        case Handler::Re:
            end = Redial(body, code);
            break;
        case Handler::Ho:
            end = Hold(body, code);
            break;
        case Handler::Uh:
            end = Unhold(body, code);
            break;
        case Handler::Sp:
            end = SpeakerPhone(body, code);
            break;
        case Handler::DbAdd:
            base::WriteLog(1, "UDP: Synchronizacja - dodanie rekordu do bazy");
            end = ContactAdded(body);
            break;
        case Handler::DbUpd:
            base::WriteLog(1, "UDP: Synchronizacja - aktualizacja rekordu");
            end = ContactChanged(body);
            break;
        case Handler::DbDel:
            base::WriteLog(1, "UDP: Synchronizacja - usunięcie rekordu");
            end = ContactDeleted(body);
            break;
        case Handler::Vm:
            end = VoiceMailRequest(body, code);
            break;
        case Handler::DbgAdd:
            base::WriteLog(1, "UDP: Synchronizacja - dodanie grupy dla kontaktów");
            end = ContactGroupAdded(body);
            break;
        case Handler::DbgDel:
            base::WriteLog(1, "UDP: Synchronizacja - usunięcie grupy dla kontaktów");
            end = ContactGroupDeleted(body);
            break;
        case Handler::Sms:
            end = SmsRequest(body, k, code);
            break;
        case Handler::Vb:
            end = VoiceBoxRequest(body, code);
            break;
        case Handler::Gww:
            end = GroupLoginRequest(body, code);
            break;
        }

        // The handler may have removed the record.
        record = Klient::Znajdz(address, connection, nullptr);
        const bool login = kind->handler == Handler::Kl || kind->handler == Handler::Kla;
        if (login && !end && code == LoginAwaitsDatabase) {
            // Nothing more of this client is read or handled until the
            // database has answered: then from this request on again.
            if (record) {
                record->ReceiveRemainder.assign(rest);
                record->HeldRead = true;
            }
            return;
        }
        if (login && !end && (code == 2 || code == 4 || code == 5)) {
            // Answered once, and the record goes.
            if (record)
                WyslijBladKlientowi(code, record);
            return;
        }
        if (!record)
            return;
        if (code == 0) {
            if (clientTrace())
                base::WriteLog(1, "Wysłanie potwierdzenia %s", kind->description);
            answer(*record, Priority, "OK");
        } else if (code != ReplyAwaitsRow) {
            if (clientTrace())
                base::WriteLog(1, "Błąd %u obsługi %s z komputera %s", unsigned(code), kind->description,
                               address.c_str());
            ++record->BledyObslugi;
            if (kind->handler == Handler::Kl)
                answer(*record, Forced, "ERROR " + std::to_string(code) + "\r");
            else if (kind->handler != Handler::Kla)
                answer(*record, Forced, "ERROR");
        }
        if (!end)
            return;
        at += std::min(kind->after, rest.size()) + std::min(*end, body.size());
    }
}

} // namespace clients
