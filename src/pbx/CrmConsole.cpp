// The CRM console socket. Connections are numbered by us, in place of a
// socket handle; the type-5 log-in slots hold those numbers. Bytes pass both
// ways as they are: the programs speak the exchange's own code page.
#include "pbx/CrmConsole.h"

#include "base/DiagnosticLog.h"
#include "base/TraceLabel.h"
#include "clients/SocketTexts.h"
#include "pbx/LinkThread.h"
#include "pbx/PbxLink.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <array>
#include <cctype>

namespace pbx {
namespace {

constexpr int MorvaPbxType = 5;
constexpr int LinkDownErrorCount = 5;
constexpr int CrmLineTimeToLiveMs = 500;
// How much Qt may hold of a connection's unread bytes, and the most one read
// takes: a program that floods waits for the chain.
constexpr qint64 SocketReadBufferLimit = 256 * 1024;
constexpr qint64 ReadChunk = 64 * 1024;
// CRM lines are passed on only while the server's chain holds fewer
// commands than this; the rest wait in their connection, unread.
constexpr std::size_t ChainRoom = 64;
constexpr int RetryEveryMs = 20;

enum Stage { WaitingForUser = 0, WaitingForPassword = 1, WaitingForMode = 2, LoggedIn = 3 };

// The link set-up commands the server answers itself.
constexpr std::array<std::string_view, 4> SetupCommands = {"AT\r", "CRC OFF\r", "ECHO OFF\r", "CTI ON\r"};

bool isSetupCommand(std::string_view line) {
    return std::find(SetupCommands.begin(), SetupCommands.end(), line) != SetupCommands.end();
}

std::string upper(std::string text) {
    for (char& c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

CrmAnswer reply(std::string text, int nextStage = -1) {
    return {CrmAnswer::Kind::Reply, std::move(text), nextStage};
}

} // namespace

int CrmLineCutter::Feed(std::string_view bytes, std::deque<std::string>& lines) {
    int dropped = 0;
    if (skipLineFeed_ && !bytes.empty() && bytes.front() == '\n')
        bytes.remove_prefix(1);
    skipLineFeed_ = false;
    while (!bytes.empty()) {
        const std::size_t cr = bytes.find('\r');
        if (cr == std::string_view::npos) {
            if (!discarding_)
                partial_.append(bytes);
            if (!discarding_ && partial_.size() > LineLimit) {
                partial_.clear();
                partial_.shrink_to_fit();
                discarding_ = true;
                ++dropped;
            }
            return dropped;
        }
        std::size_t end = cr + 1;
        if (end < bytes.size() && bytes[end] == '\n')
            ++end;
        else if (end == bytes.size())
            skipLineFeed_ = true;
        if (discarding_) {
            discarding_ = false;
        } else if (partial_.size() + cr > LineLimit) {
            partial_.clear();
            ++dropped;
        } else {
            partial_.append(bytes.substr(0, end));
            lines.push_back(std::move(partial_));
            partial_.clear();
        }
        bytes.remove_prefix(end);
    }
    return dropped;
}

CrmAnswer CrmAnswerFor(int pbxType, int stage, bool linkDown, const std::string& line) {
    if (pbxType != MorvaPbxType) {
        if (linkDown)
            return {};
        if (isSetupCommand(upper(line)))
            return reply("OK\n");
        return {CrmAnswer::Kind::Exchange, {}, -1};
    }
    switch (stage) {
    case WaitingForUser:
        return line == "cti\r" ? reply("cti\rPassword: ", WaitingForPassword) : CrmAnswer();
    case WaitingForPassword:
        return line == "Quabrils\r" ? reply("CTI: ", WaitingForMode) : CrmAnswer();
    case WaitingForMode:
        return line == "cti 4\r" ? reply("OK\r", LoggedIn) : CrmAnswer();
    case LoggedIn:
        if (linkDown)
            return {};
        if (isSetupCommand(line))
            return reply("OK\n");
        // The exchange's keep-alive is no program's business.
        if (line == "C03\r")
            return reply("ERROR 1\r");
        return {CrmAnswer::Kind::Exchange, {}, -1};
    default: // no slot
        return {};
    }
}

CrmConsole::CrmConsole(PbxLink& link, PbxLinkHost& host)
    : link_(link), host_(host),
      portRetry_(host.CrmServer(), clients::ListenedPort::CrmConsole, [this] { link_.FollowCrmSocket(); }) {
    retry_.setInterval(RetryEveryMs);
    QObject::connect(&retry_, &QTimer::timeout, &context_, [this] { retryWaiting(); });
}

CrmConsole::~CrmConsole() {
    while (!connections_.empty())
        drop(connections_.begin()->first);
}

bool CrmConsole::Active() const {
    return host_.CrmServer().isListening();
}

void CrmConsole::SetActive(bool on) {
    QTcpServer& server = host_.CrmServer();
    if (!on) {
        portRetry_.Stop();
        server.close();
        while (!connections_.empty())
            drop(connections_.begin()->first);
        return;
    }
    if (SwitchedOn())
        return;
    if (server.listen(QHostAddress::AnyIPv4, quint16(host_.CrmPort()))) {
        clients::ReportChosenPort(clients::ListenedPort::CrmConsole, host_.CrmPort(), server);
        return;
    }
    const int code = clients::SocketErrorCode(server.serverError());
    base::WriteLog(2, "CRM Socket Error=%u z %s socket=%u port=%d", unsigned(code), "0.0.0.0", 0u,
                   host_.CrmPort());
    if (const char* text = clients::SocketErrorCodeText(code))
        base::WriteLog(2, "CRMsocket: %s", text);
    clients::ReportListenFailure(clients::ListenedPort::CrmConsole, host_.CrmPort(), server);
    portRetry_.Arm(host_.CrmPort());
}

void CrmConsole::CRMsocketClientConnect() {
    while (QTcpSocket* socket = host_.CrmServer().nextPendingConnection())
        accept(socket);
}

void CrmConsole::accept(QTcpSocket* socket) {
    // Over the limit the newcomer goes, not a program already at work.
    if (int(connections_.size()) >= host_.CrmConnectionLimit()) {
        base::WriteLog(2, "CRM client number exceeded");
        socket->abort();
        socket->deleteLater();
        return;
    }
    const int connection = nextConnection_++;
    if (nextConnection_ <= 0)
        nextConnection_ = 1;
    socket->setReadBufferSize(SocketReadBufferLimit);
    Connection& c = connections_[connection];
    c.socket = socket;
    c.address = clients::SocketAddressText(socket->peerAddress());
    c.port = socket->peerPort();
    QObject::connect(socket, &QTcpSocket::readyRead, &context_,
                     [this, connection] { CRMsocketClientRead(connection); });
    QObject::connect(socket, &QTcpSocket::disconnected, &context_,
                     [this, connection] { CRMsocketClientDisconnect(connection); });
    QObject::connect(
        socket, &QTcpSocket::errorOccurred, &context_,
        [this, connection](QAbstractSocket::SocketError error) { CRMsocketClientError(connection, error); });
    if (host_.PbxType() != MorvaPbxType)
        return;
    for (CrmSlot& slot : link_.CrmSlots) {
        if (slot.Socket == -1) {
            slot.Socket = connection;
            slot.Stage = WaitingForUser;
            send(connection, "Morva login: ");
            return;
        }
    }
}

void CrmConsole::CRMsocketClientRead(int connection) {
    auto it = connections_.find(connection);
    if (it == connections_.end())
        return;
    // Lines still waiting for the chain are handled first; until then the
    // bytes stay with the socket.
    while (handleLines(connection)) {
        it = connections_.find(connection);
        if (it == connections_.end() || !it->second.socket || it->second.socket->bytesAvailable() <= 0)
            return;
        const QByteArray bytes = it->second.socket->read(ReadChunk);
        bytesRead_ += std::uint64_t(bytes.size());
        const int dropped = it->second.cutter.Feed(
            std::string_view(bytes.constData(), std::size_t(bytes.size())), it->second.lines);
        for (int i = 0; i < dropped; ++i)
            base::WriteLog(2, "CRM: linia dłuższa niż %u bajtów odrzucona, socket=%d",
                           unsigned(CrmLineCutter::LineLimit), connection);
    }
    // A peer that writes often must not keep putting off the retry of the
    // lines waiting on the other connections.
    if (!retry_.isActive())
        retry_.start();
}

bool CrmConsole::handleLines(int connection) {
    for (;;) {
        auto it = connections_.find(connection);
        if (it == connections_.end())
            return false;
        if (it->second.lines.empty())
            return true;
        if (link_.ServerChainLength() >= ChainRoom)
            return false;
        const std::string line = std::move(it->second.lines.front());
        it->second.lines.pop_front();
        handleLine(connection, line);
    }
}

void CrmConsole::handleLine(int connection, const std::string& line) {
    const int pbxType = host_.PbxType();
    const int stage = pbxType == MorvaPbxType ? stageOf(connection) : LoggedIn;
    const bool linkDown = link_.PbxLinkErrorCount.load() >= LinkDownErrorCount;
    const CrmAnswer answer = CrmAnswerFor(pbxType, stage, linkDown, line);
    if (answer.nextStage >= 0) {
        for (CrmSlot& slot : link_.CrmSlots)
            if (slot.Socket == connection)
                slot.Stage = answer.nextStage;
    }
    switch (answer.kind) {
    case CrmAnswer::Kind::Ignore:
        break;
    case CrmAnswer::Kind::Reply:
        send(connection, answer.reply);
        break;
    case CrmAnswer::Kind::Exchange:
        link_.WyslijLinieBytes(line, CrmLineTimeToLiveMs);
        break;
    }
}

void CrmConsole::retryWaiting() {
    bool waiting = false;
    std::vector<int> numbers;
    for (const auto& [number, c] : connections_)
        numbers.push_back(number);
    for (int number : numbers) {
        CRMsocketClientRead(number);
        auto it = connections_.find(number);
        waiting = waiting || (it != connections_.end() && !it->second.lines.empty());
    }
    if (!waiting)
        retry_.stop();
}

int CrmConsole::stageOf(int connection) const {
    for (const CrmSlot& slot : link_.CrmSlots)
        if (slot.Socket == connection)
            return slot.Stage;
    return -1;
}

bool CrmConsole::send(int connection, const std::string& bytes) {
    auto it = connections_.find(connection);
    if (it == connections_.end() || !it->second.socket)
        return false;
    QTcpSocket& socket = *it->second.socket;
    socket.write(bytes.data(), qint64(bytes.size()));
    // A program that stops reading must not grow the server without bound;
    // what the system can still take is handed over before that is judged.
    if (socket.bytesToWrite() > OutputLimit && (socket.flush(), socket.bytesToWrite() > OutputLimit)) {
        base::WriteLog(2, "CRM: klient %s nie odbiera danych - połączenie zamknięte, socket=%d",
                       it->second.address.c_str(), connection);
        drop(connection);
        return false;
    }
    return true;
}

void CrmConsole::Mirror(const std::string& line) {
    const bool morva = host_.PbxType() == MorvaPbxType;
    std::vector<int> numbers;
    for (const auto& [number, c] : connections_)
        if (!morva || stageOf(number) == LoggedIn)
            numbers.push_back(number);
    for (int number : numbers)
        send(number, line);
}

void CrmConsole::CRMsocketClientDisconnect(int connection) {
    auto it = connections_.find(connection);
    if (it == connections_.end())
        return;
    base::WriteLog(1, "CRM: program %s rozłączył się, socket=%d", it->second.address.c_str(), connection);
    freeSlots(connection);
    if (it->second.socket) {
        QObject::disconnect(it->second.socket, nullptr, &context_, nullptr);
        it->second.socket->deleteLater();
    }
    connections_.erase(it);
}

void CrmConsole::drop(int connection) {
    auto it = connections_.find(connection);
    if (it == connections_.end())
        return;
    QPointer<QTcpSocket> socket = it->second.socket;
    freeSlots(connection);
    connections_.erase(it);
    if (socket) {
        QObject::disconnect(socket, nullptr, &context_, nullptr);
        socket->abort();
        socket->deleteLater();
    }
}

void CrmConsole::freeSlots(int connection) {
    for (CrmSlot& slot : link_.CrmSlots)
        if (slot.Socket == connection)
            slot.Socket = -1;
}

void CrmConsole::CRMsocketClientError(int connection, QAbstractSocket::SocketError error) {
    base::TraceScope trace("serwerClientError");
    // A program closing its end is no error: the disconnect handler logs the close.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    std::string address;
    int port = 0;
    if (auto it = connections_.find(connection); it != connections_.end()) {
        address = it->second.address;
        port = it->second.port;
    }
    const int code = clients::SocketErrorCode(error);
    const std::string where = address.empty() ? host_.Text("IDS_144") : address;
    base::WriteLog(2, "CRM Socket Error=%u z %s socket=%u port=%d", unsigned(code), where.c_str(),
                   unsigned(connection), port);
    base::WriteLog(2, "CRM: %s", clients::SocketEventKindText(error));
    if (const char* text = clients::SocketErrorCodeText(code))
        base::WriteLog(2, "CRMsocket: %s", text);
}

} // namespace pbx
