#include "support/SmallDisk.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace testing_support {

SmallDisk::SmallDisk(const std::string& size) {
    if (!folder_.isValid())
        return;
    const std::string options = "size=" + size + ",mode=0777";
    mounted_ = ::mount("tmpfs", folder_.path().toLocal8Bit().constData(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_)
        error_ = std::strerror(errno);
}

SmallDisk::~SmallDisk() {
    if (mounted_)
        ::umount2(folder_.path().toLocal8Bit().constData(), MNT_DETACH);
}

std::string SmallDisk::file(const std::string& name) const {
    return folder_.filePath(QString::fromStdString(name)).toStdString();
}

void SmallDisk::fill() {
    const int fd = ::open(file("filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string block(65536, 'x');
    std::size_t size = block.size();
    while (size > 0)
        if (::write(fd, block.data(), size) < 0)
            size /= 2;
    ::close(fd);
}

void SmallDisk::free() {
    ::unlink(file("filler").c_str());
}

} // namespace testing_support
