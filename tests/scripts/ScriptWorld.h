// A stand-in system for scripts/setup and scripts/firebird: the commands that
// would change the machine (apt-get, dpkg-query, sudo, systemctl, su, install,
// isql-fb, fbsvcmgr, fbguard) are small shell scripts early on PATH that log
// what they are asked to do into one file, the system paths of the scripts
// live under a temporary root (HALVEX_SYSROOT), and a fake Firebird server is
// a listener of this process on a spare port with its SYSDBA password in a
// state file.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

namespace scripts_test {

// Every package that scripts/setup installs.
extern const std::vector<std::string> AllPackages;

struct ScriptResult {
    int exitCode = -1;
    std::string output; // stdout and stderr
};

class ScriptWorld {
  public:
    explicit ScriptWorld(bool sudoInstalled = true);
    ~ScriptWorld();
    ScriptWorld(const ScriptWorld&) = delete;
    ScriptWorld& operator=(const ScriptWorld&) = delete;

    // The machine runs systemd (else the scripts start fbguard themselves).
    void useSystemd();
    void markInstalled(const std::vector<std::string>& packages);
    // A Firebird server installed by someone else: its configuration, its
    // SYSDBA password, and whether it runs.
    void existingServer(const std::string& password, bool running);

    // Runs scripts/<name> as the given user id with `arguments`; `extra` adds
    // environment variables.
    ScriptResult run(const std::string& name, int uid, const QProcessEnvironment& extra = {},
                     const QStringList& arguments = {});

    std::string log() const;
    // A file under the stand-in root, e.g. "/etc/firebird/3.0/firebird.conf".
    std::string path(const std::string& systemPath) const;
    std::string read(const std::string& systemPath) const;
    bool exists(const std::string& systemPath) const;
    std::string sysdbaPassword() const;
    bool serverRunning() const { return running_; }
    int serverStops() const { return stops_; }

  private:
    void writeStub(const std::string& file, const std::string& body);
    void linkTools();
    void follow();
    void startServer();
    void stopServer();

    QTemporaryDir dir_;
    std::string bin_, tools_, state_, root_, logFile_;
    QTcpServer server_;
    quint16 port_ = 0;
    std::unique_ptr<QProcess> guard_; // the pid the server's pid file names
    bool running_ = false;
    int stops_ = 0;
};

} // namespace scripts_test
