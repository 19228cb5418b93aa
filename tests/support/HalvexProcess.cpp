#include "support/HalvexProcess.h"

#include "base/PasswordCodec.h"
#include "db/FirebirdEnvironment.h"
#include "platform/RegistryStore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QThread>
#include <csignal>
#include <grp.h>
#include <unistd.h>

namespace testing_support {

std::string HalvexProcess::builtProgram() {
    const QByteArray dir = qgetenv("HALVEX_TEST_BINARY_DIR");
    return (dir.isEmpty() ? std::string(".") : dir.toStdString()) + "/halvex";
}

bool NameNoDatabaseUnlessNamed(const Sandbox& sandbox) {
    const QFileInfo file(QString::fromStdString(sandbox.machineRegistryFile()));
    // A file the program will not read (not a file, too large, no read
    // bits) is left as the test made it.
    if (file.exists() && (!file.isFile() || file.size() >= platform::RegistryFile::SizeLimit ||
                          !(file.permissions() & QFileDevice::ReadOwner)))
        return false;
    // The settings store of this process is the sandbox's while the key is open.
    const QByteArray previous = qgetenv("HALVEX_REGISTRY_DIR");
    qputenv("HALVEX_REGISTRY_DIR", QByteArray::fromStdString(sandbox.registryDir()));
    const auto restore = qScopeGuard([&] { qputenv("HALVEX_REGISTRY_DIR", previous); });
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    if (!key.OpenKey("\\software\\Vorlin\\Halvex", true)) {
        ADD_FAILURE() << "cannot write the sandbox's settings";
        return false;
    }
    if (!key.ValueExists("IPFBase"))
        key.WriteString("IPFBase", "127.0.0.1");
    if (!key.ValueExists("NameFB"))
        key.WriteString("NameFB", sandbox.file("none/RovaZAD.fdb"));
    return true;
}

HalvexProcess::HalvexProcess(const Sandbox& sandbox, const std::string& name)
    : sandbox_(sandbox), binary_(name.starts_with('/') ? name : sandbox.file(name)) {
    // A hard link keeps the copy cheap; the program sees its own folder.
    if (::link(builtProgram().c_str(), binary_.c_str()) != 0)
        QFile::copy(QString::fromStdString(builtProgram()), QString::fromStdString(binary_));
}

HalvexProcess::~HalvexProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(10000);
    }
}

void HalvexProcess::runAs(uid_t uid, gid_t gid) {
    user_ = {uid, gid};
}

namespace {

void handOver(const std::string& folder, uid_t uid, gid_t gid) {
    if (::chown(folder.c_str(), uid, gid) != 0)
        ADD_FAILURE() << "cannot hand " << folder << " over";
    QDirIterator entries(QString::fromStdString(folder),
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                         QDirIterator::Subdirectories);
    while (entries.hasNext())
        if (::lchown(entries.next().toLocal8Bit().constData(), uid, gid) != 0)
            ADD_FAILURE() << "cannot hand " << entries.filePath().toStdString() << " over";
}

// A Firebird root whose client connects to `port` of every host: with the
// port closed, it reaches no server. False when it cannot be prepared.
bool prepareRootWithoutServer(const std::string& root, int port) {
    if (port == 0 || !db::PrepareFirebirdRoot(root))
        return false;
    QFile config(QString::fromStdString(root + "/firebird.conf"));
    return config.open(QIODevice::Append) &&
           config.write(QByteArray("RemoteServicePort = ") + QByteArray::number(port) + "\n") > 0;
}

} // namespace

