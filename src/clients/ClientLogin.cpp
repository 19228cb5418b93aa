// Client log-in (KL and KLA): the version and field checks, the password
// check against the console's user list with the database as the fallback,
// and the "!LP" reply that hands the client the database connection data.
#include "base/DiagnosticLog.h"
#include "base/PasswordCodec.h"
#include "clients/ClientService.h"
#include "clients/ClientServiceParts.h"
#include "clients/PasswordReads.h"
#include "clients/RequestFields.h"
#include "db/CallWatchdog.h"
#include "db/SessionDB.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"
#include "ui/Components.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <cstring>
#include <limits>
#include <utility>

namespace clients {
namespace {

constexpr std::size_t VersionLongest = 10;
constexpr std::size_t LoginLongest = 32;
constexpr std::size_t PasswordLongest = 64;
constexpr const char* OldestVersion = "2.00.02";
// Morva exchanges mirror no voice mail to the clients.
constexpr int PbxTypeMorva = 5;

bool clientTrace() {
    return base::Switches().chbLogKlienci.load();
}

void fieldError(const char* message) {
    if (clientTrace())
        base::WriteLog(2, "%s", message);
}

// Versions are written with two-digit parts ("2.00.22.00"), so a plain byte
// comparison orders them; "2.0.22.0" has no '.' at the fifth place.
bool versionAccepted(const std::string& version) {
    return std::strcmp(version.c_str(), OldestVersion) >= 0 && version.size() >= 5 && version[1] == '.' &&
           version[4] == '.';
}

std::string cell(const QTreeWidgetItem* row, int column) {
    return column < 0 ? std::string() : row->text(column).toStdString();
}

// While the server stays away, log-ins try an attach of their own at most
// this often; the reconnect timer does the rest.
constexpr std::int64_t LoginAttachIntervalMs = 5000;

// True when a log-in may attach the main connection now: it is attached, or
// no log-in tried within the interval.
bool loginMayAttach() {
    static std::int64_t lastAttempt = std::numeric_limits<std::int64_t>::min() / 2;
    if (MainDbHandleExists())
        return true;
    const std::int64_t now = platform::processClock().nowMs();
    if (now - lastAttempt < LoginAttachIntervalMs && now >= lastAttempt)
        return false;
    lastAttempt = now;
    return true;
}

// The password the database holds for the log-in now (the list may be older).
// A read that finds the connection lost attaches once and reads again, as a
// statement does: the first log-in after a server restart gets its answer.
PasswordAnswer askDatabase(const ClientLoginSettings& settings, const std::string& login,
                           const std::string& password) {
    if (!loginMayAttach())
        return PasswordAnswer::Unreachable;
    SessionDB session(settings.databaseHost, settings.databaseFile, settings.databaseUser,
                      settings.databasePassword, &MainDbHandle, false);
    return ReadPassword(session, login, password);
}

// A list that could not be read is read again at once, after one attach when
// the main connection is gone (as a statement attaches again after a lost
// connection): a server restart costs no log-in its first attempt.
// True when the main connection is there afterwards.
bool attachMainAtOnce(const ClientLoginSettings& settings) {
    if (MainDbHandleExists())
        return true;
    if (!loginMayAttach())
        return false;
    SessionDB attach(settings.databaseHost, settings.databaseFile, settings.databaseUser,
                     settings.databasePassword, &MainDbHandle, false);
    return MainDbHandleExists();
}

void logUnreachable(const std::string& address, const std::string& login) {
    base::WriteLog(2,
                   "Brak połączenia z bazą danych przy sprawdzaniu hasła użytkownika z adresu %s, login %s",
                   address.c_str(), login.c_str());
}

// Puts "***" in place of the field after `skipped` "&"-separated fields
// from `from`, up to the first of `ends`; nothing when the request ends
// first.
void maskField(std::string& text, std::size_t from, int skipped, std::string_view ends) {
    for (; skipped > 0; --skipped) {
        const std::size_t amp = text.find_first_of("&\r", from);
        if (amp == std::string::npos || text[amp] != '&')
            return;
        from = amp + 1;
    }
    std::size_t end = text.find_first_of(ends, from);
    if (end == std::string::npos)
        end = text.size();
    if (end > from)
        text.replace(from, end - from, "***");
}

} // namespace

namespace detail {

std::string withoutLoginPassword(std::string_view fields) {
    std::string text(fields);
    maskField(text, 0, 2, "\r");
    // The requests read with it follow it.
    return withoutSecrets(text);
}

std::string withoutSecrets(std::string_view bytes) {
    std::string text(bytes);
    for (std::size_t at = text.find('!'); at != std::string::npos; at = text.find('!', at + 1)) {
        const std::string_view rest = std::string_view(text).substr(at + 1);
        if (rest.starts_with("KLA&"))
            maskField(text, at + 5, 2, "\r");
        else if (rest.starts_with("KL&"))
            maskField(text, at + 4, 2, "\r");
        else if (rest.starts_with("LP&"))
            maskField(text, at + 4, 1, "&\r");
    }
    return text;
}

} // namespace detail

void ClientService::UstawKomunikatLP() {
    const ClientLoginSettings s = host_.LoginSettings();
    const std::string tail = "&" + s.databaseFile + "&" + s.databaseHost + "&";
    LoginReplyPrefix = "!LP&" + AesEncryptToHexWire(s.databaseUser, FixedKeyText) + "&" +
                       AesEncryptToHexWire(s.databasePassword, FixedKeyText) + tail;
    LoginReplyPrefix16 = "!LP&" + AesEncryptToHex16Wire(s.databaseUser, FixedKeyText) + "&" +
                         AesEncryptToHex16Wire(s.databasePassword, FixedKeyText) + tail;
}

QTreeWidgetItem* ClientService::findUserRow(Klient& record, const std::optional<Klient::PasswordRead>& read,
                                            const std::string& login, const std::string& password,
                                            int& errorCode, const std::string& address) {
    ui::TListView& users = host_.UserList();
    // With the reads off the event loop nothing attaches here: the main
    // connection comes back on its own.
    if (users.Tag() != 2 &&
        (passwordReadsOffLoop_ ? MainDbHandleExists() : attachMainAtOnce(host_.LoginSettings())))
        host_.LoadUsers();
    const int loginColumn = UserColumnLogin;
    const int passwordColumn = UserColumnPassword;
    bool loginKnown = false;
    for (int i = 0; i < users.topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = users.topLevelItem(i);
        if (cell(row, loginColumn) != login)
            continue;
        loginKnown = true;
        if (cell(row, passwordColumn) == password)
            return row;
        const std::optional<PasswordAnswer> answer =
            read && read->login == login && read->password == password
                ? read->answer
                : databasePassword(record, login, password);
        if (!answer) {
            errorCode = LoginAwaitsDatabase;
            return nullptr;
        }
        switch (*answer) {
        case PasswordAnswer::Matches:
            row->setText(passwordColumn, QString::fromStdString(password));
            return row;
        case PasswordAnswer::Unreachable:
            // Refused for now; the client logs in again later.
            logUnreachable(address, login);
            errorCode = 5;
            return nullptr;
        case PasswordAnswer::Differs:
            break;
        }
    }
    // Without a list read from the database no log-in is known to be unknown.
    if (!loginKnown && users.Tag() != 2) {
        logUnreachable(address, login);
        errorCode = 5;
        return nullptr;
    }
    errorCode = loginKnown ? 5 : 4;
    if (clientTrace()) {
        if (loginKnown)
            base::WriteLog(2, "Błędne hasło użytkownika z adresu %s, login %s", address.c_str(),
                           login.c_str());
        else
            base::WriteLog(2, "Nieznany login %s użytkownika z adresu %s", login.c_str(), address.c_str());
    }
    return nullptr;
}

const char* ClientService::registerClient(const char* text, const std::string& address, bool kla,
                                          int& errorCode, std::uint32_t socketHandle) {
    errorCode = 0;
    // A log-in handled again once its password was read takes the answer
    // (once); its lines were written the first time.
    Klient* held = Klient::Find(address, socketHandle, nullptr);
    const std::optional<Klient::PasswordRead> read =
        held ? std::exchange(held->PasswordChecked, std::nullopt) : std::nullopt;
    if (clientTrace() && !read)
        base::WriteLog(1, "Rejestr. klienta o IP %s %s typ_klienta:%d", address.c_str(),
                       platform::fromWire(detail::withoutLoginPassword(text)).c_str(), kla ? 1 : 0);
    const ClientLoginSettings settings = host_.LoginSettings();
    if (settings.databaseHost == "127.0.0.1" && address != "127.0.0.1" && !read)
        base::WriteLog(
            2, "Sugerowana zmiana adresu IP serwera bazy danych na adres dostępny w sieci lokalnej (nie "
               "localhost)");
    // A desk let in now would attach the database being replaced: it waits
    // for the restore's end, which answers it as usual.
    if (host_.DatabaseRestoring() && held) {
        loginsHeldForRestore_.emplace(socketHandle, address);
        errorCode = LoginAwaitsDatabase;
        return nullptr;
    }

    const char* at = text;
    std::string version, loginWire, passwordWire;
    switch (TakeField(at, '&', VersionLongest, version)) {
    case FieldResult::NoEnd:
        fieldError("brak końca wersji");
        errorCode = 1;
        return nullptr;
    case FieldResult::TooLong:
        fieldError("za długi łańcuch wersji");
        errorCode = 1;
        return nullptr;
    case FieldResult::Ok:
        break;
    }
    Klient* record = Klient::Znajdz(address, socketHandle, nullptr);
    if (!versionAccepted(version)) {
        base::WriteLog(2, "Niewłaściwa wersja klienta (IP: %s) %s %s", address.c_str(), version.c_str(),
                       OldestVersion);
        if (record) {
            record->UstawWersje(version);
            if (QTreeWidgetItem* row = rowOf(*record))
                row->setText(4, QString::fromStdString(platform::fromWire(version)));
        }
        errorCode = 2;
        return nullptr;
    }
    switch (TakeField(at, '&', LoginLongest, loginWire)) {
    case FieldResult::NoEnd:
        fieldError("brak końca loginu");
        errorCode = 1;
        return nullptr;
    case FieldResult::TooLong:
        fieldError("za długi login");
        errorCode = 1;
        return nullptr;
    case FieldResult::Ok:
        break;
    }
    switch (TakeField(at, '\r', PasswordLongest, passwordWire)) {
    case FieldResult::NoEnd:
        fieldError("brak końca hasla");
        errorCode = 1;
        return nullptr;
    case FieldResult::TooLong:
        fieldError("za długie haslo");
        errorCode = 1;
        return nullptr;
    case FieldResult::Ok:
        break;
    }
    const char* next = SkipLineFeed(at);
    if (!record) {
        base::WriteLog(2, "brak klienta (%s,%u,%s)", address.c_str(), socketHandle, "null");
        errorCode = 1;
        return nullptr;
    }
    const std::string login = platform::fromWire(loginWire);
    const std::string password = platform::fromWire(passwordWire);

    const QTreeWidgetItem* user = findUserRow(*record, read, login, password, errorCode, address);
    if (!user && errorCode == LoginAwaitsDatabase)
        return nullptr;
    if (!user) {
        record->SetIDFB(host_.Text("IDS_145"));
        record->SetNazwa("L: " + login);
        return nullptr;
    }
    record->UstawWersje(version);
    record->SetIDFB(cell(user, UserColumnId));
    record->SetNazwa(cell(user, UserColumnSurname) + " " + cell(user, UserColumnFirstName));
    record->Stan = Klient::OK;
    refreshRow(*record);

    PowiadomKlientowPodlaczenieUzytkownika(record->IDFB, record->IP);
    record->Zalogowany = 1;
    unloggedConnections_.erase(record->Gniazdo);
    refreshRow(*record);

    const bool voiceMail = settings.useVoiceMailPcti && settings.pbxType != PbxTypeMorva;
    const std::string reply = (kla ? LoginReplyPrefix16 : LoginReplyPrefix) + record->IDFB + "&" +
                              settings.broadcast + "&" + std::to_string(settings.portUdp) + "&1&" +
                              (settings.useSms ? "1" : "0") + "&" + (voiceMail ? "1" : "0") + "&\r\n";
    Powiadom(0, platform::toWire(reply), record->IDFB.c_str(), record->Gniazdo, record->IP);
    // A connection holds new ones off once, however often it logs in.
    if (!record->HoldsPendingLogin) {
        record->HoldsPendingLogin = true;
        ++PendingLogins;
    }

    // Without SMS the client hides its GSM part.
    WyslijZajetosci(record->IP, record->IDFB);
    host_.SendVoiceMailList(*record);
    if (!settings.useSms)
        Powiadom(0, "!GSM&DIS\r\n", record->IDFB.c_str(), record->Gniazdo, record->IP);
    else if (!host_.GsmLineList().empty())
        WyslijListeGSM(*record, host_.GsmLineList());
    CurrentKlient = nullptr;
    return next;
}

void ClientService::AnswerLoginsHeldForRestore() {
    const auto held = std::exchange(loginsHeldForRestore_, {});
    const std::int64_t now = platform::processClock().nowMs();
    for (const auto& [connection, address] : held) {
        // The wait for the restore does not count against its log-in time.
        if (const auto unlogged = unloggedConnections_.find(connection);
            unlogged != unloggedConnections_.end())
            unlogged->second.acceptedMs = now;
        serwerClientRead(connection, address);
    }
    watchUnloggedConnections();
}

std::optional<PasswordAnswer> ClientService::databasePassword(const Klient& record, const std::string& login,
                                                              const std::string& password) {
    const ClientLoginSettings settings = host_.LoginSettings();
    if (!passwordReadsOffLoop_)
        return askDatabase(settings, login, password);
    // The read attaches a connection of its own, on its thread: the main
    // connection, when away, comes back on its own.
    // One read per connection at most: its input waits for the answer.
    passwordReads_.Add(record.Gniazdo,
                       PasswordReadQueue::Wait{nextPasswordTicket_++,
                                               platform::processClock().nowMs() + db::CallBound().count(),
                                               record.IP, login, password});
    startWaitingPasswordReads();
    watchPasswordReads();
    return std::nullopt;
}

void ClientService::startWaitingPasswordReads() {
    while (const auto next = passwordReads_.Next()) {
        const std::uint64_t read = next->first;
        // What was read comes to the GUI thread, to a service still there.
        auto answered = [this, guard = QPointer<QObject>(&context_), read](StoredPassword stored) {
            auto* app = QCoreApplication::instance();
            if (!app)
                return;
            QMetaObject::invokeMethod(
                app,
                [this, guard, read, stored] {
                    if (!guard)
                        return;
                    passwordRead(read, stored);
                    startWaitingPasswordReads();
                },
                Qt::QueuedConnection);
        };
        if (!StartPasswordRead(host_.LoginSettings(), next->second, std::move(answered)))
            return;
        passwordReads_.Started(read);
    }
}

void ClientService::passwordRead(std::uint64_t read, const StoredPassword& stored) {
    const PasswordReadQueue::Waits answered = passwordReads_.Answered(read);
    watchPasswordReads();
    for (const auto& [connection, wait] : answered)
        passwordAnswered(connection, wait, CompareWithStored(stored, wait.password));
}

void ClientService::passwordAnswered(std::uint32_t connection, const PasswordReadQueue::Wait& wait,
                                     PasswordAnswer answer) {
    Klient* record = Klient::Find(wait.address, connection, nullptr);
    if (!record || record->Stan == Klient::DISCONNECT)
        return;
    record->PasswordChecked = Klient::PasswordRead{wait.login, wait.password, answer};
    serwerClientRead(connection, wait.address);
}

void ClientService::answerLatePasswordReads() {
    // A log-in not answered within the bound: the database counts as
    // unreachable for it, its read's thread is left to its call.
    for (const auto& [connection, wait] : passwordReads_.Late(platform::processClock().nowMs()))
        passwordAnswered(connection, wait, PasswordAnswer::Unreachable);
    watchPasswordReads();
    // A read given up by all it answered leaves its log-in to the next.
    startWaitingPasswordReads();
}

void ClientService::watchPasswordReads() {
    if (const std::optional<std::int64_t> due = passwordReads_.EarliestDue())
        passwordWatch_.startFor(*due);
    else
        passwordWatch_.stop();
}

} // namespace clients
