// The expected delivery reports, kept in a file of their own beside the row
// journal, so that a report that comes after a stop or a crash still finds
// its message. SQLite through Qt's QSQLITE driver; the file is its owner's
// alone (it holds numbers). GUI thread only.
#pragma once

#include "sms/SmsRecords.h"

#include <cstdint>
#include <list>
#include <map>
#include <string>

namespace sms {

class ExpectedReportStore {
  public:
    using Reports = std::map<std::int32_t, std::list<SMS_RAPORT>>;

    ExpectedReportStore();
    ~ExpectedReportStore();
    ExpectedReportStore(const ExpectedReportStore&) = delete;
    ExpectedReportStore& operator=(const ExpectedReportStore&) = delete;

    // Opens (or makes) the file, owner-only; false with the reason.
    bool Open(const std::string& path);
    bool IsOpen() const { return open_; }
    const std::string& LastError() const { return lastError_; }
    const std::string& Path() const { return path_; }

    // The reports kept, by line number, each line's in its order; false
    // when they could not be read.
    bool Load(Reports& reports);
    // The line's reports become `reports`, in one transaction. A row key
    // below 0 is kept as -1: only the row's token names it then.
    bool Keep(std::int32_t lineNumber, const std::list<SMS_RAPORT>& reports);

  private:
    bool fail(const std::string& what);

    std::string connection_;
    std::string path_;
    std::string lastError_;
    bool open_ = false;
};

} // namespace sms
