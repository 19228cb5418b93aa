// A TCP relay on 127.0.0.1 that holds every chunk a fixed time in each
// direction: a database server made slow on purpose, without touching it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace testing_support {

class SlowTcpProxy {
  public:
    // Relays to 127.0.0.1:`targetPort`, each chunk `delay` late each way.
    SlowTcpProxy(int targetPort, std::chrono::milliseconds delay);
    ~SlowTcpProxy();
    SlowTcpProxy(const SlowTcpProxy&) = delete;
    SlowTcpProxy& operator=(const SlowTcpProxy&) = delete;

    // The port it listens on; 0 when it could not listen.
    int port() const { return port_; }
    // Chunks (a server's answers, as read) handed on to the clients so far.
    std::size_t chunksToClients() const { return toClients_.load(); }
    // Chunks (a client's requests, as read) handed on to the server so far.
    std::size_t chunksToServer() const { return toServer_.load(); }
    // While held, nothing passes either way and no connection is taken on,
    // yet nothing is reset: a network partition, or a server that hangs.
    void hold(bool held);
    // Lets `chunks` more chunks through to the server, then holds; with
    // `answersPass` only what goes to the server is held.
    void holdAfterChunksToServer(std::size_t chunks, bool answersPass = false);
    // Lets `chunks` more chunks through to the server; the connection whose
    // next chunk comes then is parked: what its client sends from that chunk
    // on is kept from the server, nothing more comes back to the client, and
    // its server side stays open (a request the server has yet to get).
    // Other connections pass.
    void parkAfterChunksToServer(std::size_t chunks);
    // What the parked connection kept goes to the server after all; its
    // answers are dropped, and the connection ends once that went.
    void releaseParked();
    // Each chunk read from now on is held `delay` each way.
    void setDelay(std::chrono::milliseconds delay) { delayMs_ = delay.count(); }
    // Resets every connection relayed so far, dropping what waits in it.
    void dropConnections();

  private:
    void run();

    int targetPort_;
    std::atomic<long long> delayMs_;
    int listener_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};
    std::atomic<std::size_t> toClients_{0};
    std::atomic<bool> held_{false};
    std::atomic<std::size_t> toServer_{0};
    std::atomic<std::size_t> holdAtToServer_{0}; // 0: none
    std::atomic<bool> holdOnlyToServer_{false};
    std::atomic<bool> toServerHeld_{false};
    std::atomic<bool> drop_{false};
    std::atomic<std::size_t> parkAtToServer_{0}; // 0: none
    std::atomic<bool> release_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A server on 127.0.0.1 whose connections are made and never answered: a
// database behind a network hole that resets nothing.
class SilentServer {
  public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    // 0 when it could not listen.
    int port() const { return port_; }

  private:
    int listener_ = -1;
    int port_ = 0;
};

// Lets the relay pass again after a while, so that a program that waits
// for the held server without a bound still ends its test (failing it).
class ReleaseLater {
  public:
    explicit ReleaseLater(SlowTcpProxy& relay)
        : thread_([this, &relay] {
              std::unique_lock lock(mutex_);
              if (!changed_.wait_for(lock, std::chrono::seconds(60), [this] { return done_; }))
                  released_ = true;
              relay.hold(false);
          }) {}
    // True once it let the relay pass: the program waited for it.
    bool released() const { return released_; }
    ~ReleaseLater() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::atomic<bool> released_{false};
    std::thread thread_;
};

} // namespace testing_support
