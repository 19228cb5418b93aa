// Rows a second through the road of the rows the server writes by itself:
// the main window in-process on a fresh database of the Firebird server on
// 127.0.0.1, `rows` call-history rows handed on one by one as the exchange's
// call ends hand them, timed from the first hand-off to the last row in the
// table (counted on the main connection every 20 ms), with the rows
// journaled beside the log as the program does, and without the journal
// (at most as many as wait in memory without it: the rest would be dropped).
// Usage: row_road [rows=20000]
#include "BenchDatabase.h"
#include "BenchSupport.h"
#include "ClientServiceBench.h"
#include "base/PasswordCodec.h"
#include "db/CallHistoryTables.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "platform/RegistryStore.h"
#include "ui/Application.h"

#include <QCoreApplication>
#include <QUdpSocket>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

long storedCalls(const testfb::Connection& c) {
    SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
    TStringList rows;
    session.SetResultStrings(&rows);
    if (session.ExecuteSQL("SELECT COUNT(*) FROM TalksIncoming") != 0 || rows.empty())
        return -1;
    return std::atol(rows.front().c_str());
}

// One run on a database of its own; the rows a second, or -1.
double run(int argc, char** argv, int rows, bool journal) {
    bench::Sandbox dir;
    testfb::DatabaseFolder folder;
    const testfb::Connection c{"127.0.0.1", folder.file("road.fdb"), "SYSDBA", testfb::ServerPassword()};
    if (!testfb::CreateEmptyDatabase(c))
        return -1;
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    key.OpenKey("\\software\\Vorlin\\Halvex", true);
    key.WriteString("IPFBase", c.host);
    key.WriteString("NameFB", c.path);
    key.WriteString("PasswordFB", AesEncryptToHexWire(c.password, FixedKeyText));
    ui::TApplication app(argc, argv);
    QUdpSocket broadcasts;
    auto form = bench::quietForm(broadcasts);
    form->LogFilePath = dir.path().toStdString() + "/halvex.log";
    if (journal)
        form->Database().OpenRowJournal(dir.path().toStdString() + "/halvex-rows.sqlite");
    form->tmrStartupTimer();
    form->tmrStartup->SetEnabled(false);
    if (form->Database().MainDbState != 0)
        return -1;
    testfb::AwaitRowRoad();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rows; ++i)
        db::WriteMainRow(ServiceTalkInDB::InsertStatement(Extension("201"),
                                                          OtherNumber(std::to_string(600000000 + i)),
                                                          CallDate("2026-12-09"), CallTime("10:00:00"), 1));
    const bool all = bench::waitUntil(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return storedCalls(c) >= rows;
        },
        600000, 20000);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    form.reset();
    testfb::DetachMain();
    return all ? rows / seconds : -1;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int rows = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (!testfb::ServerReachable()) {
        std::printf("row_road: no Firebird server on 127.0.0.1 (scripts/firebird starts one)\n");
        return 1;
    }
    // Each way in a process of its own, with an application of its own.
    if (argc > 2) {
        const bool journal = std::string(argv[2]) == "with";
        if (!journal)
            rows = std::min(rows, int(db::RowRoad::RowsInMemory));
        const double perSecond = run(argc, argv, rows, journal);
        std::printf("row_road: %d rows %s the journal: %s\n", rows, journal ? "with" : "without",
                    perSecond < 0 ? "FAILED" : (std::to_string(long(perSecond)) + " rows/s").c_str());
        return perSecond < 0 ? 1 : 0;
    }
    int result = 0;
    for (const char* way : {"with", "without"})
        result |= std::system((std::string(argv[0]) + " " + std::to_string(rows) + " " + way).c_str()) != 0;
    return result;
}
