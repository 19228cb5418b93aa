// A Firebird server of the test's own: a root folder with its own
// configuration and security database, listening on a spare port of
// 127.0.0.1, that a test may kill and start again without touching the
// system's server. The port is held for the server while the object lives,
// so that no other process's port-0 bind or outgoing connection gets it.
#pragma once

#include "support/FirebirdFixtures.h"

#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <string>

namespace testfb {

class PrivateServer {
  public:
    // Prepares the root and picks the port; the server is not started yet.
    // SYSDBA's password is the tests' own unless one is given.
    explicit PrivateServer(std::string sysdbaPassword = ServerPassword());
    ~PrivateServer();
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    // False when the root could not be prepared (the reason is in error()).
    bool prepared() const { return prepared_; }
    // Why the preparation or the last start failed.
    const std::string& error() const { return error_; }

    // Starts the server and waits until it listens; fails at once when the
    // server ends first or another process listens on its port.
    bool start();
    // Ends it at once (SIGKILL), as a crash or a power cut would.
    void kill();
    bool running() const { return process_.state() != QProcess::NotRunning; }

    // "127.0.0.1/<port>", the host part of a database name.
    std::string host() const;
    // A database file in a folder the server can write.
    std::string file(const std::string& name) const;
    Connection connection(const std::string& fileName) const;
    // The server knows the file of its folder `fileName` by `alias` too;
    // before start(). False when its list of aliases could not be written.
    bool addAlias(const std::string& alias, const std::string& fileName);

  private:
    bool prepare();
    QTemporaryDir dir_;
    // Bound with address reuse but not listening: the server can still bind
    // the port (it reuses addresses too), port-0 binds elsewhere cannot.
    QTcpSocket portHold_;
    int port_ = 0;
    std::string password_;
    bool prepared_ = false;
    QProcess process_;
    std::string error_;
};

} // namespace testfb
