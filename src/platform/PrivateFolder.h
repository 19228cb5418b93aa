// A folder of this user's own under a shared place such as /tmp: created
// with mode 0700, and refused when someone else made it first or it is a link.
#pragma once

#include <string>

namespace platform {

// True when `path` is now a directory owned by this user, not a link, and
// closed to everyone else.
bool EnsurePrivateFolder(const std::string& path);

} // namespace platform
