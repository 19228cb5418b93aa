// The shared calendars: the calendar socket `CalSocket`, which hands a
// calendar client the list of calendars from "shared_cals.xml", the control
// of the calendar program's service "Ormbell", and its settings file
// "Ormbell.xml". All three files lie in the program folder.
#pragma once

#include "clients/DeadlineWatch.h"
#include "clients/ListenRetry.h"
#include "platform/ServiceControl.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

class QTcpServer;
class QTcpSocket;

namespace clients {

// The calendar settings, as stored.
struct CalendarSettings {
    bool CalendarServiceEnabled = true;
    int PortTCPCalBrowse = 0;
    int PortTCPCalSend = 0;
};

class SharedCalendars {
  public:
    // `socket`: the window's `CalSocket`; `programFolder` without a final
    // "/"; `settings`: the calendar settings in force.
    SharedCalendars(QTcpServer& socket, std::string programFolder,
                    std::function<CalendarSettings()> settings);
    ~SharedCalendars();
    SharedCalendars(const SharedCalendars&) = delete;
    SharedCalendars& operator=(const SharedCalendars&) = delete;

    // ---- the calendar socket ----
    // The port the socket opens on (its "Port").
    void SetPort(int port) { port_ = port; }
    int Port() const { return port_; }
    // Tries the calendar port again while it cannot be opened.
    QTimer& PortRetry() { return portRetry_.Timer(); }
    bool IsOpen() const;
    // Opens or closes it; closing drops the connections it has.
    void SetActive(bool active);
    void CalSocketAccept();
    void CalSocketClientRead(QTcpSocket* socket);
    // The reply to a request that came in on a connection whose local
    // address is `localAddress`.
    QByteArray CalendarList(const QString& localAddress) const;

    // ---- the calendar service ("Ormbell") ----
    // 0 on success, 1 on failure.
    int InstallCalendarService();
    // 0 when the service could be reached, 1 otherwise.
    int StartCalendarService();
    int StopCalendarService();
    // Installed flag and state (0 and 0 when it cannot be reached).
    void QueryCalendarService(int& installed, int& state);
    void SetServiceControl(std::unique_ptr<platform::ServiceControl> control);
    platform::ServiceControl& ServiceControl() { return *control_; }

    // Brings "Ormbell.xml" in line: `port` as the server port, the shared
    // calendars' folder as the first user's folder.
    void ZapiszKonfiguracjeKalendarza(const std::string& port);

    // ---- the client service's switch and the settings dialog ----
    // Switching the client service on: the socket takes the browse port;
    // when the service is enabled the settings file is written, the socket
    // opened, the service installed when missing and started; else the
    // service is stopped.
    void SwitchOn(const CalendarSettings& settings);
    // Switching the client service off closes the socket.
    void SwitchOff();
    // The settings dialog's OK with the calendar settings `before` it and
    // those `entered`: a new service port stops an installed service; the
    // settings file is written; then the socket and the service follow the
    // enabled flag. The browse port is applied by SetBrowsePort.
    void ApplyServiceSettings(const CalendarSettings& before, const CalendarSettings& entered);
    // A new browse port re-binds the socket, which keeps its open or closed
    // state.
    void SetBrowsePort(int port);

    static constexpr const char* ServiceName = "Ormbell";
    // The whole request is this text; what follows it is ignored.
    static constexpr const char* Request = "$GETCAL,CTI";
    // A request must be whole this long after its connection was accepted,
    // and a reply taken this long after it was written: a connection that
    // drips its bytes is dropped at that point, whatever it sends.
    std::int64_t RequestDeadlineMs = 5000;
    static constexpr int MaxConnections = 64;
    // One address holds at most this many of them.
    static constexpr int MaxConnectionsPerAddress = 4;
    // What a client may still send after its request before it is cut off.
    static constexpr qint64 DrainLimit = 4096;

    std::string ProgramFolder;

  private:
    void closeAfterReply(QTcpSocket* connection);
    // Why a new connection from `address` is refused now, or null.
    const char* refusalOf(const std::string& address) const;
    // Drops the connections past their deadline; armed for the next one.
    void closeLateConnections();
    void watchDeadlines();

    QTcpServer& socket_;
    std::function<CalendarSettings()> settings_;
    std::unique_ptr<platform::ServiceControl> control_;
    ListenRetry portRetry_;
    int port_ = 0;
    struct Connection {
        std::int64_t deadlineMs = 0; // on the process clock
        std::string address;
    };
    std::unordered_map<QTcpSocket*, Connection> connections_;
    std::unordered_map<std::string, int> perAddress_;
    // A refusal is logged once until a connection is taken again.
    const char* refusalLogged_ = nullptr;
    // Context of the connections' signals.
    QObject context_;
    DeadlineWatch deadlineWatch_{context_, [this] { closeLateConnections(); }};
};

} // namespace clients
