// What clients say to each other and about themselves: text messages (WI),
// the user description (OP) and the lock request (BT/BN).
#include "base/DiagnosticLog.h"
#include "clients/ClientService.h"
#include "clients/RequestFields.h"
#include "platform/WireCodePage.h"
#include "ui/Components.h"

namespace clients {
namespace {

constexpr char MessageEnd = char(0xFF);
// The recipient that stands for every logged-in client.
constexpr const char* Everybody = "987654321";
constexpr std::size_t SenderLongest = 10;
constexpr std::size_t RecipientLongest = 9;
constexpr std::size_t DateLongest = 19;
constexpr std::size_t FirstFieldLongest = 63;
constexpr std::size_t DescriptionLongest = 255;
constexpr std::size_t LockNumberLongest = 9;
constexpr std::size_t LockCodeLongest = 29;

bool clientTrace() {
    return base::Switches().chbLogKlienci.load();
}

// Which user a request comes from: the record being handled, or the server
// itself when the console relays its own message.
std::string senderIdentity() {
    if (!CurrentKlient || CurrentKlient == ServerKlient)
        return "0";
    return CurrentKlient->Zalogowany ? CurrentKlient->IDFB : std::string();
}

} // namespace

const char* ClientService::relayTextMessage(const char* text, const std::string& address, int& errorCode) {
    errorCode = 0;
    const char* at = text;
    std::string sender, recipient, date, body;
    if (TakeField(at, '&', SenderLongest, sender) != FieldResult::Ok) {
        base::WriteLog(2, "brak znacznika numeru użytkownika wysyłającego");
        errorCode = 1;
        return nullptr;
    }
    switch (TakeField(at, '&', RecipientLongest, recipient)) {
    case FieldResult::NoEnd:
        base::WriteLog(2, "brak znacznika numeru adresata");
        errorCode = 2;
        return nullptr;
    case FieldResult::TooLong:
        base::WriteLog(2, "za długi numer adresata");
        errorCode = 2;
        return nullptr;
    case FieldResult::Ok:
        break;
    }
    switch (TakeField(at, '&', DateLongest, date)) {
    case FieldResult::NoEnd:
        base::WriteLog(2, "brak znacznika daty nadania");
        errorCode = 4;
        return nullptr;
    case FieldResult::TooLong:
        base::WriteLog(2, "za długa data nadania");
        errorCode = 4;
        return nullptr;
    case FieldResult::Ok:
        break;
    }
    const char* end = at;
    while (*end != '\0' && *end != MessageEnd)
        ++end;
    if (*end != MessageEnd) {
        base::WriteLog(2, "brak końca linii");
        errorCode = 3;
        return nullptr;
    }
    body.assign(at, end);
    // A client speaks only for its own user.
    if (platform::fromWire(sender) != senderIdentity()) {
        base::WriteLog(2, "wiadomość z adresu %s z obcym numerem nadawcy %s", address.c_str(),
                       platform::fromWire(sender).c_str());
        errorCode = 1;
        return nullptr;
    }
    // Relayed as it came, in the wire code page.
    const std::string message =
        "!WI&" + sender + "&" + recipient + "&" + date + "&" + body + std::string(1, MessageEnd);
    const std::string from = platform::fromWire(sender);
    const std::string to = platform::fromWire(recipient);
    if (to != Everybody) {
        bool reached = false;
        for (Klient* k = KlientList; k; k = k->Nastepny) {
            if (k == ServerKlient || k->IDFB != to || k->Stan == Klient::DISCONNECT)
                continue;
            if (clientTrace())
                base::WriteLog(1, "wiadomość od numeru %s do numeru %s IP=%s <%s>", from.c_str(), to.c_str(),
                               k->IP.c_str(), platform::fromWire(message).c_str());
            Powiadom(0, message, to.c_str(), k->Gniazdo, k->IP);
            reached = true;
        }
        if (!reached)
            base::WriteLog(2, "Klient %s nie podłączony do serwera", to.c_str());
    } else {
        for (Klient* k = KlientList; k; k = k->Nastepny) {
            if (k == ServerKlient || !k->Zalogowany || k->IDFB.empty() || k->IDFB == from ||
                k->Stan == Klient::DISCONNECT)
                continue;
            Powiadom(0, message, k->IDFB.c_str(), k->Gniazdo, k->IP);
        }
    }
    return SkipLineFeed(end + 1);
}

const char* ClientService::updateDescription(const char* text, int& errorCode) {
    errorCode = 0;
    const char* at = text;
    std::string first, description;
    const char* lineEnd = at;
    while (*lineEnd != '\0' && *lineEnd != '\r')
        ++lineEnd;
    if (*lineEnd != '\r') {
        base::WriteLog(2, "brak końca linii");
        errorCode = 3;
        return nullptr;
    }
    // The first field ends at an "&" before the line end.
    const char* mark = at;
    while (mark < lineEnd && *mark != '&')
        ++mark;
    if (mark == lineEnd) {
        base::WriteLog(2, "brak znacznika ");
        errorCode = 2;
        return nullptr;
    }
    if (std::size_t(mark - at) > FirstFieldLongest) {
        base::WriteLog(2, "za długie pole opisu");
        errorCode = 2;
        return nullptr;
    }
    if (std::size_t(lineEnd - (mark + 1)) > DescriptionLongest) {
        base::WriteLog(2, "za długi opis użytkownika");
        errorCode = 3;
        return nullptr;
    }
    first.assign(at, mark);
    description = platform::fromWire(std::string(mark + 1, lineEnd));
    const std::string idfb = CurrentKlient ? CurrentKlient->IDFB : std::string();
    ui::TListView& users = host_.UserList();
    const int statusColumn = UserColumnStatus;
    if (!idfb.empty()) {
        const QString id = QString::fromStdString(idfb);
        for (int i = 0; i < users.topLevelItemCount(); ++i) {
            if (users.topLevelItem(i)->text(UserColumnId) == id)
                users.topLevelItem(i)->setText(statusColumn, QString::fromStdString(description));
        }
    }
    UdpSend("!OI&" + idfb + "&" + description + "&\r\n");
    return SkipLineFeed(lineEnd + 1);
}

const char* ClientService::setLock(bool on, const char* text, int& errorCode) {
    errorCode = 0;
    base::WriteLog(1, on ? "Blokada abonenta" : "Odblokowanie abonenta");
    const char* at = text;
    std::string number, code;
    switch (TakeField(at, '&', LockNumberLongest, number)) {
    case FieldResult::NoEnd:
        base::WriteLog(2, "brak znacznika numeru użytkownika");
        errorCode = 1;
        return nullptr;
    case FieldResult::TooLong:
        base::WriteLog(2, "za długi numer abonenta");
        errorCode = 2;
        return nullptr;
    case FieldResult::Ok:
        break;
    }
    switch (TakeField(at, '\r', LockCodeLongest, code)) {
    case FieldResult::NoEnd:
        base::WriteLog(2, "brak końca linii");
        errorCode = 3;
        return nullptr;
    case FieldResult::TooLong:
        base::WriteLog(2, "za długi kod użytkownika");
        errorCode = 4;
        return nullptr;
    case FieldResult::Ok:
        break;
    }
    base::WriteLog(1, "blokuję numer=%s kod=%s", platform::fromWire(number).c_str(),
                   platform::fromWire(code).c_str());
    return SkipLineFeed(at);
}

} // namespace clients

namespace clients {

// Sent as a text message of the server's own (sender "0"): no client is the
// one being served meanwhile.
bool ClientService::RelayServerMessage(const std::string& message) {
    if (message.empty() || message.back() != '\xff')
        return false;
    const std::string wire = platform::toWire(message.substr(0, message.size() - 1)) + '\xff';
    Klient* served = CurrentKlient;
    CurrentKlient = nullptr;
    int errorCode = 0;
    relayTextMessage(wire.c_str(), "127.0.0.1", errorCode);
    CurrentKlient = served;
    if (errorCode != 0)
        base::WriteLog(2, "Wiadomość do wszystkich nie wysłana, błąd %d", errorCode);
    return errorCode == 0;
}

} // namespace clients
