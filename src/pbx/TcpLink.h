// The TCP connection to the exchange: a POSIX socket owned by the link
// thread, non-blocking; its waits end at once on a stop request (the connect
// and send waits are cut into short slices, the wait for the exchange's bytes
// also watches the link thread's wake).
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace pbx {

class TcpLink {
  public:
    TcpLink() = default;
    ~TcpLink();
    TcpLink(const TcpLink&) = delete;
    TcpLink& operator=(const TcpLink&) = delete;

    // OpenFailed: the connection could not even be started (a host name
    // that does not resolve, no socket); Failed: the attempt was answered
    // with an error.
    enum class ConnectResult { Connected, OpenFailed, Failed, TimedOut, Aborted };
    // Connects to host:port, waiting up to `steps` slices of `stepMs`; on
    // OpenFailed and Failed, `error()` holds the error number.
    ConnectResult Connect(const std::string& host, int port, int stepMs, int steps,
                          const std::atomic<bool>& abort);
    void Close();
    bool Exists() const { return fd_ >= 0; }
    bool Active() const { return fd_ >= 0 && active_; }

    // Bytes waiting to be read (0 when none or closed).
    std::size_t Waiting();
    // Appends the waiting bytes to `out`, at most `limit` of them; false when
    // the peer has closed or the socket failed (the socket is then inactive).
    bool ReadWaiting(std::string& out, std::size_t limit = 65536);
    // Sends the bytes until all went out or `stallMs` were spent waiting for
    // room; returns how many went out, -1 on a socket error.
    long Send(const char* data, std::size_t count, const std::atomic<bool>& abort, int stallMs = 5000);

    // Waits until bytes (or the peer's close) can be read or `wakeFd` reads
    // ready, `ms` at most, in one sleep; true when the exchange sent something.
    bool WaitReadable(int ms, int wakeFd);

    int error() const { return error_; }

  private:
    int fd_ = -1;
    bool active_ = false;
    int error_ = 0;
};

// The WinSock-style code that the link logs for an error number.
int SocketErrorCode(int errnoValue);

} // namespace pbx
