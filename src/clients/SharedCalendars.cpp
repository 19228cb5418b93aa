// The calendar socket and the control of the calendar service.
#include "clients/SharedCalendars.h"
#include "clients/SocketTexts.h"

#include "base/DiagnosticLog.h"
#include "platform/Clock.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <vector>

namespace clients {

SharedCalendars::SharedCalendars(QTcpServer& socket, std::string programFolder,
                                 std::function<CalendarSettings()> settings)
    : ProgramFolder(std::move(programFolder)), socket_(socket), settings_(std::move(settings)),
      control_(std::make_unique<platform::SystemdServiceControl>()),
      portRetry_(socket, ListenedPort::Calendars) {}

SharedCalendars::~SharedCalendars() = default;

bool SharedCalendars::IsOpen() const {
    return socket_.isListening();
}

void SharedCalendars::SetActive(bool active) {
    if (active == IsOpen() || (active && portRetry_.Waiting()))
        return;
    if (!active) {
        portRetry_.Stop();
        socket_.close();
        for (QTcpSocket* connection : socket_.findChildren<QTcpSocket*>())
            connection->abort();
        return;
    }
    // Opened by the settings dialog before the client service ever gave it
    // its port: the setting's.
    if (port_ <= 0)
        port_ = settings_().PortTCPCalBrowse;
    if (socket_.listen(QHostAddress::AnyIPv4, quint16(port_))) {
        ReportChosenPort(ListenedPort::Calendars, port_, socket_);
        return;
    }
    base::WriteLog(2, "Socket Error=%u z %s socket=%u port=%d",
                   unsigned(SocketErrorCode(socket_.serverError())), "0.0.0.0", 0u, port_);
    ReportListenFailure(ListenedPort::Calendars, port_, socket_);
    portRetry_.Arm(port_);
}

const char* SharedCalendars::refusalOf(const std::string& address) const {
    if (int(connections_.size()) >= MaxConnections)
        return "za dużo połączeń, ostatnie z adresu";
    const auto held = perAddress_.find(address);
    if (held != perAddress_.end() && held->second >= MaxConnectionsPerAddress)
        return "za dużo połączeń z adresu";
    return nullptr;
}

void SharedCalendars::CalSocketAccept() {
    // Those past their deadline make room first.
    closeLateConnections();
    while (QTcpSocket* connection = socket_.nextPendingConnection()) {
        const std::string address = SocketAddressText(connection->peerAddress());
        if (const char* refusal = refusalOf(address)) {
            if (refusalLogged_ != refusal)
                base::WriteLog(2, "CalSocket: %s %s, nowe połączenie odrzucone", refusal, address.c_str());
            refusalLogged_ = refusal;
            connection->abort();
            connection->deleteLater();
            continue;
        }
        refusalLogged_ = nullptr;
        connections_.emplace(connection,
                             Connection{platform::processClock().nowMs() + RequestDeadlineMs, address});
        ++perAddress_[address];
        // The request is short: only its first bytes are taken in, and what
        // follows them is dropped within a bound once it is answered.
        connection->setReadBufferSize(qint64(std::strlen(Request)));
        QObject::connect(connection, &QTcpSocket::readyRead, &context_,
                         [this, connection] { CalSocketClientRead(connection); });
        QObject::connect(connection, &QTcpSocket::disconnected, connection, &QObject::deleteLater);
        QObject::connect(connection, &QObject::destroyed, &context_, [this, connection, address] {
            connections_.erase(connection);
            if (--perAddress_[address] <= 0)
                perAddress_.erase(address);
        });
    }
    if (!deadlineWatch_.isActive())
        watchDeadlines();
}

void SharedCalendars::watchDeadlines() {
    deadlineWatch_.startForEarliest(connections_, [](const Connection& entry) { return entry.deadlineMs; });
}

void SharedCalendars::closeLateConnections() {
    const std::int64_t now = platform::processClock().nowMs();
    std::vector<QPointer<QTcpSocket>> late;
    for (const auto& [connection, entry] : connections_) {
        if (now < entry.deadlineMs)
            continue;
        base::WriteLog(2, "CalSocket: połączenie z %s przekroczyło czas na żądanie i odpowiedź, zerwane",
                       entry.address.c_str());
        late.emplace_back(connection);
    }
    // Each abort takes its connection out of the table.
    for (const QPointer<QTcpSocket>& connection : late) {
        if (connection) {
            connections_.erase(connection.data());
            connection->abort();
        }
    }
    watchDeadlines();
}

void SharedCalendars::CalSocketClientRead(QTcpSocket* connection) {
    if (connection->state() != QAbstractSocket::ConnectedState)
        return;
    const QByteArray request(Request);
    const QByteArray received = connection->peek(request.size());
    // A request split over several reads is joined first.
    if (received.size() < request.size() && request.startsWith(received))
        return;
    if (received == request)
        connection->write(
            CalendarList(QString::fromStdString(SocketAddressText(connection->localAddress()))));
    closeAfterReply(connection);
}

// Closed with bytes of the request's line still unread, the connection would
// be reset and the client would lose the reply. So the write side is shut
// once the reply is out, and what the client still sends is read and dropped
// until it closes, within a bound of bytes and the connection's deadline.
void SharedCalendars::closeAfterReply(QTcpSocket* connection) {
    QObject::disconnect(connection, &QTcpSocket::readyRead, &context_, nullptr);
    // As long again to take the reply.
    const auto open = connections_.find(connection);
    if (open != connections_.end())
        open->second.deadlineMs = platform::processClock().nowMs() + RequestDeadlineMs;
    connection->setReadBufferSize(DrainLimit);
    auto drained = std::make_shared<qint64>(0);
    const auto drain = [connection, drained] {
        *drained += connection->readAll().size();
        if (*drained > DrainLimit) {
            base::WriteLog(2, "CalSocket: za długie żądanie z %s, połączenie zerwane",
                           SocketAddressText(connection->peerAddress()).c_str());
            connection->abort();
        }
    };
    QObject::connect(connection, &QTcpSocket::readyRead, connection, drain);
    const auto shutWriteSide = [connection] {
        if (connection->bytesToWrite() == 0 && connection->state() == QAbstractSocket::ConnectedState)
            ::shutdown(int(connection->socketDescriptor()), SHUT_WR);
    };
    connection->flush();
    if (connection->bytesToWrite() > 0)
        QObject::connect(connection, &QTcpSocket::bytesWritten, connection, shutWriteSide);
    else
        shutWriteSide();
    drain();
}

int SharedCalendars::InstallCalendarService() {
    return control_->Install(ServiceName) ? 0 : 1;
}

int SharedCalendars::StartCalendarService() {
    return control_->Start(ServiceName) ? 0 : 1;
}

int SharedCalendars::StopCalendarService() {
    return control_->Stop(ServiceName) ? 0 : 1;
}

void SharedCalendars::QueryCalendarService(int& installed, int& state) {
    const platform::ServiceStatus status = control_->Query(ServiceName);
    installed = status.installed ? 1 : 0;
    state = status.installed ? status.state : 0;
}

void SharedCalendars::SetServiceControl(std::unique_ptr<platform::ServiceControl> control) {
    control_ = std::move(control);
}

// The results of the service operations are not acted on: the calendar
// service is optional and its absence is no fault of the server.
void SharedCalendars::SwitchOn(const CalendarSettings& settings) {
    SetPort(settings.PortTCPCalBrowse);
    if (!settings.CalendarServiceEnabled) {
        StopCalendarService();
        return;
    }
    ZapiszKonfiguracjeKalendarza(std::to_string(settings.PortTCPCalSend));
    SetActive(true);
    int installed = 0, state = 0;
    QueryCalendarService(installed, state);
    if (!installed)
        InstallCalendarService();
    StartCalendarService();
}

void SharedCalendars::SwitchOff() {
    SetActive(false);
}

void SharedCalendars::ApplyServiceSettings(const CalendarSettings& before, const CalendarSettings& entered) {
    int installed = 0, state = 0;
    QueryCalendarService(installed, state);
    int sendPort = before.PortTCPCalSend;
    if (entered.PortTCPCalSend >= 1 && entered.PortTCPCalSend <= 65535 &&
        entered.PortTCPCalSend != sendPort) {
        // The service reads its port only when it starts.
        if (installed) {
            StopCalendarService();
            QueryCalendarService(installed, state);
        }
        sendPort = entered.PortTCPCalSend;
    }
    ZapiszKonfiguracjeKalendarza(std::to_string(sendPort));
    if (entered.CalendarServiceEnabled) {
        SetActive(true);
        if (!installed)
            InstallCalendarService();
        QueryCalendarService(installed, state);
        if (installed && state != platform::ServiceRunning)
            StartCalendarService();
    } else {
        StopCalendarService();
    }
    SetActive(entered.CalendarServiceEnabled);
}

void SharedCalendars::SetBrowsePort(int port) {
    if (port < 1 || port > 65535 || port == port_)
        return;
    const bool open = IsOpen() || portRetry_.Waiting();
    SetActive(false);
    port_ = port;
    SetActive(open);
}

} // namespace clients
