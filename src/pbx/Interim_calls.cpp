// Call-history rows kept in memory (replaced by the real one when merged).
#include "pbx/Interim_calls.h"
#include "pbx/PbxLink.h"

namespace pbx {

std::vector<InterimHistoryRow>& InterimHistoryRows() {
    static std::vector<InterimHistoryRow> rows;
    return rows;
}

void PbxLink::SaveIncomingCall(const std::string& a, const std::string& b, std::uint32_t length,
                               const QDateTime& start) {
    InterimHistoryRows().push_back({true, a, b, length, start});
}

void PbxLink::SaveOutgoingCall(const std::string& a, const std::string& b, std::uint32_t length,
                               const QDateTime& start) {
    InterimHistoryRows().push_back({false, a, b, length, start});
}

} // namespace pbx
