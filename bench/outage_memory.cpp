// The memory of a long outage: `rows` call-history rows handed on while the
// database is away (its server's port answers nothing), a thousand at a
// time as calls end, each thousand journaled before the next; the resident
// memory of the program is read before the first and after each thousand.
// Then the program stops, and the next start, with those rows in the
// journal, is timed to a desk's log-in answered, and to every row written
// into a fresh database of the Firebird server on 127.0.0.1 (its resident
// memory read each second meanwhile). Each run in a process of its own.
// Usage: outage_memory [rows=1000000]
#include "BenchDatabase.h"
#include "BenchSupport.h"
#include "ClientServiceBench.h"
#include "base/PasswordCodec.h"
#include "db/CallHistoryTables.h"
#include "db/MainDatabase.h"
#include "platform/RegistryStore.h"
#include "support/ClientSimulator.h"
#include "ui/Application.h"

#include <QCoreApplication>
#include <QUdpSocket>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void pointSettingsAt(const testfb::Connection& c) {
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    key.OpenKey("\\software\\Vorlin\\Halvex", true);
    key.WriteString("IPFBase", c.host);
    key.WriteString("NameFB", c.path);
    key.WriteString("PasswordFB", AesEncryptToHexWire(c.password, FixedKeyText));
}

std::unique_ptr<TForm1> formWithJournal(QUdpSocket& broadcasts, const std::string& dir) {
    auto form = bench::quietForm(broadcasts);
    form->LogFilePath = dir + "/halvex.log";
    form->Database().OpenRowJournal(dir + "/halvex-rows.sqlite");
    form->tmrStartupTimer();
    form->tmrStartup->SetEnabled(false);
    return form;
}

// The outage: the settings name a port nothing answers on.
int keep(int argc, char** argv, int rows, const std::string& dir) {
    pointSettingsAt({"127.0.0.1/1", dir + "/none.fdb", "SYSDBA", testfb::ServerPassword()});
    ui::TApplication app(argc, argv);
    QUdpSocket broadcasts;
    auto form = formWithJournal(broadcasts, dir);
    db::RowRoad& road = form->Database().Road();
    QCoreApplication::processEvents();
    const long idle = bench::rssMb();
    long most = idle;
    const auto start = Clock::now();
    for (int i = 0; i < rows;) {
        for (const int end = std::min(rows, i + 1000); i < end; ++i)
            db::WriteMainRow(
                ServiceTalkInDB::InsertStatement(Extension("201"), OtherNumber(std::to_string(600000000 + i)),
                                                 CallDate("2026-12-09"), CallTime("10:00:00"), 1));
        bench::waitUntil(
            [&] {
                QCoreApplication::processEvents();
                return road.Journaling() == 0;
            },
            60000, 200);
        most = std::max(most, bench::rssMb());
    }
    const double seconds = secondsSince(start);
    std::printf(
        "outage_memory: %d rows kept in %.1f s; resident memory idle %ld MB, at most %ld MB (+%ld MB); "
        "rows held in memory at most %zu\n",
        rows, seconds, idle, most, most - idle, road.MostRowsHeld());
    form.reset();
    return 0;
}

// The next start: a desk logs in while the rows are written back.
int start(int argc, char** argv, int rows, const std::string& dir, const std::string& database) {
    const testfb::Connection c{"127.0.0.1", database, "SYSDBA", testfb::ServerPassword()};
    pointSettingsAt(c);
    ui::TApplication app(argc, argv);
    QUdpSocket broadcasts;
    const long before = bench::rssMb();
    const auto started = Clock::now();
    auto form = formWithJournal(broadcasts, dir);
    bench::addListedUsers(*form, 1);
    form->Settings.PortTCP = bench::freePort();
    form->WlaczSerwerClick();
    const long idle = bench::rssMb();
    double answered = -1, written = -1;
    long most = idle;
    db::RowRoad& road = form->Database().Road();
    bench::measureWhileLooping([&] {
        sim::ClientSimulator desk;
        if (bench::logIn(desk, form->Settings.PortTCP, 1))
            answered = secondsSince(started);
        const bool all = bench::waitUntil(
            [&] {
                most = std::max(most, bench::rssMb());
                return road.Waiting() == 0;
            },
            3600000, 1000000);
        written = all ? secondsSince(started) : -1;
        return 0;
    });
    const long stored = bench::isqlNumber(c, "SELECT COUNT(*) FROM TalksIncoming");
    std::printf(
        "outage_memory: next start: a desk answered after %.2f s; %ld of %d rows written after %.1f s "
        "(%.0f rows/s); resident memory before the start %ld MB, started %ld MB, at most %ld MB; rows "
        "held in memory at most %zu\n",
        answered, stored, rows, written, written > 0 ? rows / written : 0.0, before, idle, most,
        road.MostRowsHeld());
    form.reset();
    testfb::DetachMain();
    return answered >= 0 && stored == rows ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
    if (!testfb::ServerReachable()) {
        std::printf("outage_memory: no Firebird server on 127.0.0.1 (scripts/firebird starts one)\n");
        return 1;
    }
    if (argc > 3 && std::string(argv[2]) == "keep")
        return keep(argc, argv, rows, argv[3]);
    if (argc > 4 && std::string(argv[2]) == "start")
        return start(argc, argv, rows, argv[3], argv[4]);
    bench::Sandbox dir;
    testfb::DatabaseFolder folder;
    const testfb::Connection c{"127.0.0.1", folder.file("outage.fdb"), "SYSDBA", testfb::ServerPassword()};
    if (!testfb::CreateEmptyDatabase(c))
        return 1;
    const std::string self = std::string(argv[0]) + " " + std::to_string(rows) + " ";
    const std::string path = dir.path().toStdString();
    if (std::system((self + "keep " + path).c_str()) != 0)
        return 1;
    return std::system((self + "start " + path + " " + c.path).c_str()) != 0 ? 1 : 0;
}
