#include "platform/ServiceControl.h"

#include <QProcess>

namespace platform {
namespace {

// systemctl returns at once with --no-block; this bounds a hung manager.
constexpr int ProgramTimeoutMs = 10000;

} // namespace

SystemdServiceControl::SystemdServiceControl(QString program) : program_(std::move(program)) {}

QString SystemdServiceControl::UnitName(const std::string& name) {
    return QString::fromStdString(name).toLower() + QStringLiteral(".service");
}

bool SystemdServiceControl::run(const QStringList& arguments, QByteArray* output) {
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program_, arguments);
    if (!process.waitForFinished(ProgramTimeoutMs)) {
        process.kill();
        process.waitForFinished(ProgramTimeoutMs);
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

ServiceStatus SystemdServiceControl::Query(const std::string& name) {
    QByteArray output;
    if (!run({QStringLiteral("show"), QStringLiteral("--property=LoadState,ActiveState"), UnitName(name)},
             &output))
        return {};
    QByteArray load, active;
    for (const QByteArray& line : output.split('\n')) {
        if (line.startsWith("LoadState="))
            load = line.mid(10).trimmed();
        else if (line.startsWith("ActiveState="))
            active = line.mid(12).trimmed();
    }
    if (load != "loaded")
        return {};
    ServiceStatus status;
    status.installed = true;
    if (active == "active" || active == "reloading")
        status.state = ServiceRunning;
    else if (active == "activating")
        status.state = ServiceStartPending;
    else if (active == "deactivating")
        status.state = ServiceStopPending;
    else
        status.state = ServiceStopped;
    return status;
}

bool SystemdServiceControl::Install(const std::string& name) {
    return Query(name).installed;
}

bool SystemdServiceControl::Start(const std::string& name) {
    if (!Query(name).installed)
        return false;
    run({QStringLiteral("--no-block"), QStringLiteral("start"), UnitName(name)});
    return true;
}

bool SystemdServiceControl::Stop(const std::string& name) {
    if (!Query(name).installed)
        return false;
    run({QStringLiteral("--no-block"), QStringLiteral("stop"), UnitName(name)});
    return true;
}

bool FakeServiceControl::Install(const std::string&) {
    calls.push_back("install");
    if (installable && !status.installed)
        status = {true, ServiceStopped};
    return status.installed;
}

bool FakeServiceControl::Start(const std::string&) {
    calls.push_back("start");
    if (status.installed)
        status.state = ServiceRunning;
    return status.installed;
}

bool FakeServiceControl::Stop(const std::string&) {
    calls.push_back("stop");
    if (status.installed)
        status.state = ServiceStopped;
    return status.installed;
}

ServiceStatus FakeServiceControl::Query(const std::string&) {
    calls.push_back("query");
    return status;
}

} // namespace platform
