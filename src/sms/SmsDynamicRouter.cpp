#include "sms/SmsDynamicRouter.h"

#include "platform/Clock.h"

namespace sms {

void SmsDynamicRouter::Store(const std::string& number, const std::string& line, std::int32_t userId) {
    routes_[S_KEY{number, line}] = S_ENTRY{userId, platform::processEpochSeconds()};
}

std::int32_t SmsDynamicRouter::Find(const std::string& number, const std::string& line) const {
    const auto found = routes_.find(S_KEY{number, line});
    if (found == routes_.end() || IsExpired(found->second.stamp))
        return 0;
    return found->second.userId;
}

bool SmsDynamicRouter::IsExpired(std::int64_t stamp) const {
    return platform::processEpochSeconds() - stamp > validity_;
}

} // namespace sms
