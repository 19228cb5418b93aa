// The log's texts for sockets.
#include "clients/SocketTexts.h"

#include "base/DiagnosticLog.h"

#include <QHostAddress>
#include <QTcpServer>
#include <cstdio>

namespace clients {

std::string SocketAddressText(const QHostAddress& address) {
    bool ok = false;
    const quint32 ipv4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(ipv4).toString().toStdString() : address.toString().toStdString();
}

const char* SocketEventKindText(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::HostNotFoundError:
    case QAbstractSocket::NetworkError:
        return "Błąd połączenia";
    case QAbstractSocket::RemoteHostClosedError:
        return "Błąd zamykania połączenia";
    case QAbstractSocket::SocketTimeoutError:
    case QAbstractSocket::DatagramTooLargeError:
        return "Błąd wysyłania";
    case QAbstractSocket::SocketResourceError:
        return "Błąd akceptacji połączenia";
    default:
        return "General Socket ERROR";
    }
}

// The system's error numbers as the log has always shown them.
int SocketErrorCode(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::AddressInUseError:
        return 10048;
    case QAbstractSocket::RemoteHostClosedError:
        return 10054;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::SocketTimeoutError:
        return 10060;
    case QAbstractSocket::SocketAccessError:
        return 10061;
    case QAbstractSocket::NetworkError:
        return 10065;
    default:
        return int(error);
    }
}

const char* SocketErrorCodeText(int code) {
    switch (code) {
    case 10048:
        return "Adres jest już użyty";
    case 10053:
        return "Przerwanie połączenia: TIMEOUT lub błąd protokołu";
    case 10054:
        return "Przerwanie połączenia przez klienta";
    case 10055:
        return "Bufory systemowe zapełnione przy połączeniu";
    case 10060:
        return "Timeout";
    case 10061:
        return "Brak dostępu";
    case 10065:
        return "Brak trasy do komputera";
    default:
        return nullptr;
    }
}

namespace {

struct PortNames {
    const char* english; // for stderr
    const char* polish;  // for the log
};

PortNames namesOf(ListenedPort which) {
    switch (which) {
    case ListenedPort::Clients:
        return {"client", "klientów"};
    case ListenedPort::Calendars:
        return {"calendar", "kalendarzy"};
    case ListenedPort::CrmConsole:
        return {"CRM console", "konsoli CRM"};
    }
    return {"", ""};
}

} // namespace

// A server started without a window has only stderr to tell the operator;
// the ports below 1024 (the defaults) fail this way whenever the program is
// not run as root.
void ReportListenFailure(ListenedPort which, int port, const QTcpServer& server) {
    const PortNames names = namesOf(which);
    if (server.serverError() == QAbstractSocket::SocketAccessError && port < 1024) {
        std::fprintf(stderr,
                     "Halvex: cannot open the %s port %d: a port below 1024 needs root or the capability "
                     "CAP_NET_BIND_SERVICE\n",
                     names.english, port);
        base::WriteLog(2,
                       "Nie można otworzyć portu %s %d: port poniżej 1024 wymaga uprawnień roota lub "
                       "CAP_NET_BIND_SERVICE",
                       names.polish, port);
        return;
    }
    const std::string reason = server.errorString().toStdString();
    std::fprintf(stderr, "Halvex: cannot open the %s port %d: %s\n", names.english, port, reason.c_str());
    base::WriteLog(2, "Nie można otworzyć portu %s %d: %s", names.polish, port, reason.c_str());
}

void ReportListenRecovered(ListenedPort which, int port) {
    const PortNames names = namesOf(which);
    std::fprintf(stderr, "Halvex: the %s port %d is open now\n", names.english, port);
    base::WriteLog(2, "Port %s %d otwarty", names.polish, port);
}

void ReportChosenPort(ListenedPort which, int port, const QTcpServer& server) {
    if (port != 0 || !server.isListening())
        return;
    const PortNames names = namesOf(which);
    std::fprintf(stderr, "Halvex: the %s port is 0: listening on port %u\n", names.english,
                 unsigned(server.serverPort()));
    base::WriteLog(1, "Port %s ustawiony na 0: nasłuch na porcie %u", names.polish,
                   unsigned(server.serverPort()));
}

} // namespace clients
