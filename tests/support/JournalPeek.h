// The row journal of a program as another program reads it while its owner
// writes it: read-only, each look a connection of its own.
#pragma once

#include <string>

namespace testing_support {

// How many rows of the journal at `path` meet `condition` (on its table
// "rows", empty for all; its one "?" bound to `text`); -1 when the file
// cannot be read.
int JournalRowsWhere(const std::string& path, const std::string& condition = {},
                     const std::string& text = {});

} // namespace testing_support
