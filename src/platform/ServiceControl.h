// Control of a system service (the calendar program's service): installed or
// not, its state, start and stop. On Linux the services are systemd units;
// tests use the fake.
#pragma once

#include <QString>
#include <string>
#include <vector>

namespace platform {

// The service states callers compare with.
enum ServiceState {
    ServiceStopped = 1,
    ServiceStartPending = 2,
    ServiceStopPending = 3,
    ServiceRunning = 4,
};

struct ServiceStatus {
    bool installed = false;
    int state = 0; // ServiceState when installed, else 0
};

class ServiceControl {
  public:
    virtual ~ServiceControl() = default;
    // True when the service exists afterwards.
    virtual bool Install(const std::string& name) = 0;
    // True when the service could be reached (whether or not it then starts
    // or stops).
    virtual bool Start(const std::string& name) = 0;
    virtual bool Stop(const std::string& name) = 0;
    virtual ServiceStatus Query(const std::string& name) = 0;
};

// systemd through `systemctl`: the unit is the service's name in lower case
// with ".service". Units are installed with the calendar program's package,
// so "install" only checks that the unit is there. Start and stop do not
// wait for the unit.
class SystemdServiceControl : public ServiceControl {
  public:
    explicit SystemdServiceControl(QString program = QStringLiteral("systemctl"));
    bool Install(const std::string& name) override;
    bool Start(const std::string& name) override;
    bool Stop(const std::string& name) override;
    ServiceStatus Query(const std::string& name) override;

    static QString UnitName(const std::string& name);

  private:
    // The program's standard output; false when it did not run or failed.
    bool run(const QStringList& arguments, QByteArray* output = nullptr);
    QString program_;
};

// A service in memory, for tests: what was asked of it, in order
// ("install", "start", "stop", "query"), and its state.
class FakeServiceControl : public ServiceControl {
  public:
    bool Install(const std::string& name) override;
    bool Start(const std::string& name) override;
    bool Stop(const std::string& name) override;
    ServiceStatus Query(const std::string& name) override;

    ServiceStatus status;
    bool installable = true; // whether installing succeeds
    std::vector<std::string> calls;
};

} // namespace platform
