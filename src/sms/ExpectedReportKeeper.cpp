#include "sms/ExpectedReportKeeper.h"

#include "base/DiagnosticLog.h"
#include "db/MainDatabase.h"

#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace sms {

namespace {

std::size_t countOf(const ExpectedReportStore::Reports& reports) {
    std::size_t count = 0;
    for (const auto& [line, kept] : reports)
        count += kept.size();
    return count;
}

// The line a stop leaves beside the file: how many reports it holds.
std::string leftPath(const std::string& path) {
    return path + ".left";
}

// What the last run's stop said it left, if it said; the line goes, so that
// a run that ends without a stop leaves none.
std::optional<std::size_t> takeLeft(const std::string& path) {
    std::FILE* file = std::fopen(leftPath(path).c_str(), "re");
    if (!file)
        return std::nullopt;
    unsigned long long count = 0;
    const bool read = std::fscanf(file, "%llu", &count) == 1;
    std::fclose(file);
    std::remove(leftPath(path).c_str());
    return read ? std::optional<std::size_t>(count) : std::nullopt;
}

bool writeLeft(const std::string& path, std::size_t count) {
    std::FILE* file = std::fopen(leftPath(path).c_str(), "we");
    const bool written = file && std::fprintf(file, "%zu\n", count) > 0 && std::fflush(file) == 0 &&
                         ::fsync(::fileno(file)) == 0;
    if (file)
        std::fclose(file);
    return written;
}

} // namespace

ExpectedReportKeeper::ExpectedReportKeeper(SMS& engine) : engine_(engine) {
    retryTimer_.setInterval(RetrySeconds * 1000);
    retryTimer_.callOnTimeout([this] { retry(); });
}

ExpectedReportKeeper::~ExpectedReportKeeper() {
    if (path_.empty())
        return;
    retryTimer_.stop();
    engine_.SetExpectedReportsCallback(nullptr);
    // Those who are told are gone, or going.
    takeKept_ = nullptr;
    retry();
    const bool kept = store_.IsOpen() && unwritten_.empty();
    store_.Close();
    if (lock_ >= 0)
        ::close(lock_);
    if (kept) {
        if (!writeLeft(path_, countOf(engine_.ExpectedReports)))
            base::DiagnosticLog::instance().WriteWhileClosing(2, "Nie można zapisać pliku %s",
                                                              leftPath(path_).c_str());
        return;
    }
    sayUnwrittenAtStop();
}

std::string ExpectedReportKeeper::failure() const {
    return lock_ < 0 ? lockError_ : store_.LastError();
}

void ExpectedReportKeeper::Start(const std::string& path, TakeKept takeKept) {
    path_ = path;
    takeKept_ = std::move(takeKept);
    left_ = takeLeft(path);
    engine_.SetExpectedReportsCallback(this);
    if (open()) {
        if (!unwritten_.empty())
            retryLater();
        return;
    }
    std::fprintf(stderr,
                 "Halvex: cannot open the file of expected SMS delivery reports %s: %s; they are kept in "
                 "memory, and it is tried again every %d seconds\n",
                 path.c_str(), failure().c_str(), RetrySeconds);
    base::WriteLog(2,
                   "Nie można otworzyć pliku oczekiwanych raportów SMS %s: %s; raporty są w pamięci, plik "
                   "jest otwierany ponownie co %d s",
                   path.c_str(), failure().c_str(), RetrySeconds);
    retryLater();
}

// A running round is not put off: changes may come more often than it.
void ExpectedReportKeeper::retryLater() {
    if (!retryTimer_.isActive())
        retryTimer_.start();
}

// One program at a time: a lock beside the file, which names its holder.
bool ExpectedReportKeeper::hold() {
    if (lock_ >= 0)
        return true;
    lock_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ < 0)
        return lockError_ = std::strerror(errno), false;
    if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        char holder[32] = {};
        const ssize_t got = ::pread(lock_, holder, sizeof holder - 1, 0);
        ::close(std::exchange(lock_, -1));
        lockError_ = "held by another program (pid " +
                     (got > 0 ? std::string(holder, std::size_t(got)) : std::string("unknown")) + ")";
        return false;
    }
    const std::string pid = std::to_string(::getpid());
    // Held all the same: only the name of the holder is missing.
    if (::ftruncate(lock_, 0) != 0 || ::pwrite(lock_, pid.data(), pid.size(), 0) < 0)
        base::WriteLog(2, "Nie można zapisać pliku blokady %s.lock", path_.c_str());
    return true;
}

