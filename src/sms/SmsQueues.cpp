// The outgoing side of the engine: the main queue, one send queue per GSM
// line, the identifiers, the parts of a PDU sent one per tick, the wait for
// the exchange's acknowledgement with its retries, and the "SMS GET" poll of
// the messages stored on the lines.
#include "base/CommandParserGenerator.h"
#include "platform/Clock.h"
#include "sms/Sms.h"

#include <algorithm>

namespace {

// Ticks of the 800 ms polling timer.
constexpr std::int32_t AckWaitTicks = 150;
constexpr std::int32_t PendingAfterTicks = 13;
constexpr std::int32_t LinePauseTicks = 300;
constexpr std::int32_t PollRepeatTicks = 20;
constexpr std::int32_t PollGiveUpTicks = 80;
// Seconds a message may wait before it fails.
constexpr std::int64_t ValidityPeriodSeconds = 345600;

std::string exchangeCommand(const std::vector<std::string>& fields) {
    return CommandParserGenerator::Generate(fields, '\\', ' ', "\r");
}

// One part per 68 Base64 characters or less.
std::int32_t partCount(std::size_t length) {
    return static_cast<std::int32_t>(double(length) * 1.333 * (1.0 / 68) + 1.0);
}

} // namespace

void SMS::GetSmsRequest(std::string& text, std::int32_t& action) {
    action = sms::SMS_ACTION_NONE;
    text.clear();
    if (!v_gsmlines) {
        action = sms::SMS_ACTION_LIST_COMPLETE;
        bSmsListComplete = 1;
        return;
    }
    if (!bSmsRequestSent) {
        iSmsRequestTicks = 0;
    } else {
        ++iSmsRequestTicks;
        if (iSmsRequestTicks < 10 || iSmsRequestTicks % PollRepeatTicks != 0)
            return;
        if (iSmsRequestTicks >= PollGiveUpTicks) {
            const bool known = iSmsRequestIdx >= 0 && std::size_t(iSmsRequestIdx) < v_gsmlines->size();
            SmsLog("SMS: Brak odpowiedzi centrali przy pobieraniu wiadomości z linii %s",
                   known ? (*v_gsmlines)[iSmsRequestIdx].number.c_str() : "");
            iSmsRequestTicks = 0;
            ++iSmsRequestIdx;
        }
    }
    if (iSmsRequestIdx < 0 || std::size_t(iSmsRequestIdx) >= v_gsmlines->size()) {
        action = sms::SMS_ACTION_LIST_COMPLETE;
        bSmsListComplete = 1;
        return;
    }
    bSmsRequestSent = 1;
    text = "SMS GET " + exchangeCommand({std::to_string((*v_gsmlines)[iSmsRequestIdx].iLoc)});
}

void SMS::ResetSmsPoll(const std::vector<S_GSMLINE>* lines) {
    v_gsmlines = lines;
    iSmsRequestTicks = 0;
    bSmsListComplete = 0;
    iSmsRequestIdx = 0;
}

