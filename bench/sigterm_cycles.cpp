// Run: build-asan/bench/sigterm_cycles   (meant for a build configured with
//      -DHALVEX_SANITIZE=address,undefined; the program is the build's own)
//
// The real program stopped with SIGTERM at random moments under load, cycle
// after cycle (HALVEX_BENCH_SIGTERM_CYCLES, 100). Each cycle starts the
// program headless in a sandbox of its own (settings, high ports chosen by the
// program, a DEBUG log), on a database on the Firebird server at
// 127.0.0.1:3050 reached through a relay, linked to the exchange simulator,
// with one desk logged in. The exchange ends HALVEX_BENCH_SIGTERM_CALLS_PER_S
// (20) calls a second, each call's end a row of the call history. Once a row
// is stored the relay is disturbed, per HALVEX_BENCH_SIGTERM_MODE:
//  held:  it passes nothing either way, without a reset (the default);
//  slow:  it adds HALVEX_BENCH_SIGTERM_SLOW_MS (200) ms each way;
//  mixed: one of the two, drawn per cycle.
// At a random moment 0..HALVEX_BENCH_SIGTERM_MAX_MS (12000) ms into the
// disturbance the calls stop, a last call's notice to the desk shows the
// program has read every one, and SIGTERM follows. A program that has not
// ended HALVEX_BENCH_SIGTERM_EXIT_S (30) s later is killed and counted. Then
// the relay lets go, the server is left to end the program's attachments, the
// calls stored by then are counted, and the program is started once more in
// its sandbox: the rows its stop left in the journal go first. Once each call
// is stored (or 60 s have passed) it is stopped, and each call is looked for:
// stored, or not (lost: that must stay 0). The moments come from
// HALVEX_BENCH_SEED (printed; the clock's unless set). Sanitizer reports on
// the program's stderr are counted; the program's leak check runs when
// ASAN_OPTIONS (passed on) asks for it. With HALVEX_BENCH_LOG_DIR set, the log
// and stderr of every cycle that lost a row, was killed, ended otherwise than
// with 0 or had a report are kept there.
#include "BenchDatabase.h"
#include "BenchSupport.h"
#include "base/SanitizerOptions.h"
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "support/HalvexProcess.h"
#include "support/SlowTcpProxy.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

namespace {

using Clock = std::chrono::steady_clock;
using bench::isqlNumber;
using bench::setting;
using testing_support::HalvexProcess;

const std::string DeskPassword = "0cc175b9c0f1b6a831c399e269772661";

struct Sizes {
    int cycles = setting("HALVEX_BENCH_SIGTERM_CYCLES", 100);
    int callsPerS = setting("HALVEX_BENCH_SIGTERM_CALLS_PER_S", 20);
    int maxMomentMs = setting("HALVEX_BENCH_SIGTERM_MAX_MS", 12000);
    int slowMs = setting("HALVEX_BENCH_SIGTERM_SLOW_MS", 200);
    int exitCapS = setting("HALVEX_BENCH_SIGTERM_EXIT_S", 30);
};

// What one cycle saw.
struct Cycle {
    std::string end; // "exit 0", "signal 6", "killed", or why it did not run
    double exitS = -1;
    int expected = 0, storedAtStop = 0, stored = 0, lost = 0, duplicates = 0, reports = 0;
    bool restarted = false; // the second run came up and ended with 0
};

// The whole schema, with desk user u201 on phone 201; false when it failed.
bool makeDatabase(const testfb::Connection& c) {
    if (!testfb::CreateEmptyDatabase(c))
        return false;
    testfb::AttachAndCreateSchema(c);
    testfb::MainSql(c, "INSERT INTO CTIusers (sUserName, sUserLastName, sUserLogin, sUserPassword, nGroupID, "
                       "sUserIP, sRCPcard, sStatus, nPrivileges) VALUES ('Jan', 'Nowak', 'u201', '" +
                           DeskPassword + "', 0, ' ', '', ' ', 0)");
    const int phone = testfb::MainSql(c, "INSERT INTO UserPhones VALUES (NULL, (SELECT nUserID FROM CTIusers "
                                         "WHERE sUserLogin = 'u201'), '201', 'biurko')");
    testfb::DetachMain();
    return phone == 0;
}

// The callers of `prefix` (a digit and the cycle's four) found in `text`, each
// as often as it occurs.
std::multiset<std::string> callersIn(const std::string& text, const std::string& prefix) {
    std::multiset<std::string> callers;
    const std::regex caller(prefix + "[0-9]{5}");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), caller); it != std::sregex_iterator(); ++it)
        callers.insert(it->str());
    return callers;
}

