#include "support/Sandbox.h"

#include <QDir>
#include <QFile>

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