std::string SMS::SendStep(std::string line, SMSQUEUEDATA& data, SMSMSG& message, std::int32_t& action) {
    action = sms::SMS_ACTION_NONE;
    auto& queue = LineQueues[line];
    if (data.iTempNotUsed != 0) {
        if (--data.iTempNotUsed == 0)
            SmsLog("iTempNotUsed dla %s - koniec", line.c_str());
        return {};
    }
    if (data.iWaitingForAck != 0) {
        --data.iWaitingForAck;
        if (data.iWaitingForAck == 0) {
            SmsLog("SMS: Brak odpowiedzi centrali przy wysyłaniu wiadomości %s", line.c_str());
            data = SMSQUEUEDATA{};
            data.iTempNotUsed = LinePauseTicks;
            if (queue.empty())
                return {};
            message = queue.front();
            queue.pop_front();
            // The row already says "in progress" from the 14th tick on, or
            // from the client's request: the time-out only retries or fails.
            if (message.nState != sms::SMS_STATE_IN_PROGRESS) {
                message.nState = sms::SMS_STATE_IN_PROGRESS;
                StampSmsDateTime(message);
            }
            action = sms::SMS_ACTION_SND_RETRY;
            ++message.nTrials;
            if (!OutTrialsNoLimit && message.nTrials >= OutTrials) {
                SmsLog("Wyczerpany limit prób wysłania wiadomości sms");
                action = sms::SMS_ACTION_SND_FAILED;
            } else {
                MainQueue.push_front(message);
            }
        } else if (AckWaitTicks - data.iWaitingForAck > PendingAfterTicks && !queue.empty()) {
            message = queue.front();
            if (message.nState != sms::SMS_STATE_IN_PROGRESS) {
                message.nState = sms::SMS_STATE_IN_PROGRESS;
                StampSmsDateTime(message);
                action = sms::SMS_ACTION_SND_PENDING;
            }
        }
        return {};
    }
    if (queue.empty())
        return {};
    message = queue.front();
    const auto length = static_cast<std::int32_t>(message.sPdu.size());
    const std::int32_t parts = partCount(message.sPdu.size());
    std::int32_t chunk = 0;
    std::int32_t partNumber = 0;
    data.iLastPduByte = std::clamp(data.iLastPduByte, 0, length);
    if (data.iSentPart == 0) {
        message.idWiad = Generate_nId(line);
        if (message.idWiad == -1) {
            SmsLog("dla GSM %s zabrakło identyfikatorów", line.c_str());
            return {};
        }
        queue.front() = message;
        if (message.tNotBefore >= platform::processEpochSeconds())
            return {};
        // An offset left by a message cut short (its error answered between
        // parts) belongs to no one: a first part starts at the first octet.
        data.iLastPduByte = 0;
        data.iSentPart = partNumber = 1;
        chunk = std::min(length / parts, length - data.iLastPduByte);
    } else {
        partNumber = ++data.iSentPart;
        chunk = partNumber >= parts ? length - data.iLastPduByte
                                    : std::min(length / parts, length - data.iLastPduByte);
    }
    const std::string octets = message.sPdu.substr(std::size_t(data.iLastPduByte), std::size_t(chunk));
    data.iLastPduByte += chunk;
    SmsLog(partNumber == 1 ? "-SMS SND %s\n" : "part: SMS SND %s\n", octets.c_str());
    const std::string frame =
        "SMS SND " +
        exchangeCommand({std::to_string(message.iNrLinii), std::to_string(message.idWiad),
                         std::to_string(partNumber), std::to_string(parts), sms::Base64Encode(octets)});
    if (partNumber >= parts) {
        data.iWaitingForAck = AckWaitTicks;
        data.iSentPart = 0;
        data.iLastPduByte = 0;
    } else {
        data.iWaitingForAck = 0;
    }
    return frame;
}

void SMS::failMessage(SMSMSG& message) {
    if (!StatusCallback_)
        return;
    if (message.nId >= 0) {
        StatusCallback_->ChgSmsStatus(message, sms::SMS_STATE_FAILED);
    } else {
        StampSmsDateTime(message);
        StatusCallback_->HandleSmsSendError(message);
    }
}

void SMS::DistributeMainQueue() {
    if (MainQueue.empty())
        return;
    const std::int32_t lineCount = v_gsmlines ? static_cast<std::int32_t>(v_gsmlines->size()) : 0;
    if (iRoundRobinIdx < 0 || iRoundRobinIdx >= lineCount)
        iRoundRobinIdx = 0;
    std::int32_t probes = -1;
    while (!MainQueue.empty()) {
        SMSMSG& front = MainQueue.front();
        if (platform::processEpochSeconds() - front.tCreated > ValidityPeriodSeconds) {
            SmsLog("SMS SMS_VALIDITY_PERIOD Error\n");
            SMSMSG expired = front;
            MainQueue.pop_front();
            failMessage(expired);
            continue;
        }
        if (!front.sLine.empty()) {
            const auto queue = LineQueues.find(front.sLine);
            SMSMSG named = front;
            MainQueue.pop_front();
            if (queue != LineQueues.end()) {
                queue->second.push_back(named);
            } else {
                failMessage(named);
                SmsLog("status ERROR dla wiadomości z kolejki %s (bo nie ma takiej LM GSM)",
                       named.sLine.c_str());
            }
            continue;
        }
        const std::int32_t start = iRoundRobinIdx;
        while (++probes < lineCount) {
            const std::string& name = (*v_gsmlines)[iRoundRobinIdx].number;
            iRoundRobinIdx = iRoundRobinIdx + 1 >= lineCount ? 0 : iRoundRobinIdx + 1;
            const auto queue = LineQueues.find(name);
            const auto data = SmsQueueData.find(name);
            const bool free = (queue == LineQueues.end() || queue->second.empty()) &&
                              (data == SmsQueueData.end() || data->second.iTempNotUsed == 0);
            if (free) {
                front.iNrLinii = GetLineId(name);
                LineQueues[name].push_back(front);
                MainQueue.pop_front();
                break;
            }
        }
        if (iRoundRobinIdx == start)
            return;
    }
}