// Opens the file and takes what it holds; a damaged one is set aside and a
// new one takes every report that could be read. False when it cannot be
// opened now.
bool ExpectedReportKeeper::open() {
    if (!hold())
        return false;
    const QFileInfo file(QString::fromStdString(path_));
    const bool existed = file.exists() && file.size() > 0;
    ExpectedReportStore::Reports read;
    std::optional<std::size_t> claimed;
    if (store_.Open(path_) && !store_.Load(read, claimed) && !store_.Damaged()) {
        store_.Close();
        return false;
    }
    if (store_.Damaged()) {
        setAside(read, claimed);
        if (!store_.Open(path_)) {
            take(read);
            return false;
        }
    } else if (!store_.IsOpen()) {
        return false;
    } else if (left_ && countOf(read) < *left_) {
        sayShort(countOf(read), existed);
    }
    left_.reset();
    take(read);
    keepAll();
    return true;
}

// The file's reports go before those expected since it was opened; one the
// engine has under the same reference is newer.
void ExpectedReportKeeper::take(ExpectedReportStore::Reports& read) {
    std::size_t taken = 0;
    for (auto& [line, reports] : read) {
        std::list<SMS_RAPORT>& expected = engine_.ExpectedReports[line];
        std::erase_if(reports, [&](const SMS_RAPORT& report) {
            return std::any_of(expected.begin(), expected.end(),
                               [&](const SMS_RAPORT& newer) { return newer.iIdR == report.iIdR; });
        });
        taken += reports.size();
        expected.splice(expected.begin(), reports);
    }
    if (takeKept_)
        takeKept_(taken);
}

void ExpectedReportKeeper::setAside(const ExpectedReportStore::Reports& read,
                                    std::optional<std::size_t> claimed) {
    const std::string reason = store_.LastError();
    const std::string aside = store_.SetAside();
    const std::size_t count = countOf(read);
    if (!claimed || *claimed < count)
        claimed = left_;
    const std::string lost = claimed && *claimed >= count
                                 ? std::to_string(*claimed - count) + " could not be read"
                                 : std::string("how many could not be read is not known");
    const std::string lostPl = claimed && *claimed >= count
                                   ? std::to_string(*claimed - count) + " nie dało się odczytać"
                                   : std::string("nie wiadomo, ilu nie dało się odczytać");
    left_.reset();
    if (aside.empty()) {
        std::fprintf(stderr,
                     "Halvex: the file of expected SMS delivery reports %s is damaged (%s) and cannot be "
                     "moved aside; %zu reports read, %s\n",
                     path_.c_str(), reason.c_str(), count, lost.c_str());
        base::WriteLog(2,
                       "Plik oczekiwanych raportów SMS %s jest uszkodzony (%s) i nie można go przenieść; "
                       "odczytano %zu raportów, %s",
                       path_.c_str(), reason.c_str(), count, lostPl.c_str());
        return;
    }
    std::fprintf(
        stderr,
        "Halvex: the file of expected SMS delivery reports %s is damaged (%s): kept as %s, a new one "
        "is started; %zu reports read, %s\n",
        path_.c_str(), reason.c_str(), aside.c_str(), count, lost.c_str());
    base::WriteLog(
        2,
        "Plik oczekiwanych raportów SMS %s jest uszkodzony (%s): zachowany jako %s, założono nowy; "
        "odczytano %zu raportów, %s",
        path_.c_str(), reason.c_str(), aside.c_str(), count, lostPl.c_str());
}

