#include "ScriptWorld.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <gtest/gtest.h>

namespace scripts_test {

namespace {

// The package list as scripts/setup itself writes it.
std::vector<std::string> setupPackages() {
    QFile setup(QStringLiteral(HALVEX_SOURCE_DIR_FALLBACK "/scripts/setup"));
    if (!setup.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(setup.readAll());
    const qsizetype begin = text.indexOf(QStringLiteral("PACKAGES=(")) + 10;
    const qsizetype end = text.indexOf(QLatin1Char(')'), begin);
    std::vector<std::string> packages;
    for (const QString& name :
         text.mid(begin, end - begin).split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
        packages.push_back(name.toStdString());
    return packages;
}

} // namespace

const std::vector<std::string> AllPackages = setupPackages();

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

void writeText(const std::string& file, const std::string& text) {
    QDir().mkpath(QFileInfo(q(file)).absolutePath());
    QFile out(q(file));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate)) << file;
    out.write(text.data(), qint64(text.size()));
}

std::string readText(const std::string& file) {
    QFile in(q(file));
    return in.open(QIODevice::ReadOnly) ? in.readAll().toStdString() : std::string();
}

const char* const StubPreamble = R"sh(#!/bin/bash
log() { printf '%s\n' "uid=$FAKE_UID $*" >> "$FAKE_LOG"; }
need_root() {
  [ "$FAKE_UID" = 0 ] && return 0
  echo "$(basename "$0"): permission denied" >&2
  exit 100
}
)sh";

} // namespace

ScriptWorld::ScriptWorld(bool sudoInstalled) {
    const std::string base = dir_.path().toStdString();
    bin_ = base + "/bin";
    tools_ = base + "/tools";
    state_ = base + "/state";
    root_ = base + "/root";
    logFile_ = base + "/commands.log";
    for (const std::string& folder : {bin_, tools_, state_, root_})
        QDir().mkpath(q(folder));
    writeText(logFile_, "");
    writeText(state_ + "/installed", "");
    linkTools();

    writeStub("id", "echo \"$FAKE_UID\"\n");
    if (sudoInstalled)
        writeStub("sudo", "log sudo \"$@\"\nexec env FAKE_UID=0 \"$@\"\n");
    writeStub("dpkg-query", R"sh(package="${!#}"
if grep -qx -- "$package" "$FAKE_STATE/installed"; then printf 'install ok installed'; exit 0; fi
echo "dpkg-query: no packages found matching $package" >&2
exit 1
)sh");
    // Installing the server does what Debian's package does: a random SYSDBA
    // password, kept in SYSDBA.password, a server bound to localhost, started.
    writeStub("apt-get", R"sh(log "apt-get $* (DEBIAN_FRONTEND=${DEBIAN_FRONTEND:-})"
need_root
[ "$1" = install ] || exit 0
for arg in "$@"; do
  case "$arg" in
    -*|install) ;;
    firebird3.0-server)
      echo "$arg" >> "$FAKE_STATE/installed"
      etc="$HALVEX_SYSROOT/etc/firebird/3.0"
      mkdir -p "$etc"
      printf '#RemoteBindAddress =\nRemoteBindAddress = localhost\n' > "$etc/firebird.conf"
      printf 'ISC_USER=sysdba\nISC_PASSWORD="Debian-random"\n' > "$etc/SYSDBA.password"
      echo "Debian-random" > "$FAKE_STATE/sysdba"
      # The package's own scripts start the server before apt-get returns.
      touch "$FAKE_STATE/start"
      for _ in $(seq 1 200); do [ -e "$FAKE_STATE/running" ] && break; sleep 0.05; done ;;
    *) echo "$arg" >> "$FAKE_STATE/installed" ;;
  esac
done
)sh");
    writeStub("systemctl", R"sh(log systemctl "$@"
need_root
case "$1" in
  start|restart) touch "$FAKE_STATE/start" ;;
  stop)
    touch "$FAKE_STATE/stop"
    for _ in $(seq 1 200); do [ -e "$FAKE_STATE/running" ] || exit 0; sleep 0.05; done
    exit 1 ;;
esac
)sh");
    // su -s /bin/sh firebird -c COMMAND: runs COMMAND as user firebird.
    writeStub("su", "log su \"$@\"\nneed_root\nFAKE_UID=firebird exec sh -c \"${@: -1}\"\n");
    writeStub("install", R"sh(log install "$@"
need_root
dirs=()
while [ $# -gt 0 ]; do
  case "$1" in
    -o|-g|-m) shift ;;
    -*) ;;
    *) dirs+=("$1") ;;
  esac
  shift
done
mkdir -p "${dirs[@]}"
)sh");
    writeStub("kill", "log kill \"$@\"\nneed_root\nbuiltin kill \"$@\"\n");
    // Embedded access to the security database fails while the server holds it.
    writeStub("isql-fb", R"sh(input=$(cat)
log isql-fb "$@" "<<< $input"
[ "$FAKE_UID" = firebird ] || { echo "isql-fb: no access to the security database" >&2; exit 1; }
[ -e "$FAKE_STATE/running" ] && { echo "isql-fb: database in use" >&2; exit 1; }
printf '%s' "$input" | sed -n "s/.* password '\(.*\)' using plugin Srp;/\1/p" | sed "s/''/'/g" > "$FAKE_STATE/sysdba"
)sh");
    // Like the real one it reaches the server through its port.
    writeStub("fbsvcmgr", R"sh(log fbsvcmgr "$@"
(exec 3<>"/dev/tcp/127.0.0.1/$HALVEX_FB_PORT") 2>/dev/null || { echo "Unable to complete network request" >&2; exit 1; }
password=""
while [ $# -gt 0 ]; do [ "$1" = -password ] && password="$2"; shift; done
[ "$password" = "$(cat "$FAKE_STATE/sysdba")" ] || { echo "Your user name and password are not defined" >&2; exit 1; }
)sh");
    writeStub(root_ + "/usr/sbin/fbguard", "log fbguard \"$@\"\ntouch \"$FAKE_STATE/start\"\n");

    QTcpServer probe;
    EXPECT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    port_ = probe.serverPort();
}

