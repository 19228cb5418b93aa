#include "sms/Interim_engine.h"

#include "platform/Clock.h"
#include "sms/Sms.h"

#include <map>

namespace sms::interim {

int GetLineId(const SMS& engine, int lineNumber) {
    if (!engine.v_gsmlines)
        return -1;
    for (std::size_t i = 0; i < engine.v_gsmlines->size(); ++i)
        if ((*engine.v_gsmlines)[i].iLoc == lineNumber)
            return static_cast<int>(i);
    return -1;
}

int GetLineId(const SMS& engine, const std::string& ownNumber) {
    if (!engine.v_gsmlines)
        return -1;
    for (const auto& line : *engine.v_gsmlines)
        if (line.number == ownNumber)
            return line.iLoc;
    return -1;
}

void StampSmsDateTime(SMSMSG& msg) {
    const QDateTime now = platform::processClock().dateTime();
    msg.sDate = now.toString(QStringLiteral("yyyy.MM.dd")).toStdString();
    msg.sTime = now.toString(QStringLiteral("HH:mm:ss")).toStdString();
}

void DistributeMainQueue(SMS&) {}

void PushMainQueue(SMS& engine, const SMSMSG& msg) {
    if (!engine.MainQueue.empty())
        engine.MainQueue.back() = msg;
}

} // namespace sms::interim