void HalvexProcess::start(const QStringList& arguments) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const bool ownRoot = !NameNoDatabaseUnlessNamed(sandbox_);
    if (ownRoot) {
        closedPort_.bind(QHostAddress::Any, 0);
        const std::string root = sandbox_.file("firebird-without-server");
        if (!prepareRootWithoutServer(root, closedPort_.localPort()))
            ADD_FAILURE() << "cannot prepare a Firebird root without a server";
        env.insert(QStringLiteral("FIREBIRD"), QString::fromStdString(root));
        env.insert(QStringLiteral("FIREBIRD_LOCK"), QString::fromStdString(root + "/lock"));
    }
    if (user_) {
        const auto [uid, gid] = *user_;
        // The folder itself (where the log goes), not the program linked into it.
        if (::chown(sandbox_.path().c_str(), uid, gid) != 0)
            ADD_FAILURE() << "cannot hand the sandbox over";
        handOver(sandbox_.registryDir(), uid, gid);
        handOver(sandbox_.runtimeDir(), uid, gid);
        // The Firebird folder of this process is root's own; the one without
        // a server goes over to the user.
        if (ownRoot) {
            handOver(sandbox_.file("firebird-without-server"), uid, gid);
        } else {
            env.remove(QStringLiteral("FIREBIRD"));
            env.remove(QStringLiteral("FIREBIRD_LOCK"));
        }
    }
    process_.setChildProcessModifier([user = user_, group = ownGroup_] {
        if (group && ::setpgid(0, 0) != 0)
            ::_exit(127);
        if (user &&
            (::setgroups(0, nullptr) != 0 || ::setgid(user->second) != 0 || ::setuid(user->first) != 0))
            ::_exit(127);
    });
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (!display_.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display_);
    env.insert(QStringLiteral("HALVEX_REGISTRY_DIR"), QString::fromStdString(sandbox_.registryDir()));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(sandbox_.runtimeDir()));
    // In a sanitizer build the program's memory errors still end it; the leak
    // check at its exit, which stops every thread, is left to the unit tests.
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    env.insert(env_);
    process_.setProcessEnvironment(env);
    process_.setWorkingDirectory(QString::fromStdString(sandbox_.path()));
    process_.start(QString::fromStdString(binary_), arguments);
    process_.waitForStarted(10000);
}

std::string HalvexProcess::logPath() const {
    return binary_.substr(0, binary_.rfind('/') + 1) + "halvex.log";
}

bool HalvexProcess::waitForLog(const std::string& text, std::chrono::seconds cap) {
    return waitForLogTimes(text, 1, cap);
}

namespace {

int occurrences(const std::string& text, const std::string& part, int enough) {
    int seen = 0;
    for (auto at = text.find(part); at != std::string::npos && seen < enough; at = text.find(part, at + 1))
        ++seen;
    return seen;
}

} // namespace

bool HalvexProcess::waitFor(const std::function<bool()>& found, std::chrono::seconds cap) {
    QDeadlineTimer deadline(std::chrono::duration_cast<std::chrono::milliseconds>(cap));
    while (!deadline.hasExpired()) {
        if (found())
            return true;
        if (process_.state() == QProcess::NotRunning)
            return found();
        process_.waitForFinished(50);
    }
    return false;
}

bool HalvexProcess::waitForLogTimes(const std::string& text, int times, std::chrono::seconds cap) {
    return waitFor([&] { return occurrences(logText(), text, times) >= times; }, cap);
}

bool HalvexProcess::waitForStderr(const std::string& text, std::chrono::seconds cap) {
    return waitFor([&] { return standardError().find(text) != std::string::npos; }, cap);
}

bool HalvexProcess::waitForExit(std::chrono::seconds cap) {
    return process_.state() == QProcess::NotRunning ||
           process_.waitForFinished(int(std::chrono::duration_cast<std::chrono::milliseconds>(cap).count()));
}

void HalvexProcess::signal(int number) {
    ::kill(pid_t(process_.processId()), number);
}

void HalvexProcess::signalGroup(int number) {
    if (ownGroup_)
        ::kill(-pid_t(process_.processId()), number);
}

std::string HalvexProcess::standardError() {
    stderr_ += process_.readAllStandardError().toStdString();
    return stderr_;
}

bool WriteProgramSettings(const testfb::Connection& c, int exchangePort) {
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    if (!key.OpenKey("\\software\\Vorlin\\Halvex", true))
        return false;
    key.WriteString("IPFBase", c.host);
    key.WriteString("NameFB", c.path);
    key.WriteString("PasswordFB", AesEncryptToHexWire(c.password, FixedKeyText));
    // Every listening port is chosen by the program itself; the broadcast
    // port is only a destination.
    for (const char* port : {"PortTCP", "PortTCPCalBrowse", "PortTCPCalSend", "PortTCP_CRM"})
        key.WriteInteger(port, 0);
    key.WriteInteger("PortUDP", 0xFFFE);
    key.WriteString("Broadcast", "127.0.0.1");
    if (exchangePort != 0) {
        key.WriteInteger("Centrala", 2);
        key.WriteInteger("Port", 5);
        key.WriteString("TCPCentr", "127.0.0.1");
        key.WriteInteger("PortTCPCent", exchangePort);
    }
    return true;
}

int ChosenClientPort(HalvexProcess& halvex) {
    const std::string said = "Port klientów ustawiony na 0: nasłuch na porcie ";
    if (!halvex.waitForLog(said))
        return 0;
    const std::string log = halvex.logText();
    return std::atoi(log.c_str() + log.find(said) + said.size());
}

} // namespace testing_support
