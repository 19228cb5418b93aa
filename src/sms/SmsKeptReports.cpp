// The expected delivery reports kept across a stop and a crash: every change
// goes into their file beside the row journal (ExpectedReportKeeper), and a
// start takes them back.
#include "base/DiagnosticLog.h"
#include "db/MainDatabase.h"
#include "sms/SmsGateway.h"

#include <algorithm>
#include <iterator>

namespace sms {

void SmsGateway::KeepExpectedReports(const std::string& path) {
    reportKeeper_.Start(path, [this, path](std::size_t count) {
        if (count > 0)
            base::WriteLog(2, "Oczekiwane raporty SMS z poprzedniej pracy: %zu (%s)", count, path.c_str());
        SmsEngine.DropExpiredReports();
        holdReportedRowKeys();
    });
}

void SmsGateway::holdReportedRowKeys() {
    auto* database = db::MainDatabase::Current();
    if (!database)
        return;
    std::set<std::string> named;
    for (const auto& [line, reports] : SmsEngine.ExpectedReports)
        for (const SMS_RAPORT& report : reports)
            if (report.nId < 0 && !report.rowToken.empty())
                named.insert(report.rowToken);
    std::vector<std::string> held, released;
    std::set_difference(named.begin(), named.end(), heldRowKeys_.begin(), heldRowKeys_.end(),
                        std::back_inserter(held));
    std::set_difference(heldRowKeys_.begin(), heldRowKeys_.end(), named.begin(), named.end(),
                        std::back_inserter(released));
    if (!held.empty())
        database->Road().HoldKeys(held);
    if (!released.empty())
        database->Road().ReleaseKeys(released);
    heldRowKeys_ = std::move(named);
}

} // namespace sms
