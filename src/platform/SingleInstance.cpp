#include "platform/SingleInstance.h"

#include "platform/PrivateFolder.h"

#include <QDir>
#include <QStandardPaths>
#include <unistd.h>

namespace platform {
namespace {

QString runtimeDirectory() {
    const QByteArray xdg = qgetenv("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty() && QDir(QString::fromLocal8Bit(xdg)).exists())
        return QString::fromLocal8Bit(xdg);
    return QDir::tempPath() + QStringLiteral("/halvex-") + QString::number(getuid());
}

} // namespace

SingleInstance::SingleInstance(const std::string& name) {
    const QString dir = runtimeDirectory();
    if (dir.startsWith(QDir::tempPath()))
        EnsurePrivateFolder(dir.toStdString()); // a shared place: ours alone
    else
        QDir().mkpath(dir);
    path_ = (dir + QLatin1Char('/') + QString::fromStdString(name) + QStringLiteral(".lock")).toStdString();
    lock_ = std::make_unique<QLockFile>(QString::fromStdString(path_));
    lock_->setStaleLockTime(0); // a lock left by a dead process is taken over
}

bool SingleInstance::Acquire() {
    return lock_->tryLock(0);
}

} // namespace platform
