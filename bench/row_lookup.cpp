// The lookup after a commit that got no answer, on a long call history: 100
// call-history inserts as the exchange's call ends make them, 50 of them
// written, are looked up on a database of the Firebird server on 127.0.0.1
// whose TalksIncoming holds `rows` calls; timed from the first lookup to the
// last answer. The database is made and filled once (a few minutes for
// millions of rows) and kept for later runs; the 50 rows written by a run
// are deleted at its end.
// Usage: row_lookup [rows=5000000] [database=/tmp/halvex-bench/lookup.fdb]
#include "BenchDatabase.h"
#include "db/CallHistoryTables.h"
#include "db/InterfaceDB.h"
#include "db/RowLookup.h"
#include "db/SessionDB.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int LookedUp = 100;
// The calls of a run: numbers no filled row has.
constexpr const char* RunPrefix = "7009";

// The database with the program's tables, made by its own structure check.
bool prepared(const testfb::Connection& c) {
    const QString folder = QFileInfo(QString::fromStdString(c.path)).absolutePath();
    QDir().mkpath(folder);
    // The server's own user writes the file.
    ::chmod(folder.toLocal8Bit().constData(), 0777);
    if (!QFileInfo::exists(QString::fromStdString(c.path)) && !testfb::CreateEmptyDatabase(c))
        return false;
    InterfaceDB front;
    front.SetConnection(c.host, c.path, c.user, c.password);
    if (front.OpenDatabase(false) != 0)
        return false;
    const auto start = std::chrono::steady_clock::now();
    int error = 0;
    if (front.CheckAndCreateTables(&error) != 0)
        std::printf("row_lookup: structure check changed the database in %.1f s (code %d)\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), error);
    return error == 0;
}

// Fills TalksIncoming up to `rows` calls, a million a transaction.
bool filled(const testfb::Connection& c, long rows) {
    for (long have = bench::isqlNumber(c, "SELECT COUNT(*) FROM TalksIncoming"); have < rows;
         have = bench::isqlNumber(c, "SELECT COUNT(*) FROM TalksIncoming")) {
        if (have < 0)
            return false;
        const long now = std::min(rows - have, 1000000L);
        std::printf("row_lookup: filling TalksIncoming, %ld rows there, %ld more\n", have, now);
        bool ok = false;
        testfb::Isql(c,
                     "SET TERM ^;\nEXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < " +
                         std::to_string(now) +
                         ") DO BEGIN INSERT INTO TalksIncoming (sUserPhone, sDate, sTime, sNumber, sLinia, "
                         "nLength) VALUES ('2' || MOD(:i, 100), DATEADD(-MOD(:i, 3000) DAY TO DATE "
                         "'2026-12-09'), TIME '10:00:00', '600' || (" +
                         std::to_string(have) +
                         " + :i), '1', MOD(:i, 600)); i = i + 1; END END^\nSET TERM ;^\nCOMMIT;\n",
                     &ok);
        if (!ok)
            return false;
    }
    return true;
}

std::vector<std::string> runInserts() {
    std::vector<std::string> inserts;
    for (int i = 0; i < LookedUp; ++i)
        inserts.push_back(ServiceTalkInDB::InsertStatement(Extension("201"),
                                                           OtherNumber(RunPrefix + std::to_string(10000 + i)),
                                                           CallDate("2026-12-09"), CallTime("10:00:00"), 1));
    return inserts;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const long rows = argc > 1 ? std::atol(argv[1]) : 5000000;
    const testfb::Connection c{"127.0.0.1", argc > 2 ? argv[2] : "/tmp/halvex-bench/lookup.fdb", "SYSDBA",
                               testfb::ServerPassword()};
    if (!testfb::ServerReachable()) {
        std::printf("row_lookup: no Firebird server on 127.0.0.1 (scripts/firebird starts one)\n");
        return 1;
    }
    if (!prepared(c) || !filled(c, rows)) {
        std::printf("row_lookup: the database %s could not be prepared\n", c.name().c_str());
        return 1;
    }
    const std::vector<std::string> inserts = runInserts();
    DbHandle handle = 0;
    SessionDB session(c.host, c.path, c.user, c.password, &handle, false);
    if (handle == 0)
        return 1;
    for (int i = 0; i < LookedUp / 2; ++i)
        if (session.ExecuteSQL(inserts[i]) != 0)
            return 1;

    const auto start = std::chrono::steady_clock::now();
    std::vector<bool> present;
    const bool answered = db::RowsPresent(session, inserts, present);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    session.ExecuteSQL(std::string("DELETE FROM TalksIncoming WHERE sNumber LIKE '") + RunPrefix + "%'");
    SessionDB::DetachDatabase(&handle);
    const auto found = int(std::count(present.begin(), present.end(), true));
    std::printf("row_lookup: %d inserts looked up on %ld calls in %.3f s, %d found (%d written)\n", LookedUp,
                rows, seconds, found, LookedUp / 2);
    return answered && found == LookedUp / 2 ? 0 : 1;
}