void SMS::PushMainQueue(SMSMSG message) {
    if (!MainQueue.empty())
        MainQueue.back() = std::move(message);
}

void SMS::ReplaceLineQueueHead(std::string line, SMSMSG message) {
    const auto queue = LineQueues.find(line);
    if (queue != LineQueues.end() && !queue->second.empty())
        queue->second.front() = std::move(message);
}

void SMS::InitSmsQueueData(const std::string& line) {
    SmsQueueData[line] = SMSQUEUEDATA{};
    SmsLog("Init SmsQueueData[%s]", line.c_str());
    DistributeMainQueue();
}

void SMS::SyncLineQueues(const std::vector<S_GSMLINE>& lines) {
    const auto listed = [&lines](const std::string& name) {
        return std::any_of(lines.begin(), lines.end(),
                           [&name](const S_GSMLINE& l) { return l.number == name; });
    };
    for (auto queue = LineQueues.begin(); queue != LineQueues.end();) {
        if (listed(queue->first)) {
            ++queue;
            continue;
        }
        while (!queue->second.empty()) {
            SMSMSG head = queue->second.front();
            queue->second.pop_front();
            failMessage(head);
            SmsLog("status ERROR dla wiadomości z kolejki %s", queue->first.c_str());
        }
        // A line that is gone keeps no send state to resume with.
        SmsQueueData.erase(queue->first);
        queue = LineQueues.erase(queue);
    }
    for (const auto& line : lines)
        LineQueues.try_emplace(line.number);
}

void SMS::ClearQueues() {
    MainQueue.clear();
    while (!LineQueues.empty()) {
        const std::string line = LineQueues.begin()->first;
        InitSmsQueueData(line);
        LineQueues.erase(line);
    }
}

std::int32_t SMS::GetLineId(const std::string& line) const {
    if (!v_gsmlines)
        return -1;
    for (const auto& entry : *v_gsmlines)
        if (entry.number == line)
            return entry.iLoc;
    return -1;
}

std::int32_t SMS::GetLineId(std::int32_t iLoc) const {
    if (!v_gsmlines)
        return -1;
    for (std::size_t i = 0; i < v_gsmlines->size(); ++i)
        if ((*v_gsmlines)[i].iLoc == iLoc)
            return static_cast<std::int32_t>(i);
    return -1;
}

void SMS::StampSmsDateTime(SMSMSG& message) {
    const QDateTime now = platform::processClock().dateTime();
    message.sDate = now.toString(QStringLiteral("yyyy.MM.dd")).toStdString();
    message.sTime = now.toString(QStringLiteral("HH:mm:ss")).toStdString();
}

std::int32_t SMS::Generate_nId(const std::string& line) {
    for (int tries = 0; tries < sms::MAX_MSG_ID - sms::MIN_MSG_ID + 1; ++tries) {
        if (++iLastMsgId > sms::MAX_MSG_ID)
            iLastMsgId = sms::MIN_MSG_ID;
        if (!IsIdUsed(line, iLastMsgId))
            return iLastMsgId;
    }
    SmsLog("Generate_nId error");
    return -1;
}

bool SMS::IsIdUsed(const std::string&, std::int32_t id) const {
    for (const auto& [name, queue] : LineQueues)
        if (!queue.empty() && queue.front().idWiad == id) {
            SmsLog("IsIdUsed - true ! %d", id);
            return true;
        }
    return false;
}

void SMS::SetDynamicRouting(std::uint8_t on, std::int32_t validitySeconds) {
    if (!on)
        DynamicRouter.Clear();
    bDynamicRouting = on ? 1 : 0;
    DynamicRouter.SetValidity(validitySeconds);
}

