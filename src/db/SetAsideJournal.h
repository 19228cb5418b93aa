// The rows of a journal set aside as damaged: every row that can still be
// read goes into the new journal, in its order, so that the start writes it
// like any row an earlier run left; what cannot be read is named.
#pragma once

#include "db/RowJournal.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace db {

struct SetAsideRows {
    bool read = false; // the set-aside file could be opened
    std::size_t taken = 0;
    // Ranges of places (first, last) whose rows could not be read.
    std::vector<std::pair<std::int64_t, std::int64_t>> unreadable;
    std::string error; // the first failure met, or why nothing was taken
};

// Reads the rows of `aside` past its damaged pages and puts them, with the
// keys they refer to, into `journal`.
SetAsideRows TakeSetAsideRows(const std::string& aside, RowJournal& journal);

// Says (stderr and log) how many rows were taken from the set-aside file and
// which could not be read, with their count where the last run said how
// many it left (`left`).
void SaySetAsideRows(const RowJournal& journal, const SetAsideRows& rows, std::optional<std::size_t> left);

} // namespace db
