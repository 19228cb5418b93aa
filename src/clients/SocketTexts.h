// How sockets are told in the log: a peer's address, the system's error
// numbers and the texts the log has always shown for them, shared by every
// server socket.
#pragma once

#include <QAbstractSocket>
#include <string>

class QHostAddress;
class QTcpServer;

namespace clients {

// A peer's address as a dotted quad when it is IPv4 (mapped ones too).
std::string SocketAddressText(const QHostAddress& address);

// The kind of event the error broke: "General Socket ERROR", "Błąd wysyłania", ...
const char* SocketEventKindText(QAbstractSocket::SocketError error);
// The system's error number for the error.
int SocketErrorCode(QAbstractSocket::SocketError error);
// The text of a known error number; null for the others.
const char* SocketErrorCodeText(int code);

// The ports the server listens on.
enum class ListenedPort { Clients, Calendars, CrmConsole };
// Says on stderr and in the log which port `server` could not open and why;
// a port below 1024 refused for want of privilege is named as such.
void ReportListenFailure(ListenedPort which, int port, const QTcpServer& server);
// A port that failed before is open now: said on stderr and in the log.
void ReportListenRecovered(ListenedPort which, int port);
// A port set to 0 lets the system choose a free one; the port it chose is
// said on stderr and in the log, as nobody could find the socket otherwise.
void ReportChosenPort(ListenedPort which, int port, const QTcpServer& server);

} // namespace clients
