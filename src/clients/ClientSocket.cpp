// The client server socket: accepting connections, one record per
// connection (numbered by us, in place of a socket handle), reads handed to
// the request framing, disconnects and errors; switching the service on and
// off; the console line.
#include "clients/ClientService.h"
#include "clients/ClientServiceParts.h"
#include "clients/SocketTexts.h"

#include "base/EventLock.h"
#include "platform/Clock.h"
#include "ui/Components.h"

#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <linux/sockios.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace clients {
using detail::clientTrace;
using detail::nowSeconds;

namespace {

// How much Qt may hold of one connection's unread bytes, and the most one
// read takes: a client that floods waits for the framing.
constexpr qint64 SocketReadBufferLimit = 256 * 1024;
constexpr qint64 ReadChunk = 64 * 1024;

// The most client connections the process's descriptor limit leaves room for.
int connectionLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<int>::max();
    const auto room = std::min<rlim_t>(limit.rlim_cur, rlim_t(std::numeric_limits<int>::max()));
    return std::max(0, int(room) - ClientService::DescriptorReserve);
}

// One more descriptor can be had now.
bool descriptorFree(qintptr any) {
    const int copy = ::fcntl(int(any), F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return errno != EMFILE && errno != ENFILE;
    ::close(copy);
    return true;
}

} // namespace

bool ClientService::IsOpen() const {
    return host_.ClientServer().isListening();
}

const char* ClientService::refusalOfNewConnection() {
    // Log-ins answered and not yet acknowledged hold new connections off.
    if (PendingLogins >= 2)
        return "Nowe połączenie odrzucone: logowania klientów czekają na potwierdzenie";
    if (int(openConnections_.size()) >= connectionLimit())
        return "Nowe połączenie odrzucone: brak wolnych deskryptorów dla kolejnych połączeń";
    return nullptr;
}

void ClientService::serwerAccept() {
    QTcpServer& server = host_.ClientServer();
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        if (const char* refusal = refusalOfNewConnection()) {
            if (refusalLogged_ != refusal)
                base::WriteLog(2, "%s", refusal);
            refusalLogged_ = refusal;
            socket->abort();
            socket->deleteLater();
            continue;
        }
        refusalLogged_ = nullptr;
        acceptErrorLogged_ = false;
        // Connections that never log in must not shut the others out: the
        // oldest of them makes room.
        if (int(unloggedConnections_.size()) >= UnloggedConnectionLimit)
            closeOldestUnloggedConnection();
        serwerClientConnect(socket);
    }
}

// This runs when no descriptor is left, and the sanitizer's check of the
// notifier's dynamic type needs one (it reads the object through a pipe):
// the check is left out here, where it could only fail.
__attribute__((no_sanitize("vptr"))) void
ClientService::serwerAcceptError(QAbstractSocket::SocketError error) {
    // The listening socket stays readable while accepting fails: accepting
    // waits for a free descriptor instead of trying again at once.
    host_.ClientServer().pauseAccepting();
    acceptPaused_ = true;
    // Only a paused accepting is looked at on a timer.
    if (acceptGuard_)
        acceptGuard_->setEnabled(false);
    if (!acceptWatch_) {
        acceptWatch_ = new QTimer(&context_);
        QObject::connect(acceptWatch_, &QTimer::timeout, &context_, [this] { watchAccepting(); });
    }
    acceptWatch_->start(AcceptCheckMs);
    if (!acceptErrorLogged_) {
        acceptErrorLogged_ = true;
        base::WriteLog(2, "Socket Error=%u z %s socket=%u port=%d", unsigned(SocketErrorCode(error)),
                       "0.0.0.0", 0u, host_.PortTCP());
        base::WriteLog(2, "%s", SocketEventKindText(error));
        base::WriteLog(2, "Przyjmowanie połączeń wstrzymane do zwolnienia deskryptora");
    }
}

void ClientService::resumeAccepting() {
    QTcpServer& server = host_.ClientServer();
    if (!acceptPaused_ || !server.isListening() || !descriptorFree(server.socketDescriptor()))
        return;
    acceptPaused_ = false;
    acceptWatch_->stop();
    if (acceptGuard_)
        acceptGuard_->setEnabled(true);
    server.resumeAccepting();
}

void ClientService::watchAccepting() {
    if (!host_.ClientServer().isListening()) {
        acceptWatch_->stop();
        return;
    }
    resumeAccepting();
}

