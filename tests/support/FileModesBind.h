// Root reads and writes through any file mode: for the lifetime of this guard
// the calling thread (and every thread it starts meanwhile) gives up that
// override, so that modes bind it as they bind any other user.
#pragma once

#include <linux/capability.h>

namespace testing_support {

class FileModesBind {
  public:
    FileModesBind();
    ~FileModesBind();
    FileModesBind(const FileModesBind&) = delete;
    FileModesBind& operator=(const FileModesBind&) = delete;
    // False when root could not give the override up.
    bool bound() const;

  private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool dropped_ = false;
};

} // namespace testing_support
