#include "db/SetAsideJournal.h"

#include "base/DiagnosticLog.h"

#include <QFile>
#include <cstdio>

namespace db {

namespace {

constexpr std::size_t RowsPerRead = 1000;
constexpr std::int64_t FarthestPlace = std::int64_t(1) << 62;

// The first place past `after` from which the rows can be read again: a
// damaged page fails every read that starts inside it, and none that starts
// past it. Found by leaps, then narrowed; none when no read past `after`
// succeeds.
std::optional<std::int64_t> readableFrom(RowJournal& aside, std::int64_t after) {
    std::vector<RowJournal::Entry> probe;
    const auto readsFrom = [&](std::int64_t place) {
        probe.clear();
        return aside.LoadAfter(place, 1, probe);
    };
    std::int64_t bad = after, good = 0;
    for (std::int64_t leap = 1; leap < FarthestPlace && good == 0; leap *= 2)
        (readsFrom(after + leap) ? good : bad) = after + leap;
    if (good == 0)
        return std::nullopt;
    while (good - bad > 1) {
        const std::int64_t middle = bad + (good - bad) / 2;
        (readsFrom(middle) ? good : bad) = middle;
    }
    return good;
}

// The keys the rows refer to (KeyOfRow), kept as the set-aside file had
// them, and the highest keys drawn in each database: a restore of one moves
// its generators past them. A file of a version that kept none has none.
bool takeKeys(RowJournal& aside, RowJournal& journal) {
    RowJournal::DrawnKeys drawn;
    if (aside.KeysDrawn(drawn) && !drawn.empty() && !journal.KeepKeysDrawn(drawn))
        return false;
    std::vector<RowJournal::Entry> keys;
    for (RowJournal::Key& key : aside.Keys()) {
        RowJournal::Entry& entry = keys.emplace_back();
        entry.token = std::move(key.token);
        entry.key = std::move(key.key);
        entry.home = std::move(key.home);
    }
    std::vector<const RowJournal::Entry*> named;
    for (const RowJournal::Entry& entry : keys)
        named.push_back(&entry);
    return named.empty() || journal.SetKeys(named, true);
}

// No text the program keeps holds a NUL: a row that does was cut short
// (a page cut off reads as zeros) and is not taken.
bool torn(const RowJournal::Entry& row) {
    for (const std::string* text : {&row.statement, &row.generatorQuery, &row.key, &row.token, &row.home,
                                    &row.unkeyed, &row.keyGenerator})
        if (text->find('\0') != std::string::npos)
            return true;
    return false;
}

// Takes the torn rows out of `rows`, each named by its place.
void leaveTorn(std::vector<RowJournal::Entry>& rows, SetAsideRows& result) {
    std::erase_if(rows, [&](const RowJournal::Entry& row) {
        if (!torn(row))
            return false;
        result.unreadable.emplace_back(row.seq, row.seq);
        return true;
    });
}

bool put(std::vector<RowJournal::Entry>& rows, RowJournal& journal) {
    std::vector<RowJournal::Entry*> entries;
    for (RowJournal::Entry& row : rows)
        entries.push_back(&row);
    return entries.empty() || journal.Append(entries);
}

SetAsideRows takeRows(RowJournal& from, const std::string& aside, RowJournal& journal) {
    SetAsideRows result;
    if (!from.OpenToRead(aside)) {
        result.error = from.LastError();
        return result;
    }
    result.read = true;
    if (!takeKeys(from, journal)) {
        result.error = journal.LastError();
        return result;
    }
    for (std::int64_t after = 0;;) {
        std::vector<RowJournal::Entry> batch;
        const bool whole = from.LoadAfter(after, RowsPerRead, batch);
        if (!whole && result.error.empty())
            result.error = from.LastError();
        // The rows read before a damaged page go in too.
        const std::size_t read = batch.size();
        if (read > 0)
            after = batch.back().seq;
        leaveTorn(batch, result);
        if (!put(batch, journal)) {
            result.error = journal.LastError();
            return result;
        }
        result.taken += batch.size();
        if (whole && read == 0)
            return result;
        if (whole)
            continue;
        const std::optional<std::int64_t> next = readableFrom(from, after);
        result.unreadable.emplace_back(after + 1, next.value_or(0));
        if (!next)
            return result;
        after = *next;
    }
}

} // namespace

SetAsideRows TakeSetAsideRows(const std::string& aside, RowJournal& journal) {
    SetAsideRows result;
    {
        RowJournal from;
        result = takeRows(from, aside, journal);
    }
    // Its reading made a -shm file beside it; the file stays as it was set aside.
    QFile::remove(QString::fromStdString(aside + "-shm"));
    return result;
}

namespace {

// "12-40, 81 and beyond"
std::string placesOf(const SetAsideRows& rows) {
    std::string places;
    for (const auto& [first, last] : rows.unreadable) {
        places += places.empty() ? "" : ", ";
        places += std::to_string(first) + (last == 0       ? std::string("+")
                                           : last == first ? ""
                                                           : "-" + std::to_string(last));
    }
    return places;
}

} // namespace

void SaySetAsideRows(const RowJournal& journal, const SetAsideRows& rows, std::optional<std::size_t> left) {
    const char* path = journal.Path().c_str();
    const char* aside = journal.SetAside().c_str();
    if (!rows.read) {
        std::fprintf(stderr, "Halvex: the rows of the set-aside row journal %s cannot be read: %s\n", aside,
                     rows.error.c_str());
        base::WriteLog(2, "Nie można odczytać zapisów z zachowanego dziennika zapisów %s: %s", aside,
                       rows.error.c_str());
        return;
    }
    std::fprintf(stderr,
                 "Halvex: %zu rows read from the set-aside row journal %s go into %s and are written\n",
                 rows.taken, aside, path);
    base::WriteLog(
        2, "Z zachowanego dziennika zapisów %s odczytano %zu zapisów: trafiają do %s i zostaną zapisane",
        aside, rows.taken, path);
    if (rows.unreadable.empty() && rows.error.empty())
        return;
    const std::string places = placesOf(rows);
    const std::string count = !left                 ? std::string("how many is not known")
                              : *left >= rows.taken ? std::to_string(*left - rows.taken) + " rows"
                                                    : std::string("none of the rows the last run left");
    const std::string countPl = !left                 ? std::string("nie wiadomo, ile zapisów")
                                : *left >= rows.taken ? std::to_string(*left - rows.taken) + " zapisów"
                                                      : std::string("żaden z zapisów poprzedniej pracy");
    std::fprintf(stderr, "Halvex: the set-aside row journal %s: not read (%s): %s; at places %s\n", aside,
                 rows.error.c_str(), count.c_str(), places.c_str());
    base::WriteLog(2, "Zachowany dziennik zapisów %s: nie odczytano (%s): %s; miejsca %s", aside,
                   rows.error.c_str(), countPl.c_str(), places.c_str());
}

} // namespace db
