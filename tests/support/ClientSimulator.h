// A telephony client for tests and for trying the server by hand: connects to
// the client port, logs in (KL or KLA), acknowledges each notice as a real
// client does ("OK", or "RECEIVE" / "ERROR" when asked to), sends any request,
// records every TCP message it receives and listens for the UDP broadcasts.
// Its own thread reads; every call is thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class ClientSimulator {
  public:
    enum class Ack { Ok, Receive, Error, None };

    ClientSimulator();
    ~ClientSimulator();
    ClientSimulator(const ClientSimulator&) = delete;
    ClientSimulator& operator=(const ClientSimulator&) = delete;

    // Connects to the client port at 127.0.0.1 (or `host`); false on failure.
    bool Connect(int port, const std::string& host = "127.0.0.1");
    // Listens for broadcasts on `port` (any address); false on failure.
    bool ListenUdp(int port);
    void Disconnect();
    bool IsConnected() const { return connected_.load(); }
    // The connection's descriptor (-1 when none), for looking at its queues.
    int Descriptor() const;

    // Sends the bytes as they are (one write).
    bool Send(const std::string& bytes);
    // Sends "!" + `request` + CR, e.g. SendRequest("WN&201&123").
    bool SendRequest(const std::string& request);
    // Sends the log-in request: "!KL&" (or "!KLA&") version "&" login "&" password CR.
    bool LogIn(const std::string& login, const std::string& password, bool kla = false,
               const std::string& version = "2.04.00.00");

    // The word sent back for each notice from now on; `AckNextWith` for the
    // next notice only.
    void SetAck(Ack ack);
    void AckNextWith(Ack ack);

    // Every message received over TCP, in order: notices with their line end,
    // and the bare replies "OK", "ERROR" and "ERROR n\r".
    std::vector<std::string> Messages() const;
    // Only the notices (messages beginning "!").
    std::vector<std::string> Notices() const;
    // Only the replies.
    std::vector<std::string> Replies() const;
    std::vector<std::string> Datagrams() const;
    // Forgets what was received so far.
    void ClearReceived();
    // Nothing is waiting to be read on the connection, and nothing read is
    // still being taken apart.
    bool Quiet() const;
    // Bytes received so far that do not make a whole message yet.
    std::string Pending() const;

    // Called on the reading thread for each message and datagram (tool use).
    std::function<void(const std::string&)> OnMessage;
    std::function<void(const std::string&)> OnDatagram;

  private:
    void run();
    void takeMessages();
    void acknowledge();

    mutable std::mutex mutex_;
    int tcp_ = -1;
    int udp_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> connected_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> reading_{false};
    std::thread reader_;
    std::string stream_;
    std::vector<std::string> messages_;
    std::vector<std::string> datagrams_;
    Ack ack_ = Ack::Ok;
    std::deque<Ack> nextAcks_;
};

// A peer that sends `request` over and over and never reads what it is
// sent, with a receive buffer as small as the system allows; on a thread of
// its own from `Start` until it is destroyed or the server closes it.
class FloodingPeer {
  public:
    explicit FloodingPeer(std::string request) : request_(std::move(request)) {}
    ~FloodingPeer();
    FloodingPeer(const FloodingPeer&) = delete;
    FloodingPeer& operator=(const FloodingPeer&) = delete;

    bool Start(int port);
    // Stops sending; the connection stays open, still unread.
    void StopSending();
    void Close();
    // The server has closed the connection.
    bool Closed() const { return closed_.load(); }
    long SentRequests() const { return sentBytes_.load() / long(request_.size()); }

  private:
    void run();

    std::string request_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::atomic<long> sentBytes_{0};
    std::thread flooder_;
};

// Opens up to `count` plain connections to the port on 127.0.0.1 (fewer when
// the process runs out of descriptors); with `first`, waits for each to be
// connected and sends it there, else does not wait. Their descriptors.
std::vector<int> OpenConnections(int port, int count, const std::string& first = {});
void CloseConnections(std::vector<int>& connections);
// The `n`-th address of the loopback net past 127.0.0.x, for peers that
// must look like machines of their own.
std::string LoopbackAddress(int n);
// A plain connection to the port on 127.0.0.1 from `source`, connected
// (waited for); its descriptor, or -1.
int ConnectFrom(const std::string& source, int port);
// The other end has closed or reset the connection; what it sent before is
// read and dropped.
bool ClosedByPeer(int fd);
// The highest descriptor the process has open.
int HighestOpenDescriptor();

} // namespace sim
