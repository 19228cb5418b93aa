// A SQLite file of the program's own that SQLite calls damaged is kept for
// whoever wants to read it, never emptied: it moves aside under a dated name.
#pragma once

#include <string>

namespace platform {

// "<file>.unreadable-<date>-<time>" (a number added when that name is
// taken), with its -wal file beside it; its -shm goes. "" when it cannot be
// moved.
std::string SetAsideSqliteFile(const std::string& path);

} // namespace platform
