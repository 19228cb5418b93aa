// The CRM console socket: programs written for the exchange's own console
// port talk to the server instead. For type 5 the server plays the
// exchange's text log-in, for every type it answers the link set-up commands
// itself, and every other line goes to the exchange on the server's chain;
// the exchange's lines come back to the programs as the dispatcher sees them.
//
// Holds: CRMsocketClientConnect, CRMsocketClientRead,
// CRMsocketClientDisconnect, CRMsocketClientError.
#pragma once

#include "clients/ListenRetry.h"

#include <QAbstractSocket>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace pbx {

class PbxLink;
class PbxLinkHost;

// Cuts a CRM program's byte stream into lines ending after CR or CR LF, each
// kept with the end it came with. A CR at the end of one read ends its line
// at once; an LF that opens the next read belongs to it and is skipped.
class CrmLineCutter {
  public:
    // A partial line longer than this is dropped whole.
    static constexpr std::size_t LineLimit = 64 * 1024;

    // Adds received bytes; appends every line they complete to `lines` and
    // returns how many over-long partial lines were dropped.
    int Feed(std::string_view bytes, std::deque<std::string>& lines);

  private:
    std::string partial_;
    bool skipLineFeed_ = false;
    bool discarding_ = false; // the rest of a dropped line, up to its CR
};

// What the console does with one line.
struct CrmAnswer {
    enum class Kind { Ignore, Reply, Exchange };
    Kind kind = Kind::Ignore;
    std::string reply;  // for Reply
    int nextStage = -1; // type 5: the slot's new stage, -1 unchanged
};

// The console's rule for a line from a connection: `stage` is its slot's
// log-in stage for type 5 (-1: no slot), `linkDown` whether the exchange
// can't be reached.
CrmAnswer CrmAnswerFor(int pbxType, int stage, bool linkDown, const std::string& line);

class CrmConsole {
  public:
    // Bytes a connection may leave unsent before it is closed.
    static constexpr qint64 OutputLimit = 1024 * 1024;

    CrmConsole(PbxLink& link, PbxLinkHost& host);
    ~CrmConsole();

    // Opens (or closes) the socket on its port; closing ends every connection.
    void SetActive(bool on);
    bool Active() const;
    // Listening, or its port still being tried: it is closed before it takes
    // another port, or the retry would open the old one later.
    bool SwitchedOn() const { return Active() || portRetry_.Waiting(); }
    // Tries the port again while it cannot be opened.
    QTimer& PortRetry() { return portRetry_.Timer(); }

    void CRMsocketClientConnect();
    void CRMsocketClientRead(int connection);
    void CRMsocketClientDisconnect(int connection);
    void CRMsocketClientError(int connection, QAbstractSocket::SocketError error);

    // An exchange line (its CR LF appended) for every program that may see it.
    void Mirror(const std::string& line);
    std::size_t ConnectionCount() const { return connections_.size(); }
    // Bytes taken from the programs so far.
    std::uint64_t BytesRead() const { return bytesRead_; }

  private:
    struct Connection {
        QPointer<QTcpSocket> socket;
        std::string address;
        int port = 0;
        CrmLineCutter cutter;
        std::deque<std::string> lines; // cut, not yet handled
    };

    void accept(QTcpSocket* socket);
    // Handles the waiting lines while the server's chain has room; false
    // when some are left waiting.
    bool handleLines(int connection);
    void handleLine(int connection, const std::string& line);
    bool send(int connection, const std::string& bytes);
    // Closes a connection of ours and forgets it; its slot goes free.
    void drop(int connection);
    void freeSlots(int connection);
    int stageOf(int connection) const;
    // Retries the connections whose lines wait for room on the chain.
    void retryWaiting();

    PbxLink& link_;
    PbxLinkHost& host_;
    QObject context_;
    QTimer retry_;
    clients::ListenRetry portRetry_;
    std::map<int, Connection> connections_;
    int nextConnection_ = 1;
    std::uint64_t bytesRead_ = 0;
};

} // namespace pbx
