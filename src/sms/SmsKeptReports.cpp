// The expected delivery reports kept across a stop and a crash: every change
// goes into their file beside the row journal, and a start takes them back.
#include "base/DiagnosticLog.h"
#include "db/MainDatabase.h"
#include "sms/SmsGateway.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace sms {

void SmsGateway::KeepExpectedReports(const std::string& path) {
    ExpectedReportStore& store = reportKeeper_.store;
    ExpectedReportStore::Reports kept;
    if (!store.Open(path) || !store.Load(kept)) {
        std::fprintf(stderr,
                     "Halvex: cannot open the file of expected SMS delivery reports %s: %s; they are kept "
                     "in memory only\n",
                     path.c_str(), store.LastError().c_str());
        base::WriteLog(2, "Nie można otworzyć pliku oczekiwanych raportów SMS %s: %s", path.c_str(),
                       store.LastError().c_str());
        return;
    }
    SmsEngine.SetExpectedReportsCallback(&reportKeeper_);
    std::size_t count = 0;
    for (auto& [line, reports] : kept) {
        count += reports.size();
        SmsEngine.ExpectedReports[line].splice(SmsEngine.ExpectedReports[line].end(), reports);
    }
    if (count > 0)
        base::WriteLog(2, "Oczekiwane raporty SMS z poprzedniej pracy: %zu (%s)", count, path.c_str());
    SmsEngine.DropExpiredReports();
    holdReportedRowKeys();
}

void SmsGateway::ReportKeeper::ReportsChanged(std::int32_t lineNumber, const std::list<SMS_RAPORT>& reports) {
    if (!store.Keep(lineNumber, reports))
        base::WriteLog(2, "Nie można zapisać oczekiwanych raportów SMS linii %d w %s: %s", lineNumber,
                       store.Path().c_str(), store.LastError().c_str());
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
