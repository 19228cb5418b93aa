// Keeps the engine's expected delivery reports in their file as they change,
// under the row journal's rules: a write or an open that fails for a reason
// that can pass (full, I/O, busy, cannot open) leaves the reports in memory
// and is tried again every few seconds and at the stop; a file SQLite calls
// damaged is set aside, said with what could not be read, and a new one
// takes every report that could. A stop leaves beside it how many reports
// it holds, so that the next start names any it lacks. GUI thread only.
#pragma once

#include "sms/ExpectedReportStore.h"
#include "sms/Sms.h"

#include <QTimer>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace sms {

class ExpectedReportKeeper : public cCallbackExpectedReports {
  public:
    // How often a file that could not be opened or written is tried again.
    static constexpr int RetrySeconds = 3;
    // Told how many reports of the file went to the engine.
    using TakeKept = std::function<void(std::size_t taken)>;

    explicit ExpectedReportKeeper(SMS& engine);
    ~ExpectedReportKeeper() override;

    // Takes the file's reports into the engine (`takeKept` told, also when
    // the file only opens later) and keeps every change in it from here on.
    void Start(const std::string& path, TakeKept takeKept);

    void ReportsChanged(std::int32_t lineNumber, const std::list<SMS_RAPORT>& reports) override;
    std::string DatabaseOfNewReports() override;

  private:
    // One program at a time: a lock beside the file, which names its holder.
    bool hold();
    std::string failure() const;
    bool open();
    void take(ExpectedReportStore::Reports& read);
    void setAside(const ExpectedReportStore::Reports& read, std::optional<std::size_t> claimed);
    void sayShort(std::size_t read, bool existed);
    bool keep(std::int32_t lineNumber);
    void keepAll();
    void retry();
    void retryLater();
    void sayUnwrittenAtStop();

    SMS& engine_;
    ExpectedReportStore store_;
    std::string path_;
    TakeKept takeKept_;
    // What the last run's stop said it left in the file.
    std::optional<std::size_t> left_;
    // Lines whose reports the file does not hold as they are.
    std::set<std::int32_t> unwritten_;
    // Of those, the lines whose failure to be written was said.
    std::set<std::int32_t> failureSaid_;
    QTimer retryTimer_;
    int lock_ = -1;
    std::string lockError_;
};

} // namespace sms