int sanitizerReports(const std::string& errors) {
    int reports = 0;
    for (const char* report : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
        for (auto at = errors.find(report); at != std::string::npos; at = errors.find(report, at + 1))
            ++reports;
    return reports;
}

class Cycles {
  public:
    Cycles(const Sizes& sizes, const testfb::Connection& database) : sizes_(sizes), database_(database) {}

    // Cycle `n` (from 1), disturbed by holding (or else slowing) the relay,
    // SIGTERM `momentMs` into it.
    Cycle run(int n, bool held, int momentMs) {
        testing_support::Sandbox sandbox;
        testing_support::SlowTcpProxy relay(3050, std::chrono::milliseconds(0));
        sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
        testfb::Connection viaRelay = database_;
        viaRelay.host = "127.0.0.1/" + std::to_string(relay.port());
        if (relay.port() == 0 || !exchange.Start() ||
            !testing_support::WriteProgramSettings(viaRelay, exchange.Port()))
            return {"no relay, exchange or settings"};
        HalvexProcess halvex(sandbox);
        if (const QString asan = qEnvironmentVariable("ASAN_OPTIONS"); !asan.isEmpty())
            halvex.setEnv("ASAN_OPTIONS", asan);
        halvex.start({"DEBUG"});
        sim::ClientSimulator desk;
        if (!deskLoggedIn(halvex, exchange, desk))
            return finish(halvex, {"the program did not come up with the desk logged in"}, n);

        // Calls ending at the set pace, each with a caller of its own.
        const std::string prefix = "7" + std::to_string(10000 + n).substr(1);
        std::atomic<int> sent{0};
        bench::Repeater traffic(1000 / sizes_.callsPerS, [&] {
            const int call = sent.load();
            const std::string id = std::to_string(10 + call % 90);
            const std::string extension = std::to_string(300 + call % 100);
            exchange.SendRaw("C11 " + id + " 1 " + prefix + std::to_string(10000 + call) + "\r\nC10 " + id +
                             " " + extension + "\r\nC02 " + id + " " + extension + "\r\n");
            ++sent;
        });
        const std::string stored = "SELECT COUNT(*) FROM TalksIncoming WHERE sNumber LIKE '" + prefix + "%'";
        if (!bench::waitUntil([&] { return isqlNumber(database_, stored) > 0; }, 30000, 100000))
            return finish(halvex, {"no call row stored before the disturbance"}, n);
        if (held)
            relay.hold(true);
        else
            relay.setDelay(std::chrono::milliseconds(sizes_.slowMs));
        std::this_thread::sleep_for(std::chrono::milliseconds(momentMs));
        traffic.stop();
        // The exchange's records are read in order: once the last call's
        // notice is at the desk, every call's end was read.
        const std::string last = "6" + prefix.substr(1) + "99999";
        exchange.SendRaw("C11 05 3 " + last + "\r\nC10 05 201\r\nDM 3&" + last + "&201&\r\n");
        const bool allRead = bench::waitUntil(
            [&] {
                for (const std::string& notice : desk.Notices())
                    if (notice.find(last) != std::string::npos)
                        return true;
                return false;
            },
            5000, 1000);

        const qint64 pid = halvex.process().processId();
        const auto signalled = Clock::now();
        halvex.signal(SIGTERM);
        Cycle cycle;
        if (halvex.waitForExit(std::chrono::seconds(sizes_.exitCapS))) {
            cycle.exitS = std::chrono::duration<double>(Clock::now() - signalled).count();
            cycle.end = (halvex.exitStatus() == QProcess::NormalExit ? "exit " : "signal ") +
                        std::to_string(halvex.exitCode());
        } else {
            halvex.process().kill();
            halvex.waitForExit(std::chrono::seconds(10));
            cycle.end = "killed";
        }
        if (!allRead)
            cycle.end += " (last notice missing)";

        // What the server still holds of the program's goes through or is
        // rolled back once the relay lets go and its attachments end.
        relay.hold(false);
        relay.setDelay(std::chrono::milliseconds(0));
        const std::string attachments =
            "SELECT COUNT(*) FROM MON$ATTACHMENTS WHERE MON$REMOTE_PID = " + std::to_string(pid) +
            " AND MON$ATTACHMENT_ID <> CURRENT_CONNECTION";
        if (!bench::waitUntil([&] { return isqlNumber(database_, attachments) == 0; }, 60000, 200000))
            cycle.end += " (attachments left)";
        cycle.expected = sent.load();
        cycle.storedAtStop = int(storedCallers(prefix).size());
        halvex.standardError(); // kept before the next run's start
        restart(halvex, cycle, prefix);
        count(cycle, prefix);
        return finish(halvex, cycle, n);
    }

  private:
    bool deskLoggedIn(HalvexProcess& halvex, sim::ExchangeSimulator& exchange, sim::ClientSimulator& desk) {
        if (!exchange.WaitForLogin(1, 90000) ||
            !halvex.waitForLog("Włączanie serwera TCP", std::chrono::seconds(90)))
            return false;
        const int port = testing_support::ChosenClientPort(halvex);
        if (port == 0 || !desk.Connect(port) || !desk.LogIn("u201", DeskPassword))
            return false;
        return bench::waitUntil(
            [&] {
                const auto replies = desk.Replies();
                return std::find(replies.begin(), replies.end(), "OK") != replies.end();
            },
            30000, 1000);
    }

    std::multiset<std::string> storedCallers(const std::string& prefix) {
        return callersIn(testfb::Isql(database_, "SELECT sNumber FROM TalksIncoming WHERE sNumber LIKE '" +
                                                     prefix + "%';"),
                         prefix);
    }

    // The second run, on the database as it is: the journal's rows go first.
    void restart(HalvexProcess& halvex, Cycle& cycle, const std::string& prefix) {
        halvex.start({"DEBUG"});
        const auto distinct = [&] {
            const std::multiset<std::string> stored = storedCallers(prefix);
            return int(std::set<std::string>(stored.begin(), stored.end()).size());
        };
        bench::waitUntil([&] { return distinct() >= cycle.expected; }, 60000, 200000);
        halvex.signal(SIGTERM);
        cycle.restarted = halvex.waitForExit(std::chrono::seconds(sizes_.exitCapS)) &&
                          halvex.exitStatus() == QProcess::NormalExit && halvex.exitCode() == 0;
    }

    void count(Cycle& cycle, const std::string& prefix) {
        const std::multiset<std::string> stored = storedCallers(prefix);
        const std::set<std::string> distinct(stored.begin(), stored.end());
        cycle.stored = int(distinct.size());
        cycle.duplicates = int(stored.size() - distinct.size());
        for (int call = 0; call < cycle.expected; ++call)
            cycle.lost += !distinct.count(prefix + std::to_string(10000 + call));
    }

    Cycle finish(HalvexProcess& halvex, Cycle cycle, int n) {
        if (halvex.process().state() != QProcess::NotRunning) {
            halvex.process().kill();
            halvex.waitForExit(std::chrono::seconds(10));
        }
        // Both runs' stderr.
        const std::string errors = halvex.standardError();
        cycle.reports = sanitizerReports(errors);
        const QByteArray keep = qgetenv("HALVEX_BENCH_LOG_DIR");
        if (!keep.isEmpty() && (cycle.lost || cycle.reports || cycle.end != "exit 0" || !cycle.restarted)) {
            const std::string base = keep.toStdString() + "/sigterm-" + std::to_string(n);
            std::ofstream(base + ".log", std::ios::binary) << testing_support::readFile(halvex.logPath());
            std::ofstream(base + ".stderr", std::ios::binary) << errors;
        }
        return cycle;
    }

    const Sizes& sizes_;
    const testfb::Connection& database_;
};

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    // The program of the build this benchmark belongs to.
    if (!qEnvironmentVariableIsSet("HALVEX_TEST_BINARY_DIR"))
        qputenv("HALVEX_TEST_BINARY_DIR", (QCoreApplication::applicationDirPath() + "/..").toLocal8Bit());
    const Sizes sizes;
    const QByteArray mode =
        qgetenv("HALVEX_BENCH_SIGTERM_MODE").isEmpty() ? "held" : qgetenv("HALVEX_BENCH_SIGTERM_MODE");
    if (mode != "held" && mode != "slow" && mode != "mixed")
        return 2;
    const unsigned seed = qEnvironmentVariableIsSet("HALVEX_BENCH_SEED")
                              ? unsigned(qEnvironmentVariableIntValue("HALVEX_BENCH_SEED"))
                              : unsigned(Clock::now().time_since_epoch().count());
    std::printf("sigterm_cycles: %d cycles, %s, %d calls/s, SIGTERM 0..%d ms into the disturbance, seed %u\n",
                sizes.cycles, mode.constData(), sizes.callsPerS, sizes.maxMomentMs, seed);

    testfb::DatabaseFolder folder;
    const testfb::Connection database{"127.0.0.1", folder.file("sigterm.fdb"), "SYSDBA",
                                      testfb::ServerPassword()};
    if (!testfb::ServerReachable() || !makeDatabase(database)) {
        std::printf("FAILED: no database on the Firebird server at 127.0.0.1:3050\n");
        return 1;
    }
    std::mt19937 random(seed);
    Cycles cycles(sizes, database);
    std::map<std::string, int> ends;
    std::vector<double> exitS;
    Cycle total;
    int losingCycles = 0, restartFailures = 0;
    for (int n = 1; n <= sizes.cycles; ++n) {
        const bool held = mode == "held" || (mode == "mixed" && random() % 2 == 0);
        const int momentMs = int(random() % unsigned(sizes.maxMomentMs + 1));
        const Cycle c = cycles.run(n, held, momentMs);
        std::printf(
            "cycle %3d %-4s SIGTERM at %5d ms: %s in %.2f s; rows expected %d, stored at the stop %d, "
            "after the next run %d (%s); lost %d duplicates %d; sanitizer reports %d\n",
            n, held ? "held" : "slow", momentMs, c.end.c_str(), c.exitS, c.expected, c.storedAtStop, c.stored,
            c.restarted ? "it ended with 0" : "it did NOT end with 0", c.lost, c.duplicates, c.reports);
        ++ends[c.end];
        if (c.exitS >= 0)
            exitS.push_back(c.exitS);
        total.expected += c.expected;
        total.storedAtStop += c.storedAtStop;
        total.stored += c.stored;
        restartFailures += !c.restarted;
        total.lost += c.lost;
        losingCycles += c.lost > 0;
        total.duplicates += c.duplicates;
        total.reports += c.reports;
    }
    std::printf("\nends:");
    for (const auto& [end, times] : ends)
        std::printf("  %s: %d", end.c_str(), times);
    if (!exitS.empty())
        std::printf("\ntime from SIGTERM to exit: p50 %.2f s, max %.2f s", bench::percentile(exitS, 0.5),
                    *std::max_element(exitS.begin(), exitS.end()));
    std::printf(
        "\nrows expected %d, stored at the stops %d, after the next runs %d, lost %d in %d of %d cycles "
        "(duplicates %d); next runs not ending with 0: %d; sanitizer reports %d\n",
        total.expected, total.storedAtStop, total.stored, total.lost, losingCycles, sizes.cycles,
        total.duplicates, restartFailures, total.reports);
    return total.lost || total.duplicates || total.reports || restartFailures ? 1 : 0;
}
