// The client server socket: accepting connections, one record per
// connection (numbered by us, in place of a socket handle), reads handed to
// the request framing, disconnects and errors; switching the service on and
// off; the console line.
#include "clients/ClientService.h"
#include "clients/ClientServiceParts.h"
#include "clients/SocketTexts.h"

#include "base/EventLock.h"
#include "ui/Components.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace clients {
using detail::clientTrace;
using detail::nowSeconds;

namespace {

// How much Qt may hold of one connection's unread bytes, and the most one
// read takes: a client that floods waits for the framing.
constexpr qint64 SocketReadBufferLimit = 256 * 1024;
constexpr qint64 ReadChunk = 64 * 1024;

} // namespace

bool ClientService::IsOpen() const {
    return host_.ClientServer().isListening();
}

void ClientService::serwerAccept() {
    QTcpServer& server = host_.ClientServer();
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        // Log-ins answered and not yet acknowledged hold new connections off.
        if (PendingLogins >= 2) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        serwerClientConnect(socket);
    }
}

void ClientService::serwerClientConnect(QTcpSocket* socket) {
    const std::string address = SocketAddressText(socket->peerAddress());
    const std::uint32_t connection = nextConnection_++;
    if (nextConnection_ == 0)
        nextConnection_ = 1;
    socket->setReadBufferSize(SocketReadBufferLimit);

    if (ServerKlient && ServerKlient->IP == "0.0.0.0") {
        ServerKlient->IP = SocketAddressText(socket->localAddress());
        ui::TListView& view = host_.ClientListView();
        for (int i = 0; i < view.topLevelItemCount(); ++i) {
            if (view.topLevelItem(i)->text(0) == QStringLiteral("0.0.0.0"))
                view.topLevelItem(i)->setText(0, QString::fromStdString(ServerKlient->IP));
        }
    }
    // One record per address, but the server's own machine may have several.
    if (!ServerKlient || address != ServerKlient->IP) {
        for (;;) {
            Klient* old = nullptr;
            for (Klient* k = KlientList; k && !old; k = k->Nastepny)
                if (k != ServerKlient && k->IP == address)
                    old = k;
            if (!old)
                break;
            UsunKlienta(old);
        }
    }
    {
        base::EventLock lock(host_.ServiceLock());
        auto* record = new Klient(address, address, socket, std::uint32_t(socket->peerPort()), connection);
        CurrentKlient = record;
        DodajKlienta();
    }
    const int port = socket->peerPort();
    QObject::connect(socket, &QTcpSocket::readyRead, &context_,
                     [this, connection, address] { serwerClientRead(connection, address); });
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
    // request carried over to the next.
    while (socket && socket->bytesAvailable() > 0) {
        const QByteArray bytes = socket->read(ReadChunk);
        record = Klient::Znajdz(address, connection, nullptr);
        if (!record)
            return;
        handleRead(record, bytes.toStdString());
    }
}

void ClientService::serwerClientDisconnect(std::uint32_t connection, const std::string& address) {
    Klient* record = nullptr;
    for (Klient* k = KlientList; k && !record; k = k->Nastepny)
        if (k->Gniazdo == connection && k->IP == address)
            record = k;
    if (!record)
        return;
    record->Stan = Klient::DISCONNECT;
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
    if (!server.isListening() && !server.listen(QHostAddress::AnyIPv4, quint16(host_.PortTCP()))) {
        base::WriteLog(2, "Socket Error=%u z %s socket=%u port=%d",
                       unsigned(SocketErrorCode(server.serverError())), "0.0.0.0", 0u, host_.PortTCP());
        ReportListenFailure(ListenedPort::Clients, host_.PortTCP(), server);
    }
    Calendars.SwitchOn(host_.CalendarSettingsInForce());
    host_.SetServiceMenuMarked(true);
    host_.ShowStatusPanel(0, QString::fromStdString(host_.Text("IDS_483")));
}

void ClientService::WylaczSerwer() {
    base::WriteLog(1, "Wyłączanie serwera");
    QTcpServer& server = host_.ClientServer();
    server.close();
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
    host_.ClientListView().clear();
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
