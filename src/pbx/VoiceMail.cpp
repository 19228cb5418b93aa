#include "pbx/VoiceMail.h"

#include "base/CommandParserGenerator.h"
#include "base/DiagnosticLog.h"

#include <algorithm>
#include <charconv>

namespace pbx {
namespace {

using Result = CommandParserGenerator::Result;

// A whole token as a 32-bit number; anything else, an overflow included, is
// no number.
bool number(const std::string& token, std::int32_t& value) {
    const char* end = token.data() + token.size();
    const auto [at, error] = std::from_chars(token.data(), end, value);
    return error == std::errc() && at == end && !token.empty();
}

bool count(const std::string& token, std::int32_t& value) {
    return number(token, value) && value >= 0;
}

// The box goes into "VM GET <box> <index>": it must stay one token of one line.
bool fitsCommand(const std::string& box) {
    return !box.empty() && std::none_of(box.begin(), box.end(),
                                        [](unsigned char c) { return c <= ' ' || c == 0x7F || c == '\\'; });
}

} // namespace

bool VoiceMail::EnqueueBox(const std::string& box) {
    if (!fitsCommand(box)) {
        base::WriteLog(2, "Numer skrzynki poczty głosowej <%s> nie nadaje się do komendy centrali",
                       box.c_str());
        return false;
    }
    if (std::find(fetchQueue.begin(), fetchQueue.end(), box) == fetchQueue.end())
        fetchQueue.push_back(box);
    boxes[box].clear();
    retryCounter = 0;
    return true;
}

std::string VoiceMail::GetRequest() {
    if (waiting) {
        ++retryCounter;
        if (retryCounter < 10 || retryCounter % RetryTicks != 0)
            return {};
        if (retryCounter >= GiveUpTicks) {
            // Late answers no longer match, and with nothing else queued the
            // mirror is idle, so the polling timer's later steps go on.
            base::WriteLog(2,
                           "Brak odpowiedzi centrali dla skrzynki poczty głosowej %s - pobieranie przerwane",
                           currentBox.c_str());
            expectedIndex = -1;
            retryCounter = 0;
            waiting = 0;
            currentBox.clear();
        }
    } else
        retryCounter = 0;
    if (expectedIndex == -1) {
        if (fetchQueue.empty())
            return {};
        currentBox = fetchQueue.front();
        fetchQueue.pop_front();
        expectedIndex = 0;
    }
    waiting = 1;
    return "VM GET " + currentBox + " " + std::to_string(expectedIndex) + "\r";
}

int VoiceMail::ParsePbxLine(const std::string& record, int& action, std::string& box, VMmessage& message) {
    const auto tokens = CommandParserGenerator::Parse(record, '\\', ' ', std::string());
    if (tokens.size() < 4)
        return Result::WrongFieldCount;
    if (tokens[0] != "VM")
        return Result::NotMine;
    const std::string& kind = tokens[1];
    if (kind == "PUT")
        return parsePut(tokens, action, box);
    if (kind == "ADD")
        return parseAdd(tokens, action, box, message);
    if (kind == "DEL")
        return parseDel(tokens, action, box, message);
    if (kind == "UPD")
        return parseUpd(tokens, action, box, message);
    return Result::BadValue;
}

// "VM PUT box index iId date time number atr recording": one list entry.
int VoiceMail::parsePut(const std::vector<std::string>& t, int& action, std::string& box) {
    if (t.size() != 10)
        return Result::WrongFieldCount;
    std::int32_t index = 0;
    VMmessage entry;
    if (!number(t[3], index) || !number(t[4], entry.iId) || !number(t[8], entry.atr) ||
        !number(t[9], entry.recording) || t[2].empty())
        return Result::BadValue;
    if (t[2] != currentBox || index != expectedIndex)
        return Result::Handled;
    waiting = 0;
    if (entry.iId == -1) {
        expectedIndex = -1;
        action = ListComplete;
        box = currentBox;
        currentBox.clear();
        return Result::Handled;
    }
    entry.date = t[5];
    entry.time = t[6];
    entry.number = t[7];
    boxes[currentBox].push_back(std::move(entry));
    ++expectedIndex;
    return Result::Handled;
}

// "VM ADD box iId date time number flag recording": a new message.
int VoiceMail::parseAdd(const std::vector<std::string>& t, int& action, std::string& box,
                        VMmessage& message) {
    if (t.size() != 9)
        return Result::WrongFieldCount;
    VMmessage added{0, t[4], t[5], t[6], 1, 0};
    if (!count(t[3], added.iId) || !number(t[8], added.recording) || (t[7] != "1" && t[7] != "0"))
        return Result::BadValue;
    const auto found = boxes.find(t[2]);
    if (found == boxes.end())
        return Result::Handled;
    auto& list = found->second;
    const bool known = std::any_of(list.begin(), list.end(), [&](const VMmessage& m) {
        return m.iId == added.iId && m.date == added.date && m.time == added.time && m.number == added.number;
    });
    box = t[2];
    if (known) {
        EnqueueBox(box);
        action = OutOfStep;
        return Result::Handled;
    }
    if (t[7] == "1")
        list.insert(list.begin(), added);
    else if (box == currentBox)
        EnqueueBox(box);
    action = MessageAdded;
    message = added;
    return Result::Handled;
}

// "VM DEL box position iId": a message removed.
int VoiceMail::parseDel(const std::vector<std::string>& t, int& action, std::string& box,
                        VMmessage& message) {
    if (t.size() != 5)
        return Result::WrongFieldCount;
    std::int32_t position = 0, iId = 0;
    if (!count(t[3], position) || !count(t[4], iId))
        return Result::BadValue;
    const auto found = boxes.find(t[2]);
    if (found == boxes.end() || found->second.size() <= std::size_t(position))
        return Result::Handled;
    auto& list = found->second;
    box = t[2];
    if (list[std::size_t(position)].iId != iId) {
        EnqueueBox(box);
        action = OutOfStep;
        return Result::Handled;
    }
    message = list[std::size_t(position)];
    list.erase(list.begin() + position);
    action = MessageDeleted;
    return Result::Handled;
}

// "VM UPD iId atr": the attributes of a message changed.
int VoiceMail::parseUpd(const std::vector<std::string>& t, int& action, std::string& box,
                        VMmessage& message) {
    if (t.size() != 4)
        return Result::WrongFieldCount;
    std::int32_t iId = 0, atr = 0;
    if (!count(t[2], iId) || !count(t[3], atr))
        return Result::BadValue;
    for (auto& [number, list] : boxes) {
        for (VMmessage& m : list) {
            if (m.iId != iId)
                continue;
            m.atr = atr;
            box = number;
            message = m;
            action = MessageUpdated;
            return Result::Handled;
        }
    }
    return Result::Handled;
}

} // namespace pbx
