// The call-history rows as the call handling asked for them, kept in memory
// (replaced by the real one when merged).
#pragma once

#include <QDateTime>
#include <cstdint>
#include <string>
#include <vector>

namespace pbx {

struct InterimHistoryRow {
    bool incoming = false;
    std::string a, b;
    std::uint32_t length = 0;
    QDateTime start;
};

std::vector<InterimHistoryRow>& InterimHistoryRows();

} // namespace pbx