namespace {

// The dumps write whatever the log switch says, and leave it as it was.
class LogForced {
  public:
    explicit LogForced(SMS& engine) : engine_(engine), was_(engine.bLogEnabled) { engine.bLogEnabled = true; }
    ~LogForced() { engine_.bLogEnabled = was_; }
    LogForced(const LogForced&) = delete;
    LogForced& operator=(const LogForced&) = delete;

  private:
    SMS& engine_;
    bool was_;
};

} // namespace

// The key names the row from here on (none when -1): the token no longer.
void SMS::ReplaceRowKey(std::int32_t from, std::int32_t to) {
    const auto replace = [&](auto& named) {
        if (named.nId != from)
            return false;
        named.nId = to;
        named.rowToken.clear();
        return true;
    };
    for (SMSMSG& msg : MainQueue)
        replace(msg);
    for (auto& [line, queue] : LineQueues)
        for (SMSMSG& msg : queue)
            replace(msg);
    for (auto& [line, reports] : ExpectedReports) {
        bool changed = false;
        for (SMS_RAPORT& report : reports)
            changed = replace(report) || changed;
        if (changed)
            reportsChanged(line);
    }
}

void SMS::DumpSendQueues() {
    const LogForced forced(*this);
    SmsLog("Kolejka główna (wejściowa) dla wysyłanych SMS: wiadomości %d", MainQueueSize());
    SmsLog("SmsQueueData: size %d", static_cast<int>(SmsQueueData.size()));
    for (const auto& [line, data] : SmsQueueData) {
        SmsLog("GSM:%s ", line.c_str());
        SmsLog("       iWaitingForAck:%d ", data.iWaitingForAck);
        SmsLog("       iSentPart:%d ", data.iSentPart);
        SmsLog("       iLastPduByte:%d ", data.iLastPduByte);
        SmsLog("       iTempNotUsed:%d", data.iTempNotUsed);
    }
    if (LineQueues.empty())
        SmsLog("Lista kolejek/liniii GSM jest pusta");
    else
        SmsLog("Zawartość %d kolejek (wyjściowych) wysyłanych wiadomości SMS do centrali.", LineQueueCount());
    for (const auto& [line, queue] : LineQueues) {
        SmsLog("Kolejka wysyłki dla linii %s:", line.c_str());
        if (queue.empty())
            SmsLog("    - pusta -");
        for (const auto& m : queue) {
            if (UserNameCallback_)
                SmsLog("    Nadawca: [%s], data: %s, czas: %s, cel: %s, linia: %s",
                       (*UserNameCallback_)(std::to_string(m.nUserId)).c_str(), m.sDate.c_str(),
                       m.sTime.c_str(), m.sNumber.c_str(), m.sLine.c_str());
            else
                SmsLog("    ID nadawcy: %d, data: %s, czas: %s, cel: %s, linia: %s", m.nUserId,
                       m.sDate.c_str(), m.sTime.c_str(), m.sNumber.c_str(), m.sLine.c_str());
        }
    }
    SmsLog("Oczekiwane raporty (%d LM GSM):", static_cast<int>(ExpectedReports.size()));
    for (const auto& [module, reports] : ExpectedReports) {
        SmsLog("LM %d iIdR:", module);
        for (const auto& report : reports)
            SmsLog("           %d", report.iIdR);
    }
}

void SMS::DumpDynamicRoutes() {
    const LogForced forced(*this);
    const std::string stars(52, '*');
    SmsLog("%s", stars.c_str());
    SmsLog("Aktywne dynamiczne trasy zwrotne dla wiadomości SMS.");
    bool any = false;
    for (const auto& [key, route] : DynamicRouter.Routes()) {
        if (route.userId == 0 || DynamicRouter.IsExpired(route.stamp))
            continue;
        any = true;
        if (UserNameCallback_)
            SmsLog("    Użytkownik: [%s], timestamp: %d, numerGSM: %s, linia: %s",
                   (*UserNameCallback_)(std::to_string(route.userId)).c_str(), static_cast<int>(route.stamp),
                   key.number.c_str(), key.line.c_str());
        else
            SmsLog("    Użytkownik: %d, timestamp: %d, numer GSM: %s, linia: %s", route.userId,
                   static_cast<int>(route.stamp), key.number.c_str(), key.line.c_str());
    }
    if (!any)
        SmsLog("Lista jest pusta.");
    SmsLog("%s", stars.c_str());
}
