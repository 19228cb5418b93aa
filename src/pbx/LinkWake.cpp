#include "pbx/LinkWake.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace pbx {

LinkWake::LinkWake() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

LinkWake::~LinkWake() {
    if (fd_ >= 0)
        ::close(fd_);
}

void LinkWake::Wake() {
    const std::uint64_t one = 1;
    if (fd_ >= 0) {
        [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
    }
}

void LinkWake::Clear() {
    std::uint64_t count = 0;
    if (fd_ >= 0) {
        [[maybe_unused]] const auto taken = ::read(fd_, &count, sizeof count);
    }
}

} // namespace pbx
