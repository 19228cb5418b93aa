#include "support/PrivateFirebirdServer.h"

#include "db/FirebirdEnvironment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <csignal>
#include <filesystem>
#include <sys/prctl.h>
#include <sys/stat.h>

namespace testfb {

namespace {

enum class Listener { None, Server, Other };

// Who listens on 127.0.0.1:<port>: the kernel's table names the listening
// socket, and the server holds it when it is among the server's descriptors.
Listener listenerOn(qint64 server, int port) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return Listener::None;
    const QByteArray address = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    std::string socket;
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && fields[1] == address && fields[3] == "0A")
            socket = "socket:[" + fields[9].toStdString() + "]";
    }
    if (socket.empty())
        return Listener::None;
    std::error_code error;
    std::error_code unread; // a descriptor closed meanwhile
    const std::string fds = "/proc/" + std::to_string(server) + "/fd";
    for (std::filesystem::directory_iterator fd(fds, error), end; !error && fd != end; fd.increment(error))
        if (std::filesystem::read_symlink(fd->path(), unread) == socket)
            return Listener::Server;
    return error ? Listener::None : Listener::Other;
}

} // namespace

PrivateServer::PrivateServer(std::string sysdbaPassword)
    : dir_(QDir::tempPath() + QStringLiteral("/halvex-fbserver-XXXXXX")),
      password_(std::move(sysdbaPassword)) {
    prepared_ = prepare();
    if (!prepared_ && error_.empty())
        error_ = "cannot prepare the server's folder";
}

PrivateServer::~PrivateServer() {
    kill();
}

bool PrivateServer::prepare() {
    if (portHold_.bind(QHostAddress::LocalHost, 0, QTcpSocket::ShareAddress | QTcpSocket::ReuseAddressHint))
        port_ = portHold_.localPort();
    const std::string root = dir_.path().toStdString();
    if (!dir_.isValid() || port_ == 0 || !db::PrepareFirebirdRoot(root))
        return false;
    QDir().mkpath(dir_.path() + QStringLiteral("/db"));
    ::chmod((root + "/db").c_str(), 0777);
    QFile config(dir_.path() + QStringLiteral("/firebird.conf"));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    config.write(QStringLiteral("RemoteServicePort = %1\n"
                                "RemoteBindAddress = 127.0.0.1\n"
                                "ServerMode = Super\n"
                                "GuardianOption = 0\n"
                                "IpcName = halvex_test_%1\n"
                                "SecurityDatabase = %2/security3.fdb\n")
                     .arg(port_)
                     .arg(dir_.path())
                     .toUtf8());
    config.close();
    // A security database of its own, with the password the tests use.
    QProcess isql;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FIREBIRD"), dir_.path());
    environment.insert(QStringLiteral("FIREBIRD_LOCK"), dir_.path() + QStringLiteral("/lock"));
    isql.setProcessEnvironment(environment);
    isql.setProcessChannelMode(QProcess::MergedChannels);
    isql.start(QStringLiteral("isql-fb"),
               {QStringLiteral("-q"), QStringLiteral("-user"), QStringLiteral("SYSDBA")});
    const std::string script = "CREATE DATABASE '" + root +
                               "/security3.fdb';\nCOMMIT;\nCREATE USER SYSDBA PASSWORD '" + password_ +
                               "' USING PLUGIN Srp;\nCOMMIT;\n";
    isql.write(script.data(), qint64(script.size()));
    isql.closeWriteChannel();
    if (!isql.waitForFinished(120000) || isql.exitCode() != 0 ||
        !QFile::exists(dir_.path() + QStringLiteral("/security3.fdb"))) {
        error_ = "isql could not make the security database: " + isql.readAll().toStdString();
        return false;
    }
    process_.setProcessEnvironment(environment);
    process_.setWorkingDirectory(dir_.path());
    // A test process that dies leaves no server behind.
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process_.setProcessChannelMode(QProcess::MergedChannels);
    return true;
}

bool PrivateServer::start() {
    if (!prepared())
        return false;
    if (running())
        return true;
    const QString program = QStandardPaths::findExecutable(
        QStringLiteral("firebird"), {QStringLiteral("/usr/sbin"), QStringLiteral("/opt/firebird/bin")});
    if (program.isEmpty()) {
        error_ = "no firebird server program";
        return false;
    }
    process_.start(program, {});
    if (!process_.waitForStarted(30000))
        return false;
    // Listening means the server is through its start-up.
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        const Listener listener = listenerOn(process_.processId(), port_);
        if (listener == Listener::Server)
            return true;
        if (listener == Listener::Other) {
            kill();
            error_ = "port " + std::to_string(port_) + " is taken by another process";
            return false;
        }
        if (process_.waitForFinished(20)) {
            error_ = "the server ended before listening: " + process_.readAll().toStdString();
            return false;
        }
    }
    error_ = "the server did not listen within a minute";
    kill();
    return false;
}

void PrivateServer::kill() {
    if (!running())
        return;
    process_.kill();
    process_.waitForFinished(30000);
}

std::string PrivateServer::host() const {
    return "127.0.0.1/" + std::to_string(port_);
}

std::string PrivateServer::file(const std::string& name) const {
    return dir_.path().toStdString() + "/db/" + name;
}

Connection PrivateServer::connection(const std::string& fileName) const {
    return {host(), file(fileName), "SYSDBA", password_};
}

bool PrivateServer::addAlias(const std::string& alias, const std::string& fileName) {
    QFile aliases(dir_.path() + QStringLiteral("/databases.conf"));
    if (!aliases.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const std::string line = alias + " = " + file(fileName) + "\n";
    return aliases.write(line.data(), qint64(line.size())) == qint64(line.size());
}

} // namespace testfb
