// The process's soft limit of open descriptors changed for one test, and put
// back when it ends.
#pragma once

#include <algorithm>
#include <sys/resource.h>

namespace testing_support {

class DescriptorLimit {
  public:
    // Lowered to `soft` where it is higher.
    static DescriptorLimit AtMost(rlim_t soft) { return DescriptorLimit(soft, false); }
    // Raised to `soft` where it is lower; not ok when the hard limit is lower.
    static DescriptorLimit AtLeast(rlim_t soft) { return DescriptorLimit(soft, true); }

    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    ~DescriptorLimit() {
        if (changed_)
            ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    bool ok() const { return ok_; }

  private:
    DescriptorLimit(rlim_t soft, bool raise) {
        if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0)
            return;
        rlimit wanted = saved_;
        wanted.rlim_cur = raise ? std::max(soft, saved_.rlim_cur) : std::min(soft, saved_.rlim_cur);
        if (wanted.rlim_cur > saved_.rlim_max)
            return;
        changed_ = wanted.rlim_cur != saved_.rlim_cur;
        ok_ = !changed_ || ::setrlimit(RLIMIT_NOFILE, &wanted) == 0;
    }

    rlimit saved_{};
    bool changed_ = false;
    bool ok_ = false;
};

} // namespace testing_support
