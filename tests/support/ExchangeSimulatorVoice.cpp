// The simulated exchange's voice-mail boxes: the lists it hands out entry by
// entry, the messages it deletes on request, and the reports it makes of its
// own changes.
#include "support/ExchangeSimulator.h"

#include <charconv>

namespace sim {
namespace {

std::vector<std::string> blankSeparated(const std::string& line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == ' ')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

bool whole(const std::string& token, int& value) {
    const char* end = token.data() + token.size();
    const auto [at, error] = std::from_chars(token.data(), end, value);
    return error == std::errc() && at == end && !token.empty();
}

std::string entry(const std::string& box, int index, const ExchangeSimulator::VoiceMessage& m) {
    return "VM PUT " + box + " " + std::to_string(index) + " " + std::to_string(m.iId) + " " + m.date + " " +
           m.time + " " + m.number + " " + std::to_string(m.atr) + " " + std::to_string(m.recording);
}

} // namespace

void ExchangeSimulator::SetVoiceMailBox(const std::string& box, std::vector<VoiceMessage> messages) {
    std::lock_guard lock(mutex_);
    voiceMailBoxes_[box] = std::move(messages);
}

std::vector<ExchangeSimulator::VoiceMessage> ExchangeSimulator::VoiceMailBox(const std::string& box) const {
    std::lock_guard lock(mutex_);
    const auto found = voiceMailBoxes_.find(box);
    return found == voiceMailBoxes_.end() ? std::vector<VoiceMessage>() : found->second;
}

void ExchangeSimulator::SendVoiceMailAdd(const std::string& box, const VoiceMessage& m, bool flag) {
    {
        std::lock_guard lock(mutex_);
        if (flag)
            voiceMailBoxes_[box].insert(voiceMailBoxes_[box].begin(), m);
    }
    SendRecord("VM ADD " + box + " " + std::to_string(m.iId) + " " + m.date + " " + m.time + " " + m.number +
               (flag ? " 1 " : " 0 ") + std::to_string(m.recording));
}

void ExchangeSimulator::SendVoiceMailUpdate(int iId, int atr) {
    {
        std::lock_guard lock(mutex_);
        for (auto& [box, messages] : voiceMailBoxes_)
            for (VoiceMessage& m : messages)
                if (m.iId == iId)
                    m.atr = atr;
    }
    SendRecord("VM UPD " + std::to_string(iId) + " " + std::to_string(atr));
}

void ExchangeSimulator::SendVoiceMailDelete(const std::string& box, int position) {
    int iId = -1;
    {
        std::lock_guard lock(mutex_);
        auto& messages = voiceMailBoxes_[box];
        if (position < 0 || std::size_t(position) >= messages.size())
            return;
        iId = messages[std::size_t(position)].iId;
        messages.erase(messages.begin() + position);
    }
    SendRecord("VM DEL " + box + " " + std::to_string(position) + " " + std::to_string(iId));
}

void ExchangeSimulator::SetVoiceMailSilent(bool silent) {
    std::lock_guard lock(mutex_);
    voiceMailSilent_ = silent;
}

void ExchangeSimulator::addVoiceMailAnswers(const std::string& line,
                                            std::vector<std::pair<std::string, int>>& answers) {
    // Other lines, which may be megabytes long, are not split.
    if (!line.starts_with("VM "))
        return;
    const auto t = blankSeparated(line);
    int position = 0, iId = 0;
    if (t.size() < 4 || t[0] != "VM" || !whole(t[3], position) || position < 0)
        return;
    const std::string& box = t[2];
    if (t[1] == "GET" && t.size() == 4 && !voiceMailSilent_) {
        const auto found = voiceMailBoxes_.find(box);
        if (found == voiceMailBoxes_.end() || std::size_t(position) >= found->second.size())
            answers.emplace_back(entry(box, position, {-1, "0", "0", "0", 0, 0}), 0);
        else
            answers.emplace_back(entry(box, position, found->second[std::size_t(position)]), 0);
    } else if (t[1] == "DEL" && t.size() == 5 && whole(t[4], iId)) {
        auto& messages = voiceMailBoxes_[box];
        if (std::size_t(position) < messages.size() && messages[std::size_t(position)].iId == iId) {
            messages.erase(messages.begin() + position);
            answers.emplace_back(line, 0);
        }
    }
}

} // namespace sim
