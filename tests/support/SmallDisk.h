// A small filesystem of the test's own (a tmpfs: mounting needs root), which
// a filler file makes full and leaves again.
#pragma once

#include <QTemporaryDir>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

namespace testing_support {

class SmallDisk {
  public:
    explicit SmallDisk(const std::string& size = "32m") {
        if (!folder_.isValid())
            return;
        const std::string options = "size=" + size + ",mode=0777";
        mounted_ =
            ::mount("tmpfs", folder_.path().toLocal8Bit().constData(), "tmpfs", 0, options.c_str()) == 0;
        if (!mounted_)
            error_ = std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted_)
            ::umount2(folder_.path().toLocal8Bit().constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    std::string path() const { return folder_.path().toStdString(); }
    std::string file(const std::string& name) const {
        return folder_.filePath(QString::fromStdString(name)).toStdString();
    }

    // Writes the filler until the disk takes no more.
    void fill() {
        const int fd = ::open(file("filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        const std::string block(65536, 'x');
        std::size_t size = block.size();
        while (size > 0)
            if (::write(fd, block.data(), size) < 0)
                size /= 2;
        ::close(fd);
    }
    void free() { ::unlink(file("filler").c_str()); }

  private:
    QTemporaryDir folder_;
    bool mounted_ = false;
    std::string error_;
};

} // namespace testing_support
