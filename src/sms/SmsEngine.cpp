// The engine's own bookkeeping: its log and the senders of expected reports.
#include "sms/Sms.h"

#include "platform/Clock.h"

#include <cstdarg>
#include <cstdio>

void SMS::SmsLog(const char* format, ...) const {
    if (!LogCallback_ || !bLogEnabled)
        return;
    char text[500];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    (*LogCallback_)(text);
}

void SMS::SetSrcId(std::int32_t lineNumber, std::int32_t nId, std::int32_t userId) {
    std::list<SMS_RAPORT>& reports = ExpectedReports[lineNumber];
    bool found = false;
    SMS_RAPORT kept;
    for (auto it = reports.begin(); it != reports.end();) {
        if (it->nId != nId) {
            ++it;
            continue;
        }
        if (!found) {
            kept = *it;
            kept.iSrcId = userId;
            found = true;
        } else {
            SmsLog("SetSrcId() nieoczekiwany nId=%d", nId);
            SmsLog("                  dla iNrLinii=%d", lineNumber);
        }
        it = reports.erase(it);
    }
    if (found) {
        reports.push_back(kept);
        reportsChanged(lineNumber);
    } else {
        SmsLog("SetSrcId() nie znaleziono nId=%d", nId);
    }
}

void SMS::reportsChanged(std::int32_t lineNumber) {
    if (ReportsCallback_)
        ReportsCallback_->ReportsChanged(lineNumber, ExpectedReports[lineNumber]);
}

void SMS::DropExpiredReports() {
    const std::int64_t now = platform::processClock().dateTime().toSecsSinceEpoch();
    for (auto& [line, reports] : ExpectedReports) {
        const auto expired = [now](const SMS_RAPORT& report) {
            return now - report.tCreated > sms::ExpectedReportLifetimeSeconds;
        };
        if (std::erase_if(reports, expired) > 0)
            reportsChanged(line);
    }
}

bool SMS::PollNextLine() {
    bSmsRequestSent = 0;
    iSmsRequestTicks = 0;
    const std::size_t lines = v_gsmlines ? v_gsmlines->size() : 0;
    if (iSmsRequestIdx >= 0 && static_cast<std::size_t>(iSmsRequestIdx) + 1 < lines) {
        ++iSmsRequestIdx;
        return false;
    }
    bSmsListComplete = 1;
    return true;
}
