#include "support/FileModesBind.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace testing_support {

FileModesBind::FileModesBind() {
    if (::geteuid() != 0)
        return;
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    if (::syscall(SYS_capget, &header_, saved_) != 0)
        return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
}

FileModesBind::~FileModesBind() {
    if (dropped_)
        ::syscall(SYS_capset, &header_, saved_);
}

bool FileModesBind::bound() const {
    return ::geteuid() != 0 || dropped_;
}

} // namespace testing_support
