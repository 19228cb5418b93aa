#include "platform/PrivateFolder.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool EnsurePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return false;
    return (info.st_mode & 077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

} // namespace platform
