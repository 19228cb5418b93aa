// The expected delivery reports, kept in a file of their own beside the row
// journal, so that a report that comes after a stop or a crash still finds
// its message. It follows the journal's rules: SQLite in WAL mode with every
// transaction synced, every write checked, and only SQLite's own verdict of
// damage (corrupt, not a database) counts as damage; any other failure
// (full, I/O, busy, cannot open) passes, and its owner tries again. SQLite
// through Qt's QSQLITE driver; the file is its owner's alone (it holds
// numbers). GUI thread only.
#pragma once

#include "sms/SmsRecords.h"

#include <cstdint>
#include <list>
#include <map>
#include <optional>
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
    void Close();
    bool IsOpen() const { return open_; }
    const std::string& LastError() const { return lastError_; }
    const std::string& Path() const { return path_; }
    // The last failure was SQLite's verdict that the file is damaged.
    bool Damaged() const { return damaged_; }

    // The reports kept, by line number, each line's in its order; false
    // when they could not all be read. Damaged, `reports` holds every one
    // that could be read, and `claimed` how many the file says it holds
    // when it still says so.
    bool Load(Reports& reports, std::optional<std::size_t>& claimed);
    bool Load(Reports& reports);
    // The line's reports become `reports`, in one transaction. A row key
    // below 0 is kept as -1: only the row's token names it then.
    bool Keep(std::int32_t lineNumber, const std::list<SMS_RAPORT>& reports);

    // Closes the file and moves it aside under a dated name, its -wal file
    // with it; the name, or "" when it could not be moved.
    std::string SetAside();

  private:
    bool fail(const std::string& what, const std::string& code = {});
    bool run(const char* statement);
    bool addDatabaseColumn();
    bool readAll(Reports& reports);

    std::string connection_;
    std::string path_;
    std::string lastError_;
    bool open_ = false;
    bool damaged_ = false;
};

} // namespace sms