void ExpectedReportKeeper::sayShort(std::size_t read, bool existed) {
    if (!existed) {
        std::fprintf(stderr,
                     "Halvex: the file of expected SMS delivery reports %s is missing, but the last run left "
                     "%zu reports in it\n",
                     path_.c_str(), *left_);
        base::WriteLog(2, "Brak pliku oczekiwanych raportów SMS %s, a poprzednia praca zostawiła w nim %zu",
                       path_.c_str(), *left_);
        return;
    }
    std::fprintf(stderr,
                 "Halvex: the file of expected SMS delivery reports %s holds %zu reports, but the last run "
                 "left %zu in it\n",
                 path_.c_str(), read, *left_);
    base::WriteLog(2,
                   "Plik oczekiwanych raportów SMS %s: raportów %zu, a poprzednia praca zostawiła w nim %zu",
                   path_.c_str(), read, *left_);
}

void ExpectedReportKeeper::ReportsChanged(std::int32_t lineNumber, const std::list<SMS_RAPORT>&) {
    unwritten_.insert(lineNumber);
    if (store_.IsOpen())
        keep(lineNumber);
    if (!unwritten_.empty())
        retryLater();
}

std::string ExpectedReportKeeper::DatabaseOfNewReports() {
    db::MainDatabase* database = db::MainDatabase::Current();
    return database ? database->Road().HomeOfNewRows() : std::string();
}

// True when the file holds the line's reports as they are now.
bool ExpectedReportKeeper::keep(std::int32_t lineNumber) {
    if (store_.Keep(lineNumber, engine_.ExpectedReports[lineNumber])) {
        unwritten_.erase(lineNumber);
        if (failureSaid_.erase(lineNumber) > 0)
            base::WriteLog(2, "Oczekiwane raporty SMS linii %d zapisane w %s", lineNumber, path_.c_str());
        return true;
    }
    if (failureSaid_.insert(lineNumber).second)
        base::WriteLog(2, "Nie można zapisać oczekiwanych raportów SMS linii %d w %s: %s", lineNumber,
                       path_.c_str(), store_.LastError().c_str());
    if (store_.Damaged()) {
        // Every report is in memory: the new file takes them all.
        const std::string reason = store_.LastError();
        const std::string aside = store_.SetAside();
        std::fprintf(
            stderr,
            "Halvex: the file of expected SMS delivery reports %s is damaged (%s): kept as %s; a new "
            "one takes the reports expected now\n",
            path_.c_str(), reason.c_str(), aside.empty() ? "it was" : aside.c_str());
        base::WriteLog(2,
                       "Plik oczekiwanych raportów SMS %s jest uszkodzony (%s): zachowany jako %s; nowy "
                       "przyjmie raporty oczekiwane teraz",
                       path_.c_str(), reason.c_str(), aside.empty() ? "był" : aside.c_str());
    }
    return false;
}

void ExpectedReportKeeper::keepAll() {
    for (const auto& [line, reports] : engine_.ExpectedReports)
        unwritten_.insert(line);
    const std::set<std::int32_t> lines = unwritten_;
    for (std::int32_t line : lines)
        if (!keep(line))
            break;
}

void ExpectedReportKeeper::retry() {
    if (!store_.IsOpen()) {
        if (!open())
            return;
        base::WriteLog(2, "Plik oczekiwanych raportów SMS %s otwarty", path_.c_str());
        std::fprintf(stderr, "Halvex: the file of expected SMS delivery reports %s is open\n", path_.c_str());
    } else {
        keepAll();
    }
    if (store_.IsOpen() && unwritten_.empty())
        retryTimer_.stop();
}

void ExpectedReportKeeper::sayUnwrittenAtStop() {
    std::size_t count = 0;
    for (std::int32_t line : unwritten_)
        count += engine_.ExpectedReports[line].size();
    if (!store_.IsOpen())
        count = countOf(engine_.ExpectedReports);
    std::fprintf(stderr, "Halvex: %zu expected SMS delivery reports could not be written to %s: %s\n", count,
                 path_.c_str(), failure().c_str());
    base::DiagnosticLog::instance().WriteWhileClosing(
        2, "Nie zapisano %zu oczekiwanych raportów SMS w %s: %s", count, path_.c_str(), failure().c_str());
}

} // namespace sms
