// Routing rules and the choice of who receives a message; the engine's
// number-processing settings.
#include "sms/Sms.h"

#include <algorithm>

void SMS::SetRoutingRules() {
    SortedRoutingRules = RoutingRules;
    std::stable_sort(SortedRoutingRules.begin(), SortedRoutingRules.end(),
                     [](const ROUTING_RULE& a, const ROUTING_RULE& b) { return a.nPriority < b.nPriority; });
}

const SMS::ROUTING_RULE* SMS::RoutingRuleAt(std::size_t index) const {
    return index < RoutingRules.size() ? &RoutingRules[index] : nullptr;
}

// Worked from the ends of both texts towards their starts, so that a long
// number against a pattern of many runs costs text × pattern steps and no
// stack.
bool SMS::MatchPattern(const std::string& text, const std::string& pattern) {
    const std::size_t n = text.size();
    const std::size_t m = pattern.size();
    // matches[i * (m + 1) + j]: text from i against pattern from j.
    std::vector<char> matches((n + 1) * (m + 1), 0);
    auto at = [&](std::size_t i, std::size_t j) -> char& { return matches[i * (m + 1) + j]; };
    for (std::size_t i = n + 1; i-- > 0;) {
        for (std::size_t j = m + 1; j-- > 0;) {
            bool result;
            if (j + 1 == m && pattern[j] == '_')
                result = true; // the pattern's rest is exactly "_"
            else if (i == n)
                result = j == m;
            else if (j == m)
                result = false;
            else if (pattern[j] == '?')
                result = at(i + 1, j + 1) != 0;
            else if (pattern[j] == '_')
                result = at(i, j + 1) != 0 || at(i + 1, j) != 0;
            else
                result = text[i] == pattern[j] && at(i + 1, j + 1) != 0;
            at(i, j) = result ? 1 : 0;
        }
    }
    return at(0, 0) != 0;
}

void SMS::SelectRouteLine(const std::string& sender, const std::string& line,
                          std::vector<std::int32_t>& recipients) const {
    for (const ROUTING_RULE& rule : SortedRoutingRules) {
        if (MatchPattern(sender, rule.sSender) && MatchPattern(line, rule.sLine)) {
            recipients = rule.sRecipients;
            return;
        }
    }
}

std::vector<std::int32_t> SMS::SelectRecipients(const std::string& sender, const std::string& line) const {
    if (bDynamicRouting)
        if (const std::int32_t user = DynamicRouter.Find(sender, line); user != 0)
            return {user};
    std::vector<std::int32_t> recipients;
    SelectRouteLine(sender, line, recipients);
    return recipients;
}

bool SMS::SetNumberProcessing(const std::string& countryCode, std::int32_t minLength, std::int32_t maxLength,
                              std::uint8_t removeCountryCode) {
    return NumberProcessor.Set(
        sms::SmsNumberProcessor::SmsProcessingSettings{countryCode, minLength, maxLength, removeCountryCode});
}
