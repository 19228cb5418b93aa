// The simulated exchange's voice boxes and call groups: a state per number
// (or no voice boxes at all) and a log-in state per number and group.
#include "support/ExchangeSimulator.h"

#include <sstream>

namespace sim {

void ExchangeSimulator::SetVoiceBox(const std::string& number, std::string state) {
    std::lock_guard lock(mutex_);
    voiceBoxes_[number] = std::move(state);
}

void ExchangeSimulator::SetVoiceBoxesDisabled(bool disabled) {
    std::lock_guard lock(mutex_);
    voiceBoxesDisabled_ = disabled;
}

void ExchangeSimulator::SetGroupState(const std::string& number, const std::string& group,
                                      std::string state) {
    std::lock_guard lock(mutex_);
    groupStates_[number][group] = std::move(state);
}

std::string ExchangeSimulator::VoiceBoxState(const std::string& number) const {
    std::lock_guard lock(mutex_);
    const auto it = voiceBoxes_.find(number);
    return it == voiceBoxes_.end() ? std::string() : it->second;
}

std::string ExchangeSimulator::GroupState(const std::string& number, const std::string& group) const {
    std::lock_guard lock(mutex_);
    const auto it = groupStates_.find(number);
    if (it == groupStates_.end() || !it->second.contains(group))
        return "NIG";
    return it->second.at(group);
}

std::vector<std::string> ExchangeSimulator::voiceBoxAnswers(const std::string& line) {
    // Other lines, which may be megabytes long, are not split.
    if (!line.starts_with("VB ") && !line.starts_with("GWW "))
        return {};
    std::istringstream in(line);
    std::vector<std::string> t;
    for (std::string token; in >> token;)
        t.push_back(token);
    if (t.size() < 3)
        return {};
    const std::string& number = t[2];
    if (t[0] == "VB") {
        const bool set = t[1] == "STATE_SET" && t.size() == 4 && (t[3] == "ON" || t[3] == "OFF");
        if (!set && !(t[1] == "STATE_GET" && t.size() == 3))
            return {};
        if (voiceBoxesDisabled_)
            return {"VB STATE_IS DISABLED"};
        const auto box = voiceBoxes_.find(number);
        if (box == voiceBoxes_.end())
            return {};
        if (set)
            box->second = t[3];
        return {"VB STATE_IS " + number + " " + box->second};
    }
    if (t[0] != "GWW" || t[1] != "ABS" || t.size() > 5 || (t.size() == 5 && t[4] != "LOG" && t[4] != "NLO"))
        return {};
    auto& groups = groupStates_[number];
    if (t.size() == 5)
        groups[t[3]] = t[4];
    std::vector<std::string> answers;
    for (const auto& [group, state] : groups)
        if (t.size() == 3 || group == t[3])
            answers.push_back("GWW ABS " + number + " " + group + " " + state);
    if (t.size() >= 4 && answers.empty())
        answers.push_back("GWW ABS " + number + " " + t[3] + " NIG");
    return answers;
}

} // namespace sim