void ClientService::guardAccepting() {
    QTcpServer& server = host_.ClientServer();
    if (acceptGuard_ || !server.isListening())
        return;
    acceptGuardDescriptor_ = ::fcntl(int(server.socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (acceptGuardDescriptor_ < 0)
        return;
    acceptGuard_ = new QSocketNotifier(acceptGuardDescriptor_, QSocketNotifier::Read, &context_);
    // Once a connection has been taken, a failed accept reads as a passing
    // one to the socket, which goes on trying without a word: a connection
    // waiting while no descriptor is left pauses accepting here.
    QObject::connect(acceptGuard_, &QSocketNotifier::activated, &context_, [this] {
        QTcpServer& listening = host_.ClientServer();
        if (listening.isListening() && !acceptPaused_ && !descriptorFree(listening.socketDescriptor()))
            serwerAcceptError(QAbstractSocket::SocketResourceError);
    });
}

void ClientService::serwerClientConnect(QTcpSocket* socket) {
    const std::string address = SocketAddressText(socket->peerAddress());
    const std::uint32_t connection = nextConnection_++;
    if (nextConnection_ == 0)
        nextConnection_ = 1;
    socket->setReadBufferSize(SocketReadBufferLimit);
    // A notice is one small write whose acknowledgement the client's next
    // notice waits for: it goes out at once, not held for more to join it.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    if (ServerKlient && ServerKlient->IP == "0.0.0.0") {
        ServerKlient->SetIP(SocketAddressText(socket->localAddress()));
        refreshRow(*ServerKlient);
    }
    // One record per address, but the server's own machine may have several.
    if (!ServerKlient || address != ServerKlient->IP) {
        // The server's own record is not at this address.
        while (Klient* old = Klient::Find(address, 0, nullptr))
            UsunKlienta(old);
    }
    {
        base::EventLock lock(host_.ServiceLock());
        auto* record = new Klient(address, address, socket, std::uint32_t(socket->peerPort()), connection);
        CurrentKlient = record;
        DodajKlienta();
    }
    openConnections_.insert(connection);
    unloggedConnections_.emplace(connection,
                                 UnloggedConnection{platform::processClock().nowMs(), socket, address});
    if (!unloggedWatch_.isActive())
        watchUnloggedConnections();
    QObject::connect(socket, &QObject::destroyed, &context_,
                     [this, connection] { connectionGone(connection); });
    const int port = socket->peerPort();
    QObject::connect(socket, &QTcpSocket::readyRead, &context_,
                     [this, connection, address] { serwerClientRead(connection, address); });
    QObject::connect(socket, &QTcpSocket::bytesWritten, &context_,
                     [this, connection] { resumeReading(connection); });
    QObject::connect(socket, &QTcpSocket::disconnected, &context_, [this, socket, connection, address] {
        serwerClientDisconnect(connection, address);
        socket->deleteLater();
    });
    QObject::connect(socket, &QTcpSocket::errorOccurred, &context_,
                     [this, connection, address, port](QAbstractSocket::SocketError error) {
                         serwerClientError(connection, address, port, error);
                     });
}

void ClientService::serwerClientRead(std::uint32_t connection, const std::string& address) {
    base::EventLock lock(host_.ServiceLock(), base::EventLock::Nested::Covered);
    if (!lock.owns()) {
        // Signalled from inside a send of our own (waiting for a slow
        // client): the bytes are read once that work is done, or the read
        // would never be signalled again.
        QTimer::singleShot(0, &context_,
                           [this, connection, address] { serwerClientRead(connection, address); });
        return;
    }
    Klient* record = Klient::Znajdz(address, connection, nullptr);
    if (!record) {
        base::WriteLog(2, "Odebrany pakiet od nieznanego komputera");
        return;
    }
    QPointer<QTcpSocket> socket = record->Socket;
    // Bounded reads: each chunk is framed as a read of its own, an unfinished
    // request carried over to the next. A connection that owes too much is
    // not read: what it sends waits in its socket, and then in the sender's.
    // Nor is one whose log-in waits for its password read.
    bool held = record->HeldRead;
    while (!stalled_.contains(connection) && !passwordReads_.Contains(connection) &&
           !loginsHeldForRestore_.contains(connection) && socket && (held || socket->bytesAvailable() > 0)) {
        const QByteArray bytes = held ? QByteArray() : socket->read(ReadChunk);
        held = false;
        record = Klient::Znajdz(address, connection, nullptr);
        if (!record)
            return;
        handleRead(record, bytes.toStdString());
    }
    // An acknowledgement may have freed the client for what waits for it.
    if (!Queue.empty())
        host_.WakeIdleHandler();
}

// A log-in held for a restore is looked at again at the restore's end.
void ClientService::watchUnloggedConnections() {
    std::optional<std::int64_t> first;
    for (const auto& [connection, entry] : unloggedConnections_) {
        const std::int64_t due = entry.acceptedMs + UnloggedLifetimeMs + 1;
        if (!loginsHeldForRestore_.contains(connection))
            first = std::min(first.value_or(due), due);
    }
    if (first)
        unloggedWatch_.startFor(*first);
    else
        unloggedWatch_.stop();
}

void ClientService::closeLateUnloggedConnections() {
    std::vector<std::uint32_t> late;
    {
        // Not from inside the handling of a read (a send waiting for a slow
        // client runs the loop): looked at again shortly.
        base::EventLock lock(host_.ServiceLock(), base::EventLock::Nested::Covered);
        if (!lock.owns()) {
            unloggedWatch_.startIn(AcceptCheckMs);
            return;
        }
        const std::int64_t now = platform::processClock().nowMs();
        // A log-in held for a restore is not late: it waits for the server.
        for (const auto& [connection, entry] : unloggedConnections_)
            if (now - entry.acceptedMs > UnloggedLifetimeMs && !loginsHeldForRestore_.contains(connection))
                late.push_back(connection);
    }
    for (const std::uint32_t connection : late)
        closeUnloggedConnection(connection, true);
    watchUnloggedConnections();
}

void ClientService::logLateUnlogged(const Klient* record, const std::string& address) {
    if (record && nowSeconds() - record->CzasOdbioru > UnloggedLifetimeMs / 1000)
        base::WriteLog(2, "Brak pingów od niezalogowanego klienta z adresu %s rozłączam połączenie",
                       address.c_str());
    else
        base::WriteLog(
            2, "Klient z adresu %s nie zalogował się w ciągu %d s od połączenia, rozłączam połączenie",
            address.c_str(), int(UnloggedLifetimeMs / 1000));
}

// A desk whose log-in waits for its password read is not the one closed:
// it is about to log in, and its wait is bounded. Only when every one waits
// so does the oldest of them go.
void ClientService::closeOldestUnloggedConnection() {
    const auto older = [this](const auto& a, const auto& b) {
        const bool aLogsIn = passwordReads_.Contains(a.first), bLogsIn = passwordReads_.Contains(b.first);
        return std::tuple(aLogsIn, a.second.acceptedMs, a.first) <
               std::tuple(bLogsIn, b.second.acceptedMs, b.first);
    };
    const auto oldest = std::min_element(unloggedConnections_.begin(), unloggedConnections_.end(), older);
    if (oldest != unloggedConnections_.end())
        closeUnloggedConnection(oldest->first, false);
}

void ClientService::closeUnloggedConnection(std::uint32_t connection, bool late) {
    const auto found = unloggedConnections_.find(connection);
    if (found == unloggedConnections_.end())
        return;
    const UnloggedConnection entry = found->second;
    unloggedConnections_.erase(found);
    const std::int64_t now = platform::processClock().nowMs();
    if (late) {
        logLateUnlogged(Klient::Find(entry.address, connection, nullptr), entry.address);
    } else {
        // A flood of new connections would write a line for each.
        ++evictedUnlogged_;
        if (!evictionLogged_ || now - evictionLoggedMs_ >= EvictionLogPeriodMs) {
            base::WriteLog(2,
                           "Nowe połączenie: za dużo połączeń bez zalogowania, zamknięto najstarsze (%u), "
                           "ostatnie z adresu %s",
                           evictedUnlogged_, entry.address.c_str());
            evictionLogged_ = true;
            evictionLoggedMs_ = now;
            evictedUnlogged_ = 0;
        }
    }
    // Not a close, which would wait for what it does not read.
    if (entry.socket)
        entry.socket->abort();
}

void ClientService::connectionGone(std::uint32_t connection) {
    openConnections_.erase(connection);
    unloggedConnections_.erase(connection);
    stalled_.erase(connection);
    // Its password read's answer is dropped, and its held answers.
    passwordReads_.Remove(connection);
    loginsHeldForRestore_.erase(connection);
    answerLines_.erase(connection);
}

namespace {

// What a connection has been sent and not taken: Qt's buffer and the
// system's send queue.
qint64 unsentBytes(const Klient& record) {
    if (!record.Socket)
        return 0;
    int queued = 0;
    if (::ioctl(int(record.Socket->socketDescriptor()), SIOCOUTQ, &queued) != 0)
        queued = 0;
    return record.Socket->bytesToWrite() + queued;
}

} // namespace

bool ClientService::owesTooMuch(const Klient& record) const {
    return unsentBytes(record) > UnsentPauseLimit;
}

void ClientService::pauseReading(const Klient& record) {
    stalled_.try_emplace(record.Gniazdo, StalledOutput{nowSeconds(), record.IP});
    if (!stallWatch_) {
        stallWatch_ = new QTimer(&context_);
        QObject::connect(stallWatch_, &QTimer::timeout, &context_, [this] { watchStalledConnections(); });
    }
    if (!stallWatch_->isActive())
        stallWatch_->start(StallCheckMs);
}

bool ClientService::resumeReading(std::uint32_t connection) {
    const auto found = stalled_.find(connection);
    if (found == stalled_.end())
        return false;
    const std::string address = found->second.address;
    const Klient* record = Klient::Znajdz(address, connection, nullptr);
    // Read again once most of it is taken, not at every segment.
    if (record && unsentBytes(*record) > UnsentPauseLimit / 2)
        return false;
    stalled_.erase(found);
    if (!record)
        return false;
    // Not from inside the write that signalled it.
    QTimer::singleShot(0, &context_, [this, connection, address] { serwerClientRead(connection, address); });
    return true;
}

void ClientService::watchStalledConnections() {
    std::vector<QPointer<QTcpSocket>> closing;
    {
        base::EventLock lock(host_.ServiceLock());
        if (!lock.owns())
            return;
        const std::time_t now = nowSeconds();
        for (auto it = stalled_.begin(); it != stalled_.end();) {
            const auto [connection, stall] = *it;
            ++it;
            // The system's queue drains without a signal of Qt's.
            if (resumeReading(connection))
                continue;
            const Klient* record = Klient::Znajdz(stall.address, connection, nullptr);
            if (record && record->Socket && now - stall.since < StalledOutputSeconds)
                continue;
            if (record && record->Socket) {
                base::WriteLog(
                    2, "Klient %s nie odbiera danych od %d s (%lld bajtów czeka), rozłączam połączenie",
                    stall.address.c_str(), int(now - stall.since),
                    static_cast<long long>(unsentBytes(*record)));
                closing.emplace_back(record->Socket);
            }
            stalled_.erase(connection);
        }
        if (stalled_.empty())
            stallWatch_->stop();
    }
    // Not a close, which would wait for what it does not read.
    for (const QPointer<QTcpSocket>& socket : closing)
        if (socket)
            socket->abort();
}

void ClientService::serwerClientDisconnect(std::uint32_t connection, const std::string& address) {
    // A descriptor is free again.
    resumeAccepting();
    Klient* record = Klient::Find(address, connection, nullptr);
    if (!record)
        return;
    record->Stan = Klient::DISCONNECT;
    unloggedConnections_.erase(connection);
    passwordReads_.Remove(connection);
    loginsHeldForRestore_.erase(connection);
    answerLines_.erase(connection);
    disconnected_.push_back(connection);
    host_.WakeIdleHandler();
    releasePendingLogin(*record);
    refreshRow(*record);
    if (clientTrace())
        base::WriteLog(1, "klient %s rozłączył się, socket=%u", address.c_str(), connection);
}

void ClientService::serwerClientError(std::uint32_t connection, const std::string& address, int port,
                                      QAbstractSocket::SocketError error) {
    // A client closing its end is no error: the disconnect handler logs the close.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    const int code = SocketErrorCode(error);
    const std::string where = address.empty() ? host_.Text("IDS_144") : address;
    base::WriteLog(2, "Socket Error=%u z %s socket=%u port=%d", unsigned(code), where.c_str(), connection,
                   port);
    base::WriteLog(2, "%s", SocketEventKindText(error));
    if (const char* text = SocketErrorCodeText(code))
        base::WriteLog(2, "%s", text);
    base::WriteLog(2, "Koniec obsługi błędu");
}

void ClientService::WyslijBladKlientowi(int code, Klient* record) {
    if (!record)
        return;
    Powiadom(Forced, "ERROR " + std::to_string(code) + "\r", record->IDFB.c_str(), record->Gniazdo,
             record->IP);
    if (record->Socket)
        record->Socket->flush();
    UsunKlienta(record);
}

void ClientService::WlaczSerwerClick() {
    if (host_.ServiceMenuMarked()) {
        WylaczSerwer();
        return;
    }
    base::WriteLog(1, "Włączanie serwera TCP=%u UDP=%u", unsigned(host_.PortTCP()),
                   unsigned(host_.PortUDP()));
    if (host_.ClientListView().topLevelItemCount() == 0)
        CreateServerRecord();
    QTcpServer& server = host_.ClientServer();
    if (server.isListening() || clientPortRetry_->Waiting()) {
        // Open already, or being tried again: nothing to report again.
    } else if (server.listen(QHostAddress::AnyIPv4, quint16(host_.PortTCP()))) {
        ReportChosenPort(ListenedPort::Clients, host_.PortTCP(), server);
    } else {
        base::WriteLog(2, "Socket Error=%u z %s socket=%u port=%d",
                       unsigned(SocketErrorCode(server.serverError())), "0.0.0.0", 0u, host_.PortTCP());
        ReportListenFailure(ListenedPort::Clients, host_.PortTCP(), server);
        clientPortRetry_->Arm(host_.PortTCP());
    }
    guardAccepting();
    Calendars.SwitchOn(host_.CalendarSettingsInForce());
    host_.SetServiceMenuMarked(true);
    host_.ShowStatusPanel(0, QString::fromStdString(host_.Text("IDS_483")));
}

void ClientService::WylaczSerwer() {
    base::WriteLog(1, "Wyłączanie serwera");
    QTcpServer& server = host_.ClientServer();
    server.close();
    clientPortRetry_->Stop();
    if (acceptWatch_)
        acceptWatch_->stop();
    delete acceptGuard_;
    acceptGuard_ = nullptr;
    if (acceptGuardDescriptor_ >= 0)
        ::close(acceptGuardDescriptor_);
    acceptGuardDescriptor_ = -1;
    acceptPaused_ = false;
    PendingLogins = 0;
    host_.ShowStatusPanel(1, QStringLiteral("0"));
    Calendars.SwitchOff();
    host_.SetServiceMenuMarked(false);
    host_.ShowStatusPanel(0, QString());
    {
        base::EventLock lock(host_.ServiceLock());
        if (lock.owns()) {
            for (Klient* k = KlientList; k; k = k->Nastepny) {
                if (k->Socket) {
                    QObject::disconnect(k->Socket, nullptr, &context_, nullptr);
                    k->Socket->abort();
                    k->Socket->deleteLater();
                }
            }
            base::EventLock chains(event_bufor.get());
            UsunWszystkichKlientow();
        }
        base::EventLock queue(host_.QueueLock(), base::EventLock::Nested::Covered);
        Queue.clear();
    }
    openConnections_.clear();
    unloggedConnections_.clear();
    unloggedWatch_.stop();
    stalled_.clear();
    if (stallWatch_)
        stallWatch_->stop();
    passwordReads_.Clear();
    passwordWatch_.stop();
    loginsHeldForRestore_.clear();
    answerLines_.clear();
    answerWatch_.stop();
    disconnected_.clear();
    host_.ClientListView().clear();
    rows_.clear();
    host_.ClearQueuePane();
    showClientCount();
    showQueueCount();
}

bool ClientService::LiniaDoKlienta(const std::string& text, const std::string& identifier) {
    std::string line = "!" + platform::toWire(text) + char(255);
    if (identifier.empty())
        return false;
    const std::string address = Klient::DajIP(identifier);
    if (address.empty()) {
        base::WriteLog(2, "Klient %u nie podłączony do serwera",
                       unsigned(std::strtoul(identifier.c_str(), nullptr, 10)));
        return false;
    }
    base::WriteLog(1, "wiadomość od serwera do numeru %s IP=%s", identifier.c_str(), address.c_str());
    Powiadom(Notice, line, identifier.c_str(), 0, address);
    return true;
}

} // namespace clients
