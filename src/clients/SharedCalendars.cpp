// The calendar socket and the control of the calendar service.
#include "clients/SharedCalendars.h"
#include "clients/SocketTexts.h"

#include "base/DiagnosticLog.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cstring>
#include <memory>
#include <sys/socket.h>

namespace clients {

SharedCalendars::SharedCalendars(QTcpServer& socket, std::string programFolder,
                                 std::function<CalendarSettings()> settings)
    : ProgramFolder(std::move(programFolder)), socket_(socket), settings_(std::move(settings)),
      control_(std::make_unique<platform::SystemdServiceControl>()) {}

SharedCalendars::~SharedCalendars() = default;

bool SharedCalendars::IsOpen() const {
    return socket_.isListening();
}

void SharedCalendars::SetActive(bool active) {
    if (active == IsOpen())
        return;
    if (!active) {
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
}

void SharedCalendars::CalSocketAccept() {
    while (QTcpSocket* connection = socket_.nextPendingConnection()) {
        if (connections_ >= MaxConnections) {
            connection->abort();
            connection->deleteLater();
            continue;
        }
        ++connections_;
        // The request is short: only its first bytes are taken in, and what
        // follows them is dropped within a bound once it is answered.
        connection->setReadBufferSize(qint64(std::strlen(Request)));
        auto* idle = new QTimer(connection);
        idle->setSingleShot(true);
        idle->start(IdleTimeoutMs);
        QObject::connect(idle, &QTimer::timeout, connection, &QTcpSocket::abort);
        QObject::connect(connection, &QTcpSocket::readyRead, &context_, [this, connection, idle] {
            idle->start(IdleTimeoutMs);
            CalSocketClientRead(connection);
        });
        QObject::connect(connection, &QTcpSocket::disconnected, connection, &QObject::deleteLater);
        QObject::connect(connection, &QObject::destroyed, &context_, [this] { --connections_; });
    }
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
// until it closes, within a bound of bytes and the idle time.
void SharedCalendars::closeAfterReply(QTcpSocket* connection) {
    QObject::disconnect(connection, &QTcpSocket::readyRead, &context_, nullptr);
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
    const bool open = IsOpen();
    SetActive(false);
    port_ = port;
    SetActive(open);
}

} // namespace clients
