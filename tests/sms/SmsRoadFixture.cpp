// The fixture's helpers that are not inline.
#include "SmsRoadFixture.h"

namespace smsroadtest {

Texts smsAndAnswers(const ClientSimulator& desk) {
    Texts seen;
    for (const std::string& m : desk.Messages())
        if (!m.starts_with("!") || m.starts_with("!SMS&"))
            seen.push_back(m);
    return seen;
}

} // namespace smsroadtest
