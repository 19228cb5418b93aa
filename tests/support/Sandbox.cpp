#include "support/Sandbox.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace testing_support {

Sandbox::Sandbox() {
    QDir().mkpath(QString::fromStdString(registryDir()));
    QDir().mkpath(QString::fromStdString(runtimeDir()));
    QFile::setPermissions(QString::fromStdString(runtimeDir()),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setEnv("HALVEX_REGISTRY_DIR", registryDir());
    setEnv("XDG_RUNTIME_DIR", runtimeDir());
}

Sandbox::~Sandbox() {
    for (const auto& [name, previous] : saved_) {
        if (previous.first)
            qputenv(name.c_str(), previous.second);
        else
            qunsetenv(name.c_str());
    }
}

void Sandbox::setEnv(const char* name, const std::string& value) {
    if (!saved_.count(name))
        saved_[name] = {qEnvironmentVariableIsSet(name), qgetenv(name)};
    qputenv(name, QByteArray::fromStdString(value));
}

HeldSettingsLock::HeldSettingsLock(const std::string& settingsFile) {
    fd_ = ::open((settingsFile + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

HeldSettingsLock::~HeldSettingsLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string readFile(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().toStdString();
}

void writeFile(const std::string& path, const std::string& text) {
    QFile file(QString::fromStdString(path));
    if (file.open(QIODevice::WriteOnly))
        file.write(text.data(), qint64(text.size()));
}

} // namespace testing_support
