#include "platform/WholeFile.h"

#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

bool passingError(int error) {
    return error == ENOSPC || error == EDQUOT || error == EIO;
}

// After the rename: the folder's entry is on the disk too.
bool syncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool failed(std::string& refused, std::string* failure, const std::string& why, bool passing) {
    if (passing)
        refused = why;
    if (failure)
        *failure = why;
    return false;
}

} // namespace

// A buffered write would fail only inside the commit, which does not say
// so: the writes are unbuffered. The new file takes the mode of the one it
// replaces, or the umask's, unless set: either may let others read it.
bool ReplaceFileWhole(const QString& path, const std::string& text, std::string& refused,
                      std::string* failure) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        const bool passing = passingError(errno);
        return failed(refused, failure, file.errorString().toStdString(), passing);
    }
    if (!file.setPermissions(OwnerOnly))
        return failed(refused, failure, file.errorString().toStdString(), false);
    const bool written = file.write(text.data(), qint64(text.size())) == qint64(text.size());
    if (!written || ::fsync(file.handle()) != 0) {
        const std::string why = written ? std::strerror(errno) : file.errorString().toStdString();
        file.cancelWriting();
        return failed(refused, failure, why, true);
    }
    if (!file.commit())
        return failed(refused, failure, file.errorString().toStdString(), true);
    if (!syncFolder(QFileInfo(path).absolutePath()))
        return failed(refused, failure,
                      std::string("the folder could not be synced: ") + std::strerror(errno), true);
    return true;
}

} // namespace platform