ScriptWorld::~ScriptWorld() {
    if (running_)
        stopServer();
}

void ScriptWorld::writeStub(const std::string& file, const std::string& body) {
    const std::string path = file.front() == '/' ? file : bin_ + "/" + file;
    writeText(path, StubPreamble + body);
    QFile::setPermissions(q(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The harmless tools the scripts and stand-ins use come from the real system;
// nothing else does, so a missing stand-in shows as "command not found".
void ScriptWorld::linkTools() {
    for (const char* tool : {"bash", "sh", "env", "grep", "sed", "cat", "dirname", "basename", "seq", "sleep",
                             "mkdir", "rm", "touch", "head", "tr"}) {
        const QString real = QStandardPaths::findExecutable(QString::fromLatin1(tool));
        ASSERT_FALSE(real.isEmpty()) << tool;
        QFile::link(real, q(tools_) + QLatin1Char('/') + QLatin1String(tool));
    }
}

void ScriptWorld::useSystemd() {
    QDir().mkpath(q(path("/run/systemd/system")));
}

void ScriptWorld::markInstalled(const std::vector<std::string>& packages) {
    std::string list = readText(state_ + "/installed");
    for (const std::string& package : packages)
        list += package + "\n";
    writeText(state_ + "/installed", list);
}

void ScriptWorld::existingServer(const std::string& password, bool running) {
    markInstalled({"firebird3.0-server-core", "firebird3.0-utils", "firebird3.0-server"});
    writeText(path("/etc/firebird/3.0/firebird.conf"), "RemoteBindAddress = localhost\n");
    writeText(path("/etc/firebird/3.0/SYSDBA.password"),
              "ISC_USER=sysdba\nISC_PASSWORD=\"" + password + "\"\n");
    writeText(state_ + "/sysdba", password + "\n");
    if (running)
        startServer();
}

ScriptResult ScriptWorld::run(const std::string& name, int uid, const QProcessEnvironment& extra,
                              const QStringList& arguments) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), q(bin_ + ":" + tools_));
    env.insert(QStringLiteral("HOME"), dir_.path());
    env.insert(QStringLiteral("FAKE_UID"), QString::number(uid));
    env.insert(QStringLiteral("FAKE_STATE"), q(state_));
    env.insert(QStringLiteral("FAKE_LOG"), q(logFile_));
    env.insert(QStringLiteral("HALVEX_SYSROOT"), q(root_));
    env.insert(QStringLiteral("HALVEX_FB_PORT"), QString::number(port_));
    env.insert(extra);

    QProcess script;
    script.setProcessEnvironment(env);
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral(HALVEX_SOURCE_DIR_FALLBACK "/scripts/") + q(name), arguments);
    EXPECT_TRUE(script.waitForStarted(30000)) << name;
    const QDeadlineTimer deadline(120000);
    while (!script.waitForFinished(10)) {
        follow();
        if (deadline.hasExpired()) {
            script.kill();
            script.waitForFinished();
            ADD_FAILURE() << name << " did not end; output:\n" << script.readAll().toStdString();
            return {};
        }
    }
    follow();
    ScriptResult result;
    result.exitCode = script.exitStatus() == QProcess::NormalExit ? script.exitCode() : -1;
    result.output = script.readAll().toStdString();
    return result;
}

// Acts on what the stand-ins asked of the server and takes the connections
// of the scripts' port checks.
void ScriptWorld::follow() {
    if (QFile::remove(q(state_ + "/stop")) && running_)
        stopServer();
    if (running_ && guard_->waitForFinished(0))
        stopServer();
    if (QFile::remove(q(state_ + "/start")) && !running_)
        startServer();
    while (server_.isListening() && server_.waitForNewConnection(0))
        delete server_.nextPendingConnection();
}

// The scripts run meanwhile: the slow part (the guard process) comes first
// when starting and last when stopping, so that a script that finds the port
// open finds the server up, and one that finds it closed finds it down.
void ScriptWorld::startServer() {
    guard_ = std::make_unique<QProcess>();
    guard_->start(QStringLiteral("sleep"), {QStringLiteral("600")});
    ASSERT_TRUE(guard_->waitForStarted());
    writeText(path("/run/firebird3.0/fbguard.pid"), std::to_string(guard_->processId()) + "\n");
    ASSERT_TRUE(server_.listen(QHostAddress::LocalHost, port_)) << server_.errorString().toStdString();
    writeText(state_ + "/running", "");
    running_ = true;
}

void ScriptWorld::stopServer() {
    QFile::remove(q(state_ + "/running"));
    server_.close();
    running_ = false;
    ++stops_;
    guard_->kill();
    guard_->waitForFinished();
}

std::string ScriptWorld::log() const {
    return readText(logFile_);
}

std::string ScriptWorld::path(const std::string& systemPath) const {
    return root_ + systemPath;
}

std::string ScriptWorld::read(const std::string& systemPath) const {
    return readText(path(systemPath));
}

bool ScriptWorld::exists(const std::string& systemPath) const {
    return QFileInfo::exists(q(path(systemPath)));
}

std::string ScriptWorld::sysdbaPassword() const {
    std::string text = readText(state_ + "/sysdba");
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

} // namespace scripts_test
